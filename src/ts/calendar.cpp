// Calendar grids of a series: whole calendar months (monthly, quarterly, yearly data, also on
// month ends), Monday-to-Friday data, or the most common fixed step. An average step cannot
// say "the first of next month" or "next Monday"; these rules can.
#include "ts/calendar.h"
#include <stdio.h>
#include <stdlib.h>

namespace {

constexpr int64_t HOUR_MS = 3600000;
constexpr int64_t WEEK_MS = 7 * TS_DAY_MS;
// Years beyond this are far outside what the formatter prints; clamping keeps the arithmetic
// inside 64 bits.
constexpr int64_t YEAR_LIMIT = 300000;

// One time split into its civil parts.
struct civil_time {
  int64_t days;   // days since 1970-01-01
  int64_t tod;    // milliseconds into the day
  int64_t month;  // year * 12 + month - 1
  int day;        // day of the month
  bool month_end; // the month's last day
};

civil_time split(int64_t t) {
  civil_time c;
  c.days = civil_floor_div(t, TS_DAY_MS);
  c.tod = t - c.days * TS_DAY_MS;
  int64_t y;
  int m;
  civil_date_from_days(c.days, &y, &m, &c.day);
  c.month = y * 12 + (m - 1);
  c.month_end = c.day == civil_month_days(y, m);
  return c;
}

// Monday 0 .. Sunday 6 (1970-01-01 was a Thursday), and weeks that start on Monday.
int64_t week_of(int64_t days) { return civil_floor_div(days + 3, 7); }
int weekday_of(int64_t days) { return (int)(days + 3 - week_of(days) * 7); }

// Every neighbour pair a whole number of months apart, on the same day and time of day (or
// both on month ends at the same time of day).
bool months_grid(const int64_t *ts, int64_t n, ts_grid *out) {
  civil_time prev = {};
  bool have_prev = false, all_end = true, past_28 = false;
  int64_t smallest = INT64_MAX;
  for (int64_t i = 0; i < n; i++) {
    if (have_prev && ts[i] == ts[i - 1]) continue;
    civil_time c = split(ts[i]);
    all_end = all_end && c.month_end;
    past_28 = past_28 || c.day > 28;
    if (have_prev) {
      const int64_t dm = c.month - prev.month;
      if (c.tod != prev.tod || dm < 1) return false;
      if (c.day != prev.day && !(c.month_end && prev.month_end)) return false;
      if (dm < smallest) smallest = dm;
    }
    prev = c;
    have_prev = true;
  }
  if (smallest == INT64_MAX || smallest > INT32_MAX) return false;
  out->kind = TS_GRID_MONTHS;
  out->months = (int32_t)smallest;
  // February 28ths of common years alone are read as that day, not as month ends.
  out->month_end = all_end && past_28;
  out->step_ms = 0;
  return true;
}

// Monday to Friday at one time of day, one-day steps among them, and at least one weekend
// crossed (a few days inside one week are plain daily data).
bool weekday_grid(const int64_t *ts, int64_t n, ts_grid *out) {
  int64_t prev_days = 0, tod0 = 0, smallest = INT64_MAX;
  bool have_prev = false, crossed = false;
  for (int64_t i = 0; i < n; i++) {
    if (have_prev && ts[i] == ts[i - 1]) continue;
    const int64_t days = civil_floor_div(ts[i], TS_DAY_MS), tod = ts[i] - days * TS_DAY_MS;
    if (weekday_of(days) >= 5) return false;
    if (have_prev) {
      if (tod != tod0) return false;
      if (days - prev_days < smallest) smallest = days - prev_days;
      crossed = crossed || week_of(days) > week_of(prev_days);
    } else {
      tod0 = tod;
    }
    prev_days = days;
    have_prev = true;
  }
  if (smallest != 1 || !crossed) return false;
  out->kind = TS_GRID_WEEKDAYS;
  out->months = 0;
  out->month_end = 0;
  out->step_ms = TS_DAY_MS;
  return true;
}

int cmp_int64(const void *a, const void *b) {
  int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
  return (x > y) - (x < y);
}

// The most common positive step (the smaller on ties); 0 without two distinct times. Without
// memory for the sort it degrades to the smallest step.
int64_t most_common_step(const int64_t *ts, int64_t n) {
  int64_t first = 0, smallest = INT64_MAX, count = 0;
  bool all_same = true;
  for (int64_t i = 1; i < n; i++) {
    const int64_t d = ts[i] - ts[i - 1];
    if (d <= 0) continue;
    if (count++ == 0) first = d;
    all_same = all_same && d == first;
    if (d < smallest) smallest = d;
  }
  if (count == 0) return 0;
  if (all_same) return first;
  HostPtr<int64_t> steps(host_calloc<int64_t>(count));
  if (!steps) return smallest;
  int64_t k = 0;
  for (int64_t i = 1; i < n; i++)
    if (ts[i] > ts[i - 1]) steps[k++] = ts[i] - ts[i - 1];
  qsort(steps.get(), (size_t)count, sizeof(int64_t), cmp_int64);
  int64_t best = steps[0], best_run = 0, run = 0;
  for (int64_t i = 0; i < count; i++) {
    run = i > 0 && steps[i] == steps[i - 1] ? run + 1 : 1;
    if (run > best_run) {
      best_run = run;
      best = steps[i];
    }
  }
  return best;
}

} // namespace

