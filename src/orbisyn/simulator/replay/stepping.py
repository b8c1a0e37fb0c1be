"""A stepped replay: the command that moves its present when the program waits, and the
watch that says so when the program stops waiting.

The present moves only here (after the program's first wait): to the moment the program
waits for, at once. The engine processes every tick in between, in order, when the account
is next looked at (any trading, position or account request does), and at the replay's end.
"""
from __future__ import annotations

import logging
import struct
import threading
import time
from typing import Callable, Optional

from .. import protocol
from ..commands import Reply, Request, command
from ..market.clock import SteppedClock, show
from ..market.market import VALID_TIMEFRAMES
from ..protocol import E_NOT_FOUND, E_UNSUPPORTED, OK, BadRequest

log = logging.getLogger("orbisyn.simulator")

STILL_WARNING_S = 30.0   # a program that waited once and then not for this long: say why
PUBLISH_S = 0.5          # the present in replay.json is at most this old (wall seconds)

_ANSWER = struct.Struct("<qq?")

STILL_TEXT = "time.sleep does not move a stepped replay; use orbisyn.sleep"


class ReplayWait:
    """The replay's own command. Without a stepped replay it answers E_UNSUPPORTED: a
    module sends it only to a Terminal whose terminal_info names a stepped replay."""

    def __init__(self, clock, market, engine, moved: Optional[Callable[[], None]] = None):
        self.clock = clock if getattr(clock, "stepped", False) else None
        self.market = market
        self.engine = engine
        self.moved = moved     # told after each move (the replay's facts follow)
        self._lock = threading.Lock()   # one wait at a time: each moves the present from where it is

    @command(protocol.Command.REPLAY_WAIT)
    def replay_wait(self, r: Request) -> Reply:
        clock = self.clock
        if clock is None:   # as a Terminal answers a command it does not know
            return E_UNSUPPORTED, b""
        symbol, tf, wait_ms = r.text(), r.i32(), r.i64()
        r.end()
        if symbol and self.market.symbol(symbol) is None:
            return E_NOT_FOUND, b""
        if symbol and tf not in VALID_TIMEFRAMES:
            raise BadRequest(f"unknown timeframe {tf}")
        with self._lock:
            now = clock()
            end = clock.until_ms if wait_ms < 0 else min(clock.until_ms, now + wait_ms)
            target, opened = end, 0
            if symbol and now < end:
                tick = self.market.next_bar_tick(symbol, tf, now, end)
                if tick is not None:
                    target = int(tick["time_msc"][0])
                    opened = int(self.market.bar_open(tf, target))
            now = clock.move_to(target)
            if now >= clock.until_ms:
                # What the last ticks did to the account, in its store for the report. Before
                # the end the engine catches up when the program next looks at the account:
                # the same ticks in the same order, however many waits came in between.
                self.engine.transaction(lambda: None)
        if self.moved is not None:
            self.moved()
        return OK, _ANSWER.pack(now, opened, now >= clock.until_ms)


class Watch:
    """Keeps the present in the replay's facts fresh, and notices a program that waited
    once and then waits no more (it sleeps with time.sleep, or has stopped): it logs that
    once per stall, and `status` says it from the facts."""

    def __init__(self, clock: SteppedClock, publish: Callable[[dict], None],
                 still_after_s: float = STILL_WARNING_S):
        self.clock = clock
        self.publish = publish
        self.still_after_s = still_after_s
        self._published = (None, None)   # (present, still) last written
        self._published_at = 0.0
        self._warned_for: Optional[float] = None
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def facts(self) -> dict:
        clock = self.clock
        still = self.still()
        return {"stepped": True, "present_ms": clock(), "waited": clock.waited,
                "last_wait_at": clock.last_wait_at, "still": still}

    def still(self) -> bool:
        last = self.clock.last_wait_at
        return (last is not None and not self.clock.over()
                and time.time() - last > self.still_after_s)

    def moved(self) -> None:
        """After a wait: written now when the replay is over (a sweep waits for that) or the
        facts say it stands still, else within PUBLISH_S."""
        if self.clock.over() or self._published[1]:
            self.flush()

    def flush(self, force: bool = False) -> None:
        with self._lock:
            facts = self.facts()
            key = (facts["present_ms"], facts["still"])
            if not force and key == self._published:
                return
            self.publish(facts)
            self._published = key
            self._published_at = time.monotonic()

    def start(self) -> None:
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name="replay-watch", daemon=True)
            self._thread.start()

    def stop(self) -> None:
        """Ends the watch; nothing is written after this returns."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()

    def _run(self) -> None:
        while not self._stop.wait(PUBLISH_S):
            last = self.clock.last_wait_at
            if self.still() and self._warned_for != last:
                self._warned_for = last
                log.warning("stepped replay at %s: no orbisyn wait for %.0f s, the present stands "
                            "still waiting for the program (%s)", show(self.clock()),
                            time.time() - last, STILL_TEXT)
            try:
                self.flush()
            except OSError as exc:   # a full disk must not end the replay
                log.error("cannot write the replay's facts: %s", exc)
