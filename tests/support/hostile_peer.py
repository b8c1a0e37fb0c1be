"""A hostile Terminal for fuzzing: answers every request with a seeded mutation of a
valid reply, and tells the driver what the module must make of it.

Runs as its own process (the module holds the GIL while it waits on the socket)::

    python hostile_peer.py --socket PATH --ctl-fd FD

Valid replies are built with struct from the documented wire layouts (record contents
are random bytes: texts without terminators, NaNs and all-ones integers included).

Control channel (a socketpair, length-prefixed pickles):
    driver -> peer  ("mode", hostile: bool, build: int, seed: int)   answered ("ack",)
                    ("sync", n)                                      answered ("synced", n)
    peer -> driver  ("x", verdict)  one per request, sent before the reply goes out

A verdict is a dict: code (the request's command), kind (the mutation), expect (the
exchange result the module must derive: an int, or a tuple of acceptable ints), value
(the decoded scalar or record count of a successful reply), crc (of an array's records),
closed (the peer dropped the connection after this reply), bad_request (text when the
request frame itself broke the documented layout).

Each exchange draws from a generator seeded by (seed, exchange number), so a run is
reproducible from its seed.
"""
from __future__ import annotations

import argparse
import os
import random
import selectors
import socket
import struct
import sys
import time
import zlib

from orbisyn import _protocol as _D

try:
    from .peers import HEADER, listen_unix, recv_exact, recv_msg, reply, send_msg
except ImportError:  # run as the hostile Terminal's program, beside it
    from peers import HEADER, listen_unix, recv_exact, recv_msg, reply, send_msg  # type: ignore[no-redef]

STUCK_AFTER = 20.0  # seconds without a driver sync after a reply: the module hangs
LEGACY_BUILD = 2364  # first build that sends the 2993-byte symbol record

# Reply grammar after echo and status: ("fixed", n) or ("array", element size) or
# ("version",): int32, int32, counted UTF-16 text. Request payloads: "T" counted text,
# "8"/"4"/"1" fixed widths, "R" the 232-byte record. Both from the protocol's description,
# whose records the tests hold to their hand-written layouts.
_ARR = "array"
_FIX = "fixed"


def _reply(c) -> tuple:
    if c.reply == ("i32", "i32", "text"):
        return ("version",)
    if len(c.reply) == 1 and c.reply[0].startswith("array:"):
        return (_ARR, _D.record(c.reply[0][6:]).size)
    return (_FIX, sum(_D.record(k[7:]).size if k.startswith("record:") else _D.WIDTH[k]
                      for k in c.reply))


_SHAPE = {"text": "T", **{kind: str(width) for kind, width in _D.WIDTH.items()}}
REPLY = {c.code: _reply(c) for c in _D.COMMANDS}
REQUEST = {c.code: "".join("R" if kind.startswith("record:") else _SHAPE[kind]
                           for _, kind in c.request) for c in _D.COMMANDS}
COUNT_CODES = {c.code for c in _D.COMMANDS if c.reply == ("u32",)}
TICKET_CODES = {c.code for c in _D.COMMANDS
                if c.reply[:1] and c.reply[0].startswith("record:") and ("ticket", "u64") in c.request}
SCALAR_CODES = {c.code for c in _D.COMMANDS if c.reply == ("f64",)}


def grammar(code: int, build: int):
    if code == 170 and build < LEGACY_BUILD:
        return (_FIX, 2929)
    return REPLY[code]


def check_request(frame: bytes) -> str | None:
    """None when frame follows the documented request layout, else what is wrong."""
    if len(frame) < 8:
        return "frame shorter than length and command"
    length, code = struct.unpack_from("<Ii", frame)
    if length != len(frame) - 4:
        return f"length field {length} for {len(frame) - 4} bytes"
    if code not in REQUEST:
        return f"unknown command {code}"
    pos = 8
    for part in REQUEST[code]:
        if part == "T":
            if pos + 4 > len(frame):
                return f"command {code}: text count missing"
            n = struct.unpack_from("<i", frame, pos)[0]
            if n < 0 or n > 2000:
                return f"command {code}: text count {n}"
            units = frame[pos + 4:pos + 4 + 2 * n]
            if any(units[i] == 0 and units[i + 1] == 0 for i in range(0, len(units) - 1, 2)):
                return f"command {code}: text carries a NUL unit"
            pos += 4 + 2 * n
        else:
            pos += 232 if part == "R" else int(part)
    if pos != len(frame):
        return f"command {code}: payload of {len(frame) - 8} bytes, layout needs {pos - 8}"
    return None


