"""Fuzz driver: calls every module function, with valid and invalid arguments, against
the hostile peer (hostile_peer.py, its own process) and checks each outcome.

    python tests/fuzz_driver.py --seed 7 --exchanges 3000 [--trace] [--progress N]

After every call: no exception escaped, the return value is the documented neutral
value or a well-formed result matching the reply, last_error() holds the right code and
message, and refused arguments sent nothing. After a broken link, initialize() works
again. Exits 0 when every check held; otherwise prints the seed, the step and the call.
"""
from __future__ import annotations

import argparse
import datetime
import math
import os
import random
import socket
import struct
import subprocess
import sys
import time
import zlib

from support import call_rules as rules, hostile_peer, peers
from support.folders import private_folders

UTC = datetime.timezone.utc
LINK_CODES = {-10001, -10002, -10004}


class FuzzFailure(AssertionError):
    pass


# ---------------------------------------------------------------------------
# Arguments

SYMBOLS = ["EURUSD", "", "X" * 29, "\U0001f600" * 14 + "a", "EUR\0USD", "\u00e9\u00e8"]
GROUPS = ["", "*", "EUR*,!*JPY", "G" * 1997, "\0abc", "*USD*"]
TIMES = [0, 1_700_000_000, 1.9, -1.9, -1, 2**40, datetime.datetime(2024, 1, 2, tzinfo=UTC),
         datetime.datetime(1970, 1, 1, tzinfo=UTC), 1e12]
BAD = [None, b"EURUSD", 1.5, "text", [], {}, (1,), 2**64, -1, -2**70, float("nan"),
       float("inf"), datetime.date(2020, 1, 1), object(), True, 2**31, "X" * 30,
       "\U0001f600" * 15, "G" * 1998, 3 + 0j]


def _pick(rng, pool):
    return pool[rng.randrange(len(pool))]


def valid_call(name: str, rng: random.Random):
    """(args, kwargs) that the argument rules accept (most of the time)."""
    sym = lambda: _pick(rng, SYMBOLS)  # noqa: E731
    t = lambda: _pick(rng, TIMES)  # noqa: E731
    i32 = lambda: rng.choice([0, 1, 16385, -1, 2**31 - 1, -2**31, 1000])  # noqa: E731
    u64 = lambda: rng.choice([0, 1, 5, 2**64 - 1, True])  # noqa: E731
    if [kind for _, kind, _, _ in rules.DECLARATIONS[name][0]] == ["symbol"]:
        return (sym(),), {}
    if name == "symbol_select":
        return ((sym(),) if rng.random() < 0.5 else (sym(), rng.choice([0, 1, "", [1], -1]))), {}
    if name == "symbols_get":
        r = rng.random()
        if r < 0.3:
            return (), {}
        if r < 0.6:
            return (_pick(rng, GROUPS),), {}
        return (), {"group": _pick(rng, GROUPS)}
    if name == "copy_rates_from":
        return (sym(), i32(), t(), rng.choice([0, 1, 10, 1000])), {}
    if name == "copy_rates_from_pos":
        return (sym(), i32(), i32(), rng.choice([0, 1, 10])), {}
    if name == "copy_rates_range":
        return (sym(), i32(), t(), t()), {}
    if name == "copy_ticks_from":
        return (sym(), t(), rng.choice([0, 1, 100]), i32()), {}
    if name == "copy_ticks_range":
        return (sym(), t(), t(), i32()), {}
    if name in ("positions_get", "orders_get"):
        r = rng.random()
        if r < 0.25:
            return (), {}
        if r < 0.5:
            return (), {"ticket": u64()}
        if r < 0.75:
            return (), {"symbol": sym()}
        return (), {"group": _pick(rng, GROUPS)}
    if name in ("history_orders_total", "history_deals_total"):
        return (t(), t()), {}
    if name in ("history_orders_get", "history_deals_get"):
        r = rng.random()
        if r < 0.4:
            kw = {"group": _pick(rng, GROUPS)} if rng.random() < 0.5 else {}
            return (t(), t()), kw
        if r < 0.7:
            return (), {"ticket": u64()}
        return (), {"position": u64()}
    if name in ("order_check", "order_send"):
        req = {"action": rng.choice([0, 1, 2**32 - 1, True]), "symbol": sym(),
               "volume": rng.choice([0.1, 1.0, -0.0]), "price": 1.2345, "sl": 0.0, "tp": 2.0,
               "deviation": 2**64 - 1, "type": 1, "expiration": -5, "comment": "c" * 29,
               "position": 7, "position_by": 0, "magic": 42}
        for key in list(req):
            if rng.random() < 0.3:
                del req[key]
        return ((), req) if rng.random() < 0.3 else ((req,), {})
    if name == "login":
        if rng.random() < 0.5:
            return (rng.choice([1, 1234, 2**64 - 1]), "pw"), {"server": "srv", "timeout": 100}
        return (), {"login": 5, "password": "x" * 253, "timeout": 100}
    if name == "order_calc_margin":
        return (rng.choice([0, 1, -1, 2**40]), sym(), rng.choice([1.0, 1, 0.5]), 1.1), {}
    if name == "order_calc_profit":
        return (rng.choice([0, 1, -1]), sym(), 1.0, 1.1, rng.choice([1.2, 2])), {}
    return (), {}


