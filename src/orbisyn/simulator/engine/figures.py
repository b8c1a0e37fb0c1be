"""Account figures: equity, margin and free margin, now or after a planned deal."""
from __future__ import annotations

from typing import Optional, Tuple

from . import calc
from .book import Account, Plan, money
from .calc import CurrencyConverter, NoRate
from .model import BUY, Position
from .quotes import Quotes


class Valuation:
    """Values an account with the quotes at the engine's present."""

    def __init__(self, quotes: Quotes, converter: CurrencyConverter):
        self.quotes = quotes
        self.converter = converter

    def _sym_figures(self, acc: Account, name: str, agg) -> Tuple[float, float]:
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
        ccy = acc.currency
        try:
            rate = self.converter.rate(sym.currency_profit, ccy)
            factor = calc.profit_factor(sym)
            profit = ((bid * bv - bvo) + (svo - ask * sv)) * factor * rate
            mb = self.converter.margin(sym, bv, ask, acc.leverage, ccy) if bv > 0 else 0.0
            ms = self.converter.margin(sym, sv, bid, acc.leverage, ccy) if sv > 0 else 0.0
        except NoRate:
            return 0.0, 0.0
        if not acc.hedging:
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
        return profit, max(mb, ms)

    def equity_margin(self, acc: Account, plan: Optional[Plan] = None) -> Tuple[float, float]:
        profit = margin = 0.0
        names = set(acc.by_symbol)
        if plan is not None:
            names.add(plan.symbol)
        for name in names:
            agg = self.plan_agg(acc, plan) if plan is not None and name == plan.symbol else acc.agg(name)
            p, m = self._sym_figures(acc, name, agg)
            profit += p
            margin += m
        balance = acc.balance + (plan.realized + plan.commission if plan is not None else 0.0)
        return balance + acc.credit + acc.swaps + profit, margin

    def plan_agg(self, acc: Account, plan: Plan):
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
        balance = money(acc.balance + (plan.realized + plan.swap + plan.commission
                                       if plan is not None else 0.0))
        equity = money(equity)
        margin = money(margin)
        return {"balance": balance, "credit": acc.credit, "profit": money(equity - balance - acc.credit),
                "equity": equity, "margin": margin, "margin_free": money(equity - margin),
                "margin_level": money(equity / margin * 100.0) if margin > 0 else 0.0}

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
