"""Price-driven events: pending activation, stop loss, take profit, expiration, swaps, stop-out.

Between two requests the engine replays the market's ticks of the symbols that
matter to the account, in time order, and applies what they trigger.
"""
from __future__ import annotations

import heapq
from typing import List

from . import calc
from . import validation
from .book import Account, Reject, money
from .calc import CurrencyConverter, NoRate
from .execution import Execution
from .figures import Valuation
from .model import (
    BUY, BUY_LIMIT, BUY_STOP, BUY_STOP_LIMIT, EXPIRED, FILLED, NO_MONEY, REASON_SL, REASON_SO,
    REASON_TP, REJECTED, SELL, SELL_LIMIT, SELL_STOP, SELL_STOP_LIMIT, Order, Position, is_buy)
from .quotes import Quotes
from .store import Store

DAY_MS = 86_400_000
CHUNK_MS = 3_600_000


class Events:
    """Follows the prices from the account's last processed time up to now."""

    def __init__(self, market, quotes: Quotes, converter: CurrencyConverter,
                 valuation: Valuation, execution: Execution, store: Store):
        self.market = market
        self.quotes = quotes
        self.converter = converter
        self.valuation = valuation
        self.execution = execution
        self.store = store

    def advance(self, acc: Account, now: int) -> None:
        quotes = self.quotes
        if now <= acc.processed_ms:
            quotes.now = now
            return
        quotes.clear()
        start = acc.processed_ms
        while start < now and (acc.positions or acc.orders):
            end = min(now, start + CHUNK_MS)
            self._advance_chunk(acc, start, end)
            start = end
        quotes.live = True
        quotes.now = now
        acc.processed_ms = now
        if start < now:  # nothing left to watch: later prices matter only from now on
            quotes.clear()

    def _relevant(self, acc: Account) -> List[str]:
        names = set(acc.by_symbol)
        names.update(o.symbol for o in acc.orders.values())
        ccy = acc.currency
        for name in list(names):
            sym = self.quotes.instrument(name)
            if sym is None:
                continue
            for c in (sym.currency_profit, calc.margin_conversion_currency(sym)):
                for a, b in ((c, ccy), (c, "USD"), ("USD", ccy)):
                    for key in ((a, b), (b, a)):
                        pair = self.converter.pairs.get(key)
                        if pair is not None:
                            names.add(pair)
        return sorted(names)

    def _advance_chunk(self, acc: Account, start: int, end: int) -> None:
        names = self._relevant(acc)
        quotes = self.quotes
        quotes.clear()
        quotes.live = False
        quotes.now = start
        for name in names:
            tick = self.market.tick_at(name, start)
            if tick is not None and tick.bid > 0 and tick.ask > 0:
                quotes.set(name, float(tick.bid), float(tick.ask))
        streams = []
        for i, name in enumerate(names):
            ticks = self.market.ticks_between(name, start + 1, end)
            if ticks:
                streams.append([(t.time_msc, i, j, t) for j, t in enumerate(ticks)])
        expiries = sorted((e, o.ticket) for o in acc.orders.values()
                          if (e := validation.expiry_ms(o)) is not None and e <= end)
        k = 0
        rollover = (start // DAY_MS + 1) * DAY_MS
        for t_ms, i, _, tick in heapq.merge(*streams):
            while k < len(expiries) and expiries[k][0] <= t_ms:
                self._expire(acc, expiries[k][1], expiries[k][0])
                k += 1
            if rollover <= t_ms:
                self._rollover(acc, rollover)
                rollover += DAY_MS
            if tick.bid <= 0 or tick.ask <= 0:
                continue
            name = names[i]
            bid, ask = float(tick.bid), float(tick.ask)
            quotes.set(name, bid, ask)
            quotes.now = t_ms
            self._on_tick(acc, name, t_ms, bid, ask)
        while k < len(expiries):
            self._expire(acc, expiries[k][1], expiries[k][0])
            k += 1
        if rollover <= end:
            self._rollover(acc, rollover)

    def _rollover(self, acc: Account, t_ms: int) -> None:
        """Swaps accrue at 00:00 UTC after each weekday, triple after the symbol's triple day."""
        dow = (t_ms // DAY_MS - 1 + 4) % 7  # day that ended: 0 Sunday .. 6 Saturday
        if not 1 <= dow <= 5 or not acc.positions:
            return
        self.quotes.now = t_ms
        store = self.store
        for p in list(acc.positions.values()):
            sym = self.quotes.instrument(p.symbol)
            try:
                amount = self._swap_of(acc, sym, p)
            except (NoRate, ValueError):
                continue
            if dow == int(getattr(sym, "swap_rollover3days", 3)):
                amount *= 3
            amount = money(amount)
            if amount:
                p.swap = money(p.swap + amount)
                acc.swaps += amount
                acc.touch(p)
                store.save_position(p)

    def _swap_of(self, acc: Account, sym, p: Position) -> float:
        mode = int(getattr(sym, "swap_mode", 0) or 0)
        rate = float(getattr(sym, "swap_long" if p.type == BUY else "swap_short", 0.0) or 0.0)
        if not rate or not mode:
            return 0.0
        ccy = acc.currency
        if mode == 1:    # points
            return rate * validation.point(sym) * p.volume * calc.profit_factor(sym) * \
                self.converter.rate(sym.currency_profit, ccy)
        if mode == 2:    # money per lot in the margin currency
            return rate * p.volume * self.converter.rate(calc.margin_currency(sym), ccy)
        if mode == 3:    # money per lot in the account currency
            return rate * p.volume
        if mode in (4, 5):  # yearly interest on the current or the opening price
            q = self.quotes.quote(p.symbol)
            price = p.price_open if mode == 5 or q is None else (q[0] if p.type == BUY else q[1])
            value = p.volume * float(getattr(sym, "trade_contract_size", 1.0)) * price
            return value * rate / 100.0 / 360.0 * self.converter.rate(sym.currency_profit, ccy)
        return 0.0

    def _expire(self, acc: Account, ticket: int, t_ms: int) -> None:
        o = acc.orders.get(ticket)
        if o is not None:
            self.execution.finish_order(acc, o, EXPIRED, t_ms)

    def _on_tick(self, acc: Account, name: str, t_ms: int, bid: float, ask: float) -> None:
        for o in [o for o in acc.orders.values() if o.symbol == name]:
            self._check_order(acc, o, bid, ask, t_ms)
        watched = acc.watched(name)
        if watched:
            digits = int(getattr(self.quotes.instrument(name), "digits", 5))
            for p in watched:
                if p.ticket not in acc.positions:
                    continue
                if p.type == BUY:
                    if p.sl > 0 and bid <= p.sl:
                        self._close_event(acc, p, REASON_SL, bid, t_ms, f"[sl {p.sl:.{digits}f}]")
                    elif p.tp > 0 and bid >= p.tp:
                        self._close_event(acc, p, REASON_TP, bid, t_ms, f"[tp {p.tp:.{digits}f}]")
                else:
                    if p.sl > 0 and ask >= p.sl:
                        self._close_event(acc, p, REASON_SL, ask, t_ms, f"[sl {p.sl:.{digits}f}]")
                    elif p.tp > 0 and ask <= p.tp:
                        self._close_event(acc, p, REASON_TP, ask, t_ms, f"[tp {p.tp:.{digits}f}]")
        if acc.positions:
            self._stop_out(acc, t_ms)

    def _check_order(self, acc: Account, o: Order, bid: float, ask: float, t_ms: int) -> None:
        t = o.type
        if t == BUY_STOP_LIMIT and ask >= o.price_open or t == SELL_STOP_LIMIT and bid <= o.price_open:
            # The stop turns the order into a limit order at the stop-limit price.
            o.type = BUY_LIMIT if t == BUY_STOP_LIMIT else SELL_LIMIT
            o.price_open = o.price_stoplimit
            self.store.save_order(o)
            t = o.type
        hit = (t == BUY_LIMIT and ask <= o.price_open or t == SELL_LIMIT and bid >= o.price_open
               or t == BUY_STOP and ask >= o.price_open or t == SELL_STOP and bid <= o.price_open)
        if not hit:
            return
        sym = self.quotes.instrument(o.symbol)
        buy = is_buy(t)
        price = ask if buy else bid
        try:
            plan = self.execution.plan(acc, sym, buy, o.volume_current, price, 0)
            if plan.opens:
                fig = self.valuation.figures(acc, plan)
                if fig["margin_free"] < 0:
                    raise Reject(NO_MONEY, "No money")
        except (Reject, NoRate):
            self.execution.finish_order(acc, o, REJECTED, t_ms)
            return
        o.price_current = price
        deal = self.execution.execute(acc, plan, o, o.reason, t_ms, o.sl, o.tp, o.comment, o.magic)
        o.position_id = deal.position_id
        o.volume_current = 0.0
        self.execution.finish_order(acc, o, FILLED, t_ms)

    def _stop_out(self, acc: Account, t_ms: int) -> None:
        so = float(acc.cfg.get("margin_so_so", 0.0) or 0.0)
        in_money = int(acc.cfg.get("margin_so_mode", 0) or 0) == 1
        while acc.positions:
            equity, margin = self.valuation.equity_margin(acc)
            if margin <= 0 or (equity if in_money else equity / margin * 100.0) >= so:
                return  # stop-out only below the limit
            level = equity / margin * 100.0
            worst, worst_profit = None, None
            for p in acc.positions.values():
                pr = self.valuation.position_profit(acc, p)[1]
                if worst is None or pr < worst_profit:
                    worst, worst_profit = p, pr
            q = self.quotes.quote(worst.symbol)
            if q is None:
                return
            price = q[0] if worst.type == BUY else q[1]
            self._close_event(acc, worst, REASON_SO, price, t_ms, f"[so {level:.2f}%]")

    def _close_event(self, acc: Account, p: Position, reason: int, price: float, t_ms: int,
                     comment: str) -> None:
        sym = self.quotes.instrument(p.symbol)
        buy = p.type != BUY
        plan = self.execution.plan(acc, sym, buy, p.volume, price, p.ticket)
        o = Order(self.execution.tickets.new(), acc.login, p.symbol, SELL if p.type == BUY else BUY, 0, 0,
                  FILLED, p.magic, p.ticket, 0, reason, p.volume, 0.0, price, 0.0, 0.0, price,
                  0.0, t_ms, t_ms, 0, comment, False)
        self.execution.execute(acc, plan, o, reason, t_ms, 0.0, 0.0, comment, p.magic)
        self.store.save_order(o)
