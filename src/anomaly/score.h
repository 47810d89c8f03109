// Per-point scoring of a series for detect_anomalies: the one-step forecast models and the
// point record they fill. Plain arrays only, so the numerics are unit-tested without a database.
#pragma once
#include "core/cancel.h"
#include <stdint.h>

// The scoring models of detect_anomalies.
enum an_model { AN_MODEL_THETA, AN_MODEL_SEASONAL_NAIVE, AN_MODEL_SUBPCA };

// One point's score. The document shows forecast and bounds only when scored is set.
struct an_point {
  double forecast;            // one-step forecast (v[0] for the first point)
  double lower_bound;         // forecast - z * spread, when scored
  double upper_bound;         // forecast + z * spread, when scored
  double anomaly_probability; // 0 when not scored
  int32_t is_anomaly;         // 1 when the probability exceeds the threshold
  int32_t scored;             // forecast and band are meaningful
};

// First point that can be scored: the spread needs the residuals of seven earlier points.
inline constexpr int AN_FIRST_SCORED = 8;

// Scores the n values v (oldest first) against one-step forecasts of model (theta or seasonal
// naive) with season length period (0 for none), a running spread of the earlier residuals
// (Welford's method), a band of z spreads and the two-sided normal probability of a smaller
// deviation, compared strictly with threshold. Fills out[0..n-1]. Never fails: when the theta
// rule's seasonal sums cannot be allocated it runs without season. Returns false only when
// cancel (null: never) asked to stop; out is then incomplete.
bool an_score_one_step(const double *v, int n, an_model model, int period, double threshold, double z, an_point *out,
                       Cancel *cancel = nullptr);

// The error function, with the same bits on every platform (the C libraries differ in the last
// bit, and the probabilities are printed in full).
double an_erf(double x);
