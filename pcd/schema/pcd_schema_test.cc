// The schema sets, run straight on the engine: what each set builds on a fresh file, and the
// integrity rules its triggers carry.
#include "pcd/schema/pcd_schema.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

int VersionCount(const PCDSchema& schema) {
  int count = 0;
  while (schema.versions[count] != nullptr) ++count;
  return count;
}

// A connection of its own, on a file or in memory.
class Database {
 public:
  explicit Database(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
  ~Database() { sqlite3_close(db_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs statements; "" on success, else the engine's code and message.
  std::string Run(const std::string& sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
    std::string result;
    if (rc != SQLITE_OK) result = std::to_string(rc) + ": " + (error ? error : "");
    sqlite3_free(error);
    return result;
  }

  // Every row of a query: columns joined by ",", rows by ";", NULL shown as "NULL".
  std::string Rows(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
      return std::string("prepare failed: ") + sqlite3_errmsg(db_);
    std::string rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      if (!rows.empty()) rows += ";";
      for (int c = 0; c < sqlite3_column_count(statement); ++c) {
        if (c > 0) rows += ",";
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
        rows += text ? text : "NULL";
      }
    }
    sqlite3_finalize(statement);
    return rows;
  }

  // Runs the versions `from`..`to` of a schema, each as one transaction; "" on success.
  std::string Apply(const PCDSchema& schema, int from, int to) {
    for (int v = from; v <= to; ++v) {
      std::string failed = Run("BEGIN");
      for (PCDStatementList s = schema.versions[v - 1]; failed.empty() && *s; ++s) {
        failed = Run(*s);
        if (!failed.empty()) failed = "version " + std::to_string(v) + ": " + *s + ": " + failed;
      }
      if (!failed.empty()) {
        Run("ROLLBACK");
        return failed;
      }
      failed = Run("COMMIT");
      if (!failed.empty()) return failed;
    }
    return "";
  }

 private:
  sqlite3* db_ = nullptr;
};

TEST(PCDSchemaTest, TargetVersionFollowsKind) {
  const struct {
    int kind;
    int target;
  } cases[] = {{0, 2}, {1, 1}, {2, 1}, {3, 2}, {4, 2}, {-1, 2}};
  for (const auto& c : cases)
    EXPECT_EQ(PCDTargetVersion(static_cast<PCDDatabaseKind>(c.kind)), c.target) << c.kind;
  EXPECT_EQ(PCDTargetVersion(PCDDatabaseKindCache), 2);
  EXPECT_EQ(PCDTargetVersion(PCDDatabaseKindMain), 2);
  EXPECT_EQ(PCDTargetVersion(PCDDatabaseKindBackup), 1);
  EXPECT_EQ(PCDTargetVersion(PCDDatabaseKindCaps), 1);
}

TEST(PCDSchemaTest, NamesKeptWithTheSets) {
  EXPECT_STREQ(kPCDCacheFolderName, "cache");
  EXPECT_STREQ(kPCDCacheFileName, "cache.db");
  EXPECT_STREQ(kPCDMainFileName, "pcd.db");
  EXPECT_STREQ(kPCDBackupName, "backup");
  EXPECT_STREQ(kPCDCapsFolderName, "caps");
  EXPECT_STREQ(kPCDCapsFileName, "caps.db");
  EXPECT_STREQ(kPCDDatabaseFolderName, "Kymra PCD");
}

// What each set leaves in a fresh file: tables with their columns, triggers, meta rows.
struct SetCase {
  const char* name;
  const PCDSchema* schema;
  PCDDatabaseKind kind;
  int versions;
  // "table(column type [NN] [PKn] [=default], ...)" per table, in name order, joined by " ".
  const char* tables;
  const char* triggers;  // names in order, joined by ","
  const char* meta;      // rows of pcd_meta ordered by key, or null without pcd_meta
};

constexpr char kMainSharedTables[] =
    "tarn_collection(collectionID TEXT NN PK1,collectionPayloadID TEXT NN,tsInstalled INT,"
    "tsModified INT) "
    "tarn_collection_payload(collectionID TEXT NN PK1,payloadID TEXT NN PK2,"
    "installState INT NN =0,tsInstalled INTEGER) ";

const SetCase kSetCases[] = {
    {"cache", &kPCDCacheSchema, PCDDatabaseKindCache, 2,
     "domain_data(domain TEXT NN PK1,subDomain TEXT NN PK2,key TEXT NN PK3,value TEXT) "
     "pcd_meta(key TEXT NN PK1,value TEXT NN)",
     "", "schema_compatibility_version,1;schema_version,1"},
    {"main, first form", &kPCDMainSchemaFirstForm, PCDDatabaseKindMain, 2,
     "collection_data(collectionID TEXT NN PK1,domain TEXT NN PK2,key TEXT NN PK3,value TEXT) "
     "domain_data(domain TEXT NN PK1,subDomain TEXT NN PK2,key TEXT NN PK3,value TEXT) "
     "payload_data(payloadID TEXT NN PK1,domain TEXT NN PK2,key TEXT NN PK3,value TEXT) "
     "pcd_meta(key TEXT NN PK1,value TEXT NN) ",
     "ctd_tarn_collection,ctd_tarn_collection_payload,ctd_tarn_payload,cti_collection_data,"
     "cti_payload_data,cti_tarn_collection_payload,cti_tarn_payload_constraint,"
     "ctu_collection_data,ctu_payload_data,ctu_tarn_collection_payload,"
     "ctu_tarn_payload_constraint",
     "schema_compatibility_version,1;schema_version,1"},
    {"main, second form", &kPCDMainSchema, PCDDatabaseKindMain, 2,
     "collection_data(collectionID TEXT NN PK1,domain TEXT NN PK2,key TEXT NN PK3,value TEXT) "
     "payload_data(payloadID TEXT NN PK1,domain TEXT NN PK2,key TEXT NN PK3,value TEXT) "
     "pcd_meta(key TEXT NN PK1,value TEXT NN) ",
     "ctd_tarn_collection,ctd_tarn_collection_payload,ctd_tarn_payload,cti_collection_data,"
     "cti_payload_data,cti_tarn_collection_payload,cti_tarn_payload_constraint,"
     "ctu_collection_data,ctu_payload_data,ctu_tarn_collection_payload,"
     "ctu_tarn_payload_constraint,insert_upgraded_payloads,update_upgraded_payloads",
     "schema_compatibility_version,1;schema_version,2"},
    {"backup", &kPCDBackupSchema, PCDDatabaseKindBackup, 1,
     "dependencies(PayloadID TEXT NN PK1,PayloadIDb TEXT NN PK2,type INTEGER NN) "
     "dependency_type(type INTEGER NN PK1,description TEXT NN) "
     "payload_data(PayloadID TEXT NN PK1,domain TEXT NN PK2,key TEXT NN PK3,value TEXT) "
     "payloads(PayloadID TEXT NN PK1,productFamily TEXT,productName TEXT,version TEXT,"
     "signature TEXT,installState INT NN =0,installTime INT) "
     "pcd_meta(key TEXT NN PK1,value TEXT NN) "
     "upgraded_payloads(payloadIDOriginal TEXT NN PK1,payloadIDUpgraded TEXT NN PK2) "
     "user_actions(product_id TEXT NN,actor TEXT,time_action TEXT NN)",
     "ctd_payloads,cti_dependencies,cti_payload_data,ctu_dependencies,ctu_payload_data",
     "schema_compatibility_version,1;schema_version,1"},
    {"caps", &kPCDCapsSchema, PCDDatabaseKindCaps, 1,
     "Branding(ProductID TEXT NN PK1,resource_type TEXT NN PK2,resource_data TEXT NN) "
     "DependencyData(PayloadID TEXT NN PK1,PayloadIDb TEXT PK2,type TEXT NN PK3,"
     "product_family TEXT PK4,product_name TEXT PK5,version TEXT PK6) "
     "EULA_Files(productID TEXT NN PK1,langCode TEXT NN PK2,eula TEXT NN) "
     "PayloadData(PayloadID TEXT NN PK1,domain TEXT NN PK2,key TEXT NN PK3,value TEXT NN) "
     "Payloads(PayloadID TEXT NN PK1,payload_family TEXT NN,payload_name TEXT NN,"
     "payload_version TEXT NN,payload_type TEXT NN) "
     "SuitePayloads(ProductID TEXT NN PK1,PayloadID TEXT NN PK2) "
     "Suites(ProductID TEXT NN PK1,group_name TEXT NN,group_family TEXT NN,"
     "display_name TEXT NN)",
     "ctd_Payloads,ctd_Suites,cti_DependencyData,cti_PayloadData,ctu_DependencyData,"
     "ctu_PayloadData",
     nullptr},
};

std::string MainTables(const SetCase& c) {
  std::string tables = c.tables;
  tables += kMainSharedTables;
  const bool second = c.schema == &kPCDMainSchema;
  tables +=
      "tarn_payload(payloadID TEXT NN PK1,productFamily TEXT NN,productName TEXT NN,"
      "version TEXT NN";
  tables += second ? ",signature TEXT NN) " : ") ";
  tables +=
      "tarn_payload_constraint(payloadID TEXT NN PK1,payloadIDb TEXT NN PK2,"
      "constraintType INTEGER NN PK3)";
  if (second) tables += " upgraded_payloads(payloadIDOriginal TEXT NN PK1,payloadIDUpgraded TEXT NN)";
  return tables;
}

class PCDSchemaFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::TempFolder(&path_));
    if (!path_.empty() && path_.back() != platform::kPathSeparator[0])
      path_ += platform::kPathSeparator;
    path_ += "pcd_schema_test_" + std::to_string(platform::ProcessId()) + ".db";
    platform::RemoveFile(path_);
  }
  void TearDown() override { platform::RemoveFile(path_); }

  // The tables of the file, each with its columns, in name order.
  static std::string Describe(Database& db) {
    const std::string names =
        db.Rows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
    std::string described;
    size_t start = 0;
    while (start < names.size()) {
      size_t end = names.find(';', start);
      if (end == std::string::npos) end = names.size();
      const std::string table = names.substr(start, end - start);
      std::string columns;
      const std::string rows = db.Rows(
          "SELECT name || ' ' || type || CASE WHEN \"notnull\" THEN ' NN' ELSE '' END || "
          "CASE WHEN pk > 0 THEN ' PK' || pk ELSE '' END || "
          "CASE WHEN dflt_value IS NOT NULL THEN ' =' || dflt_value ELSE '' END "
          "FROM pragma_table_info('" + table + "') ORDER BY cid");
      for (char ch : rows) columns += ch == ';' ? ',' : ch;
      if (!described.empty()) described += " ";
      described += table + "(" + columns + ")";
      start = end + 1;
    }
    return described;
  }

  std::string path_;
};

