// The forecast aggregate against the model routines and the shared step: numbers, context
// limits, conformal intervals and the options callback (the step's checks, statuses, model
// resolution and option messages are in tests/sql/forecast.test).
#include "support/harness.h"
#include "ts/ts.h"
#include <cmath>
#include <string>

namespace {

// A connection whose eponymous json_each table already exists: its first use allocates the
// module's table object for the life of the connection, which is not a leak of a statement.
struct FDb : vt::Db {
  FDb() { exec("SELECT * FROM json_each('{}')"); }
};

// A table s(k, ts, v) of n daily points per key with a weekly pattern.
void make_series(vt::Db &db, int n, const std::string &expr = "10 + 0.1*i + 3*((i % 7) = 2)") {
  db.exec("CREATE TABLE IF NOT EXISTS s(k TEXT, ts, v)");
  db.exec("WITH RECURSIVE t(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM t WHERE i<" + std::to_string(n - 1) +
          ") INSERT INTO s SELECT 'a', 1700006400 + i*86400, " + expr + " FROM t");
}

std::string fc(vt::Db &db, const std::string &args, const std::string &from = "s") {
  return db.one("SELECT forecast(ts, v, " + args + ") FROM " + from);
}

} // namespace

namespace {
// An aggregate over the anomaly family of the shared step, registered from this test's copy
// of the extension: its final shows what the record collected.
void probe_step(sqlite3_context *ctx, int argc, sqlite3_value **argv) { series_step(ctx, argc, argv, SERIES_ANOMALY); }
void probe_final(sqlite3_context *ctx) {
  series *s = (series *)sqlite3_aggregate_context(ctx, 0);
  if (!s) return sqlite3_result_null(ctx);
  if (s->failed) {
    series_free(s);
    return sqlite3_result_error_code(ctx, SQLITE_ERROR);
  }
  series_sort(s);
  std::string out =
      std::to_string(s->count) + (s->rejected ? " rejected" : "") + " opt=" + (s->options ? s->options : "-");
  for (int i = 0; i < s->count; i++)
    out += " " + std::to_string(s->ts[i]) + ":" + std::to_string((int)s->values[i]);
  series_free(s);
  sqlite3_result_text(ctx, out.c_str(), -1, SQLITE_TRANSIENT);
}
void add_probe(vt::Db &db) {
  for (int n = 2; n <= 3; n++)
    ASSERT_EQ(sqlite3_create_function(db.handle(), "probe", n, SQLITE_UTF8, nullptr, nullptr, probe_step, probe_final),
              SQLITE_OK);
}
} // namespace

TEST(SeriesStep, AnomalyFamilyMessagesAndCollection) {
  FDb db;
  add_probe(db);
  EXPECT_EQ(db.error("SELECT probe('\rwith q AS (SELECT 1) SELECT * FROM q', 1)"),
            "VORNEL_ERR_SCHEMA: detect_anomalies does not take a query string; it is an aggregate over your rows: "
            "SELECT detect_anomalies(ts, value[, options]) FROM ...");
  db.exec("CREATE TABLE o(ts, v, opt)");
  db.exec("INSERT INTO o VALUES (1, 1, '{}'), (2, 2, '{} ')");
  EXPECT_EQ(db.error("SELECT probe(ts, v, opt) FROM o"), "VORNEL_ERR_OPTIONS: options must be constant within a group");
  // Seconds and milliseconds name the same instants; remainders are floored; equal times keep
  // their arrival order.
  db.exec("CREATE TABLE t(ts, v)");
  db.exec("INSERT INTO t VALUES (1700000002, 1), (1700000000123, 2), (1700000000, 3), ('2023-11-14T22:13:21.5Z', 4)");
  EXPECT_EQ(db.one("SELECT probe(ts, v, '{\"a\":1}') FROM t"),
            "4 opt={\"a\":1} 1700000000000:2 1700000000000:3 1700000001000:4 1700000002000:1");
  // Nothing after a rejected row is collected.
  db.exec("INSERT INTO t VALUES (1.5, 5), (1700000009, 6)");
  EXPECT_EQ(db.one("SELECT probe(ts, v) FROM t"),
            "4 rejected opt=- 1700000000000:2 1700000000000:3 1700000001000:4 1700000002000:1");
  EXPECT_EQ(db.one("SELECT probe(ts, v) FROM t WHERE 0"), "NULL");
}

TEST(ForecastFinal, NumbersMatchTheModelRoutine) {
  FDb db;
  make_series(db, 60);
  std::vector<double> y;
  for (int i = 0; i < 60; i++)
    y.push_back(10 + 0.1 * i + 3 * ((i % 7) == 2));
  double f[3], d[3];
  model_theta(y.data(), 60, 3, f, d);
  double z = vornel0_norm_quantile(0.5 + 0.8 / 2);
  vt::Result r = db.run("SELECT json_extract(j.value, '$.forecast'), json_extract(j.value, '$.lower_bound'), "
                        "json_extract(j.value, '$.upper_bound') FROM (SELECT forecast(ts, v, 3, "
                        "'{\"model\":\"theta-classic\",\"confidence_level\":0.8}') AS doc FROM s), "
                        "json_each(doc, '$.rows') AS j");
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.rows.size(), 3u);
  char buf[200];
  for (int k = 0; k < 3; k++) {
    // json_extract renders reals with 17 significant digits, so the text pins the bits.
    snprintf(buf, sizeof buf, "%.17g|%.17g|%.17g", f[k], f[k] - z * d[k], f[k] + z * d[k]);
    double a, b, c;
    ASSERT_EQ(sscanf(r.rows[k].c_str(), "%lf|%lf|%lf", &a, &b, &c), 3);
    EXPECT_EQ(a, f[k]);
    EXPECT_EQ(b, f[k] - z * d[k]);
    EXPECT_EQ(c, f[k] + z * d[k]);
  }
}

