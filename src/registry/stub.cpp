// Placeholder until the registry is built.
#include "registry/registry.h"
void vornel_register_func(sqlite3_context *ctx, int, sqlite3_value **) {
  sqlite3_result_error(ctx, "VORNEL_ERR_RUNTIME_UNAVAILABLE: vornel_register is not in this build", -1);
}
