#!/bin/sh
# The main job: build the bundled example database, then run every demo script in order
# through the pinned shell with the extension loaded.
set -e
BUILD=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
for f in "$here"/demo/*.sql; do
  [ -f "$f" ] || continue
  echo
  echo "### $(sed -n 's/^-- title: //p' "$f")"
  "$BUILD/sqlite3" -bail -cmd ".load $BUILD/vornel" -cmd ".mode box" "$here/example.db" < "$f"
done
