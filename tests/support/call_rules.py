"""What every module function must do with its arguments and with a failed exchange,
written from the documented rules (not from the C++), for the fuzzer and the property
tests.

refusal(name, args, kwargs) -> None when the arguments pass, else (return value, message)
of the -2 failure: no call raises, whatever it is given.
request_code(name, args, kwargs) -> the command a call with accepted arguments sends.
"""
from __future__ import annotations

import datetime
import math
import operator
import struct

import numpy as np

from . import wire_layouts
from .unknown_names import unknown_message

# Settings of the module itself: they never reach the Terminal nor the error state.
SETTINGS = {"set_timeout", "get_timeout"}

MESSAGES = {
    1: "Success", -1: "Terminal: Call failed", -2: "Terminal: Invalid params",
    -3: "Terminal: Out of memory", -4: "Terminal: Not found",
    -5: "Terminal: Incompatible versions, please install the latest version of Terminal and "
        "Python module",
    -6: "Terminal: Authorization failed", -7: "Terminal: Unsupported function",
    -10000: "IPC call failed", -10001: "IPC send failed", -10002: "IPC recv failed",
    -10004: "No IPC connection", -10005: "IPC timeout",
}


def message(code: int) -> str:
    return MESSAGES.get(code, "Terminal: Call failed")


# Python types of the record fields in record order: b bool, i int, f float, s str,
# r the nested TradeRequest; from the hand-written layouts.
def _kinds(key: str, nested: bool = False) -> str:
    layout, _ = wire_layouts.LAYOUTS[key]
    letters = "".join("s" if isinstance(kind, tuple) else {"bool": "b", "f64": "f"}.get(kind, "i")
                      for _, _, kind in layout)
    return letters + ("r" if nested else "")


RECORD_KINDS = {
    "TerminalInfo": _kinds("terminal_info"), "AccountInfo": _kinds("account_info"),
    "SymbolInfo": _kinds("symbol_info"), "Tick": _kinds("tick"), "BookInfo": _kinds("book_entry"),
    "TradeRequest": _kinds("trade_request"), "OrderCheckResult": _kinds("check_result", True),
    "OrderSendResult": _kinds("send_result", True), "TradePosition": _kinds("position"),
    "TradeOrder": _kinds("order"), "TradeDeal": _kinds("deal"),
}

class Unconvertible:
    """An argument whose every conversion hook raises: no rule may take it, no call raise."""

    def __bool__(self):
        raise RuntimeError("bool")

    def __index__(self):
        raise RuntimeError("index")

    def __int__(self):
        raise RuntimeError("int")

    def __float__(self):
        raise RuntimeError("float")

    def __len__(self):
        raise RuntimeError("len")

    def __str__(self):
        raise RuntimeError("str")


# ---------------------------------------------------------------------------
# The shared conversions

INT32 = (-2**31, 2**31)
UINT32, UINT64, INT64 = (0, 2**32), (0, 2**64), (-2**63, 2**63)
SYMBOL, PASSWORD, PATH, GROUP = 29, 253, 257, 1997  # longest accepted text, in units


def units(s: str) -> int:
    return sum(2 if ord(c) > 0xFFFF else 1 for c in s)


def is_text(obj, limit: int) -> bool:
    return isinstance(obj, str) and units(obj) <= limit


def as_index(obj):
    """The int rule: an int (bool included) or anything with __index__ but numpy's bool;
    None when refused."""
    if isinstance(obj, int):
        return int(obj)
    if isinstance(obj, np.bool_):
        return None
    if getattr(type(obj), "__index__", None) is None:
        return None
    try:
        return operator.index(obj)
    except Exception:
        return None


def is_int(obj, bounds) -> bool:
    v = as_index(obj)
    return v is not None and bounds[0] <= v < bounds[1]


def as_double(obj):
    """PyFloat_AsDouble, which struct's "d" applies as well; None when it fails."""
    try:
        return struct.unpack("<d", struct.pack("<d", obj))[0]
    except Exception:  # a __float__ or __index__ that raises anything
        return None


def as_real(obj):
    """The float rule: any real number but a bool; None when refused."""
    if isinstance(obj, (bool, np.bool_)):
        return None
    return as_double(obj)


def truthy(obj) -> bool | None:
    try:
        return bool(obj)
    except Exception:
        return None


