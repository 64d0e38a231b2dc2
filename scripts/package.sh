#!/usr/bin/env bash
# Builds, then makes the release ZIP gputherm-<version>-win64.zip from the install rules, with its
# checksum gputherm-<version>-win64.zip.sha256 beside it, and prints the ZIP's path (the only line
# on standard output).
# Usage: bash scripts/package.sh
#        bash scripts/package.sh --built <build dir>   packages that build as it is, without
#                                                      building (the test suite's way)
# The same commit gives the same ZIP, byte for byte, on any machine with the same toolchain: the
# program carries no link time, and scripts/release-zip.py writes the entries in a fixed order with
# fixed modes, dated by scripts/source-date.sh (SOURCE_DATE_EPOCH, else the last commit's time).
# The files are installed into a fresh folder each time, so nothing left from an earlier run gets
# into the ZIP. A failed run leaves the previous ZIP as it was, never a half-written one, and never
# a checksum that does not match the ZIP beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "package: $*; no package made" >&2
  exit 1
}

if [ "${1:-}" = --built ]; then
  [ -n "${2:-}" ] || fail "--built needs the build folder"
  build=$(cd "$2" 2>/dev/null && pwd) || fail "no build folder $2"
else
  bash scripts/build.sh >&2 || fail "the build failed"
  build=$PWD/build/mingw-x64
fi
[ -f "$build/release-name" ] && [ -f "$build/cmake_install.cmake" ] ||
  fail "$build is not a configured build folder"
name=$(cat "$build/release-name")
epoch=$(bash scripts/source-date.sh) || fail "no date for the release"

work=$(mktemp -d "$build/package-work.XXXXXX")
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/$name" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "installing failed"; }
python3 scripts/release-zip.py "$work/$name" "$epoch" "$work/$name.zip" || fail "zipping failed"
(cd "$work" && sha256sum "$name.zip" >"$name.zip.sha256") || fail "no checksum"

# The old checksum goes first: stopped half way, this leaves a ZIP without one, never a wrong one.
final=$build/$name.zip
rm -f "$final.sha256"
mv -f "$work/$name.zip" "$final"
mv -f "$work/$name.zip.sha256" "$final.sha256"
echo "$final"
