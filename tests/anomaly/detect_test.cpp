// detect_anomalies through SQL: options and model errors, statuses, the document's exact form,
// sub-PCA ranks, and out-of-memory inside the sub-PCA computation.
#include "support/harness.h"
#include "ts/models.h"
#include <cmath>
#include <cstdio>
#include <random>

namespace {

struct AnDb : vt::Db {
  AnDb() {
    // json_each connects once per connection; do it before the memory balance is watched.
    exec("SELECT count(*) FROM json_each('[]')");
    exec("CREATE TABLE pts(g TEXT, ts INTEGER, v REAL)");
  }
  // Inserts values one day apart starting at 2024-01-01 for group g.
  void series(const std::string &g, const std::vector<double> &v) {
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(handle(), "INSERT INTO pts VALUES (?, ?, ?)", -1, &st, nullptr);
    for (size_t i = 0; i < v.size(); i++) {
      sqlite3_bind_text(st, 1, g.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(st, 2, 1704067200 + (int64_t)i * 86400);
      if (std::isnan(v[i]))
        sqlite3_bind_null(st, 3);
      else
        sqlite3_bind_double(st, 3, v[i]);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
  }
  std::string doc(const std::string &g, const std::string &options = "") {
    return one("SELECT detect_anomalies(ts, v" + (options.empty() ? "" : ", '" + options + "'") +
               ") FROM pts WHERE g = '" + g + "'");
  }
};

std::vector<double> wavy(int n, uint64_t seed, double noise_sd = 0.5) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> noise(0, noise_sd);
  std::vector<double> v(n);
  for (int t = 0; t < n; t++)
    v[t] = 20 + 3 * std::sin(2 * M_PI * t / 24) + noise(gen);
  return v;
}

std::string g17(double x) {
  if (!std::isfinite(x)) return "null";
  char buf[40];
  snprintf(buf, sizeof buf, "%.17g", x);
  return buf;
}

} // namespace

TEST(DetectAnomalies, EmptyGroupIsNull) {
  AnDb db;
  EXPECT_EQ(db.one("SELECT detect_anomalies(ts, v) FROM pts"), "NULL");
  EXPECT_EQ(db.one("SELECT detect_anomalies(ts, v, '{\"model\":\"sub-pca\"}') FROM pts"), "NULL");
}

TEST(DetectAnomalies, StatusOnlyDocuments) {
  AnDb db;
  db.series("seven", {1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(db.doc("seven"), "{\"model\":\"theta-classic\",\"status\":\"insufficient_history\",\"rows\":[]}");
  EXPECT_EQ(db.doc("seven", "{\"model\":\"sub-pca\"}"),
            "{\"model\":\"sub-pca\",\"status\":\"insufficient_history\",\"rows\":[]}");
  db.series("gap", {1, 2, 3, NAN, 5, 6, 7, 8, 9, 10});
  EXPECT_EQ(db.doc("gap", "{\"model\":\"stub-seasonal-naive\"}"),
            "{\"model\":\"stub-seasonal-naive\",\"status\":\"non_numeric\",\"rows\":[]}");
  // A REAL time stamp or a text value also makes the series non-numeric.
  EXPECT_EQ(db.one("SELECT json_extract(detect_anomalies(ts, v), '$.status') FROM (SELECT 1.5 AS ts, 1 AS v)"),
            "non_numeric");
  EXPECT_EQ(db.one("SELECT json_extract(detect_anomalies(ts, v), '$.status') FROM "
                   "(SELECT 1 AS ts, 'x' AS v UNION ALL SELECT 2, 3)"),
            "non_numeric");
  // The expanded form of a status-only document is one row of NULLs with the status.
  EXPECT_EQ(db.run("SELECT * FROM anomaly_rows((SELECT detect_anomalies(ts, v) FROM pts WHERE g = 'seven'))").text(),
            "NULL|NULL|NULL|NULL|NULL|NULL|NULL|insufficient_history");
}

TEST(DetectAnomalies, EightPointsAreAllUnscored) {
  AnDb db;
  db.series("a", {3, 1, 4, 1, 5, 9, 2, 6});
  EXPECT_EQ(db.run("SELECT ts, value, forecast, is_anomaly, anomaly_probability, status FROM "
                   "anomaly_rows((SELECT detect_anomalies(ts, v) FROM pts)) LIMIT 2")
                .text(),
            "2024-01-01T00:00:00Z|3.0|NULL|0|0.0|ok\n2024-01-02T00:00:00Z|1.0|NULL|0|0.0|ok");
  EXPECT_EQ(db.one("SELECT count(*) FROM anomaly_rows((SELECT detect_anomalies(ts, v) FROM pts)) "
                   "WHERE forecast IS NULL AND lower_bound IS NULL AND upper_bound IS NULL"),
            "8");
  // Eight points are enough for sub-PCA: window 4, five windows.
  EXPECT_EQ(db.one("SELECT count(DISTINCT anomaly_probability) || ',' || max(anomaly_probability) FROM anomaly_rows("
                   "(SELECT detect_anomalies(ts, v, '{\"model\":\"sub-pca\"}') FROM pts))"),
            "8,1.0");
}

TEST(DetectAnomalies, ContextLimitKeepsTheMostRecent) {
  AnDb db;
  db.series("a", wavy(40, 1));
  EXPECT_EQ(db.run("SELECT ts, forecast, status FROM anomaly_rows("
                   "(SELECT detect_anomalies(ts, v, '{\"context_limit\":3}') FROM pts))")
                .text(),
            "2024-02-07T00:00:00Z|NULL|truncated\n2024-02-08T00:00:00Z|NULL|truncated\n"
            "2024-02-09T00:00:00Z|NULL|truncated");
  EXPECT_EQ(db.one("SELECT json_extract(detect_anomalies(ts, v, '{\"context_limit\":40}'), '$.status') FROM pts"),
            "ok");
  EXPECT_EQ(db.one("SELECT json_extract(detect_anomalies(ts, v, '{\"context_limit\":39}'), '$.status') FROM pts"),
            "truncated");
  // Fewer than 8 points are counted before the limit.
  EXPECT_EQ(db.one("SELECT json_extract(detect_anomalies(ts, v, '{\"context_limit\":3}'), '$.status') "
                   "FROM pts WHERE ts < 1704067200 + 7 * 86400"),
            "insufficient_history");
  // Sub-PCA needs a window of at least 2.
  EXPECT_EQ(db.error("SELECT detect_anomalies(ts, v, '{\"model\":\"sub-pca\",\"context_limit\":3}') FROM pts"),
            "VORNEL_ERR_SCHEMA: series too short for sub-pca (need > 2)");
  EXPECT_EQ(db.one("SELECT json_extract(detect_anomalies(ts, v, '{\"model\":\"sub-pca\",\"context_limit\":4}'), "
                   "'$.status') FROM pts"),
            "truncated");
}

TEST(DetectAnomalies, ConstantSeries) {
  AnDb db;
  db.series("c", std::vector<double>(20, 4.0));
  std::string doc = db.doc("c");
  EXPECT_EQ(doc.find("\"forecast\":1"), std::string::npos);
  EXPECT_EQ(db.one("SELECT count(*) FROM anomaly_rows('" + doc +
                   "') WHERE forecast IS NULL AND is_anomaly = 0 AND anomaly_probability = 0"),
            "20");
  EXPECT_NE(doc.find("{\"ts\":\"2024-01-20T00:00:00Z\",\"value\":4,\"forecast\":null,\"lower_bound\":null,"
                     "\"upper_bound\":null,\"is_anomaly\":0,\"anomaly_probability\":0}]}"),
            std::string::npos);
}

TEST(DetectAnomalies, DocumentFormIsExact) {
  // Seasonal naive without a season on a short series computed here: F[t] = v[t-1] + drift.
  AnDb db;
  std::vector<double> v = {1, 2, 4, 3, 5, 4, 6, 5, 30, 6, 7};
  db.series("a", v);
  const double threshold = 0.9, z = vornel0_norm_quantile(0.5 * threshold + 0.5);
  std::string want = "{\"model\":\"stub-seasonal-naive\",\"status\":\"ok\",\"rows\":[";
  double mean = 0, m2 = 0;
  for (int t = 0; t < (int)v.size(); t++) {
    double f = t == 0 ? v[0] : v[t - 1] + (t >= 2 ? (v[t - 1] - v[0]) / (t - 1) : 0);
    char day[32];
    snprintf(day, sizeof day, "2024-01-%02dT00:00:00Z", t + 1);
    if (t) want += ",";
    want += std::string("{\"ts\":\"") + day + "\",\"value\":" + g17(v[t]);
    double sigma = t >= 2 ? std::sqrt(m2 / (t - 1)) : 0;
    if (t >= 8 && sigma > 0) {
      double prob = std::erf(std::fabs(v[t] - f) / sigma / 1.4142135623730951);
      want += ",\"forecast\":" + g17(f) + ",\"lower_bound\":" + g17(f - z * sigma) +
              ",\"upper_bound\":" + g17(f + z * sigma) + ",\"is_anomaly\":" + (prob > threshold ? "1" : "0") +
              ",\"anomaly_probability\":" + g17(prob) + "}";
    } else {
      want += ",\"forecast\":null,\"lower_bound\":null,\"upper_bound\":null,\"is_anomaly\":0,"
              "\"anomaly_probability\":0}";
    }
    if (t >= 1) {
      double r = v[t] - f, delta = r - mean;
      mean += delta / t;
      m2 += delta * (r - mean);
    }
  }
  want += "]}";
  EXPECT_EQ(db.doc("a", "{\"model\":\"stub-seasonal-naive\",\"anomaly_prob_threshold\":0.9}"), want);
  EXPECT_NE(want.find("\"is_anomaly\":1"), std::string::npos);
}

TEST(DetectAnomalies, UnsortedInputAndGroups) {
  AnDb db;
  std::vector<double> v = wavy(60, 4);
  v[40] += 12;
  db.series("a", v);
  db.series("b", wavy(60, 5));
  db.exec("CREATE TABLE shuffled AS SELECT * FROM pts ORDER BY (ts * 7919) % 60, g");
  EXPECT_EQ(db.one("SELECT detect_anomalies(ts, v) FROM shuffled WHERE g = 'a'"), db.doc("a"));
  EXPECT_EQ(db.run("WITH d AS (SELECT g, detect_anomalies(ts, v) AS doc FROM shuffled GROUP BY g) "
                   "SELECT g, ts, is_anomaly FROM d, anomaly_rows(d.doc) WHERE ts = '2024-02-10T00:00:00Z' ORDER BY g")
                .text(),
            "a|2024-02-10T00:00:00Z|1\nb|2024-02-10T00:00:00Z|0");
}

TEST(DetectAnomalies, InfiniteValueIsNonNumeric) {
  // An infinity cannot be scored: the series is not numeric, under every model.
  AnDb db;
  std::vector<double> v = wavy(20, 2);
  v[12] = -INFINITY;
  db.series("a", v);
  for (const char *model : {"theta-classic", "stub-seasonal-naive", "sub-pca"})
    EXPECT_EQ(db.doc("a", std::string("{\"model\":\"") + model + "\"}"),
              std::string("{\"model\":\"") + model + "\",\"status\":\"non_numeric\",\"rows\":[]}");
}

TEST(DetectAnomalies, ThresholdIsStrict) {
  // Under sub-PCA with 101 points the probabilities are r / 100: the point at exactly 0.99 is
  // not an anomaly, the one at 1 is.
  AnDb db;
  db.series("a", wavy(101, 9));
  EXPECT_EQ(db.run("SELECT anomaly_probability, is_anomaly FROM anomaly_rows((SELECT detect_anomalies(ts, v, "
                   "'{\"model\":\"sub-pca\"}') FROM pts)) WHERE anomaly_probability >= 0.98 "
                   "ORDER BY anomaly_probability")
                .text(),
            "0.98|0\n0.99|0\n1.0|1");
  EXPECT_EQ(db.one("SELECT sum(is_anomaly) FROM anomaly_rows((SELECT detect_anomalies(ts, v, "
                   "'{\"model\":\"sub-pca\",\"anomaly_prob_threshold\":0.98}') FROM pts))"),
            "2");
}

TEST(DetectAnomalies, SubpcaHundredVersusTwoHundred) {
  AnDb db;
  db.series("h", wavy(100, 21));
  db.series("t", wavy(200, 22));
  EXPECT_EQ(db.one("SELECT sum(is_anomaly) FROM anomaly_rows((SELECT detect_anomalies(ts, v, "
                   "'{\"model\":\"sub-pca\"}') FROM pts WHERE g = 'h'))"),
            "1");
  EXPECT_EQ(db.run("SELECT anomaly_probability FROM anomaly_rows((SELECT detect_anomalies(ts, v, "
                   "'{\"model\":\"sub-pca\"}') FROM pts WHERE g = 't')) WHERE is_anomaly ORDER BY 1")
                .text(),
            "0.99497487437185928\n1.0");
  // No forecast or band under sub-PCA.
  EXPECT_EQ(db.one("SELECT count(*) FROM anomaly_rows((SELECT detect_anomalies(ts, v, "
                   "'{\"model\":\"sub-pca\"}') FROM pts WHERE g = 't')) WHERE forecast IS NULL "
                   "AND lower_bound IS NULL AND upper_bound IS NULL AND status = 'ok'"),
            "200");
}

TEST(DetectAnomalies, ModelNames) {
  AnDb db;
  db.series("a", wavy(30, 3));
  auto model = [&](const std::string &opt) {
    return db.one("SELECT json_extract(detect_anomalies(ts, v, '" + opt + "'), '$.model') FROM pts");
  };
  EXPECT_EQ(model("{}"), "theta-classic");
  EXPECT_EQ(model("{\"model\":\"default-ts\"}"), "theta-classic");
  EXPECT_EQ(model("{\"model\":\"theta-classic\"}"), "theta-classic");
  EXPECT_EQ(model("{\"model\":\"stub-seasonal-naive\"}"), "stub-seasonal-naive");
  EXPECT_EQ(model("{\"model\":\"sub-pca\"}"), "sub-pca");
  EXPECT_EQ(model("{\"model\":null}"), "theta-classic");
  EXPECT_EQ(db.doc("a", "{\"model\":\"default-ts\"}"), db.doc("a"));
  EXPECT_EQ(db.error("SELECT detect_anomalies(ts, v, '{\"model\":\"tsb\"}') FROM pts"),
            "VORNEL_ERR_OPTIONS: model not supported for detect_anomalies (use theta-classic, "
            "stub-seasonal-naive, or sub-pca): tsb");
  EXPECT_EQ(db.error("SELECT detect_anomalies(ts, v, '{\"model\":\"THETA-CLASSIC\"}') FROM pts"),
            "VORNEL_ERR_MODEL_NOT_FOUND: no such model: THETA-CLASSIC");
  // The model is resolved before the series is looked at.
  EXPECT_EQ(db.error("SELECT detect_anomalies(ts, v, '{\"model\":\"auto\"}') FROM (SELECT 1.5 AS ts, 1 AS v)"),
            "VORNEL_ERR_MODEL_NOT_FOUND: no such model: auto");
}

TEST(DetectAnomalies, OptionErrors) {
  AnDb db;
  db.series("a", wavy(10, 3));
  auto err = [&](const std::string &opt) { return db.error("SELECT detect_anomalies(ts, v, '" + opt + "') FROM pts"); };
  EXPECT_EQ(err("{\"anomaly_prob_threshold\":1}"), "VORNEL_ERR_THRESHOLD: anomaly_prob_threshold must be in (0,1)");
  EXPECT_EQ(err("{\"anomaly_prob_threshold\":0}"), "VORNEL_ERR_THRESHOLD: anomaly_prob_threshold must be in (0,1)");
  EXPECT_EQ(err("{\"anomaly_prob_threshold\":\"0.5\"}"),
            "VORNEL_ERR_OPTIONS: wrong type for option 'anomaly_prob_threshold'");
  EXPECT_EQ(err("{\"context_limit\":0}"), "VORNEL_ERR_OPTIONS: context_limit must be >= 1");
  EXPECT_EQ(err("{\"context_limit\":2.5}"), "VORNEL_ERR_OPTIONS: wrong type for option 'context_limit'");
  EXPECT_EQ(err("{\"model\":3}"), "VORNEL_ERR_OPTIONS: wrong type for option 'model'");
  EXPECT_EQ(err("{\"confidence_level\":0.9}"), "VORNEL_ERR_OPTIONS: unknown option 'confidence_level'");
  EXPECT_EQ(err("[1]"), "VORNEL_ERR_OPTIONS: options must be a JSON object");
  EXPECT_EQ(err("{"), "VORNEL_ERR_OPTIONS: options is not valid JSON");
  // Options are checked even for a series that would only get a status.
  EXPECT_EQ(db.error("SELECT detect_anomalies(ts, v, '{\"anomaly_prob_threshold\":2}') FROM pts WHERE ts < "
                     "1704067200 + 86400"),
            "VORNEL_ERR_THRESHOLD: anomaly_prob_threshold must be in (0,1)");
  EXPECT_EQ(db.one("SELECT json_extract(detect_anomalies(ts, v, ''), '$.status') FROM pts"), "ok");
  EXPECT_EQ(db.one("SELECT json_extract(detect_anomalies(ts, v, NULL), '$.status') FROM pts"), "ok");
}

TEST(DetectAnomalies, StepErrors) {
  AnDb db;
  EXPECT_EQ(db.error("SELECT detect_anomalies(' with x AS (SELECT 1) SELECT * FROM x', 1)"),
            "VORNEL_ERR_SCHEMA: detect_anomalies does not take a query string; it is an aggregate over your rows: "
            "SELECT detect_anomalies(ts, value[, options]) FROM ...");
  db.series("a", wavy(10, 3));
  EXPECT_EQ(db.error("SELECT detect_anomalies(ts, v, CASE WHEN ts > 1704067200 THEN '{}' END) FROM pts"),
            "VORNEL_ERR_OPTIONS: options must be constant within a group");
}

TEST(DetectAnomalies, OutOfMemoryInsideSubpcaFreesEverything) {
  AnDb db;
  db.series("a", wavy(1500, 8));
  db.exec("CREATE TABLE one AS SELECT ts, v FROM pts");
  sqlite3_int64 base = sqlite3_memory_used();
  int resource = 0, nomem = 0, ok = 0, other = 0;
  // Sweep a hard heap limit across the final's allocations: every outcome is a clean result
  // or a clean out-of-memory error, and the harness checks that nothing is left allocated.
  for (sqlite3_int64 extra = 16 * 1024; extra <= 2048 * 1024; extra += 16 * 1024) {
    sqlite3_hard_heap_limit64(base + extra);
    vt::Result r = db.run("SELECT length(detect_anomalies(ts, v, '{\"model\":\"sub-pca\"}')) FROM one");
    sqlite3_hard_heap_limit64(0);
    if (r.ok) {
      ok++;
    } else if (r.error == "VORNEL_ERR_RESOURCE: out of memory") {
      resource++;
    } else if (r.error == "out of memory") {
      nomem++;
    } else {
      other++;
      ADD_FAILURE() << r.error;
    }
  }
  EXPECT_GT(resource, 0);
  EXPECT_GT(ok, 0);
  EXPECT_EQ(other, 0);
  (void)nomem; // the host's own out-of-memory error, outside the sub-PCA arrays
}

TEST(DetectAnomalies, TimeStampsWithinAndAcrossDays) {
  // Irregular steps of an hour and a bit: the time of day changes every row, the day now and then.
  AnDb db;
  db.exec(
      "INSERT INTO pts SELECT 'h', 1704060000 + value * 3607 + (value % 3) * 59, value % 5 FROM "
      "(WITH RECURSIVE n(value) AS (SELECT 0 UNION ALL SELECT value + 1 FROM n WHERE value < 99) SELECT value FROM n)");
  EXPECT_EQ(db.one("SELECT count(*) FROM anomaly_rows((SELECT detect_anomalies(ts, v) FROM pts)) AS a "
                   "JOIN pts ON a.ts = strftime('%Y-%m-%dT%H:%M:%SZ', pts.ts, 'unixepoch')"),
            "100");
}

TEST(DetectAnomalies, DocumentLongerThanTheLengthLimit) {
  // Reported as too big (the host's own message), not as out of memory.
  AnDb db;
  db.series("a", wavy(100, 6));
  sqlite3_limit(db.handle(), SQLITE_LIMIT_LENGTH, 5000);
  EXPECT_EQ(db.error("SELECT detect_anomalies(ts, v) FROM pts"), "string or blob too big");
  EXPECT_EQ(db.one("SELECT json_extract(detect_anomalies(ts, v, '{\"context_limit\":20}'), '$.status') FROM pts"),
            "truncated");
}

TEST(DetectAnomalies, OutOfMemoryInTheOneStepPathAndTheRowExpansion) {
  // Without sub-PCA the only failure is the host's own out-of-memory error; anomaly_rows gives
  // the same when its row array cannot grow. The harness checks that nothing stays allocated.
  AnDb db;
  db.series("a", wavy(600, 12));
  db.exec(
      "CREATE TABLE one AS SELECT ts, v FROM pts; CREATE TABLE docs AS SELECT detect_anomalies(ts, v) AS d FROM one");
  sqlite3_int64 base = sqlite3_memory_used();
  int ok[2] = {0, 0}, nomem[2] = {0, 0};
  const char *sql[2] = {"SELECT length(detect_anomalies(ts, v)) FROM one",
                        "SELECT count(*), sum(is_anomaly) FROM anomaly_rows((SELECT d FROM docs))"};
  for (int k = 0; k < 2; k++) {
    for (sqlite3_int64 extra = 8 * 1024; extra <= 1024 * 1024; extra += 8 * 1024) {
      sqlite3_hard_heap_limit64(base + extra);
      vt::Result r = db.run(sql[k]);
      sqlite3_hard_heap_limit64(0);
      if (r.ok) {
        ok[k]++;
      } else {
        EXPECT_EQ(r.error, "out of memory") << sql[k];
        nomem[k]++;
      }
    }
    EXPECT_GT(ok[k], 0) << sql[k];
    EXPECT_GT(nomem[k], 0) << sql[k];
  }
}

TEST(DetectAnomalies, HugeValues) {
  // Up to 1e100 in magnitude every spread stays finite: all rows, every probability a number.
  // Beyond it squares could overflow, and the series is not numeric rather than an ok of nulls.
  AnDb db;
  std::vector<double> v = wavy(40, 13);
  for (int t = 20; t < 40; t += 3) v[t] = t % 2 ? 1e100 : -1e100;
  db.series("a", v);
  v[21] = 1.0000000000000002e100;
  db.series("b", v);
  v[21] = 1e300;
  db.series("c", v);
  for (const char *model : {"theta-classic", "stub-seasonal-naive", "sub-pca"}) {
    const std::string opts = std::string("{\"model\":\"") + model + "\"}";
    std::string doc = db.doc("a", opts);
    EXPECT_EQ(db.one("SELECT count(*) FROM anomaly_rows('" + doc + "') WHERE anomaly_probability BETWEEN 0 AND 1 "
                     "AND value IS NOT NULL AND (forecast IS NULL) = (lower_bound IS NULL)"),
              "40")
        << model;
    EXPECT_NE(doc.find("\"value\":1e+100"), std::string::npos) << model;
    for (const char *group : {"b", "c"})
      EXPECT_EQ(db.doc(group, opts), "{\"model\":\"" + std::string(model) + "\",\"status\":\"non_numeric\",\"rows\":[]}");
  }
}
