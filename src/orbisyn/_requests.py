"""Names that name nothing: the message of a call refused for a keyword argument that the
function does not take, or a trade request key that names no request field, with the known
name the caller most likely meant."""
from __future__ import annotations

import difflib
from typing import Sequence


class UnknownKeyWarning(UserWarning):
    """No longer issued: a trade request with a key that names no request field is refused
    (``None``, and ``last_error()`` gives -2 with a message naming the key) before anything
    is sent. Kept so that programs which name it, e.g. in a warnings filter, keep working."""


# Names people reach for, and the field they mean.
_ALIASES = {
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
    alias = _ALIASES.get(folded)
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

