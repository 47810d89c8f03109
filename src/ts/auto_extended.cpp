// auto-extended: the classic and the extended models scored over rolling folds that start no
// earlier than two seasons (earlier cut points cannot show a seasonal model its season), by
// their mean absolute error as in auto (auto's scale divides every candidate's score alike, so
// it changes neither the order nor the weights below). The forecast combines the three best,
// weighted inversely to their squared fold error, after Bates and Granger's weights inverse to
// the error variance ("The combination of forecasts", Operational Research Quarterly 20, 1969). Measured on the M3
// series, combining beats picking the single best candidate by a wide margin, and picking the combination only where it
// scored better over the folds than the best single candidate falls between the two: fold errors of short series are
// too noisy to choose from, and averaging is robust to that noise.
#include "ts/extended.h"
#include <math.h>

const ts_model TS_EXTENDED_MODELS[TS_EXTENDED_COUNT] = {
    {"ets", model_ets, model_ets_ex, 0},
    {"theta-m3", model_theta_m3, model_theta_m3_ex, 0},
};

const ts_model *ts_extended_find(const char *name) {
  if (!name) return nullptr;
  for (int i = 0; i < TS_EXTENDED_COUNT; i++)
    if (strcmp(TS_EXTENDED_MODELS[i].name, name) == 0) return &TS_EXTENDED_MODELS[i];
  return nullptr;
}

namespace {

constexpr int CANDIDATES = TS_MODEL_COUNT + TS_EXTENDED_COUNT;
constexpr int COMBINED = 3; // members of the combination
constexpr int ETS = TS_MODEL_COUNT;

const ts_model *candidate(int c) {
  return c < TS_MODEL_COUNT ? &TS_MODELS[c] : &TS_EXTENDED_MODELS[c - TS_MODEL_COUNT];
}

// Runs candidate c on the first o values: classic models get the detector's period, extended
// ones the season of their rule.
void run_candidate(int c, const double *y, int o, int steps, double *out, double *dev, int period, int season,
                   ts_scratch *sc) {
  candidate(c)->fn_ex(y, o, steps, out, dev, c < TS_MODEL_COUNT ? period : season, sc);
}

// Candidate indices ordered by score, best first (the earlier candidate on ties).
void rank(const double *score, int *order) {
  for (int c = 0; c < CANDIDATES; c++) {
    int j = c;
    while (j > 0 && score[c] < score[order[j - 1]]) {
      order[j] = order[j - 1];
      j--;
    }
    order[j] = c;
  }
}

} // namespace

const char *ts_auto_extended(const double *y, int n, int h, int g, int F, double *out, double *dev, ts_scratch *sc) {
  const int season = ts_extended_season(sc->calendar, y, n, sc, nullptr);
  const int64_t usable = (int64_t)n - h - g;
  const int64_t first = 2 * season > 8 ? 2 * season : 8; // earliest cut point
  const int k = usable >= first ? (usable - first + 1 < F ? (int)(usable - first + 1) : F) : 0;
  const ts_model *fallback = &TS_EXTENDED_MODELS[1];
  if (k == 0) {
    fallback->fn_ex(y, n, h, out, dev, season, sc);
    return fallback->name;
  }
  const int steps = h + g;
  // ets's k x steps fold forecasts, its final forecasts and deviations, and one run's buffer.
  HostPtr<double> buf(host_calloc<double>((int64_t)k * steps + 2 * (int64_t)h + 2 * (int64_t)steps));
  HostPtr<int> cuts(host_calloc<int>(k));
  if (!buf || !cuts) return nullptr;
  double *ets_folds = buf.get(), *ets_out = ets_folds + (int64_t)k * steps;
  double *ets_dev = ets_out + h, *tmp = ets_dev + h;
  for (int i = 0; i < k; i++)
    cuts[i] = (int)(usable - k + 1 + i);
  ts_ets_rolling(y, n, h, ets_out, ets_dev, season, cuts.get(), k, steps, ets_folds, sc);
  double score[CANDIDATES] = {};
  for (int i = 0; i < k; i++) {
    const int o = cuts[i];
    const int period = o >= 6 ? detect_period_ex(y, o, sc) : 0;
    const int fold_season = sc->calendar >= 1 ? season : ts_extended_season(0, y, o, sc, nullptr);
    for (int c = 0; c < CANDIDATES; c++) {
      const double *fc = tmp;
      if (c == ETS)
        fc = ets_folds + (int64_t)i * steps;
      else
        run_candidate(c, y, o, steps, tmp, nullptr, period, fold_season, sc);
      for (int j = 0; j < h; j++)
        score[c] += fabs(y[o + g + j] - fc[g + j]);
    }
  }
  int order[CANDIDATES];
  rank(score, order);
  double weight[COMBINED], total = 0;
  for (int r = 0; r < COMBINED; r++) {
    const double e = score[order[r]];
    weight[r] = isfinite(e) ? 1.0 / (e * e + 1e-300) : 0.0;
    total += weight[r];
  }
  for (int r = 0; r < COMBINED; r++)
    weight[r] = isfinite(total) && total > 0 ? weight[r] / total : 1.0 / COMBINED;
  const int period = n >= 6 ? detect_period_ex(y, n, sc) : 0;
  for (int j = 0; j < h; j++)
    out[j] = dev[j] = 0;
  for (int r = 0; r < COMBINED; r++) {
    const int c = order[r];
    if (c == ETS) {
      memcpy(tmp, ets_out, (size_t)h * sizeof(double));
      memcpy(tmp + h, ets_dev, (size_t)h * sizeof(double));
    } else {
      run_candidate(c, y, n, h, tmp, tmp + h, period, season, sc);
    }
    // The members' variances are averaged with the same weights.
    for (int j = 0; j < h; j++) {
      out[j] += weight[r] * tmp[j];
      dev[j] += weight[r] * tmp[h + j] * tmp[h + j];
    }
  }
  for (int j = 0; j < h; j++)
    dev[j] = sqrt(dev[j]);
  return "auto-extended";
}
