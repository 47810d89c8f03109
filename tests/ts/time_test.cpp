// Time as users keep it, through SQL and the fill core: calendar stamps in forecast documents,
// describe_series, the fill option against a plain re-implementation, explain, and the mended
// edges (context_limit minimum, a forgotten horizon, ULIDs before 1970).
#include "support/harness.h"
#include "ts/ts.h"
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int64_t DAY = 86400000;

struct FDb : vt::Db {
  FDb() { exec("SELECT * FROM json_each('{}')"); }
};

// Plain fill: means of equal times, then every step of `step` ms between neighbours inserted
// by the rule (positions on the grid for linear).
void plain_fill(const std::vector<int64_t> &t, const std::vector<double> &v, int64_t step, int rule,
                std::vector<int64_t> *out_t, std::vector<double> *out_v) {
  std::map<int64_t, std::pair<double, int>> groups;
  for (size_t i = 0; i < t.size(); i++) {
    groups[t[i]].first += v[i];
    groups[t[i]].second++;
  }
  out_t->clear();
  out_v->clear();
  for (const auto &[time, sum_count] : groups) {
    const double mean = sum_count.first / sum_count.second;
    if (!out_t->empty()) {
      const int64_t a = out_t->back();
      const double va = out_v->back();
      const int64_t gaps = (time - a) / step - 1;
      for (int64_t j = 1; j <= gaps; j++) {
        out_t->push_back(a + j * step);
        out_v->push_back(rule == TS_FILL_LINEAR     ? va + (mean - va) * ((double)j / (double)(gaps + 1))
                         : rule == TS_FILL_PREVIOUS ? va
                                                    : 0.0);
      }
    }
    out_t->push_back(time);
    out_v->push_back(mean);
  }
}

std::string fc(vt::Db &db, const std::string &from, const std::string &args) {
  return db.one("SELECT forecast(t, v, " + args + ") FROM " + from);
}

} // namespace

TEST(Fill, MatchesAPlainReimplementation) {
  std::mt19937_64 rng(3);
  for (int trial = 0; trial < 300; trial++) {
    const int64_t step = std::vector<int64_t>{DAY, 3600000, 7 * DAY, 60000}[trial % 4];
    std::vector<int64_t> t;
    std::vector<double> v;
    int64_t now = 1700000000000 - 1700000000000 % step;
    for (int i = 0; i < 60; i++) {
      // Mostly one step, sometimes a gap, sometimes the same time again.
      const uint64_t r = rng() % 10;
      now += r < 7 ? step : r < 9 ? step * (int64_t)(2 + rng() % 4) : 0;
      t.push_back(now);
      v.push_back((double)(rng() % 1000) / 8.0 - 40);
    }
    const int rule = 1 + trial % 3;
    std::vector<int64_t> want_t;
    std::vector<double> want_v;
    plain_fill(t, v, step, rule, &want_t, &want_v);
    int32_t count = (int32_t)t.size(), capacity = count;
    int64_t *ts = (int64_t *)sqlite3_malloc64(count * sizeof(int64_t));
    double *values = (double *)sqlite3_malloc64(count * sizeof(double));
    std::copy(t.begin(), t.end(), ts);
    std::copy(v.begin(), v.end(), values);
    int64_t needed = 0;
    ASSERT_EQ(ts_fill_arrays(&ts, &values, &count, &capacity, rule, SERIES_MAX_ROWS, &needed), SQLITE_OK);
    EXPECT_EQ(needed, (int64_t)want_t.size());
    ASSERT_EQ(count, (int32_t)want_t.size()) << "trial " << trial;
    for (int32_t i = 0; i < count; i++) {
      EXPECT_EQ(ts[i], want_t[i]) << "trial " << trial << " point " << i;
      EXPECT_EQ(values[i], want_v[i]) << "trial " << trial << " point " << i;
    }
    sqlite3_free(ts);
    sqlite3_free(values);
  }
}

TEST(Fill, TooManyPointsLeavesTheSeries) {
  int64_t t0[] = {0, 1000, 2000, 5000000000};
  double v0[] = {1, 2, 3, 4};
  int64_t *ts = (int64_t *)sqlite3_malloc64(sizeof t0);
  double *values = (double *)sqlite3_malloc64(sizeof v0);
  memcpy(ts, t0, sizeof t0);
  memcpy(values, v0, sizeof v0);
  int32_t count = 4, capacity = 4;
  int64_t needed = 0;
  EXPECT_EQ(ts_fill_arrays(&ts, &values, &count, &capacity, TS_FILL_ZERO, 1000, &needed), SQLITE_TOOBIG);
  EXPECT_GT(needed, 1000);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(ts[3], 5000000000);
  sqlite3_free(ts);
  sqlite3_free(values);
}

