#include "pcf/configuration_file.h"

#include <tinyxml.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "util/paths.h"
#include "util/xml_nesting.h"

namespace pcf {

const char kDefaultCodeKey[] = "defaultKymraCode";

namespace {

constexpr char kRootPrefix[] = "Configuration";
// Condensing would fold runs of blanks inside values. The switch is process-wide, so it is
// restored for other users of the parser once this file is read.
class KeepWhiteSpace {
 public:
  KeepWhiteSpace() : previous_(TiXmlBase::IsWhiteSpaceCondensed()) {
    TiXmlBase::SetCondenseWhiteSpace(false);
  }
  ~KeepWhiteSpace() { TiXmlBase::SetCondenseWhiteSpace(previous_); }
  KeepWhiteSpace(const KeepWhiteSpace&) = delete;
  KeepWhiteSpace& operator=(const KeepWhiteSpace&) = delete;

 private:
  bool previous_;
};

// A section's code and live entries, entered into `sections` unless an earlier section of the
// same file already holds that code.
PCFStatus ParseSection(const TiXmlElement& section, ParsedFile* parsed, std::string* code) {
  const char* attribute = section.Attribute("kymraCode");
  if (attribute == nullptr) attribute = section.Attribute("defaultKymraCode");

  Entries entries;
  for (const TiXmlElement* data = section.FirstChildElement("Data"); data != nullptr;
       data = data->NextSiblingElement("Data")) {
    const char* key = data->Attribute("key");
    if (key == nullptr) return PCFNoKey;
    // An absent "protected", or one beginning with "1", makes the entry live; any other
    // value sets it aside, and it is neither read nor saved.
    const char* protection = data->Attribute("protected");
    if (protection != nullptr && protection[0] != '1') continue;
    std::string value;
    const TiXmlNode* first = data->FirstChild();
    if (first != nullptr && first->ToText() != nullptr) value = first->ValueStr();
    entries.emplace(key, std::move(value));  // the first live entry for a key wins
  }

  if (attribute != nullptr) {
    *code = attribute;
  } else {
    const auto found = entries.find(kDefaultCodeKey);
    if (found == entries.end()) return PCFNoCode;
    *code = found->second;
    parsed->usedDefaultCode = true;
  }
  parsed->sections.emplace(*code, std::move(entries));
  return PCFSuccess;
}

bool RefuseNonRegular(const platform::FileFacts& opened, void*) { return opened.is_regular; }

// Writes the whole text and closes the stream, answering whether every step succeeded.
bool WriteAndClose(std::FILE* stream, const std::string& text) {
  bool ok = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  ok = std::fflush(stream) == 0 && ok;
  ok = std::fclose(stream) == 0 && ok;
  return ok;
}

// Pushes the file's data to the disk: a stream can only be flushed to the system, so the file
// is opened once more by handle for that.
bool FlushToDisk(const std::string& path) {
  platform::FileOpenOptions options;
  options.write = true;
  options.disposition = platform::FileDisposition::kOpenExisting;
  std::unique_ptr<platform::File> file;
  if (platform::OpenFile(path, options, &file) != 0) return false;
  const bool flushed = file->Flush() == 0;
  return file->Close() == 0 && flushed;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const std::string separators = std::string("/") + platform::kPathSeparator;
  const size_t last = path.find_last_of(separators);
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

PCFStatus ParseConfigurationText(const std::string& text, ParsedFile* parsed) {
  // The parser reads a multi-byte sequence whole even where the text ends inside it, so
  // broken UTF-8 is refused before it ever sees the text; so is a NUL, where it would stop.
  if (!IsValidUtf8(text) || text.find('\0') != std::string::npos) return PCFMalformed;
  // The parser recurses once per nesting level; a configuration file is three levels deep, so
  // this only ever refuses hostile input before it exhausts the stack.
  if (XmlNestsDeeperThan(text, kXmlMaxNesting, XmlScanEncoding::kUtf8)) return PCFMalformed;

  TiXmlDocument document;
  {
    KeepWhiteSpace keep;
    document.Parse(XmlParserInput(text).c_str(), nullptr, TIXML_ENCODING_UTF8);
  }
  if (document.Error()) return PCFMalformed;
  const TiXmlElement* root = document.RootElement();
  if (root == nullptr ||
      std::strncmp(root->Value(), kRootPrefix, sizeof(kRootPrefix) - 1) != 0) {
    return PCFMalformed;
  }
  const TiXmlElement* payload = root->FirstChildElement("Payload");
  if (payload == nullptr || payload->NextSiblingElement("Payload") != nullptr) {
    return PCFMalformed;
  }

  PCFStatus status = ParseSection(*payload, parsed, &parsed->payloadCode);
  if (status != PCFSuccess) return status;
  for (const TiXmlElement* other = root->FirstChildElement("Other"); other != nullptr;
       other = other->NextSiblingElement("Other")) {
    std::string code;
    status = ParseSection(*other, parsed, &code);
    if (status != PCFSuccess) return status;
  }
  return PCFSuccess;
}

PCFStatus ParseConfigurationFile(const std::string& path, ParsedFile* parsed) {
  std::FILE* stream = OpenFileShared(path.c_str(), "rb");
  if (stream == nullptr) return PCFCannotRead;
  std::string text;
  char chunk[8192];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof(chunk), stream)) > 0) text.append(chunk, got);
  const bool failed = std::ferror(stream) != 0;
  std::fclose(stream);
  if (failed) return PCFCannotRead;
  return ParseConfigurationText(text, parsed);
}

PCFStatus WriteFileReplacing(const std::string& path, const std::string& text) {
  // The temporary name carries no payload code, so that a leftover from a crash is never
  // taken for a payload's file when the folder is searched by code.
  const std::string temporary =
      FolderOf(path) + "~pcf-" + std::to_string(platform::ProcessId()) + ".tmp";
  std::FILE* stream = OpenFileShared(temporary.c_str(), "wb", RefuseNonRegular);
  if (stream == nullptr) return PCFCannotWrite;
  const bool written = WriteAndClose(stream, text) && FlushToDisk(temporary) &&
                       platform::ReplaceFile(temporary, path) == 0;
  if (!written) {
    RemoveFile(temporary.c_str());
    return PCFCannotWrite;
  }
  return PCFSuccess;
}

}  // namespace pcf
