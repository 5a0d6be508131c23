#!/usr/bin/env python3
"""Walks the procedure and type format strings of a generated proxy/stub source
and fails when they would not put the bytes on the wire that a proxy built by the
Microsoft IDL compiler from the published OPC IDL puts there:

  - a parameter's type offset (or any offset inside a description) must be the
    start of a description, never a place inside one;
  - an [out] parameter that is not a simple reference must be described from its
    top-level FC_RP, and an FC_RP in front of a pointer must say
    [pointer_deref] (and [allocated_on_stack] when the parameter is out only);
    a simple reference never points straight at a pointer;
  - every structure and array that embeds a VARIANT, and the VARIANT itself, has
    alignment 3 (4 bytes), or 7 when it also holds a double, a DATE or a 64-bit
    integer (itself or in a structure it embeds); the wire VARIANT keeps 7. Win32
    and Win64 alike: a 64-bit proxy talks to 32-bit stubs over the same wire;
  - a pointer of a pointer layout whose array takes its size from a field of the
    structure must name a field inside that structure (or array element) that is
    not itself one of the layout's pointers: the marshaler counts the field from
    the start of the structure whose layout holds the pointer.

It reads only the bytes (the NdrFcShort/NdrFcLong/0x.. tokens) and the names in
the routine and offset tables, never the generator's comments, so it stays
independent of how the generated source is corrected.

    check-wire-format.py --win32|--win64 [--raw raw_p.c] [--summary] file_p.c...

With --raw, the check also runs on the generator's uncorrected output and fails
unless the fields the correction changed are exactly the faults found there
(descriptions it appends to the type format string are checked like any other).

Exit status 0 when every file passes, 1 when a fault was found, 2 on bad input.
"""
import re
import sys

# Format characters (as in ndrtypes.h).
FC_RP, FC_UP, FC_OP, FC_FP = 0x11, 0x12, 0x13, 0x14
POINTERS = (FC_RP, FC_UP, FC_OP, FC_FP)
FC_STRUCT, FC_PSTRUCT, FC_CSTRUCT, FC_CPSTRUCT, FC_CVSTRUCT, FC_BOGUS_STRUCT = range(0x15, 0x1b)
FC_CARRAY, FC_CVARRAY, FC_SMFARRAY, FC_LGFARRAY, FC_SMVARRAY, FC_LGVARRAY, FC_BOGUS_ARRAY = range(0x1b, 0x22)
STRUCTS = (FC_STRUCT, FC_PSTRUCT, FC_CSTRUCT, FC_CPSTRUCT, FC_CVSTRUCT, FC_BOGUS_STRUCT)
ARRAYS = (FC_CARRAY, FC_CVARRAY, FC_SMFARRAY, FC_LGFARRAY, FC_SMVARRAY, FC_LGVARRAY, FC_BOGUS_ARRAY)
FC_ENCAPSULATED_UNION, FC_NON_ENCAPSULATED_UNION = 0x2a, 0x2b
FC_IP, FC_POINTER, FC_STRING_SIZED = 0x2f, 0x36, 0x44
FC_NO_REPEAT, FC_FIXED_REPEAT, FC_VARIABLE_REPEAT = 0x46, 0x47, 0x48
FC_PP, FC_EMBEDDED_COMPLEX, FC_CONSTANT_IID, FC_END, FC_PAD = 0x4b, 0x4c, 0x5a, 0x5b, 0x5c
FC_USER_MARSHAL, FC_RANGE = 0xb4, 0xb7
BASE_TYPES = set(range(0x01, 0x11)) | {0xb8, 0xb9}
WIDE_TYPES = {0x0b, 0x0c}  # FC_HYPER, FC_DOUBLE (a DATE is one)
# Single-byte entries of a member or element layout besides the base types:
# FC_POINTER, FC_ALIGNM2/4/8, FC_STRUCTPAD1..7, FC_PAD.
LAYOUT_BYTES = {FC_POINTER, 0x37, 0x38, 0x39, FC_PAD} | set(range(0x3d, 0x44))
ALLOCED_ON_STACK, SIMPLE_POINTER, POINTER_DEREF = 0x04, 0x08, 0x10
# Parameter attributes.
IS_IN, IS_OUT, IS_RETURN, IS_BASETYPE, IS_SIMPLE_REF = 0x08, 0x10, 0x20, 0x40, 0x100


class BadInput(Exception):
    pass


