#!/usr/bin/env bash
# Builds everything and runs every test under Wine on one virtual display.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
build=$PWD/build/mingw-x64
# One display and one wineserver for the whole suite: each Wine start then costs less.
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  export WINEPREFIX='"$build"'/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  ctest --preset mingw-x64 "$@"
  status=$?
  wineserver -k 2>/dev/null
  exit $status
' test "$@"
