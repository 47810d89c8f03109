// Forecast student inference: one network evaluation on a standardised context
// (fcst_infer), a loaded student's median path over folds (fcst_runner), and the forecast with
// intervals for a series (fcst_run): quantile
// interpolation across the student's levels, or, with a single level, a normal interval whose
// spread per step comes from the student's own in-sample errors.
#include "fstudent/kernel.h"
#include <math.h>

namespace {

// Standardises the L context values by their mean and floored population deviation.
void standardise_context(int L, const double *context, float *inputs, double *out_centre, double *out_scale) {
  double sum = 0.0;
  for (int i = 0; i < L; i++)
    sum += context[i];
  double mu = sum / L;
  double ss = 0.0;
  for (int i = 0; i < L; i++) {
    double d = context[i] - mu;
    ss += d * d;
  }
  double sigma = sqrt(ss / L);
  if (sigma < 1e-9) sigma = 1e-9;
  for (int i = 0; i < L; i++)
    inputs[i] = (float)((context[i] - mu) / sigma);
  *out_centre = mu;
  *out_scale = sigma;
}

} // namespace

void fcst_infer(const fcst_student *student, const double *context, float *inputs, float *hidden, float *outputs,
                double *out_centre, double *out_scale) {
  standardise_context(student->net.input_count, context, inputs, out_centre, out_scale);
  mlp_forward(&student->net, inputs, hidden, outputs);
}

void fcst_infer_kernel(const fcst_student *student, fcst_kernel *kernel, const double *context, float *inputs,
                       float *hidden, float *outputs, double *out_centre, double *out_scale) {
  standardise_context(student->net.input_count, context, inputs, out_centre, out_scale);
  fcst_kernel_forward(kernel, &student->net, inputs, hidden, outputs);
}

namespace {

// Maps step s's outputs to the series' scale and sorts them ascending (insertion sort), so
// that crossing quantiles are put in order.
void step_values(const float *outputs, int s, int Q, double mu, double sigma, double *vals) {
  for (int j = 0; j < Q; j++) {
    double v = (double)outputs[s * Q + j] * sigma + mu;
    int k = j;
    while (k > 0 && vals[k - 1] > v) {
      vals[k] = vals[k - 1];
      k--;
    }
    vals[k] = v;
  }
}

// Fills ctx with the L values ending just before position end, repeating values[0] for
// positions before the start of the series.
void window(const double *values, int64_t end, int L, double *ctx) {
  for (int i = 0; i < L; i++) {
    int64_t p = end - L + i;
    ctx[i] = values[p < 0 ? 0 : p];
  }
}

} // namespace

