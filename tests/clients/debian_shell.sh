#!/bin/sh
# The extension also loads into the system's own sqlite3 shell (older than the pinned host),
# where the core functions and a forecast answer.
set -e
so="$1"
out=$(/usr/bin/sqlite3 :memory: ".load ${so%.so}" "SELECT json_extract(vornel_version(), '\$.runtimes[1]'), vornel_ulid('1970-01-01T00:00:01Z');")
[ "$out" = "tree|00000000Z80000000000000000" ] || { echo "unexpected: $out"; exit 1; }
out=$(/usr/bin/sqlite3 :memory: ".load ${so%.so}" "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<59) SELECT json_extract(forecast(date('2024-01-01','+'||i||' days'), i % 7, 3), '\$.status') FROM n;")
[ "$out" = "ok" ] || { echo "unexpected forecast: $out"; exit 1; }
# A host older than 3.41 has no is_interrupted routine: long work runs without polling it.
out=$(/usr/bin/sqlite3 :memory: ".load ${so%.so}" "CREATE TABLE s(ts, v); WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<59) INSERT INTO s SELECT 1700000000+i*86400, i % 7 FROM n; SELECT count(*) FROM backtest('SELECT ts, v FROM s', 3, '{\"model\":\"auto\"}'); SELECT count(*) FROM vornel('SELECT v, (ts / 86400) % 3 AS y FROM s', 'SELECT ts, v FROM s', '{\"target\":\"y\"}'); SELECT train_rows FROM distill_vornel('SELECT v, (ts / 86400) % 2 AS y FROM s', '{\"target\":\"y\",\"student_id\":\"m\",\"student_kind\":\"mlp\"}');")
[ "$out" = "$(printf '20\n60\n60')" ] || { echo "unexpected on the old host: $out"; exit 1; }
echo "system shell $(/usr/bin/sqlite3 --version | cut -d' ' -f1): ok"
