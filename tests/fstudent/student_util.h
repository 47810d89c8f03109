// Test helpers: an independent VNFCST blob writer and a double-precision reference of the
// student's network, so the reader, writer and inference are checked against code that does
// not share theirs.
#pragma once
#include "fstudent/fstudent.h"
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
      for (auto &x : *v) x = next();
  }
};

inline void put32(std::vector<unsigned char> &b, uint32_t v) {
  for (int i = 0; i < 4; i++) b.push_back((unsigned char)(v >> (8 * i)));
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
  for (int i = 0; i < s.L; i++) z[i] = ((double)(float)x[i] - s.means[i]) / s.scales[i];
  for (int j = 0; j < s.H; j++) {
    double a = s.b1[j];
    for (int i = 0; i < s.L; i++) a += s.w1[(size_t)j * s.L + i] * z[i];
    h[j] = std::tanh(a);
  }
  double f = s.linear ? 0.1 : 1.0;
  for (int k = 0; k < O; k++) {
    double a = 0;
    for (int j = 0; j < s.H; j++) a += s.w2[(size_t)k * s.H + j] * h[j];
    double o = s.b2[k] + f * a;
    if (s.linear)
      for (int i = 0; i < s.L; i++) o += s.skip[(size_t)k * s.L + i] * z[i];
    out[k] = o;
  }
  return out;
}

// Mean and floored population deviation of a context, as the student standardises it.
inline void ref_standardise(const std::vector<double> &ctx, double &mu, double &sd, std::vector<double> &x) {
  mu = 0;
  for (double v : ctx) mu += v;
  mu /= ctx.size();
  double ss = 0;
  for (double v : ctx) ss += (v - mu) * (v - mu);
  sd = std::sqrt(ss / ctx.size());
  if (sd < 1e-9) sd = 1e-9;
  x.resize(ctx.size());
  for (size_t i = 0; i < ctx.size(); i++) x[i] = (ctx[i] - mu) / sd;
}

} // namespace fst
