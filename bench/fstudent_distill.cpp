// Timing driver for forecast students.
//   W9: distill_forecast on 1,000 windows, context 64, horizon 14, 3 quantile levels,
//       hidden 256, 1,500 epochs.
//   Auto: the forecast aggregate in automatic mode over 1,000 series x 365 points, horizon 14,
//       with no registered student and then with 5 registered students.
// It loads build/vornel.so into a connection and times real SQL on generated data.
// Usage: bench_fstudent_distill [epochs for W9 (default 1500)] [skip-auto]
#include "bench_util.h"
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace {

double now_s() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double cpu_s() { return (double)std::clock() / CLOCKS_PER_SEC; }

struct Rng {
  uint64_t s;
  double uniform() {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return (double)(s >> 11) / 9007199254740992.0;
  }
  double normal() { return std::sqrt(-2 * std::log(uniform() + 1e-300)) * std::cos(2 * M_PI * uniform()); }
};

std::vector<double> make_series(int id, int n) {
  Rng rng{(uint64_t)id * 7919 + 17};
  std::vector<double> y(n);
  double level = 50 + 20 * rng.uniform(), trend = 0.05 * rng.uniform(), amp = 5 + 5 * rng.uniform();
  for (int t = 0; t < n; t++)
    y[t] = level + trend * t + amp * std::sin(2 * M_PI * t / 7) + 2 * rng.normal();
  return y;
}

using bench::check;

// Windows: 64 context values, then for 14 steps the value -2, +0, +2 (a teacher's 0.1, 0.5,
// 0.9 quantiles around the actual path).
void fill_windows(sqlite3 *db, const char *table, int windows, int L, int E, int seed) {
  std::string cols;
  for (int i = 0; i < L + 3 * E; i++)
    cols += (i ? ",c" : "c") + std::to_string(i);
  check(
      sqlite3_exec(
          db,
          ("DROP TABLE IF EXISTS " + std::string(table) + "; CREATE TABLE " + table + "(" + cols + "); BEGIN").c_str(),
          0, 0, 0),
      db, "create windows");
  std::string ins = std::string("INSERT INTO ") + table + " VALUES (";
  for (int i = 0; i < L + 3 * E; i++)
    ins += i ? ",?" : "?";
  ins += ")";
  sqlite3_stmt *st = nullptr;
  check(sqlite3_prepare_v2(db, ins.c_str(), -1, &st, nullptr), db, "prepare windows");
  for (int w = 0; w < windows; w++) {
    std::vector<double> y = make_series(seed + w / 10, L + E + 10);
    int off = w % 10;
    for (int i = 0; i < L; i++)
      sqlite3_bind_double(st, i + 1, y[off + i]);
    for (int s = 0; s < E; s++)
      for (int q = 0; q < 3; q++)
        sqlite3_bind_double(st, L + 3 * s + q + 1, y[off + L + s] + 2.0 * (q - 1));
    check(sqlite3_step(st), db, "insert window");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  check(sqlite3_exec(db, "COMMIT", 0, 0, 0), db, "commit");
}

double distill(sqlite3 *db, const char *table, const char *id, int epochs, double *cpu, std::string *row) {
  char sql[400];
  std::snprintf(sql, sizeof sql,
                "SELECT model_id, train_rows, train_rmse FROM distill_forecast('SELECT * FROM %s', "
                "'{\"context\":64,\"horizon\":14,\"student_id\":\"%s\",\"hidden\":256,\"epochs\":%d,"
                "\"quantiles\":[0.1,0.5,0.9]}')",
                table, id, epochs);
  sqlite3_stmt *st = nullptr;
  check(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), db, "prepare distill");
  double t0 = now_s(), c0 = cpu_s();
  int rc = sqlite3_step(st);
  double t = now_s() - t0;
  *cpu = cpu_s() - c0;
  check(rc, db, "distill");
  if (rc == SQLITE_ROW && row) {
    char buf[200];
    std::snprintf(buf, sizeof buf, "%s, %d windows, train_rmse %.4f", sqlite3_column_text(st, 0),
                  sqlite3_column_int(st, 1), sqlite3_column_double(st, 2));
    *row = buf;
  }
  sqlite3_finalize(st);
  if (row) {
    // The stored blob's content hash: a change of training arithmetic shows up here.
    std::string q = std::string("SELECT content_hash FROM _vornel_models WHERE model_id = '") + id + "'";
    check(sqlite3_prepare_v2(db, q.c_str(), -1, &st, nullptr), db, "prepare hash");
    if (sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char *h = sqlite3_column_text(st, 0);
      *row += std::string(", hash ") + (h ? (const char *)h : "NULL");
    }
    sqlite3_finalize(st);
  }
  return t;
}

void fill_series(sqlite3 *db, int series, int n) {
  check(sqlite3_exec(db, "DROP TABLE IF EXISTS s; CREATE TABLE s(k INTEGER, ts INTEGER, v REAL); BEGIN", 0, 0, 0), db,
        "create");
  sqlite3_stmt *ins = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO s VALUES (?, ?, ?)", -1, &ins, nullptr), db, "prepare");
  for (int k = 0; k < series; k++) {
    std::vector<double> y = make_series(10000 + k, n);
    bench::insert_series(db, ins, k, y, 86400);
  }
  sqlite3_finalize(ins);
  check(sqlite3_exec(db, "COMMIT", 0, 0, 0), db, "commit");
}

// Times automatic mode over every series; counts the documents won by a student.
double run_auto(sqlite3 *db, int *student_wins, double *cpu) {
  sqlite3_stmt *st = nullptr;
  check(
      sqlite3_prepare_v2(db, "SELECT json_extract(forecast(ts, v, 14), '$.model') FROM s GROUP BY k", -1, &st, nullptr),
      db, "prepare forecast");
  double t0 = now_s(), c0 = cpu_s();
  int rc;
  *student_wins = 0;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const char *m = (const char *)sqlite3_column_text(st, 0);
    if (m && m[0] == 'f' && m[1] == 's') (*student_wins)++;
  }
  double t = now_s() - t0;
  *cpu = cpu_s() - c0;
  check(rc, db, "forecast");
  sqlite3_finalize(st);
  return t;
}

} // namespace

