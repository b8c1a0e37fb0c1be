"""Price-driven events: pending activation, stop loss, take profit, expiration, swaps, stop-out.

Between two requests the engine replays the market's ticks of the symbols that
matter to the account, in time order, and applies what they trigger.
"""
from __future__ import annotations

import heapq
from typing import Dict, List, Optional, Tuple

from . import calc
from . import validation as V
from .book import Account, Reject, money
from .calc import NoRate
from .model import (
    BUY, BUY_LIMIT, BUY_STOP, BUY_STOP_LIMIT, EXPIRED, FILLED, NO_MONEY, REASON_SL, REASON_SO,
    REASON_TP, REJECTED, SELL, SELL_LIMIT, SELL_STOP, SELL_STOP_LIMIT, Order, Position, is_buy)

DAY_MS = 86_400_000
CHUNK_MS = 3_600_000


class Events:
    """Part of TradingEngine: follows the prices from the last processed time up to now."""

    def reset_prices(self) -> None:
        """Forget the cached quotes (a new request, or the account reloaded)."""
        self._px: Dict[str, Tuple[float, float]] = {}
        self._px_live = True

    def quote(self, name: str) -> Optional[Tuple[float, float]]:
        """(bid, ask) of a symbol at the engine's current time, or None without a tick."""
        q = self._px.get(name)
        if q is None:
            tick = self.market.tick_at(name, self.now)
            if tick is None or tick.bid <= 0 or tick.ask <= 0:
                return None
            q = (float(tick.bid), float(tick.ask))
            if self._px_live:
                self._px[name] = q
        return q

    def advance(self, acc: Account, now: int) -> None:
        if now <= acc.processed_ms:
            self.now = now
            return
        self._px.clear()
        start = acc.processed_ms
        while start < now and (acc.positions or acc.orders):
            end = min(now, start + CHUNK_MS)
            self._advance_chunk(acc, start, end)
            start = end
        self._px_live = True
        self.now = now
        acc.processed_ms = now
        if start < now:  # nothing left to watch: later prices matter only from now on
            self._px.clear()

    def _relevant(self, acc: Account) -> List[str]:
        names = set(acc.by_symbol)
        names.update(o.symbol for o in acc.orders.values())
        ccy = acc.currency
        for name in list(names):
            sym = self.instrument(name)
            if sym is None:
                continue
            for c in (sym.currency_profit, calc.margin_conversion_currency(sym)):
                for a, b in ((c, ccy), (c, "USD"), ("USD", ccy)):
                    for key in ((a, b), (b, a)):
                        pair = self.rates.pairs.get(key)
                        if pair is not None:
                            names.add(pair)
        return sorted(names)

    def _advance_chunk(self, acc: Account, start: int, end: int) -> None:
        names = self._relevant(acc)
        self._px.clear()
        self._px_live = False
        self.now = start
        for name in names:
            tick = self.market.tick_at(name, start)
            if tick is not None and tick.bid > 0 and tick.ask > 0:
                self._px[name] = (float(tick.bid), float(tick.ask))
        streams = []
        for i, name in enumerate(names):
            ticks = self.market.ticks_between(name, start + 1, end)
            if ticks:
                streams.append([(t.time_msc, i, j, t) for j, t in enumerate(ticks)])
        expiries = sorted((e, o.ticket) for o in acc.orders.values()
                          if (e := V.expiry_ms(o)) is not None and e <= end)
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
            self._px[name] = (float(tick.bid), float(tick.ask))
            self.now = t_ms
            self._on_tick(acc, name, t_ms)
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
        self.now = t_ms
        store = self.store
        for p in list(acc.positions.values()):
            sym = self.instrument(p.symbol)
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
            return rate * V.point(sym) * p.volume * calc.profit_factor(sym) * \
                self.rates.rate(sym.currency_profit, ccy)
        if mode == 2:    # money per lot in the margin currency
            return rate * p.volume * self.rates.rate(calc.margin_currency(sym), ccy)
        if mode == 3:    # money per lot in the account currency
            return rate * p.volume
        if mode in (4, 5):  # yearly interest on the current or the opening price
            q = self.quote(p.symbol)
            price = p.price_open if mode == 5 or q is None else (q[0] if p.type == BUY else q[1])
            value = p.volume * float(getattr(sym, "trade_contract_size", 1.0)) * price
            return value * rate / 100.0 / 360.0 * self.rates.rate(sym.currency_profit, ccy)
        return 0.0

    def _expire(self, acc: Account, ticket: int, t_ms: int) -> None:
        o = acc.orders.get(ticket)
        if o is not None:
            self.finish_order(acc, o, EXPIRED, t_ms)

    def _on_tick(self, acc: Account, name: str, t_ms: int) -> None:
        bid, ask = self._px[name]
        for o in [o for o in acc.orders.values() if o.symbol == name]:
            self._check_order(acc, o, bid, ask, t_ms)
        watched = acc.watched(name)
        if watched:
            digits = int(getattr(self.instrument(name), "digits", 5))
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
        sym = self.instrument(o.symbol)
        buy = is_buy(t)
        price = ask if buy else bid
        try:
            plan = self.plan(acc, sym, buy, o.volume_current, price, 0)
            if plan.opens:
                fig = self.figures(acc, plan)
                if fig["margin_free"] < 0:
                    raise Reject(NO_MONEY, "No money")
        except (Reject, NoRate):
            self.finish_order(acc, o, REJECTED, t_ms)
            return
        o.price_current = price
        deal = self.execute(acc, plan, o, o.reason, t_ms, o.sl, o.tp, o.comment, o.magic)
        o.position_id = deal.position_id
        o.volume_current = 0.0
        self.finish_order(acc, o, FILLED, t_ms)

    def finish_order(self, acc: Account, o: Order, state: int, t_ms: int) -> None:
        o.state = state
        o.time_done_msc = t_ms
        o.active = False
        acc.orders.pop(o.ticket, None)
        self.store.save_order(o)

    def _stop_out(self, acc: Account, t_ms: int) -> None:
        so = float(acc.cfg.get("margin_so_so", 0.0) or 0.0)
        in_money = int(acc.cfg.get("margin_so_mode", 0) or 0) == 1
        while acc.positions:
            equity, margin = self.equity_margin(acc)
            if margin <= 0 or (equity if in_money else equity / margin * 100.0) >= so:
                return  # stop-out only below the limit
            level = equity / margin * 100.0
            worst, worst_profit = None, None
            for p in acc.positions.values():
                pr = self.position_profit(acc, p)[1]
                if worst is None or pr < worst_profit:
                    worst, worst_profit = p, pr
            q = self.quote(worst.symbol)
            if q is None:
                return
            price = q[0] if worst.type == BUY else q[1]
            self._close_event(acc, worst, REASON_SO, price, t_ms, f"[so {level:.2f}%]")

    def _close_event(self, acc: Account, p: Position, reason: int, price: float, t_ms: int,
                     comment: str) -> None:
        sym = self.instrument(p.symbol)
        buy = p.type != BUY
        plan = self.plan(acc, sym, buy, p.volume, price, p.ticket)
        o = Order(self.new_ticket(), acc.login, p.symbol, SELL if p.type == BUY else BUY, 0, 0,
                  FILLED, p.magic, p.ticket, 0, reason, p.volume, 0.0, price, 0.0, 0.0, price,
                  0.0, t_ms, t_ms, 0, comment, False)
        self.execute(acc, plan, o, reason, t_ms, 0.0, 0.0, comment, p.magic)
        self.store.save_order(o)
