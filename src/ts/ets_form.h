// Exponential smoothing's forms, fits and recursion: what its search (ets_search.cpp) and the
// models built on its fits (ets.cpp) share. Internal to src/ts.
#pragma once
#include "ts/extended.h"

namespace ets_impl {

enum { TREND_N, TREND_A, TREND_D };
enum { SEASON_N, SEASON_A, SEASON_M };

struct ets_form {
  int mult_error, trend, season;
};

// Additive-error forms first, so that on equal AICc the simpler error wins.
inline constexpr ets_form FORMS[] = {
    {0, TREND_N, SEASON_N}, {0, TREND_A, SEASON_N}, {0, TREND_D, SEASON_N}, {1, TREND_N, SEASON_N},
    {1, TREND_A, SEASON_N}, {1, TREND_D, SEASON_N}, {0, TREND_N, SEASON_A}, {0, TREND_A, SEASON_A},
    {0, TREND_D, SEASON_A}, {1, TREND_N, SEASON_A}, {1, TREND_A, SEASON_A}, {1, TREND_D, SEASON_A},
    {1, TREND_N, SEASON_M}, {1, TREND_A, SEASON_M}, {1, TREND_D, SEASON_M},
};
inline constexpr int FORM_COUNT = sizeof FORMS / sizeof FORMS[0];

// Smoothing weights. beta and gamma are searched as shares of their bounds (beta <= alpha,
// gamma <= 1 - alpha), so the search region is a box.
struct ets_params {
  double alpha, beta, gamma, phi;
};

struct ets_state {
  double l, b;
  double s[TS_MAX_SEASON]; // s[j]: season of phase j (t mod m)
};

struct ets_fit {
  ets_form form;
  ets_params par;
  ets_state start; // initial states
  ets_state end;   // states after the last value
  double sigma2;   // variance of the (relative) one-step errors
  double aicc;
  int params; // weights and initial states
};

// Every admissible form's fit on x = y / max|y| (so every sum stays finite for huge values;
// the forms are scale-free); ok[i] tells whether FORMS[i] fitted. False when none fits, x is
// null or the cancel hook asked to stop.
struct ets_fits {
  ets_fit fit[FORM_COUNT];
  bool ok[FORM_COUNT];
  double scale;
};

// Runs the recursion from st over y[0..n-1], leaving the final states in st. Returns the
// likelihood term n log(sum e^2) (additive errors) or n log(sum (e/mu)^2) + 2 sum log|mu|
// (multiplicative), or INFINITY when a state leaves the region where the form is defined.
// *out_sse gets the sum of squared (relative, for multiplicative errors) one-step errors.
// phase is the season phase of y[0] (t mod m), for a run that continues an earlier one.
double ets_run(const double *y, int n, int m, ets_form f, const ets_params &p, ets_state *st, double *out_sse,
               int phase = 0);

// Initial states by the heuristic: seasonal indices from the classical decomposition of the
// first three seasons (two when the series is shorter), then a line (or, without trend, the
// mean) through the first max(10, 2m) deseasonalised values. False when the form cannot start.
bool ets_initial(const double *y, int n, int m, ets_form f, ets_state *st);

// Fits every admissible form of season m on x = y / max|y| (x gets the scaled values).
bool ets_fit_all(const double *y, int n, int m, double *x, ets_fits *out, Cancel *cancel = nullptr);

// The fitted form with the smallest AICc (the first on ties), among those of trend type
// `trend` when it is not negative; -1 when there is none.
int ets_best(const ets_fits &fs, int trend);

} // namespace ets_impl