TEST(ForecastFinal, ContextLimitTruncates) {
  FDb db;
  make_series(db, 100);
  EXPECT_EQ(
      db.one("SELECT json_extract(forecast(ts, v, 3, '{\"context_limit\":10,\"model\":\"tsb\"}'), '$.status') FROM s"),
      "truncated");
  // The same as forecasting the last 10 points alone, but marked truncated.
  std::string cut = fc(db, "3, '{\"context_limit\":10,\"model\":\"tsb\"}'");
  db.exec("CREATE TABLE last10 AS SELECT * FROM s ORDER BY ts DESC LIMIT 10");
  std::string alone = fc(db, "3, '{\"model\":\"tsb\"}'", "last10");
  EXPECT_EQ(cut.substr(cut.find("rows")), alone.substr(alone.find("rows")));
  EXPECT_EQ(
      db.one("SELECT count(*) FROM json_each((SELECT forecast(ts, v, 3, '{\"context_limit\":10}') FROM s), '$.rows')"),
      "3");
}

TEST(ForecastFinal, ConformalIntervals) {
  FDb db;
  make_series(db, 12);
  // 12 points, horizon 2: usable 10, only 3 folds... with folds 2 fewer than 3.
  EXPECT_EQ(fc(db, "2, '{\"interval_method\":\"conformal\",\"folds\":2}'"),
            "{\"model\":\"auto\",\"status\":\"insufficient_history\",\"rows\":[]}");
  EXPECT_EQ(fc(db, "2, '{\"interval_method\":\"conformal\",\"folds\":2,\"model\":\"tsb\"}'"),
            "{\"model\":\"tsb\",\"status\":\"insufficient_history\",\"rows\":[]}");
  FDb d2;
  make_series(d2, 60);
  std::vector<double> y;
  for (int i = 0; i < 60; i++)
    y.push_back(10 + 0.1 * i + 3 * ((i % 7) == 2));
  double radius[2], f[2];
  ts_scratch sc = {};
  ASSERT_EQ(ts_conformal_radius(&TS_MODELS[1], y.data(), 60, 2, 1, 20, 0.9, radius, &sc), 20);
  ts_scratch_free(&sc);
  model_theta(y.data(), 60, 2, f, nullptr);
  vt::Result r = d2.run("SELECT json_extract(j.value, '$.lower_bound'), json_extract(j.value, '$.upper_bound') FROM "
                        "(SELECT forecast(ts, v, 2, '{\"model\":\"theta-classic\",\"interval_method\":\"conformal\","
                        "\"gap\":1,\"confidence_level\":0.9}') AS doc FROM s), json_each(doc, '$.rows') AS j");
  ASSERT_EQ(r.rows.size(), 2u);
  for (int k = 0; k < 2; k++) {
    double lo, hi;
    ASSERT_EQ(sscanf(r.rows[k].c_str(), "%lf|%lf", &lo, &hi), 2);
    EXPECT_EQ(lo, f[k] - radius[k]);
    EXPECT_EQ(hi, f[k] + radius[k]);
  }
}

TEST(ForecastFinal, NonFiniteOrHugeValuesAreNonNumeric) {
  FDb db;
  make_series(db, 20);
  db.exec("UPDATE s SET v = -1e100 WHERE rowid = 20");
  // At the bound every model still gives numbers.
  for (const char *model : {"stub-seasonal-naive", "theta-classic", "tsb", "auto"}) {
    std::string doc = fc(db, std::string("2, '{\"model\":\"") + model + "\"}'");
    EXPECT_NE(doc.find("\"status\":\"ok\""), std::string::npos) << doc;
    EXPECT_EQ(doc.find("null"), std::string::npos) << doc;
  }
  for (const char *value : {"1e999", "-1e999", "1e300", "1.0000000000000002e100"}) {
    db.exec(std::string("UPDATE s SET v = ") + value + " WHERE rowid = 20");
    for (const char *model : {"stub-seasonal-naive", "theta-classic", "tsb", "auto"})
      EXPECT_EQ(fc(db, std::string("2, '{\"model\":\"") + model + "\"}'"),
                std::string("{\"model\":\"") + model + "\",\"status\":\"non_numeric\",\"rows\":[]}")
          << value;
  }
}

