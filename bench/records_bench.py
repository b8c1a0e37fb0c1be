"""Record conversion against msgspec: positions_get, symbols_get and history_deals_get over
large replies, and the cost of the group filter.

    PYTHONPATH=src python bench/records_bench.py [--repeat 21] [--positions 100000]
                                                 [--symbols 10000] [--deals 100000]

A minimal Terminal runs in a child process (the module holds the GIL while it waits on the
socket) and answers every request with a prepared reply: catalogue-like records with a
dozen symbols repeated, comments mostly empty or repeated, symbol records with many 0.0
doubles and empty texts, and a few non-ASCII texts.

The reference is msgspec (``pip install msgspec``; a benchmark-only dependency): the same
field values, in the same order and of the same Python types, are encoded once as
MessagePack arrays and decoded, in the timing, by ``msgspec.msgpack.Decoder(list[S])`` where
S is an ``array_like=True, gc=False`` Struct with the record's fields. Before any timing the
script checks that the module's records equal msgspec's field by field (type and repr, so
-0.0 and True are told from 0.0 and 1) and stops if they differ. Without msgspec it says
so, checks the module against the source values instead, and prints only the figures that
do not need it.

Each figure comes from rounds that alternate between the measured call and its reference
(the order flips from round to round, so a burst of load on the shared machine does not
land on one column only); the median of the rounds counts. The script's own output gives the
page faults of each call, since fresh pages are a large part of some of them.

- ``<call>_<n>``: the module call end to end (request, transfer of the reply, conversion)
  against msgspec decoding the same n records. msgspec receives nothing, so this column
  charges the module with the transfer.
- ``<call>_<n>_conversion``: the same call less the transfer of the same reply (below),
  measured in the same rounds, against msgspec: what the module spends beyond receiving.
- ``<call>_group_<n>``: the call with group="EUR*,!*JPY", which keeps about a third, against
  msgspec decoding only the kept records.
- ``<family>_filter_none_kept``: the cost of the group filter per record. The call with
  group="XYZ*" receives the whole reply, filters it and converts nothing; from its time the
  transfer of the same reply in the same round is subtracted, and the median of those
  per-round differences is divided by the number of records. What remains is what a
  filtered call adds to receiving the records: matching the symbols, and the allocations
  the filter makes (with the page faults they cost). The transfer is the reference column
  (ns per record), so the ratio compares the filter with merely receiving the records.

The transfer is a plain Python client on a second connection to the same peer: it sends
the same request and receives the reply into a buffer kept from call to call, which is the
floor of moving those bytes over the socket.
"""
from __future__ import annotations

import argparse
import os
import pickle
import random
import resource
import selectors
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from support.fake_terminal import i32, i64, reply, request, u32  # noqa: E402
from support.wire_layouts import SYMBOL, SYMBOL_SIZE, pack  # noqa: E402
from support.trade_wire import DEAL, POSITION, record  # noqa: E402

try:
    import msgspec
except ImportError:  # the script still runs, without the reference columns
    msgspec = None

GROUP = "EUR*,!*JPY"
NONE_KEPT = "XYZ*"
DATE_FROM, DATE_TO = 1_700_000_000, 1_800_000_000

# Four of the twelve pass GROUP; stepping by 7 (coprime with 12) spreads them evenly.
TRADED = ["EURUSD", "GBPUSD", "EURJPY", "USDJPY", "EURGBP", "XAUUSD",
          "AUDUSD", "EURCHF", "USDCHF", "GBPJPY", "EURAUD", "BTCUSD"]
PRICE = {"EURUSD": 1.085, "GBPUSD": 1.27, "EURJPY": 161.2, "USDJPY": 148.6, "EURGBP": 0.855,
         "XAUUSD": 2350.0, "AUDUSD": 0.66, "EURCHF": 0.955, "USDCHF": 0.88, "GBPJPY": 188.9,
         "EURAUD": 1.64, "BTCUSD": 64000.0}
COMMENTS = ["tp 1.5R", "grid #3", "hedge", "[sl 1.08500]", "bot v2.4"]
FOREIGN = ["Übertrag €", "止损 移动", "сетка 3", "🚀 breakout"]  # the last needs a surrogate pair


