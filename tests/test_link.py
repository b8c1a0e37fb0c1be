"""Request frames and the exchange rule, seen through version(), initialize() and login(),
and the same rule applied by every command family."""
from __future__ import annotations

import pytest

import orbisyn
from support.fake_terminal import close, f64, i32, no_reply, reply, request, session, split, text, u32, u64
from support.wire_layouts import (ACCOUNT, ACCOUNT_SIZE, BOOK_SIZE, SYMBOL, SYMBOL_SIZE, TERMINAL,
                          TERMINAL_SIZE, TICK, TICK_SIZE, pack)
from support.trade_wire import check_record, record, send_record, with_symbols

HANDSHAKE = bytes.fromhex("18000000 04000000 03000000 06000000") + "Python".encode("utf-16-le")
VERSION = bytes.fromhex("08000000 01000000 00000000")
READY_POLL = bytes.fromhex("04000000 6d000000")
EMPTY = (0, 0, "")


def version_payload(first=5, second=37, label="5.0.37"):
    return i32(first) + i32(second) + text(label)


GOOD = reply(1, 1, version_payload())


def long_version_reply(status):
    """A version reply longer than one 16 KiB chunk."""
    return reply(1, status, i32(5) + i32(37) + u32(10000) + b"a\0" * 10000)


def vm_peak_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmPeak:"):
                return int(line.split()[1])
    raise RuntimeError("no VmPeak")


def test_session_requests_are_exact(fake_terminal):
    session(fake_terminal)
    fake_terminal.script(GOOD)
    assert orbisyn.version() == (5, 37, "5.0.37")
    assert fake_terminal.requests() == [HANDSHAKE, READY_POLL, VERSION]


@pytest.mark.parametrize("kwargs, payload", [
    (dict(login=123456, password="pw", server="Demo-1"), i32(0) + u64(123456) + text("pw") + text("Demo-1")),
    (dict(password="only"), i32(0) + u64(0) + text("only") + text("")),
    (dict(server="s"), i32(0) + u64(0) + text("") + text("s")),
    (dict(login=2**64 - 1), i32(0) + u64(2**64 - 1) + text("") + text("")),
    # A character outside the BMP is two units on the wire.
    (dict(login=True, password="p\U0001F600"), i32(0) + u64(1) + bytes.fromhex("03000000 7000 3dd8 00de") + text("")),
])
def test_initialize_login_frame(fake_terminal, kwargs, payload):
    fake_terminal.script(reply(4, 0, i32(3000)), reply(5, 0), reply(109, 0, i32(2)))
    assert orbisyn.initialize(path=fake_terminal.exe_path, **kwargs) is True, orbisyn.last_error()
    assert fake_terminal.requests() == [HANDSHAKE, request(5, payload), READY_POLL]


@pytest.mark.parametrize("args, kwargs, payload", [
    ((7, "pw", "srv"), {}, u64(7) + text("pw") + text("srv")),
    ((7, "pw"), {}, u64(7) + text("pw") + text("")),
    ((7,), dict(server="srv", password="pw"), u64(7) + text("pw") + text("srv")),
    # A keyword is applied after the positionals and wins.
    ((7, "a", "b"), dict(login=9, password="c", server="d"), u64(9) + text("c") + text("d")),
])
def test_login_frame(fake_terminal, args, kwargs, payload):
    session(fake_terminal)
    fake_terminal.script(reply(5, 0), reply(109, 0, i32(2)))
    assert orbisyn.login(*args, **kwargs) is True, orbisyn.last_error()
    assert fake_terminal.requests()[2:] == [request(5, i32(0) + payload), READY_POLL]


