// The forecast aggregate through SQL: the step's checks and messages, the final's options,
// model resolution, series preparation, intervals and the document.
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

TEST(ForecastStep, HorizonChecks) {
  FDb db;
  make_series(db, 10);
  EXPECT_EQ(db.error("SELECT forecast(ts, v, 0) FROM s"), "VORNEL_ERR_HORIZON: horizon out of range 1..1000");
  EXPECT_EQ(db.error("SELECT forecast(ts, v, 1001) FROM s"), "VORNEL_ERR_HORIZON: horizon out of range 1..1000");
  EXPECT_EQ(db.error("SELECT forecast(ts, v, 2.0) FROM s"), "VORNEL_ERR_HORIZON: horizon must be an integer");
  EXPECT_EQ(db.error("SELECT forecast(ts, v, '3') FROM s"), "VORNEL_ERR_HORIZON: horizon must be an integer");
  // A changing horizon fails on the first row that differs, even after a rejected row.
  db.exec("CREATE TABLE h(ts, v, hz)");
  db.exec("INSERT INTO h VALUES (1, 1, 7), (2.5, 2, 7), (3, 3, 8)");
  EXPECT_EQ(db.error("SELECT forecast(ts, v, hz) FROM h"),
            "VORNEL_ERR_HORIZON: horizon must be constant within a group");
}

TEST(ForecastStep, OptionsMustBeConstantText) {
  FDb db;
  db.exec("CREATE TABLE o(ts, v, opt)");
  db.exec("INSERT INTO o VALUES (1, 1, '{\"model\":\"tsb\"}'), (2, 2, '{ \"model\":\"tsb\"}')");
  EXPECT_EQ(db.error("SELECT forecast(ts, v, 3, opt) FROM o"),
            "VORNEL_ERR_OPTIONS: options must be constant within a group");
  db.exec("CREATE TABLE o2(ts, v, opt)");
  db.exec("INSERT INTO o2 VALUES (1, 1, NULL), (2, 2, '{}')");
  EXPECT_EQ(db.error("SELECT forecast(ts, v, 3, opt) FROM o2"),
            "VORNEL_ERR_OPTIONS: options must be constant within a group");
  // The empty text counts as absent on every row, first or later.
  db.exec("CREATE TABLE o3(ts, v, opt)");
  db.exec("INSERT INTO o3 VALUES (1, 1, ''), (2, 2, NULL), (3, 3, '')");
  EXPECT_EQ(db.one("SELECT forecast(ts, v, 3, opt) FROM o3"),
            "{\"model\":\"auto\",\"status\":\"insufficient_history\",\"rows\":[]}");
}

TEST(ForecastStep, QueryStringMisuseOnlyOnTheFirstRow) {
  FDb db;
  EXPECT_EQ(db.error("SELECT forecast(' \t\nSELECT 1', 2, 3)"),
            "VORNEL_ERR_SCHEMA: forecast does not take a query string; it is an aggregate over your rows: SELECT "
            "forecast(ts, value, horizon[, options]) FROM ...");
  EXPECT_EQ(db.error("SELECT forecast('With x AS (SELECT 1) SELECT 1', 2, 3, '{}')").substr(0, 40),
            "VORNEL_ERR_SCHEMA: forecast does not tak");
  db.exec("CREATE TABLE q(ts, v)");
  db.exec("INSERT INTO q VALUES (1, 1), ('select 1', 2)");
  EXPECT_EQ(db.one("SELECT forecast(ts, v, 3) FROM q"), "{\"model\":\"auto\",\"status\":\"non_numeric\",\"rows\":[]}");
}

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

TEST(ForecastStep, RejectedRowsMakeNonNumeric) {
  FDb db;
  make_series(db, 30);
  const std::string doc = "{\"model\":\"auto\",\"status\":\"non_numeric\",\"rows\":[]}";
  db.exec("CREATE TABLE b AS SELECT * FROM s");
  db.exec("UPDATE b SET v = NULL WHERE rowid = 5");
  EXPECT_EQ(fc(db, "5", "b"), doc);
  for (const char *bad : {"ts = 1700000000.5", "ts = x'00'", "ts = NULL", "ts = -1", "ts = 253402300800000",
                          "ts = 'not a time'", "v = 'x'", "v = x'01'"}) {
    db.exec("DROP TABLE b; CREATE TABLE b AS SELECT * FROM s; UPDATE b SET " + std::string(bad) + " WHERE rowid = 12");
    EXPECT_EQ(fc(db, "5", "b"), doc) << bad;
  }
  EXPECT_EQ(fc(db, "5, '{\"model\":\"tsb\"}'", "b"), "{\"model\":\"tsb\",\"status\":\"non_numeric\",\"rows\":[]}");
}

