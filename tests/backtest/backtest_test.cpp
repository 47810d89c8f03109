// backtest(query, horizon[, options]) through SQL on the real host: argument and query checks
// with their exact messages, column binding and inference, grouping, series statuses, the fold
// layout, and the metrics against an independent replay built on the forecasting routines'
// own fold construction.
#include "support/harness.h"
#include "ts/ts.h"
#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace {

struct FoldRow {
  std::string key, cutoff, model, status;
  bool has_metrics = false, has_interval = false;
  int fold = -1, n = 0;
  double mae = 0, rmse = 0, mase = 0, smape = 0, coverage = 0, width = 0;
};

// Reads every row of a backtest query with full double precision.
std::vector<FoldRow> fold_rows(vt::Db &db, const std::string &sql) {
  std::vector<FoldRow> out;
  sqlite3_stmt *st = nullptr;
  int rc = sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st, nullptr);
  EXPECT_EQ(rc, SQLITE_OK) << sqlite3_errmsg(db.handle());
  if (rc != SQLITE_OK) return out;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    FoldRow r;
    r.key = std::string((const char *)sqlite3_column_text(st, 0), sqlite3_column_bytes(st, 0));
    r.has_metrics = sqlite3_column_type(st, 1) != SQLITE_NULL;
    if (r.has_metrics) {
      r.fold = sqlite3_column_int(st, 1);
      r.cutoff = (const char *)sqlite3_column_text(st, 2);
      r.model = (const char *)sqlite3_column_text(st, 3);
      r.n = sqlite3_column_int(st, 4);
      r.mae = sqlite3_column_double(st, 5);
      r.rmse = sqlite3_column_double(st, 6);
      r.mase = sqlite3_column_double(st, 7);
      r.smape = sqlite3_column_double(st, 8);
    }
    r.has_interval = sqlite3_column_type(st, 9) != SQLITE_NULL;
    if (r.has_interval) {
      r.coverage = sqlite3_column_double(st, 9);
      r.width = sqlite3_column_double(st, 10);
    }
    r.status = (const char *)sqlite3_column_text(st, 11);
    out.push_back(r);
  }
  EXPECT_EQ(rc, SQLITE_DONE) << sqlite3_errmsg(db.handle());
  sqlite3_finalize(st);
  return out;
}

