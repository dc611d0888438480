#!/usr/bin/env bash
# The release signed in its one command with a throwaway RSA code-signing certificate: osslsigncode accepts the
# signature against that certificate; removing it gives back the unsigned build byte for byte, the one the
# tests run, so bin/ stays unsigned and the signed program runs as that one does (Wine checks no signature;
# what Windows makes of one is a check by hand).
#   signing.sh SOURCE_DIR UNSIGNED_EXE WORK_DIR
set -euo pipefail
src=$1 unsigned=$(realpath "$2") work=$(realpath -m "$3")
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
osslsigncode verify -CAfile signer.pem -in "$signed" >verify.log 2>&1 || { cat verify.log; fail "the signature does not verify"; }
osslsigncode remove-signature -in "$signed" -out unsigned.exe >/dev/null
cmp unsigned.exe "$unsigned" || fail "without its signature the program is not the unsigned build"
echo "signed, verified, unsigned again byte for byte"
