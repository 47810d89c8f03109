// The interfaces of other subsystems that forecast students build on, gathered in one place:
// the perceptron record and its forward pass, the quantile helpers, the registry and the
// trainer. Until those subsystems land, deps_pending.cpp stands in for them.
#pragma once
#include "core/api.h"

// One-hidden-layer perceptron (input standardisation, tanh hidden layer, linear outputs,
// optional linear skip block).
struct mlp_model {
  int32_t task;          // 0 classification, 1 regression
  int32_t input_count;   // I
  int32_t hidden;        // H (0: no hidden layer)
  int32_t output_count;  // O
  int32_t class_count;   // C
  char **feature_names;  // I owned texts or null
  char **class_labels;   // C owned texts or null
  float *input_means;    // I
  float *input_scales;   // I
  float *hidden_weights; // H x I
  float *hidden_biases;  // H
  float *output_weights; // O x H
  float *output_biases;  // O
  float *skip;           // O x I or null
};
void mlp_forward(const mlp_model *m, const float *x, float *hidden, float *out);
void mlp_free(mlp_model *m);

double vornel0_norm_quantile(double p);
double vornel0_quantile_at(const float *levels, const double *values, int count, double x);

// Fits a one-hidden-layer perceptron by full-batch Adam (deterministic). Returns 0 with *model
// filled, or a result code with a built message in *err.
int train_mlp(const float *x, int n, int input_count, int output_count, const int *class_indexes,
              const float *targets, int task, int hidden, int epochs, float learning_rate, int linear_block,
              mlp_model *model, char **err);