TEST(ForecastOptions, CallbackDirectly) {
  FDb db;
  sqlite3 *h = db.handle();
  auto parse = [&](const char *doc, forecast_opts *o, const OptionTable *table) {
    char *msg = nullptr;
    int rc = options_read(h, doc, table, o, &msg);
    std::string m = msg ? msg : "";
    sqlite3_free(msg);
    return rc == SQLITE_OK ? std::string("ok") : m;
  };
  forecast_opts o = {};
  EXPECT_EQ(parse("{\"anomaly_prob_threshold\":1.5}", &o, &ANOMALY_OPTIONS),
            "VORNEL_ERR_THRESHOLD: anomaly_prob_threshold must be in (0,1)");
  EXPECT_EQ(o.level, 1.5); // stored before the range check
  // Lists are read by the host's JSON functions: commas and escaped quotes inside a name stay.
  EXPECT_EQ(parse("{\"group_cols\":[\" a,b \",\"d\\\"e\",7]}", &o, &BACKTEST_OPTIONS), "ok");
  ASSERT_EQ(o.group_count, 3);
  EXPECT_STREQ(o.group_cols[0], " a,b ");
  EXPECT_STREQ(o.group_cols[1], "d\"e");
  EXPECT_STREQ(o.group_cols[2], "7");
  EXPECT_EQ(parse("{\"group_cols\":\"[\\\"x\\\",\\\"y\\\"]\"}", &o, &BACKTEST_OPTIONS), "ok");
  EXPECT_EQ(o.group_count, 2);
  EXPECT_EQ(parse("{\"group_cols\":[\"a\\u0000b\"]}", &o, &BACKTEST_OPTIONS),
            "VORNEL_ERR_OPTIONS: group_cols entries must not contain NUL characters");
  EXPECT_EQ(parse("{\"time_col\":\"t\\u0000x\"}", &o, &BACKTEST_OPTIONS),
            "VORNEL_ERR_OPTIONS: option 'time_col' must not contain NUL characters");
  EXPECT_EQ(parse("{\"group_cols\":[\"x\"],\"group_cols\":\"solo\"}", &o, &BACKTEST_OPTIONS), "ok");
  ASSERT_EQ(o.group_count, 1);
  EXPECT_STREQ(o.group_cols[0], "solo");
  EXPECT_EQ(parse("{\"group_cols\":[]}", &o, &BACKTEST_OPTIONS), "VORNEL_ERR_OPTIONS: group_cols must not be empty");
  EXPECT_EQ(parse("{\"group_cols\":[1,2,3,4,5,6,7,8,9]}", &o, &BACKTEST_OPTIONS),
            "VORNEL_ERR_OPTIONS: too many group_cols (max 8)");
  EXPECT_EQ(parse("{\"time_col\":\"t\",\"value_col\":\"v\",\"model\":\"tsb\",\"model\":\"auto\",\"folds\":3,\"gap\":2,"
                  "\"interval_method\":\"conformal\"}",
                  &o, &BACKTEST_OPTIONS),
            "ok");
  EXPECT_STREQ(o.time_col, "t");
  EXPECT_STREQ(o.model, "auto");
  EXPECT_EQ(o.folds, 3);
  EXPECT_EQ(o.gap, 2);
  EXPECT_EQ(o.interval_method, INTERVAL_CONFORMAL);
  forecast_opts_free(&o);
  EXPECT_EQ(o.model, nullptr);
  EXPECT_EQ(o.group_count, 0);
}

// List options are split by the host's JSON functions, so a comma inside a name stays in it,
// and an option text holding a NUL character is refused instead of being cut at it.
TEST(ForecastOptions, ListsAreJsonAndNulIsRefused) {
  vt::Db db;
  db.exec("CREATE TABLE s(ts INTEGER, v REAL);"
          "WITH RECURSIVE c(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM c WHERE i<40) "
          "INSERT INTO s SELECT 1700000000+i*86400, i%7 FROM c;");
  EXPECT_EQ(db.error("SELECT forecast(ts, v, 2, '{\"candidates\":[\"tsb\",\"theta,classic\"]}') FROM s"),
            "VORNEL_ERR_MODEL_NOT_FOUND: candidate must be a statistical model or a distilled forecast student: "
            "theta,classic");
  EXPECT_EQ(db.error("SELECT forecast(ts, v, 2, '{\"model\":\"tsb\\u0000x\"}') FROM s"),
            "VORNEL_ERR_OPTIONS: option 'model' must not contain NUL characters");
  EXPECT_EQ(db.error("SELECT forecast(ts, v, 2, '{\"candidates\":[\"tsb\\u0000x\"]}') FROM s"),
            "VORNEL_ERR_OPTIONS: candidates entries must not contain NUL characters");
  EXPECT_EQ(db.error("SELECT * FROM vornel('SELECT 1', 'SELECT 1', '{\"target\":\"a\\u0000b\"}')"),
            "VORNEL_ERR_OPTIONS: option 'target' must not contain NUL characters");
  EXPECT_EQ(db.error("SELECT * FROM distill_forecast('SELECT 1', "
                     "'{\"context\":1,\"horizon\":1,\"student_id\":\"s\\u0000t\"}')"),
            "VORNEL_ERR_OPTIONS: option 'student_id' must not contain NUL characters");
}
