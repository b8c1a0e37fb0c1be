"""Margin and profit by a symbol's calculation mode, and currency conversion.

Every figure is linear in volume and, once the current rates are fixed, in the
price difference; the account keeps per-symbol volume sums and relies on that.
"""
from __future__ import annotations

from typing import Callable, Dict, Iterable, Optional, Tuple

import numpy as np

FOREX, FUTURES, CFD, CFD_INDEX, CFD_LEVERAGE, FOREX_NO_LEVERAGE, STOCKS = 0, 1, 2, 3, 4, 5, 32
KNOWN_MODES = (FOREX, FUTURES, CFD, CFD_INDEX, CFD_LEVERAGE, FOREX_NO_LEVERAGE, STOCKS)

Quote = Tuple[float, float]  # bid, ask


class NoRate(LookupError):
    """No symbol links two currencies (directly or through USD)."""


def _spec_get(sym, name, default=0):
    value = getattr(sym, name, default)
    return default if value is None else value


def profit_factor(sym) -> float:
    """Money per unit of price movement per lot, in the profit currency."""
    mode = _spec_get(sym, "trade_calc_mode", FOREX)
    if mode == FUTURES:
        size = _spec_get(sym, "trade_tick_size", 0.0)
        return _spec_get(sym, "trade_tick_value", 0.0) / size if size else 0.0
    return float(_spec_get(sym, "trade_contract_size", 1.0))


def margin_native(sym, volume: float, price: float, leverage: int) -> float:
    """Margin of `volume` lots in the symbol's margin currency (forex: base units)."""
    mode = _spec_get(sym, "trade_calc_mode", FOREX)
    contract = float(_spec_get(sym, "trade_contract_size", 1.0))
    lev = leverage if leverage > 0 else 1
    if mode == FOREX:
        return volume * contract / lev
    if mode == FOREX_NO_LEVERAGE:
        return volume * contract
    if mode == FUTURES:
        return volume * float(_spec_get(sym, "margin_initial", 0.0))
    if mode == CFD or mode == STOCKS:
        return volume * contract * price
    if mode == CFD_INDEX:
        size = _spec_get(sym, "trade_tick_size", 0.0)
        tick = _spec_get(sym, "trade_tick_value", 0.0) / size if size else 0.0
        return volume * contract * price * tick
    if mode == CFD_LEVERAGE:
        return volume * contract * price / lev
    raise ValueError(f"unknown calculation mode {mode}")


PRICE_MODES = (CFD, CFD_INDEX, CFD_LEVERAGE, STOCKS)


def margin_currency(sym) -> str:
    return (_spec_get(sym, "currency_margin", "") or _spec_get(sym, "currency_base", "")
            or _spec_get(sym, "currency_profit", ""))


def margin_conversion_currency(sym) -> str:
    """The currency margin_native() counts in: contract * price is a sum in the quote currency."""
    if _spec_get(sym, "trade_calc_mode", FOREX) in PRICE_MODES:
        return _spec_get(sym, "currency_profit", "") or margin_currency(sym)
    return margin_currency(sym)


class CurrencyConverter:
    """Converts amounts between currencies with the current quotes of the catalogue's pairs."""

    def __init__(self, pairs: Dict[Tuple[str, str], str], quote: Callable[[str], Optional[Quote]]):
        self.pairs = pairs
        self.quote = quote

    @staticmethod
    def pairs_of(specs: Iterable) -> Dict[Tuple[str, str], str]:
        pairs: Dict[Tuple[str, str], str] = {}
        for sym in specs:
            if _spec_get(sym, "trade_calc_mode", FOREX) not in (FOREX, FOREX_NO_LEVERAGE):
                continue
            key = (_spec_get(sym, "currency_base", ""), _spec_get(sym, "currency_profit", ""))
            if key[0] and key[1] and key[0] != key[1]:
                pairs.setdefault(key, sym.name)
        return pairs

    def rate(self, src: str, dst: str) -> float:
        """Multiplier that turns an amount in src into dst."""
        if src == dst or not src:
            return 1.0
        direct = self._one(src, dst)
        if direct is not None:
            return direct
        if "USD" not in (src, dst):
            a = self._one(src, "USD")
            b = self._one("USD", dst)
            if a is not None and b is not None:
                return a * b
        raise NoRate(f"no rate from {src} to {dst}")

    def _one(self, src: str, dst: str) -> Optional[float]:
        name = self.pairs.get((src, dst))
        if name is not None:
            q = self.quote(name)
            if q is not None and q[0] > 0:
                return q[0]
        name = self.pairs.get((dst, src))
        if name is not None:
            q = self.quote(name)
            if q is not None and q[1] > 0:
                return 1.0 / q[1]
        return None

    def margin(self, sym, volume: float, price: float, leverage: int, account_ccy: str) -> float:
        """Margin in the account currency; `price` is the opening price of the lots."""
        amount = margin_native(sym, volume, price, leverage)
        ccy = margin_currency(sym)
        profit_ccy = _spec_get(sym, "currency_profit", "")
        mode = _spec_get(sym, "trade_calc_mode", FOREX)
        if (mode in (FOREX, FOREX_NO_LEVERAGE) and ccy != account_ccy and profit_ccy
                and ccy == _spec_get(sym, "currency_base", "") and profit_ccy != ccy):
            # Base units are worth `price` profit units: the symbol is its own cross rate.
            return amount * price * self.rate(profit_ccy, account_ccy)
        return amount * self.rate(margin_conversion_currency(sym), account_ccy)

    def profit(self, sym, is_buy: bool, volume: float, price_open: float, price_close: float,
               account_ccy: str) -> float:
        diff = price_close - price_open if is_buy else price_open - price_close
        # Grouped as the bulk position figures are, so both round alike.
        return diff * volume * (profit_factor(sym) * self.rate(_spec_get(sym, "currency_profit", ""),
                                                                account_ccy))


class SeriesConverter(CurrencyConverter):
    """The converter over runs of quotes: `quote(name)` gives (bid, ask) arrays, NaN where a
    symbol has no quote yet; a rate is an array, NaN where there is none (NoRate)."""

    def rate(self, src: str, dst: str):  # type: ignore[override]
        if src == dst or not src:
            return 1.0
        direct = self._one(src, dst)
        if "USD" not in (src, dst):
            via = self._one(src, "USD") * self._one("USD", dst)
            return np.where(np.isnan(direct), via, direct)
        return direct

    def _one(self, src: str, dst: str):  # type: ignore[override]
        out = None
        name = self.pairs.get((src, dst))
        if name is not None:
            q = self.quote(name)
            if q is not None:
                out = np.where(q[0] > 0, q[0], np.nan)
        name = self.pairs.get((dst, src))
        if name is not None:
            q = self.quote(name)
            if q is not None:
                ask = q[1]
                inverse = np.divide(1.0, ask, out=np.full(np.shape(ask), np.nan), where=ask > 0)
                out = inverse if out is None else np.where(np.isnan(out), inverse, out)
        return np.nan if out is None else out
