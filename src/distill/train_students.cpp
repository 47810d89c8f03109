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
char **copy_names(const HostTexts &names) {
  char **out = host_calloc<char *>(names.len);
  if (!out) return nullptr;
  for (int64_t i = 0; i < names.len; i++) {
    out[i] = sqlite3_mprintf("%s", names.data[i]);
    if (!out[i]) {
      student_names_free(out, names.len);
      return nullptr;
    }
  }
  return out;
}

// Gives a trained student its copies of the feature names and the label vocabulary.
int attach_names(const TrainSet &ts, HostTexts *vocab, char ***names, char ***labels, char **out_msg) {
  *names = copy_names(ts.names);
  if (!*names) return vornel0_fail_nomem(out_msg);
  *labels = vocab->release();
  return SQLITE_OK;
}

} // namespace

// Trains the chosen kind on the first t rows, then hands the student copies of the feature
// names and the label vocabulary, which its blob carries.
int train_student(const TrainSet &ts, HostTexts *vocab, bool regress, int32_t t, Student *s, Cancel *cancel,
                  char **out_msg) {
  const int32_t K = regress ? 0 : (int32_t)vocab->len;
  const float *soft = ts.soft.len ? ts.soft.data : nullptr;
  const int32_t *classes = regress ? nullptr : ts.label_class.data;
  const float *values = regress ? ts.label_value.data : nullptr;
  if (s->kind == KIND_TREE) {
    tree_builder b{};
    b.x = ts.x.data;
    b.feature_count = ts.m;
    b.labels = classes;
    b.targets = values;
    b.class_count = K;
    b.regression = regress ? 1 : 0;
    b.cancel = cancel;
    int32_t *idx = host_calloc<int32_t>(t);
    int32_t root = -1;
    if (idx) {
      for (int32_t i = 0; i < t; i++)
        idx[i] = i;
      root = bld_build(&b, idx, t, 0);
      sqlite3_free(idx);
    }
    s->tree.nodes = b.nodes;
    s->tree.node_count = b.node_count;
    if (root < 0 && b.stopped) return SQLITE_INTERRUPT;
    if (root < 0) return vornel0_fail_nomem(out_msg);
    s->tree.task = regress ? STUDENT_REGRESS : STUDENT_CLASSIFY;
    s->tree.feature_count = ts.m;
    s->tree.class_count = K;
    return attach_names(ts, vocab, &s->tree.feature_names, &s->tree.class_labels, out_msg);
  }
  if (s->kind == KIND_GBT) {
    gbt_input in{ts.x.data, ts.m, t, regress ? 1 : 0, K, classes, values, soft, cancel};
    const int trained = gbt_train(&in, &s->forest);
    if (trained == SQLITE_INTERRUPT) return trained;
    if (trained != SQLITE_OK) return vornel0_fail_nomem(out_msg);
    s->forest.feature_count = ts.m;
    s->forest.class_count = K;
    return attach_names(ts, vocab, &s->forest.feature_names, &s->forest.class_labels, out_msg);
  }
  int rc = train_mlp(ts.x.data, t, ts.m, K, ts.label_class.data, soft, 0, MLP_STUDENT_HIDDEN, MLP_STUDENT_EPOCHS,
                     MLP_STUDENT_LR, 0, &s->mlp, out_msg, cancel);
  if (rc != SQLITE_OK) return rc;
  return attach_names(ts, vocab, &s->mlp.feature_names, &s->mlp.class_labels, out_msg);
}

} // namespace vornel_distill
