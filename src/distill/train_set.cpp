// Reading and labels for distill_vornel: the query's columns sorted into target and features,
// the rows read through a row-numbering wrapper so they keep the query's order, and the labels
// from the target column, from a teacher run through a nested vornel() query, or from soft
// class columns.
#include "distill/train_set.h"
#include "registry/registry.h"
#include <math.h>

namespace vornel_distill {

namespace {

const char WRAPPER_SQL[] = "SELECT (row_number() OVER ()) AS _rid, * FROM (%s) ORDER BY _rid";
const char APPLY_SQL[] = "SELECT (row_number() OVER ()) AS _rid, %s FROM (%s) ORDER BY _rid";
const char TEACHER_SQL[] = "SELECT prediction FROM vornel(%Q, %Q, json_object('target',%Q,'task',%Q,'model',%Q))";
// A stored student answers from its own weights and takes no train_query.
const char STUDENT_TEACHER_SQL[] =
    "SELECT prediction FROM vornel(NULL, %Q, json_object('target',%Q,'task',%Q,'model',%Q))";

// The quoted feature list: "name" per feature, embedded quotes doubled, joined by ",".
char *quoted_features(sqlite3 *db, const HostTexts &names) {
  sqlite3_str *s = sqlite3_str_new(db);
  for (int64_t i = 0; i < names.len; i++) {
    if (i) sqlite3_str_appendchar(s, 1, ',');
    sqlite3_str_appendchar(s, 1, '"');
    for (const char *p = names.data[i]; *p; p++) {
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

// Whether id names a registry row that runs as a student; any failure to look answers no, and
// the teacher query then reports what went wrong.
bool is_stored_student(sqlite3 *db, const char *id) {
  vornel0_model_row row;
  memset(&row, 0, sizeof row);
  const bool student =
      vornel0_registry_lookup(db, id, &row) == SQLITE_OK && row.runtime && strcmp(row.runtime, "tree") == 0;
  vornel0_model_row_free(&row);
  return student;
}

} // namespace

int32_t intern_label(HostTexts *vocab, TextVocab *index, const char *label) {
  size_t n = strlen(label);
  int64_t code;
  if (n > INT32_MAX || !vocab_code(index, label, (int32_t)n, &code)) return -1;
  if (code == vocab->len && (vocab->len >= INT32_MAX || !vocab->push_copy(label, 8))) return -1;
  return (int32_t)code;
}

char *trim_query(const char *q) {
  size_t len = strlen(q);
  while (len > 0) {
    char c = q[len - 1];
    if (c == ';' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v')
      len--;
    else
      break;
  }
  return sqlite3_mprintf("%.*s", (int)len, q);
}

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

// Checks proba and classes against the task, the student kind and each other, and takes the
// proba columns out of the features (they are labels, not inputs).
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
      if (strcmp(ts->names.data[f], ts->proba[p]) == 0) {
        at = f;
        break;
      }
    if (at < 0) {
      *out_msg = sqlite3_mprintf("%s: proba column '%s' not in train_query", VORNEL_ERR_SCHEMA, ts->proba[p]);
      return SQLITE_ERROR;
    }
    // The proba list has at most as many entries as there were features left to match.
    ts->proba_col[p] = ts->feature_col[at];
    sqlite3_free(ts->names.data[at]);
    for (int f = at; f + 1 < ts->m; f++) {
      ts->names.data[f] = ts->names.data[f + 1];
      ts->feature_col[f] = ts->feature_col[f + 1];
    }
    ts->m--;
    ts->names.len--;
  }
  if (ts->m == 0) {
    *out_msg = sqlite3_mprintf("%s: no feature columns left after excluding proba columns", VORNEL_ERR_SCHEMA);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// Reads every row through the row-numbering wrapper: features as binary32, and the ground
// truth (a number for regression, the label text for classification).
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
        *out_msg = sqlite3_mprintf("%s: train feature '%s' is not numeric", VORNEL_ERR_SCHEMA, ts->names.data[f]);
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

// Soft labels: the n x K class distributions from the proba columns, negatives as zero and
// each row scaled to sum to one (uniform when nothing is left).
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
    for (int k = 0; k < K; k++)
      ts->soft.data[ts->soft.len++] = sum <= 1e-12 ? (float)(1.0 / K) : (float)(v[k] / sum);
    got++;
  }
  if (got < ts->n) {
    *out_msg = sqlite3_mprintf("%s: proba re-read yielded %d of %d rows", VORNEL_ERR_RESOURCE, got, ts->n);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// Teacher labels: a nested vornel() over the same rows, in the same order.
int read_teacher(sqlite3 *db, const char *query, const distill_options *o, bool regress, TrainSet *ts, char **out_msg) {
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
    *out_msg =
        sqlite3_mprintf("%s: teacher '%s' failed: %s", VORNEL_ERR_MODEL_NOT_FOUND, o->teacher, sqlite3_errmsg(db));
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
      int32_t k = intern_label(&ts->vocab, &ts->vocab_index, text ? text : "");
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

// Without a teacher or soft columns the labels are the ground truth itself.
int target_labels(bool regress, TrainSet *ts) {
  for (int32_t i = 0; i < ts->n; i++) {
    if (regress) {
      if (!ts->label_value.push((float)ts->truth_value[i], DIST_FIRST_ROWS)) return SQLITE_NOMEM;
    } else {
      int32_t k = intern_label(&ts->vocab, &ts->vocab_index, ts->truth_text.data[i]);
      if (k < 0 || !ts->label_class.push(k, DIST_FIRST_ROWS)) return SQLITE_NOMEM;
    }
  }
  return SQLITE_OK;
}

} // namespace vornel_distill
