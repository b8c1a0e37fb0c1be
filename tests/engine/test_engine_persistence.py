"""Persistence: reopening, SIGKILL, two engines on one data folder, reset; the store of an
earlier release, and the store's files against other users."""
import dataclasses
import hashlib
import json
import os
import shutil
import signal
import sqlite3
import stat
import subprocess
import sys
import tempfile
import textwrap

import pytest
from engine_market import HEDGING_LOGIN, NETTING_LOGIN, make_settings
from engine_client import Client
from support.other_user import other_user

from orbisyn.simulator.engine import TradingEngine, reset_account
from orbisyn.simulator.engine.model import Deal, Order, Position
from orbisyn.simulator.engine.store import (
    DB_NAME, VERSION, Store, StoreError, connect, open_read_only)
from orbisyn.simulator.install import DEFAULT_ACCOUNTS, load_settings, read_origin
from orbisyn.simulator.market.market import Market
from orbisyn.simulator.replay.folder import facts as replay_facts
from orbisyn.simulator.replay.report import collect
from orbisyn.simulator.serving.login import read_login

HEDGING = DEFAULT_ACCOUNTS[0]["login"]


def _state(c):
    return ([vars(p) for p in c.positions()], [vars(o) for o in c.orders()],
            [vars(d) for d in c.deals()], [vars(o) for o in c.history_orders()],
            c.engine.account_figures())


def test_reopened_engine_continues_where_it_stopped(open_engine, tmp_path, market):
    first = Client(open_engine())
    a = first.buy(volume=0.5, sl=1.09)
    first.send(action=5, symbol="EURUSD", volume=0.1, type=4, price=1.1050)
    market.tick("EURUSD", 1.1010, 1.1011)
    first.sell(volume=0.2, position=a.order)
    before = _state(first)
    first.engine.close()

    again = Client(open_engine())
    assert _state(again) == before
    more = again.buy(volume=0.1)
    assert more.order > max(d["ticket"] for d in before[2])
    assert more.request_id == 4  # three requests before the restart
    # the pending order saved before the restart still triggers
    market.tick("EURUSD", 1.1060, 1.1061)
    assert again.orders_total() == 0 and again.positions_total() == 3


def test_events_while_closed_are_replayed_at_their_tick_time(open_engine, market):
    c = Client(open_engine())
    r = c.send(action=5, symbol="EURUSD", volume=0.1, type=2, price=1.0950)
    c.engine.close()
    t = market.tick("EURUSD", 1.0949, 1.0950)
    market.advance(60_000)
    c = Client(open_engine())
    assert c.position(r.order).time_msc == t


CHILD = textwrap.dedent("""
    import sys
    sys.path[:0] = [{tests!r}, {tests!r} + "/.."]
    from engine_market import FakeMarket, make_settings
    from orbisyn.simulator.engine import TradingEngine
    from engine_client import Client
    c = Client(TradingEngine({data!r}, make_settings(), FakeMarket()))
    while True:
        r = c.buy(volume=0.01)
        assert r.retcode == 10009
        print(r.deal, r.order, flush=True)
""")


def test_sigkill_loses_no_acknowledged_trade(tmp_path, open_engine):
    tests = os.path.dirname(os.path.abspath(__file__))
    data = str(tmp_path / "killed")
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(tests=tests, data=data)],
                             stdout=subprocess.PIPE, text=True)
    acked = []
    try:
        for line in child.stdout:
            acked.append(tuple(map(int, line.split())))
            if len(acked) == 40:
                child.send_signal(signal.SIGKILL)
                break
    finally:
        child.kill()
        child.wait()
    assert len(acked) == 40
    c = Client(open_engine(data_dir=data))
    positions = {p.ticket for p in c.positions()}
    deals = {d.ticket for d in c.deals()}
    assert all(order in positions and deal in deals for deal, order in acked)
    assert c.engine.account_figures()["margin"] > 0


def test_two_engines_on_one_folder_keep_one_account(open_engine, market):
    one = Client(open_engine())
    two = Client(open_engine())
    a = one.buy(volume=1.0)
    assert [p.ticket for p in two.positions()] == [a.order]
    market.tick("EURUSD", 1.1030, 1.1031)
    b = two.sell(volume=1.0, position=a.order)
    c = one.buy(volume=0.3)
    assert len({a.order, a.deal, b.order, b.deal, c.order, c.deal}) == 6
    assert one.positions_total() == two.positions_total() == 1
    for client in (one, two):
        fig = client.engine.account_figures()
        deals = client.deals()
        assert fig["balance"] == pytest.approx(
            sum(d.profit + d.commission + d.swap for d in deals)) == 10290.0


