"""SQLite persistence of accounts, positions, orders and deals.

One database per data folder, in WAL mode with full sync, so a trade committed
before its reply survives a SIGKILL (and a power cut) of the Terminal.

The schema has a version (``PRAGMA user_version``). Version 0 is the store of
release 0.2.0 (an empty file counts as one without tables); each step of
``MIGRATIONS`` takes it one version up, all of them in one transaction when the
store opens. A store newer than this code, or one a step cannot read, is refused
and left as it was.

A new stored field: the model's field, and a step that adds its column.
"""
from __future__ import annotations

import os
import sqlite3
import stat
from typing import Iterable, List, Optional

from .model import DEAL_COLUMNS, ORDER_COLUMNS, POSITION_COLUMNS, Deal, Order, Position

DB_NAME = "trading.sqlite"
FIRST_TICKET = 10001


class StoreError(Exception):
    """The store cannot be used by this release; the message says why and what to do."""


def _cols(columns: Iterable[str]) -> str:
    return ",".join(f'"{c}"' for c in columns)


# The tables of 0.2.0 exactly as it made them: what version 0 means, frozen.
_V0_COLUMNS = {
    "meta": ("key", "value"),
    "accounts": ("login", "balance", "credit", "processed_ms", "created_ms"),
    "positions": ("ticket", "login", "symbol", "type", "volume", "price_open", "sl", "tp",
                  "time_msc", "time_update_msc", "magic", "reason", "comment", "swap",
                  "external_id"),
    "orders": ("ticket", "login", "symbol", "type", "type_time", "type_filling", "state", "magic",
               "position_id", "position_by_id", "reason", "volume_initial", "volume_current",
               "price_open", "sl", "tp", "price_current", "price_stoplimit", "time_setup_msc",
               "time_done_msc", "time_expiration", "comment", "active", "external_id"),
    "deals": ("ticket", "login", "order", "time_msc", "type", "entry", "magic", "position_id",
              "reason", "volume", "price", "commission", "swap", "profit", "fee", "symbol",
              "comment", "external_id"),
}
_V0 = {
    "meta": "CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL)",
    "accounts": "CREATE TABLE accounts(login INTEGER PRIMARY KEY, balance REAL NOT NULL,"
                " credit REAL NOT NULL, processed_ms INTEGER NOT NULL, created_ms INTEGER NOT NULL)",
    **{t: f"CREATE TABLE {t}({_cols(_V0_COLUMNS[t])}, PRIMARY KEY(ticket))"
       for t in ("positions", "orders", "deals")},
}
_V0_META = (f"INSERT OR IGNORE INTO meta(key, value) VALUES('next_ticket', {FIRST_TICKET})",
            "INSERT OR IGNORE INTO meta(key, value) VALUES('request_id', 0)")


def _rebuild(table: str, columns: Iterable[str], indexes: Iterable[str]) -> tuple:
    """Statements that give `table` a new definition and keep its rows, column by column."""
    names = [c.split()[0] for c in columns]
    new = f"{table}_new"
    return (f"CREATE TABLE {new}({', '.join(columns)})",
            f"INSERT INTO {new}({','.join(names)}) SELECT {','.join(names)} FROM {table}",
            f"DROP TABLE {table}",
            f"ALTER TABLE {new} RENAME TO {table}",
            *(f"CREATE INDEX {ix}" for ix in indexes))


