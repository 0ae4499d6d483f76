#include "pcd/session/pcd_session.h"

#include <sqlite3.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "pcd/session/database_files.h"
#include "platform/platform.h"

namespace {

constexpr int kBusyTimeoutMs = 2000;

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// A stored version: the text as a decimal integer, a text that is no number reading as 0.
// Kept well inside int so that "version + 1" cannot overflow.
int ParseVersion(const char* text) {
  if (text == nullptr) return 0;
  const long long value = std::strtoll(text, nullptr, 10);
  if (value > INT_MAX / 2) return INT_MAX / 2;
  if (value < INT_MIN / 2) return INT_MIN / 2;
  return static_cast<int>(value);
}

struct EngineTextFree {
  void operator()(char* text) const { sqlite3_free(text); }
};

}  // namespace

int PCDStatusFromEngine(int engine_code) {
  switch (engine_code & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return PCD_OK;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_AUTH:
      return PCD_ERR_ACCESS;
    case SQLITE_BUSY:
      return PCD_ERR_BUSY;
    case SQLITE_NOMEM:
      return PCD_ERR_NO_MEMORY;
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_FULL:
    case SQLITE_NOTADB:
      return PCD_ERR_IO;
    case SQLITE_NOTFOUND:
    case SQLITE_EMPTY:
      return PCD_ERR_NOT_FOUND;
    case SQLITE_CONSTRAINT:
      return PCD_ERR_CONSTRAINT;
    default:
      return PCD_ERR_ENGINE;
  }
}

PCDSession::PCDSession(std::string folder, std::string file_name, const PCDSchema& schema,
                       bool grant_write, bool skip_access_control, PCDDatabaseKind kind)
    : folder_(std::move(folder)),
      file_name_(std::move(file_name)),
      schema_(schema),
      kind_(kind) {
  state_ = Open();
  if (state_ == PCD_OK && !skip_access_control) pcd::SetFolderAccess(folder_, grant_write);
}

PCDSession::~PCDSession() {
  // No commit here: a transaction still open is discarded by the engine.
  if (connection_ != nullptr) sqlite3_close(connection_);
}

int PCDSession::Open() {
  if (!pcd::JoinPath(folder_, file_name_, &path_)) {
    path_.clear();
    return PCD_ERR_BAD_ARGUMENT;
  }
  platform::FileFacts facts;
  const bool exists = platform::PathExists(path_);
  const bool is_folder = exists && platform::StatPath(path_, &facts) == 0 && facts.is_folder;
  if (is_folder) return PCD_ERR_NOT_OPEN;
  if (!exists) {
    const int made = pcd::CreateFolderTree(folder_);
    if (made != PCD_OK) return made;
  }

  sqlite3* connection = nullptr;
  const int opened = sqlite3_open(path_.c_str(), &connection);
  if (opened != SQLITE_OK || connection == nullptr) {
    // The engine hands out a connection even when opening fails; it must still be closed.
    if (connection != nullptr) sqlite3_close(connection);
    return opened != SQLITE_OK ? PCDStatusFromEngine(opened) : PCD_ERR_NO_MEMORY;
  }
  connection_ = connection;
  sqlite3_busy_timeout(connection_, kBusyTimeoutMs);
  state_ = PCD_OK;
  return BringSchemaForward();
}

int PCDSession::BringSchemaForward() {
  const int target = PCDTargetVersion(kind_);
  int stored = 0;
  int compatible = 0;
  const char* text = nullptr;
  int read = QueryValue(&text, "SELECT value FROM pcd_meta WHERE key = 'schema_version'");
  if (read == PCD_OK) {
    stored = ParseVersion(text);
    read = QueryValue(&text,
                      "SELECT value FROM pcd_meta WHERE key = 'schema_compatibility_version'");
    if (read == PCD_OK) compatible = ParseVersion(text);
  }

  // Written for a newer program: refused and left untouched.
  if (target < compatible) {
    Close();
    return PCD_ERR_TOO_NEW;
  }

  if (stored + 1 > target) {
    if (read != PCD_OK) Close();
    return read;
  }

  for (int version = stored + 1; version <= target; ++version) {
    const int applied = ApplyVersion(version);
    if (applied == PCD_OK) continue;
    // The first step's failure is not reported: the file stays open at the version it had.
    // This is what lets a file without version rows (caps) open again and again.
    if (version == stored + 1) return PCD_OK;
    Close();
    return applied;
  }
  return PCD_OK;
}

