// Perceptron training around the epoch kernel: population standardisation, xorshift32
// Glorot-uniform initialisation from a fixed seed, and full-batch Adam (Kingma and Ba) with
// weight decay, then the hand-over of the weights as an mlp_params or an mlp_model.
#include "distill/mlp_train.h"
#include "distill/mlp_work.h"
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

// Refreshes the binary64 copies of the hidden-layer parameters after an update.
void refresh_copies(MlpWork &w, int I, int O) {
  for (int64_t k = 0; k < (int64_t)I * w.Hp; k++)
    w.w1d[k] = (double)w.w1t[k];
  for (int h = 0; h < w.Hp; h++)
    w.b1d[h] = (double)w.b1[h];
  for (int64_t k = 0; k < (int64_t)O * w.Hp; k++)
    w.w2d[k] = (double)w.w2[k];
}

// Allocates the parameters of p (its sizes set) and every working array of w (its Hp set);
// the skip block's arrays only with linear_block. Every working array gets at least one
// element so that a zero-width layer needs no checks. Returns false when memory runs out
// (what was allocated stays with p and w).
bool alloc_training(mlp_params &p, MlpWork &w, bool linear_block) {
  const int I = p.input_count, H = p.hidden, O = p.output_count, Hp = w.Hp;
  bool ok = true;
  auto f32 = [&](float **dst, int64_t count, bool always) {
    if (count <= 0 && !always) return;
    *dst = host_calloc<float>(count > 0 ? count : 1);
    if (!*dst) ok = false;
  };
  auto f64 = [&](double **dst, int64_t count) {
    *dst = host_calloc<double>(count > 0 ? count : 1);
    if (!*dst) ok = false;
  };
  const int64_t OI = (int64_t)O * I, IHp = (int64_t)I * Hp, OHp = (int64_t)O * Hp;
  f32(&p.means, I, false);
  f32(&p.scales, I, false);
  f32(&p.w1, (int64_t)H * I, false);
  f32(&p.b1, H, false);
  f32(&p.w2, (int64_t)O * H, false);
  f32(&p.b2, O, false);
  if (linear_block) f32(&p.skip, OI, false);
  f32(&w.w1t, IHp, true);
  f32(&w.b1, Hp, true);
  f32(&w.w2, OHp, true);
  const struct {
    double **array;
    int64_t count;
    bool wanted;
  } doubles[] = {{&w.w1d, IHp, true},
                 {&w.b1d, Hp, true},
                 {&w.w2d, OHp, true},
                 {&w.g_w1t, IHp, true},
                 {&w.m_w1t, IHp, true},
                 {&w.v_w1t, IHp, true},
                 {&w.g_b1, Hp, true},
                 {&w.m_b1, Hp, true},
                 {&w.v_b1, Hp, true},
                 {&w.g_w2, OHp, true},
                 {&w.m_w2, OHp, true},
                 {&w.v_w2, OHp, true},
                 {&w.g_sk, OI, linear_block},
                 {&w.m_sk, OI, linear_block},
                 {&w.v_sk, OI, linear_block},
                 {&w.g_b2, O, true},
                 {&w.m_b2, O, true},
                 {&w.v_b2, O, true},
                 {&w.z, (int64_t)MLP_BLOCK * I, true},
                 {&w.act, (int64_t)MLP_BLOCK * Hp, true},
                 {&w.out, (int64_t)MLP_BLOCK * O, true},
                 {&w.act_t, (int64_t)MLP_BLOCK * Hp, true},
                 {&w.z_t, (int64_t)MLP_BLOCK * I, true},
                 {&w.ds, (int64_t)MLP_BLOCK * O, true},
                 {&w.skd, OI, linear_block}};
  for (const auto &d : doubles)
    if (d.wanted) f64(d.array, d.count);
  return ok;
}

// Population mean and deviation per input, in row order, into p's standardisation.
void standardise(const float *x, int n, mlp_params &p) {
  const int I = p.input_count;
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
}