def parse_ok(code: int, build: int, payload: bytes) -> bool:
    """True when the module's reader consumes payload (after echo and status) exactly."""
    g = grammar(code, build)
    if g[0] == _FIX:
        return len(payload) == g[1]
    if g[0] == _ARR:
        if len(payload) < 4:
            return False
        return 4 + struct.unpack_from("<I", payload)[0] * g[1] == len(payload)
    if len(payload) < 12:
        return False
    return 12 + 2 * struct.unpack_from("<I", payload, 8)[0] == len(payload)


def exchange_result(code: int, build: int, data: bytes):
    """What the module derives from the bytes data (everything the peer sends).

    Returns (expect, in_step): expect an int or a tuple of acceptable ints; in_step False
    when the module cannot stay on frame boundaries (the peer then closes)."""
    if len(data) < 4:
        return -10002, False
    length = struct.unpack_from("<I", data)[0]
    body = data[4:4 + length]
    complete = len(body) == length
    status = struct.unpack_from("<i", body, 4)[0] if len(body) >= 8 and length >= 8 else 0
    if not complete:
        # The first buffered read takes min(length, 16 KiB); whether the status was among
        # the bytes that arrived before the cut depends on that chunking.
        return ((-10002, status) if status < 0 else -10002), False
    in_step = len(data) == 4 + length
    if length < 8:
        return -10002, in_step
    echo = struct.unpack_from("<i", body)[0]
    if parse_ok(code, build, body[8:]):
        return (status if echo == code else -10000), in_step
    return (status if status < 0 else -10002), in_step


