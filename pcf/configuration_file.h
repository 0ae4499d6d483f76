// Reading one payload configuration file into sections, and writing a file's text so that a
// crash leaves either the old or the new file, never a mix.
#ifndef QEM_PCF_CONFIGURATION_FILE_H_
#define QEM_PCF_CONFIGURATION_FILE_H_

#include <string>

#include "pcf/configuration_text.h"
#include "pcf/pcf.h"

namespace pcf {

// The key of the entry a section falls back to for its code when it has no code attribute.
extern const char kDefaultCodeKey[];  // "defaultKymraCode"

// What one file contributes.
struct ParsedFile {
  Sections sections;          // live entries by payload code
  std::string payloadCode;    // the code of the file's Payload section
  bool usedDefaultCode = false;  // some section took its code from its "defaultKymraCode" entry
};

// Parses a file's text. Answers PCFSuccess, or:
//  PCFMalformed  not well-formed XML, not valid UTF-8, nested deeper than the parser can take
//                safely, a root whose name does not begin with "Configuration", or not
//                exactly one Payload section;
//  PCFNoCode     a section has no code;
//  PCFNoKey      an entry has no key attribute.
// A file is taken whole or not at all: any failing section refuses it, with the first
// failure's code, so that a later save never rewrites the file without the section it could
// not read. `parsed->usedDefaultCode` is set even when a later section fails.
PCFStatus ParseConfigurationText(const std::string& text, ParsedFile* parsed);

// Reads and parses a file (opened with the share mode that denies nothing). PCFCannotRead
// when it cannot be opened or read, else as ParseConfigurationText.
PCFStatus ParseConfigurationFile(const std::string& path, ParsedFile* parsed);

// Writes `text` byte for byte to a temporary file in the folder of `path`, flushes it to the
// disk and moves it over `path` in one step. PCFSuccess, or PCFCannotWrite when any step
// fails (open, a short write, flush, close, the move); the temporary file is then removed
// and `path` is left as it was.
PCFStatus WriteFileReplacing(const std::string& path, const std::string& text);

// The folder part of a path with its trailing separator ("/" or the system's own); empty for a
// bare name.
std::string FolderOf(const std::string& path);

}  // namespace pcf

#endif  // QEM_PCF_CONFIGURATION_FILE_H_