// Fills table s(g TEXT, t INTEGER, v REAL) with one series: times in days (seconds).
void insert_series(vt::Db &db, const std::string &group, const std::vector<double> &v, int64_t t0 = 1700006400) {
  sqlite3_stmt *st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db.handle(), "INSERT INTO s VALUES(?1, ?2, ?3)", -1, &st, nullptr), SQLITE_OK);
  for (size_t i = 0; i < v.size(); i++) {
    sqlite3_bind_text(st, 1, group.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(st, 2, t0 + (int64_t)i * 86400);
    sqlite3_bind_double(st, 3, v[i]);
    ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
}

std::vector<double> seasonal(int n, int period, double noise_seed) {
  std::vector<double> v(n);
  for (int i = 0; i < n; i++)
    v[i] = 50 + 0.3 * i + 8 * std::sin(2 * M_PI * i / period) + 3 * std::sin(noise_seed * i * i + 1.3 * i);
  return v;
}

std::vector<double> intermittent(int n) {
  std::vector<double> v(n);
  for (int i = 0; i < n; i++)
    v[i] = (i * 7 % 5 == 0) ? 3 + (i % 3) : 0;
  return v;
}

std::string day_text(int64_t seconds) {
  char buf[32];
  vornel0_format_timestamp(seconds * 1000, buf, sizeof buf);
  return buf;
}

// The expected rows of one series, replayed with the forecasting subsystem's fold
// construction (ts_backtest) and the model contract routines, the metrics written out here.
std::vector<FoldRow> replay(const std::vector<double> &y, int model, int h, int g, int F, double level, bool conformal,
                            int64_t t0 = 1700006400) {
  std::vector<FoldRow> out;
  const int n = (int)y.size();
  const int usable = n - h - g;
  if (usable <= 7) return out;
  const int k = std::min(F, usable - 7);
  std::vector<double> act(k * h), fc(k * h), sd(k * h);
  EXPECT_EQ(ts_backtest(TS_MODELS[model].fn, y.data(), n, h, g, F, act.data(), fc.data()), k);
  for (int i = 0; i < k; i++) {
    int o = usable - k + 1 + i;
    std::vector<double> f(h + g), s(h + g);
    TS_MODELS[model].fn(y.data(), o, h + g, f.data(), s.data());
    for (int j = 0; j < h; j++) {
      EXPECT_EQ(f[g + j], fc[i * h + j]); // the deviations do not change the forecasts
      sd[i * h + j] = s[g + j];
    }
  }
  double scale = 0;
  for (int i = 1; i < n; i++)
    scale += std::fabs(y[i] - y[i - 1]);
  scale /= (n - 1);
  const double z = vornel0_norm_quantile(0.5 + level / 2);
  for (int i = 0; i < k; i++) {
    FoldRow r;
    r.fold = i;
    r.n = h;
    r.model = TS_MODELS[model].name;
    r.status = "ok";
    r.cutoff = day_text(t0 + (int64_t)(usable - k + i) * 86400);
    double abs_sum = 0, sq = 0, sm = 0, inside = 0, width = 0;
    for (int j = 0; j < h; j++) {
      double a = act[i * h + j], p = fc[i * h + j];
      abs_sum += std::fabs(a - p);
      sq += (a - p) * (a - p);
      if (std::fabs(p) + std::fabs(a) > 0) sm += 2 * std::fabs(a - p) / (std::fabs(p) + std::fabs(a));
      double half;
      if (conformal && i < 3) {
        half = 0; // no band: fewer than three earlier folds
      } else if (conformal) {
        std::vector<double> earlier;
        for (int o = 0; o < i; o++)
          earlier.push_back(std::fabs(act[o * h + j] - fc[o * h + j]));
        std::sort(earlier.begin(), earlier.end());
        int q = std::max(1, std::min((int)std::ceil((i + 1) * level), i));
        half = earlier[q - 1];
      } else {
        half = z * sd[i * h + j];
      }
      double lo = p - half, hi = p + half;
      if (lo <= a && a <= hi) inside++;
      width += hi - lo;
    }
    r.has_metrics = true;
    r.mae = abs_sum / h;
    r.rmse = std::sqrt(sq / h);
    r.mase = scale > 0 ? r.mae / scale : 0;
    r.smape = sm / h;
    r.has_interval = !conformal || i >= 3;
    if (r.has_interval) {
      r.coverage = inside / h;
      r.width = width / h;
    }
    out.push_back(r);
  }
  return out;
}

void expect_same(const std::vector<FoldRow> &got, const std::vector<FoldRow> &want, const std::string &key = "") {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); i++) {
    SCOPED_TRACE("fold " + std::to_string(i));
    EXPECT_EQ(got[i].key, key);
    EXPECT_EQ(got[i].fold, want[i].fold);
    EXPECT_EQ(got[i].cutoff, want[i].cutoff);
    EXPECT_EQ(got[i].model, want[i].model);
    EXPECT_EQ(got[i].n, want[i].n);
    EXPECT_EQ(got[i].status, want[i].status);
    // The replay sums in the same order, so the numbers agree to the last bit.
    EXPECT_EQ(got[i].mae, want[i].mae);
    EXPECT_EQ(got[i].rmse, want[i].rmse);
    EXPECT_EQ(got[i].mase, want[i].mase);
    EXPECT_EQ(got[i].smape, want[i].smape);
    EXPECT_EQ(got[i].has_interval, want[i].has_interval);
    EXPECT_EQ(got[i].coverage, want[i].coverage);
    EXPECT_EQ(got[i].width, want[i].width);
  }
}

const char *const MODEL_NAMES[] = {"stub-seasonal-naive", "theta-classic", "tsb"};

} // namespace

