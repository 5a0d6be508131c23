# widl writes proxy format strings that differ from what the Microsoft IDL compiler
# writes for the same IDL, and every other vendor's OPC proxy speaks the latter.
# Three families, each corrected wherever it occurs:
#  1. An [out] or [in, out] pointer to a pointer names a description behind its
#     top-level "FC_RP [allocated_on_stack] [pointer_deref]" entry (widl 7/8: the
#     string of [out, string] LPWSTR*, the array of [out, string, size_is(,n)]
#     LPWSTR**). The caller then gets NULL, or the array is written one or two
#     pointers past the caller's variable. The offset goes back to the FC_RP whose
#     chain of pointers leads to the named description.
#  2. A simple reference names a place inside the description it points at (widl
#     7/8: [in, string, size_is(n)] LPWSTR*, 4 bytes into the array). It goes to the
#     start of that description: the nearest start before it that a top-level FC_RP
#     points at.
#  3. Structures and arrays that embed a VARIANT get alignment 7 (every widl so
#     far, for Win32 and Win64 alike) where the Microsoft compiler's Win32 output
#     gives 3; only the wire VARIANT itself is 8-aligned. Array elements after the
#     first then lie elsewhere on the wire. The wire must be the same for both
#     bitnesses (a 64-bit proxy talks to 32-bit stubs), so both get what the
#     members ask for: 7 when the structure also holds a double, a DATE or a
#     64-bit integer (itself or in a structure it embeds), else 3.
#  4. Win32 only: a structure embedded in another is flattened into the outer
#     one's pointer layout, but the array a pointer of the inner structure points
#     at keeps a size field named from the inner structure's start, while the
#     marshaler counts it from the outer one's (OPCBROWSEELEMENT's properties
#     take the pointer to the item ID for their count). Each such place gets its
#     own copy of the array description, appended to the type format string,
#     with the field offset moved by where the inner structure lies.
# Output that is already right passes unchanged.
# Run as: awk -f fix-widl-format.awk gen_p.c gen_p.c > fixed_p.c
# The first pass learns the type format string, the second rewrites.

function hexval(s,   i, c, v) {
    s = tolower(s)
    sub(/^0x/, "", s)
    v = 0
    for (i = 1; i <= length(s); i++) {
        c = index("0123456789abcdef", substr(s, i, 1)) - 1
        if (c < 0) break
        v = v * 16 + c
    }
    return v
}
function short_of(line) {
    if (!match(line, /NdrFcShort\(0x[0-9a-fA-F]+\)/)) return -1
    return hexval(substr(line, RSTART + 11, RLENGTH - 12))
}
function realign_text(a) {
    return sprintf("0x%x,\t/* %d (widl fix: embeds a VARIANT%s) */", a, a, a == 7 ? " and an 8-byte member" : "")
}
function signed16(v) { return v >= 32768 ? v - 65536 : v }
function bit(v, b) { return int(v / b) % 2 }
# Bytes the line adds to the format string.
function line_bytes(s,   n) {
    sub(/\/\*.*\*\//, "", s)
    n = 2 * gsub(/NdrFcShort\([^)]*\)/, "", s)
    n += 4 * gsub(/NdrFcLong\([^)]*\)/, "", s)
    n += gsub(/0x[0-9a-fA-F]+|[0-9]+/, "", s)
    return n
}
# The top-level FC_RP with [pointer_deref] before `to` whose chain of pointers
# reaches it, or -1.
function deref_rp_for(to,   r, cur, hops, best) {
    best = -1
    for (r in rp_deref) {
        r += 0
        if (r >= to || r <= best) continue
        cur = ptr_to[r]
        for (hops = 0; hops < 4 && cur != to && (cur in ptr_to); hops++) cur = ptr_to[cur]
        if (cur == to) best = r
    }
    return best
}
# The start of the description that `at` lies in, when an FC_RP points there, or -1.
function pointee_around(at,   p) {
    for (p = at - 1; p > 0 && !(p in label); p--) ;
    return (p in rp_pointee) ? p : -1
}

