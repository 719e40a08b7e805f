"""Argument binding and conversion: every refused argument in one table, then keywords, causes
and the text conversion's edges."""

import ctypes
import operator

import pytest

import kovel._kovel as K


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Meta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Nameless(metaclass=Meta):
    pass


class S(str):
    pass


def q(index=0, cmds=(), fn=K.quote):
    return fn("q", index, "py", K.sym("x"), cmds)


def spent():
    """A builder that b() has consumed."""
    b = K.tb("t")
    b.b()
    return b


def refusal(convert, value):
    """The interpreter's own error for converting value."""
    try:
        convert(value)
    except (TypeError, UnicodeEncodeError) as e:
        return e
    raise AssertionError(f"{value!r} was converted")


def index_refusal(value):
    return "argument 'index': " + str(refusal(operator.index, value))


def encoders(s):
    return refusal(str.encode, s)


CAST = "'{}' object is not an instance of '{}'"
RANGE = "out of range integral type conversion attempted"
UNSUPPORTED = "{}: unsupported type (expected int, str, or KTerm)"
# Beyond 64 bits an index is the interpreter's conversion to a C long, which has 64 bits on LP64.
LP64_ONLY = pytest.mark.skipif(ctypes.sizeof(ctypes.c_long) != 8, reason="C long is not 64-bit")