class Backtest : public ::testing::Test {
protected:
  vt::Db db;
  // The options parser walks documents with json_each, whose table the host connects once per
  // connection and keeps; connect it before any statement is measured.
  void SetUp() override { db.exec("SELECT * FROM json_each('{}')"); }
};

TEST_F(Backtest, ArgumentsAsConstraintsAndJoins) {
  db.exec("CREATE TABLE s(g TEXT, t INTEGER, v REAL)");
  insert_series(db, "a", seasonal(30, 7, 0.1));
  EXPECT_EQ(db.one("SELECT count(*) FROM backtest WHERE query = 'SELECT t, v FROM s' AND horizon = 5"), "18");
  EXPECT_EQ(db.one("SELECT count(*) FROM (SELECT 5 AS h UNION ALL SELECT 20) AS x, "
                   "backtest('SELECT t, v FROM s', x.h)"),
            "21"); // 18 folds for horizon 5, 3 for horizon 20
  EXPECT_EQ(db.one("SELECT count(*) FROM backtest('SELECT t, v FROM s;; ; \n\t', 5, NULL)"), "18");
  EXPECT_EQ(db.one("SELECT count(*) FROM backtest('SELECT t, v FROM s', 5, '{}')"), "18");
  EXPECT_EQ(db.run("SELECT query, horizon, options FROM backtest('SELECT t, v FROM s', 5) LIMIT 1").text(),
            "NULL|NULL|NULL");
  EXPECT_EQ(db.run("SELECT rowid, fold FROM backtest('SELECT t, v FROM s', 5) WHERE fold IN (0, 17)").text(),
            "0|0\n17|17");
}

TEST_F(Backtest, FoldLayout) {
  db.exec("CREATE TABLE s(g TEXT, t INTEGER, v REAL)");
  std::vector<double> v = seasonal(30, 7, 0.2);
  insert_series(db, "a", v);
  // 30 points, horizon 5: usable 25, 18 folds training on 8..25 points; the cut-off is the
  // last training point.
  auto rows = fold_rows(db, "SELECT * FROM backtest('SELECT t, v FROM s', 5)");
  ASSERT_EQ(rows.size(), 18u);
  for (int j = 0; j < 18; j++) {
    EXPECT_EQ(rows[j].fold, j);
    EXPECT_EQ(rows[j].cutoff, day_text(1700006400 + (int64_t)(8 + j - 1) * 86400));
    EXPECT_EQ(rows[j].n, 5);
  }
  rows = fold_rows(db, "SELECT * FROM backtest('SELECT t, v FROM s', 5, '{\"folds\":3}')");
  ASSERT_EQ(rows.size(), 3u);
  for (int j = 0; j < 3; j++)
    EXPECT_EQ(rows[j].cutoff, day_text(1700006400 + (int64_t)(23 + j - 1) * 86400));
  // With a gap of 2 the windows start two points after the cut-off: usable 23, 16 folds.
  rows = fold_rows(db, "SELECT * FROM backtest('SELECT t, v FROM s', 5, '{\"gap\":2}')");
  ASSERT_EQ(rows.size(), 16u);
  EXPECT_EQ(rows.back().cutoff, day_text(1700006400 + 22 * 86400));
}

TEST_F(Backtest, MetricsAgreeWithForecastFolds) {
  db.exec("CREATE TABLE s(g TEXT, t INTEGER, v REAL)");
  std::vector<double> v = seasonal(60, 7, 0.37);
  insert_series(db, "a", v);
  struct Setting {
    int h, g, F;
    double level;
    bool conformal;
  } settings[] = {{5, 0, 20, 0.95, false}, {4, 2, 11, 0.8, false},  {3, 0, 20, 0.95, true},
                  {6, 1, 7, 0.7, true},    {1, 0, 512, 0.9, false}, {5, 0, 3, 0.5, true}};
  for (const Setting &s : settings) {
    for (int m = 0; m < 3; m++) {
      char opts[200];
      snprintf(opts, sizeof opts,
               "{\"model\":\"%s\",\"gap\":%d,\"folds\":%d,\"confidence_level\":%.17g,\"interval_method\":\"%s\"}",
               MODEL_NAMES[m], s.g, s.F, s.level, s.conformal ? "conformal" : "residual");
      SCOPED_TRACE(opts);
      auto got =
          fold_rows(db, "SELECT * FROM backtest('SELECT t, v FROM s', " + std::to_string(s.h) + ", '" + opts + "')");
      expect_same(got, replay(v, m, s.h, s.g, s.F, s.level, s.conformal));
    }
  }
}

