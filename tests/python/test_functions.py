"""Module constructor functions and from_postcard_bytes, with its decode errors."""

import pytest
import termmodel as M
from hypothesis import given
from hypothesis import strategies as st

import kovel._kovel as K

LEAF42 = M.enc(M.leaf("integer", "42"))


@pytest.mark.parametrize(
    "term,model",
    [
        (lambda: K.sym("x"), M.leaf("x", "x")),
        (lambda: K.sym(""), M.leaf("", "")),
        (lambda: K.leaf("integer", "42"), M.leaf("integer", "42")),
        (lambda: K.leaf("t", ""), M.leaf("t", "")),
        (lambda: K.name("foo"), M.leaf("identifier", "foo")),
        (lambda: K.name(s="a\nb"), M.leaf("identifier", "a\nb")),
        (lambda: K.tb("t").b(), ("T", "t", (), ())),
    ],
)
def test_leaf_constructors(term, model):
    t = term()
    assert type(t) is K.KTerm
    assert t.postcard_bytes() == M.enc(model) and str(t) == M.text(model)


def test_every_call_makes_a_new_object():
    t = K.sym("x")
    for f in (K.sym, K.name, K.write, K.push, K.tb, lambda s: K.quote(s, 0, s, t, [])):
        assert f("x") is not f("x")
    assert K.from_postcard_bytes(LEAF42) is not K.from_postcard_bytes(LEAF42)


@pytest.mark.parametrize("fn,variant", [(K.quote, 0), (K.unquote, 1)])
@pytest.mark.parametrize("index,stored", [(0, 0), (255, 255), (True, 1), (False, 0)])
def test_quote_and_unquote(fn, variant, index, stored):
    t = K.leaf("integer", "42")
    listed = fn("q", index, "py", t, [K.HOLE])
    tupled = fn(tag="q", index=index, lang="py", term=t, cmds=(K.HOLE,))
    expected = bytes([variant, 1, 0x71, stored, 2, 0x70, 0x79]) + LEAF42 + b"\x01\x01\x00"
    assert listed.postcard_bytes() == tupled.postcard_bytes() == expected
    # The term argument is shared, not consumed.
    assert str(t) == "42" and str(listed) == "42"


def test_quote_takes_index_through_dunder_index():
    class Idx:
        def __index__(self):
            return 7

    assert K.quote("", Idx(), "", K.sym(""), []).postcard_bytes()[2] == 7


def test_commands_carry_their_text():
    def printed(*cmds):
        return str(K.quote("q", 0, "", K.sym("v"), list(cmds)))

    assert printed(K.cmd(K.write("a")), K.HOLE, K.cmd(K.write("")), K.cmd(K.write("b"))) == "avb"
    assert (
        printed(
            K.cmd(K.push("")),
            K.cmd(K.push("> ")),
            K.cmd(K.NL),
            K.cmd(K.POP),
            K.cmd(K.POP),
            K.cmd(K.NL),
            K.HOLE,
        )
        == "\n> \nv"
    )
    # Write('') is kept as a command entry of its own.
    q = K.quote("q", 0, "", K.sym("v"), [K.cmd(K.write("")), K.cmd(K.push(""))])
    model = ("Q", "q", 0, "", M.leaf("v", "v"), (("W", ""), ("P", "")), None)
    assert q.postcard_bytes() == M.enc(model)


# Decode failures, one for each message: (input, message). The failures themselves are the
# core's cases (postcard_test.cpp); the reference decoder below checks every message.
ERRORS = [
    (LEAF42[:-1], M.END),
    (b"\x80\x80\x80\x80\x10", M.VARINT),
    (b"\x01\x00\x00\x01\xff" + LEAF42, M.UTF8),
    (b"\x00\x00\x00\x00" + LEAF42 + b"\x00\x02", M.OPTION),
    (b"\x02\x01t\x00\x01\x02", M.SERDE),
]


