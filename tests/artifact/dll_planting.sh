#!/usr/bin/env bash
# A winhttp.dll planted beside the Windows program, as in a Downloads folder,
# must never be loaded: the run goes on as the offline run does. The control,
# a program that imports WINHTTP, must load it, or the case could not see one.
# Under Wine, "winhttp=n,b" makes the loader look for a native DLL as Windows
# does; each run is offline in a private network namespace.
set -u
cd "$(dirname "$0")/../.."
build=build/windows
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wine-prefix}" WINEDEBUG=-all
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$build/varnel-setup.exe" "$build/varnel-release.exe" "$build/tests/planted/winhttp.dll" "$build/tests/planted/static-winhttp.exe" "$dir/" || exit 1
marker="$dir/marker"
fails=0
check() {
  if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fails=$((fails + 1)); fi
}
# run OVERRIDE PROGRAM [ARGS]: its output in $dir/out, its exit code in $rc.
run() {
  rm -f "$marker"
  (cd "$dir" && VARNEL_PLANT_MARKER="Z:${marker//\//\\}" WINEDLLOVERRIDES="mscoree,mshtml=;$1" \
    timeout 120 unshare --net --mount wine "${@:2}" 2>/dev/null | tr -d '\r' >"$dir/out"; exit "${PIPESTATUS[0]}")
  rc=$?
}

run "winhttp=n,b" static-winhttp.exe
check "control: a static import loads the planted DLL" '[ -e "$marker" ]'

run "" varnel-setup.exe
offline=$(cat "$dir/out")
offline_rc=$rc
run "winhttp=n,b" varnel-setup.exe
check "planted winhttp.dll is not loaded" '[ ! -e "$marker" ]'
check "the run ends as offline: E2, exit 1" '[ "$rc" = 1 ] && [ "$offline_rc" = 1 ] && [ "$(cat "$dir/out")" = "$offline" ] && grep -q "^\[1/4\]" "$dir/out" && tail -n 1 "$dir/out" | grep -q "Error: no reachable node"'

run "winhttp=n,b" varnel-release.exe check
check "the release tool does not load it either" '[ ! -e "$marker" ] && [ "$rc" = 1 ]'

# A disabled winhttp cannot be loaded at all: both access types are refused.
run "winhttp=" varnel-setup.exe
check "no WINHTTP: E1, exit 2, nothing after it" '[ "$rc" = 2 ] && [ "$(tail -n 1 "$dir/out")" = "错误: 无法初始化 WinHTTP / Error: cannot initialize WinHTTP" ] && ! grep -q "\[1/4\]" "$dir/out"'
echo "$fails failed"
[ "$fails" -eq 0 ]
