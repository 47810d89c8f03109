// Student inference through vornel(): 1,000,000 apply rows x 16 features through a VNGBT01
// student of 600 depth-3 trees (200 rounds x 3 classes) and through a VNMLP01 perceptron
// (16 -> 48 -> 3). Blobs are written here byte by byte; rows per second are reported for the
// whole statement and for a bare scan of the same apply query.
#include "bench_util.h"
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <sqlite3.h>
#include <string>
#include <vector>

// From the statically linked copy: the digest the registry stores for a student blob.
void vornel0_hash_bytes(const void *data, int64_t len, char *out);

namespace {

struct Blob {
  std::vector<unsigned char> b;
  void raw(const void *p, size_t n) { b.insert(b.end(), (const unsigned char *)p, (const unsigned char *)p + n); }
  void i32(int32_t v) {
    for (int i = 0; i < 4; i++)
      b.push_back((unsigned char)((uint32_t)v >> (8 * i)));
  }
  void f32(float v) {
    uint32_t u;
    memcpy(&u, &v, 4);
    i32((int32_t)u);
  }
  void str(const std::string &s) {
    i32((int32_t)s.size());
    raw(s.data(), s.size());
  }
};

const int FEATURES = 16, CLASSES = 3;

Blob gbt_blob(std::mt19937 &rng) {
  std::uniform_int_distribution<int> feat(0, FEATURES - 1);
  std::normal_distribution<float> g(0.0f, 1.0f);
  Blob b;
  b.raw("VNGBT01", 8);
  b.i32(0);
  b.i32(FEATURES);
  b.i32(CLASSES);
  b.i32(CLASSES);
  b.i32(200);
  b.f32(0.1f);
  for (int k = 0; k < CLASSES; k++)
    b.f32(-1.0986123f);
  for (int f = 0; f < FEATURES; f++)
    b.str("f" + std::to_string(f));
  for (int c = 0; c < CLASSES; c++)
    b.str("class" + std::to_string(c));
  b.i32(200 * CLASSES);
  for (int t = 0; t < 200 * CLASSES; t++) {
    b.i32(15); // a full depth-3 tree in pre-order
    int next = 0;
    struct Builder {
      Blob &b;
      std::mt19937 &rng;
      std::uniform_int_distribution<int> &feat;
      std::normal_distribution<float> &g;
      int &next;
      int build(int depth) {
        int me = next++;
        (void)me;
        if (depth == 3) {
          b.i32(-1), b.f32(0), b.i32(-1), b.i32(-1), b.f32(g(rng));
          return me;
        }
        // Children follow in pre-order: left at me + 1, right after the left subtree.
        int left = me + 1, right = me + 1 + ((1 << (3 - depth)) - 1);
        b.i32(feat(rng)), b.f32(g(rng)), b.i32(left), b.i32(right), b.f32(0);
        build(depth + 1);
        build(depth + 1);
        return me;
      }
    } builder{b, rng, feat, g, next};
    builder.build(0);
  }
  return b;
}

Blob mlp_blob(std::mt19937 &rng) {
  std::normal_distribution<float> g(0.0f, 0.3f);
  const int H = 48;
  Blob b;
  b.raw("VNMLP01", 8);
  b.i32(0);
  b.i32(FEATURES);
  b.i32(H);
  b.i32(CLASSES);
  b.i32(CLASSES);
  for (int i = 0; i < FEATURES; i++)
    b.f32(0.0f);
  for (int i = 0; i < FEATURES; i++)
    b.f32(1.0f);
  for (int i = 0; i < H * FEATURES + H + CLASSES * H + CLASSES; i++)
    b.f32(g(rng));
  for (int f = 0; f < FEATURES; f++)
    b.str("f" + std::to_string(f));
  for (int c = 0; c < CLASSES; c++)
    b.str("class" + std::to_string(c));
  return b;
}

void must(int rc, sqlite3 *db, const char *what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    exit(1);
  }
}

void store(sqlite3 *db, const char *id, const Blob &blob) {
  sqlite3_stmt *st = nullptr;
  must(sqlite3_prepare_v2(db,
                          "INSERT INTO _vornel_models (model_id, kind, runtime, weights, content_hash, license) "
                          "VALUES (?, 'student', 'tree', ?, ?, 'MIT')",
                          -1, &st, nullptr),
       db, "prepare store");
  // Loading checks the digest, so it must be the real one.
  char hash[65];
  vornel0_hash_bytes(blob.b.data(), (int64_t)blob.b.size(), hash);
  sqlite3_bind_text(st, 1, id, -1, SQLITE_STATIC);
  sqlite3_bind_blob(st, 2, blob.b.data(), (int)blob.b.size(), SQLITE_STATIC);
  sqlite3_bind_text(st, 3, hash, -1, SQLITE_TRANSIENT);
  must(sqlite3_step(st), db, "store");
  sqlite3_finalize(st);
}

