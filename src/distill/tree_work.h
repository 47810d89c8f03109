// The CART builder's working memory and its split search, shared by its two files:
// tree_build.cpp grows the tree, tree_split.cpp finds each node's best split.
#pragma once
#include "distill/tree_build.h"

// Working memory of one build, allocated once at the root call.
struct bld_work {
  bld_entry *order = nullptr;          // feature_count x n_root; node rows are one segment per feature
  bld_entry *scratch = nullptr;        // n_root entries for stable partitions
  uint8_t *go_left = nullptr;          // per row index: 1 when the current split sends it left
  int64_t *counts = nullptr;           // 3 x K class counts: node total, left side, right side
  double *recip = nullptr;             // recip[k] = 1 / k for k = 1..n_root (the sweeps' estimates)
  const bld_entry *root_src = nullptr; // the root's orders: the shared presort, or order itself
  const int32_t *root = nullptr;       // the root call's index array (segment offsets are relative to it)
  int32_t n_root = 0;
};

// The best split of a node: the feature and binary32 midpoint threshold of the highest score.
struct bld_split {
  bool found = false;
  double score = 0.0;
  int32_t feature = -1;
  float threshold = 0.0f;
};

// Searches every feature's segment of the node's rows (indexes, n of them, whose orders are in
// src at offset `off` from the root's) for the best split. Returns false, setting `stopped`,
// when the builder's cancel asked to stop.
bool bld_best_split(tree_builder *s, const int32_t *indexes, int32_t n, const bld_entry *src, int64_t off,
                    bld_split *best);
