#!/usr/bin/env bash
# The format corrector and its checker on structures the kit's IDL does not hold:
# for Win32 and Win64 the corrected proxy must give a VARIANT-bearing structure
# alignment 7 when it (or a structure it embeds) holds an 8-byte member, and 3
# otherwise (a pointer to a double is no such member); the checker must accept
# that and refuse either alignment put the other way.
# Usage: wire_cases_test.sh <source dir of opcidl> <python3> <widl> <widl include dir>
set -u
src=$1 python=$2 widl=$3 winc=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/krelwire.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "[wire] FAIL: $*"; failures=$((failures + 1)); }
# The alignment byte of the description <name> (widl's "/* N (name) */" label).
align_of() { awk -v n="/* [0-9]+ \\\\($2\\\\) \\\\*/" '$0 ~ n { getline; getline; sub(/,.*/, ""); sub(/^[ \t]*/, ""); print; exit }' "$1"; }
set_align() {  # <in> <out> <name> <value>
  awk -v n="/* [0-9]+ \\\\($3\\\\) \\\\*/" -v v="$4" '
    $0 ~ n { print; getline; print; getline; sub(/0x[0-9a-fA-F]+,/, v ","); print; next } { print }' "$1" >"$2"
}
for target in win32 win64; do
  raw=$work/$target.raw.c fixed=$work/$target.c
  "$widl" --$target -Oif -I"$winc" -I"$src" -I"$src/include" -p -P "$raw" "$src/tests/wire_cases.idl" ||
    { fail "$target: widl failed"; continue; }
  awk -f "$src/fix-widl-format.awk" "$raw" "$raw" >"$fixed" 2>/dev/null || fail "$target: the corrector failed"
  "$python" "$src/check-wire-format.py" --$target --raw "$raw" "$fixed" || fail "$target: the checker refuses the corrected proxy"
  for want in WIDEVALUE:0x7 WIDEOUTER:0x7 NARROWVALUE:0x3; do
    name=${want%%:*}
    got=$(align_of "$fixed" "$name")
    [ "$got" = "${want#*:}" ] || fail "$target: $name has alignment '$got', not ${want#*:}"
    other=$([ "${want#*:}" = 0x7 ] && echo 0x3 || echo 0x7)
    set_align "$fixed" "$work/bad.c" "$name" "$other"
    out=$("$python" "$src/check-wire-format.py" --$target "$work/bad.c")
    [ $? = 1 ] && grep -q "has alignment ${other#0x}, not ${want#*:0x}" <<<"$out" ||
      fail "$target: the checker takes $name with alignment $other: $out"
  done
done
if [ "$failures" -eq 0 ]; then echo "1 passed, 0 failed"; exit 0; fi
echo "0 passed, 1 failed"; exit 1
