"""Random trading against random prices keeps the books consistent; junk payloads are refused."""
import random
import struct

import pytest
from engine_client import Client, request
from engine_market import HEDGING_LOGIN, NETTING_LOGIN, make_settings

SYMBOLS = ["EURUSD", "USDJPY", "GER40"]


def _random_step(rnd, c, market, pending):
    name = rnd.choice(SYMBOLS)
    bid, ask = market.tick_at(name, market.now).bid, market.tick_at(name, market.now).ask
    point = market.specs[name].point
    roll = rnd.random()
    if roll < 0.45:
        move = rnd.randint(-40, 40) * point
        spread = rnd.randint(1, 20) * point
        market.tick(name, round(bid + move, 6), round(bid + move + spread, 6),
                    at=market.now + rnd.randint(1, 5000))
    elif roll < 0.7:
        side = rnd.randint(0, 1)
        kw = {}
        if rnd.random() < 0.4:
            d = rnd.randint(5, 60) * point
            kw = dict(sl=round(bid - d if side == 0 else ask + d, 6),
                      tp=round(bid + d if side == 0 else ask - d, 6))
        c.send(action=1, symbol=name, volume=rnd.choice([0.01, 0.1, 0.5]), type=side, **kw)
    elif roll < 0.8:
        positions = c.positions()
        if positions:
            p = rnd.choice(positions)
            vol = round(min(p.volume, rnd.choice([0.01, 0.1, p.volume])), 2)
            c.send(action=1, symbol=p.symbol, volume=vol, type=1 - p.type, position=p.ticket)
    elif roll < 0.9:
        otype = rnd.choice([2, 3, 4, 5])
        d = rnd.randint(3, 40) * point
        price = {2: ask - d, 3: bid + d, 4: ask + d, 5: bid - d}[otype]
        r = c.send(action=5, symbol=name, volume=0.1, type=otype, price=round(price, 6),
                   type_filling=2, type_time=rnd.choice([0, 2]),
                   expiration=market.now // 1000 + rnd.randint(5, 60))
        if r.retcode == 10008:
            pending.append(r.order)
    elif pending:
        c.send(action=8, order=pending.pop(rnd.randrange(len(pending))))
    market.advance(rnd.randint(0, 3000))


def _check_books(c, hedging):
    deals = c.deals()
    positions = c.positions()
    fig = c.engine.account_figures()
    assert fig["balance"] == pytest.approx(sum(d.profit + d.swap + d.commission for d in deals),
                                           abs=1e-6)
    assert fig["equity"] == pytest.approx(
        fig["balance"] + sum(p.profit + p.swap for p in positions), abs=0.01 * (1 + len(positions)))
    if not hedging:
        assert len({p.symbol for p in positions}) == len(positions)
    net = {}
    for d in deals:
        if d.position_id:
            sign = 1 if d.type == 0 else -1
            net[d.position_id] = net.get(d.position_id, 0.0) + sign * d.volume
    for p in positions:
        assert p.volume > 0
        if hedging:  # every deal of a hedging position moves exactly that position
            assert abs(net[p.ticket]) == pytest.approx(p.volume)
    open_ids = {p.ticket for p in positions}
    for pid, v in net.items():
        if pid not in open_ids and hedging:
            assert v == pytest.approx(0.0, abs=1e-9)
    assert c.orders_total() == len(c.orders())
    assert all(o.state == 1 for o in c.orders())


@pytest.mark.parametrize("seed, commission", [(1, 0.0), (2, 0.0), (3, 0.0), (4, 6.5), (5, 3.0)])
@pytest.mark.parametrize("login", [HEDGING_LOGIN, NETTING_LOGIN])
def test_books_stay_consistent(open_engine, market, seed, commission, login):
    rnd = random.Random(seed)
    settings = make_settings()
    for acc in settings["accounts"]:
        acc["commission_per_lot"] = commission
    c = Client(open_engine(settings, login=login))
    pending = []
    for step in range(150):
        _random_step(rnd, c, market, pending)
        if step % 10 == 9:
            _check_books(c, login == HEDGING_LOGIN)
    deals = [d for d in c.deals() if d.type in (0, 1)]
    assert len(deals) > 10
    assert all(d.commission == pytest.approx(-commission * d.volume, abs=0.006) for d in deals)


@pytest.mark.parametrize("command", [120, 121, 122, 123, 130, 131, 132, 133, 140, 141, 142, 143,
                                     150, 151, 152, 153, 160, 161, 162, 163])
def test_junk_payloads_get_a_status_never_an_exception(hedge, command):
    rnd = random.Random(command)
    hedge.buy(volume=0.1)
    samples = [b"", b"\xff" * 3, struct.pack("<i", -1), struct.pack("<i", 2**30) + b"ab",
               request(action=1, symbol="EURUSD", volume=-1.0)]
    samples += [bytes(rnd.getrandbits(8) for _ in range(rnd.choice([4, 8, 12, 16, 232, 300])))
                for _ in range(40)]
    for payload in samples:
        status, body = hedge.raw(command, payload)
        assert status in (0, 1, -2, -4) and isinstance(body, bytes)
        if status < 0:
            assert body == b""
    # Junk changed nothing: the one position bought above is still the only one.
    assert hedge.positions_total() == 1