def c_bytes(source, name):
    """The bytes of the format string `name` as the C compiler would lay them out."""
    m = re.search(r'\b\w*' + name + r'\s*=\s*\{\s*0\s*,\s*\{', source)
    if not m:
        raise BadInput('no ' + name)
    end = source.find('}', m.end())
    body = re.sub(r'/\*.*?\*/', ' ', source[m.end():end], flags=re.S)
    body = re.sub(r'^\s*#.*$', ' ', body, flags=re.M)
    out = bytearray()
    for tok in re.finditer(r'NdrFcShort\s*\(\s*(\w+)\s*\)|NdrFcLong\s*\(\s*(\w+)\s*\)|(\b(?:0x[0-9a-fA-F]+|\d+)\b)', body):
        if tok.group(1):
            out += (int(tok.group(1), 0) & 0xffff).to_bytes(2, 'little')
        elif tok.group(2):
            out += (int(tok.group(2), 0) & 0xffffffff).to_bytes(4, 'little')
        else:
            out.append(int(tok.group(3), 0) & 0xff)
    return bytes(out)


def proc_names(source):
    """Procedure offset -> 'Interface::Method', from the per-interface offset tables."""
    names = {}
    for t in re.finditer(r'(\w+)_FormatStringOffsetTable\[\]\s*=\s*\{(.*?)\}', source, re.S):
        entries = [e for e in re.sub(r'/\*.*?\*/', '', t.group(2), flags=re.S).split(',') if e.strip()]
        method = 3  # after the three IUnknown slots
        for e in entries:
            e = e.strip()
            if not re.match(r'^\d+$', e):
                method += 1
                continue
            names.setdefault(int(e), '%s method %d' % (t.group(1), method))
            method += 1
    # Prefer the method names where the source gives them.
    for m in re.finditer(r'^\s*(\d+),\s*/\*\s*(\w+::\w+)\s*\*/', source, re.M):
        names[int(m.group(1))] = m.group(2)
    return names


def user_marshal_types(source):
    """Quadruple index -> type name, from the UserMarshalRoutines table."""
    m = re.search(r'UserMarshalRoutines\[\]\s*=\s*\{(.*?)\};', source, re.S)
    if not m:
        return []
    return re.findall(r'(\w+)_UserSize\b', m.group(1))


