"""Python's sqlite3 module loads the extension and runs a forecast, an anomaly query and vornel().
The argument is the library's path, or the word "package" to load through the installed vornel
package instead."""
import json
import sqlite3
import sys

so = sys.argv[1]
con = sqlite3.connect(":memory:")
if so == "package":
    import vornel
    vornel.load(con)
    try:
        con.execute("SELECT load_extension('x')")
        raise SystemExit("vornel.load left extension loading switched on")
    except sqlite3.OperationalError as e:
        assert "not authorized" in str(e), e
else:
    con.enable_load_extension(True)
    con.load_extension(so[:-3] if so.endswith(".so") else so)

version = json.loads(con.execute("SELECT vornel_version()").fetchone()[0])
assert version["runtimes"] == ["stat", "tree"], version
try:
    con.execute("SELECT forecast('SELECT 1', 3)").fetchall()
    raise SystemExit("misuse was not reported")
except sqlite3.OperationalError as e:
    assert str(e).startswith("VORNEL_ERR_SCHEMA: forecast does not take a query string"), e

con.executescript("""
CREATE TABLE s(day TEXT, v REAL);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 119)
INSERT INTO s SELECT date('2024-01-01', '+' || i || ' days'), 100 + 10 * (i % 7) + (CASE WHEN i = 90 THEN 80 ELSE 0 END) FROM n;
CREATE TABLE c(id INTEGER, x REAL, label TEXT);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 59)
INSERT INTO c SELECT i, i, CASE WHEN i < 30 THEN 'low' ELSE 'high' END FROM n;
""")

doc = json.loads(con.execute("SELECT forecast(day, v, 7) FROM s").fetchone()[0])
assert doc["status"] == "ok" and len(doc["rows"]) == 7, doc
rows = con.execute("SELECT step, forecast_timestamp FROM forecast_rows((SELECT forecast(day, v, 7) FROM s))").fetchall()
assert rows[0] == (1, "2024-04-30T00:00:00Z"), rows[0]

flagged = con.execute("SELECT ts FROM anomaly_rows((SELECT detect_anomalies(day, v) FROM s)) WHERE is_anomaly").fetchall()
assert ("2024-03-31T00:00:00Z",) in flagged, flagged

pred = con.execute("SELECT row_ref, prediction FROM vornel("
                   "'SELECT x, label FROM c', 'SELECT id AS row_ref, x FROM c WHERE id IN (2, 57)',"
                   "'{\"target\":\"label\"}') ORDER BY row_ref").fetchall()
assert [p[1] for p in pred] == ["low", "high"], pred
print("python client: ok (sqlite %s)" % sqlite3.sqlite_version)
