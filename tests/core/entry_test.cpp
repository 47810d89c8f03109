// Loading, registration and the utility functions, through SQL on the pinned host.
#include "support/harness.h"

TEST(Entry, VersionIsJsonWithSubtype) {
  vt::Db db;
  EXPECT_EQ(db.one("SELECT vornel_version()"),
            "{\"extension\":\"v0.0.1-alpha.6\",\"spec\":\"0005-draft\",\"runtimes\":[\"stat\",\"tree\"],\"models\":[]}");
  EXPECT_EQ(db.one("SELECT json_extract(vornel_version(),'$.runtimes[1]')"), "tree");
  EXPECT_EQ(db.one("SELECT json_array(vornel_version())"),
            "[{\"extension\":\"v0.0.1-alpha.6\",\"spec\":\"0005-draft\",\"runtimes\":[\"stat\",\"tree\"],\"models\":[]}]");
}

TEST(Entry, ForecastMisuse) {
  vt::Db db;
  EXPECT_EQ(db.error("SELECT forecast('SELECT 1', 3)"),
            "VORNEL_ERR_SCHEMA: forecast does not take a query string; it is an aggregate over your rows: "
            "SELECT forecast(ts, value, horizon[, options]) FROM ...");
}
