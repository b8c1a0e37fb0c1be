"""Trade requests: validation of each action against the account, then its execution."""
from __future__ import annotations

import dataclasses
from typing import Tuple

from . import validation as V
from .book import EPS, Account, Plan, Reject, money, vol
from .calc import NoRate
from .model import (
    ACTION_CLOSE_BY, ACTION_DEAL, ACTION_MODIFY, ACTION_PENDING, ACTION_REMOVE, ACTION_SLTP, BUY,
    BUY_STOP_LIMIT, CANCELED, CLOSE_BY, CLOSE_VOLUME, DONE, ENTRY_IN, ENTRY_INOUT, ENTRY_OUT,
    ENTRY_OUT_BY, FILLED, INVALID, INVALID_ORDER, INVALID_PRICE, LIMIT_ORDERS, LIMIT_VOLUME, MARKET_CLOSED,
    NO_CHANGES, NO_MONEY, NO_QUOTES, PLACED, PLACED_OK, POSITION_CLOSED, REASON_API, REQUOTE, SELL,
    SELL_STOP_LIMIT, TRADE_DISABLED, BUY_LIMIT, BUY_STOP, SELL_LIMIT, SELL_STOP, Deal, Order,
    Position, is_buy)
from ..protocol import TradeRequest


class Requests:
    """Part of TradingEngine: plans, checks and executes trade requests."""

    def plan(self, acc: Account, sym, buy: bool, volume: float, price: float,
             position: int) -> Plan:
        """What a market deal of `volume` lots at `price` would do; raises Reject."""
        plan = self._plan_deal(acc, sym, buy, volume, price, position)
        plan.commission = acc.commission(volume)
        return plan

    def _plan_deal(self, acc: Account, sym, buy: bool, volume: float, price: float,
                   position: int) -> Plan:
        name = sym.name
        if acc.hedging:
            if position:
                p = acc.positions.get(position)
                if p is None:
                    raise Reject(POSITION_CLOSED, "Position doesn't exist")
                if p.symbol != name:
                    raise Reject(INVALID, "Position belongs to another symbol")
                if (p.type == BUY) == buy:
                    raise Reject(INVALID, "Order type doesn't close the position")
                if volume > p.volume + EPS:
                    raise Reject(CLOSE_VOLUME, "Volume exceeds the position")
                realized = money(self.rates.profit(sym, p.type == BUY, volume, p.price_open,
                                                    price, acc.currency))
                return Plan(name, buy, volume, price, ENTRY_OUT, p, volume, vol(p.volume - volume),
                            p.price_open, 0.0, realized, False)
            return Plan(name, buy, volume, price, ENTRY_IN, None, 0.0, 0.0, 0.0, volume, 0.0, True)
        group = acc.by_symbol.get(name)
        p = next(iter(group.values())) if group else None
        if position and (p is None or p.ticket != position):
            raise Reject(POSITION_CLOSED, "Position doesn't exist")
        if p is None:
            return Plan(name, buy, volume, price, ENTRY_IN, None, 0.0, 0.0, 0.0, volume, 0.0, True)
        if (p.type == BUY) == buy:
            total = vol(p.volume + volume)
            avg = (p.volume * p.price_open + volume * price) / total
            return Plan(name, buy, volume, price, ENTRY_IN, p, 0.0, total, avg, 0.0, 0.0, True)
        closed = min(volume, p.volume)
        realized = money(self.rates.profit(sym, p.type == BUY, closed, p.price_open, price,
                                            acc.currency))
        if volume > p.volume + EPS:
            return Plan(name, buy, volume, price, ENTRY_INOUT, p, p.volume, 0.0, 0.0,
                        vol(volume - p.volume), realized, True)
        return Plan(name, buy, volume, price, ENTRY_OUT, p, closed, vol(p.volume - closed),
                    p.price_open, 0.0, realized, False)

    def execute(self, acc: Account, plan: Plan, order: Order, reason: int, t_ms: int,
                sl: float, tp: float, comment: str, magic: int) -> Deal:
        store = self.store
        p = plan.pos
        pid = plan.position_id(order.ticket)
        deal = Deal(self.new_ticket(), acc.login, order.ticket, t_ms, 0 if plan.buy else 1, plan.entry,
                    magic, pid, reason, plan.volume, plan.price, plan.commission, plan.swap,
                    plan.realized, 0.0, plan.symbol, comment)
        store.add_deal(deal)
        if plan.realized or deal.swap or deal.commission:
            acc.balance = money(acc.balance + plan.realized + deal.swap + deal.commission)
        if deal.swap:
            acc.swaps -= deal.swap
            p.swap = money(p.swap - deal.swap)
            acc.touch(p)
        if p is not None:
            if plan.remaining > 0:
                acc.resize(p, plan.remaining, plan.new_price)
                if plan.entry == ENTRY_IN:
                    if sl > 0:
                        p.sl = sl
                    if tp > 0:
                        p.tp = tp
                p.time_update_msc = t_ms
                acc.changed(p)
                store.save_position(p)
            elif plan.entry == ENTRY_INOUT:
                acc.drop_position(p)
                q = Position(p.ticket, acc.login, plan.symbol, BUY if plan.buy else SELL,
                             plan.open_volume, plan.price, sl, tp, t_ms, t_ms, magic, reason,
                             comment)
                acc.add_position(q)
                store.save_position(q)
            else:
                acc.drop_position(p)
                store.delete_position(p.ticket)
        elif plan.open_volume > 0:
            q = Position(order.ticket, acc.login, plan.symbol, BUY if plan.buy else SELL,
                         plan.open_volume, plan.price, sl, tp, t_ms, t_ms, magic, reason, comment)
            acc.add_position(q)
            store.save_position(q)
        order.position_id = pid
        return deal

    def _symbol(self, req: TradeRequest):
        sym = self.instrument(req.symbol) if req.symbol else None
        if sym is None:
            raise Reject(INVALID, "Unknown symbol")
        return sym

    def _market_open(self, sym) -> Tuple[float, float]:
        if int(getattr(sym, "trade_mode", 4)) == 0:
            raise Reject(TRADE_DISABLED, "Trade disabled")
        if not self.market.is_trading(sym.name, self.now):
            raise Reject(MARKET_CLOSED, "Market closed")
        q = self.quote(sym.name)
        if q is None:
            raise Reject(NO_QUOTES, "No quotes")
        acc = self.acc
        try:
            self.rates.rate(sym.currency_profit, acc.currency)
            self.rates.margin(sym, 1.0, q[1], acc.leverage, acc.currency)
        except NoRate:
            raise Reject(NO_QUOTES, "No quotes to convert into the account currency") from None
        return q

    def trade(self, req: TradeRequest, send: bool):
        """Validate the request; a check answers the account figures after it, a send applies it
        and answers (retcode, comment, deal, order, volume, price, bid, ask). Raises Reject."""
        action = req.action
        if action == ACTION_DEAL:
            return self._deal(req, send)
        if action == ACTION_PENDING:
            return self._pending(req, send)
        if action == ACTION_SLTP:
            return self._sltp(req, send)
        if action == ACTION_MODIFY:
            return self._modify(req, send)
        if action == ACTION_REMOVE:
            return self._remove(req, send)
        if action == ACTION_CLOSE_BY:
            return self._close_by(req, send)
        raise Reject(INVALID, "Unsupported trade action")

    def _deal(self, req: TradeRequest, send: bool):
        acc = self.acc
        sym = self._symbol(req)
        if req.type not in (BUY, SELL):
            raise Reject(INVALID, "Invalid order type")
        V.check_order_mode(sym, 1)
        bid, ask = self._market_open(sym)
        volume = V.check_volume(sym, req.volume)
        V.check_filling(sym, req.type_filling, False)
        buy = req.type == BUY
        price = ask if buy else bid
        plan = self.plan(acc, sym, buy, volume, price, req.position)
        opens_buy = None
        if plan.opens:
            opens_buy = buy
        V.check_direction(sym, opens_buy)
        if not V.finite(req.price) or req.price < 0:
            raise Reject(INVALID_PRICE, "Invalid price")
        if req.price > 0 and abs(req.price - price) > req.deviation * V.point(sym) + 1e-3 * V.point(sym):
            raise Reject(REQUOTE, "Requote")
        sl, tp = V.norm(sym, req.sl), V.norm(sym, req.tp)
        if plan.opens:
            V.check_stops(sym, buy, bid if buy else ask, sl, tp)
            limit = float(getattr(sym, "volume_limit", 0.0) or 0.0)
            if limit > 0:
                bv, _, sv, _ = self.plan_agg(acc, plan)
                if (bv if buy else sv) > limit + EPS:
                    raise Reject(LIMIT_VOLUME, "Volume limit reached")
            fig = self.figures(acc, plan)
            if fig["margin_free"] < 0:
                raise Reject(NO_MONEY, "No money")
        if not send:
            return self.figures(acc, plan)
        t = self.now
        o = Order(self.new_ticket(), acc.login, sym.name, req.type, 0, req.type_filling, FILLED,
                  req.magic, 0, 0, REASON_API, volume, 0.0, price, sl if plan.opens else 0.0,
                  tp if plan.opens else 0.0, price, 0.0, t, t, 0, req.comment, False)
        deal = self.execute(acc, plan, o, REASON_API, t, sl, tp, req.comment, req.magic)
        self.store.save_order(o)
        return DONE, "Request executed", deal.ticket, o.ticket, volume, price, bid, ask

    def _pending(self, req: TradeRequest, send: bool):
        acc = self.acc
        sym = self._symbol(req)
        otype = req.type
        if otype not in (BUY_LIMIT, SELL_LIMIT, BUY_STOP, SELL_STOP, BUY_STOP_LIMIT, SELL_STOP_LIMIT):
            raise Reject(INVALID, "Invalid order type")
        V.check_order_mode(sym, {2: 2, 3: 2, 4: 4, 5: 4, 6: 8, 7: 8}[otype])
        q = self._market_open(sym)
        buy = is_buy(otype)
        V.check_direction(sym, buy)
        volume = V.check_volume(sym, req.volume)
        V.check_filling(sym, req.type_filling, True)
        price = V.norm(sym, req.price) if V.finite(req.price) else req.price
        stoplimit = V.norm(sym, req.stoplimit) if V.finite(req.stoplimit) else req.stoplimit
        V.pending_prices(sym, otype, price, stoplimit, q)
        ref = stoplimit if otype in (BUY_STOP_LIMIT, SELL_STOP_LIMIT) else price
        sl, tp = V.norm(sym, req.sl), V.norm(sym, req.tp)
        V.check_stops(sym, buy, ref, sl, tp)
        t = self.now
        expiration = V.expiration(sym, req.type_time, req.expiration, t)
        limit = int(acc.cfg.get("limit_orders", 200) or 0)
        if limit and len(acc.orders) >= limit:
            raise Reject(LIMIT_ORDERS, "Pending orders limit reached")
        fill_price = stoplimit if otype in (BUY_STOP_LIMIT, SELL_STOP_LIMIT) else price
        if not send:
            return self.figures(acc, self.plan(acc, sym, buy, volume, fill_price, 0))
        o = Order(self.new_ticket(), acc.login, sym.name, otype, req.type_time, req.type_filling, PLACED,
                  req.magic, 0, 0, REASON_API, volume, volume, price, sl, tp, q[1] if buy else q[0],
                  stoplimit if otype in (BUY_STOP_LIMIT, SELL_STOP_LIMIT) else 0.0, t, 0,
                  expiration, req.comment, True)
        acc.orders[o.ticket] = o
        self.store.save_order(o)
        return PLACED_OK, "Request placed", 0, o.ticket, volume, price, q[0], q[1]

    def _find_position(self, req: TradeRequest) -> Position:
        acc = self.acc
        if req.position:
            p = acc.positions.get(req.position)
        elif not acc.hedging and req.symbol:
            group = acc.by_symbol.get(req.symbol)
            p = next(iter(group.values())) if group else None
        else:
            raise Reject(INVALID, "Position not specified")
        if p is None:
            raise Reject(POSITION_CLOSED, "Position doesn't exist")
        if req.symbol and req.symbol != p.symbol:
            raise Reject(INVALID, "Position belongs to another symbol")
        return p

    def _sltp(self, req: TradeRequest, send: bool):
        acc = self.acc
        p = self._find_position(req)
        sym = self.instrument(p.symbol)
        bid, ask = self._market_open(sym)
        close = bid if p.type == BUY else ask
        sl, tp = V.norm(sym, req.sl), V.norm(sym, req.tp)
        V.check_stops(sym, p.type == BUY, close, sl, tp)
        V.check_freeze(sym, p.sl, close)
        V.check_freeze(sym, p.tp, close)
        if sl == p.sl and tp == p.tp:
            raise Reject(NO_CHANGES, "No changes")
        if not send:
            return self.figures(acc)
        p.sl, p.tp = sl, tp
        p.time_update_msc = self.now
        acc.changed(p)
        self.store.save_position(p)
        return DONE, "Request executed", 0, 0, p.volume, 0.0, bid, ask

    def _active_order(self, req: TradeRequest) -> Order:
        o = self.acc.orders.get(req.order)
        if o is None:
            raise Reject(INVALID_ORDER, "Invalid or unknown order")
        if req.symbol and req.symbol != o.symbol:
            raise Reject(INVALID, "Order belongs to another symbol")
        return o

    def _modify(self, req: TradeRequest, send: bool):
        acc = self.acc
        o = self._active_order(req)
        sym = self.instrument(o.symbol)
        q = self._market_open(sym)
        buy = is_buy(o.type)
        V.check_freeze(sym, o.price_open, q[1] if buy else q[0])
        price = V.norm(sym, req.price) if V.finite(req.price) else req.price
        stoplimit = V.norm(sym, req.stoplimit) if V.finite(req.stoplimit) else req.stoplimit
        if o.type not in (BUY_STOP_LIMIT, SELL_STOP_LIMIT):
            stoplimit = 0.0
        V.pending_prices(sym, o.type, price, stoplimit, q)
        sl, tp = V.norm(sym, req.sl), V.norm(sym, req.tp)
        V.check_stops(sym, buy, stoplimit if stoplimit else price, sl, tp)
        expiration = V.expiration(sym, req.type_time, req.expiration, self.now)
        if (price, stoplimit, sl, tp, req.type_time, expiration) == (
                o.price_open, o.price_stoplimit, o.sl, o.tp, o.type_time, o.time_expiration):
            raise Reject(NO_CHANGES, "No changes")
        if not send:
            return self.figures(acc)
        o.price_open, o.price_stoplimit, o.sl, o.tp = price, stoplimit, sl, tp
        o.type_time, o.time_expiration = req.type_time, expiration
        self.store.save_order(o)
        return DONE, "Request executed", 0, o.ticket, o.volume_current, price, q[0], q[1]

    def _remove(self, req: TradeRequest, send: bool):
        acc = self.acc
        o = self._active_order(req)
        sym = self.instrument(o.symbol)
        q = self.quote(o.symbol)
        if q is not None:
            V.check_freeze(sym, o.price_open, q[1] if is_buy(o.type) else q[0])
        if not send:
            return self.figures(acc)
        self.finish_order(acc, o, CANCELED, self.now)
        bid, ask = q if q is not None else (0.0, 0.0)
        return DONE, "Request executed", 0, o.ticket, o.volume_current, o.price_open, bid, ask

    def _close_by(self, req: TradeRequest, send: bool):
        acc = self.acc
        if not acc.hedging:
            raise Reject(INVALID, "Close by is only for hedging accounts")
        a = acc.positions.get(req.position)
        b = acc.positions.get(req.position_by)
        if a is None or b is None:
            raise Reject(POSITION_CLOSED, "Position doesn't exist")
        if a.symbol != b.symbol or a.type == b.type or (req.symbol and req.symbol != a.symbol):
            raise Reject(INVALID, "Positions can't close each other")
        sym = self.instrument(a.symbol)
        V.check_order_mode(sym, 64)
        bid, ask = self._market_open(sym)
        volume = min(a.volume, b.volume)
        price = b.price_open
        realized = money(self.rates.profit(sym, a.type == BUY, volume, a.price_open, price,
                                            acc.currency))
        charge = acc.commission(volume)
        plan_a = Plan(a.symbol, a.type != BUY, volume, price, ENTRY_OUT_BY, a, volume,
                      vol(a.volume - volume), a.price_open, 0.0, realized, False, charge)
        if not send:  # both deals pay their commission
            return self.figures(acc, dataclasses.replace(plan_a, commission=money(2 * charge)))
        t = self.now
        o = Order(self.new_ticket(), acc.login, a.symbol, CLOSE_BY, 0, 0, FILLED, req.magic, a.ticket,
                  b.ticket, REASON_API, volume, 0.0, price, 0.0, 0.0, price, 0.0, t, t, 0,
                  req.comment, False)
        deal = self.execute(acc, plan_a, o, REASON_API, t, 0.0, 0.0, req.comment, req.magic)
        plan_b = Plan(b.symbol, b.type != BUY, volume, price, ENTRY_OUT_BY, b, volume,
                      vol(b.volume - volume), b.price_open, 0.0, 0.0, False, charge)
        self.execute(acc, plan_b, o, REASON_API, t, 0.0, 0.0, req.comment, req.magic)
        o.position_id = a.ticket
        self.store.save_order(o)
        return DONE, "Request executed", deal.ticket, o.ticket, volume, price, bid, ask
