#!/usr/bin/env bash
# The Windows program on a console, under Wine in a terminal: tmux on a
# private server, started in a private network namespace, so every run is
# offline and ends by E2. A pane's own console is that of a double-click (the
# program alone on it); a pane running cmd is a shell's.
# Every wait is bounded; the tmux server, and with it everything started in
# its panes, is this script's own and is ended with it.
set -u
cd "$(dirname "$0")/../.."
root=$PWD
build=$root/build/windows
export WINEPREFIX="${WINEPREFIX:-$root/build/wine-prefix}" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
for f in "$build/varnel-setup.exe" "$build/varnel-release.exe" "$build/tests/console-probe.exe"; do
  [ -f "$f" ] || { echo "FAIL $f missing"; exit 1; }
done
dir=$(mktemp -d)
sock="$dir/tmux"
tm() { tmux -S "$sock" -f /dev/null "$@"; }
trap 'tm kill-server 2>/dev/null; rm -rf "$dir"' EXIT
fails=0
check() {
  if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fails=$((fails + 1)); fi
}
# until SECONDS CONDITION: true once CONDITION holds, false after SECONDS.
until_true() {
  local i
  for ((i = 0; i < $1 * 5; i++)); do
    eval "$2" && return 0
    sleep 0.2
  done
  return 1
}
win() { echo "Z:${1//\//\\}"; }

# A pane runs one command line and records its exit code in $dir/NAME.rc,
# also when a Ctrl+C interrupted it.
cat >"$dir/pane.sh" <<EOF
#!/bin/sh
name=\$1
shift
trap : INT
"\$@"
echo \$? >"$dir/\$name.rc"
EOF
# The server, and so every pane, lives in the namespace of its first session.
unshare --net tmux -S "$sock" -f /dev/null new-session -d -s keep -x 160 -y 50 "sleep 600" ||
  { echo "FAIL no tmux server"; exit 1; }
# A pane that ended still shows what it printed.
tm set-option -g remain-on-exit on
# pane NAME COMMAND...: a new window of the terminal running COMMAND.
pane() { tm new-session -d -s "$1" -x 160 -y 50 sh "$dir/pane.sh" "$@"; }
screen() { tm capture-pane -p -J -S - -t "$1" 2>/dev/null; }
prompted() { screen "$1" | grep -q "Press Enter to exit\.\.\."; }
rc() { cat "$dir/$1.rc" 2>/dev/null; }

setup=$build/varnel-setup.exe

# A console of its own: the failure waits for Enter, then ends with its code.
pane own wine "$setup"
check "own console: the failure shows the prompt" 'until_true 90 "prompted own"'
sleep 3
check "own console: still running 3 s later" '[ -z "$(rc own)" ] && screen own | grep -q "Error: no reachable node"'
tm send-keys -t own Enter
check "own console: Enter ends it with exit code 1" 'until_true 20 "[ -n \"\$(rc own)\" ]" && [ "$(rc own)" = 1 ]'

# Output redirected: the same run ends by itself, with no prompt.
pane redirected sh -c 'exec wine "$0" >"$1"' "$setup" "$dir/redirected.out"
check "stdout redirected: ends by itself with exit code 1" 'until_true 90 "[ -n \"\$(rc redirected)\" ]" && [ "$(rc redirected)" = 1 ]'
check "stdout redirected: E2 is the last line, no prompt" 'tail -n 1 "$dir/redirected.out" | grep -q "Error: no reachable node" && ! grep -q "Press Enter" "$dir/redirected.out"'

# The relay trace of the run in its own console: each write to the console
# (Wine's C runtime writes it with WriteConsoleW) carries a whole text.
pane relay sh -c 'WINEDEBUG=+relay exec wine "$0" 2>"$1"' "$setup" "$dir/relay.log"
if until_true 120 "prompted relay"; then
  sleep 1
  tm send-keys -t relay Enter
  until_true 30 '[ -n "$(rc relay)" ]'
