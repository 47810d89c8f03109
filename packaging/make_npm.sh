#!/bin/sh
# Packs the npm package: make_npm.sh OUT_DIR VERSION PLATFORM=LIBRARY... (PLATFORM as Node
# spells it, linux-x64, linux-arm64, win32-x64). Offline: npm pack only archives the folder.
set -eu
mkdir -p "$1"; out=$(cd "$1" && pwd); version=${2#v}; shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
stage="$out/npm-stage"
rm -rf "$stage" && mkdir -p "$stage/lib"
cp "$root/npm/index.js" "$root/npm/index.d.ts" "$root/npm/README.md" "$stage/"
sed "s/\"version\": \"0.0.0\"/\"version\": \"$version\"/" "$root/npm/package.json" > "$stage/package.json"
for pair in "$@"; do
  platform=${pair%%=*}; lib=${pair#*=}
  mkdir -p "$stage/lib/$platform"
  cp "$lib" "$stage/lib/$platform/"
done
(cd "$stage" && npm pack --silent --pack-destination "$out" >/dev/null)
rm -rf "$stage"
echo "$out/vornel-$version.tgz"
