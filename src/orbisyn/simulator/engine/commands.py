"""The engine's wire handlers: each reads its request payload and answers (status, payload).

They run inside the engine's transaction, with the account brought up to now.
"""
from __future__ import annotations

from typing import List, Optional, Tuple

import numpy as np

from .. import protocol as P
from . import calc
from .book import Reject, money
from .calc import NoRate
from .model import BUY, NO_QUOTES, SELL_STOP_LIMIT, Order, Position, is_buy
from .validation import finite

# Fields patched into cached position records when many are served at once.
_POS_DTYPE = np.dtype({"names": ["type", "volume", "price_open", "price_current", "profit"],
                       "formats": ["<u4", "<f8", "<f8", "<f8", "<f8"],
                       "offsets": [40, 64, 72, 96, 120], "itemsize": 320})


def check(eng, r: P.Payload):
    req = P.TradeRequest.unpack(r.data)
    try:
        fig = eng.trade(req, send=False)
    except Reject as e:
        return P.OK, P.pack_check(e.retcode, eng.figures(eng.acc), e.comment)
    except NoRate:
        return P.OK, P.pack_check(NO_QUOTES, eng.figures(eng.acc), "No quotes")
    return P.OK, P.pack_check(0, fig, "Done")


def send(eng, r: P.Payload):
    req = P.TradeRequest.unpack(r.data)
    if not eng.settings.get("trade_api_allowed", True):
        return P.E_TRADE_DISABLED, b""
    eng.request_id += 1
    rid = eng.request_id
    try:
        retcode, comment, deal, order, volume, price, bid, ask = eng.trade(req, send=True)
    except Reject as e:
        q = eng.quote(req.symbol) if req.symbol and eng.instrument(req.symbol) else None
        bid, ask = q if q is not None else (0.0, 0.0)
        return P.OK, P.pack_send(e.retcode, 0, 0, 0.0, 0.0, bid, ask, e.comment, rid)
    except NoRate:
        return P.OK, P.pack_send(NO_QUOTES, 0, 0, 0.0, 0.0, 0.0, 0.0, "No quotes", rid)
    return P.OK, P.pack_send(retcode, deal, order, volume, price, bid, ask, comment, rid)


def _calc_args(eng, r: P.Payload, n_prices: int):
    action = r.take(P.U32)
    name = r.text()
    values = [r.take(P.F64) for _ in range(1 + n_prices)]
    r.end()
    sym = eng.instrument(name) if name else None
    if sym is None:
        return None
    if action > SELL_STOP_LIMIT or not finite(*values) or values[0] < 0:
        raise P.BadRequest("invalid calculation arguments")
    return action, sym, values


def margin(eng, r: P.Payload):
    args = _calc_args(eng, r, 1)
    if args is None:
        return P.E_NOT_FOUND, b""
    action, sym, (volume, price) = args
    acc = eng.acc
    try:
        m = eng.rates.margin(sym, volume, price, acc.leverage, acc.currency)
    except NoRate:
        return P.E_FAIL, b""
    return P.OK, P.F64.pack(money(m))


def profit(eng, r: P.Payload):
    args = _calc_args(eng, r, 2)
    if args is None:
        return P.E_NOT_FOUND, b""
    action, sym, (volume, po, pc) = args
    acc = eng.acc
    try:
        pr = eng.rates.profit(sym, is_buy(action), volume, po, pc, acc.currency)
    except NoRate:
        return P.E_FAIL, b""
    return P.OK, P.F64.pack(money(pr))


def _position_records(eng, positions: Optional[List[Position]] = None) -> bytes:
    """Array reply of the given positions, or of all (from the account's snapshot)."""
    if positions is None:
        buf, symbols = eng.acc.snapshot()
    else:
        buf = bytearray(P.U32.pack(len(positions)))
        buf += b"".join([p.static_record() for p in positions])
        symbols = [p.symbol for p in positions]
    if not symbols:
        return P.U32.pack(0)
    arr = np.frombuffer(buf, dtype=_POS_DTYPE, offset=4)
    distinct = set(symbols)
    names = np.array(symbols, dtype=object) if len(distinct) > 1 else None
    acc = eng.acc
    current, profit = arr["price_current"], arr["profit"]
    for name in distinct:
        idx = np.nonzero(names == name)[0] if names is not None else slice(None)
        q = eng.quote(name)
        sym = eng.instrument(name)
        opened = arr["price_open"][idx]
        if q is None or sym is None:
            current[idx] = opened
            profit[idx] = 0.0
            continue
        buy = arr["type"][idx] == BUY
        pc = np.where(buy, q[0], q[1])
        diff = np.where(buy, pc - opened, opened - pc)
        try:
            k = calc.profit_factor(sym) * eng.rates.rate(sym.currency_profit, acc.currency)
        except NoRate:
            k = 0.0
        current[idx] = pc
        # Same rounding as money(): scale, round half to even, unscale.
        profit[idx] = np.rint(diff * arr["volume"][idx] * k * 100.0) / 100.0
    return bytes(buf)


def positions_total(eng, r: P.Payload):
    r.end()
    return P.OK, P.U32.pack(len(eng.acc.positions))


