"""The grid of a sweep, its rows, their order and the results file."""
from __future__ import annotations

import csv
import io
import itertools
import math
import os
import tempfile
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ..._params import Value, encode

# (key in the report's statistics, CSV column, best is the larger)
FIGURES = [
    ("net_profit", "net_profit", True),
    ("profit_factor", "profit_factor", True),
    ("trades", "trades", True),
    ("win_rate", "win_rate", True),
    ("max_drawdown_pct", "max_drawdown_pct", False),
    ("sharpe", "sharpe", True),
]
BY = [key for key, _, _ in FIGURES]
HIGHER_IS_BETTER = {key: up for key, _, up in FIGURES}
RESERVED = set(BY) | {"seconds", "error"}


def parse_value(text: str) -> Value:
    """int, then a finite float, then the text itself."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        got = float(text)
    except ValueError:
        return text
    return got if math.isfinite(got) else text


def parse_param(spec: str) -> Tuple[str, List[Value]]:
    """NAME=V1,V2,... -> (NAME, values); ValueError says what is wrong."""
    name, sep, rest = spec.partition("=")
    name = name.strip()
    if not sep or not name.isidentifier():
        raise ValueError(f"--param {spec!r}: give NAME=V1,V2,... with NAME a Python identifier")
    if name in RESERVED:
        raise ValueError(f"--param {name}: the name of a results column; choose another")
    texts = [t.strip() for t in rest.split(",")]
    if any(not t for t in texts):
        raise ValueError(f"--param {spec!r}: an empty value")
    values = [parse_value(t) for t in texts]
    if len(set(map(repr, values))) != len(values):
        raise ValueError(f"--param {spec!r}: a value given twice")
    return name, values


def grid(params: Sequence[Tuple[str, List[Value]]]) -> List[Dict[str, Value]]:
    """Every combination, the last parameter varying fastest."""
    names = [n for n, _ in params]
    if len(set(names)) != len(names):
        raise ValueError("a --param name given twice")
    combos = [dict(zip(names, vs)) for vs in itertools.product(*(v for _, v in params))]
    for c in combos:
        encode(c)   # refuses what a run could not be given
    return combos


def figure(row: Dict[str, Any], by: str) -> Optional[float]:
    stats = row.get("stats")
    if row.get("error") or not stats:
        return None
    v = stats.get(by)
    return None if v is None else float(v)


def ordered(rows: Sequence[Dict[str, Any]], by: str) -> List[Dict[str, Any]]:
    """Best first by `by`; then the runs where that figure is undefined, then the failed
    runs; ties keep the grid's order."""
    sign = -1.0 if HIGHER_IS_BETTER[by] else 1.0

    def key(row):
        v = figure(row, by)
        rank = 2 if row.get("error") else (1 if v is None else 0)
        return (rank, sign * v if v is not None else 0.0, row["index"])
    return sorted(rows, key=key)


def _cell(key: str, v) -> str:
    if v is None:
        return ""
    if key == "trades":
        return str(int(v))
    return f"{v:.2f}" if key in ("net_profit", "win_rate", "max_drawdown_pct") else f"{v:.4f}"


def csv_text(rows: Sequence[Dict[str, Any]], names: Sequence[str], by: str) -> str:
    out = io.StringIO()
    w = csv.writer(out, lineterminator="\n")
    w.writerow(list(names) + [col for _, col, _ in FIGURES] + ["seconds", "error"])
    for row in ordered(rows, by):
        stats = row.get("stats") or {}
        w.writerow([row["params"][n] for n in names]
                   + [_cell(key, stats.get(key)) for key, _, _ in FIGURES]
                   + [f"{row['seconds']:.2f}", row.get("error") or ""])
    return out.getvalue()


def write_atomically(path: str, data: bytes) -> None:
    """Readers never see half a file, and a link planted at `path` is replaced, not followed."""
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path) or ".", prefix=".tmp-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def varying(params: Sequence[Tuple[str, List[Value]]]) -> List[Tuple[str, List[Value]]]:
    return [(n, v) for n, v in params if len(v) > 1]
