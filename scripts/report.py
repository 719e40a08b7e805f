"""report.py DIR RESULT...: the results of a test run, from the JUnit XML files its sessions wrote.

Prints each expected result (DIR/RESULT.xml) with its count passed, of tests or of a suite's
property "unit", and status, then "tests: N passed, M failed". Exits 1 naming each result whose
file is missing or unreadable, that passed nothing or failed, and each file the run did not expect.
"""

import sys
import xml.etree.ElementTree as ET
from pathlib import Path


def result(path: Path, expected: bool) -> tuple[int, int, str, str]:
    """(passed, failed, unit, "ok" or what is wrong) over the test suites of one file."""
    if not path.exists():
        return 0, 0, "-", "missing: the session did not run, or ended before writing it"
    passed = failed = 0
    try:
        root = ET.parse(path).getroot()
        for suite in root.iter("testsuite"):
            n = {k: int(suite.get(k, 0)) for k in ("tests", "failures", "errors", "skipped")}
            skipped = n["skipped"] + int(suite.get("disabled", 0))  # CTest's disabled tests
            failed += n["failures"] + n["errors"]
            passed += n["tests"] - n["failures"] - n["errors"] - skipped
    except (ET.ParseError, ValueError) as e:
        return 0, 0, "-", f"unreadable: {e}"
    unit = next((p.get("value") for p in root.iter("property") if p.get("name") == "unit"), "tests")
    state = "not expected by this run" if not expected else f"{failed} failed" if failed else "ok"
    return passed, failed, unit, "passed nothing" if state == "ok" and not passed else state


def main(folder: Path, expected: list[str]) -> int:
    extra = sorted(p.stem for p in folder.glob("*.xml") if p.stem not in expected)
    rows = [(name, *result(folder / f"{name}.xml", name in expected)) for name in expected + extra]
    for name, passed, _, unit, state in rows:
        print(f"{name:<16}{passed:>8} {unit:<10} {state}")
    tests = [row for row in rows if row[3] == "tests"]
    print(f"tests: {sum(r[1] for r in tests)} passed, {sum(r[2] for r in rows)} failed")
    if bad := [name for name, *_, state in rows if state != "ok"]:
        print(f"failed: {', '.join(bad)}", file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1]), sys.argv[2:]) if len(sys.argv) > 2 else __doc__)
