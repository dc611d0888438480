#!/usr/bin/env bash
# A person at the screen: the real monitor in the test prefix's virtual desktop, its icon right-clicked with
# the mouse, Restart and About chosen from the real menu, the icon's colour read off screenshots. The README's
# pictures come from this run.   tray_screen_test.sh BIN_DIR PREFIX DISPLAY_NUMBER
set -euo pipefail
bin=$1
export WINEPREFIX=$(realpath "$2") WINEDEBUG=-all DISPLAY=:$3
shots=$(dirname "$WINEPREFIX")/screens programs="$WINEPREFIX/drive_c/Program Files/Zelna/Nivoro"
mkdir -p "$shots" "$programs"
cp "$bin/standin_agent.exe" "$programs/ZelnaNivoroAgent.exe"
cp "$bin/standin_terminate_service.exe" "$programs/ZelnaTerminateService.exe"
rm -rf "$WINEPREFIX/drive_c/users/${USER:-root}/AppData/Roaming/Zelna"

# Where things show on the 1024x768 desktop: the notification area's first slot at the right end of the
# taskbar and its middle; the menu (and its first two entries, clear of the tooltip), the Restart and About
# entries' middles; the Restart box and its OK; the About box; a point away from all of them; the tray's
# corner for the pictures.
slot=16x16+1004+749 x=1012 y=757
menu=300x160+724+608 menu_top=200x40+800+666 restart_entry="950 676" about_entry="950 717"
box=130x100+447+326 box_ok="513 393" about=400x140+0+0 away="600 300" tray=120x40+904+728
# Over the icon's square in HSL: grey has almost no saturation (mean.g) but is no flat background (some
# deviation); colour is clearly saturated. A window that shows changes thousands of pixels of its region.
grey_max_saturation=0.1 flat_max_deviation=0.01 colour_min_saturation=0.2 shown_min_pixels=2000
measure() { convert "$1" -crop $slot -colorspace HSL -format "%[fx:$2]" info:; }
is_grey() {
  [ "$(measure "$1" "standard_deviation > $flat_max_deviation")" = 1 ] &&
    [ "$(measure "$1" "mean.g < $grey_max_saturation")" = 1 ]
}
is_colour() { [ "$(measure "$1" "mean.g > $colour_min_saturation")" = 1 ]; }
shown() { [ "$(compare -metric AE -crop "$1" "$before" "$2" null: 2>&1 || true)" -gt $shown_min_pixels ]; }  # REGION SHOT
shoot() {  # NAME TEST (words) MESSAGE: screenshots until the test holds, at most about 10 s
  for _ in $(seq 20); do
    shot="$shots/$1.png" && import -window root "$shot" && $2 "$shot" && return 0
    sleep 0.5
  done
  echo "FAIL: $3 (see $shot)" && exit 1
}

# No monitor or agent of an earlier run: a running agent would make the first start's icon colour.
end_all() { /usr/lib/wine/wine64 taskkill /f /im ZelnaNivoroMonitor.exe /im ZelnaNivoroAgent.exe >/dev/null 2>&1 || true; }
end_all && trap end_all EXIT
setsid /usr/lib/wine/wine64 "$bin/ZelnaNivoroMonitor.exe" </dev/null >/dev/null 2>&1 &
shoot 1-grey is_grey "no grey icon at first start"
before=$shot && xdotool mousemove $x $y click 3 mousemove $away sleep 1  # the tooltip would hide an entry
shoot 2-menu "shown $menu_top" "no menu after a right-click"
before=$shot && xdotool mousemove $restart_entry click 1
shoot 3-box "shown $box" "no Restart box"
xdotool mousemove $box_ok click 1
shoot 4-colour is_colour "the icon is not in colour after Restart"
before=$shot && xdotool mousemove $x $y click 3 sleep 1 mousemove $about_entry click 1
shoot 5-about "shown $about" "no About box"
xdotool key Escape

for picture in 1-grey:tray-stopped:$tray 4-colour:tray-running:$tray 2-menu:tray-menu:$menu \
  3-box:restart-box:$box 5-about:about-box:$about; do
  IFS=: read -r from to region <<<"$picture"
  convert "$shots/$from.png" -crop "$region" +repage "$shots/$to.png"
done
echo "grey icon, menu on a right-click, Restart box, colour icon, About box; pictures in $shots"
