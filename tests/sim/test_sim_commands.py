"""The one registry of commands: every command of the protocol served once, failures turned
into statuses, replies framed as the client reads them."""
from __future__ import annotations

import logging
import struct

import numpy as np
import pytest

from orbisyn.simulator import protocol
from orbisyn.simulator.commands import Registry, command
from orbisyn.simulator.install import default_settings
from orbisyn.simulator.serving.terminal import SimulatedTerminal

CATALOGUE = {protocol.Command.SYMBOLS_TOTAL, protocol.Command.SYMBOLS_GET,
             protocol.Command.SYMBOLS_GET_BY_GROUP}
ALL = set(protocol.Command)


@pytest.mark.parametrize("build, missing", [(protocol.SYMBOL_NAME_BUILD, set()),
                                            (protocol.SYMBOL_NAME_BUILD - 1, CATALOGUE)])
def test_the_terminal_serves_every_command_of_its_build(tmp_path, build, missing):
    terminal = SimulatedTerminal(str(tmp_path), str(tmp_path / "terminal64.exe"),
                                 settings=default_settings(build=build))
    try:
        assert set(terminal.commands.codes()) == ALL - missing
        status = struct.unpack_from("<i", terminal.serve(protocol.Command.SYMBOLS_TOTAL, b""), 8)[0]
        assert (status == protocol.E_UNSUPPORTED) == bool(missing)
    finally:
        terminal.close()


class Part:
    def __init__(self):
        self.around_calls = 0

    def around(self, call):
        self.around_calls += 1
        return call()

    @command(1)
    def ok(self, r):
        text = r.text()
        r.end()
        return protocol.OK, text.encode()

    @command(2)
    def refused(self, r):
        return protocol.E_NOT_FOUND, b"dropped"

    @command(3)
    def short(self, r):
        return protocol.OK, struct.pack("<i", r.i32())

    @command(4)
    def broken(self, r):
        raise RuntimeError("boom")

    @command(5)
    def array(self, r):
        r.end()
        return protocol.OK, [b"\2\0\0\0", np.arange(3, dtype=np.uint8), np.zeros(2, np.uint8)]


@pytest.fixture
def registry():
    reg = Registry()
    reg.add(Part())
    return reg


@pytest.mark.parametrize("code, payload, expected", [
    (1, protocol.pack_text("hi"), (protocol.OK, b"hi")),
    (2, b"", (protocol.E_NOT_FOUND, b"")),            # a failure carries no payload
    (3, b"\1\0", (protocol.E_PARAMS, b"")),            # a payload too short
    (4, b"", (protocol.E_FAIL, b"")),
    (99, b"", (protocol.E_UNSUPPORTED, b"")),
])
def test_a_call_answers_status_and_payload(registry, code, payload, expected):
    assert registry.call(code, payload) == expected


def test_a_failing_handler_is_logged_and_the_next_request_served(registry, caplog):
    with caplog.at_level(logging.INFO, logger="orbisyn.simulator"):
        registry.call(4, b"")
        registry.call(1, b"\0\0\0\0x")                  # trailing bytes
    assert "command 4 failed" in caplog.text and "bad request for command 1" in caplog.text
    assert registry.call(1, protocol.pack_text("ok")) == (protocol.OK, b"ok")


def test_replies_are_framed_whole_or_in_parts(registry):
    assert registry.serve(1, protocol.pack_text("ab")) == protocol.REPLY_HEAD.pack(10, 1, 0) + b"ab"
    parts = registry.serve(5, b"")
    assert len(parts) == 3   # the head goes out with the count; the arrays are not copied
    assert b"".join(bytes(p) for p in parts) == (protocol.REPLY_HEAD.pack(8 + 4 + 5, 5, 0)
                                                  + b"\2\0\0\0\0\1\2\0\0")


def test_each_handler_runs_inside_its_parts_guard():
    part = Part()
    reg = Registry()
    reg.add(part)
    reg.call(1, protocol.pack_text(""))
    reg.call(99, b"")
    assert part.around_calls == 1


def test_a_command_served_twice_is_refused():
    class Again:
        @command(1)
        def other(self, r):
            return protocol.OK, b""

    reg = Registry()
    reg.add(Part())
    with pytest.raises(ValueError, match="command 1 has two handlers"):
        reg.add(Again())
