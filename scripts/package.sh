#!/usr/bin/env bash
# Builds, then makes the release ZIP gputherm-<version>-win64.zip with CPack from the install
# rules, and prints its path (the only line on standard output).
# Usage: bash scripts/package.sh
#        bash scripts/package.sh --built <build dir>   packages that build as it is, without
#                                                      building (the test suite's way)
# CPack works in a folder of its own each time, so nothing left from an earlier run can get into
# the ZIP; the finished ZIP is moved into place in one step, so a failed run leaves the previous
# one as it was and never a half-written file under the final name.
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
[ -f "$build/CPackConfig.cmake" ] || fail "$build is not a configured build folder"

work=$(mktemp -d "$build/package-work.XXXXXX")
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
made=("$work"/*.zip)
[ ${#made[@]} -eq 1 ] && [ -f "${made[0]}" ] || fail "cpack made no single ZIP"
final=$build/$(basename "${made[0]}")
mv -f "${made[0]}" "$final"
echo "$final"
