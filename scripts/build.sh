#!/usr/bin/env bash
# Configures and builds the mingw-x64 preset (program, simulated drivers, tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64
