#!/usr/bin/env bash
# Builds the monitor and what it runs on, not the tests or the benchmarks, and starts it under
# Wine. Without a real vendor driver in the Wine prefix it runs on the simulated AMD driver with
# two adapters (the demo). Without $DISPLAY it runs on a virtual display, saves a screenshot of the
# window after a few seconds and says where.
# Usage: bash scripts/run.sh [--replay <report>]
#   --replay: a report written by gputherm-report on another machine is the simulated drivers'
#   scenario, with the simulated libraries that machine's system folder held: the window that
#   machine showed.
set -euo pipefail
cd "$(dirname "$0")/.."
replay=""
if [ "${1:-}" = --replay ]; then
  [ -f "${2:-}" ] || { echo "run.sh: --replay needs a report file" >&2; exit 2; }
  replay=$(realpath "$2")
fi
bash scripts/build.sh --target runnable >/dev/null
build=$PWD/build/mingw-x64
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix-run} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$WINEPREFIX/system.reg" ] || bash scripts/wine-prefix.sh "$WINEPREFIX"

system32=$WINEPREFIX/drive_c/windows/system32
stage=$build/run
rm -rf "$stage" && mkdir -p "$stage"
cp "$build/bin/gputherm.exe" "$stage/"
launch="wine gputherm.exe"
installed=""
for name in atiadlxx atiadlxy amdadlx64 nvapi64 nvapi nvml ControlLib; do
  [ -f "$system32/$name.dll" ] && installed=$name.dll
done
if [ -n "$replay" ] && [ -n "$installed" ]; then
  echo "run.sh: $WINEPREFIX holds a vendor library ($installed); replay in a prefix without one" \
    "(WINEPREFIX=<another folder> bash scripts/run.sh --replay ...)" >&2
  exit 2
elif [ -n "$replay" ]; then
  source scripts/replay.sh
  install_replay "$replay" "$build/bin/drivers" "$system32"
  export SIMDRV_SCENARIO_FILE=$replay
  launch=$ReplayLauncher
elif [ -n "$installed" ]; then
  echo "using the vendor driver installed in $WINEPREFIX ($installed)"
else
  # The simulated driver goes where a vendor installs theirs, for this run only.
  echo "no vendor driver installed: using the simulated AMD driver (two adapters)"
  trap 'rm -f "$system32/atiadlxx.dll"' EXIT
  cp "$build/bin/drivers/atiadlxx.dll" "$system32/"
  export SIMDRV_SCENARIO_FILE=$PWD/tools/drivers/demo.scenario
fi

if [ -n "${DISPLAY:-}" ]; then
  (cd "$stage" && $launch)
  exit
fi

shot=${SCREENSHOT:-$build/gputherm.png}
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  cd "'"$stage"'" && '"$launch"' &
  for _ in $(seq 100); do
    window=$(xdotool search --name "^GPU Temperature$" 2>/dev/null | head -n 1) && [ -n "$window" ] && break
    sleep 0.1
  done
  if [ -z "$window" ]; then
    echo "run.sh: no window titled GPU Temperature came within 10 s" >&2
    wineserver -k
    exit 1
  fi
  sleep 4  # a few readings, so that the labels show temperatures
  import -window "$window" "'"$shot"'"
  wineserver -k
'
echo "screenshot of the window: $shot"
