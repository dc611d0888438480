#!/usr/bin/env bash
# Every executable of a build must be a PE of the build's machine that
# imports nothing but Windows system DLLs (no MinGW runtime beside it).
#   check-pe-imports.sh BIN_DIR pei-i386|pei-x86-64
set -euo pipefail
dir=$1 format=$2
allowed='^(kernel32|user32|gdi32|shell32|advapi32|msvcrt|ole32|comctl32|shlwapi)\.dll$'
shopt -s nullglob
exes=("$dir"/*.exe)
[ ${#exes[@]} -gt 0 ] || { echo "no executables in $dir"; exit 1; }
bad=0
for exe in "${exes[@]}"; do
  dump=$(x86_64-w64-mingw32-objdump -p "$exe")
  grep -q "file format $format" <<<"$dump" || { echo "$exe: not $format"; bad=1; }
  while read -r dll; do
    grep -qiE "$allowed" <<<"$dll" || { echo "$exe imports $dll"; bad=1; }
  done < <(sed -n 's/^\s*DLL Name: //p' <<<"$dump")
done
[ $bad = 0 ] && echo "${#exes[@]} executables in $dir: $format, system DLLs only"
exit $bad