TEST(TimeSql, ForecastStampsFollowTheCalendar) {
  FDb db;
  db.exec("CREATE TABLE m AS WITH RECURSIVE i(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM i WHERE n < 23) "
          "SELECT date('2023-01-01', '+' || n || ' months') AS t, 10 + n % 4 AS v FROM i");
  auto stamps = [&](const std::string &from, int h) {
    return db
        .run("SELECT json_extract(r.value, '$.forecast_timestamp') FROM json_each((SELECT forecast(t, v, " +
             std::to_string(h) + ") FROM " + from + "), '$.rows') AS r")
        .text();
  };
  EXPECT_EQ(stamps("m", 3), "2025-01-01T00:00:00Z\n2025-02-01T00:00:00Z\n2025-03-01T00:00:00Z");
  // A missing month does not change the step; quarters step by three months.
  EXPECT_EQ(stamps("(SELECT * FROM m WHERE t <> '2024-06-01')", 1), "2025-01-01T00:00:00Z");
  EXPECT_EQ(stamps("(SELECT * FROM m WHERE strftime('%m', t) IN ('01','04','07','10') UNION ALL SELECT "
                   "'2022-' || substr(t, 6), v FROM m WHERE strftime('%m', t) IN ('01','04','07','10'))",
                   2),
            "2025-01-01T00:00:00Z\n2025-04-01T00:00:00Z");
  // Month ends at noon, ending in a leap February.
  EXPECT_EQ(stamps("(SELECT date(t, '+1 month', '-1 day') || ' 12:00' AS t, v FROM m WHERE t < '2024-02-01')", 3),
            "2024-02-29T12:00:00Z\n2024-03-31T12:00:00Z\n2024-04-30T12:00:00Z");
  // Weekdays ending on a Friday go on to Monday; daily data including weekends keeps the day.
  db.exec("CREATE TABLE w AS WITH RECURSIVE i(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM i WHERE n < 32) "
          "SELECT date('2024-01-01', '+' || n || ' days') AS t, 5 + n % 3 AS v FROM i "
          "WHERE strftime('%w', date('2024-01-01', '+' || n || ' days')) NOT IN ('0','6')");
  EXPECT_EQ(stamps("w", 2), "2024-02-05T00:00:00Z\n2024-02-06T00:00:00Z");
  db.exec("CREATE TABLE d AS SELECT date('2024-01-01', '+' || value || ' days') AS t, value % 5 AS v "
          "FROM (WITH RECURSIVE q(value) AS (SELECT 0 UNION ALL SELECT value + 1 FROM q WHERE value < 19) SELECT value "
          "FROM q)");
  EXPECT_EQ(stamps("d", 2), "2024-01-21T00:00:00Z\n2024-01-22T00:00:00Z");
}

TEST(TimeSql, DescribeSeries) {
  FDb db;
  db.exec("CREATE TABLE s(g, t, v)");
  db.exec("INSERT INTO s SELECT 'a', 1700006400 + value * 86400, value % 7 FROM (WITH RECURSIVE q(value) AS (SELECT 0 "
          "UNION ALL SELECT value + 1 FROM q WHERE value < 29) SELECT value FROM q) "
          "WHERE value NOT IN (4, 5)");
  db.exec("INSERT INTO s VALUES ('a', 1700006400, 9), ('a', 'junk', 1), ('a', 1700006400, NULL)");
  db.exec(
      "INSERT INTO s VALUES ('b', NULL, 1), ('b', X'00', 1), ('b', '2024-01-01', X'01'), ('b', 253402300800000, 1)");
  db.exec("INSERT INTO s VALUES ('c', 1e300, 1e308 * 10), ('c', 1, 1e308 * 10), ('c', 2, -1e308 * 10)");
  EXPECT_EQ(
      db.run("SELECT g, describe_series(t, v) FROM s GROUP BY g").text(),
      "a|{\"points\":29,\"first\":\"2023-11-15T00:00:00Z\",\"last\":\"2023-12-14T00:00:00Z\",\"step\":86400,"
      "\"missing\":2,\"duplicates\":1,\"rejected\":2,\"reason\":\"row 30: unparseable time 'junk'\",\"period\":7}\n"
      "b|{\"points\":0,\"first\":null,\"last\":null,\"step\":null,\"missing\":0,\"duplicates\":0,\"rejected\":4,"
      "\"reason\":\"row 1: NULL time\",\"period\":0}\n"
      "c|{\"points\":0,\"first\":null,\"last\":null,\"step\":null,\"missing\":0,\"duplicates\":0,"
      "\"rejected\":3,\"reason\":\"row 1, time '1.0e+300': REAL time\",\"period\":0}");
  // Values the models cannot sum without overflow are named like any other unusable value.
  EXPECT_EQ(db.one("SELECT json_extract(describe_series(t, v), '$.reason') FROM s WHERE g = 'c' AND typeof(t) = "
                   "'integer'"),
            "row 1, time '1970-01-01T00:00:01Z': value Inf is infinite or beyond 1e100");
  EXPECT_EQ(db.one("SELECT json_extract(describe_series(t, v), '$.reason') FROM s WHERE g = 'b' AND rowid > "
                   "(SELECT min(rowid) FROM s WHERE g = 'b')"),
            "row 1: BLOB time");
  EXPECT_EQ(db.one("SELECT json_extract(describe_series(t, v), '$.reason') FROM s WHERE g = 'b' AND t = '2024-01-01'"),
            "row 1, time '2024-01-01T00:00:00Z': BLOB value");
  EXPECT_EQ(db.one("SELECT json_extract(describe_series(t, v), '$.reason') FROM s WHERE g = 'b' AND typeof(t) = "
                   "'integer'"),
            "row 1, time '253402300800000': epoch after the year 9999");
  EXPECT_EQ(db.one("SELECT describe_series(t, v) FROM s WHERE 0"), "NULL");
  // A forecast of the same rows is non_numeric exactly when describe_series counts a rejection.
  EXPECT_EQ(db.run("SELECT g, json_extract(forecast(t, v, 2), '$.status') = 'non_numeric', "
                   "json_extract(describe_series(t, v), '$.rejected') > 0 FROM s GROUP BY g")
                .text(),
            "a|1|1\nb|1|1\nc|1|1");
}