# Version 1: typed columns, the ticket as the row id.
_V1_POSITIONS = (
    "ticket INTEGER PRIMARY KEY", "login INTEGER NOT NULL", "symbol TEXT NOT NULL",
    "type INTEGER NOT NULL", "volume REAL NOT NULL", "price_open REAL NOT NULL",
    "sl REAL NOT NULL", "tp REAL NOT NULL", "time_msc INTEGER NOT NULL",
    "time_update_msc INTEGER NOT NULL", "magic INTEGER NOT NULL", "reason INTEGER NOT NULL",
    "comment TEXT NOT NULL", "swap REAL NOT NULL", "external_id TEXT NOT NULL",
)
_V1_ORDERS = (
    "ticket INTEGER PRIMARY KEY", "login INTEGER NOT NULL", "symbol TEXT NOT NULL",
    "type INTEGER NOT NULL", "type_time INTEGER NOT NULL", "type_filling INTEGER NOT NULL",
    "state INTEGER NOT NULL", "magic INTEGER NOT NULL", "position_id INTEGER NOT NULL",
    "position_by_id INTEGER NOT NULL", "reason INTEGER NOT NULL", "volume_initial REAL NOT NULL",
    "volume_current REAL NOT NULL", "price_open REAL NOT NULL", "sl REAL NOT NULL",
    "tp REAL NOT NULL", "price_current REAL NOT NULL", "price_stoplimit REAL NOT NULL",
    "time_setup_msc INTEGER NOT NULL", "time_done_msc INTEGER NOT NULL",
    "time_expiration INTEGER NOT NULL", "comment TEXT NOT NULL", "active INTEGER NOT NULL",
    "external_id TEXT NOT NULL",
)
_V1_DEALS = (
    "ticket INTEGER PRIMARY KEY", "login INTEGER NOT NULL", '"order" INTEGER NOT NULL',
    "time_msc INTEGER NOT NULL", "type INTEGER NOT NULL", "entry INTEGER NOT NULL",
    "magic INTEGER NOT NULL", "position_id INTEGER NOT NULL", "reason INTEGER NOT NULL",
    "volume REAL NOT NULL", "price REAL NOT NULL", "commission REAL NOT NULL",
    "swap REAL NOT NULL", "profit REAL NOT NULL", "fee REAL NOT NULL", "symbol TEXT NOT NULL",
    "comment TEXT NOT NULL", "external_id TEXT NOT NULL",
)

# MIGRATIONS[n] takes a store from version n to n + 1. Append only: a step that has
# shipped is never edited, since stores in the field went through it.
MIGRATIONS: List[tuple] = [
    (*_rebuild("positions", _V1_POSITIONS, ["positions_login ON positions(login)"]),
     *_rebuild("orders", _V1_ORDERS, ["orders_active ON orders(login, active)",
                                      "orders_setup ON orders(login, time_setup_msc)",
                                      "orders_position ON orders(login, position_id)"]),
     *_rebuild("deals", _V1_DEALS, ["deals_time ON deals(login, time_msc)",
                                    "deals_position ON deals(login, position_id)"])),
]
VERSION = len(MIGRATIONS)

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


def _make_private(fd: int, path: str, mode: int) -> None:
    """Ours alone: a file or folder another user owns (or could have swapped in) is refused."""
    st = os.fstat(fd)
    kind = stat.S_ISDIR if mode == 0o700 else stat.S_ISREG
    if not kind(st.st_mode):
        raise StoreError(f"{path} is not a {'folder' if mode == 0o700 else 'file'}; "
                         "the trading store will not use it")
    if st.st_uid != os.geteuid():
        raise StoreError(f"{path} belongs to another user (uid {st.st_uid}); the trading store "
                         "will not use it: move it away")
    if stat.S_IMODE(st.st_mode) != mode:
        os.fchmod(fd, mode)


