#!/usr/bin/env bash
# The monitor as a user sees it: OPC.Krel.Client.exe under Wine in a tmux pane,
# against the out-of-process test server started by COM. Reads the screen with
# capture-pane: header, tag rows, values at column 35 changing, the text of every
# value type (the server's /AllTypes tags), a long text kept to its row, a CR/LF
# shown as blanks, a value that shrinks leaving nothing behind, the server killed
# (back to the header, retries) and relaunched (values again), a key ending it
# with exit code 0. The console has the code pages of a Spanish Windows (ANSI
# 1252, OEM 850), and the real console's own case of monitor_tests runs here,
# where it has a console.
# Usage: monitor_screen_test.sh <build dir>
set -u
build=$(cd "$1" && pwd)
bin=$build/bin
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
. "$(dirname "$0")/../../scripts/wine-env"
kit_wine_env "$build"
# A host that runs no 32-bit code cannot run any of this: a skip (77) for CTest.
"$(dirname "$0")/../../scripts/wine-check" "$WINEARCH" || exit $?
session="krelmon-$$-$RANDOM"
# A private tmux server, started from this script's environment: on the default one
# a pane runs with the environment of whoever started that server, under another
# developer's Wine prefix when several run their tests at once.
tmux() { command tmux -L "$session" "$@"; }
work=$(mktemp -d "${TMPDIR:-/tmp}/krelmon.XXXXXX")
failures=0

note() { echo "[screen] $*"; }
fail() { echo "[screen] FAIL: $*"; failures=$((failures + 1)); }

server_pids() { kit_prefix_pids 'opc_oop_server\.exe'; }

