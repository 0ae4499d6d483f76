// Sessions over database files, their folders and the flat interface.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "pcd/schema/pcd_schema.h"
#include "pcd/session/database_files.h"
#include "pcd/session/pcd_flat.h"
#include "pcd/session/pcd_flat_internal.h"
#include "pcd/session/pcd_session.h"
#include "platform/platform.h"

namespace {

const std::string kSep = platform::kPathSeparator;

std::string Join(const std::string& a, const std::string& b) {
  return a.empty() || a.back() == kSep[0] ? a + b : a + kSep + b;
}

void RemoveTree(const std::string& path) {
  platform::FileFacts facts;
  if (platform::StatPath(path, &facts) != 0) return;
  if (!facts.is_folder) {
    platform::RemoveFile(path);
    return;
  }
  std::vector<platform::FolderEntry> entries;
  bool start_failed = false;
  platform::ListFolder(path, &entries, &start_failed);
  for (const auto& entry : entries) {
    if (entry.name != "." && entry.name != "..") RemoveTree(Join(path, entry.name));
  }
  platform::RemoveFolder(path);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool IsFolder(const std::string& path) {
  platform::FileFacts facts;
  return platform::StatPath(path, &facts) == 0 && facts.is_folder;
}

// A connection of the test's own, beside the session's.
class Peer {
 public:
  explicit Peer(const std::string& path) {
    sqlite3_open(path.c_str(), &db_);
    sqlite3_busy_timeout(db_, 0);
  }
  ~Peer() { sqlite3_close(db_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  int Run(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }

  std::string Rows(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
      return std::string("error: ") + sqlite3_errmsg(db_);
    std::string rows;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      if (!rows.empty()) rows += ";";
      for (int c = 0; c < sqlite3_column_count(statement); ++c) {
        if (c > 0) rows += ",";
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
        rows += text ? text : "NULL";
      }
    }
    if (rc != SQLITE_DONE) rows = "error " + std::to_string(rc);
    sqlite3_finalize(statement);
    return rows;
  }

 private:
  sqlite3* db_ = nullptr;
};

// A schema whose versions leave a mark, so a test sees which of them ran.
constexpr const char* kProbeVersion1[] = {
    "CREATE TABLE pcd_meta (key TEXT NOT NULL PRIMARY KEY, value TEXT NOT NULL);",
    "CREATE TABLE steps (version INT);",
    "INSERT INTO steps VALUES (1);",
    "INSERT INTO pcd_meta (key, value) VALUES ('schema_version', 1);",
    "INSERT INTO pcd_meta (key, value) VALUES ('schema_compatibility_version', 1);",
    nullptr,
};
constexpr const char* kProbeVersion2[] = {"INSERT INTO steps VALUES (2);", nullptr};
constexpr const char* kProbeVersion2Failing[] = {
    "INSERT INTO steps VALUES (2);",
    "INSERT INTO missing_table VALUES (2);",
    nullptr,
};
constexpr PCDStatementList kProbeVersions[] = {kProbeVersion1, kProbeVersion2, nullptr};
constexpr PCDStatementList kProbeFailingVersions[] = {kProbeVersion1, kProbeVersion2Failing,
                                                      nullptr};
const PCDSchema kProbeSchema = {kProbeVersions};
const PCDSchema kProbeFailingSchema = {kProbeFailingVersions};

class PCDSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string temp;
    ASSERT_TRUE(platform::TempFolder(&temp));
    static int counter = 0;
    root_ = Join(temp, "pcd_session_test_" + std::to_string(platform::ProcessId()) + "_" +
                           std::to_string(++counter));
    RemoveTree(root_);
    ASSERT_EQ(platform::MakeFolder(root_), 0);
    folder_ = Join(root_, "db");
    path_ = Join(folder_, "test.db");
  }
  void TearDown() override { RemoveTree(root_); }

  // A database file prepared by the test itself.
  void MakeFile(const std::string& sql) {
    ASSERT_EQ(pcd::CreateFolderTree(folder_), PCD_OK);
    Peer peer(path_);
    ASSERT_EQ(peer.Run(sql), SQLITE_OK) << sql;
  }

  std::unique_ptr<PCDSession> Open(const PCDSchema& schema,
                                   PCDDatabaseKind kind = PCDDatabaseKindCache) {
    return std::make_unique<PCDSession>(folder_, "test.db", schema, true, true, kind);
  }

  std::string root_;
  std::string folder_;
  std::string path_;
};

// ---------------------------------------------------------------------------------------------
// Codes and paths.

TEST(PCDStatusTest, EngineCodesMapToStatus) {
  const struct {
    int engine;
    int status;
  } cases[] = {
      {SQLITE_OK, 0},         {SQLITE_ROW, 0},       {SQLITE_DONE, 0},     {SQLITE_PERM, 11},
      {SQLITE_READONLY, 11},  {SQLITE_CANTOPEN, 11}, {SQLITE_AUTH, 11},    {SQLITE_BUSY, 14},
      {SQLITE_NOMEM, 3},      {SQLITE_IOERR, 4},     {SQLITE_CORRUPT, 4},  {SQLITE_FULL, 4},
      {SQLITE_NOTADB, 4},     {SQLITE_NOTFOUND, 8},  {SQLITE_EMPTY, 8},    {SQLITE_CONSTRAINT, 6},
      {SQLITE_ERROR, 12},     {SQLITE_INTERNAL, 12}, {SQLITE_LOCKED, 12},  {SQLITE_SCHEMA, 12},
      {SQLITE_MISUSE, 12},    {SQLITE_RANGE, 12},    {SQLITE_TOOBIG, 12},  {SQLITE_MISMATCH, 12},
      {SQLITE_IOERR_READ, 4}, {SQLITE_BUSY_SNAPSHOT, 14},
  };
  for (const auto& c : cases) EXPECT_EQ(PCDStatusFromEngine(c.engine), c.status) << c.engine;
}

TEST(PCDPathTest, JoinPath) {
  std::string joined;
  ASSERT_TRUE(pcd::JoinPath("base", "name", &joined));
  EXPECT_EQ(joined, "base" + kSep + "name");
  ASSERT_TRUE(pcd::JoinPath("base" + kSep, "name", &joined));
  EXPECT_EQ(joined, "base" + kSep + "name");
  ASSERT_TRUE(pcd::JoinPath("base", "name" + kSep, &joined));
  EXPECT_EQ(joined, "base" + kSep + "name");
  ASSERT_TRUE(pcd::JoinPath("base" + kSep, "", &joined));
  EXPECT_EQ(joined, "base" + kSep);  // an empty name leaves the folder as it is

  // The limit counts UTF-16 units, not bytes: 120 two-byte letters are 120 units.
  std::string wide_folder;
  for (int i = 0; i < 120; ++i) wide_folder += "\xC3\xA9";
  EXPECT_TRUE(pcd::JoinPath(wide_folder, std::string(100, 'n'), &joined));
  EXPECT_FALSE(pcd::JoinPath(std::string(200, 'f'), std::string(61, 'n'), &joined));
  EXPECT_FALSE(pcd::JoinPath(std::string(261, 'f'), "", &joined));
  // A character outside the basic plane is two units.
  std::string astral;
  for (int i = 0; i < 65; ++i) astral += "\xF0\x9D\x84\x9E";
  EXPECT_FALSE(pcd::JoinPath(astral, std::string(131, 'n'), &joined));
}

TEST(PCDPathTest, ParentFolder) {
  const struct {
    std::string path;
    std::string parent;
  } cases[] = {
      {"name", "."},
      {"a" + kSep + "b", "a"},
      {"a" + kSep + "b" + kSep + "c.db", "a" + kSep + "b"},
      {"a" + kSep + "b" + kSep, "a"},  // the last component keeps its separator
      {kSep + "a", kSep},              // a one-character parent keeps its separator
  };
  for (const auto& c : cases) EXPECT_EQ(pcd::ParentFolder(c.path), c.parent) << c.path;
}

TEST_F(PCDSessionTest, CreateFolderTreeMakesEveryLevel) {
  const std::string deep = Join(Join(Join(root_, "one"), "two"), "three");
  EXPECT_EQ(pcd::CreateFolderTree(deep), PCD_OK);
  EXPECT_TRUE(IsFolder(deep));
  EXPECT_EQ(pcd::CreateFolderTree(deep), PCD_OK);  // exists: nothing to do

  const std::string file = Join(root_, "file");
  std::ofstream(file) << "x";
  EXPECT_EQ(pcd::CreateFolderTree(file), PCD_ERR_IO);
  EXPECT_EQ(pcd::CreateFolderTree(Join(Join(file, "below"), "deeper")), PCD_ERR_IO);
}

TEST_F(PCDSessionTest, CreateFolderTreeTakesAnotherCreatorsFolderAsSuccess) {
  // Several creators race for the same levels; whoever comes second finds the folder made.
  for (int round = 0; round < 20; ++round) {
    const std::string deep =
        Join(Join(Join(Join(root_, "r" + std::to_string(round)), "a"), "b"), "c");
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> creators;
    for (int i = 0; i < 4; ++i) {
      creators.emplace_back([&] {
        ready.fetch_add(1);
        while (ready.load() < 4) {
        }
        if (pcd::CreateFolderTree(deep) != PCD_OK) failures.fetch_add(1);
      });
    }
    for (auto& creator : creators) creator.join();
    EXPECT_EQ(failures.load(), 0) << "round " << round;
    EXPECT_TRUE(IsFolder(deep));
  }
}

// ---------------------------------------------------------------------------------------------
// Opening and versions.

TEST_F(PCDSessionTest, FreshFileGetsEveryVersionAndSecondOpeningRunsOnlyTheMissingOnes) {
  {
    auto session = Open(kProbeSchema);
    ASSERT_EQ(session->state(), PCD_OK);
    EXPECT_TRUE(IsFolder(folder_));
  }
  Peer peer(path_);
  // Version 1 stores schema_version 1 and version 2 leaves it, so version 2 runs again.
  EXPECT_EQ(peer.Rows("SELECT version FROM steps"), "1;2");
  { EXPECT_EQ(Open(kProbeSchema)->state(), PCD_OK); }
  EXPECT_EQ(peer.Rows("SELECT version FROM steps"), "1;2;2");
  EXPECT_EQ(peer.Rows("SELECT key, value FROM pcd_meta ORDER BY key"),
            "schema_compatibility_version,1;schema_version,1");
  // Kinds 1 and 2 stop at version 1.
  { EXPECT_EQ(Open(kProbeSchema, PCDDatabaseKindCaps)->state(), PCD_OK); }
  EXPECT_EQ(peer.Rows("SELECT version FROM steps"), "1;2;2");
}

TEST_F(PCDSessionTest, NewerCompatibilityVersionIsRefusedAndFileLeftAlone) {
  MakeFile(
      "CREATE TABLE pcd_meta (key TEXT NOT NULL PRIMARY KEY, value TEXT NOT NULL);"
      "CREATE TABLE steps (version INT);"
      "INSERT INTO pcd_meta VALUES ('schema_version', 3);"
      "INSERT INTO pcd_meta VALUES ('schema_compatibility_version', 3);");
  const std::string before = ReadBytes(path_);
  ASSERT_FALSE(before.empty());
  for (PCDDatabaseKind kind : {PCDDatabaseKindCache, PCDDatabaseKindBackup,
                               PCDDatabaseKindCaps, PCDDatabaseKindMain}) {
    auto session = Open(kProbeSchema, kind);
    EXPECT_EQ(session->state(), PCD_ERR_TOO_NEW) << kind;
    EXPECT_EQ(session->Exec("INSERT INTO steps VALUES (9)"), PCD_ERR_TOO_NEW);
  }
  EXPECT_EQ(ReadBytes(path_), before);
}

TEST_F(PCDSessionTest, StoredVersionAtOrAboveTargetRunsNoStep) {
  MakeFile(
      "CREATE TABLE pcd_meta (key TEXT NOT NULL PRIMARY KEY, value TEXT NOT NULL);"
      "CREATE TABLE steps (version INT);"
      "INSERT INTO pcd_meta VALUES ('schema_version', 5);"
      "INSERT INTO pcd_meta VALUES ('schema_compatibility_version', 1);");
  auto session = Open(kProbeSchema);
  EXPECT_EQ(session->state(), PCD_OK);
  Peer peer(path_);
  EXPECT_EQ(peer.Rows("SELECT count(*) FROM steps"), "0");
}

TEST_F(PCDSessionTest, MissingCompatibilityRowFailsWhenNoStepRuns) {
  MakeFile(
      "CREATE TABLE pcd_meta (key TEXT NOT NULL PRIMARY KEY, value TEXT NOT NULL);"
      "CREATE TABLE domain_data (domain TEXT NOT NULL, subDomain TEXT NOT NULL, "
      "key TEXT NOT NULL, value TEXT, PRIMARY KEY (domain, subDomain, key));"
      "INSERT INTO pcd_meta VALUES ('schema_version', 2);");
  auto session = Open(kPCDCacheSchema);
  EXPECT_EQ(session->state(), PCD_ERR_NOT_FOUND);
  const char* value = "untouched";
  // A read on a session that is not open: not found, and the empty text stays.
  EXPECT_EQ(session->QueryValue(&value, "SELECT value FROM pcd_meta"), PCD_ERR_NOT_FOUND);
  EXPECT_STREQ(value, "");
}

TEST_F(PCDSessionTest, TablesWithoutVersionRowsOpenAndStayAsTheyWere) {
  MakeFile(
      "CREATE TABLE pcd_meta (key TEXT NOT NULL PRIMARY KEY, value TEXT NOT NULL);"
      "CREATE TABLE domain_data (domain TEXT NOT NULL, subDomain TEXT NOT NULL, "
      "key TEXT NOT NULL, value TEXT, PRIMARY KEY (domain, subDomain, key));"
      "INSERT INTO domain_data VALUES ('1', 's', 'k', 'v');");
  auto session = Open(kPCDCacheSchema);
  // Version 1 fails on its first statement and is rolled back; that is not reported.
  EXPECT_EQ(session->state(), PCD_OK);
  const char* value = nullptr;
  EXPECT_EQ(session->QueryValue(&value, "SELECT value FROM domain_data"), PCD_OK);
  EXPECT_STREQ(value, "v");
  EXPECT_EQ(session->QueryValue(&value, "SELECT count(*) FROM pcd_meta"), PCD_OK);
  EXPECT_STREQ(value, "0");
}

TEST_F(PCDSessionTest, FailingLaterVersionFailsTheOpeningAndLeavesNoTrace) {
  {
    auto session = Open(kProbeFailingSchema);
    EXPECT_EQ(session->state(), PCD_ERR_NOT_OPEN);  // a statement of a version failed
  }
  Peer peer(path_);
  EXPECT_EQ(peer.Rows("SELECT version FROM steps"), "1");
}

TEST_F(PCDSessionTest, MissingStatementListOfALaterVersion) {
  auto session = Open(kPCDBackupSchema, PCDDatabaseKindCache);  // target 2, one version
  EXPECT_EQ(session->state(), PCD_ERR_NO_SCHEMA_STEP);
}

TEST_F(PCDSessionTest, CapsFileOpensAgainAndAgainWithoutVersionRows) {
  for (int i = 0; i < 3; ++i) {
    auto session = Open(kPCDCapsSchema, PCDDatabaseKindCaps);
    ASSERT_EQ(session->state(), PCD_OK) << i;
    if (i == 0) {
      EXPECT_EQ(session->Exec("INSERT INTO Payloads VALUES ('P', 'f', 'n', '1', 't')"), PCD_OK);
    }
    EXPECT_EQ(session->CommitAndFlush(), PCD_OK);
  }
  Peer peer(path_);
  EXPECT_EQ(peer.Rows("SELECT PayloadID FROM Payloads"), "P");
}

TEST_F(PCDSessionTest, SecondFormMainDatabaseRecordsVersionTwo) {
  { ASSERT_EQ(Open(kPCDMainSchema, PCDDatabaseKindMain)->state(), PCD_OK); }
  Peer peer(path_);
  EXPECT_EQ(peer.Rows("SELECT value FROM pcd_meta WHERE key = 'schema_version'"), "2");
  EXPECT_EQ(peer.Rows("SELECT count(*) FROM sqlite_master WHERE name = 'insert_upgraded_payloads'"),
            "1");
}

TEST_F(PCDSessionTest, WrongThingsInThePlaceOfFolderOrFile) {
  {
    ASSERT_EQ(pcd::CreateFolderTree(Join(folder_, "test.db")), PCD_OK);
    EXPECT_EQ(Open(kPCDCacheSchema)->state(), PCD_ERR_NOT_OPEN);  // a folder named as the file
  }
  RemoveTree(folder_);
  std::ofstream(folder_) << "not a folder";
  EXPECT_EQ(Open(kPCDCacheSchema)->state(), PCD_ERR_IO);  // a file where the folder should be

  PCDSession too_long(Join(root_, std::string(250, 'x')), "test.db", kPCDCacheSchema, true, true,
                      PCDDatabaseKindCache);
  EXPECT_EQ(too_long.state(), PCD_ERR_BAD_ARGUMENT);
}

// ---------------------------------------------------------------------------------------------
// Statements.

TEST_F(PCDSessionTest, QueriesAndQuotes) {
  auto session = Open(kPCDCacheSchema);
  ASSERT_EQ(session->state(), PCD_OK);
  ASSERT_EQ(session->Exec("INSERT INTO domain_data VALUES ('%d', '%q', '%q', '%q')", 7, "it's",
                          "o'k", "v'1"),
            PCD_OK);
  ASSERT_EQ(session->Exec("INSERT INTO domain_data VALUES ('7', 's', 'null', NULL)"), PCD_OK);

  const char* first = nullptr;
  ASSERT_EQ(session->QueryValue(&first, "SELECT value FROM domain_data WHERE subDomain = '%q' "
                                        "AND key = '%q'", "it's", "o'k"),
            PCD_OK);
  EXPECT_STREQ(first, "v'1");
  // Each value is a text of its own that lives as long as the session.
  const char* second = nullptr;
  ASSERT_EQ(session->QueryValue(&second, "SELECT subDomain FROM domain_data WHERE key = '%q'",
                                "o'k"),
            PCD_OK);
  EXPECT_STREQ(second, "it's");
  EXPECT_STREQ(first, "v'1");

  const char* none = "untouched";
  EXPECT_EQ(session->QueryValue(&none, "SELECT value FROM domain_data WHERE key = 'x'"),
            PCD_ERR_NOT_FOUND);
  EXPECT_EQ(none, nullptr);
  const char* empty = nullptr;
  EXPECT_EQ(session->QueryValue(&empty, "SELECT value FROM domain_data WHERE key = 'null'"),
            PCD_OK);
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(session->QueryValue(nullptr, "SELECT 1"), PCD_ERR_BAD_ARGUMENT);

  const char* failed = nullptr;
  EXPECT_EQ(session->QueryValue(&failed, "SELECT nothing FROM nowhere"), PCD_ERR_ENGINE);
  EXPECT_STREQ(failed, "");  // a failed preparation leaves the empty text
  EXPECT_EQ(session->Exec("INSERT INTO domain_data VALUES ('7', 's', 'null', 'again')"),
            PCD_ERR_CONSTRAINT);  // primary key

  EXPECT_EQ(session->Close(), PCD_OK);
  EXPECT_EQ(session->state(), PCD_ERR_NOT_OPEN);
  EXPECT_EQ(session->Close(), PCD_OK);
  const char* closed = nullptr;
  EXPECT_EQ(session->QueryValue(&closed, "SELECT 1"), PCD_ERR_NOT_FOUND);
  EXPECT_EQ(session->Exec("DELETE FROM domain_data"), PCD_ERR_NOT_OPEN);
  EXPECT_EQ(session->ApplyVersion(1), PCD_ERR_NOT_OPEN);
  EXPECT_EQ(session->CommitAndFlush(), PCD_OK);
  EXPECT_STREQ(first, "v'1");
}

TEST_F(PCDSessionTest, TriggerAbortReportsConstraint) {
  auto session = Open(kPCDMainSchema, PCDDatabaseKindMain);
  ASSERT_EQ(session->state(), PCD_OK);
  EXPECT_EQ(session->Exec("INSERT INTO payload_data VALUES ('P9', 'd', 'k', 'v')"),
            PCD_ERR_CONSTRAINT);
  EXPECT_EQ(session->ApplyVersion(0), PCD_ERR_BAD_ARGUMENT);
  EXPECT_EQ(session->ApplyVersion(3), PCD_ERR_NO_SCHEMA_STEP);
}

TEST_F(PCDSessionTest, WritesWaitForCommitAndFlushOrAreDiscarded) {
  auto session = Open(kPCDCacheSchema);
  ASSERT_EQ(session->state(), PCD_OK);
  Peer peer(path_);
  ASSERT_EQ(session->Exec("INSERT INTO domain_data VALUES ('1', 's', 'a', 'x')"), PCD_OK);
  ASSERT_EQ(session->Exec("UPDATE domain_data SET value = 'y' WHERE key = 'a'"), PCD_OK);
  EXPECT_EQ(peer.Rows("SELECT count(*) FROM domain_data"), "0");
  ASSERT_EQ(session->CommitAndFlush(), PCD_OK);
  EXPECT_EQ(peer.Rows("SELECT value FROM domain_data"), "y");

  // Destroying the session without a commit discards its open transaction.
  ASSERT_EQ(session->Exec("DELETE FROM domain_data"), PCD_OK);
  session.reset();
  EXPECT_EQ(peer.Rows("SELECT value FROM domain_data"), "y");
}

TEST_F(PCDSessionTest, WriteWaitsForAnotherWriterThenReportsBusy) {
  auto session = Open(kPCDCacheSchema);
  ASSERT_EQ(session->state(), PCD_OK);
  Peer holder(path_);
  ASSERT_EQ(holder.Run("BEGIN IMMEDIATE"), SQLITE_OK);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(session->Exec("INSERT INTO domain_data VALUES ('1', 's', 'k', 'v')"), PCD_ERR_BUSY);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(1800));
  EXPECT_LT(waited, std::chrono::seconds(10));
  ASSERT_EQ(holder.Run("ROLLBACK"), SQLITE_OK);
  EXPECT_EQ(session->Exec("INSERT INTO domain_data VALUES ('1', 's', 'k', 'v')"), PCD_OK);
  EXPECT_EQ(session->CommitAndFlush(), PCD_OK);
}

