"""A plain-Python model of terms: text, postcard bytes, decoding, building through the module."""

import unicodedata

from hypothesis import strategies as st

import kovel._kovel as K

# Terms: ("T", tag, children, cmds) or ("Q"|"U", tag, index, lang, term, cmds, span).
# Commands: ("W", s), ("NL",), ("P", s), ("POP",), ("HOLE",).
HOLE = ("HOLE",)
NL = ("NL",)
POP = ("POP",)

END = "Hit the end of buffer, expected more data"
VARINT = "Found a varint that didn't terminate. Is the usize too big for this platform?"
UTF8 = "Tried to parse invalid utf-8"
OPTION = "Found an Option discriminant that wasn't 0 or 1"
SERDE = "Serde Deserialization Error"

# A Tuple tagged "t" with no children and one HOLE: printing it is an internal fault.
BROKEN = bytes([0x02, 0x01, 0x74, 0x00, 0x01, 0x01])


def leaf(tag, code):
    return ("T", tag, (), (("W", code),))


class MissingChild(Exception):
    """A HOLE of a Tuple found no child left."""


def text(term):
    out, prefixes = [], []

    def interpret(c):
        if c[0] == "W":
            out.append(c[1])
        elif c[0] == "NL":
            out.append("\n")
            out.extend(prefixes)
        elif c[0] == "P":
            prefixes.append(c[1])
        elif prefixes:
            prefixes.pop()

    def walk(t):
        if t[0] == "T":
            children = iter(t[2])
            for c in t[3]:
                if c != HOLE:
                    interpret(c)
                    continue
                child = next(children, None)
                if child is None:
                    raise MissingChild
                walk(child)
        else:
            for c in t[5]:
                walk(t[4]) if c == HOLE else interpret(c)

    walk(term)
    return "".join(out)


def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def etext(s):
    b = s.encode()
    return varint(len(b)) + b


def ecmd(c):
    if c == HOLE:
        return b"\x01"
    kind = {"W": 0, "NL": 1, "P": 2, "POP": 3}[c[0]]
    return bytes([0, kind]) + (etext(c[1]) if c[0] in ("W", "P") else b"")


def ecmds(cmds):
    return varint(len(cmds)) + b"".join(ecmd(c) for c in cmds)


def enc(t):
    if t[0] == "T":
        return (
            b"\x02" + etext(t[1]) + varint(len(t[2])) + b"".join(enc(c) for c in t[2]) + ecmds(t[3])
        )
    _, tag, index, lang, inner, cmds, span = t
    span_b = b"\x00" if span is None else b"\x01" + varint(span[0]) + varint(span[1])
    return (
        bytes([t[0] == "U"])
        + etext(tag)
        + bytes([index])
        + etext(lang)
        + enc(inner)
        + ecmds(cmds)
        + span_b
    )


class DecodeError(Exception):
    pass


def decode(buf):
    """Reads one term from the start of buf; raises DecodeError with the module's message."""
    pos = 0

    def byte():
        nonlocal pos
        if pos >= len(buf):
            raise DecodeError(END)
        pos += 1
        return buf[pos - 1]

    def vint(width, bound):
        v = 0
        for i in range(width):
            b = byte()
            if i == width - 1 and b > bound:
                raise DecodeError(VARINT)
            v |= (b & 0x7F) << (7 * i)
            if not b & 0x80:
                return v

    def size():
        return vint(10, 0x01)

    def variant():
        return vint(5, 0x0F)

    def txt():
        nonlocal pos
        n = size()
        if n > len(buf) - pos:
            raise DecodeError(END)
        raw = bytes(buf[pos : pos + n])
        pos += n
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            raise DecodeError(UTF8) from None

    def seq(item):
        return tuple(item() for _ in range(size()))

    def cmd():
        v = variant()
        if v == 1:
            return HOLE
        if v != 0:
            raise DecodeError(SERDE)
        k = variant()
        if k in (0, 2):
            return ("W" if k == 0 else "P", txt())
        if k in (1, 3):
            return NL if k == 1 else POP
        raise DecodeError(SERDE)

    def term():
        v = variant()
        if v > 2:
            raise DecodeError(SERDE)
        tag = txt()
        if v == 2:
            children = seq(term)
            return ("T", tag, children, seq(cmd))
        index = byte()
        lang = txt()
        inner = term()
        cmds = seq(cmd)
        flag = byte()
        if flag > 1:
            raise DecodeError(OPTION)
        span = (size(), size()) if flag else None
        return ("QU"[v], tag, index, lang, inner, cmds, span)

    return term()


