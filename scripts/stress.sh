#!/usr/bin/env bash
# The shutdown stress at its full count: 200 closes of a facade window at random moments while a
# worker changes its labels as fast as it can (tests/test_shutdown.cpp), then 100 runs of the
# real program closed at random moments of its first 3 s (tests/test_shutdown_stress.cpp), where
# the test suite makes 20 and 27. The judgement is the suite's: every run ends with exit code 0
# within 2 s (share time) of the close. Runs under Wine in the prefix
# build/mingw-x64/wineprefix-stress, on a virtual display unless $DISPLAY is set; exits 1 when a
# run failed.
# Usage: bash scripts/stress.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-common.sh
prepare_measurement stress
export GPUTHERM_FULL_STRESS=1
status=0
on_display wine "$build/bin/test_shutdown.exe" --gtest_filter='Shutdown.ClosedAtRandom*' ||
  status=1
on_display wine "$build/bin/test_shutdown_stress.exe" || status=1
exit $status
