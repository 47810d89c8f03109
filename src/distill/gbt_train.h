// Gradient-boosted trees trainer (Friedman's gradient boosting with Newton leaves for the
// softmax loss): 200 rounds of one depth-3 regression tree per output, shrinkage 0.1.
#pragma once
#include "distill/student_types.h"
#include <stdint.h>

// Training input: rows 0..t-1 of x are used.
struct gbt_input {
  const float *x;        // row-major binary32 features; borrowed
  int32_t feature_count; // m
  int32_t rows;          // t
  int32_t task;          // 0 classification, 1 regression
  int32_t class_count;   // C (classification)
  const int32_t *labels; // class index per row (classification)
  const float *values;   // label per row (regression)
  const float *soft;     // optional t x C class distributions (classification)
  Cancel *cancel;        // optional; asked as the rounds go; borrowed
};

inline constexpr int32_t GBT_ROUNDS = 200;
inline constexpr float GBT_LEARNING_RATE = 0.1f;

// Trains the ensemble into *out: header, initial scores, offsets and nodes (the caller
// attaches feature names and class labels). Returns 0, or SQLITE_NOMEM or SQLITE_INTERRUPT
// (the cancel hook asked to stop) with *out freed.
int gbt_train(const gbt_input *in, forest_model *out);
