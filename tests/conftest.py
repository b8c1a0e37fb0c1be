"""Fixtures shared by every test; the fake Terminal itself is in support/fake_terminal.py."""
from __future__ import annotations

import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

from support.fake_terminal import FakeTerminal, run_fresh as _run_fresh


def _shutdown_module():
    # Only where a test loaded the extension: the harness works before it builds.
    core = sys.modules.get("orbisyn._core")
    if core is not None:
        core.shutdown()


@pytest.fixture(autouse=True)
def private_env(tmp_path, monkeypatch):
    """Private socket directory and an empty data folder for every test.

    Socket paths are limited to 108 bytes, so the runtime directory is a short one
    under /tmp rather than tmp_path."""
    runtime = tempfile.mkdtemp(prefix="ob", dir="/tmp")
    os.chmod(runtime, 0o700)
    appdata = tmp_path / "appdata"
    monkeypatch.setenv("XDG_RUNTIME_DIR", runtime)
    monkeypatch.setenv("XDG_DATA_HOME", str(appdata))
    yield Path(runtime)
    _shutdown_module()
    shutil.rmtree(runtime, ignore_errors=True)


@pytest.fixture
def make_terminal(tmp_path, private_env):
    """make_terminal(name="Term", start=True) -> FakeTerminal under tmp_path/name."""
    made: list[FakeTerminal] = []

    def make(name: str = "Term", start: bool = True) -> FakeTerminal:
        term = FakeTerminal(tmp_path, private_env, name)
        made.append(term)
        if start:
            term.start()
        return term

    yield make
    _shutdown_module()
    for term in made:
        term.close()


@pytest.fixture
def fake_terminal(make_terminal) -> FakeTerminal:
    """A started fake Terminal at tmp_path/Term/terminal64.exe."""
    return make_terminal()


@pytest.fixture
def run_fresh():
    return _run_fresh


def pytest_make_parametrize_id(config, val, argname):
    # Short ids for frames and actions: pytest exports the test id in PYTEST_CURRENT_TEST,
    # and a Terminal the module spawns inherits that environment (and its size limit).
    if isinstance(val, (bytes, bytearray)):
        return f"{len(val)}B"
    if isinstance(val, dict) and "kind" in val:
        return val["kind"]
    return None
