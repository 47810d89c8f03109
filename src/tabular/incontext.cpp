// The in-context five-nearest-neighbour model (knn5-incontext): read the training query into a
// standardised blocked matrix with its labels, then answer the apply query in batches through
// the exact search of knn.cpp. Categorical features are coded by first-seen vocabulary order;
// every piece of working memory is released before the call returns.
#include "core/intern.h"
#include "tabular/knn.h"
#include "tabular/vornel_internal.h"
#include <math.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int MAX_FEATURES = KNN_MAX_FEATURES;
constexpr int64_t MAX_TRAIN_ROWS = 100000;
constexpr int64_t FIRST_ROWS = 256;
constexpr int64_t APPLY_BATCH = 2048; // apply rows answered per pass over the training matrix

enum FeatureKind { KIND_UNDECIDED = 0, KIND_NUMERIC, KIND_CATEGORICAL };

struct Feature {
  int column = 0;            // column index in train_query
  int kind = KIND_UNDECIDED; // a FeatureKind
  double mean = 0.0;         // training mean
  double deviation = 1.0;    // population standard deviation (1.0 when it is 0)
  TextVocab vocab;           // categorical codes
};

// The code of column c's text in the feature's vocabulary (added when new), as a value;
// false when memory runs out.
bool category_code(sqlite3_stmt *stmt, int c, TextVocab *vocab, double *value) {
  const char *text = (const char *)sqlite3_column_text(stmt, c);
  int n = sqlite3_column_bytes(stmt, c);
  if (!text && n > 0) return false;
  int64_t code;
  if (!vocab_code(vocab, text ? text : "", n, &code)) return false;
  *value = (double)code;
  return true;
}

// The in-context working set; every member frees its own memory.
struct Context {
  Feature features[MAX_FEATURES];
  int feature_count = 0;
  knn_matrix matrix{};
  bool classify = true;
  HostArray<char> label_bytes; // classification labels, back to back
  HostArray<TextRef> labels;   // one per training row (classification)
  HostArray<double> targets;   // one per training row (regression)
  HostArray<char> name_bytes;  // feature names, each with its NUL
  int64_t name_offsets[MAX_FEATURES] = {};
  const char *name(int f) const { return name_bytes.data + name_offsets[f]; }
};

// Reads the training query into the context. Returns 0, or 1 / 7 with *out_msg.
int read_training(sqlite3 *db, const char *train_sql, const char *target, Context *cx, char **out_msg) {
  StmtGuard stmt;
  int rc = vornel_prepare_query(db, train_sql, stmt.out(), out_msg);
  if (rc != SQLITE_OK) return rc;
  const int columns = sqlite3_column_count(stmt);
  int label_column = -1;
  int feature_columns[MAX_FEATURES + 1];
  for (int c = 0; c < columns; c++) {
    const char *name = sqlite3_column_name(stmt, c);
    if (!name) return SQLITE_NOMEM;
    if (strcmp(name, target) == 0) {
      label_column = c;
      continue;
    }
    if (cx->feature_count == MAX_FEATURES)
      return vornel0_fail(out_msg, sqlite3_mprintf("%s: too many feature columns (max 64)", VORNEL_ERR_SCHEMA));
    cx->name_offsets[cx->feature_count] = cx->name_bytes.len;
    if (!arena_append(&cx->name_bytes, name, (int64_t)strlen(name) + 1)) return SQLITE_NOMEM;
    feature_columns[cx->feature_count++] = c;
  }
  if (label_column < 0)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: no such target column: %s", VORNEL_ERR_TARGET, target));
  if (cx->feature_count == 0)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: train_query needs feature columns", VORNEL_ERR_SCHEMA));
  const int F = cx->feature_count;
  for (int f = 0; f < F; f++)
    cx->features[f].column = feature_columns[f];
  cx->matrix.features = F;

  bool non_numeric_label = false;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const int64_t r = cx->matrix.rows;
    if (r == MAX_TRAIN_ROWS)
      return vornel0_fail(
          out_msg, sqlite3_mprintf("%s: train set exceeds knn5-incontext capacity", VORNEL_ERR_CONTEXT_TOO_LARGE));
    if (!knn_matrix_reserve_row(&cx->matrix, FIRST_ROWS)) return SQLITE_NOMEM;
    for (int f = 0; f < F; f++) {
      Feature &ft = cx->features[f];
      const int c = ft.column;
      const int type = sqlite3_column_type(stmt, c);
      double value = 0.0;
      if (type != SQLITE_NULL) {
        if (ft.kind == KIND_UNDECIDED) ft.kind = type == SQLITE_TEXT ? KIND_CATEGORICAL : KIND_NUMERIC;
        if (ft.kind == KIND_CATEGORICAL) {
          if (!category_code(stmt, c, &ft.vocab, &value)) return SQLITE_NOMEM;
        } else {
          value = sqlite3_column_double(stmt, c);
        }
      }
      knn_at(&cx->matrix, r, f) = value;
    }
    if (cx->classify) {
      const char *text = (const char *)sqlite3_column_text(stmt, label_column);
      int n = sqlite3_column_bytes(stmt, label_column);
      if (!text && n > 0) return SQLITE_NOMEM;
      TextRef ref{cx->label_bytes.len, n};
      if (!arena_append(&cx->label_bytes, text ? text : "", n) || !cx->labels.push(ref, FIRST_ROWS))
        return SQLITE_NOMEM;
    } else {
      int type = sqlite3_column_type(stmt, label_column);
      if (type != SQLITE_INTEGER && type != SQLITE_FLOAT) non_numeric_label = true;
      if (!cx->targets.push(sqlite3_column_double(stmt, label_column), FIRST_ROWS)) return SQLITE_NOMEM;
    }
    cx->matrix.rows++;
  }
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_DONE)
    return vornel0_fail(out_msg,
                        sqlite3_mprintf("%s: train query failed: %s", VORNEL_ERR_RESOURCE, sqlite3_errmsg(db)));
  if (!cx->classify && non_numeric_label)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: regress target must be numeric", VORNEL_ERR_TARGET));
  if (cx->matrix.rows < KNN_K)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: train set smaller than k=5", VORNEL_ERR_SCHEMA));
  return SQLITE_OK;
}

