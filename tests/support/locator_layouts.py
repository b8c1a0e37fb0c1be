"""Terminal data folders as the locator meets them, laid out for its tests on Linux
(tests/native) and under Wine (tests/windows/run.py). The standard library only."""
from __future__ import annotations

import os

# The layouts both runners lay out; each says what it expects of them.
CASES = ["no-root", "only-files-and-dot-folders", "later-of-two-files-wins",
         "portable-needs-no-scrivel", "bad-origins-write-nothing", "no-scrivel", "no-origin",
         "only-invalid", "tie-goes-to-first-enumerated", "parent-terminal-preferred"]


def data_folder(root, name, target, *, portable=None, accounts=None, ini=None, scrivel=True,
                origin=None):
    """A Terminal data folder root/name whose origin.txt names the install folder target;
    the times (in seconds) of its marker files; origin as raw bytes, b"none" for no file."""
    folder = root / name
    (folder / "config").mkdir(parents=True)
    if scrivel:
        (folder / "Scrivel").mkdir()
    for rel, when in [("portable.txt", portable), ("config/accounts.dat", accounts),
                      ("config/terminal.ini", ini)]:
        if when is not None:
            (folder / rel).write_bytes(b"")
            os.utime(folder / rel, (when, when))
    if origin is None:
        origin = ("\ufeff" + str(target)).encode("utf-16-le")
    if origin != b"none":
        (folder / "origin.txt").write_bytes(origin)
    return folder
