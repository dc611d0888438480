#!/usr/bin/env bash
# Measures the monitor against the tray floor: start-up, memory, fonts mapped,
# idle CPU, command overhead and size; or, with --long-use N, its memory over
# long use. Not part of the test suite: it takes minutes.
#   tools/benchmark/benchmark.sh [--json FILE] [--runs N] [--idle SECONDS] [--display N]
#                                [--arch win32|win64] [--long-use N]
# By default it measures the shipped 32-bit build, 5 runs, idle over 60 s.
set -euo pipefail
cd "$(dirname "$0")/../.."
usage="usage: $0 [--json FILE] [--runs N] [--idle SECONDS] [--display N] [--arch win32|win64] [--long-use N]"
json="" runs=5 idle=60 display=79 arch=win32 long_use=0
while [ $# -gt 0 ]; do
  case "$1" in
  --json) json=$(realpath -m "$2"); shift 2 ;;
  --runs) runs=$2; shift 2 ;;
  --idle) idle=$2; shift 2 ;;
  --display) display=$2; shift 2 ;;
  --arch) arch=$2; shift 2 ;;
  --long-use) long_use=$2; shift 2 ;;
  *) echo "$usage" >&2; exit 2 ;;
  esac
done
[ "$arch" = win32 ] || [ "$arch" = win64 ] || { echo "$usage" >&2; exit 2; }

# A fresh machine gets what it lacks; a set-up one skips every step.
bash tools/setup.sh >/dev/null

# Only what the run starts: both builds' programs and stand-ins, the 64-bit driver.
for preset in win32 win64; do
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
done
cmake --build --preset win32 --target ZelnaNivoroMonitor tray_floor standin_agent standin_terminate_service >/dev/null
cmake --build --preset win64 --target monitor_benchmark >/dev/null

prefix=$(realpath -m build/bench-prefix)
raw=$(mktemp --suffix=.json)
trap 'rm -f "$raw"; bash tools/wine-prefix.sh down "$prefix" >/dev/null' EXIT
bash tools/wine-prefix.sh up "$prefix" "$display" >/dev/null

winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
start=$(date +%s)
# Wine's helpers may inherit the driver's output: send it to a file, not a pipe.
WINEPREFIX=$prefix WINEDEBUG=-all DISPLAY=":$display" /usr/lib/wine/wine64 build/win64/bin/monitor_benchmark.exe \
  "$arch" "$(winpath "$raw")" "$runs" "$idle" "$long_use" \
  </dev/null >"$prefix.driver.log" 2>&1 || { cat "$prefix.driver.log"; exit 1; }
/usr/bin/python3 tools/benchmark/benchmark-report.py "$raw" build/win32/bin/ZelnaNivoroMonitor.exe \
  build/win32/bin/tray_floor.exe "$arch" --seconds $(( $(date +%s) - start )) ${json:+--json "$json"}
