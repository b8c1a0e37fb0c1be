"""What every module function must do with its arguments and with a failed exchange,
written from the documented rules (not from the C++), for the fuzzer and the property
tests.

refusal(name, args, kwargs) -> None when the arguments pass, "typeerror" when Python
itself refuses the call (keywords to a positional-only function, any argument to one
without arguments), else (return value, message) of the -2 failure.
request_code(name, args, kwargs) -> the command a call with accepted arguments sends.
"""
from __future__ import annotations

import datetime
import math
import struct

NOARGS, VARARGS, KEYWORDS = "noargs", "varargs", "keywords"

FLAGS = {
    "initialize": KEYWORDS, "login": KEYWORDS, "shutdown": NOARGS, "version": NOARGS,
    "last_error": NOARGS,
    "terminal_info": NOARGS, "account_info": NOARGS, "symbols_total": NOARGS,
    "symbols_get": KEYWORDS, "symbol_info": VARARGS, "symbol_info_tick": VARARGS,
    "symbol_select": VARARGS, "market_book_add": VARARGS, "market_book_get": VARARGS,
    "market_book_release": VARARGS,
    "copy_rates_from": VARARGS, "copy_rates_from_pos": VARARGS, "copy_rates_range": VARARGS,
    "copy_ticks_from": VARARGS, "copy_ticks_range": VARARGS,
    "positions_total": NOARGS, "positions_get": KEYWORDS, "orders_total": NOARGS,
    "orders_get": KEYWORDS, "history_orders_total": VARARGS, "history_orders_get": KEYWORDS,
    "history_deals_total": VARARGS, "history_deals_get": KEYWORDS,
    "order_check": KEYWORDS, "order_send": KEYWORDS, "order_calc_margin": VARARGS,
    "order_calc_profit": VARARGS,
}
ALL_FUNCTIONS = list(FLAGS)
assert len(ALL_FUNCTIONS) == 32
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
# r the nested TradeRequest.
RECORD_KINDS = {
    "TerminalInfo": "b" * 10 + "i" * 4 + "f" * 2 + "s" * 6,
    "AccountInfo": "iiiiibbiib" + "f" * 14 + "s" * 4,
    "SymbolInfo": "bibb" + "i" * 9 + "b" + "i" * 10 + "b" + "i" * 6 + "f" * 52 + "s" * 13,
    "Tick": "ifffiiif",
    "BookInfo": "ifif",
    "TradeRequest": "iiisfffffiiiiisii",
    "OrderCheckResult": "iffffffsr",
    "OrderSendResult": "iiiffffsiir",
    "TradePosition": "i" * 9 + "f" * 7 + "s" * 3,
    "TradeOrder": "i" * 14 + "f" * 7 + "s" * 3,
    "TradeDeal": "i" * 9 + "f" * 6 + "s" * 3,
}

# ---------------------------------------------------------------------------
# The shared conversions

INT32 = (-2**31, 2**31)
UINT32, UINT64, INT64 = (0, 2**32), (0, 2**64), (-2**63, 2**63)
SYMBOL, PASSWORD, PATH, GROUP = 29, 253, 257, 1997  # longest accepted text, in units


def units(s: str) -> int:
    return sum(2 if ord(c) > 0xFFFF else 1 for c in s)


def is_text(obj, limit: int) -> bool:
    return isinstance(obj, str) and units(obj) <= limit


def is_int(obj, bounds) -> bool:
    return isinstance(obj, int) and bounds[0] <= obj < bounds[1]


def as_double(obj):
    """PyFloat_AsDouble, which struct's "d" applies as well; None when it fails."""
    try:
        return struct.unpack("<d", struct.pack("<d", obj))[0]
    except (struct.error, TypeError, ValueError, OverflowError):
        return None
    except Exception:  # a __float__ or __index__ that raises anything else
        return None


def fits_i(obj) -> bool:
    """Argument format "i": __index__, within int32 (struct's "i" applies the same)."""
    try:
        struct.pack("<i", obj)
        return True
    except Exception:
        return False


def truthy(obj) -> bool | None:
    try:
        return bool(obj)
    except Exception:
        return None


def seconds(obj):
    """The time rule: int, float or datetime to int64 seconds; None when refused."""
    if isinstance(obj, int):
        return obj if is_int(obj, INT64) else None
    if isinstance(obj, float):
        d = obj
    elif isinstance(obj, datetime.datetime):
        try:
            d = as_double(obj.timestamp())
        except Exception:
            return None
        if d is None:
            return None
    else:
        return None
    if not math.isfinite(d):
        return None
    t = math.trunc(d)
    return t if -2**63 <= t < 2**63 else None


def millis(obj):
    s = seconds(obj)
    return None if s is None or not (-2**63 <= s * 1000 < 2**63) else s * 1000


# ---------------------------------------------------------------------------
# Argument rules per function

INVALID = "Invalid arguments"
UNNAMED = "Unnamed arguments not allowed"
COUNT = "Invalid number of arguments"


def kw_message(key: str) -> str:
    return f'Invalid "{key}" argument'


TRADE_KEYS = [
    ("action", "u32"), ("magic", "u64"), ("order", "u64"), ("symbol", "text"),
    ("volume", "float"), ("price", "float"), ("stoplimit", "float"), ("sl", "float"),
    ("tp", "float"), ("deviation", "u64"), ("type", "u32"), ("type_filling", "u32"),
    ("type_time", "u32"), ("expiration", "i64"), ("comment", "text"), ("position", "u64"),
    ("position_by", "u64"),
]
_TRADE_CHECK = {
    "u32": lambda v: is_int(v, UINT32), "u64": lambda v: is_int(v, UINT64),
    "i64": lambda v: is_int(v, INT64), "text": lambda v: is_text(v, SYMBOL),
    "float": lambda v: isinstance(v, float),
}