class TypeString:
    """Parses descriptions of the type format string. Each parsed description is
    kept by its start: (kind, end, info), where info holds what the rules need."""

    def __init__(self, data, corr_size):
        self.b = data
        self.corr = corr_size
        self.refs = []        # (from, to, what): offsets found inside descriptions
        self.entries = []     # (layout owner, memory offset, offset field, pointee)

    def u8(self, p):
        if p >= len(self.b):
            raise BadInput('type format string ends inside a description at %d' % p)
        return self.b[p]

    def s16(self, p):
        return int.from_bytes(self.b[p:p + 2], 'little', signed=True)

    def u16(self, p):
        return int.from_bytes(self.b[p:p + 2], 'little')

    def rel(self, p, what, refs):
        refs.append((p, p + self.s16(p), what))
        return p + self.s16(p)

    def pointer(self, p, refs):
        """A 4-byte pointer description; returns (end, info)."""
        fc, attr = self.u8(p), self.u8(p + 1)
        if fc not in POINTERS:
            raise BadInput('0x%02x at %d is no pointer' % (fc, p))
        if attr & SIMPLE_POINTER:
            return p + 4, {'attr': attr, 'to': None, 'inline': self.u8(p + 2)}
        return p + 4, {'attr': attr, 'to': self.rel(p + 2, 'desc', refs)}

    def pointer_layout(self, p, refs, owner=None):
        if self.u8(p) != FC_PP:
            return p
        p += 2
        while self.u8(p) != FC_END:
            kind = self.u8(p)
            if kind == FC_NO_REPEAT:
                count, p = 1, p + 2
            elif kind == FC_FIXED_REPEAT:
                count, p = self.u16(p + 8), p + 10
            elif kind == FC_VARIABLE_REPEAT:
                count, p = self.u16(p + 6), p + 8
            else:
                raise BadInput('pointer layout entry 0x%02x at %d' % (kind, p))
            for _ in range(count):
                q, info = self.pointer(p + 4, refs)
                self.entries.append((owner, self.s16(p), p + 6, info['to']))
                p = q
        return p + 1

    def layout(self, p, refs, embedded, info=None):
        """Members or elements up to FC_END; embedded complex types go to `embedded`,
        and info['wide'] says whether one of them is 8 bytes on the wire."""
        pointers = 0
        while True:
            fc = self.u8(p)
            if fc == FC_END:
                p += 1
                break
            if fc == FC_EMBEDDED_COMPLEX:
                embedded.append(self.rel(p + 2, 'desc', refs))
                p += 4
            elif fc in POINTERS:     # an element that is a pointer, described in place
                p, _info = self.pointer(p, refs)
            elif fc in BASE_TYPES or fc in LAYOUT_BYTES:
                pointers += fc == FC_POINTER
                if fc in WIDE_TYPES and info is not None:
                    info['wide'] = True
                p += 1
            else:
                raise BadInput('layout entry 0x%02x at %d' % (fc, p))
        if p % 2 and p < len(self.b) and self.b[p] == FC_PAD:
            p += 1
        return p, pointers

    def arms(self, p, refs):
        count = self.u16(p + 2) & 0x0fff
        q = p + 4
        for i in range(count + 1):  # each arm (case value, type), then the default
            if i < count:
                q += 4
            arm = self.u16(q)
            if arm not in (0, 0xffff) and (arm & 0xff00) != 0x8000:
                self.rel(q, 'desc', refs)
            q += 2
        return q

    def parse(self, p, kind='desc'):
        """Parses the description at p; returns (end, info)."""
        refs = []
        info = {'fc': None, 'embedded': []}
        if kind == 'arms':
            end = self.arms(p, refs)
            info['fc'] = 'arms'
            return end, info, refs
        fc = self.u8(p)
        info['fc'] = fc
        emb = info['embedded']
        if fc in POINTERS:
            end, pinfo = self.pointer(p, refs)
            info.update(pinfo)
        elif fc in (0x22, 0x23, 0x24, 0x25):   # conformant strings
            end = p + 2 + (self.corr if self.u8(p + 1) == FC_STRING_SIZED else 0)
        elif fc in (0x26, 0x27, 0x28, 0x29):   # fixed strings
            end = p + 4
        elif fc in STRUCTS:
            info['align'] = self.u8(p + 1)
            if fc == FC_BOGUS_STRUCT:
                if self.s16(p + 4):
                    self.rel(p + 4, 'desc', refs)
                q, pointers = self.layout(p + 8, refs, emb, info)
                if pointers:
                    if p + 6 + self.s16(p + 6) != q:
                        raise BadInput('pointer layout of the structure at %d is not its own' % p)
                    for _ in range(pointers):
                        q, _info = self.pointer(q, refs)
                end = q
            else:
                q = p + 4
                if fc in (FC_CSTRUCT, FC_CPSTRUCT, FC_CVSTRUCT):
                    self.rel(q, 'desc', refs)
                    q += 2
                q = self.pointer_layout(q, refs, p)
                end, _pointers = self.layout(q, refs, emb, info)
        elif fc in ARRAYS:
            info['align'] = self.u8(p + 1)
            q = {FC_CARRAY: p + 4 + self.corr, FC_CVARRAY: p + 4 + 2 * self.corr,
                 FC_SMFARRAY: p + 4, FC_LGFARRAY: p + 6,
                 FC_SMVARRAY: p + 8 + self.corr, FC_LGVARRAY: p + 12 + self.corr,
                 FC_BOGUS_ARRAY: p + 4 + 2 * self.corr}[fc]
            if fc != FC_BOGUS_ARRAY:
                q = self.pointer_layout(q, refs, p)
            end, _pointers = self.layout(q, refs, emb, info)
        elif fc == FC_ENCAPSULATED_UNION:
            end = self.arms(p + 2, refs)
        elif fc == FC_NON_ENCAPSULATED_UNION:
            q = p + 2 + self.corr
            self.rel(q, 'arms', refs)
            end = q + 2
        elif fc == FC_IP:
            end = p + 18 if self.u8(p + 1) == FC_CONSTANT_IID else p + 2 + self.corr
        elif fc == FC_USER_MARSHAL:
            info['align'] = self.u8(p + 1) & 0x0f
            info['routine'] = self.u16(p + 2)
            info['wire'] = self.rel(p + 8, 'desc', refs)
            end = p + 10
        elif fc == FC_RANGE:
            end = p + 10
        else:
            raise BadInput('description 0x%02x at %d' % (fc, p))
        if end % 2 and end < len(self.b) and self.b[end] == FC_PAD:
            end += 1
        return end, info, refs


