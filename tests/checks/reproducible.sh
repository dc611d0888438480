#!/usr/bin/env bash
# Builds the release package twice, side by side in folders of different names and path lengths: the
# shipped executables must match byte for byte and carry no build path (pe_hardening.py: no time stamp).
#   reproducible.sh WORK_DIR
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(realpath -m "$1")
rm -rf "$work" && mkdir -p "$work"
# Unsigned: a signature records when it was made, so two signed builds always differ.
unset MONITOR_SIGN_PKCS12 MONITOR_SIGN_PASSWORD_FILE MONITOR_SIGN_TIMESTAMP_URL
package() {  # builds and unpacks the release zip in $work/$1 as if at the time $2
  local dir="$work/$1" && export SOURCE_DATE_EPOCH=$2
  { cmake -S "$src" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DMONITOR_BUILD_TESTS=OFF && cmake --build "$dir" --target ZelnaNivoroMonitor -j2 && (cd "$dir" && cpack -G ZIP) &&
    cmake -E make_directory "$dir/unpacked" && (cd "$dir/unpacked" && cmake -E tar xf "$dir"/*-win32.zip); } \
    >"$dir.log" 2>&1 || { echo "the $1 build failed: $dir.log"; return 1; }
}
# Side by side, at times told apart: what differs with the time of day differs between the two.
# Both waited for, so that a failed build is reported as such and leaves no other build running.
package first 1000000000 & first=$!
package second-with-a-longer-name 1100000000 & second=$!
built=0
wait $first || built=1
wait $second || built=1
[ $built = 0 ] || exit 1
exe=$work/first/unpacked/ZelnaNivoroMonitor.exe
cmp "$exe" "$work/second-with-a-longer-name/unpacked/ZelnaNivoroMonitor.exe" || { echo "the two executables differ"; exit 1; }
for path in "$src" "$work"; do
  if grep -qaF "$path" "$exe"; then echo "build path $path baked in"; exit 1; fi
done
echo "executables identical ($(stat -c %s "$exe") bytes), no build path"
