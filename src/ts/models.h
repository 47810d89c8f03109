// The statistical models, period detection, intervals and rolling-origin selection. These
// numeric cores take plain arrays and never see a host value, so they are unit-tested directly.
#pragma once
#include "core/api.h"

// Model routine contract: values y oldest first, count n, steps s; fills out[0..s-1] with the
// point forecasts and, when dev is not null, dev[0..s-1] with the per-step standard deviations
// of the forecast error. Never fails: allocation failures degrade the answer.
typedef void (*ts_model_fn)(const double *y, int n, int s, double *out, double *dev);

// Reusable working buffers, so rolling-origin loops allocate once per series instead of once
// per fit. Zero is a valid empty scratch; ts_scratch_free releases it.
enum ts_scratch_slot {
  TS_SLOT_RESIDUALS, // period detection: detrended values
  TS_SLOT_ACF,       // period detection: autocorrelations
  TS_SLOT_WORK,      // theta: deseasonalised, then theta line
  TS_SLOT_PROFILE,   // theta: seasonal profile
  TS_SLOT_LEVELS,    // theta smoothed levels, tsb fitted values
  TS_SLOT_STEPS,     // per-step sums of squares and counts (2 s)
  TS_SLOT_FOLD,      // one fold's h + g forecasts
  TS_SLOT_COUNT
};
struct ts_scratch {
  double *buf[TS_SLOT_COUNT]; // owned
  int64_t cap[TS_SLOT_COUNT];
  int calendar;   // the series' calendar season (ts_season_calendar), 0 when unknown
  Cancel *cancel; // asked between fits by the rolling-origin loops; null never stops; borrowed
};
// What the rolling-origin loops below return when the scratch's cancel hook asked them to stop.
inline constexpr int TS_STOPPED = -9;
// Reports the work of one fit on n points to the scratch's cancel hook; true: stop.
inline bool ts_fit_stop(ts_scratch *sc, int64_t n) { return sc && cancel_stop(sc->cancel, n * 16); }
// Whether a rolling-origin score replaces the best so far: strictly smaller, and a score that
// is not a number (a model whose forecasts were not numbers) is worse than any other.
inline bool ts_score_better(double score, double best) { return score < best || (best != best && score == score); }
// Room for n doubles in a slot (contents not kept); null when the host cannot allocate.
double *ts_scratch_get(ts_scratch *sc, int slot, int64_t n);
void ts_scratch_free(ts_scratch *sc);

// Variant of a model routine that is given the season length of y (or -1 to detect it) and a
// scratch; the same results as the plain routine.
typedef void (*ts_model_ex_fn)(const double *y, int n, int s, double *out, double *dev, int period, ts_scratch *sc);

struct ts_model {
  const char *name;
  ts_model_fn fn;       // the contract routine
  ts_model_ex_fn fn_ex; // the same with a known period and a scratch
  int uses_period;      // the model runs period detection on its input
};
inline constexpr int TS_MODEL_COUNT = 3;
// stub-seasonal-naive, theta-classic, tsb: also the order of automatic selection.
extern const ts_model TS_MODELS[TS_MODEL_COUNT];
inline constexpr int TS_MODEL_SEASONAL_NAIVE = 0;
inline constexpr int TS_MODEL_THETA = 1;
inline constexpr int TS_MODEL_TSB = 2;
// The entry of table[0..count-1] named exactly name, or null (also for a null name).
const ts_model *ts_model_in(const ts_model *table, int count, const char *name);
// The entry of TS_MODELS named exactly name, or null.
const ts_model *ts_model_find(const char *name);

// What a model name denotes wherever one is given (forecast, backtest, detect_anomalies, a
// candidate list); names are compared exactly. Each function then accepts the kinds it runs.
enum ts_name_kind {
  TS_NAME_MODEL,         // a model routine: TS_MODELS, ets, theta-m3, or default-ts (theta-classic)
  TS_NAME_AUTO,          // auto
  TS_NAME_AUTO_EXTENDED, // auto-extended
  TS_NAME_OTHER,         // anything else (a forecast student's id, perhaps)
};
struct ts_named_model {
  ts_name_kind kind;
  const ts_model *model; // TS_NAME_MODEL: the routine's entry; otherwise null
};
ts_named_model ts_model_named(const char *name);

// Least-squares line through (t, y[t]), t = 0..n-1; slope 0 when the design is degenerate.
void ts_line_fit(const double *y, int n, double *out_intercept, double *out_slope);

