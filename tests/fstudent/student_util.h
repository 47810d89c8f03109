// Test helpers: an independent VNFCST blob writer and a double-precision reference of the
// student's network, so the reader, writer and inference are checked against code that does
// not share theirs.
#pragma once
#include "fstudent/fstudent.h"
#include "registry/registry.h"
#include "support/harness.h"
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fst {

struct Spec {
  std::string magic = "VNFCST02";
  int32_t L = 3, H = 2, E = 2, Q = 3;
  std::vector<float> levels{0.1f, 0.5f, 0.9f};
  std::vector<float> means, scales, w1, b1, w2, b2, skip;
  bool linear = true;
  // Fills every array with small distinct values derived from a seed.
  void fill(uint32_t seed = 7) {
    auto next = [&]() {
      seed = seed * 1103515245u + 12345u;
      return ((int)((seed >> 9) % 2001) - 1000) / 2000.0f;
    };
    int64_t O = (int64_t)E * Q;
    means.resize(L);
    scales.resize(L);
    for (int i = 0; i < L; i++) {
      means[i] = next() * 0.2f;
      scales[i] = 0.5f + std::fabs(next());
    }
    w1.resize((size_t)H * L);
    b1.resize(H);
    w2.resize((size_t)O * H);
    b2.resize(O);
    skip.resize(linear ? (size_t)O * L : 0);
    for (auto *v : {&w1, &b1, &w2, &b2, &skip})
      for (auto &x : *v)
        x = next();
  }
};

inline void put32(std::vector<unsigned char> &b, uint32_t v) {
  for (int i = 0; i < 4; i++)
    b.push_back((unsigned char)(v >> (8 * i)));
}
inline void putf(std::vector<unsigned char> &b, const std::vector<float> &v) {
  for (float f : v) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    put32(b, u);
  }
}

inline std::vector<unsigned char> write_blob(const Spec &s) {
  std::vector<unsigned char> b(s.magic.begin(), s.magic.end());
  put32(b, (uint32_t)s.L);
  put32(b, (uint32_t)s.H);
  put32(b, (uint32_t)s.E);
  put32(b, (uint32_t)s.Q);
  putf(b, s.levels);
  putf(b, s.means);
  putf(b, s.scales);
  putf(b, s.w1);
  putf(b, s.b1);
  putf(b, s.w2);
  putf(b, s.b2);
  if (s.linear) putf(b, s.skip);
  return b;
}

// Network outputs in double precision for standardised inputs x.
inline std::vector<double> ref_forward(const Spec &s, const std::vector<double> &x) {
  int O = s.E * s.Q;
  std::vector<double> z(s.L), h(s.H), out(O);
  for (int i = 0; i < s.L; i++)
    z[i] = ((double)(float)x[i] - s.means[i]) / s.scales[i];
  for (int j = 0; j < s.H; j++) {
    double a = s.b1[j];
    for (int i = 0; i < s.L; i++)
      a += s.w1[(size_t)j * s.L + i] * z[i];
    h[j] = std::tanh(a);
  }
  double f = s.linear ? 0.1 : 1.0;
  for (int k = 0; k < O; k++) {
    double a = 0;
    for (int j = 0; j < s.H; j++)
      a += s.w2[(size_t)k * s.H + j] * h[j];
    double o = s.b2[k] + f * a;
    if (s.linear)
      for (int i = 0; i < s.L; i++)
        o += s.skip[(size_t)k * s.L + i] * z[i];
    out[k] = o;
  }
  return out;
}

// Mean and floored population deviation of a context, as the student standardises it.
inline void ref_standardise(const std::vector<double> &ctx, double &mu, double &sd, std::vector<double> &x) {
  mu = 0;
  for (double v : ctx)
    mu += v;
  mu /= ctx.size();
  double ss = 0;
  for (double v : ctx)
    ss += (v - mu) * (v - mu);
  sd = std::sqrt(ss / ctx.size());
  if (sd < 1e-9) sd = 1e-9;
  x.resize(ctx.size());
  for (size_t i = 0; i < ctx.size(); i++)
    x[i] = (ctx[i] - mu) / sd;
}

// Creates the registry up front: its schema change would otherwise count against the memory
// balance of the first statement that writes to it.
inline void ensure_registry(vt::Db &db) {
  char *msg = nullptr;
  EXPECT_EQ(vornel0_registry_ensure(db.handle(), &msg), SQLITE_OK) << (msg ? msg : "");
  sqlite3_free(msg);
  sqlite3_free(vornel0_registry_model_hash(db.handle(), "warm-up"));
}

// Connects the eponymous tables used here once (distill_forecast and the host's json_each):
// the host keeps them for the life of the connection, which would otherwise count against
// the first statement that uses them.
inline void connect_module(vt::Db &db) {
  db.exec("SELECT count(*) FROM pragma_table_xinfo('distill_forecast')");
  db.exec("SELECT count(*) FROM json_each('[1]')");
}

// Runs the statements of sql as vt::Db::run does, with the same memory balance check, but with
// the connection's last-error text set to one fixed message before and after: the registry's
// migration step fails on purpose (the columns exist) and leaves its error text held by the
// connection until the next error, which is not memory of the statement.
inline vt::Result run(vt::Db &db, const std::string &sql) {
  auto settle = [&]() { sqlite3_exec(db.handle(), "SELECT fst_no_such_function()", nullptr, nullptr, nullptr); };
  vt::Result res;
  const char *tail = sql.c_str();
  while (tail && *tail) {
    sqlite3_stmt *st = nullptr;
    const char *next = nullptr;
    sqlite3_prepare_v2(db.handle(), tail, -1, &st, &next);
    sqlite3_finalize(st);
    settle();
    sqlite3_int64 before = sqlite3_memory_used();
    int rc = sqlite3_prepare_v2(db.handle(), tail, -1, &st, &next);
    if (rc != SQLITE_OK) {
      res.ok = false;
      res.error = sqlite3_errmsg(db.handle());
      return res;
    }
    int cols = sqlite3_column_count(st);
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < cols; c++)
        row += (c ? "|" : "") + vt::render(st, c);
      res.rows.push_back(row);
    }
    if (rc != SQLITE_DONE) {
      res.ok = false;
      res.code = rc;
      res.error = sqlite3_errmsg(db.handle());
    }
    sqlite3_finalize(st);
    sqlite3_prepare_v2(db.handle(), "SELECT 1 FROM sqlite_schema LIMIT 0", -1, &st, nullptr);
    sqlite3_finalize(st);
    settle();
    EXPECT_EQ(before, sqlite3_memory_used()) << "memory not returned by: " << std::string(tail, next - tail);
    if (!res.ok) return res;
    tail = next;
  }
  return res;
}

// The first column of the first row, or "Error: <message>".
inline std::string one(vt::Db &db, const std::string &sql) {
  vt::Result r = run(db, sql);
  if (!r.ok) return "Error: " + r.error;
  if (r.rows.empty()) return "";
  return r.rows[0].substr(0, r.rows[0].find('|'));
}

inline std::string hex(const std::vector<unsigned char> &b) {
  static const char *d = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

} // namespace fst
