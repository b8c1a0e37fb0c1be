"""Python connector to the Orbisyn Terminal.

Every function and record type of the extension ``orbisyn._core`` is available here.
"""
from . import _core, _records  # noqa: F401  (_records makes the records picklable)
from ._core import *  # noqa: F401,F403
from ._requests import UnknownKeyWarning as UnknownKeyWarning
from ._typing import TradeRequestDict as TradeRequestDict
from .errors import TerminalError as TerminalError
from .errors import TerminalTimeoutError as TerminalTimeoutError

__all__ = [name for name in dir(_core) if not name.startswith("_")]
__all__ += ["UnknownKeyWarning", "TerminalError", "TerminalTimeoutError", "TradeRequestDict"]
__version__ = "0.2.0"
