// The distill_vornel job from end to end: the training set is read and labelled
// (train_set.cpp), the first four fifths train the student (train_students.cpp), the last
// fifth scores it against the query's own target column, and the serialised student is
// hashed and stored through the registry's writer.
#include "distill/train_checks.h"
#include "distill/train_set.h"
#include "registry/registry.h"
#include <math.h>
#include <stdlib.h>

namespace vornel_distill {

namespace {

// The holdout metric over rows t..n-1, always against the query's own target column, also
// when the labels came from a teacher or soft columns: accuracy, or RMSE for regression.
int score_holdout(const TrainSet &ts, bool regress, int32_t t, const Student &s, double *out_metric, char **out_msg) {
  const int32_t h = ts.n - t;
  double sum = 0.0;
  int64_t correct = 0;
  HostPtr<double> scores;
  HostPtr<float> hidden, outputs;
  if (s.kind == KIND_GBT) {
    scores.reset(host_calloc<double>(s.forest.output_count));
    if (!scores) return vornel0_fail_nomem(out_msg);
  } else if (s.kind == KIND_MLP) {
    hidden.reset(host_calloc<float>(s.mlp.hidden_count > 0 ? s.mlp.hidden_count : 1));
    outputs.reset(host_calloc<float>(s.mlp.output_count));
    if (!hidden || !outputs) return vornel0_fail_nomem(out_msg);
  }
  for (int32_t i = t; i < ts.n; i++) {
    const float *row = ts.x.data + (int64_t)i * ts.m;
    if (s.kind == KIND_TREE) {
      int32_t leaf = tree_walk(&s.tree, row);
      if (leaf < 0) continue;
      const tree_node &nd = s.tree.nodes[leaf];
      if (regress) {
        double d = (double)nd.leaf_value - ts.truth_value[i];
        sum += d * d;
      } else if (nd.leaf_class >= 0 && nd.leaf_class < s.tree.class_count &&
                 strcmp(s.tree.class_labels[nd.leaf_class], ts.truth_text.data[i]) == 0) {
        correct++;
      }
      continue;
    }
    char *text = nullptr;
    double conf = 0.0;
    int has = 0;
    int rc = s.kind == KIND_GBT ? forest_eval_row(&s.forest, row, scores.get(), &text, &conf, &has)
                                : mlp_eval_row(&s.mlp, row, hidden.get(), outputs.get(), &text, &conf, &has);
    if (rc != SQLITE_OK || !text) {
      sqlite3_free(text);
      return vornel0_fail_nomem(out_msg);
    }
    if (regress) {
      double d = strtod(text, nullptr) - ts.truth_value[i];
      sum += d * d;
    } else if (strcmp(text, ts.truth_text.data[i]) == 0) {
      correct++;
    }
    sqlite3_free(text);
  }
  *out_metric = regress ? sqrt(sum / h) : (double)correct / h;
  return SQLITE_OK;
}

// Serialises the student, hashes the blob into the row and stores it.
int store(vornel0_registry_writer *writer, const char *student_id, const Student &s, distill_result_row *row,
          char **out_msg) {
  unsigned char *blob_raw = nullptr;
  int64_t len = 0;
  int rc = s.kind == KIND_TREE  ? tree_serialize(&s.tree, &blob_raw, &len)
           : s.kind == KIND_GBT ? forest_serialize(&s.forest, &blob_raw, &len)
                                : mlp_serialize(&s.mlp, &blob_raw, &len);
  HostPtr<unsigned char> blob(blob_raw);
  if (rc != SQLITE_OK || !blob) return vornel0_fail_nomem(out_msg);
  vornel0_hash_bytes(blob.get(), len, row->content_hash);
  vornel0_new_model m{};
  m.model_id = student_id;
  m.content_hash = row->content_hash;
  m.weights = blob.get();
  m.weights_len = len;
  rc = vornel0_store_student(writer, &m, out_msg);
  if (rc == SQLITE_NOMEM && !*out_msg) *out_msg = vornel0_nomem_msg();
  return rc;
}

int train_all(sqlite3 *db, vornel0_registry_writer *writer, const char *query, const distill_options *o,
              distill_result_row *row, char **out_msg) {
  const bool regress = o->task && strcmp(o->task, "regress") == 0;
  TrainSet ts;
  {
    StmtGuard st;
    if (sqlite3_prepare_v2(db, query, -1, st.out(), nullptr) != SQLITE_OK) {
      *out_msg = sqlite3_mprintf("%s: train_query does not parse: %s", VORNEL_ERR_SCHEMA, sqlite3_errmsg(db));
      return SQLITE_ERROR;
    }
    int rc = walk_columns(st.stmt, o->target, &ts, out_msg);
    if (rc != SQLITE_OK) return rc;
  }
  if (o->proba) {
    int rc = check_soft(db, o, regress, &ts, out_msg);
    if (rc != SQLITE_OK) return rc;
  }
  int rc = read_rows(db, query, regress, &ts, out_msg);
  if (rc != SQLITE_OK) return rc;
  if (ts.n < DIST_MIN_ROWS) {
    *out_msg = sqlite3_mprintf("%s: need at least %d train rows, got %d", VORNEL_ERR_SCHEMA, DIST_MIN_ROWS, ts.n);
    return SQLITE_ERROR;
  }
  if (o->proba)
    rc = read_soft(db, query, &ts, out_msg);
  else if (o->teacher)
    rc = read_teacher(db, query, o, regress, &ts, out_msg);
  else
    rc = target_labels(regress, &ts);
  if (rc != SQLITE_OK) return rc;
  if (!regress && ts.vocab.len < 2) {
    *out_msg = sqlite3_mprintf("%s: %s produced a single class; nothing to distill", VORNEL_ERR_SCHEMA,
                               o->teacher ? "teacher" : "target column");
    return SQLITE_ERROR;
  }
  const int32_t h = ts.n / 5;
  const int32_t t = ts.n - h;
  Student s;
  if (o->student_kind && strcmp(o->student_kind, "mlp") == 0)
    s.kind = KIND_MLP;
  else if (o->student_kind && strcmp(o->student_kind, "gbt") == 0)
    s.kind = KIND_GBT;
  else
    s.kind = o->proba ? KIND_GBT : KIND_TREE;
  if (s.kind == KIND_MLP && regress) {
    *out_msg = sqlite3_mprintf("%s: mlp student is classification only", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  if (s.kind == KIND_MLP && (rc = dist_check_mlp_classes(ts.vocab.len, out_msg)) != SQLITE_OK) return rc;
  rc = dist_check_train_set(ts.x.data, ts.n, ts.m, ts.names.data, regress ? ts.truth_value.data : nullptr,
                            regress ? ts.label_value.data : nullptr, ts.soft.len ? ts.soft.data : nullptr,
                            ts.proba_count, out_msg);
  if (rc != SQLITE_OK) return rc;
  Cancel cancel = vornel0_cancel(db);
  rc = train_student(ts, &ts.vocab, regress, t, &s, &cancel, out_msg);
  if (rc != SQLITE_OK) return rc;
  rc = dist_check_trained(&s.tree, &s.forest, &s.mlp, out_msg);
  if (rc != SQLITE_OK) return rc;
  double metric = 0.0;
  rc = score_holdout(ts, regress, t, s, &metric, out_msg);
  if (rc != SQLITE_OK) return rc;
  // The id is copied before the insert so that nothing can fail once the row is written.
  HostStr model_id(sqlite3_mprintf("%s", o->student_id));
  if (!model_id) return vornel0_fail_nomem(out_msg);
  rc = store(writer, o->student_id, s, row, out_msg);
  if (rc != SQLITE_OK) return rc;
  row->model_id = model_id.release();
  row->train_rows = ts.n;
  row->holdout_metric = metric;
  return SQLITE_OK;
}

} // namespace

} // namespace vornel_distill

int distill_train(sqlite3 *db, vornel0_registry_writer *writer, const char *train_query, const distill_options *opts,
                  distill_result_row *row, char **out_msg) {
  *out_msg = nullptr;
  HostStr query(vornel_distill::trim_query(train_query));
  int rc = query ? vornel_distill::train_all(db, writer, query.get(), opts, row, out_msg) : SQLITE_NOMEM;
  // Out of memory while reading rows or interning labels reports the same message as elsewhere.
  if (rc == SQLITE_NOMEM && !*out_msg) *out_msg = vornel0_nomem_msg();
  return rc;
}
