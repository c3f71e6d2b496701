#!/usr/bin/env bash
# Authenticode signing as scripts/release does it (sign_executable in
# scripts/lib.sh), with throwaway self-signed code-signing certificates made
# here. The signed launcher verifies against its signer's certificate and
# against no other; a changed byte breaks it; a wrong password signs
# nothing; with the signature removed it is the unsigned launcher byte for
# byte. Run as: signing_test.sh EXE
source "$(dirname "$0")/../../scripts/lib.sh"
exe="$(realpath "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
faults=0
fault() { echo "FAIL: $*"; faults=$((faults + 1)); }

certificate() {  # certificate NAME: NAME.pem and NAME.pfx (password "pw-NAME")
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=quorvel test $1" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$1.key" -out "$1.pem" 2>/dev/null
  openssl pkcs12 -export -inkey "$1.key" -in "$1.pem" -out "$1.pfx" -passout "pass:pw-$1"
}
verifies() { osslsigncode verify -CAfile "$2" -in "$1" >verify.log 2>&1; }

certificate signer
certificate stranger

sign_executable "$exe" signed.exe signer.pfx pw-signer || fault "signing failed"
verifies signed.exe signer.pem || { cat verify.log; fault "does not verify against its signer"; }
verifies signed.exe stranger.pem && fault "verifies against another certificate"
cmp -s "$exe" signed.exe && fault "signing left the executable unchanged"

osslsigncode remove-signature -in signed.exe -out removed.exe >/dev/null || fault "cannot remove the signature"
cmp "$exe" removed.exe || fault "without its signature it differs from the unsigned executable"

# One byte of code changed after signing.
cp signed.exe tampered.exe
printf '\x90' | dd of=tampered.exe bs=1 seek=2048 conv=notrunc status=none
verifies tampered.exe signer.pem && fault "a changed executable still verifies"

sign_executable "$exe" wrong.exe signer.pfx not-the-password 2>/dev/null && fault "signed with a wrong password"
[ -e wrong.exe ] && fault "a wrong password left a file behind"

[ "$faults" -eq 0 ] && echo "signing: signed, verified, refused 3 ways, removed to the same bytes"
[ "$faults" -eq 0 ]