// Standardises every training feature in place: mean over all rows, population deviation.
void standardise(Context *cx) {
  const int64_t n = cx->matrix.rows;
  for (int f = 0; f < cx->feature_count; f++) {
    Feature &ft = cx->features[f];
    double sum = 0.0;
    for (int64_t r = 0; r < n; r++)
      sum += knn_at(&cx->matrix, r, f);
    const double mean = sum / (double)n;
    double squares = 0.0;
    for (int64_t r = 0; r < n; r++) {
      double d = knn_at(&cx->matrix, r, f) - mean;
      squares += d * d;
    }
    double deviation = sqrt(squares / (double)n);
    if (deviation == 0.0) deviation = 1.0;
    ft.mean = mean;
    ft.deviation = deviation;
    for (int64_t r = 0; r < n; r++)
      knn_at(&cx->matrix, r, f) = (knn_at(&cx->matrix, r, f) - mean) / deviation;
  }
  knn_matrix_seal(&cx->matrix);
}

// Fills one numeric row's prediction from its neighbour list (filled slots only).
bool predict(const Context *cx, const knn_hit *list, vornel0_result *row) {
  int filled = 0;
  while (filled < KNN_K && list[filled].row >= 0)
    filled++;
  if (filled == 0) {
    row->status = VORNEL_STATUS_NON_NUMERIC;
    return true;
  }
  if (!cx->classify) {
    double sum = 0.0;
    for (int s = 0; s < filled; s++)
      sum += cx->targets[list[s].row];
    char buf[48];
    vornel0_format_double(sum / (double)filled, buf);
    row->prediction = copy_bytes(buf, (int64_t)strlen(buf));
    return row->prediction != nullptr;
  }
  int best = -1, best_count = 0;
  for (int s = 0; s < filled; s++) {
    const TextRef &a = cx->labels[list[s].row];
    const char *pa = cx->label_bytes.data + a.offset;
    int count = 0;
    for (int t = 0; t < filled; t++) {
      const TextRef &b = cx->labels[list[t].row];
      if (bytes_cmp(pa, a.len, cx->label_bytes.data + b.offset, b.len) == 0) count++;
    }
    if (best >= 0) {
      const TextRef &w = cx->labels[list[best].row];
      if (count < best_count) continue;
      if (count == best_count && bytes_cmp(pa, a.len, cx->label_bytes.data + w.offset, w.len) >= 0) continue;
    }
    best = s;
    best_count = count;
  }
  const TextRef &w = cx->labels[list[best].row];
  row->prediction = copy_bytes(cx->label_bytes.data + w.offset, w.len);
  row->confidence = (double)best_count / (double)filled;
  row->has_confidence = 1;
  return row->prediction != nullptr;
}

