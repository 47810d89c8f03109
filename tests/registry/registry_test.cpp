// The registry table: ensure on empty, repeated, user-made and older tables and on a read-only
// database; lookups and the existence probe, including a database without the table.
#include "registry/registry.h"
#include "support/harness.h"
#include <chrono>
#include <thread>

namespace {

std::string digest_of(const std::string &s) {
  sha256_state st;
  char hex[VORNEL_HASH_HEX_SIZE];
  vornel0_hash_init(&st);
  sha256_update(&st, s.data(), s.size());
  vornel0_hash_hex(&st, hex);
  return hex;
}

int ensure(vt::Db &db, std::string *msg = nullptr) {
  char *m = nullptr;
  int rc = vornel0_registry_ensure(db.handle(), &m);
  if (msg) *msg = m ? m : "";
  sqlite3_free(m);
  return rc;
}

const char *BUILT_IN_LIST = "theta-classic|ts-stat\nstub-seasonal-naive|ts-stat\nsub-pca|ts-stat\ntsb|ts-stat\n"
                            "auto|ts-stat\nknn5-incontext|tabular-stat";

} // namespace

TEST(RegistryEnsure, EmptyDatabaseGetsTheSixBuiltIns) {
  vt::Db db;
  ASSERT_EQ(ensure(db), SQLITE_OK);
  EXPECT_EQ(db.run("SELECT model_id, kind FROM _vornel_models ORDER BY rowid").text(), BUILT_IN_LIST);
  EXPECT_EQ(db.one("SELECT count(*) FROM _vornel_models WHERE runtime='bundled' AND weights IS NULL AND "
                   "weights_uri IS NULL AND io_spec IS NULL AND license='MIT OR Apache-2.0' AND "
                   "created_at GLOB "
                   "'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9].[0-9][0-9][0-9]Z'"),
            "6");
  // Each digest is that of "bundled:<id>:v0.0.1-alpha.6", computed here independently.
  for (const char *id : {"theta-classic", "stub-seasonal-naive", "sub-pca", "tsb", "auto", "knn5-incontext"}) {
    EXPECT_EQ(db.one(std::string("SELECT content_hash FROM _vornel_models WHERE model_id='") + id + "'"),
              digest_of(std::string("bundled:") + id + ":v0.0.1-alpha.6"));
  }
  EXPECT_EQ(db.one("SELECT content_hash FROM _vornel_models WHERE model_id='tsb'"),
            "65fdf09a59a8ee93370caae33052a58b30cc92e94c659ead7313226a3b396d6f");
}

TEST(RegistryEnsure, SecondEnsureKeepsRowsAndTimes) {
  vt::Db db;
  ASSERT_EQ(ensure(db), SQLITE_OK);
  std::string before = db.run("SELECT model_id, created_at FROM _vornel_models ORDER BY model_id").text();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(ensure(db), SQLITE_OK);
  EXPECT_EQ(db.run("SELECT model_id, created_at FROM _vornel_models ORDER BY model_id").text(), before);
  EXPECT_EQ(db.one("SELECT count(*) FROM _vornel_models"), "6");
}

