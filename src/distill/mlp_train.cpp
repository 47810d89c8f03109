// Perceptron training's epoch kernel: the forward pass, the output deltas and the gradient
// sums of every row. Set-up, initialisation and the Adam steps are in mlp_fit.cpp.
//
// Every sum runs in binary64 in one fixed order: each hidden unit's sum over the inputs, each
// output's sum over the hidden units, and each gradient's sum over the rows in row order. The
// epoch walks the rows in blocks of eight: their forward passes are independent, and every
// gradient element then takes the block's contributions one row after the other, so blocking
// changes no result. Vector lanes run across hidden units (padded to a multiple of four with
// zero weights), across inputs or across the rows of a block, never inside one sum, so the
// vectorised and the scalar builds give the same bits.
#include "distill/mlp_work.h"
#include "distill/tanh_lanes.h"
#include <math.h>

// The vector helpers are always inlined, so the AVX argument-passing note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

constexpr int BLOCK = MLP_BLOCK;

typedef double v4d __attribute__((vector_size(32)));

[[gnu::always_inline]] inline v4d load4(const double *p) {
  v4d v;
  memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::always_inline]] inline void store4(double *p, v4d v) { memcpy(p, &v, sizeof v); }

// Forward pass, output deltas and gradient accumulation for rows i0 .. i0 + R - 1 (R is the
// block size or 1). Loops over r are unrolled so that per-row accumulators stay in registers;
// it is one long function on purpose, as the hot kernel whose phases share those registers.
template <int R> [[gnu::always_inline]] inline void epoch_block(const EpochInput &in, MlpWork &w, int i0) {
  constexpr int V = R / 4; // vectors of rows, when the rows are the lanes (0 for a single row)
  const int I = in.I, H = in.H, Hp = w.Hp, O = in.O;
  const double s = in.s;
  double *z[R], *act[R], *out[R];
#pragma GCC unroll 8
  for (int r = 0; r < R; r++) {
    z[r] = w.z + (int64_t)r * I;
    act[r] = w.act + (int64_t)r * Hp;
    out[r] = w.out + (int64_t)r * O;
    const float *row = in.x + (int64_t)(i0 + r) * I;
    int j = 0;
    for (; j + 4 <= I; j += 4) {
      v4d xv = {(double)row[j], (double)row[j + 1], (double)row[j + 2], (double)row[j + 3]};
      v4d mv = {(double)in.means[j], (double)in.means[j + 1], (double)in.means[j + 2], (double)in.means[j + 3]};
      v4d sv = {(double)in.scales[j], (double)in.scales[j + 1], (double)in.scales[j + 2], (double)in.scales[j + 3]};
      store4(z[r] + j, (xv - mv) / sv);
    }
    for (; j < I; j++)
      z[r][j] = ((double)row[j] - (double)in.means[j]) / (double)in.scales[j];
  }
  if constexpr (V > 0) {
    for (int j = 0; j < I; j++)
#pragma GCC unroll 8
      for (int r = 0; r < R; r++)
        w.z_t[(int64_t)j * R + r] = z[r][j];
  }
  // Hidden units: each sum starts at its bias and adds the inputs in order. The block's rows
  // are separate accumulators sharing each weight load.
  for (int hb = 0; hb < Hp; hb += 4) {
    const v4d bias = load4(w.b1d + hb);
    v4d a[R];
#pragma GCC unroll 8
    for (int r = 0; r < R; r++)
      a[r] = bias;
    const double *wj = w.w1d + hb;
    for (int j = 0; j < I; j++, wj += Hp) {
      const v4d wv = load4(wj);
#pragma GCC unroll 8
      for (int r = 0; r < R; r++)
        a[r] += wv * z[r][j];
    }
#pragma GCC unroll 8
    for (int r = 0; r < R; r++)
      store4(act[r] + hb, a[r]);
  }
  // tanh four lanes at a time, each lane the bits of libm's tanh.
  for (int r = 0; r < R; r++)
    for (int hb = 0; hb < Hp; hb += 4)
      store4(act[r] + hb, tanh_lanes::tanh4(load4(act[r] + hb)));
  for (int r = 0; r < R; r++)
    for (int h = H; h < Hp; h++)
      act[r][h] = 0.0;
  // Outputs: b2 + s * (sum over hidden units in order) [+ skip sum over inputs in order]. With
  // a full block the lanes are the rows, read from the transposed activations.
  if constexpr (V > 0) {
    for (int h = 0; h < H; h++)
#pragma GCC unroll 8
      for (int r = 0; r < R; r++)
        w.act_t[(int64_t)h * R + r] = act[r][h];
    int k = 0;
    // Three outputs at a time: independent sums in flight together.
    for (; k + 3 <= O; k += 3) {
      const double *wa = w.w2d + (int64_t)k * Hp, *wb = wa + Hp, *wc = wb + Hp;
      v4d sa[V], sb[V], sc[V];
#pragma GCC unroll 2
      for (int v = 0; v < V; v++)
        sa[v] = sb[v] = sc[v] = v4d{0.0, 0.0, 0.0, 0.0};
      const double *col = w.act_t;
      for (int h = 0; h < H; h++, col += R) {
#pragma GCC unroll 2
        for (int v = 0; v < V; v++) {
          const v4d c = load4(col + 4 * v);
          sa[v] += wa[h] * c;
          sb[v] += wb[h] * c;
          sc[v] += wc[h] * c;
        }
      }
      double acc[3][R];
#pragma GCC unroll 2
      for (int v = 0; v < V; v++) {
        store4(acc[0] + 4 * v, sa[v]);
        store4(acc[1] + 4 * v, sb[v]);
        store4(acc[2] + 4 * v, sc[v]);
      }
      for (int kk = 0; kk < 3; kk++)
        for (int r = 0; r < R; r++)
          out[r][k + kk] = (double)in.b2[k + kk] + s * acc[kk][r];
    }
    for (; k < O; k++) {
      const double *w2k = w.w2d + (int64_t)k * Hp;
      v4d sum[V];
#pragma GCC unroll 2
      for (int v = 0; v < V; v++)
        sum[v] = v4d{0.0, 0.0, 0.0, 0.0};
      const double *col = w.act_t;
      for (int h = 0; h < H; h++, col += R)
#pragma GCC unroll 2
        for (int v = 0; v < V; v++)
          sum[v] += w2k[h] * load4(col + 4 * v);
      double acc[R];
#pragma GCC unroll 2
      for (int v = 0; v < V; v++)
        store4(acc + 4 * v, sum[v]);
      for (int r = 0; r < R; r++)
        out[r][k] = (double)in.b2[k] + s * acc[r];
    }
  } else {
    for (int k = 0; k < O; k++) {
      const double *w2k = w.w2d + (int64_t)k * Hp;
      double acc = 0.0;
      for (int h = 0; h < H; h++)
        acc += w2k[h] * act[0][h];
      out[0][k] = (double)in.b2[k] + s * acc;
    }
  }
  // Skip block: each (row, output) sum starts at zero and adds the inputs in order; the lanes
  // are the block's rows, four outputs in flight together.
  if (in.skip) {
    int k = 0;
    if constexpr (V > 0) {
      for (; k + 4 <= O; k += 4) {
        const double *sa = w.skd + (int64_t)k * I, *sb = sa + I, *sc = sb + I, *sd = sc + I;
        v4d aa[V], ab[V], ac[V], ad[V];
#pragma GCC unroll 2
        for (int v = 0; v < V; v++)
          aa[v] = ab[v] = ac[v] = ad[v] = v4d{0.0, 0.0, 0.0, 0.0};
        const double *zc = w.z_t;
        for (int j = 0; j < I; j++, zc += R) {
#pragma GCC unroll 2
          for (int v = 0; v < V; v++) {
            const v4d zj = load4(zc + 4 * v);
            aa[v] += sa[j] * zj;
            ab[v] += sb[j] * zj;
            ac[v] += sc[j] * zj;
            ad[v] += sd[j] * zj;
          }
        }
        double acc[4][R];
#pragma GCC unroll 2
        for (int v = 0; v < V; v++) {
          store4(acc[0] + 4 * v, aa[v]);
          store4(acc[1] + 4 * v, ab[v]);
          store4(acc[2] + 4 * v, ac[v]);
          store4(acc[3] + 4 * v, ad[v]);
        }
        for (int kk = 0; kk < 4; kk++)
          for (int r = 0; r < R; r++)
            out[r][k + kk] += acc[kk][r];
      }
      for (; k < O; k++) {
        const double *sk = w.skd + (int64_t)k * I;
        v4d a[V];
#pragma GCC unroll 2
        for (int v = 0; v < V; v++)
          a[v] = v4d{0.0, 0.0, 0.0, 0.0};
        const double *zc = w.z_t;
        for (int j = 0; j < I; j++, zc += R)
#pragma GCC unroll 2
          for (int v = 0; v < V; v++)
            a[v] += sk[j] * load4(zc + 4 * v);
        double acc[R];
#pragma GCC unroll 2
        for (int v = 0; v < V; v++)
          store4(acc + 4 * v, a[v]);
        for (int r = 0; r < R; r++)
          out[r][k] += acc[r];
      }
    }
    for (; k < O; k++) {
      const double *sk = w.skd + (int64_t)k * I;
      for (int r = 0; r < R; r++) {
        double accl = 0.0;
        for (int j = 0; j < I; j++)
          accl += sk[j] * z[r][j];
        out[r][k] += accl;
      }
    }
  }
  // Output deltas: softmax minus target (classification) or output minus target.
  for (int r = 0; r < R; r++) {
    const int i = i0 + r;
    double *o = out[r];
    if (in.task == 0) {
      double mx = o[0];
      for (int k = 1; k < O; k++)
        if (o[k] > mx) mx = o[k];
      double sum = 0.0;
      for (int k = 0; k < O; k++) {
        o[k] = exp(o[k] - mx);
        sum += o[k];
      }
      for (int k = 0; k < O; k++) {
        double y = in.targets ? (double)in.targets[(int64_t)i * O + k] : (in.class_indexes[i] == k ? 1.0 : 0.0);
        o[k] = o[k] / sum - y;
      }
    } else {
      for (int k = 0; k < O; k++)
        o[k] -= (double)in.targets[(int64_t)i * O + k];
    }
  }
  // Gradients; the second layer is the one that stood before this epoch's update. Every
  // element takes the block's rows in order; lanes run across units or inputs.
  double *dsr[R];
#pragma GCC unroll 8
  for (int r = 0; r < R; r++) {
    dsr[r] = w.ds + (int64_t)r * O;
    for (int k = 0; k < O; k++)
      dsr[r][k] = out[r][k] * s;
  }
  for (int k = 0; k < O; k++) {
    for (int r = 0; r < R; r++)
      w.g_b2[k] += out[r][k];
    double *g = w.g_w2 + (int64_t)k * Hp;
    double ds[R];
#pragma GCC unroll 8
    for (int r = 0; r < R; r++)
      ds[r] = dsr[r][k];
    for (int hb = 0; hb < Hp; hb += 4) {
      v4d acc = load4(g + hb);
#pragma GCC unroll 8
      for (int r = 0; r < R; r++)
        acc += load4(act[r] + hb) * ds[r];
      store4(g + hb, acc);
    }
    if (in.skip) {
      double *gs = w.g_sk + (int64_t)k * I;
      double ok[R];
#pragma GCC unroll 8
      for (int r = 0; r < R; r++)
        ok[r] = out[r][k];
      int j = 0;
      for (; j + 4 <= I; j += 4) {
        v4d acc = load4(gs + j);
#pragma GCC unroll 8
        for (int r = 0; r < R; r++)
          acc += load4(z[r] + j) * ok[r];
        store4(gs + j, acc);
      }
      for (; j < I; j++)
        for (int r = 0; r < R; r++)
          gs[j] += z[r][j] * ok[r];
    }
  }
  for (int hb = 0; hb < Hp; hb += 4) {
    v4d d[R];
#pragma GCC unroll 8
    for (int r = 0; r < R; r++)
      d[r] = v4d{0.0, 0.0, 0.0, 0.0};
    const double *w2c = w.w2d + hb;
    for (int k = 0; k < O; k++, w2c += Hp) {
      const v4d wv = load4(w2c);
#pragma GCC unroll 8
      for (int r = 0; r < R; r++)
        d[r] += dsr[r][k] * wv;
    }
#pragma GCC unroll 8
    for (int r = 0; r < R; r++) {
      v4d a = load4(act[r] + hb);
      d[r] = (1.0 - a * a) * d[r];
    }
    v4d gb = load4(w.g_b1 + hb);
#pragma GCC unroll 8
    for (int r = 0; r < R; r++)
      gb += d[r];
    store4(w.g_b1 + hb, gb);
    double *g = w.g_w1t + hb;
    for (int j = 0; j < I; j++, g += Hp) {
      v4d acc = load4(g);
#pragma GCC unroll 8
      for (int r = 0; r < R; r++)
        acc += d[r] * z[r][j];
      store4(g, acc);
    }
  }
}

// One pass over rows first..last-1 of an epoch (first a multiple of the block size).
VORNEL_KERNEL_WIDE void mlp_epoch_rows(const EpochInput &in, MlpWork &w, int first, int last) {
  int i = first;
  for (; i + BLOCK <= last; i += BLOCK)
    epoch_block<BLOCK>(in, w, i);
  for (; i < last; i++)
    epoch_block<1>(in, w, i);
}

} // namespace

bool mlp_epoch(const EpochInput &in, MlpWork &w, Cancel *cancel) {
  const int64_t per_row = 2 * ((int64_t)w.Hp * (in.I + in.O) + (in.skip ? (int64_t)in.O * in.I : 0)) + in.O;
  int64_t slice = CANCEL_POLL_WORK / (per_row > 0 ? per_row : 1) / BLOCK * BLOCK;
  if (slice < BLOCK) slice = BLOCK;
  for (int64_t i = 0; i < in.n; i += slice) {
    const int last = (int)(i + slice < in.n ? i + slice : in.n);
    mlp_epoch_rows(in, w, (int)i, last);
    if (cancel_stop(cancel, (last - i) * per_row)) return false;
  }
  return true;
}
