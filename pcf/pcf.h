// Payload configuration files: the flat entry points.
//
// A PCF is an in-memory collection of payload configuration files. Each payload, named by its
// payload code (a GUID in braces), has an XML file of key/value entries in the PCF folder
// (<maker folder of the 32-bit program files view>/PCF); a file holds its own payload's data
// in its Payload section and may carry other payloads' data in Other sections. Reads look
// through the loaded files in load order; a payload that is not loaded yet is found in the PCF
// folder by its code and loaded on first use. Changes stay in memory until PCFSave.
//
// Every function answers a PCFStatus (0 for success) and never lets an exception out. Texts
// are UTF-8; a text argument that is null, empty or not valid UTF-8 is refused with
// PCFInvalidArgument before anything changes, except that reads and removals also take a key
// or code that a loaded file holds as it is (a file may hold an empty key or code, or one that
// is not valid UTF-8 once a character reference is decoded), so that whatever the listings
// hand out can be read and removed; writes never take such a text. A PCF takes no locks: use
// it from one thread at a time.
#ifndef QEM_PCF_PCF_H_
#define QEM_PCF_PCF_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t PCFStatus;
enum {
  PCFSuccess = 0,
  PCFNoMemory = 3,
  PCFInvalidArgument = 4,  // null object or output; text null, empty or not valid UTF-8;
                           // a key or code too long to be saved
  PCFNotFound = 5,         // file to load missing; payload neither loaded nor in the PCF folder
  PCFCannotRead = 6,       // file cannot be read; a text to save is not valid UTF-8 or holds a NUL
  PCFMalformed = 7,        // not well-formed XML, or not the file's structure
  PCFNoCode = 9,           // a section has no code
  PCFNoKey = 10,           // entry without key; key not found; payload not available
  PCFCannotWrite = 12,     // a file cannot be written, replaced or deleted
  PCFBufferTooSmall = 13,  // the value does not fit the caller's buffer
  PCFFlagNotSet = 255,     // PCFIsFlagSet: no section took its code from its default entry
};

typedef struct PCF PCF;

// A list of texts that the listing functions fill. The caller creates it, passes it to any
// number of listings (each empties it first) and destroys it. Item texts belong to the list
// and stay valid until the list is next filled or destroyed.
typedef struct PCFStringList PCFStringList;

PCFStatus PCFStringListCreate(PCFStringList** list);  // PCFInvalidArgument for a null out
void PCFStringListDestroy(PCFStringList* list);        // null is harmless
size_t PCFStringListCount(const PCFStringList* list);  // 0 for null
// The text at `index`, or null when the list is null or the index is out of range.
const char* PCFStringListItem(const PCFStringList* list, size_t index);

// Makes an empty PCF into *pcf; the caller owns it until PCFDestroy.
PCFStatus PCFCreate(PCF** pcf);

// Saves first when `saveFirst` is 1 and answers the save's code, else 0; destroys the object
// in both cases.
PCFStatus PCFDestroy(PCF* pcf, unsigned char saveFirst);

// Writes every file loaded without overlay back, changed or not, as the payload of that file:
// - a file loaded from the PCF folder is rewritten in place; one loaded from elsewhere is
//   written to "<PCF folder>/<code>.<naming code>.xml", the naming code being the payload's
//   entry "PayloadName" (PCFCannotWrite without one, or for a code that is not a GUID in
//   braces);
// - a copy goes to the path held by the payload's entry "QemConfigPath", when it has one;
// - each file is replaced in one step through a temporary file in its folder, so a crash
//   leaves the old or the new text; a path is written once per save, by the first file loaded
//   that targets it;
// - when a file's data holds no entry at all, the payload's file in the PCF folder is
//   deleted instead;
// - a key or code too long for its tag line leaves that file untouched (PCFCannotWrite), and a
//   text that is not valid UTF-8 is not written (PCFCannotRead).
// Goes on after a failure and answers the first failure, 0 when everything was written.
PCFStatus PCFSave(PCF* pcf);

// Loads a file. Without overlay (the low byte of `overlay` is 0) it becomes a new element
// after those loaded before; with overlay its entries go into the first element already
// holding each of its payload codes.
PCFStatus PCFLoad(PCF* pcf, const char* path, int32_t overlay);

// Copies the value into `buffer` when it fits `size` bytes with its terminator
// (PCFBufferTooSmall otherwise, with the buffer emptied). PCFNoKey when the key is missing,
// PCFNotFound when the payload cannot be loaded.
PCFStatus PCFGetValueForKeyInSubDomain(PCF* pcf, char* buffer, size_t size, const char* key,
                                       const char* subDomain);

// Sets the value in the first element holding the payload. PCFNoKey when no element holds it
// although the payload is known; PCFInvalidArgument for an empty value or a key or code too
// long to be saved.
PCFStatus PCFSetValueForKeyInSubDomain(PCF* pcf, const char* value, const char* key,
                                       const char* subDomain);

// Removes the key from the first element holding the payload and the key (0 also when none
// does). PCFNoKey when the payload cannot be loaded.
PCFStatus PCFRemoveKeyInSubDomain(PCF* pcf, const char* key, const char* subDomain);

// Removes every key of the payload from the first element holding it; the payload stays
// known, without entries. PCFNoKey when the payload cannot be loaded.
PCFStatus PCFRemoveAllKeysInSubDomain(PCF* pcf, const char* subDomain);

// Empties the list, then lists the payload's keys in byte order (empty, with 0, when the
// payload cannot be loaded).
PCFStatus PCFGetKeysInSubDomain(PCF* pcf, PCFStringList* list, const char* subDomain);

// Empties the list, then lists every payload code of every element, in load order and within
// an element in byte order (a code held by several elements appears once per element).
PCFStatus PCFGetSubDomains(PCF* pcf, PCFStringList* list);

// 0 when some section of a loaded file took its code from its "defaultKymraCode" entry,
// PCFFlagNotSet otherwise.
PCFStatus PCFIsFlagSet(PCF* pcf);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // QEM_PCF_PCF_H_