_NP_SECONDS = {"W": 604800, "D": 86400, "h": 3600, "m": 60, "s": 1}
_NP_FRACTION = {"ms": 1000, "us": 10**6, "ns": 10**9}


def _datetime64_seconds(obj):
    if np.isnat(obj):
        return None
    unit, num = np.datetime_data(obj.dtype)
    if unit in ("Y", "M"):
        try:
            obj = obj.astype("datetime64[s]")
        except Exception:
            return None
        unit, num = "s", 1
    count = int(obj.astype(np.int64)) * num
    if unit in _NP_SECONDS:
        return count * _NP_SECONDS[unit]
    if unit in _NP_FRACTION:
        whole = abs(count) // _NP_FRACTION[unit]  # toward zero, as a float's seconds
        return whole if count >= 0 else -whole
    return None


def seconds(obj):
    """The time rule: seconds as int64, truncated toward zero; None when refused."""
    if isinstance(obj, (bool, np.bool_)):
        return None
    if isinstance(obj, int):
        d = obj
    elif isinstance(obj, float):
        d = obj
    elif isinstance(obj, datetime.datetime):
        try:  # the datetime type's own timestamp, whatever the subclass says
            d = datetime.datetime.timestamp(obj)
        except Exception:
            return None
    elif isinstance(obj, datetime.date):
        return None
    elif isinstance(obj, np.datetime64):
        d = _datetime64_seconds(obj)
        if d is None:
            return None
    elif isinstance(obj, (np.bool_, str, bytes)):
        return None
    elif getattr(type(obj), "__index__", None) is not None:
        d = as_index(obj)
        if d is None:
            return None
    elif getattr(type(obj), "__float__", None) is not None:
        d = as_double(obj)
        if d is None:
            return None
    else:
        return None
    if isinstance(d, float):
        if not math.isfinite(d):
            return None
        d = math.trunc(d)
    return d if -2**63 <= d < 2**63 else None


def millis(obj):
    s = seconds(obj)
    return None if s is None or not (-2**63 <= s * 1000 < 2**63) else s * 1000


DATE_WHY = ": a date names no instant, give a datetime"


def _why(kind: str, obj) -> str:
    date_only = isinstance(obj, datetime.date) and not isinstance(obj, datetime.datetime)
    return DATE_WHY if kind in ("time", "millis") and date_only else ""


_CHECK = {
    "symbol": lambda v: is_text(v, SYMBOL), "group": lambda v: is_text(v, GROUP),
    "cred": lambda v: is_text(v, PASSWORD), "path": lambda v: is_text(v, PATH),
    "time": lambda v: seconds(v) is not None, "millis": lambda v: millis(v) is not None,
    "i32": lambda v: is_int(v, INT32), "u32": lambda v: is_int(v, UINT32),
    "u64": lambda v: is_int(v, UINT64), "float": lambda v: as_real(v) is not None,
    "truth": lambda v: truthy(v) is not None, "object": lambda v: True,
}

# ---------------------------------------------------------------------------
# Argument rules per function

INVALID = "Invalid arguments"
UNNAMED = "Unnamed arguments not allowed"
COUNT = "Invalid number of arguments"


def kw_message(key: str) -> str:
    return f'Invalid "{key}" argument'


P, PK, K = "p", "pk", "k"  # by position only, either way, by keyword only
REQ, OPT = True, False

