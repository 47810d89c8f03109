// Timing driver for detect_anomalies on generated series:
//   W3a: 1,000 series x 365 daily points, one-step theta-classic (the default model)
//   W3b: 100 series x 2,000 points with period 24, sub-pca (window 24)
//   W3c: one series of 4,096 points with period 300, sub-pca (window 300)
// It loads build/vornel.so into a connection and times the whole GROUP BY statement (best of
// the repeats), then times the Jacobi step of W3c alone through the statically linked copy.
// Usage: bench_anomaly_detect [repeats [workloads]], workloads a subset of "abcj" (default all).
#include "bench_util.h"
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sqlite3.h>
#include <vector>

// From the statically linked copy.
int subpca_jacobi(double *a, double *vt, int n);
int detect_period(const double *y, int n);

namespace {

double now_s() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

using bench::Rng;

// Level, trend, a season of the given period, noise, a few spikes and one level shift. A long
// season is a random profile repeated (a smooth one would make period detection find the first
// small lags instead).
std::vector<double> make_series(int id, int n, int period) {
  Rng rng{(uint64_t)id * 7919 + 17};
  std::vector<double> y(n);
  if (period > 100) {
    std::vector<double> profile(period);
    for (double &x : profile)
      x = rng.normal();
    for (int t = 0; t < n; t++)
      y[t] = 50 + 5 * profile[t % period] + 0.3 * rng.normal();
    for (int t = 700; t < n; t += 900)
      y[t] += 25;
    return y;
  }
  double level = 50 + 20 * rng.uniform(), trend = 0.02 * rng.uniform(), amp = 5 + 5 * rng.uniform();
  int shift_at = n / 2 + (int)(rng.uniform() * n / 4);
  for (int t = 0; t < n; t++) {
    y[t] = level + trend * t + amp * std::sin(2 * M_PI * t / period) + rng.normal();
    if (t >= shift_at) y[t] += 8;
    if (rng.uniform() < 0.005) y[t] += 15 + 10 * rng.uniform();
  }
  return y;
}

using bench::check;

void fill(sqlite3 *db, int series, int n, int period) {
  check(sqlite3_exec(db, "DROP TABLE IF EXISTS s; CREATE TABLE s(k INTEGER, ts INTEGER, v REAL); BEGIN", 0, 0, 0), db,
        "create");
  sqlite3_stmt *ins = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO s VALUES (?, ?, ?)", -1, &ins, nullptr), db, "prepare");
  for (int k = 0; k < series; k++) {
    std::vector<double> y = make_series(k, n, period);
    bench::insert_series(db, ins, k, y, 3600);
  }
  sqlite3_finalize(ins);
  check(sqlite3_exec(db, "COMMIT", 0, 0, 0), db, "commit");
}

// Runs the statement; returns the elapsed seconds and the total document length.
double run(sqlite3 *db, const char *options, long long *out_bytes) {
  char sql[200];
  std::snprintf(sql, sizeof sql, "SELECT detect_anomalies(ts, v%s) FROM s GROUP BY k", options);
  sqlite3_stmt *st = nullptr;
  check(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), db, "prepare detect_anomalies");
  double t0 = now_s();
  int rc;
  long long bytes = 0;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW)
    bytes += sqlite3_column_bytes(st, 0);
  double t1 = now_s();
  check(rc, db, "detect_anomalies");
  sqlite3_finalize(st);
  *out_bytes = bytes;
  return t1 - t0;
}

void workload(sqlite3 *db, const char *name, int series, int n, int period, const char *model, int repeats,
              double target) {
  char options[64] = "";
  if (model[0] != 't') std::snprintf(options, sizeof options, ", '{\"model\":\"%s\"}'", model);
  fill(db, series, n, period);
  double best = 1e9;
  long long bytes = 0;
  for (int r = 0; r < repeats; r++) {
    double t = run(db, options, &bytes);
    if (t < best) best = t;
  }
  // The same grouping with a trivial aggregate: what the host spends scanning and sorting.
  double floor = 1e9;
  for (int r = 0; r < repeats; r++) {
    sqlite3_stmt *st = nullptr;
    check(sqlite3_prepare_v2(db, "SELECT count(ts), sum(v) FROM s GROUP BY k", -1, &st, nullptr), db, "prepare");
    double t0 = now_s();
    while (sqlite3_step(st) == SQLITE_ROW) {
    }
    double t = now_s() - t0;
    sqlite3_finalize(st);
    if (t < floor) floor = t;
  }
  std::printf("%s: %d series x %d points, period %d, %s: %.3f s (target %.1f s), %.1f us/series, %.1f MB of "
              "documents; the GROUP BY with count and sum alone takes %.3f s\n",
              name, series, n, period, model, best, target, 1e6 * best / series, bytes / 1e6, floor);
}

// The Jacobi step of W3c alone: the standardised-window covariance of the W3c series.
void jacobi_alone(int n, int L) {
  std::vector<double> v = make_series(0, n, L);
  int K = n - L + 1;
  std::vector<double> mean(L), sd(L), a((size_t)L * L, 0), vt((size_t)L * L);
  for (int j = 0; j < L; j++) {
    double s = 0, q = 0;
    for (int i = 0; i < K; i++)
      s += v[i + j], q += v[i + j] * v[i + j];
    mean[j] = s / K;
    double var = q / K - mean[j] * mean[j];
    sd[j] = var > 1e-12 ? std::sqrt(var) : 1;
  }
  std::vector<double> z(L);
  for (int i = 0; i < K; i++) {
    for (int j = 0; j < L; j++)
      z[j] = (v[i + j] - mean[j]) / sd[j];
    for (int j = 0; j < L; j++)
      for (int k = j; k < L; k++)
        a[(size_t)j * L + k] += z[j] * z[k];
  }
  for (int j = 0; j < L; j++)
    for (int k = j; k < L; k++)
      a[(size_t)k * L + j] = a[(size_t)j * L + k] /= (K - 1);
  double t0 = now_s();
  int sweeps = subpca_jacobi(a.data(), vt.data(), L);
  double t1 = now_s();
  std::printf("  W3c Jacobi alone: detected period %d, L = %d, %d sweeps, %.3f s\n", detect_period(v.data(), n), L,
              sweeps, t1 - t0);
}

} // namespace

int main(int argc, char **argv) {
  int repeats = argc > 1 ? std::atoi(argv[1]) : 3;
  if (repeats < 1) repeats = 1;
  // The statically linked copy needs the host's routine table for its allocations.
  bench::init_static_copy();

  sqlite3 *db = bench::open_loaded();
  if (!db) return 1;
  const char *which = argc > 2 ? argv[2] : "abcj";
  if (std::strchr(which, 'a')) workload(db, "W3a", 1000, 365, 7, "theta-classic", repeats, 0.5);
  if (std::strchr(which, 'b')) workload(db, "W3b", 100, 2000, 24, "sub-pca", repeats, 0.3);
  if (std::strchr(which, 'c')) workload(db, "W3c", 1, 4096, 300, "sub-pca", repeats, 0.5);
  if (std::strchr(which, 'j')) jacobi_alone(4096, 300);
  sqlite3_close(db);
  return 0;
}
