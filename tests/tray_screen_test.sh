#!/usr/bin/env bash
# A person at the screen: the real monitor in the test prefix's virtual
# desktop, its icon right-clicked with the mouse, Restart chosen from the
# real menu, and the icon's colour read off screenshots.
#   tray_screen_test.sh BIN_DIR PREFIX DISPLAY_NUMBER
set -euo pipefail
bin=$1
export WINEPREFIX=$2 WINEDEBUG=-all DISPLAY=:$3
shots=$(dirname "$WINEPREFIX")/screens
mkdir -p "$shots"
programs="$WINEPREFIX/drive_c/Program Files/Zelna/Nivoro"
mkdir -p "$programs"
cp "$bin/standin_agent.exe" "$programs/ZelnaNivoroAgent.exe"
cp "$bin/standin_terminate_service.exe" "$programs/ZelnaTerminateService.exe"
rm -rf "$WINEPREFIX/drive_c/users/${USER:-root}/AppData/Roaming/Zelna" 2>/dev/null || true

# The notification area's first slot, at the right end of the taskbar.
icon_x=1012 icon_y=757
saturation() {  # mean colour saturation of the icon's square
  convert "$1" -crop 16x16+$((icon_x - 8))+$((icon_y - 8)) -colorspace HSL -channel G -separate +channel \
    -format '%[fx:mean]' info:
}
spread() {  # 0 where the square is plain taskbar, no icon
  convert "$1" -crop 16x16+$((icon_x - 8))+$((icon_y - 8)) -colorspace gray -format '%[fx:standard_deviation]' info:
}
changed() {  # share of pixels that differ between two shots in a region
  compare -metric AE -crop "$3" "$1" "$2" null: 2>&1 || true
}
shot() { import -window root "$shots/$1.png"; echo "$shots/$1.png"; }
fail() { echo "FAIL: $*"; exit 1; }

setsid /usr/lib/wine/wine64 "$bin/ZelnaNivoroMonitor.exe" </dev/null >/dev/null 2>&1 &
sleep 4
grey=$(shot 1-grey)
s=$(saturation "$grey")
awk "BEGIN{exit !($s < 0.1)}" || fail "icon at first start is not grey (saturation $s)"
echo "first start: grey icon (saturation $s)"

xdotool mousemove $icon_x $icon_y click 3
sleep 2
menu=$(shot 2-menu)
px=$(changed "$grey" "$menu" 300x120+724+628)
[ "${px%%.*}" -gt 500 ] || fail "no menu after a right-click ($px pixels changed)"
echo "right-click: menu open ($px pixels changed)"

# First entry, Restart; its box is answered with Enter.
xdotool mousemove 950 676 click 1
sleep 4
box=$(shot 3-box)
# A loaded machine may show the box late: answer until the colour shows.
for _ in $(seq 10); do
  xdotool key Return
  sleep 0.5
  xdotool mousemove 513 393 click 1  # the box's OK, should the key have gone elsewhere
  sleep 2
  colour=$(shot 4-colour)
  s=$(saturation "$colour")
  awk "BEGIN{exit !($s > 0.2)}" && break
done
awk "BEGIN{exit !($s > 0.2)}" || fail "icon after Restart is not in colour (saturation $s)"
echo "Restart: colour icon (saturation $s)"

# Fourth entry, About (its template puts it at the top left); closed with Escape.
xdotool mousemove $icon_x $icon_y click 3
sleep 2
xdotool mousemove 950 717 click 1
sleep 3
about=$(shot 5-about)
xdotool key Escape
sleep 1
px=$(changed "$colour" "$about" 400x140+0+16)
[ "${px%%.*}" -gt 2000 ] || fail "no About box ($px pixels changed)"
echo "About: box shown ($px pixels changed)"

# The pictures the README shows.
convert "$grey" -crop 120x40+904+728 +repage "$shots/tray-stopped.png"
convert "$colour" -crop 120x40+904+728 +repage "$shots/tray-running.png"
convert "$menu" -crop 300x160+724+608 +repage "$shots/tray-menu.png"
convert "$box" -crop 130x100+447+326 +repage "$shots/restart-box.png"
convert "$about" -crop 400x140+0+16 +repage "$shots/about-box.png"

# Last entry, Close: the icon goes.
xdotool mousemove $icon_x $icon_y click 3
sleep 2
xdotool mousemove 950 $((icon_y - 18)) click 1
sleep 3
gone=$(shot 6-closed)
s=$(spread "$gone")
awk "BEGIN{exit !($s < 0.01)}" || fail "an icon is left after Close (spread $s)"
echo "Close: icon removed; screenshots in $shots (tools/readme-pictures.sh copies the README's)"
