"""One run of a sweep in a process of its own: install, replay, script, stop, measure.

    python -m orbisyn.simulator.optimize.cycle BASE [RUN_DIR]

BASE/spec.json says what to run, BASE/result.json is what came of it. The process's
XDG_DATA_HOME and XDG_RUNTIME_DIR (RUN_DIR) are the run's own, so the installation, the
Terminal and the script's plain ``initialize()`` find this run's Terminal and no other.
SIGTERM or SIGINT stops the run; its Terminal and script are ended whatever happens. So
does the end of the process that started it (a sweep killed outright), and then nobody
is left to read the result: the run removes BASE and RUN_DIR itself.
"""
from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import traceback
from typing import Any, Dict, Optional

GRACE_S = 1.0        # for a script to end by itself once its replay is over
STOP_WAIT_S = 20.0   # for a Terminal or a script to leave after SIGTERM
TAIL_LINES = 6


class Stopped(Exception):
    pass


class _Flag:
    """Set by SIGTERM or SIGINT, and once the process that started this one has gone."""

    def __init__(self) -> None:
        self._set = False
        self.parent = os.getppid()

    def __call__(self, signum, frame) -> None:
        self._set = True

    def orphaned(self) -> bool:
        return os.getppid() != self.parent

    @property
    def set(self) -> bool:
        return self._set or self.orphaned()


def tail(path: str, lines: int = TAIL_LINES) -> str:
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 8192))
            text = f.read().decode(errors="replace")
    except OSError:
        return ""
    kept = [line.rstrip() for line in text.splitlines() if line.strip()]
    return "\n".join(kept[-lines:])


def _end_group(proc: subprocess.Popen) -> None:
    """End a process started in a session of its own, with whatever it started."""
    if proc.poll() is not None:
        return
    for sig, wait in ((signal.SIGTERM, STOP_WAIT_S), (signal.SIGKILL, None)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(wait)
            return
        except subprocess.TimeoutExpired:
            continue


class Cycle:
    def __init__(self, base: str, spec: Dict[str, Any], flag: _Flag):
        self.base = base
        self.spec = spec
        self.flag = flag
        self.inst_dir = os.path.join(base, "inst")
        self.log = os.path.join(base, "terminal.out")
        self.exe = ""        # known once installed
        self.data_dir = ""
        self.terminal: Optional[subprocess.Popen] = None

    def check(self) -> None:
        if self.flag.set:
            raise Stopped()

    def start(self) -> Optional[str]:
        """Install and start the replay; an error, or None."""
        from .. import install
        from ..market.clock import ReplayClock, SteppedClock, replay_argv
        from ..serving.running import launch
        res = install.install(self.inst_dir, seed=self.spec.get("seed"))
        self.exe, self.data_dir = res["exe"], res["data_dir"]
        settings = install.load_settings(self.data_dir)
        settings["connect_delay_ms"] = 0   # a sweep has nothing to learn from a slow login
        install.save_settings(self.data_dir, settings)
        self.check()
        s = self.spec
        start, until = int(s["start"]) * 1000, int(s["until"]) * 1000
        clock = (SteppedClock(start, until) if s["stepped"]
                 else ReplayClock(start, float(s["speed"]), until))
        with open(self.log, "ab") as log:
            self.terminal, problem = launch(self.exe, replay_argv(clock), out=log)
        if problem:
            return f"{problem}:\n" + (tail(self.log) or tail(self._terminal_log()))
        return None

    def _terminal_log(self) -> str:
        return os.path.join(self.data_dir, "logs", "simulator.log")

    def _replay_over(self) -> bool:
        from ..replay import folder as replay
        facts = replay.facts(self.data_dir)
        return (facts is not None and facts.get("until_ms") is not None
                and replay.present(facts) >= int(facts["until_ms"]))

    def script(self) -> Optional[str]:
        """Run the script until it ends, the replay is over, or it fails; an error, or None."""
        from ..._params import ENV, encode
        from ..serving.running import running_pid
        self.check()
        s = self.spec
        path, cwd = s["script"], s.get("cwd") or os.path.dirname(s["script"])
        if s.get("script_text") is not None:   # sent to a worker of another machine
            cwd = os.path.join(self.base, "script")
            os.makedirs(cwd)
            path = os.path.join(cwd, os.path.basename(s["script"]))
            with open(path, "w", encoding="utf-8") as f:
                f.write(s["script_text"])
        out, err = os.path.join(self.base, "script.out"), os.path.join(self.base, "script.err")
        env = dict(os.environ, **{ENV: encode(s["params"])})
        with open(out, "wb") as fo, open(err, "wb") as fe:
            proc = subprocess.Popen([sys.executable, path], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                    stdout=fo, stderr=fe, start_new_session=True)
        started = time.monotonic()
        over_at: Optional[float] = None
        try:
            while proc.poll() is None:
                self.check()
                now = time.monotonic()
                if s.get("timeout") and now - started > s["timeout"]:
                    return f"timeout: the script ran longer than {s['timeout']:g} s"
                if running_pid(self.exe) is None:
                    return "the Terminal died:\n" + tail(self._terminal_log())
                if over_at is None and self._replay_over():
                    over_at = now
                if over_at is not None and now - over_at > GRACE_S:
                    return None   # the market is closed: nothing the script does counts now
                with contextlib.suppress(subprocess.TimeoutExpired):
                    proc.wait(0.05)
        finally:
            _end_group(proc)
        if proc.returncode < 0:
            return f"the script was killed by signal {-proc.returncode}"
        if proc.returncode != 0:
            return f"the script failed (exit {proc.returncode}):\n" + tail(err)
        return None

    def stop_terminal(self) -> None:
        if self.terminal is None:
            return
        from ..serving.running import stop
        stop(self.exe, self.data_dir, STOP_WAIT_S)
        try:
            self.terminal.wait(5.0)   # ours to reap
        except subprocess.TimeoutExpired:   # it did not stop, or never held its lock
            self.terminal.kill()
            self.terminal.wait()

    def measure(self) -> Dict[str, Any]:
        from .. import install
        from ..replay import report
        src, curve = report.measure(self.data_dir, install.load_settings(self.data_dir))
        return {"stats": report.statistics(src.deals, curve),
                "deals": [dataclasses.astuple(d) for d in src.deals],
                "curve": [curve.times, curve.balance, curve.equity],
                "title": src.title, "subtitle": src.subtitle, "currency": src.currency}


def run(base: str, flag: _Flag) -> Dict[str, Any]:
    with open(os.path.join(base, "spec.json"), encoding="utf-8") as f:
        spec = json.load(f)
    cycle = Cycle(base, spec, flag)
    out: Dict[str, Any] = {"error": "", "stats": None}
    try:
        try:
            error = cycle.start() or cycle.script()
        finally:
            cycle.stop_terminal()
        if error:
            out["error"] = error
        else:
            cycle.check()
            out.update(cycle.measure())
    except Stopped:
        out["error"], out["stopped"] = "stopped", True
    except Exception as exc:   # a row says what went wrong, the sweep goes on
        out["error"] = f"the run failed: {exc!r}\n" + traceback.format_exc(limit=-3)
    return out


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    base = argv[0]
    flag = _Flag()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, flag)
    t0 = time.monotonic()
    out = run(base, flag)
    if flag.orphaned():
        for folder in [base] + argv[1:2]:
            shutil.rmtree(folder, ignore_errors=True)
        return 0
    out["seconds"] = time.monotonic() - t0
    path = os.path.join(base, "result.json")
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        json.dump(out, f)
    os.replace(path + ".tmp", path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
