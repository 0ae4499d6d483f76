// The PCF object and its flat entry points (the save rules are stated in pcf.h).
//
// Why the save works per element: each element remembers the file it came from and that
// file's payload, so its data is never written into another payload's file, and a file is
// deleted only when its element holds no entry at all (an element whose own payload was
// emptied may still carry other payloads' entries). When two elements target the same path,
// the first wins: reads are answered from it, so a later one holds older data.
#include "pcf/pcf.h"

#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "pcf/configuration_file.h"
#include "pcf/configuration_text.h"
#include "platform/platform.h"
#include "util/paths.h"
#include "util/text.h"

struct PCFStringList {
  std::vector<std::string> items;
};

struct PCF {
  struct Element {
    pcf::Sections sections;   // payload code -> key -> value
    std::string path;         // the file it was loaded from
    std::string payloadCode;  // the code of that file's Payload section
  };

  std::vector<Element> liveData;                   // one element per file, in load order
  std::map<std::string, std::string> loadedFiles;  // path -> Payload code, entered once
  unsigned char usedDefaultCode = 0;
};

namespace {

constexpr char kNamingCodeKey[] = "PayloadName";
constexpr char kSecondCopyKey[] = "QemConfigPath";
constexpr char kPcfFolderName[] = "PCF";
constexpr size_t kSecondCopyPathSize = 260;  // the buffer the second copy's path is read into
constexpr size_t kPayloadCodeLength = 38;    // a GUID in braces

template <typename Work>
PCFStatus Guarded(Work work) noexcept {
  try {
    return work();
  } catch (...) {
    // The standard containers throw only when memory runs out (bad_alloc, length_error).
    return PCFNoMemory;
  }
}

bool PcfFolder(std::string* folder) {
  char buffer[kPathBufferSize];
  if (GetMakerFolder(buffer, kKnownFolderProgramFilesX86View) == nullptr) return false;
  *folder = std::string(buffer) + platform::kPathSeparator + kPcfFolderName;
  return true;
}

// A text that can stand as one part of a file name without leaving the folder or being
// refused by either system.
bool IsSafeNamePart(const std::string& part) {
  if (part.empty() || part == "." || part == ".." || !pcf::IsValidUtf8(part)) return false;
  for (unsigned char c : part) {
    if (c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr) return false;
  }
  return true;
}

const pcf::Entries* FindSection(const PCF::Element& element, const std::string& code) {
  const auto found = element.sections.find(code);
  return found == element.sections.end() ? nullptr : &found->second;
}

PCF::Element* FirstHolding(PCF& pcf, const std::string& code) {
  for (auto& element : pcf.liveData) {
    if (element.sections.count(code) != 0) return &element;
  }
  return nullptr;
}

// Whether some loaded element holds the payload code.
bool IsCodeHeld(const PCF& pcf, const std::string& code) {
  for (const auto& element : pcf.liveData) {
    if (element.sections.count(code) != 0) return true;
  }
  return false;
}

bool IsPayloadKnown(const PCF& pcf, const std::string& code) {
  if (code.empty()) return false;
  for (const auto& file : pcf.loadedFiles) {
    if (file.second.find(code) != std::string::npos) return true;
  }
  return IsCodeHeld(pcf, code);
}

// The name of the first file in `folder`, in the system's order, whose name contains `code`.
std::string FindFileNaming(const std::string& folder, const std::string& code) {
  if (code.empty()) return std::string();
  std::vector<platform::FolderEntry> entries;
  bool startFailed = false;
  // A listing that breaks off still offers what it read before.
  platform::ListFolder(folder, &entries, &startFailed);
  for (const auto& entry : entries) {
    if (!entry.is_folder && entry.name.find(code) != std::string::npos) return entry.name;
  }
  return std::string();
}

void Merge(PCF& pcf, pcf::ParsedFile&& parsed, const std::string& path, bool overlay) {
  if (!overlay || pcf.liveData.empty()) {
    pcf.liveData.push_back(PCF::Element{std::move(parsed.sections), path, parsed.payloadCode});
    return;
  }
  // Overlaid entries go to the first element holding each code; other codes are dropped.
  for (auto& section : parsed.sections) {
    PCF::Element* target = FirstHolding(pcf, section.first);
    if (target == nullptr) continue;
    for (auto& entry : section.second) {
      target->sections[section.first][entry.first] = std::move(entry.second);
    }
  }
}

PCFStatus Load(PCF& pcf, const char* path, bool overlay) {
  if (!pcf::IsUsableText(path)) return PCFInvalidArgument;
  if (!FileExists(path)) return PCFNotFound;
  pcf::ParsedFile parsed;
  const PCFStatus status = pcf::ParseConfigurationFile(path, &parsed);
  if (parsed.usedDefaultCode) pcf.usedDefaultCode = 1;
  if (status != PCFSuccess) return status;
  const std::string code = parsed.payloadCode;
  Merge(pcf, std::move(parsed), path, overlay);
  pcf.loadedFiles.emplace(path, code);
  return PCFSuccess;
}

// Whether some loaded element holds the key under the payload code. A file may carry a key or
// code that no caller could pass as a usable text (empty, or not valid UTF-8 once character
// references are decoded); reads and removals still reach what the listings hand out, through
// this and IsCodeHeld.
bool IsKeyHeld(const PCF& pcf, const char* key, const char* code) {
  if (key == nullptr || code == nullptr) return false;
  for (const auto& element : pcf.liveData) {
    const pcf::Entries* entries = FindSection(element, code);
    if (entries != nullptr && entries->count(key) != 0) return true;
  }
  return false;
}

// The argument rule of reads and removals: a usable text, or one the loaded data holds.
bool IsReadableCode(const PCF& pcf, const char* code) {
  return pcf::IsUsableText(code) || (code != nullptr && IsCodeHeld(pcf, code));
}

bool IsReadableKey(const PCF& pcf, const char* key, const char* code) {
  return pcf::IsUsableText(key) || IsKeyHeld(pcf, key, code);
}

// Makes sure a payload named by an operation is loaded, from the PCF folder if need be.
PCFStatus EnsurePayloadLoaded(PCF& pcf, const char* code) {
  if (code != nullptr && IsCodeHeld(pcf, code)) return PCFSuccess;
  if (!pcf::IsUsableText(code)) return PCFInvalidArgument;
  if (IsPayloadKnown(pcf, code)) return PCFSuccess;
  std::string folder;
  if (!PcfFolder(&folder)) return PCFNotFound;
  const std::string name = FindFileNaming(folder, code);
  if (name.empty()) return PCFNotFound;
  // A file that names the code but belongs to a payload already loaded adds nothing.
  if (IsPayloadKnown(pcf, name.substr(0, name.find('.')))) return PCFSuccess;
  const std::string path = folder + platform::kPathSeparator + name;
  return Load(pcf, path.c_str(), false);
}

// "<PCF folder>/<code>.<naming code>.xml" for a well-formed code and a usable naming code;
// empty otherwise.
std::string PayloadFilePath(const std::string& code, const std::string& namingCode) {
  if (code.size() != kPayloadCodeLength || code.front() != '{' || code.back() != '}' ||
      !IsSafeNamePart(code) || !IsSafeNamePart(namingCode)) {
    return std::string();
  }
  char buffer[kPathBufferSize];
  if (GetMakerFolder(buffer, kKnownFolderProgramFilesX86View) == nullptr) return std::string();
  for (const std::string& part :
       {std::string(platform::kPathSeparator), std::string(kPcfFolderName),
        std::string(platform::kPathSeparator), code, std::string("."), namingCode,
        std::string(".xml")}) {
    if (AppendBounded(buffer, sizeof(buffer), part.c_str(), part.size()) == nullptr) {
      return std::string();
    }
  }
  return buffer;
}

bool IsInFolder(const std::string& path, const std::string& fullFolder) {
  std::string fullPath;
  return platform::FullPath(path, &fullPath) &&
         pcf::FolderOf(fullPath) == fullFolder + platform::kPathSeparator;
}

std::string EntryOf(const PCF::Element& element, const char* key) {
  const pcf::Entries* entries = FindSection(element, element.payloadCode);
  if (entries == nullptr) return std::string();
  const auto found = entries->find(key);
  return found == entries->end() ? std::string() : found->second;
}

// Writes `text` to `path` unless this save has written that path already.
PCFStatus WriteOnce(const std::string& path, const std::string& text,
                    std::set<std::string>* written) {
  if (path.empty()) return PCFCannotWrite;
  if (!written->insert(path).second) return PCFSuccess;
  return pcf::WriteFileReplacing(path, text);
}

PCFStatus Save(PCF& pcf) {
  PCFStatus result = PCFSuccess;
  const auto note = [&result](PCFStatus status) {
    if (result == PCFSuccess) result = status;  // the first failure is the answer
  };
  std::string folder, fullFolder;
  const bool haveFolder = PcfFolder(&folder) && platform::FullPath(folder, &fullFolder);
  std::set<std::string> written;

  for (const auto& element : pcf.liveData) {
    if (FindSection(element, element.payloadCode) == nullptr) continue;
    if (haveFolder && !FileExists(folder.c_str())) MakeFolder(folder.c_str());
    const bool fromFolder = haveFolder && IsInFolder(element.path, fullFolder);

    std::string text;
    if (!pcf::BuildConfigurationText(element.payloadCode, element.sections, &text)) {
      note(PCFCannotWrite);  // a key or code too long for its tag line: the file stays as is
      continue;
    }
    if (text.empty()) {
      std::string file;
      if (fromFolder) {
        file = element.path;
      } else if (haveFolder) {
        // Only a file that is this payload's own, never one that merely mentions the code.
        const std::string name = FindFileNaming(folder, element.payloadCode);
        if (name.substr(0, name.find('.')) == element.payloadCode) {
          file = folder + platform::kPathSeparator + name;
        }
      }
      if (!file.empty() && written.insert(file).second && FileExists(file.c_str()) &&
          RemoveFile(file.c_str()) != 0) {
        note(PCFCannotWrite);
      }
      continue;
    }
    // A loaded key or value may hold what no file can: broken UTF-8, or a NUL (from "&#;").
    // Written out, either would leave a file that never loads again; the file stays as it is.
    if (!pcf::IsValidUtf8(text) || text.find('\0') != std::string::npos) {
      note(PCFCannotRead);
      continue;
    }

    const std::string target =
        fromFolder ? element.path
                   : PayloadFilePath(element.payloadCode, EntryOf(element, kNamingCodeKey));
    note(WriteOnce(target, text, &written));
    const std::string copy = EntryOf(element, kSecondCopyKey);
    if (!copy.empty() && copy.size() < kSecondCopyPathSize) {
      note(WriteOnce(copy, text, &written));
    }
  }
  return result;
}

}  // namespace

