// Gradient-boosted trees trainer (Friedman's gradient boosting with Newton leaves for the
// softmax loss): 200 rounds of one depth-3 regression tree per output, shrinkage 0.1.
#pragma once
#include "distill/student_types.h"
#include <stdint.h>

// The trained ensemble in plain arrays; every array is host memory owned by the record.
struct gbt_forest {
  int32_t task;           // 0 classification, 1 regression
  int32_t output_count;   // K: class count, or 1 for regression
  int32_t rounds;         // R
  float learning_rate;    // shrinkage, binary32
  float *initial_scores;  // K starting scores; owned
  int32_t tree_count;     // R x K
  int32_t *offsets;       // tree_count + 1 first-node indexes; owned
  tree_node *nodes;       // every tree's nodes, children relative to the tree's first node; owned
  int32_t node_count;     // nodes in use
  int32_t node_capacity;  // nodes allocated
};

void gbt_forest_free(gbt_forest *forest);

// Training input: rows 0..t-1 of x are used.
struct gbt_input {
  const float *x;           // row-major binary32 features; borrowed
  int32_t feature_count;    // m
  int32_t rows;             // t
  int32_t task;             // 0 classification, 1 regression
  int32_t class_count;      // C (classification)
  const int32_t *labels;    // class index per row (classification)
  const float *values;      // label per row (regression)
  const float *soft;        // optional t x C class distributions (classification)
};

inline constexpr int32_t GBT_ROUNDS = 200;
inline constexpr float GBT_LEARNING_RATE = 0.1f;

// Trains the ensemble. Returns 0 with *out filled, or SQLITE_NOMEM with nothing held.
int gbt_train(const gbt_input *in, gbt_forest *out);

// The leaf value one boosted tree gives a row, or 0 when no leaf is reached in n + 1 visits.
float gbt_tree_value(const tree_node *first, int32_t n, const float *inputs);
