// The schema sets of the product configuration database. Each statement is one complete SQL
// statement (a trigger with its body counts as one). The REFERENCES clauses document the
// relations, but the engine's foreign-key enforcement stays off: the triggers carry every
// integrity rule, and a trigger refuses a change with RAISE(ABORT, message).
#include "pcd/schema/pcd_schema.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Statements shared by several sets.

constexpr char kCreatePcdMeta[] =
    "CREATE TABLE pcd_meta (key TEXT NOT NULL PRIMARY KEY, value TEXT NOT NULL);";

constexpr char kCreateDomainData[] =
    "CREATE TABLE domain_data (domain TEXT NOT NULL, subDomain TEXT NOT NULL, "
    "key TEXT NOT NULL, value TEXT, PRIMARY KEY (domain, subDomain, key));";

constexpr char kInsertSchemaVersion[] =
    "INSERT INTO pcd_meta (key, value) VALUES ('schema_version', 1);";
constexpr char kInsertCompatibilityVersion[] =
    "INSERT INTO pcd_meta (key, value) VALUES ('schema_compatibility_version', 1);";

// Tables of the main schema that both forms share.
constexpr char kCreateTarnCollection[] =
    "CREATE TABLE tarn_collection (collectionID TEXT NOT NULL PRIMARY KEY, "
    "collectionPayloadID TEXT NOT NULL REFERENCES tarn_payload (payloadID) ON DELETE RESTRICT, "
    "tsInstalled INT, tsModified INT);";

constexpr char kCreateTarnCollectionPayload[] =
    "CREATE TABLE tarn_collection_payload ("
    "collectionID TEXT NOT NULL REFERENCES tarn_collection (collectionID) ON DELETE CASCADE, "
    "payloadID TEXT NOT NULL REFERENCES tarn_payload (payloadID) ON DELETE RESTRICT, "
    "installState INT NOT NULL DEFAULT 0, tsInstalled INTEGER, "
    "PRIMARY KEY (collectionID, payloadID));";

constexpr char kCreateTarnPayloadConstraint[] =
    "CREATE TABLE tarn_payload_constraint ("
    "payloadID TEXT NOT NULL REFERENCES tarn_payload (payloadID) ON DELETE CASCADE, "
    "payloadIDb TEXT NOT NULL, constraintType INTEGER NOT NULL, "
    "PRIMARY KEY (payloadID, payloadIDb, constraintType));";

constexpr char kCreateCollectionData[] =
    "CREATE TABLE collection_data ("
    "collectionID TEXT NOT NULL REFERENCES tarn_collection (collectionID), "
    "domain TEXT NOT NULL, key TEXT NOT NULL, value TEXT, "
    "PRIMARY KEY (collectionID, domain, key));";

constexpr char kCreatePayloadData[] =
    "CREATE TABLE payload_data ("
    "payloadID TEXT NOT NULL REFERENCES tarn_payload (payloadID), "
    "domain TEXT NOT NULL, key TEXT NOT NULL, value TEXT, "
    "PRIMARY KEY (payloadID, domain, key));";

// Triggers of the main schema that both forms share.
constexpr char kTriggerCtiCollectionData[] =
    "CREATE TRIGGER cti_collection_data BEFORE INSERT ON collection_data FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'cti_collection_data: collectionID is invalid.') "
    "WHERE (SELECT collectionID FROM tarn_collection "
    "WHERE collectionID = NEW.collectionID) IS NULL; "
    "END;";

constexpr char kTriggerCtuCollectionData[] =
    "CREATE TRIGGER ctu_collection_data BEFORE UPDATE ON collection_data FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'ctu_collection_data: collectionID is invalid.') "
    "WHERE (SELECT collectionID FROM tarn_collection "
    "WHERE collectionID = NEW.collectionID) IS NULL; "
    "END;";

constexpr char kTriggerCtiPayloadData[] =
    "CREATE TRIGGER cti_payload_data BEFORE INSERT ON payload_data FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'cti_payload_data: payloadID is invalid.') "
    "WHERE (SELECT payloadID FROM tarn_payload WHERE payloadID = NEW.payloadID) IS NULL; "
    "END;";

