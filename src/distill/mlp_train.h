// Full-batch Adam training of the one-hidden-layer perceptron (mlp_model): the tabular MLP
// student and the forecast student both train through train_mlp. The numeric core works on
// plain arrays (mlp_params) so it is tested without a database; train_mlp moves the result
// into an mlp_model.
#pragma once
#include "core/cancel.h"
#include <stdint.h>

struct mlp_model;

// Weights produced by the trainer; every array is host memory owned by the record and freed
// by mlp_params_free. Layouts are those of mlp_model.
struct mlp_params {
  int32_t task;         // 0 classification, non-zero regression
  int32_t input_count;  // I
  int32_t hidden;       // H (0: no hidden layer)
  int32_t output_count; // O
  float *means;         // I input means; owned
  float *scales;        // I input scales (divisor of the standardisation); owned
  float *w1;            // H x I, row h holds hidden unit h's weights; owned (null when H = 0)
  float *b1;            // H hidden biases; owned (null when H = 0)
  float *w2;            // O x H, row k holds output k's weights; owned (null when H = 0)
  float *b2;            // O output biases; owned
  float *skip;          // O x I linear skip block, or null when not requested; owned
};

void mlp_params_free(mlp_params *params);

// The initial-weight generator: one xorshift32 step (a zero state becomes 1 first) and the
// draw state * 2^-31 - 1 in [-1, 1).
double mlp_draw(uint32_t *state);

// Trains on n rows of x (n x input_count binary32, row-major; not copied). Classification
// (task 0) learns class_indexes, or the n x output_count distributions in targets when given;
// regression learns targets. Returns 0 with *out filled, or SQLITE_NOMEM, or SQLITE_INTERRUPT
// when cancel (may be null) asked to stop; then nothing is held.
int mlp_train_params(const float *x, int n, int input_count, int output_count, const int32_t *class_indexes,
                     const float *targets, int task, int hidden, int epochs, float learning_rate, int linear_block,
                     mlp_params *out, Cancel *cancel = nullptr);

// Same training, filling an mlp_model (header, standardisation and weights; the caller attaches
// feature names and class labels). Returns 0, or SQLITE_NOMEM with "%s: out of memory" in
// *error_message, or SQLITE_INTERRUPT without a message; the partial model is then freed.
int train_mlp(const float *x, int n, int input_count, int output_count, const int32_t *class_indexes,
              const float *targets, int task, int hidden, int epochs, float learning_rate, int linear_block,
              mlp_model *model, char **error_message, Cancel *cancel = nullptr);

// One Adam step over a parameter group: adds the weight decay, updates the moments, writes
// each parameter back as binary32 and clears its gradient accumulator.
void mlp_adam(float *parameters, double *gradients, double *first_moments, double *second_moments, int64_t count,
              float learning_rate, double gradient_scale, double bias_correction1, double bias_correction2);
