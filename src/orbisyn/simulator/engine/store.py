"""SQLite persistence of accounts, positions, orders and deals.

One database per data folder, in WAL mode with full sync, so a trade committed
before its reply survives a SIGKILL (and a power cut) of the Terminal.
"""
from __future__ import annotations

import os
import sqlite3
from typing import Iterable, List, Optional

from .model import DEAL_COLUMNS, ORDER_COLUMNS, POSITION_COLUMNS, Deal, Order, Position

DB_NAME = "trading.sqlite"
FIRST_TICKET = 10001

def _cols(columns: List[str]) -> str:
    return ",".join(f'"{c}"' for c in columns)


_SCHEMA = f"""
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS accounts(
    login INTEGER PRIMARY KEY, balance REAL NOT NULL, credit REAL NOT NULL,
    processed_ms INTEGER NOT NULL, created_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS positions({_cols(POSITION_COLUMNS)}, PRIMARY KEY(ticket));
CREATE TABLE IF NOT EXISTS orders({_cols(ORDER_COLUMNS)}, PRIMARY KEY(ticket));
CREATE TABLE IF NOT EXISTS deals({_cols(DEAL_COLUMNS)}, PRIMARY KEY(ticket));
CREATE INDEX IF NOT EXISTS positions_login ON positions(login);
CREATE INDEX IF NOT EXISTS orders_active ON orders(login, active);
CREATE INDEX IF NOT EXISTS orders_setup ON orders(login, time_setup_msc);
CREATE INDEX IF NOT EXISTS orders_position ON orders(login, position_id);
CREATE INDEX IF NOT EXISTS deals_time ON deals(login, time_msc);
CREATE INDEX IF NOT EXISTS deals_position ON deals(login, position_id);
"""

_I64 = 1 << 63
_UNSIGNED = ("magic", "ticket", "order", "position_id", "position_by_id")
_TEXTS = ("symbol", "comment", "external_id")


def signed(v: int) -> int:
    """An unsigned 64-bit number (ticket, magic) as SQLite's signed integer."""
    return v - (1 << 64) if v >= _I64 else v


def _unsigned(v: int) -> int:
    return v + (1 << 64) if v < 0 else v


def _text_in(v: str):
    # A text with a lone surrogate (the wire lets one through) has no UTF-8 form:
    # keep its UTF-16 units as a blob instead of failing the request.
    if v.isascii():
        return v
    try:
        v.encode("utf-8")
    except UnicodeEncodeError:
        return v.encode("utf-16-le", "surrogatepass")
    return v


def _row_in(obj, columns: List[str]) -> tuple:
    out = []
    for c in columns:
        v = getattr(obj, c)
        if c in _UNSIGNED:
            v = signed(v)
        elif c in _TEXTS:
            v = _text_in(v)
        out.append(v)
    return tuple(out)


def _obj_out(cls, row: Iterable, columns: List[str]):
    kw = dict(zip(columns, row))
    for c in _UNSIGNED:
        if c in kw:
            kw[c] = _unsigned(kw[c])
    for c in _TEXTS:
        if isinstance(kw.get(c), bytes):
            kw[c] = kw[c].decode("utf-16-le", "surrogatepass")
    if "active" in kw:
        kw["active"] = bool(kw["active"])
    return cls(**kw)


def db_path(data_dir: str) -> str:
    return os.path.join(data_dir, DB_NAME)


def connect(data_dir: str) -> sqlite3.Connection:
    os.makedirs(data_dir, exist_ok=True)
    db = sqlite3.connect(db_path(data_dir), isolation_level=None, check_same_thread=False,
                         timeout=10.0)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=FULL")
    db.executescript(_SCHEMA)
    db.execute("INSERT OR IGNORE INTO meta VALUES('next_ticket', ?)", (FIRST_TICKET,))
    db.execute("INSERT OR IGNORE INTO meta VALUES('request_id', 0)")
    return db


