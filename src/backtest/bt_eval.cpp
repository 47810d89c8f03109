// Rolling-origin evaluation of one backtest series: resolve the model name, prepare the series
// (sort, keep the most recent context_limit points), choose the model, refit it at every
// cut-off and score the forecasts of each fold against what followed. The cut points are the
// shared fold layout (ts_fold_cut), so a fold's forecasts equal the ones automatic selection
// compared.
#include "backtest/backtest.h"
#include "ts/extended.h"
#include <math.h>

namespace {

// Grows every array of a group to at least want entries; old contents are not kept.
bool grow_doubles(double **arrays[], int count, int64_t *cap, int64_t want) {
  if (want <= *cap) return true;
  for (int i = 0; i < count; i++) {
    sqlite3_free(*arrays[i]);
    *arrays[i] = host_calloc<double>(want);
  }
  bool ok = true;
  for (int i = 0; i < count; i++)
    ok = ok && *arrays[i];
  *cap = ok ? want : 0;
  return ok;
}

BtRow status_row(int32_t series_index, const char *status) {
  BtRow row;
  memset(&row, 0, sizeof row);
  row.series = series_index;
  row.status = status;
  return row;
}

} // namespace

void bt_work_free(BtWork *work) {
  if (!work) return;
  double *arrays[] = {work->step_fc, work->step_sd, work->actual, work->forecast, work->spread,
                      work->abs_err, work->radius,  work->lower,  work->upper,    work->conf_work};
  for (double *a : arrays)
    sqlite3_free(a);
  sqlite3_free(work->periods);
  ts_scratch_free(&work->models);
  memset(work, 0, sizeof *work);
}

