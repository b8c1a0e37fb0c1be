"""Symbol commands of the simulated Terminal: the symbol record, selection and the catalogue."""
from __future__ import annotations

import dataclasses
import struct
from typing import Any

from .. import protocol as P
from .market import SymbolSpec
from .masks import group_match


class SymbolCommands:
    def __init__(self, session):
        self.session = session
        self.market = session.market
        self._static: dict[str, dict[str, Any]] = {}

    def handlers(self) -> dict:
        h = {P.CMD_SYMBOL_INFO: self.cmd_symbol_info, P.CMD_SYMBOL_SELECT: self.cmd_symbol_select}
        if self.session.build >= P.SYMBOL_NAME_BUILD:  # older builds have no catalogue commands
            h.update({P.CMD_SYMBOLS_TOTAL: self.cmd_symbols_total,
                      P.CMD_SYMBOLS_ALL: self.cmd_symbols_all,
                      P.CMD_SYMBOLS_GROUP: self.cmd_symbols_group})
        return h

    def _static_fields(self, sym: SymbolSpec) -> dict[str, Any]:
        got = self._static.get(sym.name)
        if got is None:
            got = {k: v for k, v in dataclasses.asdict(sym).items() if not k.startswith("sim_")}
            got["ticks_bookdepth"] = sym.ticks_bookdepth
            self._static[sym.name] = got
        return got

    def _account_currency(self) -> str:
        acc = self.session.account(self.session.login_id) if self.session.login_id is not None else None
        return str(acc.get("currency", "USD")) if acc else "USD"

    def symbol_record(self, sym: SymbolSpec) -> bytes:
        now = self.market.now_ms()
        v = dict(self._static_fields(sym))
        v["select"] = v["visible"] = sym.name in self.session.selected
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
        ccy = self._account_currency()
        if sym.currency_profit != ccy:
            tv = self.market.convert(sym.trade_tick_value, sym.currency_profit, ccy, now)
            if tv is not None:
                v["trade_tick_value"] = v["trade_tick_value_profit"] = v["trade_tick_value_loss"] = tv
        rec = P.SYMBOL_LAYOUT.pack(v)
        return rec if self.session.build >= P.SYMBOL_NAME_BUILD else rec[:P.LEGACY_SYMBOL_SIZE]

    def cmd_symbol_info(self, cmd, p, conn):
        name = p.text()
        p.end()
        sym = self.market.symbol(name)
        if sym is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        return P.reply(cmd, P.OK, self.symbol_record(sym))

    def cmd_symbol_select(self, cmd, p, conn):
        name = p.text()
        enable = p.flag()
        p.end()
        if self.market.symbol(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        with self.session.lock:
            if enable != (name in self.session.selected):
                (self.session.selected.add if enable else self.session.selected.discard)(name)
                self.session.save()
        return P.reply(cmd, P.OK)

    def cmd_symbols_total(self, cmd, p, conn):
        p.end()
        return P.reply(cmd, P.OK, struct.pack("<I", len(self.market.symbols())))

    def _records(self, cmd, specs):
        recs = b"".join(self.symbol_record(s) for s in specs)
        return P.reply(cmd, P.OK, struct.pack("<I", len(specs)) + recs)

    def cmd_symbols_all(self, cmd, p, conn):
        p.end()
        return self._records(cmd, self.market.symbols())

    def cmd_symbols_group(self, cmd, p, conn):
        group = p.text()
        p.end()
        return self._records(cmd, [s for s in self.market.symbols() if group_match(group, s.name)])