FNR == NR {
    if ($0 ~ /__RPC_WIN32__/) win32 = 1
    if (match($0, /\(USER_MARSHAL_SIZING_ROUTINE\)[A-Za-z0-9_]+_UserSize/))
        marshal_name[marshals++] = substr($0, RSTART + 29, RLENGTH - 38)
    if ($0 ~ /__MIDL_TypeFormatString =/) { in_types = 1; braces = 0; next }
    if (!in_types) next
    if ($0 ~ /^[ \t]*\{[ \t]*$/) { braces++; if (braces == 2) pos = 0; next }
    if (braces < 2) next
    if ($0 ~ /^[ \t]*\}/) { in_types = 0; next }
    if (match($0, /^\/\* +[0-9]+/)) {
        agg = -1
        label[substr($0, 3) + 0] = 1
        label_line[substr($0, 3) + 0] = FNR
        next
    }

    at = pos
    pos += line_bytes($0)
    # A member (or element) of 8 bytes on the wire; not what a simple pointer
    # of the layout points at.
    if (agg >= 0 && !after_simple && $0 ~ /^[ \t]*0x0?[bBcC],[ \t]*\/\* FC_(HYPER|DOUBLE) \*\/[ \t]*$/)
        wide[agg] = 1
    after_simple = 0
    if (line_bytes($0) > 0) { last_line = FNR; last_at = at }
    type_line[FNR] = $0
    line_at[FNR] = at
    if (want == "ptr") {
        ptr_to[ptr_at] = ptr_at + 2 + signed16(short_of($0))
        if (layout_mem != "") {
            # An entry of a pointer layout: where the pointer lies in memory.
            entry_mem[ptr_at] = layout_mem
            entry_line[ptr_at] = FNR
            entry_field[ptr_at] = at
            layout_mem = ""
        }
        if (ptr_kind == "0x11") {
            rp_pointee[ptr_to[ptr_at]] = 1
            if (bit(ptr_attr, 16)) rp_deref[ptr_at] = 1
        }
        want = ""
    } else if (want == "align") {
        align_line[agg] = FNR
        align_val[agg] = hexval($1)
        want = ""
    } else if (want == "emb" && $0 ~ /NdrFcShort/) {
        emb[agg, emb_count[agg]++] = at + signed16(short_of($0))
        want = ""
    } else if (want == "marshal" && $0 ~ /NdrFcShort/) {
        if (marshal_name[short_of($0)] == "VARIANT") bearing[marshal_at] = 1
        want = ""
    } else if (want == "corr_op") {
        want = "corr_offset"
    } else if (want == "corr_offset" && $0 ~ /NdrFcShort/) {
        if (!(agg in corr_kind)) {
            corr_kind[agg] = corr_byte
            corr_line[agg] = FNR
            corr_value[agg] = signed16(short_of($0))
        }
        want = ""
    }
    if ($0 ~ /Memory offset = /) layout_mem = signed16(short_of($0))
    if ($0 ~ /Corr desc:/) { corr_byte = hexval($1); want = "corr_op" }
    if (match($0, /^[ \t]*0x1[1-4], *0x[0-9a-fA-F]+,/)) {
        split(substr($0, RSTART, RLENGTH), b, /, */)
        sub(/^[ \t]*/, "", b[1])
        ptr_kind = b[1]
        ptr_attr = hexval(b[2])
        ptr_at = at
        if (bit(ptr_attr, 8)) {
            after_simple = 1
            if (ptr_kind == "0x11") { rp_pointee[at + 2] = 1; label[at + 2] = 1 }
        } else {
            want = "ptr"
        }
    } else if ($0 ~ /\/\* FC_(STRUCT|PSTRUCT|CSTRUCT|CPSTRUCT|CVSTRUCT|BOGUS_STRUCT|CARRAY|CVARRAY|SMFARRAY|LGFARRAY|SMVARRAY|LGVARRAY|BOGUS_ARRAY) \*\//) {
        agg = at
        aggregates[at] = 1
        want = "align"
    } else if ($0 ~ /\/\* FC_EMBEDDED_COMPLEX \*\//) {
        want = "emb"
    } else if ($0 ~ /\/\* FC_USER_MARSHAL \*\//) {
        marshal_at = at
        want = "marshal"
    }
    next
}

FNR == 1 {
    # Everything that embeds a VARIANT, however deep, and everything that holds
    # an 8-byte member, however deep.
    do {
        grown = 0
        for (a in aggregates) {
            for (i = 0; i < emb_count[a]; i++) {
                if (!(a in bearing) && (emb[a, i]) in bearing) { bearing[a] = 1; grown = 1 }
                if (!(a in wide) && (emb[a, i]) in wide) { wide[a] = 1; grown = 1 }
            }
        }
    } while (grown)
    for (a in aggregates) {
        if (!(a in bearing)) continue
        want_align = (a in wide) ? 7 : 3
        if (align_val[a] != want_align) realign[align_line[a]] = want_align
    }
}

