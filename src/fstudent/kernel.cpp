// The forecast student's forward pass over transposed weights (see kernel.h). The lanes are
// independent sums, so the vector and scalar builds of each loop give the same bits. The
// weights are kept widened to binary64, as every product is formed in binary64 anyway.
#include "fstudent/kernel.h"
#include <math.h>

namespace {

typedef double v4d __attribute__((vector_size(32)));

int round4(int n) { return (n + 3) & ~3; }

inline void load(v4d *v, const double *p) { memcpy(v, p, sizeof *v); }

// acc[j .. j + 4U) = sum over rows r of z[r] * w[r * lanes + j ..], each lane from 0.0 with
// the rows in order: U independent sums of four lanes in flight.
template <int U>
[[gnu::always_inline]] inline void gemv_block(double *acc, const double *z, const double *w, int rows, int lanes,
                                              int j) {
  v4d a[U] = {};
  for (int r = 0; r < rows; r++) {
    const double *p = w + (int64_t)r * lanes + j;
    const double zr = z[r];
    const v4d zz = {zr, zr, zr, zr};
    for (int u = 0; u < U; u++) {
      v4d x;
      load(&x, p + 4 * u);
      a[u] += zz * x;
    }
  }
  memcpy(acc + j, a, sizeof a);
}

// acc[0..lanes) = sum over rows r of z[r] * w[r * lanes ..] (lanes is a multiple of 4), in
// blocks of 32 lanes and one last block of what remains, so that every row pass keeps several
// sums in flight.
VORNEL_KERNEL void gemv_lanes(double *acc, const double *z, const double *w, int rows, int lanes) {
  int j = 0;
  for (; j + 32 <= lanes; j += 32)
    gemv_block<8>(acc, z, w, rows, lanes, j);
  switch ((lanes - j) / 4) {
  case 7:
    gemv_block<7>(acc, z, w, rows, lanes, j);
    break;
  case 6:
    gemv_block<6>(acc, z, w, rows, lanes, j);
    break;
  case 5:
    gemv_block<5>(acc, z, w, rows, lanes, j);
    break;
  case 4:
    gemv_block<4>(acc, z, w, rows, lanes, j);
    break;
  case 3:
    gemv_block<3>(acc, z, w, rows, lanes, j);
    break;
  case 2:
    gemv_block<2>(acc, z, w, rows, lanes, j);
    break;
  case 1:
    gemv_block<1>(acc, z, w, rows, lanes, j);
    break;
  default:
    break;
  }
}

} // namespace

int fcst_kernel_init(fcst_kernel *k, const mlp_model *net) {
  memset(k, 0, sizeof *k);
  const int I = net->input_count, H = net->hidden_count, O = net->output_count;
  k->inputs = I;
  k->hidden = H;
  k->outputs = O;
  k->hidden_lanes = round4(H);
  k->output_lanes = round4(O);
  const int HL = k->hidden_lanes, OL = k->output_lanes;
  k->z = host_calloc<double>(I);
  k->hd = host_calloc<double>(H > 0 ? H : 1);
  k->acc = host_calloc<double>(HL > OL ? HL : OL);
  k->direct = host_calloc<double>(OL);
  bool ok = k->z && k->hd && k->acc && k->direct;
  if (H > 0) {
    k->hidden_t = host_calloc<double>((int64_t)I * HL);
    k->output_t = host_calloc<double>((int64_t)H * OL);
    ok = ok && k->hidden_t && k->output_t;
  }
  if (net->skip_weights) {
    k->skip_t = host_calloc<double>((int64_t)I * OL);
    ok = ok && k->skip_t;
  }
  if (!ok) {
    fcst_kernel_free(k);
    return SQLITE_NOMEM;
  }
  for (int j = 0; j < H; j++)
    for (int i = 0; i < I; i++)
      k->hidden_t[(int64_t)i * HL + j] = net->hidden_weights[(int64_t)j * I + i];
  for (int o = 0; o < O && H > 0; o++)
    for (int j = 0; j < H; j++)
      k->output_t[(int64_t)j * OL + o] = net->output_weights[(int64_t)o * H + j];
  if (k->skip_t)
    for (int o = 0; o < O; o++)
      for (int i = 0; i < I; i++)
        k->skip_t[(int64_t)i * OL + o] = net->skip_weights[(int64_t)o * I + i];
  return SQLITE_OK;
}

void fcst_kernel_free(fcst_kernel *k) {
  if (!k) return;
  host_free_all(k->hidden_t, k->output_t, k->skip_t, k->z, k->hd, k->acc, k->direct);
  memset(k, 0, sizeof *k);
}

void fcst_kernel_forward(fcst_kernel *k, const mlp_model *net, const float *inputs, float *hidden, float *outputs) {
  const int I = k->inputs, H = k->hidden, O = k->outputs;
  for (int i = 0; i < I; i++)
    k->z[i] = ((double)inputs[i] - (double)net->input_mean[i]) / (double)net->input_scale[i];
  if (H > 0) {
    gemv_lanes(k->acc, k->z, k->hidden_t, I, k->hidden_lanes);
    for (int j = 0; j < H; j++)
      hidden[j] = (float)tanh((double)net->hidden_bias[j] + k->acc[j]);
  }
  // Output sums over the hidden units, then over the inputs for the skip block.
  if (H > 0) {
    for (int j = 0; j < H; j++)
      k->hd[j] = (double)hidden[j];
    gemv_lanes(k->acc, k->hd, k->output_t, H, k->output_lanes);
  } else {
    for (int o = 0; o < k->output_lanes; o++)
      k->acc[o] = 0.0;
  }
  if (k->skip_t) gemv_lanes(k->direct, k->z, k->skip_t, I, k->output_lanes);
  const double scale = net->skip_weights ? 0.1 : 1.0;
  for (int o = 0; o < O; o++) {
    double v = (double)net->output_bias[o] + scale * k->acc[o];
    if (k->skip_t) v += k->direct[o];
    outputs[o] = (float)v;
  }
}
