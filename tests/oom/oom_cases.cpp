// The sweep's table: every SQL function on its success path and a few error paths, and the
// internal routines other subsystems build on. A new statement is one line here.
#include "oom/oom_cases.h"
#include "registry/registry.h"

namespace {

#define WEIGHTS VORNEL_SOURCE_DIR "/tests/registry/data/example-weights.bin"
#define REG_CFG "'{\"weights_uri\":\"" WEIGHTS "\",\"io_spec\":{\"in\":[1,2]},\"license\":\"MIT\"}'"
#define REGISTERED "SELECT vornel_register('ext', " REG_CFG ");"
#define STUDENT_ROW                                                                                                    \
  REGISTERED "INSERT INTO _vornel_models (model_id,kind,runtime,weights,content_hash,license) "                        \
             "VALUES ('st','student','tree',zeroblob(3000),'h','l');"

// Two stores of 30 days: a weekly pattern with a trend, and intermittent demand.
#define SERIES                                                                                                         \
  "CREATE TABLE daily AS WITH RECURSIVE d(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM d WHERE i < 29) "                \
  "SELECT s.value AS store, date('2024-01-01', '+' || d.i || ' days') AS day, "                                        \
  "CASE s.value WHEN 'A' THEN 100 + 0.5 * d.i + (d.i % 7) * 3 + (d.i * 37 % 11) "                                      \
  "ELSE CASE WHEN d.i % 9 = 4 OR d.i % 13 = 7 THEN 6.0 ELSE 0.0 END END AS sales "                                     \
  "FROM json_each('[\"A\",\"B\"]') AS s, d;"

// One site of 42 days with a weekly pattern and a spike, and a short second site.
#define VISITS                                                                                                         \
  "CREATE TABLE visits AS WITH RECURSIVE d(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM d WHERE i < 41) "               \
  "SELECT s.value AS site, date('2024-01-01', '+' || d.i || ' days') AS day, "                                         \
  "100 + CASE d.i % 7 WHEN 5 THEN 25 WHEN 6 THEN 15 ELSE 0 END + (d.i * 37 % 11) - 5 "                                 \
  "+ CASE WHEN d.i = 30 THEN 60 ELSE 0 END AS n FROM json_each('[\"A\",\"B\"]') AS s, d "                              \
  "WHERE s.value = 'A' OR d.i < 6;"

// Nine labelled clients and five prospects.
#define CLIENTS                                                                                                        \
  "CREATE TABLE clients(id INTEGER PRIMARY KEY, spend REAL, calls REAL, plan TEXT, churned TEXT, value REAL);"         \
  "INSERT INTO clients VALUES (1, 20, 5, 'basic', 'yes', 120), (2, 25, 4, 'basic', 'yes', 150),"                       \
  "(3, 30, 6, 'basic', 'yes', 140), (4, 80, 0, 'pro', 'no', 900), (5, 85, 1, 'pro', 'no', 950),"                       \
  "(6, 90, 1, 'pro', 'no', 1000), (7, 55, 2, 'plus', 'no', 500), (8, 60, 3, 'plus', 'yes', 420),"                      \
  "(9, 50, 2, 'plus', 'no', 480);"                                                                                     \
  "CREATE TABLE prospects(id INTEGER PRIMARY KEY, spend REAL, calls REAL, plan TEXT);"                                 \
  "INSERT INTO prospects VALUES (100, 22, 5, 'basic'), (101, 88, 0, 'pro'), (102, 57, 2, 'plus'),"                     \
  "(103, 40, NULL, 'basic'), (104, 70, 1, 'enterprise');"

// Fifty rows for the distillation cases: two features, a label and a value.
#define CHURN                                                                                                          \
  "CREATE TABLE churn AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50) "                \
  "SELECT i AS id, 18 + (i * 37) % 60 AS age, (i * 7) % 6 AS calls, "                                                  \
  "CASE WHEN (i * 7) % 6 > 2 THEN 'yes' ELSE 'no' END AS churned, 10.0 * ((i * 37) % 60) + i AS value "                \
  "FROM n;"
#define STUDENT_TREE                                                                                                   \
  "SELECT * FROM distill_vornel('SELECT age, calls, churned FROM churn WHERE id <= 40', "                              \
  "'{\"target\":\"churned\",\"student_id\":\"st-tree\"}');"
#define STUDENT_GBT                                                                                                    \
  "SELECT * FROM distill_vornel('SELECT age, calls, churned FROM churn WHERE id <= 40', "                              \
  "'{\"target\":\"churned\",\"student_id\":\"st-gbt\",\"student_kind\":\"gbt\"}');"

#define STUDENTS_CHECK                                                                                                 \
  "SELECT model_id, content_hash, length(weights) FROM _vornel_models WHERE runtime = 'tree' ORDER BY 1"
#define MODELS_CHECK "SELECT model_id, kind, runtime, content_hash, length(weights) FROM _vornel_models ORDER BY 1"

oom::Outcome text_outcome(int rc, const std::string &text) { return oom::Outcome{rc, text}; }

const char *const OPTION_KEYS[] = {"model", "level", "candidates", nullptr};

int collect_option(void *record, const char *key, sqlite3_value *value, char **out_msg) {
  std::string *seen = (std::string *)record;
  const char *text = (const char *)sqlite3_value_text(value);
  if (!text) return 1; // out of memory: no message
  if (strcmp(key, "level") == 0 && sqlite3_value_double(value) >= 1.0) {
    *out_msg = sqlite3_mprintf("%s: level must be below 1", VORNEL_ERR_OPTIONS);
    return 1;
  }
  *seen += std::string(key) + "=" + text + ";";
  return 0;
}

oom::Outcome options_of(sqlite3 *db, const char *doc) {
  std::string seen;
  char *msg = nullptr;
  int rc = vornel0_options_parse(db, doc, OPTION_KEYS, collect_option, &seen, &msg);
  std::string text = msg ? msg : seen;
  sqlite3_free(msg);
  return text_outcome(rc, text);
}

oom::Outcome options_ok(sqlite3 *db) {
  return options_of(db, "{\"model\":\"auto\",\"level\":0.9,\"candidates\":[\"tsb\",\"theta-classic\"]}");
}
oom::Outcome options_unknown(sqlite3 *db) { return options_of(db, "{\"model\":\"auto\",\"nope\":1}"); }
oom::Outcome options_bad_json(sqlite3 *db) { return options_of(db, "{\"model\":"); }
oom::Outcome options_not_object(sqlite3 *db) { return options_of(db, "[1,2]"); }
oom::Outcome options_callback_error(sqlite3 *db) { return options_of(db, "{\"level\":1.5}"); }

oom::Outcome str_array(sqlite3 *db) {
  char **items = nullptr;
  int count = 0;
  char *msg = nullptr;
  int rc =
      parse_str_array(db, "[\"a\",\"bb\",\"ccc\",\"d\",\"e\",\"f\",\"g\",\"h\",\"i\",\"j\"]", &items, &count, &msg);
  std::string text = msg ? msg : "";
  if (rc == SQLITE_OK)
    for (int i = 0; i < count; i++)
      text += std::string(items[i]) + ",";
  str_array_free(items, count);
  sqlite3_free(msg);
  return text_outcome(rc, text);
}

oom::Outcome lookup(sqlite3 *db, const char *id) {
  vornel0_model_row row;
  int rc = vornel0_registry_lookup(db, id, &row);
  std::string text;
  if (rc == SQLITE_OK) {
    text = std::string(row.runtime) + "|" + row.kind + "|" + (row.weights_uri ? row.weights_uri : "NULL") + "|" +
           (row.io_spec ? row.io_spec : "NULL") + "|" + row.license + "|" + row.content_hash + "|" +
           std::to_string(row.weights_len);
  } else if (row.runtime || row.weights || row.weights_len) {
    text = "row not zeroed after a failed lookup";
    rc = -1;
  }
  vornel0_model_row_free(&row);
  return text_outcome(rc, text);
}
oom::Outcome lookup_student(sqlite3 *db) { return lookup(db, "st"); }
oom::Outcome lookup_external(sqlite3 *db) { return lookup(db, "ext"); }
oom::Outcome lookup_unknown(sqlite3 *db) { return lookup(db, "nope"); }

oom::Outcome model_hash(sqlite3 *db) {
  int rc = 0;
  char *hash = vornel0_registry_model_hash(db, "tsb", &rc);
  // An unknown answer must say so, never pass for a free id.
  std::string text = hash ? hash : (rc == SQLITE_OK ? "free" : "");
  sqlite3_free(hash);
  return text_outcome(rc, text);
}

oom::Outcome ensure(sqlite3 *db) {
  char *msg = nullptr;
  int rc = vornel0_registry_ensure(db, &msg);
  std::string text = msg ? msg : "";
  sqlite3_free(msg);
  return text_outcome(rc, text);
}

} // namespace

