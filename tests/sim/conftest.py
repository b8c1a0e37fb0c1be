"""Fixtures for the simulated Terminal: temporary XDG folders, installs, running servers.

Servers always run as separate processes (started through their launcher, as the
extension starts them) and are always stopped by the fixture that started them.
"""
from __future__ import annotations

import shutil

import pytest

from simkit import SimProcess, install_terminal, set_env


@pytest.fixture
def sim_env(tmp_path, monkeypatch):
    run = set_env(monkeypatch, tmp_path)
    yield tmp_path
    shutil.rmtree(run, ignore_errors=True)


@pytest.fixture
def start_sim():
    """Factory: start_sim(exe, *args) -> ready SimProcess; all are stopped afterwards."""
    started: list[SimProcess] = []

    def start(exe: str, *args: str, wait: bool = True) -> SimProcess:
        p = SimProcess(exe, *args)
        started.append(p)
        return p.wait_ready() if wait else p

    yield start
    for p in started:
        p.stop()


@pytest.fixture(scope="module")
def shared_sim(tmp_path_factory):
    """One running Terminal for a whole test module (read-only use)."""
    base = tmp_path_factory.mktemp("sim")
    with pytest.MonkeyPatch.context() as mp:
        run = set_env(mp, base)
        res = install_terminal(base)
        proc = SimProcess(res["exe"]).wait_ready()
        try:
            yield res, proc
        finally:
            proc.stop()
            shutil.rmtree(run, ignore_errors=True)
