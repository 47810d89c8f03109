// A forward pass of a forecast student's network laid out for speed: the weight matrices are
// kept transposed so that one pass over an input updates the sums of four hidden units (or
// outputs) side by side. Each sum still runs from 0.0 over its terms in index order in
// binary64, exactly as mlp_forward does, so the results are the same bits.
#pragma once
#include "fstudent/fstudent.h"

struct fcst_kernel {
  int32_t inputs;       // I
  int32_t hidden;       // H
  int32_t outputs;      // O
  int32_t hidden_lanes; // H rounded up to a multiple of 4
  int32_t output_lanes; // O rounded up to a multiple of 4
  double *hidden_t;     // I x hidden_lanes: input i's weight into each hidden unit; owned
  double *output_t;     // H x output_lanes: hidden unit j's weight into each output; owned
  double *skip_t;       // I x output_lanes, or null without a skip block; owned
  double *z;            // I standardised inputs (scratch); owned
  double *hd;           // H hidden values widened (scratch); owned
  double *acc;          // max(hidden_lanes, output_lanes) sums (scratch); owned
  double *direct;       // output_lanes skip sums (scratch); owned
};

// Builds the layout for net (which must outlive the kernel). Returns 0 or SQLITE_NOMEM.
int fcst_kernel_init(fcst_kernel *k, const mlp_model *net);
void fcst_kernel_free(fcst_kernel *k);
// The forward pass of net on inputs, into hidden (H floats) and outputs (O floats).
void fcst_kernel_forward(fcst_kernel *k, const mlp_model *net, const float *inputs, float *hidden, float *outputs);
// fcst_infer with the network evaluated by the kernel: the same results.
void fcst_infer_kernel(const fcst_student *student, fcst_kernel *kernel, const double *context, float *inputs,
                       float *hidden, float *outputs, double *out_centre, double *out_scale);
