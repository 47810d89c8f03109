// One-row evaluation of the three students: tree walks, the boosted-tree score sums with a
// softmax confidence, and the perceptron forward pass. Inputs are binary32; every sum runs in
// binary64 in index order, so the trainers (which call these same routines on their holdout
// rows) and the SQL runtime see identical bits. Nothing here allocates except the output text.
#include "tabular/student.h"
#include <math.h>

namespace {

// A host copy of a label (null or missing labels read as the empty text).
char *copy_label(char *const *labels, int32_t count, int32_t index) {
  const char *label = (labels && index >= 0 && index < count && labels[index]) ? labels[index] : "";
  return sqlite3_mprintf("%s", label);
}

// A host text of value printed with "%.17g".
char *format_value(double value) {
  char buf[48];
  vornel0_format_double(value, buf);
  return sqlite3_mprintf("%s", buf);
}

// Inputs up to this width are standardised once into a stack buffer; wider networks (the
// forecast students reach 4096 inputs) recompute each z on the fly with the same bits.
constexpr int Z_STACK = 4096;

inline double standardise(const mlp_model *net, const float *x, int i) {
  return ((double)x[i] - (double)net->input_mean[i]) / (double)net->input_scale[i];
}

// A dot product of the forward pass, accumulated from 0.0 in index order.
inline double dot_zw(const double *z, const float *w, int n) {
  double acc = 0.0;
  for (int i = 0; i < n; i++)
    acc += z[i] * (double)w[i];
  return acc;
}

// The same dot product over the standardised inputs: from the stacked values z when there are
// any, else standardising each input as it is used.
inline double dot_inputs(const mlp_model *net, const float *x, const double *z, const float *w, int n) {
  if (z) return dot_zw(z, w, n);
  double acc = 0.0;
  for (int i = 0; i < n; i++)
    acc += standardise(net, x, i) * (double)w[i];
  return acc;
}

// Boosted trees walked together: the walks of several trees are independent, so interleaving
// them hides each walk's chain of dependent loads, and the branch-free child choice avoids a
// mispredicted jump per level. Values come out per tree; the caller adds them in tree order.
constexpr int WALK_TREES = 8;

void forest_values(const forest_model *forest, int32_t t0, int count, const float *inputs, float *out) {
  int32_t index[WALK_TREES], first[WALK_TREES], size[WALK_TREES];
  bool live[WALK_TREES];
  int live_count = 0;
  for (int j = 0; j < count; j++) {
    first[j] = forest->tree_offsets[t0 + j];
    size[j] = forest->tree_offsets[t0 + j + 1] - first[j];
    index[j] = 0;
    out[j] = 0.0f;
    live[j] = size[j] > 0;
    live_count += live[j];
  }
  // Visit v examines one node of every live tree; a tree still walking after n + 1 visits
  // (a cycle) contributes 0.0, as reg_tree_value does.
  for (int64_t visit = 0; live_count > 0; visit++) {
    for (int j = 0; j < count; j++) {
      if (!live[j]) continue;
      const tree_node &node = forest->nodes[first[j] + index[j]];
      if (node.feature < 0 || visit > size[j]) {
        if (visit <= size[j]) out[j] = node.leaf_value;
        live[j] = false;
        live_count--;
        continue;
      }
      const int32_t go_left = node.threshold > inputs[node.feature];
      const int32_t next = node.right ^ ((node.left ^ node.right) & -go_left);
      if ((uint32_t)next >= (uint32_t)size[j]) {
        live[j] = false;
        live_count--;
        continue;
      }
      index[j] = next;
    }
  }
}

// The leaf value of one boosted tree, as reg_tree_value, choosing children without a branch.
inline float tree_value_branchless(const tree_node *nodes, int32_t n, const float *inputs) {
  int32_t index = 0;
  for (int64_t visit = 0; visit <= n; visit++) {
    const tree_node &node = nodes[index];
    if (node.feature < 0) return node.leaf_value;
    const int32_t go_left = node.threshold > inputs[node.feature];
    const int32_t next = node.right ^ ((node.left ^ node.right) & -go_left);
    if ((uint32_t)next >= (uint32_t)n) return 0.0f;
    index = next;
  }
  return 0.0f;
}

} // namespace

