"""The Terminal's protocol, described once: every command and every wire record.

The C++ of the extension and the simulated Terminal both derive from this module: at build
time tools/protocol_headers.py writes the command codes, the packed record structs (with
compile-time proofs of their sizes and offsets), the field rows of the record types and the
request writers; at import orbisyn.simulator.protocol builds its codecs and command codes.

Data only, standard library only: the build runs it with any Python 3.9 or later, before
the package exists. Everything on the wire is little-endian and packed without alignment.

Names: a command's name is lower_snake_case words, written ``Command::kCopyRatesFrom`` in C++
and ``Command.COPY_RATES_FROM`` in Python. A record field's name is its Python field name and
its C++ member name.
"""
from __future__ import annotations

from typing import Dict, List, NamedTuple, Tuple

# ---- value kinds ---------------------------------------------------------------------------

BOOL, I32, U32, I64, U64, F64 = "bool", "i32", "u32", "i64", "u64", "f64"
# In a record: a fixed slot of N UTF-16 units holding a terminated text. In a request or
# reply: an i32 count of UTF-16 units, then the units, without terminator.
TEXT = "text"
# Bytes of a record that the Terminal sends but no Python field shows.
PAD = "pad"

WIDTH = {BOOL: 1, I32: 4, U32: 4, I64: 8, U64: 8, F64: 8}


class Field(NamedTuple):
    name: str
    kind: str
    count: int = 0          # TEXT: units of the slot; PAD: bytes
    shown_after: str = ""   # the Python field order puts it after this field, not in wire order

    @property
    def size(self) -> int:
        if self.kind == TEXT:
            return 2 * self.count
        if self.kind == PAD:
            return self.count
        return WIDTH[self.kind]


def text(name: str, units: int, shown_after: str = "") -> Field:
    return Field(name, TEXT, units, shown_after)


def pad(name: str, nbytes: int) -> Field:
    return Field(name, PAD, nbytes)


class Record(NamedTuple):
    key: str        # how commands name it: "array:deal"
    cpp: str        # the packed struct, e.g. DealRecord
    python: str     # the struct-sequence type, e.g. TradeDeal; "" for none (bars are a dtype)
    size: int       # bytes; checked against the fields
    fields: Tuple[Field, ...]
    nested: str = ""  # a last Python field that holds another record (a result's request)


# ---- records --------------------------------------------------------------------------------

def _scalars(kind: str, names: str) -> Tuple[Field, ...]:
    return tuple(Field(name, kind) for name in names.split())


# Python shows the flags first: build and maxbars after vkid, tradeapi_disabled (the record's
# last byte) beside trade_allowed.
TERMINAL_INFO = Record("terminal_info", "TerminalInfoRecord", "TerminalInfo", 3162, (
    Field("build", U32, shown_after="vkid"),
    *_scalars(BOOL, "community_account community_connection connected dlls_allowed "
                    "trade_allowed email_enabled ftp_enabled notifications_enabled"),
    Field("maxbars", U32, shown_after="build"), Field("vkid", BOOL),
    Field("codepage", I32), Field("ping_last", I32),
    Field("community_balance", F64), Field("retransmission", F64),
    text("company", 260), text("name", 260), text("language", 260), text("path", 260),
    text("data_path", 260), text("commondata_path", 260),
    Field("tradeapi_disabled", BOOL, shown_after="trade_allowed"),
))

ACCOUNT_INFO = Record("account_info", "AccountInfoRecord", "AccountInfo", 851, (
    Field("login", U64),
    *_scalars(U32, "trade_mode leverage limit_orders margin_so_mode"),
    Field("trade_allowed", BOOL), Field("trade_expert", BOOL),
    Field("margin_mode", U32), Field("currency_digits", U32), Field("fifo_close", BOOL),
    *_scalars(F64, "balance credit profit equity margin margin_free margin_level margin_so_call "
                   "margin_so_so margin_initial margin_maintenance assets liabilities "
                   "commission_blocked"),
    text("name", 128), text("server", 64), text("currency", 32), text("company", 128),
))