// Glorot-uniform draws, group by group in the model's array order, copied into the working
// layout of w.
void initial_weights(mlp_params &p, MlpWork &w) {
  const int I = p.input_count, H = p.hidden, O = p.output_count, Hp = w.Hp;
  const int64_t HI = (int64_t)H * I, OH = (int64_t)O * H, OI = (int64_t)O * I;
  uint32_t state = MLP_SEED;
  const double hidden_fan = H > 0 ? (double)H : 1.0;
  const double lim1 = sqrt(6.0 / (hidden_fan + I));
  for (int64_t k = 0; k < HI; k++)
    p.w1[k] = (float)(mlp_draw(&state) * lim1);
  const double lim2 = sqrt(6.0 / (hidden_fan + O));
  for (int64_t k = 0; k < OH; k++)
    p.w2[k] = (float)(mlp_draw(&state) * lim2);
  if (p.skip) {
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
  if (p.skip)
    for (int64_t k = 0; k < OI; k++)
      w.skd[k] = (double)p.skip[k];
}

} // namespace

// Defined before its first call: a function cannot gain its clones after it has been used.
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

namespace {

// The epochs: a pass over the rows, then one Adam step per parameter group. Returns false
// when cancel asked to stop.
bool run_epochs(const EpochInput &in, mlp_params &p, MlpWork &w, int epochs, float learning_rate, Cancel *cancel) {
  const int I = in.I, H = in.H, O = in.O, Hp = w.Hp;
  const int64_t OI = (int64_t)O * I, IHp = (int64_t)I * Hp, OHp = (int64_t)O * Hp;
  const double grad_scale = 1.0 / in.n;
  double pow1 = 1.0, pow2 = 1.0;
  for (int e = 1; e <= epochs; e++) {
    pow1 *= ADAM_BETA1;
    pow2 *= ADAM_BETA2;
    if (!mlp_epoch(in, w, cancel)) return false;
    const double bc1 = 1.0 - pow1, bc2 = 1.0 - pow2;
    if (H > 0) {
      mlp_adam(w.w1t, w.g_w1t, w.m_w1t, w.v_w1t, IHp, learning_rate, grad_scale, bc1, bc2);
      mlp_adam(w.b1, w.g_b1, w.m_b1, w.v_b1, Hp, learning_rate, grad_scale, bc1, bc2);
      mlp_adam(w.w2, w.g_w2, w.m_w2, w.v_w2, OHp, learning_rate, grad_scale, bc1, bc2);
      refresh_copies(w, I, O);
    }
    if (p.skip) {
      mlp_adam(p.skip, w.g_sk, w.m_sk, w.v_sk, OI, learning_rate, grad_scale, bc1, bc2);
      for (int64_t k = 0; k < OI; k++)
        w.skd[k] = (double)p.skip[k];
    }
    mlp_adam(p.b2, w.g_b2, w.m_b2, w.v_b2, O, learning_rate, grad_scale, bc1, bc2);
  }
  return true;
}

// Copies the trained hidden layers from the working layout back into p.
void export_weights(const MlpWork &w, mlp_params &p) {
  const int I = p.input_count, H = p.hidden, O = p.output_count, Hp = w.Hp;
  for (int h = 0; h < H; h++) {
    for (int j = 0; j < I; j++)
      p.w1[(int64_t)h * I + j] = w.w1t[(int64_t)j * Hp + h];
    p.b1[h] = w.b1[h];
  }
  for (int k = 0; k < O; k++)
    for (int h = 0; h < H; h++)
      p.w2[(int64_t)k * H + h] = w.w2[(int64_t)k * Hp + h];
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
  if (!alloc_training(p, w, linear_block != 0)) {
    mlp_params_free(&p);
    return SQLITE_NOMEM;
  }
  standardise(x, n, p);
  initial_weights(p, w);
  EpochInput in{x, n, I, H, O, class_indexes, targets, task, p.means, p.scales, p.b2, p.skip, linear_block ? 0.1 : 1.0};
  if (!run_epochs(in, p, w, epochs, learning_rate, cancel)) {
    mlp_params_free(&p);
    return SQLITE_INTERRUPT;
  }
  export_weights(w, p);
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