class Store:
    """Thin typed access; the caller owns the transactions."""

    def __init__(self, db: sqlite3.Connection):
        self.db = db
        self._ins_pos = (f"INSERT OR REPLACE INTO positions VALUES "
                         f"({','.join('?' * len(POSITION_COLUMNS))})")
        self._ins_ord = (f"INSERT OR REPLACE INTO orders VALUES "
                         f"({','.join('?' * len(ORDER_COLUMNS))})")
        self._ins_deal = f"INSERT INTO deals VALUES ({','.join('?' * len(DEAL_COLUMNS))})"

    def begin(self) -> None:
        self.db.execute("BEGIN IMMEDIATE")

    def commit(self) -> None:
        self.db.execute("COMMIT")

    def rollback(self) -> None:
        if self.db.in_transaction:
            self.db.execute("ROLLBACK")

    def data_version(self) -> int:
        return self.db.execute("PRAGMA data_version").fetchone()[0]

    def meta(self, key: str) -> int:
        return self.db.execute("SELECT value FROM meta WHERE key=?", (key,)).fetchone()[0]

    def set_meta(self, key: str, value: int) -> None:
        self.db.execute("UPDATE meta SET value=? WHERE key=?", (value, key))

    # accounts
    def account(self, login: int) -> Optional[tuple]:
        return self.db.execute("SELECT balance, credit, processed_ms, created_ms FROM accounts "
                               "WHERE login=?", (login,)).fetchone()

    def save_account(self, login: int, balance: float, credit: float, processed_ms: int,
                     created_ms: int) -> None:
        self.db.execute("INSERT OR REPLACE INTO accounts VALUES(?,?,?,?,?)",
                        (login, balance, credit, processed_ms, created_ms))

    def delete_account(self, login: int) -> None:
        for table in ("accounts", "positions", "orders", "deals"):
            self.db.execute(f"DELETE FROM {table} WHERE login=?", (login,))

    # positions and orders
    def save_position(self, p: Position) -> None:
        self.db.execute(self._ins_pos, _row_in(p, POSITION_COLUMNS))

    def delete_position(self, ticket: int) -> None:
        self.db.execute("DELETE FROM positions WHERE ticket=?", (signed(ticket),))

    def positions(self, login: int) -> List[Position]:
        cur = self.db.execute(f"SELECT {_cols(POSITION_COLUMNS)} FROM positions WHERE login=? "
                              "ORDER BY ticket", (login,))
        return [_obj_out(Position, r, POSITION_COLUMNS) for r in cur]

    def save_order(self, o: Order) -> None:
        self.db.execute(self._ins_ord, _row_in(o, ORDER_COLUMNS))

    def active_orders(self, login: int) -> List[Order]:
        cur = self.db.execute(f"SELECT {_cols(ORDER_COLUMNS)} FROM orders WHERE login=? "
                              "AND active=1 ORDER BY ticket", (login,))
        return [_obj_out(Order, r, ORDER_COLUMNS) for r in cur]

    def add_deal(self, d: Deal) -> None:
        self.db.execute(self._ins_deal, _row_in(d, DEAL_COLUMNS))

    # history: orders no longer active, and deals, in time order
    def _history_orders(self, login: int, where: str, args: tuple) -> List[Order]:
        cur = self.db.execute(f"SELECT {_cols(ORDER_COLUMNS)} FROM orders WHERE login=? "
                              f"AND active=0 AND {where} ORDER BY time_setup_msc, ticket",
                              (login,) + args)
        return [_obj_out(Order, r, ORDER_COLUMNS) for r in cur]

    def history_orders_between(self, login: int, lo_ms: int, hi_ms: int) -> List[Order]:
        return self._history_orders(login, "time_setup_msc BETWEEN ? AND ?", (lo_ms, hi_ms))

    def history_orders_of_position(self, login: int, position_id: int) -> List[Order]:
        return self._history_orders(login, "position_id=?", (signed(position_id),))

    def history_order(self, login: int, ticket: int) -> Optional[Order]:
        found = self._history_orders(login, "ticket=?", (signed(ticket),))
        return found[0] if found else None

    def count_history_orders(self, login: int, lo_ms: int, hi_ms: int) -> int:
        return self.db.execute("SELECT COUNT(*) FROM orders WHERE login=? AND active=0 "
                               "AND time_setup_msc BETWEEN ? AND ?", (login, lo_ms, hi_ms)).fetchone()[0]

    def _deals(self, login: int, where: str, args: tuple) -> List[Deal]:
        cur = self.db.execute(f"SELECT {_cols(DEAL_COLUMNS)} FROM deals WHERE login=? "
                              f"AND {where} ORDER BY time_msc, ticket", (login,) + args)
        return [_obj_out(Deal, r, DEAL_COLUMNS) for r in cur]

    def deals_between(self, login: int, lo_ms: int, hi_ms: int) -> List[Deal]:
        return self._deals(login, "time_msc BETWEEN ? AND ?", (lo_ms, hi_ms))

    def deals_of_position(self, login: int, position_id: int) -> List[Deal]:
        return self._deals(login, "position_id=?", (signed(position_id),))

    def deal(self, login: int, ticket: int) -> Optional[Deal]:
        found = self._deals(login, "ticket=?", (signed(ticket),))
        return found[0] if found else None

    def count_deals(self, login: int, lo_ms: int, hi_ms: int) -> int:
        return self.db.execute("SELECT COUNT(*) FROM deals WHERE login=? AND time_msc BETWEEN ? AND ?",
                               (login, lo_ms, hi_ms)).fetchone()[0]

    def close(self) -> None:
        self.db.close()
