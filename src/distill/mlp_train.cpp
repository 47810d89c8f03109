// Perceptron training core: population standardisation, xorshift32 Glorot-uniform
// initialisation from a fixed seed, and full-batch Adam (Kingma and Ba) with weight decay.
//
// Every sum runs in binary64 in one fixed order: each hidden unit's sum over the inputs, each
// output's sum over the hidden units, and each gradient's sum over the rows in row order. The
// epoch walks the rows in blocks of eight: their forward passes are independent, and every
// gradient element then takes the block's contributions one row after the other, so blocking
// changes no result. Vector lanes run across hidden units (padded to a multiple of four with
// zero weights), across inputs or across the rows of a block, never inside one sum, so the
// vectorised and the scalar builds give the same bits.
#include "distill/mlp_train.h"
#include "core/api.h"
#include "distill/tanh_lanes.h"
#include "tabular/student.h"
#include <math.h>

// The vector helpers are always inlined, so the AVX argument-passing note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

constexpr uint32_t MLP_SEED = 0x243F6A88u;
constexpr float MLP_SCALE_FLOOR = 1e-6f;
constexpr double ADAM_BETA1 = 0.9;
constexpr double ADAM_BETA2 = 0.999;
constexpr double ADAM_ONE_MINUS_BETA1 = 0.09999999999999998;
constexpr double ADAM_ONE_MINUS_BETA2 = 0.0010000000000000009;
constexpr double ADAM_EPSILON = 1e-8;
constexpr double WEIGHT_DECAY = 1e-4;
constexpr int BLOCK = 8; // rows per block

typedef double v4d __attribute__((vector_size(32)));

[[gnu::always_inline]] inline v4d load4(const double *p) {
  v4d v;
  memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::always_inline]] inline void store4(double *p, v4d v) { memcpy(p, &v, sizeof v); }

// Working state of one training run; everything is host memory freed by the destructor.
// Hidden-unit arrays have a row stride of Hp = H rounded up to a multiple of 4; the padding
// lanes hold zero weights, zero gradients and zero activations throughout.
struct MlpWork {
  int Hp = 0;
  float *w1t = nullptr; // I x Hp first layer, transposed (an input's weights to every unit together)
  float *b1 = nullptr;  // Hp first-layer biases
  float *w2 = nullptr;  // O x Hp second layer
  double *w1d = nullptr, *b1d = nullptr, *w2d = nullptr;       // binary64 copies of the three, per epoch
  double *g_w1t = nullptr, *m_w1t = nullptr, *v_w1t = nullptr; // I x Hp
  double *g_b1 = nullptr, *m_b1 = nullptr, *v_b1 = nullptr;    // Hp
  double *g_w2 = nullptr, *m_w2 = nullptr, *v_w2 = nullptr;    // O x Hp
  double *g_sk = nullptr, *m_sk = nullptr, *v_sk = nullptr;    // O x I (skip block only)
  double *g_b2 = nullptr, *m_b2 = nullptr, *v_b2 = nullptr;    // O
  double *z = nullptr;                                         // BLOCK x I standardised inputs
  double *act = nullptr;                                       // BLOCK x Hp hidden activations
  double *out = nullptr;                                       // BLOCK x O output scores, then output deltas
  double *act_t = nullptr; // H x BLOCK activations, transposed (a unit's block rows together)
  double *z_t = nullptr;   // I x BLOCK standardised inputs, transposed
  double *ds = nullptr;    // BLOCK x O output deltas times the hidden-path factor
  double *skd = nullptr;   // O x I binary64 copy of the skip block, per epoch
  ~MlpWork() {
    double *all[] = {w1d,  b1d,  w2d,  g_w1t, m_w1t, v_w1t, g_b1, m_b1, v_b1,  g_w2, m_w2, v_w2, g_sk,
                     m_sk, v_sk, g_b2, m_b2,  v_b2,  z,     act,  out,  act_t, z_t,  ds,   skd};
    for (double *p : all)
      sqlite3_free(p);
    sqlite3_free(w1t);
    sqlite3_free(b1);
    sqlite3_free(w2);
  }
};

// What one epoch reads.
struct EpochInput {
  const float *x;
  int n, I, H, O;
  const int32_t *class_indexes;
  const float *targets;
  int task;
  const float *means, *scales, *b2, *skip; // skip null without the linear block
  double s;                                // hidden-path factor
};

// Forward pass, output deltas and gradient accumulation for rows i0 .. i0 + R - 1 (R is the
// block size or 1). Loops over r are unrolled so that per-row accumulators stay in registers.
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

// One epoch's pass over all rows, in slices of about CANCEL_POLL_WORK multiply-adds so that an
// interrupt is seen within the epoch. Slices are whole blocks, so slicing changes no result.
// Returns false when the work was asked to stop.
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

