"""report.py: the results of a test run, read from the JUnit XML files its sessions wrote.

    python scripts/report.py DIR RESULT...

Each RESULT the run expects has its file DIR/RESULT.xml. Prints a table of the results (name,
tests passed, status) and the line "tests: N passed, M failed", and exits 1 naming every result
whose file is missing or unreadable, that passed no test, or that had a failure or an error, and
every file in DIR that the run did not expect. Standard library only.
"""

from __future__ import annotations

import sys
import xml.etree.ElementTree as ET
from pathlib import Path


def counts(path: Path) -> tuple[int, int]:
    """(passed, failed) over the test suites of one file; skipped and disabled tests are neither."""
    passed = failed = 0
    for suite in ET.parse(path).getroot().iter("testsuite"):
        n = {k: int(suite.get(k, 0)) for k in ("tests", "failures", "errors", "skipped")}
        n["skipped"] += int(suite.get("disabled", 0))
        failed += n["failures"] + n["errors"]
        passed += n["tests"] - n["failures"] - n["errors"] - n["skipped"]
    return passed, failed


def status(path: Path, expected: bool) -> tuple[int, int, str]:
    """(passed, failed, "ok" or what is wrong) for one result."""
    if not path.exists():
        return 0, 0, "missing: the session did not run, or ended before writing its results"
    try:
        passed, failed = counts(path)
    except (ET.ParseError, ValueError) as e:
        return 0, 0, f"unreadable: {e}"
    if not expected:
        return passed, failed, "not expected by this run"
    if failed:
        return passed, failed, f"{failed} failed"
    return passed, failed, "ok" if passed else "ran nothing"


def main(argv: list[str]) -> int:
    if len(argv) < 2:
        sys.exit(__doc__)
    folder, expected = Path(argv[0]), argv[1:]
    extra = sorted(p.stem for p in folder.glob("*.xml") if p.stem not in expected)
    rows = [(name, *status(folder / f"{name}.xml", name not in extra)) for name in expected + extra]
    width = max(len(name) for name, *_ in rows)
    for name, passed, _, state in rows:
        print(f"{name:<{width}}  {passed:>9}  {state}")
    print(f"tests: {sum(r[1] for r in rows)} passed, {sum(r[2] for r in rows)} failed")
    bad = [name for name, *_, state in rows if state != "ok"]
    if bad:
        print(f"failed: {', '.join(bad)}", file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
