// vornel_register through SQL: defaults, bare paths, every message in the order of the checks,
// and that nothing is inserted on failure.
#include "registry/registry.h"
#include "support/harness.h"
#include <fstream>
#include <sys/stat.h>

namespace {

struct Fixture {
  vt::Db db;
  vt::TempFile weights{"register_weights.bin"};
  vt::TempFile empty{"register_empty.bin"};
  // Creating the table grows the connection's schema cache, which the harness's per-statement
  // balance would count as a leak; so the registry is made up front unless a test wants it not.
  explicit Fixture(bool ensure = true) {
    std::ofstream(weights.path, std::ios::binary) << "hello";
    std::ofstream(empty.path, std::ios::binary).close();
    if (ensure) {
      char *msg = nullptr;
      EXPECT_EQ(vornel0_registry_ensure(db.handle(), &msg), SQLITE_OK);
      sqlite3_free(msg);
    }
  }
  // Runs a statement outside the harness's memory balance; returns its error text or "".
  std::string raw(const std::string &sql) {
    char *err = nullptr;
    sqlite3_exec(db.handle(), sql.c_str(), nullptr, nullptr, &err);
    std::string out = err ? err : "";
    sqlite3_free(err);
    return out;
  }
  std::string cfg(const std::string &extra) { return "'{\"weights_uri\":\"" + weights.path + "\"" + extra + "}'"; }
  std::string count() { return db.one("SELECT count(*) FROM _vornel_models"); }
};

const char HELLO[] = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
const char EMPTY[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

} // namespace

TEST(Register, EmptyDatabaseGetsBuiltInsAndTheNewRow) {
  Fixture f(false);
  EXPECT_EQ(f.raw("SELECT vornel_register('m1', " + f.cfg(",\"io_spec\":\"x\"") + ")"), "");
  EXPECT_EQ(f.db.run("SELECT model_id FROM _vornel_models ORDER BY rowid").text(),
            "theta-classic\nstub-seasonal-naive\nsub-pca\ntsb\nauto\nknn5-incontext\nm1");
}

TEST(Register, JsonConfigWithDefaults) {
  Fixture f;
  EXPECT_EQ(f.db.one("SELECT vornel_register('m1', " +
                     f.cfg(",\"io_spec\":{\"in\":[1,2]},\"target\":\"y\",\"other\":5") + ")"),
            HELLO);
  EXPECT_EQ(f.db.run("SELECT kind, runtime, weights IS NULL, weights_uri = '" + f.weights.path +
                     "', io_spec, content_hash, license FROM _vornel_models WHERE model_id='m1'")
                .text(),
            std::string("student|onnx|1|1|{\"in\":[1,2]}|") + HELLO + "|unspecified");
  EXPECT_EQ(f.count(), "7");
  // Same file under another id: same digest; explicit fields are stored as given.
  EXPECT_EQ(f.db.one("SELECT vornel_register('m2', " +
                     f.cfg(",\"io_spec\":\"x\",\"runtime\":\"ggml\",\"kind\":\"tabular-fm\",\"license\":\"MIT\"") +
                     ")"),
            HELLO);
  EXPECT_EQ(f.db.run("SELECT kind, runtime, license FROM _vornel_models WHERE model_id='m2'").text(),
            "tabular-fm|ggml|MIT");
  // JSON null counts as absent.
  EXPECT_EQ(
      f.db.one("SELECT vornel_register('m3', " + f.cfg(",\"io_spec\":\"x\",\"runtime\":null,\"kind\":null") + ")"),
      HELLO);
  EXPECT_EQ(f.db.run("SELECT kind, runtime FROM _vornel_models WHERE model_id='m3'").text(), "student|onnx");
  // An empty file is fine.
  EXPECT_EQ(f.db.one("SELECT vornel_register('m4', '{\"runtime\":\"tree\",\"weights_uri\":\"" + f.empty.path +
                     "\",\"io_spec\":\"x\"}')"),
            EMPTY);
}

TEST(Register, ArgumentChecks) {
  Fixture f(false);
  const std::string both = "VORNEL_ERR_OPTIONS: vornel_register(model_id, config_json) requires both";
  EXPECT_EQ(f.db.error("SELECT vornel_register(NULL, '/x')"), both);
  EXPECT_EQ(f.db.error("SELECT vornel_register('', '/x')"), both);
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', NULL)"), both);
  // These fail before the registry is made.
  EXPECT_EQ(f.db.one("SELECT count(*) FROM sqlite_schema WHERE name='_vornel_models'"), "0");
  // An empty config is a bare (empty) path; the registry now exists with the built-ins alone.
  EXPECT_EQ(f.raw("SELECT vornel_register('m', '')"), "VORNEL_ERR_RESOURCE: cannot open weights file: ");
  EXPECT_EQ(f.count(), "6");
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '')"), "VORNEL_ERR_RESOURCE: cannot open weights file: ");
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', ' {\"weights_uri\": 1')"),
            "VORNEL_ERR_OPTIONS: config is not valid JSON");
}

