"""import_bench.py: what `import kovel` costs a program, next to `import json`.

Each round starts a fresh interpreter per module, alternating, with `-X importtime`, and reads
the cumulative time of the top-level import (everything it imported that was not loaded
already). The figure is the best of the rounds; the ratio kovel / json is the goal (at most 1).
Also lists what importing kovel loads beyond a bare interpreter's start.

    python bench/import_bench.py [--rounds N]
"""

from __future__ import annotations

import argparse
import subprocess
import sys


def cumulative_us(module: str) -> int:
    """The cumulative import time of module, in microseconds, in a fresh interpreter."""
    out = subprocess.run(
        [sys.executable, "-X", "importtime", "-c", f"import {module}"],
        capture_output=True,
        text=True,
        check=True,
    )
    for line in out.stderr.splitlines():
        # "import time:   self |  cumulative | name", the name indented by nesting.
        fields = line.split("|")
        if len(fields) == 3 and fields[2].strip() == module and fields[2].startswith(" " + module):
            return int(fields[1])
    raise RuntimeError(f"no import time reported for {module}:\n{out.stderr}")


def loaded_beyond_start(module: str) -> list[str]:
    code = (
        "import sys; before = set(sys.modules); "
        f"import {module}; print(*sorted(set(sys.modules) - before))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return out.stdout.split()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    for module in ("json", "kovel"):  # the first runs write the bytecode caches
        cumulative_us(module)
    best = {"json": 10**12, "kovel": 10**12}
    for _ in range(args.rounds):
        for module in best:
            best[module] = min(best[module], cumulative_us(module))
    print(f"Python {sys.version.split()[0]}, best of {args.rounds} rounds")
    for module, us in best.items():
        print(f"  import {module:6} {us / 1000:7.2f} ms")
    ratio = best["kovel"] / best["json"]
    print(f"  kovel / json: {ratio:.2f} (goal: at most 1.00, {'met' if ratio <= 1 else 'missed'})")
    print("  importing kovel loads:", " ".join(loaded_beyond_start("kovel")))


if __name__ == "__main__":
    main()
