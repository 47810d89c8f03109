// Placeholder until this table-valued function is built.
#include "tabular/tabular.h"
const sqlite3_module vornelModule = VORNEL_STUB_MODULE;
