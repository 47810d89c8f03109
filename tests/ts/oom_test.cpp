// Allocation failures: the host allocator is wrapped so that every allocation after the N-th
// fails. The models must degrade as documented, and the aggregate must answer or report
// out-of-memory for every N, always returning every byte.
#include "support/failing_alloc.h"
#include "support/harness.h"
#include "ts/ts.h"
#include <cmath>
#include <string>
#include <vector>

TEST(OutOfMemory, ModelsDegradeAndStillAnswer) {
  vt::FailingAllocator fa;
  std::vector<double> y;
  for (int t = 0; t < 60; t++)
    y.push_back(10 + 0.2 * t + 4 * std::sin(2 * M_PI * t / 7));
  const int n = 60, s = 5;
  double sq = 0;
  for (int t = 1; t < n; t++)
    sq += (y[t] - y[t - 1]) * (y[t] - y[t - 1]);
  const double sigma1 = std::sqrt(sq / (n - 1)), drift = (y[n - 1] - y[0]) / (n - 1);
  vt::arm_failures(1, true); // every allocation fails
  EXPECT_EQ(detect_period(y.data(), n), 0);
  // No period, no working copy: theta behaves as seasonal naive without season, whose
  // deviations fall back to sqrt(k) * sigma1.
  double f[s], d[s], g[s], e[s];
  model_seasonal_naive(y.data(), n, s, f, d);
  model_theta(y.data(), n, s, g, e);
  for (int k = 1; k <= s; k++) {
    EXPECT_EQ(f[k - 1], y[n - 1] + k * drift);
    EXPECT_DOUBLE_EQ(d[k - 1], std::sqrt((double)k) * sigma1);
    EXPECT_EQ(g[k - 1], f[k - 1]);
    EXPECT_EQ(e[k - 1], d[k - 1]);
  }
  // TSB falls back to the population spread of the values.
  double sum = 0, sum2 = 0;
  for (double v : y)
    sum += v, sum2 += v * v;
  double var = sum2 / n - (sum / n) * (sum / n);
  model_tsb(y.data(), n, s, f, d);
  for (int k = 0; k < s; k++)
    EXPECT_DOUBLE_EQ(d[k], std::sqrt(var));
  EXPECT_LT(ts_auto_select(y.data(), n, 5, 0, 20, 1.0, nullptr, nullptr), -1);
  vt::fail_plan.armed = false;
}

TEST(OutOfMemory, ForecastAnswersOrReportsForEveryFailurePoint) {
  vt::FailingAllocator fa;
  vt::Db db;
  db.exec("CREATE TABLE s(k, ts, v)");
  db.exec("WITH RECURSIVE t(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM t WHERE i < 79) "
          "INSERT INTO s SELECT i % 2, 1700000000 + (i / 2) * 86400, 5 + (i % 7) + 0.1 * i FROM t");
  db.exec("SELECT * FROM json_each('{}')");
  const char *queries[] = {
      "SELECT forecast(ts, v, 4, '{\"candidates\":[\"tsb\",\"theta-classic\"]}') FROM s GROUP BY k",
      "SELECT forecast(ts, v, 3, '{\"interval_method\":\"conformal\",\"model\":\"theta-classic\"}') FROM s GROUP BY k",
      "SELECT forecast(ts, v, 6) FROM s GROUP BY k",
  };
  for (const char *sql : queries) {
    std::string clean;
    {
      vt::Result r = db.run(sql);
      ASSERT_TRUE(r.ok) << r.error;
      clean = r.text();
    }
    bool finished = false;
    for (int n = 0; n < 2000 && !finished; n++) {
      sqlite3_stmt *settle = nullptr;
      sqlite3_prepare_v2(db.handle(), "SELECT 1 FROM sqlite_schema LIMIT 0", -1, &settle, nullptr);
      sqlite3_finalize(settle);
      sqlite3_int64 before = sqlite3_memory_used();
      vt::arm_failures(n + 1, true); // n allocations succeed, then every one fails
      sqlite3_stmt *st = nullptr;
      std::string out;
      int rc = sqlite3_prepare_v2(db.handle(), sql, -1, &st, nullptr);
      if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
          const char *t = (const char *)sqlite3_column_text(st, 0);
          out += std::string(t ? t : "NULL") + "\n";
        }
      }
      std::string err = sqlite3_errmsg(db.handle());
      sqlite3_finalize(st);
      finished = vt::fail_plan.failed == 0;
      vt::fail_plan.armed = false;
      sqlite3_prepare_v2(db.handle(), "SELECT 1 FROM sqlite_schema LIMIT 0", -1, &settle, nullptr);
      sqlite3_finalize(settle);
      EXPECT_EQ(before, sqlite3_memory_used()) << sql << " failing after " << n;
      if (rc == SQLITE_DONE) {
        // Degraded numbers are allowed; the shape of the answer is not.
        EXPECT_EQ(out.rfind("{\"model\":", 0), 0u) << out;
        if (finished) {
          EXPECT_EQ(out.substr(0, out.size() - 1), clean);
          EXPECT_GT(n, 20) << "the sweep must reach the aggregate's own allocations";
        }
      } else {
        EXPECT_TRUE(err == "out of memory" || err == "VORNEL_ERR_RESOURCE: out of memory") << n << ": " << err;
      }
    }
    EXPECT_TRUE(finished) << sql;
  }
}
