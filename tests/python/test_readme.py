"""The README's tour runs as written, so it cannot go stale."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def test_readme_has_a_tour() -> None:
    assert len(BLOCKS) >= 4


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(code: str) -> None:
    exec(compile(code, str(README), "exec"), {"__name__": "__main__"})
