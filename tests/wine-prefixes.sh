#!/usr/bin/env bash
# Makes the Wine prefixes the tests run in, fresh for every run: $1 and $1-<id> for every other
# prefix id of the resource file $2. Tests run side by side, each in a prefix of its own, since each
# installs simulated drivers in its prefix's system folder; CTest hands them out (see
# cmake/wine-run.sh).
# Making a prefix costs some 15 s of processor time, copying one (700 MB) a second or two: a
# prefix is made once, as the template $1-template, and every run brings each prefix of the pool
# back to it, copying only what differs, which is what the last run changed. The template is made
# again when Wine or the script that makes a prefix changes.
set -euo pipefail
prefix=$1
resources=$2
here=$(cd "$(dirname "$0")" && pwd)
template=$prefix-template
made_by="$(wine --version) $(sha256sum <"$here/../scripts/wine-prefix.sh" | cut -c1-16)"
if [ "$(cat "$template.made-by" 2>/dev/null)" != "$made_by" ]; then
  rm -f "$template.made-by"
  bash "$here/../scripts/wine-prefix.sh" "$template"
  echo "$made_by" >"$template.made-by"
fi

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