cleanup() {
  tmux kill-server 2>/dev/null
  rm -f "${TMUX_TMPDIR:-/tmp}/tmux-$(id -u)/$session"
  local pid
  for pid in $(server_pids); do kill -9 "$pid" 2>/dev/null; done
  wine "$bin/opc_oop_server.exe" /UnregServer >/dev/null 2>&1
  wine regsvr32 /u /s "$bin/OPCKrelProxy.dll" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

screen() { tmux capture-pane -p -t "$session"; }
row() { screen | sed -n "$(($1 + 1))p"; }
# Waits up to $2 seconds for the screen to satisfy the shell test in $1. The
# limits are generous: they only bound a failure, and in the emulated 32-bit lane
# every Wine program is several times slower.
wait_for() {
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    if eval "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}
value_at() { local r; r=$(row "$1"); echo "${r:35}"; }
# The first pass is complete once the last of the twenty tags shows a value.
values_shown() { tags_shown && [[ "$(value_at 3)" == " 2.50"* ]] && [ -n "$(value_at 22)" ]; }
tags_shown() { [ "$(row 3)" = "        Fixed.Real" ] || [[ "$(row 3)" == "        Fixed.Real"* ]]; }

wine regsvr32 /s "$bin/OPCKrelProxy.dll" >/dev/null 2>&1 || { echo "proxy registration failed"; exit 1; }
wine "$bin/opc_oop_server.exe" /RegServer /AllTypes >/dev/null 2>&1 || { echo "server registration failed"; exit 1; }
printf '[OPC.KREL]\r\nOpcServerName=Krel.OopTest.1\r\nHostName=\r\n' > "$work/OPC.Krel.Client.ini"

# Wine writes the pane's text in the locale's charset: UTF-8, so that tmux keeps
# the Spanish letters.
tmux new-session -d -s "$session-cp" -x 100 -y 30 \
  "LC_ALL=C.UTF-8 PATH='$PATH' wine '$bin/monitor_tests.exe' --gtest_filter='MonitorConsole.*' --gtest_color=no; echo \"EXIT=\$?\" > '$work/console-exit'; sleep 60"
if wait_for '[ -f "$work/console-exit" ]' 30; then
  out=$(tmux capture-pane -p -t "$session-cp")
  if [ "$(cat "$work/console-exit")" = "EXIT=0" ] && grep -q '^\[  PASSED  \] 1 test' <<<"$out"; then
    note "the console case passed on a console with code page 850"
  else
    fail "the console case of monitor_tests"; echo "$out"
  fi
else
  fail "the console case of monitor_tests did not end"
fi

exe_w="Z:$(tr / '\\' <<<"$bin/OPC.Krel.Client.exe")"
tmux new-session -d -s "$session" -x 100 -y 30 \
  "cd '$work' && LC_ALL=C.UTF-8 PATH='$PATH' wine cmd /c 'chcp 850 >nul & $exe_w'; echo \"EXIT=\$?\" > '$work/exit'; sleep 60"
# Only now: the server ends with its last session, and a new session asked of a
# server on its way out fails ("server exited unexpectedly", seen once).
tmux kill-session -t "$session-cp"

if ! wait_for values_shown 90; then
  fail "no value at column 35 of row 3"; screen
fi
s=$(screen)
[ "$(row 0)" = "OPC Server Name: Krel.OopTest.1" ] || fail "row 0: '$(row 0)'"
# capture-pane drops the blanks at the end of a row.
[ "$(row 1)" = "Host Name      :" ] || fail "row 1: '$(row 1)'"
[ -z "$(row 2)" ] || fail "row 2 not blank: '$(row 2)'"
expected_tags=(Fixed.Real Fixed.Text Fixed.Byte Simul.Real Simul.Count)
for i in 0 1 2 3 4; do
  r=$(row $((3 + i)))
  name=${expected_tags[$i]}
  pad=$(printf '        %-27s' "$name")
  [[ "$r" == "$pad"* ]] || fail "row $((3 + i)): '$r'"
done
[ "$(value_at 4)" = "Texto ñandú" ] || fail "Fixed.Text shows '$(value_at 4)'"
[ "$(value_at 5)" = "A" ] || fail "Fixed.Byte shows '$(value_at 5)'"
# Every type's text, rows 8 to 22 (the server's -AllTypes tags in their order).
want=([8]="-5" [9]="54321" [10]="3000000000" [11]="-1234567890123456789" [12]="12345678901234567890"
      [13]="-77" [14]="77" [16]="12345678901.2345" [17]="-1234.5678" [18]="0x80040154"
      [19]="[4] 0.00 1.50 3.00 4.50" [21]="Linea 1  Linea 2")
for r in "${!want[@]}"; do
  [ "$(value_at "$r")" = "${want[$r]}" ] || fail "row $r: '$(value_at "$r")', not '${want[$r]}'"
done
[[ "$(value_at 15)" == *2023*6:00:00* ]] || fail "the date shows '$(value_at 15)'"
long=$(value_at 20)
[[ "$long" == abcdefghijklm* ]] && [ ${#long} -le 64 ] || fail "the long text shows '$long'"
[[ "$(row 21)" == "        Types.CrLf"* ]] || fail "the long text ran into the next row: '$(row 21)'"
[ -z "$(row 23)" ] || fail "row 23 not blank: '$(row 23)'"
note "first screen:"; echo "$s" | sed -n 1,24p
# "1234567890.123456789" and "7" by turns: the short one leaves nothing of the long.
wait_for '[ "$(value_at 22)" = "7" ]' 20 || fail "the shrinking value shows '$(value_at 22)'"

first=$(value_at 6)
if ! wait_for '[ "$(value_at 6)" != "$first" ]' 20; then fail "Simul.Real stays '$first'"; fi
note "Simul.Real went from '$first' to '$(value_at 6)'"

# The server shuts down the way a real one does: back to the header, and the
# next connect has COM start a new server.
before=$(server_pids)
note "stopping the server (pid $before)"
wine "$bin/opc_oop_server.exe" /Stop >/dev/null 2>&1 || fail "/Stop found no server"
if wait_for '! tags_shown && [ "$(row 0)" = "OPC Server Name: Krel.OopTest.1" ]' 30; then
  note "back to the header"
else
  fail "the screen never went back to the header after the shutdown"; screen
fi
if wait_for values_shown 60; then
  after=$(server_pids)
  note "values again, server pid $after:"; screen | sed -n 1,24p
  [ -n "$after" ] && [ "$after" != "$before" ] || fail "no new server process ('$before' -> '$after')"
else
  fail "values never came back after the shutdown"; screen
fi

# The server dies: the reads fail, the screen goes back to the header and the
# console retries once a second. Wine's RPCSS keeps the dead server's class
# registration, so activation fails until RPCSS starts afresh (Windows finds the
# server gone and starts a new one).
pids=$(server_pids)
[ -n "$pids" ] || fail "no server process found"
note "killing the server (pid $pids)"
for pid in $pids; do kill -9 "$pid"; done
if wait_for '! tags_shown && [ "$(row 0)" = "OPC Server Name: Krel.OopTest.1" ]' 30; then
  note "back to the header"
else
  fail "the screen never went back to the header after the kill"; screen
fi
# Each retry clears the screen and says why it failed on row 3.
cleared=0; failed=0; last=""
deadline=$((SECONDS + 30))
while [ $SECONDS -lt $deadline ] && { [ $cleared -lt 2 ] || [ $failed -lt 2 ]; }; do
  r=$(row 3)
  if [ "$r" != "$last" ]; then
    [ -z "$r" ] && cleared=$((cleared + 1))
    [ "$r" = "Error de conexion" ] && failed=$((failed + 1))
    last=$r
  fi
  sleep 0.05
done
[ $cleared -ge 2 ] && [ $failed -ge 2 ] || fail "retries not seen (cleared $cleared, failed $failed)"
note "retrying: row 3 cleared $cleared times, 'Error de conexion' $failed times"
rpcss=$(kit_prefix_pids 'system32\\rpcss\.exe')
note "restarting this prefix's RPCSS (pid $rpcss) to drop the dead registration"
for pid in $rpcss; do kill -9 "$pid"; done
if wait_for values_shown 90; then
  note "values again after the kill, server pid $(server_pids)"
else
  fail "values never came back after the kill"; screen
fi

# A key ends the program with exit code 0. tmux keys first; Wine's terminal
# console may not hand them to _kbhit, so then the key goes in as a console
# input event.
tmux send-keys -t "$session" x Enter
if wait_for '[ -f "$work/exit" ]' 3; then
  note "ended by a key typed into the pane"
else
  note "the pane's key did not reach _kbhit; typing into the console instead"
  wine "$bin/krel_sendkey.exe" OPC.Krel.Client.exe || fail "krel_sendkey failed"
fi
if wait_for '[ -f "$work/exit" ]' 30; then
  code=$(cat "$work/exit")
  [ "$code" = "EXIT=0" ] || fail "exit: $code"
  note "ended: $code"
else
  fail "a key did not end the program"; screen
fi

if [ "$failures" -eq 0 ]; then echo "1 passed, 0 failed"; exit 0; fi
echo "0 passed, 1 failed"; exit 1
