// Placeholder until this table-valued function is built.
#include "fstudent/fstudent.h"
const sqlite3_module forecastDistillModule = VORNEL_STUB_MODULE;
