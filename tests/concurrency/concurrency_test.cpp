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
    for (int c = 0; c < sqlite3_column_count(st); c++) out += vt::render(st, c) + "|";
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
               "INSERT INTO s SELECT date('2024-01-01','+'||i||' days'), 10+i%7+0.1*i FROM n;");
  }
  std::vector<std::string> expected;
  {
    sqlite3 *db = open_loaded(file.path);
    ASSERT_NE(db, nullptr);
    for (const char *q : QUERIES) expected.push_back(answer(db, q));
    sqlite3_close(db);
  }
  std::vector<std::string> failures(THREADS);
  std::vector<std::thread> pool;
  for (int t = 0; t < THREADS; t++) {
    pool.emplace_back([&, t] {
      sqlite3 *db = open_loaded(file.path);
      if (!db) {
        failures[t] = "cannot open";
        return;
      }
      for (int r = 0; r < ROUNDS && failures[t].empty(); r++)
        for (size_t q = 0; q < expected.size(); q++) {
          std::string got = answer(db, QUERIES[(q + t) % expected.size()]);
          if (got != expected[(q + t) % expected.size()]) failures[t] = got;
        }
      sqlite3_close(db);
    });
  }
  for (auto &th : pool) th.join();
  for (int t = 0; t < THREADS; t++) EXPECT_EQ(failures[t], "") << "thread " << t;
}
