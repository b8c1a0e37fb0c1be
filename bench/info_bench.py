"""symbols_get over 10 000 symbols and symbol_info calls per second, against a pure-Python
client that unpacks the same records with struct over the same socket.

The Terminal is a minimal peer process of this script that answers every request with a
fixed reply, so both clients read the same bytes. Run from the repository root:

    PYTHONPATH=src python bench/info_bench.py [--symbols 10000] [--repeat 7]
"""
from __future__ import annotations

import argparse
import collections
import os
import selectors
import socket
import subprocess
import statistics
import struct
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from support.fake_terminal import i32, reply, request, text, u32  # noqa: E402
from support.wire_layouts import SYMBOL, SYMBOL_SIZE, names, pack, struct_format  # noqa: E402

# ---------------------------------------------------------------- the records served


# An ordinary currency pair: option, bond and session figures are zero, as are most
# counters; the Terminal sends such records for the bulk of a catalogue.
_BASE = {
    "select": 1, "visible": 1, "time": 1_765_000_000, "digits": 5, "spread": 12,
    "spread_float": 1, "ticks_bookdepth": 10, "trade_mode": 4, "trade_exemode": 2,
    "swap_mode": 1, "swap_rollover3days": 3, "expiration_mode": 15, "filling_mode": 3,
    "order_mode": 127, "point": 1e-5, "trade_tick_value": 1.0,
    "trade_tick_value_profit": 1.0, "trade_tick_value_loss": 1.0, "trade_tick_size": 1e-5,
    "trade_contract_size": 100_000.0, "volume_min": 0.01, "volume_max": 500.0,
    "volume_step": 0.01, "swap_long": -7.25, "swap_short": 1.5, "margin_hedged": 50_000.0,
}


def symbol_blob(n: int, zeros: bool = True) -> bytes:
    """n records shaped like a real catalogue; zeros=False gives every number a value."""
    ccy = ["EUR", "USD", "GBP", "JPY", "CHF", "AUD"]
    out = bytearray()
    for i in range(n):
        raw = dict(_BASE)
        price = 1.0 + i * 1e-4
        for j, (name, _, kind) in enumerate(SYMBOL):
            if not zeros and kind == "f64":
                raw[name] = price + j
            elif not zeros and kind in ("u32", "i32", "u64", "i64"):
                raw[name] = (i * 7 + j) % 100_000 + 1000
        raw.update(bid=price, bidhigh=price + 0.01, bidlow=price - 0.01, ask=price + 1.2e-4,
                   askhigh=price + 0.0101, asklow=price - 0.0099, price_change=0.12,
                   session_open=price - 0.001, session_close=price + 0.002,
                   name=f"SYM{i:05d}", description=f"Instrument number {i}",
                   path=f"Forex\\Group{i % 20}\\SYM{i:05d}", currency_base=ccy[i % 6],
                   currency_profit=ccy[(i + 1) % 6], currency_margin=ccy[i % 6])
        out += pack(SYMBOL, SYMBOL_SIZE, raw)
    return bytes(out)


# ---------------------------------------------------------------- the peer


def serve(sock_path: str, n: int, zeros: bool) -> None:
    blob = symbol_blob(n, zeros)
    answers = {4: reply(4, 0, i32(3000)), 109: reply(109, 0, i32(2)),
               174: reply(174, 0, u32(n) + blob), 170: reply(170, 0, blob[:SYMBOL_SIZE])}
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(sock_path)
    listener.listen(4)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ)
    deadline = time.monotonic() + 600
    while time.monotonic() < deadline:
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


# ---------------------------------------------------------------- pure-Python client

PySymbolInfo = collections.namedtuple("PySymbolInfo", names(SYMBOL))
_FMT, _ORDER = struct_format(SYMBOL)
_RECORD = struct.Struct(_FMT)
_TEXTS = [i for i, f in enumerate(SYMBOL) if isinstance(f[2], tuple)]
_HEAD = struct.Struct("<Iii")


def py_convert(buf, count: int) -> tuple:
    order, texts, make = _ORDER, _TEXTS, PySymbolInfo._make
    out = []
    for wire in _RECORD.iter_unpack(memoryview(buf)[: count * SYMBOL_SIZE]):
        vals = [wire[i] for i in order]
        for j in texts:
            vals[j] = vals[j].decode("utf-16-le").partition("\0")[0]
        out.append(make(vals))
    return tuple(out)


class PyClient:
    def __init__(self, path: str):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)

    def exchange(self, frame: bytes) -> tuple[int, int, bytearray]:
        self.sock.sendall(frame)
        head = self._recv(4)
        body = self._recv(struct.unpack("<I", head)[0])
        echo, status = struct.unpack_from("<ii", body)
        return echo, status, body

    def _recv(self, n: int) -> bytearray:
        buf = bytearray(n)
        view = memoryview(buf)
        got = 0
        while got < n:
            got += self.sock.recv_into(view[got:])
        return buf

    def symbols_get(self, convert=True):
        echo, status, body = self.exchange(request(174))
        assert echo == 174 and status >= 0
        count = struct.unpack_from("<I", body, 8)[0]
        if len(body) != 12 + count * SYMBOL_SIZE:
            return None
        return py_convert(memoryview(body)[12:], count) if convert else count

    def symbol_info(self, symbol: str):
        echo, status, body = self.exchange(request(170, text(symbol)))
        if echo != 170 or status < 0 or len(body) != 8 + SYMBOL_SIZE:
            return None
        return py_convert(memoryview(body)[8:], 1)[0]


