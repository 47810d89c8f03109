// auto-extended: seven candidates scored over rolling folds that start no earlier than two
// seasons (earlier cut points cannot show a seasonal model its season), by their mean
// absolute error as in auto (auto's scale divides every candidate's score alike, so it
// changes nothing below): the three classic models, theta-m3, and three forecasts from ets's
// fits (the best damped-trend form, the best form, the Akaike-weighted combination of all
// forms). The candidate with the largest fold error leaves; each step's forecast is then the
// mean of the others' without the highest and the lowest, a trimmed mean (Jose and Winkler,
// "Simple robust averages of forecasts: Some empirical results", International Journal of
// Forecasting 24, 2008), weighted inversely to the squared fold errors (Bates and Granger,
// "The combination of forecasts", Operational Research Quarterly 20, 1969). Measured on the
// M3 series: fold errors of short series are too noisy to pick one candidate (far behind) or
// to combine only the three best (12.47 % against 12.32 %); the plain trimmed mean is as good
// there but loses on series with multiplicative seasons, where the weights let ets's variants
// carry the combination. The deviations are the root of the members' variances averaged with
// the same weights.
#include "ts/extended.h"
#include <math.h>

const ts_model TS_EXTENDED_MODELS[TS_EXTENDED_COUNT] = {
    {"ets", model_ets, model_ets_ex, 0},
    {"theta-m3", model_theta_m3, model_theta_m3_ex, 0},
};

const ts_model *ts_extended_find(const char *name) { return ts_model_in(TS_EXTENDED_MODELS, TS_EXTENDED_COUNT, name); }

namespace {

// The candidates: the classic models, theta-m3, then the ets variants.
constexpr int THETA_M3 = TS_MODEL_COUNT;
constexpr int ETS_FIRST = THETA_M3 + 1;
constexpr int CANDIDATES = ETS_FIRST + TS_ETS_VARIANTS;

// Runs classic candidate c, or theta-m3, on the first o values with the season of the
// extended rule (a season the detector finds without a significant peak is none here).
void run_candidate(int c, const double *y, int o, int steps, double *out, double *dev, int season, ts_scratch *sc) {
  const ts_model &model = c == THETA_M3 ? TS_EXTENDED_MODELS[1] : TS_MODELS[c];
  model.fn_ex(y, o, steps, out, dev, season, sc);
}

// The candidates with a finite score ordered by score, best first (the earlier candidate on
// ties); returns their count.
int rank(const double *score, int *order) {
  int count = 0;
  for (int c = 0; c < CANDIDATES; c++) {
    if (!isfinite(score[c])) continue;
    int j = count++;
    while (j > 0 && score[c] < score[order[j - 1]]) {
      order[j] = order[j - 1];
      j--;
    }
    order[j] = c;
  }
  return count;
}

// Step j's combination of the members' forecasts fc[order[r] * h + j] with weights w[r]:
// without the highest and the lowest forecast when there are three members or more (the
// first of equal ones leaves), the weighted mean of the others.
double trimmed_mean(const double *fc, const int *order, const double *w, int members, int h, int j) {
  int lo = 0, hi = 0;
  for (int r = 1; r < members; r++) {
    const double f = fc[(int64_t)order[r] * h + j];
    if (f < fc[(int64_t)order[lo] * h + j]) lo = r;
    if (f > fc[(int64_t)order[hi] * h + j]) hi = r;
  }
  if (members >= 3 && lo == hi) hi = lo == 0 ? 1 : 0; // all equal: any two leave
  double sum = 0, total = 0, plain = 0;
  int kept = 0;
  for (int r = 0; r < members; r++) {
    if (members >= 3 && (r == lo || r == hi)) continue;
    const double f = fc[(int64_t)order[r] * h + j];
    sum += w[r] * f;
    total += w[r];
    plain += f;
    kept++;
  }
  // Weights that all vanished (errors beyond 1e154 times the best): the plain mean.
  return total > 0 ? sum / total : plain / (double)kept;
}

// Step j's root of the members' variances dev[order[r] * h + j]^2 averaged with weights w[r].
// A member whose deviation overflowed (huge values in the classic models' replays) does not
// count while another has one; squares that overflow are scaled by the largest first.
double root_mean_square(const double *dev, const int *order, const double *w, int members, int h, int j) {
  double var = 0, wsum = 0, largest = 0;
  for (int r = 0; r < members; r++) {
    const double d = dev[(int64_t)order[r] * h + j];
    if (!isfinite(d)) continue;
    var += w[r] * d * d;
    wsum += w[r];
    largest = fabs(d) > largest ? fabs(d) : largest;
  }
  if (!(wsum > 0)) return INFINITY;
  if (isfinite(var)) return sqrt(var / wsum);
  double scaled = 0;
  for (int r = 0; r < members; r++) {
    const double d = dev[(int64_t)order[r] * h + j] / largest;
    if (isfinite(d)) scaled += w[r] * d * d;
  }
  return largest * sqrt(scaled / wsum);
}

} // namespace

