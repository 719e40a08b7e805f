"""The kovel package around the module: version, re-exports, pickling, copying, processes."""

import copy
import importlib.metadata
import multiprocessing
import pathlib
import pickle
import pydoc
import re
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor

import pytest
from hypothesis import given
from hypothesis import strategies as st
from termmodel import BROKEN, buildable_terms, enc, make

import kovel
import kovel._kovel as K

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
# Quote 'q' 7 'py' around sym 'x', cmds Write '(' HOLE Write ')', span 3..300.
SPANNED = bytes.fromhex("000171070270790201780001000001780300000128010000012901" + "03ac02")


def test_version_is_the_installed_metadata_and_the_projects():
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    project = text.split("[project]", 1)[1].split("\n[", 1)[0]
    declared = re.search(r'^version = "([^"]+)"$', project, re.M)
    assert declared is not None
    assert kovel.__version__ == declared.group(1)
    assert kovel.__version__ == importlib.metadata.version("kovel")


def test_import_leaves_importlib_metadata_and_typing_unloaded():
    code = "import sys, kovel; print([m in sys.modules for m in ('importlib.metadata', 'typing')])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == "[False, False]\n"


def test_dir_and_help_show_only_the_public_names():
    public = sorted([*K.__all__, "PanicException"])
    assert [n for n in dir(kovel) if not n.startswith("_")] == public
    text = pydoc.render_doc(kovel, renderer=pydoc.plaintext)
    functions = text.split("\nFUNCTIONS\n")[1].split("\nDATA\n")[0]
    module_functions = [n for n in K.__all__ if type(getattr(K, n)) is type(len)]
    assert re.findall(r"^    (\w+)\(", functions, re.M) == sorted(module_functions)


def test_package_re_exports_the_module():
    assert kovel.__all__ is K.__all__
    assert kovel.__doc__ is K.__doc__
    assert kovel.__doc__.startswith("kovel's core IR")
    for n in K.__all__:
        assert getattr(kovel, n) is getattr(K, n), n
    ns: dict[str, object] = {}
    exec("from kovel import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == sorted(K.__all__)
    with pytest.raises(AttributeError) as ei:
        kovel.PanicExceptions  # noqa: B018 - only PanicException is looked up on demand
    assert str(ei.value) == "module 'kovel' has no attribute 'PanicExceptions'"


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("data", [enc(("T", "integer", (), (("W", "42"),))), SPANNED, BROKEN])
def test_pickle_carries_the_bytes(protocol, data):
    t = K.from_postcard_bytes(data)
    back = pickle.loads(pickle.dumps(t, protocol))
    assert type(back) is K.KTerm and back is not t
    assert back.postcard_bytes() == data


@given(buildable_terms, st.sampled_from(PROTOCOLS))
def test_pickle_round_trip(model, protocol):
    t = make(model)
    back = pickle.loads(pickle.dumps(t, protocol))
    assert back.postcard_bytes() == t.postcard_bytes() == enc(model)
    assert str(back) == str(t)


@pytest.mark.parametrize("protocol", range(3, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_is_the_bytes_and_a_reference_to_the_decoder(protocol):
    t = K.tb("call").c(K.name("f")).w("(").c(K.klift("a" * 300)).w(")").b()
    data = t.postcard_bytes()
    p = pickle.dumps(t, protocol)
    assert data in p
    assert b"from_postcard_bytes" in p and b"kovel._kovel" in p
    assert len(p) - len(data) < 64


def test_copy_and_deepcopy_give_an_equal_term():
    t = K.quote("q", 3, "py", K.klift("s"), [K.cmd(K.write("<")), K.HOLE, K.cmd(K.write(">"))])
    for c in (copy.copy(t), copy.deepcopy(t)):
        assert type(c) is K.KTerm and c is not t
        assert c.postcard_bytes() == t.postcard_bytes()
        assert str(c) == '<"s">'
    pair = copy.deepcopy([t, t])
    assert pair[0] is pair[1] and pair[0] is not t


@pytest.mark.parametrize("make_obj", [lambda: K.NL, lambda: K.HOLE, lambda: K.tb("t")])
def test_other_objects_still_refuse_pickling(make_obj):
    obj = make_obj()
    for attempt in (pickle.dumps, copy.copy):
        with pytest.raises(TypeError) as e:
            attempt(obj)
        assert str(e.value) == f"cannot pickle 'builtins.{type(obj).__name__}' object"


def test_a_million_deep_term_pickles_and_unpickles():
    depth = 1_000_000
    t = K.sym("x")
    for _ in range(depth):
        t = K.quote("", 0, "", t, [K.HOLE])
    back = pickle.loads(pickle.dumps(t, pickle.HIGHEST_PROTOCOL))
    data = back.postcard_bytes()
    assert len(data) == 7 * depth + 9
    assert data == t.postcard_bytes()
    assert str(back) == "x"


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_terms_cross_a_process_pool(method):
    t = K.tb("t").w("[").c(K.klift(1)).w(", ").c(K.klift("b")).w("]").b()
    context = multiprocessing.get_context(method)
    with ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        # klift passes a term through: it travels to the worker and back.
        back = pool.submit(K.klift, t).result()
        lifted = pool.submit(K.klift, "c").result()
    assert back.postcard_bytes() == t.postcard_bytes()
    assert str(back) == '[1, "b"]' and str(lifted) == '"c"'
