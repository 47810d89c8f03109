// The extended statistical models and the automatic mode over them: exponential smoothing in
// its state-space form, the theta method as run in the M3 competition, the season rule they
// share, and auto-extended. They follow the model routine contract of models.h; they are not
// part of TS_MODELS, so the default automatic mode never sees them.
#pragma once
#include "ts/models.h"

// Longest season the extended models use; a longer one is treated as none.
inline constexpr int TS_MAX_SEASON = 64;

// The calendar season of ascending times: the calendar unit of their grid (ts_grid_unit: 12
// monthly, 4 quarterly, 5 on weekdays, 7 daily, 24 hourly, 52 weekly), 1 for a grid of years
// (a calendar without a season), 0 when the grid has no calendar unit.
int ts_season_calendar(const int64_t *ts, int64_t n);

// Where the season of the extended models came from.
enum ts_season_source { TS_SEASON_CALENDAR, TS_SEASON_DETECTED, TS_SEASON_NONE };
// "calendar", "detected" or "none".
const char *ts_season_source_name(ts_season_source source);

// The season rule of the extended models: the calendar season when there is one (calendar
// 1 means a calendar without a season), otherwise the detector's period when its
// autocorrelation peak passes the significance test below, otherwise 1 (no season).
int ts_extended_season(int calendar, const double *y, int n, ts_scratch *sc, ts_season_source *out_source);

// Bartlett's test at the 90 % level, as the M3 theta method applies it: the autocorrelation
// r[p] is significant when |r[p]| exceeds 1.645 sqrt((1 + 2 sum_{k<p} r[k]^2) / n).
// r holds the autocorrelations at lags 1..p (r[0] unused).
bool ts_season_significant(const double *r, int p, int n);

// m when the autocorrelation of y at lag m passes that test, else 1 (also for m < 2, m above
// TS_MAX_SEASON and a constant series).
int ts_season_tested(const double *y, int n, int m);

// Classical decomposition's seasonal indices over the first n values with season m (centred
// moving average of order m, 2 x m for even m; per-phase means of the ratios, or of the
// differences when additive, normalised to mean 1, or to mean 0). index[j] belongs to phase
// j of t (t mod m). Needs n >= 2m; false when the averages cannot be formed (a non-positive
// moving average for the multiplicative form).
bool ts_classical_indices(const double *y, int n, int m, bool multiplicative, double *index);

// Nelder-Mead (reflection 1, expansion 2, contraction 1/2, shrink 1/2) minimising f over
// d <= TS_NM_MAX_DIM coordinates from x0 and the simplex x0 + step[i] e_i; at most max_evals
// evaluations, stopping once the simplex's values agree to 1e-6. Infinite values mark points
// outside the search region. A machine that asks for one point at a time, so that several
// searches can share the passes of a vectorised objective: ts_nm_start, then while
// ts_nm_tell(nm, f(nm->x)) it asks for its next point in nm->x; ts_nm_best gives the best
// vertex.
inline constexpr int TS_NM_MAX_DIM = 6;
struct ts_nm {
  int d, max_evals, evals, phase, i;
  bool outside;
  double fr;
  double v[TS_NM_MAX_DIM + 1][TS_NM_MAX_DIM], fv[TS_NM_MAX_DIM + 1];
  double c[TS_NM_MAX_DIM], xr[TS_NM_MAX_DIM];
  double x[TS_NM_MAX_DIM]; // the point whose value is asked for
};
void ts_nm_start(ts_nm *nm, int d, const double *x0, const double *step, int max_evals);
// Takes the value of nm->x; false when the search is over.
bool ts_nm_tell(ts_nm *nm, double fx);
void ts_nm_best(const ts_nm *nm, double *x0);

// Period argument of the extended routines: a season >= 1 to use as given (1: none); below 1
// the routine applies ts_extended_season with the calendar season kept in the scratch.
void model_ets_ex(const double *y, int n, int s, double *out, double *dev, int period, ts_scratch *sc);
void model_theta_m3_ex(const double *y, int n, int s, double *out, double *dev, int period, ts_scratch *sc);
// Three forecasts from ets's fits, for auto-extended: the best damped-trend form, the best
// form (as model_ets_ex), and the Akaike-weighted combination of every fitted form.
enum { TS_ETS_DAMPED, TS_ETS_BEST, TS_ETS_AKAIKE, TS_ETS_VARIANTS };
// The variants on the whole series and for k ascending cut points: variant v puts s
// forecasts and deviations at out + v s and dev + v s, and for fold i `steps` forecasts after
// the first cuts[i] values at fold_out + (v k + i) steps. The folds all come from one fit of
// every form on the values before cuts[0], so that no fold is scored with a fit that saw its
// holdout. Returns the variants that have a fit on the whole series, bit v for variant v (0:
// none; nothing written), or TS_STOPPED when the scratch's cancel hook asked to stop.
int ts_ets_variants_rolling(const double *y, int n, int s, double *out, double *dev, int period, const int *cuts, int k,
                            int steps, double *fold_out, ts_scratch *sc);
// The form ets chooses and its fit, for inspection: error (0 additive, 1 multiplicative),
// trend (0 none, 1 additive, 2 damped), season (0 none, 1 additive, 2 multiplicative), the
// weights, the initial states (on the fitting scale y / scale), the AICc and the parameter
// count. False when no form fits (ets then continues the last value).
struct ts_ets_choice {
  int error, trend, season, m;
  double alpha, beta, gamma, phi;
  double l0, b0, s0[TS_MAX_SEASON];
  double aicc, scale;
  int params;
};
bool ts_ets_choose(const double *y, int n, int period, ts_scratch *sc, ts_ets_choice *out);
void model_ets(const double *y, int n, int s, double *out, double *dev);
void model_theta_m3(const double *y, int n, int s, double *out, double *dev);

inline constexpr int TS_EXTENDED_COUNT = 2;
// ets, theta-m3.
extern const ts_model TS_EXTENDED_MODELS[TS_EXTENDED_COUNT];
// The extended entry named exactly name, or null.
const ts_model *ts_extended_find(const char *name);

// auto-extended: combines the classic models, theta-m3 and ets's variants by their error over
// rolling folds that start no earlier than two seasons (a weighted trimmed mean without the
// worst candidate), and fills forecasts and deviations for h steps. Returns "auto-extended", or "theta-m3" when the
// series is too short for one fold (theta-m3 then runs alone), or null on out of memory or when the scratch's cancel
// hook asked to stop (then sc->cancel->stopped is set).
const char *ts_auto_extended(const double *y, int n, int h, int g, int F, double *out, double *dev, ts_scratch *sc);