namespace oom {

const Case CASES[] = {
    // Core utilities.
    {"vornel_version", nullptr, "SELECT vornel_version(), json_extract(vornel_version(), '$.runtimes[0]')", nullptr, 0},
    {"vornel_debug", nullptr, "SELECT length(vornel_debug()) > 0", nullptr, 0},
    {"vornel_ulid", nullptr, "SELECT vornel_ulid('2024-01-01T00:00:00Z'), vornel_ulid('2024-02-29 12:30:00.5')",
     nullptr, 0},
    {"vornel_ulid bad timestamp", nullptr, "SELECT vornel_ulid('2023-02-29')", nullptr, 0},
    {"vornel_ulid over rows",
     "CREATE TABLE t(ts); INSERT INTO t VALUES ('2024-01-01'),('2024-01-02T03:04:05Z'),('2024-03-01 00:00')",
     "SELECT vornel_ulid(ts) FROM t", nullptr, 0},
    {"forecast misuse", nullptr, "SELECT forecast('SELECT 1', 3)", nullptr, 0},
    {"options parse", nullptr, nullptr, options_ok, 0},
    {"options unknown key", nullptr, nullptr, options_unknown, 0},
    {"options bad json", nullptr, nullptr, options_bad_json, 0},
    {"options not an object", nullptr, nullptr, options_not_object, 0},
    {"options callback error", nullptr, nullptr, options_callback_error, 0},
    {"string array", nullptr, nullptr, str_array, 0},
    // Registry and content hashes.
    {"vornel_register on empty db", nullptr, "SELECT vornel_register('m', " REG_CFG ")", nullptr, 0},
    {"vornel_register on registry", REGISTERED, "SELECT vornel_register('m', " REG_CFG ")", nullptr, 0, false,
     MODELS_CHECK},
    {"vornel_register taken id", REGISTERED, "SELECT vornel_register('ext', " REG_CFG ")", nullptr, 0, false,
     MODELS_CHECK},
    {"vornel_register bad kind", REGISTERED,
     "SELECT vornel_register('k', '{\"kind\":\"x\",\"weights_uri\":\"" WEIGHTS "\",\"io_spec\":\"s\"}')", nullptr, 0,
     false, MODELS_CHECK},
    {"vornel_register bare path", REGISTERED, "SELECT vornel_register('b', '  " WEIGHTS "')", nullptr, 0},
    {"vornel_register no io_spec", REGISTERED, "SELECT vornel_register('b', '" WEIGHTS "')", nullptr, 0, false,
     MODELS_CHECK},
    {"vornel_register bad json", REGISTERED, "SELECT vornel_register('j', '{\"runtime\":')", nullptr, 0},
    {"vornel_register bad runtime", REGISTERED, "SELECT vornel_register('j', '{\"runtime\":\"remote\"}')", nullptr, 0},
    {"vornel_register missing file", REGISTERED,
     "SELECT vornel_register('f', '{\"weights_uri\":\"/no/such/file\",\"io_spec\":\"s\"}')", nullptr, 0},
    {"vornel_register requires both", nullptr, "SELECT vornel_register(NULL, 'x')", nullptr, 0},
    {"vornel_register older table",
     "CREATE TABLE _vornel_models (model_id TEXT PRIMARY KEY, kind TEXT, runtime TEXT, weights BLOB, "
     "content_hash TEXT, license TEXT, created_at TEXT)",
     "SELECT vornel_register('m', " REG_CFG ")", nullptr, 0},
    {"vornel_register over rows", REGISTERED "CREATE TABLE ids(id); INSERT INTO ids VALUES ('a'),('b'),('c')",
     "SELECT id, vornel_register(id, " REG_CFG ") FROM ids ORDER BY id", nullptr, 6000},
    {"registry ensure", nullptr, nullptr, ensure, 0},
    {"registry lookup student", STUDENT_ROW, nullptr, lookup_student, 0},
    {"registry lookup external", STUDENT_ROW, nullptr, lookup_external, 0},
    {"registry lookup unknown", STUDENT_ROW, nullptr, lookup_unknown, 0},
    {"registry lookup without table", nullptr, nullptr, lookup_unknown, 0},
    {"registry model hash", REGISTERED, nullptr, model_hash, 0},
    // Forecasting.
    {"forecast auto", SERIES, "SELECT forecast(day, sales, 7) FROM daily WHERE store = 'A'", nullptr, 0, true},
    {"forecast theta grouped", SERIES,
     "SELECT store, forecast(day, sales, 3, '{\"model\":\"theta-classic\",\"confidence_level\":0.8}') FROM daily "
     "GROUP BY store",
     nullptr, 0, true},
    {"forecast tsb", SERIES, "SELECT forecast(day, sales, 5, '{\"model\":\"tsb\"}') FROM daily WHERE store = 'B'",
     nullptr, 0, true},
    {"forecast fill explain", SERIES,
     "SELECT forecast(day, sales, 3, '{\"fill\":\"linear\",\"explain\":true}') FROM daily WHERE day NOT IN "
     "('2024-01-09', '2024-01-10') GROUP BY store",
     nullptr, 0, true},
    {"describe_series", SERIES,
     "SELECT describe_series(day, CASE WHEN day = '2024-01-20' THEN 'x' ELSE sales END) FROM daily WHERE day <> "
     "'2024-01-09' GROUP BY store",
     nullptr, 0, true},
    {"forecast conformal", SERIES,
     "SELECT forecast(day, sales, 4, '{\"model\":\"stub-seasonal-naive\",\"interval_method\":\"conformal\"}') "
     "FROM daily WHERE store = 'A'",
     nullptr, 0, true},
    {"forecast candidates", SERIES,
     "SELECT forecast(day, sales, 7, '{\"candidates\":[\"tsb\",\"stub-seasonal-naive\"]}') FROM daily WHERE store = "
     "'A'",
     nullptr, 0, true},
    {"forecast auto-extended log", SERIES,
     "SELECT forecast(day, sales, 7, '{\"model\":\"auto-extended\",\"transform\":\"log\"}') FROM daily WHERE "
     "store = 'A'",
     nullptr, 0, true},
    {"forecast extended candidates", SERIES,
     "SELECT forecast(day, sales, 7, '{\"candidates\":[\"ets\",\"theta-m3\"]}') FROM daily WHERE store = 'A'", nullptr,
     0, true},
    {"forecast unknown candidate", SERIES REGISTERED,
     "SELECT forecast(day, sales, 7, '{\"candidates\":[\"tsb\",\"my-student\"]}') FROM daily", nullptr, 0},
    {"forecast unknown model", SERIES, "SELECT forecast(day, sales, 7, '{\"model\":\"weekly-v2\"}') FROM daily",
     nullptr, 0},
    {"forecast external model", SERIES REGISTERED, "SELECT forecast(day, sales, 7, '{\"model\":\"ext\"}') FROM daily",
     nullptr, 0},
    {"forecast short series", SERIES, "SELECT forecast(day, sales, 7) FROM daily WHERE day < '2024-01-03'", nullptr, 0},
    {"forecast bad horizon", SERIES, "SELECT forecast(day, sales, 0) FROM daily", nullptr, 0},
    {"forecast bad options", SERIES, "SELECT forecast(day, sales, 7, '{\"folds\":') FROM daily", nullptr, 0},
    {"forecast unknown option", SERIES, "SELECT forecast(day, sales, 7, '{\"horizon\":7}') FROM daily", nullptr, 0},
    // Back-testing.
    {"backtest", SERIES,
     "SELECT fold, model, n, mae, rmse, mase, coverage FROM backtest("
     "'SELECT day, sales FROM daily WHERE store = ''A''', 5, '{\"folds\":3}')",
     nullptr, 0, true},
    {"backtest grouped auto", SERIES,
     "SELECT series_key, model, count(*), avg(mase) FROM backtest('SELECT store, day, sales FROM daily', 3, "
     "'{\"group_cols\":\"store\",\"model\":\"auto\",\"folds\":2}') GROUP BY 1, 2",
     nullptr, 0, true},
    {"backtest log", SERIES,
     "SELECT fold, mae, coverage FROM backtest('SELECT day, sales FROM daily WHERE store = ''A''', 3, "
     "'{\"transform\":\"log\",\"folds\":3}')",
     nullptr, 0, true},
    {"backtest not read-only", SERIES, "SELECT * FROM backtest('DELETE FROM daily', 7)", nullptr, 0},
    {"backtest bad query", SERIES, "SELECT * FROM backtest('SELECT day, qty FROM dialy', 7)", nullptr, 0},
    {"backtest bad options", SERIES,
     "SELECT * FROM backtest('SELECT day, sales FROM daily', 7, '{\"model\":\"arima\"}')", nullptr, 0},
    {"backtest no horizon", SERIES, "SELECT * FROM backtest('SELECT day, sales FROM daily')", nullptr, 0},
    // Anomalies and result expansion.
    {"detect_anomalies", VISITS, "SELECT detect_anomalies(day, n) FROM visits WHERE site = 'A'", nullptr, 0, true},
    {"detect_anomalies log", VISITS,
     "SELECT detect_anomalies(day, n, '{\"transform\":\"log\"}') FROM visits WHERE site = 'A'", nullptr, 0, true},
    {"detect_anomalies sub-pca", VISITS,
     "SELECT detect_anomalies(day, n, '{\"model\":\"sub-pca\",\"anomaly_prob_threshold\":0.95}') FROM visits "
     "WHERE site = 'A'",
     nullptr, 0, true},
    {"detect_anomalies grouped", VISITS, "SELECT site, detect_anomalies(day, n) FROM visits GROUP BY site", nullptr, 0,
     true},
    {"detect_anomalies bad threshold", VISITS,
     "SELECT detect_anomalies(day, n, '{\"anomaly_prob_threshold\":1}') FROM visits", nullptr, 0},
    {"detect_anomalies bad model", VISITS, "SELECT detect_anomalies(day, n, '{\"model\":\"tsb\"}') FROM visits",
     nullptr, 0},
    {"anomaly_rows", VISITS,
     "SELECT ts, value, forecast, lower_bound, upper_bound, is_anomaly, anomaly_probability FROM anomaly_rows(("
     "SELECT detect_anomalies(day, n) FROM visits WHERE site = 'A'))",
     nullptr, 0, true},
    {"forecast_rows", SERIES,
     "SELECT * FROM forecast_rows((SELECT forecast(day, sales, 3) FROM daily WHERE store = 'A'))", nullptr, 0, true},
    {"forecast_rows bad document", nullptr, "SELECT * FROM forecast_rows('{\"rows\":')", nullptr, 0},
    {"anomaly_rows not a document", nullptr, "SELECT * FROM anomaly_rows('[1,2]')", nullptr, 0},
    // Tabular inference.
    {"vornel classify", CLIENTS,
     "SELECT * FROM vornel('SELECT spend, calls, plan, churned FROM clients', 'SELECT id, spend, calls, plan FROM "
     "prospects', '{\"target\":\"churned\"}')",
     nullptr, 0},
    {"vornel regress", CLIENTS,
     "SELECT * FROM vornel('SELECT spend, calls, value FROM clients', 'SELECT id, spend, calls FROM prospects', "
     "'{\"target\":\"value\",\"task\":\"regress\"}')",
     nullptr, 0},
    {"vornel not read-only", CLIENTS,
     "SELECT * FROM vornel('DELETE FROM clients', 'SELECT id, spend FROM prospects', '{\"target\":\"churned\"}')",
     nullptr, 0},
    {"vornel unknown model", CLIENTS,
     "SELECT * FROM vornel(NULL, 'SELECT id, spend FROM prospects', '{\"model\":\"no-such-model\"}')", nullptr, 0},
    {"vornel bad option", CLIENTS,
     "SELECT * FROM vornel('SELECT spend, churned FROM clients', 'SELECT id, spend FROM prospects', "
     "'{\"target\":\"churned\",\"device\":\"gpu\"}')",
     nullptr, 0},
    {"vornel tree student", CHURN STUDENT_TREE,
     "SELECT * FROM vornel(NULL, 'SELECT id, age, calls FROM churn WHERE id > 40', '{\"model\":\"st-tree\"}')", nullptr,
     0},
    {"vornel gbt student", CHURN STUDENT_GBT,
     "SELECT * FROM vornel(NULL, 'SELECT id, age, calls FROM churn WHERE id > 40', '{\"model\":\"st-gbt\"}')", nullptr,
     0},
    // Distillation.
    {"distill_vornel tree", REGISTERED CHURN,
     "SELECT * FROM distill_vornel('SELECT age, calls, churned FROM churn WHERE id <= 40', "
     "'{\"target\":\"churned\",\"student_id\":\"t1\"}')",
     nullptr, 0, false, STUDENTS_CHECK},
    {"distill_vornel regress", REGISTERED CHURN,
     "SELECT * FROM distill_vornel('SELECT age, calls, value FROM churn WHERE id <= 40', "
     "'{\"target\":\"value\",\"task\":\"regress\",\"student_id\":\"t2\"}')",
     nullptr, 0, false, STUDENTS_CHECK},
    {"distill_vornel gbt", REGISTERED CHURN,
     "SELECT * FROM distill_vornel('SELECT age, calls, churned FROM churn WHERE id <= 40', "
     "'{\"target\":\"churned\",\"student_id\":\"g1\",\"student_kind\":\"gbt\"}')",
     nullptr, 6000, false, STUDENTS_CHECK},
    {"distill_vornel mlp", REGISTERED CHURN,
     "SELECT * FROM distill_vornel('SELECT age, calls, churned FROM churn WHERE id <= 40', "
     "'{\"target\":\"churned\",\"student_id\":\"m1\",\"student_kind\":\"mlp\"}')",
     nullptr, 0, false, STUDENTS_CHECK},
    {"distill_vornel teacher", REGISTERED CHURN,
     "SELECT * FROM distill_vornel('SELECT age, calls, churned FROM churn WHERE id <= 40', "
     "'{\"target\":\"churned\",\"student_id\":\"k1\",\"teacher\":\"knn5-incontext\"}')",
     nullptr, 0, false, STUDENTS_CHECK},
    {"distill_vornel existing id", REGISTERED CHURN STUDENT_TREE,
     "SELECT * FROM distill_vornel('SELECT age, calls, churned FROM churn', '{\"target\":\"churned\","
     "\"student_id\":\"st-tree\"}')",
     nullptr, 0, false, STUDENTS_CHECK},
    {"distill_vornel no target", REGISTERED CHURN,
     "SELECT * FROM distill_vornel('SELECT age, calls FROM churn', '{\"target\":\"churned\",\"student_id\":\"x\"}')",
     nullptr, 0, false, STUDENTS_CHECK},
};
const int CASE_COUNT = sizeof CASES / sizeof CASES[0];

} // namespace oom
