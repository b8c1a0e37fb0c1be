"""Fixtures shared by every test: private folders, the fake Terminal (support/fake_terminal.py)
and the simulated one (support/simulated.py)."""
from __future__ import annotations

import sys

import pytest

from support.fake_terminal import FakeTerminal, run_fresh as _run_fresh
from support.folders import private_folders
from support.simulated import SimProcess, install_terminal, stop_pid_from_lock


def _shutdown_module():
    # Only where a test loaded the extension: the harness works before it builds.
    core = sys.modules.get("orbisyn._core")
    if core is not None:
        core.shutdown()


@pytest.fixture(autouse=True)
def private_env(tmp_path):
    """Every test: a private runtime folder (yielded) and an empty data folder."""
    with private_folders(tmp_path / "appdata") as runtime:
        yield runtime
        _shutdown_module()


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


# ---- the simulated Terminal ---------------------------------------------------------------------

@pytest.fixture
def sim_env(tmp_path, private_env):
    """The test's folder, for installs and files, inside its private folders."""
    return tmp_path


@pytest.fixture
def installed(tmp_path, private_env):
    """installed(name="terminal", **install options) -> a simulated Terminal installed under
    tmp_path; the module's link ends and whatever started it is stopped afterwards."""
    made: list[dict] = []

    def install(name: str = "terminal", **kw) -> dict:
        res = install_terminal(tmp_path, name, **kw)
        made.append(res)
        return res

    yield install
    _shutdown_module()
    for res in made:
        stop_pid_from_lock(res["exe"])


@pytest.fixture
def start_sim():
    """start_sim(exe, *args, wait=True) -> a SimProcess (ready unless wait is False); all
    are stopped afterwards."""
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
    """One running simulated Terminal for a whole test module (read-only use): (install
    paths, SimProcess); its folders are in the install paths' "env"."""
    base = tmp_path_factory.mktemp("sim")
    with private_folders(base / "xdg-data") as run:
        res = install_terminal(base)
        res["env"] = {"XDG_RUNTIME_DIR": str(run), "XDG_DATA_HOME": str(base / "xdg-data")}
        proc = SimProcess(res["exe"]).wait_ready()
        try:
            yield res, proc
        finally:
            proc.stop()


def pytest_make_parametrize_id(config, val, argname):
    # Short ids for frames and actions: pytest exports the test id in PYTEST_CURRENT_TEST,
    # and a Terminal the module spawns inherits that environment (and its size limit).
    if isinstance(val, (bytes, bytearray)):
        return f"{len(val)}B"
    if isinstance(val, dict) and "kind" in val:
        return val["kind"]
    return None