TEST(RegistryEnsure, TableChecksRefuseBadRows) {
  vt::Db db;
  ASSERT_EQ(ensure(db), SQLITE_OK);
  const char *bad[] = {
      "INSERT INTO _vornel_models (model_id,kind,runtime,content_hash,license) VALUES ('a','nope','onnx','h','l')",
      "INSERT INTO _vornel_models (model_id,kind,runtime,content_hash,license) VALUES ('a','student','cuda','h','l')",
      "INSERT INTO _vornel_models (model_id,kind,runtime,weights,content_hash,license) VALUES "
      "('a','student','remote',x'00','h','l')",
      "INSERT INTO _vornel_models (model_id,kind,runtime,content_hash,license) VALUES ('a','student','tree','h','l')",
      "INSERT INTO _vornel_models (model_id,kind,runtime,weights,weights_uri,content_hash,license) VALUES "
      "('a','student','tree',x'00','/f','h','l')",
      "INSERT INTO _vornel_models (model_id,kind,runtime,weights,license) VALUES ('a','student','tree',x'00','l')",
  };
  for (const char *sql : bad)
    EXPECT_NE(sqlite3_exec(db.handle(), sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  EXPECT_EQ(db.run("INSERT INTO _vornel_models (model_id,kind,runtime,weights,content_hash,license) "
                   "VALUES ('a','student','tree',x'00','h','l')")
                .ok,
            true);
}

TEST(RegistryEnsure, UserMadeBuiltInIdKeepsItsValues) {
  vt::Db db;
  ASSERT_EQ(ensure(db), SQLITE_OK);
  db.exec("DELETE FROM _vornel_models WHERE model_id='tsb';"
          "INSERT INTO _vornel_models (model_id,kind,runtime,weights,content_hash,license) "
          "VALUES ('tsb','student','tree',x'0102','mine','own')");
  ASSERT_EQ(ensure(db), SQLITE_OK);
  EXPECT_EQ(db.run("SELECT kind, runtime, hex(weights), content_hash, license FROM _vornel_models WHERE model_id='tsb'")
                .text(),
            "student|tree|0102|mine|own");
  EXPECT_EQ(db.one("SELECT count(*) FROM _vornel_models"), "6");
}

TEST(RegistryEnsure, OlderTableGainsColumns) {
  vt::Db db;
  db.exec("CREATE TABLE _vornel_models (model_id TEXT PRIMARY KEY, kind TEXT, runtime TEXT, weights BLOB, "
          "content_hash TEXT, license TEXT, created_at TEXT DEFAULT 'then')");
  ASSERT_EQ(ensure(db), SQLITE_OK);
  EXPECT_EQ(
      db.run(
            "SELECT name FROM pragma_table_info('_vornel_models') WHERE name IN ('weights_uri','io_spec') ORDER BY cid")
          .text(),
      "weights_uri\nio_spec");
  EXPECT_EQ(db.one("SELECT count(*) FROM _vornel_models WHERE created_at='then'"), "6");
}

TEST(RegistryEnsure, ReadOnlyDatabaseReportsTheCreateError) {
  vt::TempFile file("registry_ro.db");
  {
    vt::Db rw(file.path);
    rw.exec("CREATE TABLE t(x)");
  }
  vt::Db ro("file:" + file.path + "?mode=ro");
  std::string msg;
  EXPECT_EQ(ensure(ro, &msg), SQLITE_READONLY);
  EXPECT_EQ(msg, "VORNEL_ERR_RESOURCE: cannot create the model registry (attempt to write a readonly database)");
  EXPECT_EQ(ro.error("SELECT vornel_register('m', 'no-file')"),
            "VORNEL_ERR_RESOURCE: cannot create the model registry (attempt to write a readonly database)");
}

TEST(RegistryEnsure, ReadOnlyDatabaseWithTableCannotOfferBuiltIns) {
  vt::TempFile file("registry_ro2.db");
  {
    vt::Db rw(file.path);
    ASSERT_EQ(ensure(rw), SQLITE_OK);
  }
  vt::Db ro("file:" + file.path + "?mode=ro");
  std::string msg;
  EXPECT_EQ(ensure(ro, &msg), SQLITE_READONLY);
  EXPECT_EQ(msg, "VORNEL_ERR_RESOURCE: cannot register bundled models");
  // Readers still work.
  vornel0_model_row row;
  EXPECT_EQ(vornel0_registry_lookup(ro.handle(), "auto", &row), SQLITE_OK);
  vornel0_model_row_free(&row);
}

TEST(RegistryLookup, BuiltInStudentAndUnknown) {
  vt::Db db;
  vornel0_model_row row;
  // No table yet: the same answer as an unknown id, and no table is made.
  EXPECT_EQ(vornel0_registry_lookup(db.handle(), "auto", &row), SQLITE_ERROR);
  EXPECT_EQ(row.runtime, nullptr);
  EXPECT_EQ(row.weights_len, 0);
  int rc = -1;
  EXPECT_EQ(vornel0_registry_model_hash(db.handle(), "auto", &rc), nullptr);
  EXPECT_EQ(rc, SQLITE_OK);
  EXPECT_EQ(db.one("SELECT count(*) FROM sqlite_schema WHERE name='_vornel_models'"), "0");

  ASSERT_EQ(ensure(db), SQLITE_OK);
  ASSERT_EQ(vornel0_registry_lookup(db.handle(), "auto", &row), SQLITE_OK);
  EXPECT_STREQ(row.runtime, "bundled");
  EXPECT_STREQ(row.kind, "ts-stat");
  EXPECT_STREQ(row.license, "MIT OR Apache-2.0");
  EXPECT_EQ(row.weights_uri, nullptr);
  EXPECT_EQ(row.io_spec, nullptr);
  EXPECT_EQ(row.weights, nullptr);
  EXPECT_EQ(row.weights_len, 0);
  EXPECT_EQ(std::string(row.content_hash), digest_of("bundled:auto:v0.0.1-alpha.6"));
  vornel0_model_row_free(&row);
  vornel0_model_row_free(&row); // harmless twice
  vornel0_model_row_free(nullptr);
  EXPECT_EQ(row.kind, nullptr);

  EXPECT_EQ(vornel0_registry_lookup(db.handle(), "nope", &row), SQLITE_ERROR);
  EXPECT_EQ(row.kind, nullptr);

  db.exec("INSERT INTO _vornel_models (model_id,kind,runtime,weights,content_hash,license,io_spec) "
          "VALUES ('st','student','tree',x'00ff10','abc','l','{}'),"
          "('empty','student','tree',x'','h','l',NULL)");
  db.exec("INSERT INTO _vornel_models (model_id,kind,runtime,weights_uri,content_hash,license) "
          "VALUES ('ext','student','onnx','/w.onnx','def','l')");
  ASSERT_EQ(vornel0_registry_lookup(db.handle(), "st", &row), SQLITE_OK);
  ASSERT_EQ(row.weights_len, 3);
  EXPECT_EQ(row.weights[0], 0x00);
  EXPECT_EQ(row.weights[2], 0x10);
  EXPECT_STREQ(row.io_spec, "{}");
  vornel0_model_row_free(&row);
  EXPECT_EQ(row.weights, nullptr);
  EXPECT_EQ(row.weights_len, 0);
  ASSERT_EQ(vornel0_registry_lookup(db.handle(), "ext", &row), SQLITE_OK);
  EXPECT_STREQ(row.weights_uri, "/w.onnx");
  EXPECT_EQ(row.weights, nullptr);
  vornel0_model_row_free(&row);
  // A zero-length blob gives no weights.
  ASSERT_EQ(vornel0_registry_lookup(db.handle(), "empty", &row), SQLITE_OK);
  EXPECT_EQ(row.weights, nullptr);
  EXPECT_EQ(row.weights_len, 0);
  vornel0_model_row_free(&row);

  char *hash = vornel0_registry_model_hash(db.handle(), "st");
  ASSERT_NE(hash, nullptr);
  EXPECT_STREQ(hash, "abc");
  sqlite3_free(hash);
  EXPECT_EQ(vornel0_registry_model_hash(db.handle(), "missing", &rc), nullptr);
  EXPECT_EQ(rc, SQLITE_OK);
}

TEST(RegistryLookup, RowsFromAnUnconstrainedTable) {
  vt::Db db;
  db.exec("CREATE TABLE _vornel_models (model_id TEXT PRIMARY KEY, kind TEXT, runtime TEXT, weights BLOB, "
          "weights_uri TEXT, io_spec TEXT, content_hash TEXT, license TEXT, created_at TEXT);"
          "INSERT INTO _vornel_models (model_id,kind,runtime,content_hash,license) VALUES "
          "('nolicense','student','tree','h',NULL), ('nohash','student','tree',NULL,'l'),"
          "('noruntime','student',NULL,'h','l'), ('nokind',NULL,'tree','h','l');"
          "INSERT INTO _vornel_models (model_id,kind,runtime,content_hash,license,weights) VALUES "
          "('textweights','student','tree','h','l','not a blob'), ('numbers',1,2.5,3,x'6c00',NULL);");
  vornel0_model_row row;
  for (const char *id : {"nolicense", "nohash", "noruntime", "nokind"}) {
    EXPECT_EQ(vornel0_registry_lookup(db.handle(), id, &row), SQLITE_CORRUPT) << id;
    EXPECT_EQ(row.runtime, nullptr);
    EXPECT_EQ(row.kind, nullptr);
    EXPECT_EQ(row.content_hash, nullptr);
  }
  ASSERT_EQ(vornel0_registry_lookup(db.handle(), "textweights", &row), SQLITE_OK);
  EXPECT_EQ(row.weights, nullptr);
  EXPECT_EQ(row.weights_len, 0);
  vornel0_model_row_free(&row);
  // Values of other types are read as their text; a blob licence stops at its first NUL.
  ASSERT_EQ(vornel0_registry_lookup(db.handle(), "numbers", &row), SQLITE_OK);
  EXPECT_STREQ(row.kind, "1");
  EXPECT_STREQ(row.runtime, "2.5");
  EXPECT_STREQ(row.content_hash, "3");
  EXPECT_STREQ(row.license, "l");
  vornel0_model_row_free(&row);
}
