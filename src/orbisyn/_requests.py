"""Keys of a trade request that name no field of it: the request goes out without them, as
the Terminal expects, but never in silence."""
from __future__ import annotations

import difflib
import warnings
from typing import Sequence


class UnknownKeyWarning(UserWarning):
    """A trade request (``order_send``/``order_check``) had keys that no request field has;
    they were not sent. Run with ``-W error::orbisyn.UnknownKeyWarning`` to refuse such a
    request before anything is sent."""


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
    if folded in _ALIASES:
        return _ALIASES[folded]
    close = difflib.get_close_matches(folded, known, n=1, cutoff=0.6)
    return close[0] if close else None


def warn_unknown_keys(keys: Sequence[object], known: Sequence[str]) -> None:
    """One warning naming every unknown key, with the closest field where one is near."""
    parts = []
    for key in keys:
        name = key if isinstance(key, str) else repr(key)
        hint = _hint(key, known)
        parts.append(f"{name}: did you mean {hint}?" if hint else name)
    # Level 2: the caller of order_send, whose call has no frame of its own.
    warnings.warn("trade request keys not sent: " + "; ".join(parts), UnknownKeyWarning,
                  stacklevel=2)
