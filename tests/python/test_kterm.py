"""KTerm: printed text, repr, postcard bytes and reduce."""

import builtins
import sys
import types
import unicodedata

import pytest
import termmodel as M
from hypothesis import given
from hypothesis import strategies as st

import kovel._kovel as K

LEAF42 = bytes.fromhex("0207696e746567657200010000023432")


def via_builder(cmds):
    b = K.tb("t")
    for c in cmds:
        if c[0] == "W":
            b.w(c[1])
        elif c[0] == "P":
            b.p(c[1])
        else:
            {"NL": b.n, "POP": b.x}[c[0]]()
    return b.b()


def via_quote(cmds):
    return K.quote("q", 0, "py", K.sym("unused"), [M.cmd_object(c) for c in cmds])


W, P = (lambda s: ("W", s)), (lambda s: ("P", s))
# The writer's cases are the core's (strcmd_test.cpp); here each command reaches it through
# the builder's methods and through command objects.
WRITER = [
    ([W("def f():"), P("    "), M.NL, W("return 1"), M.POP, M.NL], "def f():\n    return 1\n"),
    ([P("a"), P(""), M.POP, M.NL], "\na"),
]


@pytest.mark.parametrize("make", [via_builder, via_quote])
@pytest.mark.parametrize("cmds,expected", WRITER)
def test_prefix_writer(make, cmds, expected):
    t = make(cmds)
    assert str(t) == t.coparse() == expected


def test_emission_examples():
    b, c = K.leaf("stmt", "a = 1"), K.leaf("stmt", "b = 2")
    a = K.tb("block").w("if x:").p("    ").n().c(b).n().c(c).x().n().w("end").b()
    assert str(a) == "if x:\n    a = 1\n    b = 2\nend"
    q = K.quote(
        "q", 0, "py", b, [M.cmd_object(x) for x in (W("("), M.HOLE, W(", "), M.HOLE, W(")"))]
    )
    assert str(q) == "(a = 1, a = 1)"
    d = K.tb("d").p("> ").w("d").b()
    assert str(K.tb("p").c(d).n().w("e").b()) == "d\n> e"
    # A POP inside a child removes the prefix its parent pushed.
    assert str(K.tb("p").p("  ").c(K.tb("c").x().b()).n().w("x").b()) == "\nx"


def test_quote_fields_never_reach_the_text():
    inner = K.sym("v")
    cmds = [M.cmd_object(W("<")), K.HOLE, K.HOLE, M.cmd_object(W(">"))]
    terms = [
        K.quote("q", 0, "py", inner, cmds),
        K.unquote("q", 0, "py", inner, cmds),
        K.quote("other", 255, "rust", inner, cmds),
    ]
    assert {str(t) for t in terms} == {"<vv>"}
    qb, ub = terms[0].postcard_bytes(), terms[1].postcard_bytes()
    assert qb[0] == 0 and ub[0] == 1 and qb[1:] == ub[1:]
    assert str(K.quote("q", 0, "py", inner, [M.cmd_object(W("only"))])) == "only"


@given(M.buildable_terms)
def test_model_round_trip(model):
    t = M.make(model)
    expected = M.text(model)
    data = t.postcard_bytes()
    assert str(t) == t.coparse() == expected
    assert data == M.enc(model)
    for again in (K.from_postcard_bytes(data), K.from_postcard_bytes(data + b"\x07junk")):
        assert str(again) == expected and again.postcard_bytes() == data


# The escaping's cases are the core's (text_test.cpp); here its result comes back as a str.
@pytest.mark.parametrize(
    "code,expected",
    [
        ("42", 'KTerm("42")'),
        ('print("hi")\n', 'KTerm("print(\\"hi\\")\\n")'),
        ("a\t'b'", "KTerm(\"a\\t'b'\")"),
        ("\0\r\\", 'KTerm("\\0\\r\\\\")'),
        ("", 'KTerm("")'),
        ("a\u200bb\U000e0041", 'KTerm("a\\u{200b}b\\u{e0041}")'),
        ("é中\U0001f600", 'KTerm("é中\U0001f600")'),
    ],
)
def test_repr_examples(code, expected):
    assert repr(K.leaf("t", code)) == expected


def repr_char(cp):
    """A character in a repr: as is when Python prints it and it is no combining mark."""
    c = chr(cp)
    mark = unicodedata.category(c) in ("Mn", "Me") or cp in M.OTHER_GRAPHEME_EXTEND
    return c if c.isprintable() and not mark else f"\\u{{{cp:x}}}"


# Code points where the escaping table flips, each with the same class on both sides in every
# Unicode release from 13.0 (CPython 3.10's) on.
TABLE_EDGES = [
    *(0x007F, 0x00A1, 0x00AD, 0x00AE, 0x0300, 0x0370, 0x0378, 0x0483, 0x048A, 0x05BE, 0x05BF),
    *(0x09BE, 0x09BF, 0x1FFF, 0x2010, 0x2028, 0x2030, 0x205F, 0xD7FC, 0xF900, 0xFEFD, 0xFF01),
    *(0xFF9E, 0xFFA0, 0xFFFC, 0xFFFE, 0x10000, 0x1D165, 0x1D166, 0x20000),
]


