"""The exec step run again on new module objects: new constants, shared classes, and the
module's __all__ as it finds it."""

import importlib.util

import pytest

import kovel._kovel as K

CLASSES = [n for n in K.__all__ if isinstance(getattr(K, n), type)]


def fresh_module(preset_all=None, module_getattr=None):
    """Runs the module's exec step again on a new module object, outside sys.modules."""
    found = importlib.util.find_spec("kovel._kovel")
    mod = importlib.util.module_from_spec(found)
    if preset_all is not None:
        mod.__all__ = preset_all
    if module_getattr is not None:
        mod.__dict__["__getattr__"] = module_getattr
    found.loader.exec_module(mod)
    return mod


def test_exec_again_makes_new_constants_and_shares_classes():
    mod = fresh_module()
    assert mod.__all__ == K.__all__ and mod.__all__ is not K.__all__
    for n in CLASSES:
        assert getattr(mod, n) is getattr(K, n)
    for n in ("NL", "POP", "HOLE"):
        assert getattr(mod, n) is not getattr(K, n)
        assert type(getattr(mod, n)) is type(getattr(K, n))
    t = K.quote("q", 0, "", K.sym("x"), [mod.HOLE, K.cmd(mod.NL), K.HOLE])
    assert str(t) == "x\nx"


def test_exec_appends_to_existing_all():
    class L(list):
        pass

    mod = fresh_module(L(["first"]))
    assert type(mod.__all__) is L and mod.__all__ == ["first"] + K.__all__


def test_exec_refuses_all_that_is_not_a_list():
    with pytest.raises(BaseException) as ei:
        fresh_module(("first",))
    assert type(ei.value) is TypeError
    assert str(ei.value) == "'tuple' object is not an instance of 'list'"


@pytest.mark.parametrize("exc", [RuntimeError("no"), KeyError("__all__"), KeyboardInterrupt()])
def test_exec_passes_on_other_errors_of_the_all_lookup(exc):
    def module_getattr(name):
        raise exc if name == "__all__" else AttributeError(name)

    with pytest.raises(BaseException) as ei:
        fresh_module(module_getattr=module_getattr)
    assert ei.value is exc


def test_exec_takes_attribute_errors_of_the_all_lookup_for_no_all():
    class Missing(AttributeError):
        pass

    def module_getattr(name):
        raise Missing(name)

    mod = fresh_module(module_getattr=module_getattr)
    assert mod.__all__ == K.__all__ and mod.KTerm is K.KTerm
