"""The simulated Terminal's present: the wall clock, or a replay clock over history.

Everything that asks "what time is it" (the current tick, bars up to now, market
hours, the engine's fills and events, the times of orders and deals) asks the one
clock object the Terminal was built with, through ``Market.now_ms()``.
"""
from __future__ import annotations

import datetime as _dt
import re
import threading
import time
from typing import Callable, Optional


def wall_ms() -> int:
    return time.time_ns() // 1_000_000


class ReplayClock:
    """A present that starts at `start_ms` and moves `speed` ms per ms of wall time.

    It stands still at `start_ms` until ``start()`` (the first program connects), and at
    `until_ms` once it gets there: the replay is then over and its market closed.
    Monotonic time drives it, so a change of the system clock does not jump it.
    """

    def __init__(self, start_ms: int, speed: float = 1.0, until_ms: Optional[int] = None,
                 source: Callable[[], int] = time.monotonic_ns):
        if not speed > 0 or speed == float("inf"):
            raise ValueError(f"speed must be a positive number, not {speed!r}")
        if until_ms is not None and until_ms <= start_ms:
            raise ValueError("the replay must end after it starts")
        self.start_ms = int(start_ms)
        self.speed = float(speed)
        self.until_ms = None if until_ms is None else int(until_ms)
        self._source = source
        self._anchor: Optional[int] = None
        self.started_at: Optional[float] = None   # wall time (epoch s) of the start

    def start(self) -> None:
        if self._anchor is None:
            self._anchor = self._source()
            self.started_at = time.time()

    def __call__(self) -> int:
        if self._anchor is None:
            return self.start_ms
        now = self.start_ms + int((self._source() - self._anchor) * self.speed / 1e6)
        return now if self.until_ms is None else min(now, self.until_ms)

    def over(self) -> bool:
        return self.until_ms is not None and self() >= self.until_ms


class SteppedClock:
    """A replay's present that the program moves by waiting (``move_to``), so that a replay
    runs as fast as the program and gives the same deals every time.

    Until the program's first wait it follows the wall clock (at `speed`) only while no
    request has come for IDLE_MS, so that a program that waits with ``time.sleep`` still
    gets somewhere; a request in progress holds it still. From the first wait on, only
    waits move it. It never passes `until_ms`, where the replay is over.
    """

    stepped = True
    IDLE_MS = 1000

    def __init__(self, start_ms: int, until_ms: int, speed: float = 1.0,
                 source: Callable[[], int] = time.monotonic_ns):
        if not speed > 0 or speed == float("inf"):
            raise ValueError(f"speed must be a positive number, not {speed!r}")
        if until_ms <= start_ms:
            raise ValueError("the replay must end after it starts")
        self.start_ms = int(start_ms)
        self.until_ms = int(until_ms)
        self.speed = float(speed)
        self._source = source
        self._lock = threading.Lock()
        self._present = self.start_ms
        self._started = False
        self._busy = 0
        self._idle_since = 0          # monotonic ms when the last request ended
        self.started_at: Optional[float] = None   # wall time (epoch s) of the start
        self.waited = False
        self.last_wait_at: Optional[float] = None  # wall time (epoch s) of the last wait
        self.moves = 0                 # waits so far

    def _mono_ms(self) -> int:
        return self._source() // 1_000_000

    def start(self) -> None:
        with self._lock:
            if not self._started:
                self._started = True
                self._idle_since = self._mono_ms()
                self.started_at = time.time()

    def __call__(self) -> int:
        if self.waited or self._busy or not self._started:
            return self._present
        drift = self._mono_ms() - self._idle_since - self.IDLE_MS
        if drift <= 0:
            return self._present
        return min(self.until_ms, self._present + int(drift * self.speed))

    def request_began(self) -> None:
        with self._lock:
            self._present = self()
            self._busy += 1

    def request_ended(self) -> None:
        with self._lock:
            self._busy -= 1
            self._idle_since = self._mono_ms()

    def move_to(self, when_ms: int) -> int:
        """The present after a wait until `when_ms` (never back, never past the end)."""
        with self._lock:
            self._present = max(self._present, min(int(when_ms), self.until_ms))
            self.waited = True
            self.last_wait_at = time.time()
            self.moves += 1
            return self._present

    def over(self) -> bool:
        return self() >= self.until_ms


def replay_argv(clock) -> list:
    """The Terminal's own arguments that give it this replay clock (none for the wall clock)."""
    if clock is None:
        return []
    out = ["--replay", str(clock.start_ms // 1000), "--speed", repr(clock.speed)]
    out += ["--until", str(clock.until_ms // 1000)] if clock.until_ms is not None else []
    return out + (["--stepped"] if getattr(clock, "stepped", False) else [])


def present_of(start_ms: int, speed: float, until_ms: Optional[int], started_at: float,
               wall_s: Optional[float] = None) -> int:
    """A replay's present as another process sees it, from the facts its Terminal published."""
    wall_s = time.time() if wall_s is None else wall_s
    now = start_ms + int(max(0.0, wall_s - started_at) * speed * 1000)
    return now if until_ms is None else min(now, until_ms)


_WHEN = re.compile(r"^(\d{4})-(\d{2})-(\d{2})(?:[ T](\d{2}):(\d{2})(?::(\d{2}))?)?(?:Z|\+00:?00| UTC)?$")


def parse_when(text: str) -> int:
    """'YYYY-MM-DD[ HH:MM[:SS]]' (UTC; a trailing Z, +00:00 or UTC is allowed) or epoch
    seconds, as epoch milliseconds; ValueError with the reason otherwise."""
    text = text.strip()
    if re.fullmatch(r"\d+", text):
        return int(text) * 1000
    m = _WHEN.match(text)
    if not m:
        raise ValueError(f"{text!r} is no time: expected YYYY-MM-DD[ HH:MM[:SS]] (UTC) or epoch seconds")
    y, mo, d, hh, mi, ss = m.groups()
    try:
        when = _dt.datetime(int(y), int(mo), int(d), int(hh or 0), int(mi or 0), int(ss or 0),
                            tzinfo=_dt.timezone.utc)
    except ValueError as exc:
        raise ValueError(f"{text!r} is no time: {exc}") from None
    return int(when.timestamp()) * 1000


def show(ms: int) -> str:
    return _dt.datetime.fromtimestamp(ms / 1000, _dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")