TEST_F(Backtest, AutoChoosesPerSeriesAsTheSelector) {
  db.exec("CREATE TABLE s(g TEXT, t INTEGER, v REAL)");
  std::vector<std::vector<double>> series = {seasonal(80, 7, 0.11), intermittent(70), seasonal(50, 12, 0.7)};
  std::vector<double> line(40);
  for (int i = 0; i < 40; i++)
    line[i] = 3 + 2 * i;
  series.push_back(line);
  const char *groups[] = {"seasonal", "intermittent", "yearly", "line"};
  for (size_t i = 0; i < series.size(); i++)
    insert_series(db, groups[i], series[i]);
  struct Setting {
    int h, g, F;
  } settings[] = {{6, 0, 20}, {3, 2, 7}, {1, 0, 40}};
  std::vector<std::string> chosen;
  for (const Setting &st : settings) {
    char sql[300];
    snprintf(sql, sizeof sql,
             "SELECT * FROM backtest('SELECT g, t, v FROM s', %d, "
             "'{\"model\":\"auto\",\"group_cols\":\"g\",\"gap\":%d,\"folds\":%d}')",
             st.h, st.g, st.F);
    SCOPED_TRACE(sql);
    auto got = fold_rows(db, sql);
    size_t at = 0;
    for (size_t i = 0; i < series.size(); i++) {
      const auto &y = series[i];
      double scale = ts_mase_scale(y.data(), (int)y.size());
      std::vector<double> a(st.F * st.h), f(st.F * st.h);
      int m = ts_auto_select(y.data(), (int)y.size(), st.h, st.g, st.F, scale, a.data(), f.data());
      ASSERT_GE(m, 0);
      chosen.push_back(MODEL_NAMES[m]);
      auto want = replay(y, m, st.h, st.g, st.F, 0.95, false);
      std::vector<FoldRow> part(got.begin() + std::min(at, got.size()),
                                got.begin() + std::min(at + want.size(), got.size()));
      at += want.size();
      SCOPED_TRACE(groups[i]);
      expect_same(part, want, groups[i]);
    }
    EXPECT_EQ(at, got.size());
  }
  // The selection is really per series.
  EXPECT_GE(std::set<std::string>(chosen.begin(), chosen.end()).size(), 2u);
}

