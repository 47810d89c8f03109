// Finiteness and size checks around training. A value is fit when its binary32 rounding is
// finite: the trainers compute in binary32 or from binary32 inputs, so 1e300 is as unusable
// to them as an infinity.
#include "distill/train_checks.h"
#include <math.h>

namespace {

inline bool fit(double v) { return isfinite((float)v); }

bool all_fit(const float *v, int64_t count) { return !v || first_unfit_float(v, count) < 0; }

bool tree_nodes_fit(const tree_node *nodes, int64_t count) {
  for (int64_t i = 0; i < count; i++)
    if (!isfinite(nodes[i].threshold) || !isfinite(nodes[i].leaf_value) || !isfinite(nodes[i].leaf_confidence))
      return false;
  return true;
}

} // namespace

int64_t first_unfit_float(const float *v, int64_t count) {
  for (int64_t i = 0; i < count; i++)
    if (!isfinite(v[i])) return i;
  return -1;
}

int64_t first_unfit_double(const double *v, int64_t count) {
  for (int64_t i = 0; i < count; i++)
    if (!fit(v[i])) return i;
  return -1;
}

int dist_check_train_set(const float *x, int32_t n, int32_t m, char *const *names, const double *truth,
                         const float *labels, const float *soft, int32_t K, char **out_msg) {
  int64_t at = first_unfit_float(x, (int64_t)n * m);
  if (at >= 0)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: train feature '%s' is not finite in binary32 at row %lld; filter "
                                                 "or rescale it",
                                                 VORNEL_ERR_SCHEMA, names[at % m], (long long)(at / m + 1)));
  if (truth && (at = first_unfit_double(truth, n)) >= 0)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: regress target is not finite in binary32 at row %lld; filter or "
                                                 "rescale it",
                                                 VORNEL_ERR_TARGET, (long long)(at + 1)));
  if (labels && (at = first_unfit_float(labels, n)) >= 0)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: the teacher's label is not finite in binary32 at row %lld",
                                                 VORNEL_ERR_TARGET, (long long)(at + 1)));
  if (soft && (at = first_unfit_float(soft, (int64_t)n * K)) >= 0)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: proba columns are not finite at row %lld", VORNEL_ERR_SCHEMA,
                                                 (long long)(at / K + 1)));
  return SQLITE_OK;
}

int dist_check_mlp_classes(int64_t class_count, char **out_msg) {
  if (class_count <= MLP_MAX_WIDTH) return SQLITE_OK;
  return vornel0_fail(out_msg, sqlite3_mprintf("%s: an mlp student holds at most %d classes, the labels have %lld; use "
                                               "student_kind 'tree' or 'gbt'",
                                               VORNEL_ERR_OPTIONS, MLP_MAX_WIDTH, (long long)class_count));
}

int dist_check_trained(const tree_model *tree, const forest_model *forest, const mlp_model *mlp, char **out_msg) {
  bool ok = true;
  if (tree) ok = tree_nodes_fit(tree->nodes, tree->nodes ? tree->node_count : 0);
  if (ok && forest) {
    const int64_t nodes = forest->tree_offsets && forest->nodes ? forest->tree_offsets[forest->tree_count] : 0;
    ok = tree_nodes_fit(forest->nodes, nodes) && all_fit(forest->initial_scores, forest->output_count) &&
         isfinite(forest->learning_rate);
  }
  if (ok && mlp) {
    const int64_t I = mlp->input_count, H = mlp->hidden_count, O = mlp->output_count;
    ok = all_fit(mlp->input_mean, I) && all_fit(mlp->input_scale, I) && all_fit(mlp->hidden_weights, H * I) &&
         all_fit(mlp->hidden_bias, H) && all_fit(mlp->output_weights, O * H) && all_fit(mlp->output_bias, O) &&
         all_fit(mlp->skip_weights, O * I);
  }
  if (ok) return SQLITE_OK;
  return vornel0_fail(out_msg, sqlite3_mprintf("%s: training diverged: the student's parameters are not all finite, so "
                                               "nothing was stored; rescale the features or targets",
                                               VORNEL_ERR_RESOURCE));
}
