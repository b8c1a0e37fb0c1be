"""The private folders every test runs in."""
from __future__ import annotations

import contextlib
import os
import shutil
import tempfile
from pathlib import Path

KEYS = ("XDG_RUNTIME_DIR", "XDG_DATA_HOME")


@contextlib.contextmanager
def private_folders(data=None):
    """XDG_RUNTIME_DIR a new folder under /tmp, mode 0700 and short (socket paths are limited
    to 108 bytes), and XDG_DATA_HOME data (default: data in that folder), until the block
    ends; then both are as they were and the folder is gone. Yields the runtime folder."""
    saved = {k: os.environ.get(k) for k in KEYS}
    run = Path(tempfile.mkdtemp(prefix="ob", dir="/tmp"))
    os.chmod(run, 0o700)
    os.environ["XDG_RUNTIME_DIR"] = str(run)
    os.environ["XDG_DATA_HOME"] = str(data if data is not None else run / "data")
    try:
        yield run
    finally:
        for key, value in saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
        shutil.rmtree(run, ignore_errors=True)
