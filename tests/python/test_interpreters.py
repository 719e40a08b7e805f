"""Every interpreter of a process: legacy subinterpreters, which share the module's classes with
the main interpreter, own-GIL ones, which refuse it, and hosts that initialise Python again."""

import glob
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import kovel

UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
HERE = os.path.dirname(os.path.abspath(__file__))
# The kovel under test, for the interpreters that the tests start.
PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(kovel.__file__)))

# What every interpreter runs, each time with classes and functions of its own. Classes that
# an interpreter makes after ours take version tags from their own counter; a lookup cached
# for one of them, or an attribute load specialised for it, must never be taken for ours.
USE_KOVEL = r"""
import kovel
import kovel._kovel as K

t = K.tb("t").w("(").c(K.leaf("a", "1")).w(" + 1)").b()

class Slots:
    __slots__ = ("a",)

    def __init__(self):
        self.a = 5

class Other:
    def coparse(self):
        return "not a term"

def read_a(o):
    return o.a

def call_coparse(o):
    return o.coparse()

s, other = Slots(), Other()
for _ in range(5000):  # specialises both functions for these classes
    read_a(s)
    call_coparse(other)
try:
    read_a(t)
except AttributeError as e:
    assert str(e) == "'builtins.KTerm' object has no attribute 'a'", e
else:
    raise AssertionError("a term was read as a Slots instance")
assert call_coparse(t) == "(1 + 1)"
assert t.reduce() == 2 and repr(t) == 'KTerm("(1 + 1)")'
assert str(K.from_postcard_bytes(t.postcard_bytes())) == "(1 + 1)"
try:
    K.quote("q", 0, "py", t, iter([]))
except TypeError as e:
    assert str(e) == "argument 'cmds': 'list_iterator' object is not an instance of 'Sequence'", e
else:
    raise AssertionError("an iterator was taken for a sequence")
try:
    str(K.from_postcard_bytes(b"\x02\x00\x00\x01\x01"))
except kovel.PanicException as e:
    assert (type(e).__module__, type(e).__qualname__) == ("kovel", "PanicException")
else:
    raise AssertionError("a Tuple node without its child printed")
# No interpreter can change a class that all of them share.
for cls in (K.KTerm, K.StrCmd, K.CmdOrHole, K.Builder, kovel.PanicException):
    try:
        cls.injected = len
    except TypeError:
        pass
    assert not hasattr(cls, "injected"), cls
"""

# Runs code in legacy subinterpreters (which share the main interpreter's lock) on every
# CPython that has them.
SUBINTERPRETERS = r"""
import sys

if sys.version_info >= (3, 13):
    import _interpreters as I

    def new(kind):
        return I.create(I.new_config(kind))

    def run(iid, code):
        err = I.exec(iid, code)
        if err is not None:
            raise AssertionError(err.formatted)
else:
    import _xxsubinterpreters as I

    def new(kind):
        if sys.version_info >= (3, 12):
            return I.create(isolated=kind == "isolated")
        assert kind == "legacy"
        return I.create()

    def run(iid, code):
        I.run_string(iid, code)

def in_new(kind, code):
    iid = new(kind)
    try:
        run(iid, code)
    finally:
        I.destroy(iid)
"""


def run_python(code, timeout=120):
    env = dict(os.environ, PYTHONPATH=PACKAGE_DIR)
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=env
    )


@pytest.mark.parametrize("first", ["main", "subinterpreter"])
def test_legacy_subinterpreters_share_classes_that_stay_sound(first):
    steps = ["in_new('legacy', USE_KOVEL)", "exec(USE_KOVEL, {})"]
    if first == "main":
        steps.reverse()
    steps += ["in_new('legacy', USE_KOVEL)", "exec(USE_KOVEL, {})"]
    code = SUBINTERPRETERS + f"USE_KOVEL = {USE_KOVEL!r}\n" + "\n".join(steps) + "\nprint('ok')"
    out = run_python(code)
    assert (out.returncode, out.stdout, out.stderr) == (0, "ok\n", "")


@pytest.mark.skipif(sys.version_info < (3, 12), reason="no interpreter with a lock of its own")
def test_an_interpreter_with_a_lock_of_its_own_refuses_the_import():
    code = SUBINTERPRETERS + textwrap.dedent("""
        in_new("isolated", '''
        try:
            import kovel._kovel
        except ImportError as e:
            assert str(e) == "module kovel._kovel does not support loading in subinterpreters", e
        else:
            raise AssertionError("imported")
        ''')
        print("ok")
    """)
    out = run_python(code)
    assert (out.returncode, out.stdout, out.stderr) == (0, "ok\n", "")


# -- a host that initialises Python again ------------------------------------------------------

