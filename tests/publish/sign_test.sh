#!/usr/bin/env bash
# scripts/sign with a throwaway code-signing CA made here: the signed copy of
# each Windows program verifies against that CA, a changed byte does not, and
# the signed installer runs offline under Wine exactly as the unsigned one.
set -u
cd "$(dirname "$0")/../.."
root=$PWD
fails=0
check() {
  if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fails=$((fails + 1)); fi
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ssl() { openssl "$@" >/dev/null 2>&1; }

ssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.crt" -days 2 \
  -subj "/CN=Throwaway Code Signing CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign"
ssl req -new -newkey rsa:2048 -nodes -keyout "$work/leaf.key" -out "$work/leaf.csr" -subj "/CN=Throwaway Publisher"
printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$work/ext"
ssl x509 -req -in "$work/leaf.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -set_serial 1 -days 2 \
  -extfile "$work/ext" -out "$work/leaf.crt"
ssl pkcs12 -export -inkey "$work/leaf.key" -in "$work/leaf.crt" -certfile "$work/ca.crt" \
  -passout pass:throwaway -out "$work/signer.p12"
check "throwaway CA and code-signing certificate" '[ -s "$work/signer.p12" ]'

export VARNEL_SIGN_PKCS12=$work/signer.p12 VARNEL_SIGN_PASSWORD=throwaway VARNEL_SIGN_CAFILE=$work/ca.crt
for exe in build/windows/varnel-setup.exe build/windows/varnel-release.exe; do
  name=$(basename "$exe")
  [ -f "$exe" ] || { echo "FAIL $exe missing"; fails=$((fails + 1)); continue; }
  before=$(sha256sum "$exe" | cut -d" " -f1)
  check "$name: signed copy verifies" 'scripts/sign "$exe" "$work/$name" >/dev/null'
  check "$name: built file untouched" '[ "$(sha256sum "$exe" | cut -d" " -f1)" = "$before" ]'
  check "$name: against the throwaway CA" 'osslsigncode verify -in "$work/$name" -CAfile "$work/ca.crt" >/dev/null 2>&1'
  python3 -c 'import sys; p = sys.argv[1]; b = bytearray(open(p, "rb").read()); b[len(b) // 2] ^= 1; open(p, "wb").write(b)' "$work/$name"
  check "$name: one changed byte fails verification" '! osslsigncode verify -in "$work/$name" -CAfile "$work/ca.crt" >/dev/null 2>&1'
done
check "wrong password refused" '! VARNEL_SIGN_PASSWORD=wrong scripts/sign build/windows/varnel-setup.exe "$work/x.exe" 2>/dev/null && [ ! -e "$work/x.exe" ]'

# Offline (no host answers), the signed installer prints and exits as the unsigned one.
scripts/sign build/windows/varnel-setup.exe "$work/signed.exe" >/dev/null
export WINEPREFIX="${WINEPREFIX:-$root/build/wine-prefix}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
echo '{"hosts": {}, "timeout_s": 60}' >"$work/offline.json"
offline() {
  python3 tests/world/world.py run --config "$work/offline.json" --logs "$work/logs" \
    --env WINEPREFIX="$WINEPREFIX" --env WINEDEBUG=-all --env WINEDLLOVERRIDES="mscoree,mshtml=" -- wine "$1" >"$2" 2>/dev/null
  echo $? >>"$2"
}
offline "$root/build/windows/varnel-setup.exe" "$work/unsigned.out"
offline "$work/signed.exe" "$work/signed.out"
check "signed and unsigned runs alike under Wine offline" 'cmp -s "$work/unsigned.out" "$work/signed.out" && grep -q "Node F" "$work/signed.out"'
echo "$fails failed"
[ "$fails" -eq 0 ]
