"""Pickling and copying of the record types: they live in the extension under their short
names (``TradePosition``, not ``orbisyn._core.TradePosition``), which pickle cannot look up,
so each is rebuilt by name from its values."""
from __future__ import annotations

import copyreg
from typing import Any

from . import _core

# The record types in the order the extension registers them (its one list).
NAMES = tuple(name for name, value in vars(_core).items() if isinstance(value, type))


def rebuild(name: str, values: tuple[Any, ...]) -> Any:
    """The record of type ``name`` with these values (what unpickling calls)."""
    if name not in NAMES:
        raise ValueError(f"not an orbisyn record type: {name!r}")
    return getattr(_core, name)(values)


def _reduce(record: Any) -> tuple[Any, tuple[str, tuple[Any, ...]]]:
    return rebuild, (type(record).__name__, tuple(record))


for _name in NAMES:
    copyreg.pickle(getattr(_core, _name), _reduce)