def _private_files(data_dir: str, create: bool) -> None:
    """The folder 0700 and the store's files 0600, whatever the umask and whoever made them.

    SQLite gives the -wal and -shm files it creates the main file's mode."""
    os.makedirs(data_dir, mode=0o700, exist_ok=True)
    fd = os.open(data_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        _make_private(fd, data_dir, 0o700)
    finally:
        os.close(fd)
    path = db_path(data_dir)
    for name, flags in ((path, os.O_CREAT if create else 0), (path + "-wal", 0), (path + "-shm", 0)):
        try:
            fd = os.open(name, os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC | flags, 0o600)
        except FileNotFoundError:
            continue
        except OSError as exc:  # ELOOP: a link in the store's place
            raise StoreError(f"cannot open {name}: {exc.strerror}") from None
        try:
            _make_private(fd, name, 0o600)
        finally:
            os.close(fd)


def _tables(db: sqlite3.Connection) -> dict:
    names = [r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type='table'")]
    return {n: tuple(r[1] for r in db.execute(f'PRAGMA table_info("{n}")')) for n in names}


def _migrate(db: sqlite3.Connection, path: str) -> None:
    """Bring the store to VERSION in one transaction; on any failure it is left as it was."""
    try:
        db.execute("BEGIN IMMEDIATE")
    except sqlite3.DatabaseError as exc:
        raise _not_a_store(path, exc) from None
    version = None
    try:
        version = db.execute("PRAGMA user_version").fetchone()[0]
        if version > VERSION:
            raise StoreError(f"{path} was written by a newer release (store version {version}; "
                             f"this one reads up to {VERSION}); it was left as it is: use that "
                             f"release, or move the file away to start afresh")
        if version == 0:
            _complete_v0(db, path)
        for step in range(version, VERSION):
            for sql in MIGRATIONS[step]:
                db.execute(sql)
        if version != VERSION:
            db.execute(f"PRAGMA user_version={VERSION}")
        db.execute("COMMIT")
    except BaseException as exc:
        if db.in_transaction:
            db.execute("ROLLBACK")
        if not isinstance(exc, sqlite3.DatabaseError):
            raise
        if version is None:
            raise _not_a_store(path, exc) from None
        raise StoreError(f"{path}: the store of version {version} could not be brought to "
                         f"version {VERSION} ({exc}); it was left as it is") from None


def _complete_v0(db: sqlite3.Connection, path: str) -> None:
    """A new file, or the store of 0.2.0 (which made its tables one by one, so a crash
    could leave some out): whatever is missing of it is made."""
    tables = _tables(db)
    strange = sorted(t for t, cols in tables.items() if _V0_COLUMNS.get(t) != cols)
    if strange:
        raise StoreError(f"{path} is not a trading store this release knows (tables "
                         f"{', '.join(strange)}); it was left as it is")
    for table, sql in _V0.items():
        if table not in tables:
            db.execute(sql)
    for sql in _V0_META:
        db.execute(sql)


def _not_a_store(path: str, exc: Exception) -> StoreError:
    return StoreError(f"{path} is not a trading store ({exc}); it was left as it is")


def _open(path: str) -> sqlite3.Connection:
    return sqlite3.connect(path, isolation_level=None, check_same_thread=False, timeout=10.0)


def connect(data_dir: str, durable: bool = True) -> sqlite3.Connection:
    """The store of the data folder, made or brought up to this release's version.

    Not `durable`: commits are not synced to the disk (a replay's store, which the next
    replay starts afresh: a trade costs it a write to the page cache, not a disk flush)."""
    _private_files(data_dir, create=True)
    path = db_path(data_dir)
    db = _open(path)
    try:
        try:
            db.execute("PRAGMA synchronous=FULL" if durable else "PRAGMA synchronous=OFF")
            # The mode is written into the file: a file of unknown content gets it only
            # once it is known to be a store.
            if os.path.getsize(path) == 0:
                db.execute("PRAGMA journal_mode=WAL")
        except sqlite3.DatabaseError as exc:
            raise _not_a_store(path, exc) from None
        _migrate(db, path)
        db.execute("PRAGMA journal_mode=WAL")
    except BaseException:
        db.close()
        raise
    return db


def open_read_only(data_dir: str) -> Optional["Store"]:
    """The store for reading, which writes nothing to it (None when there is none).

    An older store is brought up to date in a copy in memory. The connection may write
    (query_only forbids it) so that closing it removes the -wal and -shm files as usual."""
    path = db_path(data_dir)
    if not os.path.exists(path):
        return None
    _private_files(data_dir, create=False)
    db = _open(path)
    try:
        try:
            db.execute("PRAGMA query_only=ON")
            version = db.execute("PRAGMA user_version").fetchone()[0]
        except sqlite3.DatabaseError as exc:
            raise _not_a_store(path, exc) from None
        if version != VERSION:
            mem = _open(":memory:")
            db.backup(mem)
            db.close()
            db = mem
            _migrate(db, path)
    except BaseException:
        db.close()
        raise
    return Store(db)


def _insert(head: str, columns: List[str]) -> str:
    return f"{head}({_cols(columns)}) VALUES({','.join('?' * len(columns))})"


class Store:
    """Thin typed access; the caller owns the transactions."""

    def __init__(self, db: sqlite3.Connection):
        self.db = db
        self._ins_pos = _insert("INSERT OR REPLACE INTO positions", POSITION_COLUMNS)
        self._ins_ord = _insert("INSERT OR REPLACE INTO orders", ORDER_COLUMNS)
        self._ins_deal = _insert("INSERT INTO deals", DEAL_COLUMNS)

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
        self.db.execute("INSERT OR REPLACE INTO accounts(login, balance, credit, processed_ms, created_ms) "
                        "VALUES(?,?,?,?,?)",
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