// Refreshes the binary64 copies of the hidden-layer parameters after an update.
void refresh_copies(MlpWork &w, int I, int O) {
  for (int64_t k = 0; k < (int64_t)I * w.Hp; k++)
    w.w1d[k] = (double)w.w1t[k];
  for (int h = 0; h < w.Hp; h++)
    w.b1d[h] = (double)w.b1[h];
  for (int64_t k = 0; k < (int64_t)O * w.Hp; k++)
    w.w2d[k] = (double)w.w2[k];
}

} // namespace

double mlp_draw(uint32_t *state) {
  uint32_t s = *state;
  if (s == 0) s = 1;
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  *state = s;
  return (double)s * (1.0 / 2147483648.0) - 1.0;
}

void mlp_params_free(mlp_params *p) {
  if (!p) return;
  float *all[] = {p->means, p->scales, p->w1, p->b1, p->w2, p->b2, p->skip};
  for (float *a : all)
    sqlite3_free(a);
  memset(p, 0, sizeof *p);
}

VORNEL_KERNEL void mlp_adam(float *parameters, double *gradients, double *first_moments, double *second_moments,
                            int64_t count, float learning_rate, double gradient_scale, double bias_correction1,
                            double bias_correction2) {
  const double lr = (double)learning_rate;
  for (int64_t i = 0; i < count; i++) {
    double w = (double)parameters[i];
    double grad = gradients[i] * gradient_scale + WEIGHT_DECAY * w;
    double m = ADAM_BETA1 * first_moments[i] + ADAM_ONE_MINUS_BETA1 * grad;
    double v = ADAM_BETA2 * second_moments[i] + ADAM_ONE_MINUS_BETA2 * (grad * grad);
    first_moments[i] = m;
    second_moments[i] = v;
    parameters[i] = (float)(w - lr * (m / bias_correction1) / (sqrt(v / bias_correction2) + ADAM_EPSILON));
    gradients[i] = 0.0;
  }
}