def _credentials(kwargs) -> str | None:
    for key, ok in (("login", lambda v: is_int(v, UINT64)), ("server", lambda v: is_text(v, PASSWORD)),
                    ("password", lambda v: is_text(v, PASSWORD)),
                    ("timeout", lambda v: is_int(v, UINT32))):
        if key in kwargs and not ok(kwargs[key]):
            return kw_message(key)
    return None


def _positional(fmt: str, args, ms: bool = False) -> bool:
    """A positional-only function: "O" symbol, "T" time, "i" int32, "k" any int,
    "d" a double; the time of the tick functions must also fit in milliseconds."""
    if len(args) != len(fmt):
        return False
    for f, a in zip(fmt, args):
        if f == "S" and not is_text(a, SYMBOL):
            return False
        if f == "T" and (millis(a) if ms else seconds(a)) is None:
            return False
        if f == "i" and not fits_i(a):
            return False
        if f == "k" and not isinstance(a, int):
            return False
        if f == "d" and as_double(a) is None:
            return False
    return True


POSITIONAL = {
    "symbol_info": "S", "symbol_info_tick": "S",
    "copy_rates_from": "SiTi", "copy_rates_from_pos": "Siii", "copy_rates_range": "SiTT",
    "copy_ticks_from": "STii", "copy_ticks_range": "STTi",
    "history_orders_total": "TT", "history_deals_total": "TT",
    "order_calc_margin": "kSdd", "order_calc_profit": "kSddd",
}


def refusal(name: str, args=(), kwargs=None):
    kwargs = kwargs or {}
    flags = FLAGS[name]
    if flags == NOARGS and (args or kwargs):
        return "typeerror"
    if flags == VARARGS and kwargs:
        return "typeerror"
    if name in POSITIONAL:
        ok = _positional(POSITIONAL[name], args, ms=name.startswith("copy_ticks"))
        return None if ok else (None, INVALID)
    if name in ("market_book_add", "market_book_release", "market_book_get"):
        return None if _positional("S", args) else (None, INVALID)
    if name == "symbol_select":
        ok = len(args) in (1, 2) and is_text(args[0], SYMBOL)
        if ok and len(args) == 2 and truthy(args[1]) is None:
            ok = False
        return None if ok else (False, INVALID)
    if name == "initialize":
        if len(args) > 1:
            return False, COUNT
        if args and not is_text(args[0], PATH):
            return False, "Invalid 1st unnamed argument"
        bad = _credentials(kwargs)
        if bad:
            return False, bad
        if "path" in kwargs and not is_text(kwargs["path"], PATH):
            return False, kw_message("path")
        if "portable" in kwargs and truthy(kwargs["portable"]) is None:
            return False, INVALID
        return None
    if name == "login":
        if len(args) > 3:
            return False, COUNT
        for i, (ok, nth) in enumerate([(lambda v: is_int(v, UINT64), "1st"),
                                       (lambda v: is_text(v, PASSWORD), "2nd"),
                                       (lambda v: is_text(v, PASSWORD), "3rd")]):
            if i < len(args) and not ok(args[i]):
                return False, f"Invalid {nth} unnamed argument"
        bad = _credentials(kwargs)
        if bad:
            return False, bad
        login = kwargs.get("login", args[0] if args else 0)
        return (False, kw_message("login")) if login == 0 else None
    if name == "symbols_get":
        if len(args) > 1:
            return False, COUNT
        if args and not is_text(args[0], GROUP):
            return False, "Invalid 1st unnamed argument"
        if "group" in kwargs and not is_text(kwargs["group"], GROUP):
            return False, kw_message("group")
        return None
    if name in ("positions_get", "orders_get"):
        if args:
            return None, UNNAMED
        for key, ok in (("ticket", lambda v: is_int(v, UINT64)), ("symbol", lambda v: is_text(v, SYMBOL)),
                        ("group", lambda v: is_text(v, GROUP))):
            if key in kwargs:
                return None if ok(kwargs[key]) else (None, kw_message(key))
        return None
    if name in ("history_orders_get", "history_deals_get"):
        if len(args) == 2:
            if seconds(args[0]) is None or seconds(args[1]) is None:
                return None, INVALID
            if "group" in kwargs and not is_text(kwargs["group"], GROUP):
                return None, kw_message("group")
            return None
        if not kwargs:
            return None, INVALID
        for key in ("ticket", "position"):
            if key in kwargs:
                if args:
                    return None, UNNAMED
                return None if is_int(kwargs[key], UINT64) else (None, kw_message(key))
        return None, INVALID
    if name in ("order_check", "order_send"):
        if kwargs:
            if args:
                return None, UNNAMED
            request = kwargs
        elif len(args) != 1:
            return None, COUNT
        else:
            request = args[0]
        if not isinstance(request, dict):
            return None, INVALID
        for key, kind in TRADE_KEYS:
            # The module looks keys up with PyDict_GetItemString: subclass hooks do not run.
            if dict.__contains__(request, key) and not _TRADE_CHECK[kind](dict.__getitem__(request, key)):
                return None, kw_message(key)
        return None
    if flags == NOARGS:
        return None
    raise KeyError(name)


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
        if len(args) == 2:
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
