#!/usr/bin/env bash
# Builds everything and runs every test under Wine on one virtual display, side by side, each
# test in a Wine prefix of its own from a small pool (tests/wine-prefixes.json).
# Usage: bash scripts/test.sh [--preset mingw-x64 | clang-mingw-x64 | ub-trap] [ctest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=mingw-x64
if [ "${1:-}" = --preset ]; then
  preset=$2
  shift 2
fi
bash scripts/build.sh --preset "$preset"
build=$PWD/build/$preset
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  export WINEPREFIX='"$build"'/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  ctest --preset '"$preset"' "$@"
  status=$?
  # Each prefix'"'"'s wineserver stays up for the next test there: ended here, side by side. The
  # pool'"'"'s and the template'"'"'s only: a benchmark, a soak or run.sh may be using theirs.
  for prefix in "$WINEPREFIX" "$WINEPREFIX"-[0-9]* "$WINEPREFIX"-template; do
    [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null &
  done
  wait
  exit $status
' test "$@"
