"""A moving-average cross: long while the fast average of the closes is above the slow one,
short while below; one position at a time, reversed at each cross.

The same file runs live, in a replay on the wall clock and in a stepped replay: it waits for
each new bar with orbisyn.wait_bar, which sleeps live and moves a stepped replay's present to
the next bar at once, so a backtest sees every bar and gives the same deals every run:

    orbisyn-terminal run --replay 2024-05-06 --until 2024-06-03 --stepped
    python ma_cross.py

In a sweep its parameters come from orbisyn.params():

    orbisyn-terminal optimize ma_cross.py --replay 2024-05-06 --until 2024-05-11 \\
        --param fast=5,10,20 --param slow=30,60

It ends once the replay is over (or the link is gone). With the parameter trace=1 it prints
the open time of every bar it acts on.
"""
import sys

import orbisyn
from orbisyn.codes import OrderType, Result, Timeframe, TradeAction, TradeRetcode

p = orbisyn.params()
SYMBOL = str(p.get("symbol", "EURUSD"))
TIMEFRAME = Timeframe(int(p.get("timeframe", Timeframe.M5)))
FAST = int(p.get("fast", 10))
SLOW = int(p.get("slow", 30))
VOLUME = float(p.get("volume", 0.1))
TRACE = bool(p.get("trace", 0))
if not 0 < FAST < SLOW:
    sys.exit(f"fast ({FAST}) must be above 0 and below slow ({SLOW})")

if not orbisyn.initialize():
    sys.exit(f"initialize() failed: {orbisyn.last_error()}")
info = orbisyn.symbol_info(SYMBOL)
if info is None:
    sys.exit(f"no symbol {SYMBOL}: {orbisyn.last_error()}")
filling = 0 if info.filling_mode & 1 else 1   # fill or kill where offered, else IOC


def side() -> int:
    """+1 long, -1 short, 0 flat."""
    held = orbisyn.positions_get(symbol=SYMBOL) or ()
    return sum(1 if pos.type == 0 else -1 for pos in held)


def go(target: int) -> None:
    for pos in orbisyn.positions_get(symbol=SYMBOL) or ():
        closing = OrderType.SELL if pos.type == 0 else OrderType.BUY
        orbisyn.order_send(action=TradeAction.DEAL, symbol=SYMBOL, volume=pos.volume, type=closing,
                           position=pos.ticket, type_filling=filling)
    kind = OrderType.BUY if target > 0 else OrderType.SELL
    sent = orbisyn.order_send(action=TradeAction.DEAL, symbol=SYMBOL, volume=VOLUME, type=kind,
                              type_filling=filling)
    if sent is not None and sent.retcode not in (TradeRetcode.DONE, TradeRetcode.MARKET_CLOSED):
        print(f"order refused: {sent.retcode} {sent.comment}", file=sys.stderr)


held = side()
while True:
    opened = orbisyn.wait_bar(SYMBOL, TIMEFRAME)
    if opened is None:
        code, message = orbisyn.last_error()
        if code != Result.REPLAY_OVER:
            print(f"stopped: {message}", file=sys.stderr)
        break
    if TRACE:
        print(opened)
    # The bars that have closed: position 0 is the one that has just opened.
    closes = orbisyn.copy_rates_from_pos(SYMBOL, TIMEFRAME, 1, SLOW + 1)
    if closes is None or len(closes) < SLOW + 1:
        continue
    c = closes["close"]
    above = c[-FAST:].mean() > c[-SLOW:].mean()
    was_above = c[-FAST - 1:-1].mean() > c[-SLOW - 1:-1].mean()
    if above != was_above or held == 0:
        held = side()   # asked only when it may change: a bar costs two calls otherwise
        target = 1 if above else -1
        if held != target:
            go(target)
            held = side()