# Every refused argument: (call, the exact message of its TypeError, or the exception of another
# type it raises). Binding comes first, then each parameter kind's conversion: text, class
# instance, bytes, 8-bit index, command list, lifted value.
REFUSED = [
    (lambda: K.tb(), "tb() missing 1 required positional argument: 'tag'"),
    (lambda: K.leaf(), "leaf() missing 2 required positional arguments: 'tag' and 'code'"),
    (
        lambda: K.quote(),
        "quote() missing 5 required positional arguments: "
        "'tag', 'index', 'lang', 'term', and 'cmds'",
    ),
    (
        lambda: K.unquote("t", 0, cmds=[]),
        "unquote() missing 2 required positional arguments: 'lang' and 'term'",
    ),
    (
        lambda: K.quote("t", lang="x"),
        "quote() missing 3 required positional arguments: 'index', 'term', and 'cmds'",
    ),
    (lambda: K.leaf(code="c"), "leaf() missing 1 required positional argument: 'tag'"),
    (lambda: K.cmd(), "cmd() missing 1 required positional argument: 'c'"),
    (lambda: K.write(), "write() missing 1 required positional argument: 's'"),
    (
        lambda: K.from_postcard_bytes(),
        "from_postcard_bytes() missing 1 required positional argument: 'data'",
    ),
    (lambda: K.klift(), "klift() missing 1 required positional argument: 'value'"),
    (lambda: K.tb("t").c(), "Builder.c() missing 1 required positional argument: 'child'"),
    (lambda: K.tb("a", "b"), "tb() takes 1 positional arguments but 2 were given"),
    (lambda: K.leaf("a", "b", "c"), "leaf() takes 2 positional arguments but 3 were given"),
    (lambda: K.name("a", "b"), "name() takes 1 positional arguments but 2 were given"),
    (lambda: K.klift(1, 2, 3), "klift() takes 1 positional arguments but 3 were given"),
    (lambda: K.tb("t").w("a", "b"), "Builder.w() takes 1 positional arguments but 2 were given"),
    (lambda: K.sym("a", s="b"), "sym() got multiple values for argument 's'"),
    (lambda: K.leaf("a", tag="b", zz=1), "leaf() got multiple values for argument 'tag'"),
    (
        lambda: K.tb("t").e(K.sym("x"), child=K.sym("y")),
        "Builder.e() got multiple values for argument 'child'",
    ),
    (lambda: K.tb(tag="a", x=1), "tb() got an unexpected keyword argument 'x'"),
    (lambda: K.tb(Tag="a"), "tb() got an unexpected keyword argument 'Tag'"),
    (lambda: K.leaf("a", zz=1, tag="b"), "leaf() got an unexpected keyword argument 'zz'"),
    (lambda: K.push(p="a"), "push() got an unexpected keyword argument 'p'"),
    (lambda: K.klift_html(1, v=2), "klift_html() got an unexpected keyword argument 'v'"),
    (lambda: K.tb("t").p(x="a"), "Builder.p() got an unexpected keyword argument 'x'"),
    # Binding errors come before any conversion.
    (lambda: K.leaf(1, 2, 3), "leaf() takes 2 positional arguments but 3 were given"),
    (lambda: K.leaf(1, x=2), "leaf() got an unexpected keyword argument 'x'"),
    # Methods without parameters, and receivers: the interpreter's own messages.
    (lambda: K.tb("t").n(1), "Builder.n() takes no arguments (1 given)"),
    (lambda: K.tb("t").x(1, 2), "Builder.x() takes no arguments (2 given)"),
    (lambda: K.tb("t").b(tag="t"), "Builder.b() takes no keyword arguments"),
    (lambda: K.sym("a").coparse(1), "KTerm.coparse() takes no arguments (1 given)"),
    (
        lambda: K.sym("a").postcard_bytes(b"", 2),
        "KTerm.postcard_bytes() takes no arguments (2 given)",
    ),
    (lambda: K.sym("a").reduce(x=1), "KTerm.reduce() takes no keyword arguments"),
    (
        lambda: K.KTerm.coparse(K.tb("t")),
        "descriptor 'coparse' for 'builtins.KTerm' objects "
        "doesn't apply to a 'builtins.Builder' object",
    ),
    (
        lambda: K.Builder.w(K.sym("x"), "a"),
        "descriptor 'w' for 'builtins.Builder' objects doesn't apply to a 'builtins.KTerm' object",
    ),
    (
        lambda: K.Builder.b(K.NL),
        "descriptor 'b' for 'builtins.Builder' objects doesn't apply to a 'builtins.StrCmd' object",
    ),
    # Text: the cast error with the parameter's name, the first faulty argument in parameter
    # order; a lone surrogate is the encoder's error, unchanged.
    (lambda: K.tb(42), "argument 'tag': " + CAST.format("int", "str")),
    (lambda: K.leaf("t", None), "argument 'code': 'None' is not an instance of 'str'"),
    (lambda: K.leaf(1, 2), "argument 'tag': " + CAST.format("int", "str")),
    (lambda: K.leaf(code=1, tag=2), "argument 'tag': " + CAST.format("int", "str")),
    (lambda: K.sym(b"x"), "argument 's': " + CAST.format("bytes", "str")),
    (lambda: K.name(str), "argument 's': " + CAST.format("type", "str")),
    (lambda: K.write(5), "argument 's': " + CAST.format("int", "str")),
    (lambda: K.push(None), "argument 's': 'None' is not an instance of 'str'"),
    (
        lambda: K.tb(Nameless()),
        "argument 'tag': " + CAST.format("<failed to extract type name>", "str"),
    ),
    (lambda: K.quote(1, 300, 2, 3, 4), "argument 'tag': " + CAST.format("int", "str")),
    (
        lambda: K.quote("q", 0, None, K.sym("x"), []),
        "argument 'lang': 'None' is not an instance of 'str'",
    ),
    (lambda: K.tb("t").w(5), "argument 's': " + CAST.format("int", "str")),
    (lambda: K.tb("t").p(b"x"), "argument 's': " + CAST.format("bytes", "str")),
    (lambda: K.tb("a\ud800"), encoders("a\ud800")),
    (lambda: K.leaf("t", "\udfff"), encoders("\udfff")),
    (lambda: K.quote("q", 0, "\ud800", K.sym("x"), []), encoders("\ud800")),
    (lambda: K.tb("t").w("\ud800"), encoders("\ud800")),
    (lambda: K.tb("t").p("\udc00"), encoders("\udc00")),
    # Class instances.
    (lambda: K.quote("q", 0, "py", "x", []), "argument 'term': " + CAST.format("str", "KTerm")),
    (
        lambda: K.unquote("q", 0, "py", K.tb("t"), []),
        "argument 'term': " + CAST.format("Builder", "KTerm"),
    ),
    (lambda: K.cmd(K.HOLE), "argument 'c': " + CAST.format("CmdOrHole", "StrCmd")),
    (lambda: K.cmd(None), "argument 'c': 'None' is not an instance of 'StrCmd'"),
    (lambda: K.tb("t").c(5), "argument 'child': " + CAST.format("int", "KTerm")),
    (lambda: K.tb("t").c(K.tb("t")), "argument 'child': " + CAST.format("Builder", "KTerm")),
    (lambda: K.tb("t").e(K.NL), "argument 'child': " + CAST.format("StrCmd", "KTerm")),
    (lambda: K.tb("t").c(None), "argument 'child': 'None' is not an instance of 'KTerm'"),
    # A consumed builder still converts its argument.
    (lambda: spent().c(5), "argument 'child': " + CAST.format("int", "KTerm")),
    (lambda: spent().w("\ud800"), encoders("\ud800")),
    # Bytes.
    (
        lambda: K.from_postcard_bytes(bytearray(b"\x02")),
        "argument 'data': " + CAST.format("bytearray", "bytes"),
    ),
    (
        lambda: K.from_postcard_bytes(memoryview(b"\x02")),
        "argument 'data': " + CAST.format("memoryview", "bytes"),
    ),
    # 8-bit index: the interpreter's TypeError with the prefix; out of 0..255 within 64 bits
    # the module's own OverflowError, beyond them the interpreter's, both without it.
    (lambda: q("x"), index_refusal("x")),
    (lambda: q(Idx("3")), index_refusal(Idx("3"))),
    (lambda: q(256), OverflowError(RANGE)),
    (lambda: q(-1), OverflowError(RANGE)),
    (lambda: q(2**63 - 1), OverflowError(RANGE)),
    (lambda: q(-(2**63)), OverflowError(RANGE)),
    (lambda: q(Idx(1000)), OverflowError(RANGE)),
    pytest.param(
        lambda: q(2**63),
        OverflowError("Python int too large to convert to C long"),
        marks=LP64_ONLY,
    ),
    pytest.param(
        lambda: q(-(2**63) - 1),
        OverflowError("Python int too large to convert to C long"),
        marks=LP64_ONLY,
    ),
    # Command lists: not a sequence; items of an exact list, an exact tuple, any other
    # sequence; a str.
    (lambda: q(cmds={}), "argument 'cmds': " + CAST.format("dict", "Sequence")),
    (lambda: q(cmds=None), "argument 'cmds': 'None' is not an instance of 'Sequence'"),
    (
        lambda: q(cmds=iter([K.HOLE])),
        "argument 'cmds': " + CAST.format("list_iterator", "Sequence"),
    ),
    (lambda: q(cmds={K.HOLE}, fn=K.unquote), "argument 'cmds': " + CAST.format("set", "Sequence")),
    (
        lambda: q(cmds=[K.HOLE, K.write("x")]),
        "argument 'cmds': " + CAST.format("StrCmd", "CmdOrHole"),
    ),
    (
        lambda: q(cmds=[K.HOLE, None, 5]),
        "argument 'cmds': 'None' is not an instance of 'CmdOrHole'",
    ),
    (lambda: q(cmds=[[K.HOLE]]), "argument 'cmds': " + CAST.format("list", "CmdOrHole")),
    (
        lambda: q(cmds=(K.HOLE, K.sym("x")), fn=K.unquote),
        "argument 'cmds': " + CAST.format("KTerm", "CmdOrHole"),
    ),
    (lambda: q(cmds=b"ab"), "argument 'cmds': " + CAST.format("int", "CmdOrHole")),
    (lambda: q(cmds="ab"), "argument 'cmds': a 'str' cannot be converted into a command list"),
    (lambda: q(cmds=S("")), "argument 'cmds': a 'str' cannot be converted into a command list"),
    # Values that no lift takes: neither index nor str, an index beyond 64 bits, a str that
    # does not encode, another class; the errors met on the way are dropped.
    (lambda: K.klift(3.5), UNSUPPORTED.format("klift")),
    (lambda: K.klift(2**63), UNSUPPORTED.format("klift")),
    (lambda: K.klift(-(2**63) - 1), UNSUPPORTED.format("klift")),
    (lambda: K.klift("a\ud800"), UNSUPPORTED.format("klift")),
    (lambda: K.klift(K.NL), UNSUPPORTED.format("klift")),
    (lambda: K.klift_html(None), UNSUPPORTED.format("klift_html")),
    (lambda: K.klift_html(2**63), UNSUPPORTED.format("klift_html")),
    (lambda: K.klift_html("a\ud800"), UNSUPPORTED.format("klift_html")),
    (lambda: K.klift_html(K.tb("t")), UNSUPPORTED.format("klift_html")),
]


