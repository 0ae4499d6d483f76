// Runs a program and reports, on standard error, its wall time in seconds, its peak resident
// set in KiB, its processor time in seconds and its exit code. The program's standard output
// goes to /dev/null.
//
// The benchmark starts this small program rather than the measured one: a child's peak resident
// set starts from that of the process it was forked from, so forking the measured program from a
// large benchmark process would report the benchmark's own memory.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[1], &actions, nullptr, argv + 1, environ) != 0) return 3;
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid) return 4;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::fprintf(stderr, "%.6f %ld %.6f %d\n", seconds, usage.ru_maxrss, cpu,
               WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}
