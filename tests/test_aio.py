"""orbisyn.aio against the scripted fake Terminal, whose replies can be held back: a cancelled
await never cuts its exchange, and a call cancelled while queued is never sent."""
from __future__ import annotations

import asyncio

import pytest

from orbisyn import aio
from support.fake_terminal import delayed, reply, request, session, u32

POSITIONS_TOTAL = 120


@pytest.mark.parametrize("when", ["running", "queued"])
def test_a_cancelled_call_leaves_the_link_in_step(fake_terminal, when):
    session(fake_terminal)
    fake_terminal.clear()
    fake_terminal.script(delayed(reply(POSITIONS_TOTAL, 0, u32(3)), 0.5), reply(POSITIONS_TOTAL, 0, u32(7)))
    fake_terminal.sync()

    async def main():
        slow = asyncio.create_task(aio.positions_total())
        await asyncio.sleep(0.15)  # its request is out; the reply comes 0.5 s after it
        if when == "running":
            victim = slow
        else:
            victim = asyncio.create_task(aio.order_send(action=1, symbol="EURUSD", volume=0.1, type=0))
            await asyncio.sleep(0)
        assert not slow.done()
        victim.cancel()
        with pytest.raises(asyncio.CancelledError):
            await victim
        first = None if when == "running" else await slow
        return first, await aio.positions_total()

    first, after = asyncio.run(main())
    # The cancelled exchange was read to its end: the next call got its own reply.
    assert after == 7 and first in (None, 3)
    assert fake_terminal.requests() == [request(POSITIONS_TOTAL)] * 2  # no order went out
