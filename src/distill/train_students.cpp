// Trainer dispatch for distill_vornel: the single tree, the boosted trees or the perceptron on
// the training rows, each student then given the feature names and label vocabulary that its
// blob carries.
#include "distill/gbt_train.h"
#include "distill/mlp_train.h"
#include "distill/train_set.h"
#include "distill/tree_build.h"

namespace vornel_distill {

namespace {

constexpr int MLP_STUDENT_HIDDEN = 48;
constexpr int MLP_STUDENT_EPOCHS = 400;
constexpr float MLP_STUDENT_LR = 0.02f;

// Copies a names list for a student.
char **copy_names(const TextList &names) {
  char **out = host_calloc<char *>(names.count);
  if (!out) return nullptr;
  for (int64_t i = 0; i < names.count; i++) {
    out[i] = sqlite3_mprintf("%s", names.items[i]);
    if (!out[i]) {
      student_names_free(out, names.count);
      return nullptr;
    }
  }
  return out;
}

} // namespace

// Trains the chosen kind on the first t rows, then hands the student copies of the feature
// names and the label vocabulary, which its blob carries.
int train_student(const TrainSet &ts, TextList *vocab, bool regress, int32_t t, Student *s, char **out_msg) {
  const int32_t K = regress ? 0 : (int32_t)vocab->count;
  const float *soft = ts.soft.len ? ts.soft.data : nullptr;
  if (s->kind == KIND_TREE) {
    tree_builder b{};
    b.x = ts.x.data;
    b.feature_count = ts.m;
    b.labels = regress ? nullptr : ts.label_class.data;
    b.targets = regress ? ts.label_value.data : nullptr;
    b.class_count = K;
    b.regression = regress ? 1 : 0;
    int32_t *idx = host_calloc<int32_t>(t);
    int32_t root = -1;
    if (idx) {
      for (int32_t i = 0; i < t; i++) idx[i] = i;
      root = bld_build(&b, idx, t, 0);
      sqlite3_free(idx);
    }
    s->tree.nodes = b.nodes;
    s->tree.node_count = b.node_count;
    if (root < 0) {
      *out_msg = nomem_msg();
      return SQLITE_NOMEM;
    }
    s->tree.task = regress ? STUDENT_REGRESS : STUDENT_CLASSIFY;
    s->tree.feature_count = ts.m;
    s->tree.feature_names = copy_names(ts.names);
    if (!s->tree.feature_names) {
      *out_msg = nomem_msg();
      return SQLITE_NOMEM;
    }
    s->tree.class_count = K;
    s->tree.class_labels = vocab->release();
    return SQLITE_OK;
  }
  if (s->kind == KIND_GBT) {
    gbt_input in{ts.x.data, ts.m, t, regress ? 1 : 0, K, regress ? nullptr : ts.label_class.data,
                 regress ? ts.label_value.data : nullptr, soft};
    if (gbt_train(&in, &s->forest) != SQLITE_OK) {
      *out_msg = nomem_msg();
      return SQLITE_NOMEM;
    }
    s->forest.feature_count = ts.m;
    s->forest.feature_names = copy_names(ts.names);
    if (!s->forest.feature_names) {
      *out_msg = nomem_msg();
      return SQLITE_NOMEM;
    }
    s->forest.class_count = K;
    s->forest.class_labels = vocab->release();
    return SQLITE_OK;
  }
  int rc = train_mlp(ts.x.data, t, ts.m, K, ts.label_class.data, soft, 0, MLP_STUDENT_HIDDEN, MLP_STUDENT_EPOCHS,
                     MLP_STUDENT_LR, 0, &s->mlp, out_msg);
  if (rc != SQLITE_OK) return rc;
  s->mlp.feature_names = copy_names(ts.names);
  if (!s->mlp.feature_names) {
    *out_msg = nomem_msg();
    return SQLITE_NOMEM;
  }
  s->mlp.class_labels = vocab->release();
  return SQLITE_OK;
}

} // namespace vornel_distill
