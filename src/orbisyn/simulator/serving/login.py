"""The Terminal's settings and its login: the account logged in and the connection state
that clients poll, with the login and state commands."""
from __future__ import annotations

import datetime as _dt
import json
import logging
import os
import struct
import threading
import time
from typing import Optional

from .. import install as _install
from .. import protocol
from ..commands import Reply, Request, command
from ..protocol import OK, STATE_AUTH_FAILED, STATE_CONNECTING, STATE_READY

log = logging.getLogger("orbisyn.simulator")

LOGIN_FILE = "login.json"   # `orbisyn-terminal status` reads it
OLD_LOGIN_FILE = "session.json"   # its name until 0.2.0


def read_login(data_dir: str) -> dict:
    """The login facts a Terminal published (Login._publish); {} when unreadable."""
    for name in (LOGIN_FILE, OLD_LOGIN_FILE):
        try:
            with open(os.path.join(data_dir, name), encoding="utf-8") as f:
                got = json.load(f)
        except FileNotFoundError:
            continue
        except (OSError, ValueError):
            return {}
        return got if isinstance(got, dict) else {}
    return {}


class Settings:
    """The settings of a data folder and the symbols selected in it, saved on change."""

    def __init__(self, data_dir: str, values: Optional[dict] = None):
        self.data_dir = data_dir
        self.values = values if values is not None else _install.load_settings(data_dir)
        self.selected = set(self.values.get("symbols", {}).get("selected", []))

    def save(self) -> None:
        try:
            self.values.setdefault("symbols", {})["selected"] = sorted(self.selected)
            _install.save_settings(self.data_dir, self.values)
        except OSError:
            log.exception("could not save settings")


class Login:
    """Which account is logged in (the engine trades on it) and the connection state: a
    login connects after ``connect_delay_ms``; a refused one leaves the Terminal unauthorised
    until a valid login. The facts `orbisyn-terminal status` shows are kept in LOGIN_FILE."""

    def __init__(self, settings: Settings, engine, lock: threading.RLock):
        self.settings = settings
        self.engine = engine
        self.lock = lock
        self.login_id: Optional[int] = None
        self.refused: Optional[tuple[int, str]] = None   # the last login refused, and when
        self.state = STATE_CONNECTING
        self.ready_at = 0.0
        values = settings.values
        start = values.get("current_login") or (values["accounts"][0]["login"]
                                                if values.get("accounts") else None)
        if start is not None and self.account(int(start)) is not None:
            self._connect(int(start))
        else:
            self.state = STATE_AUTH_FAILED
        self._publish()

    def account(self, login: Optional[int]) -> Optional[dict]:
        if login is None:
            return None
        for acc in self.settings.values.get("accounts", []):
            if int(acc.get("login", 0)) == login:
                return acc
        return None

    def currency(self) -> str:
        acc = self.account(self.login_id)
        return str(acc.get("currency", "USD")) if acc else "USD"

    def _connect(self, login: int) -> None:
        self.login_id = login
        self.state = STATE_CONNECTING
        delay = int(self.settings.values.get("connect_delay_ms", 500)) / 1000.0
        self.ready_at = time.monotonic() + delay
        self.engine.login(login)

    def current_state(self) -> int:
        if self.state == STATE_CONNECTING and time.monotonic() >= self.ready_at:
            self.state = STATE_READY
        return self.state

    def _publish(self) -> None:
        facts = {"pid": os.getpid(), "login": self.login_id,
                 "refused_login": self.refused[0] if self.refused else None,
                 "refused_at": self.refused[1] if self.refused else None}
        path = os.path.join(self.settings.data_dir, LOGIN_FILE)
        try:
            with open(path + ".tmp", "w", encoding="utf-8") as f:
                json.dump(facts, f)
            os.replace(path + ".tmp", path)
        except OSError:
            log.exception("could not write %s", path)

    @command(protocol.Command.LOGIN)
    def login(self, r: Request) -> Reply:
        r.i32()
        login = r.u64()
        password = r.text()
        server = r.text()
        r.end()
        with self.lock:
            if login == 0 and self.login_id is not None:
                login = self.login_id
            acc = self.account(login)
            if acc is not None and acc.get("otp"):
                log.info("login %d refused: one-time password needed", login)
                return protocol.E_UNSUPPORTED, b""
            if (acc is None or password != acc.get("password", "")
                    or (server and server.lower() != str(acc.get("server", "")).lower())):
                log.info("login %d: authorization failed", login)
                self.login_id = None
                self.state = STATE_AUTH_FAILED
                self.refused = (login, _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC"))
                self._publish()
                return OK, b""
            self._connect(login)
            self.refused = None
            self._publish()
            log.info("login %d accepted", login)
            values = self.settings.values
            if values.get("current_login") != login:
                values["current_login"] = login
                self.settings.save()
            try:
                _install.touch_last_used(self.settings.data_dir, login)
            except OSError:
                pass
        return OK, b""

    @command(protocol.Command.CONNECTION_STATE)
    def state_of_connection(self, r: Request) -> Reply:
        r.end()
        return OK, struct.pack("<i", self.current_state())
