// Inside the forecast final: candidate records and the hooks through which forecast students
// join model resolution, candidate lists and selection. A candidate is either a statistical
// model of TS_MODELS or a loaded student; the student hooks live in their own file.
#pragma once
#include "ts/calendar.h"
#include "ts/models.h"
#include "ts/options.h"

struct fc_candidate {
  const char *name;      // the name a document shows: owned_name or a static model name
  char *owned_name;      // owned or null; freed by fc_models_free
  const ts_model *model; // the statistical model, or null for a student
  void *student;         // the loaded forecast student, owned; freed by fc_student_free
  int is_student;
};

// Room for 11 entries at first, doubled when full.
struct fc_candidate_list {
  fc_candidate *items; // owned
  int count;
  int cap;
  int from_registry; // built from the registered students (not an explicit list)
};

// Appends a candidate (taking ownership of its owned fields, also on failure); false on OOM.
bool fc_list_push(fc_candidate_list *list, const fc_candidate &c);
// Frees every candidate, its name and its student, and the array; accepts null.
void fc_models_free(fc_candidate_list *list);
void fc_candidate_free(fc_candidate *c);

// Student hooks. Each returns a host result code; SQLITE_ERROR comes with a built message in
// *out_msg, SQLITE_NOMEM without one.
//
// A model id that is not built in: fills *out with the loaded student, or reports why not.
int fc_lookup_named_student(sqlite3 *db, const char *id, const forecast_opts *opts, int64_t horizon, fc_candidate *out,
                            char **out_msg);
// A candidate name that is not a statistical model: the same for a candidate list.
int fc_lookup_candidate_student(sqlite3 *db, const char *name, const forecast_opts *opts, int64_t horizon,
                                fc_candidate *out, char **out_msg);
// Appends every registered forecast student that covers horizon + gap.
int fc_append_registered_students(sqlite3 *db, const forecast_opts *opts, int64_t horizon, fc_candidate_list *list,
                                  char **out_msg);
// A student's point forecasts of `steps` steps after the first o values of y (n in all).
int fc_student_fold_forecast(const fc_candidate *c, const double *y, int n, int o, int steps, double *out);
// Runs a chosen student on the prepared series: forecasts and both bounds for h steps.
int fc_student_run(const fc_candidate *c, const double *y, int n, int h, double level, double *out_forecast,
                   double *out_lower, double *out_upper);
void fc_student_free(void *student);

// Scores a candidate list over the rolling-origin folds with unscaled mean absolute error.
// Returns the winner's index, -1 when the series is too short for one fold, TS_STOPPED when
// the scratch's cancel hook asked to stop, or another value below -1 on out of memory (or a
// student failure). out_scores, when given, gets every candidate's score.
int fc_select_candidates(const fc_candidate_list *list, const double *y, int n, int h, int g, int F, ts_scratch *sc,
                         double *out_scores = nullptr);

// What the "explain" key of a forecast document describes.
struct fc_explain_input {
  const fc_candidate_list *list; // the candidates scored, or null for the statistical models alone
  bool automatic;                // a choice was made by fold scores
  const char *ran;               // the model that ran (automatic mode: ignored)
  const ts_model *ran_model;     // that model when it is statistical, else null
  const double *y;               // the prepared series, m points (m 0: nothing ran)
  int m, h, gap, folds;
  const ts_grid *calendar; // the calendar grid of the prepared series
  int64_t step_ms;         // the average step, when there is no calendar grid
  int season_calendar;     // the calendar season the extended models start from
};
// Appends ,"explain":{...} to the document: the step, the folds, and per candidate its name,
// the period its final fit sees (and, for the extended models, where their season came from)
// and, in automatic mode, its scaled fold score. Returns
// SQLITE_OK or SQLITE_NOMEM.
int fc_explain_append(sqlite3_str *doc, const fc_explain_input *in);