constexpr char kTriggerCtuPayloadData[] =
    "CREATE TRIGGER ctu_payload_data BEFORE UPDATE ON payload_data FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'ctu_payload_data: payloadID is invalid.') "
    "WHERE (SELECT payloadID FROM tarn_payload WHERE payloadID = NEW.payloadID) IS NULL; "
    "END;";

constexpr char kTriggerCtiTarnCollectionPayload[] =
    "CREATE TRIGGER cti_tarn_collection_payload BEFORE INSERT ON tarn_collection_payload "
    "FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'cti_tarn_collection_payload: collectionID is invalid.') "
    "WHERE (SELECT collectionID FROM tarn_collection "
    "WHERE collectionID = NEW.collectionID) IS NULL; "
    "SELECT RAISE(ABORT, 'cti_tarn_collection_payload: payloadID is invalid.') "
    "WHERE (SELECT payloadID FROM tarn_payload WHERE payloadID = NEW.payloadID) IS NULL; "
    "END;";

constexpr char kTriggerCtuTarnCollectionPayload[] =
    "CREATE TRIGGER ctu_tarn_collection_payload BEFORE UPDATE ON tarn_collection_payload "
    "FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'ctu_tarn_collection_payload: collectionID is invalid.') "
    "WHERE (SELECT collectionID FROM tarn_collection "
    "WHERE collectionID = NEW.collectionID) IS NULL; "
    "SELECT RAISE(ABORT, 'ctu_tarn_collection_payload: payloadID is invalid.') "
    "WHERE (SELECT payloadID FROM tarn_payload WHERE payloadID = NEW.payloadID) IS NULL; "
    "END;";

constexpr char kTriggerCtdTarnCollectionPayload[] =
    "CREATE TRIGGER ctd_tarn_collection_payload BEFORE DELETE ON tarn_collection_payload "
    "FOR EACH ROW WHEN OLD.installState <> 0 BEGIN "
    "SELECT RAISE(ABORT, "
    "'ctd_tarn_collection_payload: Payload must be marked as uninstalled before removing'); "
    "END;";

constexpr char kTriggerCtiTarnPayloadConstraint[] =
    "CREATE TRIGGER cti_tarn_payload_constraint BEFORE INSERT ON tarn_payload_constraint "
    "FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'cti_tarn_payload_constraint: payloadID is invalid.') "
    "WHERE (SELECT payloadID FROM tarn_payload WHERE payloadID = NEW.payloadID) IS NULL; "
    "END;";

constexpr char kTriggerCtuTarnPayloadConstraint[] =
    "CREATE TRIGGER ctu_tarn_payload_constraint BEFORE UPDATE ON tarn_payload_constraint "
    "FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'ctu_tarn_payload_constraint: payloadID is invalid.') "
    "WHERE (SELECT payloadID FROM tarn_payload WHERE payloadID = NEW.payloadID) IS NULL; "
    "END;";

// A version without statements.
constexpr const char* kNoStatements[] = {nullptr};

// ---------------------------------------------------------------------------------------------
// Cache schema.

constexpr const char* kCacheVersion1[] = {
    kCreatePcdMeta,
    kCreateDomainData,
    kInsertSchemaVersion,
    kInsertCompatibilityVersion,
    nullptr,
};

constexpr PCDStatementList kCacheVersions[] = {kCacheVersion1, kNoStatements, nullptr};

// ---------------------------------------------------------------------------------------------
// Main schema, first form.

