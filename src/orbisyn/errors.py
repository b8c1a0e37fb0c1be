"""Exceptions of the pure-Python layers over the extension (the extension itself never raises
for Terminal or link failures: it returns None or False and sets ``last_error()``)."""
from __future__ import annotations

from typing import Optional


class TerminalError(Exception):
    """A call that failed: ``code`` and ``message`` are the pair ``last_error()`` gave right
    after it, ``function`` the name of the module function (when known)."""

    code: int
    message: str
    function: Optional[str]

    def __init__(self, code: int, message: str, function: Optional[str] = None) -> None:
        super().__init__(code, message, function)
        self.code = code
        self.message = message
        self.function = function

    def __str__(self) -> str:
        where = f"{self.function}: " if self.function else ""
        return f"{where}{self.message} ({self.code})"


class TerminalTimeoutError(TerminalError, TimeoutError):
    """A call that ran out of its time limit (code -10005, "IPC timeout"); the link was
    closed. Also a ``TimeoutError``."""
