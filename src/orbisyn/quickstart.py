"""A first tour of orbisyn: ``python -m orbisyn.quickstart``.

Installs a simulated Terminal when none is found, connects with ``initialize()``,
prints the terminal, the account and the symbols, fetches 1 000 H1 bars and
10 000 ticks, draws a candlestick chart (with the ``plot`` extra), opens and closes a
small position, shows its deals and shuts down.
"""
from __future__ import annotations

import argparse
import datetime as dt
import os
import sys

from .codes import CopyTicks, OrderFilling, OrderType, Timeframe, TradeAction, TradeRetcode

H1 = Timeframe.H1
COPY_TICKS_ALL = CopyTicks.ALL
TRADE_SYMBOL = "BTCUSD"  # crypto trades every day, so the tour works at weekends too


def _utc(seconds) -> str:
    return dt.datetime.fromtimestamp(int(seconds), dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")


def ensure_terminal(out=sys.stdout) -> None:
    """Install a simulated Terminal when the extension's search would find none."""
    from . import _core
    from .simulator import install as sim_install
    found = _core._terminals()   # initialize()'s own search and pick, Wine prefixes included
    if found["pick"] is not None:
        exe = found["terminals"][found["pick"]]["path"]
        python = sim_install.launcher_python(exe)
        if python is not None and not os.path.exists(python):
            # Its Python is gone (a deleted virtual environment): point it at this one.
            sim_install.install(os.path.dirname(exe))
            print(f"Simulated Terminal in {os.path.dirname(exe)} now runs with {sys.executable}.", file=out)
        return
    from .simulator.hosting.relayed import install_here
    res = install_here()
    acc = sim_install.load_settings(res["data_dir"])["accounts"][0]
    print("No Terminal found: installed a simulated one.", file=out)
    print(f"  installation: {res['install_dir']}", file=out)
    print(f"  data folder:  {res['data_dir']}", file=out)
    print(f"  demo account: {acc['login']} (password {acc['password']!r}, server {acc['server']})", file=out)
    print("  (orbisyn-terminal --help manages it; orbisyn-terminal stop stops it)", file=out)
    print(file=out)


def draw_chart(rates, symbol: str, path: str, candles: int = 150) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    bars = rates[-candles:]
    x = np.arange(len(bars))
    up = bars["close"] >= bars["open"]
    colors = np.where(up, "#26a69a", "#ef5350")
    fig, ax = plt.subplots(figsize=(14, 6), dpi=120)
    ax.vlines(x, bars["low"], bars["high"], colors=colors, linewidth=1)
    body = np.abs(bars["close"] - bars["open"])
    span = float(bars["high"].max() - bars["low"].min()) or 1.0
    ax.bar(x, np.maximum(body, span * 0.002), bottom=np.minimum(bars["open"], bars["close"]),
           color=colors, width=0.7)
    step = max(1, len(bars) // 8)
    ax.set_xticks(x[::step])
    ax.set_xticklabels([dt.datetime.fromtimestamp(int(t), dt.timezone.utc).strftime("%m-%d %H:%M")
                        for t in bars["time"][::step]])
    ax.set_xlim(-1, len(bars))
    ax.grid(alpha=0.25)
    ax.set_title(f"{symbol} H1, last {len(bars)} of {len(rates)} bars (UTC)")
    ax.set_ylabel("bid")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def trade_round_trip(orbisyn, symbol: str = TRADE_SYMBOL, volume: float = 0.01) -> bool:
    """Buy a small position at market, show it, close it and show its deals."""
    info = orbisyn.symbol_info(symbol)
    if info is None:
        print(f"symbol_info({symbol!r}) failed: {orbisyn.last_error()}", file=sys.stderr)
        return False
    volume = max(volume, info.volume_min)
    # Fill-or-kill when the symbol allows it, else immediate-or-cancel.
    filling = OrderFilling.FOK if info.filling_mode & 1 else OrderFilling.IOC
    opened = orbisyn.order_send({
        "action": TradeAction.DEAL, "symbol": symbol, "volume": volume, "type": OrderType.BUY,
        "type_filling": filling, "deviation": 20, "comment": "quickstart",
    })
    if opened is None or opened.retcode != TradeRetcode.DONE:
        print(f"order_send (buy) failed: {opened.comment if opened else orbisyn.last_error()}",
              file=sys.stderr)
        return False
    print(f"Bought {opened.volume} {symbol} at {opened.price} (order {opened.order}, deal {opened.deal})")
    position = orbisyn.positions_get(symbol=symbol)
    mine = [p for p in position or () if p.identifier == opened.order] or list(position or ())
    if not mine:
        print(f"positions_get failed: {orbisyn.last_error()}", file=sys.stderr)
        return False
    pos = mine[0]
    print(f"  position {pos.ticket}: {pos.volume} lots, open {pos.price_open}, now {pos.price_current}, "
          f"profit {pos.profit:.2f}")
    closed = orbisyn.order_send({
        "action": TradeAction.DEAL, "symbol": symbol, "volume": pos.volume, "type": OrderType.SELL,
        "position": pos.ticket, "type_filling": filling, "deviation": 20, "comment": "quickstart close",
    })
    if closed is None or closed.retcode != TradeRetcode.DONE:
        print(f"order_send (close) failed: {closed.comment if closed else orbisyn.last_error()}",
              file=sys.stderr)
        return False
    print(f"Closed at {closed.price} (deal {closed.deal})")
    deals = orbisyn.history_deals_get(position=pos.ticket) or ()
    for d in deals:
        print(f"  deal {d.ticket}: {'buy' if d.type == 0 else 'sell'} {d.volume} at {d.price}, "
              f"entry {d.entry}, profit {d.profit:.2f}")
    acc = orbisyn.account_info()
    if acc is not None:
        print(f"Balance now {acc.balance:.2f} {acc.currency}")
    return True


def chart_dir() -> str:
    """The user's own data folder for orbisyn (made private when new), not the current one:
    a quick start should leave no file where it happens to run."""
    if os.name == "nt":
        base = os.environ.get("LOCALAPPDATA") or os.path.expanduser(r"~\AppData\Local")
    else:
        base = os.environ.get("XDG_DATA_HOME") or os.path.expanduser("~/.local/share")
    folder = os.path.join(base, "orbisyn")
    os.makedirs(folder, mode=0o700, exist_ok=True)
    return folder


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m orbisyn.quickstart", description=__doc__.split("\n\n")[0])
    parser.add_argument("--symbol", default="EURUSD", help="symbol for bars, ticks and chart (default EURUSD)")
    parser.add_argument("--out", help="chart file (default quickstart-SYMBOL-H1.png in orbisyn's "
                        "folder of $XDG_DATA_HOME, ~/.local/share or %%LOCALAPPDATA%%)")
    args = parser.parse_args(argv)
    symbol = args.symbol

    ensure_terminal()
    import orbisyn

    if not orbisyn.initialize():
        print(f"initialize() failed: {orbisyn.last_error()}", file=sys.stderr)
        return 1
    try:
        term = orbisyn.terminal_info()
        acc = orbisyn.account_info()
        print(f"Terminal: {term.name}, build {term.build}, {'connected' if term.connected else 'not connected'}")
        print(f"  installation {term.path}")
        print(f"  data folder  {term.data_path}")
        print(f"Account {acc.login} ({acc.name}) on {acc.server}: balance {acc.balance:.2f} {acc.currency}, "
              f"equity {acc.equity:.2f}, leverage 1:{acc.leverage}")
        print()

        symbols = orbisyn.symbols_get() or ()
        print(f"{'symbol':<8} {'description':<34} {'bid':>12} {'ask':>12} {'spread':>6}")
        for s in symbols:
            print(f"{s.name:<8} {s.description[:34]:<34} {s.bid:>12.{s.digits}f} {s.ask:>12.{s.digits}f} "
                  f"{s.spread:>6}")
        print(f"{len(symbols)} symbols")
        print()

        rates = orbisyn.copy_rates_from_pos(symbol, H1, 0, 1000)
        if rates is None or len(rates) == 0:
            print(f"copy_rates_from_pos failed: {orbisyn.last_error()}", file=sys.stderr)
            return 1
        print(f"{len(rates)} H1 bars of {symbol}: {_utc(rates['time'][0])} .. {_utc(rates['time'][-1])}, "
              f"last close {rates['close'][-1]}")
        start = int(rates["time"][max(0, len(rates) - 48)])
        ticks = orbisyn.copy_ticks_from(symbol, start, 10000, COPY_TICKS_ALL)
        if ticks is None:
            print(f"copy_ticks_from failed: {orbisyn.last_error()}", file=sys.stderr)
            return 1
        if len(ticks):
            point = orbisyn.symbol_info(symbol).point
            spread = (ticks["ask"] - ticks["bid"]) / point
            print(f"{len(ticks)} ticks of {symbol}: {_utc(ticks['time'][0])} .. {_utc(ticks['time'][-1])}, "
                  f"bid {ticks['bid'].min()} .. {ticks['bid'].max()}, spread {spread.min():.0f} .. "
                  f"{spread.max():.0f} points")
        else:
            print(f"no ticks of {symbol} since {_utc(start)}")

        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("Chart skipped: matplotlib is not installed (pip install 'orbisyn[plot]').")
        else:
            path = os.path.abspath(args.out or os.path.join(chart_dir(), f"quickstart-{symbol}-H1.png"))
            draw_chart(rates, symbol, path)
            print(f"Chart written: {path}")
        print()
        if not trade_round_trip(orbisyn):
            return 1
    finally:
        orbisyn.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
