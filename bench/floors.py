"""floors.py: kovel next to the least that could do its job, and next to its decoding peers.

Four areas, each measured in one run and given as ratios (kovel's best time over the other's
best time, both taken over the same interleaved rounds, and beside it the median over rounds
of the two times' ratio within a round). Times are the process's CPU time, so
that other load on a shared machine does not count against whichever side it happens to hit:

- construction: `leaf`, `name` and `sym` against a minimal abi3 extension (bench/floor) with
  the same calling convention that reads two `str`, makes one malloc block of a 40-byte header
  plus the texts and returns a new object of a heap type owning it;
- emission: `coparse` against `b"".join(pieces).decode()` over the exact output pieces (one
  piece per command that writes: a `Write` text, or a newline with the prefixes in force), and
  one memcpy of the output beside them;
- decoding: `from_postcard_bytes` against `pickle.loads`, `marshal.loads`, msgpack and msgspec
  decoding the same content as nested tuples `(tag, children, cmds)`, each command in the most
  compact form plain data allows (a `Write` as its text, `NL` and `POP` as small ints, `HOLE`
  as None, a `Push` as a 1-tuple), so that the peers build as few objects as they can, and
  the bytes copied by one memcpy beside them;
- memory: what a short leaf costs, held in a decoded term and in a builder, against the same
  leaf as the tuples ("integer", (), ("42",)), decoded by marshal and built in Python; each in
  a child process of its own, read as the growth of its resident size.

Run from the repository root with a Python that has kovel, msgpack and msgspec installed:
    python bench/floors.py [--rounds N] [--only construction,emission,decoding,memory]
"""

from __future__ import annotations

import argparse
import marshal
import os
import pickle
import statistics
import subprocess
import sys
import sysconfig
import time
import timeit
from pathlib import Path

import kovel
from kovel import from_postcard_bytes, leaf, name, sym, tb

ROOT = Path(__file__).resolve().parent.parent

# A term as plain data: (tag, children, cmds); a command is ("w", text), NL, ("p", text), POP,
# or HOLE. The same shapes serve the peers, so every encoder sees the same content.
NL = ("n",)
POP = ("x",)
HOLE = None


def w(text: str) -> tuple:
    return ("w", text)


def p(text: str) -> tuple:
    return ("p", text)


# ---------------------------------------------------------------------------------------------
# The floor extension


