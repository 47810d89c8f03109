// Forecast students in the forecast aggregate: the hooks of candidates.h that resolve a model
// id or a candidate name through the registry, enumerate the registered students for
// automatic mode, and run a loaded student, in folds (its 0.5 quantile) or as the chosen
// model (with its intervals).
#include "fstudent/fstudent.h"
#include "registry/registry.h"
#include "ts/candidates.h"

namespace {

// A candidate's loaded student: the runner keeps the scratch its fold evaluations reuse.
struct fc_loaded_student {
  fcst_runner run; // owned
};

void loaded_free(fc_loaded_student *ls) {
  if (!ls) return;
  fcst_runner_free(&ls->run);
  sqlite3_free(ls);
}

bool holds_forecast_student(const vornel0_model_row &row) {
  return row.weights && row.weights_len >= 6 && memcmp(row.weights, "VNFCST", 6) == 0;
}

// Whether a registry table can be found: SQLITE_ROW yes (or perhaps, in an attached
// database), SQLITE_DONE no, SQLITE_NOMEM. Most databases have none; asking the main schema
// first spares a failing prepare, after which the host would re-read its schema. (The
// registry's writers create it in main; the temporary schema is not asked, since that would
// open the temporary database.)
int registry_present(sqlite3 *db) {
  StmtGuard st;
  int rc = sqlite3_prepare_v2(db, "SELECT 1 FROM main.sqlite_schema WHERE type = 'table' AND name = '_vornel_models'",
                              -1, st.out(), nullptr);
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_OK) return SQLITE_ROW;
  rc = sqlite3_step(st);
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc == SQLITE_DONE && sqlite3_db_name(db, 2) == nullptr) return SQLITE_DONE;
  return SQLITE_ROW;
}

// Outcome of reading one registry row as a forecast student.
enum load_result { LOAD_OK, LOAD_NOT_STUDENT, LOAD_ONNX, LOAD_MALFORMED, LOAD_TAMPERED, LOAD_NOMEM };

// Looks id up and loads it when it holds a forecast student; *out is owned by the caller on
// LOAD_OK. known_present skips asking whether the registry exists. A blob that no longer has
// its stored digest is LOAD_TAMPERED with the message in *out_msg.
load_result load_student(sqlite3 *db, const char *id, fc_loaded_student **out, char **out_msg,
                         bool known_present = false) {
  *out = nullptr;
  int present = known_present ? SQLITE_ROW : registry_present(db);
  if (present == SQLITE_NOMEM) return LOAD_NOMEM;
  if (present == SQLITE_DONE) return LOAD_NOT_STUDENT;
  vornel0_model_row row = {};
  struct row_guard {
    vornel0_model_row *r;
    ~row_guard() { vornel0_model_row_free(r); }
  } guard{&row};
  int rc = vornel0_registry_lookup(db, id, &row);
  if (rc == SQLITE_NOMEM) return LOAD_NOMEM;
  if (rc != SQLITE_OK || !holds_forecast_student(row))
    return rc == SQLITE_OK && row.runtime && strcmp(row.runtime, "onnx") == 0 ? LOAD_ONNX : LOAD_NOT_STUDENT;
  if (vornel0_registry_check_weights(&row, id, out_msg) != SQLITE_OK) return *out_msg ? LOAD_TAMPERED : LOAD_NOMEM;
  char *msg = nullptr;
  fc_loaded_student *ls = host_calloc<fc_loaded_student>(1);
  if (!ls) return LOAD_NOMEM;
  rc = fcst_deserialize(row.weights, row.weights_len, &ls->run.st, &msg);
  sqlite3_free(msg);
  if (rc != SQLITE_OK) {
    sqlite3_free(ls);
    return rc == SQLITE_NOMEM ? LOAD_NOMEM : LOAD_MALFORMED;
  }
  if (fcst_runner_init(&ls->run) != SQLITE_OK) {
    loaded_free(ls);
    return LOAD_NOMEM;
  }
  *out = ls;
  return LOAD_OK;
}

// Builds a candidate for a loaded student named id; ownership of ls passes to *out.
int make_candidate(const char *id, fc_loaded_student *ls, fc_candidate *out) {
  char *name = sqlite3_mprintf("%s", id);
  if (!name) {
    loaded_free(ls);
    return SQLITE_NOMEM;
  }
  *out = {};
  out->name = name;
  out->owned_name = name;
  out->student = ls;
  out->is_student = 1;
  return SQLITE_OK;
}

int fail(char **out_msg, char *msg) {
  *out_msg = msg;
  return msg ? SQLITE_ERROR : SQLITE_NOMEM;
}

// Loads id for a lookup and settles the outcomes every lookup treats alike: SQLITE_OK with *out
// (owned by the caller), SQLITE_NOMEM, or SQLITE_ERROR with *out_msg for a blob that fails its
// digest or does not read as a student (`malformed` words that message). A row that is no
// forecast student (onnx or another kind) gives SQLITE_NOTFOUND with *why saying which.
int load_for_lookup(sqlite3 *db, const char *id, const char *malformed, fc_loaded_student **out, load_result *why,
                    char **out_msg, bool known_present = false) {
  *out_msg = nullptr;
  *why = load_student(db, id, out, out_msg, known_present);
  switch (*why) {
  case LOAD_OK:
    return SQLITE_OK;
  case LOAD_NOMEM:
    return SQLITE_NOMEM;
  case LOAD_TAMPERED:
    return SQLITE_ERROR;
  case LOAD_MALFORMED:
    return fail(out_msg, sqlite3_mprintf("%s: %s: %s", VORNEL_ERR_SCHEMA, malformed, id));
  case LOAD_ONNX:
  case LOAD_NOT_STUDENT:
    break;
  }
  return SQLITE_NOTFOUND;
}

} // namespace

