"""Trading engine of the simulated Terminal.

The engine keeps the active account's open positions and pending orders in
memory and everything (accounts, positions, orders, deals) in SQLite. Each
request runs in one write transaction: first the price-driven events (pending
activation, stop loss, take profit, expiration, stop-out) are replayed over the
market's ticks from the last processed time up to now, in time order; then the
request is answered and the transaction committed before the reply leaves.
A change committed by another connection (a second engine, `reset_account`)
is noticed through SQLite's data version and the state is reloaded.

The engine is made of parts that are handed what they use: ``quotes`` (the present
and its prices), ``converter`` (currencies), ``valuation`` (equity and margin),
``execution`` (deals and tickets), ``dealer`` (trade requests) and ``events``
(what prices trigger). Its wire commands are in ``commands``.
"""
from __future__ import annotations

import logging
import threading
from typing import Callable, Dict, Optional, TypeVar

from ..protocol import BadRequest
from .accounts import create_account
from .book import Account
from .calc import CurrencyConverter
from .events import Events
from .execution import Execution, Tickets
from .figures import Valuation
from .quotes import Quotes
from .requests import Dealer
from .store import Store, connect

log = logging.getLogger("orbisyn.simulator.trading")

T = TypeVar("T")


class TradingEngine:
    """The accounts' trading state, brought up to the market's present at each transaction."""

    def __init__(self, data_dir: str, settings: dict, market, durable: bool = True):
        self._lock = threading.RLock()
        self.market = market
        self.settings = settings
        self._cfg: Dict[int, dict] = {}
        for a in settings.get("accounts", []):
            self._cfg[int(a["login"])] = a
        if not self._cfg:
            raise ValueError("settings hold no account")
        self.store = Store(connect(data_dir, durable))
        self.quotes = Quotes(market)
        self.converter = CurrencyConverter(CurrencyConverter.pairs_of(self.quotes.all_instruments()),
                                           self.quotes.quote)
        self.tickets = Tickets(self.store)
        self.valuation = Valuation(self.quotes, self.converter)
        self.execution = Execution(self.store, self.converter, self.tickets)
        self.dealer = Dealer(market, self.quotes, self.converter, self.valuation, self.execution,
                             self.store)
        self.events = Events(market, self.quotes, self.converter, self.valuation, self.execution,
                             self.store)
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
        return self.transaction(lambda: self.valuation.full_figures(self.acc))

    def transaction(self, fn: Callable[[], T]) -> T:
        """fn() with the account brought up to now, in one transaction committed before it returns."""
        with self._lock:
            return self._run(fn)

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
            self.events.advance(acc, now)
            try:
                result = fn()
            except BadRequest:
                self._save_account(acc)
                store.commit()
                raise
            self._save_account(acc)
            store.commit()
            return result
        except BadRequest:
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
        self.tickets.load()
        self._saved_acc = (acc.balance, acc.processed_ms)
        self.acc = acc
        self.quotes.reset()
        self._version = store.data_version()

    def _save_account(self, acc: Account) -> None:
        # The processed time alone is not worth a disk sync: replaying ticks that changed
        # nothing changes nothing, so it is saved with the next real change.
        wrote = self.store.db.total_changes != self._changes
        if acc.balance != self._saved_acc[0] or (wrote and acc.processed_ms != self._saved_acc[1]):
            self.store.save_account(acc.login, acc.balance, acc.credit, acc.processed_ms,
                                    acc.created_ms)
            self._saved_acc = (acc.balance, acc.processed_ms)
        self.tickets.save()
