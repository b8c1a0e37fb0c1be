"""Wire layouts of every record, written out by hand from the documented offsets: the one
notation the tests hold the protocol's description (orbisyn._protocol), and through it the
C++ structs and the simulated Terminal, to. Deliberately not derived from anything.

Each layout is a list of (name, offset, kind) in the order of the Python record type (for
bars, of the numpy dtype). Kinds: "bool", "i32", "u32", "i64", "u64", "f64", or
("text", units). Bytes no field covers are sent but not shown. Shared by the tests and the
benchmarks' pure-Python clients.
"""
from __future__ import annotations

import struct

SCALAR = {"bool": "B", "i32": "i", "u32": "I", "i64": "q", "u64": "Q", "f64": "d"}


def _parse(table: str) -> list[tuple[str, int, object]]:
    out = []
    for line in table.strip().splitlines():
        offset, kind, name = line.split()
        if kind.startswith("text"):
            kind = ("text", int(kind[5:-1]))
        out.append((name, int(offset), kind))
    return out


TERMINAL_SIZE = 3162
_TERMINAL_WIRE = _parse("""
0 u32 build
4 bool community_account
5 bool community_connection
6 bool connected
7 bool dlls_allowed
8 bool trade_allowed
9 bool email_enabled
10 bool ftp_enabled
11 bool notifications_enabled
12 u32 maxbars
16 bool vkid
17 i32 codepage
21 i32 ping_last
25 f64 community_balance
33 f64 retransmission
41 text[260] company
561 text[260] name
1081 text[260] language
1601 text[260] path
2121 text[260] data_path
2641 text[260] commondata_path
3161 bool tradeapi_disabled
""")
_TERMINAL_ORDER = (
    "community_account community_connection connected dlls_allowed trade_allowed "
    "tradeapi_disabled email_enabled ftp_enabled notifications_enabled vkid build maxbars "
    "codepage ping_last community_balance retransmission company name language path "
    "data_path commondata_path").split()
TERMINAL = sorted(_TERMINAL_WIRE, key=lambda f: _TERMINAL_ORDER.index(f[0]))

ACCOUNT_SIZE = 851
ACCOUNT = _parse("""
0 u64 login
8 u32 trade_mode
12 u32 leverage
16 u32 limit_orders
20 u32 margin_so_mode
24 bool trade_allowed
25 bool trade_expert
26 u32 margin_mode
30 u32 currency_digits
34 bool fifo_close
35 f64 balance
43 f64 credit
51 f64 profit
59 f64 equity
67 f64 margin
75 f64 margin_free
83 f64 margin_level
91 f64 margin_so_call
99 f64 margin_so_so
107 f64 margin_initial
115 f64 margin_maintenance
123 f64 assets
131 f64 liabilities
139 f64 commission_blocked
147 text[128] name
403 text[64] server
531 text[32] currency
595 text[128] company
""")

SYMBOL_SIZE = 2993
LEGACY_SYMBOL_SIZE = 2929
_SYMBOL_FIXED = _parse("""
0 bool custom
1 u32 chart_mode
5 bool select
6 bool visible
7 u64 session_deals
15 u64 session_buy_orders
23 u64 session_sell_orders
31 u64 volume
39 u64 volumehigh
47 u64 volumelow
55 i64 time
63 u32 digits
67 i32 spread
71 bool spread_float
72 u32 ticks_bookdepth
76 u32 trade_calc_mode
80 u32 trade_mode
84 i64 start_time
92 i64 expiration_time
100 i32 trade_stops_level
104 i32 trade_freeze_level
108 u32 trade_exemode
112 u32 swap_mode
116 u32 swap_rollover3days
120 bool margin_hedged_use_leg
121 i32 expiration_mode
125 i32 filling_mode
129 i32 order_mode
133 u32 order_gtc_mode
137 u32 option_mode
141 u32 option_right
""")
_SYMBOL_DOUBLES = (
    "bid bidhigh bidlow ask askhigh asklow last lasthigh lastlow volume_real volumehigh_real "
    "volumelow_real option_strike point trade_tick_value trade_tick_value_profit "
    "trade_tick_value_loss trade_tick_size trade_contract_size trade_accrued_interest "
    "trade_face_value trade_liquidity_rate volume_min volume_max volume_step volume_limit "
    "swap_long swap_short margin_initial margin_maintenance session_volume session_turnover "
    "session_interest session_buy_orders_volume session_sell_orders_volume session_open "
    "session_close session_aw session_price_settlement session_price_limit_min "
    "session_price_limit_max margin_hedged price_change price_volatility price_theoretical "
    "price_greeks_delta price_greeks_theta price_greeks_gamma price_greeks_vega "
    "price_greeks_rho price_greeks_omega price_sensitivity").split()