extern "C" {

PCFStatus PCFStringListCreate(PCFStringList** list) {
  if (list == nullptr) return PCFInvalidArgument;
  return Guarded([&]() -> PCFStatus {
    *list = new PCFStringList();
    return PCFSuccess;
  });
}

void PCFStringListDestroy(PCFStringList* list) { delete list; }

size_t PCFStringListCount(const PCFStringList* list) {
  return list == nullptr ? 0 : list->items.size();
}

const char* PCFStringListItem(const PCFStringList* list, size_t index) {
  if (list == nullptr || index >= list->items.size()) return nullptr;
  return list->items[index].c_str();
}

PCFStatus PCFCreate(PCF** pcf) {
  if (pcf == nullptr) return PCFInvalidArgument;
  return Guarded([&]() -> PCFStatus {
    *pcf = new PCF();
    return PCFSuccess;
  });
}

PCFStatus PCFDestroy(PCF* pcf, unsigned char saveFirst) {
  if (pcf == nullptr) return PCFInvalidArgument;
  std::unique_ptr<PCF> owner(pcf);
  if (saveFirst != 1) return PCFSuccess;
  return Guarded([&]() -> PCFStatus { return Save(*owner); });
}

PCFStatus PCFSave(PCF* pcf) {
  if (pcf == nullptr) return PCFInvalidArgument;
  return Guarded([&]() -> PCFStatus { return Save(*pcf); });
}

PCFStatus PCFLoad(PCF* pcf, const char* path, int32_t overlay) {
  if (pcf == nullptr) return PCFInvalidArgument;
  return Guarded([&]() -> PCFStatus { return Load(*pcf, path, (overlay & 0xFF) != 0); });
}

PCFStatus PCFGetValueForKeyInSubDomain(PCF* pcf, char* buffer, size_t size, const char* key,
                                       const char* subDomain) {
  if (pcf == nullptr || buffer == nullptr || size == 0) return PCFInvalidArgument;
  return Guarded([&]() -> PCFStatus {
    if (!IsReadableCode(*pcf, subDomain) || !IsReadableKey(*pcf, key, subDomain)) {
      return PCFInvalidArgument;
    }
    if (EnsurePayloadLoaded(*pcf, subDomain) != PCFSuccess) return PCFNotFound;
    buffer[0] = '\0';
    for (const auto& element : pcf->liveData) {
      const pcf::Entries* entries = FindSection(element, subDomain);
      if (entries == nullptr) continue;
      const auto found = entries->find(key);
      if (found == entries->end()) continue;  // a later file may still hold the key
      if (found->second.size() >= size) return PCFBufferTooSmall;
      CopyBounded(buffer, size, found->second.c_str(), found->second.size());
      return PCFSuccess;
    }
    return PCFNoKey;
  });
}

PCFStatus PCFSetValueForKeyInSubDomain(PCF* pcf, const char* value, const char* key,
                                       const char* subDomain) {
  if (pcf == nullptr || !pcf::IsUsableText(value) || !pcf::IsUsableText(key) ||
      !pcf::IsUsableText(subDomain)) {
    return PCFInvalidArgument;
  }
  return Guarded([&]() -> PCFStatus {
    // Refused now rather than at the save, which could then not write the file at all.
    if (!pcf::KeyFitsTag(key) || !pcf::CodeFitsTag(subDomain)) return PCFInvalidArgument;
    const PCFStatus status = EnsurePayloadLoaded(*pcf, subDomain);
    if (status != PCFSuccess) return status;
    // A code known only as part of a loaded file's code has no element to hold the value.
    PCF::Element* element = FirstHolding(*pcf, subDomain);
    if (element == nullptr) return PCFNoKey;
    element->sections[subDomain][key] = value;
    return PCFSuccess;
  });
}

PCFStatus PCFRemoveKeyInSubDomain(PCF* pcf, const char* key, const char* subDomain) {
  if (pcf == nullptr) return PCFInvalidArgument;
  return Guarded([&]() -> PCFStatus {
    if (!IsReadableCode(*pcf, subDomain) || !IsReadableKey(*pcf, key, subDomain)) {
      return PCFInvalidArgument;
    }
    if (EnsurePayloadLoaded(*pcf, subDomain) != PCFSuccess) return PCFNoKey;
    for (auto& element : pcf->liveData) {
      const auto section = element.sections.find(subDomain);
      if (section != element.sections.end() && section->second.erase(key) != 0) break;
    }
    return PCFSuccess;
  });
}

PCFStatus PCFRemoveAllKeysInSubDomain(PCF* pcf, const char* subDomain) {
  if (pcf == nullptr) return PCFInvalidArgument;
  return Guarded([&]() -> PCFStatus {
    if (!IsReadableCode(*pcf, subDomain)) return PCFInvalidArgument;
    if (EnsurePayloadLoaded(*pcf, subDomain) != PCFSuccess) return PCFNoKey;
    PCF::Element* element = FirstHolding(*pcf, subDomain);
    if (element != nullptr) element->sections[subDomain].clear();
    return PCFSuccess;
  });
}

PCFStatus PCFGetKeysInSubDomain(PCF* pcf, PCFStringList* list, const char* subDomain) {
  if (pcf == nullptr || list == nullptr) return PCFInvalidArgument;
  return Guarded([&]() -> PCFStatus {
    if (!IsReadableCode(*pcf, subDomain)) return PCFInvalidArgument;
    list->items.clear();
    if (EnsurePayloadLoaded(*pcf, subDomain) != PCFSuccess) return PCFSuccess;
    if (const PCF::Element* element = FirstHolding(*pcf, subDomain)) {
      for (const auto& entry : *FindSection(*element, subDomain)) {
        list->items.push_back(entry.first);
      }
    }
    return PCFSuccess;
  });
}

PCFStatus PCFGetSubDomains(PCF* pcf, PCFStringList* list) {
  if (pcf == nullptr || list == nullptr) return PCFInvalidArgument;
  return Guarded([&]() -> PCFStatus {
    list->items.clear();
    for (const auto& element : pcf->liveData) {
      for (const auto& section : element.sections) list->items.push_back(section.first);
    }
    return PCFSuccess;
  });
}

PCFStatus PCFIsFlagSet(PCF* pcf) {
  if (pcf == nullptr) return PCFInvalidArgument;
  return pcf->usedDefaultCode != 0 ? PCFSuccess : PCFFlagNotSet;
}

}  // extern "C"