@pytest.mark.parametrize("action, result, error", [
    (GOOD, (5, 37, "5.0.37"), (1, "Success")),
    (reply(1, 7, version_payload(-1, 2**31 - 1, "")), (-1, 2**31 - 1, ""), (1, "Success")),
    (reply(1, 1, version_payload(1, 2, "Vérsion ✓")), (1, 2, "Vérsion ✓"), (1, "Success")),
    # A lone surrogate from the Terminal becomes U+FFFD, never an invalid str.
    (reply(1, 1, i32(1) + i32(2) + u32(2) + b"\x00\xd8a\x00"), (1, 2, "\ufffda"), (1, "Success")),
    # Status 0 is success without values.
    (reply(1, 0, version_payload()), EMPTY, (1, "Success")),
    (split(GOOD, 1, 4, 9, 13, 17, 22, pause=0.01), (5, 37, "5.0.37"), (1, "Success")),
    # A complete reply with another echo is a failed call, whatever its status.
    (reply(2, 1, version_payload()), EMPTY, (-10000, "IPC call failed")),
    (reply(2, -3, version_payload()), EMPTY, (-10000, "IPC call failed")),
    # A negative status ends the reply early.
    (reply(1, -4), EMPTY, (-4, "Terminal: Not found")),
    (reply(1, -5), EMPTY, (-5, "Terminal: Incompatible versions, please install the latest version "
                                "of Terminal and Python module")),
    (reply(1, -8), EMPTY, (-8, "Terminal: Call failed")),
    (reply(1, -12345), EMPTY, (-12345, "Terminal: Call failed")),
    # Too short: status 0 without payload, cut inside the status, cut inside the payload.
    (reply(1, 0), EMPTY, (-10002, "IPC recv failed")),
    (reply(1, 0)[:10].replace(b"\x08", b"\x06", 1), EMPTY, (-10002, "IPC recv failed")),
    (u32(0), EMPTY, (-10002, "IPC recv failed")),
    (reply(1, 1, i32(5)), EMPTY, (-10002, "IPC recv failed")),
    (reply(1, 1, version_payload()[:-2]), EMPTY, (-10002, "IPC recv failed")),
    # Too long: bytes after the payload.
    (reply(1, 1, version_payload() + b"\0\0"), EMPTY, (-10002, "IPC recv failed")),
    # The text claims more units than the reply carries.
    (reply(1, 1, i32(5) + i32(37) + u32(10) + "abc".encode("utf-16-le")), EMPTY, (-10002, "IPC recv failed")),
])
def test_exchange_rule(fake_terminal, action, result, error):
    session(fake_terminal)
    fake_terminal.script(action, GOOD)
    assert orbisyn.version() == result
    assert orbisyn.last_error() == error
    # The link survives every reply that did not break the pipe, and the next
    # exchange reads its own reply.
    assert orbisyn.version() == (5, 37, "5.0.37")
    assert orbisyn.last_error() == (1, "Success")


# name: (command, call, a valid reply payload of that command[, what a failed call returns])
FAMILIES = {
    "terminal_info": (180, lambda: orbisyn.terminal_info(), pack(TERMINAL, TERMINAL_SIZE, {})),
    "account_info": (190, lambda: orbisyn.account_info(), pack(ACCOUNT, ACCOUNT_SIZE, {})),
    "symbol_info": (170, lambda: orbisyn.symbol_info("EURUSD"), pack(SYMBOL, SYMBOL_SIZE, {})),
    "symbol_info_tick": (172, lambda: orbisyn.symbol_info_tick("EURUSD"), pack(TICK, TICK_SIZE, {})),
    "symbols_total": (173, lambda: orbisyn.symbols_total(), u32(3)),
    "symbols_get": (174, lambda: orbisyn.symbols_get(), u32(1) + pack(SYMBOL, SYMBOL_SIZE, {})),
    "symbol_select": (171, lambda: orbisyn.symbol_select("EURUSD"), b"", False),
    "market_book_get": (193, lambda: orbisyn.market_book_get("EURUSD"), u32(1) + bytes(BOOK_SIZE)),
    "copy_rates_from": (106, lambda: orbisyn.copy_rates_from("EURUSD", 1, 0, 2), u32(1) + bytes(60)),
    "copy_ticks_range": (105, lambda: orbisyn.copy_ticks_range("EURUSD", 0, 1, 6), u32(1) + bytes(60)),
    "positions_total": (120, lambda: orbisyn.positions_total(), u32(3)),
    "orders_total": (130, lambda: orbisyn.orders_total(), u32(3)),
    "history_orders_total": (140, lambda: orbisyn.history_orders_total(0, 1), u32(3)),
    "positions_get": (121, lambda: orbisyn.positions_get(), with_symbols("position", ["EURUSD"])),
    "orders_get-ticket": (133, lambda: orbisyn.orders_get(ticket=1), record("order")),
    "history_orders_get-ticket": (143, lambda: orbisyn.history_orders_get(ticket=1), record("order")),
    "positions_get-ticket": (123, lambda: orbisyn.positions_get(ticket=1), record("position")),
    "history_deals_get-ticket": (153, lambda: orbisyn.history_deals_get(ticket=1), record("deal")),
    "history_deals_get-position": (152, lambda: orbisyn.history_deals_get(position=1),
                                   with_symbols("deal", ["EURUSD"])),
    "order_check": (160, lambda: orbisyn.order_check({}), check_record()),
    "order_send": (161, lambda: orbisyn.order_send({}), send_record()),
    "order_calc_margin": (162, lambda: orbisyn.order_calc_margin(0, "EURUSD", 1.0, 1.1), f64(1.0)),
    "order_calc_profit": (163, lambda: orbisyn.order_calc_profit(0, "EURUSD", 1.0, 1.1, 1.2),
                          f64(1.0)),
}


