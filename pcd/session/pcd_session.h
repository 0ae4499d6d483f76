// Sessions over the product configuration database files.
//
// A session stands for one database file: it finds or creates the file's folder, opens the
// file, brings its schema to the target version of its kind, resets the folder's access list,
// runs statements with an implicit write transaction and reads single values. It reports
// everything through PCDStatus codes and writes no log. A session has no lock of its own and
// is used by one thread at a time; several processes may open the same file, kept apart by
// the engine's file locks with a busy time-out of 2000 ms.
#ifndef QEM_PCD_SESSION_PCD_SESSION_H_
#define QEM_PCD_SESSION_PCD_SESSION_H_

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include "pcd/schema/pcd_schema.h"

struct sqlite3;
struct sqlite3_stmt;

enum PCDStatus : int {
  PCD_OK = 0,
  PCD_ERR_NOT_OPEN = 1,        // not open; the path names a folder; no database folder; a
                               // statement of a schema version failed
  PCD_ERR_NO_MEMORY = 3,
  PCD_ERR_IO = 4,              // engine I/O error, corrupt file, full disk, not a database;
                               // a folder cannot be made or a file stands in its place
  PCD_ERR_NO_SCHEMA_STEP = 5,  // the schema has no statement list for a needed version
  PCD_ERR_CONSTRAINT = 6,      // a constraint failed, a trigger's RAISE(ABORT) included
  PCD_ERR_NOT_FOUND = 8,       // a query gave no row; a read on a session that is not open
  PCD_ERR_BAD_ARGUMENT = 10,   // a null pointer; a version below 1; a path too long to join
  PCD_ERR_ACCESS = 11,         // permission, read-only, cannot open, authorisation
  PCD_ERR_ENGINE = 12,         // any other engine code
  PCD_ERR_TOO_NEW = 13,        // the file's compatibility version is above our target
  PCD_ERR_BUSY = 14,           // locked by another connection for the whole busy time-out
};

// The one mapping of engine result codes to PCDStatus.
int PCDStatusFromEngine(int engine_code);

class PCDSession {
 public:
  // Opens the database `file_name` in `folder` and brings it to the target version of `kind`.
  // The outcome is the state (0: open). After a successful opening the folder's access list
  // is set, unless `skip_access_control`; its outcome does not change the state.
  PCDSession(std::string folder, std::string file_name, const PCDSchema& schema,
             bool grant_write, bool skip_access_control, PCDDatabaseKind kind);
  // Closes the connection without committing (an open transaction is discarded) and frees
  // every value text.
  ~PCDSession();
  PCDSession(const PCDSession&) = delete;
  PCDSession& operator=(const PCDSession&) = delete;

  // 0 while open; 1 before opening and after closing; otherwise the opening's failure code.
  int state() const { return state_; }

  // Formats a statement with the engine's formatting (%d: int, %q: text with its single
  // quotes doubled, %s: text as it stands) and runs it to the end. A write statement
  // ("INSERT ", "UPDATE ", "DELETE ") outside a transaction first opens one, which stays open
  // until CommitAndFlush or the handle's closing commits it.
  int Exec(const char* format, ...);

  // Runs a formatted query and hands out column 0 of its first row as text in `*out`. The text
  // belongs to the session and stays valid until it is destroyed. No row gives 8 and a null
  // `*out`. A NULL value gives 0 and an empty text: the row is there, its value is empty.
  int QueryValue(const char** out, const char* format, ...);

  // Runs the statements of schema version `version` as one transaction.
  int ApplyVersion(int version);

  // Commits an open transaction and forces the file to disk. 0 when not open.
  int CommitAndFlush();

  // Closes the connection; the session is never reopened. 0 when there is none.
  int Close();

  // The database file's full path (empty when the folder and name could not be joined).
  const std::string& path() const { return path_; }

 private:
  int Open();
  int BringSchemaForward();
  int ExecV(const char* format, va_list args);
  int QueryValueV(const char** out, const char* format, va_list args);
  // Formats and prepares a statement; `*statement` may stay null for a text with no statement.
  int Prepare(const char* format, va_list args, sqlite3_stmt** statement);

  int state_ = 1;
  sqlite3* connection_ = nullptr;
  std::vector<std::unique_ptr<char[]>> value_texts_;
  std::string folder_;
  std::string file_name_;
  const PCDSchema& schema_;
  PCDDatabaseKind kind_;
  std::string path_;
};

#endif  // QEM_PCD_SESSION_PCD_SESSION_H_
