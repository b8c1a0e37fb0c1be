"""Strangers on loopback ports, each a second process (as another user where
tests/support/other_user.py can make one; the stdlib only).

A squatter binds a port (as soon as it is free), keeps every byte each client sends and
answers as told::

    sq = Squatter(port, "squat", user)      # user: an OtherUser, or None for ourselves
    ... the module at work ...
    sq.stop() -> [bytes received per connection]

Modes: squat (answers the first bytes with a plain success, int32 0 and an empty text,
as a relay of the older hello did), forge (answers with 64 random bytes, a challenge
without a proof), mute (accepts and never answers).

A flood connects to a port again and again without a word, keeping some connections
open, closing the oldest::

    fl = Flood(port, total=1000, at_once=100, user=user)   # total 0: until stopped
    fl.wait() or fl.stop() -> (connections made, connects that failed, seconds)
"""
from __future__ import annotations

import subprocess
import sys

CODE = r'''
import os, select, socket, struct, sys, time
port, mode = int(sys.argv[1]), sys.argv[2]
lsn = socket.socket()
lsn.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
deadline = time.monotonic() + 5
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
conns, answered, count = {}, set(), 0
while True:
    ready, _, _ = select.select([sys.stdin, lsn, *conns], [], [])
    if sys.stdin in ready:
        break
    for s in ready:
        if s is lsn:
            c, _ = lsn.accept()
            conns[c], count = count, count + 1
            print("accepted %d" % conns[c], flush=True)
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
        if s in answered:
            continue  # one answer, then it only listens
        answered.add(s)
        if mode == "squat":
            s.sendall(struct.pack("<iI", 0, 0))
        elif mode == "forge":
            s.sendall(os.urandom(64))
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
        out, _ = self.proc.communicate(timeout=30)  # the end of its input ends it
        got: list[bytes] = []
        for line in out.decode().splitlines():
            kind, *rest = line.split()
            if kind == "accepted":
                got.append(b"")
            elif kind == "data":
                got[int(rest[0])] += bytes.fromhex(rest[1])
        return got


FLOOD = r'''
import collections, select, socket, sys, time
port, total, at_once, rate = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
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
for s in held:
    s.close()
print("done %d %d %.3f" % (made, failed, time.monotonic() - start), flush=True)
'''


class Flood:
    def __init__(self, port: int, total: int = 1000, at_once: int = 100, rate: float = 0, user=None):
        argv = ["-I", "-c", FLOOD, str(port), str(total), str(at_once), str(rate)]
        kw = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.proc = user.popen([user.python_exe, *argv], **kw) if user else \
            subprocess.Popen([sys.executable, *argv], **kw)
        assert self.proc.stdout.readline() == b"started\n"

    def _result(self, out: bytes) -> tuple[int, int, float]:
        _, made, failed, took = out.decode().split()
        return int(made), int(failed), float(took)

    def wait(self) -> tuple[int, int, float]:
        """Until it has made its connections (its input stays open meanwhile)."""
        line = self.proc.stdout.readline()
        self.proc.communicate(timeout=30)
        return self._result(line)

    def stop(self) -> tuple[int, int, float]:
        out, _ = self.proc.communicate(timeout=30)  # the end of its input ends it
        return self._result(out)
