"""The module surface: attributes, signatures, the exception type."""

import inspect

import pytest

import voskel
from voskel import _core


def test_core_version():
    assert _core.core_version() == "0.1.12"
    assert voskel.core_version() == "0.1.12"
    with pytest.raises(TypeError):
        _core.core_version(1)
    assert str(inspect.signature(_core.core_version)) == "()"
    assert _core.core_version.__doc__ is None


def test_voskel_error_type():
    err = _core.VoskelError
    assert err.__module__ == "voskel_core"
    assert err.__name__ == "VoskelError"
    assert err.__bases__ == (Exception,)
    assert err.__doc__ is None
    assert str(err("some text")) == "some text"
