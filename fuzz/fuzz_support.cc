#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/platform.h"

namespace qemfuzz {

namespace {

std::string* g_scratch = nullptr;

void RemoveScratch() {
  if (!g_scratch) return;
  std::error_code ignored;
  std::filesystem::remove_all(*g_scratch, ignored);
}

}  // namespace

const std::string& EnterScratch() {
  if (g_scratch) return *g_scratch;
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path base = fs::temp_directory_path(error);
  if (error) base = "/tmp";
  std::random_device random;
  fs::path folder;
  for (int attempt = 0; attempt < 100; ++attempt) {
    folder = base / ("qem-fuzz-" + std::to_string(random()));
    if (fs::create_directory(folder, error)) break;
    folder.clear();
  }
  if (folder.empty()) Fail("no scratch folder", base.string());
  fs::create_directories(folder / "root", error);
  fs::create_directories(folder / "tmp", error);
  g_scratch = new std::string(folder.string());
  if (!platform::SetEnv("QemSystemRoot", (folder / "root").string().c_str()) ||
      !platform::SetEnv("TMPDIR", (folder / "tmp").string().c_str())) {
    Fail("cannot point the machine root at the scratch folder", *g_scratch);
  }
  std::atexit(RemoveScratch);
  return *g_scratch;
}

void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "\n*** expectation failed: %s\n%s\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace qemfuzz
