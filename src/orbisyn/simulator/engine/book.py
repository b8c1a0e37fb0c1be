"""Account state in memory: open positions, pending orders and per-symbol sums; trade plans."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

from .model import BUY, Order, Position
from ..protocol import U32

NETTING, HEDGING = 0, 2
EPS = 1e-9


def money(x: float) -> float:
    """Two decimals, rounded half to even on the scaled value (as numpy's round)."""
    return round(x * 100.0) / 100.0


def vol(x: float) -> float:
    return round(x, 8)


class Reject(Exception):
    """A trade request refused with a return code."""

    def __init__(self, retcode: int, comment: str):
        super().__init__(comment)
        self.retcode = retcode
        self.comment = comment


@dataclass
class Account:
    login: int
    cfg: dict
    balance: float
    credit: float
    processed_ms: int
    created_ms: int

    def __post_init__(self) -> None:
        self.positions: Dict[int, Position] = {}
        self.by_symbol: Dict[str, Dict[int, Position]] = {}
        self.orders: Dict[int, Order] = {}
        self.aggs: Dict[str, Tuple[float, float, float, float]] = {}
        self.stops: Dict[str, Dict[int, Position]] = {}
        self.swaps = 0.0  # accrued swaps of the open positions, part of the equity
        # Each symbol's part of the figures and what it was worked out from (figures.py).
        self.figures: Dict[str, tuple] = {}
        self._snapshot: Optional[Tuple[bytearray, List[str]]] = None

    def touch(self, p: Position) -> None:
        p.touch()
        self._snapshot = None

    def snapshot(self) -> Tuple[bytearray, List[str]]:
        """The array reply of all positions and their symbols, kept until a position changes.

        Only the current price and profit fields are rewritten on each use, in place: the
        buffer's pages stay mapped, which matters more than the copy at 10 000 positions.
        """
        if self._snapshot is None:
            ps = list(self.positions.values())
            buf = bytearray(U32.pack(len(ps)))
            buf += b"".join([p.static_record() for p in ps])
            self._snapshot = (buf, [p.symbol for p in ps])
        return self._snapshot

    @property
    def currency(self) -> str:
        return str(self.cfg.get("currency", "USD"))

    @property
    def leverage(self) -> int:
        return int(self.cfg.get("leverage", 100) or 1)

    @property
    def commission_per_lot(self) -> float:
        return float(self.cfg.get("commission_per_lot", 0.0) or 0.0)

    def commission(self, volume: float) -> float:
        """The charge of one deal of `volume` lots: negative, in the account currency."""
        per_lot = self.commission_per_lot
        return money(-per_lot * volume) if per_lot else 0.0

    @property
    def hedging(self) -> bool:
        return int(self.cfg.get("margin_mode", HEDGING)) == HEDGING

    # Cached aggregates follow each change, so a trade costs the same with 10 positions
    # or 10 000.
    def _agg_add(self, p: Position, sign: float) -> None:
        a = self.aggs.get(p.symbol)
        if a is None:
            return
        bv, bvo, sv, svo = a
        if p.type == BUY:
            bv, bvo = bv + sign * p.volume, bvo + sign * p.volume * p.price_open
        else:
            sv, svo = sv + sign * p.volume, svo + sign * p.volume * p.price_open
        self.aggs[p.symbol] = (bv, bvo, sv, svo)

    def _watch(self, p: Position) -> None:
        group = self.stops.setdefault(p.symbol, {})
        if p.sl > 0 or p.tp > 0:
            group[p.ticket] = p
        else:
            group.pop(p.ticket, None)

    def add_position(self, p: Position) -> None:
        self._snapshot = None
        self.positions[p.ticket] = p
        self.by_symbol.setdefault(p.symbol, {})[p.ticket] = p
        self._agg_add(p, 1.0)
        self._watch(p)

    def drop_position(self, p: Position) -> None:
        self._snapshot = None
        del self.positions[p.ticket]
        group = self.by_symbol[p.symbol]
        del group[p.ticket]
        self.stops.get(p.symbol, {}).pop(p.ticket, None)
        if group:
            self._agg_add(p, -1.0)
        else:
            del self.by_symbol[p.symbol]
            self.aggs.pop(p.symbol, None)
        if not self.positions:
            self.swaps = 0.0  # no drift left behind

    def resize(self, p: Position, volume: float, price_open: float) -> None:
        self._agg_add(p, -1.0)
        p.volume, p.price_open = volume, price_open
        self._agg_add(p, 1.0)
        self.touch(p)

    def changed(self, p: Position) -> None:
        """After a change of stops."""
        self.touch(p)
        self._watch(p)

    def watched(self, symbol: str) -> List[Position]:
        """Positions of the symbol with a stop loss or take profit."""
        group = self.stops.get(symbol)
        return list(group.values()) if group else []

    def agg(self, symbol: str) -> Tuple[float, float, float, float]:
        """Volume and volume-weighted open price sums per side: profit and margin are linear in them."""
        a = self.aggs.get(symbol)
        if a is None:
            bv = bvo = sv = svo = 0.0
            for p in self.by_symbol.get(symbol, {}).values():
                if p.type == BUY:
                    bv += p.volume
                    bvo += p.volume * p.price_open
                else:
                    sv += p.volume
                    svo += p.volume * p.price_open
            a = self.aggs[symbol] = (bv, bvo, sv, svo)
        return a


@dataclass
class Plan:
    """What a market deal would do to the account, computed before anything changes."""
    symbol: str
    buy: bool
    volume: float
    price: float
    entry: int
    pos: Optional[Position]
    close_volume: float
    remaining: float          # volume left in `pos` after the deal (reversal: 0)
    new_price: float          # price_open of `pos` after an increase
    open_volume: float        # volume of a new (or reversed) position
    realized: float
    opens: bool               # adds exposure, so needs margin
    commission: float = 0.0   # charged by the deal (negative)

    def position_id(self, new_ticket: int) -> int:
        return self.pos.ticket if self.pos is not None else new_ticket

    @property
    def swap(self) -> float:
        """The part of the position's accrued swap that the deal books to the balance."""
        p = self.pos
        if p is None or not self.close_volume or not p.swap:
            return 0.0
        if self.close_volume >= p.volume - EPS:
            return p.swap
        return money(p.swap * self.close_volume / p.volume)