void fc_student_free(void *student) { loaded_free((fc_loaded_student *)student); }

int fc_lookup_named_student(sqlite3 *db, const char *id, const forecast_opts *opts, int64_t horizon, fc_candidate *out,
                            char **out_msg) {
  fc_loaded_student *ls = nullptr;
  load_result why;
  int rc = load_for_lookup(db, id, "invalid forecast student", &ls, &why, out_msg);
  if (rc == SQLITE_NOTFOUND && why == LOAD_ONNX)
    return fail(out_msg,
                sqlite3_mprintf("%s: onnx runtime is not in this build: %s", VORNEL_ERR_RUNTIME_UNAVAILABLE, id));
  if (rc == SQLITE_NOTFOUND)
    return fail(out_msg, sqlite3_mprintf("%s: no such model: %s", VORNEL_ERR_MODEL_NOT_FOUND, id));
  if (rc != SQLITE_OK) return rc;
  if (ls->run.st.horizon < horizon) {
    loaded_free(ls);
    return fail(out_msg,
                sqlite3_mprintf("%s: horizon exceeds the forecast student's trained horizon", VORNEL_ERR_HORIZON));
  }
  if (opts->interval_method == INTERVAL_CONFORMAL) {
    loaded_free(ls);
    return fail(out_msg, sqlite3_mprintf("%s: interval_method='conformal' is only supported for the statistical "
                                         "models (theta-classic, stub-seasonal-naive, auto)",
                                         VORNEL_ERR_OPTIONS));
  }
  return make_candidate(id, ls, out);
}

int fc_lookup_candidate_student(sqlite3 *db, const char *name, const forecast_opts *opts, int64_t horizon,
                                fc_candidate *out, char **out_msg) {
  fc_loaded_student *ls = nullptr;
  load_result why;
  int rc = load_for_lookup(db, name, "invalid forecast student", &ls, &why, out_msg);
  if (rc == SQLITE_NOTFOUND)
    return fail(out_msg,
                sqlite3_mprintf("%s: candidate must be a statistical model or a distilled forecast student: %s",
                                VORNEL_ERR_MODEL_NOT_FOUND, name));
  if (rc != SQLITE_OK) return rc;
  if (opts->interval_method == INTERVAL_CONFORMAL) {
    loaded_free(ls);
    return fail(out_msg,
                sqlite3_mprintf("%s: interval_method='conformal' is not supported for a forecast-student candidate: %s",
                                VORNEL_ERR_OPTIONS, name));
  }
  if (ls->run.st.horizon < horizon + opts->gap) {
    loaded_free(ls);
    return fail(out_msg, sqlite3_mprintf("%s: candidate student was trained for a shorter horizon: %s",
                                         VORNEL_ERR_HORIZON, name));
  }
  return make_candidate(name, ls, out);
}

int fc_append_registered_students(sqlite3 *db, const forecast_opts *opts, int64_t horizon, fc_candidate_list *list,
                                  char **out_msg) {
  *out_msg = nullptr;
  int rc = registry_present(db);
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc == SQLITE_DONE) return SQLITE_OK;
  StmtGuard st;
  rc = sqlite3_prepare_v2(db,
                          "SELECT model_id FROM _vornel_models WHERE kind = 'student' AND runtime = 'tree' "
                          "ORDER BY model_id",
                          -1, st.out(), nullptr);
  // No registry (or none readable): the statistical models compete alone.
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_OK) return SQLITE_OK;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const char *id = (const char *)sqlite3_column_text(st, 0);
    if (!id) {
      if (sqlite3_column_type(st, 0) != SQLITE_NULL) return SQLITE_NOMEM;
      continue;
    }
    fc_loaded_student *ls = nullptr;
    load_result why;
    const int loaded = load_for_lookup(db, id, "invalid forecast student in the registry", &ls, &why, out_msg, true);
    if (loaded == SQLITE_NOTFOUND) continue;
    if (loaded != SQLITE_OK) return loaded;
    if (ls->run.st.horizon < horizon + opts->gap) {
      loaded_free(ls);
      continue;
    }
    fc_candidate c;
    if (make_candidate(id, ls, &c) != SQLITE_OK || !fc_list_push(list, c)) return SQLITE_NOMEM;
  }
  if (rc != SQLITE_DONE) {
    if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
    return fail(out_msg, sqlite3_mprintf("%s: could not enumerate registered models", VORNEL_ERR_RESOURCE));
  }
  return SQLITE_OK;
}

int fc_student_fold_forecast(const fc_candidate *c, const double *y, int, int o, int steps, double *out) {
  fc_loaded_student *ls = (fc_loaded_student *)c->student;
  if (steps > ls->run.st.horizon) return SQLITE_ERROR;
  fcst_runner_median(&ls->run, y, o, steps, out);
  return SQLITE_OK;
}

int fc_student_run(const fc_candidate *c, const double *y, int n, int h, double level, double *out_forecast,
                   double *out_lower, double *out_upper) {
  const fc_loaded_student *ls = (const fc_loaded_student *)c->student;
  return fcst_run(h, level, out_forecast, out_lower, out_upper, &ls->run.st, n, y);
}
