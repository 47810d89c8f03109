// The statements and routines the out-of-memory sweep runs. One entry per case.
#pragma once
#include "support/harness.h"
#include <string>

namespace oom {

// What a run produced: the rendered rows (one per line) or the error text, and its code.
struct Outcome {
  int rc = SQLITE_OK;
  std::string text;
};

struct Case {
  const char *name;
  const char *setup;          // run before arming; may be null
  const char *sql;            // the statement under test, or null when fn is used
  Outcome (*fn)(sqlite3 *db); // an internal routine under test (through the static copy)
  long cap;                   // highest N tried; 0 for DEFAULT_CAP
  // Numeric models answer with less when memory runs out (no season, simpler deviations,
  // another model); such a case may succeed with other numbers but the same shape.
  bool degrades = false;
  // Run unarmed after the statement: it must show the state before the statement or the state
  // after a clean run, never a third one (a student trained on fewer rows, a half-made row).
  const char *check = nullptr;
};

inline constexpr long DEFAULT_CAP = 4000;

extern const Case CASES[];
extern const int CASE_COUNT;

} // namespace oom
