// distill_vornel(train_query, options): the eponymous table-valued function. Its whole job
// runs in dl_filter (options, their checks in a fixed order, the registry, then
// distill_train); the cursor then yields the one row describing the stored student.
#include "distill/distill.h"
#include "registry/registry.h"

namespace {

// Columns of the declared schema; the last two are the hidden arguments.
enum DistillColumn {
  DL_COL_MODEL_ID = 0,
  DL_COL_CONTENT_HASH = 1,
  DL_COL_TRAIN_ROWS = 2,
  DL_COL_HOLDOUT_METRIC = 3,
  DL_COL_TRAIN_QUERY = 4,
  DL_COL_OPTIONS = 5,
};

const char DL_SCHEMA[] = "CREATE TABLE x(model_id TEXT, content_hash TEXT, train_rows INTEGER, holdout_metric REAL, "
                         "train_query HIDDEN, options HIDDEN)";

const char *const DIST_OPTION_KEYS[] = {"target",       "task",  "student_id", "teacher",
                                        "student_kind", "proba", "classes",    nullptr};

struct DistillVtab {
  sqlite3_vtab base; // host record; zErrMsg carries our messages
  sqlite3 *db;       // the connection the table lives on
};

struct DistillCursor {
  sqlite3_vtab_cursor base;
  distill_result_row row; // zeroed on open; model_id owned
};

int dist_opt_cb(void *record, const char *key, sqlite3_value *value, char **out_msg) {
  distill_options *o = (distill_options *)record;
  if (sqlite3_value_type(value) != SQLITE_TEXT) {
    *out_msg = sqlite3_mprintf("%s: wrong type for option '%s'", VORNEL_ERR_OPTIONS, key);
    return SQLITE_ERROR;
  }
  char **slot = nullptr;
  if (strcmp(key, "target") == 0)
    slot = &o->target;
  else if (strcmp(key, "task") == 0)
    slot = &o->task;
  else if (strcmp(key, "student_id") == 0)
    slot = &o->student_id;
  else if (strcmp(key, "teacher") == 0)
    slot = &o->teacher;
  else if (strcmp(key, "student_kind") == 0)
    slot = &o->student_kind;
  else if (strcmp(key, "proba") == 0)
    slot = &o->proba;
  else if (strcmp(key, "classes") == 0)
    slot = &o->classes;
  if (!slot) return SQLITE_OK;
  char *copy = sqlite3_mprintf("%s", (const char *)sqlite3_value_text(value));
  if (!copy) {
    *out_msg = vornel0_nomem_msg();
    return SQLITE_NOMEM;
  }
  sqlite3_free(*slot);
  *slot = copy;
  return SQLITE_OK;
}

int dl_connect(sqlite3 *db, void *, int, const char *const *, sqlite3_vtab **out, char **) {
  DistillVtab *vt = host_calloc<DistillVtab>(1);
  if (!vt) return SQLITE_NOMEM;
  int rc = sqlite3_declare_vtab(db, DL_SCHEMA);
  if (rc != SQLITE_OK) {
    sqlite3_free(vt);
    return rc;
  }
  sqlite3_vtab_config(db, SQLITE_VTAB_DIRECTONLY); // writes the registry
  vt->db = db;
  *out = &vt->base;
  return SQLITE_OK;
}

int dl_disconnect(sqlite3_vtab *vtab) {
  sqlite3_free(vtab);
  return SQLITE_OK;
}

// Argument positions: train_query is argv[0] and options argv[1] in dl_filter.
int dl_best_index(sqlite3_vtab *vtab, sqlite3_index_info *info) {
  bool have_query = false;
  for (int i = 0; i < info->nConstraint; i++) {
    const auto &c = info->aConstraint[i];
    if (c.iColumn != DL_COL_TRAIN_QUERY && c.iColumn != DL_COL_OPTIONS) continue;
    if (c.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
    if (!c.usable) return SQLITE_CONSTRAINT;
    info->aConstraintUsage[i].argvIndex = c.iColumn == DL_COL_TRAIN_QUERY ? 1 : 2;
    info->aConstraintUsage[i].omit = 1;
    if (c.iColumn == DL_COL_TRAIN_QUERY) have_query = true;
  }
  if (!have_query) {
    return vtab_set_error(
        vtab, sqlite3_mprintf("%s: distill_vornel(train_query, options) requires a train_query", VORNEL_ERR_SCHEMA));
  }
  info->estimatedCost = 1000000.0;
  return SQLITE_OK;
}

int dl_open(sqlite3_vtab *, sqlite3_vtab_cursor **out) {
  DistillCursor *cur = host_calloc<DistillCursor>(1);
  if (!cur) return SQLITE_NOMEM;
  *out = &cur->base;
  return SQLITE_OK;
}

int dl_close(sqlite3_vtab_cursor *base) {
  DistillCursor *cur = (DistillCursor *)base;
  sqlite3_free(cur->row.model_id);
  sqlite3_free(cur);
  return SQLITE_OK;
}

int dl_filter(sqlite3_vtab_cursor *base, int, const char *, int argc, sqlite3_value **argv) {
  DistillCursor *cur = (DistillCursor *)base;
  DistillVtab *vt = (DistillVtab *)base->pVtab;
  sqlite3_vtab *vtab = base->pVtab;
  sqlite3_free(cur->row.model_id);
  memset(&cur->row, 0, sizeof cur->row);
  // Until a filter succeeds the cursor has no row.
  cur->row.eof = 1;

  if (argc < 1 || sqlite3_value_type(argv[0]) == SQLITE_NULL)
    return vtab_set_error(vtab, sqlite3_mprintf("%s: train_query is required", VORNEL_ERR_SCHEMA));
  const char *train_query = (const char *)sqlite3_value_text(argv[0]);
  if (!train_query) return vtab_set_error(vtab, vornel0_nomem_msg());
  const char *doc = argc >= 2 ? (const char *)sqlite3_value_text(argv[1]) : nullptr;

  distill_options opts{};
  char *msg = nullptr;
  int rc = vornel0_options_parse(vt->db, doc, DIST_OPTION_KEYS, dist_opt_cb, &opts, &msg);
  if (rc == SQLITE_OK) {
    if (!opts.target) {
      msg = sqlite3_mprintf("%s: distill_vornel requires a target option", VORNEL_ERR_TARGET);
      rc = SQLITE_ERROR;
    } else if (!opts.student_id) {
      msg = sqlite3_mprintf("%s: distill_vornel requires a student_id option", VORNEL_ERR_OPTIONS);
      rc = SQLITE_ERROR;
    } else if (opts.task && strcmp(opts.task, "classify") != 0 && strcmp(opts.task, "regress") != 0) {
      msg = sqlite3_mprintf("%s: task must be classify|regress: %s", VORNEL_ERR_TASK, opts.task);
      rc = SQLITE_ERROR;
    } else if (opts.student_kind && strcmp(opts.student_kind, "tree") != 0 && strcmp(opts.student_kind, "gbt") != 0 &&
               strcmp(opts.student_kind, "mlp") != 0) {
      msg = sqlite3_mprintf("%s: student_kind '%s' is not available; use 'tree', 'gbt', or 'mlp'", VORNEL_ERR_OPTIONS,
                            opts.student_kind);
      rc = SQLITE_ERROR;
    }
  }
  // The writer's checks and the id probe come before any row is read.
  vornel0_registry_writer writer;
  if (rc == SQLITE_OK) rc = vornel0_registry_writer_open(vt->db, VORNEL0_WRITES_STUDENT, &writer, &msg);
  if (rc == SQLITE_OK) rc = vornel0_registry_require_free(vt->db, opts.student_id, &msg);
  if (rc == SQLITE_OK) rc = distill_train(vt->db, &writer, train_query, &opts, &cur->row, &msg);
  dist_opts_free(&opts);
  if (rc != SQLITE_OK) {
    sqlite3_free(cur->row.model_id);
    memset(&cur->row, 0, sizeof cur->row);
    cur->row.eof = 1;
    if (!msg && rc == SQLITE_NOMEM) msg = vornel0_nomem_msg();
    sqlite3_free(vtab->zErrMsg);
    vtab->zErrMsg = msg;
    // A message that could not be built is out of memory; a bare error would read as
    // "SQL logic error". Other host codes without a message pass through.
    if (msg) return SQLITE_ERROR;
    return rc == SQLITE_ERROR || rc == SQLITE_NOMEM ? SQLITE_NOMEM : rc;
  }
  cur->row.eof = 0;
  return SQLITE_OK;
}

int dl_next(sqlite3_vtab_cursor *base) {
  ((DistillCursor *)base)->row.eof = 1;
  return SQLITE_OK;
}

int dl_eof(sqlite3_vtab_cursor *base) { return ((DistillCursor *)base)->row.eof; }

int dl_column(sqlite3_vtab_cursor *base, sqlite3_context *ctx, int col) {
  const distill_result_row &r = ((DistillCursor *)base)->row;
  switch (col) {
  case DL_COL_MODEL_ID:
    if (r.model_id)
      sqlite3_result_text(ctx, r.model_id, -1, SQLITE_TRANSIENT);
    else
      sqlite3_result_null(ctx);
    break;
  case DL_COL_CONTENT_HASH:
    sqlite3_result_text(ctx, r.content_hash, -1, SQLITE_TRANSIENT);
    break;
  case DL_COL_TRAIN_ROWS:
    sqlite3_result_int(ctx, r.train_rows);
    break;
  case DL_COL_HOLDOUT_METRIC:
    sqlite3_result_double(ctx, r.holdout_metric);
    break;
  default:
    sqlite3_result_null(ctx);
    break;
  }
  return SQLITE_OK;
}

int dl_rowid(sqlite3_vtab_cursor *, sqlite3_int64 *rowid) {
  *rowid = 1;
  return SQLITE_OK;
}

} // namespace

void dist_opts_free(distill_options *o) {
  if (!o) return;
  char *all[] = {o->target, o->task, o->student_id, o->teacher, o->student_kind, o->proba, o->classes};
  for (char *p : all)
    sqlite3_free(p);
  memset(o, 0, sizeof *o);
}

const sqlite3_module distillModule = {
    .iVersion = 0,
    .xCreate = nullptr,
    .xConnect = dl_connect,
    .xBestIndex = dl_best_index,
    .xDisconnect = dl_disconnect,
    .xDestroy = nullptr,
    .xOpen = dl_open,
    .xClose = dl_close,
    .xFilter = dl_filter,
    .xNext = dl_next,
    .xEof = dl_eof,
    .xColumn = dl_column,
    .xRowid = dl_rowid,
    .xUpdate = nullptr,
    .xBegin = nullptr,
    .xSync = nullptr,
    .xCommit = nullptr,
    .xRollback = nullptr,
    .xFindFunction = nullptr,
    .xRename = nullptr,
    .xSavepoint = nullptr,
    .xRelease = nullptr,
    .xRollbackTo = nullptr,
    .xShadowName = nullptr,
    .xIntegrity = nullptr,
};
