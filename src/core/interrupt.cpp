// The host's interrupt flag as a Cancel hook. sqlite3_is_interrupted() arrived in SQLite 3.41;
// an older host hands over a shorter routine table, so the member is read only when the host's
// version says the table has it. On such a host long work cannot see an interrupt and simply
// runs to its end, as it always did there.
#include "core/api.h"

namespace {

constexpr int FIRST_VERSION_WITH_IS_INTERRUPTED = 3041000;

int host_interrupted(void *db) { return sqlite3_api->is_interrupted((sqlite3 *)db); }

} // namespace

Cancel vornel0_cancel(sqlite3 *db) {
  Cancel c;
  if (db && sqlite3_libversion_number() >= FIRST_VERSION_WITH_IS_INTERRUPTED && sqlite3_api->is_interrupted) {
    c.poll = host_interrupted;
    c.arg = db;
  }
  return c;
}
