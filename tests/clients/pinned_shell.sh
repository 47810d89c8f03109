#!/bin/sh
# The pinned shell build/sqlite3 loads the extension and runs each subsystem's main query.
set -e
shell="$1"; so="$2"
check() { # name expected sql
  got=$("$shell" :memory: ".load ${so%.so}" "$3" 2>&1) || true
  [ "$got" = "$2" ] || { echo "$1: expected [$2] got [$got]"; exit 1; }
}
check version "v0.0.1-alpha.6" "SELECT json_extract(vornel_version(), '\$.extension');"
check misuse "Error: VORNEL_ERR_SCHEMA: forecast does not take a query string; it is an aggregate over your rows: SELECT forecast(ts, value, horizon[, options]) FROM ..." "SELECT forecast('SELECT 1', 3);"
echo "pinned shell: ok"
