#!/usr/bin/env bash
# The release archive as CPack makes it: exactly the kit's files, every program
# and library 32-bit PE (x86-64 in x64/, from the tree's x64-kit/), every DLL's export name table in ascending byte order
# (the loader binary-searches it: an unsorted table makes it miss exports), and
# no DLL needed beyond the system's and the kit's own (the runtimes are static).
# What an administrator checks: SHA256SUMS.txt verifies every other file, each
# program and library carries the kit's version resource, and carries no debug
# information, no link time and no build path, while its symbols in the build
# tree still resolve its addresses. Packed twice, the zip is the same bytes.
# Usage: release_archive_test.sh <build dir> <cpack> <i686 objdump>
set -u
export TZ=UTC  # objdump prints the PE time stamp in local time
build=$(cd "$1" && pwd)
cpack=$2
objdump=$3
tools=${objdump%objdump}  # i686-w64-mingw32-: objcopy, strings, nm, addr2line beside it
source=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
# The kit's own folders in the checkout and the build tree, and the build tree's
# lib/ as dlltool spells it in symbol names; not the bare folders: the runtime
# libraries' symbols name the folders they were built in (/build/...).
build_paths=(-e "${build//[^[:alnum:]]/_}_lib_" -e "${build//[^[:alnum:]]/_}_x64_kit_lib_")
for d in common fwsetup installer monitor opcclient opcidl opcserver simserver; do
  build_paths+=(-e "$source/$d/" -e "$build/$d" -e "$build/x64-kit/$d")
done
work=$(mktemp -d "${TMPDIR:-/tmp}/krelzip.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
note() { echo "[release] $*"; }
fail() { echo "[release] FAIL: $*"; failures=$((failures + 1)); }

kit_dlls="ketraopcclient.dll fwsetup.dll ketraopcserver.dll opckrelproxy.dll"
system_dlls="kernel32.dll user32.dll advapi32.dll ole32.dll oleaut32.dll rpcrt4.dll shell32.dll shlwapi.dll
             msvcrt.dll ntdll.dll gdi32.dll ws2_32.dll version.dll secur32.dll netapi32.dll comctl32.dll
             userenv.dll crypt32.dll"

for pkg in pkg pkg2; do
  (cd "$work" && "$cpack" -G ZIP --config "$build/CPackConfig.cmake" -B "$work/$pkg" >"$work/cpack.log" 2>&1) \
    || { cat "$work/cpack.log"; fail "cpack failed"; }
done
zip=$work/pkg/OPC.Krel-3.0-win32.zip
if [ ! -f "$zip" ]; then
  fail "no OPC.Krel-3.0-win32.zip"; ls -R "$work/pkg" 2>/dev/null
  echo "0 passed, 1 failed"; exit 1
fi
# Another staging folder, other file times on disk, a later clock: same bytes.
cmp -s "$zip" "$work/pkg2/OPC.Krel-3.0-win32.zip" || fail "two cpack runs gave different zips"
note "zip: $(stat -c %s "$zip") bytes"

expected="FwSetup.dll
KetraOPCClient.dll
KetraOPCServer.dll
LEEME.txt
OPC.Krel.Client.exe
OPC.Krel.Client.ini
OPC.Krel.Enum.exe
OPC.Krel.Inst.exe
OPC.Krel.Server.exe
OPCKrelProxy.dll
SHA256SUMS.txt
include/IOPCClient.h
lib/libKetraOPCClient.dll.a
x64/KetraOPCClient.dll
x64/OPC.Krel.Client.exe
x64/OPC.Krel.Client.ini
x64/OPCKrelProxy.dll
x64/include/IOPCClient.h
x64/lib/libKetraOPCClient.dll.a"
actual=$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort)
if [ "$actual" = "$(LC_ALL=C sort <<<"$expected")" ]; then
  note "archive holds exactly the $(wc -l <<<"$actual") expected files"
else
  fail "archive contents differ:"; diff <(LC_ALL=C sort <<<"$expected") <(echo "$actual")
fi

unzip -Z1 "$zip" | LC_ALL=C sort -c 2>/dev/null || fail "zip entries are not in byte order"
times=$(unzip -Z -T "$zip" | awk '/^-/ { print $7 }' | sort -u)
[ "$(wc -l <<<"$times")" = 1 ] || fail "zip entries do not share one file time: $(tr '\n' ' ' <<<"$times")"

mkdir -p "$work/x" && unzip -q "$zip" -d "$work/x" || fail "unzip failed"
if [ "$(sed 's/^[0-9a-f]\{64\}  //' "$work/x/SHA256SUMS.txt" 2>/dev/null)" != "$(grep -vx SHA256SUMS.txt <<<"$actual")" ]; then
  fail "SHA256SUMS.txt does not list exactly the other files:"; cat "$work/x/SHA256SUMS.txt"
elif (cd "$work/x" && sha256sum --strict --quiet -c SHA256SUMS.txt); then
  note "SHA256SUMS.txt verifies $(wc -l <"$work/x/SHA256SUMS.txt") files"
