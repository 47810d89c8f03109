#!/bin/sh
# Builds every libFuzzer target in tests/fuzz (one .cpp each) with ASan and UBSan against the
# given SQLite amalgamation and the extension's sources, then runs each for SECONDS.
#   usage: tests/fuzz/run.sh SECONDS [SQLITE_AMALGAMATION_DIR]
# Objects and working corpora go to build-fuzz/; the seeds in tests/fuzz/corpus/<target>/ are
# only read. A crash leaves its input in build-fuzz/artifacts/ and makes the script fail.
set -eu
secs=${1:-30}
root=$(cd "$(dirname "$0")/../.." && pwd)
sqlite=${2:-/work/sqlite-amalg}
[ -n "$sqlite" ] || sqlite=/work/sqlite-amalg
sqlite=$(cd "$sqlite" && pwd)
out="$root/build-fuzz"
CXX=clang++-14
CC=clang-14
command -v $CXX >/dev/null 2>&1 || { CXX=clang++; CC=clang; }
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
version=$(cat "$root/VERSION")
mkdir -p "$out/obj" "$out/artifacts"

# The host, once per amalgamation.
if [ ! -f "$out/sqlite3.o" ] || [ "$sqlite/sqlite3.c" -nt "$out/sqlite3.o" ]; then
  echo "fuzz: compiling the SQLite host"
  $CC -O1 -g $SAN -w -DSQLITE_THREADSAFE=0 -DSQLITE_ENABLE_MATH_FUNCTIONS -DSQLITE_DQS=0 \
    -c "$sqlite/sqlite3.c" -o "$out/sqlite3.o"
fi

# The extension's objects, rebuilt when a source or any header is newer. They are built for
# AVX2 (clang refuses the vector helpers of the run-time dispatched kernels otherwise); the
# fuzz runs are about memory safety, on this kind of machine only.
newest_header=$(ls -t "$root"/src/*/*.h | head -n 1)
objs=""
for src in "$root"/src/*/*.cpp; do
  sub=$(basename "$(dirname "$src")")
  obj="$out/obj/$sub-$(basename "$src" .cpp).o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$newest_header" -nt "$obj" ]; then
    $CXX -std=c++20 -O1 -g -Wall -Wextra $SAN -fsanitize=fuzzer-no-link -fno-exceptions -fno-rtti -ffp-contract=off -mavx2 \
      -fno-math-errno -I"$root/src" -I"$sqlite" -DVORNEL_VERSION="\"$version\"" \
      -DVORNEL_BUILD_DATE="\"fuzz\"" -DVORNEL_COMMIT="\"fuzz\"" -c "$src" -o "$obj"
  fi
  objs="$objs $obj"
done

status=0
for target_src in "$root"/tests/fuzz/*.cpp; do
  name=$(basename "$target_src" .cpp)
  bin="$out/fuzz_$name"
  $CXX -std=c++20 -O1 -g -Wall -Wextra $SAN -fsanitize=fuzzer -I"$root/src" -I"$root/tests/fuzz" -I"$sqlite" \
    "$target_src" $objs "$out/sqlite3.o" -lm -ldl -lpthread -o "$bin"
  mkdir -p "$out/corpus/$name"
  seeds="$root/tests/fuzz/corpus/$name"
  [ -d "$seeds" ] || seeds=""
  echo "fuzz: $name for ${secs}s"
  if "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$out/artifacts/$name-" "$out/corpus/$name" $seeds >"$out/$name.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$name.log")
    echo "fuzz: $name: ${runs:-?} executions, no crash"
  else
    echo "fuzz: $name FAILED; see $out/$name.log and $out/artifacts/"
    tail -n 40 "$out/$name.log"
    status=1
  fi
done
exit $status