int main(int argc, char **argv) {
  int epochs = argc > 1 ? std::atoi(argv[1]) : 1500;
  bool skip_auto = argc > 2;
  sqlite3 *db = nullptr;
  sqlite3_open(":memory:", &db);
  sqlite3_enable_load_extension(db, 1);
  char *err = nullptr;
  if (sqlite3_load_extension(db, VORNEL_SO_PATH, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "load: %s\n", err ? err : "?");
    return 1;
  }
  fill_windows(db, "w9", 1000, 64, 14, 1);
  double cpu = 0;
  std::string row;
  double t = distill(db, "w9", "w9-student", epochs, &cpu, &row);
  std::printf("W9: 1000 windows, context 64, horizon 14, 3 levels, hidden 256, %d epochs: %.2f s wall, %.2f s CPU "
              "(target 10 s at 1500 epochs): %s\n",
              epochs, t, cpu, row.c_str());
  if (skip_auto) return 0;

  fill_series(db, 1000, 365);
  int wins = 0;
  double base_cpu = 0, with_cpu = 0;
  double base = run_auto(db, &wins, &base_cpu);
  // Five students of the W9 shape, each from its own windows; a few epochs suffice here, as
  // inference costs the same whatever the training length.
  for (int i = 0; i < 5; i++) {
    char table[16], id[16];
    std::snprintf(table, sizeof table, "fw%d", i);
    std::snprintf(id, sizeof id, "fs%d", i);
    fill_windows(db, table, 200, 64, 14, 100 * (i + 1));
    distill(db, table, id, 30, &cpu, nullptr);
  }
  double with = run_auto(db, &wins, &with_cpu);
  std::printf("Auto: 1000 series x 365 points, horizon 14: without students %.3f s wall, %.3f s CPU; with 5 "
              "registered students %.3f s wall, %.3f s CPU (x%.2f CPU; %d documents won by a student)\n",
              base, base_cpu, with, with_cpu, with_cpu / base_cpu, wins);
  sqlite3_close(db);
  return 0;
}