def invalid_call(name: str, rng: random.Random):
    """A valid call with one argument replaced, one added or one removed."""
    args, kwargs = valid_call(name, rng)
    args, kwargs = list(args), dict(kwargs)
    r = rng.random()
    if r < 0.6 and (args or kwargs):
        if args and (not kwargs or rng.random() < 0.5):
            args[rng.randrange(len(args))] = _pick(rng, BAD)
        else:
            key = rng.choice(sorted(kwargs))
            kwargs[key] = _pick(rng, BAD)
        if args and isinstance(args[0], dict) and rng.random() < 0.5:
            req = dict(args[0])
            req[rng.choice([k for k, _ in rules.TRADE_KEYS])] = _pick(rng, BAD)
            args[0] = req
    elif r < 0.8:
        args.append(_pick(rng, BAD))
    elif args:
        args.pop()
    else:
        kwargs[rng.choice(["ticket", "symbol", "group", "position", "path", "login"])] = _pick(rng, BAD)
    return tuple(args), kwargs


def describe(name, args, kwargs) -> str:
    parts = [repr(a)[:80] for a in args] + [f"{k}={v!r}"[:80] for k, v in kwargs.items()]
    return f"{name}({', '.join(parts)})"


# ---------------------------------------------------------------------------
# Driver