void ts_calendar_grid(const int64_t *ts, int64_t n, ts_grid *out) {
  *out = ts_grid{};
  if (!months_grid(ts, n, out) && !weekday_grid(ts, n, out)) *out = ts_grid{};
}

void ts_series_grid(const int64_t *ts, int64_t n, ts_grid *out) {
  ts_calendar_grid(ts, n, out);
  if (out->kind != TS_GRID_NONE) return;
  const int64_t step = most_common_step(ts, n);
  if (step > 0) {
    out->kind = TS_GRID_FIXED;
    out->step_ms = step;
  }
}

int64_t ts_grid_advance(const ts_grid *g, int64_t t, int64_t k) {
  switch (g->kind) {
  case TS_GRID_MONTHS: {
    const civil_time c = split(t);
    const int64_t month = c.month + k * g->months;
    int64_t y = civil_floor_div(month, 12);
    const int m = (int)(month - y * 12) + 1;
    if (y > YEAR_LIMIT) y = YEAR_LIMIT;
    if (y < -YEAR_LIMIT) y = -YEAR_LIMIT;
    const int last = civil_month_days(y, m);
    const int day = g->month_end || c.day > last ? last : c.day;
    return civil_days_from_date(y, m, day) * TS_DAY_MS + c.tod;
  }
  case TS_GRID_WEEKDAYS: {
    const int64_t days = civil_floor_div(t, TS_DAY_MS), tod = t - days * TS_DAY_MS;
    const int64_t index = week_of(days) * 5 + weekday_of(days) + k;
    const int64_t week = civil_floor_div(index, 5);
    return (week * 7 + (index - week * 5) - 3) * TS_DAY_MS + tod;
  }
  case TS_GRID_FIXED:
    return t + k * g->step_ms;
  default:
    return t;
  }
}

int64_t ts_grid_between(const ts_grid *g, int64_t a, int64_t b) {
  if (b <= a) return 0;
  switch (g->kind) {
  case TS_GRID_MONTHS: {
    const int64_t dm = split(b).month - split(a).month;
    return (dm + g->months - 1) / g->months - 1;
  }
  case TS_GRID_WEEKDAYS: {
    const int64_t da = civil_floor_div(a, TS_DAY_MS), db = civil_floor_div(b, TS_DAY_MS);
    return (week_of(db) * 5 + weekday_of(db)) - (week_of(da) * 5 + weekday_of(da)) - 1;
  }
  case TS_GRID_FIXED:
    return (b - a - 1) / g->step_ms;
  default:
    return 0;
  }
}

int64_t ts_grid_missing(const ts_grid *g, const int64_t *ts, int64_t n, int64_t limit) {
  int64_t missing = 0;
  for (int64_t i = 1; i < n && missing <= limit; i++)
    if (ts[i] > ts[i - 1]) missing += ts_grid_between(g, ts[i - 1], ts[i]);
  return missing;
}

int64_t ts_future_stamp(const ts_grid *calendar, int64_t last, int64_t average_step_ms, int64_t k) {
  if (calendar->kind == TS_GRID_MONTHS || calendar->kind == TS_GRID_WEEKDAYS) return ts_grid_advance(calendar, last, k);
  return last + k * average_step_ms;
}

bool ts_grid_step_text(const ts_grid *g, char *buf, size_t size) {
  if (g->kind == TS_GRID_WEEKDAYS) {
    snprintf(buf, size, "1 weekday");
    return true;
  }
  if (g->kind != TS_GRID_MONTHS) return false;
  const bool years = g->months % 12 == 0;
  const int32_t count = years ? g->months / 12 : g->months;
  snprintf(buf, size, "%d %s%s", (int)count, years ? "year" : "month", count == 1 ? "" : "s");
  return true;
}

int ts_grid_unit(const ts_grid *g) {
  switch (g->kind) {
  case TS_GRID_MONTHS:
    return g->months < 12 && 12 % g->months == 0 ? 12 / g->months : 0;
  case TS_GRID_WEEKDAYS:
    return 5;
  case TS_GRID_FIXED:
    return g->step_ms == TS_DAY_MS ? 7 : g->step_ms == HOUR_MS ? 24 : g->step_ms == WEEK_MS ? 52 : 0;
  default:
    return 0;
  }
}

int ts_calendar_unit(const int64_t *ts, int64_t n) {
  ts_grid g;
  ts_series_grid(ts, n, &g);
  return ts_grid_unit(&g);
}
