// Back-testing: the backtest table-valued function.
#pragma once
#include "core/api.h"

extern const sqlite3_module backtestModule;