def load_floor():
    """Builds bench/floor into build-floor/ (again if its source changed) and imports it."""
    out = ROOT / "build-floor"
    if not (out / "CMakeCache.txt").exists():
        subprocess.run(
            [
                "cmake",
                "-S",
                str(ROOT / "bench" / "floor"),
                "-B",
                str(out),
                "-G",
                "Ninja",
                f"-DPython_EXECUTABLE={sys.executable}",
            ],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    subprocess.run(["cmake", "--build", str(out)], check=True, stdout=subprocess.DEVNULL)
    sys.path.insert(0, str(out))
    import floor  # noqa: PLC0415

    return floor


# ---------------------------------------------------------------------------------------------
# Terms as data, and their three forms: a kovel term, the output pieces, nested tuples


def to_kterm(node: tuple):
    """The kovel term of a data term, built bottom-up without recursion."""
    done: dict[int, object] = {}
    stack = [(node, False)]
    while stack:
        n, ready = stack.pop()
        if id(n) in done:
            continue
        tag, children, cmds = n
        if not ready:
            stack.append((n, True))
            stack.extend((c, False) for c in children)
            continue
        if not children and len(cmds) == 1 and cmds[0] not in (NL, POP, HOLE) and cmds[0][0] == "w":
            done[id(n)] = leaf(tag, cmds[0][1])
            continue
        b = tb(tag)
        k = 0
        for c in cmds:
            if c is HOLE:
                b = b.c(done[id(children[k])])
                k += 1
            elif c is NL:
                b = b.n()
            elif c is POP:
                b = b.x()
            elif c[0] == "w":
                b = b.w(c[1])
            else:
                b = b.p(c[1])
        done[id(n)] = b.b()
    return done[id(node)]


def to_pieces(node: tuple) -> list[bytes]:
    """What an emitter writes, piece by piece: each Write text, each newline with its prefixes."""
    pieces: list[bytes] = []
    prefixes: list[str] = []
    stack = [(node, 0, 0)]  # node, next command, next child
    while stack:
        n, i, k = stack.pop()
        cmds = n[2]
        while i < len(cmds):
            c = cmds[i]
            i += 1
            if c is HOLE:
                stack.append((n, i, k + 1))
                stack.append((n[1][k], 0, 0))
                break
            if c is NL:
                pieces.append(("\n" + "".join(prefixes)).encode())
            elif c is POP:
                if prefixes:
                    prefixes.pop()
            elif c[0] == "w":
                pieces.append(c[1].encode())
            else:
                prefixes.append(c[1])
    return pieces


def compact(c) -> object:
    """A command as a peer's data would hold it: the text of a Write, 1 for NL, (prefix,) for
    a Push, 3 for POP, None for HOLE."""
    if c is HOLE:
        return None
    if c is NL:
        return 1
    if c is POP:
        return 3
    return c[1] if c[0] == "w" else (c[1],)


def to_tuples(node: tuple) -> tuple:
    """The data term as nested tuples (tag, children, cmds), commands in their compact form."""
    done: dict[int, tuple] = {}
    stack = [(node, False)]
    while stack:
        n, ready = stack.pop()
        if not ready:
            stack.append((n, True))
            stack.extend((c, False) for c in n[1])
            continue
        tag, children, cmds = n
        done[id(n)] = (tag, tuple(done[id(c)] for c in children), tuple(map(compact, cmds)))
    return done[id(node)]


def count_nodes(node: tuple) -> int:
    total, stack = 0, [node]
    while stack:
        n = stack.pop()
        total += 1
        stack.extend(n[1])
    return total


# ---------------------------------------------------------------------------------------------
# The inputs


def wide(n: int = 100_000) -> tuple:
    """One block of n statements."""
    children = [("stmt", (), (w(f"x{i} = compute({i}, y{i % 7})"),)) for i in range(n)]
    cmds = [w("def main():"), p("    ")]
    for _ in children:
        cmds += [NL, HOLE]
    cmds.append(POP)
    return ("block", children, cmds)


def deep(levels: int) -> tuple:
    """`levels` nested blocks, each indenting its body by four spaces: the output is mostly
    indentation."""
    node = ("stmt", (), (w("pass"),))
    for i in range(levels):
        node = ("while", (node,), (w(f"while c{i % 10}:"), p("    "), NL, HOLE, POP))
    return node


def module(functions: int = 500) -> tuple:
    """A generated module: functions with parameters, a loop, a branch, calls and a return."""
    funcs = []
    for f in range(functions):
        params = [("identifier", (), (w(f"a{j}"),)) for j in range(3)]
        body_if = (
            "if",
            [
                ("expr", (), (w(f"a0 > {f}"),)),
                ("stmt", (), (w(f"total += a1 * {f}"),)),
                ("stmt", (), (w("log(total)"),)),
            ],
            [w("if "), HOLE, w(":"), p("    "), NL, HOLE, NL, HOLE, POP],
        )
        loop = (
            "for",
            [("identifier", (), (w("item"),)), ("call", (), (w("range(a2)"),)), body_if],
            [w("for "), HOLE, w(" in "), HOLE, w(":"), p("    "), NL, HOLE, POP],
        )
        stmts = [
            ("stmt", (), (w(f'"""Function number {f}."""'),)),
            ("stmt", (), (w("total = 0"),)),
            loop,
            ("stmt", (), (w(f"return total + {f}"),)),
        ]
        cmds = [w(f"def f{f}("), HOLE, w(", "), HOLE, w(", "), HOLE, w("):"), p("    ")]
        for _ in stmts:
            cmds += [NL, HOLE]
        cmds.append(POP)
        funcs.append(("funcdef", params + stmts, cmds))
    cmds = [w("import math")]
    for _ in funcs:
        cmds += [NL, NL, HOLE]
    cmds.append(NL)
    return ("module", funcs, cmds)


def source_file(text: str) -> tuple:
    """A source file as a code generator would hold it: one leaf per non-blank line, one
    block per indented run of lines, the extra indentation pushed as the block's prefix."""
    top: list = []
    # Each open block: its indentation, its children, its commands.
    stack: list[tuple[int, list, list]] = [(0, top, [])]

    def close() -> None:
        ind, children, cmds = stack.pop()
        cmds.append(POP)
        parent_children, parent_cmds = stack[-1][1], stack[-1][2]
        parent_children.append(("block", children, cmds))
        parent_cmds.append(HOLE)  # the block opens with its own push and newline

    for raw in text.expandtabs(8).splitlines():
        if not raw.strip():
            continue
        ind = len(raw) - len(raw.lstrip(" "))
        while ind < stack[-1][0]:
            close()
        if ind > stack[-1][0]:
            stack.append((ind, [], [p(" " * (ind - stack[-1][0]))]))
        children, cmds = stack[-1][1], stack[-1][2]
        if len(stack) > 1 or children:
            cmds.append(NL)
        children.append(("line", (), (w(raw[ind:]),)))
        cmds.append(HOLE)
    while len(stack) > 1:
        close()
    return ("module", top, stack[0][2])


def stdlib_corpus(target_nodes: int = 700_000) -> tuple:
    """The interpreter's standard library, file by file in a fixed order, as one term."""
    root = Path(sysconfig.get_paths()["stdlib"])
    files, cmds, total = [], [], 1
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d != "site-packages")
        for fn in sorted(filenames):
            if not fn.endswith(".py"):
                continue
            try:
                text = (Path(dirpath) / fn).read_text(encoding="utf-8")
            except (UnicodeDecodeError, OSError):
                continue
            f = source_file(text)
            if files:
                cmds.append(NL)
            files.append(f)
            cmds.append(HOLE)
            total += count_nodes(f)
            if total >= target_nodes:
                return ("corpus", files, cmds)
    return ("corpus", files, cmds)