TEST_F(PCDSchemaFileTest, EachSetBuildsItsTablesTriggersAndVersionRows) {
  for (const SetCase& c : kSetCases) {
    SCOPED_TRACE(c.name);
    platform::RemoveFile(path_);
    ASSERT_EQ(VersionCount(*c.schema), c.versions);
    ASSERT_GE(VersionCount(*c.schema), PCDTargetVersion(c.kind));
    Database db(path_);
    ASSERT_EQ(db.Apply(*c.schema, 1, PCDTargetVersion(c.kind)), "");

    const bool main = c.schema == &kPCDMainSchema || c.schema == &kPCDMainSchemaFirstForm;
    std::string tables = main ? MainTables(c) : c.tables;
    // The expectation lists tables case-sensitively in the engine's binary order.
    EXPECT_EQ(Describe(db), tables);
    std::string triggers =
        db.Rows("SELECT name FROM sqlite_master WHERE type = 'trigger' ORDER BY name");
    for (char& ch : triggers) ch = ch == ';' ? ',' : ch;
    EXPECT_EQ(triggers, c.triggers);
    if (c.meta) {
      EXPECT_EQ(db.Rows("SELECT key, value FROM pcd_meta ORDER BY key"), c.meta);
    }
    // Every trigger acts row by row, and the version rows are stored as texts.
    EXPECT_EQ(db.Rows("SELECT name FROM sqlite_master WHERE type = 'trigger' AND "
                      "sql NOT LIKE '%FOR EACH ROW%'"),
              "");
    if (c.meta) {
      EXPECT_EQ(db.Rows("SELECT DISTINCT typeof(value) FROM pcd_meta"), "text");
    }
    EXPECT_EQ(db.Rows("PRAGMA integrity_check"), "ok");
  }
}

