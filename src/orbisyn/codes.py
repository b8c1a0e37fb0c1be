"""Numeric codes of the Terminal, as ``enum.IntEnum`` classes.

The extension passes these numbers through unchanged; these classes only give
them names.  Every value is usable wherever a plain int is expected, e.g.
``orbisyn.copy_rates_from_pos("EURUSD", Timeframe.H1, 0, 100)``.
"""
from __future__ import annotations

import enum


class Timeframe(enum.IntEnum):
    """Bar length: the ``timeframe`` of the ``copy_rates_*`` functions."""
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
    """Which ticks to copy: the ``flags`` of ``copy_ticks_from`` and ``copy_ticks_range``."""
    ALL = -1
    INFO = 1
    TRADE = 2


class TickFlag(enum.IntFlag):
    """What changed with a tick: bits of ``Tick.flags`` and of the ``flags`` field of tick arrays."""
    BID = 2
    ASK = 4
    LAST = 8
    VOLUME = 16
    BUY = 32
    SELL = 64


class BookType(enum.IntEnum):
    """Side of a depth-of-market level: ``BookInfo.type``."""
    SELL = 1
    BUY = 2
    SELL_MARKET = 3
    BUY_MARKET = 4


class TradeAction(enum.IntEnum):
    """What a trade request does: its ``action``."""
    DEAL = 1
    PENDING = 5
    SLTP = 6
    MODIFY = 7
    REMOVE = 8
    CLOSE_BY = 10


class OrderType(enum.IntEnum):
    """Order type: ``type`` of a trade request and of ``TradeOrder``; the ``action`` of ``order_calc_margin`` and ``order_calc_profit`` (BUY or SELL)."""
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
    """Filling policy: ``type_filling`` of a trade request and of ``TradeOrder``."""
    FOK = 0
    IOC = 1
    RETURN = 2


class OrderTime(enum.IntEnum):
    """Lifetime of a pending order: ``type_time`` of a trade request and of ``TradeOrder``."""
    GTC = 0
    DAY = 1
    SPECIFIED = 2
    SPECIFIED_DAY = 3


class OrderState(enum.IntEnum):
    """State of an order: ``TradeOrder.state``."""
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
    """Direction of a position: ``TradePosition.type``."""
    BUY = 0
    SELL = 1


class DealType(enum.IntEnum):
    """Kind of deal: ``TradeDeal.type``."""
    BUY = 0
    SELL = 1
    BALANCE = 2
    CREDIT = 3
    CHARGE = 4
    CORRECTION = 5
    BONUS = 6
    COMMISSION = 7


class DealEntry(enum.IntEnum):
    """What a deal did to its position: ``TradeDeal.entry``."""
    IN = 0
    OUT = 1
    INOUT = 2
    OUT_BY = 3


class TradeRetcode(enum.IntEnum):
    """Trade server's answer: ``retcode`` of ``OrderSendResult`` (``OrderCheckResult.retcode`` is 0 when the request would pass)."""
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
    """Kind of account: ``AccountInfo.trade_mode``."""
    DEMO = 0
    CONTEST = 1
    REAL = 2


class AccountMarginMode(enum.IntEnum):
    """How positions are kept: ``AccountInfo.margin_mode``."""
    NETTING = 0
    EXCHANGE = 1
    HEDGING = 2


class MarginStopOutMode(enum.IntEnum):
    """Unit of the stop-out levels: ``AccountInfo.margin_so_mode``."""
    PERCENT = 0
    MONEY = 1


class SymbolCalcMode(enum.IntEnum):
    """How margin and profit are computed: ``SymbolInfo.trade_calc_mode``."""
    FOREX = 0
    FUTURES = 1
    CFD = 2
    CFD_INDEX = 3
    CFD_LEVERAGE = 4
    FOREX_NO_LEVERAGE = 5
    EXCH_STOCKS = 32


class SymbolTradeMode(enum.IntEnum):
    """What trading a symbol allows: ``SymbolInfo.trade_mode``."""
    DISABLED = 0
    LONG_ONLY = 1
    SHORT_ONLY = 2
    CLOSE_ONLY = 3
    FULL = 4


class SymbolExecution(enum.IntEnum):
    """Execution mode of a symbol: ``SymbolInfo.trade_exemode``."""
    REQUEST = 0
    INSTANT = 1
    MARKET = 2
    EXCHANGE = 3


class ChartMode(enum.IntEnum):
    """Price that bars are built from: ``SymbolInfo.chart_mode``."""
    BID = 0
    LAST = 1


class SymbolFilling(enum.IntFlag):
    """Filling policies a symbol allows: bits of ``SymbolInfo.filling_mode``."""
    FOK = 1
    IOC = 2


class SymbolExpiration(enum.IntFlag):
    """Lifetimes a symbol allows for pending orders: bits of ``SymbolInfo.expiration_mode``."""
    GTC = 1
    DAY = 2
    SPECIFIED = 4
    SPECIFIED_DAY = 8


class SymbolOrderMode(enum.IntFlag):
    """Order types a symbol allows: bits of ``SymbolInfo.order_mode``."""
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
    # orbisyn.wait_bar and orbisyn.sleep: no new bar within the timeout; the replay has
    # reached its end (the link stays open with both)
    WAIT_TIMEOUT = -10200
    REPLAY_OVER = -10201


class ConnectionState(enum.IntEnum):
    """States the Terminal reports to the readiness poll (command 109)."""
    DISCONNECTED = 0
    CONNECTING = 1
    READY = 2
    AUTH_FAILED = 3
