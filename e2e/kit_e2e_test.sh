#!/usr/bin/env bash
# The kit as a user meets it, under Wine: the release folder (cmake --install)
# installed with OPC.Krel.Inst.exe /Install /OpcEnum=1 /SrvFireWall=1, the service
# "OPC Krel Server" running and the kit's server list registered (Wine has no
# OPCEnum), the console monitor with the shipped INI (HostName=LocalHost, through
# the server list) on a tmux screen showing the 16 tags, a second
# client program reading the same tags meanwhile, the service stopped (the console
# goes back to its header and retries) and started again (values come back), the
# console ended by a key, and /Uninstall removing the service and the COM
# registration. Everything it made is removed again, also on failure.
# With --wow64, the same from the release archive (cpack) in a 64-bit Wine prefix
# that runs 32- and 64-bit programs ($build/wow64/wineprefix), and then what
# 64-bit programs meet: the x64 console and its /Diag against the 32-bit service
# through the 64-bit proxy/stub, the server list asked through IOPCServerList2 by
# a 64-bit program, the out-of-process matrix (opcidl_tests of the 64-bit tree)
# through the release's 64-bit proxy/stub against the 32-bit test server, the
# proxy/stubs gone from both registry views after /Uninstall, and another vendor's
# server list left as it was by /Install and /Uninstall.
# Usage: kit_e2e_test.sh <build dir> [--wow64 <cpack> <64-bit build dir>]
set -u
build=$(cd "$1" && pwd)
bin=$build/bin
root=$(cd "$(dirname "$0")/.." && pwd)
wow64=
if [ "${2:-}" = --wow64 ]; then
  wow64=1 cpack=$3 bed=$4
  # Its own prefix, whatever the caller's: win64, the 64-bit loader first in PATH.
  mkdir -p "$build/wow64"
  echo "WoW64 prefix of kit_e2e_test.sh --wow64" > "$build/wow64/kit-win64"
  export WINEPREFIX=$build/wow64/wineprefix
  . "$root/scripts/wine-env"
  kit_wine_env "$build/wow64"
  "$root/scripts/wine-check" win32 || exit $?
else
  export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
  . "$root/scripts/wine-env"
  kit_wine_env "$build"
fi
# The 32-bit programs' COM registrations lie in the 32-bit registry view.
view=()
[ -n "$wow64" ] && view=(/reg:32)
service="OPC Krel Server"
clsid="{5C473C23-71FF-47A5-9911-9BD1EC36847C}"
enum_service="OPC Krel Enum"
list_clsid="{13486D51-4821-11D2-A494-3CB306C10000}"
tag=krele2e-$$-$RANDOM
kit=$WINEPREFIX/drive_c/$tag            # the release folder, as a user unpacks it
app=$WINEPREFIX/drive_c/$tag-app        # a customer's program beside the shipped DLL
localini=$WINEPREFIX/drive_c/$tag-local # an OPC.Krel.Client.ini with an empty HostName
mix=$WINEPREFIX/drive_c/$tag-mix      # 64-bit test program, 32-bit test server
work=$(mktemp -d "${TMPDIR:-/tmp}/krele2e.XXXXXX")
failures=0
installed=

note() { echo "[e2e] $*"; }
fail() { echo "[e2e] FAIL: $*"; failures=$((failures + 1)); }
# A private tmux server: nothing of another session (environment, sizes) leaks in.
tm() { tmux -L "$tag" "$@"; }

# A host that runs no 32-bit code cannot run any of this: a skip (77) for CTest.
"$root/scripts/wine-check" "$WINEARCH" || exit $?
# The prefix is made once per build tree (and locked while it is made).
kit_wine_prefix

