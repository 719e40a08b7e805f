"""docs/: every example runs as written, every public name is documented in the reference, the
guide's table of mistakes gives the messages the module raises, and the byte format's listings
and errors are the module's.

```python blocks run as scripts; ```pycon blocks run as doctests, so their printed results
and exception messages are checked too. A ```text block after a ```python block is a byte
listing of the `term` that block makes: hex bytes on the left of each line, a note after two
blanks.
"""

import doctest
import pathlib
import re
import traceback

import pytest

import kovel._kovel as K

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"
PAGES = ["reference.md", "guide.md", "format.md"]
TEXTS = {page: (DOCS / page).read_text(encoding="utf-8") for page in PAGES}
FENCES = {page: re.findall(r"```(\w+)\n(.*?)```", text, re.S) for page, text in TEXTS.items()}
HEADINGS = {page: re.findall(r"^#+ (.*)$", text, re.M) for page, text in TEXTS.items()}
TEXT = TEXTS["reference.md"]


def examples(kind: str) -> list[tuple[str, str, str | None]]:
    """(page, body, the listing that follows or None) of every block of this kind."""
    found = []
    for page, fences in FENCES.items():
        for k, (lang, body) in enumerate(fences):
            after = fences[k + 1] if k + 1 < len(fences) else ("", "")
            if lang == kind:
                found.append((page, body, after[1] if after[0] == "text" else None))
    return found


def ids(found: list[tuple[str, str, str | None]], kind: str) -> list[str]:
    """page-kindN, N counting the blocks of that kind on the page."""
    pages = [page for page, _, _ in found]
    return [f"{p[:-3]}-{kind}{pages[:i].count(p)}" for i, p in enumerate(pages)]


BLOCKS = examples("python")
SESSIONS = examples("pycon")


def listed_bytes(listing: str) -> bytes:
    """The bytes of a listing: the hex pairs that open each line."""
    pattern = re.compile(r"((?:[0-9a-f]{2} )*[0-9a-f]{2})(?: {2,}\S.*)?")
    rows = [pattern.fullmatch(line) for line in listing.splitlines()]
    assert all(rows), listing
    return bytes.fromhex(" ".join(row.group(1) for row in rows if row))


def slug(heading: str) -> str:
    """The anchor a Markdown renderer gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")


def test_pages_have_examples() -> None:
    least = {"reference.md": (15, 7, 0), "guide.md": (8, 2, 0), "format.md": (7, 0, 5)}
    for page, fewest in least.items():
        langs = [lang for lang, _ in FENCES[page]]
        found = (langs.count("python"), langs.count("pycon"), langs.count("text"))
        assert all(n >= m for n, m in zip(found, fewest, strict=True)), (page, found)
    assert len(MISTAKES) >= 15


@pytest.mark.parametrize("page, code, listing", BLOCKS, ids=ids(BLOCKS, "block"))
def test_block_runs(page: str, code: str, listing: str | None, main_ns: dict[str, object]) -> None:
    ns: dict[str, object] = {"__name__": "__main__"}
    exec(compile(code, str(DOCS / page), "exec"), ns)
    if listing is not None:
        term, data = ns["term"], listed_bytes(listing)
        assert isinstance(term, K.KTerm)
        assert term.postcard_bytes().hex(" ") == data.hex(" ")
        back = K.from_postcard_bytes(data)
        assert back.postcard_bytes() == data and str(back) == str(term)


def test_every_listing_follows_the_block_of_its_term() -> None:
    for page, fences in FENCES.items():
        for k, (lang, _) in enumerate(fences):
            assert lang != "text" or (k and fences[k - 1][0] == "python"), (page, k)


@pytest.mark.parametrize("page, session, _", SESSIONS, ids=ids(SESSIONS, "session"))
def test_session_prints_what_it_shows(page: str, session: str, _, main_ns: dict[str, object]):
    test = doctest.DocTestParser().get_doctest(session, {}, page, str(DOCS / page), 0)
    assert test.examples
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def table(page: str, heading: str, k: int = 0) -> list[list[str]]:
    """The body rows of the k-th table under a heading, each a list of its cells."""
    section = TEXTS[page].split(f"\n{heading}\n", 1)[1].split("\n## ", 1)[0]
    run = re.findall(r"(?:^\|.*\|\n)+", section, re.M)[k]
    return [[c.strip() for c in line.strip("|").split(" | ")] for line in run.splitlines()[2:]]


MISTAKES = table("guide.md", "## Common mistakes, by the message you see")


@pytest.mark.parametrize(
    "message, raised_by, _, fix", MISTAKES, ids=[r[0].strip("`") for r in MISTAKES]
)
def test_mistake_gives_the_message_and_the_fix_runs(message, raised_by, _, fix, main_ns):
    def fresh() -> dict[str, object]:
        ns: dict[str, object] = {}
        exec("import pickle\nfrom kovel import *\nx = leaf('integer', '1')", ns)
        return ns

    with pytest.raises(BaseException) as ei:
        exec(raised_by.strip("`"), fresh())
    seen = traceback.format_exception_only(type(ei.value), ei.value)[-1].rstrip("\n")
    assert f"`{seen}`" == message
    for code in re.findall(r"`([^`]+)`", fix):
        exec(code, fresh())


ERRORS = table("format.md", "## Limits and errors", 1)


@pytest.mark.parametrize("data, message, _", ERRORS, ids=[r[0].strip("`") for r in ERRORS])
def test_format_error_rows(data: str, message: str, _) -> None:
    with pytest.raises(ValueError) as ei:
        K.from_postcard_bytes(bytes.fromhex(data.strip("`")))
    assert f'"{ei.value}"' == message


def test_format_error_rows_give_each_message() -> None:
    assert len({message for _, message, _ in ERRORS}) == 5


def test_every_function_has_a_heading_with_its_signature() -> None:
    functions = [
        n for n in K.__all__ if callable(getattr(K, n)) and not isinstance(getattr(K, n), type)
    ]
    assert len(functions) == 12
    for n in functions:
        assert f"`{n}{getattr(K, n).__text_signature__}`" in HEADINGS["reference.md"], n


@pytest.mark.parametrize("cls", [K.KTerm, K.Builder, K.StrCmd, K.CmdOrHole])
def test_every_class_and_method_is_documented(cls: type) -> None:
    assert any(f"`{cls.__name__}`" in h for h in HEADINGS["reference.md"])
    for m in (m for m in vars(cls) if not m.startswith("_")):
        params = getattr(cls, m).__text_signature__.replace("$self, ", "").replace("$self", "")
        assert f"{m}{params}`" in TEXT, m


def test_constants_are_documented() -> None:
    assert "Constants `NL`, `POP`, `HOLE`" in HEADINGS["reference.md"]


@pytest.mark.parametrize("page", PAGES)
def test_links_between_pages_resolve(page: str) -> None:
    links = re.findall(r"\]\(([\w.-]*)(?:#([^)]+))?\)", TEXTS[page])
    assert len(links) >= {"reference.md": 20}.get(page, 5)
    for target, anchor in links:
        target = target or page
        assert (DOCS / target).is_file(), target
        if anchor:
            assert anchor in {slug(h) for h in HEADINGS.get(target, [])}, (target, anchor)
