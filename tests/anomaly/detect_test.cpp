// detect_anomalies against computations written here: the document's exact form, context
// limits, sub-PCA ranks, huge values and out-of-memory sweeps (statuses, model names and option
// errors are in tests/sql/anomaly.test).
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
  for (int t = 20; t < 40; t += 3)
    v[t] = t % 2 ? 1e100 : -1e100;
  db.series("a", v);
  v[21] = 1.0000000000000002e100;
  db.series("b", v);
  v[21] = 1e300;
  db.series("c", v);
  for (const char *model : {"theta-classic", "stub-seasonal-naive", "sub-pca"}) {
    const std::string opts = std::string("{\"model\":\"") + model + "\"}";
    std::string doc = db.doc("a", opts);
    EXPECT_EQ(db.one("SELECT count(*) FROM anomaly_rows('" + doc +
                     "') WHERE anomaly_probability BETWEEN 0 AND 1 "
                     "AND value IS NOT NULL AND (forecast IS NULL) = (lower_bound IS NULL)"),
              "40")
        << model;
    EXPECT_NE(doc.find("\"value\":1e+100"), std::string::npos) << model;
    for (const char *group : {"b", "c"})
      EXPECT_EQ(db.doc(group, opts),
                "{\"model\":\"" + std::string(model) + "\",\"status\":\"non_numeric\",\"rows\":[]}");
  }
}