else
  fail "SHA256SUMS.txt does not verify"
fi
for f in "$work"/x/*.dll "$work"/x/*.exe "$work"/x/x64/*.dll "$work"/x/x64/*.exe; do
  [ -f "$f" ] || continue
  name=$(basename "$f")
  case "$f" in
    */x64/*) bin=$build/x64-kit/bin format=pei-x86-64 tools=${objdump%i686-w64-mingw32-objdump}x86_64-w64-mingw32-
             main=WinMain,main
             name=x64/$name ;;
    *)       bin=$build/bin format=pei-i386 tools=${objdump%objdump} main=_WinMain@16,_main ;;
  esac
  base=$(basename "$f")
  dump=$("${tools}objdump" -p "$f" 2>&1) || { fail "$name: objdump failed"; continue; }
  grep -q "file format $format\$" <<<"$dump" || fail "$name is not $format: $(grep -m1 'file format' <<<"$dump")"
  # Stripped, no link time; the build tree's copy is the same
  # file, and its debug link leads to symbols that name the line of the kit's
  # code behind an address (an export, or the program's WinMain or main).
  headers=$("${tools}objdump" -h -f "$f")
  grep -qE '^ *[0-9]+ \.debug_|HAS_SYMS' <<<"$headers" && fail "$name carries debug sections or symbols"
  grep -qE '^ *[0-9]+ \.gnu_debuglink ' <<<"$headers" || fail "$name has no .gnu_debuglink"
  stamped=$(grep '^Time/Date' <<<"$dump" | grep -vE '(Thu Jan  1 00:00:00 1970|[[:space:]]0)$')
  [ -z "$stamped" ] || fail "$name is time-stamped: $stamped"
  cmp -s "$f" "$bin/$base" || fail "$name differs from $bin/$base"
  case "$name" in
    *.dll) rva=$(awk '/^Export Address Table -- Ordinal Base/ { t = 1; next }
                      t && /Export RVA/ { print $(NF - 2); exit }' <<<"$dump")
           addr=$((0x$(sed -n 's/^ImageBase[[:space:]]*//p' <<<"$dump") + 0x${rva:-0})) ;;
    *)     sym=$("${tools}nm" "$bin/$base.debug" 2>/dev/null |
                 awk -v want="$main" 'BEGIN { split(want, w, ",") }
                      $3 == w[1] || $3 == w[2] { a[$3] = $1 }
                      END { print (w[1] in a) ? a[w[1]] : a[w[2]] }')
           addr=$((0x${sym:-0})) ;;
  esac
  addr=$(printf '0x%x' "$addr")
  line=$("${tools}addr2line" -f -e "$bin/$base" "$addr" 2>&1 | tail -n 1)
  [[ $line =~ ^/opc-krel/.+\.(c|cpp):[1-9] ]] || fail "$name: $addr resolves to '$line', not to a line of the kit's code"
  # Version resource: VS_FIXEDFILEINFO (signature, structure version, then file
  # and product version 3.0.0.0, each two little-endian dwords) and the strings.
  "${tools}objcopy" -O binary -j .rsrc "$f" "$work/rsrc" 2>/dev/null || : >"$work/rsrc"
  [[ $(od -An -v -tx1 "$work/rsrc" | tr -d ' \n') == *bd04effe0000010000000300000000000000030000000000* ]] \
    || fail "$name: no VS_FIXEDFILEINFO with file and product version 3.0.0.0"
  wrong=$("${tools}strings" -e l -n 2 "$work/rsrc" | awk -v name="$base" '
    k { v[k] = $0; k = "" }
    /^(CompanyName|FileDescription|FileVersion|LegalCopyright|OriginalFilename|ProductName|ProductVersion)$/ { k = $0 }
    END {
      want["CompanyName"] = "Ketra"; want["ProductName"] = "OPC Krel 3.0"; want["OriginalFilename"] = name
      want["FileVersion"] = want["ProductVersion"] = "3.0.0.0"
      for (w in want) if (v[w] != want[w]) printf "%s=\"%s\" ", w, v[w]
      if (v["FileDescription"] !~ /^OPC Krel ./) printf "FileDescription=\"%s\" ", v["FileDescription"]
      if (v["LegalCopyright"] !~ /^Copyright \(C\) [0-9]+ Ketra$/) printf "LegalCopyright=\"%s\" ", v["LegalCopyright"]
    }')
  [ -z "$wrong" ] || fail "$name: version resource has $wrong"
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

leaks=$(grep -rlF "${build_paths[@]}" "$work/x" $(cd "$work/x" && ls *.dll *.exe | sed "s|^|$build/bin/|; s|\$|.debug|")
       $(cd "$work/x/x64" && ls *.dll *.exe | sed "s|^|$build/x64-kit/bin/|; s|\$|.debug|"))
[ -z "$leaks" ] || fail "build paths in: $(echo $leaks)"

if [ "$failures" -eq 0 ]; then echo "1 passed, 0 failed"; exit 0; fi
echo "0 passed, 1 failed"; exit 1