# Each round also primes the lookup cache: every other class gets its version tag and cached
# lookups under the names of our classes' attributes (mostly misses), so that a class of ours
# still carrying a tag from the last round would find them. The panic class's own names are
# primed one at a time, each looked up on it right after. And a thread drops a wide term: after
# the last round's exit, this round's threads must free what they drop again.
EMBEDDED_ROUND = (
    USE_KOVEL
    + r"""
import pickle, sys, threading
import array, _bisect, _csv, _heapq, _json, _pickle, _struct, select

panic_type = kovel.PanicException
# It takes its tag here, before the walk below tags every other class: in the next round one of
# those takes the same tag.
assert not hasattr(panic_type, "tag_it")
ours = {K.KTerm, K.StrCmd, K.CmdOrHole, K.Builder, panic_type}
seen, todo = set(), [object]
while todo:
    c = todo.pop()
    if c not in seen:
        seen.add(c)
        todo.extend(type.__subclasses__(c) if isinstance(c, type) else ())
# Ours are this runtime's classes: one kept from the last is no subclass of this one's bases.
assert ours <= seen, ours - seen
others = seen - ours

def prime(names):
    for c in others:
        for n in names:
            try:
                getattr(c, n, None)
            except Exception:
                pass

prime(("coparse", "reduce", "postcard_bytes", "c", "w", "b"))
assert t.coparse() == "(1 + 1)" and t.reduce() == 2
assert str(K.tb("x").w("y").b()) == "y"
for n in [n for n in vars(BaseException) if n not in vars(type)]:
    prime((n,))
    assert getattr(panic_type, n) is vars(BaseException)[n], n
try:
    str(K.from_postcard_bytes(b"\x02\x00\x00\x01\x01"))
except panic_type as e:
    panic = e
back = pickle.loads(pickle.dumps(panic))
assert type(back) is panic_type and back.args == panic.args and back.args, back.args

wide = b"\x02\x01w\xa0\x9c\x01" + K.leaf("x", "y").postcard_bytes() * 20000 + b"\x00"
def drop():
    K.from_postcard_bytes(wide)
before = sys.getallocatedblocks()
th = threading.Thread(target=drop)
th.start()
th.join()
assert sys.getallocatedblocks() - before < 2000, (before, sys.getallocatedblocks())
"""
)


def embedding_flags():
    """Compiler and linker flags for a program that embeds this CPython, or None. The library
    is looked for under the interpreter's own prefix first: the configuration of an interpreter
    unpacked into a folder of its own (scripts/pythons.sh) names the system's folders. Where
    that folder also holds a loader, a C library of its own, the program runs on that loader
    and the libraries beside it."""
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        return None
    include = sysconfig.get_paths()["include"]
    ldlibrary = sysconfig.get_config_var("LDLIBRARY") or ""
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    own = os.path.join(sys.base_prefix, "lib")
    candidates = [os.path.join(own, multiarch), own, sysconfig.get_config_var("LIBDIR") or ""]
    libdir = next((d for d in candidates if os.path.exists(os.path.join(d, ldlibrary))), None)
    if not ldlibrary.startswith("lib") or libdir is None:
        return None
    if not os.path.exists(os.path.join(include, "Python.h")):
        return None
    name = ldlibrary[3:].split(".so")[0]
    # Debian's Python.h finds its pyconfig.h under <triplet>/, beside the include folder.
    flags = [f"-I{include}", "-idirafter", os.path.dirname(include), f"-L{libdir}", f"-l{name}"]
    loaders = glob.glob(os.path.join(libdir, "ld-linux*.so.*"))
    if loaders:
        # A DT_RPATH also serves the library's own dependencies; the C library the program
        # links against may be older than the one it runs on.
        flags += [
            f"-Wl,--dynamic-linker={loaders[0]}",
            "-Wl,--disable-new-dtags",
            "-Wl,--allow-shlib-undefined",
        ]
    return [*flags, f"-Wl,-rpath,{libdir}"]


@pytest.fixture(scope="module")
def embed_host(tmp_path_factory):
    flags = embedding_flags()
    cc = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if flags is None or cc is None:
        pytest.skip("needs the interpreter's headers, its shared library and a C compiler")
    exe = str(tmp_path_factory.mktemp("embed") / "embed_host")
    build = subprocess.run(
        [cc, "-O1", "-o", exe, os.path.join(HERE, "embed_host.c"), *flags],
        capture_output=True,
        text=True,
    )
    assert build.returncode == 0, build.stderr
    return exe


@pytest.mark.skipif(UNDER_SANITIZER, reason="the host is not built with the sanitizer")
@pytest.mark.parametrize("allocator", ["pymalloc", "debug"])
def test_a_host_that_initialises_python_again_and_again(embed_host, tmp_path, allocator):
    script = tmp_path / "round.py"
    script.write_text(EMBEDDED_ROUND)
    # The host's program path says nothing of where this Python lives.
    env = dict(
        os.environ, PYTHONHOME=sys.base_prefix, PYTHONPATH=PACKAGE_DIR, PYTHONMALLOC=allocator
    )
    out = subprocess.run(
        [embed_host, str(script), "3"], capture_output=True, text=True, timeout=300, env=env
    )
    assert (out.returncode, out.stderr) == (0, "")
    assert out.stdout == "round 1 done\nround 2 done\nround 3 done\n"
