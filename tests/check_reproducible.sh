#!/usr/bin/env bash
# Builds the program again from a copy of the sources at another path, later, under another time
# zone and umask, packages it and compares that ZIP with the package of the build in $1 (made by
# the package test): where, when and by whom the release is made must not change a byte of it.
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
name=$(cat "$build/release-name")
copy=$build/reproduce
# Built with the same preset as $1: every preset builds into build/<its name>.
preset=$(basename "$build")

rm -rf "$copy" && mkdir -p "$copy/src"
# The sources as they are now, without build trees or git history, every file with a new time.
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy/src" -xmf -
epoch=$(bash "$source_dir/scripts/source-date.sh")
(
  cd "$copy/src"
  export TZ='<+14>-14' SOURCE_DATE_EPOCH=$epoch
  umask 077
  { cmake --preset "$preset" && cmake --build --preset "$preset" --target gputherm gputherm-report; } \
    >"$copy/build.log" 2>&1 || { cat "$copy/build.log"; exit 1; }
  bash scripts/package.sh --built "build/$preset" >/dev/null
)

ours=$build/$name.zip
theirs=$copy/src/build/$preset/$name.zip
echo "package of this build: $(sha256sum <"$ours" | cut -d' ' -f1)"
echo "package of the copy:   $(sha256sum <"$theirs" | cut -d' ' -f1) (made in $copy, TZ=<+14>-14)"
if ! cmp -s "$ours" "$theirs"; then
  echo "FAIL: the two packages differ; their entries:"
  diff <(zipinfo -v "$ours") <(zipinfo -v "$theirs") || true
  exit 1
fi
rm -rf "$copy"
echo "same bytes"