constexpr const char* kMainFirstVersion1[] = {
    kCreatePcdMeta,
    "CREATE TABLE tarn_payload (payloadID TEXT NOT NULL PRIMARY KEY, "
    "productFamily TEXT NOT NULL, productName TEXT NOT NULL, version TEXT NOT NULL);",
    kCreateTarnCollection,
    kCreateTarnCollectionPayload,
    kCreateTarnPayloadConstraint,
    kCreateCollectionData,
    kCreatePayloadData,
    kCreateDomainData,
    "CREATE TRIGGER ctd_tarn_payload BEFORE DELETE ON tarn_payload FOR EACH ROW BEGIN "
    "DELETE FROM tarn_collection_payload WHERE payloadID = OLD.payloadID; "
    "DELETE FROM tarn_payload_constraint WHERE payloadID = OLD.payloadID; "
    "DELETE FROM payload_data WHERE payloadID = OLD.payloadID; "
    "END;",
    kTriggerCtiCollectionData,
    kTriggerCtuCollectionData,
    kTriggerCtiPayloadData,
    kTriggerCtuPayloadData,
    // Removes the collection's memberships, then every payload that no collection holds any
    // more (in the whole table), then the collection's data.
    "CREATE TRIGGER ctd_tarn_collection BEFORE DELETE ON tarn_collection FOR EACH ROW BEGIN "
    "DELETE FROM tarn_collection_payload WHERE collectionID = OLD.collectionID; "
    "DELETE FROM tarn_payload WHERE payloadID IN ("
    "SELECT tarn_payload.payloadID FROM tarn_payload LEFT JOIN tarn_collection_payload "
    "ON tarn_payload.payloadID = tarn_collection_payload.payloadID "
    "WHERE tarn_collection_payload.payloadID IS NULL); "
    "DELETE FROM collection_data WHERE collectionID = OLD.collectionID; "
    "END;",
    kTriggerCtiTarnCollectionPayload,
    kTriggerCtuTarnCollectionPayload,
    kTriggerCtdTarnCollectionPayload,
    kTriggerCtiTarnPayloadConstraint,
    kTriggerCtuTarnPayloadConstraint,
    kInsertSchemaVersion,
    kInsertCompatibilityVersion,
    nullptr,
};

constexpr PCDStatementList kMainFirstVersions[] = {kMainFirstVersion1, kNoStatements, nullptr};

// ---------------------------------------------------------------------------------------------
// Main schema, second form.

constexpr const char* kMainVersion1[] = {
    kCreatePcdMeta,
    "CREATE TABLE tarn_payload (payloadID TEXT NOT NULL PRIMARY KEY, "
    "productFamily TEXT NOT NULL, productName TEXT NOT NULL, version TEXT NOT NULL, "
    "signature TEXT NOT NULL);",
    kCreateTarnCollection,
    kCreateTarnCollectionPayload,
    kCreateTarnPayloadConstraint,
    kCreateCollectionData,
    kCreatePayloadData,
    "CREATE TABLE upgraded_payloads ("
    "payloadIDOriginal TEXT NOT NULL PRIMARY KEY REFERENCES tarn_payload (payloadID), "
    "payloadIDUpgraded TEXT NOT NULL REFERENCES tarn_payload (payloadID));",
    "CREATE TRIGGER ctd_tarn_payload BEFORE DELETE ON tarn_payload FOR EACH ROW BEGIN "
    "DELETE FROM tarn_collection_payload WHERE payloadID = OLD.payloadID; "
    "DELETE FROM tarn_payload_constraint WHERE payloadID = OLD.payloadID; "
    "DELETE FROM payload_data WHERE payloadID = OLD.payloadID; "
    "DELETE FROM upgraded_payloads WHERE payloadIDOriginal = OLD.payloadID; "
    "DELETE FROM upgraded_payloads WHERE payloadIDUpgraded = OLD.payloadID; "
    "END;",
    kTriggerCtiCollectionData,
    kTriggerCtuCollectionData,
    kTriggerCtiPayloadData,
    kTriggerCtuPayloadData,
    // Payloads left without a collection stay in this form.
    "CREATE TRIGGER ctd_tarn_collection BEFORE DELETE ON tarn_collection FOR EACH ROW BEGIN "
    "DELETE FROM tarn_collection_payload WHERE collectionID = OLD.collectionID; "
    "DELETE FROM collection_data WHERE collectionID = OLD.collectionID; "
    "END;",
    kTriggerCtiTarnCollectionPayload,
    kTriggerCtuTarnCollectionPayload,
    kTriggerCtdTarnCollectionPayload,
    kTriggerCtiTarnPayloadConstraint,
    kTriggerCtuTarnPayloadConstraint,
    kInsertSchemaVersion,
    kInsertCompatibilityVersion,
    nullptr,
};