const char *ts_auto_extended(const double *y, int n, int h, int g, int F, double *out, double *dev, ts_scratch *sc) {
  const int season = ts_extended_season(sc->calendar, y, n, sc, nullptr);
  const int64_t usable = (int64_t)n - h - g;
  const int64_t first = 2 * season > 8 ? 2 * season : 8; // earliest cut point
  const int k = usable >= first ? (usable - first + 1 < F ? (int)(usable - first + 1) : F) : 0;
  if (k == 0) {
    run_candidate(THETA_M3, y, n, h, out, dev, season, sc);
    return TS_EXTENDED_MODELS[1].name;
  }
  const int steps = h + g;
  const int64_t ets_size = TS_ETS_VARIANTS * (int64_t)k * steps;
  // ets's fold forecasts; every candidate's final forecasts and deviations; one run's buffer.
  HostPtr<double> buf(host_calloc<double>(ets_size + 2 * CANDIDATES * (int64_t)h + (int64_t)steps));
  HostPtr<int> cuts(host_calloc<int>(k));
  if (!buf || !cuts) return nullptr;
  double *ets_folds = buf.get(), *final_out = ets_folds + ets_size;
  double *final_dev = final_out + CANDIDATES * (int64_t)h, *tmp = final_dev + CANDIDATES * (int64_t)h;
  for (int i = 0; i < k; i++)
    cuts[i] = (int)(usable - k + 1 + i);
  const int variants =
      ts_ets_variants_rolling(y, n, h, final_out + ETS_FIRST * (int64_t)h, final_dev + ETS_FIRST * (int64_t)h, season,
                              cuts.get(), k, steps, ets_folds, sc);
  if (variants == TS_STOPPED) return nullptr;
  double score[CANDIDATES] = {};
  for (int v = 0; v < TS_ETS_VARIANTS; v++)
    if (!(variants >> v & 1)) score[ETS_FIRST + v] = INFINITY;
  for (int i = 0; i < k; i++) {
    const int o = cuts[i];
    const int fold_season = sc->calendar >= 1 ? season : ts_extended_season(0, y, o, sc, nullptr);
    for (int c = 0; c < CANDIDATES; c++) {
      const double *fc = tmp;
      if (c >= ETS_FIRST)
        fc = ets_folds + ((int64_t)(c - ETS_FIRST) * k + i) * steps;
      else
        run_candidate(c, y, o, steps, tmp, nullptr, fold_season, sc);
      for (int j = 0; j < h; j++)
        score[c] += fabs(y[o + g + j] - fc[g + j]);
    }
    if (ts_fit_stop(sc, (int64_t)o * ETS_FIRST)) return nullptr;
  }
  int order[CANDIDATES];
  int members = rank(score, order);
  if (members == 0) {
    run_candidate(THETA_M3, y, n, h, out, dev, season, sc);
    return TS_EXTENDED_MODELS[1].name;
  }
  if (members > 3) members--; // the worst leaves
  for (int r = 0; r < members; r++)
    if (order[r] < ETS_FIRST)
      run_candidate(order[r], y, n, h, final_out + (int64_t)order[r] * h, final_dev + (int64_t)order[r] * h, season,
                    sc);
  // Weights inverse to the squared fold error (Bates and Granger, "The combination of
  // forecasts", Operational Research Quarterly 20, 1969); equal when an error is zero.
  // Taken relative to the best error, so that no weight overflows.
  double w[CANDIDATES];
  const double best = score[order[0]];
  for (int r = 0; r < members; r++) {
    const double e = score[order[r]];
    w[r] = best > 0 ? (best / e) * (best / e) : e == 0 ? 1.0 : 0.0;
  }
  for (int j = 0; j < h; j++) {
    out[j] = trimmed_mean(final_out, order, w, members, h, j);
    dev[j] = root_mean_square(final_dev, order, w, members, h, j);
  }
  return "auto-extended";
}
