#!/usr/bin/env bash
# The release archive as CPack makes it: exactly the kit's files, every program
# and library 32-bit PE, every DLL's export name table in ascending byte order
# (the loader binary-searches it: an unsorted table makes it miss exports), and
# no DLL needed beyond the system's and the kit's own (the runtimes are static).
# Usage: release_archive_test.sh <build dir> <cpack> <i686 objdump>
set -u
build=$(cd "$1" && pwd)
cpack=$2
objdump=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/krelzip.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
note() { echo "[release] $*"; }
fail() { echo "[release] FAIL: $*"; failures=$((failures + 1)); }

kit_dlls="ketraopcclient.dll fwsetup.dll ketraopcserver.dll opckrelproxy.dll"
system_dlls="kernel32.dll user32.dll advapi32.dll ole32.dll oleaut32.dll rpcrt4.dll shell32.dll shlwapi.dll
             msvcrt.dll ntdll.dll gdi32.dll ws2_32.dll version.dll secur32.dll netapi32.dll comctl32.dll
             userenv.dll crypt32.dll"

(cd "$work" && "$cpack" -G ZIP --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1) \
  || { cat "$work/cpack.log"; fail "cpack failed"; }
zip=$work/pkg/OPC.Krel-3.0-win32.zip
if [ ! -f "$zip" ]; then
  fail "no OPC.Krel-3.0-win32.zip"; ls -R "$work/pkg" 2>/dev/null
  echo "0 passed, 1 failed"; exit 1
fi

expected="FwSetup.dll
KetraOPCClient.dll
KetraOPCServer.dll
LEEME.txt
OPC.Krel.Client.exe
OPC.Krel.Client.ini
OPC.Krel.Inst.exe
OPC.Krel.Server.exe
OPCKrelProxy.dll
include/IOPCClient.h
lib/libKetraOPCClient.dll.a"
actual=$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort)
if [ "$actual" = "$(LC_ALL=C sort <<<"$expected")" ]; then
  note "archive holds exactly the $(wc -l <<<"$actual") expected files"
else
  fail "archive contents differ:"; diff <(LC_ALL=C sort <<<"$expected") <(echo "$actual")
fi

mkdir -p "$work/x" && unzip -q "$zip" -d "$work/x" || fail "unzip failed"
for f in "$work"/x/*.dll "$work"/x/*.exe; do
  [ -f "$f" ] || continue
  name=$(basename "$f")
  dump=$("$objdump" -p "$f" 2>&1) || { fail "$name: objdump failed"; continue; }
  grep -q 'file format pei-i386' <<<"$dump" || fail "$name is not PE i386: $(grep -m1 'file format' <<<"$dump")"
  # Imports: system DLLs and the kit's own only.
  for dll in $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z' | tr -d '\r'); do
    case " $(echo $system_dlls $kit_dlls) " in
      *" $dll "*) ;;
      *) fail "$name imports $dll" ;;
    esac
  done
  case "$name" in
    *.dll)
      # The [Ordinal/Name Pointer] table lists the names in the table's order.
      exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { t = 1; next }
                     t && /^[[:space:]]*\[ *[0-9]+\]/ { print $NF; next }
                     t && NF == 0 { t = 0 }' <<<"$dump")
      if [ -z "$exports" ]; then
        fail "$name exports no names"
      elif [ "$exports" != "$(LC_ALL=C sort <<<"$exports")" ]; then
        fail "$name: export name table not in ascending byte order:"; echo "$exports" | sed 's/^/    /'
      else
        note "$name: $(wc -l <<<"$exports") export names, sorted; imports $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '\n' ' ')"
      fi ;;
    *) note "$name: imports $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '\n' ' ')" ;;
  esac
done

if [ "$failures" -eq 0 ]; then echo "1 passed, 0 failed"; exit 0; fi
echo "0 passed, 1 failed"; exit 1
