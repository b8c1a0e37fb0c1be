"""Makes tests/data/store-0.2.0: the data folder of a simulated Terminal of release 0.2.0.

Run once, with a checkout of that release first on the path (run on a later one, it
makes that release's files, which is not what the folder is for):

    PYTHONPATH=<0.2.0 checkout>/src python tests/data/make_store.py tests/data/store-0.2.0

It installs a Terminal in a throwaway folder, trades on both accounts through the
Terminal's own command dispatch (positions, pending orders, deals, history, a swap; then
a replay with its own store), stops it and copies the data folder's state files here,
with expected.json: every record as that release's store gives it back, and what that
release reads from its state files.
"""
from __future__ import annotations

import dataclasses
import datetime as dt
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile

SEED = 7
START_MS = int(dt.datetime(2024, 3, 5, 9, 0, tzinfo=dt.timezone.utc).timestamp() * 1000)
BIG_MAGIC = (1 << 63) + 5          # stored as a negative SQLite integer
ODD_COMMENT = "odd \udc80 unit"    # a lone surrogate: kept as UTF-16 units in a blob
# Buy/sell and their pending kinds; trade actions; the order lifetime with a date.
BUY, SELL, BUY_LIMIT, SELL_LIMIT, BUY_STOP, SELL_STOP = range(6)
DEAL, PENDING, SLTP, MODIFY, REMOVE = 1, 5, 6, 7, 8
TIME_SPECIFIED = 2
FILES = ("trading.sqlite", "session.json", "origin.txt", "config/simulator.json",
         "config/accounts.dat", "config/terminal.ini", "replay/trading.sqlite",
         "replay/replay.json")


class Clock:
    """The Terminal's present, moved by hand so every run trades on the same prices."""

    def __init__(self, now: int):
        self.now = now

    def __call__(self) -> int:
        return self.now


