"""Strangers on loopback ports, each a second process (as another user where
tests/support/other_user.py can make one: second_user(); the stdlib only).

A squatter binds a port (as soon as it is free), keeps every byte each client sends and
answers as told::

    sq = Squatter(port, "squat", user)      # port 0: any; user: an OtherUser, or None for ourselves
    ... the module at work ...
    sq.stop() -> [bytes received per connection]

Modes: squat (answers the first bytes with a plain success, int32 0 and an empty text,
as a relay of the older hello did), forge (answers a hello's 36 bytes with 64 random
bytes, a challenge without a proof), mute (accepts and never answers), close (closes each
connection at once).

A flood connects to a port again and again without a word, keeping some connections
open, closing the oldest::

    fl = Flood(port, total=1000, at_once=100, user=user)   # total 0: until stopped
    fl.wait() or fl.stop() -> (connections made, connects that failed, seconds)

With hold=True it keeps the last at_once connections open once it has made them, until
stop(); made() then says how many it made.
"""
from __future__ import annotations

import subprocess
import sys

import pytest

from .other_user import other_user


def second_user():
    """Another user where one can be made, else None (a second process of ours)."""
    try:
        return other_user()
    except pytest.skip.Exception:
        return None


CODE = r'''
import os, select, socket, struct, sys, time
port, mode = int(sys.argv[1]), sys.argv[2]
lsn = socket.socket()
lsn.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
deadline = time.monotonic() + 10   # the port frees when its owner's connections have closed
while True:
    try:
        lsn.bind(("127.0.0.1", port))
        break
    except OSError as e:
        if time.monotonic() > deadline:
            print("error", e, flush=True)
            sys.exit(1)
        time.sleep(0.001)
lsn.listen(64)
print("port=%d" % lsn.getsockname()[1], flush=True)
conns, heard, answered, count = {}, {}, set(), 0
while True:
    ready, _, _ = select.select([sys.stdin, lsn, *conns], [], [])
    for s in ready:
        if s is sys.stdin:
            continue
        if s is lsn:
            c, _ = lsn.accept()
            print("accepted %d" % count, flush=True)
            if mode == "close":
                c.close()
            else:
                conns[c], heard[c] = count, 0
            count += 1
            continue
        try:
            data = s.recv(65536)
        except OSError:
            data = b""
        if not data:
            del conns[s]
            s.close()
            continue
        print("data %d %s" % (conns[s], data.hex()), flush=True)
        heard[s] += len(data)
        if s in answered:
            continue  # one answer, then it only listens
        if mode == "squat" or (mode == "forge" and heard[s] >= 36):
            answered.add(s)
            s.sendall(struct.pack("<iI", 0, 0) if mode == "squat" else os.urandom(64))
    if sys.stdin in ready:   # after what came with it
        break
'''


class Squatter:
    def __init__(self, port: int, mode: str, user=None):
        argv = ["-I", "-c", CODE, str(port), mode]
        kw = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.proc = user.popen([user.python_exe, *argv], **kw) if user else \
            subprocess.Popen([sys.executable, *argv], **kw)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("port="):
            self.proc.kill()
            raise RuntimeError(f"the squatter could not bind {port}: {line!r}")
        self.port = int(line[5:])

    def stop(self) -> list[bytes]:
        """Ends it; the bytes each connection sent, in the order they came."""
        if self.proc.stdin.closed:  # ended already
            return self._got
        out, _ = self.proc.communicate(timeout=30)  # the end of its input ends it
        got: list[bytes] = []
        for line in out.decode().splitlines():
            kind, *rest = line.split()
            if kind == "accepted":
                got.append(b"")
            elif kind == "data":
                got[int(rest[0])] += bytes.fromhex(rest[1])
        self._got = got
        return got


FLOOD = r'''
import collections, select, socket, sys, time
port, total, at_once, rate = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
hold = sys.argv[5] == "hold"
held = collections.deque()
made = failed = 0
print("started", flush=True)
start = time.monotonic()
while total == 0 or made + failed < total:
    if select.select([sys.stdin], [], [], 0)[0]:
        break
    if rate:
        ahead = (made + failed) / rate - (time.monotonic() - start)
        if ahead > 0:
            time.sleep(ahead)
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        held.append(s)
        made += 1
    except OSError:
        failed += 1
    while len(held) > at_once:
        held.popleft().close()
took = time.monotonic() - start
if hold:
    print("done %d %d %.3f" % (made, failed, took), flush=True)
    sys.stdin.read()
for s in held:
    s.close()
if not hold:
    print("done %d %d %.3f" % (made, failed, took), flush=True)
'''


class Flood:
    def __init__(self, port: int, total: int = 1000, at_once: int = 100, rate: float = 0, user=None,
                 hold: bool = False):
        argv = ["-I", "-c", FLOOD, str(port), str(total), str(at_once), str(rate),
                "hold" if hold else "let-go"]
        kw = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.proc = user.popen([user.python_exe, *argv], **kw) if user else \
            subprocess.Popen([sys.executable, *argv], **kw)
        assert self.proc.stdout.readline() == b"started\n"
        self._result: tuple[int, int, float] | None = None

    @staticmethod
    def _parse(out: bytes) -> tuple[int, int, float]:
        _, made, failed, took = out.decode().split()
        return int(made), int(failed), float(took)

    def made(self) -> tuple[int, int, float]:
        """Once it has made its connections (its input stays open meanwhile)."""
        if self._result is None:
            self._result = self._parse(self.proc.stdout.readline())
        return self._result

    def wait(self) -> tuple[int, int, float]:
        """Until it has made its connections, then ends it."""
        made = self.made()
        self.proc.communicate(timeout=30)
        return made

    def stop(self) -> tuple[int, int, float]:
        out, _ = self.proc.communicate(timeout=30)  # the end of its input ends it
        if self._result is None:
            self._result = self._parse(out)
        return self._result
