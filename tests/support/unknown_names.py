"""The documented rule for a name that names nothing (a keyword the function does not take,
a trade request key that names no field): the message, with the known name the caller most
likely meant, as difflib finds it. The module's C++ must give the same text."""
from __future__ import annotations

import difflib
from typing import Sequence

# Names people reach for, and the field they mean.
ALIASES = {
    "stoploss": "sl", "stop_loss": "sl", "stop": "sl",
    "takeprofit": "tp", "take_profit": "tp", "target": "tp",
    "lot": "volume", "lots": "volume", "size": "volume", "qty": "volume", "quantity": "volume",
    "order_type": "type", "side": "type",
    "filling": "type_filling", "fill": "type_filling", "filling_type": "type_filling",
    "time_type": "type_time", "expiry": "expiration", "expires": "expiration",
    "magic_number": "magic", "slippage": "deviation", "stop_limit": "stoplimit",
    "position_id": "position", "by": "position_by",
}


def _hint(key: object, known: Sequence[str]) -> str | None:
    if not isinstance(key, str):
        return None
    folded = key.lower()
    if folded in known:
        return folded
    alias = ALIASES.get(folded)
    if alias in known:
        return alias
    close = difflib.get_close_matches(folded, known, n=1, cutoff=0.6)
    return close[0] if close else None


def unknown_message(key: object, what: str, known: Sequence[str]) -> str:
    """'Unknown "stoploss" key, did you mean "sl"?' (what: "key" or "argument")."""
    name = f'"{key}"' if isinstance(key, str) else repr(key)
    if len(name) > 200:
        name = name[:200] + "..."
    hint = _hint(key, known)
    return f'Unknown {name} {what}, did you mean "{hint}"?' if hint else f"Unknown {name} {what}"
