// distill_forecast(train_query, options): the eponymous table-valued function that trains a
// forecast student and stores it in the registry. Its whole job runs in fd_filter: options,
// their checks in a fixed order, the registry, then fdistill_train; the cursor then yields the
// one row describing the new student.
#include "fstudent/fstudent.h"
#include "registry/registry.h"

namespace {

// Columns of the declared schema; the two hidden ones are the arguments.
enum FdColumn { FD_MODEL_ID, FD_CONTENT_HASH, FD_TRAIN_ROWS, FD_TRAIN_RMSE, FD_TRAIN_QUERY, FD_OPTIONS };

const char *const FCST_DIST_OPTION_KEYS[] = {"context", "horizon", "student_id", "hidden", "epochs",
                                             "lr",      "teacher", "quantiles",  nullptr};

// Keys are checked by the parser; the values are read afterwards with the host's JSON functions.
int fd_accept_option(void *, const char *, sqlite3_value *, char **) { return 0; }

struct FdCursor {
  sqlite3_vtab_cursor base;
  char *model_id;                  // owned host text of the result row
  char hash[VORNEL_HASH_HEX_SIZE]; // content hash of the result row
  int train_rows;                  // windows read
  double train_rmse;               // held-out error, standardised units
  bool eof;                        // no (more) row
};

// The options of one call after reading and checking.
struct FdOptions {
  sqlite3_int64 context = 0, horizon = 0, hidden = 256, epochs = 1500;
  double lr = 0.005;
  HostStr student_id; // owned copy
  bool teacher = false;
  float levels[FCST_MAX_LEVELS];
  int nquant = 0;
};

// Reads the levels of '$.quantiles' into o (default 0.5), sorts and checks them. Returns
// SQLITE_OK or an error code with *msg set.
int read_levels(sqlite3 *db, const char *options, FdOptions *o, char **msg) {
  StmtGuard st;
  int rc = sqlite3_prepare_v2(db, "SELECT value FROM json_each(?1,'$.quantiles')", -1, st.out(), nullptr);
  int n = 0;
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(st, 1, options, -1, SQLITE_STATIC);
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      if (n == FCST_MAX_LEVELS) {
        *msg = sqlite3_mprintf("%s: at most %d quantile levels", VORNEL_ERR_OPTIONS, FCST_MAX_LEVELS);
        return SQLITE_ERROR;
      }
      o->levels[n++] = (float)sqlite3_column_double(st, 0);
    }
  }
  if (rc == SQLITE_NOMEM) {
    *msg = vornel0_nomem_msg();
    return SQLITE_NOMEM;
  }
  // Absent, empty or unreadable: the median alone.
  if (rc != SQLITE_DONE || n == 0) {
    o->levels[0] = 0.5f;
    n = 1;
  }
  for (int i = 1; i < n; i++) {
    float v = o->levels[i];
    int k = i;
    while (k > 0 && o->levels[k - 1] > v) {
      o->levels[k] = o->levels[k - 1];
      k--;
    }
    o->levels[k] = v;
  }
  // Checked in binary32, as stored: two levels that differ only beyond single precision
  // would make a blob that cannot be loaded.
  for (int i = 0; i < n; i++) {
    if (!(o->levels[i] > 0.0f && o->levels[i] < 1.0f) || (i > 0 && o->levels[i] == o->levels[i - 1])) {
      *msg = sqlite3_mprintf("%s: quantile levels must be distinct values in (0,1)", VORNEL_ERR_OPTIONS);
      return SQLITE_ERROR;
    }
  }
  o->nquant = n;
  return SQLITE_OK;
}

