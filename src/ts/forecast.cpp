// The forecast aggregate: its step (the shared series accumulation) and its final, which
// parses the options, resolves the model, prepares the series, runs the model with intervals
// and writes the forecast document. Model resolution and candidate building are separate
// routines; forecast students join through the hooks of candidates.h.
#include "ts/candidates.h"
#include "ts/extended.h"
#include "ts/ts.h"
#include <math.h>

namespace {

constexpr int64_t DEFAULT_STEP_MS = 3600000;
constexpr int TIMESTAMP_BUF = 24;

enum fc_mode {
  FC_AUTO,        // selection among TS_MODELS (and registered students, when any)
  FC_STATISTICAL, // one model of TS_MODELS
  FC_STUDENT,     // a named forecast student
  FC_CANDIDATES,  // an explicit candidate list
  FC_EXTENDED,    // auto-extended
};

// What the options asked for, once resolved.
struct fc_plan {
  fc_mode mode;
  const char *requested;  // the name a document without rows shows
  const ts_model *model;  // FC_STATISTICAL
  fc_candidate student;   // FC_STUDENT; owned
  fc_candidate_list list; // FC_CANDIDATES, or FC_AUTO with registered students; owned
};

void fc_plan_free(fc_plan *p) {
  fc_candidate_free(&p->student);
  fc_models_free(&p->list);
}

// Builds an explicit candidate list in the given order.
int build_explicit_candidates(sqlite3 *db, const forecast_opts *o, int64_t horizon, fc_candidate_list *list,
                              char **out_msg) {
  for (int i = 0; i < o->candidate_count; i++) {
    fc_candidate c = {};
    if (const ts_model *m = ts_model_named(o->candidates[i]).model) {
      c.model = m;
      c.name = m->name;
    } else {
      int rc = fc_lookup_candidate_student(db, o->candidates[i], o, horizon, &c, out_msg);
      if (rc != SQLITE_OK) return rc;
    }
    if (!fc_list_push(list, c)) return SQLITE_NOMEM;
  }
  return SQLITE_OK;
}

// Automatic mode with residual intervals: the statistical models, then every registered
// student that covers the horizon. No student leaves the list empty.
int build_registered_candidates(sqlite3 *db, const forecast_opts *o, int64_t horizon, fc_candidate_list *list,
                                char **out_msg) {
  for (int m = 0; m < TS_MODEL_COUNT; m++) {
    fc_candidate c = {};
    c.model = &TS_MODELS[m];
    c.name = TS_MODELS[m].name;
    if (!fc_list_push(list, c)) return SQLITE_NOMEM;
  }
  int rc = fc_append_registered_students(db, o, horizon, list, out_msg);
  if (rc != SQLITE_OK) return rc;
  if (list->count == TS_MODEL_COUNT)
    fc_models_free(list);
  else
    list->from_registry = 1;
  return SQLITE_OK;
}

// Resolves the model option into a plan; errors carry a message in *out_msg.
int resolve_model(sqlite3 *db, const forecast_opts *o, int64_t horizon, fc_plan *plan, char **out_msg) {
  const char *model = o->model;
  const ts_named_model named = model ? ts_model_named(model) : ts_named_model{TS_NAME_AUTO, nullptr};
  const bool is_auto = named.kind == TS_NAME_AUTO;
  if (o->candidate_count > 0 && !is_auto) {
    *out_msg = sqlite3_mprintf("%s: candidates requires model=\"auto\"", VORNEL_ERR_OPTIONS);
    return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
  }
  if (is_auto) {
    plan->requested = "auto";
    if (o->candidate_count > 0) {
      plan->mode = FC_CANDIDATES;
      return build_explicit_candidates(db, o, horizon, &plan->list, out_msg);
    }
    plan->mode = FC_AUTO;
    if (o->interval_method == INTERVAL_CONFORMAL) return SQLITE_OK;
    return build_registered_candidates(db, o, horizon, &plan->list, out_msg);
  }
  if (named.kind == TS_NAME_AUTO_EXTENDED) {
    if (o->interval_method == INTERVAL_CONFORMAL) {
      *out_msg = sqlite3_mprintf("%s: interval_method='conformal' is not supported with model auto-extended; its "
                                 "bounds come from the chosen models' own deviations",
                                 VORNEL_ERR_OPTIONS);
      return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
    }
    plan->mode = FC_EXTENDED;
    plan->requested = model;
    return SQLITE_OK;
  }
  if (named.model) {
    plan->mode = FC_STATISTICAL;
    plan->model = named.model;
    plan->requested = named.model->name;
    return SQLITE_OK;
  }
  plan->mode = FC_STUDENT;
  plan->requested = model;
  int rc = fc_lookup_named_student(db, model, o, horizon, &plan->student, out_msg);
  if (rc == SQLITE_OK && plan->student.name) plan->requested = plan->student.name;
  return rc;
}

// The output of one series: h rows, or none with a status.
struct fc_output {
  const char *model_name; // the model that ran, or the requested name
  const char *status;
  int rows;         // written rows (0 or h)
  double *forecast; // h each; owned by the final
  double *lower;
  double *upper;
};

// Runs a statistical model with the intervals of the options. Returns SQLITE_OK, SQLITE_NOMEM,
// SQLITE_INTERRUPT, or SQLITE_DONE when conformal intervals found fewer than three folds.
int run_statistical(const ts_model *model, const forecast_opts *o, const double *y, int m, int h, fc_output *out,
                    ts_scratch *sc) {
  if (o->interval_method == INTERVAL_CONFORMAL) {
    HostPtr<double> radius(host_calloc<double>(h));
    if (!radius) return SQLITE_NOMEM;
    int k = ts_conformal_radius(model, y, m, h, o->gap, forecast_opts_folds(o), o->level, radius.get(), sc);
    if (k < 0) return k == TS_STOPPED ? SQLITE_INTERRUPT : SQLITE_NOMEM;
    if (k < 3) return SQLITE_DONE;
    model->fn_ex(y, m, h, out->forecast, nullptr, -1, sc);
    for (int j = 0; j < h; j++) {
      out->lower[j] = out->forecast[j] - radius[j];
      out->upper[j] = out->forecast[j] + radius[j];
    }
    return SQLITE_OK;
  }
  HostPtr<double> dev(host_calloc<double>(h));
  if (!dev) return SQLITE_NOMEM;
  model->fn_ex(y, m, h, out->forecast, dev.get(), -1, sc);
  ts_residual_bounds(out->forecast, dev.get(), h, o->level, out->lower, out->upper);
  return SQLITE_OK;
}

// Chooses and runs the model for a prepared series of m points. Sets out->rows to h, or
// leaves it 0 with status insufficient_history. Returns SQLITE_OK, SQLITE_NOMEM or
// SQLITE_INTERRUPT (the selection was asked to stop).
int run_plan(fc_plan *plan, const forecast_opts *o, const double *y, int m, int h, int calendar, fc_output *out,
             Cancel *cancel) {
  ts_scratch sc = {};
  sc.calendar = calendar;
  sc.cancel = cancel;
  struct scratch_guard {
    ts_scratch *s;
    ~scratch_guard() { ts_scratch_free(s); }
  } guard{&sc};
  const int folds = forecast_opts_folds(o);
  const fc_candidate *student = nullptr;
  const ts_model *model = nullptr;
  switch (plan->mode) {
  case FC_EXTENDED: {
    HostPtr<double> dev(host_calloc<double>(h));
    if (!dev) return SQLITE_NOMEM;
    const char *name = ts_auto_extended(y, m, h, o->gap, folds, out->forecast, dev.get(), &sc);
    if (!name) return cancel && cancel->stopped ? SQLITE_INTERRUPT : SQLITE_NOMEM;
    ts_residual_bounds(out->forecast, dev.get(), h, o->level, out->lower, out->upper);
    out->model_name = name;
    out->rows = h;
    return SQLITE_OK;
  }
  case FC_STUDENT:
    student = &plan->student;
    break;
  case FC_STATISTICAL:
    model = plan->model;
    break;
  case FC_AUTO:
  case FC_CANDIDATES:
    if (plan->list.count > 0) {
      int best = fc_select_candidates(&plan->list, y, m, h, o->gap, folds, &sc);
      if (best == TS_STOPPED) return SQLITE_INTERRUPT;
      if (best < -1) return SQLITE_NOMEM;
      if (best == -1) {
        if (!plan->list.from_registry) {
          out->status = "insufficient_history";
          return SQLITE_OK;
        }
        model = &TS_MODELS[TS_MODEL_THETA];
      } else if (plan->list.items[best].model) {
        model = plan->list.items[best].model;
      } else {
        student = &plan->list.items[best];
      }
    } else {
      double *unused = nullptr;
      int best = ts_auto_select(y, m, h, o->gap, folds, ts_mase_scale(y, m), unused, unused, cancel);
      if (best == TS_STOPPED) return SQLITE_INTERRUPT;
      if (best < -1) return SQLITE_NOMEM;
      model = &TS_MODELS[best >= 0 ? best : TS_MODEL_THETA];
    }
    break;
  }
  if (student) {
    if (fc_student_run(student, y, m, h, o->level, out->forecast, out->lower, out->upper) != SQLITE_OK)
      return SQLITE_NOMEM;
    out->model_name = student->name;
    out->rows = h;
    return SQLITE_OK;
  }
  int rc = run_statistical(model, o, y, m, h, out, &sc);
  if (rc == SQLITE_DONE) {
    out->status = "insufficient_history";
    return SQLITE_OK;
  }
  if (rc != SQLITE_OK) return rc;
  out->model_name = model->name;
  out->rows = h;
  return SQLITE_OK;
}

// Writes the forecast document, with the explain key when explain is given; null when the
// builder ran out of memory.
char *write_document(const fc_output *out, int64_t last_ms, const ts_grid *calendar, int64_t step_ms,
                     const fc_explain_input *explain) {
  sqlite3_str *doc = sqlite3_str_new(nullptr);
  sqlite3_str_append(doc, "{\"model\":", 9);
  agg_json_str(doc, out->model_name);
  sqlite3_str_appendf(doc, ",\"status\":\"%s\",\"rows\":[", out->status);
  char ts[TIMESTAMP_BUF];
  for (int k = 1; k <= out->rows; k++) {
    vornel0_format_timestamp(ts_future_stamp(calendar, last_ms, step_ms, k), ts, sizeof ts);
    sqlite3_str_appendf(doc, "%s{\"step\":%d,\"forecast_timestamp\":\"%s\",\"forecast\":", k > 1 ? "," : "", k, ts);
    json_append_number(doc, out->forecast[k - 1]);
    sqlite3_str_append(doc, ",\"lower_bound\":", 15);
    json_append_number(doc, out->lower[k - 1]);
    sqlite3_str_append(doc, ",\"upper_bound\":", 15);
    json_append_number(doc, out->upper[k - 1]);
    sqlite3_str_appendchar(doc, 1, '}');
  }
  sqlite3_str_appendchar(doc, 1, ']');
  if (explain && fc_explain_append(doc, explain) != SQLITE_OK) {
    sqlite3_free(sqlite3_str_finish(doc));
    return nullptr;
  }
  sqlite3_str_appendchar(doc, 1, '}');
  if (sqlite3_str_errcode(doc) != SQLITE_OK) {
    sqlite3_free(sqlite3_str_finish(doc));
    return nullptr;
  }
  return sqlite3_str_finish(doc);
}

} // namespace

