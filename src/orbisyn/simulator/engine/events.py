"""Price-driven events: pending activation, stop loss, take profit, expiration, swaps, stop-out.

Between two requests the engine replays the market's ticks of the symbols that
matter to the account, in time order, and applies what they trigger.
"""
from __future__ import annotations

import math
from typing import List, Optional, Tuple

import numpy as np

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
CHUNK_MS = 6 * 3_600_000   # ticks looked at together (less than a day: one rollover at most)
_NEVER = 1 << 62


class Events:
    """Follows the prices from the account's last processed time up to now."""

    def __init__(self, market, quotes: Quotes, converter: CurrencyConverter,
                 valuation: Valuation, execution: Execution, store: Store, walk: bool = False):
        self.market = market
        self.walk = walk   # every tick in turn instead of the scan (the scan's reference)
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
        ticks = _Merged([self.market.tick_array_between(name, start + 1, end) for name in names])
        expiries = sorted((e, o.ticket) for o in acc.orders.values()
                          if (e := validation.expiry_ms(o)) is not None and e <= end)
        rollover = (start // DAY_MS + 1) * DAY_MS
        if self.walk:
            k, rollover = self._walk(acc, names, ticks, expiries, rollover)
        else:
            k, rollover = self._scan(acc, names, ticks, expiries, rollover, start)
        while k < len(expiries):
            self._expire(acc, expiries[k][1], expiries[k][0])
            k += 1
        if rollover <= end:
            self._rollover(acc, rollover)

    def _due(self, acc: Account, t_ms: int, expiries: list, k: int,
             rollover: int) -> Tuple[int, int]:
        """The expiries and the swap due by t_ms, before that tick's prices count."""
        while k < len(expiries) and expiries[k][0] <= t_ms:
            self._expire(acc, expiries[k][1], expiries[k][0])
            k += 1
        if rollover <= t_ms:
            self._rollover(acc, rollover)
            rollover += DAY_MS
        return k, rollover

    def _walk(self, acc: Account, names: List[str], ticks: "_Merged", expiries: list,
              rollover: int) -> Tuple[int, int]:
        """Every tick in turn: what the scan must come to, tick for tick."""
        quotes = self.quotes
        k = 0
        for t_ms, i, bid, ask in zip(ticks.time.tolist(), ticks.sym.tolist(), ticks.bid.tolist(),
                                     ticks.ask.tolist()):
            k, rollover = self._due(acc, t_ms, expiries, k, rollover)
            if bid <= 0 or ask <= 0:
                continue
            name = names[i]
            quotes.set(name, bid, ask)
            quotes.now = t_ms
            self._on_tick(acc, name, t_ms, bid, ask)
        return k, rollover

    def _scan(self, acc: Account, names: List[str], ticks: "_Merged", expiries: list,
              rollover: int, start: int) -> Tuple[int, int]:
        """The walk's outcome without its cost: finds the first tick at which anything may
        happen (a pending order's price, a stop loss or take profit, the stop-out level, a
        swap or an expiry due), brings the quotes there and lets the walk's own code handle
        that one tick; between such ticks nothing changes but the quotes."""
        t = ticks.good()
        n = len(t.time)
        k = 0   # expiries done
        i = 0   # ticks done
        while True:
            due = min(expiries[k][0] if k < len(expiries) else _NEVER, rollover)
            b = n if due == _NEVER else max(i, int(np.searchsorted(t.time, due)))
            c = self._first_trigger(acc, names, t, i, b) if i < b else b
            if c >= n:
                break
            self._restore(names, t, c, start)
            if c == b:   # the swaps and expiries due by this tick come first, as in the walk
                k, rollover = self._due(acc, int(t.time[c]), expiries, k, rollover)
            self._tick(acc, names, t, c)
            i = c + 1
        self._restore(names, t, n, start)
        return k, rollover

    def _tick(self, acc: Account, names: List[str], t: "_Merged", c: int) -> None:
        name = names[int(t.sym[c])]
        bid, ask, t_ms = float(t.bid[c]), float(t.ask[c]), int(t.time[c])
        self.quotes.set(name, bid, ask)
        self.quotes.now = t_ms
        self._on_tick(acc, name, t_ms, bid, ask)

    def _restore(self, names: List[str], t: "_Merged", k: int, start: int) -> None:
        """The quotes and present as the walk has them after the ticks before index k."""
        quotes = self.quotes
        for s, name in enumerate(names):
            at = t.last_before(s, k)
            if at >= 0:
                quotes.set(name, float(t.bid[at]), float(t.ask[at]))
        quotes.now = int(t.time[k - 1]) if k > 0 else start

    def _first_trigger(self, acc: Account, names: List[str], t: "_Merged", i: int, b: int) -> int:
        """The first tick in [i, b) at which a price may trigger something; b when none."""
        first = b
        for s, name in enumerate(names):
            levels = self._levels(acc, name)
            if levels is None:
                continue
            at = t.of(s, i, first)
            if not len(at):
                continue
            bid_le, bid_ge, ask_le, ask_ge = levels
            bids, asks = t.bid[at], t.ask[at]
            hit = (bids <= bid_le) | (bids >= bid_ge) | (asks <= ask_le) | (asks >= ask_ge)
            if hit.any():
                first = int(at[int(np.argmax(hit))])
        if acc.positions and first > i:
            first = min(first, self._first_stop_out(acc, names, t, i, first))
        return first

    def _levels(self, acc: Account, name: str):
        """The prices of a symbol at which its pending orders or the stops of its positions
        act: (bid at or below, bid at or above, ask at or below, ask at or above); None for
        a symbol with neither."""
        bid_le = ask_le = -math.inf
        bid_ge = ask_ge = math.inf
        found = False
        for o in acc.orders.values():
            if o.symbol != name:
                continue
            found = True
            ty = o.type
            if ty == BUY_LIMIT:
                ask_le = max(ask_le, o.price_open)
            elif ty == SELL_LIMIT:
                bid_ge = min(bid_ge, o.price_open)
            elif ty in (BUY_STOP, BUY_STOP_LIMIT):
                ask_ge = min(ask_ge, o.price_open)
            elif ty in (SELL_STOP, SELL_STOP_LIMIT):
                bid_le = max(bid_le, o.price_open)
        for p in acc.watched(name):
            found = True
            if p.type == BUY:
                if p.sl > 0:
                    bid_le = max(bid_le, p.sl)
                if p.tp > 0:
                    bid_ge = min(bid_ge, p.tp)
            else:
                if p.sl > 0:
                    ask_ge = min(ask_ge, p.sl)
                if p.tp > 0:
                    ask_le = max(ask_le, p.tp)
        return (bid_le, bid_ge, ask_le, ask_ge) if found else None

    def _first_stop_out(self, acc: Account, names: List[str], t: "_Merged", i: int, b: int) -> int:
        so = float(acc.cfg.get("margin_so_so", 0.0) or 0.0)
        in_money = int(acc.cfg.get("margin_so_mode", 0) or 0) == 1
        index = {name: s for s, name in enumerate(names)}
        px = self.quotes._px

        def quote(name: str):
            s = index.get(name)
            if s is None:   # read at the present tick by tick: no run of it here
                return None
            held = px.get(name)
            return t.run(s, i, b, held)

        equity, margin = self.valuation.series(acc, quote, b - i)
        # _stop_out's test without its division; the margin keeps rounding out of the question
        # (a tick that only seems near is looked at by _stop_out itself).
        limit = so + 1e-9 * max(1.0, abs(so))
        below = (margin > 0) & ~((equity if in_money else equity * 100.0) >= (limit if in_money else limit * margin))
        return i + int(np.argmax(below)) if below.any() else b

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


class _Merged:
    """The ticks of several symbols in the walk's order: by time, then by symbol (the order
    of the names), then as they came."""

    def __init__(self, arrays: list, _parts=None):
        if _parts is not None:
            self.time, self.sym, self.bid, self.ask = _parts
        else:
            lengths = [len(a) for a in arrays]
            times = np.concatenate([a["time_msc"] for a in arrays]) if arrays else np.zeros(0, np.int64)
            order = np.argsort(times, kind="stable")
            sym = np.repeat(np.arange(len(arrays)), lengths)
            self.time = times[order]
            self.sym = sym[order]
            self.bid = np.concatenate([a["bid"] for a in arrays])[order] if arrays else np.zeros(0)
            self.ask = np.concatenate([a["ask"] for a in arrays])[order] if arrays else np.zeros(0)
        self._at: dict = {}

    def good(self) -> "_Merged":
        """Without ticks that carry no price: the walk skips them (the swaps and expiries due
        at them are applied at the next tick, as nothing happens in between)."""
        keep = (self.bid > 0) & (self.ask > 0)
        if keep.all():
            return self
        return _Merged([], (self.time[keep], self.sym[keep], self.bid[keep], self.ask[keep]))

    def _positions(self, s: int) -> np.ndarray:
        got = self._at.get(s)
        if got is None:
            got = self._at[s] = np.flatnonzero(self.sym == s)
        return got

    def of(self, s: int, i: int, b: int) -> np.ndarray:
        """Indexes in [i, b) of symbol s's ticks."""
        at = self._positions(s)
        lo, hi = np.searchsorted(at, [i, b])
        return at[lo:hi]

    def last_before(self, s: int, k: int) -> int:
        """Index of symbol s's last tick before index k; -1 for none."""
        at = self._positions(s)
        j = int(np.searchsorted(at, k)) - 1
        return int(at[j]) if j >= 0 else -1

    def run(self, s: int, i: int, b: int, held: Optional[Tuple[float, float]]):
        """Symbol s's (bid, ask) after each tick of [i, b): its latest tick, else `held` (its
        quote before i), else NaN."""
        at = self._positions(s)
        no_bid, no_ask = (np.nan, np.nan) if held is None else held
        if not len(at):
            return np.full(b - i, no_bid), np.full(b - i, no_ask)
        last = np.searchsorted(at, np.arange(i, b), side="right") - 1
        has = last >= 0
        src = at[np.maximum(last, 0)]
        return np.where(has, self.bid[src], no_bid), np.where(has, self.ask[src], no_ask)
