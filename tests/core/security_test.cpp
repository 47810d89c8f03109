// What a database file made by someone else can make the extension do. Every function's
// registration flags against a checked-in table; views and triggers over the writers and the
// SQL runners are refused even with trusted_schema on; the readers keep working in views with
// trusted_schema off.
#include "support/harness.h"
#include <algorithm>

namespace {

// The flags as pragma_function_list shows them (it leaves out SQLITE_RESULT_SUBTYPE, which
// vornel_version also has).
constexpr int DETERMINISTIC = 0x800, DIRECTONLY = 0x80000, INNOCUOUS = 0x200000;

struct Expected {
  const char *name;
  const char *type;
  int narg;
  int flags;
};

const Expected FUNCTIONS[] = {
    {"describe_series", "a", 2, DETERMINISTIC | INNOCUOUS},
    {"detect_anomalies", "a", 2, DETERMINISTIC | INNOCUOUS},
    {"detect_anomalies", "a", 3, DETERMINISTIC | INNOCUOUS},
    {"forecast", "s", 2, DETERMINISTIC | INNOCUOUS},
    {"forecast", "a", 3, INNOCUOUS}, // reads the registry's students: not a function of its arguments alone
    {"forecast", "a", 4, INNOCUOUS},
    {"vornel_debug", "s", 0, DETERMINISTIC | INNOCUOUS},
    {"vornel_register", "s", 2, DIRECTONLY},
    {"vornel_ulid", "s", 1, DETERMINISTIC | INNOCUOUS},
    {"vornel_version", "s", 0, DETERMINISTIC | INNOCUOUS},
};

const std::string SERIES = "CREATE TABLE s AS WITH RECURSIVE c(t) AS (SELECT 1 UNION ALL SELECT t + 1 FROM c "
                           "WHERE t < 20) SELECT t, t % 5 + 10.0 AS v FROM c;";

} // namespace

// Every function that loading adds (those of a connection without the extension left out).
TEST(Security, RegistrationFlags) {
  const std::string list = "SELECT name, type, narg, flags FROM pragma_function_list WHERE builtin = 0 "
                           "ORDER BY name, narg";
  std::vector<std::string> host = vt::Db(":memory:", false).run(list).rows;
  std::string got, want;
  for (const std::string &row : vt::Db().run(list).rows)
    if (std::find(host.begin(), host.end(), row) == host.end()) got += (got.empty() ? "" : "\n") + row;
  for (const Expected &e : FUNCTIONS)
    want += std::string(want.empty() ? "" : "\n") + e.name + "|" + e.type + "|" + std::to_string(e.narg) + "|" +
            std::to_string(e.flags);
  EXPECT_EQ(got, want);
}

// A file whose views and triggers call the writers, or smuggle SQL into backtest and vornel:
// opening it and reading the view refuses, even with the library default trusted_schema=1.
TEST(Security, HostileSchemaCannotReachDirectOnlyFunctions) {
  vt::TempFile file("hostile_schema.db");
  const std::string insert_student = "SELECT * FROM distill_forecast(''SELECT 1, 2'', "
                                     "''{\"context\":1,\"horizon\":1,\"student_id\":\"x\"}'')";
  const char *const views[][2] = {
      {"reg", "SELECT vornel_register('r', '/etc/passwd')"},
      {"dv", "SELECT * FROM distill_vornel('SELECT 1 AS a, 2 AS y', '{\"target\":\"y\",\"student_id\":\"x\"}')"},
      {"df", "SELECT * FROM distill_forecast('SELECT 1, 2', '{\"context\":1,\"horizon\":1,\"student_id\":\"x\"}')"},
  };
  {
    vt::Db maker(file.path);
    maker.exec(SERIES);
    for (auto &v : views)
      maker.exec(std::string("CREATE VIEW ") + v[0] + " AS " + v[1]);
    maker.exec("CREATE VIEW bt AS SELECT * FROM backtest('SELECT t, v FROM s, (" + insert_student + ")', 3)");
    maker.exec("CREATE VIEW vn AS SELECT * FROM vornel(NULL, 'SELECT 1', '{}')");
    maker.exec("CREATE TABLE log(x); CREATE TRIGGER t AFTER INSERT ON log BEGIN "
               "SELECT vornel_register('r', '/etc/passwd'); END;");
  }
  vt::Db victim(file.path);
  victim.exec("PRAGMA trusted_schema = 1");
  EXPECT_EQ(victim.error("SELECT * FROM reg"), "unsafe use of vornel_register()");
  EXPECT_EQ(victim.error("SELECT * FROM dv"), "unsafe use of virtual table \"distill_vornel\"");
  EXPECT_EQ(victim.error("SELECT * FROM df"), "unsafe use of virtual table \"distill_forecast\"");
  EXPECT_EQ(victim.error("SELECT * FROM bt"), "unsafe use of virtual table \"backtest\"");
  EXPECT_EQ(victim.error("SELECT * FROM vn"), "unsafe use of virtual table \"vornel\"");
  EXPECT_EQ(victim.error("INSERT INTO log VALUES (1)"), "unsafe use of vornel_register()");
  EXPECT_EQ(victim.one("SELECT count(*) FROM sqlite_schema WHERE name = '_vornel_models'"), "0");
  // Written by the user at the top level, the same calls run.
  EXPECT_NE(victim.one("SELECT count(*) FROM backtest('SELECT t, v FROM s', 3)"), "0");
}

// With trusted_schema off, the readers still work inside views and triggers.
TEST(Security, ReadersWorkInViewsWithTrustedSchemaOff) {
  vt::TempFile file("reader_views.db");
  {
    vt::Db maker(file.path);
    maker.exec(SERIES);
    maker.exec("CREATE VIEW fc AS SELECT forecast(t, v, 2) AS doc FROM s;"
               "CREATE VIEW an AS SELECT detect_anomalies(t, v) AS doc FROM s;"
               "CREATE VIEW fr AS SELECT count(*) AS n FROM fc, forecast_rows(fc.doc);"
               "CREATE VIEW ar AS SELECT count(*) AS n FROM an, anomaly_rows(an.doc);"
               "CREATE VIEW meta AS SELECT json_valid(vornel_version()) AND length(vornel_debug()) > 0 "
               "AND length(vornel_ulid('2024-01-01')) = 26 AS ok;");
  }
  vt::Db db(file.path);
  db.exec("PRAGMA trusted_schema = 0");
  EXPECT_EQ(db.one("SELECT json_extract(doc, '$.status') FROM fc"), "ok");
  EXPECT_EQ(db.one("SELECT json_extract(doc, '$.status') FROM an"), "ok");
  EXPECT_EQ(db.one("SELECT n FROM fr"), "2");
  EXPECT_EQ(db.one("SELECT n > 0 FROM ar"), "1");
  EXPECT_EQ(db.one("SELECT ok FROM meta"), "1");
}
