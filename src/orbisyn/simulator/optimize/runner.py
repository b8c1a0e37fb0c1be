"""The sweep: one run per combination on local workers or a Dask cluster, its progress, and
what it leaves in the output folder (results.csv, best/, heatmap.png)."""
from __future__ import annotations

import concurrent.futures
import datetime as _dt
import os
import shutil
import signal
import stat
import sys
import threading
import time
import uuid
from typing import Any, Dict, List, Optional

from . import grid
from .task import CHILD_GRACE_S, run_on_dask, run_one


def private_out(path: str) -> str:
    """The output folder, made when missing; refused where another user could change what
    is written in it (a folder or link of theirs, or one they may write to)."""
    path = os.path.abspath(path)
    os.makedirs(path, mode=0o755, exist_ok=True)
    me = os.geteuid()
    link = os.lstat(path)
    if stat.S_ISLNK(link.st_mode) and link.st_uid != me:
        raise ValueError(f"{path} is a link of another user")
    st = os.stat(path)
    if not stat.S_ISDIR(st.st_mode):
        raise ValueError(f"{path} is not a folder")
    if st.st_uid != me:
        raise ValueError(f"{path} belongs to another user")
    if st.st_mode & 0o022:
        raise ValueError(f"{path} is writable by other users: choose a folder of your own")
    return path


class LocalPool:
    """Worker threads, each waiting on the processes of one run at a time."""

    def __init__(self, workers: int):
        self.pool = concurrent.futures.ThreadPoolExecutor(workers, thread_name_prefix="sweep")
        self.stop = threading.Event()
        self.where = f"{workers} local worker{'s' if workers != 1 else ''}"

    def submit(self, spec: Dict[str, Any], index: int):
        return self.pool.submit(run_one, spec, self.stop)

    def halt(self, futures) -> None:
        self.stop.set()
        for f in futures:
            f.cancel()

    def close(self) -> None:
        self.pool.shutdown(wait=True)


class DaskPool:
    """One task per run on an existing cluster; a distributed Event stops the running ones."""

    def __init__(self, address: str):
        from distributed import Client, Event
        self.client = Client(address, timeout="30s")
        self.name = f"orbisyn-sweep-{uuid.uuid4().hex}"
        self.event = Event(self.name, client=self.client)
        n = len(self.client.scheduler_info().get("workers", {}))
        self.where = f"the Dask cluster at {address} ({n} worker{'s' if n != 1 else ''})"
        self.futures: list = []

    def submit(self, spec: Dict[str, Any], index: int):
        f = self.client.submit(run_on_dask, spec, self.name, pure=False, key=f"{self.name}-run-{index}")
        self.futures.append(f)
        return f

    def halt(self, futures) -> None:
        self.event.set()   # queued runs see it before they start anything

    def close(self) -> None:
        try:
            self.client.cancel(self.futures)
        finally:
            self.client.close()


class Progress:
    """A bar on a terminal; a line per finished run otherwise."""

    def __init__(self, total: int, stream=None, width: int = 28):
        self.total = total
        self.stream = stream or sys.stderr
        self.tty = bool(getattr(self.stream, "isatty", lambda: False)())
        self.width = width
        self.t0 = time.monotonic()
        self.shown = False

    def _bar(self, done: int, failed: int) -> str:
        fill = done * self.width // max(self.total, 1)
        spent = time.monotonic() - self.t0
        left = f", about {_clock(spent / done * (self.total - done))} left" if 0 < done < self.total else ""
        bad = f", {failed} failed" if failed else ""
        return (f"sweep [{'#' * fill}{'.' * (self.width - fill)}] {done}/{self.total}{bad}, "
                f"{_clock(spent)}{left}")

    def tick(self, done: int, failed: int) -> None:
        if self.tty:
            self.stream.write("\r\x1b[K" + self._bar(done, failed))
            self.stream.flush()
            self.shown = True

    def line(self, text: str, done: int, failed: int) -> None:
        if self.tty:
            self.stream.write("\r\x1b[K" + text + "\n" + self._bar(done, failed))
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def end(self) -> None:
        if self.tty and self.shown:
            self.stream.write("\n")
            self.stream.flush()


