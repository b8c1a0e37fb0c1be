"""Scripted fake Terminal for the tests.

The module holds the GIL while it waits on the socket, so the fake Terminal (the
"peer") always runs in a process of its own. Its executable path is a small shell
script, ``<dir>/terminal64.exe``, that starts this file as the peer; the fixture starts
it the same way the module does when its socket is missing, so both roads meet the
same code. The peer listens on the socket that ``orbisyn._paths.socket_path`` derives
from that path, records every request frame it reads, and answers each one with the
next scripted action.

Test-side API (fixtures in conftest.py)::

    def test_x(fake_terminal):                  # a started peer, socket listening
        term = fake_terminal
        term.script(reply(4, 0, i32(3000)), reply(109, 0, i32(2)))
        assert orbisyn.initialize(path=term.exe_path)
        assert term.requests()[0] == request(4, i32(3) + text("Python"))

    def test_y(fake_terminal):
        session(fake_terminal, build=3000)      # handshake + ready + initialize() is True
        fake_terminal.script(reply(173, 0, u32(5)))
        ...

``make_terminal(name="Term", start=True)`` (fixture) makes further or not-yet-started
terminals (``tmp_path/name/terminal64.exe``); ``run_fresh(code)`` (fixture, also a plain
function here) runs a snippet in a new interpreter that imports the same package and
returns the CompletedProcess. Every test (autouse ``private_env``) gets a private
``XDG_RUNTIME_DIR`` (a short dir under /tmp: socket paths are limited to 108 bytes) and
an empty ``XDG_DATA_HOME``; teardown calls ``orbisyn.shutdown()`` and kills the peers.

``session(term, build=3000, **initialize_kwargs)`` scripts the handshake and one ready
poll (unless ``term.auto()`` answers them) and asserts ``initialize`` is True: call it
before scripting the replies of the function under test, since the queue is in order.
Useful attributes: ``term.exe_path``, ``term.socket_path``, ``term.dir``, ``term.log_path``
(the peer's stderr).

Parametrize with bytes freely: conftest gives bytes and actions short ids, because pytest
puts the test id into the environment (PYTEST_CURRENT_TEST) that a spawned Terminal
inherits, and a huge id makes the spawn fail with E2BIG.

Frames and values (all little-endian, as on the wire):
    ``reply(echo, status, payload=b"", length=None)``  reply frame; ``length`` overrides the
                                                      length field (default 8 + len(payload))
    ``request(code, payload=b"")``                    the request frame the module must send
    ``text(s)``                                       int32 unit count + UTF-16LE units
    ``i32 u32 i64 u64 f64 (value)``                   packed scalars

Script actions (``term.script(*actions)`` appends to one queue shared by all
connections; each request frame read consumes the next action):
    ``bytes``                       written in one piece
    ``split(data, *cuts, pause=0.05)``  written in pieces cut at the given offsets, with a
                                    pause before each piece after the first
    ``delayed(data, seconds)``      written after a pause
    ``close(data=b"")``             write data (e.g. part of a reply), then close the connection
    ``no_reply(hold=0.5)``          write nothing; close the connection after ``hold`` s
                                    (``hold=None``: keep it open and go on reading)
    ``mirror(shape)``               answer derived from the request: status 0 and a payload
                                    made from ``mirrored(payload)`` of the request's payload
                                    (``mirror_payload(shape, value)`` builds it; meant for
                                    standing answers to many callers at once)
A request that finds the queue empty (and no standing answer) is recorded and the
connection is closed, so a blocked module call sees a broken pipe instead of hanging.
Likewise, when a client is connected and nothing happens for 15 s (no request, no word
from the test), the peer drops its clients: a module call stuck on a reply that never
comes returns, and the test fails instead of hanging (``term.watchdog()`` counts these).

Standing answers take precedence over the queue for their command code:
    ``term.auto(build=3000, state=2)``  answer 4 with the build and 109 with the state
    ``term.auto(False)``                stop auto answers for 4 and 109
    ``term.standing(code, action)``     any code; ``action=None`` removes it

Observations (each first waits until the peer has handled everything that reached it;
a silent peer fails the test after 5 s instead of hanging it):
    ``term.requests()``     list of raw request frames, length prefix included, all
                            connections, in arrival order
    ``term.codes()``        the command codes of those frames
    ``term.connected()``    True while a client connection is open
    ``term.connections()``  number of connections accepted so far
    ``term.unscripted()``   command codes that found no action
    ``term.pending()``      actions not consumed yet
    ``term.argv()``         arguments the last peer was started with (e.g. ["/portable"])
    ``term.pid()``          process id of the last peer
    ``term.starts()``       number of peers started so far (fixture or module)
    ``term.clear()``        forget recorded requests and drop pending actions

Lifecycle: ``term.start()`` runs the executable and waits until it listens;
``term.stop()`` kills the peer(s) (the socket file stays behind, like a crashed
Terminal: connecting then gives ECONNREFUSED); ``term.close()`` (fixture teardown)
kills every peer ever started for this terminal, including ones the module spawned.
Actions scripted while no peer runs are handed to the next peer at its start, so a
peer that ``orbisyn.initialize`` spawns answers from the script too.
"""
from __future__ import annotations

