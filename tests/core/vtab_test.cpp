// The table-valued function kit: the best-index rule for argument constraints, checked on
// hand-made planner requests, and where each function may be used, through SQL.
#include "backtest/backtest.h"
#include "support/harness.h"

namespace {

// A planner request over the given constraints (column, usable), all equalities.
struct Request {
  sqlite3_index_info::sqlite3_index_constraint cons[6] = {};
  sqlite3_index_info::sqlite3_index_constraint_usage usage[6] = {};
  sqlite3_index_info info = {};
  Request(std::initializer_list<std::pair<int, bool>> list) {
    int n = 0;
    for (auto [col, usable] : list) {
      cons[n].iColumn = col;
      cons[n].op = SQLITE_INDEX_CONSTRAINT_EQ;
      cons[n].usable = usable;
      n++;
    }
    info.nConstraint = n;
    info.aConstraint = cons;
    info.aConstraintUsage = usage;
  }
};

// backtest: columns 12, 13 and 14 are query, horizon and options; the first two required.
constexpr int Q = 12, H = 13, O = 14;

TEST(VtabKit, UsableEqualityWinsOverAnEarlierUnusableOne) {
  Request r{{Q, false}, {Q, true}, {H, true}};
  ASSERT_EQ(vtab_plan(&BACKTEST_SHAPE, &r.info), SQLITE_OK);
  EXPECT_EQ(r.usage[0].argvIndex, 0);
  EXPECT_EQ(r.usage[1].argvIndex, 1);
  EXPECT_EQ(r.usage[2].argvIndex, 2);
  EXPECT_TRUE(r.usage[1].omit && r.usage[2].omit);
  EXPECT_EQ(r.info.estimatedCost, 1000.0);
}

TEST(VtabKit, OnlyUnusableAsksForAnotherPlanAndMissingIsAnError) {
  Request unusable{{Q, true}, {H, false}};
  EXPECT_EQ(vtab_plan(&BACKTEST_SHAPE, &unusable.info), SQLITE_CONSTRAINT);
  Request optional_unusable{{Q, true}, {H, true}, {O, false}};
  EXPECT_EQ(vtab_plan(&BACKTEST_SHAPE, &optional_unusable.info), SQLITE_CONSTRAINT);
  Request missing{{Q, true}};
  EXPECT_EQ(vtab_plan(&BACKTEST_SHAPE, &missing.info), SQLITE_ERROR);
}

TEST(VtabKit, RepeatedConstraintIsLeftToTheHostAndSlotsFollowGivenArguments) {
  Request r{{O, true}, {Q, true}, {Q, true}, {H, true}};
  ASSERT_EQ(vtab_plan(&BACKTEST_SHAPE, &r.info), SQLITE_OK);
  EXPECT_EQ(r.usage[1].argvIndex, 1);
  EXPECT_EQ(r.usage[2].argvIndex, 0);
  EXPECT_EQ(r.usage[3].argvIndex, 2);
  EXPECT_EQ(r.usage[0].argvIndex, 3);
  EXPECT_EQ(r.info.idxNum, 7);
}

TEST(VtabKit, DirectOnlyAndInnocuousThroughViews) {
  vt::Db db;
  db.exec("CREATE TABLE s(ts INTEGER, v REAL); INSERT INTO s VALUES (1,1),(2,2),(3,3),(4,4),(5,5),(6,6);"
          "CREATE VIEW bt AS SELECT * FROM backtest('SELECT ts, v FROM s', 1);"
          "CREATE VIEW fr AS SELECT step FROM forecast_rows("
          "'{\"status\":\"ok\",\"rows\":[{\"step\":1},{\"step\":2}]}');");
  EXPECT_EQ(db.error("SELECT count(*) FROM bt"), "unsafe use of virtual table \"backtest\"");
  db.exec("PRAGMA trusted_schema=0");
  EXPECT_EQ(db.run("SELECT * FROM fr").text(), "1\n2");
}

} // namespace
