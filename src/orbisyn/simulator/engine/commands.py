"""The engine's commands: positions, orders, history, trade requests and calculations.

Each runs inside the engine's transaction, with the account brought up to now.
"""
from __future__ import annotations

import threading
from typing import Callable, Iterable, List, Optional, Tuple, TypeVar

import numpy as np

from .. import protocol
from ..commands import Reply, Request, command
from ..protocol import (
    E_FAIL, E_NOT_FOUND, E_TRADE_DISABLED, F64, OK, OK_RECORD, RANGE, U32, U64, BadRequest,
    TradeRequest, pack_check, pack_send)
from . import calc
from .book import Reject, money
from .calc import NoRate
from .model import BUY, NO_QUOTES, SELL_STOP_LIMIT, Order, Position, is_buy
from .trading import TradingEngine
from .validation import finite

T = TypeVar("T")

# Fields patched into cached position records when many are served at once.
_POS_DTYPE = np.dtype({"names": ["type", "volume", "price_open", "price_current", "profit"],
                       "formats": ["<u4", "<f8", "<f8", "<f8", "<f8"],
                       "offsets": [40, 64, 72, 96, 120], "itemsize": 320})


def _array(items: Iterable) -> bytes:
    items = list(items)
    return U32.pack(len(items)) + b"".join(x.record() for x in items)


def _range(r: Request) -> Tuple[int, int]:
    date_from, date_to = r.take(RANGE)
    r.end()
    # Whole seconds on the wire: the upper bound covers its last millisecond. Any int64
    # is a valid date, so clamp before turning it into milliseconds that SQLite can hold.
    limit = (2**63 - 1) // 1000 - 1
    date_from, date_to = (max(-limit, min(limit, d)) for d in (date_from, date_to))
    return date_from * 1000, date_to * 1000 + 999