int32_t tree_walk(const tree_model *tree, const float *inputs) {
  const int32_t n = tree->node_count;
  if (n <= 0 || !tree->nodes) return -1;
  int32_t index = 0;
  for (int64_t visit = 0; visit <= n; visit++) {
    const tree_node &node = tree->nodes[index];
    if (node.feature < 0) return index;
    if (node.feature >= tree->feature_count) return -1;
    int32_t next = node.threshold > inputs[node.feature] ? node.left : node.right;
    if (next < 0 || next >= n) return -1;
    index = next;
  }
  return -1;
}

float reg_tree_value(const tree_node *first, int32_t n, const float *inputs) {
  if (n <= 0 || !first) return 0.0f;
  int32_t index = 0;
  for (int64_t visit = 0; visit <= n; visit++) {
    const tree_node &node = first[index];
    if (node.feature < 0) return node.leaf_value;
    int32_t next = node.threshold > inputs[node.feature] ? node.left : node.right;
    if (next < 0 || next >= n) return 0.0f;
    index = next;
  }
  return 0.0f;
}

void mlp_forward(const mlp_model *net, const float *inputs, float *hidden, float *outputs) {
  const int I = net->input_count, H = net->hidden_count, O = net->output_count;
  double zbuf[Z_STACK];
  const bool stacked = I <= Z_STACK;
  if (stacked)
    for (int i = 0; i < I; i++)
      zbuf[i] = standardise(net, inputs, i);

  int j = 0;
  if (stacked) {
    // Four hidden units at a time: four independent sums, each still in input order.
    for (; j + 4 <= H; j += 4) {
      const float *w0 = net->hidden_weights + (int64_t)j * I, *w1 = w0 + I, *w2 = w1 + I, *w3 = w2 + I;
      double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
      for (int i = 0; i < I; i++) {
        const double z = zbuf[i];
        a0 += z * (double)w0[i];
        a1 += z * (double)w1[i];
        a2 += z * (double)w2[i];
        a3 += z * (double)w3[i];
      }
      hidden[j] = (float)tanh((double)net->hidden_bias[j] + a0);
      hidden[j + 1] = (float)tanh((double)net->hidden_bias[j + 1] + a1);
      hidden[j + 2] = (float)tanh((double)net->hidden_bias[j + 2] + a2);
      hidden[j + 3] = (float)tanh((double)net->hidden_bias[j + 3] + a3);
    }
  }
  for (; j < H; j++) {
    const float *w = net->hidden_weights + (int64_t)j * I;
    const double acc = dot_inputs(net, inputs, stacked ? zbuf : nullptr, w, I);
    hidden[j] = (float)tanh((double)net->hidden_bias[j] + acc);
  }

  const double scale = net->skip_weights ? 0.1 : 1.0;
  for (int k = 0; k < O; k++) {
    const float *v = net->output_weights ? net->output_weights + (int64_t)k * H : nullptr;
    double acc = 0.0;
    for (int j = 0; j < H && v; j++)
      acc += (double)v[j] * (double)hidden[j];
    double o = (double)net->output_bias[k] + scale * acc;
    if (net->skip_weights) {
      const float *s = net->skip_weights + (int64_t)k * I;
      o += dot_inputs(net, inputs, stacked ? zbuf : nullptr, s, I);
    }
    outputs[k] = (float)o;
  }
}

int tree_eval_row(const tree_model *tree, const float *inputs, char **out_text, double *out_confidence,
                  int *out_has_confidence) {
  *out_text = nullptr;
  *out_confidence = 0.0;
  *out_has_confidence = 0;
  int32_t leaf = tree_walk(tree, inputs);
  if (leaf < 0) return SQLITE_ERROR;
  const tree_node &node = tree->nodes[leaf];
  if (tree->task == STUDENT_CLASSIFY) {
    *out_text = copy_label(tree->class_labels, tree->class_count, node.leaf_class);
    *out_confidence = (double)node.leaf_confidence;
    *out_has_confidence = 1;
  } else {
    *out_text = format_value((double)node.leaf_value);
  }
  return *out_text ? SQLITE_OK : SQLITE_NOMEM;
}