// Moves every row whose upgraded payload is itself upgraded one step further along the chain.
constexpr char kShortenUpgradeChains[] =
    "UPDATE upgraded_payloads SET payloadIDUpgraded = (SELECT second_upgraded.payloadIDUpgraded "
    "FROM upgraded_payloads AS first_upgraded INNER JOIN upgraded_payloads AS second_upgraded "
    "ON first_upgraded.payloadIDUpgraded = second_upgraded.payloadIDOriginal "
    "WHERE upgraded_payloads.payloadIDOriginal = first_upgraded.payloadIDOriginal) "
    "WHERE payloadIDOriginal IN (SELECT first_upgraded.payloadIDOriginal "
    "FROM upgraded_payloads AS first_upgraded INNER JOIN upgraded_payloads AS second_upgraded "
    "ON first_upgraded.payloadIDUpgraded = second_upgraded.payloadIDOriginal);";

// Version 2 shortens the existing chains a fixed ten times (not until nothing changes), then
// keeps new rows short: a row written with an upgraded payload that is itself upgraded is
// pointed one step further at once.
constexpr const char* kMainVersion2[] = {
    "UPDATE pcd_meta SET value = 2 WHERE key = 'schema_version';",
    kShortenUpgradeChains,
    kShortenUpgradeChains,
    kShortenUpgradeChains,
    kShortenUpgradeChains,
    kShortenUpgradeChains,
    kShortenUpgradeChains,
    kShortenUpgradeChains,
    kShortenUpgradeChains,
    kShortenUpgradeChains,
    kShortenUpgradeChains,
    "CREATE TRIGGER insert_upgraded_payloads AFTER INSERT ON upgraded_payloads FOR EACH ROW "
    "WHEN NEW.payloadIDUpgraded IN (SELECT payloadIDOriginal FROM upgraded_payloads) BEGIN "
    "UPDATE upgraded_payloads SET payloadIDUpgraded = (SELECT DISTINCT payloadIDUpgraded "
    "FROM upgraded_payloads WHERE payloadIDOriginal = NEW.payloadIDUpgraded) "
    "WHERE payloadIDOriginal = NEW.payloadIDOriginal; "
    "END;",
    "CREATE TRIGGER update_upgraded_payloads AFTER UPDATE ON upgraded_payloads FOR EACH ROW "
    "WHEN NEW.payloadIDUpgraded IN (SELECT payloadIDOriginal FROM upgraded_payloads) BEGIN "
    "UPDATE upgraded_payloads SET payloadIDUpgraded = (SELECT DISTINCT payloadIDUpgraded "
    "FROM upgraded_payloads WHERE payloadIDOriginal = NEW.payloadIDUpgraded) "
    "WHERE payloadIDOriginal = NEW.payloadIDOriginal; "
    "END;",
    nullptr,
};

constexpr PCDStatementList kMainVersions[] = {kMainVersion1, kMainVersion2, nullptr};

// ---------------------------------------------------------------------------------------------
// Backup schema.

