"""The engine's present and the quotes of the symbols at it."""
from __future__ import annotations

from typing import Dict, List, Optional, Tuple


class Quotes:
    """`now` (ms) is the moment the engine has reached: the market's present between requests,
    the tick being processed while events are replayed. Quotes at it are cached per request;
    while replaying, the replay sets them tick by tick (``set``) and keeps no others.

    ``stamp(name)`` changes whenever the quote ``quote(name)`` gives may have changed: what
    is worked out from quotes is kept until the stamps of its quotes change."""

    def __init__(self, market):
        self.market = market
        self.now = 0
        self._specs: Dict[str, object] = {}
        self._sets = 0
        self._stamps: Dict[str, int] = {}
        self.reset()

    def reset(self) -> None:
        """Forget the cached quotes (a new request, or the account reloaded)."""
        self._px: Dict[str, Tuple[float, float]] = {}
        self.live = True

    def clear(self) -> None:
        self._px.clear()

    def set(self, name: str, bid: float, ask: float) -> None:
        self._px[name] = (bid, ask)
        self._sets += 1
        self._stamps[name] = self._sets

    def stamp(self, name: str):
        if name in self._px:
            return self._stamps[name]
        # Not cached: read at `now` each time (or cached by this read, in a request).
        return (self.now, self.live)

    def quote(self, name: str) -> Optional[Tuple[float, float]]:
        """(bid, ask) of a symbol at `now`, or None without a tick."""
        q = self._px.get(name)
        if q is None:
            tick = self.market.tick_at(name, self.now)
            if tick is None or tick.bid <= 0 or tick.ask <= 0:
                return None
            q = (float(tick.bid), float(tick.ask))
            if self.live:
                self._px[name] = q
                self._sets += 1
                self._stamps[name] = self._sets
        return q

    def instrument(self, name: str):
        sym = self._specs.get(name)
        if sym is None:
            sym = self.market.symbol(name)
            if sym is not None:
                self._specs[name] = sym
        return sym

    def all_instruments(self) -> List[object]:
        out = []
        for item in self.market.symbols():
            name = item if isinstance(item, str) else getattr(item, "name")
            sym = self.instrument(name)
            if sym is not None:
                out.append(sym)
        return out
