# tour.py: a short walk through kovel: building, printing, evaluating and shipping terms.
from __future__ import annotations

from kovel import (
    HOLE,
    KTerm,
    cmd,
    from_postcard_bytes,
    klift,
    leaf,
    name,
    quote,
    tb,
    write,
)


def call(fn: str, *args: KTerm) -> KTerm:
    """A call expression `fn(arg, ...)` assembled with the builder."""
    b = tb("call").c(name(fn)).w("(")
    for i, arg in enumerate(args):
        if i:
            b.w(", ")
        b.c(arg)
    return b.w(")").b()


def function(fn: str, params: list[str], body: list[KTerm]) -> KTerm:
    """A `def` whose body lines are indented by a pushed prefix."""
    b = tb("function_definition").w(f"def {fn}({', '.join(params)}):").p("    ")
    for stmt in body:
        b.n().c(stmt)
    return b.x().b()


def main() -> None:
    # An expression, lifted values spliced in as children.
    greeting = call("print", klift("hello, kovel"), klift(42))

    # A quoted fragment: HOLE marks where the inner term is spliced, here twice.
    pair = quote(
        "tuple", 0, "py", klift(7), [cmd(write("(")), HOLE, cmd(write(", ")), HOLE, cmd(write(")"))]
    )

    program = function(
        "demo",
        ["x"],
        [
            tb("expression_statement").c(greeting).b(),
            tb("return_statement").w("return ").c(pair).b(),
        ],
    )
    source = program.coparse()
    print(source)
    assert source == 'def demo(x):\n    print("hello, kovel", 42)\n    return (7, 7)'

    # Evaluation (the ↓ operator) runs the text as an expression in __main__.
    total = tb("binary_operator").c(klift(40)).w(" + ").c(klift(2)).b()
    value = total.reduce()
    print(f"{total} = {value!r}")
    assert value == 42

    # Shipping: the postcard bytes decode into an equal, independent term.
    data = program.postcard_bytes()
    back = from_postcard_bytes(data)
    print(f"{len(data)} bytes; round trip {'ok' if str(back) == source else 'FAILED'}")
    assert str(back) == source and back is not program
    assert back.postcard_bytes() == data
    assert repr(leaf("string", "a\tb")) == 'KTerm("a\\tb")'


if __name__ == "__main__":
    main()
