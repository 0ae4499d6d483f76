// The scan: the tool's whole run as a process over a sandbox of 1,000 and 10,000 sub-domains
// (10 keys each, all matching, each with its mapping key), beside a floor program that reads
// and parses every document file once and takes one key, and a program that reads the same data
// from SQLite the way the tool reads the cache (list the sub-domains, then one point read each).
//
// Time is the child's wall time; peak memory is the child's maximum resident set (wait4).
// BM_CachedDocumentsHeap measures, in this process, the heap that the cached documents of the
// whole store take once loaded: the memory the tool's design has to hold.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <vector>

#include "bench/bench_support.h"
#include "cache/front/front.h"

extern char** environ;

namespace {

constexpr int kKeys = 10;

struct Sandbox {
  std::filesystem::path root;       // QemSystemRoot
  std::filesystem::path temporary;  // TMPDIR: the tool's log goes there
  std::string cacheFolder;
  std::string database;
  size_t documentBytes = 0;
};

const Sandbox& SandboxOf(int subDomains) {
  static std::map<int, Sandbox> sandboxes;
  auto found = sandboxes.find(subDomains);
  if (found != sandboxes.end()) return found->second;
  Sandbox sandbox;
  const std::filesystem::path folder = bench::FreshFolder("scan-" + std::to_string(subDomains));
  sandbox.root = folder / "root";
  sandbox.temporary = folder / "tmp";
  std::filesystem::create_directories(sandbox.temporary);
  sandbox.cacheFolder = bench::UseSystemRoot(sandbox.root);
  for (int i = 0; i < subDomains; ++i)
    sandbox.documentBytes += bench::SeedDocument(sandbox.cacheFolder, i, kKeys);
  sandbox.database = (folder / "kv.db").string();
  bench::Database db(sandbox.database);
  bench::SeedDatabase(&db, subDomains, kKeys);
  db.Exec("PRAGMA wal_checkpoint");
  return sandboxes[subDomains] = sandbox;
}

struct Outcome {
  double seconds = 0;
  long maxResidentKb = 0;
  double cpuSeconds = 0;
  int exitCode = -1;
};

Outcome RunChild(const std::vector<std::string>& arguments, const Sandbox& sandbox) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (text.rfind("QemSystemRoot=", 0) == 0 || text.rfind("TMPDIR=", 0) == 0) continue;
    environment.push_back(text);
  }
  environment.push_back("QemSystemRoot=" + sandbox.root.string());
  environment.push_back("TMPDIR=" + sandbox.temporary.string());
  std::vector<char*> argv, envp;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  // The launcher reports the measured figures through a pipe on its standard error.
  int channel[2];
  if (pipe(channel) != 0) bench::Fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, channel[1], 2);
  posix_spawn_file_actions_addclose(&actions, channel[0]);
  std::vector<char*> launcher = {const_cast<char*>(LAUNCHER_PROGRAM)};
  launcher.insert(launcher.end(), argv.begin(), argv.end());
  pid_t pid = 0;
  if (posix_spawn(&pid, LAUNCHER_PROGRAM, &actions, nullptr, launcher.data(), envp.data()) != 0)
    bench::Fail("cannot start " + arguments[0]);
  posix_spawn_file_actions_destroy(&actions);
  close(channel[1]);
  std::string report;
  char buffer[256];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) report.append(buffer, n);
  close(channel[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) bench::Fail("waitpid");
  Outcome outcome;
  if (std::sscanf(report.c_str(), "%lf %ld %lf %d", &outcome.seconds, &outcome.maxResidentKb,
                  &outcome.cpuSeconds, &outcome.exitCode) != 4)
    bench::Fail("no report from the launcher for " + arguments[0] + ": " + report);
  return outcome;
}

void RunProgram(benchmark::State& state, const std::vector<std::string>& arguments,
                const Sandbox& sandbox, int expectedExit) {
  long maxResident = 0;
  double cpu = 0;
  for (auto _ : state) {
    // The log of the previous run goes first, so every run starts from the same state.
    std::filesystem::remove(sandbox.temporary / "kelvane.log");
    const Outcome outcome = RunChild(arguments, sandbox);
    if (outcome.exitCode != expectedExit) {
      state.SkipWithError(("unexpected exit code " + std::to_string(outcome.exitCode)).c_str());
      break;
    }
    state.SetIterationTime(outcome.seconds);
    maxResident = std::max(maxResident, outcome.maxResidentKb);
    cpu += outcome.cpuSeconds;
  }
  state.counters["peak_rss_kb"] = static_cast<double>(maxResident);
  state.counters["cpu_ms"] = 1e3 * cpu / static_cast<double>(state.iterations());
}

void BM_Tool(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const Sandbox& sandbox = SandboxOf(n);
  RunProgram(state, {KELVANE_PROGRAM}, sandbox, n == 0 ? 7 : 0);
  state.counters["doc_bytes_total"] = static_cast<double>(sandbox.documentBytes);
}

void BM_Floor(benchmark::State& state) {
  const Sandbox& sandbox = SandboxOf(static_cast<int>(state.range(0)));
  RunProgram(state, {FLOOR_PROGRAM, sandbox.cacheFolder, bench::kMappingKey}, sandbox, 0);
}

// The floor of the tool's design: each file read and parsed twice, the second parse kept.
void BM_FloorTwice(benchmark::State& state) {
  const Sandbox& sandbox = SandboxOf(static_cast<int>(state.range(0)));
  RunProgram(state, {FLOOR_PROGRAM, sandbox.cacheFolder, bench::kMappingKey, "twice"}, sandbox,
             0);
}

// One pass that keeps every parsed document: the cost of holding them.
void BM_FloorKeep(benchmark::State& state) {
  const Sandbox& sandbox = SandboxOf(static_cast<int>(state.range(0)));
  RunProgram(state, {FLOOR_PROGRAM, sandbox.cacheFolder, bench::kMappingKey, "keep"}, sandbox, 0);
}

void BM_Sqlite(benchmark::State& state) {
  const Sandbox& sandbox = SandboxOf(static_cast<int>(state.range(0)));
  RunProgram(state, {SQLITE_PROGRAM, sandbox.database, bench::kProduct, bench::kMappingKey},
             sandbox, 0);
}

// The heap that the cached documents of the whole store take in a front: what a run that reads
// every sub-domain must hold at its end.
void BM_CachedDocumentsHeap(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const Sandbox& sandbox = SandboxOf(n);
  platform::SetEnv("QemSystemRoot", sandbox.root.c_str());
  double heapKb = 0;
  for (auto _ : state) {
    malloc_trim(0);
    const size_t before = mallinfo2().uordblks;
    {
      SLCache front;
      front.store.prepare();
      for (int i = 0; i < n; ++i) {
        const char* value = nullptr;
        if (front.getKey(bench::SubDomainName(i).c_str(), bench::kMappingKey, &value) != 0)
          bench::Fail("getKey");
      }
      heapKb = static_cast<double>(mallinfo2().uordblks - before) / 1024.0;
    }
  }
  state.counters["heap_kb"] = heapKb;
}

BENCHMARK(BM_Tool)->Arg(0)->Arg(1000)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor)->Arg(1000)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorTwice)->Arg(1000)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorKeep)->Arg(1000)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sqlite)->Arg(1000)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CachedDocumentsHeap)->Arg(1000)->Arg(10000)->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Sandboxes are made before any measurement, so that no run pays for them.
  for (int n : {0, 1000, 10000}) SandboxOf(n);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
