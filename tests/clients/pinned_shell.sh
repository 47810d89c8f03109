#!/bin/sh
# The pinned shell build/sqlite3 loads the extension and runs a forecast, an anomaly query and
# vornel() on a small generated table.
set -e
shell="$1"; so="$2"
setup="CREATE TABLE s(day TEXT, v REAL);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 119)
INSERT INTO s SELECT date('2024-01-01', '+' || i || ' days'), 100 + 10 * (i % 7) + (CASE WHEN i = 90 THEN 80 ELSE 0 END) FROM n;
CREATE TABLE c(id INTEGER, x REAL, label TEXT);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 59)
INSERT INTO c SELECT i, i, CASE WHEN i < 30 THEN 'low' ELSE 'high' END FROM n;"
check() { # name expected sql
  got=$(printf '%s\n%s\n' "$setup" "$3" | "$shell" -cmd ".load ${so%.so}" :memory: 2>&1) || true
  [ "$got" = "$2" ] || { echo "$1: expected [$2] got [$got]"; exit 1; }
}
check version "v0.0.1-alpha.6" "SELECT json_extract(vornel_version(), '\$.extension');"
check forecast "7|2024-04-30T00:00:00Z" "SELECT count(*), min(forecast_timestamp) FROM forecast_rows((SELECT forecast(day, v, 7) FROM s));"
check anomalies "1" "SELECT count(*) FROM anomaly_rows((SELECT detect_anomalies(day, v) FROM s)) WHERE is_anomaly AND ts = '2024-03-31T00:00:00Z';"
check vornel "2|low
57|high" "SELECT row_ref, prediction FROM vornel('SELECT x, label FROM c', 'SELECT id AS row_ref, x FROM c WHERE id IN (2, 57)', '{\"target\":\"label\"}') ORDER BY row_ref;"
got=$("$shell" -cmd ".load ${so%.so}" :memory: "SELECT forecast('SELECT 1', 3);" 2>&1) || true
case "$got" in
  *"VORNEL_ERR_SCHEMA: forecast does not take a query string; it is an aggregate over your rows"*) ;;
  *) echo "misuse: got [$got]"; exit 1 ;;
esac
echo "pinned shell: ok"
