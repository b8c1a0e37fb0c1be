"""The simulated Terminal put together: its settings and login, the market, the trading
engine, and the one registry of the commands they answer."""
from __future__ import annotations

import logging
import os
import threading
from typing import Callable, Optional

from ..commands import Registry
from ..engine import TradingEngine
from ..engine.commands import EngineCommands
from ..market.commands import MarketDataCommands
from ..market.market import Market
from ..market.symbol_commands import symbol_commands
from ..replay.stepping import ReplayWait
from .login import Login, Settings
from .terminal_commands import TerminalCommands

log = logging.getLogger("orbisyn.simulator")


class SimulatedTerminal:
    """Everything of a Terminal but its socket; `serve` answers one request with its framed reply.

    `clock` is the present (a replay clock, or None for the wall clock); `store_dir` the folder
    of the engine's store when not the data folder (a replay keeps its own).
    """

    def __init__(self, data_dir: str, exe_path: str, settings: Optional[dict] = None, clock=None,
                 store_dir: Optional[str] = None):
        self.settings = Settings(data_dir, settings)
        values = self.settings.values
        self.build = int(values["build"])
        maxbars = int(values.get("maxbars", 5_000_000))
        # One lock for what changes the login, the selection or the account under a request.
        self.lock = threading.RLock()
        self.market = Market(seed=int(values.get("seed", 1)),
                             history_start=values.get("history_start", "2015-01-01"),
                             history_dir=os.path.join(data_dir, "history"), clock=clock)
        # A replay's store is made afresh by the next replay: not worth a disk flush a trade.
        self.engine = TradingEngine(store_dir or data_dir, values, self.market,
                                    durable=store_dir is None)
        self.login = Login(self.settings, self.engine, self.lock)
        # A stepped replay's present holds still while a request is served (see SteppedClock).
        self.clock = clock if getattr(clock, "stepped", False) else None
        self.terminal_commands = TerminalCommands(
            self.settings, self.login, self.engine, os.path.dirname(os.path.abspath(exe_path)),
            self.build, maxbars, self.lock, stepped=self.clock is not None)
        self.replay_wait = ReplayWait(clock, self.market, self.engine)
        self.replay_watch = None   # a stepped replay's (replay.folder.attach)
        self.commands = Registry()
        for part in (self.login, self.terminal_commands, self.replay_wait,
                     MarketDataCommands(self.market, maxbars, int(values.get("max_ticks", 10_000_000))),
                     symbol_commands(self.market, self.build, self.settings, self.login.currency,
                                     self.lock),
                     EngineCommands(self.engine, self.lock)):
            self.commands.add(part)

    @property
    def on_handshake(self) -> Optional[Callable[[], None]]:
        return self.terminal_commands.on_handshake

    @on_handshake.setter
    def on_handshake(self, start: Optional[Callable[[], None]]) -> None:
        self.terminal_commands.on_handshake = start

    def serve(self, command: int, payload, connection=None):
        # Bars imported since the last request replace their symbol's prices from this one on.
        self.market.begin_request()
        clock = self.clock
        if clock is None or clock.waited:   # from the first wait on, only waits move it
            return self.commands.serve(command, payload, connection)
        clock.request_began()
        try:
            return self.commands.serve(command, payload, connection)
        finally:
            clock.request_ended()

    def close(self) -> None:
        if self.replay_watch is not None:
            self.replay_watch.stop()
        with self.lock:
            try:
                self.engine.close()
            except Exception:
                log.exception("engine close failed")
