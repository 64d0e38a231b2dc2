#!/usr/bin/env bash
# Benchmarks gputherm against the bare-window baseline (bench/README.md): builds both, stages
# stripped copies with the simulated AMD driver, and runs bench_runner under Wine in the prefix
# build/mingw-x64/wineprefix-bench, on a virtual display unless $DISPLAY is set.
# Usage: bash scripts/bench.sh [rounds (5)] [seconds per run (30)]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-common.sh
prepare_measurement bench
cp "$build"/bin/{gputherm,baseline,baseline_cc6}.exe "$build/bin/drivers/atiadlxx.dll" "$stage/"
# The release link already strips; stripping the copies again makes sure of it.
x86_64-w64-mingw32-strip "$stage"/*.exe

echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'), host: $(nproc) processors, $(uname -sr)"
on_display wine "$build/bin/bench_runner.exe" "Z:${stage//\//\\}" "$@"