SYMBOL_INFO = Record("symbol_info", "SymbolInfoRecord", "SymbolInfo", 2993, (
    Field("custom", BOOL), Field("chart_mode", U32), Field("select", BOOL), Field("visible", BOOL),
    *_scalars(U64, "session_deals session_buy_orders session_sell_orders volume volumehigh "
                   "volumelow"),
    Field("time", I64), Field("digits", U32), Field("spread", I32), Field("spread_float", BOOL),
    *_scalars(U32, "ticks_bookdepth trade_calc_mode trade_mode"),
    Field("start_time", I64), Field("expiration_time", I64),
    Field("trade_stops_level", I32), Field("trade_freeze_level", I32),
    *_scalars(U32, "trade_exemode swap_mode swap_rollover3days"),
    Field("margin_hedged_use_leg", BOOL),
    *_scalars(I32, "expiration_mode filling_mode order_mode"),
    *_scalars(U32, "order_gtc_mode option_mode option_right"),
    *_scalars(F64, "bid bidhigh bidlow ask askhigh asklow last lasthigh lastlow volume_real "
                   "volumehigh_real volumelow_real option_strike point trade_tick_value "
                   "trade_tick_value_profit trade_tick_value_loss trade_tick_size "
                   "trade_contract_size trade_accrued_interest trade_face_value "
                   "trade_liquidity_rate volume_min volume_max volume_step volume_limit "
                   "swap_long swap_short margin_initial margin_maintenance session_volume "
                   "session_turnover session_interest session_buy_orders_volume "
                   "session_sell_orders_volume session_open session_close session_aw "
                   "session_price_settlement session_price_limit_min session_price_limit_max "
                   "margin_hedged price_change price_volatility price_theoretical "
                   "price_greeks_delta price_greeks_theta price_greeks_gamma price_greeks_vega "
                   "price_greeks_rho price_greeks_omega price_sensitivity"),
    text("basis", 32), text("category", 64), text("currency_base", 16),
    text("currency_profit", 16), text("currency_margin", 16), text("bank", 256),
    text("description", 64), text("exchange", 64), text("formula", 256), text("isin", 16),
    text("page", 256), text("path", 128),
    # Terminals before SYMBOL_NAME_BUILD send the record without this last slot.
    text("name", 32, shown_after="isin"),
))
SYMBOL_NAME_BUILD = 2364

TICK = Record("tick", "TickRecord", "Tick", 60, (
    Field("time", I64), Field("bid", F64), Field("ask", F64), Field("last", F64),
    Field("volume", U64), Field("time_msc", I64), Field("flags", U32), Field("volume_real", F64),
))

BAR = Record("bar", "BarRecord", "", 60, (
    Field("time", I64), *_scalars(F64, "open high low close"), Field("tick_volume", U64),
    Field("spread", I32), Field("real_volume", U64),
))

BOOK_ENTRY = Record("book_entry", "BookEntryRecord", "BookInfo", 28, (
    Field("type", U32), Field("price", F64), Field("volume", U64), Field("volume_dbl", F64),
))

TRADE_REQUEST = Record("trade_request", "TradeRequestRecord", "TradeRequest", 232, (
    Field("action", U32), Field("magic", U64), Field("order", U64), text("symbol", 32),
    *_scalars(F64, "volume price stoplimit sl tp"), Field("deviation", U64),
    *_scalars(U32, "type type_filling type_time"), Field("expiration", I64),
    text("comment", 32), Field("position", U64), Field("position_by", U64),
))

CHECK_RESULT = Record("check_result", "CheckResultRecord", "OrderCheckResult", 252, (
    Field("retcode", U32),
    *_scalars(F64, "balance equity profit margin margin_free margin_level"),
    text("comment", 100),
), nested="request")

SEND_RESULT = Record("send_result", "SendResultRecord", "OrderSendResult", 260, (
    Field("retcode", U32), Field("deal", U64), Field("order", U64),
    *_scalars(F64, "volume price bid ask"), text("comment", 100),
    Field("request_id", U32), Field("retcode_external", I32),
), nested="request")

POSITION = Record("position", "PositionRecord", "TradePosition", 320, (
    Field("ticket", U64), *_scalars(I64, "time time_msc time_update time_update_msc"),
    Field("type", U32), Field("magic", U64), Field("identifier", U64), Field("reason", U32),
    *_scalars(F64, "volume price_open sl tp price_current"),
    pad("unused", 8),
    Field("swap", F64), Field("profit", F64),
    text("symbol", 32), text("comment", 32), text("external_id", 32),
))

