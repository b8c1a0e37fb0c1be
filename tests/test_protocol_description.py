"""The protocol's description (orbisyn._protocol) held to the tests' hand-written layouts and
command tables, and what derives from it held to the description: the module's record types
and requests (generated C++), the simulated Terminal's codecs, the header generator."""
from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

import orbisyn
from orbisyn import _protocol as description
from orbisyn.simulator import protocol
from support import wire_layouts as layouts
from support.fake_terminal import i32, reply, session, text, u32
from support.trade_wire import record as trade_record

ROOT = Path(__file__).resolve().parents[1]
DESCRIPTION = ROOT / "src" / "orbisyn" / "_protocol.py"
GENERATOR = ROOT / "tools" / "protocol_headers.py"
D1, D2 = 1_700_000_000, 1_700_086_400


def described(rec: description.Record) -> list:
    """The description in the hand notation: (name, offset, kind) in Python order."""
    at = description.offsets(rec)
    return [(f.name, at[f.name], ("text", f.count) if f.kind == description.TEXT else f.kind)
            for f in description.shown(rec)]


def test_every_record_is_described_once_and_written_down():
    assert sorted(r.key for r in description.RECORDS) == sorted(layouts.LAYOUTS)


@pytest.mark.parametrize("key", sorted(layouts.LAYOUTS))
def test_record_layout_is_the_hand_written_one(key):
    layout, size = layouts.LAYOUTS[key]
    assert description.record(key).size == size
    assert described(description.record(key)) == layout


@pytest.mark.parametrize("rec", [r for r in description.RECORDS if r.python], ids=lambda r: r.python)
def test_module_record_types_show_the_described_fields_in_order(rec):
    record_type = getattr(orbisyn, rec.python)
    fields = list(record_type(tuple(range(record_type.n_fields)))._asdict())
    assert fields == [f.name for f in description.shown(rec)] + ([rec.nested] if rec.nested else [])


@pytest.mark.parametrize("key, dtype", [("bar", protocol.BAR_DTYPE), ("tick", protocol.TICK_DTYPE),
                                        ("book_entry", protocol.BOOK_DTYPE)])
