#!/usr/bin/env bash
# Soak: runs gputherm for N minutes (default 10) on 8 simulated AMD GPUs whose readings drift on
# every pass and a ninth it cannot read, samples its handles, GDI and USER objects and private
# bytes every 10 s, prints the samples, and exits 1 on any upward trend (bench/README.md), or when
# the readings did not change, or the ninth row does not say "Please wait". `bash scripts/soak.sh
# 1` is the one-minute soak the test suite used to run. Runs under Wine in the prefix
# build/mingw-x64/wineprefix-soak, on a virtual display unless $DISPLAY is set.
# Usage: bash scripts/soak.sh [minutes]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
source scripts/wine-common.sh
prepare_measurement soak
cp "$build/bin/gputherm.exe" "$stage/"
# The simulated driver goes where a vendor installs theirs, the prefix's system folder, for the run.
system32=$WINEPREFIX/drive_c/windows/system32
trap 'rm -f "$system32/atiadlxx.dll"' EXIT
cp "$build/bin/drivers/atiadlxx.dll" "$system32/"

on_display wine "$build/bin/soak_runner.exe" "Z:${stage//\//\\}" "$minutes"