service_key_exists() { wine reg query "HKLM\\System\\CurrentControlSet\\Services\\${1:-$service}" >/dev/null 2>&1; }
com_registered() {
  wine reg query "HKCR\\$service\\CLSID" "${view[@]}" >/dev/null 2>&1 ||
    wine reg query "HKCR\\CLSID\\$clsid" "${view[@]}" >/dev/null 2>&1
}
# RUNNING, STOPPED, ... as the service manager reports it ("" when unknown).
service_state() {
  wine sc query "$service" 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' | head -n1
}
installer() { (cd "$kit" && timeout 300 wine OPC.Krel.Inst.exe "$@" </dev/null >/dev/null 2>&1); }

cleanup() {
  trap - EXIT INT TERM
  tm kill-server 2>/dev/null
  rm -f "${TMUX_TMPDIR:-/tmp}/tmux-$(id -u)/$tag"
  if [ -n "$installed" ] || service_key_exists; then
    note "cleanup: uninstalling"
    installer /Uninstall || true
    for s in "$service" "$enum_service"; do
      if service_key_exists "$s"; then
        wine sc stop "$s" >/dev/null 2>&1
        wine sc delete "$s" >/dev/null 2>&1
      fi
    done
  fi
  for pid in $(kit_prefix_pids 'opc_oop_server\.exe'); do kill "$pid" 2>/dev/null; done
  rm -rf "$kit" "$app" "$localini" "$mix" "$work"
  [ -n "$wow64" ] && wineserver -k 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

screen() { tm capture-pane -p -t "$tag"; }
row() { screen | sed -n "$(($1 + 1))p"; }
# The limits only bound a failure: the emulated 32-bit lane runs every Wine program
# several times slower, so they are generous.
wait_for() {
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    if eval "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}
names=()
for m in Bomba.1 Bomba.2 Motor.3 Motor.4; do
  for a in H V; do for k in Aceleracion Velocidad; do names+=("$m$a.$k"); done; done
done
# The screen shows all 16 tags, each with a value of its row (k.0 .. k.9) at column 35.
all_values_shown() {
  local s i r v k
  s=$(screen)
  [ "$(sed -n 1p <<<"$s")" = "OPC Server Name: $service" ] || return 1
  for i in $(seq 0 15); do
    r=$(sed -n "$((i + 4))p" <<<"$s")
    [[ "$r" == "$(printf '        %-27s' "${names[$i]}")"* ]] || return 1
    # "%5.2f": " 1.60" ... "16.90"
    k=$((i + 1))
    [[ "${r:35:5}" =~ ^\ ?$k\.[0-9]0$ ]] || return 1
  done
  return 0
}
tags_shown() { [[ "$(row 3)" == "        Bomba.1H.Aceleracion"* ]]; }
values_column() { screen | sed -n 4,19p | cut -c36- | tr -s ' ' | tr '\n' '|'; }

# Screens of killed runs (their own tmux servers) go first.
for sock in "${TMUX_TMPDIR:-/tmp}/tmux-$(id -u)"/krele2e-*; do
  [ -S "$sock" ] || continue
  owner=${sock##*/krele2e-}; owner=${owner%%-*}
  # (a zombie still answers kill -0; its command line is empty)
  grep -q kit_e2e_test "/proc/$owner/cmdline" 2>/dev/null && continue
  tmux -S "$sock" kill-server 2>/dev/null; rm -f "$sock"
done
if service_key_exists; then
  image=$(wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$service" /v ImagePath 2>/dev/null | tr -d '\r')
  if [[ "$image" == *'\krele2e-'* ]]; then
    # A run of this test that was killed outright (no trap) left its installation.
    old=${image#*\\krele2e-}; old=krele2e-${old%%\\*}
    note "removing the installation a killed run left in C:\\$old"
    (cd "$WINEPREFIX/drive_c/$old" 2>/dev/null && timeout 300 wine OPC.Krel.Inst.exe /Uninstall >/dev/null 2>&1)
    for s in "$service" "$enum_service"; do wine sc stop "$s" >/dev/null 2>&1; wine sc delete "$s" >/dev/null 2>&1; done
    rm -rf "$WINEPREFIX/drive_c/$old" "$WINEPREFIX/drive_c/$old-app" "$WINEPREFIX/drive_c/$old-local"
  fi
  if service_key_exists; then
    fail "a service \"$service\" is already installed in this prefix; not touching it"
    trap - EXIT; rm -rf "$work"; echo "0 passed, 1 failed"; exit 1
  fi
fi

if [ -n "$wow64" ] && command -v zip >/dev/null && command -v unzip >/dev/null; then
  note "release folder: the release archive (cpack) unpacked into C:\\$tag"
  (cd "$work" && "$cpack" -G ZIP --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
  mkdir -p "$kit" && unzip -q "$work/pkg/OPC.Krel-3.0-win32.zip" -d "$kit" || fail "unzip failed"
else
  # (the emulated 32-bit lane's machine has no zip: the same files, laid out)
  note "release folder: cmake --install into C:\\$tag"
  cmake --install "$build" --prefix "$kit" >/dev/null || fail "cmake --install failed"
fi
for f in OPC.Krel.Inst.exe OPC.Krel.Server.exe OPC.Krel.Enum.exe OPC.Krel.Client.exe KetraOPCServer.dll \
         KetraOPCClient.dll FwSetup.dll OPCKrelProxy.dll; do
  [ -f "$kit/$f" ] || fail "missing from the release folder: $f"
done
mkdir -p "$app" "$localini"
cp "$bin/krel_e2e_reader.exe" "$kit/KetraOPCClient.dll" "$app/"

# The service's own log, C:\Windows\LOGGS\ZubOpcSrv@dd-mm-yyyy.log (one per day).
service_log() { cat "$WINEPREFIX"/drive_c/windows/LOGGS/ZubOpcSrv@*.log 2>/dev/null | tr -d '\r'; }
log_lines=$(service_log | wc -l)

# What a server computer's administrator runs (LEEME.txt). Under Wine the firewall
# objects are stubs: their warnings go to boxes nobody sees, the exit code stays 0.
note "OPC.Krel.Inst.exe /Install /OpcEnum=1 /SrvFireWall=1"
installed=1
t0=$SECONDS
if installer /Install /OpcEnum=1 /SrvFireWall=1; then note "installed in $((SECONDS - t0)) s"; else fail "/Install exit code $?"; fi
if wait_for '[ "$(service_state)" = RUNNING ]' 60; then
  note "service state: RUNNING"
else
  fail "service not running: '$(service_state)'"
fi
image=$(wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$service" /v ImagePath 2>/dev/null | tr -d '\r')
[[ "$image" == *"$tag"*"OPC.Krel.Server.exe"* ]] || fail "service image path: $image"
# Wine has no OPCEnum: the kit's server list stands in, started by COM on demand.
image=$(wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$enum_service" /v ImagePath 2>/dev/null | tr -d '\r')
[[ "$image" == *"$tag"*"OPC.Krel.Enum.exe"* ]] || fail "server list service image path: $image"
wine reg query "HKCR\\CLSID\\$list_clsid" /v AppID "${view[@]}" >/dev/null 2>&1 || fail "the server list's class is not registered"

# The connectivity doctor of the release folder, run in folder $1 (whose INI it
# reads); its screen text as UTF-8.
diag() {
  (cd "$1" && timeout 120 wine "${2:-$kit}/OPC.Krel.Client.exe" /Diag </dev/null 2>/dev/null | tr -d '\r' |
    iconv -f cp1252 -t utf-8; exit "${PIPESTATUS[0]}")
}
# The console runs with the shipped INI (HostName=LocalHost): the typical road,
# the ProgID resolved by this computer's server list. The local route (empty
# HostName) is asked by /Diag below.
grep -q '^HostName=LocalHost' "$kit/OPC.Krel.Client.ini" || fail "the shipped INI does not name LocalHost"
printf '[OPC.KREL]\r\nOpcServerName=%s\r\nHostName=\r\n' "$service" > "$localini/OPC.Krel.Client.ini"
start_console() {  # [folder of the program and its INI]
  tm new-session -d -s "$tag" -x 100 -y 30 \
    "cd '${1:-$kit}' && env WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all WINEARCH='$WINEARCH' WINEDLLOVERRIDES='mscoree,mshtml=' PATH='$PATH' wine OPC.Krel.Client.exe; echo \"EXIT=\$?\" > '$work/exit'; sleep 120"
}
header_shown() { [[ "$(row 0)" == "OPC Server Name: "* ]]; }
start_console
# The monitor draws its header before it loads or calls anything of COM. Once, on
# a fresh CI machine under 64-bit Wine, the pane stayed blank for the whole run
# while the program ran (no console attached); it did not happen again in a dozen
# runs. That is Wine's console, not the kit: start the console once more, and fail
# below if it stays blank again.
if ! wait_for header_shown 60; then
  note "the console drew nothing in 60 s: starting it once more"
  tm kill-session -t "$tag" 2>/dev/null
  for pid in $(kit_prefix_pids 'OPC\.Krel\.Client\.exe'); do kill -9 "$pid" 2>/dev/null; done
  sleep 1
  start_console
fi
if wait_for all_values_shown 120; then
  note "first screen:"; screen | sed -n 1,20p
else
  fail "the 16 tags with values never appeared"; screen
fi
[ "$(row 1)" = "Host Name      : LocalHost" ] || fail "row 1: '$(row 1)'"
[ -z "$(row 2)" ] || fail "row 2 not blank: '$(row 2)'"
[ -z "$(row 19)" ] || fail "row 19 not blank: '$(row 19)'"

before=$(values_column)
if wait_for '[ "$(values_column)" != "$before" ] && all_values_shown' 20; then
  note "values changed: $before -> $(values_column)"
else
  fail "values did not change: $before"
fi

# The doctor runs while the console is connected. The shipped INI
# (HostName=LocalHost) asks the server list, on a computer without OPCEnum: the
# kit's own answers, and the kit's server is among the DA 2.0 servers it lists.
out=$(diag "$kit"); rc=$?
note "/Diag with the shipped INI: exit code $rc"
sed 's/^/    /' <<<"$out"
[ $rc -eq 0 ] || fail "/Diag with the shipped INI: exit code $rc"
for n in 1 2 4 5 6 7 8; do grep -q "^$n\. .* correcto (" <<<"$out" || fail "/Diag (LocalHost) step $n did not pass"; done
grep -q '"OPC Krel Server" = {5C473C23-71FF-47A5-9911-9BD1EC36847C}, en la lista' <<<"$out" ||
  fail "/Diag (LocalHost): the server list does not list the kit's server"
# Against the installed service by the local route.
t0=$(date +%s%N)
out=$(diag "$localini"); rc=$?
ms=$((($(date +%s%N) - t0) / 1000000))
note "/Diag against the installed service: exit code $rc in $ms ms (the start of Wine's process included)"
sed 's/^/    /' <<<"$out"
[ $rc -eq 0 ] || fail "/Diag exit code $rc"
# Seconds, not DCOM's long wait: the emulated lane took 16-20 s on a loaded host.
[ $ms -lt 60000 ] || fail "/Diag took $ms ms"
for n in 1 2 5 6 7 8; do grep -q "^$n\. .* correcto (" <<<"$out" || fail "/Diag step $n did not pass"; done
grep -q 'FALLA' <<<"$out" && fail "/Diag reported a failed step"
report=$(tr -d '\r' < "$kit/OPC.Krel.Diag.txt" 2>/dev/null | iconv -f cp1252 -t utf-8)
[ "$report" = "$(grep -v '^Informe: ' <<<"$out")" ] || fail "OPC.Krel.Diag.txt beside the program differs from the screen"

note "second client through KetraOPCClient while the console runs:"
(cd "$app" && timeout 180 wine krel_e2e_reader.exe 4 </dev/null 2>&1 | tr -d '\r' | sed 's/^/    /'; exit "${PIPESTATUS[0]}")
rc=$?
[ $rc -eq 0 ] || fail "second client exit code $rc"
all_values_shown || fail "console lost its values while the second client read"

note "stopping the service: sc stop"
wine sc stop "$service" >/dev/null 2>&1 || fail "sc stop failed"
if wait_for '! tags_shown && [ "$(row 0)" = "OPC Server Name: $service" ]' 30; then
  note "console back to its header"
else
  fail "the console never went back to its header after the stop"; screen
fi
note "service state after the stop: $(service_state)"
# While the service stays stopped the console clears and retries every second.
# The class is bound to the service (AppID LocalService), so the next connect has
# COM start the service again by itself -- through Wine's RPCSS, whose class
# table must not keep the stopped server's registration.
if wait_for all_values_shown 90; then
  note "values back by themselves after the stop; service state: $(service_state)"
else
  fail "values never came back after the stop (service state '$(service_state)')"; screen
fi

# A service that stays away: disabled, COM cannot start it; the console clears its
# screen and says "Error de conexion" once a second, and keeps running.
wine "$bin/krel_e2e_starttype.exe" disabled || fail "could not disable the service"
note "service disabled and stopped"
wine sc stop "$service" >/dev/null 2>&1 || fail "second sc stop failed"
if wait_for '! tags_shown' 30; then :; else fail "the console kept its tags after the second stop"; screen; fi
# Watched until three retries have shown, for at least 8 s: each cycle waits a
# second before it connects again, so there are never more failures than seconds.
# How long a failing connect takes is the platform's: in a 32-bit Wine prefix,
# once the disabled service refuses to start, Wine tries its surrogate host
# (dllhost.exe, which a 64-bit prefix lacks) and waits 30 s for a class object
# that never comes, where Windows fails at once.
cleared=0; failed=0; last="-"
t0=$SECONDS
while [ $((SECONDS - t0)) -lt 8 ] || { [ $((SECONDS - t0)) -lt 150 ] && { [ $failed -lt 3 ] || [ $cleared -lt 3 ]; }; }; do
  r=$(row 3)
  if [ "$r" != "$last" ]; then
    [ -z "$r" ] && cleared=$((cleared + 1))
    [ "$r" = "Error de conexion" ] && failed=$((failed + 1))
    last=$r
  fi
  sleep 0.05
done
elapsed=$((SECONDS - t0))
note "in $elapsed s: row 3 cleared $cleared times, 'Error de conexion' $failed times; service $(service_state)"
[ $failed -ge 3 ] && [ $cleared -ge 3 ] || fail "retries not seen (cleared $cleared, failed $failed in $elapsed s)"
[ $failed -le $((elapsed + 1)) ] || fail "retries faster than once a second ($failed in $elapsed s)"
# Under the message: the failing step with its code, and the pointer to /Diag.
why=
if wait_for 'why=$(screen); [[ "$(sed -n 5p <<<"$why")" == "Paso 5 (Servidor OPC): 0x"* ]] &&
             grep -q "OPC.Krel.Client.exe /Diag" <<<"$why"' 30; then
  note "the console says why:"; sed -n '4,9p' <<<"$why"
else
  fail "no failing step under 'Error de conexion'"; screen
fi
[ -f "$work/exit" ] && fail "the console ended while the service was away: $(cat "$work/exit")"

wine "$bin/krel_e2e_starttype.exe" auto || fail "could not enable the service"
# The console retries once a second: once the service is enabled again, its next
# retry may start it through COM before sc start does, and sc start then fails
# only because the service is already running.
if ! wine sc start "$service" >/dev/null 2>&1; then
  state=$(service_state)
  case $state in
    RUNNING|START_PENDING) note "sc start: the console's retry had started the service already ($state)" ;;
    *) fail "sc start failed (service '$state')" ;;
  esac
fi
if wait_for all_values_shown 90; then
  note "service started again, values back:"; screen | sed -n 4,7p
else
  fail "values never came back after sc start (service '$(service_state)')"; screen
fi

# Keys from tmux do not reach _kbhit through Wine's console in a pane; the key goes
# in as a console input event instead.
wine "$bin/krel_sendkey.exe" OPC.Krel.Client.exe || fail "krel_sendkey failed"
if wait_for '[ -f "$work/exit" ]' 30; then
  code=$(cat "$work/exit")
  [ "$code" = "EXIT=0" ] || fail "console exit: $code"
  note "console ended by a key: $code"
else
  fail "a key did not end the console"; screen
fi

if [ -n "$wow64" ]; then
  # 64-bit programs against the 32-bit service, through the 64-bit proxy/stub that
  # /Install registered from the release's x64 folder.
  note "64-bit console from x64\\ (HostName=LocalHost):"
  grep -q '^HostName=LocalHost' "$kit/x64/OPC.Krel.Client.ini" || fail "x64\\OPC.Krel.Client.ini does not name LocalHost"
  rm -f "$work/exit"
  tm kill-session -t "$tag" 2>/dev/null
  start_console "$kit/x64"
  if wait_for all_values_shown 120; then
    screen | sed -n 1,20p
  else
    fail "the 64-bit console never showed the 16 tags with values"; screen
  fi
  [ "$(row 1)" = "Host Name      : LocalHost" ] || fail "64-bit console row 1: '$(row 1)'"
  out=$(diag "$kit/x64" "$kit/x64"); rc=$?
  note "64-bit /Diag with the shipped INI: exit code $rc"
  sed 's/^/    /' <<<"$out"
  [ $rc -eq 0 ] || fail "64-bit /Diag: exit code $rc"
  grep -q 'registro de 64 bits' <<<"$out" || fail "64-bit /Diag did not look at the 64-bit registry view"
  if [ -f "$bed/bin/krel_sendkey.exe" ]; then
    wine "$bed/bin/krel_sendkey.exe" OPC.Krel.Client.exe || fail "krel_sendkey (64-bit) failed"
    wait_for '[ -f "$work/exit" ]' 30 && [ "$(cat "$work/exit")" = "EXIT=0" ] ||
      fail "the 64-bit console did not end by a key: $(cat "$work/exit" 2>/dev/null)"
  fi
  tm kill-session -t "$tag" 2>/dev/null
  if [ -f "$bed/bin/krel_e2e_serverlist.exe" ] && [ -f "$bed/bin/opcidl_tests.exe" ]; then
    note "a 64-bit program asks the server list (IOPCServerList2):"
    (timeout 120 wine "$bed/bin/krel_e2e_serverlist.exe" </dev/null | tr -d '\r' | sed 's/^/    /'; exit "${PIPESTATUS[0]}") ||
      fail "the 64-bit program did not find \"$service\" through IOPCServerList2"
    note "out-of-process matrix: 64-bit opcidl_tests through x64\\OPCKrelProxy.dll against the 32-bit test server"
    mkdir -p "$mix"
    cp "$bed/bin/opcidl_tests.exe" "$kit/x64/OPCKrelProxy.dll" "$bin/opc_oop_server.exe" "$mix/"
    (cd "$mix" && OANOCACHE=1 timeout 300 wine opcidl_tests.exe --gtest_filter='OutOfProcess.*:OpcAcrossProcesses.*' \
       </dev/null >"$work/matrix.txt" 2>&1)
    rc=$?
    grep -E '^\[ *(PASSED|FAILED) *\]' "$work/matrix.txt" | sed 's/^/    /'
    [ $rc -eq 0 ] || { fail "the 64-bit matrix against the 32-bit server: exit code $rc"; cat "$work/matrix.txt"; }
    for pid in $(kit_prefix_pids 'opc_oop_server\.exe'); do kill "$pid" 2>/dev/null; done
  else
    note "SKIPPED: the 64-bit program parts (no 64-bit tree at $bed: scripts/test builds it in the 64-bit lane)"
  fi
fi

note "OPC.Krel.Inst.exe /Uninstall"
installer /Uninstall || fail "/Uninstall exit code $?"
installed=
wait_for '! service_key_exists' 60 || fail "service \"$service\" still registered"
wait_for '! service_key_exists "$enum_service"' 60 || fail "service \"$enum_service\" still registered"
wine reg query "HKCR\\CLSID\\$list_clsid" "${view[@]}" >/dev/null 2>&1 && fail "the server list's class left behind"
com_registered && fail "COM registration left behind (ProgID or CLSID)"
wine reg query "HKCR\\AppID\\$clsid" "${view[@]}" >/dev/null 2>&1 && fail "AppID $clsid left behind"
servers=$(pgrep -f 'OPC\.Krel\.(Server|Enum)\.exe' 2>/dev/null | while read -r p; do
  tr '\0' '\n' < "/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$p"; done)
[ -z "$servers" ] || fail "service process still running: $servers"
note "service, COM registration and process gone"
if [ -n "$wow64" ]; then
  iid_server="{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"
  for v in 32 64; do
    wine reg query "HKLM\\Software\\Classes\\Interface\\$iid_server\\ProxyStubClsid32" /reg:$v >/dev/null 2>&1 &&
      fail "IOPCServer's proxy/stub left in the $v-bit registry view"
  done
fi
# Three starts (install, COM after the first stop, sc start) and three stops (two
# sc stop, the uninstall), each logged once.
new_log=$(service_log | tail -n +$((log_lines + 1)))
started=$(grep -c $'\tINICIADO$' <<<"$new_log"); stopped=$(grep -c $'\tDETENIDO$' <<<"$new_log")
note "service log: $started x INICIADO, $stopped x DETENIDO"
[ "$started" -eq 3 ] && [ "$stopped" -eq 3 ] || { fail "service log:"; echo "$new_log"; }

if [ -n "$wow64" ]; then
  # Another vendor's server list, registered in the 64-bit view only (the 32-bit
  # installer sees it through the other view): /Install must not register the
  # kit's in either view, and neither /Install nor /Uninstall may touch it.
  other='C:\Other\OpcEnum.exe'
  list64="HKLM\\Software\\Classes\\CLSID\\$list_clsid"
  wine reg add "$list64\\LocalServer32" /ve /d "$other" /f /reg:64 >/dev/null 2>&1 || fail "could not register the other server list"
  note "another vendor's server list registered (64-bit view): /Install /OpcEnum=1 /SrvFireWall=1, then /Uninstall"
  installed=1
  installer /Install /OpcEnum=1 /SrvFireWall=1 || fail "/Install beside another server list: exit code $?"
  wait_for '[ "$(service_state)" = RUNNING ]' 60 || fail "service not running beside another server list"
  service_key_exists "$enum_service" && fail "the kit's server list was installed beside another vendor's"
  wine reg query "$list64" /v AppID /reg:32 >/dev/null 2>&1 && fail "the kit's server list class registered beside another vendor's"
  installer /Uninstall || fail "/Uninstall beside another server list: exit code $?"
  installed=
  wait_for '! service_key_exists' 60 || fail "service \"$service\" still registered"
  value=$(wine reg query "$list64\\LocalServer32" /ve /reg:64 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p')
  [ "$value" = "$other" ] || fail "the other server list's entry changed: '$value'"
  note "the other server list's entry is as it was: $value"
  wine reg delete "$list64" /f /reg:64 >/dev/null 2>&1
fi

if [ "$failures" -eq 0 ]; then echo "1 passed, 0 failed"; exit 0; fi
echo "0 passed, 1 failed ($failures checks)"; exit 1