int forest_eval_row(const forest_model *forest, const float *inputs, double *scores, char **out_text,
                    double *out_confidence, int *out_has_confidence) {
  *out_text = nullptr;
  *out_confidence = 0.0;
  *out_has_confidence = 0;
  const int32_t K = forest->output_count;
  const double rate = (double)forest->learning_rate;
  float values[WALK_TREES];
  if (forest->task != STUDENT_CLASSIFY) {
    double sum = K > 0 && forest->initial_scores ? (double)forest->initial_scores[0] : 0.0;
    for (int32_t t = 0; t < forest->tree_count; t += WALK_TREES) {
      int count = forest->tree_count - t < WALK_TREES ? forest->tree_count - t : WALK_TREES;
      forest_values(forest, t, count, inputs, values);
      for (int j = 0; j < count; j++)
        sum += rate * (double)values[j];
    }
    *out_text = format_value(sum);
    return *out_text ? SQLITE_OK : SQLITE_NOMEM;
  }
  for (int32_t k = 0; k < K; k++)
    scores[k] = (double)forest->initial_scores[k];
  // Tree t = r * K + k adds to score k; walking trees in index order keeps each score's
  // additions in round order.
  const int32_t trees = forest->rounds * K < forest->tree_count ? forest->rounds * K : forest->tree_count;
  int32_t k = 0;
  for (int32_t t = 0; t < trees; t += WALK_TREES) {
    int count = trees - t < WALK_TREES ? trees - t : WALK_TREES;
    forest_values(forest, t, count, inputs, values);
    for (int j = 0; j < count; j++) {
      scores[k] += rate * (double)values[j];
      if (++k == K) k = 0;
    }
  }
  return forest_row_result(forest, scores, out_text, out_confidence, out_has_confidence);
}

namespace {

// A classifier's answer from its K scores: the first highest one's label, and as confidence the
// softmax probability of that class, computed in double from the scores as stored.
template <class T>
int class_result(const T *scores, int32_t K, char *const *labels, int32_t label_count, char **out_text,
                 double *out_confidence, int *out_has_confidence) {
  int32_t winner = 0;
  for (int32_t k = 1; k < K; k++)
    if (scores[k] > scores[winner]) winner = k;
  double denom = 0.0;
  for (int32_t k = 0; k < K; k++)
    denom += exp((double)scores[k] - (double)scores[winner]);
  *out_confidence = denom > 0.0 ? 1.0 / denom : 0.0;
  *out_has_confidence = 1;
  *out_text = copy_label(labels, label_count, winner);
  return *out_text ? SQLITE_OK : SQLITE_NOMEM;
}

} // namespace

int forest_row_result(const forest_model *forest, const double *scores, char **out_text, double *out_confidence,
                      int *out_has_confidence) {
  *out_text = nullptr;
  *out_confidence = 0.0;
  *out_has_confidence = 0;
  if (forest->task != STUDENT_CLASSIFY) {
    *out_text = format_value(scores[0]);
    return *out_text ? SQLITE_OK : SQLITE_NOMEM;
  }
  return class_result(scores, forest->output_count, forest->class_labels, forest->class_count, out_text, out_confidence,
                      out_has_confidence);
}

void forest_score_rows(const forest_model *forest, const float *inputs, int64_t stride, int64_t count, double *scores) {
  const int32_t K = forest->output_count;
  const double rate = (double)forest->learning_rate;
  const bool classify = forest->task == STUDENT_CLASSIFY;
  const int32_t width = classify ? K : 1;
  for (int64_t r = 0; r < count; r++)
    for (int32_t k = 0; k < width; k++)
      scores[r * width + k] = K > 0 && forest->initial_scores ? (double)forest->initial_scores[k] : 0.0;
  const int32_t trees = classify && forest->rounds * K < forest->tree_count ? forest->rounds * K : forest->tree_count;
  int32_t k = 0;
  for (int32_t t = 0; t < trees; t++) {
    const int32_t first = forest->tree_offsets[t], n = forest->tree_offsets[t + 1] - first;
    const tree_node *nodes = forest->nodes + first;
    // One tree over all the rows: its nodes stay in cache and the rows' walks overlap.
    for (int64_t r = 0; r < count; r++)
      scores[r * width + k] += rate * (double)tree_value_branchless(nodes, n, inputs + r * stride);
    if (classify && ++k == K) k = 0;
  }
}

int mlp_eval_row(const mlp_model *net, const float *inputs, float *hidden, float *outputs, char **out_text,
                 double *out_confidence, int *out_has_confidence) {
  *out_text = nullptr;
  *out_confidence = 0.0;
  *out_has_confidence = 0;
  mlp_forward(net, inputs, hidden, outputs);
  if (net->task != STUDENT_CLASSIFY) {
    *out_text = format_value((double)outputs[0]);
    return *out_text ? SQLITE_OK : SQLITE_NOMEM;
  }
  return class_result(outputs, net->output_count, net->class_labels, net->class_count, out_text, out_confidence,
                      out_has_confidence);
}