def positions(eng, r: P.Payload):
    r.end()
    return P.OK, _position_records(eng)


def positions_symbol(eng, r: P.Payload):
    name = r.text()
    r.end()
    group = eng.acc.by_symbol.get(name, {})
    return P.OK, _position_records(eng, list(group.values()))


def position_ticket(eng, r: P.Payload):
    ticket = r.take(P.U64)
    r.end()
    p = eng.acc.positions.get(ticket)
    if p is None:
        return P.E_NOT_FOUND, b""
    return P.OK_RECORD, _position_records(eng, [p])[4:]


def _order_record(eng, o: Order) -> bytes:
    q = eng.quote(o.symbol)
    pc = (q[1] if is_buy(o.type) else q[0]) if q is not None else o.price_current
    return o.record(pc)


def _order_array(eng, orders: List[Order]) -> bytes:
    return P.U32.pack(len(orders)) + b"".join(_order_record(eng, o) for o in orders)


def orders_total(eng, r: P.Payload):
    r.end()
    return P.OK, P.U32.pack(len(eng.acc.orders))


def orders(eng, r: P.Payload):
    r.end()
    return P.OK, _order_array(eng, list(eng.acc.orders.values()))


def orders_symbol(eng, r: P.Payload):
    name = r.text()
    r.end()
    return P.OK, _order_array(eng, [o for o in eng.acc.orders.values() if o.symbol == name])


def order_ticket(eng, r: P.Payload):
    ticket = r.take(P.U64)
    r.end()
    o = eng.acc.orders.get(ticket)
    if o is None:
        return P.E_NOT_FOUND, b""
    return P.OK_RECORD, _order_record(eng, o)


def _range(r: P.Payload) -> Tuple[int, int]:
    date_from, date_to = r.take(P.RANGE)
    r.end()
    # Whole seconds on the wire: the upper bound covers its last millisecond. Any int64
    # is a valid date, so clamp before turning it into milliseconds that SQLite can hold.
    limit = (2**63 - 1) // 1000 - 1
    date_from, date_to = (max(-limit, min(limit, d)) for d in (date_from, date_to))
    return date_from * 1000, date_to * 1000 + 999


def history_orders_total(eng, r: P.Payload):
    lo, hi = _range(r)
    return P.OK, P.U32.pack(eng.store.count_history_orders(eng.login_id, lo, hi))


def history_orders(eng, r: P.Payload):
    lo, hi = _range(r)
    return P.OK, _records(eng.store.history_orders_between(eng.login_id, lo, hi))


def history_orders_position(eng, r: P.Payload):
    pid = r.u64()
    r.end()
    return P.OK, _records(eng.store.history_orders_of_position(eng.login_id, pid))


def history_order_ticket(eng, r: P.Payload):
    ticket = r.u64()
    r.end()
    o = eng.store.history_order(eng.login_id, ticket)
    if o is None:
        return P.E_NOT_FOUND, b""
    return P.OK_RECORD, o.record()


def history_deals_total(eng, r: P.Payload):
    lo, hi = _range(r)
    return P.OK, P.U32.pack(eng.store.count_deals(eng.login_id, lo, hi))


def history_deals(eng, r: P.Payload):
    lo, hi = _range(r)
    return P.OK, _records(eng.store.deals_between(eng.login_id, lo, hi))


def history_deals_position(eng, r: P.Payload):
    pid = r.u64()
    r.end()
    return P.OK, _records(eng.store.deals_of_position(eng.login_id, pid))


def history_deal_ticket(eng, r: P.Payload):
    ticket = r.u64()
    r.end()
    d = eng.store.deal(eng.login_id, ticket)
    if d is None:
        return P.E_NOT_FOUND, b""
    return P.OK_RECORD, d.record()


def _records(items) -> bytes:
    return P.U32.pack(len(items)) + b"".join(x.record() for x in items)


HANDLERS = {
    P.CMD_POSITIONS_TOTAL: positions_total, P.CMD_POSITIONS: positions,
    P.CMD_POSITIONS_SYMBOL: positions_symbol, P.CMD_POSITION_TICKET: position_ticket,
    P.CMD_ORDERS_TOTAL: orders_total, P.CMD_ORDERS: orders, P.CMD_ORDERS_SYMBOL: orders_symbol,
    P.CMD_ORDER_TICKET: order_ticket,
    P.CMD_HISTORY_ORDERS_TOTAL: history_orders_total, P.CMD_HISTORY_ORDERS: history_orders,
    P.CMD_HISTORY_ORDERS_POSITION: history_orders_position,
    P.CMD_HISTORY_ORDER_TICKET: history_order_ticket,
    P.CMD_HISTORY_DEALS_TOTAL: history_deals_total, P.CMD_HISTORY_DEALS: history_deals,
    P.CMD_HISTORY_DEALS_POSITION: history_deals_position,
    P.CMD_HISTORY_DEAL_TICKET: history_deal_ticket,
    P.CMD_ORDER_CHECK: check, P.CMD_ORDER_SEND: send, P.CMD_CALC_MARGIN: margin,
    P.CMD_CALC_PROFIT: profit,
}
