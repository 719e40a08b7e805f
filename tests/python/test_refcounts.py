"""Reference counts and leaks: arguments after failures, class objects, core terms, memory."""

import gc
import sys

import pytest
import termmodel as M

import kovel._kovel as K


def fresh(s):
    # Built at run time so that it is neither interned nor immortal.
    return "".join([s, "_"])


def counts(objs):
    return [sys.getrefcount(o) for o in objs]


def run_quietly(call, times):
    for _ in range(times):
        try:
            call()
        except Exception:
            pass


def each(*calls):
    return lambda: [run_quietly(c, 1) for c in calls]


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Items:
    """A sequence by item access alone."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class Raising:
    def __index__(self):
        raise ValueError("no")


def failing_calls():
    tag, lang, code = fresh("tag"), fresh("lang"), fresh("code")
    t, w, big = K.leaf(tag, code), K.write(fresh("w")), 2**70
    c = K.cmd(w)
    bad_list = [K.HOLE, c, w]
    idx, raising, fl, bad, surrogate = Idx(300), Raising(), 3.5, b"\x02\x05ab", "\ud800" + tag
    b = K.tb(tag)
    built = K.tb(tag)
    built.b()
    unknown, nul = K.name(fresh("undefined_name")), K.leaf(tag, "a\0b")
    return [
        ((tag, lang, t, bad_list, c, w), lambda: K.quote(tag, 0, lang, t, bad_list)),
        ((tag, lang, t, idx), lambda: K.quote(tag, idx, lang, t, [])),
        ((tag, lang, t, raising), lambda: K.unquote(tag, raising, lang, t, [])),
        ((tag, lang, t, big), lambda: K.quote(tag, big, lang, t, [])),
        ((tag, t, code), lambda: K.quote(tag, 0, code, t, code)),
        ((tag, code), lambda: K.leaf(tag, tag=code)),
        ((tag, surrogate), lambda: K.leaf(tag, surrogate)),
        ((tag, fl), lambda: K.leaf(tag, fl)),
        ((w, c), lambda: K.cmd(c)),
        ((bad,), lambda: K.from_postcard_bytes(bad)),
        (
            (fl, big, surrogate, w),
            each(
                lambda: K.klift(fl),
                lambda: K.klift(big),
                lambda: K.klift(surrogate),
                lambda: K.klift_html(w),
            ),
        ),
        ((b, t, fl, w), each(lambda: b.c(fl), lambda: b.w(fl), lambda: b.e(w), lambda: b.c(b))),
        ((built, t, tag), each(lambda: built.c(t), lambda: built.w(tag), built.b)),
        ((unknown,), unknown.reduce),
        ((nul,), nul.reduce),
    ]


@pytest.mark.parametrize("case", range(len(failing_calls())))
def test_failures_keep_argument_counts(case):
    objs, call = failing_calls()[case]
    run_quietly(call, 2)
    before = counts(objs)
    run_quietly(call, 100)
    assert counts(objs) == before


def test_successes_keep_argument_counts():
    tag, lang, code = fresh("tag"), fresh("lang"), fresh("code")
    t = K.leaf(tag, code)
    w = K.write(code)
    cmds = [K.HOLE, K.cmd(w), K.cmd(K.NL)]
    wide = 2**40 + len(tag)  # a new int, which __index__ hands out with a reference
    index = Idx(wide)
    objs = [tag, lang, code, t, w, cmds, K.HOLE, K.NL, wide, index] + cmds
    data = t.postcard_bytes()

    def calls():
        K.quote(tag, 7, lang, t, cmds)
        K.unquote(tag, Idx(8), lang, t, tuple(cmds))
        K.quote(tag, 9, lang, t, Items(cmds))  # items through __getitem__: new references
        K.tb(tag).w(code).p(code).c(t).e(t).b()
        K.klift(t), K.klift(code), K.klift_html(code), K.klift(index), K.klift_html(index)
        K.from_postcard_bytes(data), K.cmd(w), K.push(code), K.sym(tag), K.name(code)
        str(t), repr(t), t.coparse(), t.postcard_bytes()

    calls()
    before = counts(objs)
    for _ in range(100):
        calls()
    assert counts(objs) == before


@pytest.mark.parametrize(
    "cls,make",
    [
        (K.KTerm, lambda: K.sym("x")),
        (K.Builder, lambda: K.tb("x")),
        (K.StrCmd, lambda: K.write("x")),
        (K.CmdOrHole, lambda: K.cmd(K.POP)),
    ],
)
def test_instances_release_their_class(cls, make):
    make()
    before = sys.getrefcount(cls)
    for _ in range(1000):
        make()
    kept = [make() for _ in range(10)]
    assert sys.getrefcount(cls) == before + 10
    del kept
    assert sys.getrefcount(cls) == before


def test_children_live_on_through_their_parents_alone():
    x = K.leaf("integer", "42")
    before = sys.getrefcount(x)
    b = K.tb("t").c(x).e(x)
    assert sys.getrefcount(x) == before
    t = b.b()
    del b
    assert sys.getrefcount(x) == before
    u = K.unquote("u", 0, "", K.klift(K.quote("q", 0, "", x, [K.HOLE])), [K.HOLE, K.HOLE])
    del x
    junk = [K.leaf("integer", "99" * 20) for _ in range(1000)]
    assert str(t) == "4242" and str(u) == "4242"
    assert t.postcard_bytes() == M.enc(("T", "t", (M.leaf("integer", "42"),) * 2, (M.HOLE,) * 2))
    del junk


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


BIG = "x" * 4096


def leak_ops():
    x = K.leaf("t", BIG)
    broken = K.from_postcard_bytes(M.BROKEN)
    data = K.tb("t").w(BIG).c(x).b().postcard_bytes()
    ops = {
        "leaf": lambda: K.leaf(BIG, BIG),
        "quote": lambda: K.quote(BIG, 1, BIG, x, [K.cmd(K.write(BIG)), K.HOLE]),
        "builder": lambda: K.tb(BIG).w(BIG).p(BIG).c(K.leaf("c", BIG)).e(x).n().x().b(),
        "unbuilt builder": lambda: K.tb(BIG).w(BIG).c(K.leaf("c", BIG)).e(K.sym(BIG)),
        "decode": lambda: K.from_postcard_bytes(data),
        "decode error": lambda: K.from_postcard_bytes(data[:-1]),
        "print": lambda: (str(x), repr(x), x.coparse(), x.postcard_bytes()),
        "reduce": lambda: K.leaf("t", "'" + BIG + "'").reduce(),
        "reduce error": lambda: K.leaf("t", BIG + " +").reduce(),
        "lift": lambda: (K.klift(BIG), K.klift_html(BIG + "<"), K.klift(x), K.klift(7)),
        "lift error": lambda: K.klift(BIG + "\ud800"),
        "commands": lambda: (K.cmd(K.push(BIG)), K.write(BIG)),
        "bad cmds": lambda: K.quote(BIG, 0, BIG, x, [K.cmd(K.write(BIG)), K.NL]),
        "bad argument": lambda: K.leaf(BIG, None),
        "panic": lambda: str(broken),
    }
    return ops


@pytest.mark.parametrize("op", list(leak_ops()))
def test_no_leaks_in_a_loop(op):
    call = leak_ops()[op]

    def loop(n):
        for _ in range(n):
            try:
                call()
            except BaseException:
                pass

    loop(200)
    gc.collect()
    blocks, objects, memory = sys.getallocatedblocks(), len(gc.get_objects()), rss()
    loop(2000)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 500
    assert len(gc.get_objects()) - objects < 100
    assert rss() - memory < 4 * 2**20
