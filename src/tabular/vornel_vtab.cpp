// The vornel table-valued function (being built): result rows and the module record.
#include "tabular/tabular.h"

void vornel0_results_free(vornel0_result *rows, int64_t count) {
  if (!rows) return;
  for (int64_t i = 0; i < count; i++) {
    sqlite3_free(rows[i].ref_text);
    sqlite3_free(rows[i].prediction);
  }
  sqlite3_free(rows);
}

const sqlite3_module vornelModule = VORNEL_STUB_MODULE;
