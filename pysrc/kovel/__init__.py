# kovel: the package face of the native core IR module kovel._kovel, re-exported whole.
# Beyond the re-export the package adds two things of its own: the version from the
# installed metadata, and a copyreg reducer that lets pickle, copy and process pools
# carry a term as its postcard bytes.
import copyreg as _copyreg
from collections.abc import Callable as _Callable
from importlib.metadata import version as _version

from kovel._kovel import *  # noqa: F403
from kovel._kovel import KTerm as _KTerm
from kovel._kovel import __all__ as __all__
from kovel._kovel import __doc__ as __doc__
from kovel._kovel import from_postcard_bytes as _from_postcard_bytes

__version__: str = _version("kovel")


def _reduce_term(term: _KTerm) -> tuple[_Callable[[bytes], _KTerm], tuple[bytes]]:
    """Reduces a term to the decoder and its bytes: unpickling decodes them afresh."""
    return _from_postcard_bytes, (term.postcard_bytes(),)


_copyreg.pickle(_KTerm, _reduce_term)