// Season length p >= 2 found by autocorrelation, or 0 (no season, or out of memory).
int detect_period(const double *y, int n);
int detect_period_ex(const double *y, int n, ts_scratch *sc);

// Without any value there is nothing to continue: forecasts 0 and unknown deviations. Returns
// whether that was the case (n < 1).
bool ts_empty_input(int n, int s, double *out, double *dev);

void model_seasonal_naive(const double *y, int n, int s, double *out, double *dev);
void model_theta(const double *y, int n, int s, double *out, double *dev);
void model_tsb(const double *y, int n, int s, double *out, double *dev);
void model_seasonal_naive_ex(const double *y, int n, int s, double *out, double *dev, int period, ts_scratch *sc);
void model_theta_ex(const double *y, int n, int s, double *out, double *dev, int period, ts_scratch *sc);
void model_tsb_ex(const double *y, int n, int s, double *out, double *dev, int period, ts_scratch *sc);

// Residual bounds: out_lower/out_upper = forecast -/+ z * dev, with z for the level.
void ts_residual_bounds(const double *forecast, const double *dev, int h, double level, double *out_lower,
                        double *out_upper);
// Rank used by conformal intervals: ceil((k + 1) * level) limited to 1..k.
int ts_conformal_rank(int k, double level);
// Ascending insertion sort.
void ts_sort_ascending(double *v, int n);

// Rolling-origin fold layout. usable = n - h - g; with usable < 8 there is no fold, otherwise
// k = min(F, usable - 7) folds and fold i cuts at o = usable - k + 1 + i (the last at usable).
int ts_fold_count(int64_t n, int64_t h, int64_t g, int F);
int64_t ts_fold_cut(int64_t n, int64_t h, int64_t g, int k, int i);

// Fold construction: for each fold, forecasts h + g steps from the first o values and stores
// the h actuals after the gap and the matching forecasts (k x h each, fold after fold).
// Returns k (0 when the series is too short) or a negative number on out of memory (TS_STOPPED
// when the scratch's cancel hook asked to stop).
int ts_backtest(ts_model_fn model, const double *y, int n, int h, int g, int F, double *out_actuals,
                double *out_forecasts);
int ts_backtest_model(const ts_model *model, const double *y, int n, int h, int g, int F, double *out_actuals,
                      double *out_forecasts, ts_scratch *sc);

// Mean absolute one-step difference (the MASE scale); 0 when n < 2.
double ts_mase_scale(const double *y, int n);

// Chooses among TS_MODELS by mean absolute (scaled, when scale > 0) error over the folds.
// act_buf and fc_buf are fold buffers of F x h doubles owned by the caller (work space).
// Returns the model index, -1 when no model had a fold, TS_STOPPED when cancel asked to stop,
// another value below -1 on out of memory.
int ts_auto_select(const double *y, int n, int h, int g, int F, double scale, double *act_buf, double *fc_buf,
                   Cancel *cancel = nullptr);

// A forecast of `steps` steps after the first o of the n values of y into out, for a fold
// candidate that is not a model routine (a forecast student); ctx is the caller's and c the
// candidate's index. Returns SQLITE_OK, or another code when it failed.
typedef int (*ts_fold_forecast_fn)(const void *ctx, int c, const double *y, int n, int o, int steps, double *out);

// The one rolling-origin scorer, behind automatic selection, candidate lists, explain and
// backtest: out_scores[i] is the mean absolute error of models[i] over the folds (divided by
// scale when scale > 0), each sum taken fold by fold in step order. A null entry is forecast by
// other(other_ctx, i, ...). Each fold prefix's period is found once and handed to the models
// that use one; out_periods (k entries), when given, keeps them. Returns k (0: too short),
// TS_STOPPED, or another negative value on OOM (-2 when `other` failed).
int ts_score_models(const ts_model *const *models, int count, const double *y, int n, int h, int g, int F, double scale,
                    double *out_scores, ts_scratch *sc, int32_t *out_periods = nullptr,
                    ts_fold_forecast_fn other = nullptr, const void *other_ctx = nullptr);
// The index of the best of count scores by ts_score_better, the earlier on ties.
int ts_best_score(const double *scores, int count);

// Conformal radius per step for model over the folds; returns k (radius written only when
// k >= 3), TS_STOPPED, or another negative value on out of memory.
int ts_conformal_radius(const ts_model *model, const double *y, int n, int h, int g, int F, double level,
                        double *out_radius, ts_scratch *sc);
