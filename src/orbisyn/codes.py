"""Numeric codes of the Terminal, as ``enum.IntEnum`` classes.

The extension passes these numbers through unchanged; these classes only give
them names.  Every value is usable wherever a plain int is expected, e.g.
``orbisyn.copy_rates_from_pos("EURUSD", Timeframe.H1, 0, 100)``.
"""
from __future__ import annotations

import enum


class Timeframe(enum.IntEnum):
    M1 = 1
    M2 = 2
    M3 = 3
    M4 = 4
    M5 = 5
    M6 = 6
    M10 = 10
    M12 = 12
    M15 = 15
    M20 = 20
    M30 = 30
    H1 = 0x4000 + 1
    H2 = 0x4000 + 2
    H3 = 0x4000 + 3
    H4 = 0x4000 + 4
    H6 = 0x4000 + 6
    H8 = 0x4000 + 8
    H12 = 0x4000 + 12
    D1 = 0x4000 + 24
    W1 = 0x8000 + 1
    MN1 = 0xC000 + 1


class CopyTicks(enum.IntEnum):
    ALL = -1
    INFO = 1
    TRADE = 2


class TickFlag(enum.IntFlag):
    BID = 2
    ASK = 4
    LAST = 8
    VOLUME = 16
    BUY = 32
    SELL = 64


class BookType(enum.IntEnum):
    SELL = 1
    BUY = 2
    SELL_MARKET = 3
    BUY_MARKET = 4


class TradeAction(enum.IntEnum):
    DEAL = 1
    PENDING = 5
    SLTP = 6
    MODIFY = 7
    REMOVE = 8
    CLOSE_BY = 10


class OrderType(enum.IntEnum):
    BUY = 0
    SELL = 1
    BUY_LIMIT = 2
    SELL_LIMIT = 3
    BUY_STOP = 4
    SELL_STOP = 5
    BUY_STOP_LIMIT = 6
    SELL_STOP_LIMIT = 7
    CLOSE_BY = 8


class OrderFilling(enum.IntEnum):
    FOK = 0
    IOC = 1
    RETURN = 2


class OrderTime(enum.IntEnum):
    GTC = 0
    DAY = 1
    SPECIFIED = 2
    SPECIFIED_DAY = 3


class OrderState(enum.IntEnum):
    STARTED = 0
    PLACED = 1
    CANCELED = 2
    PARTIAL = 3
    FILLED = 4
    REJECTED = 5
    EXPIRED = 6


class Reason(enum.IntEnum):
    """Reason of an order, a position or a deal."""
    CLIENT = 0
    MOBILE = 1
    WEB = 2
    EXPERT = 3
    SL = 4
    TP = 5
    SO = 6


class PositionType(enum.IntEnum):
    BUY = 0
    SELL = 1


class DealType(enum.IntEnum):
    BUY = 0
    SELL = 1
    BALANCE = 2
    CREDIT = 3
    CHARGE = 4
    CORRECTION = 5
    BONUS = 6
    COMMISSION = 7


class DealEntry(enum.IntEnum):
    IN = 0
    OUT = 1
    INOUT = 2
    OUT_BY = 3


class TradeRetcode(enum.IntEnum):
    REQUOTE = 10004
    REJECT = 10006
    CANCEL = 10007
    PLACED = 10008
    DONE = 10009
    DONE_PARTIAL = 10010
    ERROR = 10011
    TIMEOUT = 10012
    INVALID = 10013
    INVALID_VOLUME = 10014
    INVALID_PRICE = 10015
    INVALID_STOPS = 10016
    TRADE_DISABLED = 10017
    MARKET_CLOSED = 10018
    NO_MONEY = 10019
    PRICE_CHANGED = 10020
    PRICE_OFF = 10021
    INVALID_EXPIRATION = 10022
    ORDER_CHANGED = 10023
    TOO_MANY_REQUESTS = 10024
    NO_CHANGES = 10025
    SERVER_DISABLES_AT = 10026
    CLIENT_DISABLES_AT = 10027
    LOCKED = 10028
    FROZEN = 10029
    INVALID_FILL = 10030
    CONNECTION = 10031
    LIMIT_ORDERS = 10033
    LIMIT_VOLUME = 10034
    INVALID_ORDER = 10035
    POSITION_CLOSED = 10036
    INVALID_CLOSE_VOLUME = 10038
    LONG_ONLY = 10042
    SHORT_ONLY = 10043
    CLOSE_ONLY = 10044


class AccountTradeMode(enum.IntEnum):
    DEMO = 0
    CONTEST = 1
    REAL = 2


class AccountMarginMode(enum.IntEnum):
    NETTING = 0
    EXCHANGE = 1
    HEDGING = 2


class MarginStopOutMode(enum.IntEnum):
    PERCENT = 0
    MONEY = 1


class SymbolCalcMode(enum.IntEnum):
    FOREX = 0
    FUTURES = 1
    CFD = 2
    CFD_INDEX = 3
    CFD_LEVERAGE = 4
    FOREX_NO_LEVERAGE = 5
    EXCH_STOCKS = 32


class SymbolTradeMode(enum.IntEnum):
    DISABLED = 0
    LONG_ONLY = 1
    SHORT_ONLY = 2
    CLOSE_ONLY = 3
    FULL = 4


class SymbolExecution(enum.IntEnum):
    REQUEST = 0
    INSTANT = 1
    MARKET = 2
    EXCHANGE = 3


class ChartMode(enum.IntEnum):
    BID = 0
    LAST = 1


class SymbolFilling(enum.IntFlag):
    FOK = 1
    IOC = 2


class SymbolExpiration(enum.IntFlag):
    GTC = 1
    DAY = 2
    SPECIFIED = 4
    SPECIFIED_DAY = 8


class SymbolOrderMode(enum.IntFlag):
    MARKET = 1
    LIMIT = 2
    STOP = 4
    STOP_LIMIT = 8
    SL = 16
    TP = 32
    CLOSE_BY = 64


class Result(enum.IntEnum):
    """Codes reported by ``last_error()``."""
    SUCCESS = 1
    FAIL = -1
    INVALID_PARAMS = -2
    NO_MEMORY = -3
    NOT_FOUND = -4
    INVALID_VERSION = -5
    AUTH_FAILED = -6
    UNSUPPORTED = -7
    AUTO_TRADING_DISABLED = -8
    IPC_CALL_FAILED = -10000
    IPC_SEND_FAILED = -10001
    IPC_RECV_FAILED = -10002
    IPC_INIT_FAILED = -10003
    IPC_NO_CONNECTION = -10004
    IPC_TIMEOUT = -10005


class ConnectionState(enum.IntEnum):
    """States the Terminal reports to the readiness poll (command 109)."""
    DISCONNECTED = 0
    CONNECTING = 1
    READY = 2
    AUTH_FAILED = 3
