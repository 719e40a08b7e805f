"""StrCmd and CmdOrHole objects and the conversion of command lists."""

import sys

import pytest
import termmodel as M

import kovel._kovel as K

PAREN = ("Q", "q", 0, "py", M.leaf("integer", "42"), (("W", "("), M.HOLE, ("W", ")")), None)


def q(cmds):
    return K.quote("q", 0, "py", K.leaf("integer", "42"), cmds)


def test_constants_and_factories():
    assert type(K.NL) is type(K.POP) is type(K.write("")) is type(K.push("a")) is K.StrCmd
    assert type(K.HOLE) is type(K.cmd(K.NL)) is K.CmdOrHole
    assert K.NL is K.NL and K.NL is not K.POP and K.cmd(K.NL) is not K.cmd(K.NL)
    assert not hasattr(K.StrCmd, "NL") and not hasattr(K.CmdOrHole, "HOLE")


@pytest.mark.parametrize(
    "c,model_cmd",
    [(K.NL, M.NL), (K.POP, M.POP), (K.write("w"), ("W", "w")), (K.push("p"), ("P", "p"))],
)
def test_cmd_copies_the_command(c, model_cmd):
    t = q([K.cmd(c), K.cmd(c)])
    model = ("Q", "q", 0, "py", M.leaf("integer", "42"), (model_cmd, model_cmd), None)
    assert t.postcard_bytes() == M.enc(model)


class Indexed:
    """A sequence by item access only; len() fails."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        raise RuntimeError("no length")


class Liar(Indexed):
    def __len__(self):
        return sys.maxsize


def paren():
    return [K.cmd(K.write("(")), K.HOLE, K.cmd(K.write(")"))]


@pytest.mark.parametrize(
    "wrap", [list, tuple, Indexed, Liar], ids=["list", "tuple", "no-len", "false-len"]
)
def test_sequences_are_accepted(wrap):
    t = q(wrap(paren()))
    assert t.postcard_bytes() == M.enc(PAREN) and str(t) == "(42)"


def test_list_and_tuple_subclasses_are_iterated_their_own_way():
    for base in (list, tuple):
        odd = type("Odd", (base,), {"__iter__": lambda self: iter(paren())})
        assert str(q(odd([K.HOLE]))) == "(42)"


@pytest.mark.parametrize("empty", [[], (), b"", range(0)])
def test_empty_sequences_give_no_commands(empty):
    model = ("Q", "q", 0, "py", M.leaf("integer", "42"), (), None)
    assert q(empty).postcard_bytes() == M.enc(model)


def test_same_entry_repeated():
    h = K.HOLE
    assert str(q([h, h, K.cmd(K.NL), h])) == "4242\n42"
    assert str(K.unquote("u", 0, "", K.sym("v"), [h] * 3)) == "vvv"


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_a_length_hint_that_is_interrupted_interrupts_the_call(exc):
    class Interrupted(Indexed):
        def __len__(self):
            raise exc

    with pytest.raises(BaseException) as ei:
        q(Interrupted(paren()))
    assert ei.value is exc


def test_iteration_errors():
    class Failing:
        def __init__(self, exc):
            self.exc = exc

        def __getitem__(self, i):
            if i == 1:
                raise self.exc
            return K.HOLE

    other = KeyError("k")
    with pytest.raises(BaseException) as ei:
        q(Failing(other))
    assert ei.value is other
    cause = ValueError("c")
    te = TypeError("bad item")
    te.__cause__ = cause
    with pytest.raises(BaseException) as ei:
        q(Failing(te))
    assert type(ei.value) is TypeError and ei.value is not te
    assert str(ei.value) == "argument 'cmds': bad item" and ei.value.__cause__ is cause


def test_command_list_is_copied():
    cmds = paren()
    t = q(cmds)
    cmds.clear()
    assert str(t) == "(42)"
    del cmds
    assert t.postcard_bytes() == M.enc(PAREN)
