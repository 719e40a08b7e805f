"""pickle_bench.py: pickling a term next to its postcard bytes, the cost of the reducer.

Pickling a term is postcard_bytes() plus the reducer's call and pickle's framing, with one
reference to the decoder per pickle; unpickling is from_postcard_bytes() plus pickle's work.
Each row gives, best of several rounds in the same run: the bare encoding, pickling the bytes
by hand (pickle.dumps(t.postcard_bytes())), pickling the term, and the same three for loading;
ratios are against the bare call. A list of terms shares the decoder's reference.
"""

from __future__ import annotations

import argparse
import pickle
import sys
import timeit
from collections.abc import Callable
from typing import Any

import kovel
from kovel import HOLE, KTerm, cmd, from_postcard_bytes, klift, leaf, name, quote, tb, write


def call(fn: str, *args: KTerm) -> KTerm:
    b = tb("call").c(name(fn)).w("(")
    for i, a in enumerate(args):
        if i:
            b.w(", ")
        b.c(a)
    return b.w(")").b()


def wide(n: int) -> KTerm:
    """A block of n statement lines, each a call with an int and a str argument."""
    b = tb("block").w("def f():").p("    ")
    for i in range(n):
        b.n().c(call("emit", klift(i), klift(f"line {i}")))
    return b.x().b()


def deep(n: int) -> KTerm:
    t = leaf("integer", "1")
    for _ in range(n):
        t = quote("q", 0, "py", t, [cmd(write("(")), HOLE, cmd(write(")"))])
    return t


TERMS: list[tuple[str, KTerm]] = [
    ("leaf 42", leaf("integer", "42")),
    ("call, 3 nodes", call("f", klift(1), klift("a"))),
    ("block, 100 lines", wide(100)),
    ("block, 10000 lines", wide(10_000)),
    ("10000-deep quotes", deep(10_000)),
]


def best_ns(fn: Callable[[], object], repeat: int) -> float:
    """Best of `repeat` timings, in nanoseconds per call."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=max(number, 3))) / max(number, 3) * 1e9


def row(
    label: str,
    value: object,
    encode: Callable[[], Any],
    decode: Callable[[Any], object],
    size: int,
    p: int,
    repeat: int,
) -> None:
    """One term (or list of terms): sizes, then dump and load times with their ratios."""
    data = encode()
    by_hand = pickle.dumps(data, p)
    pickled = pickle.dumps(value, p)
    enc = best_ns(encode, repeat)
    hand = best_ns(lambda: pickle.dumps(encode(), p), repeat)
    dumps = best_ns(lambda: pickle.dumps(value, p), repeat)
    dec = best_ns(lambda: decode(data), repeat)
    hand_loads = best_ns(lambda: decode(pickle.loads(by_hand)), repeat)
    loads = best_ns(lambda: pickle.loads(pickled), repeat)
    print(
        f"{label:<22} {size:>8} {len(pickled):>8} |"
        f" {enc / 1e3:>9.2f} {hand / enc:>6.2f} {dumps / enc:>6.2f} |"
        f" {dec / 1e3:>9.2f} {hand_loads / dec:>6.2f} {loads / dec:>6.2f}"
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=7, help="timings per figure (best is kept)")
    parser.add_argument("--protocol", type=int, default=pickle.HIGHEST_PROTOCOL)
    args = parser.parse_args()
    p = args.protocol

    version = sys.version.split()[0]
    print(f"kovel {kovel.__version__} on Python {version}; protocol {p}, best of {args.repeat}")
    print(f"{'':<22} {'size in bytes':>17} | {'encode':^23} | {'decode':^23}")
    head = (
        f"{'term':<22} {'postcard':>8} {'pickle':>8} |"
        f" {'bare us':>9} {'hand':>6} {'pickle':>6} | {'bare us':>9} {'hand':>6} {'pickle':>6}"
    )
    print(head)
    print("-" * len(head))
    for label, t in TERMS:
        back = pickle.loads(pickle.dumps(t, p))
        assert back.postcard_bytes() == t.postcard_bytes()
        size = len(t.postcard_bytes())
        row(label, t, t.postcard_bytes, from_postcard_bytes, size, p, args.repeat)
    leaves = [leaf("integer", str(i)) for i in range(1000)]
    row(
        "1000 leaves in a list",
        leaves,
        lambda: [t.postcard_bytes() for t in leaves],
        lambda ds: [from_postcard_bytes(d) for d in ds],
        sum(len(t.postcard_bytes()) for t in leaves),
        p,
        args.repeat,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
