// The SQL surface that loading registers, against a checked-in list.
#include "support/harness.h"

TEST(ApiSurface, FunctionsAndModules) {
  vt::Db db;
  vt::Result f = db.run("SELECT name, type, narg, flags & 0x800 != 0 FROM pragma_function_list WHERE name LIKE 'vornel%' "
                        "OR name IN ('forecast','detect_anomalies','describe_series') ORDER BY name, narg");
  ASSERT_TRUE(f.ok) << f.error;
  EXPECT_EQ(f.text(), "describe_series|a|2|1\n"
                      "detect_anomalies|a|2|1\n"
                      "detect_anomalies|a|3|1\n"
                      "forecast|s|2|1\n"
                      "forecast|a|3|0\n"
                      "forecast|a|4|0\n"
                      "vornel_debug|s|0|1\n"
                      "vornel_register|s|2|0\n"
                      "vornel_ulid|s|1|1\n"
                      "vornel_version|s|0|1");
  vt::Result m = db.run("SELECT name FROM pragma_module_list WHERE name IN ('backtest','forecast_rows','anomaly_rows',"
                        "'vornel','distill_vornel','distill_forecast') ORDER BY name");
  ASSERT_TRUE(m.ok) << m.error;
  EXPECT_EQ(m.text(), "anomaly_rows\nbacktest\ndistill_forecast\ndistill_vornel\nforecast_rows\nvornel");
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
