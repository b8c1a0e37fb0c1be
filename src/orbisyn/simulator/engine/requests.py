"""Trade requests: validation of each action against the account, then its execution."""
from __future__ import annotations

import dataclasses
from typing import Tuple

from . import validation
from .book import EPS, Account, Plan, Reject, money, vol
from .calc import CurrencyConverter, NoRate
from .execution import Execution
from .figures import Valuation
from .model import (
    ACTION_CLOSE_BY, ACTION_DEAL, ACTION_MODIFY, ACTION_PENDING, ACTION_REMOVE, ACTION_SLTP, BUY,
    BUY_LIMIT, BUY_STOP, BUY_STOP_LIMIT, CANCELED, CLOSE_BY, DONE, ENTRY_OUT_BY, FILLED, INVALID,
    INVALID_ORDER, INVALID_PRICE, LIMIT_ORDERS, LIMIT_VOLUME, MARKET_CLOSED, NO_CHANGES, NO_MONEY,
    NO_QUOTES, PLACED, PLACED_OK, POSITION_CLOSED, REASON_API, REQUOTE, SELL, SELL_LIMIT, SELL_STOP,
    SELL_STOP_LIMIT, TRADE_DISABLED, Order, Position, is_buy)
from .quotes import Quotes
from .store import Store
from ..protocol import TradeRequest


