"""The type stubs match the extension and type-check a typical program."""
import inspect
import os
import subprocess
import sys

import pytest

import orbisyn
from orbisyn import _core
from orbisyn import _records

STUB = os.path.join(os.path.dirname(orbisyn.__file__), "_core.pyi")


def stub_names():
    import ast
    tree = ast.parse(open(STUB).read())
    return {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))
            and not n.name.startswith("_")}


def test_stub_names_match_the_module():
    public = {n for n in dir(_core) if not n.startswith("_")}
    assert stub_names() == public


@pytest.mark.parametrize("name", sorted(n for n in dir(_core) if inspect.isclass(getattr(_core, n))))
def test_stub_record_fields_match(name):
    import ast
    tree = ast.parse(open(STUB).read())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name)
    fields = [f.name for f in cls.body if isinstance(f, ast.FunctionDef)]
    assert tuple(fields) == _records.fields(getattr(_core, name))


PROGRAM = '''
import orbisyn
from datetime import datetime, timezone
from typing import Optional, Union
ok: bool = orbisyn.initialize(path="/x/terminal64.exe", timeout=100)
orbisyn.set_timeout(2.5)
limit: Optional[float] = orbisyn.get_timeout()
orbisyn.set_timeout(None)
code, message = orbisyn.last_error()
fast: Union[int, float, str] = orbisyn.params().get("fast", 10)
slept: bool = orbisyn.sleep(0.5)
opened: Optional[int] = orbisyn.wait_bar("EURUSD", 5, timeout=2.5)
rates = orbisyn.copy_rates_from("EURUSD", 16385, datetime.now(timezone.utc), 10)
if rates is not None:
    print(rates["close"].mean())
info = orbisyn.symbol_info("EURUSD")
if info is not None:
    digits: int = info.digits
    name: str = info.name
r = orbisyn.order_send({"action": 1, "symbol": "EURUSD", "volume": 0.1, "type": 0})
if r is not None:
    volume: float = r.request.volume
'''


CATALOGUE = '''
import orbisyn
symbols = orbisyn.symbols_get(group="*USD*")
if symbols:
    for s in symbols:
        spread: int = s.spread
        print(s.name, spread, s._asdict()["digits"])
record: dict[str, object] = orbisyn.Tick((0, 1.0, 1.0, 0.0, 0, 0, 0, 0.0))._asdict()
'''


def readme_example() -> str:
    """The first Python block of the README's "Using it" section."""
    readme = open(os.path.join(os.path.dirname(__file__), os.pardir, "README.md")).read()
    section = readme[readme.index("## Using it"):]
    return section[section.index("```python") + len("```python"):section.index("```\n\n")]


def mypy_strict(tmp_path, text, *more):
    """mypy --strict (and the options more) over the program text."""
    pytest.importorskip("mypy")
    prog = tmp_path / "prog.py"
    prog.write_text(text)
    # A development tree is not on mypy's path; an installed package is (mypy refuses
    # site-packages in MYPYPATH).
    root = os.path.dirname(os.path.dirname(orbisyn.__file__))
    env = dict(os.environ)
    if "site-packages" not in root:
        env["MYPYPATH"] = root
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", *more, "--no-incremental",
                           "--cache-dir", str(tmp_path / "cache"), str(prog)],
                          capture_output=True, text=True, cwd=tmp_path, env=env)


@pytest.mark.parametrize("program", [PROGRAM, CATALOGUE, readme_example()],
                         ids=["typical", "catalogue", "readme"])
def test_typical_program_type_checks(tmp_path, program):
    res = mypy_strict(tmp_path, program)
    assert res.returncode == 0, res.stdout + res.stderr


AIO_STUB = os.path.join(os.path.dirname(orbisyn.__file__), "aio.pyi")