_SYMBOL_TEXTS = _parse("""
561 text[32] basis
625 text[64] category
753 text[16] currency_base
785 text[16] currency_profit
817 text[16] currency_margin
849 text[256] bank
1361 text[64] description
1489 text[64] exchange
1617 text[256] formula
2129 text[16] isin
2929 text[32] name
2161 text[256] page
2673 text[128] path
""")
SYMBOL = (_SYMBOL_FIXED + [(n, 145 + 8 * i, "f64") for i, n in enumerate(_SYMBOL_DOUBLES)]
          + _SYMBOL_TEXTS)

TICK_SIZE = 60
TICK = _parse("""
0 i64 time
8 f64 bid
16 f64 ask
24 f64 last
32 u64 volume
40 i64 time_msc
48 u32 flags
52 f64 volume_real
""")

BOOK_SIZE = 28
BOOK = _parse("""
0 u32 type
4 f64 price
12 u64 volume
20 f64 volume_dbl
""")


BAR_SIZE = 60
BAR = _parse("""
0 i64 time
8 f64 open
16 f64 high
24 f64 low
32 f64 close
40 u64 tick_volume
48 i32 spread
52 u64 real_volume
""")

TRADE_REQUEST_SIZE = 232
TRADE_REQUEST = _parse("""
0 u32 action
4 u64 magic
12 u64 order
20 text[32] symbol
84 f64 volume
92 f64 price
100 f64 stoplimit
108 f64 sl
116 f64 tp
124 u64 deviation
132 u32 type
136 u32 type_filling
140 u32 type_time
144 i64 expiration
152 text[32] comment
216 u64 position
224 u64 position_by
""")

CHECK_RESULT_SIZE = 252
CHECK_RESULT = _parse("""
0 u32 retcode
4 f64 balance
12 f64 equity
20 f64 profit
28 f64 margin
36 f64 margin_free
44 f64 margin_level
52 text[100] comment
""")

SEND_RESULT_SIZE = 260
SEND_RESULT = _parse("""
0 u32 retcode
4 u64 deal
12 u64 order
20 f64 volume
28 f64 price
36 f64 bid
44 f64 ask
52 text[100] comment
252 u32 request_id
256 i32 retcode_external
""")

# Bytes 104..111 are sent but not part of TradePosition.
POSITION_SIZE = 320
POSITION = _parse("""
0 u64 ticket
8 i64 time
16 i64 time_msc
24 i64 time_update
32 i64 time_update_msc
40 u32 type
44 u64 magic
52 u64 identifier
60 u32 reason
64 f64 volume
72 f64 price_open
80 f64 sl
88 f64 tp
96 f64 price_current
112 f64 swap
120 f64 profit
128 text[32] symbol
192 text[32] comment
256 text[32] external_id
""")

ORDER_SIZE = 340
ORDER = _parse("""
0 u64 ticket
8 i64 time_setup
16 i64 time_setup_msc
24 i64 time_done
32 i64 time_done_msc
40 i64 time_expiration
48 u32 type
52 u32 type_time
56 u32 type_filling
60 u32 state
64 u64 magic
72 u64 position_id
80 u64 position_by_id
88 u32 reason
92 f64 volume_initial
100 f64 volume_current
108 f64 price_open
116 f64 sl
124 f64 tp
132 f64 price_current
140 f64 price_stoplimit
148 text[32] symbol
212 text[32] comment
276 text[32] external_id
""")

DEAL_SIZE = 300
DEAL = _parse("""
0 u64 ticket
8 u64 order
16 i64 time
24 i64 time_msc
32 u32 type
36 u32 entry
40 u64 magic
48 u64 position_id
56 u32 reason
60 f64 volume
68 f64 price
76 f64 commission
84 f64 swap
92 f64 profit
100 f64 fee
108 text[32] symbol
172 text[32] comment
236 text[32] external_id
""")

# Every record by the name the description gives it: (layout, size).
LAYOUTS = {
    "terminal_info": (TERMINAL, TERMINAL_SIZE), "account_info": (ACCOUNT, ACCOUNT_SIZE),
    "symbol_info": (SYMBOL, SYMBOL_SIZE), "tick": (TICK, TICK_SIZE), "bar": (BAR, BAR_SIZE),
    "book_entry": (BOOK, BOOK_SIZE), "trade_request": (TRADE_REQUEST, TRADE_REQUEST_SIZE),
    "check_result": (CHECK_RESULT, CHECK_RESULT_SIZE), "send_result": (SEND_RESULT, SEND_RESULT_SIZE),
    "position": (POSITION, POSITION_SIZE), "order": (ORDER, ORDER_SIZE), "deal": (DEAL, DEAL_SIZE),
}


