// The vornel(train_query, apply_query[, options]) table-valued function: its module callbacks
// (prefix vn_), the options record, the query rules shared by both modes, and the dispatch to
// the in-context model or a stored student. Filter computes every row; the kit's callbacks only
// walk the cursor's array.
#include "registry/registry.h"
#include "tabular/vornel_internal.h"
#include <stddef.h>
#include <string.h>

// Column numbers of the declared schema. The kit hands filter args[0] = train_query,
// args[1] = apply_query and args[2] = options (null when not given).
enum VornelColumn {
  VN_COL_ROW_REF = 0,
  VN_COL_PREDICTION,
  VN_COL_CONFIDENCE,
  VN_COL_STATUS,
  VN_COL_TRAIN_QUERY,
  VN_COL_APPLY_QUERY,
  VN_COL_OPTIONS,
};

namespace {

constexpr OptionField VORNEL_FIELDS[] = {
    option_text("target", OPT_STRING, offsetof(vornel_options, target),
                "label column of train_query (in-context mode)"),
    option_text("task", OPT_STRING, offsetof(vornel_options, task),
                "classify or regress; inferred from the labels when absent"),
    option_text("model", OPT_STRING, offsetof(vornel_options, model),
                "registry id of the model; in-context when absent"),
    option_text("device", OPT_STRING, offsetof(vornel_options, device), "refused: no runtime of this build takes it"),
    option_text("precision", OPT_STRING, offsetof(vornel_options, precision),
                "refused: no runtime of this build takes it"),
};
constexpr auto VORNEL_KEYS = option_keys(VORNEL_FIELDS);

} // namespace

const OptionTable VORNEL_OPTIONS = option_table("vornel", VORNEL_FIELDS, VORNEL_KEYS);

void vornel0_results_free(vornel0_result *rows, int64_t count) {
  if (!rows) return;
  for (int64_t i = 0; i < count; i++) {
    sqlite3_free(rows[i].ref_text);
    sqlite3_free(rows[i].prediction);
  }
  sqlite3_free(rows);
}

void vornel_options_free(vornel_options *opts) { options_free(&VORNEL_OPTIONS, opts); }

int vornel_refuse_device(const char *device, const char *precision, char **out_msg) {
  if (!device && !precision) return SQLITE_OK;
  return vornel0_fail(out_msg, sqlite3_mprintf("%s: option '%s' needs a model runtime that is not in this build",
                                               VORNEL_ERR_OPTIONS, device ? "device" : "precision"));
}

int vornel_prepare_query(sqlite3 *db, const char *sql, sqlite3_stmt **out, char **out_msg) {
  *out = nullptr;
  *out_msg = nullptr;
  if (!sql) return vornel0_fail(out_msg, sqlite3_mprintf("%s: %s", VORNEL_ERR_SCHEMA, "query must be text"));
  return vornel0_prepare_query(db, sql, "query", true, out, out_msg);
}

char *copy_bytes(const char *bytes, int64_t n) {
  if (n < 0) n = 0;
  char *s = (char *)sqlite3_malloc64((sqlite3_uint64)n + 1);
  if (!s) return nullptr;
  if (n) memcpy(s, bytes, (size_t)n);
  s[n] = '\0';
  return s;
}

int vornel_refuse_apply_rows(char **out_msg) {
  *out_msg = sqlite3_mprintf("%s: too many apply rows (max %lld); split apply_query, for example with LIMIT and "
                             "OFFSET",
                             VORNEL_ERR_RESOURCE, (long long)VORNEL_MAX_APPLY_ROWS);
  return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
}

vornel0_result *ResultRows::add() {
  vornel0_result row;
  memset(&row, 0, sizeof row);
  row.status = VORNEL_STATUS_OK;
  if (!rows.push(row, 256)) return nullptr;
  return &rows[rows.len - 1];
}

bool record_row_ref(sqlite3_stmt *stmt, vornel0_result *row) {
  int type = sqlite3_column_type(stmt, 0);
  row->ref_type = type;
  switch (type) {
  case SQLITE_INTEGER:
    row->ref_int = sqlite3_column_int64(stmt, 0);
    return true;
  case SQLITE_FLOAT:
    row->ref_real = sqlite3_column_double(stmt, 0);
    return true;
  case SQLITE_NULL:
    return true;
  default: { // text, and a blob kept as its text
    const char *text = (const char *)sqlite3_column_text(stmt, 0);
    int n = sqlite3_column_bytes(stmt, 0);
    if (!text && n > 0) return false;
    row->ref_text = copy_bytes(text ? text : "", n);
    return row->ref_text != nullptr;
  }
  }
}

