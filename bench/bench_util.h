// Shared pieces of the timing drivers: a connection with build/vornel.so loaded through the
// real loading path, the statically linked copy's routine table, clocks and a seeded generator.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sqlite3.h>
#include <vector>

extern "C" int sqlite3_vornel_init(sqlite3 *, char **, const sqlite3_api_routines *);

namespace bench {

// A :memory: connection with the extension loaded, or null after printing why.
inline sqlite3 *open_loaded() {
  sqlite3 *db = nullptr;
  sqlite3_open(":memory:", &db);
  sqlite3_enable_load_extension(db, 1);
  char *err = nullptr;
  if (sqlite3_load_extension(db, VORNEL_SO_PATH, "sqlite3_vornel_init", &err) != SQLITE_OK) {
    std::fprintf(stderr, "load %s: %s\n", VORNEL_SO_PATH, err ? err : "?");
    sqlite3_free(err);
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

// Hands the statically linked copy the host's routine table, for drivers that also time
// internal routines directly.
inline void init_static_copy() {
  sqlite3_auto_extension((void (*)(void))sqlite3_vornel_init);
  sqlite3 *warm = nullptr;
  sqlite3_open(":memory:", &warm);
  sqlite3_close(warm);
  sqlite3_cancel_auto_extension((void (*)(void))sqlite3_vornel_init);
}

// Processor time of this process: on a shared machine it varies far less than wall time.
inline double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

inline double wall_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

// Ends the driver with the connection's message when a call did not succeed.
inline void check(int rc, sqlite3 *db, const char *what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// Inserts one series through ins ("INSERT INTO s VALUES (?, ?, ?)": id, epoch seconds, value),
// its points step seconds apart from 2023-01-01.
inline void insert_series(sqlite3 *db, sqlite3_stmt *ins, int id, const std::vector<double> &y, int64_t step) {
  for (size_t t = 0; t < y.size(); t++) {
    sqlite3_bind_int(ins, 1, id);
    sqlite3_bind_int64(ins, 2, 1672531200LL + step * (int64_t)t);
    sqlite3_bind_double(ins, 3, y[t]);
    check(sqlite3_step(ins), db, "insert");
    sqlite3_reset(ins);
  }
}

// A 64-bit linear congruential generator: the same data on every machine.
struct Rng {
  uint64_t s;
  double uniform() {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return (double)(s >> 11) / 9007199254740992.0;
  }
  double normal() { return std::sqrt(-2 * std::log(uniform() + 1e-300)) * std::cos(2 * M_PI * uniform()); }
};

} // namespace bench
