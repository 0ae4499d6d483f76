// Kill test of the document cache: writer processes set and synchronise keys in a few shared
// sub-domains while this program kills them with SIGKILL at random moments and starts new ones.
// Each writer appends "sub-domain key" to its own journal once SLCacheSync has returned 0 for
// that key. At the end every document file must parse, carry a seal that verifies, and hold
// every key that a writer journalled as finished.
//
//   cache_kill_test [--kills N] [--writers W] [--subdomains S] [--max-delay-ms D] [--seed X]
//                   [--keep]
//
// Each writer also keeps, in a small file mapped into memory, the last step it reached (the last
// report of the cache, or a step of its own loop), so that a kill can be placed within a write.
// Exit status 0 when nothing was lost, 1 otherwise, 2 on a usage or set-up error.
//
// POSIX only: SIGKILL, fork and exec.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <tinyxml.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/document/report.h"
#include "cache/document/seal.h"
#include "cache/front/front.h"
#include "cache/store/store.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kStepSize = 512;  // bytes of the mapped step file
constexpr char kValuePrefix[] = "value of ";

// ---------------------------------------------------------------------------------------------
// Writer.

char* g_step = nullptr;  // the mapped step file of this writer

void SetStep(const char* text) {
  if (g_step == nullptr) return;
  // The text is complete before the parent can read it: it reads only after the writer died.
  std::strncpy(g_step, text, kStepSize - 1);
  g_step[kStepSize - 1] = '\0';
}

int RecordStep(int, const char* text) {
  SetStep(text);
  return 0;
}

void AppendLine(int fd, const std::string& line) {
  // One write per record: a kill leaves at most one partial last line, which the check skips.
  const std::string record = line + "\n";
  ssize_t done = 0;
  while (done < static_cast<ssize_t>(record.size())) {
    const ssize_t n = ::write(fd, record.data() + done, record.size() - done);
    if (n < 0) return;
    done += n;
  }
}