void agg_fc_step(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
  series_step(ctx, argc, argv, SERIES_FORECAST);
}

namespace {

// The kept part of the sorted series, and what the document needs of its times.
struct fc_view {
  int first = 0, m = 0; // kept points: values first .. first + m - 1 (m 0: nothing runs)
  int64_t last_ms = 0, step_ms = DEFAULT_STEP_MS;
  ts_grid calendar = {};
  int season_calendar = 0;
};

// Sorts, fills and cuts the series to its kept part, or sets the status of a series that is
// not forecast. Returns false after reporting through ctx.
bool prepare_series(sqlite3_context *ctx, series *s, const forecast_opts &opts, fc_output *out, fc_view *v) {
  if (s->rejected) {
    out->status = "non_numeric";
  } else if (s->count < 8) {
    out->status = "insufficient_history";
  } else {
    series_sort(s);
    if (opts.fill && !series_fill_or_report(ctx, s, opts.fill)) return false;
    v->m = s->count;
    if (opts.context_limit < v->m) {
      v->first = v->m - opts.context_limit;
      v->m = opts.context_limit;
      out->status = "truncated";
    }
  }
  // The eight-point minimum holds for what the model would see, after the cut.
  if (v->m > 0 && v->m < 8) {
    out->status = "insufficient_history";
    v->m = 0;
  }
  if (v->m > 0) {
    const int64_t *ts = s->ts + v->first;
    const int m = v->m;
    if (m >= 2 && ts[m - 1] > ts[0]) v->step_ms = (ts[m - 1] - ts[0]) / (m - 1);
    ts_calendar_grid(ts, m, &v->calendar);
    v->season_calendar = ts_season_calendar(ts, m);
    v->last_ms = ts[m - 1];
  }
  return true;
}

// Runs the plan on the kept values (under transform 'log' on their logarithms, with forecasts
// and bounds mapped back) into out's arrays of h entries. Returns false after reporting.
bool run_series(sqlite3_context *ctx, fc_plan *plan, const forecast_opts &opts, double *y, const fc_view &v, int h,
                fc_output *out) {
  if (opts.transform == TRANSFORM_LOG && !forecast_log_values(y, v.m, y)) {
    vornel0_report(ctx, forecast_log_refusal());
    return false;
  }
  Cancel cancel = vornel0_cancel(sqlite3_context_db_handle(ctx));
  int rc = run_plan(plan, &opts, y, v.m, h, v.season_calendar, out, &cancel);
  if (rc == SQLITE_INTERRUPT) sqlite3_result_error_code(ctx, rc);
  if (rc != SQLITE_OK && rc != SQLITE_INTERRUPT) sqlite3_result_error_nomem(ctx);
  if (rc != SQLITE_OK) return false;
  if (opts.transform == TRANSFORM_LOG) {
    for (int k = 0; k < out->rows; k++) {
      out->forecast[k] = forecast_from_log(out->forecast[k]);
      out->lower[k] = forecast_from_log(out->lower[k]);
      out->upper[k] = forecast_from_log(out->upper[k]);
    }
  }
  return true;
}

// What the explain key describes, for the series as it ran.
fc_explain_input explain_input(const fc_plan &plan, const forecast_opts &opts, const fc_output &out, const double *y,
                               const fc_view &v, int h) {
  fc_explain_input explain = {};
  explain.automatic = plan.mode == FC_AUTO || plan.mode == FC_CANDIDATES;
  explain.list = plan.list.count > 0 ? &plan.list : nullptr;
  explain.ran = out.model_name;
  explain.ran_model = plan.mode == FC_STATISTICAL ? plan.model : nullptr;
  explain.y = y;
  explain.m = out.rows > 0 || explain.automatic ? v.m : 0;
  explain.h = h;
  explain.gap = opts.gap;
  explain.folds = forecast_opts_folds(&opts);
  explain.calendar = &v.calendar;
  explain.step_ms = v.step_ms;
  explain.season_calendar = v.season_calendar;
  return explain;
}

// Releases the options, the plan and the series record on every exit of the final.
struct final_guard {
  series *s;
  forecast_opts *o;
  fc_plan *p;
  ~final_guard() {
    fc_plan_free(p);
    forecast_opts_free(o);
    series_free(s);
  }
};

} // namespace