TEST_F(PCDSchemaFileTest, BackupHoldsTheEightDependencyTypes) {
  Database db(path_);
  ASSERT_EQ(db.Apply(kPCDBackupSchema, 1, 1), "");
  EXPECT_EQ(db.Rows("SELECT type, description FROM dependency_type ORDER BY rowid"),
            "0,Conflicts;1,Upgrades;2,Requires;3,Required;4,Critical;5,Recommended;"
            "6,loadPatch;7,loadLangPack");
}

TEST_F(PCDSchemaFileTest, VersionOneRunsOnlyOnceWhereItKeepsNoVersionRows) {
  // Caps records no version, so its first version is tried again at every opening; it must
  // fail on its first statement and leave the file as it was.
  Database db(path_);
  ASSERT_EQ(db.Apply(kPCDCapsSchema, 1, 1), "");
  ASSERT_EQ(db.Run("INSERT INTO Payloads VALUES ('P', 'f', 'n', '1', 't')"), "");
  const std::string again = db.Apply(kPCDCapsSchema, 1, 1);
  EXPECT_NE(again.find("version 1: CREATE TABLE Suites"), std::string::npos) << again;
  EXPECT_EQ(db.Rows("SELECT PayloadID FROM Payloads"), "P");
}

// ---------------------------------------------------------------------------------------------
// Trigger rules.