fi
writes=$(grep -c "Call KERNEL32\.WriteConsole[AW](" "$dir/relay.log" 2>/dev/null)
single=$(grep -c "Call KERNEL32\.WriteConsole[AW]([0-9a-f]*,[0-9a-f]*,00000001," "$dir/relay.log" 2>/dev/null)
lines=$(screen relay | grep -c .)
echo "     console writes: $writes for $lines lines shown, $single of one character"
check "relay trace: fewer console writes than lines, none of one character" '[ "${writes:-0}" -ge 1 ] && [ "$writes" -le "$lines" ] && [ "$single" = 0 ]'
# QuickEdit (0x40) off while running, with EXTENDED_FLAGS (0x80) that applies it.
mode=$(grep -m 1 -o "Call KERNEL32\.SetConsoleMode([0-9a-f]*,[0-9a-f]*" "$dir/relay.log" | sed 's/.*,//')
check "relay trace: QuickEdit is turned off first (mode 0x${mode:-none})" '[ -n "$mode" ] && (((0x$mode & 0xc0) == 0x80))'
rm -f "$dir/relay.log"

# Ctrl+C at the prompt: the control handler, on a thread of its own, puts
# the output code page back as found before the default action ends the run.
pane ctrlc sh -c 'WINEDEBUG=+relay exec wine "$0" 2>"$1"' "$setup" "$dir/ctrlc.log"
if until_true 120 "prompted ctrlc"; then
  sleep 1
  tm send-keys -t ctrlc C-c
  until_true 30 '[ -n "$(rc ctrlc)" ]'
fi
found=$(grep -m 1 -o "Ret  KERNEL32\.GetConsoleOutputCP() retval=[0-9a-f]*" "$dir/ctrlc.log" | sed 's/.*=//')
switch=$(grep -m 1 "Call KERNEL32\.SetConsoleOutputCP(0000fde9)" "$dir/ctrlc.log" | cut -d: -f1)
last=$(grep "Call KERNEL32\.SetConsoleOutputCP(" "$dir/ctrlc.log" | tail -n 1)
echo "     Ctrl+C: exit code $(rc ctrlc), found code page ${found:-none}, last set by thread ${last%%:*} (run's thread ${switch:-none})"
check "Ctrl+C: ends the wait, the code page found is put back by the handler" '[ -n "$(rc ctrlc)" ] && [ -n "$found" ] && [ -n "$switch" ] && [ "${last%%:*}" != "$switch" ] && case "$last" in *"SetConsoleOutputCP($found)"*) true ;; *) false ;; esac'
rm -f "$dir/ctrlc.log"

# From cmd: the console that the shell gets back is the one it had.
probe() { echo "$(win "$build/tests/console-probe.exe") >>$(win "$dir/probe.txt")"; }
{
  echo "@echo off"
  probe
  win "$setup"
  probe
  echo "$(win "$build/varnel-release.exe") check >NUL"
  probe
} | sed 's/$/\r/' >"$dir/runs.bat"
pane shell wine cmd /c "$(win "$dir/runs.bat")"
check "from cmd: both runs end by themselves" 'until_true 180 "[ -n \"\$(rc shell)\" ]"'
check "from cmd: a shell's console gets no prompt" '! prompted shell'
echo "     probe: $(tr -d '\r' <"$dir/probe.txt" 2>/dev/null | paste -sd '|')"
check "from cmd: code pages and input mode before = after each run" '[ "$(tr -d "\r" <"$dir/probe.txt" | sort -u | wc -l)" = 1 ] && [ "$(grep -c . "$dir/probe.txt")" = 3 ]'
check "from cmd: the console did not start in UTF-8 (else the check is void)" '! head -n 1 "$dir/probe.txt" | grep -q "output 65001"'

echo "$fails failed"
[ "$fails" -eq 0 ]
