#!/usr/bin/env bash
# Benchmarks gputherm against the bare-window baseline (bench/README.md): builds both, stages
# stripped copies with the simulated AMD driver, and runs bench_runner under Wine in the prefix
# build/mingw-x64/wineprefix-bench, on a virtual display unless $DISPLAY is set.
# Usage: bash scripts/bench.sh [rounds (5)] [seconds per run (30)]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
build=$PWD/build/mingw-x64
export WINEPREFIX=$build/wineprefix-bench WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$WINEPREFIX/system.reg" ] || bash scripts/wine-prefix.sh "$WINEPREFIX" >/dev/null

stage=$build/bench-stage
rm -rf "$stage" && mkdir -p "$stage"
cp "$build"/bin/{gputherm,baseline,baseline_cc6}.exe "$build/bin/drivers/atiadlxx.dll" "$stage/"
# The release link already strips; stripping the copies again makes sure of it.
x86_64-w64-mingw32-strip "$stage"/*.exe

echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'), host: $(nproc) processors, $(uname -sr)"
runner=(wine "$build/bin/bench_runner.exe" "Z:${stage//\//\\}" "$@")
# The server goes down inside the display's session, before the display does.
run='"$@"; status=$?; wineserver -k 2>/dev/null; exit $status'
if [ -n "${DISPLAY:-}" ]; then
  bash -c "$run" run "${runner[@]}"
else
  xvfb-run -a -s "-screen 0 1280x1024x24" bash -c "$run" run "${runner[@]}"
fi