enum Forms { kFirst = 1, kSecond = 2, kBoth = 3 };

// Rows that every main-schema case starts from. C1 holds P1 (uninstalled), C2 holds P2
// (installed); P3 belongs to no collection.
std::string MainRows(Forms form) {
  const std::string sig = form == kSecond ? ", 's'" : "";
  return "INSERT INTO tarn_payload VALUES ('P1', 'f', 'n', '1'" + sig + ");"
         "INSERT INTO tarn_payload VALUES ('P2', 'f', 'n', '1'" + sig + ");"
         "INSERT INTO tarn_payload VALUES ('P3', 'f', 'n', '1'" + sig + ");"
         "INSERT INTO tarn_collection VALUES ('C1', 'P1', 0, 0);"
         "INSERT INTO tarn_collection VALUES ('C2', 'P2', 0, 0);"
         "INSERT INTO tarn_collection_payload (collectionID, payloadID) VALUES ('C1', 'P1');"
         "INSERT INTO tarn_collection_payload VALUES ('C2', 'P2', 1, 0);"
         "INSERT INTO tarn_payload_constraint VALUES ('P1', 'P2', 2);"
         "INSERT INTO tarn_payload_constraint VALUES ('P2', 'P1', 3);"
         "INSERT INTO payload_data VALUES ('P1', 'd', 'k', 'v1');"
         "INSERT INTO payload_data VALUES ('P2', 'd', 'k', 'v2');"
         "INSERT INTO collection_data VALUES ('C1', 'd', 'k', 'c1');"
         "INSERT INTO collection_data VALUES ('C2', 'd', 'k', 'c2');";
}