@pytest.mark.parametrize("name", FAMILIES)
def test_exchange_rule_of_each_family(fake_terminal, name):
    code, call, body, failed = (FAMILIES[name] + (None,))[:4]
    cases = [  # (reply, expected code); each must leave the link in step for the next
        (reply(code ^ 1, 0, body), -10000),
        (reply(code ^ 1, -4, body), -10000),
        (reply(code, 0, body + b"\0"), -10002),
        (reply(code, -3), -3),
        (reply(code, -3, body), -3),
    ] + ([(reply(code, 0, body[:-1]), -10002), (reply(code, 0), -10002)] if body else [])
    session(fake_terminal)
    fake_terminal.script(*(data for data, _ in cases), reply(code, 0, body)).sync()
    for data, want in cases:
        assert call() is failed, data[:12]
        assert orbisyn.last_error()[0] == want, data[:12]
    assert call() is not failed, orbisyn.last_error()
    assert orbisyn.last_error() == (1, "Success")


@pytest.mark.parametrize("name", [n for n in FAMILIES if not n.startswith("symbols_")])
def test_family_without_link(name):
    # (the catalogue's build gate answers before the link test: see test_info_catalogue)
    _, call, _, failed = (FAMILIES[name] + (None,))[:4]
    assert call() is failed
    assert orbisyn.last_error() == (-10004, "No IPC connection")


@pytest.mark.parametrize("label", ["x" * 63, "é" * 63, "\U0001F600" * 31 + "abc"])
def test_version_text_up_to_127_utf8_bytes(fake_terminal, label):
    session(fake_terminal)
    fake_terminal.script(reply(1, 1, version_payload(label=label)))
    assert orbisyn.version() == (5, 37, label)


@pytest.mark.parametrize("label", ["x" * 128, "é" * 64, "\U0001F600" * 32])
def test_version_text_over_127_utf8_bytes_is_dropped(fake_terminal, label):
    session(fake_terminal)
    fake_terminal.script(reply(1, 1, version_payload(label=label)))
    assert orbisyn.version() == (5, 37, "")
    assert orbisyn.last_error() == (1, "Success")


