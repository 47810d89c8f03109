// Rolling-origin evaluation of one backtest series: prepare it (sort, keep the most recent
// context_limit points), choose the model, refit it at every cut-off and score the forecasts
// of each fold against what followed. The cut points are those of the automatic selection, so
// the forecasts of a fold equal the ones the selection compared.
#include "backtest/backtest.h"
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

int bt_evaluate_series(BtSeries *series, int32_t series_index, const BtConfig *cfg, BtWork *work,
                       HostArray<BtRow> *rows) {
  if (series->bad) return rows->push(status_row(series_index, "non_numeric"), 64) ? SQLITE_OK : SQLITE_NOMEM;
  if (series->count <= 7)
    return rows->push(status_row(series_index, "insufficient_history"), 64) ? SQLITE_OK : SQLITE_NOMEM;

  bool sorted = true;
  for (int32_t i = 1; sorted && i < series->count; i++)
    sorted = series->ts[i - 1] <= series->ts[i];
  if (!sorted) series_sort_arrays(series->ts, series->values, series->count);
  if (cfg->fill) {
    int64_t needed = 0;
    int rc = ts_fill_arrays(&series->ts, &series->values, &series->count, &series->capacity, cfg->fill, SERIES_MAX_ROWS,
                            &needed);
    if (rc != SQLITE_OK) return rc;
  }
  int32_t offset = 0;
  const char *status = "ok";
  if (series->count > cfg->context_limit) {
    offset = series->count - cfg->context_limit;
    status = "truncated";
  }
  const int32_t n = series->count - offset;
  const double *y = series->values + offset;
  const int64_t *t = series->ts + offset;
  const int32_t h = cfg->horizon;
  // Under the log transform the models fit the logarithms; actuals, forecasts and bounds are
  // compared on the values, kept here.
  HostPtr<double> original;
  if (cfg->log_transform) {
    original.reset(host_calloc<double>((int64_t)n + 2 * (int64_t)h));
    if (!original) return SQLITE_NOMEM;
    memcpy(original.get(), y, (size_t)n * sizeof(double));
    if (!forecast_log_values(y, n, series->values + offset)) return SQLITE_RANGE;
  }
  const double scale = bt_mase_scale(original ? original.get() : y, n);

  const int64_t usable = (int64_t)n - h - cfg->gap;
  if (usable <= 7) return rows->push(status_row(series_index, "insufficient_history"), 64) ? SQLITE_OK : SQLITE_NOMEM;
  const int32_t folds = (int32_t)(usable - 7 < cfg->folds ? usable - 7 : cfg->folds);
  const int32_t steps = (int32_t)(h + cfg->gap); // below n

  double **step[] = {&work->step_fc, &work->step_sd};
  double **per_fold[] = {&work->actual, &work->forecast, &work->spread, &work->abs_err, &work->radius};
  double **small[] = {&work->lower, &work->upper, &work->conf_work};
  if (!grow_doubles(step, 2, &work->step_cap, steps) ||
      !grow_doubles(per_fold, 5, &work->fold_cap, (int64_t)folds * h) ||
      !grow_doubles(small, 3, &work->small_cap, h > 2 * folds ? h : 2 * folds))
    return SQLITE_NOMEM;
  if (folds > work->period_cap) {
    sqlite3_free(work->periods);
    work->periods = host_calloc<int32_t>(folds);
    work->period_cap = work->periods ? folds : 0;
    if (!work->periods) return SQLITE_NOMEM;
  }

  int model = cfg->model;
  bool periods_known = false;
  if (model < 0) {
    int chosen = bt_select_model(y, n, h, cfg->gap, cfg->folds, scale, work->periods, work->step_fc, &work->models);
    if (chosen == TS_STOPPED) return SQLITE_INTERRUPT;
    if (chosen < -1) return SQLITE_NOMEM;
    model = chosen >= 0 ? chosen : TS_MODEL_THETA;
    periods_known = chosen >= 0;
  }
  const ts_model &routine = TS_MODELS[model];

  for (int32_t j = 0; j < folds; j++) {
    const int32_t train = (int32_t)(usable - folds + 1 + j);
    if (ts_fit_stop(&work->models, train)) return SQLITE_INTERRUPT;
    int period = -1;
    if (routine.uses_period) period = periods_known ? work->periods[j] : detect_period_ex(y, train, &work->models);
    routine.fn_ex(y, train, steps, work->step_fc, work->step_sd, period, &work->models);
    double *actual = work->actual + (int64_t)j * h, *forecast = work->forecast + (int64_t)j * h;
    double *spread = work->spread + (int64_t)j * h, *abs_err = work->abs_err + (int64_t)j * h;
    for (int32_t k = 0; k < h; k++) {
      actual[k] = y[train + cfg->gap + k];
      forecast[k] = work->step_fc[cfg->gap + k];
      spread[k] = work->step_sd[cfg->gap + k];
      abs_err[k] = fabs(actual[k] - forecast[k]);
    }
  }
  if (cfg->conformal) bt_conformal_radii(work->abs_err, folds, h, cfg->level, work->radius, work->conf_work);

  if (!rows->reserve(rows->len + folds)) return SQLITE_NOMEM;
  for (int32_t j = 0; j < folds; j++) {
    const int32_t train = (int32_t)(usable - folds + 1 + j);
    const double *actual = work->actual + (int64_t)j * h, *forecast = work->forecast + (int64_t)j * h;
    BtRow row = status_row(series_index, status);
    const double *model_forecast = forecast;
    if (original) {
      double *a = original.get() + n, *f = a + h;
      for (int32_t k = 0; k < h; k++) {
        a[k] = original[train + cfg->gap + k];
        f[k] = exp(forecast[k]);
      }
      actual = a;
      forecast = f;
    }
    BtMetrics m;
    bt_point_metrics(actual, forecast, h, scale, &m);
    if (!cfg->conformal || j >= BT_CONFORMAL_MIN_EARLIER) {
      for (int32_t k = 0; k < h; k++) {
        double half = cfg->conformal ? work->radius[(int64_t)j * h + k] : cfg->z * work->spread[(int64_t)j * h + k];
        work->lower[k] = model_forecast[k] - half;
        work->upper[k] = model_forecast[k] + half;
        if (original) {
          work->lower[k] = exp(work->lower[k]);
          work->upper[k] = exp(work->upper[k]);
        }
      }
      bt_band_metrics(actual, work->lower, work->upper, h, &m);
      row.coverage = m.coverage;
      row.width = m.width;
      row.has_interval = 1;
    }
    row.fold = j;
    vornel0_format_timestamp(t[train - 1], row.cutoff, sizeof row.cutoff);
    row.model = routine.name;
    row.n = h;
    row.mae = m.mae;
    row.rmse = m.rmse;
    row.mase = m.mase;
    row.smape = m.smape;
    row.has_metrics = 1;
    rows->push(row);
  }
  return SQLITE_OK;
}