@pytest.mark.parametrize("edge", TABLE_EDGES, ids=lambda cp: f"U+{cp:04X}")
def test_repr_at_table_edges(edge):
    before, at = repr_char(edge - 1), repr_char(edge)
    assert (before == chr(edge - 1)) != (at == chr(edge))  # Python's own data flips here too
    assert repr(K.leaf("t", "a" + chr(edge - 1) + chr(edge) + "b")) == f'KTerm("a{before}{at}b")'


@given(st.text(st.sampled_from(M.STABLE_CHARS), max_size=12))
def test_repr_escaping_property(s):
    t = K.leaf("t", s)
    assert repr(t) == 'KTerm("' + M.escape(s) + '")'
    assert str(t) == s


def test_postcard_examples():
    leaf = K.leaf("integer", "42")
    assert leaf.postcard_bytes() == LEAF42
    assert leaf.postcard_bytes() is not leaf.postcard_bytes()
    u = K.unquote("u", 0, "python", leaf, [K.HOLE])
    assert u.postcard_bytes() == bytes.fromhex("0101750006707974686f6e") + LEAF42 + b"\x01\x01\x00"
    block = K.tb("block").w("while").p("    ").n().c(leaf).x().b()
    assert block.postcard_bytes() == (
        bytes.fromhex("0205626c6f636b01")
        + LEAF42
        + bytes.fromhex("050000057768696c65000204202020200001010003")
    )
    quote = (
        bytes.fromhex("00 01 71 01 02 70 79")
        + LEAF42
        + bytes.fromhex("03 00 00 02 66 28 01 00 00 01 29")
        + bytes.fromhex("01 03 ac 02")
    )
    assert len(quote) == 38
    q = K.from_postcard_bytes(quote)
    assert q.postcard_bytes() == quote and str(q) == "f(42)"


def test_reduce_examples(main_ns, capsys, monkeypatch):
    assert K.leaf("integer", "42").reduce() == 42
    assert K.leaf("t", "1\n").reduce() == 1
    assert K.leaf("t", "'é中'").reduce() == "é中"
    assert K.leaf("t", 'print("hi")\n').reduce() is None
    assert capsys.readouterr().out == "hi\n"
    t = K.leaf("t", "(y := 3)")
    assert t.reduce() == 3 and main_ns["y"] == 3
    x = K.name("x")
    main_ns.pop("x", None)
    with pytest.raises(NameError):
        x.reduce()
    main_ns["x"] = value = object()
    assert x.reduce() is value
    # The namespace is sys.modules["__main__"] as it is at each call, whatever module it holds.
    other = types.ModuleType("other")
    other.x = 7
    monkeypatch.setitem(sys.modules, "__main__", other)
    assert x.reduce() == 7 and other.__builtins__ is builtins.__dict__
    # An entry that is not a module is replaced by a new, empty module named __main__.
    monkeypatch.setitem(sys.modules, "__main__", {"x": 1})
    assert K.leaf("t", "(__name__, 'x' in globals())").reduce() == ("__main__", False)
    assert type(sys.modules["__main__"]) is types.ModuleType


def test_reduce_may_reenter_the_same_term(main_ns):
    code = "len(t.coparse()) + len(repr(t))"
    main_ns["t"] = t = K.leaf("t", code)
    assert t.reduce() == 2 * len(code) + len('KTerm("")')


@pytest.mark.parametrize("code,position", [("ab\0c", 2), ("é\0", 2), ("\0", 0), ("a\0\0", 1)])
def test_reduce_refuses_nul(code, position):
    with pytest.raises(BaseException) as ei:
        K.leaf("t", code).reduce()
    assert type(ei.value) is ValueError
    assert str(ei.value) == f"nul byte found in provided data at position: {position}"


@pytest.mark.parametrize("code", ["x = 1", "", " 1", "def f(): pass", "1 +"])
def test_reduce_compile_errors_are_the_interpreters(code):
    with pytest.raises(SyntaxError) as expected:
        compile(code, "<string>", "eval")
    with pytest.raises(BaseException) as ei:
        K.leaf("t", code).reduce()
    got, want = ei.value, expected.value
    assert type(got) is type(want)
    assert (got.msg, got.filename, got.lineno) == (want.msg, "<string>", want.lineno)


def test_reduce_passes_exceptions_through(main_ns):
    exc = LookupError("mine")

    def boom():
        raise exc

    main_ns["boom"] = boom
    with pytest.raises(BaseException) as ei:
        K.leaf("t", "boom()").reduce()
    assert ei.value is exc and ei.value.__traceback__ is not None


def test_reduce_adds_missing_builtins(main_ns):
    main_ns.pop("__builtins__", None)
    assert K.leaf("t", "len('abc') + int('4')").reduce() == 7
    assert main_ns["__builtins__"] is builtins.__dict__


DEPTH = 100_000
LEAF_X = b"\x02\x01x\x00\x01\x00\x00\x01x"


def test_deep_terms_print_encode_and_release():
    t = K.sym("x")
    for _ in range(DEPTH):
        t = K.quote("", 0, "", t, [K.HOLE])
    assert str(t) == "x"
    data = t.postcard_bytes()
    assert data == b"\x00\x00\x00\x00" * DEPTH + LEAF_X + b"\x01\x01\x00" * DEPTH
    back = K.from_postcard_bytes(data)
    assert back.postcard_bytes() == data
    del t, back
    t = K.sym("x")
    for _ in range(DEPTH):
        t = K.tb("t").w("(").c(t).w(")").b()
    assert str(t) == "(" * DEPTH + "x" + ")" * DEPTH
    del t
