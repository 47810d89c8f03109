// distill_forecast(train_query, options): the eponymous table-valued function that trains a
// forecast student and stores it in the registry. Its whole job runs in fd_filter: options,
// their checks in a fixed order, the registry, then fdistill_train; the cursor then yields the
// one row describing the new student.
#include "core/vtab.h"
#include "fstudent/fstudent.h"
#include "registry/registry.h"
#include <stddef.h>

namespace {

// Columns of the declared schema; the two hidden ones are the arguments.
enum FdColumn { FD_MODEL_ID, FD_CONTENT_HASH, FD_TRAIN_ROWS, FD_TRAIN_RMSE, FD_TRAIN_QUERY, FD_OPTIONS };

// The options of one call after reading and checking.
struct FdOptions {
  int64_t context, horizon; // L and E; required
  int64_t hidden, epochs;   // H and the training epochs
  double lr;                // learning rate, narrowed to single precision for training
  char *student_id;         // owned copy; required
  char *teacher;            // owned copy; any value refuses the call
  float levels[FCST_MAX_LEVELS];
  int nquant;
};

// The first seven fields are read, in this order, by one json_extract statement; the levels
// by their own json_each walk.
constexpr OptionField FD_FIELDS[] = {
    {"context", OPT_INT64, offsetof(FdOptions, context), 0, 0, 0, 0, false, false, nullptr, nullptr, nullptr,
     "values of each training window, L (required; at most 4096)"},
    {"horizon", OPT_INT64, offsetof(FdOptions, horizon), 0, 0, 0, 0, false, false, nullptr, nullptr, nullptr,
     "steps the student forecasts, E (required; at most 2048)"},
    option_text("student_id", OPT_TEXT, offsetof(FdOptions, student_id), "registry id of the new student (required)"),
    {"hidden", OPT_INT64, offsetof(FdOptions, hidden), 0, 256, 0, FCST_MAX_HIDDEN, false, false,
     "in 0..2048 (0 = pure linear student)", nullptr, nullptr, "hidden units of the perceptron"},
    {"epochs", OPT_INT64, offsetof(FdOptions, epochs), 0, 1500, 1, 100000, false, false, "in 1..100000", nullptr,
     nullptr, "training epochs"},
    {"lr", OPT_NUMBER, offsetof(FdOptions, lr), 0, 0.005, 0, 10, true, false, "in (0,10]", nullptr, nullptr,
     "learning rate"},
    option_text("teacher", OPT_TEXT, offsetof(FdOptions, teacher),
                "refused: a teacher model needs a runtime this build lacks"),
    option_text("quantiles", OPT_TEXT, OPTION_READ_BY_CALLER,
                "JSON array of quantile levels in (0,1), at most 64 (default [0.5])"),
};
// The texts above name the loader's limits; these keep them from drifting apart.
static_assert(FCST_MAX_HIDDEN == 2048, "the hidden range text says 2048");
static_assert(FCST_MAX_CONTEXT == 4096 && FCST_MAX_HORIZON == 2048 && FCST_MAX_LEVELS == 64,
              "the texts name the limits");
constexpr auto FD_KEYS = option_keys(FD_FIELDS);
constexpr int FD_EXTRACTED = 7;

} // namespace

const OptionTable FCST_DIST_OPTIONS = option_table("distill_forecast", FD_FIELDS, FD_KEYS);

namespace {

void fd_options_free(FdOptions *o) { options_free(&FCST_DIST_OPTIONS, o); }

// Keys are checked by the parser; the values are read afterwards with the host's JSON functions.
int fd_accept_option(void *, const char *, sqlite3_value *, char **) { return 0; }

struct FdCursor {
  VtabCursor kit;                  // kit's part: count is 1 once a student is stored
  char *model_id;                  // owned host text of the result row
  char hash[VORNEL_HASH_HEX_SIZE]; // content hash of the result row
  int train_rows;                  // windows read
  double train_rmse;               // held-out error, standardised units
};

void fd_clear(VtabCursor *base) {
  FdCursor *cur = (FdCursor *)base;
  sqlite3_free(cur->model_id);
  cur->model_id = nullptr;
  cur->hash[0] = 0;
  cur->train_rows = 0;
  cur->train_rmse = 0.0;
  cur->kit.count = 0;
}

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
  if (rc == SQLITE_NOMEM) return vornel0_fail_nomem(msg);
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
  int rc = vornel0_options_parse(db, options, FD_KEYS.keys, fd_accept_option, nullptr, msg);
  if (rc != SQLITE_OK) return rc;
  options_defaults(&FCST_DIST_OPTIONS, o);
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
  // Read as the statement gives them: a number where an integer is wanted is truncated, a
  // text where a number is wanted reads as its leading number.
  for (int i = 0; i < FD_EXTRACTED; i++) {
    const OptionField *f = &FD_FIELDS[i];
    if (sqlite3_column_type(st, i) == SQLITE_NULL) continue;
    char *base = (char *)o + f->offset;
    if (f->type == OPT_INT64) {
      *(int64_t *)base = sqlite3_column_int64(st, i);
    } else if (f->type == OPT_NUMBER) {
      *(double *)base = sqlite3_column_double(st, i);
    } else if (option_store_text(f, o, sqlite3_column_value(st, i), msg) != 0) {
      if (!*msg) *msg = vornel0_nomem_msg();
      return SQLITE_ERROR;
    }
  }