TEST(Register, BarePaths) {
  Fixture f;
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '" + f.weights.path + "')"),
            "VORNEL_ERR_IO_SPEC: io_spec is required in this build; the onnx build (loadable-onnx) derives it from the "
            "model");
  // Leading blanks stay part of the path.
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '  " + f.weights.path + "')"),
            "VORNEL_ERR_RESOURCE: cannot open weights file:   " + f.weights.path);
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '[1,2]')"), "VORNEL_ERR_RESOURCE: cannot open weights file: [1,2]");
  EXPECT_EQ(f.count(), "6");
}

TEST(Register, ChecksInOrder) {
  Fixture f;
  // runtime before weights_uri before the file before io_spec.
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '{\"runtime\":\"remote\"}')"),
            "VORNEL_ERR_OPTIONS: vornel_register handles onnx|ggml|tree runtimes, got 'remote'");
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '{\"runtime\":\"bundled\",\"weights_uri\":\"/x\"}')"),
            "VORNEL_ERR_OPTIONS: vornel_register handles onnx|ggml|tree runtimes, got 'bundled'");
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '{\"runtime\":\"ONNX\"}')"),
            "VORNEL_ERR_OPTIONS: vornel_register handles onnx|ggml|tree runtimes, got 'ONNX'");
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '{\"io_spec\":\"x\"}')"),
            "VORNEL_ERR_OPTIONS: onnx models need a weights_uri");
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '{\"runtime\":\"tree\"}')"),
            "VORNEL_ERR_OPTIONS: tree models need a weights_uri");
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '{\"weights_uri\":\"/no/such/file\"}')"),
            "VORNEL_ERR_RESOURCE: cannot open weights file: /no/such/file");
  std::string dir = std::string(VORNEL_BINARY_DIR) + "/register_dir.d";
  mkdir(dir.c_str(), 0700);
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '{\"weights_uri\":\"" + dir + "\",\"io_spec\":\"x\"}')"),
            "VORNEL_ERR_RESOURCE: weights file is not a regular file: " + dir);
  rmdir(dir.c_str());
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', '{\"weights_uri\":\"/dev/zero\",\"io_spec\":\"x\"}')"),
            "VORNEL_ERR_RESOURCE: weights file is not a regular file: /dev/zero");
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', " + f.cfg("") + ")"),
            "VORNEL_ERR_IO_SPEC: io_spec is required in this build; the onnx build (loadable-onnx) derives it from the "
            "model");
  EXPECT_EQ(f.count(), "6");
}

TEST(Register, InsertRefusals) {
  Fixture f;
  const std::string exists =
      "VORNEL_ERR_MODEL_EXISTS: model 'm' is already registered (or fails the weight-source rule)";
  EXPECT_EQ(f.db.one("SELECT vornel_register('m', " + f.cfg(",\"io_spec\":\"x\"") + ")"), HELLO);
  EXPECT_EQ(f.db.error("SELECT vornel_register('m', " + f.cfg(",\"io_spec\":\"x\"") + ")"), exists);
  EXPECT_EQ(f.db.error("SELECT vornel_register('tsb', " + f.cfg(",\"io_spec\":\"x\"") + ")"),
            "VORNEL_ERR_MODEL_EXISTS: model 'tsb' is already registered (or fails the weight-source rule)");
  // A row the table's CHECK refuses is no clash on the id: the insert fails with the reason.
  EXPECT_EQ(f.db.error("SELECT vornel_register('k', " + f.cfg(",\"io_spec\":\"x\",\"kind\":\"weird\"") + ")"),
            "VORNEL_ERR_RESOURCE: registry insert failed: CHECK constraint failed: kind IN "
            "('ts-fm','ts-stat','tabular-fm','tabular-stat','student')");
  EXPECT_EQ(f.count(), "7");
  // An id with a quote in it goes through bound parameters untouched.
  EXPECT_EQ(f.db.one("SELECT vornel_register('it''s', " + f.cfg(",\"io_spec\":\"x\"") + ")"), HELLO);
  vornel0_model_row row;
  ASSERT_EQ(vornel0_registry_lookup(f.db.handle(), "it's", &row), SQLITE_OK);
  EXPECT_STREQ(row.content_hash, HELLO);
  vornel0_model_row_free(&row);
}

TEST(Register, UsableInsideATransactionAndFromRows) {
  Fixture f;
  f.db.exec("CREATE TABLE todo(id TEXT); INSERT INTO todo VALUES ('a'),('b'),('c')");
  EXPECT_EQ(f.db.run("SELECT id, vornel_register(id, " + f.cfg(",\"io_spec\":\"x\"") + ") = '" + HELLO +
                     "' FROM todo ORDER BY id")
                .text(),
            "a|1\nb|1\nc|1");
  f.db.exec("BEGIN");
  // Pages a transaction takes are not a statement's leak, so this runs outside the balance.
  EXPECT_EQ(f.raw("SELECT vornel_register('t', " + f.cfg(",\"io_spec\":\"x\"") + ")"), "");
  EXPECT_EQ(f.db.one("SELECT content_hash FROM _vornel_models WHERE model_id='t'"), HELLO);
  f.db.exec("ROLLBACK");
  EXPECT_EQ(f.db.one("SELECT count(*) FROM _vornel_models WHERE model_id='t'"), "0");
  EXPECT_EQ(f.count(), "9");
}
