"""A replay: its own folder (account state, the facts `status` and `report` read) and the
start of its clock.

``<data>/replay/trading.sqlite`` holds the accounts of the replay (the paper accounts
in ``<data>/trading.sqlite`` are never touched); each replay starts it afresh, so
every account begins with its configured deposit at the replay's start.
``<data>/replay/replay.json`` says when the replay started (in replay and in wall
time), how fast it runs, until when, and, once the Terminal stopped, where it ended.
"""
from __future__ import annotations

import json
import logging
import os
from typing import Any, Optional

from ..market.clock import present_of, show

log = logging.getLogger("orbisyn.simulator")

REPLAY_DIR = "replay"
FACTS_FILE = "replay.json"


def replay_dir(data_dir: str) -> str:
    return os.path.join(data_dir, REPLAY_DIR)


def begin(data_dir: str) -> str:
    """Clear the last replay's state; returns the folder the replay's engine keeps its store in."""
    folder = replay_dir(data_dir)
    os.makedirs(folder, exist_ok=True)
    for name in ("trading.sqlite", "trading.sqlite-wal", "trading.sqlite-shm", FACTS_FILE):
        try:
            os.unlink(os.path.join(folder, name))
        except FileNotFoundError:
            pass
    return folder


def _write(data_dir: str, facts: dict[str, Any]) -> None:
    path = os.path.join(replay_dir(data_dir), FACTS_FILE)
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        json.dump(facts, f)
    os.replace(path + ".tmp", path)


def publish(data_dir: str, clock, more: Optional[dict[str, Any]] = None) -> None:
    _write(data_dir, {"pid": os.getpid(), "start_ms": clock.start_ms, "speed": clock.speed,
                      "until_ms": clock.until_ms, "started_at": clock.started_at, **(more or {})})


def attach(terminal, data_dir: str, clock) -> None:
    """Publish the replay; its clock starts with the first handshake (the first program that
    connects), so the time a strategy takes to start costs it no replay time. A stepped
    replay's present is published as it moves (``present_ms``)."""
    watch = None
    if getattr(clock, "stepped", False):
        from .stepping import STILL_WARNING_S, Watch
        still = float(terminal.settings.values.get("stepped_still_warning_s", STILL_WARNING_S))
        watch = Watch(clock, lambda more: publish(data_dir, clock, more), still)
        terminal.replay_wait.moved = watch.moved
        terminal.replay_watch = watch
    publish(data_dir, clock, watch.facts() if watch else None)

    def start() -> None:
        clock.start()
        if watch is not None:
            watch.flush(force=True)
            watch.start()
            log.info("stepped replay from %s until %s started: the present moves when the program "
                     "waits (orbisyn.sleep, orbisyn.wait_bar)", show(clock.start_ms), show(clock.until_ms))
            return
        publish(data_dir, clock)
        log.info("replay from %s at %gx%s started", show(clock.start_ms), clock.speed,
                 f" until {show(clock.until_ms)}" if clock.until_ms is not None else "")
    terminal.on_handshake = start


def ended(data_dir: str, clock) -> None:
    got = facts(data_dir)
    if got is not None:
        got["ended_ms"] = clock()
        if got.get("stepped"):
            got["present_ms"] = got["ended_ms"]
        _write(data_dir, got)


def facts(data_dir: str) -> Optional[dict[str, Any]]:
    """What the last replay's Terminal published, or None when there was none."""
    try:
        with open(os.path.join(replay_dir(data_dir), FACTS_FILE), encoding="utf-8") as f:
            got = json.load(f)
    except (OSError, ValueError):
        return None
    return got if isinstance(got, dict) and "start_ms" in got else None


def present(got: dict[str, Any]) -> int:
    """The replay's present: where it ended, or where its clock is now while it runs."""
    if got.get("ended_ms") is not None:
        return int(got["ended_ms"])
    if got.get("stepped"):
        return int(got.get("present_ms") or got["start_ms"])
    if got.get("started_at") is None:
        return int(got["start_ms"])
    return present_of(int(got["start_ms"]), float(got["speed"]), got.get("until_ms"),
                      float(got["started_at"]))