class Dealer:
    """Checks a trade request against the account and the market, and carries it out."""

    def __init__(self, market, quotes: Quotes, converter: CurrencyConverter,
                 valuation: Valuation, execution: Execution, store: Store):
        self.market = market
        self.quotes = quotes
        self.converter = converter
        self.valuation = valuation
        self.execution = execution
        self.store = store

    def _symbol(self, req: TradeRequest):
        sym = self.quotes.instrument(req.symbol) if req.symbol else None
        if sym is None:
            raise Reject(INVALID, "Unknown symbol")
        return sym

    def _market_open(self, acc: Account, sym) -> Tuple[float, float]:
        if int(getattr(sym, "trade_mode", 4)) == 0:
            raise Reject(TRADE_DISABLED, "Trade disabled")
        if not self.market.is_trading(sym.name, self.quotes.now):
            raise Reject(MARKET_CLOSED, "Market closed")
        q = self.quotes.quote(sym.name)
        if q is None:
            raise Reject(NO_QUOTES, "No quotes")
        try:
            self.converter.rate(sym.currency_profit, acc.currency)
            self.converter.margin(sym, 1.0, q[1], acc.leverage, acc.currency)
        except NoRate:
            raise Reject(NO_QUOTES, "No quotes to convert into the account currency") from None
        return q

    def trade(self, acc: Account, req: TradeRequest, send: bool):
        """Validate the request; a check answers the account figures after it, a send applies it
        and answers (retcode, comment, deal, order, volume, price, bid, ask). Raises Reject."""
        action = req.action
        if action == ACTION_DEAL:
            return self._deal(acc, req, send)
        if action == ACTION_PENDING:
            return self._pending(acc, req, send)
        if action == ACTION_SLTP:
            return self._sltp(acc, req, send)
        if action == ACTION_MODIFY:
            return self._modify(acc, req, send)
        if action == ACTION_REMOVE:
            return self._remove(acc, req, send)
        if action == ACTION_CLOSE_BY:
            return self._close_by(acc, req, send)
        raise Reject(INVALID, "Unsupported trade action")

    def _deal(self, acc: Account, req: TradeRequest, send: bool):
        sym = self._symbol(req)
        if req.type not in (BUY, SELL):
            raise Reject(INVALID, "Invalid order type")
        validation.check_order_mode(sym, 1)
        bid, ask = self._market_open(acc, sym)
        volume = validation.check_volume(sym, req.volume)
        validation.check_filling(sym, req.type_filling, False)
        buy = req.type == BUY
        price = ask if buy else bid
        plan = self.execution.plan(acc, sym, buy, volume, price, req.position)
        opens_buy = None
        if plan.opens:
            opens_buy = buy
        validation.check_direction(sym, opens_buy)
        if not validation.finite(req.price) or req.price < 0:
            raise Reject(INVALID_PRICE, "Invalid price")
        point = validation.point(sym)
        if req.price > 0 and abs(req.price - price) > req.deviation * point + 1e-3 * point:
            raise Reject(REQUOTE, "Requote")
        sl, tp = validation.norm(sym, req.sl), validation.norm(sym, req.tp)
        if plan.opens:
            validation.check_stops(sym, buy, bid if buy else ask, sl, tp)
            limit = float(getattr(sym, "volume_limit", 0.0) or 0.0)
            if limit > 0:
                bv, _, sv, _ = self.valuation.plan_agg(acc, plan)
                if (bv if buy else sv) > limit + EPS:
                    raise Reject(LIMIT_VOLUME, "Volume limit reached")
            fig = self.valuation.figures(acc, plan)
            if fig["margin_free"] < 0:
                raise Reject(NO_MONEY, "No money")
        if not send:
            return self.valuation.figures(acc, plan)
        t = self.quotes.now
        o = Order(self.execution.tickets.new(), acc.login, sym.name, req.type, 0, req.type_filling, FILLED,
                  req.magic, 0, 0, REASON_API, volume, 0.0, price, sl if plan.opens else 0.0,
                  tp if plan.opens else 0.0, price, 0.0, t, t, 0, req.comment, False)
        deal = self.execution.execute(acc, plan, o, REASON_API, t, sl, tp, req.comment, req.magic)
        self.store.save_order(o)
        return DONE, "Request executed", deal.ticket, o.ticket, volume, price, bid, ask

    def _pending(self, acc: Account, req: TradeRequest, send: bool):
        sym = self._symbol(req)
        otype = req.type
        if otype not in (BUY_LIMIT, SELL_LIMIT, BUY_STOP, SELL_STOP, BUY_STOP_LIMIT, SELL_STOP_LIMIT):
            raise Reject(INVALID, "Invalid order type")
        validation.check_order_mode(sym, {2: 2, 3: 2, 4: 4, 5: 4, 6: 8, 7: 8}[otype])
        q = self._market_open(acc, sym)
        buy = is_buy(otype)
        validation.check_direction(sym, buy)
        volume = validation.check_volume(sym, req.volume)
        validation.check_filling(sym, req.type_filling, True)
        price = validation.norm(sym, req.price) if validation.finite(req.price) else req.price
        stoplimit = validation.norm(sym, req.stoplimit) if validation.finite(req.stoplimit) else req.stoplimit
        validation.pending_prices(sym, otype, price, stoplimit, q)
        ref = stoplimit if otype in (BUY_STOP_LIMIT, SELL_STOP_LIMIT) else price
        sl, tp = validation.norm(sym, req.sl), validation.norm(sym, req.tp)
        validation.check_stops(sym, buy, ref, sl, tp)
        t = self.quotes.now
        expiration = validation.expiration(sym, req.type_time, req.expiration, t)
        limit = int(acc.cfg.get("limit_orders", 200) or 0)
        if limit and len(acc.orders) >= limit:
            raise Reject(LIMIT_ORDERS, "Pending orders limit reached")
        fill_price = stoplimit if otype in (BUY_STOP_LIMIT, SELL_STOP_LIMIT) else price
        if not send:
            return self.valuation.figures(acc, self.execution.plan(acc, sym, buy, volume, fill_price, 0))
        o = Order(self.execution.tickets.new(), acc.login, sym.name, otype, req.type_time,
                  req.type_filling, PLACED, req.magic, 0, 0, REASON_API, volume, volume, price, sl,
                  tp, q[1] if buy else q[0], stoplimit if otype in (BUY_STOP_LIMIT, SELL_STOP_LIMIT) else 0.0, t, 0,
                  expiration, req.comment, True)
        acc.orders[o.ticket] = o
        self.store.save_order(o)
        return PLACED_OK, "Request placed", 0, o.ticket, volume, price, q[0], q[1]

    def _find_position(self, acc: Account, req: TradeRequest) -> Position:
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

    def _sltp(self, acc: Account, req: TradeRequest, send: bool):
        p = self._find_position(acc, req)
        sym = self.quotes.instrument(p.symbol)
        bid, ask = self._market_open(acc, sym)
        close = bid if p.type == BUY else ask
        sl, tp = validation.norm(sym, req.sl), validation.norm(sym, req.tp)
        validation.check_stops(sym, p.type == BUY, close, sl, tp)
        validation.check_freeze(sym, p.sl, close)
        validation.check_freeze(sym, p.tp, close)
        if sl == p.sl and tp == p.tp:
            raise Reject(NO_CHANGES, "No changes")
        if not send:
            return self.valuation.figures(acc)
        p.sl, p.tp = sl, tp
        p.time_update_msc = self.quotes.now
        acc.changed(p)
        self.store.save_position(p)
        return DONE, "Request executed", 0, 0, p.volume, 0.0, bid, ask

    def _active_order(self, acc: Account, req: TradeRequest) -> Order:
        o = acc.orders.get(req.order)
        if o is None:
            raise Reject(INVALID_ORDER, "Invalid or unknown order")
        if req.symbol and req.symbol != o.symbol:
            raise Reject(INVALID, "Order belongs to another symbol")
        return o

    def _modify(self, acc: Account, req: TradeRequest, send: bool):
        o = self._active_order(acc, req)
        sym = self.quotes.instrument(o.symbol)
        q = self._market_open(acc, sym)
        buy = is_buy(o.type)
        validation.check_freeze(sym, o.price_open, q[1] if buy else q[0])
        price = validation.norm(sym, req.price) if validation.finite(req.price) else req.price
        stoplimit = validation.norm(sym, req.stoplimit) if validation.finite(req.stoplimit) else req.stoplimit
        if o.type not in (BUY_STOP_LIMIT, SELL_STOP_LIMIT):
            stoplimit = 0.0
        validation.pending_prices(sym, o.type, price, stoplimit, q)
        sl, tp = validation.norm(sym, req.sl), validation.norm(sym, req.tp)
        validation.check_stops(sym, buy, stoplimit if stoplimit else price, sl, tp)
        expiration = validation.expiration(sym, req.type_time, req.expiration, self.quotes.now)
        if (price, stoplimit, sl, tp, req.type_time, expiration) == (
                o.price_open, o.price_stoplimit, o.sl, o.tp, o.type_time, o.time_expiration):
            raise Reject(NO_CHANGES, "No changes")
        if not send:
            return self.valuation.figures(acc)
        o.price_open, o.price_stoplimit, o.sl, o.tp = price, stoplimit, sl, tp
        o.type_time, o.time_expiration = req.type_time, expiration
        self.store.save_order(o)
        return DONE, "Request executed", 0, o.ticket, o.volume_current, price, q[0], q[1]

    def _remove(self, acc: Account, req: TradeRequest, send: bool):
        o = self._active_order(acc, req)
        sym = self.quotes.instrument(o.symbol)
        q = self.quotes.quote(o.symbol)
        if q is not None:
            validation.check_freeze(sym, o.price_open, q[1] if is_buy(o.type) else q[0])
        if not send:
            return self.valuation.figures(acc)
        self.execution.finish_order(acc, o, CANCELED, self.quotes.now)
        bid, ask = q if q is not None else (0.0, 0.0)
        return DONE, "Request executed", 0, o.ticket, o.volume_current, o.price_open, bid, ask

    def _close_by(self, acc: Account, req: TradeRequest, send: bool):
        if not acc.hedging:
            raise Reject(INVALID, "Close by is only for hedging accounts")
        a = acc.positions.get(req.position)
        b = acc.positions.get(req.position_by)
        if a is None or b is None:
            raise Reject(POSITION_CLOSED, "Position doesn't exist")
        if a.symbol != b.symbol or a.type == b.type or (req.symbol and req.symbol != a.symbol):
            raise Reject(INVALID, "Positions can't close each other")
        sym = self.quotes.instrument(a.symbol)
        validation.check_order_mode(sym, 64)
        bid, ask = self._market_open(acc, sym)
        volume = min(a.volume, b.volume)
        price = b.price_open
        realized = money(self.converter.profit(sym, a.type == BUY, volume, a.price_open, price,
                                            acc.currency))
        charge = acc.commission(volume)
        plan_a = Plan(a.symbol, a.type != BUY, volume, price, ENTRY_OUT_BY, a, volume,
                      vol(a.volume - volume), a.price_open, 0.0, realized, False, charge)
        if not send:  # both deals pay their commission
            return self.valuation.figures(acc, dataclasses.replace(plan_a, commission=money(2 * charge)))
        t = self.quotes.now
        o = Order(self.execution.tickets.new(), acc.login, a.symbol, CLOSE_BY, 0, 0, FILLED, req.magic,
                  a.ticket, b.ticket, REASON_API, volume, 0.0, price, 0.0, 0.0, price, 0.0, t, t, 0,
                  req.comment, False)
        deal = self.execution.execute(acc, plan_a, o, REASON_API, t, 0.0, 0.0, req.comment, req.magic)
        plan_b = Plan(b.symbol, b.type != BUY, volume, price, ENTRY_OUT_BY, b, volume,
                      vol(b.volume - volume), b.price_open, 0.0, 0.0, False, charge)
        self.execution.execute(acc, plan_b, o, REASON_API, t, 0.0, 0.0, req.comment, req.magic)
        o.position_id = a.ticket
        self.store.save_order(o)
        return DONE, "Request executed", deal.ticket, o.ticket, volume, price, bid, ask
