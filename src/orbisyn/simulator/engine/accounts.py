"""Creating and resetting accounts in the store."""
from __future__ import annotations

import time
from typing import List, Optional

from .model import DEAL_BALANCE, ENTRY_IN, REASON_CLIENT, Deal
from .store import Store, connect


def create_account(store: Store, cfg: dict, now_ms: int) -> None:
    """A fresh account whose deposit is its first (balance) deal."""
    login = int(cfg["login"])
    deposit = float(cfg.get("deposit", 0.0) or 0.0)
    store.save_account(login, deposit, 0.0, now_ms, now_ms)
    if deposit:
        ticket = store.meta("next_ticket")
        store.set_meta("next_ticket", ticket + 1)
        store.add_deal(Deal(ticket, login, 0, now_ms, DEAL_BALANCE, ENTRY_IN, 0, 0, REASON_CLIENT,
                            0.0, 0.0, 0.0, 0.0, deposit, 0.0, "", "Deposit"))


def reset_account(data_dir: str, settings: dict, login: Optional[int] = None, *,
                  now_ms: Optional[int] = None) -> List[int]:
    """Start one configured account (or all of them) afresh: no positions, orders or history,
    the balance back at the configured deposit (a balance deal at `now_ms`, default the wall
    clock). Safe while the Terminal runs: its engine sees the change and reloads. Returns the
    logins that were reset; an unknown login raises KeyError."""
    accounts = {int(a["login"]): a for a in settings.get("accounts", [])}
    if login is not None and int(login) not in accounts:
        raise KeyError(f"unknown account {login}")
    targets = [int(login)] if login is not None else list(accounts)
    store = Store(connect(data_dir))
    try:
        store.begin()
        try:
            now = int(time.time() * 1000) if now_ms is None else int(now_ms)
            for lg in targets:
                store.delete_account(lg)
                create_account(store, accounts[lg], now)
            store.commit()
        except BaseException:
            store.rollback()
            raise
    finally:
        store.close()
    return targets
