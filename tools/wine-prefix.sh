#!/usr/bin/env bash
# Brings a Wine prefix of the test run up (booted, fonts that show Chinese
# text, a persistent server) or down (its own server and helpers ended).
#   wine-prefix.sh up|down PREFIX [DISPLAY_NUMBER]
# With a display number it also runs a virtual X screen there (Xvfb), since
# Wine creates no window, message box or menu without one.
set -euo pipefail
action=$1
export WINEPREFIX=$(realpath -m "$2")
export WINEDEBUG=-all
wine64=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
log="$WINEPREFIX.log"
display=${3:-}
xvfb_pid="$WINEPREFIX.xvfb.pid"

case "$action" in
up)
  mkdir -p "$WINEPREFIX"
  if [ -n "$display" ] && [ ! -e "/tmp/.X11-unix/X$display" ]; then
    setsid Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp </dev/null >>"$log" 2>&1 &
    echo $! >"$xvfb_pid"
    for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
  fi
  [ -z "$display" ] || export DISPLAY=":$display"
  # Wine's helpers inherit the output of the program that starts them; a
  # caller reading that output through a pipe would wait for ever.
  "$server" -p </dev/null >>"$log" 2>&1 || true  # already up is fine
  start=$(date +%s)
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine64" wineboot -i </dev/null >>"$log" 2>&1
  fi
  if [ -d /usr/share/wine/fonts ]; then
    # This Wine build looks for its own fonts only in the prefix.
    cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  fi
  # The settings, imported again whenever they differ from those the prefix last took: an existing prefix
  # gets a changed setting too.
  reg=$(mktemp --suffix=.reg)
  python3 "$(dirname "$0")/wine-settings-reg.py" >"$reg"
  if ! cmp -s "$reg" "$WINEPREFIX/settings.reg"; then
    "$wine64" regedit /S "Z:${reg//\//\\}" </dev/null >>"$log" 2>&1
    cp "$reg" "$WINEPREFIX/settings.reg"
  fi
  rm -f "$reg"
  if [ -n "$display" ]; then
    # Started here, the desktop's explorer inherits the log, not the output
    # pipe of whichever test first opens a window.
    setsid "$wine64" explorer.exe /desktop=shell,1024x768 </dev/null >>"$log" 2>&1 &
    sleep 2
  fi
  echo "prefix $WINEPREFIX up in $(( $(date +%s) - start )) s"
  ;;
down)
  "$server" -k </dev/null >>"$log" 2>&1 || true
  if [ -f "$xvfb_pid" ]; then
    kill "$(cat "$xvfb_pid")" 2>/dev/null || true
    rm -f "$xvfb_pid"
  fi
  echo "prefix $WINEPREFIX down"
  ;;
*)
  echo "usage: $0 up|down PREFIX" >&2
  exit 2
  ;;
esac