TEST(TimeSql, FillEqualsForecastOnTheFilledRows) {
  FDb db;
  db.exec("CREATE TABLE g(t, v)");
  std::vector<int64_t> t;
  std::vector<double> v;
  for (int i = 0; i < 70; i++) {
    if (i == 9 || i == 30 || i == 31 || i == 50) continue;
    t.push_back(1700006400000LL + i * DAY);
    v.push_back(20 + (i % 7 == 3 ? 9 : 0) + (i * 7 % 5));
  }
  t.push_back(t[20]); // a duplicate day
  v.push_back(3);
  for (size_t i = 0; i < t.size(); i++)
    db.exec("INSERT INTO g VALUES (" + std::to_string(t[i]) + "," + std::to_string(v[i]) + ")");
  for (int rule : {TS_FILL_LINEAR, TS_FILL_PREVIOUS, TS_FILL_ZERO}) {
    const char *name = rule == TS_FILL_LINEAR ? "linear" : rule == TS_FILL_PREVIOUS ? "previous" : "zero";
    std::vector<int64_t> ft;
    std::vector<double> fv;
    plain_fill(t, v, DAY, rule, &ft, &fv);
    db.exec("DROP TABLE IF EXISTS f; CREATE TABLE f(t, v)");
    char num[40];
    for (size_t i = 0; i < ft.size(); i++) {
      snprintf(num, sizeof num, "%.17g", fv[i]);
      db.exec("INSERT INTO f VALUES (" + std::to_string(ft[i]) + "," + num + ")");
    }
    const std::string opts = std::string("'{\"fill\":\"") + name + "\"}'";
    EXPECT_EQ(fc(db, "g", "7, " + opts), fc(db, "f", "7")) << name;
    EXPECT_EQ(db.one("SELECT detect_anomalies(t, v, " + opts + ") FROM g"),
              db.one("SELECT detect_anomalies(t, v) FROM f"))
        << name;
    EXPECT_EQ(db.run("SELECT * FROM backtest('SELECT t, v FROM g', 5, " + opts + ")").text(),
              db.run("SELECT * FROM backtest('SELECT t, v FROM f', 5)").text())
        << name;
  }
  // Nothing missing: the document is the one without the option.
  EXPECT_EQ(fc(db, "f", "7, '{\"fill\":\"zero\"}'"), fc(db, "f", "7"));
  EXPECT_EQ(db.error("SELECT forecast(t, v, 7, '{\"fill\":\"spline\"}') FROM g"),
            "VORNEL_ERR_OPTIONS: fill must be 'linear', 'previous' or 'zero'");
  EXPECT_EQ(db.error("SELECT forecast(t, v, 7, '{\"fill\":1}') FROM g"),
            "VORNEL_ERR_OPTIONS: wrong type for option 'fill'");
  db.exec("INSERT INTO g VALUES (1800000000, 1)"); // seconds, years later, on a day grid: fine
  db.exec("CREATE TABLE sec(t, v); INSERT INTO sec SELECT value, value FROM (WITH RECURSIVE q(value) AS (SELECT 1 "
          "UNION ALL SELECT value + 1 FROM q WHERE value < 20) SELECT value FROM q); "
          "INSERT INTO sec VALUES (1700000000, 1)");
  EXPECT_EQ(db.error("SELECT forecast(t, v, 7, '{\"fill\":\"zero\"}') FROM sec"),
            "VORNEL_ERR_RESOURCE: fill would make 1700000000 points (max 2097152); check the time column, or sum "
            "the rows to a coarser step first");
}

