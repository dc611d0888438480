#!/usr/bin/env bash
# Builds the release package twice, in two build folders of different paths,
# and compares the shipped executables byte for byte; also checks that the
# PE carries no link time stamp and no build path.
#   check-reproducible.sh [WORK_DIR]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$src/build/reproducible}
rm -rf "$work"
mkdir -p "$work"
for copy in first second-with-a-longer-path; do
  dir="$work/$copy"
  cmake -S "$src" -B "$dir" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DMONITOR_BUILD_TESTS=OFF >"$dir.log" 2>&1
  cmake --build "$dir" --target ZelnaNivoroMonitor -j2 >>"$dir.log" 2>&1
  (cd "$dir" && cpack -G ZIP >>"$dir.log" 2>&1)
  mkdir -p "$dir/unpacked"
  (cd "$dir/unpacked" && cmake -E tar xf "$dir"/ZelnaNivoroMonitor-*-win32.zip)
done
a="$work/first/unpacked" b="$work/second-with-a-longer-path/unpacked"
bad=0
for file in ZelnaNivoroMonitor.exe README.md LICENSE; do
  [ -f "$a/$file" ] || { echo "package lacks $file"; bad=1; }
done
cmp "$a/ZelnaNivoroMonitor.exe" "$b/ZelnaNivoroMonitor.exe" || { echo "the two executables differ"; bad=1; }
cmp "$a/ZelnaNivoroMonitor.exe" "$work/first/bin/ZelnaNivoroMonitor.exe" || { echo "packaged exe is not the built one"; bad=1; }
stamp=$(x86_64-w64-mingw32-objdump -p "$a/ZelnaNivoroMonitor.exe" | sed -n 's/^Time\/Date\s*//p')
case "$stamp" in *1970*) ;; *) echo "link time stamp $stamp"; bad=1 ;; esac
for path in "$src" "$work" /home /tmp; do
  if grep -qaF "$path" "$a/ZelnaNivoroMonitor.exe"; then echo "build path $path baked in"; bad=1; fi
done
[ $bad = 0 ] && echo "$(basename "$a"/../*.zip): executables identical ($(stat -c %s "$a/ZelnaNivoroMonitor.exe") bytes), no time stamp, no build path"
exit $bad
