"""Module registration: contents in order, function objects, the four classes, every docstring
and text signature against the stub, and what the built file exports."""

import ast
import ctypes
import gc
import pathlib
import shutil
import subprocess
import weakref

import pytest

import kovel
import kovel._kovel as K

PYSRC = pathlib.Path(__file__).resolve().parents[2] / "pysrc" / "kovel"
# The stub holds the module's docstrings, text signatures and __all__; the tests below hold the
# module to it.
STUB = ast.parse((PYSRC / "_kovel.pyi").read_text(encoding="utf-8"))
STUB_ALL = next(
    ast.literal_eval(n.value)
    for n in STUB.body
    if isinstance(n, ast.Assign) and getattr(n.targets[0], "id", None) == "__all__"
)
CLASSES = [n for n in STUB_ALL if isinstance(getattr(K, n), type)]
FUNCTIONS = [n for n in STUB_ALL if n not in CLASSES and callable(getattr(K, n))]


def defs(body):
    """The functions or methods declared in body; not __new__, which each class declares only so
    that type checkers refuse a call of it."""
    return [n for n in body if isinstance(n, ast.FunctionDef) and n.name != "__new__"]


def stub_class(name):
    return next(n for n in ast.walk(STUB) if isinstance(n, ast.ClassDef) and n.name == name)


def panic_class_stub():
    """PanicException as the package declares it for type checkers."""
    init = ast.parse((PYSRC / "__init__.py").read_text(encoding="utf-8"))
    return next(
        n for n in ast.walk(init) if isinstance(n, ast.ClassDef) and n.name == "PanicException"
    )


def documented():
    """(name, runtime object, stub node, text signature or None) for the module, each class and
    each function and method."""
    yield "module", K, STUB, None
    for node in defs(STUB.body):
        params = ", ".join(a.arg for a in node.args.args)
        yield node.name, getattr(K, node.name), node, f"({params})"
    for cname in CLASSES:
        cls, node = getattr(K, cname), stub_class(cname)
        yield cname, cls, node, None
        for m in defs(node.body):
            params = ", ".join(["$self", *(a.arg for a in m.args.args[1:])])
            yield f"{cname}.{m.name}", getattr(cls, m.name), m, f"({params})"
    yield "PanicException", kovel.PanicException, panic_class_stub(), None


DOCUMENTED = list(documented())


def test_module_contents():
    assert K.__name__ == "kovel._kovel"
    assert type(K.__all__) is list and K.__all__ == STUB_ALL
    assert [n for n in vars(K) if n in STUB_ALL] == STUB_ALL
    assert not hasattr(K, "PanicException")


@pytest.mark.parametrize("name,obj,node,signature", DOCUMENTED, ids=[d[0] for d in DOCUMENTED])
def test_docstrings_and_signatures_are_the_stubs(name, obj, node, signature):
    assert obj.__doc__ == ast.get_docstring(node) and obj.__doc__
    if obj is not K:
        assert obj.__text_signature__ == signature


def test_stub_declares_every_function_and_method_in_order():
    assert [n.name for n in defs(STUB.body)] == FUNCTIONS
    assert len(FUNCTIONS) == 12 and len(CLASSES) == 4
    for cname in CLASSES:
        own = [n for n in vars(getattr(K, cname)) if not n.startswith("__")]
        assert own == [m.name for m in defs(stub_class(cname).body)], cname


@pytest.mark.parametrize("fname", FUNCTIONS)
def test_function_objects(fname):
    f = getattr(K, fname)
    assert type(f) is type(len)
    assert f.__name__ == fname and f.__module__ == K.__name__ and f.__self__ is K


# Each call makes a new instance.
INSTANCES = {
    "KTerm": lambda: K.sym("x"),
    "StrCmd": lambda: K.write("a"),
    "CmdOrHole": lambda: K.cmd(K.NL),
    "Builder": lambda: K.tb("t"),
}


def churn_small_blocks():
    """Allocates and frees many small blocks of the sizes of the class names, from the
    binding's own strings: the printed text that repr copies, and the type name it quotes in
    a conversion error."""
    for n in range(1, 40):
        t = K.leaf("t", "n" * n)
        named = type("N" * n, (), {})()
        for _ in range(20):
            repr(t)
            with pytest.raises(TypeError):
                K.leaf("t", named)


@pytest.mark.parametrize("cname", CLASSES)
def test_class_properties(cname):
    cls = getattr(K, cname)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", cname, cname)
    # Python 3.10 keeps pointing at the name the class was made from: it must outlive churn.
    churn_small_blocks()
    assert repr(cls) == f"<class 'builtins.{cname}'>"
    with pytest.raises(TypeError) as ei:
        INSTANCES[cname]() + 1
    assert str(ei.value) == f"unsupported operand type(s) for +: 'builtins.{cname}' and 'int'"
    assert cls.__bases__ == (object,)
    for args, kwargs in [((), {}), ((1,), {"x": 2})]:
        with pytest.raises(TypeError) as ei:
            cls(*args, **kwargs)
        assert str(ei.value) == f"cannot create 'builtins.{cname}' instances"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cname", CLASSES)
