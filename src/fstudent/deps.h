// The interfaces of other subsystems that forecast students build on, gathered in one place:
// the perceptron record and its forward pass, the quantile helpers, the registry and the
// trainer. Until those subsystems land, deps_pending.cpp stands in for them.
#pragma once
#include "core/api.h"
#include "tabular/student.h"
#include "ts/models.h"


// Fits a one-hidden-layer perceptron by full-batch Adam (deterministic). Returns 0 with *model
// filled, or a result code with a built message in *err.
int train_mlp(const float *x, int n, int input_count, int output_count, const int *class_indexes,
              const float *targets, int task, int hidden, int epochs, float learning_rate, int linear_block,
              mlp_model *model, char **err);
