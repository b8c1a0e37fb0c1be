"""One way to serve a command.

A handler is a method marked ``@command(CODE)`` on the object that holds what it needs
(a part: the market's commands, the engine's, the login's...). It reads its ``Request``
and answers ``(status, payload)``: bytes, or a list of buffers that go out one after the
other (numpy arrays, unjoined). ``Registry`` holds the handlers of every part, turns a
failure into its status and frames the reply; nothing else writes a reply head.

A part may define ``around(call)``: each of its handlers then runs as ``around(call)``
(the engine's handlers run inside its transaction this way).
"""
from __future__ import annotations

import logging
from typing import Callable, Dict, List, Tuple, Union

from .protocol import E_FAIL, E_PARAMS, E_UNSUPPORTED, REPLY_HEAD, BadRequest, Payload

log = logging.getLogger("orbisyn.simulator")

Body = Union[bytes, bytearray, List]
Reply = Tuple[int, Body]
Handler = Callable[["Request"], Reply]


def command(code: int) -> Callable[[Callable], Callable]:
    """Marks a method as the handler of command `code`."""
    def mark(method: Callable) -> Callable:
        method.command_code = code
        return method
    return mark


class Request(Payload):
    """A request's payload, read in order (it must be read exactly), and where it came from."""

    __slots__ = ("command", "connection")

    def __init__(self, command: int, payload, connection=None):
        super().__init__(payload)
        self.command = command
        self.connection = connection


class Registry:
    """The handlers of the parts, by command code."""

    def __init__(self) -> None:
        self._handlers: Dict[int, Handler] = {}

    def add(self, part: object) -> None:
        """Register every ``@command`` method of `part`; a code served twice is a fault."""
        around = getattr(part, "around", None)
        for name in dir(type(part)):
            code = getattr(getattr(type(part), name), "command_code", None)
            if code is None:
                continue
            if code in self._handlers:
                raise ValueError(f"command {code} has two handlers ({name} and "
                                 f"{self._handlers[code].__qualname__})")
            handler = getattr(part, name)
            self._handlers[code] = handler if around is None else _guarded(around, handler)

    def codes(self) -> List[int]:
        return sorted(self._handlers)

    def call(self, command: int, payload, connection=None) -> Reply:
        """The status and payload of one request; a failed one has no payload."""
        handler = self._handlers.get(command)
        if handler is None:
            return E_UNSUPPORTED, b""
        try:
            status, body = handler(Request(command, payload, connection))
        except BadRequest as exc:
            log.info("bad request for command %d: %s", command, exc)
            return E_PARAMS, b""
        except Exception:  # the request fails, the Terminal goes on
            log.exception("command %d failed", command)
            return E_FAIL, b""
        return (status, body) if status >= 0 else (status, b"")

    def serve(self, command: int, payload, connection=None) -> Union[bytes, List]:
        """The framed reply: bytes, or a list of buffers to send in order."""
        status, body = self.call(command, payload, connection)
        return frame(command, status, body)


def frame(command: int, status: int, body: Body) -> Union[bytes, List]:
    if isinstance(body, (bytes, bytearray)):
        return REPLY_HEAD.pack(8 + len(body), command, status) + body
    size = sum(memoryview(part).nbytes for part in body)
    head = REPLY_HEAD.pack(8 + size, command, status)
    if body and isinstance(body[0], (bytes, bytearray)):  # one send for the head and a count
        return [head + body[0], *body[1:]]
    return [head, *body]


def _guarded(around: Callable, handler: Handler) -> Handler:
    def guarded(request: "Request") -> Reply:
        return around(lambda: handler(request))
    guarded.__qualname__ = handler.__qualname__
    return guarded
