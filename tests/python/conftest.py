"""Shared fixtures for the kovel._kovel tests."""

import os
import sys

import pytest
from hypothesis import settings

# The helper module sits beside this file; importlib import mode does not put it on the path.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from termmodel import BROKEN  # noqa: E402

import kovel._kovel as K  # noqa: E402

settings.register_profile("kovel", max_examples=150, deadline=None)
settings.load_profile("kovel")


@pytest.fixture(scope="session")
def panic_type():
    try:
        str(K.from_postcard_bytes(BROKEN))
    except BaseException as e:  # noqa: B036 - the class is reachable only this way
        return type(e)
    pytest.fail("printing a Tuple with a HOLE and no child did not fail")


@pytest.fixture
def main_ns():
    """__main__'s namespace, restored to its former keys and values afterwards."""
    import __main__

    ns = __main__.__dict__
    saved = dict(ns)
    yield ns
    ns.clear()
    ns.update(saved)