TEST_F(Backtest, SeriesStatuses) {
  db.exec("CREATE TABLE s(g TEXT, t, v)");
  insert_series(db, "good", seasonal(20, 5, 0.3));
  insert_series(db, "null_value", seasonal(20, 5, 0.3));
  db.exec("UPDATE s SET v = NULL WHERE g = 'null_value' AND t = 1700006400 + 86400 * 4");
  insert_series(db, "real_time", seasonal(20, 5, 0.3));
  db.exec("UPDATE s SET t = t + 0.5 WHERE g = 'real_time' AND t = 1700006400 + 86400 * 19");
  insert_series(db, "bad_text_time", seasonal(20, 5, 0.3));
  db.exec("UPDATE s SET t = '2024-02-30' WHERE g = 'bad_text_time' AND t = 1700006400");
  insert_series(db, "huge_time", seasonal(20, 5, 0.3));
  db.exec("UPDATE s SET t = 253402300800000 WHERE g = 'huge_time' AND t = 1700006400");
  insert_series(db, "seven", seasonal(7, 5, 0.3));
  insert_series(db, "twelve", seasonal(12, 5, 0.3));
  insert_series(db, "thirteen", seasonal(13, 5, 0.3));
  auto res = db.run("SELECT series_key, count(*), min(fold), max(fold), min(model), min(status), max(status), "
                    "count(mae), count(coverage) FROM backtest('SELECT g, t, v FROM s ORDER BY rowid', 5, "
                    "'{\"group_cols\":\"g\"}') GROUP BY series_key ORDER BY min(rowid)");
  EXPECT_EQ(res.text(), "good|8|0|7|theta-classic|ok|ok|8|8\n"
                        "null_value|1|NULL|NULL|NULL|non_numeric|non_numeric|0|0\n"
                        "real_time|1|NULL|NULL|NULL|non_numeric|non_numeric|0|0\n"
                        "bad_text_time|1|NULL|NULL|NULL|non_numeric|non_numeric|0|0\n"
                        "huge_time|1|NULL|NULL|NULL|non_numeric|non_numeric|0|0\n"
                        "seven|1|NULL|NULL|NULL|insufficient_history|insufficient_history|0|0\n"
                        "twelve|1|NULL|NULL|NULL|insufficient_history|insufficient_history|0|0\n"
                        "thirteen|1|0|0|theta-classic|ok|ok|1|1");
  // The bad groups leave the good one exactly as it is alone.
  EXPECT_EQ(db.run("SELECT mae FROM backtest('SELECT g, t, v FROM s', 5, '{\"group_cols\":\"g\"}') "
                   "WHERE series_key = 'good' EXCEPT SELECT mae FROM backtest('SELECT t, v FROM s WHERE g = "
                   "''good''', 5)")
                .text(),
            "");
  EXPECT_EQ(db.run("SELECT * FROM backtest('SELECT t, v FROM s WHERE 0', 5)").text(), "");
  // A conformal band comes from three or more earlier folds; before that the interval columns
  // are NULL.
  EXPECT_EQ(db.run("SELECT count(*), count(mae), count(coverage), count(mean_interval_width) FROM "
                   "backtest('SELECT t, v FROM s WHERE g = ''good''', 5, "
                   "'{\"interval_method\":\"conformal\",\"folds\":3}')")
                .text(),
            "3|3|0|0");
  EXPECT_EQ(db.run("SELECT fold FROM backtest('SELECT t, v FROM s WHERE g = ''good''', 5, "
                   "'{\"interval_method\":\"conformal\",\"folds\":5}') WHERE coverage IS NOT NULL")
                .text(),
            "3\n4");
}

TEST_F(Backtest, TruncatedSeriesUsesTheRecentPoints) {
  db.exec("CREATE TABLE s(g TEXT, t INTEGER, v REAL)");
  std::vector<double> v = seasonal(45, 6, 0.5);
  insert_series(db, "a", v);
  // Rows arrive newest first; the function sorts them.
  auto got = fold_rows(db, "SELECT * FROM backtest('SELECT t, v FROM s ORDER BY t DESC', 4, "
                           "'{\"context_limit\":30,\"model\":\"stub-seasonal-naive\"}')");
  std::vector<double> tail(v.end() - 30, v.end());
  auto want = replay(tail, 0, 4, 0, 20, 0.95, false, 1700006400 + 15 * 86400);
  for (auto &w : want)
    w.status = "truncated";
  expect_same(got, want);
}

TEST_F(Backtest, ConstantSeries) {
  db.exec("CREATE TABLE s(g TEXT, t INTEGER, v REAL)");
  insert_series(db, "a", std::vector<double>(20, 7.0));
  EXPECT_EQ(db.run("SELECT DISTINCT mae, mase, smape, coverage, mean_interval_width FROM "
                   "backtest('SELECT t, v FROM s', 3)")
                .text(),
            "0.0|0.0|0.0|1.0|0.0");
}

