"""What orbisyn claims to run on, held to what it is built and tested with."""
from __future__ import annotations

import os
import re

from orbisyn import _core

ROOT = os.path.join(os.path.dirname(__file__), os.pardir)


def project() -> str:
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
        return f.read()


def test_the_extension_runs_with_the_oldest_numpy_claimed():
    # numpy's headers target an older numpy only as far as told; newer headers move their
    # default up as they drop Pythons, which would break the claim without a word.
    floor = re.search(r'^dependencies = \["numpy>=([\d.]+)"', project(), re.M).group(1)
    with open(_core.__file__, "rb") as f:
        built = re.search(rb"C-API version 0x%x \(NumPy ([\d.]+)\)", f.read())
    assert built and built.group(1).decode() == floor