int mlp_train_params(const float *x, int n, int input_count, int output_count, const int32_t *class_indexes,
                     const float *targets, int task, int hidden, int epochs, float learning_rate, int linear_block,
                     mlp_params *out, Cancel *cancel) {
  memset(out, 0, sizeof *out);
  const int I = input_count, H = hidden > 0 ? hidden : 0, O = output_count;
  if (n <= 0 || I <= 0 || O <= 0 || (task != 0 && !targets) || (task == 0 && !targets && !class_indexes))
    return SQLITE_MISUSE;
  mlp_params p{};
  p.task = task;
  p.input_count = I;
  p.hidden = H;
  p.output_count = O;
  MlpWork w;
  w.Hp = (H + 3) / 4 * 4;
  const int Hp = w.Hp;
  bool ok = true;
  // Every working array gets at least one element so that a zero-width layer needs no checks.
  auto f32 = [&](float **dst, int64_t count, bool always) {
    if (count <= 0 && !always) return;
    *dst = host_calloc<float>(count > 0 ? count : 1);
    if (!*dst) ok = false;
  };
  auto f64 = [&](double **dst, int64_t count) {
    *dst = host_calloc<double>(count > 0 ? count : 1);
    if (!*dst) ok = false;
  };
  const int64_t HI = (int64_t)H * I, OH = (int64_t)O * H, OI = (int64_t)O * I;
  const int64_t IHp = (int64_t)I * Hp, OHp = (int64_t)O * Hp;
  f32(&p.means, I, false);
  f32(&p.scales, I, false);
  f32(&p.w1, HI, false);
  f32(&p.b1, H, false);
  f32(&p.w2, OH, false);
  f32(&p.b2, O, false);
  if (linear_block) f32(&p.skip, OI, false);
  f32(&w.w1t, IHp, true);
  f32(&w.b1, Hp, true);
  f32(&w.w2, OHp, true);
  f64(&w.w1d, IHp);
  f64(&w.b1d, Hp);
  f64(&w.w2d, OHp);
  f64(&w.g_w1t, IHp);
  f64(&w.m_w1t, IHp);
  f64(&w.v_w1t, IHp);
  f64(&w.g_b1, Hp);
  f64(&w.m_b1, Hp);
  f64(&w.v_b1, Hp);
  f64(&w.g_w2, OHp);
  f64(&w.m_w2, OHp);
  f64(&w.v_w2, OHp);
  if (linear_block) {
    f64(&w.g_sk, OI);
    f64(&w.m_sk, OI);
    f64(&w.v_sk, OI);
  }
  f64(&w.g_b2, O);
  f64(&w.m_b2, O);
  f64(&w.v_b2, O);
  f64(&w.z, (int64_t)BLOCK * I);
  f64(&w.act, (int64_t)BLOCK * Hp);
  f64(&w.out, (int64_t)BLOCK * O);
  f64(&w.act_t, (int64_t)BLOCK * Hp);
  f64(&w.z_t, (int64_t)BLOCK * I);
  f64(&w.ds, (int64_t)BLOCK * O);
  if (linear_block) f64(&w.skd, OI);
  if (!ok) {
    mlp_params_free(&p);
    return SQLITE_NOMEM;
  }

  // Population mean and deviation per input, in row order.
  for (int j = 0; j < I; j++) {
    double sum = 0.0;
    for (int i = 0; i < n; i++)
      sum += (double)x[(int64_t)i * I + j];
    double mean = sum / n;
    double sq = 0.0;
    for (int i = 0; i < n; i++) {
      double d = (double)x[(int64_t)i * I + j] - mean;
      sq += d * d;
    }
    float scale = (float)sqrt(sq / n);
    if (!(scale > MLP_SCALE_FLOOR)) scale = MLP_SCALE_FLOOR;
    p.means[j] = (float)mean;
    p.scales[j] = scale;
  }

  // Glorot-uniform draws, group by group in the model's array order.
  uint32_t state = MLP_SEED;
  const double hidden_fan = H > 0 ? (double)H : 1.0;
  const double lim1 = sqrt(6.0 / (hidden_fan + I));
  for (int64_t k = 0; k < HI; k++)
    p.w1[k] = (float)(mlp_draw(&state) * lim1);
  const double lim2 = sqrt(6.0 / (hidden_fan + O));
  for (int64_t k = 0; k < OH; k++)
    p.w2[k] = (float)(mlp_draw(&state) * lim2);
  if (linear_block) {
    const double lim3 = sqrt(6.0 / ((double)O + I));
    for (int64_t k = 0; k < OI; k++)
      p.skip[k] = (float)(mlp_draw(&state) * lim3);
  }
  for (int h = 0; h < H; h++)
    for (int j = 0; j < I; j++)
      w.w1t[(int64_t)j * Hp + h] = p.w1[(int64_t)h * I + j];
  for (int k = 0; k < O; k++)
    for (int h = 0; h < H; h++)
      w.w2[(int64_t)k * Hp + h] = p.w2[(int64_t)k * H + h];
  refresh_copies(w, I, O);
  if (linear_block)
    for (int64_t k = 0; k < OI; k++)
      w.skd[k] = (double)p.skip[k];

  EpochInput in{x, n, I, H, O, class_indexes, targets, task, p.means, p.scales, p.b2, p.skip, linear_block ? 0.1 : 1.0};
  const double grad_scale = 1.0 / n;
  double pow1 = 1.0, pow2 = 1.0;
  for (int e = 1; e <= epochs; e++) {
    pow1 *= ADAM_BETA1;
    pow2 *= ADAM_BETA2;
    if (!mlp_epoch(in, w, cancel)) {
      mlp_params_free(&p);
      return SQLITE_INTERRUPT;
    }
    const double bc1 = 1.0 - pow1, bc2 = 1.0 - pow2;
    if (H > 0) {
      mlp_adam(w.w1t, w.g_w1t, w.m_w1t, w.v_w1t, IHp, learning_rate, grad_scale, bc1, bc2);
      mlp_adam(w.b1, w.g_b1, w.m_b1, w.v_b1, Hp, learning_rate, grad_scale, bc1, bc2);
      mlp_adam(w.w2, w.g_w2, w.m_w2, w.v_w2, OHp, learning_rate, grad_scale, bc1, bc2);
      refresh_copies(w, I, O);
    }
    if (linear_block) {
      mlp_adam(p.skip, w.g_sk, w.m_sk, w.v_sk, OI, learning_rate, grad_scale, bc1, bc2);
      for (int64_t k = 0; k < OI; k++)
        w.skd[k] = (double)p.skip[k];
    }
    mlp_adam(p.b2, w.g_b2, w.m_b2, w.v_b2, O, learning_rate, grad_scale, bc1, bc2);
  }
  for (int h = 0; h < H; h++) {
    for (int j = 0; j < I; j++)
      p.w1[(int64_t)h * I + j] = w.w1t[(int64_t)j * Hp + h];
    p.b1[h] = w.b1[h];
  }
  for (int k = 0; k < O; k++)
    for (int h = 0; h < H; h++)
      p.w2[(int64_t)k * H + h] = w.w2[(int64_t)k * Hp + h];
  *out = p;
  return SQLITE_OK;
}

int train_mlp(const float *x, int n, int input_count, int output_count, const int32_t *class_indexes,
              const float *targets, int task, int hidden, int epochs, float learning_rate, int linear_block,
              mlp_model *model, char **error_message, Cancel *cancel) {
  *error_message = nullptr;
  memset(model, 0, sizeof *model);
  mlp_params p{};
  int rc = mlp_train_params(x, n, input_count, output_count, class_indexes, targets, task, hidden, epochs,
                            learning_rate, linear_block, &p, cancel);
  if (rc == SQLITE_INTERRUPT) return rc;
  if (rc != SQLITE_OK) return vornel0_fail_nomem(error_message);
  model->task = task;
  model->input_count = p.input_count;
  model->hidden_count = p.hidden;
  model->output_count = p.output_count;
  model->class_count = task == 0 ? p.output_count : 0;
  model->input_mean = p.means;
  model->input_scale = p.scales;
  model->hidden_weights = p.w1;
  model->hidden_bias = p.b1;
  model->output_weights = p.w2;
  model->output_bias = p.b2;
  model->skip_weights = p.skip;
  return SQLITE_OK;
}
