#!/usr/bin/env bash
# Runs clang-tidy-16 (checks in .clang-tidy) over the program (app/, backends/, facade/), the report
# program (report/) and the simulated drivers and probe (tools/), with the compile commands of the
# clang-mingw-x64 build, two files at a time. Exits 1 on any finding, which .clang-tidy makes an error.
# Usage: bash scripts/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh lint
build=build/clang-mingw-x64
# Configuring is enough: clang-tidy reads the compile commands, not the objects.
[ -f "$build/compile_commands.json" ] || cmake --preset clang-mingw-x64 >/dev/null
status=0
git ls-files 'app/*.cpp' 'backends/*.cpp' 'facade/*.cpp' 'report/*.cpp' 'tools/*.cpp' |
  xargs -P 2 -n 1 clang-tidy-16 -p "$build" --quiet >"$build/lint.log" 2>&1 || status=1
# The counts of warnings in system headers, which are not shown, say nothing.
grep -v -E '^[0-9]+ (warnings?|errors?)( and [0-9]+ errors?)? generated\.$' "$build/lint.log" || true
if [ "$status" -ne 0 ]; then
  echo "lint: findings above" >&2
  exit 1
fi
echo "lint: no findings"
