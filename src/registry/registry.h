// Model registry: the _vornel_models table, content hashing and vornel_register.
#pragma once
#include "core/api.h"

void vornel_register_func(sqlite3_context *ctx, int argc, sqlite3_value **argv);
