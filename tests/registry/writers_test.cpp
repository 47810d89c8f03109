// The three registry writers (vornel_register, distill_vornel, distill_forecast) as a hostile
// database or a read-only host would meet them: they refuse before touching a file or
// training, they refuse a registry that is not the real table, registry creation is one
// commit, and hashing a file stops on an interrupt. Hostile triggers and changed weights are
// in tests/sql/writers.test.
#include "registry/registry.h"
#include "support/harness.h"
#include <fstream>

namespace {

const std::string DATA = std::string(VORNEL_SOURCE_DIR) + "/tests/registry/data/example-weights.bin";

// 40 rows of two features and a two-class label; a forecast window is (a, b, a + b).
void make_data(vt::Db &db) {
  db.exec("CREATE TABLE d(a REAL, b REAL, y TEXT);"
          "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 40) "
          "INSERT INTO d SELECT i, i % 7, CASE WHEN i % 3 = 0 THEN 'x' ELSE 'y' END FROM c;");
}

std::string distill(const std::string &id, const std::string &query = "SELECT a, b, y FROM d") {
  return "SELECT model_id FROM distill_vornel('" + query + "', '{\"target\":\"y\",\"student_id\":\"" + id + "\"}')";
}

std::string fdistill(const std::string &id, const std::string &query = "SELECT a, b, a + b FROM d") {
  return "SELECT model_id FROM distill_forecast('" + query +
         "', '{\"context\":2,\"horizon\":1,\"hidden\":4,"
         "\"epochs\":3,\"student_id\":\"" +
         id + "\"}')";
}

std::string reg(const std::string &id, const std::string &file, const std::string &extra = "") {
  return "SELECT vornel_register('" + id + "', '{\"weights_uri\":\"" + file + "\",\"io_spec\":\"x\"" + extra + "}')";
}

// Runs a writer that is expected to store; the page cache grows with the blob, so the memory
// balance does not apply to it.
void store(vt::Db &db, const std::string &sql) { db.exec(sql); }

// The error of a writer that fails after writing pages it then rolls back (the page cache
// keeps them, so the memory balance does not apply either).
std::string rolled_back(vt::Db &db, const std::string &sql) {
  char *err = nullptr;
  EXPECT_NE(sqlite3_exec(db.handle(), sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << sql;
  std::string out = err ? err : "";
  sqlite3_free(err);
  return out;
}

int deny_registry_insert(void *, int action, const char *table, const char *, const char *, const char *) {
  return action == SQLITE_INSERT && table && std::string(table) == "_vornel_models" ? SQLITE_DENY : SQLITE_OK;
}

} // namespace

// With query_only on, or an authorizer that denies the insert, no file is opened: a missing
// file, a directory and a readable file give one and the same answer, and nothing trains
// (a train query that cannot even be prepared is not looked at).
TEST(RegistryWriters, RefuseBeforeReadingAFileOrTraining) {
  vt::Db db;
  make_data(db);
  store(db, reg("first", DATA));
  db.exec("PRAGMA query_only = 1");
  const std::string refused = "VORNEL_ERR_RESOURCE: cannot write the model registry: PRAGMA query_only is on";
  for (const std::string &file : {DATA, DATA + ".missing", std::string(VORNEL_SOURCE_DIR)})
    EXPECT_EQ(db.error(reg("r", file)), refused) << file;
  EXPECT_EQ(db.error(distill("s", "SELECT * FROM no_such_table")), refused);
  EXPECT_EQ(db.error(fdistill("f", "SELECT * FROM no_such_table")), refused);
  db.exec("PRAGMA query_only = 0");

  sqlite3_set_authorizer(db.handle(), deny_registry_insert, nullptr);
  for (const std::string &file : {DATA, DATA + ".missing", std::string(VORNEL_SOURCE_DIR)})
    EXPECT_EQ(db.error(reg("r", file)), "VORNEL_ERR_RESOURCE: cannot prepare registry insert") << file;
  EXPECT_EQ(db.error(distill("s", "SELECT * FROM no_such_table")),
            "VORNEL_ERR_RESOURCE: cannot prepare student insert");
  EXPECT_EQ(db.error(fdistill("f", "SELECT * FROM no_such_table")),
            "VORNEL_ERR_RESOURCE: cannot prepare student insert");
  sqlite3_set_authorizer(db.handle(), nullptr, nullptr);
  EXPECT_EQ(db.one("SELECT group_concat(model_id) FROM _vornel_models WHERE runtime <> 'bundled'"), "first");
}

TEST(RegistryWriters, RefuseARegistryThatIsNotTheTable) {
  vt::Db db;
  make_data(db);
  // A view whose INSTEAD OF trigger would receive every student.
  db.exec(
      "CREATE TABLE caught(id); CREATE VIEW _vornel_models AS SELECT 1 AS model_id;"
      "CREATE TRIGGER grab INSTEAD OF INSERT ON _vornel_models BEGIN INSERT INTO caught VALUES (NEW.model_id); END;");
  const std::string not_table =
      "VORNEL_ERR_RESOURCE: cannot write the model registry: _vornel_models in main is not an ordinary table";
  EXPECT_EQ(rolled_back(db, distill("s")), not_table);
  EXPECT_EQ(rolled_back(db, fdistill("f")), not_table);
  EXPECT_EQ(rolled_back(db, reg("r", DATA)), not_table);
  EXPECT_EQ(db.one("SELECT count(*) FROM caught"), "0");
  db.exec("DROP VIEW _vornel_models");

  // A temporary table of the same name would take the unqualified insert.
  db.exec("CREATE TEMP TABLE _vornel_models(model_id TEXT PRIMARY KEY, kind, runtime, weights, weights_uri, io_spec, "
          "content_hash, license, created_at)");
  EXPECT_EQ(rolled_back(db, distill("s")),
            "VORNEL_ERR_RESOURCE: cannot write the model registry: a temporary _vornel_models hides the one in main");
  db.exec("DROP TABLE temp._vornel_models");
  // Nothing of the refused calls stayed behind: the creation rolled back with them.
  EXPECT_EQ(db.one("SELECT count(*) FROM sqlite_schema WHERE name = '_vornel_models'"), "0");

  db.exec("CREATE TABLE _vornel_models(model_id TEXT, kind, runtime, weights, content_hash, license)");
  EXPECT_EQ(rolled_back(db, distill("s")),
            "VORNEL_ERR_RESOURCE: cannot write the model registry: _vornel_models lacks the column model_id as its "
            "primary key");
}

// A built-in row that cannot be offered undoes the whole creation: no table with some rows.
TEST(RegistryWriters, CreationIsOneCommit) {
  vt::Db db;
  db.exec("CREATE TABLE _vornel_models(model_id TEXT PRIMARY KEY, kind TEXT, runtime TEXT, weights BLOB, "
          "weights_uri TEXT, io_spec TEXT, content_hash TEXT, license TEXT, created_at TEXT);"
          "CREATE TRIGGER no_tsb BEFORE INSERT ON _vornel_models WHEN NEW.model_id = 'tsb' "
          "BEGIN SELECT RAISE(ABORT, 'no'); END;");
  EXPECT_EQ(rolled_back(db, reg("r", DATA)), "VORNEL_ERR_RESOURCE: cannot register bundled models");
  EXPECT_EQ(db.one("SELECT count(*) FROM _vornel_models"), "0");
  // Inside a statement that itself writes, the registry is made within that statement.
  vt::Db fresh;
  make_data(fresh);
  fresh.exec("CREATE TABLE made AS " + distill("s"));
  EXPECT_EQ(fresh.one("SELECT count(*) FROM _vornel_models"), "7");
  EXPECT_EQ(fresh.one("SELECT model_id FROM made"), "s");
}

// An interrupt reaches the file hasher: an authorizer that interrupts as the insert is
// prepared (just before the file is read) stops a file of 4 MiB within its first mebibyte.
TEST(RegistryWriters, FileHashingHonoursInterrupts) {
  vt::TempFile big("writers_big.bin");
  std::ofstream(big.path, std::ios::binary) << std::string(4 << 20, 'w');
  vt::Db db;
  store(db, reg("first", DATA));
  sqlite3_set_authorizer(
      db.handle(),
      [](void *db, int action, const char *table, const char *, const char *, const char *) {
        if (action == SQLITE_INSERT && table && std::string(table) == "_vornel_models")
          sqlite3_interrupt((sqlite3 *)db);
        return SQLITE_OK;
      },
      db.handle());
  vt::Result r = db.run("SELECT vornel_register('big', '" + big.path + "')");
  sqlite3_set_authorizer(db.handle(), nullptr, nullptr);
  EXPECT_EQ(r.code, SQLITE_INTERRUPT);
  EXPECT_EQ(r.error, "VORNEL_ERR_RESOURCE: hashing the weights file was interrupted: " + big.path);
  EXPECT_EQ(db.one("SELECT count(*) FROM _vornel_models WHERE model_id = 'big'"), "0");
}
