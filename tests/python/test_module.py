"""Module registration, class properties, argument binding and conversion, PanicException."""

import gc
import importlib.util
import pickle
import sys
import weakref

import pytest
from termmodel import BROKEN

import kovel
import kovel._kovel as K

NAMES = [
    "KTerm",
    "StrCmd",
    "CmdOrHole",
    "Builder",
    "tb",
    "leaf",
    "sym",
    "quote",
    "unquote",
    "cmd",
    "write",
    "push",
    "name",
    "klift",
    "klift_html",
    "from_postcard_bytes",
    "NL",
    "POP",
    "HOLE",
]
CLASSES = ["KTerm", "StrCmd", "CmdOrHole", "Builder"]
SIGNATURES = {
    "tb": ("(tag)", "Start building a tuple node with the given tag."),
    "cmd": ("(c)", "Wrap a `StrCmd` as a `CmdOrHole`."),
    "sym": ("(s)", "A symbol: a leaf whose tag and code are the same."),
    "leaf": ("(tag, code)", "A leaf node: a tag whose only content is `code`."),
    "name": ("(s)", "An identifier term (the `⟨N⟩` operator)."),
    "push": ("(s)", "A `Push` command."),
    "write": ("(s)", "A `Write` command."),
    "quote": ("(tag, index, lang, term, cmds)", "A quoted fragment."),
    "unquote": ("(tag, index, lang, term, cmds)", "An unquoted splice."),
    "from_postcard_bytes": (
        "(data)",
        "Deserialize a `KTerm` from postcard bytes (the `rs↓` protocol in Python).",
    ),
    "klift": (
        "(value)",
        "Lift a Python value to a term that reconstructs it (the `↑` operator).\n"
        "Supports `int`, `str`, and existing `KTerm`s.",
    ),
    "klift_html": (
        "(value)",
        "Lift a Python value to an HTML term (the `↑` operator with an `html`\n"
        "splice target). Strings become entity-escaped `text` leaves — inert as\n"
        "text content or as a double-quoted attribute value — and terms pass\n"
        "through unchanged, so already-built fragments can be lifted too.",
    ),
}


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


def test_module_contents():
    assert K.__name__ == "kovel._kovel"
    assert K.__doc__ == (
        "kovel's core IR, exposed to Python as the native `kovel._kovel` module\n"
        "(re-exported by the `kovel` package's `__init__.py`)."
    )
    assert type(K.__all__) is list and K.__all__ == NAMES
    assert [n for n in vars(K) if n in NAMES] == NAMES
    assert not hasattr(K, "PanicException")


@pytest.mark.parametrize("fname", list(SIGNATURES))
def test_function_objects(fname):
    f = getattr(K, fname)
    assert type(f) is type(len)
    assert f.__name__ == fname and f.__module__ == K.__name__ and f.__self__ is K
    assert (f.__text_signature__, f.__doc__) == SIGNATURES[fname]


def test_exec_again_makes_new_constants_and_shares_classes():
    mod = fresh_module()
    assert mod.__all__ == NAMES and mod.__all__ is not K.__all__
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
    assert type(mod.__all__) is L and mod.__all__ == ["first"] + NAMES


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
    assert mod.__all__ == NAMES and mod.KTerm is K.KTerm


INSTANCES = {
    "KTerm": lambda: K.sym("x"),
    "StrCmd": lambda: K.NL,
    "CmdOrHole": lambda: K.HOLE,
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
    assert isinstance(cls.__doc__, str) and cls.__doc__
    for args, kwargs in [((), {}), ((1,), {"x": 2})]:
        with pytest.raises(TypeError) as ei:
            cls(*args, **kwargs)
        assert str(ei.value) == f"cannot create 'builtins.{cname}' instances"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "make",
    [lambda: K.sym("x"), lambda: K.tb("t"), lambda: K.write("a"), lambda: K.cmd(K.NL)],
    ids=["KTerm", "Builder", "StrCmd", "CmdOrHole"],
)
def test_instances_have_no_dict_weakref_or_gc(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.attr = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)
    assert obj == obj and obj != make() and hash(obj) == object.__hash__(obj)