def _clock(seconds: float) -> str:
    s = int(seconds)
    return f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}" if s >= 3600 else f"{s // 60:02d}:{s % 60:02d}"


def _named(params: Dict[str, Any]) -> str:
    return " ".join(f"{k}={v}" for k, v in params.items())


def _summary(row: Dict[str, Any], by: str) -> str:
    if row.get("error"):
        return "failed: " + row["error"].strip().splitlines()[-1] if row["error"].strip() else "failed"
    s = row["stats"]
    pf = "n/a" if s.get("profit_factor") is None else f"{s['profit_factor']:.2f}"
    text = f"net profit {s['net_profit']:,.2f}, {s['trades']} trades, profit factor {pf}"
    if by not in ("net_profit", "trades", "profit_factor"):
        v = s.get(by)
        text += f", {by} " + ("n/a" if v is None else f"{v:.2f}")
    return text


class Sweep:
    def __init__(self, script: str, params, by: str, out: str, start_s: int, until_s: int,
                 stepped: bool, speed: float, timeout: Optional[float], seed: Optional[int],
                 pool, ship_script: bool, stream=None):
        self.names = [n for n, _ in params]
        self.params = params
        self.combos = grid.grid(params)
        self.by = by
        self.out = out
        self.pool = pool
        self.rows: List[Dict[str, Any]] = []
        self.best_payload: Optional[Dict[str, Any]] = None
        self.stream = stream or sys.stderr
        base = {"script": os.path.abspath(script), "cwd": os.getcwd(), "start": start_s,
                "until": until_s, "stepped": stepped, "speed": speed, "timeout": timeout, "seed": seed}
        if ship_script:
            with open(script, encoding="utf-8") as f:
                base["script_text"] = f.read()
        self.specs = [dict(base, params=c) for c in self.combos]

    # ---- the rows as they come ----
    def _take(self, index: int, result: Dict[str, Any]) -> Dict[str, Any]:
        row = {"index": index, "params": self.combos[index], "stats": result.get("stats"),
               "seconds": float(result.get("seconds") or 0.0), "error": result.get("error") or ""}
        self.rows.append(row)
        if not row["error"] and "deals" in result:
            best = grid.ordered(self.rows, self.by)[0]
            if best is row:   # keep only the best run's deals and curve
                self.best_payload = result
        self.write_rows()
        return row

    def write_rows(self) -> None:
        grid.write_atomically(os.path.join(self.out, "results.csv"),
                           grid.csv_text(self.rows, self.names, self.by).encode())

    # ---- the run ----
    def run(self) -> int:
        progress = Progress(len(self.specs), self.stream)
        futures: Dict[Any, int] = {}
        pending: set = set()
        failed = 0
        interrupted = False
        main = threading.current_thread() is threading.main_thread()
        previous = signal.getsignal(signal.SIGTERM), signal.getsignal(signal.SIGINT)
        if main:
            signal.signal(signal.SIGTERM, _interrupt)
        try:
            for i, spec in enumerate(self.specs):   # inside: Ctrl-C may come while submitting
                f = self.pool.submit(spec, i)
                futures[f] = i
                pending.add(f)
            progress.tick(0, 0)
            while pending:
                time.sleep(0.2)
                for f in [f for f in pending if f.done()]:
                    pending.discard(f)
                    row = self._take(futures[f], _result(f))
                    failed += bool(row["error"])
                    progress.line(f"[{len(self.rows)}/{len(self.specs)}] {_named(row['params'])}: "
                                  f"{_summary(row, self.by)} ({row['seconds']:.1f} s)", len(self.rows), failed)
                progress.tick(len(self.rows), failed)
        except KeyboardInterrupt:
            interrupted = True
            if main:
                signal.signal(signal.SIGINT, signal.SIG_IGN)   # the stop below is bounded: let it end
            progress.line(f"stopping: {len(pending)} runs not done are stopped, their Terminals too",
                          len(self.rows), failed)
            self.pool.halt(pending)
            deadline = time.monotonic() + CHILD_GRACE_S + 30
            while pending and time.monotonic() < deadline:
                time.sleep(0.2)
                for f in [f for f in pending if f.done()]:
                    pending.discard(f)
                    if f.cancelled():
                        continue
                    result = _result(f)
                    if not result.get("stopped"):   # it finished as the stop came: a real row
                        self._take(futures[f], result)
        finally:
            if main:
                signal.signal(signal.SIGTERM, previous[0])
                signal.signal(signal.SIGINT, previous[1])
            progress.end()
            self.pool.close()
        self.finish()
        done = len(self.rows)
        if interrupted:
            print(f"interrupted: {done} of {len(self.specs)} runs done; their rows are in "
                  f"{os.path.join(self.out, 'results.csv')}", file=self.stream)
            return 130
        return 0 if any(not r["error"] for r in self.rows) else 1

    def finish(self) -> None:
        self.write_rows()
        for name in ("heatmap.png",):
            try:
                os.unlink(os.path.join(self.out, name))
            except FileNotFoundError:
                pass
        best_dir = os.path.join(self.out, "best")
        shutil.rmtree(best_dir, ignore_errors=True)
        ranked = [r for r in grid.ordered(self.rows, self.by) if not r["error"]]
        best = ranked[0] if ranked else None
        if best is not None and self.best_payload is not None:
            self._write_best(best_dir, best)
        vary = grid.varying(self.params)
        if len(vary) == 2 and self.rows:
            from .heatmap import draw
            fixed = {n: v[0] for n, v in self.params if len(v) == 1}
            png = draw(self.rows, vary[0], vary[1], self.by, fixed, best)
            if png is not None:
                grid.write_atomically(os.path.join(self.out, "heatmap.png"), png)

    def _write_best(self, folder: str, best: Dict[str, Any]) -> None:
        from ..replay import report
        from ..engine.model import Deal
        p = self.best_payload
        assert p is not None
        deals = [Deal(*d) for d in p["deals"]]
        curve = report.Curve(*[list(x) for x in p["curve"]])
        report.write(folder, deals, curve, p["title"], f"{p['subtitle']}; {_named(best['params'])}",
                     p["currency"])


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def _result(f) -> Dict[str, Any]:
    try:
        return f.result()
    except Exception as exc:   # the task itself failed (on a worker without orbisyn, say)
        return {"stats": None, "seconds": 0.0, "error": f"the task failed: {exc!r}"}


def default_out() -> str:
    return "sweep-" + _dt.datetime.now(_dt.timezone.utc).strftime("%Y%m%d-%H%M%S")