import argparse
import os
import pickle
import select
import selectors
import signal
import socket
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path

try:
    from . import wire_layouts
    from .peers import (HEADER, f64, i32, i64, listen_unix, recv_exact,  # noqa: F401
                        recv_msg, reply, request, send_msg, text, u32, u64)
except ImportError:  # run as the fake Terminal's program, beside them
    import wire_layouts  # type: ignore[no-redef]
    from peers import (HEADER, f64, i32, i64, listen_unix, recv_exact,  # type: ignore  # noqa: F401
                       recv_msg, reply, request, send_msg, text, u32, u64)

# ---------------------------------------------------------------------------
# Actions: plain dicts so they pickle the same in both processes


def _action(a) -> dict:
    if isinstance(a, (bytes, bytearray, memoryview)):
        return {"kind": "send", "chunks": [(0.0, bytes(a))], "close": False}
    if isinstance(a, dict) and a.get("kind") in ("send", "noreply", "mirror"):
        return a
    raise TypeError(f"not a fake Terminal action: {a!r}")


def split(data: bytes, *cuts: int, pause: float = 0.05) -> dict:
    edges = [0, *cuts, len(data)]
    if edges != sorted(edges):
        raise ValueError("cuts must be increasing offsets inside data")
    chunks = [(0.0 if i == 0 else pause, data[a:b]) for i, (a, b) in enumerate(zip(edges, edges[1:]))]
    return {"kind": "send", "chunks": chunks, "close": False}


def delayed(data: bytes, seconds: float) -> dict:
    return {"kind": "send", "chunks": [(seconds, data)], "close": False}


def close(data: bytes = b"") -> dict:
    return {"kind": "send", "chunks": [(0.0, data)] if data else [], "close": True}


def no_reply(hold: float | None = 0.5) -> dict:
    return {"kind": "noreply", "hold": hold}


def mirror(shape: str) -> dict:
    return {"kind": "mirror", "shape": shape}


def mirrored(request_payload: bytes) -> int:
    """The number a mirror answer carries for a request payload."""
    return zlib.crc32(request_payload)


TICK = struct.Struct(wire_layouts.struct_format(wire_layouts.TICK)[0])
BAR = struct.Struct(wire_layouts.struct_format(wire_layouts.BAR)[0])


def mirror_payload(shape: str, value: int) -> bytes:
    if shape == "u32":
        return u32(value)
    if shape == "f64":
        return f64(float(value))
    if shape == "tick":
        return TICK.pack(value, 1.0, 2.0, 0.0, 0, value * 1000, 6, 0.0)
    if shape == "bars":
        return u32(value % 7 + 1) + b"".join(
            BAR.pack(value + i, 1.0, 2.0, 0.5, 1.5, i, 0, 0) for i in range(value % 7 + 1))
    raise ValueError(shape)


def _load_paths(paths_file: str):
    import importlib.util

    modspec = importlib.util.spec_from_file_location("_orbisyn_paths", paths_file)
    mod = importlib.util.module_from_spec(modspec)
    modspec.loader.exec_module(mod)
    return mod


def paths_module():
    """orbisyn._paths, loaded without importing the extension."""
    import importlib.util

    modspec = importlib.util.find_spec("orbisyn")
    if modspec is None or not modspec.origin:
        raise RuntimeError("package orbisyn not found on sys.path")
    return _load_paths(os.path.join(os.path.dirname(modspec.origin), "_paths.py"))