def test_class_docstrings_and_members():
    assert K.StrCmd.__doc__.startswith("A single string command (`write`/`NL`/`push`/`POP`). ")
    assert K.CmdOrHole.__doc__ == (
        "A `StrCmd` or a child placeholder (`HOLE`), used in `quote`/`unquote` cmds."
    )

    def own(cls):
        return [n for n in vars(cls) if not n.startswith("__")]

    assert own(K.KTerm) == ["coparse", "postcard_bytes", "reduce"]
    assert own(K.Builder) == ["c", "w", "n", "p", "x", "e", "b"]
    assert own(K.StrCmd) == own(K.CmdOrHole) == []
    assert {"__repr__", "__str__"} <= set(vars(K.KTerm))
    for dunder in ("__eq__", "__hash__", "__lt__", "__len__", "__iter__", "__reduce__"):
        assert dunder not in vars(K.KTerm)
    for cls in (K.Builder, K.StrCmd, K.CmdOrHole):
        assert "__repr__" not in vars(cls) and "__eq__" not in vars(cls)


# Argument binding: (call, exact message).
BINDING = [
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
    (lambda: K.tb("a", "b"), "tb() takes 1 positional arguments but 2 were given"),
    (lambda: K.leaf("a", "b", "c"), "leaf() takes 2 positional arguments but 3 were given"),
    (lambda: K.klift(1, 2, 3), "klift() takes 1 positional arguments but 3 were given"),
    (lambda: K.sym("a", s="b"), "sym() got multiple values for argument 's'"),
    (lambda: K.tb(tag="a", x=1), "tb() got an unexpected keyword argument 'x'"),
    (lambda: K.tb(Tag="a"), "tb() got an unexpected keyword argument 'Tag'"),
    (lambda: K.leaf("a", zz=1, tag="b"), "leaf() got an unexpected keyword argument 'zz'"),
    (lambda: K.leaf("a", tag="b", zz=1), "leaf() got multiple values for argument 'tag'"),
    (
        lambda: K.from_postcard_bytes(),
        "from_postcard_bytes() missing 1 required positional argument: 'data'",
    ),
    (lambda: K.tb("t").c(), "Builder.c() missing 1 required positional argument: 'child'"),
    (lambda: K.tb("t").w("a", "b"), "Builder.w() takes 1 positional arguments but 2 were given"),
    (lambda: K.tb("t").p(x="a"), "Builder.p() got an unexpected keyword argument 'x'"),
    # Methods without parameters: the interpreter's own messages.
    (lambda: K.tb("t").x(1, 2), "Builder.x() takes no arguments (2 given)"),
    (lambda: K.tb("t").b(tag="t"), "Builder.b() takes no keyword arguments"),
    (
        lambda: K.tb("t").e(K.sym("x"), child=K.sym("y")),
        "Builder.e() got multiple values for argument 'child'",
    ),
    # Binding errors come before any conversion.
    (lambda: K.leaf(1, 2, 3), "leaf() takes 2 positional arguments but 3 were given"),
    (lambda: K.leaf(1, x=2), "leaf() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("call,message", BINDING)
def test_binding_errors(call, message):
    with pytest.raises(BaseException) as ei:
        call()
    assert type(ei.value) is TypeError and str(ei.value) == message


def test_keywords_bind_like_positions():
    a, b = K.leaf(code="c", tag="t"), K.leaf("t", "c")
    assert a.postcard_bytes() == b.postcard_bytes()
    x = K.sym("x")
    q = K.quote(cmds=[K.HOLE], term=x, lang="py", index=3, tag="q")
    assert q.postcard_bytes() == K.quote("q", 3, "py", x, [K.HOLE]).postcard_bytes()


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


def test_an_interrupted_type_name_lookup_interrupts_the_call():
    class Interrupting(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise KeyboardInterrupt
            return super().__getattribute__(name)

    with pytest.raises(KeyboardInterrupt):
        K.tb(Interrupting("Odd", (), {})())


# Conversion failures: (call, exact message); all TypeError with the argument prefix.
CONVERSION = [
    (lambda: K.tb(42), "argument 'tag': 'int' object is not an instance of 'str'"),
    (lambda: K.leaf("t", None), "argument 'code': 'None' is not an instance of 'str'"),
    (lambda: K.leaf(1, 2), "argument 'tag': 'int' object is not an instance of 'str'"),
    (lambda: K.leaf(code=1, tag=2), "argument 'tag': 'int' object is not an instance of 'str'"),
    (lambda: K.sym(b"x"), "argument 's': 'bytes' object is not an instance of 'str'"),
    (lambda: K.name(str), "argument 's': 'type' object is not an instance of 'str'"),
    (
        lambda: K.tb(Nameless()),
        "argument 'tag': '<failed to extract type name>' object is not an instance of 'str'",
    ),
    (lambda: K.quote(1, 300, 2, 3, 4), "argument 'tag': 'int' object is not an instance of 'str'"),
    (
        lambda: K.quote("q", 0, None, K.sym("x"), []),
        "argument 'lang': 'None' is not an instance of 'str'",
    ),
    (
        lambda: K.quote("q", 0, "py", "x", []),
        "argument 'term': 'str' object is not an instance of 'KTerm'",
    ),
    (
        lambda: K.unquote("q", 0, "py", K.tb("t"), []),
        "argument 'term': 'Builder' object is not an instance of 'KTerm'",
    ),
    (lambda: K.cmd(K.HOLE), "argument 'c': 'CmdOrHole' object is not an instance of 'StrCmd'"),
    (
        lambda: K.from_postcard_bytes(bytearray(b"\x02")),
        "argument 'data': 'bytearray' object is not an instance of 'bytes'",
    ),
    (
        lambda: K.from_postcard_bytes(memoryview(b"\x02")),
        "argument 'data': 'memoryview' object is not an instance of 'bytes'",
    ),
    (lambda: K.tb("t").c(5), "argument 'child': 'int' object is not an instance of 'KTerm'"),
]


@pytest.mark.parametrize("call,message", CONVERSION)
def test_conversion_errors(call, message):
    with pytest.raises(BaseException) as ei:
        call()
    assert type(ei.value) is TypeError and str(ei.value) == message
    assert ei.value.__cause__ is None


@pytest.mark.parametrize(
    "index,kind",
    [
        ("x", "type"),
        (1.5, "type"),
        (None, "type"),
        (Idx("3"), "type"),
        (256, "range"),
        (-1, "range"),
        (2**63 - 1, "range"),
        (-(2**63), "range"),
        (Idx(1000), "range"),
        (2**63, "long"),
        (-(2**63) - 1, "long"),
        (10**30, "long"),
    ],
)
def test_bad_index(index, kind):
    with pytest.raises(BaseException) as ei:
        K.quote("q", index, "py", K.sym("x"), [])
    e, message = ei.value, str(ei.value)
    if kind == "type":
        assert type(e) is TypeError and message.startswith("argument 'index': ")
    else:
        # Out of 0..255 within 64 bits is the module's own error; beyond, the interpreter's.
        assert type(e) is OverflowError and not message.startswith("argument")
        assert (message == "out of range integral type conversion attempted") == (kind == "range")


def test_conversion_typeerror_keeps_its_cause():
    cause = KeyError("k")

    class Bad:
        def __index__(self):
            raise TypeError("nope") from cause

    with pytest.raises(BaseException) as ei:
        K.quote("q", Bad(), "py", K.sym("x"), [])
    assert type(ei.value) is TypeError and str(ei.value) == "argument 'index': nope"
    assert ei.value.__cause__ is cause


@pytest.mark.parametrize("exc", [ValueError("v"), type("SubTypeError", (TypeError,), {})("s")])
def test_other_conversion_errors_pass_unchanged(exc):
    class Bad:
        def __index__(self):
            raise exc

    with pytest.raises(BaseException) as ei:
        K.quote("q", Bad(), "py", K.sym("x"), [])
    assert ei.value is exc and str(exc) in ("v", "s")


@pytest.mark.parametrize(
    "call",
    [
        lambda: K.tb("a\ud800"),
        lambda: K.leaf("t", "\udfff"),
        lambda: K.quote("q", 0, "\ud800", K.sym("x"), []),
        lambda: K.tb("t").w("\ud800"),
        lambda: K.tb("t").p("\udc00"),
    ],
)
def test_lone_surrogate_is_the_encoders_error(call):
    with pytest.raises(BaseException) as ei:
        call()
    assert type(ei.value) is UnicodeEncodeError and not str(ei.value).startswith("argument")


def test_text_accepts_str_subclasses_and_nul():
    class S(str):
        pass

    t = K.leaf(S("tag"), S("a\0b"))
    assert str(t) == "a\0b"
    assert t.postcard_bytes() == b"\x02\x03tag\x00\x01\x00\x00\x03a\x00b"


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