struct TriggerCase {
  const char* name;
  Forms forms;
  const char* action;
  const char* message;  // the abort message, or null when the action succeeds
  const char* check;    // a query run afterwards
  const char* expected;
};

constexpr char kAllRows[] =
    "SELECT (SELECT group_concat(payloadID) FROM (SELECT payloadID FROM tarn_payload ORDER BY 1)) "
    "|| '/' || (SELECT group_concat(m) FROM (SELECT collectionID || payloadID || installState "
    "AS m FROM tarn_collection_payload ORDER BY 1)) "
    "|| '/' || (SELECT group_concat(c) FROM (SELECT payloadID || payloadIDb AS c "
    "FROM tarn_payload_constraint ORDER BY 1)) "
    "|| '/' || (SELECT group_concat(value) FROM (SELECT value FROM payload_data ORDER BY 1)) "
    "|| '/' || (SELECT group_concat(collectionID) FROM (SELECT collectionID FROM tarn_collection "
    "ORDER BY 1)) "
    "|| '/' || (SELECT group_concat(value) FROM (SELECT value FROM collection_data ORDER BY 1))";
constexpr char kUntouched[] = "P1,P2,P3/C1P10,C2P21/P1P2,P2P1/v1,v2/C1,C2/c1,c2";

const TriggerCase kMainCases[] = {
    {"collection data for an unknown collection", kBoth,
     "INSERT INTO collection_data VALUES ('C9', 'd', 'k', 'x')",
     "cti_collection_data: collectionID is invalid.", kAllRows, kUntouched},
    {"collection data moved to an unknown collection", kBoth,
     "UPDATE collection_data SET collectionID = 'C9' WHERE collectionID = 'C1'",
     "ctu_collection_data: collectionID is invalid.", kAllRows, kUntouched},
    {"collection data for a known collection", kBoth,
     "INSERT INTO collection_data VALUES ('C2', 'd', 'k2', 'c3')", nullptr,
     "SELECT count(*) FROM collection_data", "3"},
    {"payload data for an unknown payload", kBoth,
     "INSERT INTO payload_data VALUES ('P9', 'd', 'k', 'x')",
     "cti_payload_data: payloadID is invalid.", kAllRows, kUntouched},
    {"payload data moved to an unknown payload", kBoth,
     "UPDATE payload_data SET payloadID = 'P9' WHERE payloadID = 'P1'",
     "ctu_payload_data: payloadID is invalid.", kAllRows, kUntouched},
    {"membership in an unknown collection, checked before the payload", kBoth,
     "INSERT INTO tarn_collection_payload (collectionID, payloadID) VALUES ('C9', 'P9')",
     "cti_tarn_collection_payload: collectionID is invalid.", kAllRows, kUntouched},
    {"membership of an unknown payload", kBoth,
     "INSERT INTO tarn_collection_payload (collectionID, payloadID) VALUES ('C1', 'P9')",
     "cti_tarn_collection_payload: payloadID is invalid.", kAllRows, kUntouched},
    {"membership moved to an unknown collection", kBoth,
     "UPDATE tarn_collection_payload SET collectionID = 'C9' WHERE payloadID = 'P1'",
     "ctu_tarn_collection_payload: collectionID is invalid.", kAllRows, kUntouched},
    {"membership moved to an unknown payload", kBoth,
     "UPDATE tarn_collection_payload SET payloadID = 'P9' WHERE payloadID = 'P1'",
     "ctu_tarn_collection_payload: payloadID is invalid.", kAllRows, kUntouched},
    {"constraint of an unknown payload", kBoth,
     "INSERT INTO tarn_payload_constraint VALUES ('P9', 'P1', 1)",
     "cti_tarn_payload_constraint: payloadID is invalid.", kAllRows, kUntouched},
    {"constraint moved to an unknown payload", kBoth,
     "UPDATE tarn_payload_constraint SET payloadID = 'P9' WHERE payloadID = 'P1'",
     "ctu_tarn_payload_constraint: payloadID is invalid.", kAllRows, kUntouched},
    {"installed membership removed", kBoth,
     "DELETE FROM tarn_collection_payload WHERE collectionID = 'C2'",
     "ctd_tarn_collection_payload: Payload must be marked as uninstalled before removing",
     kAllRows, kUntouched},
    {"uninstalled membership removed", kBoth,
     "DELETE FROM tarn_collection_payload WHERE collectionID = 'C1'", nullptr, kAllRows,
     "P1,P2,P3/C2P21/P1P2,P2P1/v1,v2/C1,C2/c1,c2"},
    {"payload with an installed membership removed: nothing goes", kBoth,
     "DELETE FROM tarn_payload WHERE payloadID = 'P2'",
     "ctd_tarn_collection_payload: Payload must be marked as uninstalled before removing",
     kAllRows, kUntouched},
    {"collection with an installed membership removed: nothing goes", kBoth,
     "DELETE FROM tarn_collection WHERE collectionID = 'C2'",
     "ctd_tarn_collection_payload: Payload must be marked as uninstalled before removing",
     kAllRows, kUntouched},
    {"payload removed with its memberships, constraints and data", kBoth,
     "DELETE FROM tarn_payload WHERE payloadID = 'P1'", nullptr, kAllRows,
     "P2,P3/C2P21/P2P1/v2/C1,C2/c1,c2"},
    // The first form also removes every payload that no collection holds any more, P3 too,
    // which never was in one.
    {"collection removed, orphaned payloads go with it", kFirst,
     "DELETE FROM tarn_collection WHERE collectionID = 'C1'", nullptr, kAllRows,
     "P2/C2P21/P2P1/v2/C2/c2"},
    {"collection removed, payloads stay", kSecond,
     "DELETE FROM tarn_collection WHERE collectionID = 'C1'", nullptr, kAllRows,
     "P1,P2,P3/C2P21/P1P2,P2P1/v1,v2/C2/c2"},
    {"payload removed with its upgrade rows both ways", kSecond,
     // Written in an order that no chain shortening touches.
     "INSERT INTO tarn_payload VALUES ('P4', 'f', 'n', '2', 's');"
     "INSERT INTO upgraded_payloads VALUES ('P1', 'P3');"
     "INSERT INTO upgraded_payloads VALUES ('P3', 'P4');"
     "INSERT INTO upgraded_payloads VALUES ('P2', 'P4');"
     "DELETE FROM tarn_payload WHERE payloadID = 'P3'",
     nullptr, "SELECT payloadIDOriginal, payloadIDUpgraded FROM upgraded_payloads", "P2,P4"},
};

