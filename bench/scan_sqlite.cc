// The scan done on SQLite: list the sub-domains, then read the mapping key of each matching one
// with a point read, as the tool reads the cache. Arguments: database, product, key.
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return 3;
  sqlite3_busy_timeout(db, 2000);
  std::vector<std::string> names;
  sqlite3_stmt* list = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT DISTINCT subdomain FROM kv ORDER BY subdomain", -1, &list,
                         nullptr) != SQLITE_OK)
    return 4;
  while (sqlite3_step(list) == SQLITE_ROW)
    names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(list, 0)));
  sqlite3_finalize(list);
  sqlite3_stmt* read = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT value FROM kv WHERE subdomain = ?1 AND key = ?2", -1, &read,
                         nullptr) != SQLITE_OK)
    return 5;
  size_t found = 0;
  char value[512];
  for (const std::string& name : names) {
    if (std::strstr(name.c_str(), argv[2]) == nullptr) continue;
    sqlite3_bind_text(read, 1, name.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(read, 2, argv[3], -1, SQLITE_STATIC);
    if (sqlite3_step(read) == SQLITE_ROW) {
      std::snprintf(value, sizeof value, "%s",
                    reinterpret_cast<const char*>(sqlite3_column_text(read, 0)));
      ++found;
    }
    sqlite3_reset(read);
  }
  sqlite3_finalize(read);
  sqlite3_close(db);
  std::printf("%zu\n", found);
  return found > 0 ? 0 : 1;
}
