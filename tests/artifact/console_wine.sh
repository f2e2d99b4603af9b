#!/usr/bin/env bash
# The Windows program on a console, under Wine in a terminal: tmux on a
# private server, started in a private network namespace, so those runs are
# offline and end by E2. Then a second server inside the network world, where
# a manifest names a small release and one slow node serves it: the runs that
# fail later (E3) or are interrupted mid-download. A pane's own console is
# that of a double-click (the program alone on it); a pane running cmd is a
# shell's.
# Every wait is bounded; each tmux server, and with it everything started in
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
# Inside the world (see the end): the files of the outer run, its own server.
in_world=0
if [ "${1:-}" = --in-world ]; then
  in_world=1
  dir=$2
  sock="$dir/tmux-world"
else
  dir=$(mktemp -d)
  sock="$dir/tmux"
fi
tm() { tmux -S "$sock" -f /dev/null "$@"; }
if [ "$in_world" = 1 ]; then
  trap 'tm kill-server 2>/dev/null' EXIT
else
  trap 'tm kill-server 2>/dev/null; rm -rf "$dir"' EXIT
fi
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
netns="unshare --net"
[ "$in_world" = 1 ] && netns=
$netns tmux -S "$sock" -f /dev/null new-session -d -s keep -x 160 -y 50 "sleep 600" ||
  { echo "FAIL no tmux server"; exit 1; }
# A pane that ended still shows what it printed.
tm set-option -g remain-on-exit on
# pane NAME COMMAND...: a new window of the terminal running COMMAND.
pane() { tm new-session -d -s "$1" -x 160 -y 50 sh "$dir/pane.sh" "$@"; }
screen() { tm capture-pane -p -J -S - -t "$1" 2>/dev/null; }
prompted() { screen "$1" | grep -q "Press Enter to exit\.\.\."; }
# ASCII only: from cmd, Wine hands the console's text to the terminal in another charset.
downloading() { screen "$1" | grep -Eq "/Node B\] +[0-9]+%"; }
rc() { cat "$dir/$1.rc" 2>/dev/null; }
probe() { echo "$(win "$build/tests/console-probe.exe") >>$(win "$dir/$1")"; }

setup=$build/varnel-setup.exe
if [ "$in_world" = 1 ]; then
  # E3 in a console of its own: a late failure waits as an early one does.
  pane e3 env WINEPREFIX="$WINEPREFIX-longtemp" wine "$setup"
  check "E3, own console: the failure shows the prompt" 'until_true 90 "prompted e3"'
  sleep 3
  check "E3, own console: still running 3 s later" '[ -z "$(rc e3)" ] && screen e3 | grep -q "Error: cannot get temp directory"'
  tm send-keys -t e3 Enter
  check "E3, own console: Enter ends it with exit code 2" 'until_true 20 "[ -n \"\$(rc e3)\" ]" && [ "$(rc e3)" = 2 ]'

  # The input mode in force while the download runs: the last one set before
  # its last read (Ctrl+C then ends it; the handler's restore comes after).
  pane relaydl sh -c 'WINEDEBUG=+relay exec wine "$0" 2>"$1"' "$setup" "$dir/relaydl.log"
  if until_true 150 "downloading relaydl"; then
    tm send-keys -t relaydl C-c
    until_true 30 '[ -n "$(rc relaydl)" ]'
  fi
  last_read=$(grep -n "Call winhttp\.WinHttpReadData(" "$dir/relaydl.log" 2>/dev/null | tail -n 1 | cut -d: -f1)
  mode=$(head -n "${last_read:-0}" "$dir/relaydl.log" 2>/dev/null | grep -o "Call KERNEL32\.SetConsoleMode([0-9a-f]*,[0-9a-f]*" | tail -n 1 | sed 's/.*,//')
  check "relay trace: QuickEdit is off during the download (mode 0x${mode:-none})" '[ -n "$mode" ] && (((0x$mode & 0xc0) == 0x80))'
  rm -f "$dir/relaydl.log"

  # Ctrl+C mid-download from cmd: the shell gets back the console it had.
  # Wine's cmd ends with the run, so the probe stands in for the shell that
  # stays: it runs the program and reads the console before and after.
  {
    echo "@echo off"
    echo "$(win "$build/tests/console-probe.exe") $(win "$setup") 2>>$(win "$dir/probe-dl.txt")"
  } | sed 's/$/\r/' >"$dir/download.bat"
  # Wine passes Ctrl+C on as SIGINT to the terminal's whole group: the pane's
  # shell traps it and stays, so the terminal stays open for the probe.
  pane shelldl sh -c 'trap : INT; wine cmd /c "$0"; sleep 30' "$(win "$dir/download.bat")"
  if until_true 150 "downloading shelldl"; then
    sleep 1
    tm send-keys -t shelldl C-c
  fi
  probed() { [ "$(grep -c . "$dir/probe-dl.txt" 2>/dev/null)" = 2 ]; }
  check "from cmd: Ctrl+C mid-download ends the run" 'until_true 30 probed && ! screen shelldl | grep -q "\[4/4\]"'
  echo "     probe: $(tr -d '\r' <"$dir/probe-dl.txt" 2>/dev/null | paste -sd '|')"
  check "from cmd: code pages and input mode before = after the interrupted run" 'probed && [ "$(tr -d "\r" <"$dir/probe-dl.txt" | sort -u | wc -l)" = 1 ] && ! grep -q "output 65001" "$dir/probe-dl.txt"'
  exit "$fails"
