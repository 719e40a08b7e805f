"""codegen_bench.py: generating a module of record classes with kovel, next to f-strings,
string.Template, ast (ast.unparse) and, when it is installed, libcst.

Each way writes the same module from the same schemas: per record a class with __slots__ and
an __init__ that stores its arguments, with a blank line between the two inside the class.
The outputs must parse to the same tree, or the run stops. Every figure is the best of several
interleaved rounds, as a ratio against the f-strings of the same run (lower is faster).
"kovel, print only" prints a module term built once: the cost of str() alone.
"""

from __future__ import annotations

import argparse
import ast
import random
import string
import sys
import timeit
from collections.abc import Callable

import kovel
from kovel import KTerm, leaf, tb

Schema = tuple[str, list[tuple[str, str]]]


def schemas(count: int) -> list[Schema]:
    """`count` records of 1 to 8 fields each, the same on every run."""
    rng = random.Random(23)
    kinds = ["int", "str", "float", "bool", "bytes"]
    return [
        (f"Record{i}", [(f"field_{j}", rng.choice(kinds)) for j in range(rng.randint(1, 8))])
        for i in range(count)
    ]


def with_fstrings(records: list[Schema]) -> str:
    parts = []
    for cls, fields in records:
        slots = ", ".join(f'"{f}"' for f, _ in fields)
        params = ", ".join(f"{f}: {t}" for f, t in fields)
        body = "".join(f"        self.{f} = {f}\n" for f, _ in fields)
        parts.append(
            f"class {cls}:\n    __slots__ = [{slots}]\n\n"
            f"    def __init__(self, {params}) -> None:\n{body}"
        )
    return "\n\n".join(parts)


CLASS = string.Template(
    "class $cls:\n    __slots__ = [$slots]\n\n    def __init__(self, $params) -> None:\n$body"
)
STORE = string.Template("        self.$f = $f\n")


def with_templates(records: list[Schema]) -> str:
    return "\n\n".join(
        CLASS.substitute(
            cls=cls,
            slots=", ".join(f'"{f}"' for f, _ in fields),
            params=", ".join(f"{f}: {t}" for f, t in fields),
            body="".join(STORE.substitute(f=f) for f, _ in fields),
        )
        for cls, fields in records
    )


def with_ast(records: list[Schema]) -> str:
    classes: list[ast.stmt] = []
    for cls, fields in records:
        slots = ast.Assign(
            targets=[ast.Name("__slots__", ast.Store())],
            value=ast.List([ast.Constant(f) for f, _ in fields], ast.Load()),
        )
        args = [ast.arg("self")] + [ast.arg(f, ast.Name(t, ast.Load())) for f, t in fields]
        stores: list[ast.stmt] = [
            ast.Assign(
                targets=[ast.Attribute(ast.Name("self", ast.Load()), f, ast.Store())],
                value=ast.Name(f, ast.Load()),
            )
            for f, _ in fields
        ]
        init = ast.FunctionDef(
            name="__init__",
            args=ast.arguments(
                posonlyargs=[], args=args, kwonlyargs=[], kw_defaults=[], defaults=[]
            ),
            body=stores,
            decorator_list=[],
            returns=ast.Constant(None),
        )
        classes.append(ast.ClassDef(cls, [], [], [slots, init], []))
    return ast.unparse(ast.fix_missing_locations(ast.Module(classes, [])))


def with_libcst(records: list[Schema]) -> str:
    import libcst as cst

    classes = []
    for i, (cls, fields) in enumerate(records):
        slots = cst.SimpleStatementLine(
            [
                cst.Assign(
                    [cst.AssignTarget(cst.Name("__slots__"))],
                    cst.List([cst.Element(cst.SimpleString(f'"{f}"')) for f, _ in fields]),
                )
            ]
        )
        params = [cst.Param(cst.Name("self"))] + [
            cst.Param(cst.Name(f), cst.Annotation(cst.Name(t))) for f, t in fields
        ]
        stores = [
            cst.SimpleStatementLine(
                [
                    cst.Assign(
                        [cst.AssignTarget(cst.Attribute(cst.Name("self"), cst.Name(f)))],
                        cst.Name(f),
                    )
                ]
            )
            for f, _ in fields
        ]
        init = cst.FunctionDef(
            cst.Name("__init__"),
            cst.Parameters(params),
            cst.IndentedBlock(stores),
            returns=cst.Annotation(cst.Name("None")),
            leading_lines=[cst.EmptyLine()],
        )
        classes.append(
            cst.ClassDef(
                cst.Name(cls),
                cst.IndentedBlock([slots, init]),
                leading_lines=[cst.EmptyLine(), cst.EmptyLine()] if i else [],
            )
        )
    return cst.Module(classes).code


