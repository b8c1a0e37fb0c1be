"""Market-data commands of the simulated Terminal: bars, ticks, the last tick, depth of market.

Bar and tick replies go out as zero-copy views of the market's numpy arrays.
"""
from __future__ import annotations

import struct

import numpy as np

from .. import protocol as P
from .market import VALID_TIMEFRAMES, Market, SymbolSpec


class MarketDataCommands:
    def __init__(self, market: Market, maxbars: int, max_ticks: int):
        self.market = market
        self.maxbars = maxbars
        self.max_ticks = max_ticks

    def handlers(self) -> dict:
        return {P.CMD_RATES_FROM: self.cmd_rates_from, P.CMD_RATES_RANGE: self.cmd_rates_range,
                P.CMD_RATES_FROM_POS: self.cmd_rates_from_pos,
                P.CMD_TICKS_FROM: self.cmd_ticks_from, P.CMD_TICKS_RANGE: self.cmd_ticks_range,
                P.CMD_SYMBOL_TICK: self.cmd_symbol_tick, P.CMD_BOOK_ADD: self.cmd_book_add,
                P.CMD_BOOK_RELEASE: self.cmd_book_release, P.CMD_BOOK_GET: self.cmd_book_get}

    def _spec(self, name: str) -> SymbolSpec | None:
        return self.market.symbol(name)

    def _array_reply(self, cmd: int, segments: list, itemsize: int) -> list:
        count = sum(len(s) for s in segments)
        parts: list = [P.array_reply_head(cmd, P.OK, count, count * itemsize)]
        parts.extend(s.view(np.uint8) for s in segments if len(s))
        return parts

    def _bars_reply(self, cmd, segments):
        if sum(len(s) for s in segments) > self.maxbars:
            return P.reply(cmd, P.E_MEMORY)
        return self._array_reply(cmd, segments, P.BAR_DTYPE.itemsize)

    def _tf(self, tf: int) -> int:
        if tf not in VALID_TIMEFRAMES:
            raise P.BadRequest(f"unknown timeframe {tf}")
        return tf

    def cmd_rates_from(self, cmd, p, conn):
        name, tf, date, count = p.text(), p.i32(), p.i64(), p.i32()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        if count < 0:
            raise P.BadRequest("negative count")
        count = min(count, self.maxbars)
        return self._bars_reply(cmd, self.market.bars_before(name, self._tf(tf), date, count))

    def cmd_rates_range(self, cmd, p, conn):
        name, tf, date_from, date_to = p.text(), p.i32(), p.i64(), p.i64()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        return self._bars_reply(cmd, self.market.bars_range(name, self._tf(tf), date_from, date_to))

    def cmd_rates_from_pos(self, cmd, p, conn):
        name, tf, start, count = p.text(), p.i32(), p.i32(), p.i32()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        if start < 0 or count < 0:
            raise P.BadRequest("negative position or count")
        count = min(count, self.maxbars)
        return self._bars_reply(cmd, self.market.bars_from_pos(name, self._tf(tf), start, count))

    @staticmethod
    def _wants_info_ticks(flags: int) -> bool:
        # All simulated ticks are bid/ask changes; none carries a trade.
        return flags == -1 or bool(flags & 1)

    def cmd_ticks_from(self, cmd, p, conn):
        name, from_ms, count, flags = p.text(), p.i64(), p.i32(), p.i32()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        if count < 0:
            raise P.BadRequest("negative count")
        count = min(count, self.max_ticks)
        if count == 0 or not self._wants_info_ticks(flags):
            return self._array_reply(cmd, [], P.TICK_DTYPE.itemsize)
        ticks = self.market.tick_array_between(name, from_ms, 1 << 62, limit=count)
        return self._array_reply(cmd, [ticks], P.TICK_DTYPE.itemsize)

    def cmd_ticks_range(self, cmd, p, conn):
        name, from_ms, to_ms, flags = p.text(), p.i64(), p.i64(), p.i32()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        if not self._wants_info_ticks(flags):
            return self._array_reply(cmd, [], P.TICK_DTYPE.itemsize)
        ticks = self.market.tick_array_between(name, from_ms, to_ms, limit=self.max_ticks + 1)
        if len(ticks) > self.max_ticks:
            return P.reply(cmd, P.E_MEMORY)
        return self._array_reply(cmd, [ticks], P.TICK_DTYPE.itemsize)

    def cmd_symbol_tick(self, cmd, p, conn):
        name = p.text()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        rec = self.market.tick_record_at(name, self.market.now_ms())
        if rec is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        return P.reply(cmd, P.OK, rec.tobytes())


    def cmd_book_add(self, cmd, p, conn):
        name = p.text()
        p.end()
        if self._spec(name) is None:
            return P.reply(cmd, P.E_NOT_FOUND)
        conn.books.add(name)
        return P.reply(cmd, P.OK)

    def cmd_book_release(self, cmd, p, conn):
        name = p.text()
        p.end()
        if name not in conn.books:
            return P.reply(cmd, P.E_NOT_FOUND)
        conn.books.discard(name)
        return P.reply(cmd, P.OK)

    def cmd_book_get(self, cmd, p, conn):
        name = p.text()
        p.end()
        if self._spec(name) is None or name not in conn.books:
            return P.reply(cmd, P.E_NOT_FOUND)
        book = self.market.book(name)
        return P.reply(cmd, P.OK, struct.pack("<I", len(book)) + book.tobytes())
