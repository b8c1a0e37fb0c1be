"""The fake Terminal itself, driven by a raw socket client (no extension needed)."""
from __future__ import annotations

import socket

import pytest

from support.fake_terminal import close, i32, no_reply, reply, request, split, text


def connect(term, timeout=5.0):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.connect(term.socket_path)
    return s


def read_all(s):
    out = bytearray()
    while True:
        part = s.recv(65536)
        if not part:
            return bytes(out)
        out += part


HANDSHAKE = request(4, i32(3) + text("Python"))
BUILD = reply(4, 0, i32(3000))


@pytest.mark.parametrize("action, expect, closes", [
    (BUILD, BUILD, False),
    (split(BUILD, 1, 5, 9, pause=0.02), BUILD, False),
    (close(BUILD[:6]), BUILD[:6], True),
    (close(), b"", True),
    (no_reply(0.05), b"", True),
])
def test_actions(fake_terminal, action, expect, closes):
    fake_terminal.script(action)
    s = connect(fake_terminal)
    s.sendall(HANDSHAKE)
    if closes:
        assert read_all(s) == expect
    else:
        got = b""
        while len(got) < len(expect):
            got += s.recv(100)
        assert got == expect
    assert fake_terminal.requests() == [HANDSHAKE]
    assert fake_terminal.connected() is not closes
    s.close()
    assert not fake_terminal.connected()


def test_queue_order_standing_and_exhaustion(fake_terminal):
    fake_terminal.auto(build=1234, state=7)
    fake_terminal.script(reply(1, 0), reply(2, 0))
    s = connect(fake_terminal)
    for req, want in [(request(1), reply(1, 0)), (request(109), reply(109, 0, i32(7))),
                      (HANDSHAKE, reply(4, 0, i32(1234))), (request(2), reply(2, 0))]:
        s.sendall(req)
        assert s.recv(100) == want
    s.sendall(request(173))
    assert s.recv(100) == b""  # nothing scripted: the connection is closed
    assert fake_terminal.codes() == [1, 109, 4, 2, 173]
    assert fake_terminal.unscripted() == [173]
    assert fake_terminal.connections() == 1
