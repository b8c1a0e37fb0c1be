"""A misspelt request key against the simulated Terminal: the request is refused before
anything is sent, so a position's stops stay as they were."""
from __future__ import annotations

import pytest

import orbisyn
from orbisyn.codes import OrderType, TradeAction, TradeRetcode


@pytest.fixture
def connected(installed):
    assert orbisyn.initialize(installed()["exe"]), orbisyn.last_error()


def test_sltp_with_a_misspelt_stop_keeps_the_stops(connected):
    ask = orbisyn.symbol_info_tick("BTCUSD").ask
    sl, tp = round(ask * 0.9, 2), round(ask * 1.1, 2)
    opened = orbisyn.order_send({"action": TradeAction.DEAL, "symbol": "BTCUSD", "volume": 0.01,
                                 "type": OrderType.BUY, "sl": sl, "tp": tp})
    assert opened is not None and opened.retcode == TradeRetcode.DONE, orbisyn.last_error()
    (position,) = [p for p in orbisyn.positions_get(symbol="BTCUSD") if p.identifier == opened.order]
    assert (position.sl, position.tp) == (sl, tp)

    moved = orbisyn.order_send(action=TradeAction.SLTP, symbol="BTCUSD", position=position.ticket,
                               stoploss=round(ask * 0.8, 2))
    assert moved is None
    assert orbisyn.last_error() == (-2, 'Unknown "stoploss" key, did you mean "sl"?')
    (after,) = orbisyn.positions_get(ticket=position.ticket)
    assert (after.sl, after.tp) == (sl, tp)

    # Spelt right, with the int a new user writes for a price, it goes through.
    new_sl = int(ask * 0.8)
    moved = orbisyn.order_send(action=TradeAction.SLTP, symbol="BTCUSD", position=position.ticket,
                               sl=new_sl, tp=tp)
    assert moved is not None and moved.retcode == TradeRetcode.DONE, (moved, orbisyn.last_error())
    (after,) = orbisyn.positions_get(ticket=position.ticket)
    assert (after.sl, after.tp) == (float(new_sl), tp)