@pytest.mark.parametrize("call,expected", REFUSED)
def test_refused_arguments(call, expected):
    if isinstance(expected, str):
        expected = TypeError(expected)
    with pytest.raises(BaseException) as ei:
        call()
    assert type(ei.value) is type(expected) and str(ei.value) == str(expected)
    assert ei.value.__cause__ is None and ei.value.__context__ is None


def test_keywords_bind_like_positions():
    a, b, c = K.leaf(code="c", tag="t"), K.leaf("t", "c"), K.leaf("t", code="c")
    assert a.postcard_bytes() == b.postcard_bytes() == c.postcard_bytes()
    x = K.sym("x")
    q = K.quote(cmds=[K.HOLE], term=x, lang="py", index=3, tag="q")
    assert q.postcard_bytes() == K.quote("q", 3, "py", x, [K.HOLE]).postcard_bytes()
    assert str(K.klift(value=3)) == "3" and str(K.klift_html(value="&")) == "&amp;"


def test_an_interrupted_type_name_lookup_interrupts_the_call():
    class Interrupting(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise KeyboardInterrupt
            return super().__getattribute__(name)

    with pytest.raises(KeyboardInterrupt):
        K.tb(Interrupting("Odd", (), {})())


def test_conversion_typeerror_keeps_its_cause():
    cause = KeyError("k")

    class Bad:
        def __index__(self):
            raise TypeError("nope") from cause

    with pytest.raises(BaseException) as ei:
        q(Bad())
    assert type(ei.value) is TypeError and str(ei.value) == "argument 'index': nope"
    assert ei.value.__cause__ is cause


@pytest.mark.parametrize("exc", [ValueError("v"), type("SubTypeError", (TypeError,), {})("s")])
def test_other_conversion_errors_pass_unchanged(exc):
    class Bad:
        def __index__(self):
            raise exc

    with pytest.raises(BaseException) as ei:
        q(Bad())
    assert ei.value is exc and str(exc) in ("v", "s")


def test_text_accepts_str_subclasses_and_nul():
    t = K.leaf(S("tag"), S("a\0b"))
    assert str(t) == "a\0b"
    assert t.postcard_bytes() == b"\x02\x03tag\x00\x01\x00\x00\x03a\x00b"
