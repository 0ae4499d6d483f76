// The schemas of the product configuration database files, as constant data.
//
// A schema is a version table: entry v-1 holds the statements of version v, and a null entry
// ends the table. Each statement list is an ordered array of SQL texts ended by a null entry;
// a version may have no statements at all (the end marker only). Version 1 turns an empty
// file into a first-version database; each later version turns a database of the previous
// version into one of its own. The session layer (pcd/session) runs the versions a file lacks.
//
// Every set but caps keeps its version bookkeeping in the table pcd_meta: "schema_version" is
// the last version whose statements ran on the file, "schema_compatibility_version" the lowest
// target version that may open it. Both are stored as the texts of integers.
#ifndef QEM_PCD_SCHEMA_PCD_SCHEMA_H_
#define QEM_PCD_SCHEMA_PCD_SCHEMA_H_

// One version's statements, ended by a null entry.
using PCDStatementList = const char* const*;

struct PCDSchema {
  // Entry v-1 is the statement list of version v; a null entry ends the table.
  const PCDStatementList* versions;
};

// The kind of a database file decides the version it is brought to: kinds 1 and 2 stop at
// version 1, every other kind goes to version 2.
//
// The numbers beyond the cache's 0 are ours to choose, and follow from that rule:
// - the backup and caps schemas have a single version, so they take the two kinds whose
//   target is 1 (backup 1, caps 2);
// - the main database uses the second form of the main schema (signatures, the table of
//   upgraded payloads, and the upgrade-chain statements of version 2), the later of the two
//   forms; it needs target 2 and takes kind 3. The first form stays available as data for
//   files written by older programs: it has a target-2 table too (an empty version 2), so it
//   opens under kind 0 or 3.
enum PCDDatabaseKind : int {
  PCDDatabaseKindCache = 0,
  PCDDatabaseKindBackup = 1,
  PCDDatabaseKindCaps = 2,
  PCDDatabaseKindMain = 3,
};

// The version a database of this kind is brought to.
int PCDTargetVersion(PCDDatabaseKind kind);

// The five schema sets.
extern const PCDSchema kPCDCacheSchema;         // versions 1 and 2 (2 has no statements)
extern const PCDSchema kPCDMainSchemaFirstForm;  // versions 1 and 2 (2 has no statements)
extern const PCDSchema kPCDMainSchema;           // second form: versions 1 and 2
extern const PCDSchema kPCDBackupSchema;        // version 1 only
extern const PCDSchema kPCDCapsSchema;          // version 1 only, no version bookkeeping

// Names kept with the schema sets.
extern const char kPCDCacheFolderName[];   // "cache"
extern const char kPCDCacheFileName[];     // "cache.db"
extern const char kPCDMainFileName[];      // "pcd.db"
extern const char kPCDBackupName[];        // "backup"
extern const char kPCDCapsFolderName[];    // "caps"
extern const char kPCDCapsFileName[];      // "caps.db"

// The folder below the common Kymra folder that holds the configuration databases.
extern const char kPCDDatabaseFolderName[];  // "Kymra PCD"

#endif  // QEM_PCD_SCHEMA_PCD_SCHEMA_H_
