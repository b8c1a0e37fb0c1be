"""Positions, orders and deals, their wire records, and the trading codes."""
from __future__ import annotations

from dataclasses import dataclass, fields
from typing import Optional

from ..protocol import DEAL, ORDER, POSITION, encode_text

# Order types
BUY, SELL, BUY_LIMIT, SELL_LIMIT, BUY_STOP, SELL_STOP, BUY_STOP_LIMIT, SELL_STOP_LIMIT, CLOSE_BY = range(9)
# Order states
STARTED, PLACED, CANCELED, PARTIAL, FILLED, REJECTED, EXPIRED = range(7)
# Reasons
REASON_CLIENT, REASON_API, REASON_SL, REASON_TP, REASON_SO = 0, 3, 4, 5, 6
# Deal types and entries
DEAL_BUY, DEAL_SELL, DEAL_BALANCE = 0, 1, 2
ENTRY_IN, ENTRY_OUT, ENTRY_INOUT, ENTRY_OUT_BY = 0, 1, 2, 3
# Trade actions
ACTION_DEAL, ACTION_PENDING, ACTION_SLTP, ACTION_MODIFY, ACTION_REMOVE, ACTION_CLOSE_BY = 1, 5, 6, 7, 8, 10
# Trade return codes
REQUOTE, REJECT, PLACED_OK, DONE, ERROR = 10004, 10006, 10008, 10009, 10011
INVALID, INVALID_VOLUME, INVALID_PRICE, INVALID_STOPS = 10013, 10014, 10015, 10016
TRADE_DISABLED, MARKET_CLOSED, NO_MONEY, NO_QUOTES, INVALID_EXPIRATION = 10017, 10018, 10019, 10021, 10022
NO_CHANGES, FROZEN, INVALID_FILL, LIMIT_ORDERS, LIMIT_VOLUME = 10025, 10029, 10030, 10033, 10034
INVALID_ORDER, POSITION_CLOSED, CLOSE_VOLUME = 10035, 10036, 10038
LONG_ONLY, SHORT_ONLY, CLOSE_ONLY = 10042, 10043, 10044


def is_buy(order_type: int) -> bool:
    return order_type % 2 == 0


def _s(ms: int) -> int:
    return ms // 1000


@dataclass(eq=False)
class Position:
    ticket: int
    login: int
    symbol: str
    type: int
    volume: float
    price_open: float
    sl: float
    tp: float
    time_msc: int
    time_update_msc: int
    magic: int
    reason: int
    comment: str
    swap: float = 0.0
    external_id: str = ""

    def __post_init__(self) -> None:
        self._rec: Optional[bytes] = None

    def touch(self) -> None:
        self._rec = None

    def record(self, price_current: float = 0.0, profit: float = 0.0) -> bytes:
        return POSITION.pack(
            self.ticket, _s(self.time_msc), self.time_msc, _s(self.time_update_msc),
            self.time_update_msc, self.type, self.magic, self.ticket, self.reason,
            self.volume, self.price_open, self.sl, self.tp, price_current, self.swap, profit,
            encode_text(self.symbol, 32), encode_text(self.comment, 32), encode_text(self.external_id, 32))

    def static_record(self) -> bytes:
        """The record with zero current price and profit, kept until the position changes."""
        if self._rec is None:
            self._rec = self.record()
        return self._rec


@dataclass(eq=False)
class Order:
    ticket: int
    login: int
    symbol: str
    type: int
    type_time: int
    type_filling: int
    state: int
    magic: int
    position_id: int
    position_by_id: int
    reason: int
    volume_initial: float
    volume_current: float
    price_open: float
    sl: float
    tp: float
    price_current: float
    price_stoplimit: float
    time_setup_msc: int
    time_done_msc: int
    time_expiration: int
    comment: str
    active: bool = False
    external_id: str = ""

    def record(self, price_current: Optional[float] = None) -> bytes:
        pc = self.price_current if price_current is None else price_current
        return ORDER.pack(
            self.ticket, _s(self.time_setup_msc), self.time_setup_msc, _s(self.time_done_msc),
            self.time_done_msc, self.time_expiration, self.type, self.type_time,
            self.type_filling, self.state, self.magic, self.position_id, self.position_by_id,
            self.reason, self.volume_initial, self.volume_current, self.price_open, self.sl,
            self.tp, pc, self.price_stoplimit, encode_text(self.symbol, 32),
            encode_text(self.comment, 32), encode_text(self.external_id, 32))


@dataclass(eq=False)
class Deal:
    ticket: int
    login: int
    order: int
    time_msc: int
    type: int
    entry: int
    magic: int
    position_id: int
    reason: int
    volume: float
    price: float
    commission: float
    swap: float
    profit: float
    fee: float
    symbol: str
    comment: str
    external_id: str = ""

    def record(self) -> bytes:
        return DEAL.pack(
            self.ticket, self.order, _s(self.time_msc), self.time_msc, self.type, self.entry,
            self.magic, self.position_id, self.reason, self.volume, self.price, self.commission,
            self.swap, self.profit, self.fee, encode_text(self.symbol, 32),
            encode_text(self.comment, 32), encode_text(self.external_id, 32))


POSITION_COLUMNS = [f.name for f in fields(Position)]
ORDER_COLUMNS = [f.name for f in fields(Order)]
DEAL_COLUMNS = [f.name for f in fields(Deal)]
