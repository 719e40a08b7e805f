# _kovel.pyi: type stub for the native module kovel._kovel; its docstrings are the module's own.
"""kovel's core IR, exposed to Python as the native `kovel._kovel` module
(re-exported by the `kovel` package's `__init__.py`)."""

from collections.abc import Sequence
from typing import Any, Final, NoReturn, SupportsIndex, final

__all__ = [
    "KTerm",
    "StrCmd",
    "CmdOrHole",
    "Builder",
    "tb",
    "leaf",
    "sym",
    "quote",
    "unquote",
    "cmd",
    "write",
    "push",
    "name",
    "klift",
    "klift_html",
    "from_postcard_bytes",
    "NL",
    "POP",
    "HOLE",
]

# None of the four classes can be called ("cannot create 'builtins.KTerm' instances"): each
# __new__ asks for a keyword argument that no value can fill, so that type checkers flag a call.
@final
class KTerm:
    """A term of the `kovel` package, held as a shared reference to an immutable core term."""

    def __new__(cls, *, cannot_create: NoReturn) -> KTerm: ...
    def coparse(self) -> str:
        """Serialize the term back to source code."""

    def postcard_bytes(self) -> bytes:
        """Serialize this term to postcard bytes for the heterogeneous `py↓` protocol."""

    def reduce(self) -> Any:
        """Eval this term's source and return the resulting Python value (the `↓` operator)."""

@final
class StrCmd:
    """A single string command (`write`/`NL`/`push`/`POP`). Command objects are only ever passed by reference, never converted to a value."""  # noqa: E501

    def __new__(cls, *, cannot_create: NoReturn) -> StrCmd: ...

@final
class CmdOrHole:
    """A `StrCmd` or a child placeholder (`HOLE`), used in `quote`/`unquote` cmds."""

    def __new__(cls, *, cannot_create: NoReturn) -> CmdOrHole: ...

@final
class Builder:
    """A fluent term builder, mirroring the core builder `KTermBuilder`."""

    def __new__(cls, *, cannot_create: NoReturn) -> Builder: ...
    def c(self, child: KTerm) -> Builder:
        """Splice a child term."""

    def w(self, s: str) -> Builder:
        """Write literal source text."""

    def n(self) -> Builder:
        """Emit a newline (respecting the current prefix)."""

    def p(self, s: str) -> Builder:
        """Push an indentation prefix."""

    def x(self) -> Builder:
        """Pop an indentation prefix."""

    def e(self, child: KTerm) -> Builder:
        """Emit a child term; for a `KTerm` this is the same as `c`."""

    def b(self) -> KTerm:
        """Build the term. Consumes the builder."""

def tb(tag: str) -> Builder:
    """Start building a tuple node with the given tag."""

def leaf(tag: str, code: str) -> KTerm:
    """A leaf node: a tag whose only content is `code`."""

def sym(s: str) -> KTerm:
    """A symbol: a leaf whose tag and code are the same."""

def quote(
    tag: str, index: SupportsIndex, lang: str, term: KTerm, cmds: Sequence[CmdOrHole]
) -> KTerm:
    """A quoted fragment."""

def unquote(
    tag: str, index: SupportsIndex, lang: str, term: KTerm, cmds: Sequence[CmdOrHole]
) -> KTerm:
    """An unquoted splice."""

def cmd(c: StrCmd) -> CmdOrHole:
    """Wrap a `StrCmd` as a `CmdOrHole`."""

def write(s: str) -> StrCmd:
    """A `Write` command."""

def push(s: str) -> StrCmd:
    """A `Push` command."""

def name(s: str) -> KTerm:
    """An identifier term (the `⟨N⟩` operator)."""

def klift(value: SupportsIndex | str | KTerm) -> KTerm:
    """Lift a Python value to a term that reconstructs it (the `↑` operator).
    Supports `int`, `str`, and existing `KTerm`s."""

def klift_html(value: SupportsIndex | str | KTerm) -> KTerm:
    """Lift a Python value to an HTML term (the `↑` operator with an `html`
    splice target). Strings become entity-escaped `text` leaves — inert as
    text content or as a double-quoted attribute value — and terms pass
    through unchanged, so already-built fragments can be lifted too."""

def from_postcard_bytes(data: bytes) -> KTerm:
    """Deserialize a `KTerm` from postcard bytes (the `rs↓` protocol in Python)."""

NL: Final[StrCmd]
POP: Final[StrCmd]
HOLE: Final[CmdOrHole]
