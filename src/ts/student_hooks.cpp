// Forecast-student hooks of the forecast final, for a build without forecast students: no id
// beyond the statistical models resolves, no candidate is a student, none is registered.
// The student subsystem replaces this file with the real lookups and runs.
#include "ts/candidates.h"

int fc_lookup_named_student(sqlite3 *, const char *id, const forecast_opts *, int64_t, fc_candidate *,
                            char **out_msg) {
  *out_msg = sqlite3_mprintf("%s: no such model: %s", VORNEL_ERR_MODEL_NOT_FOUND, id);
  return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
}

int fc_lookup_candidate_student(sqlite3 *, const char *name, const forecast_opts *, int64_t, fc_candidate *,
                                char **out_msg) {
  *out_msg = sqlite3_mprintf("%s: candidate must be a statistical model or a distilled forecast student: %s",
                             VORNEL_ERR_MODEL_NOT_FOUND, name);
  return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
}

int fc_append_registered_students(sqlite3 *, const forecast_opts *, int64_t, fc_candidate_list *, char **out_msg) {
  *out_msg = nullptr;
  return SQLITE_OK;
}

int fc_student_fold_forecast(const fc_candidate *, const double *, int, int, int, double *) { return SQLITE_ERROR; }

int fc_student_run(const fc_candidate *, const double *, int, int, double, double *, double *, double *) {
  return SQLITE_ERROR;
}

void fc_student_free(void *student) { sqlite3_free(student); }
