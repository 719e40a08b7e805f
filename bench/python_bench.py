"""python_bench.py: per-call cost of kovel calls, each next to plain Python doing a like job."""

from __future__ import annotations

import argparse
import html
import pickle
import sys
import timeit

import kovel
from kovel import HOLE, cmd, from_postcard_bytes, klift, klift_html, leaf, name, quote, tb, write


class Leaf:
    """A term node as plain Python would hold it."""

    __slots__ = ("tag", "children", "cmds")

    def __init__(self, tag: str, code: str) -> None:
        self.tag = tag
        self.children = ()
        self.cmds = (("w", code),)


class Quote:
    """A quote node as plain Python would hold it; the commands are copied, as the core does."""

    __slots__ = ("tag", "index", "lang", "term", "cmds")

    def __init__(self, tag: str, index: int, lang: str, term: object, cmds: list) -> None:
        self.tag = tag
        self.index = index
        self.lang = lang
        self.term = term
        self.cmds = tuple(cmds)


X = leaf("integer", "42")
Y = name("y")
CMDS = [cmd(write("f(")), HOLE, cmd(write(")"))]
Q = quote("q", 1, "py", X, CMDS)
Q_BYTES = Q.postcard_bytes()
# The same quote as nested tuples, for pickle.
Q_TUPLE = ("q", 1, "py", ("integer", (), (("w", "42"),)), (("w", "f("), None, ("w", ")")), None)
Q_PICKLE = pickle.dumps(Q_TUPLE, pickle.HIGHEST_PROTOCOL)
BLOCK = tb("block").p("    ")
for i in range(100):
    BLOCK = BLOCK.n().c(leaf("stmt", f"x{i} = {i}"))
BLOCK = BLOCK.x().b()
BLOCK_BYTES = BLOCK.postcard_bytes()
BLOCK_TUPLE = (
    "block",
    tuple(("stmt", (), (("w", f"x{i} = {i}"),)) for i in range(100)),
    (("p", "    "),) + (("n",), None) * 100 + (("x",),),
)
BLOCK_PICKLE = pickle.dumps(BLOCK_TUPLE, pickle.HIGHEST_PROTOCOL)
TAG, CODE, IDENT = "integer", "42", "y"
XS, YS = "42", "y"
SHORT = "hello"
# reduce() prints, compiles and evaluates in __main__; eval of the printed text does the last two.
EXPR = tb("sum").w("len(").c(leaf("str", "'abc'")).w(") + 2 * 3").b()
EXPR_SRC = str(EXPR)
MAIN = vars(sys.modules["__main__"])
MARKUP = '<a href="x?a=1&b=2">it\'s</a>'

NAMESPACE = dict(globals())

# (what is measured, its statement, [(baseline, its statement), ...])
CASES = [
    (
        'leaf("integer", "42")',
        "leaf(TAG, CODE)",
        [("tuple((a, b))", "tuple((TAG, CODE))"), ("__slots__ class", "Leaf(TAG, CODE)")],
    ),
    (
        'name("y")',
        "name(IDENT)",
        [("tuple((a,))", "tuple((IDENT,))"), ("__slots__ class", 'Leaf("identifier", IDENT)')],
    ),
    (
        'quote("q", 1, "py", x, cmds)',
        'quote("q", 1, "py", X, CMDS)',
        [
            ("tuple((5 fields))", 'tuple(("q", 1, "py", X, CMDS))'),
            ("__slots__ class", 'Quote("q", 1, "py", X, CMDS)'),
        ],
    ),
    (
        f"postcard_bytes, quote ({len(Q_BYTES)} B)",
        "Q.postcard_bytes()",
        [("pickle.dumps of nested tuple", "pickle.dumps(Q_TUPLE, pickle.HIGHEST_PROTOCOL)")],
    ),
    (
        "from_postcard_bytes, quote",
        "from_postcard_bytes(Q_BYTES)",
        [("pickle.loads of nested tuple", "pickle.loads(Q_PICKLE)")],
    ),
    (
        f"postcard_bytes, block of 100 ({len(BLOCK_BYTES)} B)",
        "BLOCK.postcard_bytes()",
        [("pickle.dumps of nested tuple", "pickle.dumps(BLOCK_TUPLE, pickle.HIGHEST_PROTOCOL)")],
    ),
    (
        "from_postcard_bytes, block of 100",
        "from_postcard_bytes(BLOCK_BYTES)",
        [("pickle.loads of nested tuple", "pickle.loads(BLOCK_PICKLE)")],
    ),
    (
        'tb("call").w("f(").c(x).w(", ").c(y).w(")").b()',
        'tb("call").w("f(").c(X).w(", ").c(Y).w(")").b()',
        [("f-string", 'f"f({XS}, {YS})"'), ("concatenation", '"f(" + XS + ", " + YS + ")"')],
    ),
    ('klift("hello")', "klift(SHORT)", [("f-string", "f'\"{SHORT}\"'"), ("repr", "repr(SHORT)")]),
    ("klift(12345)", "klift(12345)", [("f-string", 'f"{12345}"'), ("str", "str(12345)")]),
    ("EXPR.reduce()", "EXPR.reduce()", [("eval of its text", "eval(EXPR_SRC, MAIN, MAIN)")]),
    (
        f"klift_html({len(MARKUP)} chars)",
        "klift_html(MARKUP)",
        [("html.escape", "html.escape(MARKUP)")],
    ),
]


def check_equivalence() -> None:
    """The baselines must do the same job, or the ratios mean nothing."""
    assert str(tb("call").w("f(").c(X).w(", ").c(Y).w(")").b()) == f"f({XS}, {YS})"
    assert str(klift_html(MARKUP)) == html.escape(MARKUP)
    assert str(klift(12345)) == str(12345)
    assert from_postcard_bytes(Q_BYTES).postcard_bytes() == Q_BYTES
    assert from_postcard_bytes(BLOCK_BYTES).postcard_bytes() == BLOCK_BYTES
    assert pickle.loads(BLOCK_PICKLE) == BLOCK_TUPLE
    assert EXPR.reduce() == eval(EXPR_SRC, MAIN, MAIN) == 9


def ns_per_call(stmt: str, repeat: int) -> float:
    """Best of `repeat` timings, in nanoseconds per call."""
    timer = timeit.Timer(stmt, globals=NAMESPACE)
    number, _ = timer.autorange()
    number = max(number, 10)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=7, help="timings per figure (best is kept)")
    args = parser.parse_args()
    check_equivalence()

    print(f"kovel ({kovel.__file__}) on Python {sys.version.split()[0]}; best of {args.repeat}")
    head = f"{'call':<52} {'ns/call':>8}  {'baseline':<30} {'ns/call':>8} {'ratio':>6}"
    print(head)
    print("-" * len(head))
    for what, stmt, baselines in CASES:
        ns = ns_per_call(stmt, args.repeat)
        for k, (base, base_stmt) in enumerate(baselines):
            base_ns = ns_per_call(base_stmt, args.repeat)
            left = f"{what:<52} {ns:8.1f}" if k == 0 else " " * 61
            print(f"{left}  {base:<30} {base_ns:8.1f} {ns / base_ns:6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