TEST(TimeSql, ExplainAddsOneKey) {
  FDb db;
  db.exec("CREATE TABLE s AS SELECT 1700006400 + value * 86400 AS t, 10 + value % 7 + 0.1 * value AS v "
          "FROM (WITH RECURSIVE q(value) AS (SELECT 0 UNION ALL SELECT value + 1 FROM q WHERE value < 59) SELECT value "
          "FROM q)");
  for (const char *opts : {"", ",\"model\":\"tsb\"", ",\"interval_method\":\"conformal\"",
                           ",\"candidates\":[\"tsb\",\"theta-classic\"]", ",\"context_limit\":5"}) {
    const std::string plain = fc(db, "s", std::string("5, '{\"folds\":4") + opts + "}'");
    const std::string with = fc(db, "s", std::string("5, '{\"folds\":4,\"explain\":true") + opts + "}'");
    EXPECT_EQ(db.one("SELECT json_remove('" + with + "', '$.explain')"), plain) << opts;
    EXPECT_EQ(with.substr(0, plain.size() - 1), plain.substr(0, plain.size() - 1)) << opts;
  }
  EXPECT_EQ(fc(db, "s", "5, '{\"explain\":false}'"), fc(db, "s", "5"));
  // In automatic mode the model that ran has the smallest score, and the scores are the
  // scaled fold errors the selection compares.
  const std::string doc = fc(db, "s", "5, '{\"folds\":4,\"explain\":true}'");
  EXPECT_EQ(db.run("SELECT json_extract(c.value, '$.model'), json_extract(c.value, '$.period') FROM "
                   "json_each('" +
                   doc + "', '$.explain.candidates') AS c")
                .text(),
            "stub-seasonal-naive|7\ntheta-classic|7\ntsb|NULL");
  EXPECT_EQ(db.one("SELECT json_extract('" + doc +
                   "', '$.model') = (SELECT json_extract(c.value, '$.model') FROM "
                   "json_each('" +
                   doc +
                   "', '$.explain.candidates') AS c ORDER BY json_extract(c.value, '$.score') "
                   "LIMIT 1)"),
            "1");
  EXPECT_EQ(db.one("SELECT json_extract('" + doc + "', '$.explain.step') || '/' || json_extract('" + doc +
                   "', '$.explain.folds')"),
            "86400/4");
  EXPECT_EQ(db.error("SELECT forecast(t, v, 5, '{\"explain\":\"yes\"}') FROM s"),
            "VORNEL_ERR_OPTIONS: wrong type for option 'explain'");
}

TEST(TimeSql, MendedEdges) {
  FDb db;
  db.exec("CREATE TABLE s AS SELECT 1700006400 + value * 86400 AS t, value AS v FROM (WITH RECURSIVE q(value) AS "
          "(SELECT 0 UNION ALL SELECT value + 1 FROM q WHERE value < 99) SELECT value FROM q)");
  // The eight-point minimum holds after context_limit cuts the series.
  EXPECT_EQ(fc(db, "s", "3, '{\"context_limit\":7}'"),
            "{\"model\":\"auto\",\"status\":\"insufficient_history\",\"rows\":[]}");
  EXPECT_EQ(fc(db, "s", "3, '{\"context_limit\":1,\"model\":\"tsb\"}'"),
            "{\"model\":\"tsb\",\"status\":\"insufficient_history\",\"rows\":[]}");
  EXPECT_EQ(db.one("SELECT json_extract(forecast(t, v, 3, '{\"context_limit\":8}'), '$.status') FROM s"), "truncated");
  // Two arguments: a query text, or a forgotten horizon.
  EXPECT_EQ(db.error("SELECT forecast(t, v) FROM s"),
            "VORNEL_ERR_HORIZON: forecast needs a horizon, the number of future steps: SELECT forecast(ts, value, "
            "horizon[, options]) FROM ...");
  EXPECT_EQ(db.error("SELECT forecast(' with x AS (SELECT 1) SELECT * FROM x', 3)").substr(0, 60),
            "VORNEL_ERR_SCHEMA: forecast does not take a query string; it");
  // ULIDs hold no time before 1970; the epoch itself is still fine.
  EXPECT_EQ(db.error("SELECT vornel_ulid('1969-12-31T23:59:59Z')"),
            "VORNEL_ERR_SCHEMA: timestamp '1969-12-31T23:59:59Z' is before 1970-01-01, which a ULID cannot hold");
  EXPECT_EQ(db.one("SELECT vornel_ulid('1970-01-01')"), "00000000000000000000000000");
}