// Runs sql (one row of aggregates) and returns the best wall and cpu seconds of runs.
void time_sql(sqlite3 *db, const std::string &sql, int runs, double *wall, double *cpu, std::string *first) {
  *wall = *cpu = 1e9;
  for (int r = 0; r < runs; r++) {
    auto t0 = std::chrono::steady_clock::now();
    std::clock_t c0 = std::clock();
    sqlite3_stmt *st = nullptr;
    must(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, "prepare");
    must(sqlite3_step(st), db, sql.c_str());
    if (first)
      *first =
          (const char *)sqlite3_column_text(st, 0) + std::string(" rows, ") + (const char *)sqlite3_column_text(st, 1);
    sqlite3_finalize(st);
    double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double c = (double)(std::clock() - c0) / CLOCKS_PER_SEC;
    if (w < *wall) *wall = w;
    if (c < *cpu) *cpu = c;
  }
}

} // namespace

int main(int argc, char **argv) {
  const int rows = argc > 1 ? atoi(argv[1]) : 1000000;
  sqlite3 *db = bench::open_loaded();
  if (!db) return 1;
  must(sqlite3_exec(db,
                    "CREATE TABLE _vornel_models(model_id TEXT PRIMARY KEY, kind TEXT, runtime TEXT, weights BLOB, "
                    "weights_uri TEXT, io_spec TEXT, content_hash TEXT, license TEXT, created_at TEXT)",
                    nullptr, nullptr, nullptr),
       db, "registry");
  std::mt19937 rng(42);
  Blob gbt = gbt_blob(rng), mlp = mlp_blob(rng);
  store(db, "gbt600", gbt);
  store(db, "mlp48", mlp);
  // What each load spends on checking the blob against its content hash.
  for (const Blob *b : {&gbt, &mlp}) {
    char hash[65];
    const int reps = 200;
    std::clock_t c0 = std::clock();
    for (int r = 0; r < reps; r++)
      vornel0_hash_bytes(b->b.data(), (int64_t)b->b.size(), hash);
    printf("content-hash check of a %zu-byte blob: %.1f us cpu per load\n", b->b.size(),
           1e6 * (double)(std::clock() - c0) / CLOCKS_PER_SEC / reps);
  }

  std::string cols, names;
  for (int f = 0; f < FEATURES; f++) {
    cols += ", f" + std::to_string(f) + " REAL";
    names += ", f" + std::to_string(f);
  }
  must(sqlite3_exec(db, ("CREATE TABLE ap(id INTEGER PRIMARY KEY" + cols + ")").c_str(), nullptr, nullptr, nullptr), db,
       "create");
  {
    std::string sql = "INSERT INTO ap VALUES (?";
    for (int f = 0; f < FEATURES; f++)
      sql += ",?";
    sql += ")";
    sqlite3_stmt *st = nullptr;
    must(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, "prepare insert");
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    std::normal_distribution<double> g(0.0, 1.0);
    for (int i = 0; i < rows; i++) {
      sqlite3_bind_int(st, 1, i);
      for (int f = 0; f < FEATURES; f++)
        sqlite3_bind_double(st, 2 + f, g(rng));
      must(sqlite3_step(st), db, "insert");
      sqlite3_reset(st);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(st);
  }
  const std::string apply = "SELECT id" + names + " FROM ap";
  double wall, cpu;
  std::string first;
  time_sql(db, "SELECT count(*), sum(f0) FROM (" + apply + ")", 3, &wall, &cpu, nullptr);
  printf("bare apply scan: %d rows, %.3f s wall, %.3f s cpu\n", rows, wall, cpu);
  for (const char *id : {"gbt600", "mlp48"}) {
    time_sql(db,
             std::string("SELECT count(*), printf('%.4f', avg(confidence)) FROM vornel(NULL, '") + apply +
                 "', '{\"model\":\"" + id + "\"}')",
             3, &wall, &cpu, &first);
    printf("%s: %s mean confidence; best %.3f s wall, %.3f s cpu; %.0f rows/s (cpu)\n", id, first.c_str(), wall, cpu,
           rows / cpu);
  }
  sqlite3_close(db);
  return 0;
}