def test_simulator_dtypes_lie_at_the_hand_written_offsets(key, dtype):
    layout, size = layouts.LAYOUTS[key]
    assert dtype.itemsize == size
    assert [(n, dtype.fields[n][1], dtype.fields[n][0].str[1:]) for n in dtype.names] == \
        [(n, at, {"f64": "f8"}.get(k, k[0] + str(int(k[1:]) // 8))) for n, at, k in layout]


@pytest.mark.parametrize("key", sorted(layouts.LAYOUTS))
@pytest.mark.parametrize("variant", ["distinct", "zero", "extreme"])
def test_simulator_reads_records_written_by_hand(key, variant):
    layout, size = layouts.LAYOUTS[key]
    raw, want = layouts.sample(layout, variant)
    got = protocol.LAYOUTS[key].unpack(layouts.pack(layout, size, raw))
    assert layouts.typed([got[name] for name in layouts.names(layout)]) == layouts.typed(want)


@pytest.mark.parametrize("key", sorted(layouts.LAYOUTS))
def test_simulator_writes_records_as_written_by_hand(key):
    layout, size = layouts.LAYOUTS[key]
    values = {}
    for i, (name, _, kind) in enumerate(layout):
        if isinstance(kind, tuple):
            values[name] = f"{i}{name}"[:kind[1] - 1]
        else:
            values[name] = {"bool": i % 2, "f64": i + 0.5}.get(kind, i + 1)
    assert protocol.LAYOUTS[key].pack(values) == layouts.pack(layout, size, values)


# ---- commands ------------------------------------------------------------------------------

def test_commands_have_one_name_in_both_languages(tmp_path):
    subprocess.run([sys.executable, str(GENERATOR), str(DESCRIPTION), str(tmp_path)], check=True)
    header = (tmp_path / "protocol" / "commands.h").read_text()
    cpp = {int(code): name for name, code in re.findall(r"\bk(\w+) = (\d+),", header)}
    python = {int(member): member.name for member in protocol.Command}
    assert len(cpp) == len(python) == len(description.COMMANDS)
    assert {code: name.replace("_", "").lower() for code, name in python.items()} == \
        {code: name.lower() for code, name in cpp.items()}
    # Words, not just letters: each C++ word starts where a Python word does.
    assert all(re.sub(r"(?<!^)([A-Z])", r"_\1", cpp[code]).upper() == python[code]
               for code in cpp)


# (call, command, reply payload, the request's fields as the call gave them)
CALLS = [
    (lambda: orbisyn.copy_rates_from("EURUSD", 16385, D1, 10), 106, u32(0),
     dict(symbol="EURUSD", timeframe=16385, date_from=D1, count=10)),
    (lambda: orbisyn.copy_rates_range("GBPUSD", 1, D1, D2), 107, u32(0),
     dict(symbol="GBPUSD", timeframe=1, date_from=D1, date_to=D2)),
    (lambda: orbisyn.copy_rates_from_pos("X", 5, 7, 3), 108, u32(0),
     dict(symbol="X", timeframe=5, start_pos=7, count=3)),
    (lambda: orbisyn.copy_ticks_from("EURUSD", D1, 5, 2), 104, u32(0),
     dict(symbol="EURUSD", date_from=D1 * 1000, count=5, flags=2)),
    (lambda: orbisyn.copy_ticks_range("EURUSD", D1, D2, 1), 105, u32(0),
     dict(symbol="EURUSD", date_from=D1 * 1000, date_to=D2 * 1000, flags=1)),
    (lambda: orbisyn.order_calc_margin(1, "EURUSD", 0.5, 1.25), 162, b"\0" * 8,
     dict(action=1, symbol="EURUSD", volume=0.5, price=1.25)),
    (lambda: orbisyn.order_calc_profit(0, "USDJPY", 2.0, 150.5, 151.0), 163, b"\0" * 8,
     dict(action=0, symbol="USDJPY", volume=2.0, price_open=150.5, price_close=151.0)),
    (lambda: orbisyn.symbol_select("EURUSD", False), 171, b"", dict(symbol="EURUSD", enable=False)),
    (lambda: orbisyn.symbols_get(group="EUR*"), 175, u32(0), dict(group="EUR*")),
    (lambda: orbisyn.history_orders_total(D1, D2), 140, u32(0), dict(date_from=D1, date_to=D2)),
    (lambda: orbisyn.history_deals_get(position=9), 152, u32(0), dict(position=9)),
    (lambda: orbisyn.positions_get(ticket=2**64 - 1), 123, trade_record("position"),
     dict(ticket=2**64 - 1)),
    (lambda: orbisyn.market_book_get("EURUSD"), 193, u32(0), dict(symbol="EURUSD")),
    (lambda: orbisyn.version(), 1, i32(0) + i32(0) + text(""), dict(reserved=0)),
    (lambda: orbisyn.order_check({"action": 1, "symbol": "EURUSD", "volume": 0.1, "sl": 1.05,
                                  "comment": "c", "expiration": D1, "position_by": 3}),
     160, bytes(252), dict(request=protocol.TradeRequest(action=1, symbol="EURUSD", volume=0.1, sl=1.05,
                                                  comment="c", expiration=D1, position_by=3))),
]


@pytest.mark.parametrize("call, code, payload, fields", CALLS,
                         ids=[str(c[1]) for c in CALLS])
def test_module_requests_read_back_as_described(fake_terminal, call, code, payload, fields):
    session(fake_terminal)
    fake_terminal.script(reply(code, 0, payload))
    call()
    sent = fake_terminal.requests()[-1]
    assert int.from_bytes(sent[4:8], "little") == code
    assert protocol.read_request(code, sent[8:]) == fields


@pytest.mark.parametrize("payload", [b"", text("EURUSD")[:-1], text("EURUSD") + b"\0"])
def test_a_request_that_does_not_fit_is_refused(payload):
    with pytest.raises(protocol.BadRequest):
        protocol.read_request(protocol.Command.SYMBOL_INFO, payload)


# ---- the generator -------------------------------------------------------------------------

@pytest.mark.parametrize("old, new, complaint", [
    ('"TickRecord", "Tick", 60', '"TickRecord", "Tick", 61', "tick: the fields make 60"),
    ('("order_send", 161', '("order_send", 160', "share a code"),
    ('text("isin", 16)', 'text("bank", 16)', "symbol_info: a field name repeats"),
    ('Field("flags", U32)', 'Field("flags", "u16")', "tick.flags: unknown kind"),
    ('shown_after="isin"', 'shown_after="isni"', "symbol_info.name: shown after an unknown"),
    ('"record:check_result"', '"record:check_results"', "check_results"),
    ('_SYMBOL, "array:book_entry"', '_SYMBOL, "array:book_entry u16"', "unknown kind 'u16'"),
])
def test_generator_refuses_a_description_that_contradicts_itself(tmp_path, old, new, complaint):
    source = DESCRIPTION.read_text()
    assert old in source
    broken = tmp_path / "_protocol.py"
    broken.write_text(source.replace(old, new, 1))
    out = subprocess.run([sys.executable, str(GENERATOR), str(broken), str(tmp_path / "out")],
                         capture_output=True, text=True)
    assert out.returncode != 0
    assert complaint in out.stderr
    assert not (tmp_path / "out" / "protocol").exists()
