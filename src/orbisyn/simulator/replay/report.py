"""The report of a replay (or of the paper account): deals, statistics, balance and equity.

Money is in the account currency.  A deal's *result* is its profit + commission + swap +
fee; *trade deals* are buys and sells (not balance operations); *closing deals* are the
trade deals that close (entry out, reverse, or out by an opposite position).

* net profit: the sum of the results of all trade deals, opening ones (their commission)
  included: what trading added to the balance;
* gross profit, gross loss: the sum of the positive, and of the negative, results of the
  closing deals (so net profit = gross profit + gross loss + the opening deals' results);
* trades: the number of closing deals; win rate: the per cent of them with a positive result;
* profit factor: gross profit / -gross loss (none without a loss);
* largest loss: the most negative result of a closing deal (0 without one);
* maximum drawdown: the largest fall of the equity curve below its running peak, in money;
  in per cent, the largest such fall relative to the peak it fell from (each is its own
  maximum, so they may come from different falls);
* Sharpe ratio: the mean over the sample standard deviation of the daily returns of equity,
  times sqrt(252), without a risk-free rate.  The equity at the end of each UTC day from
  Monday to Friday (or at the end of the report, if that comes first) over the one before
  it (the equity at the start, before the first), minus 1, is that day's return; a weekend
  counts into Monday.  None with fewer than two returns or when they are all equal.

Equity is the balance plus the floating profit of the open positions at the moment's bid
(buys) or ask (sells), converted as the engine converts it; a swap counts once a deal pays
it.  The curve takes it after every deal, at every day's end and at `STEPS` even steps
from the start to the end of the report.
"""
from __future__ import annotations

import base64
import csv
import datetime as _dt
import html
import io
import math
import os
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterable, List, Optional, Sequence

from ..engine.calc import CurrencyConverter, NoRate
from ..engine.model import DEAL_BALANCE, ENTRY_IN, ENTRY_INOUT, Deal

DAY_MS = 86_400_000
STEPS = 600
EPS = 1e-9
_TYPES = {0: "buy", 1: "sell", 2: "balance", 3: "credit", 4: "charge", 5: "correction",
          6: "bonus", 7: "commission"}
_ENTRIES = {0: "in", 1: "out", 2: "reverse", 3: "out by"}
_REASONS = {0: "client", 1: "mobile", 2: "web", 3: "program", 4: "stop loss", 5: "take profit",
            6: "stop out"}


def result(d: Deal) -> float:
    return d.profit + d.commission + d.swap + d.fee


def is_trade(d: Deal) -> bool:
    return d.type in (0, 1)


def is_closing(d: Deal) -> bool:
    return is_trade(d) and d.entry != ENTRY_IN


@dataclass
class Curve:
    times: List[int] = field(default_factory=list)      # ms, increasing
    balance: List[float] = field(default_factory=list)
    equity: List[float] = field(default_factory=list)

    def add(self, t: int, balance: float, equity: float) -> None:
        if self.times and self.times[-1] == t:
            self.balance[-1], self.equity[-1] = balance, equity
        else:
            self.times.append(t)
            self.balance.append(balance)
            self.equity.append(equity)


class _Book:
    """Open positions rebuilt from the deals: {position id: [symbol, buy, volume, price]}."""

    def __init__(self) -> None:
        self.open: Dict[int, list] = {}

    def apply(self, d: Deal) -> None:
        if not is_trade(d):
            return
        buy = d.type == 0
        p = self.open.get(d.position_id)
        if d.entry == ENTRY_IN:
            if p is None:
                self.open[d.position_id] = [d.symbol, buy, d.volume, d.price]
            else:  # netting: added lots average the price
                total = p[2] + d.volume
                p[3] = (p[2] * p[3] + d.volume * d.price) / total
                p[2] = total
        elif d.entry == ENTRY_INOUT:
            rest = d.volume - (p[2] if p is not None else 0.0)
            if rest > EPS:
                self.open[d.position_id] = [d.symbol, buy, rest, d.price]
            else:
                self.open.pop(d.position_id, None)
        elif p is not None:
            p[2] -= d.volume
            if p[2] <= EPS:
                del self.open[d.position_id]


