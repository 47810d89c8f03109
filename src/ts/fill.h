// Gap filling: rows sharing a time become one row with their mean, and the steps missing from
// the series' grid (ts/calendar.h) are inserted by a rule before any model sees the series.
#pragma once
#include "core/api.h"

enum ts_fill_rule {
  TS_FILL_NONE,     // the option was not given: the series stays as collected
  TS_FILL_LINEAR,   // on the straight line between the neighbours, by position on the grid
  TS_FILL_PREVIOUS, // the previous value
  TS_FILL_ZERO,     // 0
};

// The rule named by the option text ("linear", "previous", "zero"), or TS_FILL_NONE.
int ts_fill_rule_from_text(const char *text);

// Fills a series sorted by time, replacing its host arrays (*ts and *values, *count rows,
// *capacity allocated) when anything changes; a series without duplicates or gaps is left as
// it is. Returns SQLITE_OK; SQLITE_NOMEM; or SQLITE_TOOBIG, leaving the series untouched,
// when the filled series would hold more than max_points (*out_needed says how many).
int ts_fill_arrays(int64_t **ts, double **values, int32_t *count, int32_t *capacity, int rule, int64_t max_points,
                   int64_t *out_needed);
