// Boosting loop: priors, per-round softmax probabilities, gradients and hessians, one weak
// learner per output, and the forest's node array with its offsets. The features are sorted
// once for all 200 x K weak learners (bld_presort).
#include "distill/gbt_train.h"
#include "core/mem.h"
#include "distill/tree_build.h"
#include <math.h>

namespace {

constexpr int32_t GBT_DEPTH = 3;
constexpr int32_t GBT_MIN_SPLIT = 5;
constexpr float GBT_LAMBDA = 1.0f;
constexpr double GBT_SOFT_PRIOR_FLOOR = 1e-6;

// Working arrays of one run; freed by the destructor.
struct GbtWork {
  double *F = nullptr;      // t x K raw scores
  double *P = nullptr;      // t x K probabilities (classification)
  float *grad = nullptr;    // t gradients
  float *hess = nullptr;    // t hessians (classification)
  int32_t *index = nullptr; // t row indexes
  bld_presort presort{};
  ~GbtWork() {
    host_free_all(F, P, grad, hess, index);
    bld_presort_free(&presort);
  }
};

// Appends one tree's nodes to the forest, growing to the larger of twice the capacity and the
// size needed. Returns false when memory runs out.
bool forest_append(forest_model *f, int32_t *node_count, const tree_node *nodes, int32_t count) {
  int64_t need = (int64_t)*node_count + count;
  if (!host_grow(&f->nodes, &f->node_capacity, need, need)) return false;
  memcpy(f->nodes + *node_count, nodes, sizeof(tree_node) * (size_t)count);
  *node_count += count;
  return true;
}

// Initial scores: the regression mean, or each class's log prior (smoothed counts, or the mean
// soft probability floored).
void initial_scores(const gbt_input *in, int32_t K, forest_model &f) {
  const int32_t t = in->rows;
  if (in->task != 0) {
    double sum = 0.0;
    for (int32_t i = 0; i < t; i++)
      sum += (double)in->values[i];
    f.initial_scores[0] = (float)(sum / t);
  } else if (!in->soft) {
    for (int32_t k = 0; k < K; k++) {
      int64_t count = 0;
      for (int32_t i = 0; i < t; i++)
        count += in->labels[i] == k;
      float prior = (float)(count + 1) / (float)((int64_t)t + K);
      f.initial_scores[k] = (float)log((double)prior);
    }
  } else {
    for (int32_t k = 0; k < K; k++) {
      double sum = 0.0;
      for (int32_t i = 0; i < t; i++)
        sum += (double)in->soft[(int64_t)i * K + k];
      double prior = sum / t;
      if (prior < GBT_SOFT_PRIOR_FLOOR) prior = GBT_SOFT_PRIOR_FLOOR;
      f.initial_scores[k] = (float)log(prior);
    }
  }
}

// Every row's class probabilities from its raw scores (softmax, shifted by the row's maximum).
void softmax_rows(GbtWork &w, int32_t t, int32_t K) {
  for (int32_t i = 0; i < t; i++) {
    const double *Fi = w.F + (int64_t)i * K;
    double *Pi = w.P + (int64_t)i * K;
    double mx = Fi[0];
    for (int32_t k = 1; k < K; k++)
      if (Fi[k] > mx) mx = Fi[k];
    double sum = 0.0;
    for (int32_t k = 0; k < K; k++) {
      Pi[k] = exp(Fi[k] - mx);
      sum += Pi[k];
    }
    for (int32_t k = 0; k < K; k++)
      Pi[k] = Pi[k] / sum;
  }
}

// Output k's gradients (and hessians when classifying) for every row.
void gradients(const gbt_input *in, GbtWork &w, int32_t K, int32_t k) {
  const int32_t t = in->rows;
  if (in->task == 0) {
    for (int32_t i = 0; i < t; i++) {
      float p = (float)w.P[(int64_t)i * K + k];
      float y = in->soft ? in->soft[(int64_t)i * K + k] : (in->labels[i] == k ? 1.0f : 0.0f);
      w.grad[i] = y - p;
      w.hess[i] = (1.0f - p) * p;
    }
  } else {
    for (int32_t i = 0; i < t; i++)
      w.grad[i] = (float)((double)in->values[i] - w.F[i]);
  }
}

// Grows output k's weak learner on the gradients, appends it as tree number *tree and adds its
// scaled values to the raw scores. Returns SQLITE_OK, SQLITE_NOMEM or SQLITE_INTERRUPT.
int grow_tree(const gbt_input *in, GbtWork &w, int32_t K, int32_t k, forest_model &f, int32_t *tree,
              int32_t *node_count) {
  const int32_t t = in->rows, m = in->feature_count;
  tree_builder b{};
  b.x = in->x;
  b.feature_count = m;
  b.targets = w.grad;
  b.regression = 1;
  b.max_depth = GBT_DEPTH;
  b.min_split = GBT_MIN_SPLIT;
  b.hessians = in->task == 0 ? w.hess : nullptr;
  b.leaf_lambda = GBT_LAMBDA;
  b.presort = &w.presort;
  b.cancel = in->cancel;
  for (int32_t i = 0; i < t; i++)
    w.index[i] = i;
  HostPtr<tree_node> nodes;
  int32_t root = bld_build(&b, w.index, t, 0);
  nodes.reset(b.nodes);
  if (root < 0 || !forest_append(&f, node_count, b.nodes, b.node_count))
    return b.stopped ? SQLITE_INTERRUPT : SQLITE_NOMEM;
  const double lr = (double)f.learning_rate;
  for (int32_t i = 0; i < t; i++) {
    float v = reg_tree_value(b.nodes, b.node_count, in->x + (int64_t)i * m);
    w.F[(int64_t)i * K + k] += lr * (double)v;
  }
  f.tree_offsets[*tree + 1] = f.tree_offsets[*tree] + b.node_count;
  (*tree)++;
  return SQLITE_OK;
}

} // namespace

