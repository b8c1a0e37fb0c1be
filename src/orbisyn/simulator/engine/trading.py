"""Trading engine of the simulated Terminal.

The engine keeps the active account's open positions and pending orders in
memory and everything (accounts, positions, orders, deals) in SQLite. Each
request runs in one write transaction: first the price-driven events (pending
activation, stop loss, take profit, expiration, stop-out) are replayed over the
market's ticks from the last processed time up to now, in time order; then the
request is answered and the transaction committed before the reply leaves.
A change committed by another connection (a second engine, `reset_account`)
is noticed through SQLite's data version and the state is reloaded.

The class is assembled from its parts: ``events`` (prices and what they
trigger), ``figures`` (equity and margin), ``requests`` (trade actions);
``handlers`` answers the wire commands.
"""
from __future__ import annotations

import logging
import threading
from typing import Dict, List, Optional, Tuple

from .. import protocol as P
from .accounts import create_account
from .book import Account
from .calc import Rates
from .events import Events
from .figures import Figures
from .commands import HANDLERS
from .requests import Requests
from .store import Store, connect

log = logging.getLogger("orbisyn.simulator.trading")


class TradingEngine(Events, Figures, Requests):
    """Answers the trading, position, order and history commands of the Terminal."""

    def __init__(self, data_dir: str, settings: dict, market):
        self._lock = threading.RLock()
        self.market = market
        self.settings = settings
        self._cfg: Dict[int, dict] = {}
        for a in settings.get("accounts", []):
            self._cfg[int(a["login"])] = a
        if not self._cfg:
            raise ValueError("settings hold no account")
        self.store = Store(connect(data_dir))
        self._specs: Dict[str, object] = {}
        self.rates = Rates(Rates.pairs_of(self._all_specs()), self.quote)
        self.reset_prices()
        self.now = 0
        self.login_id = next(iter(self._cfg))
        self.acc: Optional[Account] = None
        self._version = -1
        with self._lock:
            self.store.begin()
            try:
                now = int(market.now_ms())
                for login, cfg in self._cfg.items():
                    if self.store.account(login) is None:
                        create_account(self.store, cfg, now)
                self.store.commit()
            except BaseException:
                self.store.rollback()
                raise
            self._run(lambda: None)

    def login(self, login: int) -> None:
        """Make `login` the active account (it must be configured)."""
        login = int(login)
        if login not in self._cfg:
            raise KeyError(f"unknown account {login}")
        with self._lock:
            if login == self.login_id:
                return
            self.login_id = login
            self.acc = None
            self._run(lambda: None)

    def account_figures(self) -> dict:
        with self._lock:
            return self._run(self.full_figures)

    def handle(self, command: int, payload: bytes) -> Tuple[int, bytes]:
        handler = HANDLERS.get(command)
        if handler is None:
            return P.E_UNSUPPORTED, b""
        with self._lock:
            try:
                return self._run(lambda: handler(self, P.Payload(bytes(payload))))
            except P.BadRequest:
                return P.E_PARAMS, b""
            except Exception:  # the request fails, the Terminal goes on
                log.exception("command %d failed", command)
                return P.E_FAIL, b""

    def close(self) -> None:
        with self._lock:
            self.store.close()

    def _run(self, fn):
        """Bring the state up to now, call fn, commit; on failure roll back and reload."""
        store = self.store
        store.begin()
        self._changes = store.db.total_changes
        try:
            if store.data_version() != self._version or self.acc is None:
                self._load_in_txn()
            acc = self.acc
            now = max(int(self.market.now_ms()), acc.processed_ms)
            self.advance(acc, now)
            try:
                result = fn()
            except P.BadRequest:
                self._save_account(acc)
                store.commit()
                raise
            self._save_account(acc)
            store.commit()
            return result
        except P.BadRequest:
            raise
        except BaseException:
            store.rollback()
            self.acc = None
            raise

    def _load_in_txn(self) -> None:
        store = self.store
        login = self.login_id
        row = store.account(login)
        if row is None:  # reset from outside without recreating: start afresh
            create_account(store, self._cfg[login], int(self.market.now_ms()))
            row = store.account(login)
        acc = Account(login, self._cfg[login], row[0], row[1], row[2], row[3])
        for p in store.positions(login):
            acc.add_position(p)
            acc.swaps += p.swap
        for o in store.active_orders(login):
            acc.orders[o.ticket] = o
        self._next_ticket = store.meta("next_ticket")
        self.request_id = store.meta("request_id")
        self._saved_ticket, self._saved_request = self._next_ticket, self.request_id
        self._saved_acc = (acc.balance, acc.processed_ms)
        self.acc = acc
        self.reset_prices()
        self._version = store.data_version()

    def _save_account(self, acc: Account) -> None:
        store = self.store
        # The processed time alone is not worth a disk sync: replaying ticks that changed
        # nothing changes nothing, so it is saved with the next real change.
        wrote = store.db.total_changes != self._changes
        if acc.balance != self._saved_acc[0] or (wrote and acc.processed_ms != self._saved_acc[1]):
            store.save_account(acc.login, acc.balance, acc.credit, acc.processed_ms, acc.created_ms)
            self._saved_acc = (acc.balance, acc.processed_ms)
        if self._next_ticket != self._saved_ticket:
            store.set_meta("next_ticket", self._next_ticket)
            self._saved_ticket = self._next_ticket
        if self.request_id != self._saved_request:
            store.set_meta("request_id", self.request_id)
            self._saved_request = self.request_id

    def new_ticket(self) -> int:
        t = self._next_ticket
        self._next_ticket = t + 1
        return t

    def _all_specs(self) -> List[object]:
        out = []
        for item in self.market.symbols():
            name = item if isinstance(item, str) else getattr(item, "name")
            sym = self.instrument(name)
            if sym is not None:
                out.append(sym)
        return out

    def instrument(self, name: str):
        sym = self._specs.get(name)
        if sym is None:
            sym = self.market.symbol(name)
            if sym is not None:
                self._specs[name] = sym
        return sym
