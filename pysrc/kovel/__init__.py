# kovel: the package face of the native core IR module kovel._kovel, re-exported whole.
from kovel._kovel import *  # noqa: F401,F403
from kovel._kovel import __all__, __doc__  # noqa: F401