TEST(ForecastStep, TimeNormalisation) {
  FDb db;
  db.exec("CREATE TABLE t(ts, v)");
  // Seconds, milliseconds with a remainder, and text: all the same daily grid.
  db.exec("INSERT INTO t VALUES (1700000000, 1), (1700086400123, 2), ('2023-11-16T22:13:20.999Z', 3), "
          "(1700259200, 4), (1700345600, 5), (1700432000999, 6), (1700518400, 7), (1700604800, 8)");
  EXPECT_EQ(db.one("SELECT json_extract(forecast(ts, v, 2, '{\"model\":\"tsb\"}'), '$.rows[0].forecast_timestamp', "
                   "'$.rows[1].forecast_timestamp') FROM t"),
            "[\"2023-11-22T22:13:20Z\",\"2023-11-23T22:13:20Z\"]");
  // A single repeated time gives hourly steps.
  db.exec("CREATE TABLE r(ts, v)");
  db.exec("INSERT INTO r SELECT 1700000000, value FROM json_each('[1,2,3,4,5,6,7,8]')");
  EXPECT_EQ(db.one("SELECT json_extract(forecast(ts, v, 2), '$.rows[1].forecast_timestamp') FROM r"),
            "2023-11-15T00:13:20Z");
}

TEST(ForecastStep, TooManyRows) {
  FDb db;
  EXPECT_EQ(db.error("WITH RECURSIVE t(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM t WHERE i < 2097152) "
                     "SELECT forecast(i, 1.0, 1) FROM t"),
            "VORNEL_ERR_RESOURCE: too many input rows");
}

TEST(ForecastFinal, EmptyGroupShortSeriesAndUnsortedRows) {
  FDb db;
  make_series(db, 7);
  EXPECT_EQ(db.one("SELECT forecast(ts, v, 3) FROM s WHERE 0"), "NULL");
  EXPECT_EQ(fc(db, "3"), "{\"model\":\"auto\",\"status\":\"insufficient_history\",\"rows\":[]}");
  EXPECT_EQ(fc(db, "3, '{\"model\":\"default-ts\"}'"),
            "{\"model\":\"theta-classic\",\"status\":\"insufficient_history\",\"rows\":[]}");
  // Rows in any order give the document of the sorted series.
  FDb d2;
  make_series(d2, 40);
  d2.exec("CREATE TABLE shuffled AS SELECT * FROM s ORDER BY (rowid * 7919) % 41");
  EXPECT_EQ(fc(d2, "4", "shuffled"), fc(d2, "4"));
}