class Driver:
    def __init__(self, seed: int, trace: bool = False):
        self.seed = seed
        self.rng = random.Random(seed)
        self.trace = trace
        self.exchanges = 0
        self.calls = 0
        self.reinits = 0
        self.kinds: dict[str, int] = {}
        self.build = 3000
        self.step = 0
        self.current = ""
        self.folders = private_folders()
        self.runtime = str(self.folders.__enter__())
        import orbisyn
        from orbisyn import _paths

        self.ob = orbisyn
        self.functions = [n for n in rules.ALL_FUNCTIONS if hasattr(orbisyn, n)]
        self.exe = os.path.join(self.runtime, "Terminal", "terminal64.exe")
        ours, theirs = socket.socketpair()
        self.ctl = ours
        self.peer = subprocess.Popen(
            [sys.executable, hostile_peer.__file__, "--socket", _paths.socket_path(self.exe),
             "--ctl-fd", str(theirs.fileno())], pass_fds=[theirs.fileno()], stdin=subprocess.DEVNULL)
        theirs.close()
        self.ctl.settimeout(30)
        msg = peers.recv_msg(self.ctl)
        if not msg or msg[0] != "ready":
            raise RuntimeError("hostile peer did not start")
        self.link_suspect = False
        self.step_sync = 0

    def close(self):
        try:
            self.ob.shutdown()
        finally:
            self.ctl.close()
            self.peer.wait(timeout=10)
            self.folders.__exit__(None, None, None)

    # -- peer control
    def _control(self, msg, want):
        peers.send_msg(self.ctl, msg)
        verdicts = []
        while True:
            got = peers.recv_msg(self.ctl)
            if got is None:
                self.fail(f"the hostile peer died or did not answer; its last verdicts: {verdicts}")
            if got[0] == "x":
                verdicts.append(got[1])
            elif got[0] == want:
                return verdicts, got

    def mode(self, hostile: bool):
        verdicts, _ = self._control(("mode", hostile, self.build, self.seed), "ack")
        self.check_verdicts(verdicts, 0, "before a mode change")

    def sync(self):
        self.step_sync += 1
        verdicts, _ = self._control(("sync", self.step_sync), "synced")
        for v in verdicts:
            if v.get("stuck"):
                self.fail("the module waited for more bytes after a complete reply")
            if v.get("bad_request"):
                self.fail(f"malformed request: {v['bad_request']}")
            self.kinds[v.get("kind", "?")] = self.kinds.get(v.get("kind", "?"), 0) + 1
        self.exchanges += len(verdicts)
        if any(v.get("closed") for v in verdicts):
            self.link_suspect = True
        return verdicts

    def check_verdicts(self, verdicts, n, what):
        if len(verdicts) != n:
            self.fail(f"{len(verdicts)} exchanges {what}, expected {n}: {[v.get('code') for v in verdicts]}")

    def fail(self, text):
        raise FuzzFailure(f"seed {self.seed}, step {self.step}: {self.current}: {text}")

    # -- calls
    def call(self, name, args=(), kwargs=None):
        kwargs = kwargs or {}
        self.current = describe(name, args, kwargs)
        if self.trace:
            print(self.step, self.current, flush=True)
        self.calls += 1
        try:
            result = getattr(self.ob, name)(*args, **kwargs)
        except BaseException as e:  # noqa: BLE001
            self.fail(f"raised {type(e).__name__}: {e}")
        return result, self.ob.last_error()

    def clean_init(self):
        self.build = self.rng.choice([3000, 3000, 3000, 2363, 2364])
        self.mode(False)
        ok, err = self.call("initialize", (), {"path": self.exe, "timeout": 1000})
        verdicts = self.sync()
        if ok is not True or err != (1, "Success"):
            self.fail(f"initialize after a broken link gave {ok!r}, {err!r}")
        if [v["code"] for v in verdicts] != [4, 109]:
            self.fail(f"initialize exchanged {[v['code'] for v in verdicts]}")
        self.reinits += 1
        self.link_suspect = False
        self.mode(True)

    def hostile_session_call(self, name=None, args=(), kwargs=None):
        """initialize or login against mutated handshake, login and readiness replies."""
        if name is None and self.rng.random() < 0.5:
            name, args, kwargs = "initialize", (), {"path": self.exe, "timeout": 100}
            if self.rng.random() < 0.5:
                kwargs.update(login=1234, password="pw", server="srv")
        elif name is None:
            name, args, kwargs = "login", (1234, "pw"), {"server": "srv", "timeout": 100}
        result, err = self.call(name, args, kwargs)
        verdicts = self.sync()
        codes = {v["code"] for v in verdicts}
        if not codes <= {4, 5, 109}:
            self.fail(f"session call exchanged {sorted(codes)}")
        if result is True:
            ok = err == (1, "Success")
        elif result is False:
            code, msg = err
            # The special -7 text belongs to the login command only, not to a readiness poll.
            last = verdicts[-1]["code"] if verdicts else None
            want = rules.failure("login" if last == 5 else "version", code)[2]
            ok = code < 0 and msg == want
        else:
            ok = False
        if not ok:
            self.fail(f"returned {result!r} with last_error {err!r}")
        self.clean_init()

    def one_step(self):
        self.step += 1
        rng = self.rng
        r = rng.random()
        if r < 0.01 and "shutdown" in self.functions:
            result, err = self.call("shutdown")
            if result is not True or err != (1, "Success"):
                self.fail(f"shutdown gave {result!r}, {err!r}")
            self.check_verdicts(self.sync(), 0, "by shutdown")
            self.link_suspect = True
            self.after_close(expect_closed=True)
            return
        if r < 0.02:
            return self.hostile_session_call()
        name = rng.choice(self.functions)
        if name == "initialize":
            return self.refused_initialize()
        if name == "shutdown":
            name = "last_error"
        if name == "login":
            args, kwargs = invalid_call(name, rng)
            kwargs.setdefault("timeout", 100)  # a readiness wait of 60 s would stall the run
            if rules.refusal(name, args, kwargs) is None:
                return self.hostile_session_call(name, args, kwargs)
        elif rng.random() < 0.75:
            args, kwargs = valid_call(name, rng)
        else:
            args, kwargs = invalid_call(name, rng)
        self.checked_call(name, args, kwargs)
        if self.link_suspect:
            self.after_close()

    def refused_initialize(self):
        """initialize closes the link before it looks at its arguments."""
        args, kwargs = self.rng.choice([
            (("a", "b"), {}), ((5,), {}), ((), {"path": b"x"}), ((), {"login": -1}),
            ((), {"timeout": 2**32}), ((), {"server": "s" * 254}), ((), {"path": self.exe, "password": None}),
        ])
        refused = rules.refusal("initialize", args, kwargs)
        result, err = self.call("initialize", args, kwargs)
        self.check_verdicts(self.sync(), 0, "by a refused initialize")
        if refused is None or result is not False or err != (-2, refused[1]):
            self.fail(f"gave {result!r}, {err!r}; the argument rules say {refused!r}")
        self.after_close(expect_closed=True)

    def after_close(self, expect_closed=False):
        """The peer dropped the link: a call must fail as a link failure, then reconnect."""
        for _ in range(3):
            name = self.rng.choice([n for n in self.functions if n in RECOVERY])
            args, kwargs = valid_call(name, self.rng)
            if rules.refusal(name, args, kwargs) is None:
                break
        else:
            name, args, kwargs = "positions_total", (), {}
        if name in self.functions:
            result, err = self.call(name, args, kwargs)
            self.check_verdicts(self.sync(), 0, "over a dropped link")
            allowed = {-10004} if expect_closed else LINK_CODES
            if name in ("symbols_total", "symbols_get") and self.build < 2364:
                allowed = {-5}
            expected = [rules.failure(name, c, rules.request_code(name, args, kwargs)) for c in allowed]
            if (result, err[0], err[1]) not in [(e[0], e[1], e[2]) for e in expected]:
                self.fail(f"over a dropped link gave {result!r}, {err!r}")
        self.clean_init()

    def checked_call(self, name, args, kwargs):
        refused = rules.refusal(name, args, kwargs)
        self.last_kwargs = kwargs
        self.last_args = args
        result, err = self.call(name, args, kwargs)
        if name == "last_error":
            self.check_verdicts(self.sync(), 0, "by last_error")
            return
        if refused is not None:
            want_ret, want_msg = refused
            if not same(result, want_ret) or err != (-2, want_msg):
                self.fail(f"gave {result!r}, {err!r}; the argument rules say {want_ret!r}, (-2, {want_msg!r})")
            self.check_verdicts(self.sync(), 0, "for refused arguments")
            return
        request = rules.request_code(name, args, kwargs)
        if name in ("symbols_total", "symbols_get") and self.build < 2364:
            self.check_verdicts(self.sync(), 0, "below build 2364")
            if result is not None or err != (-5, rules.message(-5)):
                self.fail(f"below build 2364 gave {result!r}, {err!r}")
            return
        verdicts = self.sync()
        self.check_verdicts(verdicts, 1, "for one call")
        v = verdicts[0]
        if v["code"] != request:
            self.fail(f"sent command {v['code']}, expected {request}")
        expect = v["expect"]
        options = expect if isinstance(expect, tuple) else (expect,)
        problems = []
        for r in options:
            if r >= 0:
                bad = self.success_problem(name, request, v, result, err)
            else:
                want = rules.failure(name, r, request)
                bad = None if (same(result, want[0]) and err == want[1:]) else \
                    f"expected {want[0]!r}, ({want[1]}, {want[2]!r})"
            if bad is None:
                return
            problems.append(bad)
        self.fail(f"reply '{v['kind']}' (status {v.get('status')}, exchange result {expect}): "
                  f"got {result!r:.200}, {err!r}: {'; '.join(problems)}")

    def success_problem(self, name, request, v, result, err):
        if err != (1, "Success"):
            return f"last_error {err!r} after a good reply"
        value = v.get("value")
        if request in hostile_peer.COUNT_CODES:
            return None if type(result) is int and result == value else f"count {value}"
        if name in ("order_calc_margin", "order_calc_profit"):
            want = struct.unpack("<d", value)[0]
            ok = type(result) is float and (result == want or (math.isnan(result) and math.isnan(want)))
            return None if ok else f"value {want!r}"
        if name == "version":
            if v["status"] == 0:
                return None if result == (0, 0, "") else "zeros for status 0"
            ok = isinstance(result, tuple) and result[:2] == value and isinstance(result[2], str) \
                and len(result[2].encode("utf-8", "surrogatepass")) <= 127  # else dropped whole
            return None if ok else f"version {value}"
        if name in rules.BOOL_RESULT:
            return None if result is True else "True"
        if name in rules.RECORD_OF:
            bad = rules.well_formed(result, rules.RECORD_OF[name])
            if bad is None and name == "symbol_info" and self.build < 2364:
                # The legacy record has no name: the module fills in the one asked for.
                want = self.last_args[0].split("\0")[0]
                bad = None if result.name == want else f"name {want!r} filled in"
            if bad is None and name in ("order_check", "order_send"):
                bad = request_problem(result.request, self.last_args[0] if self.last_args else self.last_kwargs)
            return bad
        if name in rules.TUPLE_OF:
            if type(result) is not tuple:
                return "a tuple"
            grouped = request in (121, 131, 141, 151) and name != "symbols_get" and \
                ("group" in (self.last_kwargs or {}))
            if not grouped and len(result) != value:
                return f"{value} records"
            if grouped and len(result) > value:
                return f"at most {value} records"
            for rec in result:
                bad = rules.well_formed(rec, rules.TUPLE_OF[name])
                if bad:
                    return bad
            return None
        if name.startswith("copy_"):
            names = BAR_FIELDS if name.startswith("copy_rates") else TICK_FIELDS
            if type(result).__name__ != "ndarray" or result.dtype.names != names or \
                    result.dtype.itemsize != 60 or result.ndim != 1:
                return "an array of 60-byte records"
            if len(result) != value or zlib.crc32(result.tobytes()) != v.get("crc"):
                return f"the {value} records that were sent"
            return None
        return f"no success check for {name}"

    def run(self, exchanges: int, progress: int = 0):
        self.clean_init()
        next_report = progress
        while self.exchanges < exchanges:
            self.last_kwargs = None
            self.one_step()
            if progress and self.exchanges >= next_report:
                print(f"seed {self.seed}: {self.exchanges} exchanges, {self.calls} calls, "
                      f"{self.reinits} reconnections", flush=True)
                next_report += progress


