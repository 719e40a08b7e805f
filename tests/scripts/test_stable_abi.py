"""scripts/stable_abi.py on a small library: a documented name, a private helper that the limited
headers declare, and the names that must fail the check."""

import shutil
import subprocess
import sys
import sysconfig
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

CHECK = Path(__file__).resolve().parents[2] / "scripts" / "stable_abi.py"
CC = ["cc", "-DPy_LIMITED_API=0x030A0000", f"-I{sysconfig.get_paths()['include']}"]
# Py_DECREF under the 3.10 limited API calls _Py_Dealloc, which the limited headers declare.
SOURCE = """
#include <Python.h>
void PyKovel_Undocumented(void);
void _PyKovel_Undeclared(void);
PyObject* use(void) {
  PyObject* o = PyLong_FromLong(1);
  Py_DECREF(o);
  %s
  return NULL;
}
"""

pytestmark = pytest.mark.skipif(not shutil.which("cc") or not shutil.which("nm"), reason="no cc")


def check(tmp_path, calls):
    doc = tmp_path / "stable.html"
    listed = ["PyLong_FromLong()", *(f"PyDummy_{i}()" for i in range(500))]
    entry = '<code class="xref c c-func docutils"><span class="pre">{}</span>'
    doc.write_text('<section id="contents-of-limited-api">' + "".join(map(entry.format, listed)))
    (tmp_path / "lib.c").write_text(SOURCE % calls)
    lib = tmp_path / "lib.so"
    subprocess.run([*CC, "-shared", "-fPIC", "-o", lib, tmp_path / "lib.c"], check=True)
    junit = tmp_path / "abi.xml"
    run = subprocess.run(
        [sys.executable, CHECK, lib, "--doc", doc, "--junit", junit, "--", *CC],
        capture_output=True,
        text=True,
    )
    failed = {
        case.get("name")
        for case in ET.parse(junit).getroot().iter("testcase")
        if case.find("failure") is not None
    }
    return run.returncode, run.stdout, failed


def test_documented_names_and_declared_private_helpers_pass(tmp_path):
    status, out, failed = check(tmp_path, "")
    assert (status, failed) == (0, set())
    assert "2 imported symbols checked against 501 documented" in out


def test_undocumented_and_undeclared_names_fail(tmp_path):
    status, out, failed = check(tmp_path, "PyKovel_Undocumented(); _PyKovel_Undeclared();")
    assert status == 1
    assert failed == {"PyKovel_Undocumented", "_PyKovel_Undeclared"}
    assert out.endswith(
        ": 2 outside the stable ABI\n"
        "  not in the stable ABI: PyKovel_Undocumented\n"
        "  not in the stable ABI: _PyKovel_Undeclared\n"
    )
