#!/usr/bin/env bash
# Copies the pictures the README shows from the last screen test's run.
set -euo pipefail
cd "$(dirname "$0")/.."
shots=build/win64/screens
for picture in tray-stopped tray-running tray-menu restart-box about-box; do
  cp "$shots/$picture.png" docs/
done
echo "docs/ updated from $shots"