const TriggerCase kBackupCases[] = {
    {"dependency of an unknown payload", kBoth,
     "INSERT INTO dependencies VALUES ('P9', 'P1', 2)",
     "cti_dependencies: PayloadID is invalid.", "SELECT count(*) FROM dependencies", "2"},
    {"dependency moved to an unknown payload", kBoth,
     "UPDATE dependencies SET PayloadID = 'P9'", "ctu_dependencies: PayloadID is invalid.",
     "SELECT count(*) FROM dependencies WHERE PayloadID = 'P9'", "0"},
    {"payload data of an unknown payload", kBoth,
     "INSERT INTO payload_data VALUES ('P9', 'd', 'k', 'v')",
     "cti_payload_data: PayloadID is invalid.", "SELECT count(*) FROM payload_data", "2"},
    {"payload data moved to an unknown payload", kBoth, "UPDATE payload_data SET PayloadID = 'P9'",
     "ctu_payload_data: PayloadID is invalid.",
     "SELECT count(*) FROM payload_data WHERE PayloadID = 'P9'", "0"},
    {"payload removed with its dependencies and data", kBoth,
     "DELETE FROM payloads WHERE PayloadID = 'P1'", nullptr,
     "SELECT (SELECT group_concat(PayloadID || PayloadIDb) FROM dependencies) || '/' || "
     "(SELECT group_concat(PayloadID) FROM payload_data)",
     "P2P1/P2"},
};