# ---------------------------------------------------------------- timing


def timed(fn, repeat: int) -> tuple[float, float, float]:
    """Best and median wall time, and best CPU time of this process, in ms."""
    wall, cpu = [], []
    for _ in range(repeat):
        t, c = time.perf_counter(), time.process_time()
        fn()
        cpu.append(time.process_time() - c)
        wall.append(time.perf_counter() - t)
    return min(wall) * 1e3, statistics.median(wall) * 1e3, min(cpu) * 1e3


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--symbols", type=int, default=10_000)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--calls", type=int, default=5_000)
    ap.add_argument("--dense", action="store_true", help="no zero numbers in the records")
    ap.add_argument("--serve", metavar="SOCKET", help=argparse.SUPPRESS)
    args = ap.parse_args()
    n = args.symbols
    if args.serve:
        return serve(args.serve, n, not args.dense)

    root = Path(tempfile.mkdtemp(prefix="obb", dir="/tmp"))
    os.environ["XDG_RUNTIME_DIR"] = str(root)
    import orbisyn
    from orbisyn import _paths

    exe = root / "terminal64.exe"
    exe.touch()
    sock_path = _paths.socket_path(str(exe))
    peer = subprocess.Popen([sys.executable, __file__, "--serve", sock_path, "--symbols", str(n)]
                            + ["--dense"] * args.dense)
    try:
        while not os.path.exists(sock_path):
            assert peer.poll() is None, "the peer did not start"
            time.sleep(0.05)
        assert orbisyn.initialize(str(exe)), orbisyn.last_error()
        blob = symbol_blob(n, not args.dense)
        client = PyClient(sock_path)

        got = orbisyn.symbols_get()
        ref = client.symbols_get()
        assert len(got) == n and [tuple(r) for r in got] == [tuple(r) for r in ref], \
            "the two clients disagree"
        assert tuple(orbisyn.symbol_info("SYM00000")) == tuple(client.symbol_info("SYM00000"))
        del got, ref

        r = args.repeat
        mod = timed(orbisyn.symbols_get, r)
        pyc = timed(client.symbols_get, r)
        raw = timed(lambda: client.symbols_get(convert=False), r)
        body = memoryview(blob)
        conv = timed(lambda: py_convert(body, n), r)

        # Rounds alternate between the clients, so a burst of load on a shared machine
        # does not land on one of them only; the best round counts.
        calls = args.calls
        per_round = max(1, calls // r)
        c_rate = p_rate = 0.0
        for _ in range(r):
            t = time.perf_counter()
            for _ in range(per_round):
                orbisyn.symbol_info("SYM00000")
            c_rate = max(c_rate, per_round / (time.perf_counter() - t))
            t = time.perf_counter()
            for _ in range(per_round):
                client.symbol_info("SYM00000")
            p_rate = max(p_rate, per_round / (time.perf_counter() - t))

        mb = len(blob) / 2 ** 20
        kind = "dense numbers" if args.dense else "catalogue-like records"
        print(f"symbols_get, {n} symbols ({mb:.1f} MiB, {kind}), {r} runs:")
        print("                              wall best / median      CPU best")
        for label, (b, m, c) in (("module", mod), ("pure Python (struct)", pyc),
                                 ("transfer only (recv_into)", raw),
                                 ("pure Python conversion only", conv)):
            print(f"  {label:28s} {b:8.1f} / {m:8.1f} ms  {c:8.1f} ms")
        print(f"  end to end: module {pyc[0] / mod[0]:.1f}x faster (wall), {pyc[2] / mod[2]:.1f}x (CPU)")
        c_conv = max(mod[2] - raw[2], 1e-6)
        print(f"  record conversion (CPU; module = end to end minus transfer): module {c_conv:.1f} ms,"
              f" pure Python {conv[2]:.1f} ms -> {conv[2] / c_conv:.1f}x")
        print(f"symbol_info, best of {r} rounds of {per_round} calls: module {c_rate:,.0f}/s,"
              f" pure Python {p_rate:,.0f}/s ({c_rate / p_rate:.1f}x)")
        print(f"FIGURE symbols_get_{n}_wall {mod[0]:.2f} ms pure_python {pyc[0]:.2f}")
        print(f"FIGURE symbols_get_{n}_conversion_cpu {c_conv:.2f} ms pure_python {conv[2]:.2f}")
        print(f"FIGURE symbol_info_call {1e6 / c_rate:.2f} us pure_python {1e6 / p_rate:.2f}")
        client.sock.close()
    finally:
        orbisyn.shutdown()
        peer.kill()
        peer.wait()
        for f in root.iterdir():
            f.unlink()
        root.rmdir()


if __name__ == "__main__":
    main()
