"""The trade request as a TypedDict, for type checkers and editors: a misspelt key such as
``stoploss`` is flagged before the program runs (the module refuses it when it runs)."""
from __future__ import annotations

from typing import TYPE_CHECKING, SupportsFloat, SupportsIndex, TypedDict, Union

if TYPE_CHECKING:  # the package imports where the extension (and what it needs) does not
    import datetime

    import numpy

# The value rules of the arguments: an integer is anything with __index__, a float any real
# number, a time seconds or a datetime.
_Int = SupportsIndex
_Float = Union[SupportsFloat, SupportsIndex]
_Time = Union[SupportsIndex, SupportsFloat, "datetime.datetime", "numpy.datetime64"]


class TradeRequestDict(TypedDict, total=False):
    """The keys of a request for `orbisyn.order_send` and `orbisyn.order_check`, all optional
    (a key left out is sent as 0, 0.0 or an empty string); the fields of `orbisyn.TradeRequest`."""

    action: _Int
    magic: _Int
    order: _Int
    symbol: str
    volume: _Float
    price: _Float
    stoplimit: _Float
    sl: _Float
    tp: _Float
    deviation: _Int
    type: _Int
    type_filling: _Int
    type_time: _Int
    expiration: _Time
    comment: str
    position: _Int
    position_by: _Int
