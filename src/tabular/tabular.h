// Tabular inference: the vornel table-valued function, the student runtime and blob formats.
#pragma once
#include "core/api.h"

extern const sqlite3_module vornelModule;
