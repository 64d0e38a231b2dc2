#!/usr/bin/env bash
# Makes the Wine prefixes the tests run in, fresh for every run: $1 and $1-<id> for every other
# prefix id of the resource file $2. Tests run side by side, each in a prefix of its own, since each
# installs simulated drivers in its prefix's system folder; CTest hands them out (see
# cmake/wine-run.sh).
# Every run brings each prefix of the pool back to the build folder's template prefix (made by
# scripts/wine-prefix.sh, or already made by scripts/run.sh), copying only what differs, which is
# what the last run changed.
set -euo pipefail
prefix=$1
resources=$2
here=$(cd "$(dirname "$0")" && pwd)
template=$(bash "$here/../scripts/wine-prefix.sh" --template "$(dirname "$prefix")")

prefixes=()
for id in $(sed -n 's/.*"id": *"\([0-9]*\)".*/\1/p' "$resources"); do
  if [ "$id" = 0 ]; then prefixes+=("$prefix"); else prefixes+=("$prefix-$id"); fi
done
for each in "${prefixes[@]}"; do
  (
    WINEPREFIX=$each wineserver -k 2>/dev/null || true
    rsync -a --delete "$template/" "$each/"
  ) &
done
wait
# Each prefix's wineserver and Wine's services in it (the desktop, the device and RPC services)
# stay up from one test to the next, for five minutes after the last at most; scripts/test.sh ends
# them after the run. Started for every test, they would cost about a second of processor time
# each, and CTest would wait for them to end after the test, since they would hold its output.
for each in "${prefixes[@]}"; do
  (
    export WINEPREFIX=$each
    wineserver -p300
    wineboot
  ) </dev/null >/dev/null 2>&1 &
done
wait
echo "prefixes: ${#prefixes[@]}, each as $template, Wine's services started"
