"""Cases of orbisyn-relay.exe under Wine, run by run.py (which passes itself as `r`: report,
wine, unix, place_terminal, launch_record, pipe_name, final, BUILD, WINE).

serve-terminal: Linux clients here, a scripted pipe server (relay_driver serve) or the
stand-in terminal64.exe at the far end. The pipe server for a simulated Terminal: the
relay installed as terminal64.exe, fake_sim.FakeSim at the far end, the Windows session
(relay_driver session / hold) at the near end.
"""
from __future__ import annotations

import hashlib
import os
import secrets
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from fake_sim import FakeSim
from support.folders import private_folders
from support.peers import pattern, prove, proven as proof_holds, recv_exact
from support.peers import request as frame

r = None  # run.py, set by cases()
HERE = Path(__file__).resolve().parent
RELAY_WIN = r"C:\orbisyn-tests\orbisyn-relay.exe"
DRIVER_WIN = r"C:\orbisyn-tests\relay_driver.exe"


def token_hex():
    return secrets.token_hex(32)


def ends_within(sock, seconds):
    """True when the peer ends the stream (after any bytes) within seconds."""
    sock.settimeout(seconds)
    try:
        while sock.recv(65536):
            pass
        return True
    except socket.timeout:
        return False
    except OSError:
        return True


