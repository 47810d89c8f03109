// Stand-ins for interfaces whose subsystems have not landed yet; removed when they do.
#include "fstudent/deps.h"
#include <math.h>

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
