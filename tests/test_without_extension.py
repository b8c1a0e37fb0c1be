"""The pure-Python parts import where the extension is not built, and do not load it where it is;
the package still shows, exports and pickles everything the extension has."""
from __future__ import annotations

import pickle

import pytest

from support.fake_terminal import run_fresh

PURE = ["orbisyn._paths", "orbisyn._docs", "orbisyn.codes", "orbisyn.errors",
        "orbisyn.simulator.cli", "orbisyn.simulator.serving.server",
        "orbisyn.simulator.serving.client", "orbisyn.simulator.hosting.relayed",
        "orbisyn.simulator.replay.report", "orbisyn.simulator.engine",
        "orbisyn.simulator.market.market"]

# Makes the extension unimportable, as where it was never built.
BLOCK = """
import importlib.abc, sys
class Unbuilt(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "orbisyn._core":
            raise ModuleNotFoundError("No module named 'orbisyn._core'", name=name)
sys.meta_path.insert(0, Unbuilt())
"""


def fresh(code: str) -> str:
    done = run_fresh(code)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("module", PURE)
def test_pure_parts_import_without_the_extension(module):
    out = fresh(BLOCK + f"import {module}\nprint('orbisyn._core' in sys.modules)")
    assert out.strip() == "False"


@pytest.mark.parametrize("module", PURE)
def test_pure_parts_leave_the_extension_unloaded(module):
    out = fresh(f"import sys, {module}\nprint('orbisyn._core' in sys.modules)")
    assert out.strip() == "False"


def test_without_the_extension_its_names_are_missing_and_say_why():
    out = fresh(BLOCK + """
import orbisyn
print(hasattr(orbisyn, "initialize"))
try:
    orbisyn.initialize
except AttributeError as exc:
    print("does not import" in str(exc), type(exc.__cause__).__name__)
ns = {}
exec("from orbisyn import *", ns)
print(sorted(k for k in ns if not k.startswith("__")))
""")
    assert out.split("\n")[:3] == [
        "False", "True ModuleNotFoundError",
        "['TerminalError', 'TerminalTimeoutError', 'TradeRequestDict', 'UnknownKeyWarning', 'params', "
        "'sleep', 'wait_bar']"]


def test_the_package_face_is_the_extension_and_its_own_names():
    from orbisyn import _core
    core = sorted(n for n in dir(_core) if not n.startswith("_"))
    out = fresh("""
import orbisyn
names = dir(orbisyn)
ns = {}
exec("from orbisyn import *", ns)
print(sorted(orbisyn.__all__) == sorted(k for k in ns if not k.startswith("__")))
print(",".join(sorted(orbisyn.__all__)))
print(",".join(n for n in names if not n.startswith("_")))
import pydoc
print("copy_rates_from" in pydoc.render_doc(orbisyn, renderer=pydoc.plaintext))
print(orbisyn.__getattr__.__module__, orbisyn.initialize is orbisyn._core.initialize)
""").split("\n")
    assert out[0] == "True"
    own = {"TerminalError", "TerminalTimeoutError", "UnknownKeyWarning", "TradeRequestDict", "params",
           "sleep", "wait_bar"}
    assert set(out[1].split(",")) == set(core) | own
    assert set(core) | own <= set(out[2].split(","))
    assert out[3:5] == ["True", "orbisyn True"]


def test_a_record_unpickles_in_a_process_that_never_loaded_the_extension():
    import orbisyn
    from orbisyn._records import fields
    record = orbisyn.TradeDeal(tuple(range(len(fields(orbisyn.TradeDeal)))))
    data = pickle.dumps(record)
    out = fresh(f"import pickle, sys\nr = pickle.loads({data!r})\n"
                "print(type(r).__name__, r.ticket, 'orbisyn._core' in sys.modules)")
    assert out.split() == ["TradeDeal", str(record.ticket), "True"]