constexpr const char* kBackupVersion1[] = {
    kCreatePcdMeta,
    "CREATE TABLE payloads (PayloadID TEXT NOT NULL PRIMARY KEY, productFamily TEXT, "
    "productName TEXT, version TEXT, signature TEXT, installState INT NOT NULL DEFAULT 0, "
    "installTime INT);",
    "CREATE TABLE dependencies ("
    "PayloadID TEXT NOT NULL REFERENCES payloads (PayloadID) ON DELETE CASCADE, "
    "PayloadIDb TEXT NOT NULL, type INTEGER NOT NULL REFERENCES dependency_type (type), "
    "PRIMARY KEY (PayloadID, PayloadIDb));",
    "CREATE TABLE dependency_type (type INTEGER NOT NULL PRIMARY KEY, "
    "description TEXT NOT NULL);",
    "CREATE TABLE payload_data (PayloadID TEXT NOT NULL REFERENCES payloads (PayloadID), "
    "domain TEXT NOT NULL, key TEXT NOT NULL, value TEXT, "
    "PRIMARY KEY (PayloadID, domain, key));",
    "CREATE TABLE upgraded_payloads (payloadIDOriginal TEXT NOT NULL, "
    "payloadIDUpgraded TEXT NOT NULL REFERENCES payloads (PayloadID), "
    "PRIMARY KEY (payloadIDOriginal, payloadIDUpgraded));",
    "CREATE TABLE user_actions (product_id TEXT NOT NULL, actor TEXT, "
    "time_action TEXT NOT NULL);",
    "CREATE TRIGGER ctd_payloads BEFORE DELETE ON payloads FOR EACH ROW BEGIN "
    "DELETE FROM dependencies WHERE PayloadID = OLD.PayloadID; "
    "DELETE FROM payload_data WHERE PayloadID = OLD.PayloadID; "
    "END;",
    "CREATE TRIGGER cti_dependencies BEFORE INSERT ON dependencies FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'cti_dependencies: PayloadID is invalid.') "
    "WHERE (SELECT PayloadID FROM payloads WHERE PayloadID = NEW.PayloadID) IS NULL; "
    "END;",
    "CREATE TRIGGER ctu_dependencies BEFORE UPDATE ON dependencies FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'ctu_dependencies: PayloadID is invalid.') "
    "WHERE (SELECT PayloadID FROM payloads WHERE PayloadID = NEW.PayloadID) IS NULL; "
    "END;",
    "CREATE TRIGGER cti_payload_data BEFORE INSERT ON payload_data FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'cti_payload_data: PayloadID is invalid.') "
    "WHERE (SELECT PayloadID FROM payloads WHERE PayloadID = NEW.PayloadID) IS NULL; "
    "END;",
    "CREATE TRIGGER ctu_payload_data BEFORE UPDATE ON payload_data FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'ctu_payload_data: PayloadID is invalid.') "
    "WHERE (SELECT PayloadID FROM payloads WHERE PayloadID = NEW.PayloadID) IS NULL; "
    "END;",
    kInsertSchemaVersion,
    kInsertCompatibilityVersion,
    "INSERT INTO dependency_type (type, description) VALUES (0, 'Conflicts');",
    "INSERT INTO dependency_type (type, description) VALUES (1, 'Upgrades');",
    "INSERT INTO dependency_type (type, description) VALUES (2, 'Requires');",
    "INSERT INTO dependency_type (type, description) VALUES (3, 'Required');",
    "INSERT INTO dependency_type (type, description) VALUES (4, 'Critical');",
    "INSERT INTO dependency_type (type, description) VALUES (5, 'Recommended');",
    "INSERT INTO dependency_type (type, description) VALUES (6, 'loadPatch');",
    "INSERT INTO dependency_type (type, description) VALUES (7, 'loadLangPack');",
    nullptr,
};

constexpr PCDStatementList kBackupVersions[] = {kBackupVersion1, nullptr};

// ---------------------------------------------------------------------------------------------
// Caps schema: no version bookkeeping, so every opening tries version 1 again, and its first
// statement fails harmlessly once the tables exist.