fi

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
{
  echo "@echo off"
  probe probe.txt
  win "$setup"
  probe probe.txt
  echo "$(win "$build/varnel-release.exe") check >NUL"
  probe probe.txt
} | sed 's/$/\r/' >"$dir/runs.bat"
pane shell wine cmd /c "$(win "$dir/runs.bat")"
check "from cmd: both runs end by themselves" 'until_true 180 "[ -n \"\$(rc shell)\" ]"'
check "from cmd: a shell's console gets no prompt" '! prompted shell'
echo "     probe: $(tr -d '\r' <"$dir/probe.txt" 2>/dev/null | paste -sd '|')"
check "from cmd: code pages and input mode before = after each run" '[ "$(tr -d "\r" <"$dir/probe.txt" | sort -u | wc -l)" = 1 ] && [ "$(grep -c . "$dir/probe.txt")" = 3 ]'
check "from cmd: the console did not start in UTF-8 (else the check is void)" '! head -n 1 "$dir/probe.txt" | grep -q "output 65001"'

# The world: a manifest of a small release at the first mirror, and the
# release at node B only, at 20 kB/s (a minute and more): every run that gets
# there is still downloading when it is interrupted.
tm kill-server 2>/dev/null
python3 - "$dir/world.json" <<'EOF'
import json, sys
sys.path[:0] = ["tests/e2e", "tests/world"]
from e2e_cases import manifest_hosts, merge, nodes
from run_e2e import Release
size = 2000000
release = Release("1.0", "Small-1.0.exe", bytes(i % 251 for i in range(size)))
hosts = merge(manifest_hosts({0: dict(body=release.manifest())}),
              nodes(release, [None, dict(body_size=size, throttle_bps=20000)]))
json.dump({"hosts": hosts, "timeout_s": 600}, open(sys.argv[1], "w"))
EOF
# A prefix whose TMP and TEMP are longer than a path may be, made once from
# the suite's own; it is this tree's, as is the suite's.
long=$WINEPREFIX-longtemp
if ! grep -q "tttttttttttttttt" "$long/user.reg" 2>/dev/null; then
  WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null
  WINEPREFIX=$WINEPREFIX wineserver -w 2>/dev/null
  rm -rf "$long" && cp -a "$WINEPREFIX" "$long" && python3 - "$long/user.reg" <<'EOF'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
long = '"C:\\\\' + "t" * 300 + '"'
text = re.sub(r'^"(TMP|TEMP)"=.*$', lambda m: '"%s"=%s' % (m.group(1), long), text, flags=re.M)
open(sys.argv[1], "w", encoding="utf-8").write(text)
EOF
fi
# Wine inside the world must not find a server of this prefix outside it.
for p in "$WINEPREFIX" "$long"; do
  WINEPREFIX=$p wineserver -k 2>/dev/null
  WINEPREFIX=$p wineserver -w 2>/dev/null
done
python3 tests/world/world.py run --config "$dir/world.json" --logs "$dir/world-logs" --pid -- \
  bash "$root/tests/artifact/console_wine.sh" --in-world "$dir"
world_fails=$?
[ "$world_fails" -gt 100 ] && echo "FAIL the world ended with $world_fails"
fails=$((fails + world_fails))

echo "$fails failed"
[ "$fails" -eq 0 ]
