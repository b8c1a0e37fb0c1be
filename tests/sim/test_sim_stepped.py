"""Stepped replays end to end: a strategy file sees every bar and reruns give the same deals;
what happens between two waits happens at its own tick; a program that never waits gets
to the end; the waits live; the replay's command in a stranger's hands."""
from __future__ import annotations

import asyncio
import datetime as dt
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

orbisyn = pytest.importorskip("orbisyn")
if not hasattr(orbisyn, "order_send"):
    pytest.skip("extension incomplete", allow_module_level=True)

from orbisyn import _paths, aio  # noqa: E402
from orbisyn.simulator import install as sim_install  # noqa: E402
from orbisyn.simulator import protocol  # noqa: E402
from orbisyn.simulator.serving.client import RawClient  # noqa: E402

from simkit import stop_pid_from_lock  # noqa: E402
from support.other_user import other_user  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
MA_CROSS = os.path.join(HERE, os.pardir, os.pardir, "docs", "recipes", "ma_cross.py")
MONDAY = int(dt.datetime(2024, 5, 6, tzinfo=dt.timezone.utc).timestamp())
M5, M1 = 5, 1


def cli(*args: str, timeout: float = 60) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "orbisyn.simulator", *args], capture_output=True,
                          text=True, timeout=timeout, stdin=subprocess.DEVNULL)


class Terminal:
    """An installed simulated Terminal; each `replay` starts it afresh."""

    def __init__(self, base, **settings):
        self.res = sim_install.install(str(base / "t"), seed=3)
        values = sim_install.load_settings(self.res["data_dir"])
        values.update(connect_delay_ms=0, **settings)
        sim_install.save_settings(self.res["data_dir"], values)
        self.inst = os.path.dirname(self.res["exe"])
        self.running = False

    def run(self, *args: str) -> None:
        self.stop()
        out = cli("run", "--dir", self.inst, *args)
        assert out.returncode == 0, out.stderr
        self.running = True

    def connect(self) -> None:
        assert orbisyn.initialize(self.res["exe"], timeout=30000), orbisyn.last_error()

    def script(self, path: str, params: dict, timeout: float = 120) -> subprocess.CompletedProcess:
        env = dict(os.environ, ORBISYN_PARAMS=json.dumps(params), PYTHONUNBUFFERED="1")
        return subprocess.run([sys.executable, path], env=env, capture_output=True, text=True,
                              timeout=timeout, stdin=subprocess.DEVNULL)

    def status(self) -> str:
        return cli("status", "--dir", self.inst).stdout

    def log(self) -> str:
        with open(os.path.join(self.res["data_dir"], "logs", "simulator.log")) as f:
            return f.read()

    def stop(self) -> None:
        orbisyn.shutdown()
        if self.running:
            stop_pid_from_lock(self.res["exe"])
            self.running = False


@pytest.fixture
def terminal(sim_env):
    made = []

    def make(**settings) -> Terminal:
        t = Terminal(sim_env / f"t{len(made)}", **settings)
        made.append(t)
        return t

    yield make
    for t in made:
        t.stop()


def deals() -> list:
    return [(d.ticket, d.order, d.time_msc, d.type, d.entry, d.reason, d.volume, d.price, d.profit,
             d.swap, d.position_id) for d in orbisyn.history_deals_get(0, 4102444800)]


# ---- a strategy file ----------------------------------------------------------------------

def test_a_moving_average_cross_sees_every_bar_and_a_rerun_gives_the_same_deals(terminal):
    t = terminal()
    start, until = "2024-05-06", "2024-06-03"
    runs = []
    for _ in range(2):
        t.run("--replay", start, "--until", until, "--stepped")
        began = time.monotonic()
        out = t.script(MA_CROSS, {"trace": 1, "fast": 5, "slow": 12})
        took = time.monotonic() - began
        assert out.returncode == 0, out.stderr     # it ended by itself: the replay is over
        seen = [int(x) for x in out.stdout.split()]
        t.connect()
        bars = orbisyn.copy_rates_range("EURUSD", M5, MONDAY, MONDAY + 28 * 86400 - 1)
        runs.append((seen, deals(), bars["time"].tolist(), took))
        t.stop()
    (seen, got, bars, _), (seen2, got2, _, _) = runs
    assert seen == bars and len(bars) == 20 * 288     # every bar of four weeks, once, in order
    assert got == got2                                 # tickets, times, prices, profits
    market_deals = [d for d in got if d[5] == 3]       # sent by the program
    assert len(market_deals) > 50