constexpr const char* kCapsVersion1[] = {
    "CREATE TABLE Suites (ProductID TEXT NOT NULL, group_name TEXT NOT NULL, "
    "group_family TEXT NOT NULL, display_name TEXT NOT NULL, PRIMARY KEY (ProductID));",
    "CREATE TABLE SuitePayloads (ProductID TEXT NOT NULL REFERENCES Suites (ProductID), "
    "PayloadID TEXT NOT NULL REFERENCES Payloads (PayloadID), "
    "PRIMARY KEY (ProductID, PayloadID));",
    "CREATE TABLE Payloads (PayloadID TEXT NOT NULL, payload_family TEXT NOT NULL, "
    "payload_name TEXT NOT NULL, payload_version TEXT NOT NULL, payload_type TEXT NOT NULL, "
    "PRIMARY KEY (PayloadID));",
    "CREATE TABLE Branding (ProductID TEXT NOT NULL REFERENCES Suites (ProductID), "
    "resource_type TEXT NOT NULL, resource_data TEXT NOT NULL, "
    "PRIMARY KEY (ProductID, resource_type));",
    "CREATE TABLE PayloadData (PayloadID TEXT NOT NULL REFERENCES Payloads (PayloadID), "
    "domain TEXT NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL, "
    "PRIMARY KEY (PayloadID, domain, key));",
    "CREATE TABLE DependencyData (PayloadID TEXT NOT NULL REFERENCES Payloads (PayloadID), "
    "PayloadIDb TEXT, type TEXT NOT NULL, product_family TEXT, product_name TEXT, "
    "version TEXT, "
    "PRIMARY KEY (PayloadID, PayloadIDb, type, product_family, product_name, version));",
    "CREATE TABLE EULA_Files (productID TEXT NOT NULL, langCode TEXT NOT NULL, "
    "eula TEXT NOT NULL, PRIMARY KEY (productID, langCode));",
    "CREATE TRIGGER ctd_Suites BEFORE DELETE ON Suites FOR EACH ROW BEGIN "
    "DELETE FROM SuitePayloads WHERE ProductID = OLD.ProductID; "
    "DELETE FROM Branding WHERE ProductID = OLD.ProductID; "
    "END;",
    "CREATE TRIGGER ctd_Payloads BEFORE DELETE ON Payloads FOR EACH ROW BEGIN "
    "DELETE FROM DependencyData WHERE PayloadID = OLD.PayloadID; "
    "DELETE FROM PayloadData WHERE PayloadID = OLD.PayloadID; "
    "DELETE FROM SuitePayloads WHERE PayloadID = OLD.PayloadID; "
    "END;",
    "CREATE TRIGGER cti_PayloadData BEFORE INSERT ON PayloadData FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'cti_PayloadData: PayloadID is invalid.') "
    "WHERE (SELECT PayloadID FROM Payloads WHERE PayloadID = NEW.PayloadID) IS NULL; "
    "END;",
    "CREATE TRIGGER ctu_PayloadData BEFORE UPDATE ON PayloadData FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'ctu_PayloadData: PayloadID is invalid.') "
    "WHERE (SELECT PayloadID FROM Payloads WHERE PayloadID = NEW.PayloadID) IS NULL; "
    "END;",
    "CREATE TRIGGER cti_DependencyData BEFORE INSERT ON DependencyData FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'cti_DependencyData: PayloadID is invalid.') "
    "WHERE (SELECT PayloadID FROM Payloads WHERE PayloadID = NEW.PayloadID) IS NULL; "
    "END;",
    "CREATE TRIGGER ctu_DependencyData BEFORE UPDATE ON DependencyData FOR EACH ROW BEGIN "
    "SELECT RAISE(ABORT, 'ctu_DependencyData: PayloadID is invalid.') "
    "WHERE (SELECT PayloadID FROM Payloads WHERE PayloadID = NEW.PayloadID) IS NULL; "
    "END;",
    nullptr,
};

constexpr PCDStatementList kCapsVersions[] = {kCapsVersion1, nullptr};

}  // namespace

int PCDTargetVersion(PCDDatabaseKind kind) {
  return (kind == PCDDatabaseKindBackup || kind == PCDDatabaseKindCaps) ? 1 : 2;
}

const PCDSchema kPCDCacheSchema = {kCacheVersions};
const PCDSchema kPCDMainSchemaFirstForm = {kMainFirstVersions};
const PCDSchema kPCDMainSchema = {kMainVersions};
const PCDSchema kPCDBackupSchema = {kBackupVersions};
const PCDSchema kPCDCapsSchema = {kCapsVersions};

const char kPCDCacheFolderName[] = "cache";
const char kPCDCacheFileName[] = "cache.db";
const char kPCDMainFileName[] = "pcd.db";
const char kPCDBackupName[] = "backup";
const char kPCDCapsFolderName[] = "caps";
const char kPCDCapsFileName[] = "caps.db";
const char kPCDDatabaseFolderName[] = "Kymra PCD";
