"""Symbol commands of the simulated Terminal: the symbol record, selection and the catalogue."""
from __future__ import annotations

import dataclasses
import threading
from typing import Any, Callable

from .. import protocol
from ..commands import Reply, Request, command
from ..protocol import E_NOT_FOUND, LEGACY_SYMBOL_SIZE, OK, SYMBOL_LAYOUT, SYMBOL_NAME_BUILD, U32
from .catalogue import SymbolSpec
from .market import Market
from .masks import group_match


class SymbolCommands:
    """`selection` keeps the selected symbols (``selected``, a set) and stores them (``save()``);
    `currency` gives the account currency that tick values are shown in."""

    def __init__(self, market: Market, build: int, selection, currency: Callable[[], str],
                 lock: threading.RLock):
        self.market = market
        self.build = build
        self.selection = selection
        self.currency = currency
        self.lock = lock
        self._static: dict[str, dict[str, Any]] = {}

    def _static_fields(self, sym: SymbolSpec) -> dict[str, Any]:
        got = self._static.get(sym.name)
        if got is None:
            got = {k: v for k, v in dataclasses.asdict(sym).items() if not k.startswith("sim_")}
            got["ticks_bookdepth"] = sym.ticks_bookdepth
            self._static[sym.name] = got
        return got

    def symbol_record(self, sym: SymbolSpec) -> bytes:
        now = self.market.now_ms()
        v = dict(self._static_fields(sym))
        v["select"] = v["visible"] = sym.name in self.selection.selected
        tick = self.market.tick_record_at(sym.name, now)
        if tick is not None:
            t = tick[0]
            bid, ask = float(t["bid"]), float(t["ask"])
            v.update(time=int(t["time"]), bid=bid, ask=ask,
                     spread=int(round((ask - bid) / sym.point)))
            day = self.market.day_stats(sym.name, now)
            v.update(bidhigh=day["high"], bidlow=day["low"], session_open=day["open"],
                     session_close=day["prev_close"],
                     askhigh=round(day["high"] + (ask - bid), sym.digits),
                     asklow=round(day["low"] + (ask - bid), sym.digits))
            if day["prev_close"]:
                v["price_change"] = round((bid - day["prev_close"]) / day["prev_close"] * 100.0, 4)
        ccy = self.currency()
        if sym.currency_profit != ccy:
            tv = self.market.convert(sym.trade_tick_value, sym.currency_profit, ccy, now)
            if tv is not None:
                v["trade_tick_value"] = v["trade_tick_value_profit"] = v["trade_tick_value_loss"] = tv
        rec = SYMBOL_LAYOUT.pack(v)
        return rec if self.build >= SYMBOL_NAME_BUILD else rec[:LEGACY_SYMBOL_SIZE]

    @command(protocol.Command.SYMBOL_INFO)
    def symbol_info(self, r: Request) -> Reply:
        name = r.text()
        r.end()
        sym = self.market.symbol(name)
        if sym is None:
            return E_NOT_FOUND, b""
        return OK, self.symbol_record(sym)

    @command(protocol.Command.SYMBOL_SELECT)
    def symbol_select(self, r: Request) -> Reply:
        name = r.text()
        enable = r.flag()
        r.end()
        if self.market.symbol(name) is None:
            return E_NOT_FOUND, b""
        selected = self.selection.selected
        with self.lock:
            if enable != (name in selected):
                (selected.add if enable else selected.discard)(name)
                self.selection.save()
        return OK, b""

    def _symbol_array(self, specs: list) -> Reply:
        return OK, U32.pack(len(specs)) + b"".join(self.symbol_record(s) for s in specs)


class CatalogueCommands(SymbolCommands):
    """The catalogue commands, which builds from the one with the record's name slot on have."""

    @command(protocol.Command.SYMBOLS_TOTAL)
    def symbols_total(self, r: Request) -> Reply:
        r.end()
        return OK, U32.pack(len(self.market.symbols()))

    @command(protocol.Command.SYMBOLS_GET)
    def symbols_all(self, r: Request) -> Reply:
        r.end()
        return self._symbol_array(self.market.symbols())

    @command(protocol.Command.SYMBOLS_GET_BY_GROUP)
    def symbols_group(self, r: Request) -> Reply:
        group = r.text()
        r.end()
        return self._symbol_array([s for s in self.market.symbols() if group_match(group, s.name)])


def symbol_commands(market: Market, build: int, selection, currency: Callable[[], str],
                    lock: threading.RLock) -> SymbolCommands:
    """The symbol commands a Terminal of this build answers (older builds have no catalogue)."""
    cls = CatalogueCommands if build >= SYMBOL_NAME_BUILD else SymbolCommands
    return cls(market, build, selection, currency, lock)