def test_the_same_file_runs_unchanged_on_the_wall_clock(terminal):
    t = terminal()
    t.run("--replay", "2024-05-08 10:00", "--speed", "60")     # an M1 bar a second
    env = dict(os.environ, ORBISYN_PARAMS=json.dumps({"trace": 1, "timeframe": M1, "fast": 2, "slow": 3}),
               PYTHONUNBUFFERED="1")
    proc = subprocess.Popen([sys.executable, MA_CROSS], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)
    try:
        seen = [int(proc.stdout.readline()) for _ in range(2)]
    finally:
        proc.terminate()
        proc.wait(30)
    assert seen[1] == seen[0] + 60
    t.connect()
    bars = orbisyn.copy_rates_range("EURUSD", M1, seen[0], seen[1])["time"].tolist()
    assert bars == seen


# ---- between two waits ---------------------------------------------------------------------

def _bars_csv(path) -> None:
    """EURUSD from Monday 00:00: 90 min flat at 1.10000, 30 min at 1.10500, a bar that ticks
    1.10500, 1.10530 (:15), 1.10200 (:30), 1.10300 (:45), then 1.10300; spread 10 points, 4
    ticks a bar (see ticks_of_bars)."""
    rows = [(1.10000,) * 4] * 90 + [(1.10500,) * 4] * 30 + [(1.10500, 1.10530, 1.10200, 1.10300)] \
        + [(1.10300,) * 4] * 59
    with open(path, "w") as f:
        for i, (o, h, l, c) in enumerate(rows):
            f.write(f"{MONDAY + 60 * i},{o:.5f},{h:.5f},{l:.5f},{c:.5f},4,10\n")


def test_what_a_sleep_skips_happens_at_its_own_tick(terminal, sim_env):
    t = terminal()
    _bars_csv(sim_env / "bars.csv")
    assert cli("import-bars", "EURUSD", str(sim_env / "bars.csv"), "--dir", t.inst).returncode == 0
    t.run("--replay", str(MONDAY), "--until", str(MONDAY + 3 * 3600), "--stepped")
    t.connect()
    assert orbisyn.sleep(100 * 60) is True                        # to 01:40: bid 1.10500
    assert orbisyn.symbol_info_tick("EURUSD").bid == 1.10500
    buy = dict(action=1, symbol="EURUSD", volume=0.1, type=0, type_filling=1)
    with_sl = orbisyn.order_send(**buy, sl=1.10400)
    with_tp = orbisyn.order_send(**buy, tp=1.10520)
    sell_limit = orbisyn.order_send(action=5, symbol="EURUSD", volume=0.1, type=3, price=1.10525,
                                    type_filling=2)
    buy_limit = orbisyn.order_send(action=5, symbol="EURUSD", volume=0.1, type=2, price=1.10250,
                                   type_filling=2)
    assert [r.retcode for r in (with_sl, with_tp, sell_limit, buy_limit)] == [10009, 10009, 10008, 10008]
    assert orbisyn.sleep(65 * 60) is True                         # to 02:45, past the 02:00 bar
    at = (MONDAY + 2 * 3600) * 1000
    closing = {d.position_id: d for d in orbisyn.history_deals_get(0, 4102444800) if d.entry == 1}
    opening = {d.order: d for d in orbisyn.history_deals_get(0, 4102444800) if d.entry == 0}
    assert (closing[with_sl.order].reason, closing[with_sl.order].price,
            closing[with_sl.order].time_msc) == (4, 1.10200, at + 30_000)
    assert (closing[with_tp.order].reason, closing[with_tp.order].price,
            closing[with_tp.order].time_msc) == (5, 1.10530, at + 15_000)
    assert (opening[sell_limit.order].price, opening[sell_limit.order].time_msc) == (1.10530, at + 15_000)
    assert (opening[buy_limit.order].price, opening[buy_limit.order].time_msc) == (1.10210, at + 30_000)
    assert orbisyn.symbol_info_tick("EURUSD").time_msc <= (MONDAY + 2 * 3600 + 45 * 60) * 1000
    # Past the end: the sleep says so at once, and the market is closed.
    assert orbisyn.sleep(3600) is False
    assert orbisyn.last_error() == (-10201, "the replay is over at 2024-05-06 03:00:00 UTC")
    assert orbisyn.order_send(**buy).retcode == 10018


