#!/usr/bin/env bash
# Regenerates the tray monitor's icon files in icons/ with ImageMagick.
#   agent_running.ico  one 50x50 32-bit image: shield with a card chip on a blue disc
#   agent_stopped.ico  the same pixels in grey, so the two states differ only in colour
#   monitor_small.ico  an application window at 4, 8 and 32 bits per pixel
# Usage: resources/make_icons.sh   (needs ImageMagick and python3)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=$here/icons
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if command -v magick >/dev/null 2>&1; then im=(magick); else im=(convert); fi
mkdir -p "$out"

# --- Agent emblem -----------------------------------------------------------
# Drawn at 8x and scaled down, which gives smooth edges and a real alpha ramp.
# A gradient has no alpha channel until told so, and the disc cut-out needs one.
shield='M 200,70 L 300,106 L 300,192 C 300,262 254,306 200,330 C 146,306 100,262 100,192 L 100,106 Z'
shadow='M 200,80 L 308,118 L 308,200 C 308,272 258,318 200,342 C 142,318 92,272 92,200 L 92,118 Z'
"${im[@]}" -size 400x400 \
  -define gradient:center=150,130 -define gradient:radii=300,300 \
  radial-gradient:'#5fb2ff-#0b3d91' -alpha set \
  \( -size 400x400 xc:none -fill white -draw 'circle 200,200 200,6' \) \
  -compose DstIn -composite -compose Over \
  -fill none -stroke '#ffffffb0' -strokewidth 10 -draw 'circle 200,200 200,20' \
  -stroke none -fill '#00000040' -draw "path '$shadow'" \
  -fill '#f5f8ff' -draw "path '$shield'" \
  -fill '#f2c037' -stroke '#9a6b00' -strokewidth 8 \
  -draw 'roundrectangle 148,140 252,236 16,16' \
  -fill none \
  -draw 'line 148,172 176,172' -draw 'line 224,172 252,172' \
  -draw 'line 148,204 176,204' -draw 'line 224,204 252,204' \
  -draw 'line 200,140 200,160' -draw 'line 200,216 200,236' \
  -draw 'roundrectangle 176,160 224,216 8,8' \
  -resize 50x50 -type TrueColorAlpha "$tmp/running.png"

"${im[@]}" "$tmp/running.png" -type TrueColorAlpha "$out/agent_running.ico"
# Grey from the very same pixels; alpha is left as it is.
"${im[@]}" "$tmp/running.png" -grayscale Rec709Luminance \
  -colorspace sRGB -type TrueColorAlpha "$out/agent_stopped.ico"

# --- Application window -----------------------------------------------------
# Laid out on a 16x16 grid and drawn at each size without anti-aliasing, so
# every edge falls on whole pixels even at 16x16.
# window SIZE STYLE FILE: STYLE flat (few colours, for 4 bpp), shaded
# (gradients, for 8 bpp) or shadowed (shaded plus a soft drop shadow, 32 bpp).
window() {
  local n=$1 style=$2 file=$3 u=$(( $1 / 16 ))
  # r X0 Y0 X1 Y1: grid cells X0..X1, Y0..Y1 (inclusive) as a pixel rectangle.
  r() { echo "rectangle $(( $1*u )),$(( $2*u )) $(( ($3+1)*u-1 )),$(( ($4+1)*u-1 ))"; }
  local title=( -fill '#2d6fd2' -draw "$(r 1 2 13 3)" )
  local client=( -fill white -draw "$(r 1 4 13 13)" )
  local over=()
  if [ "$style" != flat ]; then
    title=()
    client=()
    over=(
      \( -size $(( 13*u ))x$(( 2*u )) -define gradient:direction=East gradient:'#1a4fa8-#5aa0f0' \)
      -geometry +$u+$(( 2*u )) -composite
      \( -size $(( 13*u ))x$(( 10*u )) -define gradient:direction=South gradient:'#ffffff-#dfe7f2' \)
      -geometry +$u+$(( 4*u )) -composite
    )
  fi
  local base=( -size ${n}x${n} xc:none +antialias )
  if [ "$style" = shadowed ]; then
    # Shadow one cell down and right, blurred, under the window itself.
    base+=( -fill '#00000060' -draw "$(r 1 2 15 15)" -channel A -blur 0x$u +channel )
  fi
  "${im[@]}" "${base[@]}" \
    -fill '#2a3f5f' -draw "$(r 0 1 14 14)" \
    "${title[@]}" "${client[@]}" "${over[@]}" \
    -fill '#e5533d' -draw "$(r 11 2 12 3)" \
    -fill '#8fa0b8' -draw "$(r 3 6 11 6)" -draw "$(r 3 8 9 8)" -draw "$(r 3 10 10 10)" \
    "$file"
}
# The 4-bit images use the flat style, which has fewer than 16 colours; the
# 8-bit ones are cut to 256 colours, and ImageMagick picks each image's depth
# from its colour count, so the check below is what holds the depths in place.
for n in 32 16; do window $n flat "$tmp/w4_$n.png"; done
for n in 48 32 16; do window $n shaded "$tmp/w8_$n.png"; done
for n in 48 32 16; do window $n shadowed "$tmp/w32_$n.png"; done
"${im[@]}" \
  \( "$tmp/w4_32.png" "$tmp/w4_16.png" -type PaletteAlpha -colors 16 \) \
  \( "$tmp/w8_48.png" "$tmp/w8_32.png" "$tmp/w8_16.png" -type PaletteAlpha -colors 256 \) \
  \( "$tmp/w32_48.png" "$tmp/w32_32.png" "$tmp/w32_16.png" -type TrueColorAlpha \) \
  "$out/monitor_small.ico"

# --- Check ------------------------------------------------------------------
# The icon directories must be exactly what the resource script promises:
# (width, height, bits per pixel) of every image, in file order.
python3 - "$out" <<'PY'
import struct, sys, os
want = {
    "agent_running.ico": [(50, 50, 32)],
    "agent_stopped.ico": [(50, 50, 32)],
    "monitor_small.ico": [(32, 32, 4), (16, 16, 4),
                          (48, 48, 8), (32, 32, 8), (16, 16, 8),
                          (48, 48, 32), (32, 32, 32), (16, 16, 32)],
}
bad = False
for name, expected in want.items():
    data = open(os.path.join(sys.argv[1], name), "rb").read()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    got = []
    for i in range(count):
        w, h, _, _, _, bits, size, off = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        # The bitmap header must agree with the directory entry (height is
        # doubled there to cover the AND mask).
        _, bw, bh, _, bbits = struct.unpack_from("<IiiHH", data, off)
        if (bw, bh, bbits) != (w or 256, 2 * (h or 256), bits) or off + size > len(data):
            print(f"{name}: image {i}: header {bw}x{bh}/{bbits} does not match directory")
            bad = True
        got.append((w or 256, h or 256, bits))
    if (reserved, kind) != (0, 1) or got != expected:
        print(f"{name}: got {got}, want {expected}")
        bad = True
    else:
        print(f"{name}: {count} image(s) ok")
sys.exit(1 if bad else 0)
PY