namespace {

// A series after preparation: the kept values the models see, their times, and (under the log
// transform) the original values, followed by room for one fold's actuals and forecasts.
struct BtPrepared {
  const double *y;          // the kept values (logarithms under the log transform)
  const int64_t *t;         // their times
  int32_t n;                // kept points
  const char *status;       // ok or truncated
  HostPtr<double> original; // n values, then 2 x horizon scratch; null without the transform
  double scale;             // the MASE scale of the kept values
};

// Sorts, fills and cuts the series in place. Returns SQLITE_OK or the code of
// bt_evaluate_series.
int prepare(series *s, const BtConfig *cfg, BtPrepared *out) {
  series_sort(s);
  if (cfg->fill) {
    int64_t needed = 0;
    int rc = ts_fill_arrays(&s->ts, &s->values, &s->count, &s->capacity, cfg->fill, SERIES_MAX_ROWS, &needed);
    if (rc != SQLITE_OK) return rc;
  }
  int32_t offset = 0;
  out->status = "ok";
  if (s->count > cfg->context_limit) {
    offset = s->count - cfg->context_limit;
    out->status = "truncated";
  }
  out->n = s->count - offset;
  out->y = s->values + offset;
  out->t = s->ts + offset;
  // Under the log transform the models fit the logarithms; actuals, forecasts and bounds are
  // compared on the values, kept here.
  if (cfg->log_transform) {
    out->original.reset(host_calloc<double>((int64_t)out->n + 2 * (int64_t)cfg->horizon));
    if (!out->original) return SQLITE_NOMEM;
    memcpy(out->original.get(), out->y, (size_t)out->n * sizeof(double));
    if (!forecast_log_values(out->y, out->n, s->values + offset)) return SQLITE_RANGE;
  }
  out->scale = ts_mase_scale(out->original ? out->original.get() : out->y, out->n);
  return SQLITE_OK;
}

// Makes room in the work arrays for folds folds of the configured horizon and gap.
bool reserve_work(BtWork *work, const BtConfig *cfg, int32_t folds) {
  const int32_t h = cfg->horizon;
  double **step[] = {&work->step_fc, &work->step_sd};
  double **per_fold[] = {&work->actual, &work->forecast, &work->spread, &work->abs_err, &work->radius};
  double **small[] = {&work->lower, &work->upper, &work->conf_work};
  if (!grow_doubles(step, 2, &work->step_cap, (int64_t)h + cfg->gap) ||
      !grow_doubles(per_fold, 5, &work->fold_cap, (int64_t)folds * h) ||
      !grow_doubles(small, 3, &work->small_cap, h > 2 * folds ? h : 2 * folds))
    return false;
  if (folds > work->period_cap) {
    sqlite3_free(work->periods);
    work->periods = host_calloc<int32_t>(folds);
    work->period_cap = work->periods ? folds : 0;
  }
  return work->periods != nullptr;
}

// The model of a series: the configured one, or with auto the one of least (scaled) fold error,
// as forecast chooses it; the season lengths of its fold prefixes are then in work->periods.
// Returns SQLITE_OK, SQLITE_NOMEM or SQLITE_INTERRUPT.
int choose_model(const BtConfig *cfg, const BtPrepared &p, BtWork *work, const ts_model **out, bool *periods_known) {
  *out = cfg->model;
  *periods_known = false;
  if (cfg->model || cfg->auto_extended) return SQLITE_OK;
  const ts_model *models[TS_MODEL_COUNT];
  for (int m = 0; m < TS_MODEL_COUNT; m++)
    models[m] = &TS_MODELS[m];
  double scores[TS_MODEL_COUNT];
  const int k = ts_score_models(models, TS_MODEL_COUNT, p.y, p.n, cfg->horizon, cfg->gap, cfg->folds, p.scale, scores,
                                &work->models, work->periods);
  if (k == TS_STOPPED) return SQLITE_INTERRUPT;
  if (k < 0) return SQLITE_NOMEM;
  *out = &TS_MODELS[k > 0 ? ts_best_score(scores, TS_MODEL_COUNT) : TS_MODEL_THETA];
  *periods_known = k > 0;
  return SQLITE_OK;
}

// Refits at every cut-off and keeps each fold's actuals, forecasts, spreads and errors.
// Returns SQLITE_OK, SQLITE_NOMEM or SQLITE_INTERRUPT; names[j] gets the model that ran in fold
// j (auto-extended runs theta-m3 alone on a prefix too short for its own folds).
int run_folds(const BtConfig *cfg, const BtPrepared &p, const ts_model *routine, bool periods_known, int32_t folds,
              BtWork *work, const char **names) {
  const int32_t h = cfg->horizon, steps = h + cfg->gap; // steps is below n
  ts_scratch *sc = &work->models;
  for (int32_t j = 0; j < folds; j++) {
    const int32_t train = (int32_t)ts_fold_cut(p.n, h, cfg->gap, folds, j);
    if (ts_fit_stop(sc, train)) return SQLITE_INTERRUPT;
    // The extended models take their season from the calendar of the times they see.
    if (cfg->uses_calendar) sc->calendar = ts_season_calendar(p.t, train);
    if (routine) {
      int period = -1;
      if (routine->uses_period) period = periods_known ? work->periods[j] : detect_period_ex(p.y, train, sc);
      routine->fn_ex(p.y, train, steps, work->step_fc, work->step_sd, period, sc);
      names[j] = routine->name;
    } else {
      // auto-extended as forecast runs it for horizon + gap steps.
      names[j] = ts_auto_extended(p.y, train, steps, 0, cfg->folds, work->step_fc, work->step_sd, sc);
      if (!names[j]) return sc->cancel && sc->cancel->stopped ? SQLITE_INTERRUPT : SQLITE_NOMEM;
    }
    double *actual = work->actual + (int64_t)j * h, *forecast = work->forecast + (int64_t)j * h;
    double *spread = work->spread + (int64_t)j * h, *abs_err = work->abs_err + (int64_t)j * h;
    for (int32_t k = 0; k < h; k++) {
      actual[k] = p.y[train + cfg->gap + k];
      forecast[k] = work->step_fc[cfg->gap + k];
      spread[k] = work->step_sd[cfg->gap + k];
      abs_err[k] = fabs(actual[k] - forecast[k]);
    }
  }
  if (cfg->conformal) bt_conformal_radii(work->abs_err, folds, h, cfg->level, work->radius, work->conf_work);
  return SQLITE_OK;
}

// The row of fold j: its metrics on the values (mapped back from logarithms) and its band.
BtRow fold_row(const BtConfig *cfg, const BtPrepared &p, const BtWork *work, int32_t series_index, int32_t folds,
               int32_t j, const char *model_name) {
  const int32_t h = cfg->horizon;
  const int32_t train = (int32_t)ts_fold_cut(p.n, h, cfg->gap, folds, j);
  const double *actual = work->actual + (int64_t)j * h, *forecast = work->forecast + (int64_t)j * h;
  BtRow row = status_row(series_index, p.status);
  const double *model_forecast = forecast;
  if (p.original) {
    double *a = p.original.get() + p.n, *f = a + h;
    for (int32_t k = 0; k < h; k++) {
      a[k] = p.original[train + cfg->gap + k];
      f[k] = forecast_from_log(forecast[k]);
    }
    actual = a;
    forecast = f;
  }
  BtMetrics m;
  bt_point_metrics(actual, forecast, h, p.scale, &m);
  if (!cfg->conformal || j >= BT_CONFORMAL_MIN_EARLIER) {
    for (int32_t k = 0; k < h; k++) {
      double half = cfg->conformal ? work->radius[(int64_t)j * h + k] : cfg->z * work->spread[(int64_t)j * h + k];
      work->lower[k] = model_forecast[k] - half;
      work->upper[k] = model_forecast[k] + half;
      if (p.original) {
        work->lower[k] = forecast_from_log(work->lower[k]);
        work->upper[k] = forecast_from_log(work->upper[k]);
      }
    }
    bt_band_metrics(actual, work->lower, work->upper, h, &m);
    row.coverage = m.coverage;
    row.width = m.width;
    row.has_interval = 1;
  }
  row.fold = j;
  vornel0_format_timestamp(p.t[train - 1], row.cutoff, sizeof row.cutoff);
  row.model = model_name;
  row.n = h;
  row.mae = m.mae;
  row.rmse = m.rmse;
  row.mase = m.mase;
  row.smape = m.smape;
  row.has_metrics = 1;
  return row;
}

} // namespace

