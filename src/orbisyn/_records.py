"""Pickling and copying of the record types: they live in the extension under their short
names (``TradePosition``, not ``orbisyn._core.TradePosition``), which pickle cannot look up,
so each is rebuilt by name from its values. ``fields`` names their fields in order on every
Python (``__match_args__`` does from Python 3.10 on)."""
from __future__ import annotations

import copyreg
from typing import Any, Tuple

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


def fields(record_type: type) -> Tuple[str, ...]:
    """The field names of a record type, in order."""
    names = getattr(record_type, "__match_args__", None)
    return tuple(names) if names is not None else field_names(record_type)


def field_names(record_type: type) -> Tuple[str, ...]:
    """The fields in order, told by a record made of its own field positions (Python 3.9's
    records have no __match_args__, and their types take no new attributes)."""
    probe = record_type(tuple(range(record_type.n_fields)))  # type: ignore[attr-defined]
    named = [(getattr(probe, n), n) for n in dir(record_type)
             if type(getattr(record_type, n, None)).__name__ == "member_descriptor"]
    return tuple(n for _, n in sorted(named))


for _name in NAMES:
    copyreg.pickle(getattr(_core, _name), _reduce)