class Replies:
    """Valid reply payloads for every command code."""

    def __init__(self, rng: random.Random, build: int):
        self.rng = rng
        self.build = build

    def payload(self, code: int) -> tuple[int, bytes]:
        """(status, payload) of a valid reply."""
        rng = self.rng
        g = grammar(code, self.build)
        if code == 4:
            return 0, struct.pack("<i", self.build)
        if code == 109:
            return 0, struct.pack("<i", 2)
        if code == 1:
            units = rng.choice(["", "5.0", "build", "\u00e9t\u00e9 \U0001f600", "x" * 70, "\u20ac" * 43])
            raw = units.encode("utf-16-le", "surrogatepass")
            if rng.random() < 0.3:
                raw = rng.randbytes(2 * rng.randrange(80))  # lone surrogates, NULs and all
            a, b = rng.randrange(-2**31, 2**31), rng.randrange(-2**31, 2**31)
            status = rng.choice([0, 1, 1, 5])
            return status, struct.pack("<iiI", a, b, len(raw) // 2) + raw
        if code in COUNT_CODES:
            n = rng.choice([0, 1, 7, 2**32 - 1, rng.randrange(2**32)])
            return rng.choice([0, 0, 3]), struct.pack("<I", n)
        if code in SCALAR_CODES:
            raw = rng.choice([struct.pack("<d", rng.uniform(-1e6, 1e6)), rng.randbytes(8)])
            return 0, raw
        if code in TICKET_CODES:
            status = rng.choice([1, 1, 1, 0, -4])
            if status < 0:
                return status, b""
            return status, rng.randbytes(g[1])
        if g[0] == _ARR:
            # Up to a few pipe buffers (16 KiB), so reads cross the buffered/direct boundary.
            n = rng.choice([0, 1, 2, 3, 9]) if g[1] > 300 else rng.choice([0, 1, 3, 17, 200, 1100])
            return 0, struct.pack("<I", n) + rng.randbytes(n * g[1])
        return rng.choice([0, 0, 0, 2]), rng.randbytes(g[1])


def facts_of(code: int, data: bytes) -> dict:
    """What a reply that the module accepts carries, read back from the bytes sent."""
    data = data[:4 + struct.unpack_from("<I", data)[0]]  # without trailing junk
    status = struct.unpack_from("<i", data, 8)[0]
    facts = {"status": status}
    if code in COUNT_CODES:
        facts["value"] = struct.unpack_from("<I", data, 12)[0]
    elif code in SCALAR_CODES:
        facts["value"] = data[12:20]
    elif code == 1:
        facts["value"] = struct.unpack_from("<ii", data, 12)
    elif code in TICKET_CODES:
        facts["value"] = 1 if status > 0 else 0
    elif REPLY[code][0] == _ARR:
        facts["value"] = struct.unpack_from("<I", data, 12)[0]
        facts["crc"] = zlib.crc32(data[16:])
    return facts


NEGATIVE = [-1, -2, -3, -4, -5, -6, -7, -8, -9, -10000, -10002, -2**31]

# Mutations and their weights.
KINDS = [
    ("valid", 30), ("split", 4), ("status", 8), ("status_full", 4), ("echo", 6),
    ("truncate", 8), ("extend", 8), ("count", 8), ("flip_record", 8), ("flip_any", 6),
    ("length", 4), ("drop", 4), ("junk_close", 2), ("empty_close", 1),
]
_KIND_NAMES = [k for k, _ in KINDS]
_KIND_WEIGHTS = [w for _, w in KINDS]


def wrapping_count(n: int, size: int) -> int:
    """A count whose byte size, taken modulo 2**32, equals that of n records."""
    k = next(k for k in range(1, size + 1) if (k << 32) % size == 0)
    lie = n + (k << 32) // size
    return lie if lie < 2**32 else n + 1


def mutate(rng: random.Random, code: int, status: int, payload: bytes, kind: str):
    """(bytes to send, pieces for a split write or None)."""
    good = reply(code, status, payload)
    if kind == "valid":
        return good, None
    if kind == "flip_record":
        g = REPLY[code]
        start = 4 if g[0] == _ARR else 0
        if len(payload) - start < 28 or code == 1:
            return good, None  # no record to flip: counts and scalars would change meaning
        body = bytearray(payload)
        for _ in range(rng.randint(1, 8)):
            body[rng.randrange(start, len(body))] ^= 1 << rng.randrange(8)
        return reply(code, status, bytes(body)), None
    if kind == "split":
        cuts = sorted({rng.randrange(1, len(good)) for _ in range(rng.randint(1, 4))})
        return good, cuts
    if kind == "status":
        return reply(code, rng.choice(NEGATIVE), b""), None
    if kind == "status_full":
        return reply(code, rng.choice(NEGATIVE), payload), None
    if kind == "echo":
        other = rng.choice([0, 1, code + 1, code - 1, -code, rng.randrange(-2**31, 2**31)])
        return reply(other, rng.choice([status, status, -4]), payload), None
    if kind == "truncate":
        cut = rng.randrange(0, len(payload) + 8) if payload else rng.randrange(0, 8)
        body = good[4:4 + cut]
        return struct.pack("<I", len(body)) + body, None
    if kind == "extend":
        extra = rng.randbytes(rng.choice([1, 2, 7, 60, 300, 20000]))
        return reply(code, status, payload + extra), None
    if kind == "count":
        g = REPLY.get(code)
        body = bytearray(payload)
        if g and g[0] == _ARR and len(body) >= 4:
            n = struct.unpack_from("<I", body)[0]
            lie = rng.choice([n + 1, n - 1 if n else 2, 2**32 - 1, 2**31, rng.randrange(2**32),
                              wrapping_count(n, g[1])])
            struct.pack_into("<I", body, 0, lie & 0xFFFFFFFF)
        elif code == 1 and len(body) >= 12:
            n = struct.unpack_from("<I", body, 8)[0]
            struct.pack_into("<I", body, 8, rng.choice([2**32 - 1, wrapping_count(n, 2), len(body)]))
        elif len(body) >= 4:
            struct.pack_into("<I", body, 0, rng.randrange(2**32))
        return reply(code, status, bytes(body)), None
    if kind == "flip_any":
        data = bytearray(good)
        data[rng.randrange(4, len(data))] ^= 1 << rng.randrange(8)
        return bytes(data), None
    if kind == "length":
        data = bytearray(good)
        length = len(good) - 4
        lie = rng.choice([0, 3, 4, 7, length - 1, length + 1, length + 4096, 2**32 - 1])
        struct.pack_into("<I", data, 0, lie & 0xFFFFFFFF)
        return bytes(data), None
    if kind == "drop":
        return good[:rng.randrange(0, len(good))], None
    if kind == "junk_close":
        return good + rng.randbytes(rng.choice([1, 4, 12, 100])), None
    if kind == "empty_close":
        return b"", None
    raise ValueError(kind)


# ---------------------------------------------------------------------------
# Peer process


class Peer:
    def __init__(self, sock_path: str, ctl: socket.socket):
        self.ctl = ctl
        self.hostile = False
        self.build = 3000
        self.seed = 0
        self.exchanges = 0
        self.replied_at = 0.0
        self.sel = selectors.DefaultSelector()
        self.listener = listen_unix(sock_path)
        self.sel.register(ctl, selectors.EVENT_READ, "ctl")
        self.sel.register(self.listener, selectors.EVENT_READ, "listen")

    def run(self) -> None:
        send_msg(self.ctl, ("ready", os.getpid()))
        while True:
            ready = self.sel.select(timeout=1.0)
            if self.replied_at and time.monotonic() - self.replied_at > STUCK_AFTER:
                self.unstick()
            for key, _ in ready:
                if key.data == "ctl":
                    self.on_control()
                elif key.data == "listen":
                    conn, _ = self.listener.accept()
                    self.sel.register(conn, selectors.EVENT_READ, "client")
                else:
                    self.on_request(key.fileobj)

    def on_control(self) -> None:
        msg = recv_msg(self.ctl)
        if msg is None:
            os._exit(0)  # the driver has gone
        if msg[0] == "mode":
            _, self.hostile, self.build, self.seed = msg
            send_msg(self.ctl, ("ack",))
        elif msg[0] == "sync":
            self.replied_at = 0.0
            send_msg(self.ctl, ("synced", msg[1], self.exchanges))

    def unstick(self) -> None:
        """The module still waits on a reply that was complete: report it and let go."""
        send_msg(self.ctl, ("x", {"code": None, "stuck": True, "closed": True}))
        for key in list(self.sel.get_map().values()):
            if key.data == "client":
                self.drop(key.fileobj)
        self.replied_at = 0.0

    def drop(self, conn: socket.socket) -> None:
        self.sel.unregister(conn)
        conn.close()

    def on_request(self, conn: socket.socket) -> None:
        head = recv_exact(conn, 4)
        if head is None:
            return self.drop(conn)
        n = HEADER.unpack(head)[0]
        body = recv_exact(conn, n) if n <= 1 << 20 else None
        if body is None:
            send_msg(self.ctl, ("x", {"code": None, "bad_request": f"torn or huge request ({n})",
                                      "closed": True}))
            return self.drop(conn)
        request = head + body
        code = struct.unpack_from("<i", body)[0] if n >= 4 else None
        self.exchanges += 1
        rng = random.Random(self.seed * 1_000_003 + self.exchanges)
        bad = check_request(request)
        verdict = {"code": code, "bad_request": bad, "closed": False}
        if bad is not None or code not in REPLY:
            verdict["closed"] = True
            send_msg(self.ctl, ("x", verdict))
            return self.drop(conn)
        replies = Replies(rng, self.build)
        status, payload = replies.payload(code)
        kind = rng.choices(_KIND_NAMES, _KIND_WEIGHTS)[0] if self.hostile else "valid"
        data, cuts = mutate(rng, code, status, payload, kind)
        expect, in_step = exchange_result(code, self.build, data)
        closes = not in_step or kind == "empty_close"
        verdict.update(kind=kind, expect=expect, closed=closes)
        if isinstance(expect, int) and expect >= 0:
            verdict.update(facts_of(code, data))
        send_msg(self.ctl, ("x", verdict))
        try:
            if cuts:
                edges = [0, *cuts, len(data)]
                for a, b in zip(edges, edges[1:]):
                    conn.sendall(data[a:b])
                    time.sleep(0.0002)
            elif data:
                frame_end = 4 + struct.unpack_from("<I", data)[0] if len(data) >= 4 else len(data)
                conn.sendall(data[:frame_end])
                if len(data) > frame_end:
                    # The module reads no further than its frame: junk beyond it goes out
                    # only as far as the socket buffer takes it, then the link is closed.
                    try:
                        conn.send(data[frame_end:], socket.MSG_DONTWAIT)
                    except OSError:
                        pass
        except OSError:
            return self.drop(conn)
        self.replied_at = time.monotonic()
        if closes:
            self.drop(conn)


def main(argv=None) -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--socket", required=True)
    p.add_argument("--ctl-fd", type=int, required=True)
    args = p.parse_args(argv)
    ctl = socket.socket(fileno=args.ctl_fd)
    Peer(args.socket, ctl).run()


if __name__ == "__main__":
    main(sys.argv[1:])
