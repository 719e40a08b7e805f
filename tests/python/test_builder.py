"""Builder: chaining, the commands and children it records, and its one-shot b()."""

import pytest
import termmodel as M

import kovel._kovel as K

X = M.leaf("integer", "42")


def test_tb_starts_an_empty_builder():
    b = K.tb("t")
    assert type(b) is K.Builder
    t = b.b()
    assert type(t) is K.KTerm and str(t) == ""
    assert t.postcard_bytes() == M.enc(("T", "t", (), ()))


def test_chaining_returns_the_receiver():
    b, x = K.tb("t"), K.leaf("integer", "42")
    for call in (
        lambda: b.w("a"),
        b.n,
        lambda: b.p("  "),
        b.x,
        lambda: b.c(x),
        lambda: b.e(x),
        lambda: b.w(s="a"),
        lambda: b.c(child=x),
        lambda: b.e(child=x),
        lambda: b.p(s=""),
    ):
        assert call() is b


@pytest.mark.parametrize(
    "build,text,model_cmds",
    [
        (lambda b: b.w("a").n().w("b"), "a\nb", (("W", "a"), M.NL, ("W", "b"))),
        (
            lambda b: b.p("  ").w("a").n().w("b").x(),
            "a\n  b",
            (("P", "  "), ("W", "a"), M.NL, ("W", "b"), M.POP),
        ),
        (lambda b: b.w("").w("x").w(""), "x", (("W", "x"),)),
        (lambda b: b.p("a").p("").x().n(), "\na", (("P", "a"), ("P", ""), M.POP, M.NL)),
        (lambda b: b.x().w("a\nb"), "a\nb", (M.POP, ("W", "a\nb"))),
    ],
)
def test_commands_are_recorded(build, text, model_cmds):
    t = build(K.tb("t")).b()
    assert str(t) == text
    assert t.postcard_bytes() == M.enc(("T", "t", (), model_cmds))


@pytest.mark.parametrize("splice", ["c", "e", "mixed"])
def test_children(splice):
    x = K.leaf("integer", "42")
    first, second = {"c": ("c", "c"), "e": ("e", "e"), "mixed": ("c", "e")}[splice]
    b = K.tb("t").w("[")
    getattr(getattr(b, first)(x).w(", "), second)(x).w("]")
    t = b.b()
    assert str(t) == "[42, 42]" and str(x) == "42"
    model = ("T", "t", (X, X), (("W", "["), M.HOLE, ("W", ", "), M.HOLE, ("W", "]")))
    assert t.postcard_bytes() == M.enc(model)


def test_child_prefixes_apply_across_nodes():
    inner = K.tb("i").w("a").n().w("b").b()
    t = K.tb("o").p("> ").w("o").n().c(inner).x().n().e(inner).b()
    assert str(t) == "o\n> a\n> b\na\nb"


def test_b_is_one_shot():
    x = K.leaf("integer", "42")
    b = K.tb("t").w("a").c(x)
    t = b.b()
    for _ in range(2):
        with pytest.raises(BaseException) as ei:
            b.b()
        assert type(ei.value) is RuntimeError and str(ei.value) == "Builder already built"
    # Later calls still convert their argument, then do nothing.
    for call in (lambda: b.w("x"), lambda: b.p("y"), b.n, b.x, lambda: b.c(x), lambda: b.e(x)):
        assert call() is b
    assert str(t) == "a42"
    assert t.postcard_bytes() == M.enc(("T", "t", (X,), (("W", "a"), M.HOLE)))


@pytest.mark.parametrize("method,arg", [("c", "x"), ("w", 5), ("p", b"x"), ("e", K.NL)])
def test_a_refused_argument_leaves_the_builder_unchanged(method, arg):
    b = K.tb("t").w("a")
    with pytest.raises(TypeError):
        getattr(b, method)(arg)
    assert str(b.w("b").b()) == "ab"


def test_dropped_builder_builds_nothing():
    x = K.leaf("integer", "42")
    b = K.tb("t").c(x).e(x)
    del b
    assert str(x) == "42" and x.postcard_bytes() == M.enc(X)
