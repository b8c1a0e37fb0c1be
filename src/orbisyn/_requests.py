"""Kept for programs that name ``orbisyn.UnknownKeyWarning``."""
from __future__ import annotations


class UnknownKeyWarning(UserWarning):
    """No longer issued: a trade request with a key that names no request field is refused
    (``None``, and ``last_error()`` gives -2 with a message naming the key) before anything
    is sent. Kept so that programs which name it, e.g. in a warnings filter, keep working."""