# name: ([(parameter, kind, how, required)], options). Options: numbered (messages
# "Invalid number of arguments", "Invalid 1st unnamed argument"), wins (a keyword replaces
# the positional it repeats), order (keywords are checked in this order), var (other
# keywords form the trade request), refused (the value a refused call returns).
DECLARATIONS = {
    "initialize": ([("path", "path", PK, OPT), ("login", "u64", K, OPT), ("password", "cred", K, OPT),
                    ("server", "cred", K, OPT), ("timeout", "u32", K, OPT), ("portable", "truth", K, OPT)],
                   dict(numbered=True, wins=True, refused=False,
                        order=["login", "server", "password", "timeout", "path", "portable"])),
    "login": ([("login", "u64", PK, OPT), ("password", "cred", PK, OPT), ("server", "cred", PK, OPT),
               ("timeout", "u32", K, OPT)],
              dict(numbered=True, wins=True, refused=False, order=["login", "server", "password", "timeout"])),
    "shutdown": ([], dict(refused=False)), "version": ([], dict(refused=(0, 0, ""))),
    "last_error": ([], dict(refused="error")),
    "terminal_info": ([], {}), "account_info": ([], {}), "symbols_total": ([], {}),
    "positions_total": ([], {}), "orders_total": ([], {}),
    "symbols_get": ([("group", "group", PK, OPT)], dict(numbered=True, wins=True, refused=False)),
    "symbol_info": ([("symbol", "symbol", PK, REQ)], {}),
    "symbol_info_tick": ([("symbol", "symbol", PK, REQ)], {}),
    "market_book_add": ([("symbol", "symbol", PK, REQ)], {}),
    "market_book_get": ([("symbol", "symbol", PK, REQ)], {}),
    "market_book_release": ([("symbol", "symbol", PK, REQ)], {}),
    "symbol_select": ([("symbol", "symbol", PK, REQ), ("enable", "truth", PK, OPT)], dict(refused=False)),
    "copy_rates_from": ([("symbol", "symbol", PK, REQ), ("timeframe", "i32", PK, REQ),
                         ("date_from", "time", PK, REQ), ("count", "i32", PK, REQ)], {}),
    "copy_rates_from_pos": ([("symbol", "symbol", PK, REQ), ("timeframe", "i32", PK, REQ),
                             ("start_pos", "i32", PK, REQ), ("count", "i32", PK, REQ)], {}),
    "copy_rates_range": ([("symbol", "symbol", PK, REQ), ("timeframe", "i32", PK, REQ),
                          ("date_from", "time", PK, REQ), ("date_to", "time", PK, REQ)], {}),
    "copy_ticks_from": ([("symbol", "symbol", PK, REQ), ("date_from", "millis", PK, REQ),
                         ("count", "i32", PK, REQ), ("flags", "i32", PK, REQ)], {}),
    "copy_ticks_range": ([("symbol", "symbol", PK, REQ), ("date_from", "millis", PK, REQ),
                          ("date_to", "millis", PK, REQ), ("flags", "i32", PK, REQ)], {}),
    "positions_get": ([("symbol", "symbol", K, OPT), ("ticket", "u64", K, OPT), ("group", "group", K, OPT)],
                      dict(order=["ticket", "symbol", "group"])),
    "orders_get": ([("symbol", "symbol", K, OPT), ("ticket", "u64", K, OPT), ("group", "group", K, OPT)],
                   dict(order=["ticket", "symbol", "group"])),
    "history_orders_total": ([("date_from", "time", PK, REQ), ("date_to", "time", PK, REQ)], {}),
    "history_deals_total": ([("date_from", "time", PK, REQ), ("date_to", "time", PK, REQ)], {}),
    "history_orders_get": ([("date_from", "time", PK, OPT), ("date_to", "time", PK, OPT),
                            ("group", "group", K, OPT), ("position", "u64", K, OPT), ("ticket", "u64", K, OPT)],
                           dict(order=["date_from", "date_to", "ticket", "position", "group"])),
    "history_deals_get": ([("date_from", "time", PK, OPT), ("date_to", "time", PK, OPT),
                           ("group", "group", K, OPT), ("position", "u64", K, OPT), ("ticket", "u64", K, OPT)],
                          dict(order=["date_from", "date_to", "ticket", "position", "group"])),
    "order_check": ([("request", "object", P, OPT)], dict(numbered=True, var=True)),
    "order_send": ([("request", "object", P, OPT)], dict(numbered=True, var=True)),
    "order_calc_margin": ([("action", "u32", PK, REQ), ("symbol", "symbol", PK, REQ),
                           ("volume", "float", PK, REQ), ("price", "float", PK, REQ)], {}),
    "order_calc_profit": ([("action", "u32", PK, REQ), ("symbol", "symbol", PK, REQ),
                           ("volume", "float", PK, REQ), ("price_open", "float", PK, REQ),
                           ("price_close", "float", PK, REQ)], {}),
}
ALL_FUNCTIONS = list(DECLARATIONS)
assert len(ALL_FUNCTIONS) == 32