TEST_F(PCDSessionTest, WriteWaitsForTheSqliteShellHoldingTheLock) {
  if (platform::testing::RunningUnderWine())
    GTEST_SKIP() << "Debian's sqlite3 shell is a Linux program that a Windows process cannot run";
  auto session = Open(kPCDCacheSchema);
  ASSERT_EQ(session->state(), PCD_OK);
  std::FILE* shell = popen(("sqlite3 '" + path_ + "'").c_str(), "w");
  ASSERT_NE(shell, nullptr);
  std::fputs("BEGIN IMMEDIATE;\nINSERT INTO domain_data VALUES ('2', 'shell', 'k', 'v');\n", shell);
  std::fflush(shell);
  // Wait until the shell holds the write lock.
  bool held = false;
  Peer probe(path_);
  for (int i = 0; i < 100 && !held; ++i) {
    held = probe.Run("BEGIN IMMEDIATE") == SQLITE_BUSY;
    if (!held) {
      probe.Run("ROLLBACK");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  if (!held) {
    pclose(shell);
    GTEST_SKIP() << "the sqlite3 shell did not take the lock (is the sqlite3 package installed?)";
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(session->Exec("INSERT INTO domain_data VALUES ('1', 's', 'k', 'v')"), PCD_ERR_BUSY);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1800));
  std::fputs("COMMIT;\n.quit\n", shell);
  EXPECT_EQ(pclose(shell), 0);
  EXPECT_EQ(session->Exec("INSERT INTO domain_data VALUES ('1', 's', 'k', 'v')"), PCD_OK);
  EXPECT_EQ(session->CommitAndFlush(), PCD_OK);
  EXPECT_EQ(probe.Rows("SELECT subDomain FROM domain_data ORDER BY domain"), "s;shell");
}

TEST_F(PCDSessionTest, FlushReachesTheFileWhileTheConnectionHoldsIt) {
  auto session = Open(kPCDCacheSchema);
  ASSERT_EQ(session->state(), PCD_OK);
  EXPECT_EQ(platform::ForceFileToDisk(path_), 0);
}

// ---------------------------------------------------------------------------------------------
// Folder access.

TEST(PCDFolderAccessTest, AccessListIsBuiltWithItsTwoEntries) {
  std::string difference;
  EXPECT_TRUE(platform::testing::DatabaseFolderAccessBuiltAsDocumented(true, &difference))
      << difference;
  EXPECT_TRUE(platform::testing::DatabaseFolderAccessBuiltAsDocumented(false, &difference))
      << difference;
}

TEST_F(PCDSessionTest, FolderAccessReadsBack) {
  if (platform::testing::RunningUnderWine())
    GTEST_SKIP() << "Wine accepts access lists but neither stores nor reports them";
  ASSERT_EQ(Open(kPCDCacheSchema)->state(), PCD_OK);
  std::string difference;
  EXPECT_EQ(pcd::SetFolderAccess(folder_, false), PCD_OK);
  EXPECT_TRUE(platform::testing::DatabaseFolderAccessReadsAsDocumented(folder_, false,
                                                                       &difference))
      << difference;
  EXPECT_FALSE(platform::testing::DatabaseFolderAccessReadsAsDocumented(folder_, true, nullptr));
  EXPECT_EQ(pcd::SetFolderAccess(folder_, true), PCD_OK);
  EXPECT_TRUE(platform::testing::DatabaseFolderAccessReadsAsDocumented(folder_, true,
                                                                       &difference))
      << difference;
  EXPECT_EQ(pcd::SetFolderAccess(Join(root_, "missing"), true), PCD_OK);  // ignored
}

// ---------------------------------------------------------------------------------------------
// The flat interface on the machine's cache database.

class PCDFlatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // POSIX: a machine root of our own. Windows: the prefix's own folders under Wine only, so
    // that no real installation's database is touched.
    std::string temp;
    ASSERT_TRUE(platform::TempFolder(&temp));
    // Under Wine every test process shares the prefix's one database folder: one at a time.
    platform::FileOpenOptions options;
    options.write = true;
    options.disposition = platform::FileDisposition::kOpenAlways;
    ASSERT_EQ(platform::OpenFile(Join(temp, "pcd_flat_test.lock"), options, &lock_), 0);
    ASSERT_EQ(lock_->LockExclusive(0, 1), 0);
    sandbox_ = Join(temp, "pcd_flat_test_" + std::to_string(platform::ProcessId()));
    RemoveTree(sandbox_);
    ASSERT_EQ(platform::MakeFolder(sandbox_), 0);
    ASSERT_TRUE(platform::SetEnv("QemSystemRoot", sandbox_.c_str()));
    std::string kymra;
    ASSERT_TRUE(pcd::GetKymraCommonFolder(&kymra));
    if (kymra.compare(0, sandbox_.size(), sandbox_) != 0 &&
        !platform::testing::RunningUnderWine())
      GTEST_SKIP() << "the machine's own database folder is not a test sandbox: " << kymra;
    kymra_ = kymra;  // only a sandboxed folder is ever removed
    RemoveTree(kymra_);
    cache_folder_ = Join(Join(kymra_, "Kymra PCD"), "cache");
    cache_file_ = Join(cache_folder_, "cache.db");
  }
  void TearDown() override {
    if (!kymra_.empty()) RemoveTree(kymra_);
    if (!sandbox_.empty()) RemoveTree(sandbox_);
  }

  std::unique_ptr<platform::File> lock_;  // released when the test ends
  std::string sandbox_;
  std::string kymra_;
  std::string cache_folder_;
  std::string cache_file_;
};

