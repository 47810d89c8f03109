// Timing driver for the forecast aggregate in automatic mode, on generated daily series:
//   W1: 1,000 series x 365 points, horizon 14 (weekly season, trend, noise, some intermittent)
//   W2: 100 series x 4,096 points, horizon 28
// It loads build/vornel.so into a connection and times the whole GROUP BY statement, then
// times period detection alone on the same prefixes (through the statically linked copy) to
// show its share of the work. Usage: bench_forecast_auto [repeats]
#include "bench_util.h"
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sqlite3.h>
#include <vector>

// From the statically linked copy (its header would route these host calls through the
// extension's routine table).
int detect_period(const double *y, int n);
int ts_fold_count(int64_t n, int64_t h, int64_t g, int F);
int64_t ts_fold_cut(int64_t n, int64_t h, int64_t g, int k, int i);
constexpr int TS_MODEL_COUNT = 3;
const char *const MODEL_NAMES[TS_MODEL_COUNT] = {"stub-seasonal-naive", "theta-classic", "tsb"};

namespace {

// Processor time of this process: on a shared machine it varies far less than wall time.
double now_s() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

using bench::Rng;

// Every fifth series is intermittent demand; the rest have trend, weekly season and noise.
std::vector<double> make_series(int id, int n) {
  Rng rng{(uint64_t)id * 7919 + 17};
  std::vector<double> y(n);
  bool intermittent = id % 5 == 4;
  double level = 50 + 20 * rng.uniform(), trend = 0.05 * rng.uniform(), amp = 5 + 5 * rng.uniform();
  for (int t = 0; t < n; t++) {
    if (intermittent)
      y[t] = rng.uniform() < 0.15 ? std::floor(1 + 6 * rng.uniform()) : 0;
    else
      y[t] = level + trend * t + amp * std::sin(2 * M_PI * t / 7) + 2 * rng.normal();
  }
  return y;
}

using bench::check;

void fill(sqlite3 *db, int series, int n) {
  check(sqlite3_exec(db, "DROP TABLE IF EXISTS s; CREATE TABLE s(k INTEGER, ts INTEGER, v REAL); BEGIN", 0, 0, 0), db,
        "create");
  sqlite3_stmt *ins = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO s VALUES (?, ?, ?)", -1, &ins, nullptr), db, "prepare");
  for (int k = 0; k < series; k++) {
    std::vector<double> y = make_series(k, n);
    bench::insert_series(db, ins, k, y, 86400);
  }
  sqlite3_finalize(ins);
  check(sqlite3_exec(db, "COMMIT", 0, 0, 0), db, "commit");
}

// Runs the statement and returns the elapsed seconds; counts documents naming each model.
double run_forecast(sqlite3 *db, int horizon, int *models_seen) {
  char sql[200];
  std::snprintf(sql, sizeof sql, "SELECT json_extract(forecast(ts, v, %d), '$.model') FROM s GROUP BY k", horizon);
  sqlite3_stmt *st = nullptr;
  check(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), db, "prepare forecast");
  double t0 = now_s();
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const char *m = (const char *)sqlite3_column_text(st, 0);
    for (int i = 0; i < TS_MODEL_COUNT; i++)
      if (m && std::strcmp(m, MODEL_NAMES[i]) == 0) models_seen[i]++;
  }
  double t1 = now_s();
  check(rc, db, "forecast");
  sqlite3_finalize(st);
  return t1 - t0;
}

// Period detection written as the plain one-lag-at-a-time loop, for the speed-up figure.
int scalar_period(const double *y, int n) {
  int L = n < 734 ? n / 2 : 366;
  double st = 0, sy = 0, sty = 0, stt = 0;
  for (int t = 0; t < n; t++)
    st += t, sy += y[t], sty += (double)t * y[t], stt += (double)t * t;
  double den = n * stt - st * st;
  double b = den != 0 ? (n * sty - st * sy) / den : 0, a = (sy - b * st) / n;
  std::vector<double> r(n), ac(n + 2, 0);
  double D = 0;
  for (int t = 0; t < n; t++)
    r[t] = y[t] - (a + b * t), D += r[t] * r[t];
  if (!(D > 0)) return 0;
  for (int k = 1; k < n && k <= L + 1; k++) {
    double sum = 0;
    for (int t = k; t < n; t++)
      sum += r[t - k] * r[t];
    ac[k] = sum / D;
  }
  int best = 0;
  double bv = 0.3;
  for (int p = 2; p <= L && p + 1 < n; p++)
    if (ac[p - 1] < ac[p] && ac[p + 1] <= ac[p] && ac[p] > bv) bv = ac[p], best = p;
  return best;
}

// The period detections the statement makes: one per fold prefix (shared by the two seasonal
// models), and one per seasonal fit of the winner on the whole series (counted once).
double time_periods(int series, int n, int horizon, int (*detect)(const double *, int)) {
  double total = 0;
  int sink = 0;
  for (int k = 0; k < series; k++) {
    std::vector<double> y = make_series(k, n);
    int folds = ts_fold_count(n, horizon, 0, 20);
    double t0 = now_s();
    for (int i = 0; i < folds; i++)
      sink += detect(y.data(), (int)ts_fold_cut(n, horizon, 0, folds, i));
    sink += detect(y.data(), n);
    total += now_s() - t0;
  }
  if (sink == -1) std::printf(" ");
  return total;
}

void workload(sqlite3 *db, const char *name, int series, int n, int horizon, int repeats, double target) {
  fill(db, series, n);
  double best = 1e9;
  int seen[TS_MODEL_COUNT] = {0, 0, 0};
  for (int r = 0; r < repeats; r++) {
    int s2[TS_MODEL_COUNT] = {0, 0, 0};
    double t = run_forecast(db, horizon, s2);
    if (t < best) best = t;
    for (int i = 0; i < TS_MODEL_COUNT; i++)
      seen[i] = s2[i];
  }
  double periods = time_periods(series, n, horizon, detect_period);
  double scalar = time_periods(series, n, horizon, scalar_period);
  std::printf("%s: %d series x %d points, horizon %d, auto: %.3f s (target %.1f s), %.1f us/series; "
              "period detection %.3f s (%.0f %%; the plain loop takes %.3f s, %.1fx); "
              "chosen: seasonal-naive %d, theta %d, tsb %d\n",
              name, series, n, horizon, best, target, 1e6 * best / series, periods, 100 * periods / best, scalar,
              scalar / periods, seen[0], seen[1], seen[2]);
}

} // namespace

int main(int argc, char **argv) {
  int repeats = argc > 1 ? std::atoi(argv[1]) : 3;
  if (repeats < 1) repeats = 1;
  // The statically linked copy (used for the period timing) needs the host's routine table.
  bench::init_static_copy();

  sqlite3 *db = bench::open_loaded();
  if (!db) return 1;
  workload(db, "W1", 1000, 365, 14, repeats, 0.5);
  workload(db, "W2", 100, 4096, 28, repeats, 1.0);
  sqlite3_close(db);
  return 0;
}
