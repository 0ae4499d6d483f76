// Payload configuration files: any text loaded as a file, then saved; the saved file must load
// again with exactly the data that was saved, and saving that again must write the same bytes.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "pcf/pcf.h"
#include "util/paths.h"

namespace {

namespace fs = std::filesystem;

std::string g_input;      // where each input is written to be loaded
std::string g_pcfFolder;  // the PCF folder under the scratch machine root

using Data = std::map<std::string, std::map<std::string, std::string>>;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Items(const PCFStringList* list) {
  std::vector<std::string> items;
  for (size_t i = 0; i < PCFStringListCount(list); ++i) items.push_back(PCFStringListItem(list, i));
  return items;
}

// Every code, key and value the object holds, read through the entry points.
bool ReadAll(PCF* pcf, Data* data) {
  PCFStringList* list = nullptr;
  if (PCFStringListCreate(&list) != PCFSuccess) return false;
  bool ok = PCFGetSubDomains(pcf, list) == PCFSuccess;
  const std::vector<std::string> codes = Items(list);
  std::vector<char> buffer(1 << 16);
  for (const std::string& code : codes) {
    auto& section = (*data)[code];
    if (PCFGetKeysInSubDomain(pcf, list, code.c_str()) != PCFSuccess) {
      ok = false;
      continue;
    }
    for (const std::string& key : Items(list)) {
      if (PCFGetValueForKeyInSubDomain(pcf, buffer.data(), buffer.size(), key.c_str(),
                                       code.c_str()) != PCFSuccess) {
        ok = false;
        continue;
      }
      section[key] = buffer.data();
    }
  }
  PCFStringListDestroy(list);
  return ok;
}

std::string Describe(const Data& data) {
  std::string text;
  for (const auto& section : data) {
    text += "[" + section.first + "]\n";
    for (const auto& entry : section.second) text += "  " + entry.first + "=" + entry.second + "\n";
  }
  return text;
}

// The one file the save wrote into the PCF folder, or empty.
std::string SavedFile() {
  std::error_code error;
  std::string found;
  for (const auto& entry : fs::directory_iterator(g_pcfFolder, error)) {
    if (!found.empty()) return std::string();
    found = entry.path().string();
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string& scratch = qemfuzz::EnterScratch();
  g_input = scratch + "/input.xml";
  char maker[kPathBufferSize];
  if (GetMakerFolder(maker, kKnownFolderProgramFilesX86View) == nullptr)
    qemfuzz::Fail("no maker folder");
  g_pcfFolder = std::string(maker) + "/PCF";
  if (g_pcfFolder.compare(0, scratch.size(), scratch) != 0)
    qemfuzz::Fail("the PCF folder is outside the scratch folder", g_pcfFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::error_code error;
  fs::remove_all(g_pcfFolder, error);
  {
    std::ofstream out(g_input, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

  PCF* pcf = nullptr;
  QEM_FUZZ_EXPECT(PCFCreate(&pcf) == PCFSuccess, "");
  if (PCFLoad(pcf, g_input.c_str(), 0) != PCFSuccess) {
    PCFDestroy(pcf, 0);
    return 0;
  }
  PCFIsFlagSet(pcf);

  Data loaded;
  QEM_FUZZ_EXPECT(ReadAll(pcf, &loaded), Describe(loaded));
  // The second copy goes wherever the file says: keep it in the scratch folder.
  for (const auto& section : loaded) {
    if (section.second.count("QemConfigPath") != 0)
      PCFRemoveKeyInSubDomain(pcf, "QemConfigPath", section.first.c_str());
  }
  Data saved;
  ReadAll(pcf, &saved);
  for (const auto& section : saved) {
    if (section.second.count("QemConfigPath") != 0) {
      PCFDestroy(pcf, 0);
      return 0;
    }
  }

  const PCFStatus status = PCFSave(pcf);
  PCFDestroy(pcf, 0);
  const std::string path = SavedFile();
  if (path.empty()) return 0;
  QEM_FUZZ_EXPECT(status == PCFSuccess, std::to_string(status) + " but " + path + " written");
  const std::string firstText = ReadWhole(path);

  PCF* again = nullptr;
  QEM_FUZZ_EXPECT(PCFCreate(&again) == PCFSuccess, "");
  const PCFStatus reloadStatus = PCFLoad(again, path.c_str(), 0);
  QEM_FUZZ_EXPECT(reloadStatus == PCFSuccess, std::to_string(reloadStatus) + "\n" + firstText);
  Data reloaded;
  QEM_FUZZ_EXPECT(ReadAll(again, &reloaded), firstText);
  QEM_FUZZ_EXPECT(reloaded == saved,
                  "saved:\n" + Describe(saved) + "read back:\n" + Describe(reloaded) + firstText);
  QEM_FUZZ_EXPECT(PCFSave(again) == PCFSuccess, firstText);
  PCFDestroy(again, 0);
  QEM_FUZZ_EXPECT(ReadWhole(path) == firstText, firstText + "\nthen\n" + ReadWhole(path));
  return 0;
}