def test_aio_stub_names_match_the_module():
    import ast
    from orbisyn import aio
    tree = ast.parse(open(AIO_STUB).read())
    stubbed = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))}
    functions = {n for n in dir(_core) if not n.startswith("_") and not inspect.isclass(getattr(_core, n))}
    assert stubbed == functions - {"last_error"} | {"session", "ticks", "sleep", "wait_bar"}
    # params is the plain function: it asks no Terminal.
    assert stubbed | {"TerminalError", "TerminalTimeoutError", "params"} == set(aio.__all__)


AIO_PROGRAM = '''
import asyncio
from datetime import datetime, timezone
import orbisyn
from orbisyn import aio, frames

async def main() -> None:
    try:
        async with aio.session("/x/terminal64.exe", timeout=100):
            rates, info = await asyncio.gather(
                aio.copy_rates_from("EURUSD", 16385, datetime.now(timezone.utc), 10),
                aio.symbol_info("EURUSD"))
            print(rates["close"].mean(), info.digits)
            r = await aio.order_send({"action": 1, "symbol": "EURUSD", "volume": 0.1, "type": 0})
            volume: float = r.request.volume
            account = await aio.account_info(timeout=2)
            margin: float = await aio.order_calc_margin(0, "EURUSD", 1.0, 1.1, timeout=0.5)
            print(account.login, margin, aio.get_timeout())
            bar: int = await aio.wait_bar("EURUSD", 5, timeout=60)
            awake: bool = await aio.sleep(0.5)
            async for symbol, tick in aio.ticks(["BTCUSD", "ETHUSD"], interval=0.5, timeout=3):
                ms: int = tick.time_msc
                break
            df = frames.rates(rates)
            print(df.index[0], df["close"].max())
            print(frames.records(await aio.positions_get(), orbisyn.TradePosition).shape)
    except orbisyn.TerminalTimeoutError as e:
        seconds_out: int = e.code
    except orbisyn.TerminalError as e:
        code: int = e.code
        message: str = e.message

asyncio.run(main())
'''

# A failed call raises, so a result is never None: the stubs say so.
AIO_WRONG = '''
from orbisyn import aio
async def f() -> None:
    info = await aio.symbol_info("EURUSD")
    if info is None:
        print("unreachable")
    total: str = await aio.positions_total()
'''


def test_asyncio_and_pandas_program_type_checks(tmp_path):
    pytest.importorskip("pandas")
    res = mypy_strict(tmp_path, AIO_PROGRAM, "--warn-unreachable")
    assert res.returncode == 0, res.stdout + res.stderr


def test_aio_results_are_typed_without_none(tmp_path):
    res = mypy_strict(tmp_path, AIO_WRONG, "--warn-unreachable")
    assert "prog.py:6: error: Statement is unreachable" in res.stdout, res.stdout
    assert 'prog.py:7: error: Incompatible types in assignment (expression has type "int"' in res.stdout


# ---------------------------------------------------------------- one source for the docs

def stub_tree():
    import ast
    return ast.parse(open(STUB).read())


def stub_function_docs():
    import ast
    docs = {}
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef) and ast.get_docstring(node) is not None:
            docs.setdefault(node.name, ast.get_docstring(node))
    return docs


FUNCTIONS = sorted(n for n in dir(_core) if not n.startswith("_") and not inspect.isclass(getattr(_core, n)))
RECORDS = sorted(n for n in dir(_core) if inspect.isclass(getattr(_core, n)))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_doc_is_the_stubs(name):
    doc = getattr(_core, name).__doc__
    stub = stub_function_docs().get(name)
    if stub is not None:
        assert doc == stub
    else:  # no reference text yet: the signature line and the description
        assert doc.startswith(name + "(") and "\n\n" in doc


@pytest.mark.parametrize("name", RECORDS)
def test_record_docs_are_the_stubs(name):
    import ast
    cls = next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == name)
    rtype = getattr(_core, name)
    if ast.get_docstring(cls) is not None:
        assert rtype.__doc__ == ast.get_docstring(cls)
    for prop in (f for f in cls.body if isinstance(f, ast.FunctionDef)):
        if ast.get_docstring(prop) is not None:
            assert getattr(rtype, prop.name).__doc__ == ast.get_docstring(prop), prop.name


