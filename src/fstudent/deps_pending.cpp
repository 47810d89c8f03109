// Stand-ins for interfaces whose subsystems have not landed yet; removed when they do.
#include "fstudent/deps.h"
#include <math.h>

double vornel0_norm_quantile(double p) {
  static const double a[] = {-39.69683028665376, 220.9460984245205, -275.9285104469687,
                             138.357751867269,   -30.66479806614716, 2.506628277459239};
  static const double b[] = {-54.47609879822406, 161.5858368580409, -155.6989798598866, 66.80131188771972,
                             -13.28068155288572};
  static const double c[] = {-0.007784894002430293, -0.3223964580411365, -2.400758277161838,
                             -2.549732539343734,    4.374664141464968,   2.938163982698783};
  static const double d[] = {0.007784695709041462, 0.3224671290700398, 2.445134137142996, 3.754408661907416};
  auto tail = [&](double q) {
    return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
           ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
  };
  if (p < 0.02425) return tail(sqrt(-2 * log(p)));
  if (p <= 0.97575) {
    double q = p - 0.5, r = q * q;
    return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
           (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
  }
  return -tail(sqrt(-2 * log(1 - p)));
}

double vornel0_quantile_at(const float *L, const double *V, int count, double x) {
  if (count == 1) return V[0];
  if (x <= L[0]) return V[0] + (V[1] - V[0]) / (L[1] - L[0]) * (x - L[0]);
  if (x >= L[count - 1])
    return V[count - 1] + (V[count - 1] - V[count - 2]) / (L[count - 1] - L[count - 2]) * (x - L[count - 1]);
  int i = 1;
  while (x > L[i]) i++;
  return V[i - 1] + (V[i] - V[i - 1]) * (x - L[i - 1]) / (L[i] - L[i - 1]);
}

// Stand-in trainer: the input standardisation and a zero network, enough to store a student.
int train_mlp(const float *x, int n, int I, int O, const int *, const float *, int task, int H, int, float, int linear,
              mlp_model *m, char **err) {
  memset(m, 0, sizeof *m);
  m->task = task ? 1 : 0, m->input_count = I, m->hidden_count = H, m->output_count = O;
  m->input_mean = host_calloc<float>(I);
  m->input_scale = host_calloc<float>(I);
  m->hidden_weights = H ? host_calloc<float>((int64_t)H * I) : nullptr;
  m->hidden_bias = H ? host_calloc<float>(H) : nullptr;
  m->output_weights = H ? host_calloc<float>((int64_t)O * H) : nullptr;
  m->output_bias = host_calloc<float>(O);
  m->skip_weights = linear ? host_calloc<float>((int64_t)O * I) : nullptr;
  if (!m->input_mean || !m->input_scale || !m->output_bias) {
    mlp_free(m);
    *err = sqlite3_mprintf("%s: out of memory", VORNEL_ERR_RESOURCE);
    return SQLITE_NOMEM;
  }
  for (int j = 0; j < I; j++) {
    double s = 0, ss = 0;
    for (int i = 0; i < n; i++) s += x[(int64_t)i * I + j];
    double mean = s / n;
    for (int i = 0; i < n; i++) ss += (x[(int64_t)i * I + j] - mean) * (x[(int64_t)i * I + j] - mean);
    m->input_mean[j] = (float)mean;
    float sc = (float)sqrt(ss / n);
    m->input_scale[j] = sc > 1e-6f ? sc : 1e-6f;
  }
  return SQLITE_OK;
}