def test_accounts_are_separate(open_engine):
    eng = open_engine()
    c = Client(eng)
    c.buy(volume=0.1)
    eng.login(NETTING_LOGIN)
    assert c.positions_total() == 0 and len(c.deals()) == 1
    eng.login(HEDGING_LOGIN)
    assert c.positions_total() == 1
    with pytest.raises(KeyError):
        eng.login(1)


def test_reset_starts_an_account_afresh_under_a_running_engine(open_engine, tmp_path, market):
    eng = open_engine()
    c = Client(eng)
    c.buy(volume=0.1)
    c.send(action=5, symbol="EURUSD", volume=0.1, type=2, price=1.05)
    Client(eng).engine.login(NETTING_LOGIN)
    kept = c.buy(volume=0.1)
    eng.login(HEDGING_LOGIN)

    market.advance(1000)
    assert reset_account(str(tmp_path), make_settings(), HEDGING_LOGIN,
                         now_ms=market.now) == [HEDGING_LOGIN]
    assert c.positions_total() == 0 and c.orders_total() == 0
    [deposit] = c.deals()
    assert (deposit.type, deposit.profit, deposit.time_msc) == (2, 10000.0, market.now)
    assert eng.account_figures()["balance"] == 10000.0
    eng.login(NETTING_LOGIN)
    assert [p.ticket for p in c.positions()] == [kept.order]
    assert c.buy(volume=0.1).order > kept.order  # tickets are never reused
    with pytest.raises(KeyError):
        reset_account(str(tmp_path), make_settings(), 42)


def test_database_is_wal(open_engine, tmp_path):
    open_engine()
    import sqlite3
    db = sqlite3.connect(tmp_path / "trading.sqlite")
    assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    db.close()


# ---- a store of an earlier release, and the store's own files ------------------------------

OLD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "store-0.2.0")
EVER = (-(1 << 62), 1 << 62)
READ = {"positions": lambda store, login: store.positions(login),
        "orders": lambda store, login: store.active_orders(login),
        "history_orders": lambda store, login: store.history_orders_between(login, *EVER),
        "deals": lambda store, login: store.deals_between(login, *EVER)}


@pytest.fixture
def old(tmp_path):
    """A copy of the data folder 0.2.0 left, and what it recorded it made."""
    data = str(tmp_path / "old")
    shutil.copytree(OLD, data, ignore=shutil.ignore_patterns("expected.json"))
    with open(os.path.join(OLD, "expected.json"), encoding="utf-8") as f:
        return data, json.load(f)


def _assert_records(got, made, where):
    """Field by field; a field added since 0.2.0 holds its declared default."""
    assert [r.ticket for r in got] == [r["ticket"] for r in made], where
    for rec, want in zip(got, made):
        fields = {f.name: f.default for f in dataclasses.fields(rec)}
        assert set(want) <= set(fields), f"{where}: fields lost: {set(want) - set(fields)}"
        assert {n: getattr(rec, n) for n in fields} == {**fields, **want}, (where, rec.ticket)


def _assert_intact(store, made):
    for login, acc in made["accounts"].items():
        assert store.account(int(login)) == (acc["balance"], acc["credit"], acc["processed_ms"],
                                             acc["created_ms"])
        for kind, read in READ.items():
            _assert_records(read(store, int(login)), acc[kind], (login, kind))
    assert (store.meta("next_ticket"), store.meta("request_id")) == (made["next_ticket"],
                                                                   made["request_id"])


def _old_engine(data, made, settings_from=None):
    settings = load_settings(settings_from or data)
    market = Market(seed=settings["seed"], history_start=settings["history_start"],
                    history_dir=os.path.join(data, "history"), clock=lambda: made["clock_ms"])
    return TradingEngine(data, settings, market)


def _snapshot(folder):
    """The bytes of every file in the folder."""
    files = {}
    for name in sorted(os.listdir(folder)):
        if os.path.isfile(os.path.join(folder, name)):
            with open(os.path.join(folder, name), "rb") as f:
                files[name] = hashlib.sha256(f.read()).hexdigest()
    return files


