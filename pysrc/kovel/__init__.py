# kovel: the package face of the native core IR module kovel._kovel, re-exported whole.
# Beyond the re-export the package adds three things of its own: the version, written into
# kovel._version when the wheel is built; a copyreg reducer that lets pickle, copy and
# process pools carry a term as its postcard bytes; and PanicException under the name that
# pickle looks it up by, so that a panic in a worker reaches its pool as itself. It imports
# nothing else: the package is imported by every program that uses kovel.
import copyreg as _copyreg

from kovel._kovel import *  # noqa: F403
from kovel._kovel import KTerm as _KTerm
from kovel._kovel import __all__ as __all__
from kovel._kovel import __doc__ as __doc__
from kovel._kovel import from_postcard_bytes as _from_postcard_bytes
from kovel._version import __version__ as __version__

# Type checkers read the class below; at run time __getattr__ looks it up. The flag is deleted
# afterwards, so that it is no attribute of the package.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

    class PanicException(BaseException):
        """The exception raised when the native code of `kovel._kovel`, called from Python, panics.

        Like `SystemExit`, it derives from `BaseException`, so that it will typically propagate
        all the way through the stack and cause the Python interpreter to exit."""


del TYPE_CHECKING

# A Tuple node that asks for a child it lacks: printing it is the fault the module reports.
_BROKEN = b"\x02\x00\x00\x01\x01"


def __getattr__(name: str) -> type[BaseException]:
    """Looks up kovel.PanicException, which the module makes at its first fault."""
    if name != "PanicException":
        raise AttributeError(f"module 'kovel' has no attribute {name!r}")
    try:
        str(_from_postcard_bytes(_BROKEN))
    except BaseException as e:  # noqa: B036 - the fault is what is asked for
        if type(e).__module__ != "kovel" or type(e).__qualname__ != "PanicException":
            raise
        globals()["PanicException"] = panic = type(e)
        return panic
    raise AssertionError("printing a Tuple node that lacks its child did not fail")


def __dir__() -> list[str]:
    """The package's names with PanicException, without the two lookup functions: dir() and
    help() show the API."""
    return sorted({*globals(), "PanicException"} - {"__getattr__", "__dir__"})


def _reduce_term(term: _KTerm) -> "tuple[Callable[[bytes], _KTerm], tuple[bytes]]":
    """Reduces a term to the decoder and its bytes: unpickling decodes them afresh."""
    return _from_postcard_bytes, (term.postcard_bytes(),)


_copyreg.pickle(_KTerm, _reduce_term)
