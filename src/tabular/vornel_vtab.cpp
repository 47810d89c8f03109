// The vornel(train_query, apply_query[, options]) table-valued function: its module callbacks
// (prefix vn_), the options record, the query rules shared by both modes, and the dispatch to
// the in-context model or a stored student. Filter computes every row; the other callbacks only
// walk the cursor's array.
#include "registry/registry.h"
#include "tabular/vornel_internal.h"
#include <string.h>

// Column numbers of the declared schema. Best-index hands the three hidden argument columns
// argument positions 1, 2 and 3, so filter receives argv[0] = train_query, argv[1] =
// apply_query and, when given, argv[2] = options.
enum VornelColumn {
  VN_COL_ROW_REF = 0,
  VN_COL_PREDICTION,
  VN_COL_CONFIDENCE,
  VN_COL_STATUS,
  VN_COL_TRAIN_QUERY,
  VN_COL_APPLY_QUERY,
  VN_COL_OPTIONS,
};

const char *const VORNEL_OPTION_KEYS[] = {"target", "task", "model", "device", "precision", nullptr};

void vornel0_results_free(vornel0_result *rows, int64_t count) {
  if (!rows) return;
  for (int64_t i = 0; i < count; i++) {
    sqlite3_free(rows[i].ref_text);
    sqlite3_free(rows[i].prediction);
  }
  sqlite3_free(rows);
}

void vornel_options_free(vornel_options *opts) {
  sqlite3_free(opts->target);
  sqlite3_free(opts->task);
  sqlite3_free(opts->model);
  sqlite3_free(opts->device);
  sqlite3_free(opts->precision);
  memset(opts, 0, sizeof *opts);
}

int vornel_opt_cb(void *record, const char *key, sqlite3_value *value, char **out_msg) {
  vornel_options *opts = (vornel_options *)record;
  // json_each hands a JSON string over as TEXT; arrays and objects arrive as TEXT too but
  // carry the JSON subtype.
  if (sqlite3_value_type(value) != SQLITE_TEXT || sqlite3_value_subtype(value) == 'J') {
    *out_msg = sqlite3_mprintf("%s: wrong type for option '%s'", VORNEL_ERR_OPTIONS, key);
    return 1;
  }
  char **slot = strcmp(key, "target") == 0   ? &opts->target
                : strcmp(key, "task") == 0   ? &opts->task
                : strcmp(key, "model") == 0  ? &opts->model
                : strcmp(key, "device") == 0 ? &opts->device
                                             : &opts->precision;
  const char *text = (const char *)sqlite3_value_text(value);
  char *copy = text ? copy_bytes(text, sqlite3_value_bytes(value)) : nullptr;
  if (!copy) {
    *out_msg = nullptr;
    return 1;
  }
  sqlite3_free(*slot);
  *slot = copy;
  return 0;
}

int vornel_refuse_device(const char *device, const char *precision, char **out_msg) {
  if (!device && !precision) return SQLITE_OK;
  *out_msg = sqlite3_mprintf("%s: option '%s' needs a model runtime that is not in this build", VORNEL_ERR_OPTIONS,
                             device ? "device" : "precision");
  return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
}

int vornel_prepare_query(sqlite3 *db, const char *sql, sqlite3_stmt **out, char **out_msg) {
  *out = nullptr;
  *out_msg = nullptr;
  if (!sql) {
    *out_msg = sqlite3_mprintf("%s: %s%s", VORNEL_ERR_SCHEMA, "query must be text", "");
    return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
  }
  StmtGuard stmt;
  const char *tail = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, stmt.out(), &tail);
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_OK || !stmt.stmt) {
    *out_msg = sqlite3_mprintf("%s: %s%s", VORNEL_ERR_SCHEMA, "query does not parse: ", sqlite3_errmsg(db));
    return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
  }
  for (const char *p = tail; p && *p; p++) {
    if (*p != ';' && *p != ' ' && *p != '\t' && *p != '\n') {
      *out_msg = sqlite3_mprintf("%s: %s%s", VORNEL_ERR_SCHEMA, "query must be a single statement", "");
      return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
    }
  }
  if (!sqlite3_stmt_readonly(stmt)) {
    *out_msg = sqlite3_mprintf("%s: %s%s", VORNEL_ERR_QUERY_NOT_READONLY, "query must be a read-only SELECT", "");
    return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
  }
  *out = stmt.stmt;
  stmt.stmt = nullptr;
  return SQLITE_OK;
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

struct VornelVtab {
  sqlite3_vtab base; // must come first: the host sees this
  sqlite3 *db;       // the connection the queries run on
};

struct VornelCursor {
  sqlite3_vtab_cursor base; // must come first
  vornel0_result *rows;     // owned result rows
  int64_t count;            // rows in use
  int64_t index;            // current row
};

