"""The test suite on the oldest and the newest of what orbisyn claims to run on.

    nox                      # both sessions
    nox -s "tests(oldest)"   # the oldest claimed Python, with the oldest numpy and pandas
    nox -s "tests(newest)"   # the newest Python, with the newest of both

Each session builds and installs the package into a fresh virtual environment, as a user's
pip does, and runs the suite against it. Interpreters are taken from PATH, and from pyenv's
versions when PATH has none (`pyenv install 3.9 3.13`).
"""
from __future__ import annotations

import glob
import os
import re
import sys

import nox

if sys.version_info >= (3, 11):
    import tomllib
else:  # nox may itself run on an older Python
    import tomli as tomllib

nox.options.sessions = ["tests"]
nox.options.reuse_existing_virtualenvs = False

ROOT = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
    PROJECT = tomllib.load(f)["project"]


def _floor(requirement: str) -> str:
    """The lower bound of a ">=" requirement: "numpy>=1.23" -> "1.23"."""
    found = re.search(r">=\s*([\w.]+)", requirement)
    if not found:
        raise SystemExit(f"noxfile: {requirement!r} has no lower bound to test")
    return found.group(1)


def _requirement(name: str) -> str:
    every = PROJECT["dependencies"] + [r for extra in PROJECT["optional-dependencies"].values()
                                       for r in extra]
    return next(r for r in every if re.match(rf"{name}\b", r))


OLDEST_PYTHON = _floor(PROJECT["requires-python"])
NEWEST_PYTHON = re.findall(r"Python :: (3\.\d+)$", "\n".join(PROJECT["classifiers"]), re.M)[-1]
# The oldest releases the pins allow, exactly: what a user with an old environment keeps.
OLDEST_PINS = [f"{name}=={_floor(_requirement(name))}" for name in ("numpy", "pandas")]


def _add_pyenv_versions() -> None:
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = sorted(glob.glob(os.path.join(root, "versions", "3.*", "bin")))
    os.environ["PATH"] = os.pathsep.join([os.environ.get("PATH", "")] + found)


_add_pyenv_versions()


@nox.session
@nox.parametrize("python, deps", [(OLDEST_PYTHON, "oldest"), (NEWEST_PYTHON, "newest")],
                 ids=["oldest", "newest"])
def tests(session: nox.Session, deps: str) -> None:
    # No relay: it is a Windows program, tested on its own by the Windows stage.
    build = ["-C", "cmake.define.ORBISYN_RELAY=OFF"]
    if deps == "oldest":
        # One resolution: the package with the floors of numpy and pandas, so that pip
        # cannot pick newer ones for the tools.
        session.install(".[test]", *OLDEST_PINS, *build)
    else:
        session.install("--upgrade", ".[test]", *build)
    session.run("python", "-c", "import sys, numpy, pandas; print('versions:', "
                "sys.version.split()[0], 'numpy', numpy.__version__, 'pandas', pandas.__version__)")
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", *session.posargs)
