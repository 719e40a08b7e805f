"""PanicException: the internal fault raised at the boundary, resumed when it comes back from
Python, pickled by its package name."""

import pickle
import sys

import pytest
from termmodel import BROKEN

import kovel
import kovel._kovel as K


@pytest.mark.parametrize("op", ["str", "repr", "coparse", "reduce"])
def test_panic_exception(panic_type, op):
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__name__ not in vars(K)
    # Named under the package, which gives it to pickle.
    assert (panic_type.__module__, panic_type.__qualname__) == ("kovel", "PanicException")
    assert kovel.PanicException is panic_type
    refs = sys.getrefcount(panic_type)
    t = K.from_postcard_bytes(BROKEN)
    with pytest.raises(BaseException) as ei:
        {"str": str, "repr": repr, "coparse": K.KTerm.coparse, "reduce": K.KTerm.reduce}[op](t)
    assert type(ei.value) is panic_type
    assert len(ei.value.args) == 1 and isinstance(ei.value.args[0], str) and ei.value.args[0]
    back = pickle.loads(pickle.dumps(ei.value))
    assert type(back) is panic_type and back.args == ei.value.args
    del ei, back
    assert sys.getrefcount(panic_type) == refs  # each instance gave back its class
    # The term and the module stay usable.
    assert t.postcard_bytes() == BROKEN
    assert str(K.leaf("integer", "42")) == "42"


def test_panic_after_partial_output(panic_type):
    # Tuple "t" with one child (leaf "x") and cmds [HOLE, HOLE]: fails after printing the child.
    data = bytes([2, 1, 0x74, 1, 2, 1, 0x78, 0, 1, 0, 0, 1, 0x78, 2, 1, 1])
    with pytest.raises(BaseException) as ei:
        str(K.from_postcard_bytes(data))
    assert type(ei.value) is panic_type


def test_panic_fetched_from_python_is_resumed(panic_type, main_ns, capfd):
    main_ns["broken"] = K.from_postcard_bytes(BROKEN)
    with pytest.raises(BaseException) as inner:
        main_ns["broken"].coparse()
    with pytest.raises(BaseException) as outer:
        K.leaf("t", "broken.coparse()").reduce()
    assert type(outer.value) is panic_type and outer.value is not inner.value
    assert outer.value.args == (str(inner.value),)
    err = capfd.readouterr().err
    assert "Python stack trace below:\nTraceback (most recent call last):\n" in err
    assert panic_type.__name__ in err


def test_panic_raised_by_python_code_is_resumed(panic_type, main_ns, capfd):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no str")

    main_ns["P"] = panic_type
    main_ns["U"] = Unprintable()
    for arg, message in [("'boom'", "boom"), ("U", "Unwrapped panic from Python code")]:
        with pytest.raises(BaseException) as ei:
            K.leaf("t", f"(_ for _ in ()).throw(P({arg}))").reduce()
        assert type(ei.value) is panic_type and ei.value.args == (message,)
    assert capfd.readouterr().err.count("Python stack trace below:\n") == 2


def test_panic_subclass_from_python_passes_unchanged(panic_type, main_ns, capfd):
    main_ns["E"] = exc = type("SubPanic", (panic_type,), {})("x")
    with pytest.raises(BaseException) as ei:
        K.leaf("t", "(_ for _ in ()).throw(E)").reduce()
    assert ei.value is exc
    assert "Python stack trace below:" not in capfd.readouterr().err