@pytest.mark.parametrize("data,message", ERRORS)
def test_decode_errors(data, message):
    with pytest.raises(BaseException) as ei:
        K.from_postcard_bytes(data)
    assert type(ei.value) is ValueError and str(ei.value) == message
    assert ei.value.__cause__ is None
    with pytest.raises(M.DecodeError, match="^" + message.replace("?", r"\?") + "$"):
        M.decode(data)


@pytest.mark.parametrize(
    "data,model",
    [
        (
            b"\x80\x80\x80\x80\x00\x00\x00\x00" + LEAF42 + b"\x00\x00",
            ("Q", "", 0, "", M.leaf("integer", "42"), (), None),
        ),
        (b"\x02" + b"\x80" * 9 + b"\x00\x00\x00", ("T", "", (), ())),
        (b"\x02\x87\x00integer\x00\x81\x80\x00\x00\x00\x02\x34\x32", M.leaf("integer", "42")),
        (
            b"\x01\x01u\xff\x00" + LEAF42 + b"\x00\x01\x09\x02",
            ("U", "u", 255, "", M.leaf("integer", "42"), (), (9, 2)),
        ),
        (
            b"\x00\x00\x00\x00" + LEAF42 + b"\x00\x01" + b"\xff" * 9 + b"\x01\x00",
            ("Q", "", 0, "", M.leaf("integer", "42"), (), (2**64 - 1, 0)),
        ),
        (b"\x02\x01t\x00\x02\x01\x01", ("T", "t", (), (M.HOLE, M.HOLE))),
    ],
)
def test_decode_accepts(data, model):
    t = K.from_postcard_bytes(data)
    assert t.postcard_bytes() == M.enc(model)
    assert K.from_postcard_bytes(data + b"\x03\xff").postcard_bytes() == M.enc(model)


def test_decode_takes_bytes_subclasses():
    class B(bytes):
        pass

    assert str(K.from_postcard_bytes(B(LEAF42))) == "42"


def test_decoded_terms_share_nothing():
    x = K.leaf("integer", "42")
    t = K.tb("p").c(x).c(x).b()
    data = t.postcard_bytes()
    assert data == b"\x02\x01p\x02" + LEAF42 * 2 + b"\x02\x01\x01"
    assert K.from_postcard_bytes(data).postcard_bytes() == data


def _mutants(data):
    return st.one_of(
        st.integers(0, len(data)).map(lambda n: data[:n]),
        st.tuples(st.integers(0, max(len(data) - 1, 0)), st.integers(0, 255)).map(
            lambda p: data[: p[0]] + bytes([p[1]]) + data[p[0] + 1 :]
        ),
        st.binary(max_size=4).map(lambda extra: data + extra),
    )


decoder_inputs = st.one_of(
    st.binary(max_size=40),
    st.lists(st.sampled_from([0, 1, 2, 3, 0x7F, 0x80, 0xC3, 0xFF]), max_size=40).map(bytes),
    M.buildable_terms.map(M.enc).flatmap(_mutants),
)


@given(decoder_inputs)
def test_decoder_agrees_with_reference(panic_type, data):
    try:
        model = M.decode(data)
    except M.DecodeError as e:
        with pytest.raises(BaseException) as ei:
            K.from_postcard_bytes(data)
        assert type(ei.value) is ValueError and str(ei.value) == str(e)
        return
    t = K.from_postcard_bytes(data)
    assert t.postcard_bytes() == M.enc(model)
    try:
        expected = M.text(model)
    except M.MissingChild:
        with pytest.raises(BaseException) as ei:
            str(t)
        assert type(ei.value) is panic_type
    else:
        assert str(t) == expected


def test_deeply_nested_input():
    depth = 200_000
    data = b"\x00\x00\x00\x00" * depth + b"\x02\x00\x00\x01\x00\x00\x01x" + b"\x01\x01\x00" * depth
    t = K.from_postcard_bytes(data)
    assert str(t) == "x" and t.postcard_bytes() == data
    with pytest.raises(ValueError) as ei:
        K.from_postcard_bytes(data[:-1])
    assert str(ei.value) == M.END