def width(kind) -> int:
    return 2 * kind[1] if isinstance(kind, tuple) else struct.calcsize("<" + SCALAR[kind])


def names(layout) -> list[str]:
    return [f[0] for f in layout]


def pack(layout, size: int, raw: dict) -> bytes:
    """A record with raw[name] stored at each field's offset.

    bool fields take the stored byte, text fields a str (encoded as UTF-16LE, cut to the
    field and NUL-padded: a text of exactly the field's units carries no terminator)."""
    buf = bytearray(size)
    for name, offset, kind in layout:
        if name not in raw:
            continue
        value = raw[name]
        if isinstance(kind, tuple):
            data = value.encode("utf-16-le", "surrogatepass")[: 2 * kind[1]]
            if offset + len(data) <= size:
                buf[offset:offset + len(data)] = data
        elif offset < size:
            struct.pack_into("<" + SCALAR[kind], buf, offset, value)
    return bytes(buf)


def unpack(layout, data: bytes) -> dict:
    """The fields of one record by name (texts up to their terminator, flags as bool)."""
    out = {}
    for name, offset, kind in layout:
        if isinstance(kind, tuple):
            raw = data[offset:offset + 2 * kind[1]].decode("utf-16-le", "surrogatepass")
            out[name] = raw.split("\0", 1)[0]
        else:
            out[name] = struct.unpack_from("<" + SCALAR[kind], data, offset)[0]
            if kind == "bool":
                out[name] = out[name] != 0
    return out


def struct_format(layout) -> tuple[str, list[int]]:
    """One struct format for the whole record in wire order (bytes no field covers as
    padding), and for each Python field the index of its value in the unpacked tuple."""
    wire = sorted(layout, key=lambda f: f[1])
    fmt = "<"
    pos = 0
    for _, offset, kind in wire:
        assert offset >= pos, "fields overlap"
        if offset > pos:
            fmt += f"{offset - pos}x"
            pos = offset
        if isinstance(kind, tuple):
            fmt += f"{2 * kind[1]}s"
            pos += 2 * kind[1]
        else:
            fmt += "?" if kind == "bool" else SCALAR[kind]
            pos += struct.calcsize("<" + SCALAR[kind])
    index = {f[0]: i for i, f in enumerate(wire)}
    return fmt, [index[f[0]] for f in layout]


# The tables must fill their records: only the position has bytes without a field.
for _key, (_layout, _size) in LAYOUTS.items():
    _fmt = struct_format(_layout)[0]
    assert struct.calcsize(_fmt) == _size, _key
    assert ("x" in _fmt) == (_key == "position"), _key
assert sorted(SYMBOL, key=lambda f: f[1])[-1][0] == "name" and names(SYMBOL)[93] == "name"


def sample(layout, variant):
    """(raw values to pack, expected Python values) giving each field a value of its own."""
    raw, want = {}, []
    for i, (name, _, kind) in enumerate(layout):
        if isinstance(kind, tuple):
            units = kind[1]
            if variant == "zero":
                r = w = ""
            elif variant == "extreme":  # every unit used: no terminator in the field
                r = w = ("z" * units)[:-1] + "\u00e9"
            elif i % 2:  # a terminator with junk after it
                r, w = f"{name[:4]}\u20ac\U0001d11e\0junk", f"{name[:4]}\u20ac\U0001d11e"
            else:
                r = w = f"{name}-{i}"[:units]
        elif kind == "bool":
            r = {"zero": 0, "extreme": 0xFF}.get(variant, (1, 0, 2, 0x80)[i % 4])
            w = r != 0
        elif kind == "f64":
            r = w = {"zero": (0.0, -0.0)[i % 2], "extreme": -1.5e308}.get(variant, i + 0.25)
        else:
            bits = 32 if kind.endswith("32") else 64
            if kind.startswith("u"):
                r = {"zero": 0, "extreme": 2 ** bits - 1}.get(variant, 2 ** (bits - 1) + i)
            else:
                r = {"zero": 0, "extreme": -2 ** (bits - 1)}.get(variant, -1000 * (i + 1))
            w = r
        raw[name], want = r, want + [w]
    return raw, want


def typed(values):
    # repr keeps what == hides: the sign of a zero, True against 1.
    return [(type(v), repr(v)) for v in values]
