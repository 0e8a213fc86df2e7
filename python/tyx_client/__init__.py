"""Python access to the tyx client library (see help(tyx_client._native) for the value tables).

The classes and functions live in the compiled extension tyx_client._native and are re-exported
here; tyx_client.aio holds the asyncio client. The stubs next to this file (py.typed) give type
checkers and editors every signature.
"""

import typing as _typing

from . import _native
from ._native import *  # noqa: F401,F403

__doc__ = _native.__doc__
__version__: str = _native.__version__
__all__ = [name for name in dir(_native) if not name.startswith("_")]

# Classes report the package as their module, the name users import them from.
for _name in __all__:
    _value = getattr(_native, _name)
    if isinstance(_value, type) and getattr(_value, "__module__", "") == _native.__name__:
        try:
            _value.__module__ = __name__
        except (AttributeError, TypeError):
            pass
del _name, _value

if _typing.TYPE_CHECKING:
    from . import aio as aio


def __getattr__(name: str) -> _typing.Any:
    # tyx_client.aio without an import of its own; it is loaded (with asyncio) on first use.
    if name == "aio":
        import importlib

        return importlib.import_module(__name__ + ".aio")
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
