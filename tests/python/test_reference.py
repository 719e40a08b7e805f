"""docs/reference.md: every example runs as written, and every public name is documented.

```python blocks run as scripts; ```pycon blocks run as doctests, so their printed results
and exception messages are checked too.
"""

import doctest
import pathlib
import re

import pytest

import kovel._kovel as K

REFERENCE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "reference.md"
TEXT = REFERENCE.read_text(encoding="utf-8")
BLOCKS = re.findall(r"```python\n(.*?)```", TEXT, re.S)
SESSIONS = re.findall(r"```pycon\n(.*?)```", TEXT, re.S)
HEADINGS = [h for h in re.findall(r"^#+ (.*)$", TEXT, re.M)]


def slug(heading: str) -> str:
    """The anchor a Markdown renderer gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")


def test_reference_has_examples() -> None:
    assert len(BLOCKS) >= 15
    assert len(SESSIONS) >= 7


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_reference_block_runs(code: str, main_ns: dict[str, object]) -> None:
    exec(compile(code, str(REFERENCE), "exec"), {"__name__": "__main__"})


@pytest.mark.parametrize("session", SESSIONS, ids=[f"session{i}" for i in range(len(SESSIONS))])
def test_reference_session_prints_what_it_shows(session: str, main_ns: dict[str, object]) -> None:
    test = doctest.DocTestParser().get_doctest(session, {}, "reference", str(REFERENCE), 0)
    assert test.examples
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_every_function_has_a_heading_with_its_signature() -> None:
    functions = [
        n for n in K.__all__ if callable(getattr(K, n)) and not isinstance(getattr(K, n), type)
    ]
    assert len(functions) == 12
    for n in functions:
        assert f"`{n}{getattr(K, n).__text_signature__}`" in HEADINGS, n


@pytest.mark.parametrize("cls", [K.KTerm, K.Builder, K.StrCmd, K.CmdOrHole])
def test_every_class_and_method_is_documented(cls: type) -> None:
    assert any(f"`{cls.__name__}`" in h for h in HEADINGS)
    for m in (m for m in vars(cls) if not m.startswith("_")):
        params = getattr(cls, m).__text_signature__.replace("$self, ", "").replace("$self", "")
        assert f"{m}{params}`" in TEXT, m


def test_constants_are_documented() -> None:
    assert "Constants `NL`, `POP`, `HOLE`" in HEADINGS


def test_internal_links_resolve() -> None:
    anchors = {slug(h) for h in HEADINGS}
    links = re.findall(r"\]\(#([^)]+)\)", TEXT)
    assert len(links) >= 20
    assert sorted(set(links) - anchors) == []
