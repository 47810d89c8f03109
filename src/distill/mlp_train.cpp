// Perceptron training core: population standardisation, xorshift32 Glorot-uniform
// initialisation from a fixed seed, and full-batch Adam (Kingma and Ba) with weight decay.
// Every sum runs in binary64 in one fixed order; the loops over hidden units are independent
// lanes, so the vectorised and the scalar builds give the same bits.
#include "distill/mlp_train.h"
#include "core/api.h"
#include "tabular/student.h"
#include <math.h>

namespace {

constexpr uint32_t MLP_SEED = 0x243F6A88u;
constexpr float MLP_SCALE_FLOOR = 1e-6f;
constexpr double ADAM_BETA1 = 0.9;
constexpr double ADAM_BETA2 = 0.999;
constexpr double ADAM_ONE_MINUS_BETA1 = 0.09999999999999998;
constexpr double ADAM_ONE_MINUS_BETA2 = 0.0010000000000000009;
constexpr double ADAM_EPSILON = 1e-8;
constexpr double WEIGHT_DECAY = 1e-4;

// Working state of one training run; everything is host memory freed by the destructor.
struct MlpWork {
  double *z = nullptr;       // I standardised inputs of the current row
  double *act = nullptr;     // H hidden activations
  double *delta = nullptr;   // H hidden deltas
  double *out = nullptr;     // O output scores, then deltas
  float *w1t = nullptr;      // I x H first layer, transposed so a row's units are contiguous
  double *g_w1t = nullptr, *m_w1t = nullptr, *v_w1t = nullptr; // I x H, transposed like w1t
  double *g_b1 = nullptr, *m_b1 = nullptr, *v_b1 = nullptr;    // H
  double *g_w2 = nullptr, *m_w2 = nullptr, *v_w2 = nullptr;    // O x H
  double *g_sk = nullptr, *m_sk = nullptr, *v_sk = nullptr;    // O x I (skip block only)
  double *g_b2 = nullptr, *m_b2 = nullptr, *v_b2 = nullptr;    // O
  ~MlpWork() {
    double *all[] = {z, act, delta, out, g_w1t, m_w1t, v_w1t, g_b1, m_b1, v_b1, g_w2, m_w2, v_w2,
                     g_sk, m_sk, v_sk, g_b2, m_b2, v_b2};
    for (double *p : all) sqlite3_free(p);
    sqlite3_free(w1t);
  }
};

// acc[h] += w[h] * z for every hidden unit (one term of each unit's own ordered sum).
[[gnu::always_inline]] inline void lanes_axpy(double *acc, const float *w, double z, int count) {
  for (int h = 0; h < count; h++) acc[h] += (double)w[h] * z;
}

// acc[h] += w[h] * z for binary64 weights.
[[gnu::always_inline]] inline void lanes_axpy_d(double *acc, const double *w, double z,
                                                                      int count) {
  for (int h = 0; h < count; h++) acc[h] += w[h] * z;
}

// acc[h] += factor * w[h] where w is binary32.
[[gnu::always_inline]] inline void lanes_scaled_add(double *acc, double factor, const float *w,
                                                                          int count) {
  for (int h = 0; h < count; h++) acc[h] += factor * (double)w[h];
}

// The ordered dot product sum_h w[h] * a[h], starting from 0.
[[gnu::always_inline]] inline double ordered_dot(const float *w, const double *a, int count) {
  double acc = 0.0;
  for (int h = 0; h < count; h++) acc += (double)w[h] * a[h];
  return acc;
}


// One pass over the rows of an epoch: forward, output deltas and gradient accumulation.
__attribute__((target_clones("avx2", "default"))) void mlp_epoch_rows(const float *x, int n, int I, int H, int O,
                                                                        const int32_t *class_indexes,
                                                                        const float *targets, int task,
                                                                        int linear_block, double s,
                                                                        const mlp_params &p, MlpWork &w) {
  for (int i = 0; i < n; i++) {
    const float *row = x + (int64_t)i * I;
    for (int j = 0; j < I; j++) w.z[j] = ((double)row[j] - (double)p.means[j]) / (double)p.scales[j];
    // Hidden layer: each unit's sum starts at its bias and adds the inputs in order.
    for (int h = 0; h < H; h++) w.act[h] = (double)p.b1[h];
    for (int j = 0; j < I; j++) lanes_axpy(w.act, w.w1t + (int64_t)j * H, w.z[j], H);
    for (int h = 0; h < H; h++) w.act[h] = tanh(w.act[h]);
    // Outputs and their deltas.
    for (int k = 0; k < O; k++) {
      double o = (double)p.b2[k] + s * ordered_dot(p.w2 + (int64_t)k * H, w.act, H);
      if (linear_block) o += ordered_dot(p.skip + (int64_t)k * I, w.z, I);
      w.out[k] = o;
    }
    if (task == 0) {
      double mx = w.out[0];
      for (int k = 1; k < O; k++)
        if (w.out[k] > mx) mx = w.out[k];
      double sum = 0.0;
      for (int k = 0; k < O; k++) {
        w.out[k] = exp(w.out[k] - mx);
        sum += w.out[k];
      }
      for (int k = 0; k < O; k++) {
        double y = targets ? (double)targets[(int64_t)i * O + k] : (class_indexes[i] == k ? 1.0 : 0.0);
        w.out[k] = w.out[k] / sum - y;
      }
    } else {
      for (int k = 0; k < O; k++) w.out[k] -= (double)targets[(int64_t)i * O + k];
    }
    // Gradients, with the second layer as it stood before this epoch's update.
    for (int h = 0; h < H; h++) w.delta[h] = 0.0;
    for (int k = 0; k < O; k++) {
      const double d = w.out[k];
      w.g_b2[k] += d;
      if (H > 0) {
        lanes_axpy_d(w.g_w2 + (int64_t)k * H, w.act, d * s, H);
        lanes_scaled_add(w.delta, d * s, p.w2 + (int64_t)k * H, H);
      }
      if (linear_block) lanes_axpy_d(w.g_sk + (int64_t)k * I, w.z, d, I);
    }
    for (int h = 0; h < H; h++) {
      w.delta[h] = (1.0 - w.act[h] * w.act[h]) * w.delta[h];
      w.g_b1[h] += w.delta[h];
    }
    for (int j = 0; j < I; j++) lanes_axpy_d(w.g_w1t + (int64_t)j * H, w.delta, w.z[j], H);
  }
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
  for (float *a : all) sqlite3_free(a);
  memset(p, 0, sizeof *p);
}

__attribute__((target_clones("avx2", "default"))) void mlp_adam(float *parameters, double *gradients,
                                                                   double *first_moments, double *second_moments,
                                                                   int64_t count, float learning_rate,
                                                                   double gradient_scale, double bias_correction1,
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
                     const float *targets, int task, int hidden, int epochs, float learning_rate,
                     int linear_block, mlp_params *out) {
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
  bool ok = true;
  auto f32 = [&](float **dst, int64_t count) {
    if (count <= 0) return;
    *dst = host_calloc<float>(count);
    if (!*dst) ok = false;
  };
  auto f64 = [&](double **dst, int64_t count) {
    if (count <= 0) return;
    *dst = host_calloc<double>(count);
    if (!*dst) ok = false;
  };
  const int64_t HI = (int64_t)H * I, OH = (int64_t)O * H, OI = (int64_t)O * I;
  f32(&p.means, I);
  f32(&p.scales, I);
  f32(&p.w1, HI);
  f32(&p.b1, H);
  f32(&p.w2, OH);
  f32(&p.b2, O);
  if (linear_block) f32(&p.skip, OI);
  f64(&w.z, I);
  f64(&w.act, H);
  f64(&w.delta, H);
  f64(&w.out, O);
  f32(&w.w1t, HI);
  f64(&w.g_w1t, HI);
  f64(&w.m_w1t, HI);
  f64(&w.v_w1t, HI);
  f64(&w.g_b1, H);
  f64(&w.m_b1, H);
  f64(&w.v_b1, H);
  f64(&w.g_w2, OH);
  f64(&w.m_w2, OH);
  f64(&w.v_w2, OH);
  if (linear_block) {
    f64(&w.g_sk, OI);
    f64(&w.m_sk, OI);
    f64(&w.v_sk, OI);
  }
  f64(&w.g_b2, O);
  f64(&w.m_b2, O);
  f64(&w.v_b2, O);
  if (!ok) {
    mlp_params_free(&p);
    return SQLITE_NOMEM;
  }

  // Population mean and deviation per input, in row order.
  for (int j = 0; j < I; j++) {
    double sum = 0.0;
    for (int i = 0; i < n; i++) sum += (double)x[(int64_t)i * I + j];
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

  // Glorot-uniform draws, group by group in array order.
  uint32_t state = MLP_SEED;
  const double hidden_fan = H > 0 ? (double)H : 1.0;
  const double lim1 = sqrt(6.0 / (hidden_fan + I));
  for (int64_t k = 0; k < HI; k++) p.w1[k] = (float)(mlp_draw(&state) * lim1);
  const double lim2 = sqrt(6.0 / (hidden_fan + O));
  for (int64_t k = 0; k < OH; k++) p.w2[k] = (float)(mlp_draw(&state) * lim2);
  if (linear_block) {
    const double lim3 = sqrt(6.0 / ((double)O + I));
    for (int64_t k = 0; k < OI; k++) p.skip[k] = (float)(mlp_draw(&state) * lim3);
  }
  for (int h = 0; h < H; h++)
    for (int j = 0; j < I; j++) w.w1t[(int64_t)j * H + h] = p.w1[(int64_t)h * I + j];

  const double s = linear_block ? 0.1 : 1.0;
  const double grad_scale = 1.0 / n;
  double pow1 = 1.0, pow2 = 1.0;
  for (int e = 1; e <= epochs; e++) {
    pow1 *= ADAM_BETA1;
    pow2 *= ADAM_BETA2;
    mlp_epoch_rows(x, n, I, H, O, class_indexes, targets, task, linear_block, s, p, w);
    const double bc1 = 1.0 - pow1, bc2 = 1.0 - pow2;
    if (H > 0) {
      mlp_adam(w.w1t, w.g_w1t, w.m_w1t, w.v_w1t, HI, learning_rate, grad_scale, bc1, bc2);
      mlp_adam(p.b1, w.g_b1, w.m_b1, w.v_b1, H, learning_rate, grad_scale, bc1, bc2);
      mlp_adam(p.w2, w.g_w2, w.m_w2, w.v_w2, OH, learning_rate, grad_scale, bc1, bc2);
    }
    if (linear_block) mlp_adam(p.skip, w.g_sk, w.m_sk, w.v_sk, OI, learning_rate, grad_scale, bc1, bc2);
    mlp_adam(p.b2, w.g_b2, w.m_b2, w.v_b2, O, learning_rate, grad_scale, bc1, bc2);
  }
  for (int h = 0; h < H; h++)
    for (int j = 0; j < I; j++) p.w1[(int64_t)h * I + j] = w.w1t[(int64_t)j * H + h];
  *out = p;
  return SQLITE_OK;
}

int train_mlp(const float *x, int n, int input_count, int output_count, const int32_t *class_indexes,
              const float *targets, int task, int hidden, int epochs, float learning_rate, int linear_block,
              mlp_model *model, char **error_message) {
  *error_message = nullptr;
  memset(model, 0, sizeof *model);
  mlp_params p{};
  int rc = mlp_train_params(x, n, input_count, output_count, class_indexes, targets, task, hidden, epochs,
                            learning_rate, linear_block, &p);
  if (rc != SQLITE_OK) {
    *error_message = sqlite3_mprintf("%s: out of memory", VORNEL_ERR_RESOURCE);
    return SQLITE_NOMEM;
  }
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
