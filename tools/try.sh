#!/usr/bin/env bash
# Sets up, builds, and starts the monitor in a Wine prefix with the stand-in
# agent and terminate service installed, so that a person can see its icon.
#   tools/try.sh [win32|win64]     (win32, the shipped program, by default)
# Without a display it runs on a virtual screen and writes a screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-win32}
bash tools/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
prefix=$PWD/build/try-prefix
display=
if [ -z "${DISPLAY:-}" ]; then display=78; fi
bash tools/wine-prefix.sh up "$prefix" $display
export WINEPREFIX=$prefix WINEDEBUG=-all DISPLAY=${DISPLAY:-:$display}
case "$preset" in
  win32) wine=/usr/lib/wine/wine; programs="$prefix/drive_c/Program Files (x86)" ;;
  *) wine=/usr/lib/wine/wine64; programs="$prefix/drive_c/Program Files" ;;
esac
bin=build/$preset/bin
mkdir -p "$programs/Zelna/Nivoro"
cp "$bin/standin_agent.exe" "$programs/Zelna/Nivoro/ZelnaNivoroAgent.exe"
cp "$bin/standin_terminate_service.exe" "$programs/Zelna/Nivoro/ZelnaTerminateService.exe"
setsid "$wine" "$bin/ZelnaNivoroMonitor.exe" </dev/null >>"$prefix.log" 2>&1 &
echo "monitor started ($preset); right-click its icon at the right end of the taskbar"
if [ -n "$display" ]; then
  sleep "${TRY_WAIT:-8}"
  shot=$PWD/build/try-screenshot.png
  import -display ":$display" -window root "$shot"
  echo "screenshot: $shot"
  echo "end it with: WINEPREFIX=$prefix /usr/lib/wine/wineserver -k (and kill the Xvfb in $prefix.xvfb.pid)"
fi
