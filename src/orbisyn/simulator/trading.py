"""Trading engine of the simulated Terminal.

The engine keeps the active account's open positions and pending orders in
memory and everything (accounts, positions, orders, deals) in SQLite. Each
request runs in one write transaction: first the price-driven events (pending
activation, stop loss, take profit, expiration, stop-out) are replayed over the
market's ticks from the last processed time up to now, in time order; then the
request is answered and the transaction committed before the reply leaves.
A change committed by another connection (a second engine, `reset_account`)
is noticed through SQLite's data version and the state is reloaded.
"""
from __future__ import annotations

import heapq
import logging
import math
import threading
import time
from typing import Dict, List, Optional, Tuple

import numpy as np

from .engine import calc
from .engine.calc import NoRate, Rates
from .engine.model import (
    BUY, BUY_LIMIT, BUY_STOP, BUY_STOP_LIMIT, CANCELED, CLOSE_BY, DEAL_BALANCE, ENTRY_IN,
    ENTRY_INOUT, ENTRY_OUT, ENTRY_OUT_BY, EXPIRED, FILLED, PLACED, REASON_API, REASON_CLIENT,
    REASON_SL, REASON_SO, REASON_TP, REJECTED, SELL, SELL_LIMIT, SELL_STOP, SELL_STOP_LIMIT, Deal,
    Order, Position, is_buy)
from .engine.book import _EPS, Account, Plan, Reject, _vol, money
from .engine.store import Store, connect
from .engine.wire import (
    F64, RANGE, U32, U64, PayloadError, Reader, TradeRequest, pack_check, pack_send)

log = logging.getLogger("orbisyn.simulator.trading")

# Trade actions
ACTION_DEAL, ACTION_PENDING, ACTION_SLTP, ACTION_MODIFY, ACTION_REMOVE, ACTION_CLOSE_BY = 1, 5, 6, 7, 8, 10
# Return codes
REQUOTE, REJECT, PLACED_OK, DONE, ERROR = 10004, 10006, 10008, 10009, 10011
INVALID, INVALID_VOLUME, INVALID_PRICE, INVALID_STOPS = 10013, 10014, 10015, 10016
TRADE_DISABLED, MARKET_CLOSED, NO_MONEY, NO_QUOTES, INVALID_EXPIRATION = 10017, 10018, 10019, 10021, 10022
NO_CHANGES, FROZEN, INVALID_FILL, LIMIT_ORDERS, LIMIT_VOLUME = 10025, 10029, 10030, 10033, 10034
INVALID_ORDER, POSITION_CLOSED, CLOSE_VOLUME = 10035, 10036, 10038
LONG_ONLY, SHORT_ONLY, CLOSE_ONLY = 10042, 10043, 10044
# Statuses
ST_OK, ST_FOUND, ST_FAILED, ST_PARAMS, ST_NOT_FOUND, ST_UNSUPPORTED, ST_API_DISABLED = 0, 1, -1, -2, -4, -7, -8

DAY_MS = 86_400_000
CHUNK_MS = 3_600_000

# Fields patched into cached position records when many are served at once.
_POS_DTYPE = np.dtype({"names": ["type", "volume", "price_open", "price_current", "profit"],
                       "formats": ["<u4", "<f8", "<f8", "<f8", "<f8"],
                       "offsets": [40, 64, 72, 96, 120], "itemsize": 320})


