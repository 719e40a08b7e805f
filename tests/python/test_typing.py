"""The stub and the package as a type checker sees them (mypy --strict on small programs)."""

import pytest

api = pytest.importorskip("mypy.api")

CLASSES = ["KTerm", "StrCmd", "CmdOrHole", "Builder"]

ACCEPTED = """
import operator
import kovel
from kovel import HOLE, KTerm, klift, klift_html, leaf, quote, unquote

class Small:
    def __index__(self) -> int:
        return 3

names: list[str] = kovel.__all__
version: str = kovel.__version__
t: KTerm = quote("q", Small(), "py", leaf("n", "1"), [HOLE])
u: KTerm = unquote("u", True, "py", t, (HOLE,))
v: KTerm = klift(Small())
w: KTerm = klift_html(operator.index(7))
"""


@pytest.fixture(scope="module")
def cache(tmp_path_factory: pytest.TempPathFactory) -> str:
    return str(tmp_path_factory.mktemp("mypy-cache"))


def check(program: str, cache: str) -> tuple[str, int]:
    out, err, status = api.run(
        ["--strict", "--no-error-summary", "--cache-dir", cache, "-c", program]
    )
    return out + err, status


def test_stub_accepts_what_the_module_accepts(cache: str) -> None:
    assert check(ACCEPTED, cache) == ("", 0)


@pytest.mark.parametrize(
    "line, complaint",
    [
        ("klift(1.5)", 'Argument 1 to "klift" has incompatible type "float"'),
        ('quote("q", "0", "py", leaf("n", "1"), [])', 'Argument 2 to "quote"'),
        ("x: int = kovel.__version__", "Incompatible types in assignment"),
        *[(f"kovel.{c}()", f'Missing named argument "cannot_create" for "{c}"') for c in CLASSES],
    ],
)
def test_stub_refuses_what_the_module_refuses(line: str, complaint: str, cache: str) -> None:
    program = f"import kovel\nfrom kovel import klift, leaf, quote\n{line}\n"
    out, status = check(program, cache)
    assert status == 1 and complaint in out, out
