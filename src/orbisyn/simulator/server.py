"""The simulated Terminal's server: socket life cycle and command handlers.

One thread per client; every request gets exactly one reply, in order.  Bar
and tick replies go out as zero-copy views of numpy arrays.
"""
from __future__ import annotations

import dataclasses
import errno
import fcntl
import logging
import os
import signal
import socket
import struct
import sys
import threading
import time
from typing import Any, Callable

import numpy as np

from .. import _paths
from . import install as _install
from . import protocol as P
from .engine import TradingEngine
from .market import VALID_TIMEFRAMES, Market, SymbolSpec
from .masks import group_match

log = logging.getLogger("orbisyn.simulator")

@dataclasses.dataclass
class Connection:
    books: set = dataclasses.field(default_factory=set)


class Terminal:
    """Command handlers and the Terminal's session state (shared by all clients)."""

    def __init__(self, data_dir: str, exe_path: str, settings: dict | None = None, clock=None):
        self.data_dir = data_dir
        self.exe_path = exe_path
        self.install_dir = os.path.dirname(os.path.abspath(exe_path))
        self.settings = settings if settings is not None else _install.load_settings(data_dir)
        s = self.settings
        self.build = int(s["build"])
        self.maxbars = int(s.get("maxbars", 5_000_000))
        self.max_ticks = int(s.get("max_ticks", 10_000_000))
        self.market = Market(seed=int(s.get("seed", 1)), history_start=s.get("history_start", "2015-01-01"),
                             history_dir=os.path.join(data_dir, "history"), clock=clock)
        self.selected = set(s.get("symbols", {}).get("selected", []))
        self.lock = threading.RLock()
        self.engine = TradingEngine(data_dir, s, self.market)
        self.login_id: int | None = None
        self.state = P.STATE_CONNECTING
        self.ready_at = 0.0
        self._static: dict[str, dict[str, Any]] = {}
        start = s.get("current_login") or (s["accounts"][0]["login"] if s.get("accounts") else None)
        if start is not None and self._account(int(start)) is not None:
            self._connect(int(start))
        else:
            self.state = P.STATE_AUTH_FAILED
        self.handlers: dict[int, Callable] = {
            P.CMD_VERSION: self.cmd_version, P.CMD_HANDSHAKE: self.cmd_handshake,
            P.CMD_LOGIN: self.cmd_login, P.CMD_STATE: self.cmd_state,
            P.CMD_TICKS_FROM: self.cmd_ticks_from, P.CMD_TICKS_RANGE: self.cmd_ticks_range,
            P.CMD_RATES_FROM: self.cmd_rates_from, P.CMD_RATES_RANGE: self.cmd_rates_range,
            P.CMD_RATES_FROM_POS: self.cmd_rates_from_pos,
            P.CMD_SYMBOL_INFO: self.cmd_symbol_info, P.CMD_SYMBOL_SELECT: self.cmd_symbol_select,
            P.CMD_SYMBOL_TICK: self.cmd_symbol_tick, P.CMD_TERMINAL_INFO: self.cmd_terminal_info,
            P.CMD_ACCOUNT_INFO: self.cmd_account_info, P.CMD_BOOK_ADD: self.cmd_book_add,
            P.CMD_BOOK_RELEASE: self.cmd_book_release, P.CMD_BOOK_GET: self.cmd_book_get,
        }
        if self.build >= P.SYMBOL_NAME_BUILD:
            self.handlers.update({P.CMD_SYMBOLS_TOTAL: self.cmd_symbols_total,
                                  P.CMD_SYMBOLS_ALL: self.cmd_symbols_all,
                                  P.CMD_SYMBOLS_GROUP: self.cmd_symbols_group})

    # ---- session -------------------------------------------------------------------------
    def _account(self, login: int) -> dict | None:
        for acc in self.settings.get("accounts", []):
            if int(acc.get("login", 0)) == login:
                return acc
        return None

    def _connect(self, login: int) -> None:
        self.login_id = login
        self.state = P.STATE_CONNECTING
        self.ready_at = time.monotonic() + int(self.settings.get("connect_delay_ms", 500)) / 1000.0
        self.engine.login(login)

    def current_state(self) -> int:
        if self.state == P.STATE_CONNECTING and time.monotonic() >= self.ready_at:
            self.state = P.STATE_READY
        return self.state

    def dispatch(self, command: int, payload: memoryview, conn: Connection):
        if command in P.ENGINE_COMMANDS:
            with self.lock:
                try:
                    status, body = self.engine.handle(command, bytes(payload))
                except Exception:
                    log.exception("engine failed on command %d", command)
                    return P.reply(command, P.E_FAIL)
            return P.reply(command, int(status), bytes(body) if status >= 0 else b"")
        handler = self.handlers.get(command)
        if handler is None:
            return P.reply(command, P.E_UNSUPPORTED)
        try:
            return handler(command, P.Payload(payload), conn)
        except P.BadRequest as exc:
            log.info("bad request for command %d: %s", command, exc)
            return P.reply(command, P.E_PARAMS)
        except Exception:
            log.exception("command %d failed", command)
            return P.reply(command, P.E_FAIL)

    def cmd_version(self, cmd, p, conn):
        p.i32()
        p.end()
        body = struct.pack("<ii", int(self.settings.get("version", _install.VERSION)), self.build)
        # Status 1: the client only takes the figures from a positive status.
        return P.reply(cmd, P.OK_RECORD, body + P.pack_text(str(self.settings.get("build_date", ""))))

    def cmd_handshake(self, cmd, p, conn):
        p.i32()
        client = p.text()
        p.end()
        log.debug("handshake from %r", client)
        return P.reply(cmd, P.OK, struct.pack("<i", self.build))

    def cmd_login(self, cmd, p, conn):
        p.i32()
        login = p.u64()
        password = p.text()
        server = p.text()
        p.end()
        with self.lock:
            if login == 0 and self.login_id is not None:
                login = self.login_id
            acc = self._account(login)
            if acc is not None and acc.get("otp"):
                log.info("login %d refused: one-time password needed", login)
                return P.reply(cmd, P.E_UNSUPPORTED)
            if (acc is None or password != acc.get("password", "")
                    or (server and server.lower() != str(acc.get("server", "")).lower())):
                log.info("login %d: authorization failed", login)
                self.login_id = None
                self.state = P.STATE_AUTH_FAILED
                return P.reply(cmd, P.OK)
            self._connect(login)
            log.info("login %d accepted", login)
            if self.settings.get("current_login") != login:
                self.settings["current_login"] = login
                self._save()
            try:
                _install.touch_last_used(self.data_dir, login)
            except OSError:
                pass
        return P.reply(cmd, P.OK)

    def cmd_state(self, cmd, p, conn):
        p.end()
        return P.reply(cmd, P.OK, struct.pack("<i", self.current_state()))

    def _save(self) -> None:
        try:
            self.settings.setdefault("symbols", {})["selected"] = sorted(self.selected)
            _install.save_settings(self.data_dir, self.settings)
        except OSError:
            log.exception("could not save settings")

    # ---- market data ---------------------------------------------------------------------
    def _spec(self, name: str) -> SymbolSpec | None:
        return self.market.symbol(name)

    def _array_reply(self, cmd: int, segments: list, itemsize: int) -> list:
        count = sum(len(s) for s in segments)
        parts: list = [P.array_reply_head(cmd, P.OK, count, count * itemsize)]
        parts.extend(s.view(np.uint8) for s in segments if len(s))
        return parts

    def _bars_reply(self, cmd, segments):
        if sum(len(s) for s in segments) > self.maxbars:
            return P.reply(cmd, P.E_MEMORY)
        return self._array_reply(cmd, segments, P.BAR_DTYPE.itemsize)

    def _tf(self, tf: int) -> int:
        if tf not in VALID_TIMEFRAMES:
            raise P.BadRequest(f"unknown timeframe {tf}")
        return tf

    def cmd_rates_from(self, cmd, p, conn):
        name, tf, date, count = p.text(), p.i32(), p.i64(), p.i32()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        if count < 0:
            raise P.BadRequest("negative count")
        count = min(count, self.maxbars)
        return self._bars_reply(cmd, self.market.bars_before(name, self._tf(tf), date, count))

    def cmd_rates_range(self, cmd, p, conn):
        name, tf, date_from, date_to = p.text(), p.i32(), p.i64(), p.i64()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        return self._bars_reply(cmd, self.market.bars_range(name, self._tf(tf), date_from, date_to))

    def cmd_rates_from_pos(self, cmd, p, conn):
        name, tf, start, count = p.text(), p.i32(), p.i32(), p.i32()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        if start < 0 or count < 0:
            raise P.BadRequest("negative position or count")
        count = min(count, self.maxbars)
        return self._bars_reply(cmd, self.market.bars_from_pos(name, self._tf(tf), start, count))

    @staticmethod
    def _wants_info_ticks(flags: int) -> bool:
        # All simulated ticks are bid/ask changes; none carries a trade.
        return flags == -1 or bool(flags & 1)

    def cmd_ticks_from(self, cmd, p, conn):
        name, from_ms, count, flags = p.text(), p.i64(), p.i32(), p.i32()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        if count < 0:
            raise P.BadRequest("negative count")
        count = min(count, self.max_ticks)
        if count == 0 or not self._wants_info_ticks(flags):
            return self._array_reply(cmd, [], 60)
        ticks = self.market.tick_array_between(name, from_ms, 1 << 62, limit=count)
        return self._array_reply(cmd, [ticks], 60)

    def cmd_ticks_range(self, cmd, p, conn):
        name, from_ms, to_ms, flags = p.text(), p.i64(), p.i64(), p.i32()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        if not self._wants_info_ticks(flags):
            return self._array_reply(cmd, [], 60)
        ticks = self.market.tick_array_between(name, from_ms, to_ms, limit=self.max_ticks + 1)
        if len(ticks) > self.max_ticks:
            return P.reply(cmd, P.E_MEMORY)
        return self._array_reply(cmd, [ticks], 60)

    def cmd_symbol_tick(self, cmd, p, conn):
        name = p.text()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        rec = self.market.tick_record_at(name, self.market.now_ms())
        if rec is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        return P.reply(cmd, P.OK, rec.tobytes())

    # ---- symbols -------------------------------------------------------------------------
    def _static_fields(self, sym: SymbolSpec) -> dict[str, Any]:
        got = self._static.get(sym.name)
        if got is None:
            got = {k: v for k, v in dataclasses.asdict(sym).items() if not k.startswith("sim_")}
            got["ticks_bookdepth"] = sym.ticks_bookdepth
            self._static[sym.name] = got
        return got

    def _account_currency(self) -> str:
        acc = self._account(self.login_id) if self.login_id is not None else None
        return str(acc.get("currency", "USD")) if acc else "USD"

    def symbol_record(self, sym: SymbolSpec) -> bytes:
        now = self.market.now_ms()
        v = dict(self._static_fields(sym))
        v["select"] = v["visible"] = sym.name in self.selected
        tick = self.market.tick_record_at(sym.name, now)
        if tick is not None:
            t = tick[0]
            bid, ask = float(t["bid"]), float(t["ask"])
            v.update(time=int(t["time"]), bid=bid, ask=ask,
                     spread=int(round((ask - bid) / sym.point)))
            day = self.market.day_stats(sym.name, now)
            v.update(bidhigh=day["high"], bidlow=day["low"], session_open=day["open"],
                     session_close=day["prev_close"],
                     askhigh=round(day["high"] + (ask - bid), sym.digits),
                     asklow=round(day["low"] + (ask - bid), sym.digits))
            if day["prev_close"]:
                v["price_change"] = round((bid - day["prev_close"]) / day["prev_close"] * 100.0, 4)
        ccy = self._account_currency()
        if sym.currency_profit != ccy:
            tv = self.market.convert(sym.trade_tick_value, sym.currency_profit, ccy, now)
            if tv is not None:
                v["trade_tick_value"] = v["trade_tick_value_profit"] = v["trade_tick_value_loss"] = tv
        rec = P.SYMBOL_LAYOUT.pack(v)
        return rec if self.build >= P.SYMBOL_NAME_BUILD else rec[:P.LEGACY_SYMBOL_SIZE]

    def cmd_symbol_info(self, cmd, p, conn):
        name = p.text()
        p.end()
        sym = self._spec(name)
        if sym is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        return P.reply(cmd, P.OK, self.symbol_record(sym))

    def cmd_symbol_select(self, cmd, p, conn):
        name = p.text()
        enable = p.flag()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        with self.lock:
            if enable != (name in self.selected):
                (self.selected.add if enable else self.selected.discard)(name)
                self._save()
        return P.reply(cmd, P.OK)

    def cmd_symbols_total(self, cmd, p, conn):
        p.end()
        return P.reply(cmd, P.OK, struct.pack("<I", len(self.market.symbols())))

    def _records(self, cmd, specs):
        recs = b"".join(self.symbol_record(s) for s in specs)
        return P.reply(cmd, P.OK, struct.pack("<I", len(specs)) + recs)

    def cmd_symbols_all(self, cmd, p, conn):
        p.end()
        return self._records(cmd, self.market.symbols())

    def cmd_symbols_group(self, cmd, p, conn):
        group = p.text()
        p.end()
        return self._records(cmd, [s for s in self.market.symbols() if group_match(group, s.name)])

    # ---- terminal and account ------------------------------------------------------------
    def cmd_terminal_info(self, cmd, p, conn):
        p.end()
        s = self.settings
        root = _paths.terminals_root() or ""
        api = bool(s.get("trade_api_allowed", True))
        rec = P.TERMINAL_LAYOUT.pack({
            "build": self.build, "connected": self.current_state() == P.STATE_READY,
            "dlls_allowed": False, "trade_allowed": api, "tradeapi_disabled": not api,
            "maxbars": self.maxbars, "codepage": 0, "ping_last": 800,
            "company": "Orbisyn Simulated Markets", "name": "Orbisyn Terminal (simulated)",
            "language": "English", "path": self.install_dir, "data_path": self.data_dir,
            "commondata_path": os.path.join(root, "Common"),
        })
        return P.reply(cmd, P.OK, rec)

    def cmd_account_info(self, cmd, p, conn):
        p.end()
        with self.lock:
            acc = self._account(self.login_id) if self.login_id is not None else None
            if acc is None:
                return P.reply(cmd, P.E_AUTH)
            figures = self.engine.account_figures()
        api = bool(self.settings.get("trade_api_allowed", True))
        values = {
            "login": int(acc["login"]), "trade_mode": int(acc.get("trade_mode", 0)),
            "leverage": int(acc.get("leverage", 100)), "limit_orders": int(acc.get("limit_orders", 200)),
            "margin_so_mode": int(acc.get("margin_so_mode", 0)), "trade_allowed": True,
            "trade_expert": api, "margin_mode": int(acc.get("margin_mode", 2)),
            "currency_digits": int(acc.get("currency_digits", 2)), "fifo_close": False,
            "name": acc.get("name", ""), "server": acc.get("server", ""),
            "currency": acc.get("currency", "USD"), "company": acc.get("company", ""),
        }
        values.update({k: float(v) for k, v in figures.items()})
        return P.reply(cmd, P.OK, P.ACCOUNT_LAYOUT.pack(values))

    # ---- depth of market -----------------------------------------------------------------
    def cmd_book_add(self, cmd, p, conn):
        name = p.text()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        conn.books.add(name)
        return P.reply(cmd, P.OK)

    def cmd_book_release(self, cmd, p, conn):
        name = p.text()
        p.end()
        if name not in conn.books:
            return P.reply(cmd, P.E_NOT_FOUND)
        conn.books.discard(name)
        return P.reply(cmd, P.OK)

    def cmd_book_get(self, cmd, p, conn):
        name = p.text()
        p.end()
        if self._spec(name) is None or name not in conn.books:
            return P.reply(cmd, P.E_NOT_FOUND)
        book = self.market.book(name)
        return P.reply(cmd, P.OK, struct.pack("<I", len(book)) + book.tobytes())

    def close(self) -> None:
        with self.lock:
            try:
                self.engine.close()
            except Exception:
                log.exception("engine close failed")


