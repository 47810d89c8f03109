// Timing driver for distill_vornel: trains each student kind on generated data through real
// SQL on a connection with the built extension loaded.
//   W6 tree: 50,000 rows x 16 features, 5 classes
//   W7 gbt:  20,000 rows x 16 features, 3 classes (600 trees)
//   W8 mlp:  20,000 rows x 16 features, 3 classes, width 48, 400 epochs
// Usage: bench_distill_students [w6] [w7] [w8]   (all three when none is named)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <sqlite3.h>
#include <string>

namespace {

void must(int rc, sqlite3 *db, const char *what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// Table name(f0..f15 REAL, y TEXT): class from a noisy sum of sines of the features.
void make_table(sqlite3 *db, const char *name, int rows, int classes, unsigned seed) {
  std::string ddl = std::string("CREATE TABLE ") + name + "(";
  for (int f = 0; f < 16; f++)
    ddl += "f" + std::to_string(f) + " REAL, ";
  ddl += "y TEXT)";
  must(sqlite3_exec(db, ddl.c_str(), nullptr, nullptr, nullptr), db, "create");
  std::string ins = std::string("INSERT INTO ") + name + " VALUES(";
  for (int f = 0; f < 16; f++)
    ins += "?,";
  ins += "?)";
  sqlite3_stmt *st = nullptr;
  must(sqlite3_prepare_v2(db, ins.c_str(), -1, &st, nullptr), db, "prepare insert");
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> U(-3, 3);
  std::normal_distribution<double> N(0, 0.3);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  char label[16];
  for (int i = 0; i < rows; i++) {
    double s = 0;
    for (int f = 0; f < 16; f++) {
      double v = U(rng);
      if (f < 6) s += std::sin(v * (1 + f * 0.3));
      sqlite3_bind_double(st, f + 1, std::round(v * 1000) / 1000);
    }
    int c = (int)std::floor((s + N(rng) + 6.0) / 12.0 * classes);
    c = c < 0 ? 0 : c >= classes ? classes - 1 : c;
    std::snprintf(label, sizeof label, "c%d", c);
    sqlite3_bind_text(st, 17, label, -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

// Wall-clock seconds of one statement; *cpu receives the process CPU seconds it used (the
// machine may be shared, so both are shown).
double seconds_of(sqlite3 *db, const std::string &sql, std::string *out, double *cpu = nullptr) {
  auto t0 = std::chrono::steady_clock::now();
  std::clock_t c0 = std::clock();
  sqlite3_stmt *st = nullptr;
  must(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, sql.c_str());
  int rc = sqlite3_step(st);
  must(rc, db, sql.c_str());
  if (rc == SQLITE_ROW && out) {
    const unsigned char *t = sqlite3_column_text(st, 0);
    *out = t ? (const char *)t : "NULL";
  }
  sqlite3_finalize(st);
  if (cpu) *cpu = (double)(std::clock() - c0) / CLOCKS_PER_SEC;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void run(sqlite3 *db, const char *label, const char *table, int rows, int classes, const char *kind) {
  make_table(db, table, rows, classes, 42);
  std::string wrap;
  double t_wrap =
      seconds_of(db,
                 std::string("SELECT count(*) FROM (SELECT (row_number() OVER ()) AS _rid, * FROM (SELECT * FROM ") +
                     table + ") ORDER BY _rid)",
                 &wrap);
  std::string metric;
  double cpu = 0;
  double t =
      seconds_of(db,
                 std::string("SELECT holdout_metric FROM distill_vornel('SELECT * FROM ") + table +
                     "', '{\"target\":\"y\",\"student_id\":\"" + table + "\",\"student_kind\":\"" + kind + "\"}')",
                 &metric, &cpu);
  std::string hash;
  seconds_of(db, std::string("SELECT content_hash FROM _vornel_models WHERE model_id = '") + table + "'", &hash);
  std::printf("%s %-4s rows=%d features=16 classes=%d: %.3f s wall, %.3f s cpu (holdout accuracy %s; wrapper "
              "query alone %.3f s; hash %.16s)\n",
              label, kind, rows, classes, t, cpu, metric.c_str(), t_wrap, hash.c_str());
}

} // namespace

int main(int argc, char **argv) {
  sqlite3 *db = nullptr;
  sqlite3_open(":memory:", &db);
  sqlite3_enable_load_extension(db, 1);
  char *err = nullptr;
  if (sqlite3_load_extension(db, VORNEL_SO_PATH, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "load: %s\n", err ? err : "?");
    return 1;
  }
  bool all = argc < 2;
  auto want = [&](const char *w) {
    for (int i = 1; i < argc; i++)
      if (std::strcmp(argv[i], w) == 0) return true;
    return all;
  };
  if (want("w6")) run(db, "W6", "w6", 50000, 5, "tree");
  if (want("w7")) run(db, "W7", "w7", 20000, 3, "gbt");
  if (want("w8")) run(db, "W8", "w8", 20000, 3, "mlp");
  sqlite3_close(db);
  return 0;
}
