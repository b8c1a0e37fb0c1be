"""The commands about the Terminal itself and its account: version, handshake, terminal and
account information."""
from __future__ import annotations

import logging
import os
import struct
import threading
from typing import Callable, Optional

from ... import _paths
from .. import install as _install
from .. import protocol
from ..commands import Reply, Request, command
from ..protocol import (ACCOUNT_LAYOUT, E_AUTH, OK, OK_RECORD, STATE_READY, STEPPED_REPLAY_NAME,
                        TERMINAL_LAYOUT, pack_text)
from .login import Login, Settings

log = logging.getLogger("orbisyn.simulator")


class TerminalCommands:
    """`on_handshake`, when set, runs once, at the first handshake (a replay starts its clock)."""

    def __init__(self, settings: Settings, login: Login, engine, install_dir: str, build: int,
                 maxbars: int, lock: threading.RLock, stepped: bool = False):
        self.settings = settings
        self.login = login
        self.engine = engine
        # Installed in a Wine prefix, it names its folders as the Terminal there would.
        self.install_dir = _install.windows_form(install_dir)
        data_dir = settings.data_dir
        common = os.path.join(os.path.dirname(data_dir) if _install.wine_prefix_of(data_dir)
                              else _paths.terminals_root() or "", "Common")
        self.data_paths = (_install.windows_form(data_dir), _install.windows_form(common))
        self.build = build
        self.maxbars = maxbars
        self.lock = lock
        self.on_handshake: Optional[Callable[[], None]] = None
        # How a stepped replay makes itself known to the module's waits.
        self.name = "Orbisyn Terminal " + (STEPPED_REPLAY_NAME if stepped else "(simulated)")

    @command(protocol.Command.VERSION)
    def version(self, r: Request) -> Reply:
        r.i32()
        r.end()
        values = self.settings.values
        body = struct.pack("<ii", int(values.get("version", _install.VERSION)), self.build)
        # Status 1: the client only takes the figures from a positive status.
        return OK_RECORD, body + pack_text(str(values.get("build_date", "")))

    @command(protocol.Command.HANDSHAKE)
    def handshake(self, r: Request) -> Reply:
        r.i32()
        client = r.text()
        r.end()
        log.debug("handshake from %r", client)
        if self.on_handshake is not None:
            with self.lock:
                if self.on_handshake is not None:
                    self.on_handshake()
                    self.on_handshake = None
        return OK, struct.pack("<i", self.build)

    @command(protocol.Command.TERMINAL_INFO)
    def terminal_info(self, r: Request) -> Reply:
        r.end()
        values = self.settings.values
        api = bool(values.get("trade_api_allowed", True))
        return OK, TERMINAL_LAYOUT.pack({
            "build": self.build, "connected": self.login.current_state() == STATE_READY,
            "dlls_allowed": False, "trade_allowed": api, "tradeapi_disabled": not api,
            "maxbars": self.maxbars, "codepage": 0, "ping_last": 800,
            "company": "Orbisyn Simulated Markets", "name": self.name,
            "language": "English", "path": self.install_dir, "data_path": self.data_paths[0],
            "commondata_path": self.data_paths[1],
        })

    @command(protocol.Command.ACCOUNT_INFO)
    def account_info(self, r: Request) -> Reply:
        r.end()
        with self.lock:
            acc = self.login.account(self.login.login_id)
            if acc is None:
                return E_AUTH, b""
            figures = self.engine.account_figures()
        api = bool(self.settings.values.get("trade_api_allowed", True))
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
        return OK, ACCOUNT_LAYOUT.pack(values)