# ---------------------------------------------------------------------------------------------
# Timing


def best_times(
    cands: list[tuple[str, object]], rounds: int, ns: dict | None = None
) -> dict[str, float]:
    """Best seconds per call of each candidate (a callable, or a statement run in `ns`) over
    `rounds` interleaved rounds."""
    timers = []
    for label, fn in cands:
        t = timeit.Timer(fn, timer=time.process_time, globals=ns)
        number, elapsed = t.autorange()
        # About 0.05 s per timing, at least one call: short timings and many rounds let the
        # best of them miss the other load of a shared machine.
        number = max(1, int(number * 0.05 / max(elapsed, 1e-9)))
        timers.append((label, t, number))
    ROUNDS.clear()
    for _ in range(rounds):
        for label, t, number in timers:
            ROUNDS.setdefault(label, []).append(t.timeit(number) / number)
    return {label: min(times) for label, times in ROUNDS.items()}


# Each candidate's time in every round of the last best_times call, for the per-round ratios.
ROUNDS: dict[str, list[float]] = {}


def median_ratio(mine: str, other: str) -> float:
    """The median over rounds of kovel's time over the other's time in the same round: steadier
    than the ratio of bests when the machine's load comes and goes between rounds."""
    return statistics.median(a / b for a, b in zip(ROUNDS[mine], ROUNDS[other], strict=True))


def fmt_time(s: float) -> str:
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if s >= scale:
            return f"{s / scale:7.2f} {unit}"
    return f"{s / 1e-9:7.1f} ns"


# (area, input, what kovel is compared with, ratio of bests, median of round ratios, goal,
# met by the ratio of bests) for the closing table.
SUMMARY: list[tuple[str, str, str, float, float, str, bool]] = []


def report(title: str, best: dict[str, float], mine: str, others: list[str]) -> dict[str, float]:
    """Prints kovel's time and its ratio to each other candidate; returns the ratios."""
    print(f"  {title}")
    print(f"    {mine:<44} {fmt_time(best[mine])}")
    ratios = {}
    for o in others:
        r = best[mine] / best[o]
        ratios[o] = r
        m = median_ratio(mine, o)
        print(
            f"    {o:<44} {fmt_time(best[o])}   kovel/this {r:5.2f}   this/kovel {1 / r:5.2f}"
            f"   (round median {m:5.2f} / {1 / m:5.2f})"
        )
    return ratios


# ---------------------------------------------------------------------------------------------
# The three areas


