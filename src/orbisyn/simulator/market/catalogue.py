"""The symbol catalogue: every static field of the 17 simulated symbols."""
from __future__ import annotations

import dataclasses


@dataclasses.dataclass
class SymbolSpec:
    """Every static field of a symbol, named as in the symbol record.

    Price fields (bid, ask, session figures...) stay 0 here: the Terminal fills
    them from the market when it answers.  ``trade_tick_value`` is in the profit
    currency; the record sent to clients converts it to the account currency.
    The generator's own parameters start with ``sim_``.
    """
    name: str
    description: str = ""
    path: str = ""
    category: str = ""
    custom: bool = False
    chart_mode: int = 0
    digits: int = 5
    point: float = 1e-5
    spread_float: bool = True
    ticks_bookdepth: int = 10
    trade_calc_mode: int = 0
    trade_mode: int = 4
    start_time: int = 0
    expiration_time: int = 0
    trade_stops_level: int = 0
    trade_freeze_level: int = 0
    trade_exemode: int = 2
    swap_mode: int = 1
    swap_rollover3days: int = 3
    margin_hedged_use_leg: bool = False
    expiration_mode: int = 15
    filling_mode: int = 3
    order_mode: int = 127
    order_gtc_mode: int = 0
    option_mode: int = 0
    option_right: int = 0
    option_strike: float = 0.0
    trade_tick_value: float = 1.0
    trade_tick_value_profit: float = 1.0
    trade_tick_value_loss: float = 1.0
    trade_tick_size: float = 1e-5
    trade_contract_size: float = 100000.0
    trade_accrued_interest: float = 0.0
    trade_face_value: float = 0.0
    trade_liquidity_rate: float = 0.0
    volume_min: float = 0.01
    volume_max: float = 100.0
    volume_step: float = 0.01
    volume_limit: float = 0.0
    swap_long: float = 0.0
    swap_short: float = 0.0
    margin_initial: float = 0.0
    margin_maintenance: float = 0.0
    margin_hedged: float = 0.0
    basis: str = ""
    currency_base: str = ""
    currency_profit: str = "USD"
    currency_margin: str = ""
    bank: str = ""
    exchange: str = ""
    formula: str = ""
    isin: str = ""
    page: str = ""
    sim_price: float = 1.0        # price level the path wanders around
    sim_daily_vol: float = 0.005  # daily volatility of the log price
    sim_spread: int = 10          # typical spread in points
    sim_all_week: bool = False    # crypto: no weekend close
    sim_legs: tuple = ()          # a cross follows the product of its legs: ((symbol, +1/-1), ...)


def _fx(name, desc, digits, price, spread, vol=0.005, **kw):
    base, profit = name[:3], name[3:]
    point = 10.0 ** -digits
    return SymbolSpec(
        name=name, description=desc, path=f"Forex\\{name}", category="Forex", digits=digits,
        point=point, trade_tick_size=point, trade_contract_size=100000.0,
        trade_tick_value=100000.0 * point, trade_tick_value_profit=100000.0 * point,
        trade_tick_value_loss=100000.0 * point, currency_base=base, currency_profit=profit,
        currency_margin=base, margin_hedged=50000.0, swap_long=-4.5, swap_short=1.2,
        sim_price=price, sim_daily_vol=vol, sim_spread=spread, **kw)


def _cfd(name, desc, path, category, digits, price, contract, spread, vol, calc, profit="USD",
         base=None, vmin=0.01, vmax=100.0, vstep=0.01, all_week=False, **kw):
    point = 10.0 ** -digits
    return SymbolSpec(
        name=name, description=desc, path=path, category=category, digits=digits, point=point,
        trade_tick_size=point, trade_contract_size=contract, trade_tick_value=contract * point,
        trade_tick_value_profit=contract * point, trade_tick_value_loss=contract * point,
        trade_calc_mode=calc, currency_base=base or profit, currency_profit=profit,
        currency_margin=profit if base is None else base, volume_min=vmin, volume_max=vmax,
        volume_step=vstep, margin_hedged=contract / 2, swap_long=-6.0, swap_short=-3.0,
        sim_price=price, sim_daily_vol=vol, sim_spread=spread, sim_all_week=all_week, **kw)


def default_catalogue() -> list[SymbolSpec]:
    return [
        _fx("EURUSD", "Euro vs US Dollar", 5, 1.0850, 8),
        _fx("GBPUSD", "Great Britain Pound vs US Dollar", 5, 1.2700, 11),
        _fx("USDJPY", "US Dollar vs Japanese Yen", 3, 151.50, 12, 0.006),
        _fx("USDCHF", "US Dollar vs Swiss Franc", 5, 0.8900, 13),
        _fx("AUDUSD", "Australian Dollar vs US Dollar", 5, 0.6600, 10, 0.006),
        _fx("USDCAD", "US Dollar vs Canadian Dollar", 5, 1.3600, 14),
        _fx("NZDUSD", "New Zealand Dollar vs US Dollar", 5, 0.6100, 15, 0.006),
        _fx("EURJPY", "Euro vs Japanese Yen", 3, 164.00, 18, 0.006,
            sim_legs=(("EURUSD", 1), ("USDJPY", 1))),
        _fx("EURGBP", "Euro vs Great Britain Pound", 5, 0.8550, 12, 0.004,
            sim_legs=(("EURUSD", 1), ("GBPUSD", -1))),
        _cfd("XAUUSD", "Gold vs US Dollar", "Metals\\XAUUSD", "Metals", 2, 2300.0, 100.0, 25,
             0.010, 4, base="XAU", vmax=50.0),
        _cfd("XAGUSD", "Silver vs US Dollar", "Metals\\XAGUSD", "Metals", 3, 27.5, 5000.0, 30,
             0.016, 4, base="XAG", vmax=50.0),
        _cfd("US500", "US 500 Cash Index", "Indices\\US500", "Indices", 2, 5200.0, 1.0, 50,
             0.011, 3, vmin=0.1, vmax=500.0, vstep=0.1, filling_mode=2, trade_stops_level=10),
        _cfd("DE40", "Germany 40 Cash Index", "Indices\\DE40", "Indices", 2, 18000.0, 1.0, 120,
             0.012, 3, profit="EUR", vmin=0.1, vmax=500.0, vstep=0.1, filling_mode=2,
             trade_stops_level=10),
        _cfd("UK100", "UK 100 Cash Index", "Indices\\UK100", "Indices", 2, 8000.0, 1.0, 100,
             0.010, 3, profit="GBP", vmin=0.1, vmax=500.0, vstep=0.1, filling_mode=2,
             trade_stops_level=10),
        _cfd("BTCUSD", "Bitcoin vs US Dollar", "Crypto\\BTCUSD", "Crypto", 2, 65000.0, 1.0, 1500,
             0.035, 4, base="BTC", vmax=10.0, all_week=True, filling_mode=1),
        _cfd("ETHUSD", "Ethereum vs US Dollar", "Crypto\\ETHUSD", "Crypto", 2, 3200.0, 1.0, 150,
             0.040, 4, base="ETH", vmax=50.0, all_week=True, filling_mode=1),
        _cfd("LTCUSD", "Litecoin vs US Dollar", "Crypto\\LTCUSD", "Crypto", 2, 80.0, 1.0, 12,
             0.045, 4, base="LTC", vmax=200.0, all_week=True, filling_mode=1),
    ]