int gbt_train(const gbt_input *in, forest_model *out) {
  memset(out, 0, sizeof *out);
  const int32_t t = in->rows, m = in->feature_count;
  const bool classify = in->task == 0;
  const int32_t K = classify ? in->class_count : 1;
  if (t <= 0 || m <= 0 || K <= 0) return SQLITE_MISUSE;
  const int64_t T = (int64_t)GBT_ROUNDS * K;
  if (T + 1 > INT32_MAX) return SQLITE_NOMEM;
  forest_model f{};
  FreeGuard<forest_model, forest_free> guard(&f);
  f.task = classify ? STUDENT_CLASSIFY : STUDENT_REGRESS;
  f.class_count = classify ? K : 0;
  f.output_count = K;
  f.rounds = GBT_ROUNDS;
  f.learning_rate = GBT_LEARNING_RATE;
  f.tree_count = (int32_t)T;
  f.initial_scores = host_calloc<float>(K);
  f.tree_offsets = host_calloc<int32_t>(T + 1);
  GbtWork w;
  w.F = host_calloc<double>((int64_t)t * K);
  if (classify) {
    w.P = host_calloc<double>((int64_t)t * K);
    w.hess = host_calloc<float>(t);
  }
  w.grad = host_calloc<float>(t);
  w.index = host_calloc<int32_t>(t);
  bool ok = f.initial_scores && f.tree_offsets && w.F && w.grad && w.index && (!classify || (w.P && w.hess));
  if (ok) {
    for (int32_t i = 0; i < t; i++)
      w.index[i] = i;
  }
  int rc = ok ? bld_presort_init(&w.presort, in->x, m, w.index, t, in->cancel) : SQLITE_NOMEM;
  if (rc != SQLITE_OK) return rc;
  initial_scores(in, K, f);
  for (int32_t i = 0; i < t; i++)
    for (int32_t k = 0; k < K; k++)
      w.F[(int64_t)i * K + k] = (double)f.initial_scores[k];
  int32_t tree = 0, node_count = 0;
  for (int32_t r = 0; r < GBT_ROUNDS; r++) {
    if (classify) softmax_rows(w, t, K);
    for (int32_t k = 0; k < K; k++) {
      gradients(in, w, K, k);
      if ((rc = grow_tree(in, w, K, k, f, &tree, &node_count)) != SQLITE_OK) return rc;
    }
  }
  *out = f;
  memset(&f, 0, sizeof f); // handed over: the guard frees nothing
  return SQLITE_OK;
}
