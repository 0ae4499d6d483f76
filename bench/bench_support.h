// Shared set-up of the benchmark programs: sandboxes on the file system under test, cache
// documents written the way the store writes them, and the same data in an SQLite database.
#ifndef QEM_BENCH_BENCH_SUPPORT_H_
#define QEM_BENCH_BENCH_SUPPORT_H_

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "cache/document/document.h"
#include "cache/document/seal.h"
#include "cache/store/store.h"
#include "platform/platform.h"

namespace bench {

// Product identifier and mapping key that the tool looks for (tool/kelvane_run.cc).
constexpr char kProduct[] = "KVL-ORBIT";
constexpr char kMappingKey[] = "ProductMapping";

inline void Fail(const std::string& what) {
  std::fprintf(stderr, "bench: %s\n", what.c_str());
  std::exit(1);
}

// The folder that holds every sandbox: $QEM_BENCH_DIR, else "bench-sandbox" in the working
// folder. All compared variants keep their files there, on one file system.
inline std::filesystem::path BaseFolder() {
  const char* dir = std::getenv("QEM_BENCH_DIR");
  std::filesystem::path base = (dir && *dir) ? dir : "bench-sandbox";
  std::filesystem::create_directories(base);
  return std::filesystem::absolute(base);
}

// A fresh, empty folder under the base folder.
inline std::filesystem::path FreshFolder(const std::string& name) {
  std::filesystem::path folder = BaseFolder() / name;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

// Points the machine root at `root` and returns the cache folder beneath it, created.
inline std::string UseSystemRoot(const std::filesystem::path& root) {
  platform::SetEnv("QemSystemRoot", root.c_str());
  SLCacheStore store;
  std::string folder;
  store.getCacheFolderPath(&folder);
  if (folder.empty()) Fail("no cache folder under " + root.string());
  std::filesystem::create_directories(folder);
  return folder;
}

inline std::string SubDomainName(int index) {
  char name[64];
  std::snprintf(name, sizeof name, "%s-%06d", kProduct, index);
  return name;
}

// Key 0 is the mapping key; the others are numbered.
inline std::string KeyName(int index) {
  if (index == 0) return kMappingKey;
  char name[32];
  std::snprintf(name, sizeof name, "Key%04d", index);
  return name;
}

// A value of 30 characters that differs with both numbers (and with `round`).
inline std::string Value(int subDomain, int key, int round = 0) {
  char value[64];
  std::snprintf(value, sizeof value, "value-%06d-%04d-%06d-abcdefg", subDomain, key,
                round % 1000000);
  return value;
}

// The printed, unsealed text of a document holding `keys` keys of one sub-domain.
inline std::string DocumentText(const std::string& subDomain, int index, int keys) {
  std::string fileName;
  SLCacheStore::subDomainToFileName(subDomain.c_str(), &fileName);
  SLCacheDoc document(kSLCacheDocNew);
  if (document.initNewDocument(subDomain.c_str(), fileName.c_str()) != kSLCacheOk)
    Fail("initNewDocument");
  for (int k = 0; k < keys; ++k) {
    if (document.setValueForKey(subDomain.c_str(), KeyName(k).c_str(),
                                Value(index, k).c_str()) != kSLCacheOk)
      Fail("setValueForKey");
  }
  std::string text;
  SLCachePrintCompact(document.xmlDocument.get(), &text);
  return text;
}

inline std::string Seal(std::string text) {
  SLCacheSealingKey key;
  SLCacheLoadSealingKey(&key);
  if (embedSignature(&key, &text) != kSLCacheOk) Fail("embedSignature");
  return text;
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("cannot write " + path);
}

// Writes the sealed document of sub-domain `index` into the cache folder, as the store would
// (without the synchronisation to disk, which only the measured writes pay). Returns its size.
inline size_t SeedDocument(const std::string& cacheFolder, int index, int keys) {
  const std::string subDomain = SubDomainName(index);
  std::string fileName;
  SLCacheStore::subDomainToFileName(subDomain.c_str(), &fileName);
  const std::string sealed = Seal(DocumentText(subDomain, index, keys));
  WriteWholeFile(cacheFolder + "/" + fileName, sealed);
  return sealed.size();
}

// SQLite ----------------------------------------------------------------------------------------

class Database {
 public:
  explicit Database(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) Fail("sqlite3_open " + path);
    sqlite3_busy_timeout(db_, 2000);
  }
  ~Database() { sqlite3_close_v2(db_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error ? error : "?";
      sqlite3_free(error);
      Fail("sqlite: " + message + " in " + sql);
    }
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK)
      Fail(std::string("sqlite prepare: ") + sqlite3_errmsg(db_));
    return statement;
  }
  sqlite3* handle() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// The schema that holds the same data as the cache: one row per key.
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS kv(subdomain TEXT NOT NULL, key TEXT NOT NULL, "
    "value TEXT NOT NULL, PRIMARY KEY(subdomain, key)) WITHOUT ROWID";

// Fills `db` with `subDomains` sub-domains of `keys` keys each, in one transaction.
inline void SeedDatabase(Database* db, int subDomains, int keys, int first = 0) {
  db->Exec(kSchema);
  db->Exec("BEGIN");
  sqlite3_stmt* insert = db->Prepare("INSERT OR REPLACE INTO kv VALUES(?1, ?2, ?3)");
  for (int s = first; s < first + subDomains; ++s) {
    const std::string name = SubDomainName(s);
    for (int k = 0; k < keys; ++k) {
      const std::string key = KeyName(k);
      const std::string value = Value(s, k);
      sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 2, key.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 3, value.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(insert) != SQLITE_DONE) Fail("sqlite insert");
      sqlite3_reset(insert);
    }
  }
  sqlite3_finalize(insert);
  db->Exec("COMMIT");
}

}  // namespace bench

#endif  // QEM_BENCH_BENCH_SUPPORT_H_