TEST_F(PCDFlatTest, NullArgumentsAreRefused) {
  PCDSessionHandle handle = nullptr;
  const char* value = nullptr;
  EXPECT_EQ(PCDOpenCacheSession(nullptr), PCD_ERR_BAD_ARGUMENT);
  EXPECT_EQ(PCDGetDomainValue(nullptr, 1, "s", "k", &value), PCD_ERR_BAD_ARGUMENT);
  EXPECT_EQ(PCDFlushSession(nullptr), PCD_ERR_BAD_ARGUMENT);
  EXPECT_EQ(PCDCloseSession(nullptr), PCD_ERR_BAD_ARGUMENT);
  ASSERT_EQ(PCDOpenCacheSession(&handle), PCD_OK);
  EXPECT_EQ(PCDGetDomainValue(handle, 1, nullptr, "k", &value), PCD_ERR_BAD_ARGUMENT);
  EXPECT_EQ(PCDGetDomainValue(handle, 1, "s", nullptr, &value), PCD_ERR_BAD_ARGUMENT);
  EXPECT_EQ(PCDGetDomainValue(handle, 1, "s", "k", nullptr), PCD_ERR_BAD_ARGUMENT);
  EXPECT_EQ(PCDCloseSession(handle), PCD_OK);
}

TEST_F(PCDFlatTest, OpenCreatesTheCacheDatabaseAndReadsValues) {
  EXPECT_FALSE(platform::PathExists(kymra_));
  PCDSessionHandle handle = nullptr;
  ASSERT_EQ(PCDOpenCacheSession(&handle), PCD_OK);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(IsFolder(cache_folder_));
  EXPECT_TRUE(platform::PathExists(cache_file_));
  {
    Peer peer(cache_file_);
    EXPECT_EQ(peer.Rows("SELECT key, value FROM pcd_meta ORDER BY key"),
              "schema_compatibility_version,1;schema_version,1");
    ASSERT_EQ(peer.Run("INSERT INTO domain_data VALUES ('1', 'it''s', 'k''ey', 'one');"
                       "INSERT INTO domain_data VALUES ('2', 'it''s', 'k''ey', 'two');"
                       "INSERT INTO domain_data VALUES ('1', 'sub', 'nothing', NULL);"),
              SQLITE_OK);
  }
  const char* one = nullptr;
  const char* two = nullptr;
  EXPECT_EQ(PCDGetDomainValue(handle, 1, "it's", "k'ey", &one), PCD_OK);
  EXPECT_STREQ(one, "one");
  EXPECT_EQ(PCDGetDomainValue(handle, 2, "it's", "k'ey", &two), PCD_OK);
  EXPECT_STREQ(two, "two");
  const char* missing = "untouched";
  EXPECT_EQ(PCDGetDomainValue(handle, 3, "it's", "k'ey", &missing), PCD_ERR_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(PCDGetDomainValue(handle, 1, "its", "k'ey", &missing), PCD_ERR_NOT_FOUND);
  const char* empty = nullptr;
  EXPECT_EQ(PCDGetDomainValue(handle, 1, "sub", "nothing", &empty), PCD_OK);
  EXPECT_STREQ(empty, "");
  EXPECT_STREQ(one, "one");  // still readable while the handle lives
  EXPECT_EQ(PCDFlushSession(handle), PCD_OK);
  EXPECT_EQ(PCDCloseSession(handle), PCD_OK);

  // The second opening finds the file and changes nothing.
  ASSERT_EQ(PCDOpenCacheSession(&handle), PCD_OK);
  EXPECT_EQ(PCDGetDomainValue(handle, 1, "it's", "k'ey", &one), PCD_OK);
  EXPECT_STREQ(one, "one");
  EXPECT_EQ(PCDCloseSession(handle), PCD_OK);
}

TEST_F(PCDFlatTest, OpenSetsTheFolderAccess) {
  if (platform::testing::RunningUnderWine())
    GTEST_SKIP() << "Wine accepts access lists but neither stores nor reports them";
  PCDSessionHandle handle = nullptr;
  ASSERT_EQ(PCDOpenCacheSession(&handle), PCD_OK);
  std::string difference;
  EXPECT_TRUE(platform::testing::DatabaseFolderAccessReadsAsDocumented(cache_folder_, true,
                                                                       &difference))
      << difference;
  // A second opening sets it again.
  pcd::SetFolderAccess(cache_folder_, false);
  EXPECT_EQ(PCDCloseSession(handle), PCD_OK);
  ASSERT_EQ(PCDOpenCacheSession(&handle), PCD_OK);
  EXPECT_TRUE(platform::testing::DatabaseFolderAccessReadsAsDocumented(cache_folder_, true,
                                                                       &difference))
      << difference;
  EXPECT_EQ(PCDCloseSession(handle), PCD_OK);
}

TEST_F(PCDFlatTest, CacheDatabasePassesTheShellsIntegrityCheck) {
  if (platform::testing::RunningUnderWine())
    GTEST_SKIP() << "Debian's sqlite3 shell is a Linux program that a Windows process cannot run";
  PCDSessionHandle handle = nullptr;
  ASSERT_EQ(PCDOpenCacheSession(&handle), PCD_OK);
  ASSERT_EQ(PCDCloseSession(handle), PCD_OK);
  std::FILE* shell = popen(("sqlite3 '" + cache_file_ +
                            "' 'PRAGMA integrity_check;' "
                            "'SELECT key, value FROM pcd_meta ORDER BY key;' 2>&1")
                               .c_str(),
                           "r");
  ASSERT_NE(shell, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, shell)) output += buffer;
  ASSERT_EQ(pclose(shell), 0) << output;
  EXPECT_EQ(output, "ok\nschema_compatibility_version|1\nschema_version|1\n");
}

