"""Group masks over symbol names: the same rules as the extension's group filter.

A list is comma-separated; items are trimmed of spaces; "*" is the only wildcard;
an item starting with "!" rejects.  A name passes when some positive item matches
and no negated one does.  Matching never moves backwards in the name, which is
why ``*AA`` does not match ``AAA``: kept on purpose so that ``symbols_get(group)``
selects exactly what the extension's own filter would.
"""
from __future__ import annotations

ITEM_UNITS = 255


def _units(text: str) -> list[int]:
    raw = text.encode("utf-16-le", "surrogatepass")
    return [raw[i] | (raw[i + 1] << 8) for i in range(0, len(raw), 2)]


STAR = 0x2A
BANG = 0x21


def mask_match(mask: list[int], name: list[int]) -> bool:
    """Match one mask (UTF-16 units, no terminator) against a name."""
    mlen, nlen = len(mask), len(name)
    m = 0
    while m < mlen and mask[m] == BANG:
        m += 1
    star = False
    restart = m
    if m < mlen and mask[m] == STAR:
        while m < mlen and mask[m] == STAR:
            m += 1
        star = True
        restart = m
    if nlen == 0:
        return m >= mlen
    n = 0
    while True:
        # top of the loop
        if m >= mlen:
            return True
        if mask[m] != name[n]:
            if not star:
                return False
            n += 1
            if n >= nlen:
                return False
            continue
        # equal units: compare forward
        failed = False
        while True:
            if mask[m] == STAR or n >= nlen:
                break
            if name[n] != mask[m]:
                if not star:
                    return False
                m = restart
                failed = True
                break
            m += 1
            n += 1
            if m >= mlen:
                break
        if failed:
            continue
        if m >= mlen:
            if n >= nlen:
                return True
            if not star:
                return False
            m = restart
            continue
        if n >= nlen:
            return all(u == STAR for u in mask[m:])
        while m < mlen and mask[m] == STAR:
            m += 1
        star = True
        restart = m
        if m >= mlen:
            return True


def _items(units: list[int]):
    i, total = 0, len(units)
    while i < total:
        if units[i] in (0x20, 0x2C):
            i += 1
            continue
        start = i
        while i < total and units[i] != 0x2C and i - start < ITEM_UNITS:
            i += 1
        item = units[start:i]
        while item and item[-1] == 0x20:
            item.pop()
        yield item
        if i >= total:
            return
        i += 1  # the comma, or the unit after 255 copied ones, is dropped


def group_match(group: str, name: str) -> bool:
    units = _units(group)
    nm = _units(name)
    accepted = False
    for item in _items(units):
        hit = mask_match(item, nm)
        if item and item[0] == BANG:
            if hit:
                return False
        elif hit:
            accepted = True
    return accepted