def _user_version(folder):
    db = sqlite3.connect(os.path.join(folder, DB_NAME))
    try:
        return db.execute("PRAGMA user_version").fetchone()[0]
    finally:
        db.close()


def test_store_of_0_2_0_opens_intact_and_a_second_open_changes_nothing(old):
    data, made = old
    eng = _old_engine(data, made)
    try:
        _assert_intact(eng.store, made["stores"]["."])
        c = Client(eng)
        for login, acc in made["stores"]["."]["accounts"].items():
            eng.login(int(login))
            assert eng.account_figures()["balance"] == acc["balance"]
            # what a program reads over the wire, unsigned magic and odd comments included
            assert [(p.ticket, p.magic, p.comment, p.swap) for p in c.positions()] == [
                (p["ticket"], p["magic"], p["comment"], p["swap"]) for p in acc["positions"]]
    finally:
        eng.close()
    first = _snapshot(data)
    assert _user_version(data) == VERSION
    _old_engine(data, made).close()
    assert _snapshot(data) == first


def test_trading_goes_on_in_a_store_of_0_2_0(old):
    data, made = old
    paper = made["stores"]["."]
    eng = _old_engine(data, made)
    try:
        c = Client(eng)
        [pending] = paper["accounts"][str(HEDGING)]["orders"][:1]
        assert c.send(action=8, order=pending["ticket"]).retcode == 10009
        r = c.buy(symbol="USDJPY", volume=0.1)
        assert (r.retcode, r.request_id) == (10009, paper["request_id"] + 2)
        assert (r.order, r.deal) == (paper["next_ticket"], paper["next_ticket"] + 1)
        assert c.history_order(pending["ticket"]).state == 2
    finally:
        eng.close()


def test_state_files_of_0_2_0_read_as_they_were_written(old):
    data, made = old
    assert load_settings(data) == made["settings"]
    assert read_origin(data) == made["origin"]
    assert read_login(data) == made["session.json"]
    assert replay_facts(data) == made["replay/replay.json"]
    # the report reads the replay's store of 0.2.0 without writing to it
    before = _snapshot(os.path.join(data, "replay"))
    src = collect(data, load_settings(data))
    assert src.replay
    _assert_records(src.deals, made["stores"]["replay"]["accounts"][str(src.login)]["deals"],
                    "replay deals")
    assert _snapshot(os.path.join(data, "replay")) == before


@pytest.mark.parametrize("table, model", [("positions", Position), ("orders", Order),
                                          ("deals", Deal)])
def test_every_model_field_has_its_column(tmp_path, table, model):
    db = connect(str(tmp_path))
    cols = {r[1] for r in db.execute(f"PRAGMA table_info({table})")}
    db.close()
    assert cols == {f.name for f in dataclasses.fields(model)}, "a model field needs a migration step"


# What is done to a copy of the 0.2.0 store (None: it is replaced by bytes of no database).
UNREADABLE = {
    "newer": ("DROP TABLE deals", f"PRAGMA user_version={VERSION + 1}"),
    "foreign": ("CREATE TABLE notes(body TEXT)",),
    "short of a column": ("ALTER TABLE deals DROP COLUMN external_id",),
    "null where a step needs a value": ("UPDATE positions SET comment=NULL",),
    "garbage": None,
}


@pytest.mark.parametrize("how, says", [
    ("newer", "newer release"), ("foreign", "not a trading store this release knows"),
    ("short of a column", "deals"), ("null where a step needs a value", "could not be brought"),
    ("garbage", "not a trading store")])
def test_a_store_this_release_cannot_read_is_refused_and_left_as_it_is(old, how, says):
    data, made = old
    path = os.path.join(data, DB_NAME)
    if UNREADABLE[how] is None:
        with open(path, "wb") as f:
            f.write(b"not a database at all, " * 300)
    else:
        db = sqlite3.connect(path)
        for sql in UNREADABLE[how]:
            db.execute(sql)
        db.commit()
        db.close()
    before = _snapshot(data)
    with pytest.raises(StoreError, match=says):
        _old_engine(data, made)
    with pytest.raises(StoreError, match=says):
        open_read_only(data)
    assert _snapshot(data) == before


def test_store_of_0_2_0_missing_tables_is_completed(tmp_path):
    data = str(tmp_path)
    db = sqlite3.connect(os.path.join(data, DB_NAME))
    db.executescript("CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
                     "INSERT INTO meta VALUES('next_ticket', 777), ('request_id', 5)")
    db.close()
    store = Store(connect(data))
    assert (store.meta("next_ticket"), store.meta("request_id"), store.positions(1)) == (777, 5, [])
    store.close()