TEST_F(Backtest, TimesAndColumns) {
  db.exec("CREATE TABLE s(g TEXT, t INTEGER, v REAL)");
  insert_series(db, "a", seasonal(25, 7, 0.9), 1700000000);
  const std::string seconds = db.run("SELECT * FROM backtest('SELECT t, v FROM s', 3)").text();
  // Milliseconds (even with a sub-second part) and text times name the same instants.
  EXPECT_EQ(db.run("SELECT * FROM backtest('SELECT t * 1000 + 123 AS t, v FROM s', 3)").text(), seconds);
  EXPECT_EQ(
      db.run("SELECT * FROM backtest('SELECT strftime(''%Y-%m-%dT%H:%M:%SZ'', t, ''unixepoch''), v FROM s', 3)").text(),
      seconds);
  EXPECT_EQ(db.one("SELECT cutoff_timestamp FROM backtest('SELECT t, v FROM s', 3) LIMIT 1"), "2023-11-21T22:13:20Z");
  // Inference: the first usable time column and the first other numeric column, in result order.
  EXPECT_EQ(db.run("SELECT * FROM backtest('SELECT ''x'' AS label, 2.5 AS r, t, v FROM s', 3)").text(),
            db.run("SELECT * FROM backtest('SELECT t, 2.5 AS r FROM s', 3)").text());
  // Named columns: the last column of a name wins.
  EXPECT_EQ(db.run("SELECT * FROM backtest('SELECT t, 1 AS x, v AS x FROM s', 3, '{\"value_col\":\"x\"}')").text(),
            seconds);
  EXPECT_EQ(db.run("SELECT * FROM backtest('SELECT v, t AS day FROM s', 3, '{\"time_col\":\"day\"}')").text(), seconds);
}

TEST_F(Backtest, IntegerGroupKeyFirstIsNotTakenForTime) {
  db.exec("CREATE TABLE s(g TEXT, t INTEGER, v REAL)");
  insert_series(db, "1", seasonal(20, 5, 0.1));
  insert_series(db, "2", seasonal(20, 5, 0.2));
  const char *sql = "SELECT series_key, count(*), min(cutoff_timestamp) FROM backtest("
                    "'SELECT CAST(g AS INTEGER) AS id, datetime(t, ''unixepoch'') AS day, v FROM s', 4, "
                    "'{\"group_cols\":[\"id\"]}') GROUP BY series_key";
  EXPECT_EQ(db.run(sql).text(), "1|9|2023-11-22T00:00:00Z\n2|9|2023-11-22T00:00:00Z");
  // The same for an integer column bound as the value.
  EXPECT_EQ(db.one("SELECT min(cutoff_timestamp) FROM backtest('SELECT CAST(v AS INTEGER) AS q, "
                   "datetime(t, ''unixepoch'') AS day FROM s WHERE g = ''1''', 4, '{\"value_col\":\"q\"}')"),
            "2023-11-22T00:00:00Z");
}

TEST_F(Backtest, GroupKeys) {
  db.exec("CREATE TABLE s(a, b, t INTEGER, v REAL)");
  db.exec("WITH RECURSIVE c(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM c WHERE i < 59) "
          "INSERT INTO s SELECT CASE WHEN i % 3 = 0 THEN NULL ELSE 'p' END, i % 3, 1700000000 + (i / 3) * 60, "
          "i * 0.5 FROM c");
  EXPECT_EQ(db.run("SELECT hex(series_key), count(*) FROM backtest('SELECT a, b, t, v FROM s', 2, "
                   "'{\"group_cols\":[\"a\",\"b\"],\"folds\":2}') GROUP BY series_key ORDER BY min(rowid)")
                .text(),
            "1F30|2\n701F31|2\n701F32|2");
  // Order of first appearance, not of the keys.
  EXPECT_EQ(db.run("SELECT DISTINCT series_key FROM backtest('SELECT b, t, v FROM s ORDER BY b DESC', 2, "
                   "'{\"group_cols\":\"b\",\"folds\":1}')")
                .text(),
            "2\n1\n0");
  // No group columns: one series with the empty key.
  EXPECT_EQ(db.one("SELECT count(DISTINCT series_key) || ':' || max(series_key) FROM "
                   "backtest('SELECT t, v FROM s', 2, '{\"folds\":1}')"),
            "1:");
}