// Maps apply columns 1.. onto the training features. position[c - 1] is the feature of
// column c. Returns 0 or 1 / 7 with *out_msg.
int map_apply_columns(sqlite3_stmt *stmt, const Context *cx, int *position, char **out_msg) {
  const int columns = sqlite3_column_count(stmt);
  if (columns < 2)
    return vornel0_fail(out_msg,
                        sqlite3_mprintf("%s: apply_query needs a row_ref column plus features", VORNEL_ERR_SCHEMA));
  bool named[MAX_FEATURES] = {};
  bool mismatch = columns - 1 != cx->feature_count;
  for (int c = 1; c < columns; c++) {
    const char *name = sqlite3_column_name(stmt, c);
    if (!name) return SQLITE_NOMEM;
    int match = -1, first = -1;
    for (int f = 0; f < cx->feature_count; f++) {
      if (strcmp(cx->name(f), name) != 0) continue;
      if (first < 0) first = f;
      if (!named[f]) {
        match = f;
        break;
      }
    }
    if (first < 0) {
      *out_msg =
          sqlite3_mprintf("%s: %s%.127s", VORNEL_ERR_SCHEMA, "apply feature not in train_query: ", *name ? name : "?");
      return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
    }
    if (match < 0) {
      mismatch = true; // a feature named twice
      match = first;
    }
    named[match] = true;
    position[c - 1] = match;
  }
  if (mismatch)
    return vornel0_fail(out_msg,
                        sqlite3_mprintf("%s: apply features must match train features exactly", VORNEL_ERR_SCHEMA));
  return SQLITE_OK;
}

// Search order of one batch row: its feature sum, then its position.
struct BatchOrder {
  double key;    // sum of the row's standardised features
  int64_t index; // row within the batch
};

int batch_order_cmp(const void *pa, const void *pb) {
  const BatchOrder *a = (const BatchOrder *)pa, *b = (const BatchOrder *)pb;
  if (a->key < b->key) return -1;
  if (a->key > b->key) return 1;
  return a->index < b->index ? -1 : a->index > b->index ? 1 : 0;
}

// Reads the current apply row's features, standardised, into values. Returns SQLITE_OK, with
// *numeric false when a value cannot be used, or SQLITE_NOMEM.
int read_apply_row(sqlite3_stmt *apply, Context *cx, const int *position, double *values, bool *numeric) {
  *numeric = false;
  for (int c = 1; c <= cx->feature_count; c++) {
    Feature &ft = cx->features[position[c - 1]];
    const int type = sqlite3_column_type(apply, c);
    double value;
    if (type == SQLITE_NULL) return SQLITE_OK;
    if (ft.kind == KIND_CATEGORICAL) {
      if (type != SQLITE_TEXT) return SQLITE_OK;
      if (!category_code(apply, c, &ft.vocab, &value)) return SQLITE_NOMEM;
    } else {
      if (type == SQLITE_TEXT || type == SQLITE_BLOB) return SQLITE_OK;
      value = sqlite3_column_double(apply, c);
    }
    values[position[c - 1]] = (value - ft.mean) / ft.deviation;
  }
  *numeric = true;
  return SQLITE_OK;
}

// The apply rows waiting to be searched, and the search of a full batch.
struct ApplyBatch {
  int F = 0;
  HostPtr<double> values;      // APPLY_BATCH x F standardised rows
  HostPtr<knn_hit> hits;       // APPLY_BATCH x KNN_K
  HostPtr<int64_t> result_row; // result row of each pending row
  HostPtr<double> sorted;      // the pending rows in search order
  HostPtr<BatchOrder> order;
  int64_t pending = 0; // numeric rows waiting in the batch
  Cancel cancel;

  bool init(sqlite3 *db, int features) {
    F = features;
    values.reset(host_calloc<double>(APPLY_BATCH * F));
    hits.reset(host_calloc<knn_hit>(APPLY_BATCH * KNN_K));
    result_row.reset(host_calloc<int64_t>(APPLY_BATCH));
    sorted.reset(host_calloc<double>(APPLY_BATCH * F));
    order.reset(host_calloc<BatchOrder>(APPLY_BATCH));
    cancel = vornel0_cancel(db);
    return values && hits && result_row && sorted && order;
  }
  double *next_values() const { return values.get() + pending * F; }

