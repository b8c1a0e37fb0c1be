"""A second local user in the attacker's place: a throwaway account and processes run as it.

Loopback TCP, /tmp and world-readable files are what another account on the same machine
reaches; a test that attacks them from a second process of the same user proves less
(that process could read our private files anyway). Tests that need one call
``other_user()``, which skips where no account can be made (not root, no useradd).
"""
from __future__ import annotations

import dataclasses
import os
import pwd
import shutil
import subprocess
import sys

import pytest

NAME = "orbisyn-other"


@dataclasses.dataclass(frozen=True)
class OtherUser:
    name: str
    uid: int
    gid: int
    python_exe: str  # an interpreter this user can run (ours may sit under a private home)

    def popen(self, argv, **kw) -> subprocess.Popen:
        """Starts argv as this user, with no supplementary groups and a plain environment."""
        kw.setdefault("env", {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": "/tmp",
                              "LANG": "C.UTF-8"})
        kw.setdefault("cwd", "/")
        return subprocess.Popen(argv, user=self.uid, group=self.gid, extra_groups=[], **kw)

    def run(self, argv, timeout: float = 60, **kw) -> subprocess.CompletedProcess:
        kw.setdefault("capture_output", True)
        with self.popen(argv, stdout=subprocess.PIPE if kw.pop("capture_output") else None,
                        stderr=subprocess.PIPE, **kw) as proc:
            out, err = proc.communicate(timeout=timeout)
        return subprocess.CompletedProcess(argv, proc.returncode, out, err)

    def python(self, code: str, *args: str, **kw) -> subprocess.Popen:
        """Starts `python -c code args` as this user (the stdlib only: our files are ours)."""
        return self.popen([self.python_exe, "-I", "-c", code, *args], **kw)


def other_user() -> OtherUser:
    """The throwaway account, made on first use; skips the test where it cannot be."""
    if os.name != "posix" or os.geteuid() != 0:
        pytest.skip("a second user needs root to make")
    try:
        entry = pwd.getpwnam(NAME)
    except KeyError:
        useradd = shutil.which("useradd") or "/usr/sbin/useradd"
        if not os.path.exists(useradd):
            pytest.skip("no useradd to make a second user")
        made = subprocess.run([useradd, "--system", "--no-create-home", "--home-dir", "/nonexistent",
                               "--shell", "/usr/sbin/nologin", NAME], capture_output=True)
        if made.returncode not in (0, 9):  # 9: made meanwhile by another test process
            pytest.skip(f"useradd failed: {made.stderr.decode(errors='replace').strip()}")
        entry = pwd.getpwnam(NAME)
    user = OtherUser(entry.pw_name, entry.pw_uid, entry.pw_gid, "")
    # The stdlib is all an attacker's script needs; our venv may sit under a private home.
    for exe in (sys.executable, "/usr/bin/python3"):
        try:
            if user.run([exe, "-I", "-c", "0"]).returncode == 0:
                return dataclasses.replace(user, python_exe=exe)
        except OSError:
            continue
    pytest.skip("the second user can run no Python interpreter")
