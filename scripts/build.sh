#!/usr/bin/env bash
# Configures and builds a preset (program, simulated drivers, tests): mingw-x64 unless
# `--preset <name>` says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=mingw-x64
if [ "${1:-}" = --preset ]; then preset=$2; fi
bash scripts/setup.sh "$preset"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