  // Each apply row's search is independent of the others, so a batch is searched in an order
  // that puts similar rows in the same group of four: their fifth-slot distances shrink
  // together, which lets the search skip more blocks early. Results do not depend on it.
  // Returns SQLITE_OK, SQLITE_NOMEM or SQLITE_INTERRUPT.
  int flush(Context *cx, ResultRows &rows) {
    for (int64_t i = 0; i < pending; i++) {
      double key = 0.0;
      for (int f = 0; f < F; f++)
        key += values[i * F + f];
      if (key != key) key = INFINITY; // NaN would not order consistently
      order[i] = BatchOrder{key, i};
    }
    qsort(order.get(), (size_t)pending, sizeof(BatchOrder), batch_order_cmp);
    for (int64_t i = 0; i < pending; i++)
      memcpy(sorted.get() + i * F, values.get() + order[i].index * F, sizeof(double) * (size_t)F);
    if (!knn5_search(&cx->matrix, sorted.get(), pending, hits.get(), &cancel)) return SQLITE_INTERRUPT;
    for (int64_t i = 0; i < pending; i++)
      if (!predict(cx, hits.get() + i * KNN_K, &rows.rows[result_row[order[i].index]])) return SQLITE_NOMEM;
    pending = 0;
    return SQLITE_OK;
  }
};

} // namespace

int vornel_incontext_run(sqlite3 *db, const char *train_sql, const char *apply_sql, const vornel_options *opts,
                         vornel0_result **out_rows, int64_t *out_count, char **out_msg) {
  *out_rows = nullptr;
  *out_count = 0;
  *out_msg = nullptr;
  int rc = vornel_refuse_device(opts->device, opts->precision, out_msg);
  if (rc != SQLITE_OK) return rc;
  if (!train_sql)
    return vornel0_fail(out_msg,
                        sqlite3_mprintf("%s: train_query is required for in-context models", VORNEL_ERR_SCHEMA));
  if (opts->task && strcmp(opts->task, "classify") != 0 && strcmp(opts->task, "regress") != 0)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: task must be classify|regress: %s", VORNEL_ERR_TASK, opts->task));
  if (!opts->target) return vornel0_fail(out_msg, sqlite3_mprintf("%s: target option is required", VORNEL_ERR_TARGET));

  Context cx;
  cx.classify = !opts->task || strcmp(opts->task, "classify") == 0;
  rc = read_training(db, train_sql, opts->target, &cx, out_msg);
  if (rc != SQLITE_OK) return rc;
  standardise(&cx);

  StmtGuard apply;
  rc = vornel_prepare_query(db, apply_sql, apply.out(), out_msg);
  if (rc != SQLITE_OK) return rc;
  int position[MAX_FEATURES];
  rc = map_apply_columns(apply, &cx, position, out_msg);
  if (rc != SQLITE_OK) return rc;

  ResultRows rows;
  ApplyBatch batch;
  if (!batch.init(db, cx.feature_count)) return SQLITE_NOMEM;
  while ((rc = sqlite3_step(apply)) == SQLITE_ROW) {
    if (rows.full()) return vornel_refuse_apply_rows(out_msg);
    vornel0_result *row = rows.add();
    if (!row || !record_row_ref(apply, row)) return SQLITE_NOMEM;
    bool numeric;
    if (read_apply_row(apply, &cx, position, batch.next_values(), &numeric) != SQLITE_OK) return SQLITE_NOMEM;
    if (!numeric) {
      row->status = VORNEL_STATUS_NON_NUMERIC;
      continue;
    }
    batch.result_row[batch.pending++] = rows.rows.len - 1;
    if (batch.pending == APPLY_BATCH && (rc = batch.flush(&cx, rows)) != SQLITE_OK) return rc;
  }
  // The apply rows are read between searches, so an interrupt may reach either; both stop alike.
  if (rc == SQLITE_NOMEM || rc == SQLITE_INTERRUPT) return rc;
  if (rc != SQLITE_DONE)
    return vornel0_fail(out_msg,
                        sqlite3_mprintf("%s: apply query failed: %s", VORNEL_ERR_RESOURCE, sqlite3_errmsg(db)));
  if (batch.pending && (rc = batch.flush(&cx, rows)) != SQLITE_OK) return rc;
  *out_rows = rows.release(out_count);
  return SQLITE_OK;
}