ORDER = Record("order", "OrderRecord", "TradeOrder", 340, (
    Field("ticket", U64),
    *_scalars(I64, "time_setup time_setup_msc time_done time_done_msc time_expiration"),
    *_scalars(U32, "type type_time type_filling state"),
    *_scalars(U64, "magic position_id position_by_id"), Field("reason", U32),
    *_scalars(F64, "volume_initial volume_current price_open sl tp price_current "
                   "price_stoplimit"),
    text("symbol", 32), text("comment", 32), text("external_id", 32),
))

DEAL = Record("deal", "DealRecord", "TradeDeal", 300, (
    Field("ticket", U64), Field("order", U64), Field("time", I64), Field("time_msc", I64),
    Field("type", U32), Field("entry", U32), Field("magic", U64), Field("position_id", U64),
    Field("reason", U32), *_scalars(F64, "volume price commission swap profit fee"),
    text("symbol", 32), text("comment", 32), text("external_id", 32),
))

RECORDS: Tuple[Record, ...] = (
    TERMINAL_INFO, ACCOUNT_INFO, SYMBOL_INFO, TICK, BAR, BOOK_ENTRY,
    TRADE_REQUEST, CHECK_RESULT, SEND_RESULT, POSITION, ORDER, DEAL,
)

# ---- commands -------------------------------------------------------------------------------


class Command(NamedTuple):
    name: str
    code: int
    family: str     # the folder of src/core that sends it (link for the session's own)
    request: Tuple[Tuple[str, str], ...]  # (name, kind) in wire order; kind "record:KEY" too
    reply: Tuple[str, ...]  # what follows the status: kinds, "record:KEY" or "array:KEY"


def _command(name: str, code: int, family: str, request: str = "", reply: str = "") -> Command:
    """request: "name:kind ..." in wire order; reply: "kind ..." (empty: nothing)."""
    fields = tuple(tuple(item.split(":", 1)) for item in request.split())
    return Command(name, code, family, fields, tuple(reply.split()))  # type: ignore[arg-type]


_SYMBOL = "symbol:text"
_RANGE = "date_from:i64 date_to:i64"

COMMANDS: Tuple[Command, ...] = (
    _command("version", 1, "link", "reserved:i32", "i32 i32 text"),
    # protocol is 3, client "Python".
    _command("handshake", 4, "link", "protocol:i32 client:text", "i32"),
    _command("login", 5, "link", "reserved:i32 login:u64 password:text server:text"),
    _command("copy_ticks_from", 104, "market_data",
             f"{_SYMBOL} date_from:i64 count:i32 flags:i32", "array:tick"),
    _command("copy_ticks_range", 105, "market_data", f"{_SYMBOL} {_RANGE} flags:i32",
             "array:tick"),
    _command("copy_rates_from", 106, "market_data",
             f"{_SYMBOL} timeframe:i32 date_from:i64 count:i32", "array:bar"),
    _command("copy_rates_range", 107, "market_data", f"{_SYMBOL} timeframe:i32 {_RANGE}",
             "array:bar"),
    _command("copy_rates_from_pos", 108, "market_data",
             f"{_SYMBOL} timeframe:i32 start_pos:i32 count:i32", "array:bar"),
    _command("connection_state", 109, "link", "", "i32"),
    _command("positions_total", 120, "positions", "", "u32"),
    _command("positions_get", 121, "positions", "", "array:position"),
    _command("positions_get_by_symbol", 122, "positions", _SYMBOL, "array:position"),
    _command("position_get_by_ticket", 123, "positions", "ticket:u64", "record:position"),
    _command("orders_total", 130, "positions", "", "u32"),
    _command("orders_get", 131, "positions", "", "array:order"),
    _command("orders_get_by_symbol", 132, "positions", _SYMBOL, "array:order"),
    _command("order_get_by_ticket", 133, "positions", "ticket:u64", "record:order"),
    _command("history_orders_total", 140, "positions", _RANGE, "u32"),
    _command("history_orders_get", 141, "positions", _RANGE, "array:order"),
    _command("history_orders_get_by_position", 142, "positions", "position:u64", "array:order"),
    _command("history_order_get_by_ticket", 143, "positions", "ticket:u64", "record:order"),
    _command("history_deals_total", 150, "positions", _RANGE, "u32"),
    _command("history_deals_get", 151, "positions", _RANGE, "array:deal"),
    _command("history_deals_get_by_position", 152, "positions", "position:u64", "array:deal"),
    _command("history_deal_get_by_ticket", 153, "positions", "ticket:u64", "record:deal"),
    _command("order_check", 160, "trading", "request:record:trade_request",
             "record:check_result"),
    _command("order_send", 161, "trading", "request:record:trade_request", "record:send_result"),
    _command("order_calc_margin", 162, "trading",
             f"action:u32 {_SYMBOL} volume:f64 price:f64", "f64"),
    _command("order_calc_profit", 163, "trading",
             f"action:u32 {_SYMBOL} volume:f64 price_open:f64 price_close:f64", "f64"),
    # Before SYMBOL_NAME_BUILD the record comes without its name slot.
    _command("symbol_info", 170, "info", _SYMBOL, "record:symbol_info"),
    _command("symbol_select", 171, "info", f"{_SYMBOL} enable:bool"),
    _command("symbol_info_tick", 172, "info", _SYMBOL, "record:tick"),
    _command("symbols_total", 173, "info", "", "u32"),
    _command("symbols_get", 174, "info", "", "array:symbol_info"),
    _command("symbols_get_by_group", 175, "info", "group:text", "array:symbol_info"),
    _command("terminal_info", 180, "info", "", "record:terminal_info"),
    _command("account_info", 190, "info", "", "record:account_info"),
    _command("market_book_add", 191, "info", _SYMBOL),
    _command("market_book_release", 192, "info", _SYMBOL),
    _command("market_book_get", 193, "info", _SYMBOL, "array:book_entry"),
    # The simulated Terminal's own, outside the real Terminal's codes: sent only to a
    # Terminal whose terminal_info names a stepped replay. It moves the replay's present
    # by wait_ms of replay time (negative: to the replay's end), or, with a symbol, to the
    # first tick of that symbol's next bar of the timeframe when it comes sooner; answers
    # the new present (ms), the open time (s) of the bar that opened (0 for none) and
    # whether the replay is over.
    _command("replay_wait", 9001, "link", f"{_SYMBOL} timeframe:i32 wait_ms:i64", "i64 i64 bool"),
)