def _expiry_ms(o: Order) -> Optional[int]:
    if o.type_time == 1:
        return (o.time_setup_msc // DAY_MS + 1) * DAY_MS
    if o.type_time == 2:
        return o.time_expiration * 1000
    if o.type_time == 3:
        return (o.time_expiration * 1000 // DAY_MS + 1) * DAY_MS
    return None


def _finite(*xs: float) -> bool:
    return all(math.isfinite(x) for x in xs)


class TradingEngine:
    """Answers the trading, position, order and history commands of the Terminal."""

    def __init__(self, data_dir: str, settings: dict, market):
        self._lock = threading.RLock()
        self._market = market
        self._settings = settings
        self._cfg: Dict[int, dict] = {}
        for a in settings.get("accounts", []):
            self._cfg[int(a["login"])] = a
        if not self._cfg:
            raise ValueError("settings hold no account")
        self._store = Store(connect(data_dir))
        self._specs: Dict[str, object] = {}
        self._rates = Rates(Rates.pairs_of(self._all_specs()), self._quote)
        self._px: Dict[str, Tuple[float, float]] = {}
        self._px_live = True
        self._now = 0
        self._login = next(iter(self._cfg))
        self._acc: Optional[Account] = None
        self._version = -1
        with self._lock:
            self._store.begin()
            try:
                now = int(market.now_ms())
                for login, cfg in self._cfg.items():
                    if self._store.account(login) is None:
                        create_account(self._store, cfg, now)
                self._store.commit()
            except BaseException:
                self._store.rollback()
                raise
            self._run(lambda: None)

    # ------------------------------------------------------------------ public
    def login(self, login: int) -> None:
        """Make `login` the active account (it must be configured)."""
        login = int(login)
        if login not in self._cfg:
            raise KeyError(f"unknown account {login}")
        with self._lock:
            if login == self._login:
                return
            self._login = login
            self._acc = None
            self._run(lambda: None)

    def account_figures(self) -> dict:
        with self._lock:
            return self._run(self._account_figures)

    def handle(self, command: int, payload: bytes) -> Tuple[int, bytes]:
        handler = self._handlers.get(command)
        if handler is None:
            return ST_UNSUPPORTED, b""
        with self._lock:
            try:
                return self._run(lambda: handler(self, Reader(bytes(payload))))
            except PayloadError:
                return ST_PARAMS, b""
            except Exception:  # the request fails, the Terminal goes on
                log.exception("command %d failed", command)
                return ST_FAILED, b""

    def close(self) -> None:
        with self._lock:
            self._store.close()

    # ------------------------------------------------------------- transaction
    def _run(self, fn):
        """Bring the state up to now, call fn, commit; on failure roll back and reload."""
        store = self._store
        store.begin()
        self._changes = store.db.total_changes
        try:
            if store.data_version() != self._version or self._acc is None:
                self._load_in_txn()
            acc = self._acc
            now = max(int(self._market.now_ms()), acc.processed_ms)
            self._advance(acc, now)
            try:
                result = fn()
            except PayloadError:
                self._save_account(acc)
                store.commit()
                raise
            self._save_account(acc)
            store.commit()
            return result
        except PayloadError:
            raise
        except BaseException:
            store.rollback()
            self._acc = None
            raise

    def _load_in_txn(self) -> None:
        store = self._store
        login = self._login
        row = store.account(login)
        if row is None:  # reset from outside without recreating: start afresh
            create_account(store, self._cfg[login], int(self._market.now_ms()))
            row = store.account(login)
        acc = Account(login, self._cfg[login], row[0], row[1], row[2], row[3])
        for p in store.positions(login):
            acc.add_position(p)
            acc.swaps += p.swap
        for o in store.active_orders(login):
            acc.orders[o.ticket] = o
        self._next_ticket = store.meta("next_ticket")
        self._request_id = store.meta("request_id")
        self._saved_ticket, self._saved_request = self._next_ticket, self._request_id
        self._saved_acc = (acc.balance, acc.processed_ms)
        self._acc = acc
        self._px.clear()
        self._version = store.data_version()

    def _save_account(self, acc: Account) -> None:
        store = self._store
        # The processed time alone is not worth a disk sync: replaying ticks that changed
        # nothing changes nothing, so it is saved with the next real change.
        wrote = store.db.total_changes != self._changes
        if acc.balance != self._saved_acc[0] or (wrote and acc.processed_ms != self._saved_acc[1]):
            store.save_account(acc.login, acc.balance, acc.credit, acc.processed_ms, acc.created_ms)
            self._saved_acc = (acc.balance, acc.processed_ms)
        if self._next_ticket != self._saved_ticket:
            store.set_meta("next_ticket", self._next_ticket)
            self._saved_ticket = self._next_ticket
        if self._request_id != self._saved_request:
            store.set_meta("request_id", self._request_id)
            self._saved_request = self._request_id

    def _ticket(self) -> int:
        t = self._next_ticket
        self._next_ticket = t + 1
        return t

    # ------------------------------------------------------------------ market
    def _all_specs(self) -> List[object]:
        out = []
        for item in self._market.symbols():
            name = item if isinstance(item, str) else getattr(item, "name")
            spec = self._spec(name)
            if spec is not None:
                out.append(spec)
        return out

    def _spec(self, name: str):
        spec = self._specs.get(name)
        if spec is None:
            spec = self._market.symbol(name)
            if spec is not None:
                self._specs[name] = spec
        return spec

    def _quote(self, name: str) -> Optional[Tuple[float, float]]:
        q = self._px.get(name)
        if q is None:
            tick = self._market.tick_at(name, self._now)
            if tick is None or tick.bid <= 0 or tick.ask <= 0:
                return None
            q = (float(tick.bid), float(tick.ask))
            if self._px_live:
                self._px[name] = q
        return q

    # ------------------------------------------------------------------ events
    def _advance(self, acc: Account, now: int) -> None:
        if now <= acc.processed_ms:
            self._now = now
            return
        self._px.clear()
        start = acc.processed_ms
        while start < now and (acc.positions or acc.orders):
            end = min(now, start + CHUNK_MS)
            self._advance_chunk(acc, start, end)
            start = end
        self._px_live = True
        self._now = now
        acc.processed_ms = now
        if start < now:  # nothing left to watch: later prices matter only from now on
            self._px.clear()

    def _relevant(self, acc: Account) -> List[str]:
        names = set(acc.by_symbol)
        names.update(o.symbol for o in acc.orders.values())
        ccy = acc.currency
        for name in list(names):
            spec = self._spec(name)
            if spec is None:
                continue
            for c in (spec.currency_profit, calc.margin_conversion_currency(spec)):
                for a, b in ((c, ccy), (c, "USD"), ("USD", ccy)):
                    for key in ((a, b), (b, a)):
                        pair = self._rates.pairs.get(key)
                        if pair is not None:
                            names.add(pair)
        return sorted(names)

    def _advance_chunk(self, acc: Account, start: int, end: int) -> None:
        names = self._relevant(acc)
        self._px.clear()
        self._px_live = False
        self._now = start
        for name in names:
            tick = self._market.tick_at(name, start)
            if tick is not None and tick.bid > 0 and tick.ask > 0:
                self._px[name] = (float(tick.bid), float(tick.ask))
        streams = []
        for i, name in enumerate(names):
            ticks = self._market.ticks_between(name, start + 1, end)
            if ticks:
                streams.append([(t.time_msc, i, j, t) for j, t in enumerate(ticks)])
        expiries = sorted((e, o.ticket) for o in acc.orders.values()
                          if (e := _expiry_ms(o)) is not None and e <= end)
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
            self._now = t_ms
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
        self._now = t_ms
        store = self._store
        for p in list(acc.positions.values()):
            spec = self._spec(p.symbol)
            try:
                amount = self._swap_of(acc, spec, p)
            except (NoRate, ValueError):
                continue
            if dow == int(getattr(spec, "swap_rollover3days", 3)):
                amount *= 3
            amount = money(amount)
            if amount:
                p.swap = money(p.swap + amount)
                acc.swaps += amount
                acc.touch(p)
                store.save_position(p)

    def _swap_of(self, acc: Account, spec, p: Position) -> float:
        mode = int(getattr(spec, "swap_mode", 0) or 0)
        rate = float(getattr(spec, "swap_long" if p.type == BUY else "swap_short", 0.0) or 0.0)
        if not rate or not mode:
            return 0.0
        ccy = acc.currency
        if mode == 1:    # points
            return rate * self._point(spec) * p.volume * calc.profit_factor(spec) * \
                self._rates.rate(spec.currency_profit, ccy)
        if mode == 2:    # money per lot in the margin currency
            return rate * p.volume * self._rates.rate(calc.margin_currency(spec), ccy)
        if mode == 3:    # money per lot in the account currency
            return rate * p.volume
        if mode in (4, 5):  # yearly interest on the current or the opening price
            q = self._quote(p.symbol)
            price = p.price_open if mode == 5 or q is None else (q[0] if p.type == BUY else q[1])
            value = p.volume * float(getattr(spec, "trade_contract_size", 1.0)) * price
            return value * rate / 100.0 / 360.0 * self._rates.rate(spec.currency_profit, ccy)
        return 0.0

    def _expire(self, acc: Account, ticket: int, t_ms: int) -> None:
        o = acc.orders.get(ticket)
        if o is not None:
            self._finish_order(acc, o, EXPIRED, t_ms)

    def _on_tick(self, acc: Account, name: str, t_ms: int) -> None:
        bid, ask = self._px[name]
        for o in [o for o in acc.orders.values() if o.symbol == name]:
            self._check_order(acc, o, bid, ask, t_ms)
        watched = acc.watched(name)
        if watched:
            digits = int(getattr(self._spec(name), "digits", 5))
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
            self._store.save_order(o)
            t = o.type
        hit = (t == BUY_LIMIT and ask <= o.price_open or t == SELL_LIMIT and bid >= o.price_open
               or t == BUY_STOP and ask >= o.price_open or t == SELL_STOP and bid <= o.price_open)
        if not hit:
            return
        spec = self._spec(o.symbol)
        buy = is_buy(t)
        price = ask if buy else bid
        try:
            plan = self._plan(acc, spec, buy, o.volume_current, price, 0)
            if plan.opens:
                fig = self._figures(acc, plan)
                if fig["margin_free"] < 0:
                    raise Reject(NO_MONEY, "No money")
        except (Reject, NoRate):
            self._finish_order(acc, o, REJECTED, t_ms)
            return
        o.price_current = price
        deal = self._execute(acc, plan, o, o.reason, t_ms, o.sl, o.tp, o.comment, o.magic)
        o.position_id = deal.position_id
        o.volume_current = 0.0
        self._finish_order(acc, o, FILLED, t_ms)

    def _finish_order(self, acc: Account, o: Order, state: int, t_ms: int) -> None:
        o.state = state
        o.time_done_msc = t_ms
        o.active = False
        acc.orders.pop(o.ticket, None)
        self._store.save_order(o)

    def _stop_out(self, acc: Account, t_ms: int) -> None:
        so = float(acc.cfg.get("margin_so_so", 0.0) or 0.0)
        in_money = int(acc.cfg.get("margin_so_mode", 0) or 0) == 1
        while acc.positions:
            equity, margin = self._equity_margin(acc)
            if margin <= 0 or (equity if in_money else equity / margin * 100.0) >= so:
                return  # stop-out only below the limit
            level = equity / margin * 100.0
            worst, worst_profit = None, None
            for p in acc.positions.values():
                pr = self._position_profit(acc, p)[1]
                if worst is None or pr < worst_profit:
                    worst, worst_profit = p, pr
            q = self._quote(worst.symbol)
            if q is None:
                return
            price = q[0] if worst.type == BUY else q[1]
            self._close_event(acc, worst, REASON_SO, price, t_ms, f"[so {level:.2f}%]")

    def _close_event(self, acc: Account, p: Position, reason: int, price: float, t_ms: int,
                     comment: str) -> None:
        spec = self._spec(p.symbol)
        buy = p.type != BUY
        plan = self._plan(acc, spec, buy, p.volume, price, p.ticket)
        o = Order(self._ticket(), acc.login, p.symbol, SELL if p.type == BUY else BUY, 0, 0,
                  FILLED, p.magic, p.ticket, 0, reason, p.volume, 0.0, price, 0.0, 0.0, price,
                  0.0, t_ms, t_ms, 0, comment, False)
        self._execute(acc, plan, o, reason, t_ms, 0.0, 0.0, comment, p.magic)
        self._store.save_order(o)

    # ----------------------------------------------------------------- figures
    def _sym_figures(self, acc: Account, name: str, agg) -> Tuple[float, float]:
        bv, bvo, sv, svo = agg
        if bv <= 0 and sv <= 0:
            return 0.0, 0.0
        spec = self._spec(name)
        if spec is None:  # dropped from the catalogue: nothing to value it with
            return 0.0, 0.0
        q = self._quote(name)
        if q is None:
            bid = ask = (bvo + svo) / (bv + sv)
        else:
            bid, ask = q
        ccy = acc.currency
        try:
            rate = self._rates.rate(spec.currency_profit, ccy)
            factor = calc.profit_factor(spec)
            profit = ((bid * bv - bvo) + (svo - ask * sv)) * factor * rate
            mb = self._rates.margin(spec, bv, ask, acc.leverage, ccy) if bv > 0 else 0.0
            ms = self._rates.margin(spec, sv, bid, acc.leverage, ccy) if sv > 0 else 0.0
        except NoRate:
            return 0.0, 0.0
        if not acc.hedging:
            return profit, mb + ms
        if bv > 0 and sv > 0 and not getattr(spec, "margin_hedged_use_leg", False):
            # The overlapping volume is charged margin_hedged units per lot instead of the
            # contract size; the rest of the larger side pays full margin.
            h = min(bv, sv)
            per_b, per_s = mb / bv, ms / sv
            contract = float(getattr(spec, "trade_contract_size", 0.0) or 0.0)
            ratio = float(getattr(spec, "margin_hedged", 0.0) or 0.0) / contract if contract else 0.0
            rest = (bv - h) * per_b if bv >= sv else (sv - h) * per_s
            return profit, rest + h * (per_b + per_s) / 2.0 * ratio
        return profit, max(mb, ms)

    def _equity_margin(self, acc: Account, plan: Optional[Plan] = None) -> Tuple[float, float]:
        profit = margin = 0.0
        names = set(acc.by_symbol)
        if plan is not None:
            names.add(plan.symbol)
        for name in names:
            agg = self._plan_agg(acc, plan) if plan is not None and name == plan.symbol else acc.agg(name)
            p, m = self._sym_figures(acc, name, agg)
            profit += p
            margin += m
        balance = acc.balance + (plan.realized if plan is not None else 0.0)
        return balance + acc.credit + acc.swaps + profit, margin

    def _plan_agg(self, acc: Account, plan: Plan):
        bv, bvo, sv, svo = acc.agg(plan.symbol)
        p = plan.pos
        if p is not None:
            if p.type == BUY:
                bv, bvo = bv - p.volume, bvo - p.volume * p.price_open
            else:
                sv, svo = sv - p.volume, svo - p.volume * p.price_open
            if plan.remaining > 0:
                price = plan.new_price
                if p.type == BUY:
                    bv, bvo = bv + plan.remaining, bvo + plan.remaining * price
                else:
                    sv, svo = sv + plan.remaining, svo + plan.remaining * price
        if plan.open_volume > 0:
            if plan.buy:
                bv, bvo = bv + plan.open_volume, bvo + plan.open_volume * plan.price
            else:
                sv, svo = sv + plan.open_volume, svo + plan.open_volume * plan.price
        return (max(bv, 0.0), bvo, max(sv, 0.0), svo)

    def _figures(self, acc: Account, plan: Optional[Plan] = None) -> dict:
        equity, margin = self._equity_margin(acc, plan)
        balance = money(acc.balance + (plan.realized + plan.swap if plan is not None else 0.0))
        equity = money(equity)
        margin = money(margin)
        return {"balance": balance, "credit": acc.credit, "profit": money(equity - balance - acc.credit),
                "equity": equity, "margin": margin, "margin_free": money(equity - margin),
                "margin_level": money(equity / margin * 100.0) if margin > 0 else 0.0}

    def _account_figures(self) -> dict:
        acc = self._acc
        fig = self._figures(acc)
        pending = 0.0
        for o in acc.orders.values():
            spec = self._spec(o.symbol)
            try:
                pending += self._rates.margin(spec, o.volume_current, o.price_open, acc.leverage,
                                              acc.currency)
            except (NoRate, ValueError):
                pass
        fig.update(margin_so_call=float(acc.cfg.get("margin_so_call", 0.0) or 0.0),
                   margin_so_so=float(acc.cfg.get("margin_so_so", 0.0) or 0.0),
                   margin_initial=money(pending), margin_maintenance=fig["margin"],
                   assets=0.0, liabilities=0.0, commission_blocked=0.0)
        return fig

    def _position_profit(self, acc: Account, p: Position) -> Tuple[float, float]:
        """Current close price and profit of one position."""
        q = self._quote(p.symbol)
        if q is None:
            return p.price_open, 0.0
        price = q[0] if p.type == BUY else q[1]
        try:
            pr = self._rates.profit(self._spec(p.symbol), p.type == BUY, p.volume, p.price_open,
                                    price, acc.currency)
        except NoRate:
            return price, 0.0
        return price, money(pr)

    # ---------------------------------------------------------------- planning
    def _plan(self, acc: Account, spec, buy: bool, volume: float, price: float,
              position: int) -> Plan:
        name = spec.name
        if acc.hedging:
            if position:
                p = acc.positions.get(position)
                if p is None:
                    raise Reject(POSITION_CLOSED, "Position doesn't exist")
                if p.symbol != name:
                    raise Reject(INVALID, "Position belongs to another symbol")
                if (p.type == BUY) == buy:
                    raise Reject(INVALID, "Order type doesn't close the position")
                if volume > p.volume + _EPS:
                    raise Reject(CLOSE_VOLUME, "Volume exceeds the position")
                realized = money(self._rates.profit(spec, p.type == BUY, volume, p.price_open,
                                                    price, acc.currency))
                return Plan(name, buy, volume, price, ENTRY_OUT, p, volume, _vol(p.volume - volume),
                            p.price_open, 0.0, realized, False)
            return Plan(name, buy, volume, price, ENTRY_IN, None, 0.0, 0.0, 0.0, volume, 0.0, True)
        group = acc.by_symbol.get(name)
        p = next(iter(group.values())) if group else None
        if position and (p is None or p.ticket != position):
            raise Reject(POSITION_CLOSED, "Position doesn't exist")
        if p is None:
            return Plan(name, buy, volume, price, ENTRY_IN, None, 0.0, 0.0, 0.0, volume, 0.0, True)
        if (p.type == BUY) == buy:
            total = _vol(p.volume + volume)
            avg = (p.volume * p.price_open + volume * price) / total
            return Plan(name, buy, volume, price, ENTRY_IN, p, 0.0, total, avg, 0.0, 0.0, True)
        closed = min(volume, p.volume)
        realized = money(self._rates.profit(spec, p.type == BUY, closed, p.price_open, price,
                                            acc.currency))
        if volume > p.volume + _EPS:
            return Plan(name, buy, volume, price, ENTRY_INOUT, p, p.volume, 0.0, 0.0,
                        _vol(volume - p.volume), realized, True)
        return Plan(name, buy, volume, price, ENTRY_OUT, p, closed, _vol(p.volume - closed),
                    p.price_open, 0.0, realized, False)

    def _execute(self, acc: Account, plan: Plan, order: Order, reason: int, t_ms: int,
                 sl: float, tp: float, comment: str, magic: int) -> Deal:
        store = self._store
        p = plan.pos
        pid = plan.position_id(order.ticket)
        deal = Deal(self._ticket(), acc.login, order.ticket, t_ms, 0 if plan.buy else 1, plan.entry,
                    magic, pid, reason, plan.volume, plan.price, 0.0, plan.swap, plan.realized, 0.0,
                    plan.symbol, comment)
        store.add_deal(deal)
        if plan.realized or deal.swap:
            acc.balance = money(acc.balance + plan.realized + deal.swap)
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

    # -------------------------------------------------------------- validation
    def _point(self, spec) -> float:
        return float(getattr(spec, "point", 0.0) or 10.0 ** -int(getattr(spec, "digits", 5)))

    def _norm(self, spec, price: float) -> float:
        return round(price, int(getattr(spec, "digits", 5)))

    def _symbol(self, req: TradeRequest):
        spec = self._spec(req.symbol) if req.symbol else None
        if spec is None:
            raise Reject(INVALID, "Unknown symbol")
        return spec

    def _market_open(self, spec) -> Tuple[float, float]:
        if int(getattr(spec, "trade_mode", 4)) == 0:
            raise Reject(TRADE_DISABLED, "Trade disabled")
        if not self._market.is_trading(spec.name, self._now):
            raise Reject(MARKET_CLOSED, "Market closed")
        q = self._quote(spec.name)
        if q is None:
            raise Reject(NO_QUOTES, "No quotes")
        acc = self._acc
        try:
            self._rates.rate(spec.currency_profit, acc.currency)
            self._rates.margin(spec, 1.0, q[1], acc.leverage, acc.currency)
        except NoRate:
            raise Reject(NO_QUOTES, "No quotes to convert into the account currency") from None
        return q

    def _check_volume(self, spec, volume: float) -> float:
        vmin = float(getattr(spec, "volume_min", 0.01) or 0.0)
        vmax = float(getattr(spec, "volume_max", 0.0) or 0.0)
        step = float(getattr(spec, "volume_step", 0.0) or 0.0)
        if not math.isfinite(volume) or volume <= 0 or volume < vmin - _EPS or (vmax and volume > vmax + _EPS):
            raise Reject(INVALID_VOLUME, "Invalid volume")
        if step > 0:
            n = volume / step
            if abs(n - round(n)) > 1e-6:
                raise Reject(INVALID_VOLUME, "Invalid volume")
        return _vol(volume)

    def _check_filling(self, spec, filling: int, pending: bool) -> None:
        bits = int(getattr(spec, "filling_mode", 0) or 0)
        if filling == 2:
            ok = pending or int(getattr(spec, "trade_exemode", 2)) != 2
        elif filling == 0:
            ok = bool(bits & 1)
        elif filling == 1:
            ok = bool(bits & 2)
        else:
            ok = False
        if not ok:
            raise Reject(INVALID_FILL, "Unsupported filling mode")

    def _check_order_mode(self, spec, bit: int) -> None:
        mode = getattr(spec, "order_mode", None)
        if mode is not None and not int(mode) & bit:
            raise Reject(INVALID, "Order type not allowed for the symbol")

    def _check_stops(self, spec, buy: bool, ref: float, sl: float, tp: float) -> None:
        """Stops of a buy sit below/above `ref` by at least the stops level (sell: mirrored)."""
        if not _finite(sl, tp) or sl < 0 or tp < 0:
            raise Reject(INVALID_STOPS, "Invalid stops")
        if sl > 0:
            self._check_order_mode(spec, 16)
        if tp > 0:
            self._check_order_mode(spec, 32)
        dist = int(getattr(spec, "trade_stops_level", 0) or 0) * self._point(spec)
        tol = self._point(spec) * 1e-3
        sign = 1.0 if buy else -1.0
        if sl > 0 and not (sign * (ref - sl) > 0 and sign * (ref - sl) >= dist - tol):
            raise Reject(INVALID_STOPS, "Invalid stops")
        if tp > 0 and not (sign * (tp - ref) > 0 and sign * (tp - ref) >= dist - tol):
            raise Reject(INVALID_STOPS, "Invalid stops")

    def _check_direction(self, spec, plan_opens_buy: Optional[bool]) -> None:
        mode = int(getattr(spec, "trade_mode", 4))
        if plan_opens_buy is None:
            return
        if mode == 3:
            raise Reject(CLOSE_ONLY, "Only position closing is allowed")
        if mode == 1 and not plan_opens_buy:
            raise Reject(LONG_ONLY, "Only long positions are allowed")
        if mode == 2 and plan_opens_buy:
            raise Reject(SHORT_ONLY, "Only short positions are allowed")

    def _check_freeze(self, spec, level_price: float, market_price: float) -> None:
        freeze = int(getattr(spec, "trade_freeze_level", 0) or 0) * self._point(spec)
        if freeze > 0 and level_price > 0 and abs(market_price - level_price) < freeze:
            raise Reject(FROZEN, "Order or position frozen")

    def _pending_prices(self, spec, otype: int, price: float, stoplimit: float,
                        q: Tuple[float, float]) -> None:
        bid, ask = q
        dist = int(getattr(spec, "trade_stops_level", 0) or 0) * self._point(spec)
        tol = self._point(spec) * 1e-3
        if not _finite(price, stoplimit) or price <= 0 or stoplimit < 0:
            raise Reject(INVALID_PRICE, "Invalid price")
        ok = {
            BUY_LIMIT: ask - price >= dist - tol,
            SELL_LIMIT: price - bid >= dist - tol,
            BUY_STOP: price - ask >= dist - tol,
            SELL_STOP: bid - price >= dist - tol,
            BUY_STOP_LIMIT: price - ask >= dist - tol and 0 < stoplimit <= price + tol,
            SELL_STOP_LIMIT: bid - price >= dist - tol and stoplimit >= price - tol,
        }[otype]
        if not ok:
            raise Reject(INVALID_PRICE, "Invalid price")

    def _expiration(self, spec, type_time: int, expiration: int, setup_ms: int) -> int:
        bits = int(getattr(spec, "expiration_mode", 15) or 0)
        if type_time not in (0, 1, 2, 3) or not bits & (1 << type_time):
            raise Reject(INVALID_EXPIRATION, "Invalid expiration")
        if type_time == 1:
            return (setup_ms // DAY_MS + 1) * DAY_MS // 1000
        if type_time == 2 and expiration * 1000 <= setup_ms:
            raise Reject(INVALID_EXPIRATION, "Invalid expiration")
        if type_time == 3 and (expiration * 1000 // DAY_MS + 1) * DAY_MS <= setup_ms:
            raise Reject(INVALID_EXPIRATION, "Invalid expiration")
        return expiration if type_time in (2, 3) else 0

    # ---------------------------------------------------------------- requests
    def _trade(self, req: TradeRequest, send: bool):
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
        acc = self._acc
        spec = self._symbol(req)
        if req.type not in (BUY, SELL):
            raise Reject(INVALID, "Invalid order type")
        self._check_order_mode(spec, 1)
        bid, ask = self._market_open(spec)
        volume = self._check_volume(spec, req.volume)
        self._check_filling(spec, req.type_filling, False)
        buy = req.type == BUY
        price = ask if buy else bid
        plan = self._plan(acc, spec, buy, volume, price, req.position)
        opens_buy = None
        if plan.opens:
            opens_buy = buy
        self._check_direction(spec, opens_buy)
        if not _finite(req.price) or req.price < 0:
            raise Reject(INVALID_PRICE, "Invalid price")
        if req.price > 0 and abs(req.price - price) > req.deviation * self._point(spec) + 1e-3 * self._point(spec):
            raise Reject(REQUOTE, "Requote")
        sl, tp = self._norm(spec, req.sl), self._norm(spec, req.tp)
        if plan.opens:
            self._check_stops(spec, buy, bid if buy else ask, sl, tp)
            limit = float(getattr(spec, "volume_limit", 0.0) or 0.0)
            if limit > 0:
                bv, _, sv, _ = self._plan_agg(acc, plan)
                if (bv if buy else sv) > limit + _EPS:
                    raise Reject(LIMIT_VOLUME, "Volume limit reached")
            fig = self._figures(acc, plan)
            if fig["margin_free"] < 0:
                raise Reject(NO_MONEY, "No money")
        if not send:
            return self._figures(acc, plan)
        t = self._now
        o = Order(self._ticket(), acc.login, spec.name, req.type, 0, req.type_filling, FILLED,
                  req.magic, 0, 0, REASON_API, volume, 0.0, price, sl if plan.opens else 0.0,
                  tp if plan.opens else 0.0, price, 0.0, t, t, 0, req.comment, False)
        deal = self._execute(acc, plan, o, REASON_API, t, sl, tp, req.comment, req.magic)
        self._store.save_order(o)
        return DONE, "Request executed", deal.ticket, o.ticket, volume, price, bid, ask

    def _pending(self, req: TradeRequest, send: bool):
        acc = self._acc
        spec = self._symbol(req)
        otype = req.type
        if otype not in (BUY_LIMIT, SELL_LIMIT, BUY_STOP, SELL_STOP, BUY_STOP_LIMIT, SELL_STOP_LIMIT):
            raise Reject(INVALID, "Invalid order type")
        self._check_order_mode(spec, {2: 2, 3: 2, 4: 4, 5: 4, 6: 8, 7: 8}[otype])
        q = self._market_open(spec)
        buy = is_buy(otype)
        self._check_direction(spec, buy)
        volume = self._check_volume(spec, req.volume)
        self._check_filling(spec, req.type_filling, True)
        price = self._norm(spec, req.price) if _finite(req.price) else req.price
        stoplimit = self._norm(spec, req.stoplimit) if _finite(req.stoplimit) else req.stoplimit
        self._pending_prices(spec, otype, price, stoplimit, q)
        ref = stoplimit if otype in (BUY_STOP_LIMIT, SELL_STOP_LIMIT) else price
        sl, tp = self._norm(spec, req.sl), self._norm(spec, req.tp)
        self._check_stops(spec, buy, ref, sl, tp)
        t = self._now
        expiration = self._expiration(spec, req.type_time, req.expiration, t)
        limit = int(acc.cfg.get("limit_orders", 200) or 0)
        if limit and len(acc.orders) >= limit:
            raise Reject(LIMIT_ORDERS, "Pending orders limit reached")
        fill_price = stoplimit if otype in (BUY_STOP_LIMIT, SELL_STOP_LIMIT) else price
        if not send:
            return self._figures(acc, self._plan(acc, spec, buy, volume, fill_price, 0))
        o = Order(self._ticket(), acc.login, spec.name, otype, req.type_time, req.type_filling, PLACED,
                  req.magic, 0, 0, REASON_API, volume, volume, price, sl, tp, q[1] if buy else q[0],
                  stoplimit if otype in (BUY_STOP_LIMIT, SELL_STOP_LIMIT) else 0.0, t, 0,
                  expiration, req.comment, True)
        acc.orders[o.ticket] = o
        self._store.save_order(o)
        return PLACED_OK, "Request placed", 0, o.ticket, volume, price, q[0], q[1]

    def _find_position(self, req: TradeRequest) -> Position:
        acc = self._acc
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
        acc = self._acc
        p = self._find_position(req)
        spec = self._spec(p.symbol)
        bid, ask = self._market_open(spec)
        close = bid if p.type == BUY else ask
        sl, tp = self._norm(spec, req.sl), self._norm(spec, req.tp)
        self._check_stops(spec, p.type == BUY, close, sl, tp)
        self._check_freeze(spec, p.sl, close)
        self._check_freeze(spec, p.tp, close)
        if sl == p.sl and tp == p.tp:
            raise Reject(NO_CHANGES, "No changes")
        if not send:
            return self._figures(acc)
        p.sl, p.tp = sl, tp
        p.time_update_msc = self._now
        acc.changed(p)
        self._store.save_position(p)
        return DONE, "Request executed", 0, 0, p.volume, 0.0, bid, ask

    def _active_order(self, req: TradeRequest) -> Order:
        o = self._acc.orders.get(req.order)
        if o is None:
            raise Reject(INVALID_ORDER, "Invalid or unknown order")
        if req.symbol and req.symbol != o.symbol:
            raise Reject(INVALID, "Order belongs to another symbol")
        return o

    def _modify(self, req: TradeRequest, send: bool):
        acc = self._acc
        o = self._active_order(req)
        spec = self._spec(o.symbol)
        q = self._market_open(spec)
        buy = is_buy(o.type)
        self._check_freeze(spec, o.price_open, q[1] if buy else q[0])
        price = self._norm(spec, req.price) if _finite(req.price) else req.price
        stoplimit = self._norm(spec, req.stoplimit) if _finite(req.stoplimit) else req.stoplimit
        if o.type not in (BUY_STOP_LIMIT, SELL_STOP_LIMIT):
            stoplimit = 0.0
        self._pending_prices(spec, o.type, price, stoplimit, q)
        sl, tp = self._norm(spec, req.sl), self._norm(spec, req.tp)
        self._check_stops(spec, buy, stoplimit if stoplimit else price, sl, tp)
        expiration = self._expiration(spec, req.type_time, req.expiration, self._now)
        if (price, stoplimit, sl, tp, req.type_time, expiration) == (
                o.price_open, o.price_stoplimit, o.sl, o.tp, o.type_time, o.time_expiration):
            raise Reject(NO_CHANGES, "No changes")
        if not send:
            return self._figures(acc)
        o.price_open, o.price_stoplimit, o.sl, o.tp = price, stoplimit, sl, tp
        o.type_time, o.time_expiration = req.type_time, expiration
        self._store.save_order(o)
        return DONE, "Request executed", 0, o.ticket, o.volume_current, price, q[0], q[1]

    def _remove(self, req: TradeRequest, send: bool):
        acc = self._acc
        o = self._active_order(req)
        spec = self._spec(o.symbol)
        q = self._quote(o.symbol)
        if q is not None:
            self._check_freeze(spec, o.price_open, q[1] if is_buy(o.type) else q[0])
        if not send:
            return self._figures(acc)
        self._finish_order(acc, o, CANCELED, self._now)
        bid, ask = q if q is not None else (0.0, 0.0)
        return DONE, "Request executed", 0, o.ticket, o.volume_current, o.price_open, bid, ask

    def _close_by(self, req: TradeRequest, send: bool):
        acc = self._acc
        if not acc.hedging:
            raise Reject(INVALID, "Close by is only for hedging accounts")
        a = acc.positions.get(req.position)
        b = acc.positions.get(req.position_by)
        if a is None or b is None:
            raise Reject(POSITION_CLOSED, "Position doesn't exist")
        if a.symbol != b.symbol or a.type == b.type or (req.symbol and req.symbol != a.symbol):
            raise Reject(INVALID, "Positions can't close each other")
        spec = self._spec(a.symbol)
        self._check_order_mode(spec, 64)
        bid, ask = self._market_open(spec)
        volume = min(a.volume, b.volume)
        price = b.price_open
        realized = money(self._rates.profit(spec, a.type == BUY, volume, a.price_open, price,
                                            acc.currency))
        plan_a = Plan(a.symbol, a.type != BUY, volume, price, ENTRY_OUT_BY, a, volume,
                      _vol(a.volume - volume), a.price_open, 0.0, realized, False)
        if not send:
            return self._figures(acc, plan_a)
        t = self._now
        o = Order(self._ticket(), acc.login, a.symbol, CLOSE_BY, 0, 0, FILLED, req.magic, a.ticket,
                  b.ticket, REASON_API, volume, 0.0, price, 0.0, 0.0, price, 0.0, t, t, 0,
                  req.comment, False)
        deal = self._execute(acc, plan_a, o, REASON_API, t, 0.0, 0.0, req.comment, req.magic)
        plan_b = Plan(b.symbol, b.type != BUY, volume, price, ENTRY_OUT_BY, b, volume,
                      _vol(b.volume - volume), b.price_open, 0.0, 0.0, False)
        self._execute(acc, plan_b, o, REASON_API, t, 0.0, 0.0, req.comment, req.magic)
        o.position_id = a.ticket
        self._store.save_order(o)
        return DONE, "Request executed", deal.ticket, o.ticket, volume, price, bid, ask

    # ---------------------------------------------------------------- commands
    def _cmd_check(self, r: Reader):
        req = TradeRequest.unpack(r.data)
        try:
            fig = self._trade(req, send=False)
        except Reject as e:
            return ST_OK, pack_check(e.retcode, self._figures(self._acc), e.comment)
        except NoRate:
            return ST_OK, pack_check(NO_QUOTES, self._figures(self._acc), "No quotes")
        return ST_OK, pack_check(0, fig, "Done")

    def _cmd_send(self, r: Reader):
        req = TradeRequest.unpack(r.data)
        if not self._settings.get("trade_api_allowed", True):
            return ST_API_DISABLED, b""
        self._request_id += 1
        rid = self._request_id
        try:
            retcode, comment, deal, order, volume, price, bid, ask = self._trade(req, send=True)
        except Reject as e:
            q = self._quote(req.symbol) if req.symbol and self._spec(req.symbol) else None
            bid, ask = q if q is not None else (0.0, 0.0)
            return ST_OK, pack_send(e.retcode, 0, 0, 0.0, 0.0, bid, ask, e.comment, rid)
        except NoRate:
            return ST_OK, pack_send(NO_QUOTES, 0, 0, 0.0, 0.0, 0.0, 0.0, "No quotes", rid)
        return ST_OK, pack_send(retcode, deal, order, volume, price, bid, ask, comment, rid)

    def _calc_args(self, r: Reader, n_prices: int):
        action = r.take(U32)
        name = r.text()
        values = [r.take(F64) for _ in range(1 + n_prices)]
        r.end()
        spec = self._spec(name) if name else None
        if spec is None:
            return None
        if action > SELL_STOP_LIMIT or not _finite(*values) or values[0] < 0:
            raise PayloadError("invalid calculation arguments")
        return action, spec, values

    def _cmd_margin(self, r: Reader):
        args = self._calc_args(r, 1)
        if args is None:
            return ST_NOT_FOUND, b""
        action, spec, (volume, price) = args
        acc = self._acc
        try:
            m = self._rates.margin(spec, volume, price, acc.leverage, acc.currency)
        except NoRate:
            return ST_FAILED, b""
        return ST_OK, F64.pack(money(m))

    def _cmd_profit(self, r: Reader):
        args = self._calc_args(r, 2)
        if args is None:
            return ST_NOT_FOUND, b""
        action, spec, (volume, po, pc) = args
        acc = self._acc
        try:
            pr = self._rates.profit(spec, is_buy(action), volume, po, pc, acc.currency)
        except NoRate:
            return ST_FAILED, b""
        return ST_OK, F64.pack(money(pr))

    def _position_records(self, positions: Optional[List[Position]] = None) -> bytes:
        """Array reply of the given positions, or of all (from the account's snapshot)."""
        if positions is None:
            buf, symbols = self._acc.snapshot()
        else:
            buf = bytearray(U32.pack(len(positions)))
            buf += b"".join([p.static_record() for p in positions])
            symbols = [p.symbol for p in positions]
        if not symbols:
            return U32.pack(0)
        arr = np.frombuffer(buf, dtype=_POS_DTYPE, offset=4)
        distinct = set(symbols)
        names = np.array(symbols, dtype=object) if len(distinct) > 1 else None
        acc = self._acc
        current, profit = arr["price_current"], arr["profit"]
        for name in distinct:
            idx = np.nonzero(names == name)[0] if names is not None else slice(None)
            q = self._quote(name)
            spec = self._spec(name)
            opened = arr["price_open"][idx]
            if q is None or spec is None:
                current[idx] = opened
                profit[idx] = 0.0
                continue
            buy = arr["type"][idx] == BUY
            pc = np.where(buy, q[0], q[1])
            diff = np.where(buy, pc - opened, opened - pc)
            try:
                k = calc.profit_factor(spec) * self._rates.rate(spec.currency_profit, acc.currency)
            except NoRate:
                k = 0.0
            current[idx] = pc
            # Same rounding as money(): scale, round half to even, unscale.
            profit[idx] = np.rint(diff * arr["volume"][idx] * k * 100.0) / 100.0
        return bytes(buf)

    def _cmd_positions_total(self, r: Reader):
        r.end()
        return ST_OK, U32.pack(len(self._acc.positions))

    def _cmd_positions(self, r: Reader):
        r.end()
        return ST_OK, self._position_records()

    def _cmd_positions_symbol(self, r: Reader):
        name = r.text()
        r.end()
        group = self._acc.by_symbol.get(name, {})
        return ST_OK, self._position_records(list(group.values()))

    def _cmd_position_ticket(self, r: Reader):
        ticket = r.take(U64)
        r.end()
        p = self._acc.positions.get(ticket)
        if p is None:
            return ST_NOT_FOUND, b""
        return ST_FOUND, self._position_records([p])[4:]

    def _order_record(self, o: Order) -> bytes:
        q = self._quote(o.symbol)
        pc = (q[1] if is_buy(o.type) else q[0]) if q is not None else o.price_current
        return o.record(pc)

    def _order_array(self, orders: List[Order]) -> bytes:
        return U32.pack(len(orders)) + b"".join(self._order_record(o) for o in orders)

    def _cmd_orders_total(self, r: Reader):
        r.end()
        return ST_OK, U32.pack(len(self._acc.orders))

    def _cmd_orders(self, r: Reader):
        r.end()
        return ST_OK, self._order_array(list(self._acc.orders.values()))

    def _cmd_orders_symbol(self, r: Reader):
        name = r.text()
        r.end()
        return ST_OK, self._order_array([o for o in self._acc.orders.values() if o.symbol == name])

    def _cmd_order_ticket(self, r: Reader):
        ticket = r.take(U64)
        r.end()
        o = self._acc.orders.get(ticket)
        if o is None:
            return ST_NOT_FOUND, b""
        return ST_FOUND, self._order_record(o)

    @staticmethod
    def _range(r: Reader) -> Tuple[int, int]:
        date_from, date_to = r.take(RANGE)
        r.end()
        # Whole seconds on the wire: the upper bound covers its last millisecond. Any int64
        # is a valid date, so clamp before turning it into milliseconds that SQLite can hold.
        limit = (2**63 - 1) // 1000 - 1
        date_from, date_to = (max(-limit, min(limit, d)) for d in (date_from, date_to))
        return date_from * 1000, date_to * 1000 + 999

    def _cmd_history_orders_total(self, r: Reader):
        lo, hi = self._range(r)
        n = self._store.count("orders", self._login, "time_setup_msc BETWEEN ? AND ?", (lo, hi))
        return ST_OK, U32.pack(n)

    def _cmd_history_orders(self, r: Reader):
        lo, hi = self._range(r)
        orders = self._store.history_orders(self._login, "time_setup_msc BETWEEN ? AND ?", (lo, hi))
        return ST_OK, U32.pack(len(orders)) + b"".join(o.record() for o in orders)

    def _cmd_history_orders_position(self, r: Reader):
        pid = r.take(U64)
        r.end()
        orders = self._store.history_orders(self._login, "position_id=?", (_signed(pid),))
        return ST_OK, U32.pack(len(orders)) + b"".join(o.record() for o in orders)

    def _cmd_history_order_ticket(self, r: Reader):
        ticket = r.take(U64)
        r.end()
        orders = self._store.history_orders(self._login, "ticket=?", (_signed(ticket),))
        if not orders:
            return ST_NOT_FOUND, b""
        return ST_FOUND, orders[0].record()

    def _cmd_history_deals_total(self, r: Reader):
        lo, hi = self._range(r)
        return ST_OK, U32.pack(self._store.count("deals", self._login, "time_msc BETWEEN ? AND ?",
                                                 (lo, hi)))

    def _cmd_history_deals(self, r: Reader):
        lo, hi = self._range(r)
        deals = self._store.deals(self._login, "time_msc BETWEEN ? AND ?", (lo, hi))
        return ST_OK, U32.pack(len(deals)) + b"".join(d.record() for d in deals)

    def _cmd_history_deals_position(self, r: Reader):
        pid = r.take(U64)
        r.end()
        deals = self._store.deals(self._login, "position_id=?", (_signed(pid),))
        return ST_OK, U32.pack(len(deals)) + b"".join(d.record() for d in deals)

    def _cmd_history_deal_ticket(self, r: Reader):
        ticket = r.take(U64)
        r.end()
        deals = self._store.deals(self._login, "ticket=?", (_signed(ticket),))
        if not deals:
            return ST_NOT_FOUND, b""
        return ST_FOUND, deals[0].record()

    _handlers = {
        120: _cmd_positions_total, 121: _cmd_positions, 122: _cmd_positions_symbol,
        123: _cmd_position_ticket,
        130: _cmd_orders_total, 131: _cmd_orders, 132: _cmd_orders_symbol, 133: _cmd_order_ticket,
        140: _cmd_history_orders_total, 141: _cmd_history_orders,
        142: _cmd_history_orders_position, 143: _cmd_history_order_ticket,
        150: _cmd_history_deals_total, 151: _cmd_history_deals,
        152: _cmd_history_deals_position, 153: _cmd_history_deal_ticket,
        160: _cmd_check, 161: _cmd_send, 162: _cmd_margin, 163: _cmd_profit,
    }


def _signed(v: int) -> int:
    return v - (1 << 64) if v >= 1 << 63 else v


def create_account(store: Store, cfg: dict, now_ms: int) -> None:
    """A fresh account whose deposit is its first (balance) deal."""
    login = int(cfg["login"])
    deposit = float(cfg.get("deposit", 0.0) or 0.0)
    store.save_account(login, deposit, 0.0, now_ms, now_ms)
    if deposit:
        ticket = store.meta("next_ticket")
        store.set_meta("next_ticket", ticket + 1)
        store.add_deal(Deal(ticket, login, 0, now_ms, DEAL_BALANCE, ENTRY_IN, 0, 0, REASON_CLIENT,
                            0.0, 0.0, 0.0, 0.0, deposit, 0.0, "", "Deposit"))


def reset_account(data_dir: str, settings: dict, login: Optional[int] = None, *,
                  now_ms: Optional[int] = None) -> List[int]:
    """Start one configured account (or all of them) afresh: no positions, orders or history,
    the balance back at the configured deposit (a balance deal at `now_ms`, default the wall
    clock). Safe while the Terminal runs: its engine sees the change and reloads. Returns the
    logins that were reset; an unknown login raises KeyError."""
    accounts = {int(a["login"]): a for a in settings.get("accounts", [])}
    if login is not None and int(login) not in accounts:
        raise KeyError(f"unknown account {login}")
    targets = [int(login)] if login is not None else list(accounts)
    store = Store(connect(data_dir))
    try:
        store.begin()
        try:
            now = int(time.time() * 1000) if now_ms is None else int(now_ms)
            for lg in targets:
                store.delete_account(lg)
                create_account(store, accounts[lg], now)
            store.commit()
        except BaseException:
            store.rollback()
            raise
    finally:
        store.close()
    return targets