TRADE_KEYS = [
    ("action", "u32"), ("magic", "u64"), ("order", "u64"), ("symbol", "text"),
    ("volume", "float"), ("price", "float"), ("stoplimit", "float"), ("sl", "float"),
    ("tp", "float"), ("deviation", "u64"), ("type", "u32"), ("type_filling", "u32"),
    ("type_time", "u32"), ("expiration", "i64"), ("comment", "text"), ("position", "u64"),
    ("position_by", "u64"),
]
_TRADE_CHECK = {
    "u32": lambda v: is_int(v, UINT32), "u64": lambda v: is_int(v, UINT64),
    "i64": lambda v: seconds(v) is not None, "text": lambda v: is_text(v, SYMBOL),
    "float": lambda v: as_real(v) is not None,
}
_ORDINALS = ["1st", "2nd", "3rd", "4th", "5th", "6th", "7th", "8th", "9th"]


def refused_value(name: str, message: str):
    value = DECLARATIONS[name][1].get("refused")
    return (-2, message) if value == "error" else value


def _bind(name, args, kwargs):
    """(values by parameter, names given by keyword) or the refusal message."""
    params, o = DECLARATIONS[name]
    most = 0
    while most < len(params) and "p" in params[most][2]:
        most += 1
    if len(args) > most:
        if o.get("numbered"):
            return COUNT
        if most == 0:
            return UNNAMED if params else f"Invalid arguments: takes none, {len(args)} given"
        least = sum(1 for p in params[:most] if p[3])
        how = "" if least == most else "at most "
        return f"Invalid arguments: takes {how}{most}, {len(args)} given"
    values = {p[0]: a for p, a in zip(params, args)}
    by_keyword = {}
    if not (kwargs and o.get("var")):
        for key in kwargs:
            match = [p for p in params if "k" in p[2] and p[0] == key]
            if not match:
                return unknown_message(key, "argument", [p[0] for p in params if "k" in p[2]])
            if key in values and not o.get("wins"):
                return f'Invalid arguments: "{key}" given twice'
            by_keyword[key] = kwargs[key]
    for pname, _, _, required in params:
        if required and pname not in values and pname not in by_keyword:
            return COUNT if o.get("numbered") else f'Invalid arguments: "{pname}" missing'
    for i, (pname, kind, _, _) in enumerate(params[:len(args)]):
        if not _CHECK[kind](args[i]):
            why = _why(kind, args[i])
            return (f"Invalid {_ORDINALS[i]} unnamed argument{why}" if o.get("numbered")
                    else f'Invalid arguments: "{pname}"{why}')
    kinds = {p[0]: p[1] for p in params}
    for key in o.get("order", [p[0] for p in params]):
        if key in by_keyword and not _CHECK[kinds[key]](by_keyword[key]):
            return kw_message(key) + _why(kinds[key], by_keyword[key])
    values.update(by_keyword)
    return values, set(by_keyword)


def _together(a: str, b: str) -> str:
    return f'Invalid arguments: "{a}" and "{b}" cannot be combined'


def trade_request_refusal(request) -> str | None:
    if not isinstance(request, dict):
        return INVALID
    fields = [k for k, _ in TRADE_KEYS]
    for key in dict.keys(request):  # the module never calls a subclass's hooks
        if key not in fields:
            return unknown_message(key, "key", fields)
    for key, kind in TRADE_KEYS:
        if dict.__contains__(request, key):
            value = dict.__getitem__(request, key)
            if not _TRADE_CHECK[kind](value):
                return kw_message(key) + (_why("time", value) if kind == "i64" else "")
    return None


def refusal(name: str, args=(), kwargs=None):
    kwargs = kwargs or {}
    bound = _bind(name, args, kwargs)
    if isinstance(bound, str):
        return refused_value(name, bound), bound
    values, keywords = bound
    bad = None
    if name == "login":
        if not as_index(values.get("login", 0)):
            bad = kw_message("login")
    elif name in ("positions_get", "orders_get"):
        given = [k for k in ("symbol", "ticket", "group") if k in values]
        if len(given) > 1:
            pair = {"symbol", "ticket"} <= set(given) and ("symbol", "ticket") or \
                {"ticket", "group"} <= set(given) and ("ticket", "group") or ("symbol", "group")
            bad = _together(*pair)
    elif name in ("history_orders_get", "history_deals_get"):
        dates = "date_from" in values, "date_to" in values
        by_id = "ticket" in values or "position" in values
        which = "ticket" if "ticket" in values else "position"
        if by_id and any(dates):
            bad = _together("date_from" if dates[0] else "date_to", which)
        elif "ticket" in values and "position" in values:
            bad = _together("position", "ticket")
        elif "group" in values and by_id:
            bad = _together("group", which)
        elif not all(dates) and not by_id:
            bad = ('Invalid arguments: "date_to" missing' if dates[0] else
                   'Invalid arguments: "date_from" missing' if dates[1] else INVALID)
    elif name in ("order_check", "order_send"):
        if kwargs:
            bad = UNNAMED if args else trade_request_refusal(kwargs)
        elif not args:
            bad = COUNT
        else:
            bad = trade_request_refusal(args[0])
    return None if bad is None else (refused_value(name, bad), bad)