int PCDSession::ApplyVersion(int version) {
  if (connection_ == nullptr) return PCD_ERR_NOT_OPEN;
  if (version < 1) return PCD_ERR_BAD_ARGUMENT;
  for (int i = 0; i < version; ++i) {
    if (schema_.versions[i] == nullptr) return PCD_ERR_NO_SCHEMA_STEP;
  }
  Exec("BEGIN");
  for (PCDStatementList statement = schema_.versions[version - 1]; *statement; ++statement) {
    // Passed as an argument, never as the format: a schema text is not a format.
    if (Exec("%s", *statement) != PCD_OK) {
      Exec("ROLLBACK");
      return PCD_ERR_NOT_OPEN;
    }
  }
  return Exec("COMMIT");
}

int PCDSession::Prepare(const char* format, va_list args, sqlite3_stmt** statement) {
  *statement = nullptr;
  std::unique_ptr<char, EngineTextFree> text(sqlite3_vmprintf(format, args));
  if (!text) return PCD_ERR_NO_MEMORY;

  if (state_ != PCD_OK || connection_ == nullptr) {
    if (StartsWith(text.get(), "SELECT")) return PCD_ERR_NOT_FOUND;
    return state_ != PCD_OK ? state_ : PCD_ERR_NOT_OPEN;
  }

  // The first write outside a transaction opens the one that groups this session's writes
  // until CommitAndFlush or the closing of the handle.
  if (sqlite3_get_autocommit(connection_) &&
      (StartsWith(text.get(), "INSERT ") || StartsWith(text.get(), "UPDATE ") ||
       StartsWith(text.get(), "DELETE "))) {
    const int begun = Exec("BEGIN");
    if (begun != PCD_OK) return begun;
  }

  const int prepared = sqlite3_prepare(connection_, text.get(),
                                       static_cast<int>(std::strlen(text.get())), statement,
                                       nullptr);
  return PCDStatusFromEngine(prepared);
}

int PCDSession::Exec(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = ExecV(format, args);
  va_end(args);
  return result;
}

int PCDSession::ExecV(const char* format, va_list args) {
  sqlite3_stmt* statement = nullptr;
  const int prepared = Prepare(format, args, &statement);
  if (prepared != PCD_OK) return prepared;
  if (statement == nullptr) return PCD_OK;  // only blanks or comments

  int result = PCD_OK;
  for (;;) {
    const int stepped = sqlite3_step(statement);
    if (stepped == SQLITE_ROW) continue;
    if (stepped != SQLITE_DONE) result = PCDStatusFromEngine(stepped);
    break;
  }
  // Through the first statement interface a failing step says only "error"; the finalisation
  // gives the specific code (a trigger's abort: constraint).
  const int finalized = sqlite3_finalize(statement);
  if (finalized != SQLITE_OK) result = PCDStatusFromEngine(finalized);
  return result;
}

int PCDSession::QueryValue(const char** out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = QueryValueV(out, format, args);
  va_end(args);
  return result;
}

int PCDSession::QueryValueV(const char** out, const char* format, va_list args) {
  if (out == nullptr) return PCD_ERR_BAD_ARGUMENT;
  *out = "";
  sqlite3_stmt* statement = nullptr;
  const int prepared = Prepare(format, args, &statement);
  if (prepared != PCD_OK) return prepared;
  *out = nullptr;
  if (statement == nullptr) return PCD_ERR_NOT_FOUND;

  int result = PCD_OK;
  const int stepped = sqlite3_step(statement);
  if (stepped == SQLITE_ROW) {
    // A NULL value reads as an empty text.
    const auto* column = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    const char* value = column != nullptr ? column : "";
    const size_t size = std::strlen(value) + 1;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
    if (copy) {
      std::memcpy(copy.get(), value, size);
      try {
        value_texts_.push_back(std::move(copy));
        *out = value_texts_.back().get();
      } catch (const std::bad_alloc&) {
        result = PCD_ERR_NO_MEMORY;
      }
    } else {
      result = PCD_ERR_NO_MEMORY;
    }
  } else if (stepped == SQLITE_DONE) {
    result = PCD_ERR_NOT_FOUND;
  } else if (stepped == SQLITE_ERROR) {
    result = PCD_ERR_ENGINE;  // replaced by the finalisation's specific code below
  } else {
    result = PCDStatusFromEngine(stepped);
  }
  const int finalized = sqlite3_finalize(statement);
  if (finalized != SQLITE_OK) result = PCDStatusFromEngine(finalized);
  return result;
}

int PCDSession::CommitAndFlush() {
  if (state_ != PCD_OK || connection_ == nullptr) return PCD_OK;
  if (!sqlite3_get_autocommit(connection_)) {
    const int committed = Exec("COMMIT");
    if (committed != PCD_OK) return committed;
  }
  pcd::FlushFileToDisk(path_);
  return PCD_OK;
}

int PCDSession::Close() {
  if (state_ != PCD_OK || connection_ == nullptr) return PCD_OK;
  const int closed = sqlite3_close(connection_);
  connection_ = nullptr;
  state_ = PCD_ERR_NOT_OPEN;
  return PCDStatusFromEngine(closed);
}