def construction(rounds: int) -> None:
    floor = load_floor()
    tag, code, ident, s = "integer", "42", "foo", "x"
    assert str(leaf(tag, code)) == "42" and str(name(ident)) == "foo" and str(sym(s)) == "x"
    print(f"Construction (best of {rounds} rounds; goal kovel/floor <= 1.10)")
    # Statements, not lambdas: both sides then pay only the call itself and timeit's loop.
    ns = {
        "leaf": leaf,
        "name": name,
        "sym": sym,
        "tag": tag,
        "code": code,
        "ident": ident,
        "s": s,
        "fleaf": floor.leaf,
        "fname": floor.name,
        "fsym": floor.sym,
    }
    cases = [
        ('leaf("integer", "42")', "leaf(tag, code)", "fleaf(tag, code)"),
        ('name("foo")', "name(ident)", "fname(ident)"),
        ('sym("x")', "sym(s)", "fsym(s)"),
    ]
    for what, mine, base in cases:
        best = best_times([(what, mine), ("floor", base)], rounds, ns)
        r = report(what, best, what, ["floor"])["floor"]
        m = median_ratio(what, "floor")
        SUMMARY.append(("construction", what, "kovel / floor", r, m, "<= 1.10", r <= 1.10))


def emission(rounds: int) -> None:
    print(f"Emission (best of {rounds} rounds; goal coparse/floor <= 1.15, <= 1.0 on the corpus)")
    floor = load_floor()
    for what, node, goal in (
        ("wide, 100,000 children", wide(), 1.15),
        ("deep, 2,000 levels", deep(2000), 1.15),
        ("module, 500 functions", module(), 1.15),
        ("stdlib corpus", stdlib_corpus(), 1.0),
    ):
        t = to_kterm(node)
        pieces = to_pieces(node)
        text = t.coparse()
        assert text == b"".join(pieces).decode(), what
        out = text.encode()
        dst = bytearray(len(out))
        best = best_times(
            [
                ("coparse()", t.coparse),
                ('b"".join(pieces).decode()', lambda pieces=pieces: b"".join(pieces).decode()),
                ("memcpy of the output", lambda dst=dst, out=out: floor.copy(dst, out)),
            ],
            rounds,
        )
        ratios = report(
            f"{what} ({len(text):,} chars, {len(pieces):,} pieces)",
            best,
            "coparse()",
            ['b"".join(pieces).decode()', "memcpy of the output"],
        )
        r = ratios['b"".join(pieces).decode()']
        m = median_ratio("coparse()", 'b"".join(pieces).decode()')
        SUMMARY.append(("emission", what, "coparse / floor", r, m, f"<= {goal:.2f}", r <= goal))
        del t, pieces, text


def peers(data: tuple) -> list[tuple[str, object]]:
    """Each peer's decoder, bound to its own encoding of data; each is checked to round-trip."""
    import msgpack  # noqa: PLC0415
    import msgspec  # noqa: PLC0415

    out = []
    pk = pickle.dumps(data, pickle.HIGHEST_PROTOCOL)
    assert pickle.loads(pk) == data
    out.append((f"pickle.loads ({len(pk):,} B)", lambda: pickle.loads(pk)))
    try:
        ma = marshal.dumps(data)
        assert marshal.loads(ma) == data
        out.append((f"marshal.loads ({len(ma):,} B)", lambda: marshal.loads(ma)))
    except ValueError:
        pass  # nested too deeply for marshal
    mp = msgpack.packb(data)
    assert msgpack.unpackb(mp, use_list=False) == data
    out.append((f"msgpack.unpackb ({len(mp):,} B)", lambda: msgpack.unpackb(mp, use_list=False)))
    dec = msgspec.msgpack.Decoder()  # untyped: lists, its fastest form
    ms = msgspec.msgpack.encode(data)
    assert dec.decode(ms) is not None
    out.append((f"msgspec.msgpack ({len(ms):,} B)", lambda: dec.decode(ms)))
    return out