def exit_code(proc, seconds):
    """Its exit status, or None (and killed) when it has not ended within seconds."""
    try:
        return proc.wait(seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        return None


def path_fields(path, flags=0, units=None):
    data = path.encode("utf-16-le")
    n = len(data) // 2 if units is None else units
    return struct.pack("<II", flags, n) + data


def old_hello(path, token):
    """The hello before the proof: the token itself on the wire."""
    return b"ORBR" + token + path_fields(path)


def greet(s, token, after_proof=None, proof_token=None, magic=b"ORBR", replay=False):
    """Our side of the handshake up to the proof: (the relay proved itself, bytes of the
    challenge). after_proof follows our proof in the same write; proof_token proves with
    another token; replay sends the relay's own proof back as ours."""
    mine = secrets.token_bytes(32)
    s.sendall(magic + mine)
    challenge = recv_exact(s, 64, 6, short_ok=True)
    if len(challenge) < 64:
        return False, challenge
    theirs, their_proof = challenge[:32], challenge[32:]
    proven = proof_holds("server", token, magic, mine, theirs, their_proof)
    ours = their_proof if replay else prove("client", proof_token or token, magic, mine, theirs)
    s.sendall(ours + (after_proof or b""))
    return proven, challenge


HANDSHAKE = frame(4, struct.pack("<ii", 3, 6) + "Python".encode("utf-16-le"))


class Relay:
    """A serve-terminal process, its token on standard input; its log goes to a file
    (which may hold bytes already: `log_before`). `token_env` sets the variable that
    carried the token once."""

    def __init__(self, token=None, idle=600, args=None, stdin=None, token_env=None, log_before=b""):
        self.token = token
        self.log = Path(tempfile.mkstemp(prefix="relay-log.")[1])
        self.log.write_bytes(log_before)
        env = dict(os.environ)
        env.pop("ORBISYN_RELAY_TOKEN", None)
        if token_env is not None:
            env["ORBISYN_RELAY_TOKEN"] = token_env
        argv = [r.WINE, RELAY_WIN, "serve-terminal"]
        # As the module starts it: the log named, and standard error appended to it too.
        argv += args if args is not None else ["--idle-exit", str(idle), "--log", str(self.log)]
        with open(self.log, "ab") as log:
            # Only the first line is read: Wine's helpers may keep standard output open.
            self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=log, env=env)
        if stdin is None:
            stdin = (token + "\n").encode() if token is not None else b""
        self.proc.stdin.write(stdin)
        self.proc.stdin.close()
        self.port = None
        line = self._first_line(30)
        if line.startswith("port="):
            self.port = int(line[5:])
        self.first_line = line

    def _first_line(self, seconds):
        got = []
        t = threading.Thread(target=lambda: got.append(self.proc.stdout.readline()), daemon=True)
        t.start()
        t.join(seconds)
        return got[0].decode("ascii", "replace").rstrip("\n") if got else ""

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    def open(self, path, flags=0):
        """A client past the handshake; returns (socket, result, text)."""
        s = self.connect()
        proven, _ = greet(s, bytes.fromhex(self.token), path_fields(path, flags))
        if not proven:
            return s, None, "the relay did not prove the token"
        head = recv_exact(s, 8, 90, short_ok=True)
        if len(head) < 8:
            return s, None, f"no reply ({len(head)} bytes)"
        result, n = struct.unpack("<iI", head)
        return s, result, recv_exact(s, 2 * n, 10, short_ok=True).decode("utf-16-le", "replace")

    def log_text(self):
        return self.log.read_text("utf-8", "replace")

    def threads(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/task"))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.log.unlink(missing_ok=True)


class Scripted:
    """relay_driver serve: the scripted Terminal pipe of a path."""

    def __init__(self, path):
        self.path = path
        self.out = Path(tempfile.mkstemp(prefix="scripted.")[1])
        with open(self.out, "wb") as out:
            self.proc = subprocess.Popen([r.WINE, DRIVER_WIN, "serve", r.pipe_name(r.final(path))],
                                         stdout=out, stderr=subprocess.STDOUT)
        self.wait_for("ready", 30)

    def lines(self):
        return self.out.read_text("utf-8", "replace").splitlines()

    def accepted(self):
        return sum(1 for line in self.lines() if line.startswith("accepted "))

    def wait_for(self, line, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if line in self.lines():
                return True
            time.sleep(0.02)
        return False

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.out.unlink(missing_ok=True)


def op(code, n=0, seed=0):
    return struct.pack("<III", code, n, seed)


# ---- serve-terminal ---------------------------------------------------------------------------

def serve_terminal():
    tests = r.unix(r"C:\orbisyn-tests\relay")
    tests.mkdir(parents=True, exist_ok=True)
    path = r"C:\orbisyn-tests\relay\scripted\terminal64.exe"
    r.unix(path).parent.mkdir(parents=True, exist_ok=True)
    r.unix(path).write_bytes(b"not a program")  # its pipe is served: nothing is started
    token = token_hex()
    relay = Relay(token)
    scripted = Scripted(path)
    try:
        r.report("relay-announces-its-port", relay.port is not None, repr(relay.first_line))
        if relay.port is None:
            return
        transfers(relay, scripted)
        closes(relay, scripted)
        refusals(relay, scripted, token)
        launches(relay)
        flood_lines(relay)
        log = relay.log_text()
        r.report("relay-log-never-shows-the-token",
                 "wrong proof" in log and token not in log.lower(), log[-3000:])
    finally:
        relay.stop()
        scripted.stop()


def transfers(relay, scripted):
    s, result, text = relay.open(scripted.path)
    r.report("relay-opens-the-pipe", result == 0 and text == "", f"{result} {text!r}")
    if result != 0:
        s.close()
        return
    small = b"hello"
    s.sendall(op(1, len(small)) + small)
    r.report("relay-small-echo", recv_exact(s, len(small), 10, short_ok=True) == small)
    big = secrets.token_bytes(3 << 20)
    s.sendall(op(1, len(big)) + big)
    r.report("relay-3-MB-both-ways-intact", recv_exact(s, len(big), 60, short_ok=True) == big)
    n = 8 << 20
    s.sendall(op(2, n, 17))
    r.report("relay-8-MB-from-the-pipe-intact", recv_exact(s, n, 60, short_ok=True) == pattern(n, 17))
    blob = secrets.token_bytes(5 << 20)
    s.sendall(op(4, len(blob)) + blob)
    r.report("relay-5-MB-to-the-pipe-intact",
             recv_exact(s, 32, 60, short_ok=True) == hashlib.sha256(blob).digest())
    s.close()


def closes(relay, scripted):
    # The pipe side closes after its reply: the client gets every byte, then the end.
    s, result, _ = relay.open(scripted.path)
    n = 300_000
    s.sendall(op(3, n, 5))
    got = recv_exact(s, n, 30, short_ok=True)
    t0 = time.monotonic()
    ended = ends_within(s, 5)
    took = time.monotonic() - t0
    r.report("relay-pipe-close-reaches-the-client-at-once",
             result == 0 and got == pattern(n, 5) and ended and took < 1.0,
             f"result {result}, {len(got)} bytes, ended {ended} after {took:.2f} s")
    s.close()
    # The same while the client still sends: its bytes are dropped, the reply is whole and
    # the stream ends (no reset that would throw away what the client has not read yet).
    s, result, _ = relay.open(scripted.path)
    why = ""
    try:
        s.sendall(op(3, n, 6) + op(1, 200_000))
        time.sleep(0.5)  # the reply and the end are there before the client reads
        s.sendall(bytes(200_000))
    except OSError as e:
        why = f"send: {e!r}"
    got = recv_exact(s, n, 30, short_ok=True)  # short when the connection was reset
    s.settimeout(5)
    try:
        ended = s.recv(1) == b""
    except OSError as e:
        ended, why = False, why + repr(e)
    r.report("relay-pipe-close-while-the-client-sends",
             result == 0 and got == pattern(n, 6) and ended,
             f"result {result}, {len(got)} bytes, ended {ended} {why}")
    s.close()
    # The client goes: the pipe server sees its client go.
    s, result, _ = relay.open(scripted.path)
    s.sendall(op(5))
    pinged = len(recv_exact(s, 16, 10, short_ok=True)) == 16
    gone = f"gone {scripted.accepted()}"
    s.close()
    t0 = time.monotonic()
    seen = scripted.wait_for(gone, 5)
    took = time.monotonic() - t0
    r.report("relay-client-close-reaches-the-pipe-at-once",
             result == 0 and pinged and seen and took < 1.0,
             f"result {result}, pinged {pinged}, '{gone}' seen {seen} after {took:.2f} s")
    # A client that goes while the pipe server is still writing a large reply: the relay
    # may be anywhere in its send then (a hang here showed one time in five).
    freed = 0
    for _ in range(10):
        s, result, _ = relay.open(scripted.path)
        s.sendall(op(2, 64 << 20, 1))
        recv_exact(s, 1 << 20, 10, short_ok=True)
        gone = f"gone {scripted.accepted()}"
        s.close()
        if not scripted.wait_for(gone, 5):
            break
        freed += 1
    r.report("relay-client-gone-mid-reply-frees-the-pipe", freed == 10,
             f"{freed} of 10 freed: {scripted.lines()[-3:]}")


def refusals(relay, scripted, token):
    good = bytes.fromhex(token)
    wrong = bytearray(good)
    wrong[31] ^= 1
    wrong = bytes(wrong)
    path = scripted.path

    def proven(after=b"", **kw):
        return lambda s: greet(s, good, after, **kw)

    def send(data):
        def act(s):
            if data:
                s.sendall(data)
            return None, b""
        return act

    def old(s):
        # Its token is taken for a nonce: a challenge comes back, and the rest fails the proof.
        s.sendall(old_hello(path, good))
        challenge = recv_exact(s, 64, 6, short_ok=True)
        return proof_holds("server", good, b"ORBR", good, challenge[:32], challenge[32:]), challenge

    cases = [  # (name, what the client does, the relay proves itself first, the drop comes at the 2 s limit)
        ("wrong-magic", send(b"ORBS" + bytes(32)), None, False),
        ("the-old-hello-with-the-token", old, True, False),
        ("wrong-proof", proven(path_fields(path), proof_token=wrong), True, False),
        ("its-own-proof-sent-back", proven(path_fields(path), replay=True), True, False),
        ("unknown-flag", proven(path_fields(path, flags=2)), True, False),
        ("empty-path", proven(path_fields("")), True, False),
        ("path-of-261-units", proven(path_fields("C:\\" + "x" * 258)), True, False),
        ("nul-inside-path", proven(path_fields(path[:5] + "\0" + path[6:])), True, False),
        ("nothing-sent", send(b""), None, True),
        ("slow-hello", send(b"ORBR" + bytes(20)), None, True),
        ("hello-without-proof", proven(None), True, True),
        ("path-shorter-than-announced", proven(path_fields(path, units=len(path) + 4)), True, True),
    ]
    before = scripted.accepted()
    for name, act, relay_proves, at_limit in cases:
        s = relay.connect()
        t0 = time.monotonic()
        proved, _ = act(s)
        s.settimeout(6)
        try:
            answer = s.recv(64)
        except ConnectionResetError:
            answer = b""  # dropped with bytes of ours unread: an end as good as any
        except (socket.timeout, OSError):
            answer = b"(no end)"
        took = time.monotonic() - t0
        s.close()
        timing = 1.5 <= took < 4.5 if at_limit else took < 1.5
        r.report(f"relay-drops-{name}", answer == b"" and timing and proved is relay_proves,
                 f"answer {answer!r} after {took:.2f} s, the relay proved itself: {proved}")
    # The same, 50 at once, while a good client goes through at once.
    idle = [relay.connect() for _ in range(50)]
    threads = relay.threads()
    t0 = time.monotonic()
    s, result, text = relay.open(path)
    s.sendall(op(5))
    served = len(recv_exact(s, 16, 10, short_ok=True)) == 16
    took = time.monotonic() - t0
    s.close()
    r.report("relay-serves-beside-50-idle-connections", result == 0 and served and took < 1.5,
             f"{result} {text!r}, served {served} in {took:.2f} s")
    dropped = sum(ends_within(c, 6) for c in idle)
    for c in idle:
        c.close()
    r.report("relay-drops-the-50-idle-connections", dropped == 50, f"{dropped} dropped")
    time.sleep(0.3)
    r.report("relay-refused-clients-never-reach-the-pipe", scripted.accepted() == before + 1,
             f"{scripted.accepted() - before} pipe clients, want 1 (the good one)")
    # Unfinished handshakes cost no thread each, and past 64 the oldest go first.
    base = relay.threads()
    idle = [relay.connect() for _ in range(80)]
    time.sleep(0.5)
    more = relay.threads() - base
    early = [ends_within(c, 0.01) for c in idle]
    r.report("relay-unfinished-handshakes-share-one-thread", more <= 2 and threads - base <= 2,
             f"{more} threads more for 80 waiting, {threads - base} for 50")
    r.report("relay-drops-the-oldest-of-80-unfinished-handshakes",
             early == [True] * 16 + [False] * 64, "".join(".x"[e] for e in early))
    for c in idle:
        c.close()


def flood_lines(relay):
    """Strangers by the hundred: a line for each of the first few in every 10 s, then one
    line that counts the rest."""
    before = len(relay.log_text().splitlines())

    def fresh():
        return relay.log_text().splitlines()[before:]

    def counted():
        return sum(int(line.split("]: ", 1)[1].split()[0]) for line in fresh()
                   if "more clients dropped in" in line)

    for _ in range(300):
        c = relay.connect()
        c.sendall(b"GET / HTTP/1.0\r\n\r\n")
        c.close()
    # The window that saw the last of them closes within 10 s.
    wait_until(lambda: sum("dropped: " in line for line in fresh()) + counted() >= 300, 25)
    shown = sum("dropped: " in line for line in fresh())
    r.report("relay-lines-about-dropped-clients-are-few", shown <= 20,
             f"{shown} lines for 300 clients: {fresh()[-5:]}")
    r.report("relay-counts-the-clients-it-did-not-show", shown + counted() >= 300,
             f"{shown} shown, {counted()} counted: {fresh()[-3:]}")


def launches(relay):
    for portable in (0, 1):
        where = rf"C:\orbisyn-tests\relay\Läunch {portable}"
        exe = where + r"\terminal64.exe"
        build = 8100 + portable
        r.place_terminal(where, serve_as=r.pipe_name(r.final(exe)), delay_ms=700, build=build)
        t0 = time.monotonic()
        s, result, text = relay.open(exe, flags=portable)
        took = time.monotonic() - t0
        s.sendall(HANDSHAKE)
        reply = recv_exact(s, 16, 10, short_ok=True)
        ok = result == 0 and reply == struct.pack("<Iiii", 12, 4, 0, build) and 0.5 <= took < 15
        r.report(f"relay-starts-the-terminal-portable-{portable}", ok,
                 f"{result} {text!r} after {took:.2f} s, reply {reply.hex()}")
        s.close()
        record = r.launch_record(where)
        line = record[0] if record else ""
        want = f'"{exe}" /portable' if portable else exe
        r.report(f"relay-launch-portable-{portable}-as-the-session-does",
                 (line if portable else line.strip('"')) == want
                 and record[1:] == ["no-std-handles", "no-token"],
                 repr(record))
    missing = r"C:\orbisyn-tests\relay\nowhere\terminal64.exe"
    s, result, text = relay.open(missing)
    ended = ends_within(s, 3)
    s.close()
    r.report("relay-failure-reply-carries-the-setup-text",
             result == -10003 and text == f"Process create failed '{missing}': no such file" and ended,
             f"{result} {text!r}, ended {ended}")


def token_and_idle():
    good = token_hex()
    for name, stdin, env in [("missing", b"", None), ("short", good[:62].encode(), None),
                             ("not-hex", b"g" * 64, None), ("too-long", (good + "00\n").encode(), None),
                             ("two-lines", (good + "\n" + good + "\n").encode(), None),
                             ("only-in-the-environment", b"", good)]:
        relay = Relay(stdin=stdin, token_env=env)
        try:
            code = relay.proc.wait(20)
        except subprocess.TimeoutExpired:
            code = None
        log = relay.log_text()
        r.report(f"relay-refuses-to-start-with-token-{name}",
                 code == 2 and relay.port is None and "no valid token" in log and good not in log,
                 f"exit {code}: {log}")
        relay.stop()
    # One relay per prefix and user; the token without its line end is a token too.
    first = Relay(stdin=good.encode())
    try:
        second = Relay(token_hex())
        try:
            code = second.proc.wait(20)
        except subprocess.TimeoutExpired:
            code = None
        log = second.log_text()
        second.stop()
        r.report("relay-second-in-the-prefix-exits-3",
                 first.port is not None and code == 3 and second.port is None
                 and "another serve-terminal relay runs" in log, f"first {first.first_line!r}, exit {code}: {log}")
    finally:
        first.stop()
    # A log past its cap is emptied, with a note, by the relay that writes it.
    relay = Relay(token_hex(), log_before=(b"x" * 1023 + b"\n") * 1100)
    try:
        listening = wait_until(lambda: "listening on" in relay.log_text(), 10)
        size = relay.log.stat().st_size
        log = relay.log_text()
        r.report("relay-empties-a-log-past-1-MiB", listening and size < 4096
                 and "log emptied: it had reached 1126400 bytes" in log, f"{size} bytes: {log[:300]!r}")
    finally:
        relay.stop()
    relay = Relay(token_hex(), args=["--idle-exit", "abc"])
    try:
        code = relay.proc.wait(20)
    except subprocess.TimeoutExpired:
        code = None
    r.report("relay-refuses-a-bad-idle-time", code == 2 and relay.port is None, f"exit {code}")
    relay.stop()
    # Idle for 1 s: a connected client keeps it, its going starts the count.
    relay = Relay(token_hex(), idle=1)
    try:
        c = relay.connect()
        time.sleep(2.5)
        alive = relay.proc.poll() is None
        c.close()
        t0 = time.monotonic()
        try:
            code = relay.proc.wait(10)
        except subprocess.TimeoutExpired:
            code = None
        took = time.monotonic() - t0
        r.report("relay-exits-when-idle", alive and code == 0 and took < 6,
                 f"alive while connected {alive}, exit {code} after {took:.1f} s")
    finally:
        relay.stop()


# ---- the pipe server for a simulated Terminal --------------------------------------------------

class Installed:
    """The relay installed as a simulated Terminal's terminal64.exe, with its ini file."""

    def __init__(self, name, **settings):
        self.win_dir = rf"C:\orbisyn-tests\relay\sim {name}"
        self.dir = r.unix(self.win_dir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.exe = self.win_dir + r"\terminal64.exe"
        shutil.copy(r.BUILD.parent.parent / "src" / "relay" / "orbisyn-relay.exe",
                    self.dir / "terminal64.exe")
        self.work = Path(tempfile.mkdtemp(prefix="fake-sim."))
        self.endpoint = self.work / "endpoint.txt"
        self.log = self.work / "relay.log"
        lines = {"endpoint": "Z:" + str(self.endpoint).replace("/", "\\"),
                 "log": "Z:" + str(self.log).replace("/", "\\"), "instances": "2", **settings}
        (self.dir / "orbisyn-relay.ini").write_text(
            "".join(f"{k}={v}\n" for k, v in lines.items() if v is not None), encoding="utf-8")
        self.name = r.pipe_name(r.final(self.exe))

    def run(self, *args):
        """The relay started as the Windows session would start it, but watched from here."""
        return subprocess.Popen([r.WINE, self.exe, *args], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def pipe_exists(self):
        _, got, _ = r.wine(DRIVER_WIN, "probe", self.name)
        return got.get("exists") == "1"

    def session(self, records=0, timeout=90):
        return r.wine(DRIVER_WIN, "session", self.exe, str(records), timeout=timeout)

    def log_text(self):
        return self.log.read_text("utf-8", "replace") if self.log.exists() else "(no log)"

    def remove(self):
        shutil.rmtree(self.work, ignore_errors=True)


def wait_until(check, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if check():
            return True
        time.sleep(0.05)
    return check()


def pipe_server():
    inst = Installed("a")
    sim = FakeSim(inst.endpoint, build=5150, records=5000)
    holders = []
    try:
        # Nothing serves the pipe: the session starts terminal64.exe (the relay), which
        # serves it once the simulated Terminal answers.
        code, got, text = inst.session(records=5000)
        r.report("pipe-server-session-through-the-relay",
                 got.get("result") == "0" and got.get("build") == "5150"
                 and got.get("array") == "0 intact", text + inst.log_text())
        good, bad, _ = sim.counts()
        heard = sim.heard_so_far()
        # the watch connection and the session's own: hello and proof, never the token
        r.report("pipe-server-handshakes-prove-the-token",
                 good == 2 and bad == 0 and all(len(h) == 36 + 32 and sim.token not in h for h in heard),
                 f"{good} good, {bad} bad, heard {[len(h) for h in heard]}")
        r.report("pipe-server-session-close-reaches-the-simulated-terminal",
                 wait_until(lambda: sim.counts()[2] == 1, 1.5), repr(sim.counts()))

        # Both instances taken: the next session waits for one.
        for _ in range(2):
            out = tempfile.TemporaryFile()
            holders.append((subprocess.Popen([r.WINE, DRIVER_WIN, "hold", inst.exe, "3000"],
                                             stdout=out, stderr=subprocess.STDOUT), out))

        def held():
            count = 0
            for _, out in holders:
                out.seek(0)
                count += b"held result=0" in out.read()
            return count == 2
        both = wait_until(held, 30)
        t0 = time.monotonic()
        code, got, text = inst.session()
        took = time.monotonic() - t0
        r.report("pipe-server-busy-pipe-waits-for-an-instance",
                 both and got.get("result") == "0" and 1.0 <= took < 20,
                 f"holders connected {both}; {took:.2f} s: {text}")
        for proc, out in holders:
            proc.wait(30)
            out.close()
        holders.clear()

        # A second copy leaves the pipe to the first.
        second = inst.run()
        code = exit_code(second, 20)
        code2, got, text = inst.session()
        r.report("pipe-server-second-copy-exits-0", code == 0 and got.get("result") == "0",
                 f"exit {code}; then {text}")

        # The simulated Terminal goes: the relay exits and the pipe goes with it.
        sim.stop()
        r.report("pipe-server-goes-with-the-simulated-terminal",
                 wait_until(lambda: not inst.pipe_exists(), 10), inst.log_text())
    finally:
        for proc, out in holders:
            proc.kill()
            out.close()
        sim.stop()
        inst.remove()

    # The same, watched from here: the exit status when the simulated Terminal goes.
    inst = Installed("b")
    sim = FakeSim(inst.endpoint, build=5151)
    try:
        proc = inst.run("/portable")
        up = wait_until(inst.pipe_exists, 20)
        sim.stop()
        code = exit_code(proc, 10)
        r.report("pipe-server-exits-0-when-the-watch-closes",
                 up and code == 0 and not inst.pipe_exists(),
                 f"pipe up {up}, exit {code}: {inst.log_text()}")
    finally:
        sim.stop()
        inst.remove()

    # No simulated Terminal and no way to start one: no pipe, exit 1.
    inst = Installed("c")
    try:
        proc = inst.run()
        code = exit_code(proc, 20)
        r.report("pipe-server-without-endpoint-or-start-exits-1",
                 code == 1 and not inst.pipe_exists(), f"exit {code}: {inst.log_text()}")
    finally:
        inst.remove()

    # start=: a Unix shell script (run natively by Wine) starts the simulated Terminal.
    work = Path(tempfile.mkdtemp(prefix="fake-sim-start."))
    script = work / "start.sh"
    stop = work / "stop"
    inst = Installed("d", start=f"Z:\\bin\\sh {script}")
    script.write_text(
        "#!/bin/sh\n"
        f"exec '{sys.executable}' '{HERE / 'fake_sim.py'}' '{inst.endpoint}' 6161 '{stop}' "
        f"</dev/null >'{work / 'sim.log'}' 2>&1\n")
    try:
        code, got, text = inst.session()
        r.report("pipe-server-starts-the-simulated-terminal",
                 got.get("result") == "0" and got.get("build") == "6161",
                 text + inst.log_text())
        stop.touch()
        r.report("pipe-server-started-terminal-going-takes-the-pipe",
                 wait_until(lambda: not inst.pipe_exists(), 10), inst.log_text())
    finally:
        stop.touch()
        inst.remove()
        shutil.rmtree(work, ignore_errors=True)


def stale_endpoints():
    """An endpoint left by a simulated Terminal that died, its port taken by a stranger (or by
    nobody): the relay gives the stranger its hello only, runs start= once and reaches the
    fresh one the start publishes, all in a few seconds."""
    work = Path(tempfile.mkdtemp(prefix="fake-sim-stale."))
    try:
        for mode in ("wrong-proof", "silent", "close", "nobody"):
            stop, starts = work / f"stop-{mode}", work / f"starts-{mode}"
            script = work / f"start-{mode}.sh"
            inst = Installed(f"stale {mode}", start=f"Z:\\bin\\sh {script}")
            script.write_text(
                "#!/bin/sh\n"
                f"exec '{sys.executable}' '{HERE / 'fake_sim.py'}' '{inst.endpoint}' 6262 '{stop}' "
                f"'{starts}' </dev/null >'{work / 'sim.log'}' 2>&1\n")
            stranger = FakeSim(inst.endpoint, mode="silent" if mode == "nobody" else mode)
            if mode == "nobody":
                stranger.stop()  # the port is free again, the endpoint file stays
            try:
                t0 = time.monotonic()
                code, got, text = inst.session()
                took = time.monotonic() - t0
                ran = starts.read_text().split() if starts.exists() else []
                heard = stranger.heard_so_far()
                r.report(f"pipe-server-past-a-stale-endpoint-{mode}",
                         got.get("result") == "0" and got.get("build") == "6262" and len(ran) == 1
                         and took < 20 and "stale" in inst.log_text(),
                         f"{took:.1f} s, start= ran {len(ran)} times: {text}{inst.log_text()}")
                r.report(f"pipe-server-stale-{mode}-hears-only-hellos",
                         all(len(h) <= 36 and stranger.token not in h for h in heard)
                         and (mode in ("close", "nobody") or len(heard) >= 1),
                         repr([h[:40].hex() for h in heard]))
            finally:
                stop.touch()
                stranger.stop()
                wait_until(lambda: not inst.pipe_exists(), 10)
                inst.remove()

        # No start=: a stale endpoint is no reason to wait; exit 1 at once, no pipe.
        inst = Installed("stale no start")
        stranger = FakeSim(inst.endpoint, mode="silent")
        try:
            t0 = time.monotonic()
            proc = inst.run()
            code = exit_code(proc, 20)
            took = time.monotonic() - t0
            r.report("pipe-server-stale-endpoint-without-start-exits-1",
                     code == 1 and took < 8 and not inst.pipe_exists()
                     and "did not answer the hello within 2 s" in inst.log_text(),
                     f"exit {code} after {took:.1f} s: {inst.log_text()}")
        finally:
            stranger.stop()
            inst.remove()
    finally:
        shutil.rmtree(work, ignore_errors=True)


def real_simulator():
    """The Windows session and the core's exchanges against the real simulated Terminal,
    installed into this prefix with `orbisyn-terminal install --wine`: through the pipe that
    the relay (its terminal64.exe) serves, which starts the simulated Terminal itself."""
    python = os.environ.get("ORBISYN_PYTHON")
    if not python:
        r.report("real-simulator-through-the-relay", False,
                 "ORBISYN_PYTHON (a Python that imports orbisyn) is not set")
        return
    prefix = os.environ["WINEPREFIX"]
    work = Path(tempfile.mkdtemp(prefix="real-sim."))
    sim = [python, "-m", "orbisyn.simulator"]
    date, count = 1719576000, 100000  # 2024-06-28 12:00 UTC
    with private_folders(work / "data"):
        try:
            real_simulator_road(python, prefix, sim, date, count)
        finally:
            subprocess.run(sim + ["stop", "--wine", prefix], capture_output=True, text=True,
                           env=relay_env())
            shutil.rmtree(work, ignore_errors=True)


def relay_env():
    """This environment, with the relay built here for the simulated Terminal's install."""
    return dict(os.environ, ORBISYN_RELAY=str(r.BUILD.parent.parent / "src" / "relay" / "orbisyn-relay.exe"))


def real_simulator_road(python, prefix, sim, date, count):
    done = subprocess.run(sim + ["install", "--wine", prefix], capture_output=True, text=True,
                          env=relay_env())
    if done.returncode != 0:
        r.report("real-simulator-through-the-relay", False, done.stdout + done.stderr)
        return
    code, got, text = r.wine(DRIVER_WIN, "terminal",
                             r"C:\Program Files\Orbisyn Simulated Terminal\terminal64.exe",
                             str(date), str(count), timeout=120)
    # The same bars straight from the simulated Terminal's own socket, from Linux.
    expected = subprocess.run([python, "-c",
        "import hashlib\n"
        "from orbisyn.simulator.hosting import relayed\n"
        "from orbisyn.simulator.serving.client import RawClient\n"
        f"data = relayed.find_wine({prefix!r})['data_dir']\n"
        "with RawClient.loopback(data) as c:\n"
        f"    status, bars = c.rates_from('BTCUSD', 1, {date}, {count})\n"
        "print(len(bars), hashlib.sha256(bars.tobytes()).hexdigest())\n"],
        capture_output=True, text=True, env=relay_env()).stdout.strip()
    r.report("real-simulator-session-through-the-relay",
             got.get("result") == "0" and got.get("ready") == "1"
             and got.get("version", "").startswith("500/") and got.get("login") == "5001001", text)
    r.report("real-simulator-bars-as-its-own-socket-gives-them",
             got.get("bars") == expected and expected.startswith(f"{count} "),
             f"windows {got.get('bars')}, linux {expected}")
    r.report("real-simulator-trade-through-the-relay",
             got.get("retcode") == "10009" and int(got.get("positions", "0")) >= 1, text)


def imports():
    exe = r.BUILD.parent.parent / "src" / "relay" / "orbisyn-relay.exe"
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(exe)], capture_output=True,
                          text=True, check=True).stdout
    dlls = {line.split(":", 1)[1].strip().lower()
            for line in dump.splitlines() if "DLL Name:" in line}
    system = {"kernel32.dll", "advapi32.dll", "bcrypt.dll", "user32.dll", "shell32.dll", "ole32.dll",
              "msvcrt.dll", "ws2_32.dll"}
    r.report("relay-needs-only-windows", dlls <= system and "ws2_32.dll" in dlls,
             repr(sorted(dlls)))


def cases(run_module):
    global r
    r = run_module
    tests = r.DRIVE_C / "orbisyn-tests"
    shutil.copy(r.BUILD.parent.parent / "src" / "relay" / "orbisyn-relay.exe",
                tests / "orbisyn-relay.exe")
    shutil.copy(r.BUILD / "relay_driver.exe", tests / "relay_driver.exe")
    return [imports, serve_terminal, token_and_idle, pipe_server, stale_endpoints, real_simulator]
