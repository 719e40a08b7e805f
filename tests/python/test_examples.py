"""Every program in examples/ runs as a script and succeeds; parallel.py with each start method."""

import pathlib
import subprocess
import sys

import pytest

FOLDER = pathlib.Path(__file__).resolve().parents[2] / "examples"
EXAMPLES = sorted(FOLDER.glob("*.py"))


def run(example, *args):
    return subprocess.run(
        [sys.executable, str(example), *args], capture_output=True, text=True, timeout=120
    )


@pytest.mark.parametrize("example", EXAMPLES, ids=[e.name for e in EXAMPLES])
def test_example_runs(example):
    done = run(example)
    assert (done.returncode, done.stderr) == (0, "")


def test_examples_are_found():
    assert {"tour.py", "parallel.py"} <= {e.name for e in EXAMPLES}


# Run as a script: only then does a spawn or forkserver worker replace sys.modules["__main__"]
# (a worker of `python -m pytest` keeps its own), which is what the example's run() must survive.
@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_parallel_example(method):
    done = run(FOLDER / "parallel.py", method)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        "def power_1(x):\n    return x\n\n"
        "def power_2(x):\n    return x * x\n\n"
        "def power_3(x):\n    return x * x * x\n\n"
        "def power_4(x):\n    return x * x * x * x\n"
        "[power_1(3), power_2(3), power_3(3), power_4(3)] == [3, 9, 27, 81]\n"
    )