@pytest.fixture
def umask_000():
    old_mask = os.umask(0)
    yield
    os.umask(old_mask)


def _modes(folder):
    names = [n for n in os.listdir(folder) if n.startswith(DB_NAME)]
    return (stat.S_IMODE(os.stat(folder).st_mode),
            {n: stat.S_IMODE(os.stat(os.path.join(folder, n)).st_mode) for n in names})


@pytest.mark.parametrize("start", ["fresh", "0.2.0 under umask 000"])
def test_store_files_are_private_whatever_the_umask(old, tmp_path, umask_000, start):
    data, made = old
    if start == "fresh":
        data = str(tmp_path / "new" / "data")
    else:
        os.chmod(old[0], 0o777)
        os.chmod(os.path.join(old[0], DB_NAME), 0o666)
    eng = _old_engine(data, made, settings_from=old[0])
    try:
        Client(eng).buy(volume=0.1)   # writes the -wal; the -shm exists while open
        folder_mode, files = _modes(data)
        assert folder_mode == 0o700
        assert files == {DB_NAME + s: 0o600 for s in ("", "-wal", "-shm")}
    finally:
        eng.close()


# ---- another user at the store -------------------------------------------------------------

@pytest.fixture
def shared(tmp_path):
    """A folder every user reaches, with a file anyone may read as a control."""
    top = tempfile.mkdtemp(prefix="orbisyn-store-", dir="/tmp")
    os.chmod(top, 0o1777)
    with open(os.path.join(top, "control"), "w") as f:
        f.write("readable")
    os.chmod(os.path.join(top, "control"), 0o644)
    yield top
    shutil.rmtree(top, ignore_errors=True)


READ_AS_OTHER = "import sys\nfor p in sys.argv[1:]:\n try: open(p, 'rb').read(1); print('read', p)\n" \
       " except OSError as e: print('refused', e.errno)\n"


def test_another_user_cannot_read_the_store(shared, umask_000, open_engine):
    user = other_user()
    data = os.path.join(shared, "data")
    Client(open_engine(data_dir=data)).buy(volume=0.1)
    paths = [os.path.join(shared, "control")] + [os.path.join(data, DB_NAME + s)
                                                 for s in ("", "-wal", "-shm")]
    out = user.python(READ_AS_OTHER, *paths, stdout=subprocess.PIPE, text=True).communicate(timeout=60)[0]
    assert out.splitlines() == [f"read {paths[0]}"] + ["refused 13"] * 3


PLANT = """import os, sys
folder, name, kind = sys.argv[1:]
if kind == "folder":
    os.mkdir(folder)
elif kind == "link":
    os.symlink("/etc/passwd", os.path.join(folder, name))
else:
    open(os.path.join(folder, name), "wb").close()
    os.chmod(os.path.join(folder, name), 0o666)
print("planted")
"""


@pytest.mark.parametrize("name, kind", [
    ("", "folder"), (DB_NAME, "file"), (DB_NAME + "-wal", "file"), (DB_NAME + "-shm", "file"),
    (DB_NAME, "link")])
def test_files_another_user_planted_are_refused(shared, tmp_path, market, name, kind):
    user = other_user()
    data = os.path.join(shared, "data")
    if kind != "folder":
        os.makedirs(data, mode=0o777)
        os.chmod(data, 0o777)   # a folder of ours that others could write to before this release
    out = user.python(PLANT, data, name, kind, stdout=subprocess.PIPE, text=True).communicate(timeout=60)[0]
    assert out.strip() == "planted"
    with pytest.raises(StoreError, match="another user|cannot open"):
        TradingEngine(data, make_settings(), market)
    if kind == "link":
        assert os.path.islink(os.path.join(data, name))


def test_the_terminal_says_why_it_will_not_use_a_newer_store(tmp_path):
    from orbisyn.simulator.install import install
    inst = install(str(tmp_path / "terminal"))
    connect(inst["data_dir"]).execute(f"PRAGMA user_version={VERSION + 1}").connection.close()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-m", "orbisyn.simulator", "run", "--foreground",
                          "--exe", inst["exe"], "--data", inst["data_dir"]],
                         capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 5
    assert "newer release" in run.stderr and "Traceback" not in run.stderr
