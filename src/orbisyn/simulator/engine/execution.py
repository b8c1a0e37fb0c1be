"""Deals and their effect on the account: what a deal would do (its plan), and doing it."""
from __future__ import annotations

from .book import EPS, Account, Plan, Reject, money, vol
from .calc import CurrencyConverter
from .model import (
    BUY, CLOSE_VOLUME, ENTRY_IN, ENTRY_INOUT, ENTRY_OUT, INVALID, POSITION_CLOSED, SELL, Deal,
    Order, Position)
from .store import Store


class Tickets:
    """The next ticket and the last request id, kept in the store and written when they change."""

    def __init__(self, store: Store):
        self.store = store
        self.load()

    def load(self) -> None:
        self.next = self.store.meta("next_ticket")
        self.request_id = self.store.meta("request_id")
        self._saved = (self.next, self.request_id)

    def new(self) -> int:
        ticket = self.next
        self.next = ticket + 1
        return ticket

    def save(self) -> None:
        if self.next != self._saved[0]:
            self.store.set_meta("next_ticket", self.next)
        if self.request_id != self._saved[1]:
            self.store.set_meta("request_id", self.request_id)
        self._saved = (self.next, self.request_id)


class Execution:
    """Plans market deals and executes them on the account and in the store."""

    def __init__(self, store: Store, converter: CurrencyConverter, tickets: Tickets):
        self.store = store
        self.converter = converter
        self.tickets = tickets

    def plan(self, acc: Account, sym, buy: bool, volume: float, price: float,
             position: int) -> Plan:
        """What a market deal of `volume` lots at `price` would do; raises Reject."""
        plan = self._plan_deal(acc, sym, buy, volume, price, position)
        plan.commission = acc.commission(volume)
        return plan

    def _plan_deal(self, acc: Account, sym, buy: bool, volume: float, price: float,
                   position: int) -> Plan:
        name = sym.name
        if acc.hedging:
            if position:
                p = acc.positions.get(position)
                if p is None:
                    raise Reject(POSITION_CLOSED, "Position doesn't exist")
                if p.symbol != name:
                    raise Reject(INVALID, "Position belongs to another symbol")
                if (p.type == BUY) == buy:
                    raise Reject(INVALID, "Order type doesn't close the position")
                if volume > p.volume + EPS:
                    raise Reject(CLOSE_VOLUME, "Volume exceeds the position")
                realized = money(self.converter.profit(sym, p.type == BUY, volume, p.price_open,
                                                    price, acc.currency))
                return Plan(name, buy, volume, price, ENTRY_OUT, p, volume, vol(p.volume - volume),
                            p.price_open, 0.0, realized, False)
            return Plan(name, buy, volume, price, ENTRY_IN, None, 0.0, 0.0, 0.0, volume, 0.0, True)
        group = acc.by_symbol.get(name)
        p = next(iter(group.values())) if group else None
        if position and (p is None or p.ticket != position):
            raise Reject(POSITION_CLOSED, "Position doesn't exist")
        if p is None:
            return Plan(name, buy, volume, price, ENTRY_IN, None, 0.0, 0.0, 0.0, volume, 0.0, True)
        if (p.type == BUY) == buy:
            total = vol(p.volume + volume)
            avg = (p.volume * p.price_open + volume * price) / total
            return Plan(name, buy, volume, price, ENTRY_IN, p, 0.0, total, avg, 0.0, 0.0, True)
        closed = min(volume, p.volume)
        realized = money(self.converter.profit(sym, p.type == BUY, closed, p.price_open, price,
                                            acc.currency))
        if volume > p.volume + EPS:
            return Plan(name, buy, volume, price, ENTRY_INOUT, p, p.volume, 0.0, 0.0,
                        vol(volume - p.volume), realized, True)
        return Plan(name, buy, volume, price, ENTRY_OUT, p, closed, vol(p.volume - closed),
                    p.price_open, 0.0, realized, False)

    def execute(self, acc: Account, plan: Plan, order: Order, reason: int, t_ms: int,
                sl: float, tp: float, comment: str, magic: int) -> Deal:
        store = self.store
        p = plan.pos
        pid = plan.position_id(order.ticket)
        deal = Deal(self.tickets.new(), acc.login, order.ticket, t_ms, 0 if plan.buy else 1, plan.entry,
                    magic, pid, reason, plan.volume, plan.price, plan.commission, plan.swap,
                    plan.realized, 0.0, plan.symbol, comment)
        store.add_deal(deal)
        if plan.realized or deal.swap or deal.commission:
            acc.balance = money(acc.balance + plan.realized + deal.swap + deal.commission)
        if deal.swap:
            acc.swaps -= deal.swap
            p.swap = money(p.swap - deal.swap)
            acc.touch(p)
        if p is not None:
            if plan.remaining > 0:
                acc.resize(p, plan.remaining, plan.new_price)
                if plan.entry == ENTRY_IN:
                    if sl > 0:
                        p.sl = sl
                    if tp > 0:
                        p.tp = tp
                p.time_update_msc = t_ms
                acc.changed(p)
                store.save_position(p)
            elif plan.entry == ENTRY_INOUT:
                acc.drop_position(p)
                q = Position(p.ticket, acc.login, plan.symbol, BUY if plan.buy else SELL,
                             plan.open_volume, plan.price, sl, tp, t_ms, t_ms, magic, reason,
                             comment)
                acc.add_position(q)
                store.save_position(q)
            else:
                acc.drop_position(p)
                store.delete_position(p.ticket)
        elif plan.open_volume > 0:
            q = Position(order.ticket, acc.login, plan.symbol, BUY if plan.buy else SELL,
                         plan.open_volume, plan.price, sl, tp, t_ms, t_ms, magic, reason, comment)
            acc.add_position(q)
            store.save_position(q)
        order.position_id = pid
        return deal

    def finish_order(self, acc: Account, o: Order, state: int, t_ms: int) -> None:
        o.state = state
        o.time_done_msc = t_ms
        o.active = False
        acc.orders.pop(o.ticket, None)
        self.store.save_order(o)
