// forecast_rows and anomaly_rows through SQL: schemas, argument rules, document checks and the
// expansion of hand-written documents.
#include "support/harness.h"

namespace {

const char *ANOMALY_DOC =
    "{\"model\":\"theta-classic\",\"status\":\"ok\",\"rows\":["
    "{\"ts\":\"2024-01-01T00:00:00Z\",\"value\":1.5,\"forecast\":null,\"lower_bound\":null,\"upper_bound\":null,"
    "\"is_anomaly\":0,\"anomaly_probability\":0},"
    "{\"ts\":\"2024-01-02T00:00:00Z\",\"value\":9,\"forecast\":2.25,\"lower_bound\":1,\"upper_bound\":3.5,"
    "\"is_anomaly\":1,\"anomaly_probability\":0.998},"
    "{\"ts\":7,\"value\":null,\"forecast\":-0.5,\"lower_bound\":-1,\"upper_bound\":0,\"anomaly_probability\":0.25}]}";

const char *FORECAST_DOC =
    "{\"model\":\"tsb\",\"status\":\"truncated\",\"rows\":["
    "{\"step\":1,\"forecast_timestamp\":\"2024-01-08T00:00:00Z\",\"forecast\":10,\"lower_bound\":8,\"upper_bound\":12},"
    "{\"step\":2,\"forecast_timestamp\":\"2024-01-09T00:00:00Z\",\"forecast\":11.5,\"lower_bound\":null,"
    "\"upper_bound\":null}]}";

// json_each is itself an eponymous table: its first use on a connection connects it for the
// connection's lifetime, which the per-statement memory balance would count as a leak.
struct JsonDb : vt::Db {
  JsonDb() { exec("SELECT count(*) FROM json_each('[]')"); }
};

std::string q(const std::string &s) {
  std::string out = "'";
  for (char c : s) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

} // namespace

TEST(Xrows, Schemas) {
  JsonDb db;
  // Reading the schema connects the tables for the connection's lifetime.
  db.exec("SELECT * FROM pragma_table_xinfo('anomaly_rows'); SELECT * FROM pragma_table_xinfo('forecast_rows')");
  EXPECT_EQ(db.run("SELECT name, type, hidden FROM pragma_table_xinfo('anomaly_rows')").text(),
            "ts|TEXT|0\nvalue|REAL|0\nforecast|REAL|0\nlower_bound|REAL|0\nupper_bound|REAL|0\n"
            "is_anomaly|INTEGER|0\nanomaly_probability|REAL|0\nstatus|TEXT|0\ndoc||1");
  EXPECT_EQ(db.run("SELECT name, type, hidden FROM pragma_table_xinfo('forecast_rows')").text(),
            "step|INTEGER|0\nforecast_timestamp|TEXT|0\nforecast|REAL|0\nlower_bound|REAL|0\n"
            "upper_bound|REAL|0\nstatus|TEXT|0\ndoc||1");
}

TEST(Xrows, AnomalyDocumentExpands) {
  JsonDb db;
  EXPECT_EQ(db.run(std::string("SELECT rowid, *, typeof(value), typeof(is_anomaly) FROM anomaly_rows(") +
                   q(ANOMALY_DOC) + ")")
                .text(),
            "0|2024-01-01T00:00:00Z|1.5|NULL|NULL|NULL|0|0.0|ok|real|integer\n"
            "1|2024-01-02T00:00:00Z|9.0|2.25|1.0|3.5|1|0.998|ok|real|integer\n"
            "2|NULL|NULL|-0.5|-1.0|0.0|NULL|0.25|ok|null|null");
  // doc is hidden and reads as NULL; the rowid follows array order even when filtered.
  EXPECT_EQ(db.one(std::string("SELECT count(*) FROM anomaly_rows(") + q(ANOMALY_DOC) + ") WHERE doc IS NULL"), "3");
  EXPECT_EQ(db.one(std::string("SELECT group_concat(rowid) FROM anomaly_rows(") + q(ANOMALY_DOC) +
                   ") WHERE forecast IS NOT NULL"),
            "1,2");
}

TEST(Xrows, ForecastDocumentExpands) {
  JsonDb db;
  EXPECT_EQ(db.run(std::string("SELECT rowid, * FROM forecast_rows(") + q(FORECAST_DOC) + ")").text(),
            "0|1|2024-01-08T00:00:00Z|10.0|8.0|12.0|truncated\n"
            "1|2|2024-01-09T00:00:00Z|11.5|NULL|NULL|truncated");
  // Each function reads only its own fields: a forecast document through anomaly_rows keeps
  // the rows but has no ts, value or probability.
  EXPECT_EQ(db.run(std::string("SELECT * FROM anomaly_rows(") + q(FORECAST_DOC) + ")").text(),
            "NULL|NULL|10.0|8.0|12.0|NULL|NULL|truncated\nNULL|NULL|11.5|NULL|NULL|NULL|NULL|truncated");
  EXPECT_EQ(db.run(std::string("SELECT * FROM forecast_rows(") + q(ANOMALY_DOC) + ") LIMIT 1").text(),
            "NULL|NULL|NULL|NULL|NULL|ok");
}

TEST(Xrows, StatusOnlyDocumentGivesOneNullRow) {
  JsonDb db;
  EXPECT_EQ(db.run("SELECT rowid, * FROM anomaly_rows('{\"status\":\"insufficient_history\",\"rows\":[]}')").text(),
            "0|NULL|NULL|NULL|NULL|NULL|NULL|NULL|insufficient_history");
  EXPECT_EQ(db.run("SELECT * FROM forecast_rows('{\"model\":\"auto\",\"status\":\"non_numeric\",\"rows\":[]}')").text(),
            "NULL|NULL|NULL|NULL|NULL|non_numeric");
}

TEST(Xrows, NullDocumentIsEmpty) {
  JsonDb db;
  EXPECT_EQ(db.one("SELECT count(*) FROM anomaly_rows(NULL)"), "0");
  EXPECT_EQ(db.one("SELECT count(*) FROM forecast_rows(NULL)"), "0");
}

TEST(Xrows, ArgumentErrors) {
  JsonDb db;
  EXPECT_EQ(db.error("SELECT * FROM anomaly_rows"),
            "VORNEL_ERR_SCHEMA: anomaly_rows(doc) requires a document argument");
  EXPECT_EQ(db.error("SELECT * FROM forecast_rows WHERE status = 'ok'"),
            "VORNEL_ERR_SCHEMA: forecast_rows(doc) requires a document argument");
  // A document from another table: the planner must put that table first.
  db.exec("CREATE TABLE docs(id INTEGER, d TEXT);"
          "INSERT INTO docs VALUES (1, '{\"status\":\"ok\",\"rows\":[{\"step\":1},{\"step\":2}]}'),"
          "(2, '{\"status\":\"ok\",\"rows\":[{\"step\":3}]}'), (3, NULL);");
  EXPECT_EQ(db.run("SELECT id, step FROM docs, forecast_rows(docs.d) ORDER BY id, step").text(), "1|1\n1|2\n2|3");
  EXPECT_EQ(db.run("SELECT id, step FROM forecast_rows f JOIN docs ON f.doc = docs.d ORDER BY id, step").text(),
            "1|1\n1|2\n2|3");
}

TEST(Xrows, DocumentErrors) {
  JsonDb db;
  const char *bad = "VORNEL_ERR_SCHEMA: not an aggregate-form result document";
  EXPECT_EQ(db.error("SELECT * FROM anomaly_rows('[1,2]')"), bad);
  EXPECT_EQ(db.error("SELECT * FROM anomaly_rows('{\"rows\":[]}')"), bad);
  EXPECT_EQ(db.error("SELECT * FROM anomaly_rows('not json')"), bad);
  EXPECT_EQ(db.error("SELECT * FROM anomaly_rows('{\"status\":3,\"rows\":[]}')"), bad);
  EXPECT_EQ(db.error("SELECT * FROM anomaly_rows('{\"status\":\"ok\",\"rows\":{}}')"), bad);
  EXPECT_EQ(db.error("SELECT * FROM forecast_rows('{\"status\":\"ok\"}')"), bad);
  EXPECT_EQ(db.error("SELECT * FROM forecast_rows('')"), bad);
  EXPECT_EQ(db.error("SELECT * FROM forecast_rows(12)"), bad);
  // A blob holding the text of a document is read as that text.
  EXPECT_EQ(db.one("SELECT status FROM forecast_rows(CAST('{\"status\":\"ok\",\"rows\":[]}' AS BLOB))"), "ok");
}

TEST(Xrows, FieldTypes) {
  JsonDb db;
  // A numeric ts is not copied; a numeric step reads as an integer; an absent is_anomaly stays
  // NULL while the other fields of the row remain.
  EXPECT_EQ(db.run("SELECT ts, value, is_anomaly, anomaly_probability FROM anomaly_rows("
                   "'{\"status\":\"ok\",\"rows\":[{\"ts\":12,\"value\":3,\"anomaly_probability\":1e300}]}')")
                .text(),
            "NULL|3.0|NULL|1.0e+300");
  EXPECT_EQ(db.run("SELECT step, typeof(step), forecast_timestamp FROM forecast_rows("
                   "'{\"status\":\"ok\",\"rows\":[{\"step\":2.0,\"forecast_timestamp\":\"x\\\"y\"}]}')")
                .text(),
            "2|integer|x\"y");
  // An element that is a JSON string is read as JSON text by the row statement: a plain word
  // is not JSON.
  EXPECT_EQ(db.error("SELECT * FROM anomaly_rows('{\"status\":\"ok\",\"rows\":[\"abc\"]}')"),
            "VORNEL_ERR_SCHEMA: document rows are not valid JSON");
  EXPECT_EQ(db.run("SELECT ts, value FROM anomaly_rows('{\"status\":\"ok\",\"rows\":[1,null,[2]]}')").text(),
            "NULL|NULL\nNULL|NULL\nNULL|NULL");
}

TEST(Xrows, ManyRowsAndRepeatedFilters) {
  JsonDb db;
  // 100 rows cross the initial capacity of the row array twice.
  db.exec(
      "CREATE TABLE d AS SELECT '{\"status\":\"ok\",\"rows\":[' || group_concat('{\"step\":' || value || '}') "
      "|| ']}' AS doc FROM (WITH RECURSIVE n(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM n WHERE value < 100) "
      "SELECT value FROM n)");
  EXPECT_EQ(db.run("SELECT count(*), sum(step), max(rowid) FROM forecast_rows((SELECT doc FROM d))").text(),
            "100|5050|99");
  // A correlated use runs filter again for every outer row.
  EXPECT_EQ(db.one("SELECT sum((SELECT count(*) FROM forecast_rows((SELECT doc FROM d)) WHERE step <= value)) "
                   "FROM (WITH RECURSIVE n(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM n WHERE value < 5) "
                   "SELECT value FROM n)"),
            "15");
}
