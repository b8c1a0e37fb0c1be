"""`orbisyn-terminal optimize`: a script run once per combination of parameters, each run in
a replay of its own Terminal (its own installation and data folder in a temporary place),
on local worker processes or a Dask cluster."""
from __future__ import annotations

import os
import sys

_DESCRIPTION = """\
Run SCRIPT once per combination of the --param values, each run in a replay of its own:
a fresh simulated Terminal (installed in a temporary place, started and stopped here)
replaying START to END, where the script's plain orbisyn.initialize() finds it and
orbisyn.params() gives the combination. Values are read as int, else float, else text.

Writes DIR/results.csv (a row per combination, best first by --by; runs where that
figure is undefined come next, failed runs last), the best run's report in DIR/best/,
and DIR/heatmap.png when exactly two parameters vary. A failed run (script error,
Terminal died, timeout) is a row with its error. Ctrl-C stops the sweep: the running
runs and their Terminals are stopped, the finished rows are written.

A run ends when its script exits, or once its replay is over (the market is closed then:
nothing the script does counts any more; the script is ended a second later).

examples:
  orbisyn-terminal optimize strategy.py --replay 2024-05-06 --until 2024-05-11 \\
      --param fast=5,10,20 --param slow=30,60
  orbisyn-terminal optimize strategy.py --replay 2024-01-01 --until 2025-01-01 \\
      --param fast=5,10 --param slow=30,60 --dask tcp://scheduler:8786"""


def add_parser(sub, formatter) -> None:
    from .grid import BY
    o = sub.add_parser("optimize", help="run a script once per combination of parameters, each in a replay",
                       formatter_class=formatter, description=_DESCRIPTION)
    o.add_argument("script", help="the Python script to run (the strategy)")
    o.add_argument("--replay", metavar="START", required=True,
                   help="each replay's start ('YYYY-MM-DD[ HH:MM[:SS]]', UTC, or epoch seconds)")
    o.add_argument("--until", metavar="END", required=True, help="each replay's end")
    o.add_argument("--param", metavar="NAME=V1,V2,...", action="append", required=True,
                   help="a parameter and its values (repeat for more parameters)")
    o.add_argument("--by", choices=BY, default="net_profit",
                   help="the figure that orders the rows, best first (default net_profit; the "
                        "lowest max_drawdown_pct is best)")
    o.add_argument("--workers", type=int, metavar="N",
                   help=f"runs at a time on this machine (default: the CPU count, {os.cpu_count()})")
    o.add_argument("--dask", metavar="ADDRESS",
                   help="send the runs to this Dask scheduler instead (pip install orbisyn[dask]; "
                        "its workers need orbisyn installed; the script goes to them as its text)")
    o.add_argument("--out", metavar="DIR", help="output folder (default sweep-<UTC time> here)")
    o.add_argument("--timeout", type=float, metavar="S",
                   help="end a run whose script runs longer than S seconds (a failed row)")
    o.add_argument("--seed", type=int, help="seed of the synthetic prices of every run (default 1)")
    o.set_defaults(func=cmd_optimize)


def _die(msg: str, code: int = 2) -> int:
    print(f"orbisyn-terminal optimize: {msg}", file=sys.stderr)
    return code


def cmd_optimize(args) -> int:
    from ..market.clock import parse_when, wall_ms
    from . import grid
    from .runner import DaskPool, LocalPool, Sweep, default_out, private_out
    if os.name != "posix":
        return _die("sweeps run on Linux and macOS")
    if not os.path.isfile(args.script):
        return _die(f"no script {args.script}")
    try:
        params = [grid.parse_param(p) for p in args.param]
        grid.grid(params)
        start, until = parse_when(args.replay), parse_when(args.until)
    except ValueError as exc:
        return _die(str(exc))
    if start > wall_ms():
        return _die(f"--replay {args.replay}: that is after the present; a replay replays history")
    if until <= start:
        return _die(f"--until {args.until} is not after --replay {args.replay}")
    if args.dask and args.workers is not None:
        return _die("--workers does not go with --dask: the cluster's workers run the sweep")
    if args.workers is not None and args.workers < 1:
        return _die("--workers: at least 1")
    try:
        out = private_out(args.out or default_out())
    except (OSError, ValueError) as exc:
        return _die(f"--out: {exc}")
    pool: "DaskPool | LocalPool"
    if args.dask:
        try:
            pool = DaskPool(args.dask)
        except ImportError:
            return _die("--dask needs Dask's distributed scheduler: pip install orbisyn[dask]")
        except (OSError, TimeoutError) as exc:
            return _die(f"--dask {args.dask}: {exc}", 1)
    else:
        pool = LocalPool(args.workers or os.cpu_count() or 1)
    sweep = Sweep(args.script, params, args.by, out, start // 1000, until // 1000, True, 1.0,
                  args.timeout, args.seed, pool, ship_script=bool(args.dask))
    print(f"{len(sweep.specs)} runs of {args.script} on {pool.where}, stepped replays; results in {out}",
          file=sys.stderr)
    code = sweep.run()
    _report(sweep)
    return code


def _report(sweep) -> None:
    from . import grid
    from .runner import _named, _summary
    ok = [r for r in grid.ordered(sweep.rows, sweep.by) if not r["error"]]
    failed = len(sweep.rows) - len(ok)
    print(f"{len(sweep.rows)} of {len(sweep.specs)} runs done" + (f", {failed} failed" if failed else ""))
    if ok:
        print(f"best by {sweep.by}: {_named(ok[0]['params'])}: {_summary(ok[0], sweep.by)}")
    print(f"results : {os.path.join(sweep.out, 'results.csv')}")
    html = os.path.join(sweep.out, "best", "report.html")
    if os.path.exists(html):
        print(f"best    : {html}")
    png = os.path.join(sweep.out, "heatmap.png")
    if os.path.exists(png):
        print(f"heatmap : {png}")
    elif len(grid.varying(sweep.params)) == 2 and sweep.rows:
        print("heatmap : none (matplotlib is not installed: pip install orbisyn[plot])")