def procedures(proc, names):
    """Yields (name, corr size, [params]) for every procedure, walking the string
    from its start. A parameter is (position, attributes, type offset or None)."""
    p = 0
    while p < len(proc) and proc[p] != 0:
        start = p
        handle, oi_flags = proc[p], proc[p + 1]
        if handle == 0:
            raise BadInput('explicit handles are not expected in an object interface (procedure at %d)' % p)
        if not oi_flags & 0x20 and not oi_flags & 0x40:
            raise BadInput('procedure at %d is not in the -Oif/-Oicf form' % p)
        p += 2 + (4 if oi_flags & 0x08 else 0) + 4
        p += 4                                  # client and server buffer sizes
        oi2, count = proc[p], proc[p + 1]
        p += 2
        corr = 4
        if oi2 & 0x40:
            ext = proc[p]
            corr = 6 if proc[p + 1] & 0x01 else 4
            p += ext
        params = []
        for _ in range(count):
            attr = int.from_bytes(proc[p:p + 2], 'little')
            offset = None if attr & IS_BASETYPE else int.from_bytes(proc[p + 4:p + 6], 'little')
            params.append((p, attr, offset))
            p += 6
        yield names.get(start, 'procedure at %d' % start), corr, params


def check(path):
    source = open(path, encoding='utf-8', errors='replace').read()
    proc = c_bytes(source, '__MIDL_ProcFormatString')
    types = c_bytes(source, '__MIDL_TypeFormatString')
    names = proc_names(source)
    procs = list(procedures(proc, names))
    corr_sizes = {c for _n, c, _p in procs}
    if len(corr_sizes) > 1:
        raise BadInput('procedures disagree on the size of a correlation descriptor')
    ts = TypeString(types, corr_sizes.pop() if corr_sizes else 4)
    faults = []

    # Which places are arm tables of non-encapsulated unions: follow every offset
    # from the parameters (a wrong offset may add noise here, never hide a fault,
    # since the sequential walk below must still account for every byte).
    arms, seen, work = set(), set(), [(o, 'desc') for _n, _c, ps in procs for _q, _a, o in ps if o is not None]
    while work:
        at, kind = work.pop()
        if (at, kind) in seen or not 0 < at < len(types):
            continue
        seen.add((at, kind))
        if kind == 'arms':
            arms.add(at)
        try:
            _end, _info, refs = ts.parse(at, kind)
        except BadInput:
            continue
        work += [(to, what) for _f, to, what in refs]

    # The descriptions, one after the other, from byte 2 to the terminating zeros.
    descs, refs, p = {}, [], 2
    ts.entries = []
    last = len(types)
    while last > 2 and types[last - 1] == 0:
        last -= 1
    while p < last:
        kind = 'arms' if p in arms else 'desc'
        try:
            end, info, r = ts.parse(p, kind)
        except BadInput as e:
            faults.append(('type', p, 'type format string does not parse at %d: %s' % (p, e)))
            break
        descs[p] = (kind, end, info)
        if info.get('inline') in (0x22, 0x23, 0x24, 0x25):
            # A simple pointer to a string: a simple reference names the string itself.
            descs[p + 2] = ('desc', end, {'fc': info['inline'], 'embedded': []})
        refs += r
        p = end

    def where(offset):
        for s, (_k, e, _i) in descs.items():
            if s < offset < e:
                return 'inside the description at %d' % s
        return 'at no description'

    for f, to, what in refs:
        if to not in descs or descs[to][0] != what:
            faults.append(('type', f, 'offset at %d points %s (%d)' % (f, where(to), to)))

    for name, _corr, params in procs:
        for q, attr, offset in params:
            if offset is None:
                continue
            label = '%s, parameter at %d' % (name, q)
            if offset not in descs:
                faults.append(('proc', q + 4, '%s: type offset %d lands %s' % (label, offset, where(offset))))
                continue
            info = descs[offset][2]
            if attr & IS_SIMPLE_REF:
                if info['fc'] in POINTERS or info['fc'] == FC_IP:
                    faults.append(('proc', q + 4, '%s: simple reference to a pointer at %d skips its top-level FC_RP' %
                                   (label, offset)))
                continue
            if not attr & IS_OUT or attr & IS_RETURN:
                continue
            if info['fc'] != FC_RP:
                faults.append(('proc', q + 4, '%s: out parameter described from %d, which is no top-level FC_RP' %
                               (label, offset)))
                continue
            pointee = descs[info['to']][2]['fc'] if info['to'] in descs else None
            want = 0
            if pointee in POINTERS:
                want = POINTER_DEREF | (0 if attr & IS_IN else ALLOCED_ON_STACK)
            elif pointee == FC_IP:
                want = POINTER_DEREF
            if info['attr'] & want != want:
                faults.append(('type', offset + 1, '%s: the FC_RP at %d in front of a pointer lacks [pointer_deref]%s' %
                               (label, offset, '' if attr & IS_IN else '[allocated_on_stack]')))

    # Sizes taken from a field: the field must be one the layout's structure has.
    pointers_of = {}
    for owner, mem, _f, _to in ts.entries:
        pointers_of.setdefault(owner, set()).add(mem)
    for owner, mem, field, to in ts.entries:
        fc = descs[to][2]['fc'] if to in descs else None
        if owner is None or fc not in (FC_CARRAY, FC_CVARRAY, FC_BOGUS_ARRAY) or types[to + 4] & 0xf0 != 0x10:
            continue
        size_field = ts.s16(to + 6)
        if size_field in pointers_of[owner] or not 0 <= size_field <= ts.u16(owner + 2) - 4:
            faults.append(('type', field, 'the array at %d, reached from the pointer at memory offset %d of the layout '
                           'at %d, takes its size from offset %d, which is %s' %
                           (to, mem, owner, size_field, 'a pointer' if size_field in pointers_of[owner] else
                            'outside the structure')))

    # One wire for both bitnesses: the alignment of a VARIANT-bearing description
    # follows from its members, never from the platform.
    marshal_names = user_marshal_types(source)
    variants = {s for s, (k, _e, i) in descs.items()
                if i['fc'] == FC_USER_MARSHAL and i['routine'] < len(marshal_names)
                and marshal_names[i['routine']] == 'VARIANT'}
    bearing = set(variants)
    wide = {s for s, (_k, _e, i) in descs.items() if i.get('wide')}
    grown = True
    while grown:
        grown = False
        for s, (_k, _e, i) in descs.items():
            if not (i['fc'] in STRUCTS or i['fc'] in ARRAYS):
                continue
            for group in (bearing, wide):
                if s not in group and group & set(i['embedded']):
                    group.add(s)
                    grown = True
    for s in sorted(bearing):
        want = 7 if s in wide else 3
        if descs[s][2]['align'] != want:
            faults.append(('type', s + 1, 'VARIANT-bearing description at %d (0x%02x) has alignment %d, not %d' %
                           (s, descs[s][2]['fc'], descs[s][2]['align'], want)))
    for s in variants:
        wire = descs.get(descs[s][2]['wire'])
        if wire and wire[2]['fc'] in POINTERS:
            wire = descs.get(wire[2]['to'])
        if not wire or wire[2].get('align') != 7:
            faults.append(('type', s, 'the wire VARIANT of the VARIANT at %d is not aligned to 8' % s))
    return faults, (proc, types), len(procs), sum(len(ps) for _n, _c, ps in procs), len(descs)


