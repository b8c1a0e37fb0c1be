"""Path normalisation shared by the simulated Terminal and its clients."""
from __future__ import annotations

import os
import shutil
import stat
import tempfile

import pytest

from orbisyn import _paths


def test_normalise_follows_realpath_rules(tmp_path, monkeypatch):
    target = tmp_path / "Real" / "terminal64.exe"
    target.parent.mkdir()
    target.write_text("")
    (tmp_path / "link").symlink_to(target.parent)
    (tmp_path / "dangling").symlink_to(tmp_path / "missing")
    monkeypatch.chdir(tmp_path)
    assert _paths.normalise("link/terminal64.exe") == str(target)
    assert _paths.normalise("Real/../Real/terminal64.exe") == str(target)
    # Anything that realpath(3) refuses is used as given.
    assert _paths.normalise("dangling") == "dangling"
    assert _paths.normalise("Real/nothing/x") == "Real/nothing/x"
    assert _paths.normalise("") == ""
    # The launcher and the client reach the same socket whatever path form they were given.
    assert _paths.socket_path("link/terminal64.exe") == _paths.socket_path(str(target))
    assert _paths.socket_path("dangling") != _paths.socket_path(str(tmp_path / "dangling"))


@pytest.mark.parametrize("umask", [0o000, 0o022, 0o777])
def test_the_server_makes_its_socket_folder_private_whatever_the_umask(monkeypatch, umask):
    base = tempfile.mkdtemp(prefix="osp", dir="/tmp")
    monkeypatch.setenv("TMPDIR", base)
    monkeypatch.delenv("XDG_RUNTIME_DIR")
    old = os.umask(umask)
    try:
        made = _paths.ensure_pipe_dir()
        os.umask(old)
        assert (made, stat.S_IMODE(os.stat(made).st_mode)) == (f"{base}/orbisyn-{os.getuid()}", 0o700)
    finally:
        os.umask(old)
        shutil.rmtree(base)


@pytest.mark.parametrize("mode, private", [(0o700, True), (0o750, True), (0o770, False), (0o702, False),
                                          (0o1777, False)])
def test_a_socket_folder_others_can_write_to_is_passed_over(monkeypatch, mode, private):
    base = tempfile.mkdtemp(prefix="osp", dir="/tmp")
    runtime, first = f"{base}/run", f"{base}/orbisyn-{os.getuid()}"
    monkeypatch.setenv("TMPDIR", base)
    monkeypatch.setenv("XDG_RUNTIME_DIR", runtime)
    try:
        for d in (runtime, first):
            os.mkdir(d)
            os.chmod(d, mode)
        assert _paths.ensure_pipe_dir() == (runtime if private else f"{first}-1")
        monkeypatch.delenv("XDG_RUNTIME_DIR")
        assert _paths.ensure_pipe_dir() == (first if private else f"{first}-1")
    finally:
        shutil.rmtree(base)
