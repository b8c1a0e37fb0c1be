"""Account figures: equity, margin and free margin, now or after a planned deal.

Each symbol's part of the figures (the profit and margin of its positions) is kept with the
account and worked out again only when what it depends on has changed: its positions, its
own quote or the quote of a pair that converts its currencies. A tick of one symbol thus
costs the symbols that depend on it, not the whole account. ``series`` works out the same
figures over a run of ticks at once, for the engine's scan of the ticks between requests.
"""
from __future__ import annotations

from typing import Callable, Dict, Optional, Sequence, Tuple

import numpy as np

from . import calc
from .book import Account, Plan, money
from .calc import CurrencyConverter, NoRate, SeriesConverter
from .model import BUY, Position
from .quotes import Quotes

Agg = Tuple[float, float, float, float]


def symbol_figures(sym, agg: Agg, bid, ask, rate: Callable, margin: Callable, hedging: bool,
                   maximum: Callable) -> Tuple:
    """Profit and margin of one symbol's positions from their volume sums. The same code for
    one quote (floats) and for a run of quotes (numpy arrays), so both give the same figures:
    `rate(ccy)` converts into the account currency, `margin(sym, volume, price)` is a
    margin in it."""
    bv, bvo, sv, svo = agg
    profit = ((bid * bv - bvo) + (svo - ask * sv)) * calc.profit_factor(sym) * rate(sym.currency_profit)
    mb = margin(sym, bv, ask) if bv > 0 else 0.0
    ms = margin(sym, sv, bid) if sv > 0 else 0.0
    if not hedging:
        return profit, mb + ms
    if bv > 0 and sv > 0 and not getattr(sym, "margin_hedged_use_leg", False):
        # The overlapping volume is charged margin_hedged units per lot instead of the
        # contract size; the rest of the larger side pays full margin.
        h = min(bv, sv)
        per_b, per_s = mb / bv, ms / sv
        contract = float(getattr(sym, "trade_contract_size", 0.0) or 0.0)
        ratio = float(getattr(sym, "margin_hedged", 0.0) or 0.0) / contract if contract else 0.0
        rest = (bv - h) * per_b if bv >= sv else (sv - h) * per_s
        return profit, rest + h * (per_b + per_s) / 2.0 * ratio
    return profit, maximum(mb, ms)