void agg_fc_final(sqlite3_context *ctx) {
  series *s = (series *)sqlite3_aggregate_context(ctx, 0);
  forecast_opts opts = {};
  fc_plan plan = {};
  final_guard guard{s, &opts, &plan};
  if (!s || !s->initialised) return sqlite3_result_null(ctx);
  if (s->failed) return sqlite3_result_error_code(ctx, SQLITE_ERROR);
  sqlite3 *db = sqlite3_context_db_handle(ctx);
  char *msg = nullptr;
  int rc = options_read(db, s->options, &FORECAST_OPTIONS, &opts, &msg);
  if (rc != SQLITE_OK) return vornel0_report(ctx, msg);
  rc = resolve_model(db, &opts, s->horizon, &plan, &msg);
  if (rc != SQLITE_OK) {
    // A list or student that could not be allocated is a bare out-of-memory, without a code.
    if (!msg && rc == SQLITE_NOMEM) return sqlite3_result_error_nomem(ctx);
    return vornel0_report(ctx, msg);
  }

  const int h = (int)s->horizon;
  fc_output out = {};
  out.model_name = plan.requested;
  out.status = "ok";
  fc_view view;
  if (!prepare_series(ctx, s, opts, &out, &view)) return;
  HostPtr<double> forecast, lower, upper;
  if (view.m > 0) {
    forecast.reset(host_calloc<double>(h));
    lower.reset(host_calloc<double>(h));
    upper.reset(host_calloc<double>(h));
    if (!forecast || !lower || !upper) return sqlite3_result_error_nomem(ctx);
    out.forecast = forecast.get();
    out.lower = lower.get();
    out.upper = upper.get();
    if (!run_series(ctx, &plan, opts, s->values + view.first, view, h, &out)) return;
  }
  fc_explain_input explain = explain_input(plan, opts, out, s->values + view.first, view, h);
  char *doc = write_document(&out, view.last_ms, &view.calendar, view.step_ms, opts.explain ? &explain : nullptr);
  if (!doc) return sqlite3_result_error_nomem(ctx);
  sqlite3_result_text(ctx, doc, -1, sqlite3_free);
}