def test_instances_have_no_dict_weakref_or_gc(cname):
    obj = INSTANCES[cname]()
    with pytest.raises(AttributeError):
        obj.attr = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)
    assert obj == obj and obj != INSTANCES[cname]() and hash(obj) == object.__hash__(obj)


def test_classes_have_only_their_slots():
    assert {"__repr__", "__str__"} <= set(vars(K.KTerm))
    for dunder in ("__eq__", "__hash__", "__lt__", "__len__", "__iter__", "__reduce__"):
        assert dunder not in vars(K.KTerm)
    for cls in (K.Builder, K.StrCmd, K.CmdOrHole):
        assert "__repr__" not in vars(cls) and "__eq__" not in vars(cls)


# -- the built file ----------------------------------------------------------------------------

ABI3T = K.__file__.endswith(".abi3t.so")
ENTRY = "PyModExport__kovel" if ABI3T else "PyInit__kovel"


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_the_module_exports_its_entry_point_alone():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", K.__file__], capture_output=True, text=True, check=True
    )
    assert [line.split()[-1] for line in out.stdout.splitlines()] == [ENTRY]


class PySlot(ctypes.Structure):
    # struct PySlot of CPython 3.15: an id, flags, a reserved word, then a pointer-sized union.
    _fields_ = [
        ("sl_id", ctypes.c_uint16),
        ("sl_flags", ctypes.c_uint16),
        ("sl_reserved", ctypes.c_uint32),
        ("sl_ptr", ctypes.c_void_p),
    ]


class PyABIInfo(ctypes.Structure):
    _fields_ = [
        ("major", ctypes.c_uint8),
        ("minor", ctypes.c_uint8),
        ("flags", ctypes.c_uint16),
        ("build_version", ctypes.c_uint32),
        ("abi_version", ctypes.c_uint32),
    ]


# Slot ids, flags and values of CPython 3.15's headers.
SLOT_INTPTR, SLOT_STATIC = 0x4, 0x2
MOD_NAME, MOD_DOC, MOD_EXEC, MOD_MULTIPLE_INTERPRETERS, MOD_GIL, MOD_ABI = 100, 101, 85, 86, 87, 109
GIL_USED, MULTIPLE_INTERPRETERS_SUPPORTED = 0, 1
ABI_STABLE, ABI_GIL, ABI_FREETHREADED = 0x1, 0x2, 0x4


@pytest.mark.skipif(not ABI3T, reason="the slot table is the abi3t build's")
def test_the_abi3t_slot_table():
    export = ctypes.CDLL(K.__file__).PyModExport__kovel
    export.restype = ctypes.POINTER(PySlot)
    slots = export()
    table = []
    for i in range(16):
        if slots[i].sl_id == 0:
            assert (slots[i].sl_flags, slots[i].sl_reserved, slots[i].sl_ptr) == (0, 0, None)
            break
        assert slots[i].sl_reserved == 0
        table.append((slots[i].sl_id, slots[i].sl_flags, slots[i].sl_ptr))
    ids = [t[0] for t in table]
    assert ids == [MOD_ABI, MOD_NAME, MOD_DOC, MOD_EXEC, MOD_GIL, MOD_MULTIPLE_INTERPRETERS]
    flags = {t[0]: t[1] for t in table}
    value = {t[0]: t[2] for t in table}
    assert flags[MOD_NAME] == flags[MOD_DOC] == SLOT_INTPTR | SLOT_STATIC
    assert flags[MOD_ABI] == flags[MOD_EXEC] == flags[MOD_GIL] == SLOT_INTPTR
    assert flags[MOD_MULTIPLE_INTERPRETERS] == SLOT_INTPTR
    # Every entry needs the interpreter lock: a free-threaded interpreter must turn it on.
    assert (value[MOD_GIL] or 0) == GIL_USED
    assert value[MOD_MULTIPLE_INTERPRETERS] == MULTIPLE_INTERPRETERS_SUPPORTED
    assert ctypes.string_at(value[MOD_NAME]) == b"_kovel"
    assert ctypes.string_at(value[MOD_DOC]).decode() == K.__doc__
    assert value[MOD_EXEC]
    abi = PyABIInfo.from_address(value[MOD_ABI])
    assert (abi.major, abi.minor, abi.abi_version) == (1, 0, 0x030F0000)
    assert abi.flags == ABI_STABLE | ABI_GIL | ABI_FREETHREADED
    assert abi.build_version >> 16 == 0x030F
