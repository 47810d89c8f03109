#!/bin/sh
# Assembles what ships into DIST_DIR: one archive per platform (the library, README, VERSION and
# the docs), a wheel per platform, the npm package holding all three libraries, and SHA256SUMS.
# Usage: make_dist.sh DIST_DIR BUILD_DIR AARCH64_BUILD_DIR WIN64_BUILD_DIR
set -eu
dist=$1; build=$2; a64=$3; w64=$4
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed 's/^v//' "$root/VERSION")
rm -rf "$dist" && mkdir -p "$dist/stage"
archive() { # platform library kind(tar|zip)
  dir="$dist/stage/vornel-$version-$1"
  mkdir -p "$dir" && cp "$2" "$dir/" && cp -r "$root/README.md" "$root/VERSION" "$root/docs" "$dir/"
  if [ "$3" = zip ]; then
    (cd "$dist/stage" && /usr/bin/python3 -m zipfile -c "../vornel-$version-$1.zip" "vornel-$version-$1")
  else
    tar -C "$dist/stage" --owner=0 --group=0 -czf "$dist/vornel-$version-$1.tar.gz" "vornel-$version-$1"
  fi
}
archive linux-x86_64 "$build/vornel.so" tar
archive linux-aarch64 "$a64/vornel.so" tar
archive windows-x86_64 "$w64/vornel.dll" zip
/usr/bin/python3 "$root/packaging/make_wheel.py" "$build/vornel.so" manylinux_2_28_x86_64 "$version" "$dist" >/dev/null
/usr/bin/python3 "$root/packaging/make_wheel.py" "$a64/vornel.so" manylinux_2_28_aarch64 "$version" "$dist" >/dev/null
/usr/bin/python3 "$root/packaging/make_wheel.py" "$w64/vornel.dll" win_amd64 "$version" "$dist" >/dev/null
sh "$root/packaging/make_npm.sh" "$dist/stage" "$version" linux-x64="$build/vornel.so" \
  linux-arm64="$a64/vornel.so" win32-x64="$w64/vornel.dll" >/dev/null
mv "$dist/stage"/vornel-*.tgz "$dist/"
rm -rf "$dist/stage"
(cd "$dist" && sha256sum -- * > SHA256SUMS)
ls -l "$dist"