# ---- the socket server ---------------------------------------------------------------------

class AlreadyRunning(Exception):
    pass


class _Stop(BaseException):
    pass


def _recv_exact(sock: socket.socket, n: int) -> bytearray | None:
    buf = bytearray(n)
    view = memoryview(buf)
    got = 0
    while got < n:
        k = sock.recv_into(view[got:], n - got)
        if k == 0:
            return None
        got += k
    return buf


class Server:
    """Listens on the socket derived from the launcher path and serves clients."""

    def __init__(self, terminal: Terminal | None, exe_path: str):
        self.terminal = terminal
        self.exe_path = exe_path
        self.sock_path = _paths.socket_path(exe_path)
        self.listener: socket.socket | None = None
        self._lock_fd: int | None = None
        self._clients: set[socket.socket] = set()
        self._clients_lock = threading.Lock()
        self._ino: int | None = None

    def _take_lock(self) -> None:
        fd = os.open(self.sock_path + ".lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            os.close(fd)
            if exc.errno in (errno.EWOULDBLOCK, errno.EACCES):
                raise AlreadyRunning(self.sock_path) from None
            raise
        os.ftruncate(fd, 0)
        os.write(fd, f"{os.getpid()}\n".encode())
        self._lock_fd = fd

    def bind(self) -> None:
        if len(os.fsencode(self.sock_path)) > 107:
            raise OSError(errno.ENAMETOOLONG,
                          f"socket path longer than 107 bytes (use a shorter XDG_RUNTIME_DIR): {self.sock_path}")
        _paths.ensure_pipe_dir()
        self._take_lock()
        if os.path.lexists(self.sock_path):
            probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                probe.connect(self.sock_path)
            except OSError:
                log.info("removing stale socket %s", self.sock_path)
                os.unlink(self.sock_path)
            else:
                raise AlreadyRunning(self.sock_path)
            finally:
                probe.close()
        # Bind under a temporary name and move it into place once listening, so that a
        # client never finds the socket file before it accepts connections.
        tmp = os.path.join(os.path.dirname(self.sock_path), f".{os.getpid()}.binding")
        if os.path.lexists(tmp):
            os.unlink(tmp)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        old = os.umask(0o177)
        try:
            sock.bind(tmp)
        finally:
            os.umask(old)
        try:
            os.chmod(tmp, 0o600)
            sock.listen(64)
            self._ino = os.stat(tmp).st_ino
            os.replace(tmp, self.sock_path)
        except BaseException:
            sock.close()
            if os.path.lexists(tmp):
                os.unlink(tmp)
            raise
        self.listener = sock

    def serve_forever(self) -> None:
        """Accept clients until SIGTERM/SIGINT (handlers installed by `run`) raise _Stop."""
        assert self.listener is not None
        log.info("listening on %s (pid %d, build %d)", self.sock_path, os.getpid(), self.terminal.build)
        try:
            while True:
                conn, _ = self.listener.accept()
                with self._clients_lock:
                    self._clients.add(conn)
                threading.Thread(target=self._client, args=(conn,), daemon=True).start()
        except _Stop:
            log.info("stopping on signal")
        finally:
            self.close()

    def _client(self, sock: socket.socket) -> None:
        conn = Connection()
        term = self.terminal
        try:
            while True:
                head = _recv_exact(sock, 4)
                if head is None:
                    break
                length = P.U32.unpack(head)[0]
                if length < 4 or length > P.MAX_REQUEST:
                    log.warning("malformed request length %d: closing the client", length)
                    break
                body = _recv_exact(sock, length)
                if body is None:
                    break
                command = P.I32.unpack_from(body, 0)[0]
                out = term.dispatch(command, memoryview(body)[4:], conn)
                if isinstance(out, (bytes, bytearray)):
                    sock.sendall(out)
                else:
                    for part in out:
                        sock.sendall(part)
        except OSError:
            pass
        finally:
            with self._clients_lock:
                self._clients.discard(sock)
            try:
                sock.close()
            except OSError:
                pass

    def close(self) -> None:
        if self.listener is not None:
            self.listener.close()
            self.listener = None
            try:  # only our own socket: a newer server may have replaced it
                if os.stat(self.sock_path).st_ino == self._ino:
                    os.unlink(self.sock_path)
            except OSError:
                pass
        with self._clients_lock:
            for c in list(self._clients):
                try:
                    c.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        if self.terminal is not None:
            self.terminal.close()
        if self._lock_fd is not None:
            os.close(self._lock_fd)
            self._lock_fd = None


def setup_logging(data_dir: str, level: int = logging.INFO) -> None:
    logs = os.path.join(data_dir, "logs")
    os.makedirs(logs, exist_ok=True)
    handler = logging.FileHandler(os.path.join(logs, "simulator.log"), encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    root = logging.getLogger("orbisyn")
    root.handlers[:] = [handler]
    root.setLevel(level)
    root.propagate = False


def run(exe_path: str, data_dir: str, portable: bool = False) -> int:
    """Serve until SIGTERM/SIGINT.  Exit code 0, or 3 when already running."""
    setup_logging(data_dir)
    log.info("starting %s%s", exe_path, " /portable" if portable else "")

    def stop(signum, frame):
        # One stop is enough: a second signal must not interrupt the cleanup.
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, signal.SIG_IGN)
        raise _Stop()

    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, stop)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    server = Server(None, exe_path)
    try:
        server.bind()
    except _Stop:
        server.close()
        return 0
    except AlreadyRunning:
        log.error("already running: %s", server.sock_path)
        print(f"orbisyn-terminal: already running: {exe_path}", file=sys.stderr)
        return 3
    except OSError as exc:
        log.error("cannot listen: %s", exc)
        print(f"orbisyn-terminal: cannot listen: {exc}", file=sys.stderr)
        return 4
    try:
        # Built once the socket is ours, so a refused second start touches no state.
        server.terminal = Terminal(data_dir, exe_path)
    except _Stop:
        server.close()
        return 0
    except BaseException:
        # Most likely a broken simulator.json: say so where the user will look.
        log.exception("cannot start")
        server.close()
        raise
    server.serve_forever()
    log.info("stopped")
    return 0