def cmd_object(c):
    """A fresh CmdOrHole for one model command."""
    if c == HOLE:
        return K.HOLE
    return K.cmd(
        {
            "W": lambda: K.write(c[1]),
            "P": lambda: K.push(c[1]),
            "NL": lambda: K.NL,
            "POP": lambda: K.POP,
        }[c[0]]()
    )


def make(t):
    """Builds the model term through the module: Tuples by a Builder, quotes by quote/unquote."""
    if t[0] == "T" and not t[2] and len(t[3]) == 1 and t[3][0][0] == "W":
        return K.leaf(t[1], t[3][0][1])
    if t[0] == "T":
        b = K.tb(t[1])
        children = iter(t[2])
        for i, c in enumerate(t[3]):
            if c == HOLE:
                # Alternate c and e so both splice paths are exercised.
                (b.c if i % 2 else b.e)(make(next(children)))
            elif c[0] == "W":
                b.w(c[1])
            elif c[0] == "P":
                b.p(c[1])
            else:
                (b.n if c == NL else b.x)()
        return b.b()
    fn = K.quote if t[0] == "Q" else K.unquote
    return fn(t[1], t[2], t[3], make(t[4]), [cmd_object(c) for c in t[5]])


texts = st.text(
    st.one_of(st.sampled_from("a \n\t\0\"'\\é<&"), st.characters(codec="utf-8")), max_size=6
)
plain_cmds = st.one_of(
    st.builds(lambda s: ("W", s), texts.filter(bool)),  # Builder.w('') records nothing
    st.builds(lambda s: ("P", s), texts),
    st.just(NL),
    st.just(POP),
)


def _tuple_of(sub):
    def assemble(tag, entries):
        children = tuple(e[1] for e in entries if e[0] == "child")
        cmds = tuple(HOLE if e[0] == "child" else e for e in entries)
        return ("T", tag, children, cmds)

    entry = st.one_of(plain_cmds, sub.map(lambda t: ("child", t)))
    return st.builds(assemble, texts, st.lists(entry, max_size=6))


def _quote_of(sub):
    cmds = st.lists(st.one_of(plain_cmds, st.just(HOLE)), max_size=6).map(tuple)
    return st.builds(
        lambda v, tag, i, lang, inner, c: (v, tag, i, lang, inner, c, None),
        st.sampled_from("QU"),
        texts,
        st.integers(0, 255),
        texts,
        sub,
        cmds,
    )


# Terms that the module's constructors and Builder can make (no spans, one child per HOLE).
buildable_terms = st.recursive(
    st.builds(leaf, texts, texts) | _tuple_of(st.nothing()),
    lambda sub: _tuple_of(sub) | _quote_of(sub),
    max_leaves=12,
)


def _stable(cp):
    c = chr(cp)
    cat = unicodedata.category(c)
    return (
        cat == unicodedata.ucd_3_2_0.category(c)
        and cat not in ("Cn", "Cs", "Mc")
        and cp not in (0xFF9E, 0xFF9F)
    )


# Characters whose class is the same in Unicode 3.2 and in this interpreter's tables, without
# spacing marks (a few of which are Grapheme_Extend, a set that changes between versions).
STABLE_CHARS = [chr(cp) for cp in range(0x110000) if not 0x30000 <= cp < 0xE0000 and _stable(cp)]

_SHORT = {"\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\\": "\\\\", '"': '\\"'}
_HIDDEN = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}
# Grapheme_Extend beyond the Mn and Me marks (Unicode 15.0).
OTHER_GRAPHEME_EXTEND = {
    *(0x09BE, 0x09D7, 0x0B3E, 0x0B57, 0x0BBE, 0x0BD7, 0x0CC2, 0x0CD5, 0x0CD6, 0x0D3E, 0x0D57),
    *(0x0DCF, 0x0DDF, 0x1B35, 0x200C, 0x302E, 0x302F, 0xFF9E, 0xFF9F, 0x1133E, 0x11357),
    *(0x114B0, 0x114BD, 0x115AF, 0x11930, 0x1D165, *range(0x1D16E, 0x1D173)),
    *range(0xE0020, 0xE0080),
}


def escape(s):
    """The repr escaping of one text, for characters from STABLE_CHARS."""
    out = []
    for c in s:
        cat = unicodedata.category(c)
        if c in _SHORT:
            out.append(_SHORT[c])
        elif cat in ("Mn", "Me") or ord(c) in OTHER_GRAPHEME_EXTEND:
            out.append(f"\\u{{{ord(c):x}}}")
        elif cat not in _HIDDEN and (cat != "Zs" or c == " "):
            out.append(c)
        else:
            out.append(f"\\u{{{ord(c):x}}}")
    return "".join(out)
