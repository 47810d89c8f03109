// distill_vornel(train_query, options): the eponymous table-valued function. Its whole job
// runs in dl_filter (options, their checks in a fixed order, the registry, then
// distill_train); the cursor then yields the one row describing the stored student.
#include "core/vtab.h"
#include "distill/distill.h"
#include "registry/registry.h"
#include <stddef.h>

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

constexpr OptionField DIST_FIELDS[] = {
    option_text("target", OPT_TEXT, offsetof(distill_options, target), "label column of train_query (required)"),
    option_text("task", OPT_TEXT, offsetof(distill_options, task), "classify or regress; classify when absent"),
    option_text("student_id", OPT_TEXT, offsetof(distill_options, student_id),
                "registry id of the new student (required)"),
    option_text("teacher", OPT_TEXT, offsetof(distill_options, teacher),
                "model whose vornel() predictions become the labels"),
    option_text("student_kind", OPT_TEXT, offsetof(distill_options, student_kind),
                "tree, gbt or mlp; tree when absent"),
    option_text("proba", OPT_TEXT, offsetof(distill_options, proba), "JSON array of class-probability columns"),
    option_text("classes", OPT_TEXT, offsetof(distill_options, classes), "JSON array: the class of each proba column"),
};
constexpr auto DIST_KEYS = option_keys(DIST_FIELDS);

} // namespace

const OptionTable DIST_OPTIONS = option_table("distill_vornel", DIST_FIELDS, DIST_KEYS);

namespace {

struct DistillCursor {
  VtabCursor kit;         // kit's part: count is 1 once a student is stored
  distill_result_row row; // zeroed on open; model_id owned
};

void dl_clear(VtabCursor *base) {
  DistillCursor *cur = (DistillCursor *)base;
  sqlite3_free(cur->row.model_id);
  memset(&cur->row, 0, sizeof cur->row);
  cur->kit.count = 0;
}

int dl_filter(VtabCursor *base, sqlite3_value *const *args) {
  DistillCursor *cur = (DistillCursor *)base;
  sqlite3 *db = base->db;
  sqlite3_vtab *vtab = base->base.pVtab;
  if (sqlite3_value_type(args[0]) == SQLITE_NULL)
    return vtab_set_error(vtab, sqlite3_mprintf("%s: train_query is required", VORNEL_ERR_SCHEMA));
  const char *train_query = (const char *)sqlite3_value_text(args[0]);
  if (!train_query) return vtab_set_error(vtab, vornel0_nomem_msg());
  const char *doc = args[1] ? (const char *)sqlite3_value_text(args[1]) : nullptr;

  distill_options opts{};
  char *msg = nullptr;
  int rc = options_read(db, doc, &DIST_OPTIONS, &opts, &msg);
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
  if (rc == SQLITE_OK) rc = vornel0_registry_writer_open(db, VORNEL0_WRITES_STUDENT, &writer, &msg);
  if (rc == SQLITE_OK) rc = vornel0_registry_require_free(db, opts.student_id, &msg);
  if (rc == SQLITE_OK) rc = distill_train(db, &writer, train_query, &opts, &cur->row, &msg);
  dist_opts_free(&opts);
  if (rc != SQLITE_OK) {
    dl_clear(base);
    if (!msg && rc == SQLITE_NOMEM) msg = vornel0_nomem_msg();
    return vtab_fail(vtab, rc, msg);
  }
  cur->kit.count = 1;
  return SQLITE_OK;
}

void dl_column(VtabCursor *base, sqlite3_context *ctx, int col) {
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
    break;
  }
}

} // namespace

void dist_opts_free(distill_options *o) { options_free(&DIST_OPTIONS, o); }

extern const VtabShape DISTILL_SHAPE = {
    DL_SCHEMA,
    DL_COL_TRAIN_QUERY,
    2,
    1,
    "VORNEL_ERR_SCHEMA: distill_vornel(train_query, options) requires a train_query",
    1000000.0,
    VTAB_DIRECT_ONLY,
    1,
    sizeof(DistillCursor),
    0,
    dl_filter,
    dl_column,
    dl_clear};
