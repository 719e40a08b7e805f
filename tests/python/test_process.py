"""Every process a program makes: forked children, daemon threads at exit, memory handed back."""

import os
import subprocess
import sys
import textwrap

import pytest

UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
LINUX = sys.platform.startswith("linux")


def loaded(fragment):
    if not LINUX:
        return False
    with open("/proc/self/maps") as f:
        return any(fragment in line for line in f)


import kovel._kovel  # noqa: E402, F401 - what it loads decides the skips below

WITH_LIBCXX = loaded("/libc++.so")
# Where a process cannot set its own address-space limit it runs under an emulator (qemu-user),
# whose every fork copies the emulator too: fewer forks there.
EMULATED = LINUX and not __import__("test_hostile").AS_LIMIT_HOLDS


def run_child(code, timeout=120, **env):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ, **env),
    )


# -- fork --------------------------------------------------------------------------------------

FORK_SCRIPT = """
    import os, sys, threading, time
    import kovel._kovel as K

    FORKS, IN_FLIGHT, BOUND = {forks}, 6, 20.0
    stop = False

    def work():
        # Nodes of many sizes, so that a thread's end has much to hand back.
        keep = [K.leaf("s", "v" * n) for n in range(0, 600, 16)]
        t = K.tb("t").w("(").c(K.leaf("a", "1")).w("+").c(K.sym("x")).w(")").b()
        q = K.quote("q", 1, "py", t, [K.HOLE])
        assert str(K.from_postcard_bytes(q.postcard_bytes())) == "(1+x)"

    def churn():
        # Threads that make and drop terms and end, so that a fork falls anywhere in them.
        while not stop:
            ts = [threading.Thread(target=work) for _ in range(3)]
            for th in ts:
                th.start()
            for th in ts:
                th.join()

    def child(i):
        if i % 3 == 0:
            os._exit(0)  # one that never calls kovel: its own exit must not hang either
        work()
        if i % 3 == 1:
            assert K.leaf("e", "6 * 7").reduce() == 42
            os._exit(0)
        sys.exit(0)  # the normal exit, with the interpreter's own teardown

    churners = [threading.Thread(target=churn) for _ in range(2)]
    for th in churners:
        th.start()
    start = time.monotonic()
    running, hung, failed = {{}}, 0, 0
    for i in range(FORKS):
        pid = os.fork()
        if pid == 0:
            try:
                child(i)
            except SystemExit:
                raise
            except BaseException:
                os._exit(1)
        running[pid] = time.monotonic()
        while len(running) >= IN_FLIGHT or (i == FORKS - 1 and running):
            for pid, born in list(running.items()):
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    del running[pid]
                    failed += os.waitstatus_to_exitcode(status) != 0
                elif time.monotonic() - born > BOUND:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    del running[pid]
                    hung += 1
            time.sleep(0.0005)
    stop = True
    for th in churners:
        th.join()
    print(FORKS, hung, failed, round(time.monotonic() - start, 1))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.skipif(
    UNDER_SANITIZER, reason="the sanitizer's allocator can be forked with its lock held"
)
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_forked_children_never_hang_on_what_they_inherit():
    forks = 300 if EMULATED else 2000
    out = run_child(FORK_SCRIPT.format(forks=forks), timeout=600)
    assert out.returncode == 0, out.stderr
    n, hung, failed, _seconds = out.stdout.split()
    assert (int(n), int(hung), int(failed)) == (forks, 0, 0), out.stdout + out.stderr


# -- daemon threads at exit --------------------------------------------------------------------

DAEMON_SCRIPT = """
    import functools, sys, threading, time
    from time import sleep
    import kovel._kovel as K

    class Slow:
        def __index__(self, sleep=time.sleep):
            sleep(0.005)
            return 1

    class SlowCmds:
        def __len__(self):
            return 1

        def __getitem__(self, i, sleep=time.sleep):
            sleep(0.005)
            if i >= 1:
                raise IndexError(i)
            return K.HOLE

    def reduce_of_a_dropped_term():
        # A partial passes its arguments on without references of its own: once the code
        # evaluated drops the partial's arguments, reduce() holds the term's last reference,
        # and the thread ended inside the call drops it.
        global dropping
        t = K.leaf("e", "(dropping.__setstate__((len, (), None, None)), sleep(0.005))")
        dropping = functools.partial(K.KTerm.reduce, t)
        del t
        dropping()

    calls = {{
        "index": lambda: K.quote("t", Slow(), "py", K.sym("x"), [K.HOLE]),
        "cmds": lambda: K.quote("t", 0, "py", K.sym("x"), SlowCmds()),
        "lift": lambda: K.klift(Slow()),
        "reduce": K.leaf("e", "__import__('time').sleep(0.005)").reduce,
        "dropped": reduce_of_a_dropped_term,
    }}
    call = calls[{mode!r}]
    inside = threading.Event()

    def run():
        while True:
            inside.set()
            call()

    class Linger:
        # Teardown of the main module sleeps, so the daemon thread wakes while the
        # interpreter is ending and is ended inside its call.
        def __del__(self, sleep=time.sleep):
            sleep(0.2)

    linger = Linger()
    threading.Thread(target=run, daemon=True).start()
    inside.wait()
    time.sleep(0.05)
    sys.exit(7)