const TriggerCase kCapsCases[] = {
    {"payload data of an unknown payload", kBoth,
     "INSERT INTO PayloadData VALUES ('P9', 'd', 'k', 'v')",
     "cti_PayloadData: PayloadID is invalid.", "SELECT count(*) FROM PayloadData", "2"},
    {"payload data moved to an unknown payload", kBoth, "UPDATE PayloadData SET PayloadID = 'P9'",
     "ctu_PayloadData: PayloadID is invalid.",
     "SELECT count(*) FROM PayloadData WHERE PayloadID = 'P9'", "0"},
    {"dependency of an unknown payload", kBoth,
     "INSERT INTO DependencyData VALUES ('P9', 'P1', '2', NULL, NULL, NULL)",
     "cti_DependencyData: PayloadID is invalid.", "SELECT count(*) FROM DependencyData", "2"},
    {"dependency moved to an unknown payload", kBoth, "UPDATE DependencyData SET PayloadID = 'P9'",
     "ctu_DependencyData: PayloadID is invalid.",
     "SELECT count(*) FROM DependencyData WHERE PayloadID = 'P9'", "0"},
    {"suite removed with its payload list and branding", kBoth,
     "DELETE FROM Suites WHERE ProductID = 'S1'", nullptr,
     "SELECT (SELECT group_concat(ProductID || PayloadID) FROM SuitePayloads) || '/' || "
     "(SELECT group_concat(ProductID) FROM Branding) || '/' || (SELECT count(*) FROM Payloads)",
     "S2P2/S2/2"},
    {"payload removed with its dependencies, data and suite entries", kBoth,
     "DELETE FROM Payloads WHERE PayloadID = 'P1'", nullptr,
     "SELECT (SELECT group_concat(ProductID || PayloadID) FROM SuitePayloads) || '/' || "
     "(SELECT group_concat(PayloadID) FROM PayloadData) || '/' || "
     "(SELECT group_concat(PayloadID) FROM DependencyData)",
     "S2P2/P2/P2"},
};

constexpr char kBackupRows[] =
    "INSERT INTO payloads (PayloadID) VALUES ('P1');"
    "INSERT INTO payloads (PayloadID) VALUES ('P2');"
    "INSERT INTO dependencies VALUES ('P1', 'P2', 2);"
    "INSERT INTO dependencies VALUES ('P2', 'P1', 3);"
    "INSERT INTO payload_data VALUES ('P1', 'd', 'k', 'v');"
    "INSERT INTO payload_data VALUES ('P2', 'd', 'k', 'v');";

constexpr char kCapsRows[] =
    "INSERT INTO Suites VALUES ('S1', 'g', 'f', 'd');"
    "INSERT INTO Suites VALUES ('S2', 'g', 'f', 'd');"
    "INSERT INTO Payloads VALUES ('P1', 'f', 'n', '1', 't');"
    "INSERT INTO Payloads VALUES ('P2', 'f', 'n', '1', 't');"
    "INSERT INTO SuitePayloads VALUES ('S1', 'P1');"
    "INSERT INTO SuitePayloads VALUES ('S2', 'P2');"
    "INSERT INTO Branding VALUES ('S1', 'icon', 'x');"
    "INSERT INTO Branding VALUES ('S2', 'icon', 'y');"
    "INSERT INTO PayloadData VALUES ('P1', 'd', 'k', 'v');"
    "INSERT INTO PayloadData VALUES ('P2', 'd', 'k', 'v');"
    "INSERT INTO DependencyData VALUES ('P1', 'P2', '2', NULL, NULL, NULL);"
    "INSERT INTO DependencyData VALUES ('P2', NULL, '3', 'f', 'n', '1');";

