// Timing driver for describe_series and the fill option on 1,000 daily series x 365 points
// (trend, weekly season, noise; nothing missing):
//   describe_series(ts, v) ... GROUP BY k against a plain count(*) ... GROUP BY k;
//   forecast(ts, v, 14) in automatic mode with and without '{"fill":"linear"}'.
// Each pair runs back to back, repeated; the best processor time of each is reported.
// Usage: bench_time_describe_fill [repeats]
#include "bench_util.h"
#include <cstring>

namespace {

std::vector<double> make_series(int id, int n) {
  bench::Rng rng{(uint64_t)id * 104729 + 3};
  std::vector<double> y(n);
  double level = 50 + 20 * rng.uniform(), trend = 0.05 * rng.uniform(), amp = 5 + 5 * rng.uniform();
  for (int t = 0; t < n; t++)
    y[t] = level + trend * t + amp * std::sin(2 * M_PI * t / 7) + 2 * rng.normal();
  return y;
}

void fill_table(sqlite3 *db, int series, int n) {
  bench::check(sqlite3_exec(db, "CREATE TABLE s(k INTEGER, ts INTEGER, v REAL); BEGIN", 0, 0, 0), db, "create");
  sqlite3_stmt *ins = nullptr;
  bench::check(sqlite3_prepare_v2(db, "INSERT INTO s VALUES (?, ?, ?)", -1, &ins, nullptr), db, "prepare");
  for (int k = 0; k < series; k++)
    bench::insert_series(db, ins, k, make_series(k, n), 86400);
  sqlite3_finalize(ins);
  bench::check(sqlite3_exec(db, "COMMIT", 0, 0, 0), db, "commit");
}

// Processor seconds of one run of sql; *rows gets the rows it returned.
double run(sqlite3 *db, const char *sql, int *rows) {
  sqlite3_stmt *st = nullptr;
  bench::check(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), db, sql);
  double t0 = bench::cpu_seconds();
  int rc, count = 0;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW)
    count++;
  double t1 = bench::cpu_seconds();
  bench::check(rc, db, sql);
  sqlite3_finalize(st);
  *rows = count;
  return t1 - t0;
}

// Best times of two statements run alternately.
void pair(sqlite3 *db, const char *a, const char *b, int repeats, double *best_a, double *best_b) {
  *best_a = *best_b = 1e9;
  int rows_a = 0, rows_b = 0;
  for (int r = 0; r < repeats; r++) {
    double ta = run(db, a, &rows_a), tb = run(db, b, &rows_b);
    if (ta < *best_a) *best_a = ta;
    if (tb < *best_b) *best_b = tb;
  }
  if (rows_a != rows_b) std::fprintf(stderr, "row counts differ: %d vs %d\n", rows_a, rows_b);
}

} // namespace

int main(int argc, char **argv) {
  int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
  if (repeats < 1) repeats = 1;
  sqlite3 *db = bench::open_loaded();
  if (!db) return 1;
  fill_table(db, 1000, 365);
  double count_s, describe_s, plain_s, fill_s;
  pair(db, "SELECT k, count(*) FROM s GROUP BY k", "SELECT k, describe_series(ts, v) FROM s GROUP BY k", repeats,
       &count_s, &describe_s);
  std::printf("describe_series: 1000 series x 365 points: count(*) %.3f s, describe_series %.3f s (%.2fx; "
              "limit 2x)\n",
              count_s, describe_s, describe_s / count_s);
  pair(db, "SELECT forecast(ts, v, 14) FROM s GROUP BY k",
       "SELECT forecast(ts, v, 14, '{\"fill\":\"linear\"}') FROM s GROUP BY k", repeats, &plain_s, &fill_s);
  std::printf("fill: forecast auto %.3f s, with fill linear %.3f s (%+.1f %%; limit +10 %%)\n", plain_s, fill_s,
              100 * (fill_s / plain_s - 1));
  sqlite3_close(db);
  return 0;
}
