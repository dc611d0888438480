#!/usr/bin/env bash
# Brings a Wine prefix of the test run up (booted, fonts that show Chinese
# text, a persistent server) or down (its own server and helpers ended).
#   wine-prefix.sh up|down PREFIX
set -euo pipefail
action=$1
export WINEPREFIX=$(realpath -m "$2")
export WINEDEBUG=-all
wine64=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
log="$WINEPREFIX.log"

case "$action" in
up)
  mkdir -p "$WINEPREFIX"
  # Wine's helpers inherit the output of the program that starts them; a
  # caller reading that output through a pipe would wait for ever.
  "$server" -p </dev/null >>"$log" 2>&1
  start=$(date +%s)
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine64" wineboot -i </dev/null >>"$log" 2>&1
  fi
  fonts="$WINEPREFIX/drive_c/windows/Fonts"
  if [ -d /usr/share/wine/fonts ] && [ ! -f "$fonts/.copied" ]; then
    # This Wine build looks for its own fonts only in the prefix.
    cp -n /usr/share/wine/fonts/*.ttf "$fonts/" 2>/dev/null || true
    reg=$(mktemp --suffix=.reg)
    python3 "$(dirname "$0")/wine-settings-reg.py" >"$reg"
    "$wine64" regedit /S "Z:${reg//\//\\}" </dev/null >>"$log" 2>&1
    rm -f "$reg"
    touch "$fonts/.copied"
  fi
  echo "prefix $WINEPREFIX up in $(( $(date +%s) - start )) s"
  ;;
down)
  "$server" -k </dev/null >>"$log" 2>&1 || true
  echo "prefix $WINEPREFIX down"
  ;;
*)
  echo "usage: $0 up|down PREFIX" >&2
  exit 2
  ;;
esac
