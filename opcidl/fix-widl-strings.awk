# widl 7/8 writes the wrong type offset for [out, string] LPWSTR* parameters: it
# points at the inner "FC_OP [simple_pointer]" string entry instead of the
# "FC_RP [allocated_on_stack] [pointer_deref]" entry four bytes before it, and the
# caller then receives NULL across processes while the call returns S_OK.
# Run as: awk -f fix-widl-strings.awk gen_p.c gen_p.c > fixed_p.c
# First pass learns the type format string, second pass rewrites the offsets.

function offset_of(line,   m) {
    if (match(line, /type offset = [0-9]+/)) return substr(line, RSTART + 14, RLENGTH - 14) + 0
    return -1
}

FNR == NR {
    if ($0 ~ /__MIDL_TypeFormatString =/) in_types = 1
    if (!in_types) next
    if (match($0, /^\/\* +[0-9]+( |\*)/)) {
        cur = substr($0, 3) + 0
        want = 1
        next
    }
    if (want == 1) {
        if ($0 ~ /0x13, 0x8,.*FC_OP \[simple_pointer\]/) simple_op[cur] = 1
        if ($0 ~ /0x11, 0x14,.*FC_RP \[allocated_on_stack\] \[pointer_deref\]/) { deref_at = cur; want = 2; next }
        want = 0
        next
    }
    if (want == 2) {
        if (match($0, /Offset= 2 \([0-9]+\)/)) deref_to[deref_at] = substr($0, RSTART + 11, RLENGTH - 12) + 0
        want = 0
    }
    next
}

{
    if ($0 ~ /__MIDL_TypeFormatString =/) done_procs = 1
    if (!done_procs && $0 ~ /flags:/) flags = $0
    off = done_procs ? -1 : offset_of($0)
    if (off >= 4 && flags ~ /[:,] out[,* ]/ && (off in simple_op) && ((off - 4) in deref_to) && deref_to[off - 4] == off) {
        line = $0
        sub(/NdrFcShort\(0x[0-9a-fA-F]+\)/, sprintf("NdrFcShort(0x%x)", off - 4), line)
        sub(/type offset = [0-9]+/, sprintf("type offset = %d (widl fix)", off - 4), line)
        print line
        fixed++
        next
    }
    print
}

END { printf "widl string fix: %d parameters\n", fixed + 0 > "/dev/stderr" }
