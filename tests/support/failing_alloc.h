// A failing allocator for out-of-memory sweeps, in the manner of SQLite's own malloc tests: it
// wraps the host's default allocator and, while armed, refuses allocation number fail_at (or
// every allocation from fail_at on). Installing it restarts the host, so no connection may be
// open while a FailingAllocator is made or destroyed.
#pragma once
#include <sqlite3.h>

namespace vt {

struct FailPlan {
  bool armed = false;      // counts and fails only while armed
  bool persistent = false; // fail every allocation from fail_at on, not only that one
  long fail_at = 0;        // 1-based number of the first allocation to refuse
  long count = 0;          // allocations seen while armed
  long failed = 0;         // allocations refused
};
extern FailPlan fail_plan;

// Arms the plan for a new run (resets the counters).
void arm_failures(long fail_at, bool persistent);

// Installs the wrapped allocator for the life of the object; without_lookaside also sends the
// connections' small allocations through it.
struct FailingAllocator {
  explicit FailingAllocator(bool without_lookaside = false);
  ~FailingAllocator();
  FailingAllocator(const FailingAllocator &) = delete;
  FailingAllocator &operator=(const FailingAllocator &) = delete;
};

} // namespace vt