int set_error(sqlite3_vtab *vtab, int rc, char *msg) {
  if (msg) {
    vtab_set_error(vtab, msg);
    return rc == SQLITE_NOMEM ? SQLITE_NOMEM : SQLITE_ERROR;
  }
  // An interrupt carries no message of its own: the host reports it.
  return rc == SQLITE_INTERRUPT ? rc : SQLITE_NOMEM;
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
  struct RowGuard {
    vornel0_model_row *r;
    ~RowGuard() { vornel0_model_row_free(r); }
  } guard{&row};
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

int vn_connect(sqlite3 *db, void *, int, const char *const *, sqlite3_vtab **out_vtab, char **) {
  int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(row_ref, prediction TEXT, confidence REAL, status TEXT, "
                                    "train_query HIDDEN, apply_query HIDDEN, options HIDDEN)");
  if (rc != SQLITE_OK) return rc;
  sqlite3_vtab_config(db, SQLITE_VTAB_DIRECTONLY); // runs SQL text from its arguments
  VornelVtab *vtab = host_calloc<VornelVtab>(1);
  if (!vtab) return SQLITE_NOMEM;
  vtab->db = db;
  *out_vtab = &vtab->base;
  return SQLITE_OK;
}

int vn_disconnect(sqlite3_vtab *vtab) {
  sqlite3_free(vtab->zErrMsg);
  sqlite3_free(vtab);
  return SQLITE_OK;
}

int vn_best_index(sqlite3_vtab *vtab, sqlite3_index_info *info) {
  int position[3] = {-1, -1, -1}; // constraint index per argument column
  for (int i = 0; i < info->nConstraint; i++) {
    const auto &c = info->aConstraint[i];
    if (c.iColumn < VN_COL_TRAIN_QUERY || c.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
    if (!c.usable) return SQLITE_CONSTRAINT;
    int arg = c.iColumn - VN_COL_TRAIN_QUERY;
    if (position[arg] < 0) position[arg] = i;
  }
  if (position[0] < 0 || position[1] < 0) {
    char *msg = sqlite3_mprintf("%s: vornel(train_query, apply_query) requires both arguments", VORNEL_ERR_SCHEMA);
    vtab_set_error(vtab, msg);
    return SQLITE_ERROR;
  }
  for (int arg = 0; arg < 3; arg++) {
    if (position[arg] < 0) continue;
    info->aConstraintUsage[position[arg]].argvIndex = arg + 1;
    info->aConstraintUsage[position[arg]].omit = 1;
  }
  info->estimatedCost = 1000.0;
  return SQLITE_OK;
}

int vn_open(sqlite3_vtab *, sqlite3_vtab_cursor **out_cursor) {
  VornelCursor *cur = host_calloc<VornelCursor>(1);
  if (!cur) return SQLITE_NOMEM;
  *out_cursor = &cur->base;
  return SQLITE_OK;
}

int vn_close(sqlite3_vtab_cursor *base) {
  VornelCursor *cur = (VornelCursor *)base;
  vornel0_results_free(cur->rows, cur->count);
  sqlite3_free(cur);
  return SQLITE_OK;
}

int vn_filter(sqlite3_vtab_cursor *base, int, const char *, int argc, sqlite3_value **argv) {
  VornelCursor *cur = (VornelCursor *)base;
  sqlite3_vtab *vtab = base->pVtab;
  sqlite3 *db = ((VornelVtab *)vtab)->db;
  vornel0_results_free(cur->rows, cur->count);
  cur->rows = nullptr;
  cur->count = cur->index = 0;
  if (argc < 2)
    return set_error(vtab, SQLITE_ERROR,
                     sqlite3_mprintf("%s: %s%s", VORNEL_ERR_SCHEMA, "train_query and apply_query required", ""));

  const char *train_sql = (const char *)sqlite3_value_text(argv[0]);
  const char *apply_sql = (const char *)sqlite3_value_text(argv[1]);
  const char *options = argc > 2 ? (const char *)sqlite3_value_text(argv[2]) : nullptr;
  if ((!train_sql && sqlite3_value_type(argv[0]) != SQLITE_NULL) ||
      (!apply_sql && sqlite3_value_type(argv[1]) != SQLITE_NULL) ||
      (argc > 2 && !options && sqlite3_value_type(argv[2]) != SQLITE_NULL))
    return SQLITE_NOMEM;

  vornel_options opts;
  memset(&opts, 0, sizeof opts);
  struct OptionsGuard {
    vornel_options *o;
    ~OptionsGuard() { vornel_options_free(o); }
  } opts_guard{&opts};
  char *msg = nullptr;
  int rc = vornel0_options_parse(db, options, VORNEL_OPTION_KEYS, vornel_opt_cb, &opts, &msg);
  if (rc != SQLITE_OK) return set_error(vtab, rc, msg);

  vornel0_result *rows = nullptr;
  int64_t count = 0;
  if (is_incontext_model(opts.model))
    rc = vornel_incontext_run(db, train_sql, apply_sql, &opts, &rows, &count, &msg);
  else
    rc = run_student(db, train_sql, apply_sql, &opts, &rows, &count, &msg);
  if (rc != SQLITE_OK) {
    vornel0_results_free(rows, count);
    return set_error(vtab, rc, msg);
  }
  cur->rows = rows;
  cur->count = count;
  return SQLITE_OK;
}

int vn_next(sqlite3_vtab_cursor *base) {
  ((VornelCursor *)base)->index++;
  return SQLITE_OK;
}

int vn_eof(sqlite3_vtab_cursor *base) {
  VornelCursor *cur = (VornelCursor *)base;
  return cur->index >= cur->count;
}

int vn_column(sqlite3_vtab_cursor *base, sqlite3_context *ctx, int column) {
  VornelCursor *cur = (VornelCursor *)base;
  const vornel0_result &row = cur->rows[cur->index];
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
    sqlite3_result_null(ctx);
    break; // hidden argument columns
  }
  return SQLITE_OK;
}

int vn_rowid(sqlite3_vtab_cursor *base, sqlite3_int64 *out_rowid) {
  *out_rowid = ((VornelCursor *)base)->index;
  return SQLITE_OK;
}

} // namespace

const sqlite3_module vornelModule = {
    0,             // iVersion
    nullptr,       // xCreate: eponymous only
    vn_connect,    // xConnect
    vn_best_index, // xBestIndex
    vn_disconnect, // xDisconnect
    nullptr,       // xDestroy
    vn_open,       // xOpen
    vn_close,      // xClose
    vn_filter,     // xFilter
    vn_next,       // xNext
    vn_eof,        // xEof
    vn_column,     // xColumn
    vn_rowid,      // xRowid
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};
