#!/bin/sh
# Checks the files that would ship, in DIST_DIR: every library's architecture, highest GLIBC_
# version (at most 2.28), no C++ runtime need, exactly the intended exports; then loads each
# library in each client: the pinned shell of its platform (natively, under qemu-user, under
# wine), the system shell, Python through the installed wheel, Node through the installed npm
# package. Usage: check_dist.sh DIST_DIR BUILD_DIR AARCH64_BUILD_DIR WIN64_BUILD_DIR (the build
# folders hold the pinned shells of the three platforms).
set -eu
dist=$(cd "$1" && pwd); build=$(cd "$2" && pwd); a64=$(cd "$3" && pwd); w64=$(cd "$4" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fail() { echo "check-dist: $*" >&2; exit 1; }

(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
expected="sha256_final sha256_init sha256_update sqlite3_api sqlite3_extension_init sqlite3_vornel_init
$(sed -n 's/^  \(vornel0_[a-z_0-9]*\)$/\1/p' "$root/cmake/vornel.def")"
expected=$(echo "$expected" | tr ' ' '\n' | sort)

check_elf() { # file
  arch=$(readelf -h "$1" | sed -n 's/^ *Machine: *//p')
  top=$(objdump -T "$1" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1)
  echo "$1: $arch, needs $top"
  ! objdump -T "$1" | grep -q 'GLIBCXX_\|CXXABI_' || fail "$1 needs the C++ runtime"
  [ "$(printf '%s\n' "$top" GLIBC_2.28 | sort -V | tail -1)" = GLIBC_2.28 ] || fail "$1 needs $top (> 2.28)"
  got=$(nm -D --defined-only "$1" | awk '{print $3}' | sort)
  [ "$got" = "$expected" ] || fail "$1 exports differ: $(echo "$got" | diff - "$(printf '%s' "$expected" > "$work/e"; echo "$work/e")" | grep '^[<>]' | tr '\n' ' ')"
}
check_dll() { # file
  echo "$1: $(objdump -f "$1" | sed -n 's/.*file format //p'), imports $(objdump -p "$1" | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')"
  objdump -p "$1" | sed -n 's/^\tDLL Name: //p' | grep -qiv '^\(KERNEL32\|msvcrt\|api-ms-win-[a-z0-9-]*\)\.dll$' &&
    fail "$1 needs a DLL beyond the system's: $(objdump -p "$1" | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')"
  got=$(objdump -p "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] //p' | sort)
  [ "$got" = "$expected" ] || fail "$1 exports differ: $got"
}
smoke() { # label library shell [runner...]
  label=$1; shift
  /usr/bin/python3 "$root/packaging/smoke.py" "$work/hashes-$label" "$@" || fail "docs examples differ on $label"
}

for f in "$dist"/*; do
  case "$f" in
    *-linux-x86_64.tar.gz)
      mkdir -p "$work/x64" && tar -C "$work/x64" -xzf "$f"; lib=$(find "$work/x64" -name vornel.so)
      check_elf "$lib"
      sh "$root/tests/clients/pinned_shell.sh" "$build/sqlite3" "$lib"
      [ ! -x /usr/bin/sqlite3 ] || sh "$root/tests/clients/debian_shell.sh" "$lib"
      # A renamed file has no sqlite3_<name>_init; the host falls back to sqlite3_extension_init.
      cp "$lib" "$work/renamed-ext.so"
      out=$("$build/sqlite3" :memory: ".load $work/renamed-ext" "SELECT json_extract(vornel_version(), '\$.runtimes[1]');")
      [ "$out" = tree ] || fail "a renamed library does not load: $out"
      smoke x86_64 "$lib" "$build/sqlite3" ;;
    *-linux-aarch64.tar.gz)
      mkdir -p "$work/a64" && tar -C "$work/a64" -xzf "$f"; lib=$(find "$work/a64" -name vornel.so)
      check_elf "$lib"
      smoke aarch64 "$lib" "$a64/sqlite3" qemu-aarch64 -L /usr/aarch64-linux-gnu ;;
    *-windows-x86_64.zip)
      mkdir -p "$work/w64" && /usr/bin/python3 -m zipfile -e "$f" "$work/w64"; lib=$(find "$work/w64" -name vornel.dll)
      check_dll "$lib"
      smoke windows "$lib" "$w64/sqlite3.exe" /usr/lib/wine/wine64 ;;
    *manylinux*x86_64.whl)
      /usr/bin/python3 -m venv "$work/venv"
      "$work/venv/bin/pip" install -q --no-index "$f"
      "$work/venv/bin/python" "$root/tests/clients/python_client.py" package
      "$work/venv/bin/python" "$root/tests/clients/python_no_loading.py"
      check_elf "$("$work/venv/bin/python" -c 'import vornel; print(vornel.loadable_path())')"
      if command -v sqlite-utils >/dev/null; then
        # The docs' example, as written there.
        out=$(sqlite-utils memory --load-extension "$("$work/venv/bin/python" -c 'import vornel; print(vornel.loadable_path())')" \
              "select json_extract(vornel_version(), '\$.runtimes[1]') as runtime")
        [ "$out" = '[{"runtime": "tree"}]' ] || fail "sqlite-utils: $out"
        echo "sqlite-utils: ok"
      fi ;;
    *.whl) /usr/bin/python3 -m zipfile -l "$f" | grep -q 'vornel/vornel\.\(so\|dll\)' || fail "$f holds no library" ;;
    */vornel-*.tgz)
      mkdir -p "$work/node" && (cd "$work/node" && echo '{"name":"try","version":"1.0.0"}' > package.json &&
        npm install --offline --silent --no-audit --no-fund "$f")
      for p in linux-x64 linux-arm64 win32-x64; do
        [ -e "$work/node/node_modules/vornel/lib/$p" ] || fail "the npm package lacks $p"
      done
      if [ -d "$root/.deps/node/node_modules/better-sqlite3" ]; then
        node "$root/tests/clients/node_client.js" "$root/.deps/node" package "$work/node"
      else
        echo "node client: skipped (make deps-clients installs better-sqlite3)"
      fi ;;
  esac
done
hashes=$(ls "$work"/hashes-* | grep -vc '\.documents$')
for h in "$work"/hashes-*; do
  case "$h" in *.documents) continue ;; esac
  if ! diff -u "$work/hashes-x86_64" "$h"; then
    diff "$work/hashes-x86_64.documents" "$h.documents" | head -20
    fail "student hashes or documents differ between x86_64 and ${h##*-}"
  fi
done
echo "check-dist: ok; student hashes and full-precision documents agree on $hashes platforms ($(wc -l < "$work/hashes-x86_64") lines)"
