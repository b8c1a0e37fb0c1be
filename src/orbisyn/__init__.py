"""Python connector to the Orbisyn Terminal.

Every function and record type of the extension ``orbisyn._core`` is available here.
"""
from __future__ import annotations

import importlib as _importlib
import typing as _typing

from ._requests import UnknownKeyWarning as UnknownKeyWarning
from ._params import params as params
from ._request_types import TradeRequestDict as TradeRequestDict
from ._waits import sleep as sleep
from ._waits import wait_bar as wait_bar
from .errors import TerminalError as TerminalError
from .errors import TerminalTimeoutError as TerminalTimeoutError

if _typing.TYPE_CHECKING:
    from ._core import *  # noqa: F401,F403
__version__ = "0.2.0"

_OWN = ["UnknownKeyWarning", "TerminalError", "TerminalTimeoutError", "TradeRequestDict", "params",
        "sleep", "wait_bar"]


# The extension loads at the first use of one of its names, not with the package: the
# simulated Terminal, the path helpers and the documentation tools are pure Python and
# must import where the extension is not built.
def _load_core() -> None:
    core = _importlib.import_module(f"{__name__}._core")
    _importlib.import_module(f"{__name__}._records")  # makes the records picklable
    names = [name for name in dir(core) if not name.startswith("_")]
    here = globals()
    for name in names:
        here[name] = getattr(core, name)  # later look-ups no longer come through __getattr__
    here["__all__"] = names + _OWN


def __getattr__(name: str) -> _typing.Any:
    if name.startswith("_") and name not in ("_core", "__all__"):
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    try:
        _load_core()
    except ImportError as exc:
        if name == "__all__":
            return list(_OWN)
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}: the extension "
                             f"{__name__}._core does not import ({exc})") from exc
    try:
        return globals()[name]
    except KeyError:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}") from None


def __dir__() -> list[str]:
    try:
        _load_core()
    except ImportError:
        pass
    return sorted(globals())