int fcst_run(int steps, double confidence, double *out_centre, double *out_lower, double *out_upper,
             const fcst_student *student, int64_t n, const double *values) {
  const int L = student->net.input_count, H = student->net.hidden_count;
  const int E = student->horizon, Q = student->nquant;
  HostPtr<double> ctx(host_calloc<double>(L));
  HostPtr<double> vals(host_calloc<double>(Q));
  HostPtr<float> inputs(host_calloc<float>(L));
  HostPtr<float> hidden(host_calloc<float>(H > 0 ? H : 1));
  HostPtr<float> outputs(host_calloc<float>((int64_t)E * Q));
  // The single-level path's error sums, allocated before anything is written.
  HostPtr<double> sums(Q == 1 ? host_calloc<double>(E) : nullptr);
  HostPtr<float> win_out(Q == 1 ? host_calloc<float>(E) : nullptr);
  if (!ctx || !vals || !inputs || !hidden || !outputs || (Q == 1 && (!sums || !win_out))) return SQLITE_NOMEM;
  window(values, n, L, ctx.get());
  double mu, sigma;
  fcst_infer(student, ctx.get(), inputs.get(), hidden.get(), outputs.get(), &mu, &sigma);

  if (Q > 1) {
    const double lo = (1.0 - confidence) / 2, hi = (1.0 + confidence) / 2;
    for (int s = 0; s < steps; s++) {
      step_values(outputs.get(), s, Q, mu, sigma, vals.get());
      out_centre[s] = vornel0_quantile_at(student->levels, vals.get(), Q, 0.5);
      out_lower[s] = vornel0_quantile_at(student->levels, vals.get(), Q, lo);
      out_upper[s] = vornel0_quantile_at(student->levels, vals.get(), Q, hi);
    }
    return SQLITE_OK;
  }

  // A single level: the interval is normal, with each step's spread the root mean squared
  // error of the student on windows of the series itself.
  for (int s = 0; s < steps; s++)
    out_centre[s] = (double)outputs[s] * sigma + mu;
  const double final_sigma = sigma;
  const double z = vornel0_norm_quantile(0.5 * confidence + 0.5);
  const int64_t stride = E >= 2 ? E / 2 : 1;
  // The error windows can be many: evaluate them with the transposed layout (same bits), or
  // with the plain forward pass when there is no memory for it.
  fcst_kernel kernel = {};
  FreeGuard<fcst_kernel, fcst_kernel_free> guard(&kernel);
  const bool fast = n >= (int64_t)L + E && fcst_kernel_init(&kernel, &student->net) == SQLITE_OK;
  int64_t count = 0;
  for (int64_t w = 0; w + L + E <= n; w += stride) {
    if (fast)
      fcst_infer_kernel(student, &kernel, values + w, inputs.get(), hidden.get(), win_out.get(), &mu, &sigma);
    else
      fcst_infer(student, values + w, inputs.get(), hidden.get(), win_out.get(), &mu, &sigma);
    for (int k = 0; k < E; k++) {
      double e = values[w + L + k] - ((double)win_out[k] * sigma + mu);
      sums[k] += e * e;
    }
    count++;
  }
  for (int s = 0; s < steps; s++) {
    double spread = count > 0 ? sqrt(sums[s] / (double)count) : final_sigma;
    out_lower[s] = out_centre[s] - z * spread;
    out_upper[s] = out_centre[s] + z * spread;
  }
  return SQLITE_OK;
}

int fcst_runner_init(fcst_runner *r) {
  const int L = r->st.net.input_count, H = r->st.net.hidden_count, Q = r->st.nquant;
  r->context = host_calloc<double>(L);
  r->values = host_calloc<double>(Q);
  r->inputs = host_calloc<float>(L);
  r->hidden = host_calloc<float>(H > 0 ? H : 1);
  r->outputs = host_calloc<float>(r->st.net.output_count);
  if (!r->context || !r->values || !r->inputs || !r->hidden || !r->outputs) return SQLITE_NOMEM;
  r->kernel = host_calloc<fcst_kernel>(1);
  if (r->kernel && fcst_kernel_init(r->kernel, &r->st.net) != SQLITE_OK) {
    sqlite3_free(r->kernel);
    r->kernel = nullptr;
  }
  return SQLITE_OK;
}

void fcst_runner_free(fcst_runner *r) {
  if (!r) return;
  if (r->kernel) fcst_kernel_free(r->kernel);
  sqlite3_free(r->kernel);
  fcst_student_free(&r->st);
  host_free_all(r->context, r->values, r->inputs, r->hidden, r->outputs);
  memset(r, 0, sizeof *r);
}

void fcst_runner_median(fcst_runner *r, const double *y, int64_t end, int steps, double *out) {
  const fcst_student &st = r->st;
  window(y, end, st.net.input_count, r->context);
  double mu, sigma;
  if (r->kernel)
    fcst_infer_kernel(&st, r->kernel, r->context, r->inputs, r->hidden, r->outputs, &mu, &sigma);
  else
    fcst_infer(&st, r->context, r->inputs, r->hidden, r->outputs, &mu, &sigma);
  for (int s = 0; s < steps; s++) {
    step_values(r->outputs, s, st.nquant, mu, sigma, r->values);
    out[s] = vornel0_quantile_at(st.levels, r->values, st.nquant, 0.5);
  }
}
