// Candidate lists of the forecast final: their records and their scoring by rolling-origin
// error. A list holds statistical models and, once loaded by the student hooks, students.
#include "ts/candidates.h"
#include <math.h>

namespace {
constexpr int FIRST_CANDIDATES = 11;
}

void fc_candidate_free(fc_candidate *c) {
  if (!c) return;
  sqlite3_free(c->owned_name);
  if (c->student) fc_student_free(c->student);
  c->owned_name = nullptr;
  c->student = nullptr;
}

bool fc_list_push(fc_candidate_list *list, const fc_candidate &c) {
  if (list->count == list->cap) {
    int want = list->cap ? list->cap * 2 : FIRST_CANDIDATES;
    fc_candidate *grown = (fc_candidate *)sqlite3_realloc64(list->items, (sqlite3_uint64)want * sizeof(fc_candidate));
    if (!grown) {
      fc_candidate lost = c;
      fc_candidate_free(&lost);
      return false;
    }
    list->items = grown;
    list->cap = want;
  }
  list->items[list->count++] = c;
  return true;
}

void fc_models_free(fc_candidate_list *list) {
  if (!list) return;
  for (int i = 0; i < list->count; i++)
    fc_candidate_free(&list->items[i]);
  sqlite3_free(list->items);
  list->items = nullptr;
  list->count = list->cap = 0;
}

int fc_select_candidates(const fc_candidate_list *list, const double *y, int n, int h, int g, int F, ts_scratch *sc,
                         double *out_scores) {
  const int k = ts_fold_count(n, h, g, F);
  if (k == 0 || list->count == 0) return -1;
  double *fc = ts_scratch_get(sc, TS_SLOT_FOLD, (int64_t)h + g);
  HostPtr<double> sums(host_calloc<double>(list->count));
  if (!fc || !sums) return -2;
  bool any_period = false;
  for (int c = 0; c < list->count; c++)
    any_period = any_period || (list->items[c].model && list->items[c].model->uses_period);
  for (int i = 0; i < k; i++) {
    const int o = (int)ts_fold_cut(n, h, g, k, i);
    // The seasonal models would each detect the same period on this prefix: find it once.
    const int period = any_period ? (o >= 6 ? detect_period_ex(y, o, sc) : 0) : -1;
    for (int c = 0; c < list->count; c++) {
      const fc_candidate &cand = list->items[c];
      if (ts_fit_stop(sc, o)) return TS_STOPPED;
      if (cand.model)
        cand.model->fn_ex(y, o, h + g, fc, nullptr, cand.model->uses_period ? period : -1, sc);
      else if (fc_student_fold_forecast(&cand, y, n, o, h + g, fc) != SQLITE_OK)
        return -2;
      double sum = sums[c];
      for (int j = 0; j < h; j++)
        sum += fabs(y[o + g + j] - fc[g + j]);
      sums[c] = sum;
    }
  }
  const double pairs = (double)k * (double)h;
  if (out_scores)
    for (int c = 0; c < list->count; c++)
      out_scores[c] = sums[c] / pairs;
  int best = 0;
  double best_score = sums[0] / pairs;
  for (int c = 1; c < list->count; c++) {
    double score = sums[c] / pairs;
    if (ts_score_better(score, best_score)) {
      best_score = score;
      best = c;
    }
  }
  return best;
}