def decoding(rounds: int) -> None:
    print(
        f"Decoding (best of {rounds} rounds; goal: each peer/kovel >= 3.0, >= 5.0 and at most"
        " 35 ns a node on the corpus)"
    )
    floor = load_floor()
    sys.setrecursionlimit(20_000)
    for what, node, goal in (
        ("wide, 100,000 children", wide(), 3.0),
        ("deep, 400 levels", deep(400), 3.0),
        ("module, 500 functions", module(), 3.0),
        ("stdlib corpus", stdlib_corpus(), 5.0),
    ):
        t = to_kterm(node)
        data = t.postcard_bytes()
        assert from_postcard_bytes(data).postcard_bytes() == data
        del t
        nodes = count_nodes(node)
        dst = bytearray(len(data))
        cands = [
            (f"from_postcard_bytes ({len(data):,} B)", lambda data=data: from_postcard_bytes(data))
        ]
        cands += peers(to_tuples(node))
        cands.append(("memcpy of the bytes", lambda dst=dst, data=data: floor.copy(dst, data)))
        best = best_times(cands, rounds)
        mine = cands[0][0]
        per_node = best[mine] / nodes * 1e9
        ratios = report(
            f"{what} ({nodes:,} nodes, {per_node:.1f} ns/node)",
            best,
            mine,
            [c[0] for c in cands[1:]],
        )
        fastest = max((o for o in ratios if not o.startswith("memcpy")), key=ratios.__getitem__)
        r = 1 / ratios[fastest]
        print(f"    fastest peer / kovel: {r:.2f}")
        label = fastest.split(" (")[0] + " / kovel"
        m = 1 / median_ratio(mine, fastest)
        SUMMARY.append(("decoding", what, label, r, m, f">= {goal:.2f}", r >= goal))
        if goal > 3.0:
            med = statistics.median(ROUNDS[mine]) / nodes * 1e9
            SUMMARY.append(
                ("decoding", what, "ns per node", per_node, med, "<= 35", per_node <= 35)
            )
        del cands, best


# One child process per measurement, so that no memory freed earlier is reused and hidden.
MEMORY_SCRIPT = """
import ctypes, marshal, sys
import kovel
def rss():
    # What live objects hold: free memory the C library keeps between blocks in use (a
    # decoder's stack, a builder's list) is handed back first, on either side.
    ctypes.CDLL(None).malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
n, how = int(sys.argv[1]), sys.argv[2]
s = "42"  # a name, not a literal: each leaf's tuples are then made one by one
if how == "kovel decoded":
    b = kovel.tb("w")
    for _ in range(n):
        b.c(kovel.leaf("integer", s))
    data = b.b().postcard_bytes()
    del b
    before = rss()
    held = kovel.from_postcard_bytes(data)
elif how == "kovel built":
    before = rss()
    b = kovel.tb("w")
    for _ in range(n):
        b.c(kovel.leaf("integer", s))
    held = b
elif how == "marshal decoded":
    data = marshal.dumps(("w", tuple(("integer", (), (s,)) for _ in range(n)), (None,) * n))
    before = rss()
    held = marshal.loads(data)
else:
    before = rss()
    held = [("integer", (), (s,)) for _ in range(n)]
print((rss() - before) / n)
"""


def memory(rounds: int) -> None:
    del rounds  # each figure is one reading: resident sizes do not vary as times do
    n = 1_000_000
    print(f"Memory ({n:,} leaves leaf('integer', '42'); goal kovel/tuples <= 0.45)")

    def per_leaf(how: str) -> float:
        out = subprocess.run(
            [sys.executable, "-c", MEMORY_SCRIPT, str(n), how],
            check=True,
            capture_output=True,
            text=True,
        )
        return float(out.stdout)

    for mine, peer in (("kovel decoded", "marshal decoded"), ("kovel built", "tuples built")):
        a, b = per_leaf(mine), per_leaf(peer)
        print(f"  {mine}: {a:.1f} B a leaf; {peer}: {b:.1f} B a leaf; ratio {a / b:.2f}")
        SUMMARY.append(
            ("memory", mine, f"{mine.split()[0]} / {peer}", a / b, a / b, "<= 0.45", a / b <= 0.45)
        )


def main() -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--rounds", type=int, default=9, help="interleaved rounds; the best is kept")
    ap.add_argument("--only", default="construction,emission,decoding,memory")
    args = ap.parse_args()
    print(f"kovel ({kovel.__file__}) on Python {sys.version.split()[0]}, {os.cpu_count()} cores")
    areas = {
        "construction": construction,
        "emission": emission,
        "decoding": decoding,
        "memory": memory,
    }
    for a in args.only.split(","):
        areas[a](args.rounds)
        print()
    print(f"Summary (best of {args.rounds} interleaved rounds per figure)")
    print(f"  {'area':<13} {'input':<24} {'ratio':<30} {'best':>6} {'median':>6}  {'goal':<8} met")
    for area, what, label, r, m, goal, met in SUMMARY:
        print(
            f"  {area:<13} {what:<24} {label:<30} {r:6.2f} {m:6.2f}  {goal:<8}"
            f" {'yes' if met else 'no'}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
