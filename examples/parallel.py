# parallel.py: the parts of a program built in worker processes, sent back as terms,
# assembled into one module term here, printed, and run in a worker.
#
# A term crosses a process boundary the way any picklable value does: importing kovel
# registers a reducer that ships it as its postcard bytes, so ProcessPoolExecutor (and
# multiprocessing, Dask, Ray ...) take terms as arguments and return them as results.
#
# Run it as `python parallel.py [fork|spawn|forkserver]` to pick the start method.
from __future__ import annotations

import multiprocessing
import sys
from concurrent.futures import ProcessPoolExecutor
from itertools import repeat

from kovel import KTerm, klift, name, tb


def power(n: int, x: KTerm) -> KTerm:
    """`def power_n(x): return x * ... * x`, built in a worker around the term x it is sent."""
    product = tb("binary_operator")
    for i in range(n):
        if i:
            product.w(" * ")
        product.c(x)
    return (
        tb("function_definition")
        .w(f"def power_{n}(")
        .c(x)
        .w("):")
        .p("    ")
        .n()
        .w("return ")
        .c(product.b())
        .x()
        .b()
    )


def module(parts: list[KTerm]) -> KTerm:
    """The parts one after another, a blank line between two, a newline at the end."""
    b = tb("module")
    for i, part in enumerate(parts):
        if i:
            b.n().n()
        b.c(part)
    return b.n().b()


def call(fn: str, arg: KTerm) -> KTerm:
    return tb("call").c(name(fn)).w("(").c(arg).w(")").b()


def run(program: KTerm, expression: KTerm) -> object:
    """Defines the program's functions in this process, then reduces the expression."""
    # reduce() evaluates in sys.modules["__main__"] as it is when called. A spawn or
    # forkserver worker puts a new module there after importing this file, so a module
    # bound by `import __main__` at the top (or this file's globals()) is not the one
    # reduce() reads: look it up here.
    exec(compile(str(program), "<kovel>", "exec"), sys.modules["__main__"].__dict__)
    return expression.reduce()


def main() -> None:
    table = tb("list").w("[")
    for n in range(1, 5):
        if n > 1:
            table.w(", ")
        table.c(call(f"power_{n}", klift(3)))
    expression = table.w("]").b()
    context = multiprocessing.get_context(sys.argv[1] if len(sys.argv) > 1 else None)
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        parts = list(pool.map(power, range(1, 5), repeat(name("x"))))
        program = module(parts)
        print(program, end="")
        value = pool.submit(run, program, expression).result()
    print(f"{expression} == {value}")


if __name__ == "__main__":
    main()
