#!/usr/bin/env bash
# Sets up a fresh machine, builds both presets and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
for preset in win32 win64; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
ctest --preset win64
