// Placeholder until this table-valued function is built.
#include "backtest/backtest.h"
const sqlite3_module backtestModule = VORNEL_STUB_MODULE;
