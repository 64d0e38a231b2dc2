#!/usr/bin/env bash
# Configures and builds a preset: mingw-x64 unless `--preset <name>` says otherwise; everything
# (program, simulated drivers, tests, benchmarks), or only the targets named after `--target`.
# Usage: bash scripts/build.sh [--preset <name>] [--target <target>...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=mingw-x64
if [ "${1:-}" = --preset ]; then
  preset=$2
  shift 2
fi
targets=()
if [ "${1:-}" = --target ]; then
  shift
  targets=(--target "$@")
fi
bash scripts/setup.sh "$preset"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" "${targets[@]}"