@pytest.mark.parametrize("bad, code", [
    # Excess beyond the first 16 KiB chunk stays in the socket unless it is discarded.
    (reply(1, 1, version_payload() + bytes(40000)), -10002),
    (reply(1, 1, version_payload(label="v" * 10000) + b"\x01" * 30000), -10002),
    # The text claims 20000 units, the reply carries 15000: the rest must be drained.
    (reply(1, 1, i32(5) + i32(37) + u32(20000) + b"\xff\xff" * 15000), -10002),
    # A negative status with leftovers still yields the status.
    (reply(1, -3, b"\x08\x00\x00\x00" * 9000), -3),
])
def test_failed_long_reply_is_discarded(fake_terminal, bad, code):
    session(fake_terminal)
    fake_terminal.script(bad, GOOD, GOOD)
    assert orbisyn.version() == EMPTY
    assert orbisyn.last_error()[0] == code
    assert orbisyn.version() == (5, 37, "5.0.37")
    assert orbisyn.version() == (5, 37, "5.0.37")
    assert fake_terminal.unscripted() == []


@pytest.mark.parametrize("count", [0x7FFFFFFF, 0xFFFFFFFF, 0x80000000])
def test_huge_text_count_allocates_nothing(fake_terminal, count):
    session(fake_terminal)
    fake_terminal.script(reply(1, 1, i32(5) + i32(37) + u32(count) + b"ab"), GOOD)
    before = vm_peak_kib()
    assert orbisyn.version() == EMPTY
    assert orbisyn.last_error() == (-10002, "IPC recv failed")
    # An allocation of count * 2 bytes would show in the peak address space.
    assert vm_peak_kib() - before < 256 * 1024
    assert orbisyn.version() == (5, 37, "5.0.37")


@pytest.mark.parametrize("action, first_error", [
    (close(), (-10002, "IPC recv failed")),
    (close(GOOD[:10]), (-10002, "IPC recv failed")),
    (no_reply(0.1), (-10002, "IPC recv failed")),
    # Broken after the first 16 KiB chunk: with the status read, the status wins.
    (close(long_version_reply(-6)[:16384 + 100]), (-6, "Terminal: Authorization failed")),
    (close(long_version_reply(1)[:16384 + 100]), (-10002, "IPC recv failed")),
])
def test_broken_pipe_closes_the_link(fake_terminal, action, first_error):
    session(fake_terminal)
    fake_terminal.script(action, GOOD)
    assert orbisyn.version() == EMPTY
    assert orbisyn.last_error() == first_error
    assert orbisyn.version() == EMPTY
    assert orbisyn.last_error() == (-10004, "No IPC connection")
    assert fake_terminal.requests()[2:] == [VERSION]  # nothing more was sent
    assert fake_terminal.pending() == 1


def test_write_to_a_gone_terminal(fake_terminal):
    session(fake_terminal)
    fake_terminal.stop()
    assert orbisyn.version() == EMPTY
    assert orbisyn.last_error() == (-10001, "IPC send failed")
    assert orbisyn.version() == EMPTY
    assert orbisyn.last_error() == (-10004, "No IPC connection")


def test_initialize_again_after_broken_pipe(fake_terminal):
    session(fake_terminal)
    fake_terminal.script(close())
    orbisyn.version()
    session(fake_terminal)
    fake_terminal.script(GOOD)
    assert orbisyn.version() == (5, 37, "5.0.37")
    assert fake_terminal.connections() == 2


@pytest.mark.parametrize("action, error, stays_open", [
    (reply(4, -5), (-5, "Terminal: Incompatible versions, please install the latest version of "
                       "Terminal and Python module"), True),
    (reply(4, -2, i32(100)), (-2, "Terminal: Invalid params"), True),
    (reply(5, 0, i32(3000)), (-10000, "IPC call failed"), True),
    (reply(4, 0), (-10002, "IPC recv failed"), True),
    (reply(4, 0, i32(3000) + b"x"), (-10002, "IPC recv failed"), True),
    (close(), (-10002, "IPC recv failed"), False),
])
def test_failed_handshake(fake_terminal, action, error, stays_open):
    fake_terminal.script(action)
    assert orbisyn.initialize(path=fake_terminal.exe_path) is False
    assert orbisyn.last_error() == error
    # Nothing after the failed handshake; a link that still works stays open.
    assert fake_terminal.requests() == [HANDSHAKE]
    assert fake_terminal.connected() is stays_open