def joined(tag: str, items: list[KTerm], sep: str) -> KTerm:
    b = tb(tag)
    for i, item in enumerate(items):
        if i:
            b.w(sep)
        b.c(item)
    return b.b()


def record_term(cls: str, fields: list[tuple[str, str]]) -> KTerm:
    names = [leaf("identifier", f) for f, _ in fields]
    slots = joined("list", [leaf("string", f'"{f}"') for f, _ in fields], ", ")
    typed = [
        tb("typed_parameter").c(n).w(": ").c(leaf("type", t)).b()
        for n, (_, t) in zip(names, fields, strict=True)
    ]
    init = tb("function_definition").w("def __init__(self, ").c(joined("parameters", typed, ", "))
    init.w(") -> None:").p("    ")
    for n in names:
        init.n().c(tb("assignment").w("self.").c(n).w(" = ").c(n).b())
    return (
        tb("class_definition").w(f"class {cls}:").p("    ")
        .n().w("__slots__ = [").c(slots).w("]")
        .w("\n")  # a blank line: a newline written as text gets no prefix
        .n().c(init.x().b())
        .x().b()
    )  # fmt: skip


def module_term(records: list[Schema]) -> KTerm:
    """The classes, two blank lines between two, a newline after each."""
    module = tb("module")
    for i, (cls, fields) in enumerate(records):
        if i:
            module.w("\n\n")
        module.c(record_term(cls, fields)).w("\n")
    return module.b()


def with_kovel(records: list[Schema]) -> str:
    return str(module_term(records))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--records", type=int, default=200, help="classes in the module")
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds (best is kept)")
    args = parser.parse_args()
    records = schemas(args.records)
    built = module_term(records)
    ways: list[tuple[str, Callable[[], str]]] = [
        ("f-strings (baseline)", lambda: with_fstrings(records)),
        ("string.Template", lambda: with_templates(records)),
        ("kovel, build and print", lambda: with_kovel(records)),
        ("kovel, print only", lambda: str(built)),
        ("ast, build and unparse", lambda: with_ast(records)),
    ]
    try:
        import libcst  # noqa: F401
    except ImportError:
        print("libcst is not installed: its row is left out")
    else:
        ways.append(("libcst, build and print", lambda: with_libcst(records)))

    # The same job, or the ratios mean nothing: every output parses to the same tree.
    tree = ast.dump(ast.parse(with_fstrings(records)))
    for what, way in ways:
        assert ast.dump(ast.parse(way())) == tree, what
    assert with_kovel(records) == with_fstrings(records)

    timers = [timeit.Timer(way) for _, way in ways]
    numbers = [max(t.autorange()[0], 3) for t in timers]
    best = [float("inf")] * len(ways)
    for _ in range(args.rounds):
        for k, (timer, number) in enumerate(zip(timers, numbers, strict=True)):
            best[k] = min(best[k], timer.timeit(number) / number)

    lines = sum(len(f) + 4 for _, f in records)
    print(f"kovel {kovel.__version__} on Python {sys.version.split()[0]}: {args.records} classes,")
    print(f"about {lines} lines; best of {args.rounds} interleaved rounds")
    print(f"{'way':<26} {'ms':>8} {'/ f-strings':>12}")
    for (what, _), seconds in zip(ways, best, strict=True):
        print(f"{what:<26} {seconds * 1e3:8.2f} {seconds / best[0]:12.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