def request_code(name: str, args=(), kwargs=None) -> int | None:
    """The command an accepted call sends (None for calls without an exchange)."""
    kwargs = kwargs or {}
    fixed = {
        "version": 1, "terminal_info": 180, "account_info": 190, "symbols_total": 173,
        "symbol_info": 170, "symbol_info_tick": 172, "symbol_select": 171,
        "market_book_add": 191, "market_book_release": 192, "market_book_get": 193,
        "copy_ticks_from": 104, "copy_ticks_range": 105, "copy_rates_from": 106,
        "copy_rates_range": 107, "copy_rates_from_pos": 108, "positions_total": 120,
        "orders_total": 130, "history_orders_total": 140, "history_deals_total": 150,
        "order_check": 160, "order_send": 161, "order_calc_margin": 162,
        "order_calc_profit": 163,
    }
    if name in fixed:
        return fixed[name]
    if name == "symbols_get":
        group = kwargs.get("group", args[0] if args else "")
        return 175 if group.split("\0")[0] else 174
    if name in ("positions_get", "orders_get"):
        base = 120 if name == "positions_get" else 130
        if "ticket" in kwargs:
            return base + 3
        return base + 2 if "symbol" in kwargs else base + 1
    if name in ("history_orders_get", "history_deals_get"):
        base = 140 if name == "history_orders_get" else 150
        if len(args) + len({"date_from", "date_to"} & set(kwargs)) == 2:
            return base + 1
        return base + 3 if "ticket" in kwargs else base + 2
    return None


RECORD_OF = {
    "terminal_info": "TerminalInfo", "account_info": "AccountInfo", "symbol_info": "SymbolInfo",
    "symbol_info_tick": "Tick", "order_check": "OrderCheckResult", "order_send": "OrderSendResult",
}
TUPLE_OF = {
    "symbols_get": "SymbolInfo", "market_book_get": "BookInfo", "positions_get": "TradePosition",
    "orders_get": "TradeOrder", "history_orders_get": "TradeOrder",
    "history_deals_get": "TradeDeal",
}
BOOL_RESULT = {"initialize", "login", "symbol_select", "market_book_add", "market_book_release"}


def failure(name: str, code: int, request: int | None = None):
    """(return value, error code, message) after an exchange that gave code < 0."""
    if code == -4 and request in (123, 133, 143, 153):
        return (), 1, "Success"
    if name == "version":
        return (0, 0, ""), code, message(code)
    if name == "order_send" and code == -8:
        return None, -8, "Auto-Trading using Python API disabled in Terminal"
    if name == "login" and code == -7:
        return False, -7, "Unsupported authorization mode, OTP or certificate password needed"
    return (False if name in BOOL_RESULT else None), code, message(code)


def without_link(name: str, build: int, answered: bool = True):
    """(return value, code, message) of a call with accepted arguments and no link; build is
    that of the last handshake, answered False when no Terminal ever answered one."""
    if name in ("symbols_total", "symbols_get") and answered and build < 2364:
        return None, -5, message(-5)
    return failure(name, -10004)


def well_formed(value, record: str, depth: int = 0) -> str | None:
    """None when value is a record of that type whose fields have the documented types."""
    kinds = RECORD_KINDS[record]
    if type(value).__name__ != record or not isinstance(value, tuple):
        return f"{type(value).__name__} instead of {record}"
    if len(value) != len(kinds):
        return f"{record} of {len(value)} fields"
    for i, (k, v) in enumerate(zip(kinds, value)):
        want = {"b": bool, "i": int, "f": float, "s": str}.get(k)
        if k == "r":
            bad = well_formed(v, "TradeRequest", depth + 1)
            if bad:
                return bad
        elif type(v) is not want:
            return f"{record} field {i} is {type(v).__name__}, not {want.__name__}"
    return None
