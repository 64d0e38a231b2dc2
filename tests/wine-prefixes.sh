#!/usr/bin/env bash
# Makes the Wine prefixes the tests run in: a fresh one at $1 and copies of it at $1-<id> for every
# other prefix id of the resource file $2. Tests run side by side, each in a prefix of its own, since
# each installs simulated drivers in its prefix's system folder; CTest hands them out (see
# cmake/wine-run.sh). A copy costs a second where making a prefix costs ten.
set -euo pipefail
prefix=$1
resources=$2
bash "$(dirname "$0")/../scripts/wine-prefix.sh" "$prefix"
for id in $(sed -n 's/.*"id": *"\([0-9]*\)".*/\1/p' "$resources"); do
  [ "$id" = 0 ] && continue
  WINEPREFIX=$prefix-$id wineserver -k 2>/dev/null || true
  rm -rf "$prefix-$id"
  cp -a "$prefix" "$prefix-$id"
done
echo "copies: $(ls -d "$prefix"-* 2>/dev/null | wc -l)"