# ---- a program that never waits ------------------------------------------------------------

NEVER_WAITS = '''
import time, orbisyn
assert orbisyn.initialize()
seen = []
while True:
    tick = orbisyn.symbol_info_tick("BTCUSD")
    seen.append(tick.time_msc)
    if orbisyn.order_send(action=1, symbol="BTCUSD", volume=0.01, type=0, type_filling=1).retcode == 10018:
        break   # the market closed: the replay is over
    time.sleep(1.3)
print(len(seen), seen[0], seen[-1])
'''


def test_a_program_that_never_waits_gets_to_the_end(terminal, sim_env):
    t = terminal()
    until = MONDAY + 2 * 3600
    t.run("--replay", str(MONDAY), "--until", str(until), "--stepped", "--speed", "7200")
    path = sim_env / "never_waits.py"
    path.write_text(NEVER_WAITS)
    proc = subprocess.Popen([sys.executable, str(path)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    time.sleep(2.0)
    status = t.status()
    assert "until the program's first orbisyn wait it follows the wall clock at 7200x" in status
    out, err = proc.communicate(timeout=90)
    assert proc.returncode == 0, err
    count, first, last = map(int, out.split())
    # Each 1.3 s of sleep moves the present 0.3 s past the idle second, at 7200x: 36 minutes.
    assert 3 <= count <= 6 and last - first >= 90 * 60_000
    assert "the replay is over" in t.status()


STOPS_WAITING = '''
import time, orbisyn
assert orbisyn.initialize()
assert orbisyn.sleep(60)
print("slept", flush=True)
time.sleep(5)
assert orbisyn.sleep(60)
print("again", flush=True)
time.sleep(30)
'''


def test_a_program_that_stops_waiting_is_named_in_status_and_the_log(terminal, sim_env):
    t = terminal(stepped_still_warning_s=2)
    t.run("--replay", str(MONDAY), "--until", str(MONDAY + 3600), "--stepped")
    path = sim_env / "stops_waiting.py"
    path.write_text(STOPS_WAITING)
    proc = subprocess.Popen([sys.executable, str(path)], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "slept\n"
        time.sleep(3.5)
        still = t.status()
        assert "stands still waiting for the program: no orbisyn wait for" in still
        assert "time.sleep does not move a stepped replay; use orbisyn.sleep" in still
        assert "2024-05-06 00:01:00 UTC" in still
        assert proc.stdout.readline() == "again\n"
        assert "2024-05-06 00:02:00 UTC, moves when the program waits" in t.status()
        time.sleep(3.5)
    finally:
        proc.kill()
        proc.wait()
    warnings = [line for line in t.log().splitlines() if "no orbisyn wait for" in line]
    assert len(warnings) == 2        # once for each stall, not once a second


# ---- live waits ------------------------------------------------------------------------------

LIVE_SLEEP = '''
import sys, threading, time, orbisyn
assert orbisyn.initialize(sys.argv[1])
ticks = [0]
def count():
    while True:
        ticks[0] += 1
        time.sleep(0.01)
threading.Thread(target=count, daemon=True).start()
print("sleeping", flush=True)
try:
    orbisyn.sleep(60)
except KeyboardInterrupt:
    print("interrupted", ticks[0] > 20, flush=True)
'''


def test_a_live_sleep_lets_other_threads_run_and_ctrl_c_ends_it(start_sim, terminal, sim_env):
    t = terminal()
    start_sim(t.res["exe"])
    path = sim_env / "live_sleep.py"
    path.write_text(LIVE_SLEEP)
    proc = subprocess.Popen([sys.executable, str(path), t.res["exe"]], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "sleeping\n"
        time.sleep(1.0)
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=5)
    finally:
        proc.kill()
    assert out == "interrupted True\n"


def test_the_awaitables_step_the_replay_and_end_with_it(terminal):
    t = terminal()
    t.run("--replay", "2024-05-06 12:00", "--until", "2024-05-06 14:00", "--stepped")
    t.connect()
    orbisyn.shutdown()

    async def main():
        opened = []
        async with aio.session(t.res["exe"]):
            try:
                while True:
                    opened.append(await aio.wait_bar("EURUSD", 15))
            except orbisyn.TerminalError as e:
                return opened, e

    opened, end = asyncio.run(main())
    assert [o - opened[0] for o in opened] == [i * 900 for i in range(8)]
    assert end.code == -10201 and end.function == "wait_bar"


# ---- the replay's command in other hands -------------------------------------------------------

def _step(client: RawClient, payload: bytes):
    return client.call(protocol.Command.REPLAY_WAIT, payload)


def _text(s: str) -> bytes:
    return protocol.pack_text(s)


@pytest.mark.parametrize("stepped", [True, False])
def test_a_second_process_sending_junk_steps_gets_statuses_and_moves_nothing(terminal, stepped):
    import struct
    t = terminal()
    t.run("--replay", str(MONDAY), "--until", str(MONDAY + 3600), *(["--stepped"] if stepped else []))
    good = _text("EURUSD") + struct.pack("<iq", 5, 60_000)
    with RawClient(_paths.socket_path(t.res["exe"])) as client:
        answers = [_step(client, p)[0] for p in (
            b"", _text("EURUSD"), _text("EURUSD") + struct.pack("<i", 5),   # cut short
            good + b"\0",                                                     # too long
            _text("NOSUCH") + struct.pack("<iq", 5, 1000),                    # unknown symbol
            _text("EURUSD") + struct.pack("<iq", 7, 1000),                    # no such timeframe
            struct.pack("<i", 2 ** 30) + b"ab")]                              # a text past the end
        status, body = _step(client, good)
    if not stepped:
        assert answers == [protocol.E_UNSUPPORTED] * 7 and status == protocol.E_UNSUPPORTED
        return
    assert answers == [protocol.E_PARAMS] * 4 + [protocol.E_NOT_FOUND, protocol.E_PARAMS, protocol.E_PARAMS]
    present, opened, over = struct.unpack("<qq?", body)
    # Junk moved nothing: the first good step starts from the replay's start.
    assert status == 0 and MONDAY * 1000 < present <= MONDAY * 1000 + 60_000 and not over


def test_another_user_cannot_reach_a_stepped_replay(terminal):
    user = other_user()
    t = terminal()
    t.run("--replay", str(MONDAY), "--until", str(MONDAY + 3600), "--stepped")
    sock = _paths.socket_path(t.res["exe"])
    code = textwrap.dedent('''
        import socket, struct, sys
        s = socket.socket(socket.AF_UNIX)
        try:
            s.connect(sys.argv[1])
            s.sendall(struct.pack("<Ii", 16, 9001) + struct.pack("<i", 0) + struct.pack("<iq", 0, 3600000))
            print("answered", len(s.recv(64)))
        except OSError as e:
            print("refused", e.errno)
    ''')
    out = user.python(code, sock, stdout=subprocess.PIPE, text=True)
    got, _ = out.communicate(timeout=30)
    assert got.startswith("refused")
    t.connect()
    assert orbisyn.symbol_info_tick("EURUSD").time_msc <= MONDAY * 1000   # nobody moved it