TEST_F(Backtest, RowLimit) {
  // 2,097,152 rows are read; one more fails.
  const char *ok = "SELECT count(*) FROM backtest('WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c "
                   "WHERE i < 2097152) SELECT i, 1.0 FROM c', 1, '{\"folds\":1,\"context_limit\":8}')";
  EXPECT_EQ(db.one(ok), "1");
  const char *over = "SELECT count(*) FROM backtest('WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM "
                     "c WHERE i < 2097153) SELECT i, 1.0 FROM c', 1, '{\"folds\":1,\"context_limit\":8}')";
  EXPECT_EQ(db.error(over), "VORNEL_ERR_RESOURCE: too many input rows");
}

TEST_F(Backtest, OutOfMemoryIsReportedAndLeaksNothing) {
  db.exec("CREATE TABLE s(g TEXT, t INTEGER, v REAL)");
  insert_series(db, "a", seasonal(90, 7, 0.3));
  insert_series(db, "b", intermittent(70));
  insert_series(db, "c", seasonal(40, 5, 0.6));
  const std::string sql = "SELECT * FROM backtest('SELECT g, t, v FROM s', 5, "
                          "'{\"group_cols\":\"g\",\"model\":\"auto\",\"interval_method\":\"conformal\"}')";
  const std::string want = db.run(sql).text();
  ASSERT_EQ(want.find("Error"), std::string::npos);
  int failed = 0, passed = 0;
  for (int64_t extra = 0; extra < 40000; extra += 61) {
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st, nullptr), SQLITE_OK);
    const sqlite3_int64 before = sqlite3_memory_used();
    sqlite3_hard_heap_limit64(before + extra);
    std::string got;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(st); c++)
        got += (c ? "|" : "") + vt::render(st, c);
      got += "\n";
    }
    sqlite3_hard_heap_limit64(0);
    sqlite3_finalize(st);
    EXPECT_LE(sqlite3_memory_used(), before) << "with " << extra << " bytes to spare";
    if (rc == SQLITE_DONE) {
      passed++;
      got.pop_back();
      EXPECT_EQ(got, want);
    } else {
      failed++;
      EXPECT_EQ(rc, SQLITE_NOMEM) << sqlite3_errmsg(db.handle());
    }
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(passed, 0);
}

TEST_F(Backtest, HugeAndInfiniteValues) {
  db.exec("CREATE TABLE s(g TEXT, t INTEGER, v REAL)");
  std::vector<double> huge = seasonal(30, 7, 0.4);
  for (double &x : huge)
    x *= 1e305;
  insert_series(db, "huge", huge);
  std::vector<double> inf = seasonal(30, 7, 0.4);
  inf[12] = INFINITY;
  insert_series(db, "inf", inf);
  insert_series(db, "fine", seasonal(30, 7, 0.4));
  for (const char *model : {"theta-classic", "stub-seasonal-naive", "tsb", "auto"}) {
    for (const char *method : {"residual", "conformal"}) {
      std::string sql = std::string("SELECT series_key, count(*), min(status), count(fold) FROM backtest("
                                    "'SELECT g, t, v FROM s', 5, '{\"group_cols\":\"g\",\"model\":\"") +
                        model + "\",\"interval_method\":\"" + method + "\"}') GROUP BY 1 ORDER BY min(rowid)";
      SCOPED_TRACE(sql);
      // Values whose sums could overflow, or that are not finite, leave no number to report.
      EXPECT_EQ(db.run(sql).text(), "huge|1|non_numeric|0\ninf|1|non_numeric|0\nfine|18|ok|18");
    }
  }
  // Up to 1e100 in magnitude (these are about 1e99) every metric of every fold is a finite number.
  std::vector<double> big = seasonal(30, 7, 0.4);
  for (double &x : big)
    x *= 1e98;
  insert_series(db, "big", big);
  EXPECT_EQ(db.one("SELECT count(*) FROM backtest('SELECT g, t, v FROM s', 5, '{\"group_cols\":\"g\"}') "
                   "WHERE series_key = 'big' AND status = 'ok' AND mae < 1e300 AND rmse < 1e300 AND mase < 1e300 "
                   "AND smape <= 2 AND mean_interval_width < 1e300"),
            "18");
}