FNR == 1 && win32 {
    # Family 4. The pointer's own structure is where it lies nearest the start.
    for (e in entry_mem) {
        t = ptr_to[e]
        if ((t in corr_kind) && int(corr_kind[t] / 16) == 1 && (!(t in home) || entry_mem[e] < home[t]))
            home[t] = entry_mem[e]
    }
    appended = 0
    copy_count = 0
    for (e in entry_mem) {
        t = ptr_to[e]
        if (!(t in home) || entry_mem[e] == home[t]) continue
        shift = entry_mem[e] - home[t]
        if (!((t, shift) in copy_at)) {
            # The description runs to the next one widl labels.
            end = -1
            for (l in label_line) if (l + 0 > t && (end < 0 || l + 0 < end)) end = l + 0
            copy_at[t, shift] = last_at + appended
            copy_from[copy_count] = t
            copy_shift[copy_count] = shift
            copy_end[copy_count++] = end
            appended += end - t
        }
        redirect[entry_line[e]] = copy_at[t, shift] - entry_field[e]
        redirect_to[entry_line[e]] = copy_at[t, shift]
        relocated++
    }
}

$0 ~ /^#define TYPE_FORMAT_STRING_SIZE / && appended {
    print "#define TYPE_FORMAT_STRING_SIZE " ($3 + appended)
    next
}
FNR == last_line && appended {
    for (c = 0; c < copy_count; c++) print_copy(c)
}
FNR in redirect {
    line = $0
    sub(/NdrFcShort\(0x[0-9a-fA-F]+\)/, sprintf("NdrFcShort(0x%x)", (redirect[FNR] + 65536) % 65536), line)
    sub(/\/\*.*\*\//, sprintf("/* Offset= %d (%d) (widl fix: its own size field) */", redirect[FNR], redirect_to[FNR]), line)
    print line
    next
}
{
    if ($0 ~ /__MIDL_TypeFormatString =/) done_procs = 1
    if (FNR in realign) {
        line = $0
        sub(/0x[0-9a-fA-F]+,.*/, realign_text(realign[FNR]), line)
        print line
        aligned++
        next
    }
    if (done_procs) { print; next }
    if ($0 ~ /flags:/) flags = short_of($0)
    if ($0 !~ /type offset =/) { print; next }
    off = short_of($0)
    to = -1
    if (bit(flags, 256)) {
        if (!(off in label)) to = pointee_around(off)
        if (to >= 0) inside++
    } else if (bit(flags, 16) && !((off in rp_deref))) {
        to = deref_rp_for(off)
        if (to >= 0) derefs++
    }
    if (to < 0) { print; next }
    line = $0
    sub(/NdrFcShort\(0x[0-9a-fA-F]+\)/, sprintf("NdrFcShort(0x%x)", to), line)
    sub(/type offset = [0-9]+/, sprintf("type offset = %d (widl fix)", to), line)
    print line
}

# The description at copy_from[c], moved to copy_at, its size field shifted.
function print_copy(c,   t, shift, to, l, line, moved, target, rel) {
    t = copy_from[c]
    shift = copy_shift[c]
    to = copy_at[t, shift]
    printf "/* %d (the array at %d, its size field %d bytes further: widl fix) */\n", to, t, shift
    for (l = label_line[t] + 1; l in type_line && line_at[l] < copy_end[c]; l++) {
        line = type_line[l]
        moved = to + line_at[l] - t
        if (l in realign) sub(/0x[0-9a-fA-F]+,.*/, realign_text(realign[l]), line)
        if (l == corr_line[t]) {
            sub(/NdrFcShort\(0x[0-9a-fA-F]+\)/, sprintf("NdrFcShort(0x%x)", corr_value[t] + shift), line)
            sub(/offset = -?[0-9]+/, "offset = " (corr_value[t] + shift), line)
        } else if (match(line, /Offset= -?[0-9]+ \([0-9]+\)/)) {
            target = substr(line, RSTART, RLENGTH)
            sub(/.*\(/, "", target)
            target += 0
            if (target >= t && target < copy_end[c]) target += to - t
            rel = target - moved
            sub(/NdrFcShort\(0x[0-9a-fA-F]+\)/, sprintf("NdrFcShort(0x%x)", (rel + 65536) % 65536), line)
            sub(/Offset= -?[0-9]+ \([0-9]+\)/, sprintf("Offset= %d (%d)", rel, target), line)
        }
        print line
    }
}

END {
    printf "widl format fix: %d out pointers to pointers, %d simple references, %d alignments, %d nested size fields\n",
           derefs, inside, aligned, relocated > "/dev/stderr"
}