TEST(ForecastFinal, ExactDocumentOfAConstantSeries) {
  FDb db;
  make_series(db, 8, "5");
  EXPECT_EQ(fc(db, "2, '{\"model\":\"theta-classic\"}'"),
            "{\"model\":\"theta-classic\",\"status\":\"ok\",\"rows\":[{\"step\":1,\"forecast_timestamp\":"
            "\"2023-11-23T00:00:00Z\",\"forecast\":5,\"lower_bound\":5,\"upper_bound\":5},{\"step\":2,"
            "\"forecast_timestamp\":\"2023-11-24T00:00:00Z\",\"forecast\":5,\"lower_bound\":5,\"upper_bound\":5}]}");
  // Seasonal naive and theta tie on a constant series; the earlier model wins.
  FDb d2;
  make_series(d2, 30, "5");
  EXPECT_EQ(d2.one("SELECT json_extract(forecast(ts, v, 2), '$.model') FROM s"), "stub-seasonal-naive");
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

TEST(ForecastFinal, ModelResolution) {
  FDb db;
  make_series(db, 40);
  EXPECT_EQ(db.one("SELECT json_extract(forecast(ts, v, 2, '{\"model\":\"default-ts\"}'), '$.model') FROM s"),
            "theta-classic");
  EXPECT_EQ(db.one("SELECT json_extract(forecast(ts, v, 2, '{\"model\":\"stub-seasonal-naive\"}'), '$.model') FROM s"),
            "stub-seasonal-naive");
  EXPECT_EQ(db.error("SELECT forecast(ts, v, 2, '{\"model\":\"Theta-classic\"}') FROM s"),
            "VORNEL_ERR_MODEL_NOT_FOUND: no such model: Theta-classic");
  EXPECT_EQ(db.error("SELECT forecast(ts, v, 2, '{\"model\":\"tsb\",\"candidates\":[\"theta-classic\"]}') FROM s"),
            "VORNEL_ERR_OPTIONS: candidates requires model=\"auto\"");
  // The candidates check comes before the model id is resolved.
  EXPECT_EQ(db.error("SELECT forecast(ts, v, 2, '{\"model\":\"nope\",\"candidates\":\"tsb\"}') FROM s"),
            "VORNEL_ERR_OPTIONS: candidates requires model=\"auto\"");
  EXPECT_EQ(db.one("SELECT json_extract(forecast(ts, v, 2, '{\"candidates\":\"tsb\"}'), '$.model') FROM s"), "tsb");
  EXPECT_EQ(
      db.error("SELECT forecast(ts, v, 2, '{\"candidates\":[\"tsb\",\"my-student\"]}') FROM s"),
      "VORNEL_ERR_MODEL_NOT_FOUND: candidate must be a statistical model or a distilled forecast student: my-student");
  // Errors of the options and the model come before any look at the series.
  EXPECT_EQ(db.error("SELECT forecast(ts, NULL, 2, '{\"model\":\"x\"}') FROM s"),
            "VORNEL_ERR_MODEL_NOT_FOUND: no such model: x");
}

TEST(ForecastFinal, CandidatesNeedOneFold) {
  FDb db;
  make_series(db, 12);
  EXPECT_EQ(fc(db, "5, '{\"candidates\":[\"tsb\",\"theta-classic\"]}'"),
            "{\"model\":\"auto\",\"status\":\"insufficient_history\",\"rows\":[]}");
  // Automatic mode on the same series falls back to theta-classic.
  EXPECT_EQ(db.one("SELECT json_extract(forecast(ts, v, 5), '$.model') FROM s"), "theta-classic");
  // Equal scores: the earlier candidate wins.
  FDb c;
  make_series(c, 30, "4");
  EXPECT_EQ(c.one("SELECT json_extract(forecast(ts, v, 2, "
                  "'{\"candidates\":[\"theta-classic\",\"default-ts\",\"stub-seasonal-naive\"]}'), '$.model') FROM s"),
            "theta-classic");
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
                std::string("{\"model\":\"") + model +
                    "\",\"status\":\"non_numeric\",\"rows\":[]}")
          << value;
  }
}

TEST(ForecastFinal, GroupsAreIndependent) {
  FDb db;
  make_series(db, 30);
  db.exec("INSERT INTO s SELECT 'b', ts, CASE WHEN rowid = 3 THEN NULL ELSE v END FROM s");
  vt::Result r = db.run("SELECT k, json_extract(forecast(ts, v, 2), '$.status') FROM s GROUP BY k");
  EXPECT_EQ(r.text(), "a|ok\nb|non_numeric");
}