KIND_OF_ANNOTATION = {"int": "i", "float": "f", "bool": "b", "str": "s", "TradeRequest": "r"}


@pytest.mark.parametrize("name", RECORDS)
def test_stub_field_types_match_the_module(name):
    import ast
    cls = next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == name)
    kinds = "".join(KIND_OF_ANNOTATION[ast.unparse(f.returns)] for f in cls.body
                    if isinstance(f, ast.FunctionDef))
    assert kinds == getattr(_core, name)._kinds


def test_record_names_follow_the_module():
    from orbisyn import _records, frames
    assert _records.NAMES == tuple(RECORDS_IN_ORDER)
    assert set(frames._KINDS) == set(RECORDS)


RECORDS_IN_ORDER = ["TradePosition", "TradeOrder", "TradeDeal", "TradeRequest", "OrderSendResult",
                    "OrderCheckResult", "Tick", "TerminalInfo", "SymbolInfo", "AccountInfo", "BookInfo"]


def test_docstring_generator_round_trips_any_text(tmp_path):
    """The generated C literals hold the stub's text byte for byte (C's octal escapes read
    the same in a Python bytes literal)."""
    import ast
    import importlib.util
    tool = os.path.join(os.path.dirname(__file__), os.pardir, "tools", "docstrings.py")
    found = importlib.util.spec_from_file_location("docstrings", tool)
    gen = importlib.util.module_from_spec(found)
    found.loader.exec_module(gen)
    text = 'f(a, b="x")\n\n  Größe: 5 \\ 7 "q" ??= \t€\U0001F600\n'
    source = f"def f() -> None:\n    {text!r}\nclass R:\n    'Rec.'\n    @property\n    def x(self) -> int:\n        'X.'\n"
    rows = gen.entries(source)
    assert rows == [("", "f", ast.get_docstring(ast.parse(source).body[0])), ("R", "", "Rec."),
                    ("R", "x", "X.")]
    literal = gen.literal(rows[0][2])
    data = b"".join(ast.literal_eval("b" + piece.strip()) for piece in literal.split("\n"))
    assert data.decode("utf-8") == rows[0][2]


# ---------------------------------------------------------------- the trade request's keys

REQUESTS_OK = '''
import numpy as np
import orbisyn
from orbisyn.codes import OrderType, TradeAction

request: orbisyn.TradeRequestDict = {"action": TradeAction.DEAL, "symbol": "EURUSD",
                                     "volume": np.float64(0.1), "type": OrderType.BUY}
sent = orbisyn.order_send(request)
if sent is not None:
    again = orbisyn.order_send(sent.request._asdict())
checked = orbisyn.order_check(action=1, symbol="EURUSD", volume=0.1, sl=1.05, magic=np.uint64(7))
'''

# Each line a request that the module refuses when it runs: a type checker flags it first.
REQUESTS_WRONG = '''
import orbisyn
from orbisyn import aio
orbisyn.order_send({"action": 1, "symbol": "EURUSD", "stoploss": 0.985})
orbisyn.order_check(action=1, stoploss=0.985)
orbisyn.order_send({"action": 1, "volume": "0.1"})
async def f() -> None:
    await aio.order_send({"action": 1, "stoploss": 0.985})
'''


def test_trade_requests_type_check(tmp_path):
    res = mypy_strict(tmp_path, REQUESTS_OK, "--warn-unreachable")
    assert res.returncode == 0, res.stdout + res.stderr
    res = mypy_strict(tmp_path, REQUESTS_WRONG, "--warn-unreachable")
    flagged = {int(line.split(":")[1]) for line in res.stdout.splitlines() if ": error:" in line}
    assert flagged == {4, 5, 6, 8}, res.stdout


def test_request_keys_are_the_record_fields():
    assert tuple(orbisyn.TradeRequestDict.__annotations__) == _records.fields(orbisyn.TradeRequest)
