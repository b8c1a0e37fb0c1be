"""Market-data commands of the simulated Terminal: bars, ticks, the last tick, depth of market.

Bar and tick replies go out as zero-copy views of the market's numpy arrays.
"""
from __future__ import annotations

import numpy as np

from .. import protocol
from ..commands import Reply, Request, command
from ..protocol import E_MEMORY, E_NOT_FOUND, OK, U32, BadRequest
from .market import VALID_TIMEFRAMES, Market


def _wants_info_ticks(flags: int) -> bool:
    # All simulated ticks are bid/ask changes; none carries a trade.
    return flags == -1 or bool(flags & 1)


def _timeframe(tf: int) -> int:
    if tf not in VALID_TIMEFRAMES:
        raise BadRequest(f"unknown timeframe {tf}")
    return tf


def _array(segments: list) -> list:
    return [U32.pack(sum(len(s) for s in segments))] + [s.view(np.uint8) for s in segments if len(s)]


class MarketDataCommands:
    """Depth of market subscriptions are per connection (``request.connection.books``)."""

    def __init__(self, market: Market, maxbars: int, max_ticks: int):
        self.market = market
        self.maxbars = maxbars
        self.max_ticks = max_ticks

    def _bars(self, segments: list) -> Reply:
        if sum(len(s) for s in segments) > self.maxbars:
            return E_MEMORY, b""
        return OK, _array(segments)

    @command(protocol.Command.COPY_RATES_FROM)
    def rates_from(self, r: Request) -> Reply:
        name, tf, date, count = r.text(), r.i32(), r.i64(), r.i32()
        r.end()
        if self.market.symbol(name) is None:
            return E_NOT_FOUND, b""
        if count < 0:
            raise BadRequest("negative count")
        count = min(count, self.maxbars)
        return self._bars(self.market.bars_before(name, _timeframe(tf), date, count))

    @command(protocol.Command.COPY_RATES_RANGE)
    def rates_range(self, r: Request) -> Reply:
        name, tf, date_from, date_to = r.text(), r.i32(), r.i64(), r.i64()
        r.end()
        if self.market.symbol(name) is None:
            return E_NOT_FOUND, b""
        return self._bars(self.market.bars_range(name, _timeframe(tf), date_from, date_to))

    @command(protocol.Command.COPY_RATES_FROM_POS)
    def rates_from_pos(self, r: Request) -> Reply:
        name, tf, start, count = r.text(), r.i32(), r.i32(), r.i32()
        r.end()
        if self.market.symbol(name) is None:
            return E_NOT_FOUND, b""
        if start < 0 or count < 0:
            raise BadRequest("negative position or count")
        count = min(count, self.maxbars)
        return self._bars(self.market.bars_from_pos(name, _timeframe(tf), start, count))

    @command(protocol.Command.COPY_TICKS_FROM)
    def ticks_from(self, r: Request) -> Reply:
        name, from_ms, count, flags = r.text(), r.i64(), r.i32(), r.i32()
        r.end()
        if self.market.symbol(name) is None:
            return E_NOT_FOUND, b""
        if count < 0:
            raise BadRequest("negative count")
        count = min(count, self.max_ticks)
        if count == 0 or not _wants_info_ticks(flags):
            return OK, _array([])
        return OK, _array([self.market.tick_array_between(name, from_ms, 1 << 62, limit=count)])

    @command(protocol.Command.COPY_TICKS_RANGE)
    def ticks_range(self, r: Request) -> Reply:
        name, from_ms, to_ms, flags = r.text(), r.i64(), r.i64(), r.i32()
        r.end()
        if self.market.symbol(name) is None:
            return E_NOT_FOUND, b""
        if not _wants_info_ticks(flags):
            return OK, _array([])
        ticks = self.market.tick_array_between(name, from_ms, to_ms, limit=self.max_ticks + 1)
        if len(ticks) > self.max_ticks:
            return E_MEMORY, b""
        return OK, _array([ticks])

    @command(protocol.Command.SYMBOL_INFO_TICK)
    def symbol_tick(self, r: Request) -> Reply:
        name = r.text()
        r.end()
        if self.market.symbol(name) is None:
            return E_NOT_FOUND, b""
        rec = self.market.tick_record_at(name, self.market.now_ms())
        if rec is None:
            return E_NOT_FOUND, b""
        return OK, rec.tobytes()

    @command(protocol.Command.MARKET_BOOK_ADD)
    def book_add(self, r: Request) -> Reply:
        name = r.text()
        r.end()
        if self.market.symbol(name) is None:
            return E_NOT_FOUND, b""
        r.connection.books.add(name)
        return OK, b""

    @command(protocol.Command.MARKET_BOOK_RELEASE)
    def book_release(self, r: Request) -> Reply:
        name = r.text()
        r.end()
        if name not in r.connection.books:
            return E_NOT_FOUND, b""
        r.connection.books.discard(name)
        return OK, b""

    @command(protocol.Command.MARKET_BOOK_GET)
    def book_get(self, r: Request) -> Reply:
        name = r.text()
        r.end()
        if self.market.symbol(name) is None or name not in r.connection.books:
            return E_NOT_FOUND, b""
        book = self.market.book(name)
        return OK, U32.pack(len(book)) + book.tobytes()
