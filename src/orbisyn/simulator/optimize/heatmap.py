"""The heatmap of a sweep over two parameters: one figure over the grid, written in the cells."""
from __future__ import annotations

import io
from typing import Any, Dict, List, Optional, Sequence

from .grid import HIGHER_IS_BETTER, figure

TITLES = {"net_profit": "Net profit", "profit_factor": "Profit factor", "trades": "Trades",
          "win_rate": "Win rate (%)", "max_drawdown_pct": "Maximum drawdown (%)", "sharpe": "Sharpe ratio"}
MAX_LABELLED = 24   # cells per side beyond which values no longer fit in them


def _text(by: str, v: Optional[float], failed: bool) -> str:
    if failed:
        return "failed"
    if v is None:
        return "n/a"
    if by == "trades":
        return str(int(v))
    if by == "net_profit":
        return f"{v:,.0f}" if abs(v) >= 1000 else f"{v:,.2f}"
    return f"{v:.2f}"


def draw(rows: Sequence[Dict[str, Any]], x: tuple, y: tuple, by: str, fixed: Dict[str, Any],
         best: Optional[Dict[str, Any]] = None) -> Optional[bytes]:
    """PNG of `by` over x (columns) and y (rows, first value at the top); None without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np
    from matplotlib.colors import Normalize, TwoSlopeNorm

    (xn, xs), (yn, ys) = x, y
    values = np.full((len(ys), len(xs)), np.nan)
    failed = np.zeros(values.shape, dtype=bool)
    cells: Dict[tuple, Dict[str, Any]] = {}
    for row in rows:
        p = row["params"]
        i, j = ys.index(p[yn]), xs.index(p[xn])
        cells[(i, j)] = row
        v = figure(row, by)
        values[i, j] = np.nan if v is None else v
        failed[i, j] = bool(row.get("error"))
    finite = values[np.isfinite(values)]
    cmap = matplotlib.colormaps["RdYlGn" if HIGHER_IS_BETTER[by] else "RdYlGn_r"].with_extremes(bad="#d9d9d9")
    lo, hi = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
    norm: Normalize
    if by in ("net_profit", "sharpe") and lo < 0 < hi:
        norm = TwoSlopeNorm(0.0, lo, hi)   # red losses, green gains, whatever their sizes
    else:
        norm = Normalize(lo, hi if hi > lo else lo + 1.0)

    w = min(14.0, 2.6 + 0.95 * len(xs))
    h = min(11.0, 1.9 + 0.6 * len(ys))
    fig, ax = plt.subplots(figsize=(max(w, 5.5), max(h, 3.6)), dpi=110)
    im = ax.imshow(np.ma.masked_invalid(values), cmap=cmap, norm=norm, aspect="auto")
    ax.set_xticks(range(len(xs)), [str(v) for v in xs])
    ax.set_yticks(range(len(ys)), [str(v) for v in ys])
    ax.set_xlabel(xn, fontsize=11)
    ax.set_ylabel(yn, fontsize=11)
    ax.tick_params(length=0)
    ax.set_xticks(np.arange(len(xs) + 1) - 0.5, minor=True)
    ax.set_yticks(np.arange(len(ys) + 1) - 0.5, minor=True)
    ax.grid(which="minor", color="white", linewidth=1.5)
    ax.tick_params(which="minor", length=0)
    for side in ax.spines.values():
        side.set_visible(False)
    if max(len(xs), len(ys)) <= MAX_LABELLED:
        size = 11 if max(len(xs), len(ys)) <= 8 else 8
        for (i, j), row in cells.items():
            v = values[i, j]
            dark = np.isfinite(v) and _luminance(cmap(norm(v))) < 0.5
            ax.text(j, i, _text(by, None if np.isnan(v) else float(v), failed[i, j]),
                    ha="center", va="center", fontsize=size, color="white" if dark else "black",
                    fontweight="bold" if row is best else "normal")
    if best is not None:
        i, j = ys.index(best["params"][yn]), xs.index(best["params"][xn])
        # Inside the cell, so that the white grid lines do not cover it.
        ax.add_patch(plt.Rectangle((j - 0.44, i - 0.42), 0.88, 0.84, fill=False, edgecolor="black",
                                   linewidth=2.5, zorder=5))
    title = f"{TITLES.get(by, by)} by {xn} and {yn}"
    if fixed:
        title += " (" + ", ".join(f"{k}={v}" for k, v in fixed.items()) + ")"
    ax.set_title(title + ("; best framed" if best is not None else ""), fontsize=12)
    fig.colorbar(im, ax=ax, shrink=0.85, pad=0.02).set_label(TITLES.get(by, by))
    fig.tight_layout()
    buf = io.BytesIO()
    fig.savefig(buf, format="png")
    plt.close(fig)
    return buf.getvalue()


def _luminance(rgba: List[float]) -> float:
    r, g, b = rgba[:3]
    return 0.2126 * r + 0.7152 * g + 0.0722 * b
