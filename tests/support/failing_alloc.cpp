#include "support/failing_alloc.h"

namespace vt {

FailPlan fail_plan;

namespace {

sqlite3_mem_methods real_methods;

bool should_fail() {
  if (!fail_plan.armed) return false;
  fail_plan.count++;
  if (fail_plan.count == fail_plan.fail_at || (fail_plan.persistent && fail_plan.count > fail_plan.fail_at)) {
    fail_plan.failed++;
    return true;
  }
  return false;
}
void *wrapped_malloc(int n) { return should_fail() ? nullptr : real_methods.xMalloc(n); }
void *wrapped_realloc(void *p, int n) { return should_fail() ? nullptr : real_methods.xRealloc(p, n); }

} // namespace

void arm_failures(long fail_at, bool persistent) {
  fail_plan.fail_at = fail_at;
  fail_plan.persistent = persistent;
  fail_plan.count = fail_plan.failed = 0;
  fail_plan.armed = true;
}

FailingAllocator::FailingAllocator(bool without_lookaside) {
  sqlite3_shutdown();
  sqlite3_config(SQLITE_CONFIG_GETMALLOC, &real_methods);
  sqlite3_mem_methods wrapped = real_methods;
  wrapped.xMalloc = wrapped_malloc;
  wrapped.xRealloc = wrapped_realloc;
  sqlite3_config(SQLITE_CONFIG_MALLOC, &wrapped);
  if (without_lookaside) sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 1);
  sqlite3_initialize();
}

FailingAllocator::~FailingAllocator() {
  fail_plan.armed = false;
  sqlite3_shutdown();
  sqlite3_config(SQLITE_CONFIG_MALLOC, &real_methods);
  sqlite3_initialize();
}

} // namespace vt