class Valuation:
    """Values an account with the quotes at the engine's present."""

    def __init__(self, quotes: Quotes, converter: CurrencyConverter):
        self.quotes = quotes
        self.converter = converter
        self._deps: Dict[Tuple[str, str], Tuple[str, ...]] = {}

    def depends_on(self, name: str, ccy: str) -> Tuple[str, ...]:
        """The symbols whose quotes a symbol's figures read in an account of currency ccy."""
        key = (name, ccy)
        got = self._deps.get(key)
        if got is None:
            names = {name}
            sym = self.quotes.instrument(name)
            if sym is not None:
                pairs = self.converter.pairs
                for c in (sym.currency_profit, calc.margin_conversion_currency(sym)):
                    for a, b in ((c, ccy), (c, "USD"), ("USD", ccy)):
                        for k in ((a, b), (b, a)):
                            if k in pairs:
                                names.add(pairs[k])
            got = self._deps[key] = tuple(sorted(names))
        return got

    def _sym_figures(self, acc: Account, name: str, agg: Agg) -> Tuple[float, float]:
        bv, bvo, sv, svo = agg
        if bv <= 0 and sv <= 0:
            return 0.0, 0.0
        sym = self.quotes.instrument(name)
        if sym is None:  # dropped from the catalogue: nothing to value it with
            return 0.0, 0.0
        q = self.quotes.quote(name)
        if q is None:
            bid = ask = (bvo + svo) / (bv + sv)
        else:
            bid, ask = q
        ccy, conv, lev = acc.currency, self.converter, acc.leverage
        try:
            return symbol_figures(sym, agg, bid, ask, lambda c: conv.rate(c, ccy),
                                  lambda s, v, p: conv.margin(s, v, p, lev, ccy), acc.hedging, max)
        except NoRate:
            return 0.0, 0.0

    def _kept(self, acc: Account, name: str) -> Tuple[float, float]:
        """A symbol's figures, worked out again only when its inputs changed."""
        agg = acc.agg(name)
        deps = self.depends_on(name, acc.currency)
        stamp = self.quotes.stamp
        kept = acc.figures.get(name)
        if kept is not None and kept[0] == agg and kept[1] == tuple(stamp(n) for n in deps):
            return kept[2]
        got = self._sym_figures(acc, name, agg)
        # Stamped after: reading a quote may have cached it.
        acc.figures[name] = (agg, tuple(stamp(n) for n in deps), got)
        return got

    def equity_margin(self, acc: Account, plan: Optional[Plan] = None) -> Tuple[float, float]:
        profit = margin = 0.0
        for name in acc.by_symbol:
            if plan is not None and name == plan.symbol:
                continue
            p, m = self._kept(acc, name)
            profit += p
            margin += m
        if plan is not None:
            p, m = self._sym_figures(acc, plan.symbol, self.plan_agg(acc, plan))
            profit += p
            margin += m
        balance = acc.balance + (plan.realized + plan.commission if plan is not None else 0.0)
        return balance + acc.credit + acc.swaps + profit, margin

    def full_equity_margin(self, acc: Account) -> Tuple[float, float]:
        """The figures worked out afresh over every symbol (what the kept ones must equal)."""
        profit = margin = 0.0
        for name in acc.by_symbol:
            p, m = self._sym_figures(acc, name, acc.agg(name))
            profit += p
            margin += m
        return acc.balance + acc.credit + acc.swaps + profit, margin

    def series(self, acc: Account, quote: Callable[[str], Optional[Tuple[np.ndarray, np.ndarray]]],
               length: int) -> Tuple[np.ndarray, np.ndarray]:
        """Equity and margin after each of `length` ticks, given each symbol's bid and ask
        after each (`quote(name)`: arrays, NaN before a symbol's first quote). NaN where a
        symbol without a rate into the account currency counts as nothing, as it does now."""
        ccy, lev = acc.currency, acc.leverage
        conv = SeriesConverter(self.converter.pairs, quote)
        profit = np.zeros(length)
        margin = np.zeros(length)
        for name in acc.by_symbol:
            agg = acc.agg(name)
            bv, bvo, sv, svo = agg
            if bv <= 0 and sv <= 0:
                continue
            sym = self.quotes.instrument(name)
            if sym is None:
                continue
            q = quote(name)
            held = (bvo + svo) / (bv + sv)   # the value without a quote, as _sym_figures has it
            if q is None:
                bid = ask = np.full(length, held)
            else:
                bid = np.where(np.isnan(q[0]), held, q[0])
                ask = np.where(np.isnan(q[1]), held, q[1])
            p, m = symbol_figures(sym, agg, bid, ask, lambda c: conv.rate(c, ccy),
                                  lambda s, v, px: conv.margin(s, v, px, lev, ccy),
                                  acc.hedging, np.maximum)
            # No rate (NaN) counts as nothing, as NoRate does.
            bad = np.isnan(p) | np.isnan(m)
            if bad.any():
                p, m = np.where(bad, 0.0, p), np.where(bad, 0.0, m)
            profit += p
            margin += m
        return acc.balance + acc.credit + acc.swaps + profit, margin

    def plan_agg(self, acc: Account, plan: Plan) -> Agg:
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

    def figures(self, acc: Account, plan: Optional[Plan] = None) -> dict:
        equity, margin = self.equity_margin(acc, plan)
        return self._figures(acc, equity, margin, plan)

    @staticmethod
    def _figures(acc: Account, equity: float, margin: float, plan: Optional[Plan] = None) -> dict:
        balance = money(acc.balance + (plan.realized + plan.swap + plan.commission
                                       if plan is not None else 0.0))
        equity = money(equity)
        margin = money(margin)
        return {"balance": balance, "credit": acc.credit, "profit": money(equity - balance - acc.credit),
                "equity": equity, "margin": margin, "margin_free": money(equity - margin),
                "margin_level": money(equity / margin * 100.0) if margin > 0 else 0.0}

    def recomputed_figures(self, acc: Account) -> dict:
        """figures() from a full recomputation, nothing kept."""
        return self._figures(acc, *self.full_equity_margin(acc))

    def full_figures(self, acc: Account) -> dict:
        fig = self.figures(acc)
        pending = 0.0
        for o in acc.orders.values():
            sym = self.quotes.instrument(o.symbol)
            try:
                pending += self.converter.margin(sym, o.volume_current, o.price_open, acc.leverage,
                                              acc.currency)
            except (NoRate, ValueError):
                pass
        fig.update(margin_so_call=float(acc.cfg.get("margin_so_call", 0.0) or 0.0),
                   margin_so_so=float(acc.cfg.get("margin_so_so", 0.0) or 0.0),
                   margin_initial=money(pending), margin_maintenance=fig["margin"],
                   assets=0.0, liabilities=0.0, commission_blocked=0.0)
        return fig

    def position_profit(self, acc: Account, p: Position) -> Tuple[float, float]:
        """Current close price and profit of one position."""
        q = self.quotes.quote(p.symbol)
        if q is None:
            return p.price_open, 0.0
        price = q[0] if p.type == BUY else q[1]
        try:
            pr = self.converter.profit(self.quotes.instrument(p.symbol), p.type == BUY, p.volume,
                                       p.price_open, price, acc.currency)
        except NoRate:
            return price, 0.0
        return price, money(pr)


__all__: Sequence[str] = ("Valuation", "symbol_figures")
