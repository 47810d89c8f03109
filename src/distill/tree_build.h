// CART builder shared by the single-tree student and the boosted trees' weak learners: Gini
// or squared-error splits, binary32 midpoint thresholds, pre-order node layout (node 0 is the
// root of a fresh build) and mean, majority or Newton leaves.
//
// Each feature's rows are sorted once per build (or once for many builds, through a shared
// bld_presort); a node's rows then occupy one segment of every feature's order, and a split
// partitions those segments stably, so no node sorts again and the splits are those a per-node
// sort by value would give.
#pragma once
#include "core/cancel.h"
#include "distill/student_types.h"
#include <stdint.h>

// One entry of a feature's order: the row's value of that feature and the row.
struct bld_entry {
  float value; // x[row][feature]
  int32_t row; // row index into the feature matrix
};

// Per-feature orders of a fixed row set, sorted by value (ties by row index). Shared by the
// boosted trees, whose every weak learner grows on the same rows.
struct bld_presort {
  int32_t feature_count; // m
  int32_t row_count;     // rows in each order
  int32_t max_row;       // largest row index present
  bld_entry *entries;    // feature_count x row_count, feature-major; owned, bld_presort_free
};

// Sorts each feature's values of the given rows. Returns 0, SQLITE_NOMEM, or SQLITE_INTERRUPT
// when cancel (may be null) asked to stop; then nothing is held.
int bld_presort_init(bld_presort *presort, const float *x, int32_t feature_count, const int32_t *rows, int32_t n,
                     Cancel *cancel = nullptr);
void bld_presort_free(bld_presort *presort);

struct bld_work;

// Builder state, filled by the caller; fields not given are zero.
struct tree_builder {
  tree_node *nodes;           // node array; owned until handed to the student (sqlite3_free)
  int32_t node_count;         // nodes in use
  int32_t node_capacity;      // nodes allocated
  const float *x;             // feature matrix, row-major; borrowed
  int32_t feature_count;      // m, columns of x
  const int32_t *labels;      // class index per row (classification); borrowed
  const float *targets;       // target (or gradient) per row (regression); borrowed
  int32_t class_count;        // K (classification)
  int32_t regression;         // 0 classification, non-zero regression
  int32_t max_depth;          // 0 means 8
  int32_t min_split;          // minimum rows for a split; 0 means 5
  const float *hessians;      // per row, or null; when given, leaves take Newton values
  float leaf_lambda;          // added to a Newton leaf's hessian sum
  const bld_presort *presort; // optional; must hold exactly the rows of the root call; borrowed
  Cancel *cancel;             // optional; asked as the build goes; borrowed
  int32_t stopped;            // set when the build ended because cancel asked it to
  bld_work *work;             // private to a running build
};

// Builds the subtree for n row indexes (reordered in place) at the given depth and returns its
// root node's index, or -1 when memory runs out or the build was asked to stop (`stopped` then
// tells which; nodes appended so far stay in the array).
int32_t bld_build(tree_builder *state, int32_t *indexes, int32_t n, int32_t depth);

// Turns node into a leaf for those rows. Never allocates.
void bld_leaf(tree_builder *state, const int32_t *indexes, int32_t n, int32_t node);
