#!/bin/sh
# The main job: generate the bundled example database afresh, then run every demo script in
# order through the pinned shell with the extension loaded.
set -e
BUILD=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
db="$here/example.db"
rm -f "$db"
"$BUILD/sqlite3" "$db" < "$here/make_example_db.sql" > /dev/null
echo "Example database: $db (24 stores x 730 days of sales, 12 intermittent items, 2,000 customers)"
for f in "$here"/demo/*.sql; do
  [ -f "$f" ] || continue
  echo
  echo "### $(sed -n 's/^-- title: //p' "$f")"
  # A script marked "-- shows-error" ends on purpose with an error message.
  if grep -q '^-- shows-error' "$f"; then
    "$BUILD/sqlite3" -cmd ".load $BUILD/vornel" -cmd ".mode box" "$db" < "$f" 2>&1 || true
  else
    "$BUILD/sqlite3" -bail -cmd ".load $BUILD/vornel" -cmd ".mode box" "$db" < "$f"
  fi
done