# ---------------------------------------------------------------------------
# Peer side (runs as a script)

MAX_LIFETIME = 300.0  # a peer whose test died never outlives this
# With a client connected and neither a request nor a word from the test for this long, the
# test is stuck in a module call that waits for bytes that will never come (a framing
# fault): drop the clients so that the call returns and the test fails instead of hanging.
IDLE_LIMIT = 15.0
MAX_REQUEST = 64 << 20


def _readable(sock: socket.socket) -> bool:
    poller = select.poll()
    poller.register(sock, select.POLLIN)
    return bool(poller.poll(0))


class _Peer:
    """Event records (request, accept, eof, ...) go to an append-only file, so the peer never
    blocks on a test process that sits in a module call; the control socket carries only the
    test's commands and the peer's few answers to them."""

    def __init__(self, args):
        self.args = args
        self.queue: list[dict] = []
        self.standing: dict[int, dict] = {}
        self.clients: dict[int, socket.socket] = {}
        self.next_id = 0
        self.pid = os.getpid()
        self.sel = selectors.DefaultSelector()
        self.events = os.open(args.events, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
        try:
            with open(args.state, "rb") as f:
                state = pickle.load(f)
            self.queue = list(state.get("queue", []))
            self.standing = dict(state.get("standing", {}))
        except FileNotFoundError:
            pass

    def answer(self, *msg):
        try:
            send_msg(self.ctl, msg)
        except OSError:
            os._exit(0)

    def record(self, *msg):
        data = pickle.dumps(msg)
        os.write(self.events, HEADER.pack(len(data)) + data)

    def run(self):
        self.ctl = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.ctl.connect(self.args.control)
        self.answer("hello", self.pid, self.args.argv)

        paths = _load_paths(self.args.paths)
        paths.ensure_pipe_dir()
        sock_path = paths.socket_path(self.args.exe)
        self.listener = listen_unix(sock_path)
        self.answer("listening", sock_path)

        self.sel.register(self.ctl, selectors.EVENT_READ, "ctl")
        self.sel.register(self.listener, selectors.EVENT_READ, "listen")
        deadline = time.monotonic() + MAX_LIFETIME
        self.active = time.monotonic()
        while time.monotonic() < deadline:
            for key, _ in self.sel.select(timeout=1.0):
                self.dispatch(key)
                self.active = time.monotonic()
            if self.clients and time.monotonic() - self.active > IDLE_LIMIT:
                print(f"watchdog: no activity for {IDLE_LIMIT} s, dropping clients", file=sys.stderr)
                for cid in list(self.clients):
                    self.drop(cid, "watchdog")
                self.active = time.monotonic()

    def dispatch(self, key):
        # Nested handling may already have consumed what made this key ready.
        if key.data == "ctl":
            if _readable(self.ctl):
                self.on_control()
        elif key.data == "listen":
            if _readable(self.listener):
                conn, _ = self.listener.accept()
                cid = self.next_id
                self.next_id += 1
                self.clients[cid] = conn
                self.sel.register(conn, selectors.EVENT_READ, cid)
                self.record("accept", (self.pid, cid))
        elif key.data in self.clients and _readable(self.clients[key.data]):
            self.on_client(key.data)

    def drain(self):
        """Handle every connection and request that has already reached the peer."""
        while True:
            ready = [k for k, _ in self.sel.select(timeout=0) if k.data != "ctl"]
            if not ready:
                return
            for key in ready:
                self.dispatch(key)

    def control_first(self):
        """Apply control messages already sent: the test scripts before it calls the module,
        but both sockets may turn readable in the same round."""
        while _readable(self.ctl):
            self.on_control(nested=True)

    def on_control(self, nested=False):
        msg = recv_msg(self.ctl)
        if msg is None:
            os._exit(0)  # the test has gone
        op = msg[0]
        if op == "script":
            self.queue.extend(msg[1])
        elif op == "standing":
            for code, action in msg[1].items():
                if action is None:
                    self.standing.pop(code, None)
                else:
                    self.standing[code] = action
        elif op == "clear":
            self.queue.clear()
        elif op == "sync":
            if not nested:
                self.drain()
            self.answer("synced", msg[1], len(self.queue))

    def drop(self, cid, event):
        conn = self.clients.pop(cid, None)
        if conn is not None:
            self.sel.unregister(conn)
            conn.close()
            self.record(event, (self.pid, cid))

    def on_client(self, cid):
        conn = self.clients[cid]
        key = (self.pid, cid)
        head = recv_exact(conn, 4)
        if head is None:
            return self.drop(cid, "eof")
        n = HEADER.unpack(head)[0]
        if n > MAX_REQUEST:
            self.record("request", key, head)
            return self.drop(cid, "closed")
        body = recv_exact(conn, n)
        if body is None:
            self.record("request", key, head)  # a torn request is still worth seeing
            return self.drop(cid, "eof")
        self.record("request", key, head + body)
        self.control_first()
        code = struct.unpack_from("<i", body)[0] if n >= 4 else None
        action = self.standing.get(code)
        if action is None:
            if not self.queue:
                self.record("unscripted", key, code)
                return self.drop(cid, "closed")
            action = self.queue.pop(0)
        self.perform(cid, conn, action, body)

    def perform(self, cid, conn, action, body=b""):
        try:
            if action["kind"] == "mirror":
                code = struct.unpack_from("<i", body)[0]
                conn.sendall(reply(code, 0, mirror_payload(action["shape"], mirrored(body[4:]))))
                return
            if action["kind"] == "noreply":
                if action["hold"] is not None:
                    time.sleep(action["hold"])
                    self.drop(cid, "closed")
                return
            for pause, data in action["chunks"]:
                if pause:
                    time.sleep(pause)
                if data:
                    conn.sendall(data)
        except OSError:
            return self.drop(cid, "eof")
        if action["close"]:
            self.drop(cid, "closed")


def _peer_main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("--control", required=True)
    p.add_argument("--state", required=True)
    p.add_argument("--paths", required=True)
    p.add_argument("--exe", required=True)
    p.add_argument("--pids", required=True)
    p.add_argument("--events", required=True)
    p.add_argument("argv", nargs="*")
    args = p.parse_args(argv)
    Path(args.pids, str(os.getpid())).touch()
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    _Peer(args).run()


# ---------------------------------------------------------------------------
# Test side

SYNC_TIMEOUT = 5.0


class FakeTerminal:
    """One fake Terminal: its executable script, control listener and peer processes."""

    def __init__(self, root: Path, ctl_dir: Path, name: str = "Term"):
        self.dir = Path(root) / name
        self.dir.mkdir(parents=True, exist_ok=True)
        self.exe_path = str(self.dir / "terminal64.exe")
        self._state = str(self.dir / "state.pkl")
        self._pids = self.dir / "pids"
        self._pids.mkdir(exist_ok=True)
        self.log_path = str(self.dir / "peer.log")
        self._events = str(self.dir / "events.bin")
        self._events_off = 0
        self._ctl_path = str(Path(ctl_dir) / f"ctl-{name}")
        self._paths = paths_module()
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listener.bind(self._ctl_path)
        self._listener.listen(8)
        self._peers: list[socket.socket] = []  # latest last
        self._pending: list[dict] = []  # scripted while no peer was attached
        self._standing: dict[int, dict] = {}
        self._requests: list[bytes] = []
        self._unscripted: list = []
        self._open_ids: set = set()
        self._accepted = 0
        self._argv: list[str] | None = None
        self._pid: int | None = None
        self._starts = 0
        self._watchdog = 0
        self._remaining = 0
        self._seq = 0
        self._procs: list[subprocess.Popen] = []
        self._write_state()
        self._write_exe()

    # -- paths
    @property
    def socket_path(self) -> str:
        return self._paths.socket_path(self.exe_path)

    def _write_exe(self):
        here = os.path.abspath(__file__)
        q = lambda s: "'" + s.replace("'", "'\\''") + "'"  # noqa: E731
        script = (
            "#!/bin/sh\n"
            f"exec {q(sys.executable)} {q(here)} --control {q(self._ctl_path)} --state {q(self._state)}"
            f" --paths {q(self._paths.__file__)} --exe {q(self.exe_path)} --pids {q(str(self._pids))}"
            f" --events {q(self._events)}"
            ' -- "$@"' f" 2>>{q(self.log_path)}\n"
        )
        Path(self.exe_path).write_text(script)
        os.chmod(self.exe_path, 0o755)

    def _write_state(self):
        tmp = self._state + ".tmp"
        with open(tmp, "wb") as f:
            pickle.dump({"queue": self._pending, "standing": self._standing}, f)
        os.replace(tmp, self._state)

    # -- control channel
    def _attach(self, timeout: float) -> None:
        """Accept control connections of peers that started meanwhile."""
        self._listener.settimeout(timeout)
        try:
            while True:
                try:
                    conn, _ = self._listener.accept()
                except (socket.timeout, BlockingIOError):
                    return
                conn.settimeout(None)
                self._peers.append(conn)
                self._pending = []  # the peer loaded them from the state file
                self._write_state()
                self._listener.settimeout(0)
        finally:
            self._listener.settimeout(None)

    def _pump(self, until=None, timeout: float = 0.0, peer=None, proc=None):
        """Read control messages; with until, wait (up to timeout) for one that matches.

        Gives up early when peer's channel closes or proc exits."""
        deadline = time.monotonic() + timeout
        while True:
            self._attach(0)
            if peer is not None and peer not in self._peers:
                return None
            if proc is not None and proc.poll() is not None and not self._peers:
                return None
            socks = list(self._peers)
            wait = max(0.0, deadline - time.monotonic()) if until else 0.0
            sel = selectors.DefaultSelector()
            for s in socks:
                sel.register(s, selectors.EVENT_READ)
            ready = sel.select(timeout=min(wait, 0.05) if until else 0)
            sel.close()
            for key, _ in ready:
                msg = recv_msg(key.fileobj)
                if msg is None:
                    self._peers.remove(key.fileobj)
                    key.fileobj.close()
                    continue
                self._handle(msg)
                if until and until(msg):
                    return msg
            if not ready and (until is None or time.monotonic() >= deadline):
                self._read_events()
                return None

    def _read_events(self):
        try:
            with open(self._events, "rb") as f:
                f.seek(self._events_off)
                data = f.read()
        except FileNotFoundError:
            return
        pos = 0
        while pos + 4 <= len(data):
            n = HEADER.unpack_from(data, pos)[0]
            if pos + 4 + n > len(data):
                break  # a record being written; next time
            self._handle(pickle.loads(data[pos + 4:pos + 4 + n]))
            pos += 4 + n
        self._events_off += pos

    def _handle(self, msg):
        op = msg[0]
        if op == "hello":
            self._pid = msg[1]
            self._argv = list(msg[2])
            self._starts += 1
        elif op == "accept":
            self._accepted += 1
            self._open_ids.add(msg[1])
        elif op == "request":
            self._requests.append(msg[2])
        elif op in ("eof", "closed", "watchdog"):
            self._open_ids.discard(msg[1])
            if op == "watchdog":
                self._watchdog += 1
        elif op == "unscripted":
            self._unscripted.append(msg[2])
        elif op == "synced":
            self._remaining = msg[2]

    def _live_peer(self):
        self._pump()
        return self._peers[-1] if self._peers else None

    def _send(self, msg) -> bool:
        peer = self._live_peer()
        if peer is None:
            return False
        try:
            send_msg(peer, msg)
            return True
        except OSError:
            self._peers.remove(peer)
            return False

    def sync(self, timeout: float = SYNC_TIMEOUT) -> None:
        """Wait until every peer has handled what reached it so far."""
        self._attach(0)
        for peer in list(self._peers):
            self._seq += 1
            seq = self._seq
            try:
                send_msg(peer, ("sync", seq))
            except OSError:
                self._peers.remove(peer)
                continue
            got = self._pump(lambda m: m[0] == "synced" and m[1] == seq, timeout, peer=peer)
            if got is None and peer in self._peers:
                raise AssertionError(f"fake Terminal did not answer within {timeout} s (see {self.log_path})")
        self._read_events()

    # -- scripting
    def script(self, *actions) -> "FakeTerminal":
        acts = [_action(a) for a in actions]
        if not self._send(("script", acts)):
            self._pending.extend(acts)
            self._write_state()
        return self

    def standing(self, code: int, action) -> "FakeTerminal":
        act = None if action is None else _action(action)
        if act is None:
            self._standing.pop(code, None)
        else:
            self._standing[code] = act
        self._write_state()
        self._send(("standing", {code: act}))
        return self

    def auto(self, build: int | bool = 3000, state: int = 2) -> "FakeTerminal":
        if build is False or build is None:
            return self.standing(4, None).standing(109, None)
        return self.standing(4, reply(4, 0, i32(build))).standing(109, reply(109, 0, i32(state)))

    @property
    def auto_enabled(self) -> bool:
        return 4 in self._standing and 109 in self._standing

    def clear(self) -> None:
        self.sync()
        self._requests.clear()
        self._unscripted.clear()
        self._pending = []
        self._write_state()
        self._send(("clear",))

    # -- observations
    def requests(self) -> list[bytes]:
        self.sync()
        return list(self._requests)

    def codes(self) -> list[int]:
        return [struct.unpack_from("<i", r, 4)[0] for r in self.requests() if len(r) >= 8]

    def connected(self) -> bool:
        self.sync()
        return bool(self._open_ids)

    def connections(self) -> int:
        self.sync()
        return self._accepted

    def unscripted(self) -> list:
        self.sync()
        return list(self._unscripted)

    def pending(self) -> int:
        self.sync()
        return self._remaining if self._peers else len(self._pending)

    def argv(self) -> list[str] | None:
        self.sync()
        return self._argv

    def pid(self) -> int | None:
        """Process id of the last peer started."""
        self.sync()
        return self._pid

    def watchdog(self) -> int:
        """Connections the peer dropped because a module call seemed stuck."""
        self.sync()
        return self._watchdog

    def starts(self) -> int:
        """Number of peers started so far (by the fixture or by the module)."""
        self.sync()
        return self._starts

    # -- lifecycle
    def start(self, timeout: float = 10.0) -> "FakeTerminal":
        proc = subprocess.Popen([self.exe_path], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        self._procs.append(proc)
        got = self._pump(lambda m: m[0] == "listening", timeout, proc=proc)
        if got is None:
            raise RuntimeError(f"fake Terminal did not start (see {self.log_path})")
        return self

    def _kill_all(self):
        for entry in list(self._pids.iterdir()):
            pid = int(entry.name)
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    ours = self._ctl_path.encode() in f.read()
            except OSError:
                ours = False
            if ours:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                _wait_gone(pid)
            entry.unlink()
        for proc in self._procs:
            proc.wait(timeout=10)
        self._procs = []
        for peer in self._peers:
            peer.close()
        self._peers = []
        self._read_events()
        self._open_ids = set()

    def stop(self) -> None:
        """Kill the peer(s), leaving the socket file behind."""
        self._pump()
        self._kill_all()

    def close(self) -> None:
        self._kill_all()
        self._listener.close()
        try:
            os.unlink(self._ctl_path)
        except FileNotFoundError:
            pass


def _wait_gone(pid: int, timeout: float = 5.0) -> None:
    """Wait until pid has exited (its sockets closed); it may stay a zombie of another parent."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X"):
                    return
        except OSError:
            return
        time.sleep(0.005)


def session(term: FakeTerminal, build: int = 3000, **kwargs) -> FakeTerminal:
    """Start a session on term: handshake with build, ready at the first poll."""
    import orbisyn

    if not term.auto_enabled:
        term.script(reply(4, 0, i32(build)), reply(109, 0, i32(2)))
    ok = orbisyn.initialize(path=term.exe_path, **kwargs)
    assert ok is True, orbisyn.last_error()
    return term


def run_fresh(code: str, timeout: float = 30.0, env: dict | None = None,
              argv: list[str] | None = None) -> subprocess.CompletedProcess:
    """Run code in a new interpreter that finds the same orbisyn package (text output).

    argv replaces the command line [python, -c, code], e.g. to start it through a shell."""
    import importlib.util

    modspec = importlib.util.find_spec("orbisyn")
    pkg_parent = os.path.dirname(os.path.dirname(modspec.origin))
    full_env = dict(os.environ if env is None else env)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in (pkg_parent, full_env.get("PYTHONPATH", "")) if p)
    full_env.pop("PYTEST_CURRENT_TEST", None)
    return subprocess.run(argv or [sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=full_env, stdin=subprocess.DEVNULL)


if __name__ == "__main__":
    _peer_main(sys.argv[1:])