"""


@pytest.mark.skipif(
    UNDER_SANITIZER,
    reason="the address sanitizer leaves poisoned the frames that glibc's thread exit unwinds",
)
@pytest.mark.skipif(
    WITH_LIBCXX, reason="Debian's libc++ unwinds with LLVM's libunwind, which cannot end a thread"
)
@pytest.mark.parametrize("mode", ["index", "cmds", "lift", "reduce", "dropped"])
# The debug allocator ends the process when memory is freed without the interpreter lock: in
# the mode "dropped" the ended thread drops the last reference to a term, and must leave it.
@pytest.mark.parametrize("allocator", ["pymalloc", "debug"])
def test_a_daemon_thread_inside_a_call_ends_quietly_at_exit(mode, allocator):
    for _ in range(3):
        out = run_child(DAEMON_SCRIPT.format(mode=mode), timeout=60, PYTHONMALLOC=allocator)
        assert (out.returncode, out.stderr) == (7, "")


# Exit hooks run last registered first: this one runs after kovel's own, on the thread that
# runs the exit, which frees what it drops.
EXIT_HOOK_SCRIPT = """
    import atexit, sys

    def late():
        before = sys.getallocatedblocks()
        K.from_postcard_bytes(WIDE)
        print(sys.getallocatedblocks() - before)

    atexit.register(late)
    import kovel._kovel as K

    WIDE = b"\\x02\\x01w\\xa0\\x9c\\x01" + K.leaf("x", "y").postcard_bytes() * 20000 + b"\\x00"
"""


def test_the_exit_thread_frees_what_it_drops_after_the_exit_began():
    out = run_child(EXIT_HOOK_SCRIPT)
    assert (out.returncode, out.stderr) == (0, "")
    assert int(out.stdout) < 2000, out.stdout  # the 20,001 nodes are gone


# -- memory handed back ------------------------------------------------------------------------

MEMORY_SCRIPT = """
    import gc
    import kovel._kovel as K

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096 / 2**20

    def job(size, n):
        # One wide term of n leaves of about size bytes each, through the bytes as a peer
        # would send them, and a second made by the builder.
        leaf = K.leaf("x", "y" * size).postcard_bytes()
        data = b"\\x02\\x01w" + bytes(varint(n)) + leaf * n + b"\\x00"
        t = K.from_postcard_bytes(data)
        del data
        b = K.tb("w")
        for i in range(n // 4):
            b.c(K.leaf("y", "z" * (size + i % 7)))
        u = b.b()
        return rss(), (t, u)

    def varint(n):
        while n >= 0x80:
            yield (n & 0x7F) | 0x80
            n >>= 7
        yield n

    gc.collect()
    before = rss()
    peaks = []
    for size in {sizes}:
        peak, held = job(size, {total} // (size + 60))
        del held
        peaks.append(peak)
    gc.collect()
    print(round(before, 1), round(max(peaks), 1), round(rss(), 1))
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer keeps freed memory in quarantine")
@pytest.mark.skipif(EMULATED, reason="the resident size read there is the emulator's own")
@pytest.mark.skipif(not LINUX, reason="reads /proc/self/statm")
def test_memory_of_a_dropped_peak_goes_back_to_the_system():
    # Jobs of several node sizes, each a few hundred MiB: what one leaves, the next must not
    # need anew, and the last leaves the process where it began.
    sizes = [8, 40, 100, 200, 420]
    out = run_child(MEMORY_SCRIPT.format(sizes=sizes, total=300 << 20), timeout=300)
    assert out.returncode == 0, out.stderr
    before, peak, after = map(float, out.stdout.split())
    assert peak - before > 200, out.stdout
    assert after - before < 32, out.stdout


# -- classes made once -------------------------------------------------------------------------

# Two threads meet the first fault of the process. With {race}, the collector runs (threshold
# 1) while the first is making the panic class, and its callback lets the second thread panic,
# and make the class, before the first has finished making its own. Collection then stops, so
# that the class the first thread made and dropped is still there to count.
RACE_SCRIPT = """
    import gc, sys, threading
    import kovel
    import kovel._kovel as K

    BROKEN = {broken!r}
    caught, armed = {{}}, False

    def panic(who):
        try:
            str(K.from_postcard_bytes(BROKEN))
        except BaseException as e:
            caught[who] = type(e)

    def inside_the_first_panic(phase, info):
        global armed
        if armed:
            armed = False
            other = threading.Thread(target=panic, args=("second",))
            other.start()
            other.join()
            gc.disable()

    gc.callbacks.append(inside_the_first_panic)
    t = K.from_postcard_bytes(BROKEN)
    gc.collect()
    gc.set_threshold(1)
    armed = {race}
    try:
        str(t)
    except BaseException as e:
        caught["first"] = type(e)
    gc.disable()
    if not {race}:
        panic("second")
    made = sum(c.__module__ == "kovel" for c in BaseException.__subclasses__())
    gc.collect()
    kept = sum(c.__module__ == "kovel" for c in BaseException.__subclasses__())
    first, second = caught["first"], caught["second"]
    print(made, kept, sys.getrefcount(first), first is second is kovel.PanicException)
"""


@pytest.mark.skipif(
    sys.version_info >= (3, 12),
    reason="the collector runs between instructions there: no thread runs inside class creation",
)
def test_threads_that_race_to_make_a_class_get_the_one_class():
    from termmodel import BROKEN

    race, calm = (run_child(RACE_SCRIPT.format(broken=BROKEN, race=r)) for r in (True, False))
    assert [(o.returncode, o.stderr) for o in (race, calm)] == [(0, ""), (0, "")]
    (made, *race), (_, *calm) = (o.stdout.split() for o in (race, calm))
    assert made == "2", "the second thread did not make the class inside the first one's making"
    # One class for both: the one the loser made is gone, and the winner's count is the same
    # as without a race.
    assert race == calm and race[0] == "1" and race[2] == "True"
