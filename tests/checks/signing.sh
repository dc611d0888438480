#!/usr/bin/env bash
# The release signed in its one command with a throwaway RSA code-signing certificate: osslsigncode accepts the
# signature against that certificate and refuses it once one byte of the program changes; removing it gives back
# the unsigned build byte for byte, so bin/ stays unsigned; the signed program still starts and makes its window
# under Wine, which checks no signature (what Windows makes of one is a check by hand).
#   signing.sh SOURCE_DIR UNSIGNED_EXE WORK_DIR PREFIX DISPLAY_NUMBER
set -euo pipefail
src=$1 unsigned=$(realpath "$2") work=$(realpath -m "$3")
export WINEPREFIX=$(realpath "$4") WINEDEBUG=-all DISPLAY=:$5
fail() { echo "FAIL: $1" && exit 1; }
rm -rf "$work" && mkdir -p "$work/unpacked" && cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out signer.pem -days 1 -subj "/CN=Throwaway signer" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning 2>/dev/null
echo "throwaway $RANDOM" >password
openssl pkcs12 -export -inkey key.pem -in signer.pem -passout file:password -out signer.p12
(cd "$src" && MONITOR_SIGN_PKCS12=$work/signer.p12 MONITOR_SIGN_PASSWORD_FILE=$work/password \
  cpack --preset win32 -B "$work") >cpack.log 2>&1 || { cat cpack.log; fail "packaging with a certificate failed"; }
(cd unpacked && cmake -E tar xf "$work"/ZelnaNivoroMonitor-*-win32.zip)
signed=$work/unpacked/ZelnaNivoroMonitor.exe
verify() { osslsigncode verify -CAfile signer.pem -in "$1" >verify.log 2>&1; }
verify "$signed" || { cat verify.log; fail "the signature does not verify"; }
cp "$signed" changed.exe
at=4096 byte=$(od -An -tu1 -j $at -N1 changed.exe)
printf "\\$(printf %o $((byte ^ 1)))" | dd of=changed.exe bs=1 seek=$at conv=notrunc status=none
! verify changed.exe || fail "a program with one byte changed still verifies"
osslsigncode remove-signature -in "$signed" -out unsigned.exe >/dev/null
cmp unsigned.exe "$unsigned" || fail "without its signature the program is not the unsigned build"

# The signed program, started with no agent, writes its state, makes its window and keeps running; a close
# message to its windows ends it with 0. A program without a window would not end on one.
state="$WINEPREFIX/drive_c/users/${USER:-root}/AppData/Roaming/Zelna/info.ini"
/usr/lib/wine/wine64 taskkill /f /im ZelnaNivoroMonitor.exe /im ZelnaNivoroAgent.exe >/dev/null 2>&1 || true
rm -f "$state"
/usr/lib/wine/wine "$signed" </dev/null >>wine.log 2>&1 &
monitor=$!
for _ in $(seq 900); do [ -f "$state" ] && break; sleep 0.2; done  # an emulated 32-bit start takes a minute
sleep 1
kill -0 $monitor 2>/dev/null || fail "the signed program did not start, or ended by itself"
for _ in $(seq 20); do
  /usr/lib/wine/wine64 taskkill /im ZelnaNivoroMonitor.exe >/dev/null 2>&1 || true
  sleep 0.5
  kill -0 $monitor 2>/dev/null || break
done
kill -0 $monitor 2>/dev/null && { kill $monitor; fail "the signed program has no window to close"; }
code=0 && wait $monitor || code=$?
[ $code = 0 ] || fail "the signed program ended with $code"
echo "signed, verified, refused once changed, unsigned again byte for byte; the signed program ran and closed"