bool bt_resolve_model(const char *name, BtConfig *cfg) {
  const ts_named_model named = name ? ts_model_named(name) : ts_named_model{TS_NAME_MODEL, &TS_MODELS[TS_MODEL_THETA]};
  cfg->model = named.model;
  cfg->auto_extended = named.kind == TS_NAME_AUTO_EXTENDED;
  cfg->uses_calendar = cfg->auto_extended || (named.model && ts_extended_find(named.model->name) == named.model);
  return named.kind != TS_NAME_OTHER;
}

int bt_evaluate_series(BtSeries *item, int32_t series_index, const BtConfig *cfg, BtWork *work,
                       HostArray<BtRow> *rows) {
  series *points = &item->points;
  const char *status = points->rejected ? "non_numeric" : points->count <= 7 ? "insufficient_history" : nullptr;
  if (status) return rows->push(status_row(series_index, status), 64) ? SQLITE_OK : SQLITE_NOMEM;
  BtPrepared p = {};
  int rc = prepare(points, cfg, &p);
  if (rc != SQLITE_OK) return rc;
  const int32_t folds = ts_fold_count(p.n, cfg->horizon, cfg->gap, cfg->folds);
  if (folds == 0) return rows->push(status_row(series_index, "insufficient_history"), 64) ? SQLITE_OK : SQLITE_NOMEM;
  if (!reserve_work(work, cfg, folds)) return SQLITE_NOMEM;
  const ts_model *routine;
  bool periods_known;
  rc = choose_model(cfg, p, work, &routine, &periods_known);
  if (rc != SQLITE_OK) return rc;
  HostPtr<const char *> names(host_calloc<const char *>(folds));
  if (!names) return SQLITE_NOMEM;
  rc = run_folds(cfg, p, routine, periods_known, folds, work, names.get());
  if (rc != SQLITE_OK) return rc;
  if (!rows->reserve(rows->len + folds)) return SQLITE_NOMEM;
  for (int32_t j = 0; j < folds; j++)
    rows->push(fold_row(cfg, p, work, series_index, folds, j, names[j]));
  return SQLITE_OK;
}