def changes(raw, fixed):
    """The bytes in which the corrected format strings differ from the raw ones."""
    out = set()
    for where, a, b in zip(('proc', 'type'), raw, fixed):
        n = len(a)
        if where == 'type' and len(b) > len(a):
            # Descriptions appended in place of the terminating zeros.
            while n > 2 and a[n - 1] == 0:
                n -= 1
        elif len(a) != len(b):
            raise BadInput('the correction changed the length of the %s format string' % where)
        out |= {(where, i) for i in range(n) if a[i] != b[i]}
    return out


def main(argv):
    args = list(argv)
    target = args.pop(0) if args else None
    raw = args.pop(1) if len(args) > 2 and args[0] == '--raw' else None
    if raw:
        args.pop(0)
    summary = bool(args) and args[0] == '--summary'
    if summary:
        args.pop(0)
    if target not in ('--win32', '--win64') or not args or (raw and len(args) != 1):
        print(__doc__, file=sys.stderr)
        return 2
    status = 0
    for path in args:
        try:
            faults, strings, nprocs, nparams, ndescs = check(path)
            if raw:
                # Every field the correction changed is one the check objects to in
                # the raw output, and nothing else is: the two stay honest together.
                raw_faults, raw_strings = check(raw)[:2]
                changed = changes(raw_strings, strings)
                flagged = {(w, p + i) for w, p, _m in raw_faults for i in (0, 1)}
                faults += [('', 0, 'raw output: %s, which the correction left alone' % m)
                           for w, p, m in raw_faults if not {(w, p), (w, p + 1)} & changed]
                faults += [('', 0, 'the correction changed %s byte %d, which the check finds no fault in' % c)
                           for c in sorted(changed - flagged)]
        except (BadInput, OSError) as e:
            print('%s: %s' % (path, e), file=sys.stderr)
            return 2
        for _w, _p, message in faults:
            print('%s: %s' % (path, message))
        if summary or faults:
            print('%s: %d procedures, %d parameters, %d descriptions, %d faults%s' %
                  (path, nprocs, nparams, ndescs, len(faults),
                   ', %d corrected' % len(raw_faults) if raw else ''))
        status = status or (1 if faults else 0)
    return status


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
