// sqlite3_interrupt() from another thread stops every long job of the extension: training
// epochs, boosting rounds, the in-context search, a student's apply rows, automatic selection
// and back-test folds.
// Each job here would run for seconds; the other thread starts interrupting once the job's
// reading is surely over, and the statement must then end within a short bound with
// SQLITE_INTERRUPT, holding no memory and storing nothing.
#include "support/harness.h"
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// Interrupts the connection every millisecond from `delay_ms` on, until destroyed. An interrupt
// that arrives while no statement runs is forgotten by the host, hence the repetition.
class Interrupter {
public:
  Interrupter(sqlite3 *db, double delay_ms)
      : thread_([this, db, delay_ms] {
          const Clock::time_point start = Clock::now();
          while (!done_.load()) {
            if (ms_since(start) >= delay_ms) sqlite3_interrupt(db);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        }) {}
  ~Interrupter() {
    done_.store(true);
    thread_.join();
  }

private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

struct Outcome {
  int rc;
  std::string message;
  double late_ms;       // how long the statement ran after the interrupts began
  int64_t memory_delta; // sqlite3_memory_used() after minus before
};

// Runs one statement under an Interrupter; the interrupts stop before the memory is measured.
Outcome run_interrupted(vt::Db &db, const std::string &sql, double delay_ms) {
  vt::Result warm = db.run("SELECT 1 FROM sqlite_schema LIMIT 0");
  (void)warm;
  const int64_t before = sqlite3_memory_used();
  sqlite3_stmt *st = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db.handle());
  Outcome out{};
  const Clock::time_point start = Clock::now();
  {
    Interrupter interrupter(db.handle(), delay_ms);
    while ((out.rc = sqlite3_step(st)) == SQLITE_ROW) {
    }
    out.late_ms = ms_since(start) - delay_ms;
  }
  out.message = sqlite3_errmsg(db.handle());
  sqlite3_finalize(st);
  // The first statement after an interrupt finds the connection's caches as they were.
  sqlite3_stmt *settle = nullptr;
  sqlite3_prepare_v2(db.handle(), "SELECT 1 FROM sqlite_schema LIMIT 0", -1, &settle, nullptr);
  sqlite3_finalize(settle);
  out.memory_delta = sqlite3_memory_used() - before;
  return out;
}

// Wall time of a statement run to its end, in milliseconds.
double timed(vt::Db &db, const std::string &sql) {
  const Clock::time_point start = Clock::now();
  vt::Result r = db.run(sql);
  EXPECT_TRUE(r.ok) << sql << ": " << r.error;
  return ms_since(start);
}

// The statement, interrupted from delay_ms on, stops soon with SQLITE_INTERRUPT and no memory.
void expect_stops_after(vt::Db &db, const std::string &sql, double delay) {
  Outcome o = run_interrupted(db, sql, delay);
  EXPECT_EQ(o.rc, SQLITE_INTERRUPT) << sql << ": " << o.message;
  EXPECT_EQ(o.message, "interrupted") << sql;
  EXPECT_LT(o.late_ms, 3000.0) << sql;
  EXPECT_EQ(o.memory_delta, 0) << sql;
}

// Starts interrupting well after the statement's reading part (timed by `reading`) is over.
void expect_stops(vt::Db &db, const std::string &sql, const std::string &reading) {
  expect_stops_after(db, sql, 4 * timed(db, reading) + 50);
}

// Table big(f0..f7 REAL, y TEXT) of n rows in three classes, and series(ts, v) of m points.
void make_tables(vt::Db &db, int n, int m) {
  db.exec("CREATE TABLE big(f0 REAL, f1 REAL, f2 REAL, f3 REAL, f4 REAL, f5 REAL, f6 REAL, f7 REAL, y TEXT)");
  db.exec("WITH RECURSIVE r(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM r WHERE i < " + std::to_string(n - 1) +
          ") INSERT INTO big SELECT sin(i), cos(i * 0.7), (i * 37) % 101, (i * 13) % 17, sin(i * 0.3), "
          "(i % 7) * 0.5, cos(i * 1.3), i % 5, 'c' || ((i * 7 + (i % 13)) % 3) FROM r");
  db.exec("CREATE TABLE series(ts INTEGER, v REAL)");
  db.exec("WITH RECURSIVE r(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM r WHERE i < " + std::to_string(m - 1) +
          ") INSERT INTO series SELECT 1700000000 + i * 3600, 100 + 10 * sin(i * 0.26) + (i * 7919) % 13 FROM r");
  // Modules the host keeps connected for the connection's life, connected once up front.
  for (const char *t : {"distill_vornel", "distill_forecast", "backtest", "vornel"})
    db.exec(std::string("SELECT count(*) FROM pragma_table_xinfo('") + t + "')");
  db.exec("SELECT count(*) FROM json_each('[1]')");
  db.exec("SELECT * FROM distill_vornel('SELECT f0, y FROM big LIMIT 40', "
          "'{\"target\":\"y\",\"student_id\":\"warm\"}')");
}

const char FEATURES[] = "f0, f1, f2, f3, f4, f5, f6, f7";

TEST(Interrupt, StopsTrainingAndStoresNothing) {
  vt::Db db;
  make_tables(db, 20000, 8);
  const std::string query = std::string("SELECT ") + FEATURES + ", y FROM big";
  const std::string reading =
      "SELECT count(*) FROM (SELECT (row_number() OVER ()) AS _rid, * FROM (" + query + ") ORDER BY _rid)";
  for (const char *kind : {"mlp", "gbt"})
    expect_stops(db,
                 "SELECT * FROM distill_vornel('" + query +
                     "', '{\"target\":\"y\",\"student_id\":\"s\",\"student_kind\":\"" + kind + "\"}')",
                 reading);
  // A forecast student of 100,000 epochs over a few windows.
  expect_stops(db,
               "SELECT * FROM distill_forecast('SELECT f0, f1, f2, f3, f4, f5 FROM big LIMIT 64', "
               "'{\"context\":4,\"horizon\":2,\"student_id\":\"s\",\"epochs\":100000}')",
               "SELECT count(*) FROM big LIMIT 64");
  EXPECT_EQ(db.one("SELECT count(*) FROM _vornel_models WHERE model_id = 's'"), "0");
}

TEST(Interrupt, StopsTheInContextSearch) {
  vt::Db db;
  make_tables(db, 60000, 8);
  const std::string train = std::string("SELECT ") + FEATURES + ", y FROM big";
  auto call = [&](const char *apply_limit) {
    return "SELECT count(*) FROM vornel('" + train + "', 'SELECT rowid, " + FEATURES + " FROM big LIMIT " +
           apply_limit + "', '{\"target\":\"y\"}')";
  };
  expect_stops(db, call("60000"), call("1"));
}

// A stored student scoring a long apply query stops between rows.
TEST(Interrupt, StopsAStudentOverManyApplyRows) {
  vt::Db db;
  make_tables(db, 8, 8);
  auto call = [](const char *last) {
    return std::string("SELECT count(*) FROM vornel(NULL, 'WITH RECURSIVE r(i) AS (SELECT 0 UNION ALL SELECT i + 1 "
                       "FROM r WHERE i < ") +
           last + ") SELECT i, sin(i) AS f0 FROM r', '{\"model\":\"warm\"}')";
  };
  expect_stops(db, call("2000000"), call("1"));
}

TEST(Interrupt, StopsSelectionAndBacktestFolds) {
  vt::Db db;
  make_tables(db, 8, 60000);
  const std::string long_opts = "{\"context_limit\":100000,\"folds\":512}";
  expect_stops(db, "SELECT forecast(ts, v, 24, '" + long_opts + "') FROM series",
               "SELECT forecast(ts, v, 24, '{\"context_limit\":100000,\"folds\":1}') FROM series");
  const std::string one_fold = "SELECT count(*) FROM backtest('SELECT ts, v FROM series', 24, "
                               "'{\"context_limit\":100000,\"folds\":1,\"model\":\"auto\"}')";
  expect_stops(db, "SELECT count(*) FROM backtest('SELECT ts, v FROM series', 24, '" + long_opts + "')", one_fold);
  expect_stops(db,
               "SELECT count(*) FROM backtest('SELECT ts, v FROM series', 24, '{\"context_limit\":100000,"
               "\"folds\":512,\"model\":\"auto\"}')",
               one_fold);
}

TEST(Interrupt, StopsAutoExtendedInAGroupBy) {
  vt::Db db;
  make_tables(db, 8, 60000);
  // Two series of 30,000 hourly points; each one's fits and 512 folds take seconds.
  const std::string groups = "(SELECT ts < 1700000000 + 30000 * 3600 AS g, ts, v FROM series)";
  auto call = [&](const char *model, int folds) {
    return std::string("SELECT g, forecast(ts, v, 24, '{\"model\":\"") + model +
           "\",\"context_limit\":100000,\"folds\":" + std::to_string(folds) + "}') FROM " + groups + " GROUP BY g";
  };
  // Interrupted during the first series' fits, then in its folds once the fits are surely over.
  expect_stops(db, call("auto-extended", 512), call("theta-classic", 1));
  const double fits = timed(db, call("auto-extended", 1) + " LIMIT 1");
  expect_stops_after(db, call("auto-extended", 512), 2 * fits + 50);
}

// backtest refits auto-extended at every cut-off; an interrupt inside one refit ends the call.
TEST(Interrupt, StopsBacktestOfAutoExtended) {
  vt::Db db;
  make_tables(db, 8, 60000);
  expect_stops(db,
               "SELECT count(*) FROM backtest('SELECT ts, v FROM series', 24, '{\"context_limit\":100000,"
               "\"folds\":512,\"model\":\"auto-extended\"}')",
               "SELECT count(*) FROM backtest('SELECT ts, v FROM series', 24, '{\"context_limit\":100000,"
               "\"folds\":1}')");
}

// Sub-PCA's covariance and eigen-decomposition over a long series (about 7 s uninterrupted).
TEST(Interrupt, StopsAnomalyScoring) {
  vt::Db db;
  db.exec("CREATE TABLE s(ts INTEGER, v REAL)");
  db.exec("WITH RECURSIVE r(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM r WHERE i < 599999) INSERT INTO s "
          "SELECT 1700000000 + i * 3600, 100 + 10 * sin(i * 0.021) + (i * 7919) % 13 + (i * i) % 31 FROM r");
  expect_stops(db, "SELECT length(detect_anomalies(ts, v, '{\"model\":\"sub-pca\"}')) FROM s",
               "SELECT length(detect_anomalies(ts, v, '{\"model\":\"sub-pca\",\"context_limit\":16}')) FROM s");
}

} // namespace