# ---- what follows from the above ------------------------------------------------------------


def offsets(record: Record) -> Dict[str, int]:
    """Each field's offset: the fields packed in wire order."""
    out, at = {}, 0
    for f in record.fields:
        out[f.name] = at
        at += f.size
    return out


def shown(record: Record) -> List[Field]:
    """The fields a Python record shows, in its order (without the nested one). A field
    shown after another that is itself moved must come later in the wire order."""
    order = [f for f in record.fields if f.kind != PAD and not f.shown_after]
    for f in record.fields:
        if f.shown_after:
            at = [g.name for g in order].index(f.shown_after)
            order.insert(at + 1, f)
    return order


def record(key: str) -> Record:
    for r in RECORDS:
        if r.key == key:
            return r
    raise KeyError(key)


def check() -> None:
    """Raises ValueError where the description contradicts itself."""
    keys = [r.key for r in RECORDS]
    if len(set(keys)) != len(keys):
        raise ValueError("two records share a key")
    for r in RECORDS:
        names = [f.name for f in r.fields]
        if len(set(names)) != len(names):
            raise ValueError(f"{r.key}: a field name repeats")
        for f in r.fields:
            if f.kind not in WIDTH and f.kind not in (TEXT, PAD):
                raise ValueError(f"{r.key}.{f.name}: unknown kind {f.kind!r}")
            if f.kind in (TEXT, PAD) and f.count <= 0:
                raise ValueError(f"{r.key}.{f.name}: no size")
            if f.shown_after and f.shown_after not in names:
                raise ValueError(f"{r.key}.{f.name}: shown after an unknown field")
        total = sum(f.size for f in r.fields)
        if total != r.size:
            raise ValueError(f"{r.key}: the fields make {total} bytes, not {r.size}")
    for what in ("name", "code"):
        values = [getattr(c, what) for c in COMMANDS]
        if len(set(values)) != len(values):
            raise ValueError(f"two commands share a {what}")
    for c in COMMANDS:
        for item in [kind for _, kind in c.request] + list(c.reply):
            if item.startswith(("record:", "array:")):
                record(item.split(":", 1)[1])
            elif item not in WIDTH and item != TEXT:
                raise ValueError(f"{c.name}: unknown kind {item!r}")


check()