def main(out: str) -> None:
    work = tempfile.mkdtemp(prefix="orbisyn-store-")
    os.environ["XDG_DATA_HOME"] = os.path.join(work, "xdg")
    try:
        from orbisyn.simulator import install
        inst = install.install(os.path.join(work, "terminal"), seed=SEED)
        data = inst["data_dir"]
        clock = Clock(START_MS)
        made = {"release": _release(), "clock_ms": None, "stores": {}}
        paper = trade_paper(data, inst["exe"], clock)
        made["clock_ms"] = clock.now
        made["stores"]["."] = records(data, paper)
        replay_logins = trade_replay(data, inst["exe"])
        made["stores"]["replay"] = records(os.path.join(data, "replay"), replay_logins)
        made["settings"] = install.load_settings(data)
        made["origin"] = install.read_origin(data)
        for name in ("session.json", "replay/replay.json"):
            with open(os.path.join(data, name), encoding="utf-8") as f:
                made[name] = json.load(f)
        if os.path.exists(out):
            shutil.rmtree(out)
        for name in FILES:
            os.makedirs(os.path.dirname(os.path.join(out, name)), exist_ok=True)
            shutil.copyfile(os.path.join(data, name), os.path.join(out, name))
        with open(os.path.join(out, "expected.json"), "w", encoding="utf-8") as f:
            json.dump(made, f, indent=1, sort_keys=True)
            f.write("\n")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _release() -> str:
    """The version and commit of the package that made the files (not of this script)."""
    import orbisyn
    where = os.path.dirname(os.path.abspath(orbisyn.__file__))
    commit = subprocess.run(["git", "-C", where, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    return f"{orbisyn.__version__} ({commit or 'unknown commit'})"


class Session:
    """One program talking to a Terminal through its dispatch, frames and all."""

    def __init__(self, terminal):
        from orbisyn.simulator import protocol, server
        self.p = protocol
        self.t = terminal
        self.conn = server.Connection()

    def call(self, command: int, payload: bytes = b"") -> tuple[int, bytes]:
        frame = self.t.dispatch(command, memoryview(payload), self.conn)
        _, cmd, status = self.p.REPLY_HEAD.unpack_from(frame)
        assert cmd == command
        return status, bytes(frame[self.p.REPLY_HEAD.size:])

    def login(self, login: int, password: str = "demo-pass") -> None:
        p = self.p
        status, _ = self.call(p.CMD_LOGIN, p.I32.pack(5000) + p.U64.pack(login)
                              + p.pack_text(password) + p.pack_text(""))
        assert status == 0, status

    def send(self, **req) -> tuple[int, int]:
        p = self.p
        status, body = self.call(p.CMD_ORDER_SEND, p.TradeRequest(**req).pack())
        assert status == 0, status
        retcode, deal, order = p.SEND_RESULT.unpack(body)[:3]
        assert retcode in (10008, 10009), (retcode, req)
        return deal, order

    def price(self, symbol: str) -> tuple[float, float]:
        t = self.t.market.tick_at(symbol, self.t.market.now_ms())
        return t.bid, t.ask


def trade_paper(data: str, exe: str, clock: Clock) -> list[int]:
    from orbisyn.simulator import install, server
    terminal = server.Terminal(data, exe, clock=clock)
    s = Session(terminal)
    hedging, netting = (a["login"] for a in install.DEFAULT_ACCOUNTS)
    try:
        s.login(hedging)
        bid, ask = s.price("EURUSD")
        _, long_eur = s.send(action=DEAL, symbol="EURUSD", volume=0.5, type=BUY, magic=BIG_MAGIC,
                             sl=round(bid - 0.01, 5), tp=round(ask + 0.01, 5),
                             comment="grid \u2713 long")
        clock.now += 61_000
        s.send(action=DEAL, symbol="GBPUSD", volume=0.3, type=SELL, comment=ODD_COMMENT)
        clock.now += 45_000
        _, jpy = s.send(action=DEAL, symbol="USDJPY", volume=0.2, type=BUY, magic=42)
        clock.now += 30_000
        s.send(action=DEAL, symbol="USDJPY", volume=0.1, type=SELL, position=jpy)  # part closed
        bid, ask = s.price("EURUSD")
        s.send(action=SLTP, symbol="EURUSD", position=long_eur, sl=round(bid - 0.02, 5),
               tp=round(ask + 0.02, 5))
        s.send(action=PENDING, symbol="EURUSD", volume=0.1, type=BUY_LIMIT,
               price=round(ask - 0.03, 5), comment="dip")
        _, stop = s.send(action=PENDING, symbol="EURUSD", volume=0.2, type=SELL_STOP,
                         price=round(bid - 0.04, 5), type_time=TIME_SPECIFIED,
                         expiration=clock.now // 1000 + 30 * 86400)
        s.send(action=MODIFY, order=stop, symbol="EURUSD", price=round(bid - 0.05, 5),
               type_time=TIME_SPECIFIED, expiration=clock.now // 1000 + 40 * 86400)
        _, gone = s.send(action=PENDING, symbol="GBPUSD", volume=0.1, type=BUY_STOP,
                         price=round(s.price("GBPUSD")[1] + 0.05, 5))
        clock.now += 20_000
        s.send(action=REMOVE, order=gone)

        s.login(netting)
        clock.now += 60_000
        _, gold = s.send(action=DEAL, symbol="XAUUSD", volume=0.1, type=BUY)
        clock.now += 60_000
        s.send(action=DEAL, symbol="XAUUSD", volume=0.1, type=BUY, comment="0012")  # text, not a number
        clock.now += 60_000
        s.send(action=DEAL, symbol="XAUUSD", volume=0.05, type=SELL, position=gold)
        s.send(action=PENDING, symbol="BTCUSD", volume=0.01, type=BUY_STOP,
               price=round(s.price("BTCUSD")[1] * 1.2, 2), magic=7)
        # Past a rollover, so open positions carry a swap; the engine runs on the next request.
        clock.now += 86_400_000
        s.login(hedging)
        s.call(s.p.CMD_POSITIONS_TOTAL)
        s.login(netting)
        s.call(s.p.CMD_POSITIONS_TOTAL)
        s.login(hedging)
    finally:
        terminal.close()
    return [hedging, netting]


def trade_replay(data: str, exe: str) -> list[int]:
    from orbisyn.simulator import install, replay, server
    from orbisyn.simulator.clock import ReplayClock
    wall = Clock(0)   # the replay's monotonic source, in ns
    clock = ReplayClock(START_MS - 7 * 86_400_000, speed=60.0, until_ms=START_MS, source=wall)
    terminal = server.Terminal(data, exe, clock=clock, store_dir=replay.begin(data))
    replay.attach(terminal, data, clock)
    hedging = install.DEFAULT_ACCOUNTS[0]["login"]
    s = Session(terminal)
    try:
        status, _ = s.call(s.p.CMD_HANDSHAKE, s.p.I32.pack(5000) + s.p.pack_text("make_store"))
        assert status == 0 and clock.started_at is not None
        s.login(hedging)
        _, pos = s.send(action=DEAL, symbol="EURUSD", volume=1.0, type=BUY, comment="replay")
        wall.now += 60 * 10**9          # an hour of replay at 60x
        s.send(action=DEAL, symbol="EURUSD", volume=1.0, type=SELL, position=pos)
        status, _ = s.call(s.p.CMD_LOGIN, s.p.I32.pack(5000) + s.p.U64.pack(999)
                           + s.p.pack_text("wrong") + s.p.pack_text(""))  # session.json says so
        assert status == 0
    finally:
        terminal.close()
        replay.ended(data, clock)
    return [hedging]


def records(folder: str, logins: list[int]) -> dict:
    """Everything the store of this release holds for the logins, as it gives it back."""
    from orbisyn.simulator.engine.store import Store, connect
    store = Store(connect(folder))
    lo, hi = -(1 << 62), 1 << 62
    try:
        out = {"next_ticket": store.meta("next_ticket"), "request_id": store.meta("request_id"),
               "accounts": {}}
        for login in logins:
            balance, credit, processed_ms, created_ms = store.account(login)
            out["accounts"][str(login)] = {
                "balance": balance, "credit": credit, "processed_ms": processed_ms,
                "created_ms": created_ms,
                "positions": [dataclasses.asdict(x) for x in store.positions(login)],
                "orders": [dataclasses.asdict(x) for x in store.active_orders(login)],
                "history_orders": [dataclasses.asdict(x) for x in
                                   store.history_orders_between(login, lo, hi)],
                "deals": [dataclasses.asdict(x) for x in store.deals_between(login, lo, hi)]}
    finally:
        store.close()
    # Folded into the main file, so the store is one file as a stopped Terminal leaves it.
    db = sqlite3.connect(os.path.join(folder, "trading.sqlite"))
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    db.close()
    return out


if __name__ == "__main__":
    main(sys.argv[1])
