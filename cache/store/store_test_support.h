// Test helpers of the cache store and front: a scratch machine root per test, an emptied cache
// folder, and child processes that re-run the test program in a helper mode.
#ifndef QEM_CACHE_STORE_STORE_TEST_SUPPORT_H_
#define QEM_CACHE_STORE_STORE_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/store/store.h"
#include "platform/platform.h"

namespace slcache_test {

inline bool OnWindows() { return std::string(platform::kPathSeparator) == "\\"; }

// The environment variable that turns the test program into a helper process.
constexpr char kChildVariable[] = "QEM_CACHE_CHILD";

// Splits "a|b|c" into its fields.
inline std::vector<std::string> Fields(const std::string& text) {
  std::vector<std::string> fields;
  std::stringstream in(text);
  for (std::string field; std::getline(in, field, '|');) fields.push_back(field);
  return fields;
}

// The helper-mode parameters, or an empty list in an ordinary test run.
inline std::vector<std::string> ChildParameters() {
  std::string value;
  if (!platform::GetEnv(kChildVariable, &value) || value.empty()) return {};
  return Fields(value);
}

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteWhole(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Gives each test a machine root of its own (POSIX) and an empty cache folder that does not
// exist yet (both targets: under Wine the folder is the prefix's common files folder).
class ScratchStore {
 public:
  ScratchStore() {
    static std::atomic<int> counter{0};
    std::string temp;
    platform::TempFolder(&temp);
    scratch_ = (std::filesystem::path(temp) /
                ("qem-cache-" + std::to_string(platform::ProcessId()) + "-" +
                 std::to_string(counter++)))
                   .string();
    std::filesystem::remove_all(scratch_);
    std::filesystem::create_directories(scratch_);
    if (!OnWindows()) platform::SetEnv("QemSystemRoot", scratch_.c_str());
    SLCacheStore store;
    store.getCacheFolderPath(&folder_);
    Clear();
  }
  ~ScratchStore() {
    Clear();
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
  }
  ScratchStore(const ScratchStore&) = delete;
  ScratchStore& operator=(const ScratchStore&) = delete;

  // Removes the cache folder with everything in it.
  void Clear() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  const std::string& folder() const { return folder_; }
  // A folder for the files of a test itself (results of child processes, link targets).
  const std::string& scratch() const { return scratch_; }
  std::string DocPath(const std::string& fileName) const {
    return folder_ + platform::kPathSeparator + fileName;
  }
  std::string ScratchPath(const std::string& name) const {
    return scratch_ + platform::kPathSeparator + name;
  }

 private:
  std::string scratch_;
  std::string folder_;
};

// Runs the test program once per parameter text, all at once, each in the helper mode of the
// test named by `filter`; waits for all of them and returns their exit statuses.
inline std::vector<int> RunChildren(const std::string& filter,
                                    const std::vector<std::string>& parameters) {
  std::string program;
  EXPECT_TRUE(platform::ProgramFile(&program));
  std::vector<int> statuses(parameters.size(), -1);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < parameters.size(); ++i) {
    std::string command;
    if (OnWindows()) {
      command = std::string("set \"") + kChildVariable + "=" + parameters[i] + "\" && \"" +
                program + "\" --gtest_filter=" + filter + " >NUL 2>&1";
    } else {
      command = std::string(kChildVariable) + "='" + parameters[i] + "' '" + program +
                "' --gtest_filter=" + filter + " >/dev/null 2>&1";
    }
    threads.emplace_back([&statuses, i, command] { statuses[i] = std::system(command.c_str()); });
  }
  for (std::thread& thread : threads) thread.join();
  return statuses;
}

// Waits until `path` exists, for at most `seconds`.
inline bool WaitForFile(const std::string& path, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (platform::PathExists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace slcache_test

#endif  // QEM_CACHE_STORE_STORE_TEST_SUPPORT_H_
