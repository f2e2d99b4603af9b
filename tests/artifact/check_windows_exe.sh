#!/usr/bin/env bash
# The Windows release file: one self-contained file that imports only
# KnownDLLs, small, carrying its manifest, and reproducible.
set -u
cd "$(dirname "$0")/../.."
exe=build/windows/varnel-setup.exe
fails=0
check() {
  if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fails=$((fails + 1)); fi
}
[ -f "$exe" ] || { echo "FAIL $exe missing"; exit 1; }
imports() { x86_64-w64-mingw32-objdump -p "$1" | awk '/DLL Name:/ {print toupper($3)}' | sort | tr '\n' ' '; }
# Only KnownDLLs, which the loader never looks for beside the program; every
# other DLL is loaded by hand from System32.
known_only() { [ -z "$(imports "$1" | tr " " "\n" | grep -vxE "|KERNEL32.DLL|MSVCRT.DLL")" ]; }
echo "     imports: $(imports "$exe")"
check "imports only KERNEL32 and MSVCRT" 'known_only "$exe"'
release_tool=build/windows/varnel-release.exe
check "the release tool imports only KERNEL32 and MSVCRT" 'known_only "$release_tool"'
check "a WINHTTP import is refused" '! known_only build/windows/tests/planted/static-winhttp.exe'
size=$(stat -c %s "$exe")
echo "     size: $size bytes"
check "at most 128 KiB" '[ "$size" -le 131072 ]'
check "no link time stamp" 'x86_64-w64-mingw32-objdump -p "$exe" | grep -q "^Time/Date.*1970"'
check "UTF-8 code page and asInvoker in its manifest" 'grep -aq "<activeCodePage" "$exe" && grep -aq "asInvoker" "$exe"'
check "version resource" 'grep -aq "V.S._.V.E.R.S.I.O.N._.I.N.F.O" "$exe"'
first=$(sha256sum "$exe" | cut -d" " -f1)
rm -f "$exe"
cmake --build --preset windows --target varnel-setup >/dev/null
second=$(sha256sum "$exe" | cut -d" " -f1)
check "relinking gives the same bytes" '[ "$first" = "$second" ]'
echo "$fails failed"
[ "$fails" -eq 0 ]