  if (o->context < 1 || o->horizon < 1 || !o->student_id) {
    *msg = sqlite3_mprintf("%s: distill_forecast requires context, horizon, and student_id", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  if (o->context > FCST_MAX_CONTEXT) {
    *msg = sqlite3_mprintf("%s: context %lld exceeds the maximum %d", VORNEL_ERR_OPTIONS, o->context, FCST_MAX_CONTEXT);
    return SQLITE_ERROR;
  }
  const int64_t *whole[] = {&o->hidden, &o->epochs};
  for (int i = 0; i < 2; i++)
    if (option_check_range(&FD_FIELDS[3 + i], (double)*whole[i], msg) != 0) return SQLITE_ERROR;
  if (option_check_range(&FD_FIELDS[5], o->lr, msg) != 0) return SQLITE_ERROR;
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

int fd_filter(VtabCursor *base, sqlite3_value *const *args) {
  FdCursor *cur = (FdCursor *)base;
  sqlite3_vtab *vtab = base->base.pVtab;
  const char *query = (const char *)sqlite3_value_text(args[0]);
  if (!query) return vtab_set_error(vtab, sqlite3_mprintf("%s: train_query is required", VORNEL_ERR_SCHEMA));
  const char *options = args[1] ? (const char *)sqlite3_value_text(args[1]) : nullptr;
  sqlite3 *db = base->db;

  FdOptions o = {};
  FreeGuard<FdOptions, fd_options_free> guard(&o);
  char *msg = nullptr;
  if (read_options(db, options, &o, &msg) != SQLITE_OK) return vtab_set_error(vtab, msg);
  // The writer's checks and the id probe come before any window is read.
  vornel0_registry_writer writer;
  int rc = vornel0_registry_writer_open(db, VORNEL0_WRITES_STUDENT, &writer, &msg);
  if (rc != SQLITE_OK) return vtab_set_error(vtab, msg);
  if (vornel0_registry_require_free(db, o.student_id, &msg) != SQLITE_OK) return vtab_set_error(vtab, msg);
  if (o.teacher) {
    return vtab_set_error(
        vtab, sqlite3_mprintf("%s: distill_forecast teacher= needs the onnx build", VORNEL_ERR_RUNTIME_UNAVAILABLE));
  }
  int rows = 0;
  double rmse = 0.0;
  rc = fdistill_train(db, &writer, query, (int)o.context, (int)o.horizon, o.nquant, o.levels, o.student_id,
                      (int)o.hidden, (int)o.epochs, (float)o.lr, &rows, &rmse, cur->hash, &msg);
  if (rc != SQLITE_OK) {
    cur->hash[0] = 0;
    return vtab_fail(vtab, rc, msg);
  }
  cur->model_id = o.student_id;
  o.student_id = nullptr;
  cur->train_rows = rows;
  cur->train_rmse = rmse;
  cur->kit.count = 1;
  return SQLITE_OK;
}

void fd_column(VtabCursor *base, sqlite3_context *ctx, int col) {
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
    break;
  }
}

} // namespace

extern const VtabShape DISTILL_FORECAST_SHAPE = {
    "CREATE TABLE x(model_id TEXT, content_hash TEXT, train_rows INTEGER, train_rmse REAL, train_query HIDDEN, "
    "options HIDDEN)",
    FD_TRAIN_QUERY,
    2,
    1,
    "VORNEL_ERR_SCHEMA: distill_forecast(train_query, options) requires a train_query",
    1000000.0,
    VTAB_DIRECT_ONLY,
    1,
    sizeof(FdCursor),
    0,
    fd_filter,
    fd_column,
    fd_clear};
