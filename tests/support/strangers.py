"""A stranger on a loopback port: binds it (as soon as it is free), keeps every byte each
client sends, and answers as told. Runs as a second process, as another user where
tests/support/other_user.py can make one, with the stdlib only.

    sq = Squatter(port, "squat", user)      # user: an OtherUser, or None for ourselves
    ... the module at work ...
    sq.stop() -> [bytes received per connection]

Modes: squat (answers the first bytes with a plain success, int32 0 and an empty text,
as a relay of the older hello did), forge (answers with 64 random bytes, a challenge
without a proof), mute (accepts and never answers).
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