int RunWriter(const std::string& id, const std::string& generation, int subDomains,
              const std::string& journal, const std::string& stepFile) {
  const int stepFd = ::open(stepFile.c_str(), O_RDWR | O_CREAT, 0644);
  if (stepFd < 0 || ::ftruncate(stepFd, kStepSize) != 0) return 3;
  void* mapped = ::mmap(nullptr, kStepSize, PROT_READ | PROT_WRITE, MAP_SHARED, stepFd, 0);
  if (mapped == MAP_FAILED) return 3;
  g_step = static_cast<char*>(mapped);
  SetStep("starting");
  SLCacheReportHook = &RecordStep;

  const int journalFd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (journalFd < 0) return 3;
  SLCache* cache = nullptr;
  if (SLCacheCreate(nullptr, &cache) != kSLCacheOk) return 3;
  std::mt19937 random(static_cast<unsigned>(::getpid()));
  for (long i = 0;; ++i) {
    const std::string subDomain = "kill-" + std::to_string(random() % subDomains);
    const std::string key = id + "-g" + generation + "-" + std::to_string(i);
    const std::string value = kValuePrefix + key;
    SetStep(("setting " + key).c_str());
    SLCacheStatus result = SLCacheSetKey(cache, subDomain.c_str(), key.c_str(), value.c_str());
    if (result == kSLCacheOk) {
      SetStep(("synchronising " + key).c_str());
      result = SLCacheSync(cache);
    }
    if (result == kSLCacheOk) {
      SetStep(("journalling " + key).c_str());
      AppendLine(journalFd, subDomain + " " + key);
    } else {
      SLCacheSync(cache);  // drop what is cached; the write counts as failed
      AppendLine(journalFd, "FAILED " + std::to_string(result) + " " + subDomain + " " + key);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Parent.

struct Options {
  int kills = 300;
  int writers = 4;
  int subDomains = 3;
  int maxDelayMs = 25;
  unsigned seed = 0;
  bool keep = false;
};

struct Writer {
  pid_t pid = -1;
  int generation = 0;
};

struct Kill {
  int writer;
  int generation;
  std::string step;  // the last step the writer reached
};

std::string Journal(const std::string& root, int writer) {
  return root + "/journal-w" + std::to_string(writer);
}
std::string StepFile(const std::string& root, int writer) {
  return root + "/step-w" + std::to_string(writer);
}

pid_t StartWriter(const std::string& program, const std::string& root, int writer,
                  int generation, int subDomains) {
  const std::string id = "w" + std::to_string(writer);
  const std::string gen = std::to_string(generation);
  const std::string count = std::to_string(subDomains);
  const std::string journal = Journal(root, writer);
  const std::string step = StepFile(root, writer);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const char* argv[] = {program.c_str(), "--writer", id.c_str(), gen.c_str(), count.c_str(),
                          journal.c_str(), step.c_str(), nullptr};
    ::execv(program.c_str(), const_cast<char* const*>(argv));
    ::_exit(127);
  }
  return pid;
}

std::string ReadStep(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text(kStepSize, '\0');
  in.read(&text[0], kStepSize);
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::vector<std::string> g_reports;
int CollectReport(int, const char* text) {
  g_reports.push_back(text);
  return 0;
}
bool Reported(const std::string& text) {
  for (const std::string& report : g_reports)
    if (report == text) return true;
  return false;
}

// The step of a writer's loop or write, in a few words, for the summary of kills.
std::string StepKind(const std::string& step) {
  static const char* const kinds[] = {
      "starting", "setting ", "synchronising ", "journalling ",
      "slc document found with status Added/Updated", "Writing CacheDoc Data At Path",
      "Got empty string from the file", "No cache doc found"};
  for (const char* kind : kinds)
    if (step.compare(0, std::strlen(kind), kind) == 0) return kind;
  if (step.empty()) return "(not started: killed before its first step)";
  return step.substr(0, 60);
}

int RunParent(const Options& options) {
  std::string program = fs::read_symlink("/proc/self/exe").string();
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qem-kill.XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string root = pattern;
  const std::string machine = root + "/machine";
  fs::create_directories(machine);
  ::setenv("QemSystemRoot", machine.c_str(), 1);

  std::mt19937 random(options.seed != 0 ? options.seed
                                        : static_cast<unsigned>(::time(nullptr) ^ ::getpid()));
  std::printf("kill test: %d kills, %d writers, %d sub-domains, delays up to %d ms, root %s\n",
              options.kills, options.writers, options.subDomains, options.maxDelayMs,
              root.c_str());
  std::fflush(stdout);

  std::vector<Writer> writers(options.writers);
  for (int w = 0; w < options.writers; ++w)
    writers[w].pid = StartWriter(program, root, w, 0, options.subDomains);

  std::vector<Kill> kills;
  int unexpectedExits = 0;
  const auto started = std::chrono::steady_clock::now();
  while (static_cast<int>(kills.size()) < options.kills) {
    const int w = static_cast<int>(random() % options.writers);
    Writer& writer = writers[w];
    // Kills land in the writer's loop, not in its start-up (slow under a sanitizer): wait until
    // the writer has reached its loop, then for a random delay.
    for (int waited = 0; waited < 10000; ++waited) {
      const std::string step = ReadStep(StepFile(root, w));
      if (!step.empty() && step != "starting") break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(
        std::chrono::microseconds(random() % (options.maxDelayMs * 1000 + 1)));
    ::kill(writer.pid, SIGKILL);
    int status = 0;
    ::waitpid(writer.pid, &status, 0);
    if (!(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) {
      ++unexpectedExits;
      std::fprintf(stderr, "writer w%d (generation %d) ended by itself, status 0x%x\n", w,
                   writer.generation, status);
    }
    kills.push_back({w, writer.generation, ReadStep(StepFile(root, w))});
    ++writer.generation;
    std::ofstream(StepFile(root, w), std::ios::binary | std::ios::trunc);
    writer.pid = StartWriter(program, root, w, writer.generation, options.subDomains);
  }
  for (int w = 0; w < options.writers; ++w) {
    ::kill(writers[w].pid, SIGKILL);
    ::waitpid(writers[w].pid, nullptr, 0);
    kills.push_back({w, writers[w].generation, ReadStep(StepFile(root, w))});
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  // The journals: every write finished, by sub-domain.
  std::map<std::string, std::set<std::string>> finished;
  long finishedCount = 0, failedCount = 0;
  std::map<std::string, long> failedCodes;
  for (int w = 0; w < options.writers; ++w) {
    std::ifstream in(Journal(root, w), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::stringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
      if (lines.eof()) break;  // no line feed: cut by a kill, not a record
      std::istringstream fields(line);
      std::string first, second, third, fourth;
      fields >> first >> second >> third >> fourth;
      if (first == "FAILED") {
        ++failedCount;
        ++failedCodes[second];
      } else if (finished[first].insert(second).second) {
        ++finishedCount;
      }
    }
  }

  // Every document file, as it stands: it parses and its seal verifies.
  SLCacheStore store;
  std::string folder;
  store.getCacheFolderPath(&folder);
  SLCacheReportHook = &CollectReport;
  int documents = 0, unreadable = 0, badSeals = 0, empty = 0;
  std::set<std::string> damaged;  // sub-domains whose file is empty, unreadable or badly sealed
  SLCacheSealingKey key;
  SLCacheLoadSealingKey(&key);
  for (int s = 0; s < options.subDomains; ++s) {
    const std::string subDomain = "kill-" + std::to_string(s);
    std::string fileName;
    SLCacheStore::subDomainToFileName(subDomain.c_str(), &fileName);
    const std::string path = folder + "/" + fileName;
    if (!fs::exists(path)) {
      if (!finished[subDomain].empty()) {
        std::printf("  %s: no file, %zu finished writes\n", subDomain.c_str(),
                    finished[subDomain].size());
        damaged.insert(subDomain);
      }
      continue;
    }
    ++documents;
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)),
                            std::istreambuf_iterator<char>());
    if (bytes.empty()) {
      ++empty;
      std::printf("  %s: empty file\n", subDomain.c_str());
      if (!finished[subDomain].empty()) damaged.insert(subDomain);
      continue;
    }
    g_reports.clear();
    std::string text;
    verifyAndStripSignature(&key, bytes.data(), bytes.size(), &text);
    if (Reported("Signature verification failed.") ||
        Reported("Couldn't found signature tag, could be old version slc file, don't do any "
                 "thing ignore.")) {
      ++badSeals;
      damaged.insert(subDomain);
      std::printf("  %s: seal does not verify (%zu bytes)\n", subDomain.c_str(), bytes.size());
    }
    TiXmlDocument parsed;
    parsed.Parse(text.c_str());
    if (parsed.Error()) {
      ++unreadable;
      damaged.insert(subDomain);
      std::printf("  %s: does not parse: %s\n", subDomain.c_str(), parsed.ErrorDesc());
    }
  }
  SLCacheReportHook = nullptr;

  // Every journalled key, read through the flat entry points of a fresh front. Damaged files
  // are left for inspection: a read would delete a file that does not parse.
  long missing = 0;
  SLCache* cache = nullptr;
  if (SLCacheCreate(nullptr, &cache) != kSLCacheOk) return 2;
  for (const auto& entry : finished) {
    if (damaged.count(entry.first) != 0) {
      missing += static_cast<long>(entry.second.size());
      continue;
    }
    long missingHere = 0;
    for (const std::string& k : entry.second) {
      const char* value = nullptr;
      const SLCacheStatus result = SLCacheGetKey(cache, entry.first.c_str(), k.c_str(), &value);
      if (result != kSLCacheOk || value != kValuePrefix + k) {
        if (missingHere++ < 5)
          std::printf("  %s: finished write %s missing (code %d)\n", entry.first.c_str(),
                      k.c_str(), result);
        ++missing;
      }
    }
  }
  SLCacheDestroy(cache, 0);

  std::map<std::string, int> killSteps;
  for (const Kill& kill : kills) ++killSteps[StepKind(kill.step)];
  std::printf("kills: %zu in %.1f s; writers ended by themselves: %d\n", kills.size(), seconds,
              unexpectedExits);
  std::printf("steps at which writers were killed:\n");
  for (const auto& step : killSteps) std::printf("  %5d  %s\n", step.second, step.first.c_str());
  std::printf("writes finished (journalled): %ld; writes answered with a failure: %ld\n",
              finishedCount, failedCount);
  for (const auto& code : failedCodes)
    std::printf("  code %s: %ld\n", code.first.c_str(), code.second);
  std::printf("documents checked: %d; empty: %d; unreadable: %d; seal not verified: %d\n",
              documents, empty, unreadable, badSeals);
  std::printf("documents lost or unreadable: %zu; finished writes missing: %ld\n",
              damaged.size(), missing);
  if (!damaged.empty()) {
    // Where the writers were when the damaged documents were last written.
    std::printf("kills during a write of a damaged document:\n");
    for (const Kill& kill : kills) {
      for (const std::string& subDomain : damaged) {
        std::string fileName;
        SLCacheStore::subDomainToFileName(subDomain.c_str(), &fileName);
        if (kill.step.find(fileName) != std::string::npos ||
            kill.step.find("[" + subDomain + "]") != std::string::npos)
          std::printf("  w%d generation %d: %s\n", kill.writer, kill.generation,
                      kill.step.c_str());
      }
    }
  }
  const bool passed = damaged.empty() && missing == 0 && unexpectedExits == 0;
  std::printf("kill test: %s\n", passed ? "passed" : "FAILED");
  if (!options.keep && passed) fs::remove_all(root);
  else std::printf("files kept in %s\n", root.c_str());
  return passed ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: cache_kill_test [--kills N] [--writers W] [--subdomains S] "
               "[--max-delay-ms D] [--seed X] [--keep]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--writer") == 0)
    return RunWriter(argv[2], argv[3], std::atoi(argv[4]), argv[5], argv[6]);
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&](int* out) {
      if (i + 1 >= argc) return false;
      *out = std::atoi(argv[++i]);
      return *out > 0;
    };
    int seed = 0;
    if (arg == "--kills") {
      if (!number(&options.kills)) return Usage();
    } else if (arg == "--writers") {
      if (!number(&options.writers)) return Usage();
    } else if (arg == "--subdomains") {
      if (!number(&options.subDomains)) return Usage();
    } else if (arg == "--max-delay-ms") {
      if (!number(&options.maxDelayMs)) return Usage();
    } else if (arg == "--seed") {
      if (!number(&seed)) return Usage();
      options.seed = static_cast<unsigned>(seed);
    } else if (arg == "--keep") {
      options.keep = true;
    } else {
      return Usage();
    }
  }
  return RunParent(options);
}
