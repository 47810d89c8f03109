// Several connections, one per thread, on one database file, each with the extension loaded,
// running the extension's functions at once. The library keeps no state but the host's routine
// table, so every thread must see exactly the single-threaded answers, and every student
// distilled by any thread must be in the registry afterwards with the hash it returned.
#include "support/harness.h"
#include <thread>

namespace {

constexpr int THREADS = 4;
constexpr int ROUNDS = 6;

// Statements whose answers are compared with a single-threaded reference run.
const char *const QUERIES[] = {
    "SELECT vornel_version()",
    "SELECT vornel_ulid('2024-05-06T07:08:09Z')",
    "SELECT forecast(ts, v, 7) FROM s",
    "SELECT forecast(ts, v, 7, '{\"model\":\"auto\",\"interval_method\":\"conformal\",\"folds\":5}') FROM s",
    "SELECT detect_anomalies(ts, v) FROM s",
    "SELECT detect_anomalies(ts, v, '{\"model\":\"sub-pca\"}') FROM s",
    "SELECT * FROM backtest('SELECT ts, v FROM s', 7, '{\"folds\":4}')",
    "SELECT * FROM vornel('SELECT a, b, y FROM c', 'SELECT id AS row_ref, a, b FROM c WHERE id % 9 = 0', "
    "'{\"target\":\"y\"}')",
};

sqlite3 *open_loaded(const std::string &path) {
  sqlite3 *db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(db, 10000);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
  if (sqlite3_load_extension(db, VORNEL_SO_PATH, "sqlite3_vornel_init", nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

std::string answer(sqlite3 *db, const char *sql) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) return std::string("prepare: ") + sqlite3_errmsg(db);
  std::string out;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    for (int c = 0; c < sqlite3_column_count(st); c++)
      out += vt::render(st, c) + "|";
    out += "\n";
  }
  if (rc != SQLITE_DONE) out += std::string("error: ") + sqlite3_errmsg(db);
  sqlite3_finalize(st);
  return out;
}

} // namespace

TEST(Concurrency, ThreadsOnOneFileAgreeWithASingleThread) {
  vt::TempFile file("concurrency.db");
  {
    vt::Db setup(file.path);
    setup.exec("PRAGMA journal_mode=WAL;"
               "CREATE TABLE s(ts TEXT, v REAL);"
               "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<199) "
               "INSERT INTO s SELECT date('2024-01-01','+'||i||' days'), 10+i%7+0.1*i FROM n;"
               "CREATE TABLE c(id INTEGER PRIMARY KEY, a REAL, b REAL, y TEXT);"
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<120) "
               "INSERT INTO c SELECT i, (i*37)%50, (i*11)%7, CASE WHEN (i*37)%50 > 25 THEN 'hi' ELSE 'lo' END FROM n;"
               "SELECT vornel_register('warm', '{\"weights_uri\":\"" VORNEL_SOURCE_DIR
               "/tests/registry/data/example-weights.bin\",\"io_spec\":\"x\"}');");
  }
  std::vector<std::string> expected;
  {
    sqlite3 *db = open_loaded(file.path);
    ASSERT_NE(db, nullptr);
    for (const char *q : QUERIES)
      expected.push_back(answer(db, q));
    sqlite3_close(db);
  }
  std::vector<std::string> failures(THREADS);
  std::vector<std::vector<std::string>> hashes(THREADS);
  std::vector<std::thread> pool;
  for (int t = 0; t < THREADS; t++) {
    pool.emplace_back([&, t] {
      sqlite3 *db = open_loaded(file.path);
      if (!db) {
        failures[t] = "cannot open";
        return;
      }
      for (int r = 0; r < ROUNDS && failures[t].empty(); r++) {
        for (size_t q = 0; q < expected.size(); q++) {
          std::string got = answer(db, QUERIES[(q + t) % expected.size()]);
          if (got != expected[(q + t) % expected.size()]) failures[t] = got;
        }
        // Each thread also distils a student of its own; its returned hash must be what the
        // registry holds afterwards. A distillation writes from inside a reading statement, so
        // another connection's commit can refuse its write (the database is locked): that must
        // be reported as a resource error, never as success.
        std::string id = "s" + std::to_string(t) + "_" + std::to_string(r);
        std::string got = answer(db, ("SELECT model_id, content_hash FROM distill_vornel('SELECT a, b, y FROM c', "
                                      "'{\"target\":\"y\",\"student_id\":\"" +
                                      id + "\",\"student_kind\":\"" + (r % 2 ? "gbt" : "tree") + "\"}')")
                                         .c_str());
        if (got.rfind(id + "|", 0) == 0)
          hashes[t].push_back(got);
        else if (got.rfind("error: VORNEL_ERR_RESOURCE: ", 0) != 0)
          failures[t] = "distill: " + got;
      }
      sqlite3_close(db);
    });
  }
  for (auto &th : pool)
    th.join();
  for (int t = 0; t < THREADS; t++)
    EXPECT_EQ(failures[t], "") << "thread " << t;
  // Nothing lost: every student is stored with the hash its call returned, and students of the
  // same kind trained on the same rows are identical whichever thread trained them.
  sqlite3 *db = open_loaded(file.path);
  ASSERT_NE(db, nullptr);
  for (int t = 0; t < THREADS; t++)
    for (const std::string &row : hashes[t]) {
      std::string id = row.substr(0, row.find('|'));
      EXPECT_EQ(answer(db, ("SELECT model_id, content_hash FROM _vornel_models WHERE model_id = '" + id + "'").c_str()),
                row);
    }
  size_t stored = 0;
  for (auto &h : hashes)
    stored += h.size();
  EXPECT_GT(stored, 0u);
  printf("%zu of %d concurrent distillations stored; the others were refused by the lock\n", stored, THREADS * ROUNDS);
  EXPECT_EQ(answer(db, "SELECT count(*) FROM _vornel_models WHERE weights IS NOT NULL"),
            std::to_string(stored) + "|\n");
  EXPECT_EQ(answer(db, "SELECT count(DISTINCT content_hash) <= 2 FROM _vornel_models WHERE weights IS NOT NULL"),
            "1|\n");
  sqlite3_close(db);
}
