// distill_train: the training-set assembly behind distill_vornel. It learns the query's
// columns, reads every row through a row-numbering wrapper, takes labels from the target,
// from a teacher run through a nested vornel() query or from soft class columns, trains the
// chosen student on the first four fifths, scores the last fifth against the target column,
// serialises and hashes the blob and inserts the registry row.
#include "distill/distill.h"
#include "distill/gbt_train.h"
#include "distill/mlp_train.h"
#include "distill/tree_build.h"
#include "registry/registry.h"
#include "tabular/student.h"
#include <math.h>
#include <stdlib.h>

namespace {

constexpr int DIST_MAX_FEATURES = 64;
constexpr int DIST_MIN_ROWS = 8;
constexpr int64_t DIST_FIRST_ROWS = 256;
constexpr int MLP_STUDENT_HIDDEN = 48;
constexpr int MLP_STUDENT_EPOCHS = 400;
constexpr float MLP_STUDENT_LR = 0.02f;

const char WRAPPER_SQL[] = "SELECT (row_number() OVER ()) AS _rid, * FROM (%s) ORDER BY _rid";
const char APPLY_SQL[] = "SELECT (row_number() OVER ()) AS _rid, %s FROM (%s) ORDER BY _rid";
const char TEACHER_SQL[] = "SELECT prediction FROM vornel(%Q, %Q, json_object('target',%Q,'task',%Q,'model',%Q))";
// A stored student answers from its own weights and takes no train_query.
const char STUDENT_TEACHER_SQL[] =
    "SELECT prediction FROM vornel(NULL, %Q, json_object('target',%Q,'task',%Q,'model',%Q))";
const char INSERT_SQL[] = "INSERT INTO _vornel_models (model_id, kind, runtime, weights, io_spec, content_hash, "
                          "license) VALUES (?1,'student','tree',?2, NULL,?3,'unspecified')";

char *nomem_msg() { return sqlite3_mprintf("%s: out of memory", VORNEL_ERR_RESOURCE); }

// A growable array of owned texts (feature names, the label vocabulary, target texts).
struct TextList {
  char **items = nullptr; // owned texts; owned array
  int64_t count = 0;
  int64_t cap = 0;
  TextList() = default;
  TextList(const TextList &) = delete;
  TextList &operator=(const TextList &) = delete;
  ~TextList() { student_names_free(items, count); }
  // Appends an owned copy; false when memory runs out.
  bool push_copy(const char *text, int64_t first_cap) {
    if (count == cap) {
      int64_t want = cap ? cap * 2 : first_cap;
      char **p = (char **)sqlite3_realloc64(items, (sqlite3_uint64)want * sizeof(char *));
      if (!p) return false;
      items = p;
      cap = want;
    }
    char *copy = sqlite3_mprintf("%s", text ? text : "");
    if (!copy) return false;
    items[count++] = copy;
    return true;
  }
  // Hands the array to a student (count entries) and forgets it.
  char **release() {
    char **p = items;
    items = nullptr;
    count = cap = 0;
    return p;
  }
};

// Index of label in the vocabulary, appending it when new (capacity starts at 8). Returns -1
// when memory runs out.
int32_t intern_label(TextList *vocab, const char *label) {
  for (int64_t i = 0; i < vocab->count; i++)
    if (strcmp(vocab->items[i], label) == 0) return (int32_t)i;
  if (vocab->count >= INT32_MAX || !vocab->push_copy(label, 8)) return -1;
  return (int32_t)(vocab->count - 1);
}

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

// The training set; freed by the destructor.
struct TrainSet {
  TextList names;                 // feature names, query column order
  int feature_col[DIST_MAX_FEATURES + 1] = {}; // each feature's column in train_query
  int m = 0;                      // feature count
  int target_col = -1;            // target column in train_query
  HostArray<float> x;             // n x m features
  HostArray<double> truth_value;  // regression ground truth per row
  TextList truth_text;            // classification ground truth per row
  HostArray<float> label_value;   // regression training labels
  HostArray<int32_t> label_class; // classification training labels
  HostArray<float> soft;          // n x K distributions (soft distillation)
  TextList vocab;                 // label vocabulary
  int32_t n = 0;                  // rows read
  char **proba = nullptr;         // parsed proba names; owned
  int proba_count = 0;
  char **classes = nullptr;       // parsed classes; owned
  int classes_count = 0;
  int proba_col[DIST_MAX_FEATURES + 1] = {}; // proba columns in train_query, proba order
  ~TrainSet() {
    str_array_free(proba, proba_count);
    str_array_free(classes, classes_count);
  }
};

// Drops trailing blanks and semicolons so the query can be wrapped in a subquery.
char *trim_query(const char *q) {
  size_t len = strlen(q);
  while (len > 0) {
    char c = q[len - 1];
    if (c == ';' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') len--;
    else break;
  }
  return sqlite3_mprintf("%.*s", (int)len, q);
}

// The quoted feature list: "name" per feature, embedded quotes doubled, joined by ",".
char *quoted_features(sqlite3 *db, const TextList &names) {
  sqlite3_str *s = sqlite3_str_new(db);
  for (int64_t i = 0; i < names.count; i++) {
    if (i) sqlite3_str_appendchar(s, 1, ',');
    sqlite3_str_appendchar(s, 1, '"');
    for (const char *p = names.items[i]; *p; p++) {
      if (*p == '"') sqlite3_str_appendchar(s, 1, '"');
      sqlite3_str_appendchar(s, 1, *p);
    }
    sqlite3_str_appendchar(s, 1, '"');
  }
  if (sqlite3_str_errcode(s) != SQLITE_OK) {
    sqlite3_free(sqlite3_str_finish(s));
    return nullptr;
  }
  char *out = sqlite3_str_finish(s);
  return out ? out : sqlite3_mprintf("%s", "");
}

// Step 3: the feature walk over the prepared query's columns.
int walk_columns(sqlite3_stmt *st, const char *target, TrainSet *ts, char **out_msg) {
  int cols = st ? sqlite3_column_count(st) : 0;
  for (int c = 0; c < cols; c++) {
    const char *name = sqlite3_column_name(st, c);
    if (!name) name = "";
    if (strcmp(name, target) == 0) {
      ts->target_col = c;
      continue;
    }
    if (ts->m == DIST_MAX_FEATURES) {
      *out_msg = sqlite3_mprintf("%s: too many feature columns (max %d)", VORNEL_ERR_SCHEMA, DIST_MAX_FEATURES);
      return SQLITE_ERROR;
    }
    if (!ts->names.push_copy(name, 16)) return SQLITE_NOMEM;
    ts->feature_col[ts->m++] = c;
  }
  if (ts->target_col < 0) {
    *out_msg = sqlite3_mprintf("%s: no such target column: %s", VORNEL_ERR_TARGET, *target ? target : "(none)");
    return SQLITE_ERROR;
  }
  if (ts->m == 0) {
    *out_msg = sqlite3_mprintf("%s: train_query needs feature columns%s", VORNEL_ERR_SCHEMA, "");
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// Step 5: the proba/classes cross-checks; removes the proba columns from the features.
int check_soft(sqlite3 *db, const distill_options *o, bool regress, TrainSet *ts, char **out_msg) {
  if (regress) {
    *out_msg = sqlite3_mprintf("%s: 'proba' (soft distillation) is classification only", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  if (o->student_kind && strcmp(o->student_kind, "gbt") != 0 && strcmp(o->student_kind, "mlp") != 0) {
    *out_msg = sqlite3_mprintf("%s: soft distillation requires student_kind 'gbt' or 'mlp'", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  if (!o->classes) {
    *out_msg = sqlite3_mprintf("%s: 'proba' requires 'classes'", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  int rc = parse_str_array(db, o->proba, &ts->proba, &ts->proba_count, out_msg);
  if (rc == SQLITE_OK) rc = parse_str_array(db, o->classes, &ts->classes, &ts->classes_count, out_msg);
  if (rc != SQLITE_OK) return rc;
  if (ts->proba_count < 2 || ts->classes_count < 2 || ts->proba_count != ts->classes_count) {
    *out_msg = sqlite3_mprintf("%s: 'proba' and 'classes' must be equal-length arrays of >= 2", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  for (int p = 0; p < ts->proba_count; p++) {
    int at = -1;
    for (int f = 0; f < ts->m; f++)
      if (strcmp(ts->names.items[f], ts->proba[p]) == 0) {
        at = f;
        break;
      }
    if (at < 0) {
      *out_msg = sqlite3_mprintf("%s: proba column '%s' not in train_query", VORNEL_ERR_SCHEMA, ts->proba[p]);
      return SQLITE_ERROR;
    }
    // The proba list has at most as many entries as there were features left to match.
    ts->proba_col[p] = ts->feature_col[at];
    sqlite3_free(ts->names.items[at]);
    for (int f = at; f + 1 < ts->m; f++) {
      ts->names.items[f] = ts->names.items[f + 1];
      ts->feature_col[f] = ts->feature_col[f + 1];
    }
    ts->m--;
    ts->names.count--;
  }
  if (ts->m == 0) {
    *out_msg = sqlite3_mprintf("%s: no feature columns left after excluding proba columns", VORNEL_ERR_SCHEMA);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// Step 6: reads every row through the wrapper query.
int read_rows(sqlite3 *db, const char *query, bool regress, TrainSet *ts, char **out_msg) {
  HostStr sql(sqlite3_mprintf(WRAPPER_SQL, query));
  if (!sql) return SQLITE_NOMEM;
  StmtGuard st;
  if (sqlite3_prepare_v2(db, sql.get(), -1, st.out(), nullptr) != SQLITE_OK || !st.stmt) {
    *out_msg = sqlite3_mprintf("%s: could not read train_query: %s", VORNEL_ERR_SCHEMA, sqlite3_errmsg(db));
    return SQLITE_ERROR;
  }
  const int m = ts->m;
  if (!ts->x.reserve(DIST_FIRST_ROWS * m)) return SQLITE_NOMEM;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (ts->n == INT32_MAX) return SQLITE_NOMEM;
    if (ts->x.len + m > ts->x.cap && !ts->x.reserve(ts->x.cap * 2)) return SQLITE_NOMEM;
    for (int f = 0; f < m; f++) {
      int col = ts->feature_col[f] + 1;
      int type = sqlite3_column_type(st, col);
      if (type != SQLITE_INTEGER && type != SQLITE_FLOAT) {
        *out_msg = sqlite3_mprintf("%s: train feature '%s' is not numeric", VORNEL_ERR_SCHEMA, ts->names.items[f]);
        return SQLITE_ERROR;
      }
      ts->x.data[ts->x.len++] = (float)sqlite3_column_double(st, col);
    }
    int tcol = ts->target_col + 1;
    if (regress) {
      int type = sqlite3_column_type(st, tcol);
      if (type != SQLITE_INTEGER && type != SQLITE_FLOAT) {
        *out_msg = sqlite3_mprintf("%s: regress target must be numeric", VORNEL_ERR_TARGET);
        return SQLITE_ERROR;
      }
      if (!ts->truth_value.push(sqlite3_column_double(st, tcol), DIST_FIRST_ROWS)) return SQLITE_NOMEM;
    } else {
      const char *text = (const char *)sqlite3_column_text(st, tcol);
      if (!text && sqlite3_column_type(st, tcol) != SQLITE_NULL) return SQLITE_NOMEM;
      if (!ts->truth_text.push_copy(text ? text : "", DIST_FIRST_ROWS)) return SQLITE_NOMEM;
    }
    ts->n++;
  }
  // A query that fails part-way must not train on the rows read so far.
  if (rc != SQLITE_DONE) {
    if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
    *out_msg = sqlite3_mprintf("%s: could not read train_query: %s", VORNEL_ERR_SCHEMA, sqlite3_errmsg(db));
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// Step 8, soft distillation: the n x K class distributions from the proba columns.
int read_soft(sqlite3 *db, const char *query, TrainSet *ts, char **out_msg) {
  const int K = ts->proba_count;
  // The vocabulary is the classes array itself: a class index is its position there.
  for (int k = 0; k < K; k++)
    if (!ts->vocab.push_copy(ts->classes[k], 8)) return SQLITE_NOMEM;
  if (!ts->soft.reserve((int64_t)ts->n * K)) return SQLITE_NOMEM;
  HostStr sql(sqlite3_mprintf(WRAPPER_SQL, query));
  if (!sql) return SQLITE_NOMEM;
  StmtGuard st;
  if (sqlite3_prepare_v2(db, sql.get(), -1, st.out(), nullptr) != SQLITE_OK || !st.stmt) {
    *out_msg = sqlite3_mprintf("%s: could not re-read proba columns: %s", VORNEL_ERR_SCHEMA, sqlite3_errmsg(db));
    return SQLITE_ERROR;
  }
  int32_t got = 0;
  while (got < ts->n && sqlite3_step(st) == SQLITE_ROW) {
    double v[DIST_MAX_FEATURES + 1];
    double sum = 0.0;
    for (int k = 0; k < K; k++) {
      v[k] = sqlite3_column_double(st, ts->proba_col[k] + 1);
      if (v[k] < 0.0) v[k] = 0.0;
      sum += v[k];
    }
    for (int k = 0; k < K; k++) ts->soft.data[ts->soft.len++] = sum <= 1e-12 ? (float)(1.0 / K) : (float)(v[k] / sum);
    got++;
  }
  if (got < ts->n) {
    *out_msg = sqlite3_mprintf("%s: proba re-read yielded %d of %d rows", VORNEL_ERR_RESOURCE, got, ts->n);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// Whether id names a registry row that runs as a student; any failure to look answers no, and
// the teacher query then reports what went wrong.
bool is_stored_student(sqlite3 *db, const char *id) {
  vornel0_model_row row;
  memset(&row, 0, sizeof row);
  const bool student = vornel0_registry_lookup(db, id, &row) == SQLITE_OK && row.runtime &&
                       strcmp(row.runtime, "tree") == 0;
  vornel0_model_row_free(&row);
  return student;
}

// Step 8, teacher: labels from a nested vornel() over the same rows.
int read_teacher(sqlite3 *db, const char *query, const distill_options *o, bool regress, TrainSet *ts,
                 char **out_msg) {
  HostStr list(quoted_features(db, ts->names));
  if (!list) return SQLITE_NOMEM;
  HostStr apply(sqlite3_mprintf(APPLY_SQL, list.get(), query));
  if (!apply) return SQLITE_NOMEM;
  const char *task = regress ? "regress" : "classify";
  HostStr sql(is_stored_student(db, o->teacher)
                  ? sqlite3_mprintf(STUDENT_TEACHER_SQL, apply.get(), o->target, task, o->teacher)
                  : sqlite3_mprintf(TEACHER_SQL, query, apply.get(), o->target, task, o->teacher));
  if (!sql) return SQLITE_NOMEM;
  StmtGuard st;
  if (sqlite3_prepare_v2(db, sql.get(), -1, st.out(), nullptr) != SQLITE_OK || !st.stmt) {
    *out_msg = sqlite3_mprintf("%s: teacher '%s' failed: %s", VORNEL_ERR_MODEL_NOT_FOUND, o->teacher,
                               sqlite3_errmsg(db));
    return SQLITE_ERROR;
  }
  int32_t got = 0;
  int rc = SQLITE_ROW;
  while (got < ts->n && (rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (regress) {
      if (!ts->label_value.push((float)sqlite3_column_double(st, 0), DIST_FIRST_ROWS)) return SQLITE_NOMEM;
    } else {
      const char *text = (const char *)sqlite3_column_text(st, 0);
      if (!text && sqlite3_column_type(st, 0) != SQLITE_NULL) return SQLITE_NOMEM;
      int32_t k = intern_label(&ts->vocab, text ? text : "");
      if (k < 0 || !ts->label_class.push(k, DIST_FIRST_ROWS)) return SQLITE_NOMEM;
    }
    got++;
  }
  if (got < ts->n) {
    if (rc == SQLITE_DONE) {
      *out_msg = sqlite3_mprintf("%s: teacher produced %d labels for %d rows (%s)", VORNEL_ERR_RESOURCE, got, ts->n,
                                 "short read");
    } else {
      *out_msg = sqlite3_mprintf("%s: teacher produced %d labels for %d rows (%s)", VORNEL_ERR_RESOURCE, got, ts->n,
                                 sqlite3_errmsg(db));
    }
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// Step 8, target column: labels are the ground truth itself.
int target_labels(bool regress, TrainSet *ts) {
  for (int32_t i = 0; i < ts->n; i++) {
    if (regress) {
      if (!ts->label_value.push((float)ts->truth_value[i], DIST_FIRST_ROWS)) return SQLITE_NOMEM;
    } else {
      int32_t k = intern_label(&ts->vocab, ts->truth_text.items[i]);
      if (k < 0 || !ts->label_class.push(k, DIST_FIRST_ROWS)) return SQLITE_NOMEM;
    }
  }
  return SQLITE_OK;
}

enum StudentKind { KIND_TREE, KIND_GBT, KIND_MLP };

// The trained student of one kind; freed by the destructor.
struct Student {
  StudentKind kind = KIND_TREE;
  tree_model tree{};
  forest_model forest{};
  mlp_model mlp{};
  ~Student() {
    tree_free(&tree);
    forest_free(&forest);
    mlp_free(&mlp);
  }
};

// Step 12: trains on the first t rows and attaches names and labels.
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

// Step 13: the holdout metric over rows t..n-1 against the query's own target column.
int score_holdout(const TrainSet &ts, bool regress, int32_t t, const Student &s, double *out_metric,
                  char **out_msg) {
  const int32_t h = ts.n - t;
  double sum = 0.0;
  int64_t correct = 0;
  HostPtr<double> scores;
  HostPtr<float> hidden, outputs;
  if (s.kind == KIND_GBT) {
    scores.reset(host_calloc<double>(s.forest.output_count));
    if (!scores) {
      *out_msg = nomem_msg();
      return SQLITE_NOMEM;
    }
  } else if (s.kind == KIND_MLP) {
    hidden.reset(host_calloc<float>(s.mlp.hidden_count > 0 ? s.mlp.hidden_count : 1));
    outputs.reset(host_calloc<float>(s.mlp.output_count));
    if (!hidden || !outputs) {
      *out_msg = nomem_msg();
      return SQLITE_NOMEM;
    }
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
                 strcmp(s.tree.class_labels[nd.leaf_class], ts.truth_text.items[i]) == 0) {
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
      *out_msg = nomem_msg();
      return SQLITE_NOMEM;
    }
    if (regress) {
      double d = strtod(text, nullptr) - ts.truth_value[i];
      sum += d * d;
    } else if (strcmp(text, ts.truth_text.items[i]) == 0) {
      correct++;
    }
    sqlite3_free(text);
  }
  *out_metric = regress ? sqrt(sum / h) : (double)correct / h;
  return SQLITE_OK;
}

// Steps 14 and 15: serialise, hash and insert.
int store_student(sqlite3 *db, const char *student_id, const Student &s, distill_result_row *row, char **out_msg) {
  unsigned char *blob_raw = nullptr;
  int64_t len = 0;
  int rc = s.kind == KIND_TREE  ? tree_serialize(&s.tree, &blob_raw, &len)
           : s.kind == KIND_GBT ? forest_serialize(&s.forest, &blob_raw, &len)
                                : mlp_serialize(&s.mlp, &blob_raw, &len);
  HostPtr<unsigned char> blob(blob_raw);
  if (rc != SQLITE_OK || !blob) {
    *out_msg = nomem_msg();
    return SQLITE_NOMEM;
  }
  sha256_state hs;
  vornel0_hash_init(&hs);
  sha256_update(&hs, blob.get(), (size_t)len);
  vornel0_hash_hex(&hs, row->content_hash);

  StmtGuard st;
  if (sqlite3_prepare_v2(db, INSERT_SQL, -1, st.out(), nullptr) != SQLITE_OK || !st.stmt) {
    *out_msg = sqlite3_mprintf("%s: cannot prepare student insert", VORNEL_ERR_RESOURCE);
    return SQLITE_ERROR;
  }
  sqlite3_bind_text(st, 1, student_id, -1, SQLITE_STATIC);
  sqlite3_bind_blob64(st, 2, blob.get(), (sqlite3_uint64)len, SQLITE_STATIC);
  sqlite3_bind_text(st, 3, row->content_hash, -1, SQLITE_STATIC);
  rc = sqlite3_step(st);
  if (rc == SQLITE_DONE) return SQLITE_OK;
  if (rc == SQLITE_CONSTRAINT) {
    *out_msg = sqlite3_mprintf("%s: student '%s' already exists", VORNEL_ERR_STUDENT_EXISTS, student_id);
  } else {
    *out_msg = sqlite3_mprintf("%s: student insert failed: %s", VORNEL_ERR_RESOURCE, sqlite3_errmsg(db));
  }
  return SQLITE_ERROR;
}

int train_all(sqlite3 *db, const char *query, const distill_options *o, distill_result_row *row, char **out_msg) {
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
  if (o->proba) rc = read_soft(db, query, &ts, out_msg);
  else if (o->teacher) rc = read_teacher(db, query, o, regress, &ts, out_msg);
  else rc = target_labels(regress, &ts);
  if (rc != SQLITE_OK) return rc;
  if (!regress && ts.vocab.count < 2) {
    *out_msg = sqlite3_mprintf("%s: %s produced a single class; nothing to distill", VORNEL_ERR_SCHEMA,
                               o->teacher ? "teacher" : "target column");
    return SQLITE_ERROR;
  }
  const int32_t h = ts.n / 5;
  const int32_t t = ts.n - h;
  Student s;
  if (o->student_kind && strcmp(o->student_kind, "mlp") == 0) s.kind = KIND_MLP;
  else if (o->student_kind && strcmp(o->student_kind, "gbt") == 0) s.kind = KIND_GBT;
  else s.kind = o->proba ? KIND_GBT : KIND_TREE;
  if (s.kind == KIND_MLP && regress) {
    *out_msg = sqlite3_mprintf("%s: mlp student is classification only", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  rc = train_student(ts, &ts.vocab, regress, t, &s, out_msg);
  if (rc != SQLITE_OK) return rc;
  double metric = 0.0;
  rc = score_holdout(ts, regress, t, s, &metric, out_msg);
  if (rc != SQLITE_OK) return rc;
  // The id is copied before the insert so that nothing can fail once the row is written.
  HostStr model_id(sqlite3_mprintf("%s", o->student_id));
  if (!model_id) {
    *out_msg = nomem_msg();
    return SQLITE_NOMEM;
  }
  rc = store_student(db, o->student_id, s, row, out_msg);
  if (rc != SQLITE_OK) return rc;
  row->model_id = model_id.release();
  row->train_rows = ts.n;
  row->holdout_metric = metric;
  return SQLITE_OK;
}

} // namespace

int distill_train(sqlite3 *db, const char *train_query, const distill_options *opts, distill_result_row *row,
                  char **out_msg) {
  *out_msg = nullptr;
  HostStr query(trim_query(train_query));
  int rc = query ? train_all(db, query.get(), opts, row, out_msg) : SQLITE_NOMEM;
  // Out of memory while reading rows or interning labels reports the same message as elsewhere.
  if (rc == SQLITE_NOMEM && !*out_msg) *out_msg = nomem_msg();
  return rc;
}