void RunTriggerCase(const TriggerCase& c, const PCDSchema& schema, int versions,
                    const std::string& rows) {
  SCOPED_TRACE(c.name);
  Database db(":memory:");
  ASSERT_EQ(db.Apply(schema, 1, versions), "");
  ASSERT_EQ(db.Run(rows), "");
  const std::string outcome = db.Run(c.action);
  if (c.message) {
    EXPECT_EQ(outcome, "19: " + std::string(c.message));  // SQLITE_CONSTRAINT and the message
  } else {
    EXPECT_EQ(outcome, "");
  }
  EXPECT_EQ(db.Rows(c.check), c.expected);
}

TEST(PCDSchemaTriggerTest, MainSchemaRules) {
  const struct {
    Forms form;
    const PCDSchema* schema;
  } forms[] = {{kFirst, &kPCDMainSchemaFirstForm}, {kSecond, &kPCDMainSchema}};
  for (const auto& f : forms) {
    SCOPED_TRACE(f.form == kFirst ? "first form" : "second form");
    for (const TriggerCase& c : kMainCases) {
      if (c.forms & f.form) RunTriggerCase(c, *f.schema, 2, MainRows(f.form));
    }
  }
}

TEST(PCDSchemaTriggerTest, BackupSchemaRules) {
  for (const TriggerCase& c : kBackupCases) RunTriggerCase(c, kPCDBackupSchema, 1, kBackupRows);
}

TEST(PCDSchemaTriggerTest, CapsSchemaRules) {
  for (const TriggerCase& c : kCapsCases) RunTriggerCase(c, kPCDCapsSchema, 1, kCapsRows);
}

TEST(PCDSchemaTriggerTest, SecondFormVersionTwoShortensUpgradeChains) {
  Database db(":memory:");
  ASSERT_EQ(db.Apply(kPCDMainSchema, 1, 1), "");
  ASSERT_EQ(db.Rows("SELECT value FROM pcd_meta WHERE key = 'schema_version'"), "1");
  for (const char* id : {"A", "B", "C", "D", "E", "F"})
    ASSERT_EQ(db.Run(std::string("INSERT INTO tarn_payload VALUES ('") + id + "', 'f', 'n', '1', 's')"), "");
  // Before version 2 nothing shortens a chain.
  ASSERT_EQ(db.Run("INSERT INTO upgraded_payloads VALUES ('A', 'B');"
                   "INSERT INTO upgraded_payloads VALUES ('B', 'C');"),
            "");
  ASSERT_EQ(db.Rows("SELECT payloadIDUpgraded FROM upgraded_payloads WHERE payloadIDOriginal = 'A'"),
            "B");

  ASSERT_EQ(db.Apply(kPCDMainSchema, 2, 2), "");
  EXPECT_EQ(db.Rows("SELECT value FROM pcd_meta WHERE key = 'schema_version'"), "2");
  EXPECT_EQ(db.Rows("SELECT payloadIDOriginal, payloadIDUpgraded FROM upgraded_payloads "
                    "ORDER BY 1"),
            "A,C;B,C");

  // New rows are pointed along the chain when they are written.
  ASSERT_EQ(db.Run("INSERT INTO upgraded_payloads VALUES ('D', 'A')"), "");
  EXPECT_EQ(db.Rows("SELECT payloadIDUpgraded FROM upgraded_payloads WHERE payloadIDOriginal = 'D'"),
            "C");
  ASSERT_EQ(db.Run("INSERT INTO upgraded_payloads VALUES ('E', 'F')"), "");
  ASSERT_EQ(db.Run("UPDATE upgraded_payloads SET payloadIDUpgraded = 'B' WHERE payloadIDOriginal = 'E'"),
            "");
  EXPECT_EQ(db.Rows("SELECT payloadIDUpgraded FROM upgraded_payloads WHERE payloadIDOriginal = 'E'"),
            "C");
}

}  // namespace