TEST_F(PCDFlatTest, RefusedFileLeavesNoHandle) {
  PCDSessionHandle handle = nullptr;
  ASSERT_EQ(PCDOpenCacheSession(&handle), PCD_OK);
  ASSERT_EQ(PCDCloseSession(handle), PCD_OK);
  {
    Peer peer(cache_file_);
    ASSERT_EQ(peer.Run("UPDATE pcd_meta SET value = 3 WHERE key = 'schema_compatibility_version'"),
              SQLITE_OK);
  }
  handle = reinterpret_cast<PCDSessionHandle>(&handle);  // anything but null
  EXPECT_EQ(PCDOpenCacheSession(&handle), PCD_ERR_TOO_NEW);
  EXPECT_EQ(handle, nullptr);

  RemoveTree(cache_folder_);
  ASSERT_EQ(pcd::CreateFolderTree(cache_file_), PCD_OK);  // a folder named "cache.db"
  EXPECT_EQ(PCDOpenCacheSession(&handle), PCD_ERR_NOT_OPEN);
  EXPECT_EQ(handle, nullptr);
}

TEST_F(PCDFlatTest, CloseCommitsPendingWritesAndReportsAFailedCommit) {
  PCDSessionHandle handle = nullptr;
  ASSERT_EQ(PCDOpenCacheSession(&handle), PCD_OK);
  ASSERT_EQ(handle->session->Exec("INSERT INTO domain_data VALUES ('1', 's', 'a', 'kept')"),
            PCD_OK);
  EXPECT_EQ(PCDCloseSession(handle), PCD_OK);
  Peer peer(cache_file_);
  EXPECT_EQ(peer.Rows("SELECT value FROM domain_data"), "kept");

  // A reader keeps the commit from finishing: the flush reports it, the transaction stays
  // open, and closing loses those writes, which the close must not hide.
  ASSERT_EQ(PCDOpenCacheSession(&handle), PCD_OK);
  ASSERT_EQ(handle->session->Exec("INSERT INTO domain_data VALUES ('1', 's', 'b', 'lost')"),
            PCD_OK);
  ASSERT_EQ(peer.Run("BEGIN"), SQLITE_OK);
  ASSERT_EQ(peer.Rows("SELECT count(*) FROM domain_data"), "1");  // holds a read lock
  EXPECT_EQ(PCDFlushSession(handle), PCD_ERR_BUSY);
  EXPECT_EQ(PCDCloseSession(handle), PCD_ERR_BUSY);
  ASSERT_EQ(peer.Run("COMMIT"), SQLITE_OK);
  EXPECT_EQ(peer.Rows("SELECT value FROM domain_data ORDER BY key"), "kept");
}

}  // namespace