Valuer = Callable[[int, Iterable[list]], float]


class MarketValuer:
    """Floating profit of positions at a time, from the market's ticks, as the engine counts it."""

    def __init__(self, market, currency: str):
        self.market = market
        self.currency = currency
        self.t = 0
        specs = market.symbols()
        self.converter = CurrencyConverter(CurrencyConverter.pairs_of(specs), self._quote)

    def _quote(self, name: str):
        tick = self.market.tick_at(name, self.t)
        return None if tick is None else (tick.bid, tick.ask)

    def __call__(self, t: int, positions: Iterable[list]) -> float:
        self.t = t
        total = 0.0
        for name, buy, volume, price in positions:
            sym = self.market.symbol(name)
            q = self._quote(name) if sym is not None else None
            if q is None:
                continue
            try:
                total += self.converter.profit(sym, buy, volume, price, q[0] if buy else q[1], self.currency)
            except NoRate:
                pass
        return total


def build_curve(deals: Sequence[Deal], start_ms: int, end_ms: int, valuer: Valuer,
                steps: int = STEPS) -> Curve:
    """Balance and equity after every deal, at every day's end and at even steps."""
    end_ms = max(end_ms, start_ms)
    times = {start_ms, end_ms}
    times.update(start_ms + (end_ms - start_ms) * k // steps for k in range(1, steps))
    times.update(range((start_ms // DAY_MS + 1) * DAY_MS, end_ms, DAY_MS))
    times.update(d.time_msc for d in deals if start_ms <= d.time_msc <= end_ms)
    book = _Book()
    curve = Curve()
    balance = 0.0
    i = 0
    ordered = sorted(deals, key=lambda d: (d.time_msc, d.ticket))
    for t in sorted(times):
        while i < len(ordered) and ordered[i].time_msc <= t:
            balance += result(ordered[i])
            book.apply(ordered[i])
            i += 1
        floating = valuer(t, list(book.open.values())) if book.open else 0.0
        curve.add(t, round(balance, 2), round(balance + floating, 2))
    return curve


def _weekday(day: int) -> bool:
    return (day + 3) % 7 < 5   # epoch day 0 was a Thursday


def daily_returns(curve: Curve) -> List[float]:
    if not curve.times:
        return []
    start, end = curve.times[0], curve.times[-1]
    closes = [curve.equity[0]]
    j = 0
    for day in range(start // DAY_MS, (end - 1) // DAY_MS + 1 if end > start else start // DAY_MS):
        if not _weekday(day):
            continue
        at = min((day + 1) * DAY_MS, end)
        while j + 1 < len(curve.times) and curve.times[j + 1] <= at:
            j += 1
        closes.append(curve.equity[j])
    return [b / a - 1.0 for a, b in zip(closes, closes[1:]) if a]


def statistics(deals: Sequence[Deal], curve: Curve) -> Dict[str, Optional[float]]:
    """The report's figures (see the module's description); None where one is undefined."""
    trades = [result(d) for d in deals if is_closing(d)]
    wins = [r for r in trades if r > 0]
    losses = [r for r in trades if r < 0]
    gross_profit, gross_loss = sum(wins), sum(losses)
    peak = -math.inf
    dd = dd_pct = 0.0
    for e in curve.equity:
        peak = max(peak, e)
        dd = max(dd, peak - e)
        if peak > 0:
            dd_pct = max(dd_pct, (peak - e) / peak * 100.0)
    rets = daily_returns(curve)
    sharpe = None
    if len(rets) >= 2:
        mean = sum(rets) / len(rets)
        sd = math.sqrt(sum((r - mean) ** 2 for r in rets) / (len(rets) - 1))
        if sd > 1e-15:
            sharpe = mean / sd * math.sqrt(252)
    return {
        "deposit": round(sum(result(d) for d in deals if d.type == DEAL_BALANCE), 2),
        "net_profit": round(sum(result(d) for d in deals if is_trade(d)), 2),
        "gross_profit": round(gross_profit, 2),
        "gross_loss": round(gross_loss, 2),
        "profit_factor": gross_profit / -gross_loss if losses else None,
        "trades": len(trades),
        "win_rate": len(wins) / len(trades) * 100.0 if trades else None,
        "largest_loss": round(min(losses), 2) if losses else 0.0,
        "max_drawdown": round(dd, 2),
        "max_drawdown_pct": dd_pct,
        "sharpe": sharpe,
        "balance": curve.balance[-1] if curve.balance else 0.0,
        "equity": curve.equity[-1] if curve.equity else 0.0,
    }


LABELS = [
    ("deposit", "Deposits and other balance operations", "money"),
    ("net_profit", "Net profit", "money"),
    ("gross_profit", "Gross profit", "money"),
    ("gross_loss", "Gross loss", "money"),
    ("profit_factor", "Profit factor", "ratio"),
    ("trades", "Trades (closing deals)", "count"),
    ("win_rate", "Win rate", "pct"),
    ("largest_loss", "Largest loss", "money"),
    ("max_drawdown", "Maximum drawdown", "money"),
    ("max_drawdown_pct", "Maximum drawdown (relative)", "pct"),
    ("sharpe", "Sharpe ratio (daily, annualised)", "ratio"),
    ("balance", "Balance at the end", "money"),
    ("equity", "Equity at the end", "money"),
]


def shown(value, kind: str) -> str:
    if value is None:
        return "n/a"
    if kind == "count":
        return str(int(value))
    if kind == "pct":
        return f"{value:.2f} %"
    if kind == "ratio":
        return f"{value:.2f}"
    return f"{value:,.2f}"


def _utc(ms: int) -> str:
    return _dt.datetime.fromtimestamp(ms / 1000, _dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]


# ---- the files ------------------------------------------------------------------------------

DEAL_HEADER = ["ticket", "time", "time_msc", "type", "entry", "symbol", "volume", "price", "profit",
               "commission", "swap", "fee", "balance", "order", "position_id", "reason", "magic",
               "comment"]


def _price(d: Deal) -> str:
    from ..market.catalogue import default_catalogue
    global _DIGITS
    if _DIGITS is None:
        _DIGITS = {s.name: s.digits for s in default_catalogue()}
    digits = _DIGITS.get(d.symbol)
    return f"{d.price:.{digits}f}" if digits is not None else f"{d.price:g}"


_DIGITS: Optional[Dict[str, int]] = None


def deal_rows(deals: Sequence[Deal]) -> List[list]:
    rows, balance = [], 0.0
    for d in deals:
        balance = round(balance + result(d), 2)
        rows.append([d.ticket, _utc(d.time_msc), d.time_msc, _TYPES.get(d.type, d.type),
                     _ENTRIES.get(d.entry, d.entry) if is_trade(d) else "", d.symbol,
                     f"{d.volume:g}" if is_trade(d) else "", _price(d) if is_trade(d) else "",
                     f"{d.profit:.2f}", f"{d.commission:.2f}",
                     f"{d.swap:.2f}", f"{d.fee:.2f}", f"{balance:.2f}", d.order, d.position_id,
                     _REASONS.get(d.reason, d.reason), d.magic, d.comment])
    return rows


def write_csv(path: str, deals: Sequence[Deal]) -> None:
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(DEAL_HEADER)
        w.writerows(deal_rows(deals))


def draw(curve: Curve, title: str, currency: str) -> Optional[bytes]:
    """The balance and equity curve, with the drawdown below it, as PNG (None without matplotlib)."""
    try:
        import matplotlib
    except ImportError:
        return None
    matplotlib.use("Agg")
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt
    import numpy as np

    t = np.array(curve.times, dtype="datetime64[ms]").astype(_dt.datetime)
    eq = np.array(curve.equity)
    bal = np.array(curve.balance)
    dd = np.maximum.accumulate(eq) - eq if len(eq) else eq
    fig, (ax, ax2) = plt.subplots(2, 1, figsize=(11, 6), dpi=110, sharex=True,
                                  gridspec_kw={"height_ratios": [3, 1]})
    ax.step(t, bal, where="post", color="#d62728", linewidth=2.2, alpha=0.8, label="balance")
    ax.plot(t, eq, color="#1f77b4", linewidth=1.1, label="equity")
    ax.set_ylabel(currency)
    ax.set_title(title)
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left")
    ax2.fill_between(t, -dd, 0, color="#d62728", alpha=0.35, linewidth=0, step=None)
    ax2.set_ylabel(f"drawdown ({currency})")
    ax2.grid(alpha=0.3)
    loc = mdates.AutoDateLocator(minticks=4, maxticks=9)
    ax2.xaxis.set_major_locator(loc)
    ax2.xaxis.set_major_formatter(mdates.ConciseDateFormatter(loc))
    ax2.set_xlabel("UTC")
    fig.tight_layout()
    buf = io.BytesIO()
    fig.savefig(buf, format="png")
    plt.close(fig)
    return buf.getvalue()


_CSS = """
body{font:14px/1.45 system-ui,sans-serif;margin:24px auto;max-width:1100px;color:#222;padding:0 16px}
h1{font-size:22px;margin-bottom:4px} .sub{color:#666;margin-top:0}
table{border-collapse:collapse;margin:12px 0} td,th{padding:3px 10px;border-bottom:1px solid #e4e4e4}
th{text-align:left;background:#f4f4f4;position:sticky;top:0} td.n{text-align:right;font-variant-numeric:tabular-nums}
.stats td:first-child{color:#444} .neg{color:#c62828} img{max-width:100%;border:1px solid #ddd}
details{margin:8px 0 16px} pre{white-space:pre-wrap} .deals{font-size:12.5px} .deals td{white-space:nowrap;padding:3px 7px}
.scroll{overflow-x:auto}
"""


def render_html(title: str, subtitle: str, stats: Dict[str, Optional[float]], png: Optional[bytes],
                deals: Sequence[Deal], definitions: str) -> str:
    e = html.escape
    rows = []
    for key, label, kind in LABELS:
        v = stats.get(key)
        neg = " neg" if isinstance(v, (int, float)) and v < 0 else ""
        rows.append(f'<tr><td>{e(label)}</td><td class="n{neg}">{e(shown(v, kind))}</td></tr>')
    picture = (f'<img alt="balance and equity" src="data:image/png;base64,{base64.b64encode(png).decode()}">'
               if png else "<p>(No picture: matplotlib is not installed; <code>pip install orbisyn[plot]</code>.)</p>")
    # The page leaves out what only a program wants (the CSV has every column).
    cols = [k for k, h in enumerate(DEAL_HEADER) if h not in ("time_msc", "fee", "order", "magic")]
    numeric = {DEAL_HEADER.index(h) for h in ("volume", "price", "profit", "commission", "swap", "balance")}
    head = "".join(f"<th>{e(DEAL_HEADER[k])}</th>" for k in cols)
    body = []
    for r in deal_rows(deals):
        cells = []
        for k in cols:
            v = str(r[k])
            cls = (' class="n neg"' if v.startswith("-") else ' class="n"') if k in numeric else ""
            cells.append(f"<td{cls}>{e(v)}</td>")
        body.append("<tr>" + "".join(cells) + "</tr>")
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{e(title)}</title><style>{_CSS}</style></head>
<body>
<h1>{e(title)}</h1>
<p class="sub">{e(subtitle)}</p>
{picture}
<h2>Statistics</h2>
<table class="stats">{''.join(rows)}</table>
<details><summary>How each figure is defined</summary><pre>{e(definitions)}</pre></details>
<h2>Deals ({len(deals)})</h2>
<div class="scroll"><table class="deals"><thead><tr>{head}</tr></thead><tbody>
{chr(10).join(body)}
</tbody></table></div>
</body></html>
"""


def definitions() -> str:
    doc = __doc__ or ""
    return doc.split("\n\n", 1)[1].strip() if "\n\n" in doc else doc


def write(out_dir: str, deals: Sequence[Deal], curve: Curve, title: str, subtitle: str,
          currency: str) -> Dict[str, object]:
    """deals.csv, balance-equity.png (with matplotlib) and report.html in out_dir."""
    os.makedirs(out_dir, exist_ok=True)
    stats = statistics(deals, curve)
    paths: Dict[str, object] = {"stats": stats}
    write_csv(os.path.join(out_dir, "deals.csv"), deals)
    paths["csv"] = os.path.join(out_dir, "deals.csv")
    png = draw(curve, title, currency)
    if png is not None:
        paths["png"] = os.path.join(out_dir, "balance-equity.png")
        with open(paths["png"], "wb") as f:
            f.write(png)
    paths["html"] = os.path.join(out_dir, "report.html")
    with open(paths["html"], "w", encoding="utf-8") as f:
        f.write(render_html(title, subtitle, stats, png, deals, definitions()))
    return paths


# ---- what the command reports on ----------------------------------------------------------

@dataclass
class Source:
    deals: List[Deal]
    start_ms: int
    end_ms: int
    login: int
    currency: str
    title: str
    subtitle: str
    replay: bool


def _read_store(folder: str, login: int):
    from ..engine.store import open_read_only
    store = open_read_only(folder)
    if store is None:
        return None
    try:
        row = store.account(login)
        if row is None:
            return None
        return row, store.deals_between(login, -(1 << 62), 1 << 62)
    finally:
        store.close()


def collect(data_dir: str, settings: dict, paper: bool = False, login: Optional[int] = None,
            running: bool = False) -> Source:
    """The deals and the span of the last replay (or, with `paper` or without a replay, of the
    paper account) of `login` (default: the current one); ValueError when there is nothing."""
    from . import folder as _replay
    from ..market.clock import show, wall_ms
    login = int(login if login is not None else settings.get("current_login")
                or settings["accounts"][0]["login"])
    acc = next((a for a in settings.get("accounts", []) if int(a.get("login", 0)) == login), None)
    if acc is None:
        raise ValueError(f"no account {login} in the settings")
    currency = str(acc.get("currency", "USD"))
    facts = None if paper else _replay.facts(data_dir)
    if facts is not None:
        got = _read_store(_replay.replay_dir(data_dir), login)
        if got is None:
            raise ValueError(f"the last replay has no account {login}")
        (balance, credit, processed, created), deals = got
        start = int(facts["start_ms"])
        end = _replay.present(facts) if running or facts.get("ended_ms") is not None else max(
            [processed] + [d.time_msc for d in deals])
        until = facts.get("until_ms")
        title = f"Replay from {show(start)[:16]} to {show(end)[:16]} UTC"
        subtitle = (f"Account {login} ({acc.get('name', '')}, {currency}), speed {float(facts['speed']):g}x"
                    + (f", until {show(int(until))[:16]} UTC" if until is not None else "")
                    + f"; {len(deals)} deals")
        return Source(deals, start, end, login, currency, title, subtitle, True)
    got = _read_store(data_dir, login)
    if got is None:
        raise ValueError(f"no paper account {login} yet (it is made when the Terminal first runs)")
    (balance, credit, processed, created), deals = got
    end = max([wall_ms()] + [d.time_msc for d in deals])
    title = f"Paper account {login} from {show(created)[:16]} to {show(end)[:16]} UTC"
    subtitle = f"{acc.get('name', '')}, {currency}; {len(deals)} deals"
    return Source(deals, created, end, login, currency, title, subtitle, False)


def measure(data_dir: str, settings: dict, paper: bool = False, login: Optional[int] = None,
            running: bool = False) -> "tuple[Source, Curve]":
    """Collect and value, writing nothing: the source and its balance and equity curve."""
    from ..market.market import Market
    src = collect(data_dir, settings, paper, login, running)
    end = src.end_ms
    market = Market(seed=int(settings.get("seed", 1)),
                    history_start=settings.get("history_start", "2015-01-01"),
                    history_dir=os.path.join(data_dir, "history"), clock=lambda: end)
    return src, build_curve(src.deals, src.start_ms, src.end_ms, MarketValuer(market, src.currency))


def make(data_dir: str, settings: dict, out_dir: str, paper: bool = False,
         login: Optional[int] = None, running: bool = False) -> Dict[str, object]:
    """Collect, value and write the report; returns its paths and "stats", "source"."""
    src, curve = measure(data_dir, settings, paper, login, running)
    out = write(out_dir, src.deals, curve, src.title, src.subtitle, src.currency)
    out["source"] = src
    return out