class EngineCommands:
    """`lock`, when given, is held around each command as well (the Terminal's own lock, so
    that a login does not change under a trade)."""

    def __init__(self, engine: TradingEngine, lock: Optional[threading.RLock] = None):
        self.engine = engine
        self.lock = lock

    def around(self, call: Callable[[], T]) -> T:
        if self.lock is None:
            return self.engine.transaction(call)
        with self.lock:
            return self.engine.transaction(call)

    # ---- trade requests and calculations --------------------------------------------------
    @command(protocol.Command.ORDER_CHECK)
    def order_check(self, r: Request) -> Reply:
        eng = self.engine
        req = TradeRequest.unpack(r.data)
        try:
            fig = eng.dealer.trade(eng.acc, req, send=False)
        except Reject as e:
            return OK, pack_check(e.retcode, eng.valuation.figures(eng.acc), e.comment)
        except NoRate:
            return OK, pack_check(NO_QUOTES, eng.valuation.figures(eng.acc), "No quotes")
        return OK, pack_check(0, fig, "Done")

    @command(protocol.Command.ORDER_SEND)
    def order_send(self, r: Request) -> Reply:
        eng = self.engine
        req = TradeRequest.unpack(r.data)
        if not eng.settings.get("trade_api_allowed", True):
            return E_TRADE_DISABLED, b""
        eng.tickets.request_id += 1
        rid = eng.tickets.request_id
        try:
            done = eng.dealer.trade(eng.acc, req, send=True)
        except Reject as e:
            known = req.symbol and eng.quotes.instrument(req.symbol)
            q = eng.quotes.quote(req.symbol) if known else None
            bid, ask = q if q is not None else (0.0, 0.0)
            return OK, pack_send(e.retcode, 0, 0, 0.0, 0.0, bid, ask, e.comment, rid)
        except NoRate:
            return OK, pack_send(NO_QUOTES, 0, 0, 0.0, 0.0, 0.0, 0.0, "No quotes", rid)
        retcode, comment, deal, order, volume, price, bid, ask = done
        return OK, pack_send(retcode, deal, order, volume, price, bid, ask, comment, rid)

    def _calc_args(self, r: Request, n_prices: int):
        action = r.take(U32)
        name = r.text()
        values = [r.take(F64) for _ in range(1 + n_prices)]
        r.end()
        sym = self.engine.quotes.instrument(name) if name else None
        if sym is None:
            return None
        if action > SELL_STOP_LIMIT or not finite(*values) or values[0] < 0:
            raise BadRequest("invalid calculation arguments")
        return action, sym, values

    @command(protocol.Command.ORDER_CALC_MARGIN)
    def calc_margin(self, r: Request) -> Reply:
        args = self._calc_args(r, 1)
        if args is None:
            return E_NOT_FOUND, b""
        action, sym, (volume, price) = args
        acc = self.engine.acc
        try:
            m = self.engine.converter.margin(sym, volume, price, acc.leverage, acc.currency)
        except NoRate:
            return E_FAIL, b""
        return OK, F64.pack(money(m))

    @command(protocol.Command.ORDER_CALC_PROFIT)
    def calc_profit(self, r: Request) -> Reply:
        args = self._calc_args(r, 2)
        if args is None:
            return E_NOT_FOUND, b""
        action, sym, (volume, po, pc) = args
        acc = self.engine.acc
        try:
            pr = self.engine.converter.profit(sym, is_buy(action), volume, po, pc, acc.currency)
        except NoRate:
            return E_FAIL, b""
        return OK, F64.pack(money(pr))

    # ---- open positions and pending orders ------------------------------------------------
    def _position_array(self, positions: Optional[List[Position]] = None) -> bytes:
        """Array reply of the given positions, or of all (from the account's snapshot)."""
        eng = self.engine
        acc = eng.acc
        if positions is None:
            buf, symbols = acc.snapshot()
        else:
            buf = bytearray(U32.pack(len(positions)))
            buf += b"".join([p.static_record() for p in positions])
            symbols = [p.symbol for p in positions]
        if not symbols:
            return U32.pack(0)
        arr = np.frombuffer(buf, dtype=_POS_DTYPE, offset=4)
        distinct = set(symbols)
        names = np.array(symbols, dtype=object) if len(distinct) > 1 else None
        current, profit = arr["price_current"], arr["profit"]
        for name in distinct:
            idx = np.nonzero(names == name)[0] if names is not None else slice(None)
            q = eng.quotes.quote(name)
            sym = eng.quotes.instrument(name)
            opened = arr["price_open"][idx]
            if q is None or sym is None:
                current[idx] = opened
                profit[idx] = 0.0
                continue
            buy = arr["type"][idx] == BUY
            pc = np.where(buy, q[0], q[1])
            diff = np.where(buy, pc - opened, opened - pc)
            try:
                k = calc.profit_factor(sym) * eng.converter.rate(sym.currency_profit, acc.currency)
            except NoRate:
                k = 0.0
            current[idx] = pc
            # Same rounding as money(): scale, round half to even, unscale.
            profit[idx] = np.rint(diff * arr["volume"][idx] * k * 100.0) / 100.0
        return bytes(buf)

    @command(protocol.Command.POSITIONS_TOTAL)
    def positions_total(self, r: Request) -> Reply:
        r.end()
        return OK, U32.pack(len(self.engine.acc.positions))

    @command(protocol.Command.POSITIONS_GET)
    def positions(self, r: Request) -> Reply:
        r.end()
        return OK, self._position_array()

    @command(protocol.Command.POSITIONS_GET_BY_SYMBOL)
    def positions_symbol(self, r: Request) -> Reply:
        name = r.text()
        r.end()
        group = self.engine.acc.by_symbol.get(name, {})
        return OK, self._position_array(list(group.values()))

    @command(protocol.Command.POSITION_GET_BY_TICKET)
    def position_ticket(self, r: Request) -> Reply:
        ticket = r.take(U64)
        r.end()
        p = self.engine.acc.positions.get(ticket)
        if p is None:
            return E_NOT_FOUND, b""
        return OK_RECORD, self._position_array([p])[4:]

    def _order_record(self, o: Order) -> bytes:
        q = self.engine.quotes.quote(o.symbol)
        pc = (q[1] if is_buy(o.type) else q[0]) if q is not None else o.price_current
        return o.record(pc)

    def _order_array(self, orders: List[Order]) -> bytes:
        return U32.pack(len(orders)) + b"".join(self._order_record(o) for o in orders)

    @command(protocol.Command.ORDERS_TOTAL)
    def orders_total(self, r: Request) -> Reply:
        r.end()
        return OK, U32.pack(len(self.engine.acc.orders))

    @command(protocol.Command.ORDERS_GET)
    def orders(self, r: Request) -> Reply:
        r.end()
        return OK, self._order_array(list(self.engine.acc.orders.values()))

    @command(protocol.Command.ORDERS_GET_BY_SYMBOL)
    def orders_symbol(self, r: Request) -> Reply:
        name = r.text()
        r.end()
        return OK, self._order_array([o for o in self.engine.acc.orders.values() if o.symbol == name])

    @command(protocol.Command.ORDER_GET_BY_TICKET)
    def order_ticket(self, r: Request) -> Reply:
        ticket = r.take(U64)
        r.end()
        o = self.engine.acc.orders.get(ticket)
        if o is None:
            return E_NOT_FOUND, b""
        return OK_RECORD, self._order_record(o)

    # ---- history ---------------------------------------------------------------------------
    @command(protocol.Command.HISTORY_ORDERS_TOTAL)
    def history_orders_total(self, r: Request) -> Reply:
        lo, hi = _range(r)
        eng = self.engine
        return OK, U32.pack(eng.store.count_history_orders(eng.login_id, lo, hi))

    @command(protocol.Command.HISTORY_ORDERS_GET)
    def history_orders(self, r: Request) -> Reply:
        lo, hi = _range(r)
        eng = self.engine
        return OK, _array(eng.store.history_orders_between(eng.login_id, lo, hi))

    @command(protocol.Command.HISTORY_ORDERS_GET_BY_POSITION)
    def history_orders_position(self, r: Request) -> Reply:
        pid = r.u64()
        r.end()
        eng = self.engine
        return OK, _array(eng.store.history_orders_of_position(eng.login_id, pid))

    @command(protocol.Command.HISTORY_ORDER_GET_BY_TICKET)
    def history_order_ticket(self, r: Request) -> Reply:
        ticket = r.u64()
        r.end()
        o = self.engine.store.history_order(self.engine.login_id, ticket)
        if o is None:
            return E_NOT_FOUND, b""
        return OK_RECORD, o.record()

    @command(protocol.Command.HISTORY_DEALS_TOTAL)
    def history_deals_total(self, r: Request) -> Reply:
        lo, hi = _range(r)
        eng = self.engine
        return OK, U32.pack(eng.store.count_deals(eng.login_id, lo, hi))

    @command(protocol.Command.HISTORY_DEALS_GET)
    def history_deals(self, r: Request) -> Reply:
        lo, hi = _range(r)
        eng = self.engine
        return OK, _array(eng.store.deals_between(eng.login_id, lo, hi))

    @command(protocol.Command.HISTORY_DEALS_GET_BY_POSITION)
    def history_deals_position(self, r: Request) -> Reply:
        pid = r.u64()
        r.end()
        eng = self.engine
        return OK, _array(eng.store.deals_of_position(eng.login_id, pid))

    @command(protocol.Command.HISTORY_DEAL_GET_BY_TICKET)
    def history_deal_ticket(self, r: Request) -> Reply:
        ticket = r.u64()
        r.end()
        d = self.engine.store.deal(self.engine.login_id, ticket)
        if d is None:
            return E_NOT_FOUND, b""
        return OK_RECORD, d.record()
