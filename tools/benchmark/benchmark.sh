#!/usr/bin/env bash
# Measures the monitor against the tray floor: start-up, memory, idle CPU,
# command overhead and size. Not part of the test suite: it takes minutes.
#   tools/benchmark.sh [--json FILE] [--runs N] [--idle SECONDS] [--display N] [--arch win32|win64]
# By default it measures the shipped 32-bit build, 5 runs, idle over 60 s.
set -euo pipefail
cd "$(dirname "$0")/.."
json="" runs=5 idle=60 display=79 arch=win32
while [ $# -gt 0 ]; do
  case "$1" in
  --json) json=$(realpath -m "$2"); shift 2 ;;
  --runs) runs=$2; shift 2 ;;
  --idle) idle=$2; shift 2 ;;
  --display) display=$2; shift 2 ;;
  --arch) arch=$2; shift 2 ;;
  *) echo "usage: $0 [--json FILE] [--runs N] [--idle SECONDS] [--display N] [--arch win32|win64]" >&2; exit 2 ;;
  esac
done

bash tools/setup.sh >/dev/null
for preset in win32 win64; do
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
cmake --build --preset win64 --target monitor_benchmark >/dev/null

prefix=$(realpath -m build/bench-prefix)
trap 'bash tools/wine-prefix.sh down "$prefix" >/dev/null' EXIT
bash tools/wine-prefix.sh up "$prefix" "$display" >/dev/null

winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
raw=$(mktemp --suffix=.json)
bin=build/$arch/bin
# Wine's helpers may inherit the driver's output: send it to a file, not a pipe.
WINEPREFIX=$prefix WINEDEBUG=-all DISPLAY=":$display" /usr/lib/wine/wine64 build/win64/bin/monitor_benchmark.exe \
  "$(winpath $bin/ZelnaNivoroMonitor.exe)" "$(winpath $bin/tray_floor.exe)" "$(winpath "$raw")" "$runs" "$idle" \
  </dev/null >"$prefix.driver.log" 2>&1 || { cat "$prefix.driver.log"; exit 1; }
/usr/bin/python3 tools/benchmark-report.py "$raw" build/win32/bin/ZelnaNivoroMonitor.exe build/win32/bin/tray_floor.exe \
  "$arch" ${json:+--json "$json"}
rm -f "$raw"
