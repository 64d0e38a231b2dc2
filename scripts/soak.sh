#!/usr/bin/env bash
# Soak: runs gputherm for N minutes (default 10) on 8 simulated AMD GPUs whose readings drift on
# every pass, samples its handles, GDI and USER objects and private bytes every 10 s, prints the
# samples, and exits 1 on any upward trend (bench/README.md). Runs under Wine in the prefix
# build/mingw-x64/wineprefix-soak, on a virtual display unless $DISPLAY is set.
# Usage: bash scripts/soak.sh [minutes]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
bash scripts/build.sh >/dev/null
build=$PWD/build/mingw-x64
export WINEPREFIX=$build/wineprefix-soak WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$WINEPREFIX/system.reg" ] || bash scripts/wine-prefix.sh "$WINEPREFIX" >/dev/null

stage=$build/soak-stage
rm -rf "$stage" && mkdir -p "$stage"
cp "$build/bin/gputherm.exe" "$build/bin/drivers/atiadlxx.dll" "$stage/"

runner=(wine "$build/bin/soak_runner.exe" "Z:${stage//\//\\}" "$minutes")
# The server goes down inside the display's session, before the display does.
run='"$@"; status=$?; wineserver -k 2>/dev/null; exit $status'
if [ -n "${DISPLAY:-}" ]; then
  bash -c "$run" run "${runner[@]}"
else
  xvfb-run -a -s "-screen 0 1280x1024x24" bash -c "$run" run "${runner[@]}"
fi