RECOVERY = {"positions_total", "orders_total", "terminal_info", "account_info", "symbol_info",
            "copy_rates_from_pos", "market_book_get", "order_calc_margin", "version",
            "symbols_total", "history_deals_total"}
BAR_FIELDS = ("time", "open", "high", "low", "close", "tick_volume", "spread", "real_volume")
TICK_FIELDS = ("time", "bid", "ask", "last", "volume", "time_msc", "flags", "volume_real")


def request_problem(record, request: dict) -> str | None:
    """None when the TradeRequest record shows the request as sent (absent keys zero)."""
    for key, kind in rules.TRADE_KEYS:
        got = getattr(record, key)
        want = dict.get(request, key, "" if kind == "text" else 0)
        if kind == "text":
            want = want.split("\0")[0]
        elif kind == "i64":
            want = rules.seconds(want)
        elif kind == "float":
            want = rules.as_real(want)
        else:
            want = rules.as_index(want)
        if kind == "float":
            ok = got == want or (math.isnan(got) and math.isnan(want))
        else:
            ok = got == want and type(got) is (str if kind == "text" else int)
        if not ok:
            return f"request.{key} {got!r}, sent {want!r}"
    return None


def same(a, b) -> bool:
    return type(a) is type(b) and a == b


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--exchanges", type=int, default=3000)
    p.add_argument("--trace", action="store_true", help="print every call before making it")
    p.add_argument("--progress", type=int, default=0, help="report every N exchanges")
    a = p.parse_args(argv)
    seed = a.seed if a.seed is not None else random.randrange(2**32)
    started = time.monotonic()
    driver = Driver(seed, a.trace)
    try:
        driver.run(a.exchanges, a.progress)
    except FuzzFailure as e:
        print(f"FUZZ FAILURE: {e}", flush=True)
        print(f"reproduce (in tests/): python -m support.fuzz_driver --seed {seed} --exchanges {a.exchanges} --trace")
        return 1
    finally:
        driver.close()
    elapsed = time.monotonic() - started
    kinds = ", ".join(f"{k} {n}" for k, n in sorted(driver.kinds.items()))
    print(f"seed {seed}: {driver.exchanges} exchanges, {driver.calls} calls, "
          f"{driver.reinits} reconnections in {elapsed:.1f} s ({kinds})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
