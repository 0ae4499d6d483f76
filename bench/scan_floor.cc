// The scan's floor: every document file of the cache folder read and parsed once, and one key
// taken from it. Arguments: the cache folder and the key.
//
// With a third argument "twice", the floor of the tool's design instead: a listing pass that
// reads and parses every file and drops it, then a second pass that reads and parses every file
// again, keeps the parsed document (as the cache keeps it) and takes the key. With "keep", one
// pass that keeps every parsed document: what holding the documents costs by itself.
#include <tinyxml.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  const bool twice = argc == 4 && std::strcmp(argv[3], "twice") == 0;
  const bool keep = twice || (argc == 4 && std::strcmp(argv[3], "keep") == 0);
  const std::string folder = argv[1];
  const char* key = argv[2];
  std::vector<platform::FolderEntry> entries;
  bool startFailed = false;
  const int error = platform::ListFolder(folder, &entries, &startFailed);
  if (error != 0 && (startFailed || error != platform::kErrorNoMoreFiles)) return 3;
  TiXmlBase::SetCondenseWhiteSpace(false);
  size_t found = 0;
  char value[512];
  std::vector<std::unique_ptr<TiXmlDocument>> kept;
  for (int pass = twice ? 0 : 1; pass < 2; ++pass) {
  for (const platform::FolderEntry& entry : entries) {
    if (entry.is_folder || entry.name.size() <= 4 ||
        entry.name.compare(entry.name.size() - 4, 4, ".slc") != 0)
      continue;
    std::unique_ptr<platform::File> file;
    if (platform::OpenFile(folder + "/" + entry.name, platform::FileOpenOptions(), &file) != 0)
      continue;
    uint64_t size = 0;
    if (file->Size(&size) != 0) continue;
    std::string text(size, '\0');
    uint32_t moved = 0;
    if (file->Read(&text[0], static_cast<uint32_t>(size), &moved) != 0 || moved != size) continue;
    auto parsed = std::make_unique<TiXmlDocument>();
    TiXmlDocument& document = *parsed;
    document.Parse(text.c_str());
    if (document.Error() || !document.RootElement()) continue;
    if (pass == 0) continue;
    bool taken = false;
    for (const TiXmlElement* node = document.RootElement()->FirstChildElement(); node && !taken;
         node = node->NextSiblingElement()) {
      for (const TiXmlElement* k = node->FirstChildElement(); k; k = k->NextSiblingElement()) {
        const char* id = k->Attribute("id");
        if (id && std::strcmp(id, key) == 0) {
          const char* text = k->GetText();
          std::snprintf(value, sizeof value, "%s", text ? text : "");
          ++found;
          taken = true;
          break;
        }
      }
    }
    if (keep) kept.push_back(std::move(parsed));
  }
  }
  std::printf("%zu\n", found);
  return found > 0 ? 0 : 1;
}
