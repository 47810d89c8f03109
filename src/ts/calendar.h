// The grid a series lives on, read from its sorted times: whole calendar months, Monday to
// Friday, or a fixed step. Future time stamps, gap filling, describe_series and the season
// unit all take their calendar rules from here.
#pragma once
#include "core/api.h"

enum ts_grid_kind {
  TS_GRID_NONE,     // fewer than two distinct times
  TS_GRID_MONTHS,   // every step is a whole number of calendar months
  TS_GRID_WEEKDAYS, // Monday to Friday at one time of day, steps of whole days across weekends
  TS_GRID_FIXED,    // a step in milliseconds
};

struct ts_grid {
  int kind;        // ts_grid_kind
  int32_t months;  // TS_GRID_MONTHS: the smallest month count between neighbours
  int month_end;   // TS_GRID_MONTHS: every point is its month's last day (one after the 28th)
  int64_t step_ms; // TS_GRID_FIXED: the step; TS_GRID_WEEKDAYS: one day
};

inline constexpr int64_t TS_DAY_MS = 86400000;

// The calendar grid (months, then weekdays) of ascending times (equal times allowed), or
// kind TS_GRID_NONE when neither rule holds.
void ts_calendar_grid(const int64_t *ts, int64_t n, ts_grid *out);
// The calendar grid, else the most common step between distinct times (TS_GRID_FIXED; the
// smaller step on ties), else TS_GRID_NONE.
void ts_series_grid(const int64_t *ts, int64_t n, ts_grid *out);
// The time k steps of the grid after t (t on the grid). Months keep t's day, clamped to the
// month's length, or the month's last day for month-end grids.
int64_t ts_grid_advance(const ts_grid *g, int64_t t, int64_t k);
// Grid points strictly between a and b (a < b, both on the grid).
int64_t ts_grid_between(const ts_grid *g, int64_t a, int64_t b);
// Grid points missing from ascending times (equal times count once): the sum of
// ts_grid_between over neighbouring distinct times, stopping once it passes limit.
int64_t ts_grid_missing(const ts_grid *g, const int64_t *ts, int64_t n, int64_t limit);
// The k-th future time stamp of a forecast: on the calendar grid when there is one, else
// last + k * average_step_ms.
int64_t ts_future_stamp(const ts_grid *calendar, int64_t last, int64_t average_step_ms, int64_t k);
// The step as a user reads it: "1 month", "3 months", "1 year", "2 years", "1 weekday" into
// buf (at least 24 bytes); false for a fixed step or no grid (the caller writes seconds).
bool ts_grid_step_text(const ts_grid *g, char *buf, size_t size);
// The calendar unit of a series, the season its grid suggests: 12 monthly, 4 quarterly (and
// 12 / m for other divisors m of a year), 5 on weekdays, 7 daily, 24 hourly, 52 weekly, 0 for
// yearly data and any other step.
int ts_calendar_unit(const int64_t *ts, int64_t n);
int ts_grid_unit(const ts_grid *g);
