// The SQL surface that loading registers: every row it adds to pragma_function_list and
// pragma_module_list, against the checked-in list api_surface.txt beside this file.
#include "support/harness.h"
#include <fstream>
#include <sstream>

TEST(ApiSurface, FunctionsAndModules) {
  std::string got = "# name|builtin|type|enc|narg|flags of pragma_function_list, then modules\n";
  for (const std::string &row : vt::added_by_extension("SELECT * FROM pragma_function_list"))
    got += row + "\n";
  for (const std::string &row : vt::added_by_extension("SELECT 'module ' || name FROM pragma_module_list"))
    got += row + "\n";
  std::ifstream in(std::string(VORNEL_SOURCE_DIR) + "/tests/core/api_surface.txt");
  std::stringstream want;
  want << in.rdbuf();
  EXPECT_EQ(got, want.str()) << "update tests/core/api_surface.txt (and docs/) when the surface changes on purpose";
}

TEST(ApiSurface, ModulesAreEponymousOnly) {
  vt::Db db;
  for (const char *m : {"backtest", "forecast_rows", "anomaly_rows", "vornel", "distill_vornel", "distill_forecast"}) {
    // DDL that fails resets the schema cache, so this runs outside the memory-balanced runner.
    char *err = nullptr;
    int rc = sqlite3_exec(db.handle(), (std::string("CREATE VIRTUAL TABLE t USING ") + m).c_str(), 0, 0, &err);
    EXPECT_EQ(rc, SQLITE_ERROR) << m;
    EXPECT_NE(std::string(err ? err : "").find("no such module"), std::string::npos) << m << ": " << (err ? err : "");
    sqlite3_free(err);
  }
}