TEST(ForecastOptions, MessagesOfTheCallback) {
  FDb db;
  make_series(db, 10);
  auto err = [&](const std::string &opts) { return db.error("SELECT forecast(ts, v, 2, '" + opts + "') FROM s"); };
  EXPECT_EQ(err("{\"confidence_level\":1}"), "VORNEL_ERR_OPTIONS: confidence_level must be in (0,1)");
  EXPECT_EQ(err("{\"confidence_level\":true}"), "VORNEL_ERR_OPTIONS: confidence_level must be in (0,1)");
  EXPECT_EQ(err("{\"confidence_level\":\"0.9\"}"), "VORNEL_ERR_OPTIONS: wrong type for option 'confidence_level'");
  EXPECT_EQ(err("{\"context_limit\":0}"), "VORNEL_ERR_OPTIONS: context_limit must be >= 1");
  EXPECT_EQ(err("{\"context_limit\":2.5}"), "VORNEL_ERR_OPTIONS: wrong type for option 'context_limit'");
  EXPECT_EQ(err("{\"folds\":513}"), "VORNEL_ERR_OPTIONS: folds must be in 1..512");
  EXPECT_EQ(err("{\"folds\":0}"), "VORNEL_ERR_OPTIONS: folds must be in 1..512");
  EXPECT_EQ(err("{\"gap\":-1}"), "VORNEL_ERR_OPTIONS: gap must be >= 0");
  EXPECT_EQ(err("{\"interval_method\":\"Residual\"}"),
            "VORNEL_ERR_OPTIONS: interval_method must be 'residual' or 'conformal'");
  EXPECT_EQ(err("{\"model\":7}"), "VORNEL_ERR_OPTIONS: wrong type for option 'model'");
  EXPECT_EQ(err("{\"candidates\":[]}"), "VORNEL_ERR_OPTIONS: candidates must not be empty");
  EXPECT_EQ(err("{\"candidates\":[\"a\",\"b\",\"c\",\"d\",\"e\",\"f\",\"g\",\"h\",\"i\"]}"),
            "VORNEL_ERR_OPTIONS: too many candidates (max 8)");
  EXPECT_EQ(err("{\"candidates\":7}"), "VORNEL_ERR_OPTIONS: wrong type for option 'candidates'");
  EXPECT_EQ(err("{\"horizon\":3,\"model\":1}"), "VORNEL_ERR_OPTIONS: unknown option 'horizon'");
  EXPECT_EQ(err("{\"anomaly_prob_threshold\":0.5}"), "VORNEL_ERR_OPTIONS: unknown option 'anomaly_prob_threshold'");
  EXPECT_EQ(err("[1]"), "VORNEL_ERR_OPTIONS: options must be a JSON object");
  EXPECT_EQ(err("{"), "VORNEL_ERR_OPTIONS: options is not valid JSON");
  // A huge context limit is no limit, not a wrapped 32-bit value.
  EXPECT_EQ(db.one("SELECT json_extract(forecast(ts, v, 2, '{\"context_limit\":4294967297}'), '$.status') FROM s"),
            "ok");
}

TEST(ForecastOptions, CallbackDirectly) {
  FDb db;
  sqlite3 *h = db.handle();
  auto parse = [&](const char *doc, forecast_opts *o, const char *const *keys) {
    char *msg = nullptr;
    int rc = vornel0_options_parse(h, doc, keys, forecast_opt_cb, o, &msg);
    std::string m = msg ? msg : "";
    sqlite3_free(msg);
    return rc == SQLITE_OK ? std::string("ok") : m;
  };
  forecast_opts o = {};
  EXPECT_EQ(parse("{\"anomaly_prob_threshold\":1.5}", &o, AGG_ANOMALY_OPTION_KEYS),
            "VORNEL_ERR_THRESHOLD: anomaly_prob_threshold must be in (0,1)");
  EXPECT_EQ(o.level, 1.5); // stored before the range check
  EXPECT_EQ(parse("{\"group_cols\":\"[ \\\"a b \\\", c ,\\\"d\\\\\\\"e\\\"]\"}", &o, BACKTEST_OPTION_KEYS), "ok");
  ASSERT_EQ(o.group_count, 4);
  EXPECT_STREQ(o.group_cols[0], "a b ");
  EXPECT_STREQ(o.group_cols[1], "c ");
  EXPECT_STREQ(o.group_cols[2], "d\\");
  EXPECT_STREQ(o.group_cols[3], "e");
  EXPECT_EQ(parse("{\"group_cols\":[\"x\"],\"group_cols\":\"solo\"}", &o, BACKTEST_OPTION_KEYS), "ok");
  ASSERT_EQ(o.group_count, 1);
  EXPECT_STREQ(o.group_cols[0], "solo");
  EXPECT_EQ(parse("{\"group_cols\":[]}", &o, BACKTEST_OPTION_KEYS), "VORNEL_ERR_OPTIONS: group_cols must not be empty");
  EXPECT_EQ(parse("{\"group_cols\":[1,2,3,4,5,6,7,8,9]}", &o, BACKTEST_OPTION_KEYS),
            "VORNEL_ERR_OPTIONS: too many group_cols (max 8)");
  EXPECT_EQ(parse("{\"time_col\":\"t\",\"value_col\":\"v\",\"model\":\"tsb\",\"model\":\"auto\",\"folds\":3,\"gap\":2,"
                  "\"interval_method\":\"conformal\"}",
                  &o, BACKTEST_OPTION_KEYS),
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
