// Placeholder until this table-valued function is built.
#include "distill/distill.h"
const sqlite3_module distillModule = VORNEL_STUB_MODULE;