// Parses and reads the options, running their checks in order. Returns SQLITE_OK or an error
// code with *msg set.
int read_options(sqlite3 *db, const char *options, FdOptions *o, char **msg) {
  int rc = vornel0_options_parse(db, options, FCST_DIST_OPTION_KEYS, fd_accept_option, nullptr, msg);
  if (rc != SQLITE_OK) return rc;
  StmtGuard st;
  rc = sqlite3_prepare_v2(db,
                          "SELECT json_extract(?1,'$.context'), json_extract(?1,'$.horizon'), "
                          "json_extract(?1,'$.student_id'), json_extract(?1,'$.hidden'), "
                          "json_extract(?1,'$.epochs'), json_extract(?1,'$.lr'), json_extract(?1,'$.teacher')",
                          -1, st.out(), nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_bind_text(st, 1, options, -1, SQLITE_STATIC);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  if (rc != SQLITE_ROW) {
    if (rc == SQLITE_NOMEM)
      *msg = vornel0_nomem_msg();
    else
      *msg = sqlite3_mprintf("%s: options is not valid JSON", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  auto present = [&](int c) { return sqlite3_column_type(st, c) != SQLITE_NULL; };
  if (present(0)) o->context = sqlite3_column_int64(st, 0);
  if (present(1)) o->horizon = sqlite3_column_int64(st, 1);
  if (present(2)) {
    const char *id = (const char *)sqlite3_column_text(st, 2);
    o->student_id.reset(id ? sqlite3_mprintf("%s", id) : nullptr);
    if (!o->student_id) {
      *msg = vornel0_nomem_msg();
      return SQLITE_NOMEM;
    }
  }
  if (present(3)) o->hidden = sqlite3_column_int64(st, 3);
  if (present(4)) o->epochs = sqlite3_column_int64(st, 4);
  if (present(5)) o->lr = sqlite3_column_double(st, 5);
  o->teacher = present(6);

  if (o->context < 1 || o->horizon < 1 || !o->student_id) {
    *msg = sqlite3_mprintf("%s: distill_forecast requires context, horizon, and student_id", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  if (o->context > FCST_MAX_CONTEXT) {
    *msg = sqlite3_mprintf("%s: context %lld exceeds the maximum %d", VORNEL_ERR_OPTIONS, o->context, FCST_MAX_CONTEXT);
    return SQLITE_ERROR;
  }
  if (o->hidden < 0 || o->hidden > FCST_MAX_HIDDEN) {
    *msg = sqlite3_mprintf("%s: hidden must be in 0..2048 (0 = pure linear student)", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  if (o->epochs < 1 || o->epochs > 100000) {
    *msg = sqlite3_mprintf("%s: epochs must be in 1..100000", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  if (!(o->lr > 0.0 && o->lr <= 10.0)) {
    *msg = sqlite3_mprintf("%s: lr must be in (0,10]", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  rc = read_levels(db, options, o, msg);
  if (rc != SQLITE_OK) return rc;
  // The blob reader accepts no more; a larger student would be stored but never load.
  if (o->horizon > FCST_MAX_HORIZON) {
    *msg = sqlite3_mprintf("%s: horizon %lld exceeds the maximum %d", VORNEL_ERR_OPTIONS, o->horizon, FCST_MAX_HORIZON);
    return SQLITE_ERROR;
  }
  if (o->horizon * o->nquant > FCST_MAX_OUTPUTS) {
    *msg = sqlite3_mprintf("%s: horizon*nquant %lld exceeds the maximum %d", VORNEL_ERR_OPTIONS, o->horizon * o->nquant,
                           FCST_MAX_OUTPUTS);
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

struct FdVtab {
  sqlite3_vtab base;
  sqlite3 *db; // the connection the function runs on; not owned
};

int fd_connect(sqlite3 *db, void *, int, const char *const *, sqlite3_vtab **out, char **) {
  int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(model_id TEXT, content_hash TEXT, train_rows INTEGER, "
                                    "train_rmse REAL, train_query HIDDEN, options HIDDEN)");
  if (rc != SQLITE_OK) return rc;
  sqlite3_vtab_config(db, SQLITE_VTAB_DIRECTONLY); // writes the registry
  FdVtab *vtab = host_calloc<FdVtab>(1);
  if (!vtab) return SQLITE_NOMEM;
  vtab->db = db;
  *out = &vtab->base;
  return SQLITE_OK;
}

int fd_disconnect(sqlite3_vtab *vtab) {
  sqlite3_free(vtab);
  return SQLITE_OK;
}

// Argument positions: train_query (column 4) is argument 1, options (column 5) argument 2;
// fd_filter receives them in that order.
int fd_best_index(sqlite3_vtab *vtab, sqlite3_index_info *info) {
  int query = -1, options = -1;
  for (int i = 0; i < info->nConstraint; i++) {
    const auto &c = info->aConstraint[i];
    if (c.iColumn != FD_TRAIN_QUERY && c.iColumn != FD_OPTIONS) continue;
    if (c.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
    if (!c.usable) return SQLITE_CONSTRAINT;
    if (c.iColumn == FD_TRAIN_QUERY)
      query = i;
    else
      options = i;
  }
  if (query < 0) {
    return vtab_set_error(
        vtab, sqlite3_mprintf("%s: distill_forecast(train_query, options) requires a train_query", VORNEL_ERR_SCHEMA));
  }
  info->aConstraintUsage[query].argvIndex = 1;
  info->aConstraintUsage[query].omit = 1;
  if (options >= 0) {
    info->aConstraintUsage[options].argvIndex = 2;
    info->aConstraintUsage[options].omit = 1;
  }
  info->estimatedCost = 1000000.0;
  return SQLITE_OK;
}

int fd_open(sqlite3_vtab *, sqlite3_vtab_cursor **out) {
  FdCursor *cur = host_calloc<FdCursor>(1);
  if (!cur) return SQLITE_NOMEM;
  cur->eof = true;
  *out = &cur->base;
  return SQLITE_OK;
}

int fd_close(sqlite3_vtab_cursor *base) {
  FdCursor *cur = (FdCursor *)base;
  sqlite3_free(cur->model_id);
  sqlite3_free(cur);
  return SQLITE_OK;
}

int fd_filter(sqlite3_vtab_cursor *base, int, const char *, int argc, sqlite3_value **argv) {
  FdCursor *cur = (FdCursor *)base;
  sqlite3_vtab *vtab = base->pVtab;
  sqlite3_free(cur->model_id);
  cur->model_id = nullptr;
  cur->hash[0] = 0;
  cur->train_rows = 0;
  cur->train_rmse = 0.0;
  cur->eof = true;

  const char *query = argc >= 1 ? (const char *)sqlite3_value_text(argv[0]) : nullptr;
  if (!query) return vtab_set_error(vtab, sqlite3_mprintf("%s: train_query is required", VORNEL_ERR_SCHEMA));
  const char *options = argc >= 2 ? (const char *)sqlite3_value_text(argv[1]) : nullptr;
  sqlite3 *db = ((FdVtab *)vtab)->db;

  FdOptions o;
  char *msg = nullptr;
  if (read_options(db, options, &o, &msg) != SQLITE_OK) return vtab_set_error(vtab, msg);
  // The writer's checks and the id probe come before any window is read.
  vornel0_registry_writer writer;
  int rc = vornel0_registry_writer_open(db, VORNEL0_WRITES_STUDENT, &writer, &msg);
  if (rc != SQLITE_OK) return vtab_set_error(vtab, msg);
  if (vornel0_registry_require_free(db, o.student_id.get(), &msg) != SQLITE_OK) return vtab_set_error(vtab, msg);
  if (o.teacher) {
    return vtab_set_error(
        vtab, sqlite3_mprintf("%s: distill_forecast teacher= needs the onnx build", VORNEL_ERR_RUNTIME_UNAVAILABLE));
  }
  int rows = 0;
  double rmse = 0.0;
  rc = fdistill_train(db, &writer, query, (int)o.context, (int)o.horizon, o.nquant, o.levels, o.student_id.get(),
                      (int)o.hidden, (int)o.epochs, (float)o.lr, &rows, &rmse, cur->hash, &msg);
  if (rc != SQLITE_OK) {
    cur->hash[0] = 0;
    // An interrupt has no message of its own: the host reports it.
    if (rc == SQLITE_INTERRUPT && !msg) return rc;
    return vtab_set_error(vtab, msg);
  }
  cur->model_id = o.student_id.release();
  cur->train_rows = rows;
  cur->train_rmse = rmse;
  cur->eof = false;
  return SQLITE_OK;
}

int fd_next(sqlite3_vtab_cursor *base) {
  ((FdCursor *)base)->eof = true;
  return SQLITE_OK;
}

int fd_eof(sqlite3_vtab_cursor *base) { return ((FdCursor *)base)->eof; }

int fd_column(sqlite3_vtab_cursor *base, sqlite3_context *ctx, int col) {
  FdCursor *cur = (FdCursor *)base;
  switch (col) {
  case FD_MODEL_ID:
    sqlite3_result_text(ctx, cur->model_id, -1, SQLITE_TRANSIENT);
    break;
  case FD_CONTENT_HASH:
    sqlite3_result_text(ctx, cur->hash, -1, SQLITE_TRANSIENT);
    break;
  case FD_TRAIN_ROWS:
    sqlite3_result_int(ctx, cur->train_rows);
    break;
  case FD_TRAIN_RMSE:
    sqlite3_result_double(ctx, cur->train_rmse);
    break;
  default:
    sqlite3_result_null(ctx);
    break;
  }
  return SQLITE_OK;
}

int fd_rowid(sqlite3_vtab_cursor *, sqlite3_int64 *rowid) {
  *rowid = 1;
  return SQLITE_OK;
}

} // namespace

// Eponymous only (no xCreate, no xDestroy) and read-only.
const sqlite3_module forecastDistillModule = {
    .iVersion = 0,
    .xCreate = nullptr,
    .xConnect = fd_connect,
    .xBestIndex = fd_best_index,
    .xDisconnect = fd_disconnect,
    .xDestroy = nullptr,
    .xOpen = fd_open,
    .xClose = fd_close,
    .xFilter = fd_filter,
    .xNext = fd_next,
    .xEof = fd_eof,
    .xColumn = fd_column,
    .xRowid = fd_rowid,
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
