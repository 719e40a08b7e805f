"""scripts/report.py over made-up JUnit files, in the shapes pytest and CTest write."""

import subprocess
import sys
from pathlib import Path

import pytest

REPORT = Path(__file__).resolve().parents[2] / "scripts" / "report.py"


def pytest_file(tests=3, failures=0, errors=0, skipped=0):
    return (
        '<?xml version="1.0" encoding="utf-8"?><testsuites><testsuite name="pytest" '
        f'errors="{errors}" failures="{failures}" skipped="{skipped}" tests="{tests}">'
        "</testsuite></testsuites>"
    )


def ctest_file(tests=4, failures=0, disabled=0, skipped=0):
    return (
        f'<?xml version="1.0" encoding="UTF-8"?><testsuite name="Linux" tests="{tests}" '
        f'failures="{failures}" disabled="{disabled}" skipped="{skipped}"></testsuite>'
    )


def counted_file(count, unit, failures=0):
    """What a step that is not a test runner writes (a fuzz run, the stable-ABI check)."""
    return (
        f'<testsuite tests="{count}" failures="{failures}"><properties>'
        f'<property name="unit" value="{unit}"/></properties></testsuite>'
    )


def report(folder, files, expected):
    for name, text in files.items():
        (folder / f"{name}.xml").write_text(text)
    run = subprocess.run(
        [sys.executable, str(REPORT), str(folder), *expected], capture_output=True, text=True
    )
    return run.returncode, run.stdout.splitlines(), run.stderr


def test_every_expected_result_passed(tmp_path):
    files = {
        "core": ctest_file(tests=4, disabled=1),
        "fuzz": counted_file(20000, "executions"),
        "tests-3.12": pytest_file(3, skipped=1),
    }
    status, lines, err = report(tmp_path, files, ["core", "fuzz", "tests-3.12"])
    assert (status, err) == (0, "")
    assert lines == [
        "core                   3 tests      ok",
        "fuzz               20000 executions ok",
        "tests-3.12             2 tests      ok",
        "tests: 5 passed, 0 failed",
    ]


@pytest.mark.parametrize(
    "files, state",
    [
        ({}, "missing: the session did not run, or ended before writing it"),
        ({"sanitize": pytest_file(tests=0)}, "passed nothing"),
        ({"sanitize": pytest_file(tests=2, skipped=2)}, "passed nothing"),
        ({"sanitize": pytest_file(tests=5, failures=1, errors=1)}, "2 failed"),
        ({"sanitize": ctest_file(tests=5, failures=1)}, "1 failed"),
        ({"sanitize": counted_file(80, "symbols", failures=1)}, "1 failed"),
        ({"sanitize": "<testsuite"}, "unreadable: unclosed token: line 1, column 0"),
        ({"sanitize": '<testsuite tests="x"/>'}, "unreadable: invalid literal for int()"),
    ],
    ids=["missing", "empty", "skipped", "failure-and-error", "ctest", "counted", "xml", "count"],
)
def test_a_result_that_is_not_ok_fails_the_run_by_name(tmp_path, files, state):
    status, lines, err = report(tmp_path, {"core": ctest_file(), **files}, ["core", "sanitize"])
    assert status == 1
    assert lines[0].split() == ["core", "4", "tests", "ok"]
    assert lines[1].startswith("sanitize") and state in lines[1]
    assert err == "failed: sanitize\n"


def test_a_result_the_run_did_not_expect_fails_it(tmp_path):
    status, lines, err = report(tmp_path, {"core": ctest_file(), "fuzz": ctest_file(9)}, ["core"])
    assert status == 1
    assert lines[1].split() == ["fuzz", "9", "tests", "not", "expected", "by", "this", "run"]
    assert lines[2] == "tests: 13 passed, 0 failed"
    assert err == "failed: fuzz\n"