namespace {

struct VornelCursor {
  VtabCursor kit;       // kit's part: count is the rows in use, position the current row
  vornel0_result *rows; // owned result rows
};

void vn_clear(VtabCursor *base) {
  VornelCursor *cur = (VornelCursor *)base;
  vornel0_results_free(cur->rows, cur->kit.count);
  cur->rows = nullptr;
  cur->kit.count = 0;
}

// vornel() answers out of memory with SQLITE_NOMEM even when a message was built for the slot.
int vn_fail(sqlite3_vtab *vtab, int rc, char *msg) {
  int reported = vtab_fail(vtab, rc, msg);
  return rc == SQLITE_NOMEM ? SQLITE_NOMEM : reported;
}

bool is_incontext_model(const char *model) {
  return !model || strcmp(model, "default-tabular") == 0 || strcmp(model, "knn5-incontext") == 0;
}

// Student dispatch: look the model up and run it when its runtime is 'tree'.
int run_student(sqlite3 *db, const char *train_sql, const char *apply_sql, const vornel_options *opts,
                vornel0_result **out_rows, int64_t *out_count, char **out_msg) {
  vornel0_model_row row;
  memset(&row, 0, sizeof row);
  int rc = vornel0_registry_lookup(db, opts->model, &row);
  FreeGuard<vornel0_model_row, vornel0_model_row_free> guard(&row);
  if (rc == 1) {
    *out_msg = sqlite3_mprintf("%s: %s%s", VORNEL_ERR_MODEL_NOT_FOUND, opts->model, "");
    return SQLITE_ERROR;
  }
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_OK) {
    *out_msg = sqlite3_mprintf("%s: %s%s", VORNEL_ERR_RESOURCE, "model registry unavailable (needs a writable db)", "");
    return SQLITE_ERROR;
  }
  if (strcmp(row.runtime, "tree") == 0) {
    if (train_sql) {
      *out_msg = sqlite3_mprintf("%s: %s%s", VORNEL_ERR_OPTIONS,
                                 "a distilled student takes no train_query; pass NULL: ", opts->model);
      return SQLITE_ERROR;
    }
    rc = vornel_refuse_device(opts->device, opts->precision, out_msg);
    if (rc != SQLITE_OK) return rc;
    // A student runs only as stored: weights changed since would run under the old identity.
    if (row.weights && vornel0_registry_check_weights(&row, opts->model, out_msg) != SQLITE_OK)
      return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
    return vornel0_tree_run(db, opts->model, apply_sql, &row, opts->device, opts->precision, out_rows, out_count,
                            out_msg);
  }
  if (strcmp(row.runtime, "onnx") == 0) {
    *out_msg =
        sqlite3_mprintf("%s: %s%s", VORNEL_ERR_RUNTIME_UNAVAILABLE, "onnx runtime is not in this build: ", opts->model);
    return SQLITE_ERROR;
  }
  *out_msg =
      sqlite3_mprintf("%s: %s%s", VORNEL_ERR_MODEL_NOT_FOUND, "unsupported model runtime for vornel(): ", row.runtime);
  return SQLITE_ERROR;
}

int vn_filter(VtabCursor *base, sqlite3_value *const *args) {
  VornelCursor *cur = (VornelCursor *)base;
  sqlite3_vtab *vtab = base->base.pVtab;
  sqlite3 *db = base->db;
  const char *train_sql = (const char *)sqlite3_value_text(args[0]);
  const char *apply_sql = (const char *)sqlite3_value_text(args[1]);
  const char *options = args[2] ? (const char *)sqlite3_value_text(args[2]) : nullptr;
  if ((!train_sql && sqlite3_value_type(args[0]) != SQLITE_NULL) ||
      (!apply_sql && sqlite3_value_type(args[1]) != SQLITE_NULL) ||
      (args[2] && !options && sqlite3_value_type(args[2]) != SQLITE_NULL))
    return SQLITE_NOMEM;

  vornel_options opts;
  memset(&opts, 0, sizeof opts);
  FreeGuard<vornel_options, vornel_options_free> opts_guard(&opts);
  char *msg = nullptr;
  int rc = options_read(db, options, &VORNEL_OPTIONS, &opts, &msg);
  if (rc != SQLITE_OK) return vn_fail(vtab, rc, msg);

  vornel0_result *rows = nullptr;
  int64_t count = 0;
  if (is_incontext_model(opts.model))
    rc = vornel_incontext_run(db, train_sql, apply_sql, &opts, &rows, &count, &msg);
  else
    rc = run_student(db, train_sql, apply_sql, &opts, &rows, &count, &msg);
  if (rc != SQLITE_OK) {
    vornel0_results_free(rows, count);
    return vn_fail(vtab, rc, msg);
  }
  cur->rows = rows;
  cur->kit.count = count;
  return SQLITE_OK;
}

void vn_column(VtabCursor *base, sqlite3_context *ctx, int column) {
  VornelCursor *cur = (VornelCursor *)base;
  const vornel0_result &row = cur->rows[cur->kit.position];
  switch (column) {
  case VN_COL_ROW_REF:
    switch (row.ref_type) {
    case SQLITE_INTEGER:
      sqlite3_result_int64(ctx, row.ref_int);
      break;
    case SQLITE_FLOAT:
      sqlite3_result_double(ctx, row.ref_real);
      break;
    case SQLITE_TEXT:
    case SQLITE_BLOB:
      sqlite3_result_text(ctx, row.ref_text ? row.ref_text : "", -1, SQLITE_TRANSIENT);
      break;
    default:
      sqlite3_result_null(ctx);
      break;
    }
    break;
  case VN_COL_PREDICTION:
    if (row.prediction)
      sqlite3_result_text(ctx, row.prediction, -1, SQLITE_TRANSIENT);
    else
      sqlite3_result_null(ctx);
    break;
  case VN_COL_CONFIDENCE:
    if (row.has_confidence)
      sqlite3_result_double(ctx, row.confidence);
    else
      sqlite3_result_null(ctx);
    break;
  case VN_COL_STATUS:
    sqlite3_result_text(ctx, row.status, -1, SQLITE_STATIC);
    break;
  default:
    break;
  }
}

} // namespace

extern const VtabShape VORNEL_SHAPE = {
    "CREATE TABLE x(row_ref, prediction TEXT, confidence REAL, status TEXT, train_query HIDDEN, apply_query HIDDEN, "
    "options HIDDEN)",
    VN_COL_TRAIN_QUERY,
    3,
    2,
    "VORNEL_ERR_SCHEMA: vornel(train_query, apply_query) requires both arguments",
    1000.0,
    VTAB_DIRECT_ONLY,
    0,
    sizeof(VornelCursor),
    0,
    vn_filter,
    vn_column,
    vn_clear};
