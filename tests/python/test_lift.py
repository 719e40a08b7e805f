"""klift and klift_html: integers, strings and terms."""

import html

import pytest
import termmodel as M
from hypothesis import given
from hypothesis import strategies as st

import kovel._kovel as K

I64 = st.integers(-(2**63), 2**63 - 1)


def string_model(s):
    return (
        "T",
        "string",
        (M.leaf("string_start", '"'), M.leaf("string_content", s), M.leaf("string_end", '"')),
        (M.HOLE,) * 3,
    )


class Five:
    def __index__(self):
        return 5


class MinusOne:
    def __index__(self):
        return -1  # also what the C API returns on failure


@pytest.mark.parametrize(
    "value,text",
    [
        (42, "42"),
        (-7, "-7"),
        (-1, "-1"),
        (MinusOne(), "-1"),
        (0, "0"),
        (True, "1"),
        (False, "0"),
        (Five(), "5"),
        (2**63 - 1, "9223372036854775807"),
        (-(2**63), "-9223372036854775808"),
    ],
)
@pytest.mark.parametrize("fn,tag", [(K.klift, "integer"), (K.klift_html, "text")])
def test_integers(fn, tag, value, text):
    t = fn(value)
    assert type(t) is K.KTerm and str(t) == text
    assert t.postcard_bytes() == M.enc(M.leaf(tag, text))


@given(I64)
def test_integers_reduce_back(n):
    assert K.klift(n).reduce() == n and str(K.klift_html(n)) == str(n)


@given(st.text())
def test_klift_string_property(s):
    t = K.klift(s)
    assert str(t) == '"' + s + '"' and t.postcard_bytes() == M.enc(string_model(s))


def test_klift_str_subclass_and_reduce():
    class S(str):
        pass

    assert str(K.klift(S("x"))) == '"x"'
    assert K.klift("abc é").reduce() == "abc é"


@pytest.mark.parametrize(
    "s,text",
    [
        (
            '<a href="x">Tom & Jerry\'s</a>',
            "&lt;a href=&quot;x&quot;&gt;Tom &amp; Jerry&#x27;s&lt;/a&gt;",
        ),
        ("héllo\n", "héllo\n"),
        ("", ""),
        ("&amp;", "&amp;amp;"),
        ("\0\t€😀", "\0\t€😀"),
    ],
)
def test_klift_html_strings(s, text):
    t = K.klift_html(s)
    assert str(t) == text
    assert t.postcard_bytes() == M.enc(M.leaf("text", text))


@given(st.text())
def test_klift_html_escapes_like_html_escape(s):
    assert str(K.klift_html(s)) == html.escape(s, quote=True)


@pytest.mark.parametrize("fn", [K.klift, K.klift_html])
def test_terms_pass_through(fn):
    x = K.tb("t").w("a").c(K.sym("<b>")).b()
    lifted = fn(x)
    assert lifted is not x and type(lifted) is K.KTerm
    assert str(lifted) == "a<b>" and lifted.postcard_bytes() == x.postcard_bytes()


def test_failing_index_is_discarded():
    class Bad(str):
        def __index__(self):
            raise ValueError("no")

    # __index__ fails, so the value is lifted as the str it also is.
    assert str(K.klift(Bad("s"))) == '"s"'
    assert str(K.klift_html(Bad("<"))) == "&lt;"

    class Both(str):
        def __index__(self):
            return int(self[1:])

    # An integer is tried before a string.
    for n in ("7", "-1"):
        assert K.klift(Both("s" + n)).postcard_bytes() == K.leaf("integer", n).postcard_bytes()
        assert K.klift_html(Both("s" + n)).postcard_bytes() == K.leaf("text", n).postcard_bytes()


@pytest.mark.parametrize("fn", [K.klift, K.klift_html])
@pytest.mark.parametrize("kind", ["panic", KeyboardInterrupt, SystemExit, GeneratorExit])
def test_what_is_not_an_exception_is_never_discarded(fn, kind, panic_type):
    # A str, so that a discarded failure would be lifted as the string instead.
    exc = panic_type("from __index__") if kind == "panic" else kind("from __index__")

    class Interrupting(str):
        def __index__(self):
            raise exc

    with pytest.raises(BaseException) as ei:
        fn(Interrupting("s"))
    if kind == "panic":  # resumed as a panic of the call
        assert type(ei.value) is panic_type and ei.value.args == ("from __index__",)
    else:
        assert ei.value is exc