def _traded_symbol(i: int) -> str:
    return TRADED[(i * 7) % len(TRADED)]


def _comment(i: int, rnd: random.Random) -> str:
    if i % 997 == 13:
        return FOREIGN[(i // 997) % len(FOREIGN)]
    return COMMENTS[i % len(COMMENTS)] if rnd.random() < 0.3 else ""


def _price(symbol: str, rnd: random.Random) -> float:
    base = PRICE[symbol]
    digits = 5 if base < 10 else 3 if base < 1000 else 2
    return round(base * (1 + rnd.uniform(-0.02, 0.02)), digits)


def position_values(n: int) -> list[dict]:
    rnd = random.Random(320)
    out = []
    for i in range(n):
        symbol = _traded_symbol(i)
        ticket = 400_000_000 + 3 * i
        opened = 1_760_000_000 + 37 * i
        updated = opened + (i % 5) * 60
        price = _price(symbol, rnd)
        buy = i % 2 == 0
        out.append({
            "ticket": ticket, "time": opened, "time_msc": opened * 1000 + i % 1000,
            "time_update": updated, "time_update_msc": updated * 1000 + (7 * i) % 1000,
            "type": 0 if buy else 1, "magic": 0 if i % 3 else 20_240_917,
            "identifier": ticket, "reason": (0, 3, 3, 4)[i % 4],
            "volume": rnd.choice((0.01, 0.1, 0.5, 1.0, 2.3)), "price_open": price,
            "sl": 0.0 if i % 2 else round(price * 0.99, 5),
            "tp": 0.0 if i % 3 else round(price * 1.01, 5),
            "price_current": _price(symbol, rnd),
            "swap": 0.0 if i % 4 else round(-rnd.random() * 5, 2),
            "profit": round(rnd.uniform(-500, 500), 2), "symbol": symbol,
            "comment": _comment(i, rnd), "external_id": "" if i % 10 else f"ext-{ticket}",
        })
    return out


def deal_values(n: int) -> list[dict]:
    rnd = random.Random(300)
    out = []
    for i in range(n):
        symbol = _traded_symbol(i)
        ticket = 900_000_000 + 2 * i
        done = 1_750_000_000 + 29 * i
        closing = i % 2 == 1
        out.append({
            "ticket": ticket, "order": ticket + 1, "time": done,
            "time_msc": done * 1000 + i % 1000, "type": (i // 2) % 2, "entry": int(closing),
            "magic": 0 if i % 3 else 20_240_917, "position_id": 400_000_000 + 3 * (i // 2),
            "reason": (0, 3, 4)[i % 3], "volume": rnd.choice((0.01, 0.1, 0.5, 1.0, 2.3)),
            "price": _price(symbol, rnd),
            "commission": 0.0 if i % 4 else round(-rnd.random() * 7, 2),
            "swap": 0.0 if not closing or i % 8 != 1 else round(-rnd.random() * 3, 2),
            "profit": round(rnd.uniform(-500, 500), 2) if closing else 0.0, "fee": 0.0,
            "symbol": symbol, "comment": _comment(i, rnd),
            "external_id": "" if i % 10 else f"ext-{ticket}",
        })
    return out


# An ordinary instrument: option, bond and session figures are zero, as are most counters.
_SYMBOL_BASE = {
    "select": True, "visible": True, "time": 1_765_000_000, "digits": 5, "spread": 12,
    "spread_float": True, "ticks_bookdepth": 10, "trade_mode": 4, "trade_exemode": 2,
    "swap_mode": 1, "swap_rollover3days": 3, "expiration_mode": 15, "filling_mode": 3,
    "order_mode": 127, "point": 1e-5, "trade_tick_value": 1.0,
    "trade_tick_value_profit": 1.0, "trade_tick_value_loss": 1.0, "trade_tick_size": 1e-5,
    "trade_contract_size": 100_000.0, "volume_min": 0.01, "volume_max": 500.0,
    "volume_step": 0.01, "swap_long": -7.25, "swap_short": 1.5, "margin_hedged": 50_000.0,
}
_CCY = ["EUR", "USD", "GBP", "JPY", "CHF", "AUD", "CAD", "NZD", "SEK", "NOK"]
_NAMES = {"EUR": "Euro", "USD": "US Dollar", "GBP": "Pound Sterling", "JPY": "Japanese Yen",
          "CHF": "Swiss Franc", "AUD": "Australian Dollar", "CAD": "Canadian Dollar",
          "NZD": "New Zealand Dollar", "SEK": "Swedish Krona", "NOK": "Norwegian Krone"}
_FOREIGN_DESCRIPTIONS = ["Евро против доллара США", "日経平均株価", "Société Générale SA",
                         "Ölpreis Brent"]


def _kind_default(kind):
    return "" if isinstance(kind, tuple) else False if kind == "bool" else \
        0.0 if kind == "f64" else 0


def symbol_values(n: int) -> list[dict]:
    """Pairs of ten currencies on several account suffixes, and shares, as a catalogue."""
    rnd = random.Random(2993)
    pairs = [(a, b) for a in _CCY for b in _CCY if a != b]
    out = []
    for i in range(n):
        v = {name: _kind_default(kind) for name, _, kind in SYMBOL}
        v.update(_SYMBOL_BASE)
        if i % 4:  # a currency pair
            base, quote = pairs[i % len(pairs)]
            name = f"{base}{quote}.{i // len(pairs):03d}"
            description = f"{_NAMES[base]} vs {_NAMES[quote]}"
            path = f"Forex\\{'Majors' if 'USD' in (base, quote) else 'Crosses'}\\{name}"
            margin = base
            price = round(rnd.uniform(0.5, 2.0), 5)
        else:  # a share
            base = quote = margin = _CCY[(i // 4) % 3]
            name = f"SH{i:05d}.{('NYSE', 'XETR', 'LSE')[(i // 4) % 3]}"
            description = f"Company {i} Holdings"
            path = f"Stocks\\{name}"
            price = round(rnd.uniform(5, 900), 2)
            v.update(digits=2, point=0.01, trade_tick_size=0.01, trade_contract_size=1.0,
                     trade_calc_mode=4, volume_min=1.0, volume_step=1.0, margin_hedged=0.0,
                     category="Equities", exchange=name.rsplit(".", 1)[1],
                     isin=f"US{i:010d}", session_open=price, session_close=price,
                     session_deals=rnd.randrange(10_000), volume=rnd.randrange(1_000_000),
                     session_volume=float(rnd.randrange(1_000_000)))
        if i % 211 == 5:
            description = _FOREIGN_DESCRIPTIONS[(i // 211) % len(_FOREIGN_DESCRIPTIONS)]
        spread = round(price * 1e-4, 5)
        v.update(custom=i % 50 == 0, select=i % 3 == 0, visible=i % 3 == 0,
                 spread=rnd.randrange(1, 40), bid=price, ask=round(price + spread, 5),
                 bidhigh=round(price * 1.004, 5), bidlow=round(price * 0.996, 5),
                 askhigh=round(price * 1.004 + spread, 5), asklow=round(price * 0.996 + spread, 5),
                 price_change=round(rnd.uniform(-2, 2), 2), name=name, description=description,
                 path=path, currency_base=base, currency_profit=quote, currency_margin=margin)
        out.append(v)
    return out


# ---------------------------------------------------------------- wire replies

SYMBOL_FIELDS = [name for name, _, _ in SYMBOL]
TYPES = {"Q": int, "q": int, "I": int, "d": float, "T": str}
SYMBOL_TYPES = {"bool": bool, "i32": int, "u32": int, "i64": int, "u64": int, "f64": float}

HANDSHAKE, READY, POSITIONS_GET, DEALS_GET, SYMBOLS_GET = 4, 109, 121, 151, 174


def array_reply(code: int, records: list[bytes]) -> bytes:
    return reply(code, 0, u32(len(records)) + b"".join(records))


def build_replies(positions, deals, symbols) -> dict[int, bytes]:
    return {
        HANDSHAKE: reply(HANDSHAKE, 0, i32(3000)),
        READY: reply(READY, 0, i32(2)),
        POSITIONS_GET: array_reply(POSITIONS_GET, [record("position", **v) for v in positions]),
        DEALS_GET: array_reply(DEALS_GET, [record("deal", **v) for v in deals]),
        SYMBOLS_GET: array_reply(SYMBOLS_GET, [pack(SYMBOL, SYMBOL_SIZE, v) for v in symbols]),
    }


# ---------------------------------------------------------------- the peer


def serve(sock_path: str, replies_path: str) -> None:
    with open(replies_path, "rb") as f:
        answers = pickle.load(f)
    parent = os.getppid()
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(sock_path)
    listener.listen(4)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ)
    # Ends by itself when the script is gone, whatever happened to it.
    deadline = time.monotonic() + 3600
    while time.monotonic() < deadline and os.getppid() == parent:
        for key, _ in sel.select(timeout=1.0):
            if key.fileobj is listener:
                sel.register(listener.accept()[0], selectors.EVENT_READ)
                continue
            conn = key.fileobj
            head = conn.recv(4, socket.MSG_WAITALL)
            body = conn.recv(struct.unpack("<I", head)[0], socket.MSG_WAITALL) if len(head) == 4 else b""
            answer = answers.get(struct.unpack_from("<i", body)[0]) if len(body) >= 4 else None
            if answer is None:
                sel.unregister(conn)
                conn.close()
            else:
                conn.sendall(answer)


class Transfer:
    """Receives a records reply over a second connection, converting nothing."""

    def __init__(self, path: str):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.buffers: dict[int, bytearray] = {}

    def _recv_into(self, view: memoryview) -> None:
        got, n = 0, len(view)
        while got < n:
            k = self.sock.recv_into(view[got:])
            if k == 0:
                raise ConnectionError("the peer closed the connection")
            got += k

    def get(self, frame: bytes, size: int) -> int:
        self.sock.sendall(frame)
        head = bytearray(16)  # length, echo, status, count
        self._recv_into(memoryview(head))
        length, echo, status, count = struct.unpack("<IiiI", head)
        if status < 0 or length != 12 + count * size:
            raise ValueError(f"unexpected reply to {echo}: status {status}, length {length}")
        # One buffer per size, kept and already paged in: the floor of receiving these
        # bytes, whatever state earlier calls left the heap in.
        n = count * size
        if n not in self.buffers:
            self.buffers[n] = bytearray(n)
        self._recv_into(memoryview(self.buffers[n]))
        return count

    def close(self) -> None:
        self.sock.close()


# ---------------------------------------------------------------- msgspec reference


class Reference:
    """msgspec decoding of the same values, encoded once outside the timing."""

    def __init__(self, name: str, fields: list[tuple[str, type]], rows: list[dict]):
        self.struct = msgspec.defstruct(name, fields, array_like=True, gc=False)
        self.decoder = msgspec.msgpack.Decoder(list[self.struct])
        names = [f for f, _ in fields]
        self.data = msgspec.msgpack.encode([[row[f] for f in names] for row in rows])

    def decode(self):
        return self.decoder.decode(self.data)


def typed(values) -> list[tuple[type, str]]:
    # repr keeps what == hides: the sign of a zero, True against 1.
    return [(type(v), repr(v)) for v in values]


def check_same(label: str, got, want_rows: list[list], fields: list[str]) -> None:
    """The module's records against the reference rows, field by field, in order."""
    if got is None:
        sys.exit(f"{label}: the module call failed")
    if len(got) != len(want_rows):
        sys.exit(f"{label}: {len(got)} records, the reference has {len(want_rows)}")
    if got and list(got[0]._asdict()) != fields:
        sys.exit(f"{label}: field names differ from the reference's")
    for k, (rec, want) in enumerate(zip(got, want_rows)):
        a, b = typed(rec), typed(want)
        if a != b:
            field = next(j for j in range(len(a)) if a[j] != b[j])
            sys.exit(f"{label}: record {k} field {fields[field]}: module {a[field]}, "
                     f"reference {b[field]}")


# ---------------------------------------------------------------- timing


def rounds(calls: dict, repeat: int) -> tuple[dict, dict]:
    """Seconds and page faults of each call over `repeat` rounds, the order flipping each
    round; results are freed outside the timing."""
    times = {label: [] for label in calls}
    faults = {label: [] for label in calls}
    labels = list(calls)
    for k in range(repeat):
        for label in (labels if k % 2 == 0 else labels[::-1]):
            fn = calls[label]
            f = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            t = time.perf_counter()
            result = fn()
            times[label].append(time.perf_counter() - t)
            faults[label].append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - f)
            if result is None:
                sys.exit(f"{label} failed during the timing")
            del result
    return times, faults


def med(values) -> float:
    return statistics.median(values)


def paired(a: list[float], b: list[float]) -> float:
    """Median of the per-round differences a - b."""
    return med([x - y for x, y in zip(a, b)])


# ---------------------------------------------------------------- the families


def kept(rows: list[dict]) -> list[dict]:
    """Rows that GROUP keeps; the module's own matcher is what is checked against this."""
    return [r for r in rows if r["symbol"].startswith("EUR") and not r["symbol"].endswith("JPY")]


def show(title: str, times: dict, faults: dict, n: int) -> dict[str, float]:
    """Prints the medians and returns them in ms."""
    m = {k: med(v) * 1e3 for k, v in times.items()}
    print(title)
    for k, v in m.items():
        print(f"  {k:14s} {v:9.2f} ms {v / n * 1e6:8.1f} ns/record {med(faults[k]):8.0f} page faults")
    return m


def trade_family(label: str, call, rows, layout, received, repeat: int) -> list[str]:
    """FIGURE lines of positions_get or history_deals_get and its group filter.

    call(**kw) is the module function, received() the transfer of the same reply."""
    n = len(rows)
    kept_rows = kept(rows)
    types = [(name, TYPES[code]) for _, code, name in layout if name]
    fields = [name for name, _ in types]
    ref = ref_kept = None
    if msgspec:
        ref = Reference(label, types, rows)
        ref_kept = Reference(label + "Kept", types, kept_rows)
        check_same(f"{label}()", call(), [msgspec.structs.astuple(s) for s in ref.decode()], fields)
        check_same(f"{label}(group)", call(group=GROUP),
                   [msgspec.structs.astuple(s) for s in ref_kept.decode()], fields)
    else:
        check_same(f"{label}()", call(), [[r[f] for f in fields] for r in rows], fields)
        check_same(f"{label}(group)", call(group=GROUP),
                   [[r[f] for f in fields] for r in kept_rows], fields)
    none = call(group=NONE_KEPT)
    if none != ():
        sys.exit(f"{label}(group={NONE_KEPT!r}) kept {len(none or ())} records")

    figures = []
    calls = {"plain": call, "transfer": received}
    if ref:
        calls["msgspec"] = ref.decode
    t, f = rounds(calls, repeat)
    m = show(f"{label}, {n} records, median of {repeat} rounds:", t, f, n)
    conversion = paired(t["plain"], t["transfer"]) * 1e3
    print(f"  call less transfer {conversion:.2f} ms")
    if ref:
        figures += [f"FIGURE {label}_{n} {m['plain']:.3f} ms msgspec {m['msgspec']:.3f}",
                    f"FIGURE {label}_{n}_conversion {conversion:.3f} ms msgspec {m['msgspec']:.3f}"]
        t, f = rounds({"group": lambda: call(group=GROUP), "msgspec kept": ref_kept.decode}, repeat)
        m = show(f"{label}(group={GROUP!r}), {len(kept_rows)} of {n} kept:", t, f, n)
        figures.append(f"FIGURE {label}_group_{n} {m['group']:.3f} ms msgspec_kept "
                       f"{m['msgspec kept']:.3f}")

    t, f = rounds({"none kept": lambda: call(group=NONE_KEPT), "transfer": received}, repeat)
    m = show(f"{label}(group={NONE_KEPT!r}), none of {n} kept:", t, f, n)
    filter_ns = paired(t["none kept"], t["transfer"]) / n * 1e9
    transfer_ns = m["transfer"] / n * 1e6
    print(f"  filter {filter_ns:.1f} ns/record over the transfer")
    figures.append(f"FIGURE {label}_filter_none_kept {filter_ns:.2f} ns/rec transfer {transfer_ns:.2f}")
    return figures


def symbols_family(symbols_get, rows, received, repeat: int) -> list[str]:
    n = len(rows)
    types = [(name, str if isinstance(kind, tuple) else SYMBOL_TYPES[kind])
             for name, _, kind in SYMBOL]
    ref = None
    if msgspec:
        ref = Reference("Symbol", types, rows)
        check_same("symbols_get()", symbols_get(),
                   [msgspec.structs.astuple(s) for s in ref.decode()], SYMBOL_FIELDS)
    else:
        check_same("symbols_get()", symbols_get(),
                   [[r[f] for f in SYMBOL_FIELDS] for r in rows], SYMBOL_FIELDS)
    calls = {"plain": symbols_get, "transfer": received}
    if ref:
        calls["msgspec"] = ref.decode
    t, f = rounds(calls, repeat)
    m = show(f"symbols_get, {n} symbols, median of {repeat} rounds:", t, f, n)
    conversion = paired(t["plain"], t["transfer"]) * 1e3
    print(f"  call less transfer {conversion:.2f} ms")
    if not ref:
        return []
    return [f"FIGURE symbols_get_{n} {m['plain']:.3f} ms msgspec {m['msgspec']:.3f}",
            f"FIGURE symbols_get_{n}_conversion {conversion:.3f} ms msgspec {m['msgspec']:.3f}"]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=21)
    ap.add_argument("--positions", type=int, default=100_000)
    ap.add_argument("--deals", type=int, default=100_000)
    ap.add_argument("--symbols", type=int, default=10_000)
    ap.add_argument("--serve", nargs=2, metavar=("SOCKET", "REPLIES"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        return serve(*args.serve)
    if args.repeat < 1 or min(args.positions, args.deals, args.symbols) < 1:
        ap.error("--repeat and the record counts must be at least 1")
    if msgspec is None:
        print("msgspec is not installed (pip install msgspec): no msgspec figures")

    positions, deals = position_values(args.positions), deal_values(args.deals)
    symbols = symbol_values(args.symbols)

    root = Path(tempfile.mkdtemp(prefix="obr", dir="/tmp"))
    os.chmod(root, 0o700)
    os.environ["XDG_RUNTIME_DIR"] = str(root)
    import orbisyn
    from orbisyn import _paths

    exe = root / "terminal64.exe"
    exe.write_text("#!/bin/sh\nexit 1\n")
    exe.chmod(0o755)
    replies = root / "replies.pickle"
    with open(replies, "wb") as f:
        pickle.dump(build_replies(positions, deals, symbols), f, protocol=pickle.HIGHEST_PROTOCOL)
    sock_path = _paths.socket_path(str(exe))
    peer = subprocess.Popen([sys.executable, __file__, "--serve", sock_path, str(replies)])
    client = None
    try:
        while not os.path.exists(sock_path):
            if peer.poll() is not None:
                sys.exit("the peer did not start")
            time.sleep(0.05)
        if not orbisyn.initialize(str(exe)):
            sys.exit(f"initialize failed: {orbisyn.last_error()}")
        client = Transfer(sock_path)

        figures = trade_family("positions_get", orbisyn.positions_get, positions, POSITION,
                               lambda: client.get(request(POSITIONS_GET), 320), args.repeat)
        del positions
        figures += symbols_family(orbisyn.symbols_get, symbols,
                                  lambda: client.get(request(SYMBOLS_GET), SYMBOL_SIZE),
                                  args.repeat)
        del symbols

        def deals_get(**kw):
            return orbisyn.history_deals_get(DATE_FROM, DATE_TO, **kw)

        deals_request = request(DEALS_GET, i64(DATE_FROM) + i64(DATE_TO))
        figures += trade_family("history_deals_get", deals_get, deals, DEAL,
                                lambda: client.get(deals_request, 300), args.repeat)
        print("\n".join(figures))
    finally:
        if client:
            client.close()
        orbisyn.shutdown()
        peer.kill()
        peer.wait()
        for f in root.iterdir():
            f.unlink()
        root.rmdir()


if __name__ == "__main__":
    main()
