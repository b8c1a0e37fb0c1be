"""orbisyn-terminal: install, run, query and stop the simulated Terminal; import bars."""
from __future__ import annotations

import argparse
import datetime as _dt
import os
import shlex
import struct
import sys
import time

try:
    import fcntl
except ImportError:   # Windows
    fcntl = None

from .. import _paths
from . import install as _install
from .serving import running as _running
from .serving.running import running_pid
from .replay import folder as _replay
from .market.clock import ReplayClock, SteppedClock, parse_when, replay_argv, show, wall_ms


_SHOW_REFUSED = 50   # refused rows listed; the rest are counted


def _die(msg: str, code: int = 1) -> int:
    print(f"orbisyn-terminal: {msg}", file=sys.stderr)
    return code


def _find(args) -> dict | None:
    if getattr(args, "wine", None):
        from .hosting.relayed import find_wine
        return find_wine(args.wine)
    inst = _install.find(getattr(args, "dir", None))
    return inst


def _not_installed(args) -> str:
    if getattr(args, "wine", None):
        return (f"no simulated Terminal in the Wine prefix {args.wine} "
                f"(orbisyn-terminal install --wine {args.wine})")
    return "no simulated Terminal installed (see `orbisyn-terminal install --help`)"


# ---- install -------------------------------------------------------------------------------

def cmd_install(args) -> int:
    options = dict(portable=args.portable, build=args.build, seed=args.seed, login=args.login,
                   password=args.password, server=args.server)
    try:
        if args.wine:
            if args.dir:
                return _die("--dir does not go with --wine: a Wine prefix has its own place for it")
            from .hosting.relayed import install_wine
            res = install_wine(args.wine, print, **options)
        else:
            from .hosting.relayed import install_here
            res = install_here(args.dir, **options)
    except (OSError, ValueError, RuntimeError) as exc:
        return _die(str(exc))
    settings = _install.load_settings(res["data_dir"])
    accounts = settings.get("accounts") or [{}]
    acc = next((a for a in accounts if a.get("login") == settings.get("current_login")), accounts[0])
    print(f"Simulated Terminal {'installed' if res['fresh'] == 'True' else 'updated'}:")
    print(f"  installation : {res['install_dir']}")
    print(f"  {'program' if 'ini' in res else 'launcher':<12} : {res['exe']}")
    print(f"  data folder  : {res['data_dir']}")
    print(f"  settings     : {_install.settings_path(res['data_dir'])}")
    print(f"  account      : {acc.get('login')} / {acc.get('password')} on {acc.get('server')}")
    if "ini" in res:
        print(f"  relay        : {res['relay']}, copied as {res['win_exe']}")
        print(f"  relay ini    : {res['ini']}")
    if args.wine:
        print(f"Start it with: orbisyn-terminal run --wine {args.wine}")
    else:
        print("Connect with: python -c 'import orbisyn; print(orbisyn.initialize())'")
    return 0


# ---- run / status / stop -------------------------------------------------------------------

def _replay_clock(args):
    """The replay clock `run --replay` asks for, or None; ValueError says what is wrong."""
    if args.replay is None:
        if args.until is not None or args.speed is not None or args.stepped:
            raise ValueError("--until, --speed and --stepped go with --replay START")
        return None
    stray = [x for x in args.extra if not x.startswith("/")]
    if stray:  # `--replay 2024-05-06 09:00` unquoted: the time would be dropped silently
        raise ValueError(f"unexpected {' '.join(stray)!r}: quote a date with its time, "
                         f"as in --replay \"2024-05-06 09:00\"")
    start = parse_when(args.replay)
    until = parse_when(args.until) if args.until is not None else None
    if start > wall_ms():
        raise ValueError(f"--replay {args.replay}: that is after the present; a replay replays history")
    if until is not None and until <= start:
        raise ValueError(f"--until {args.until} is not after --replay {args.replay}")
    speed = 1.0 if args.speed is None else args.speed
    if not 0 < speed < float("inf"):
        raise ValueError(f"--speed {args.speed:g}: a speed is a positive number of seconds per second")
    if args.stepped:
        # History only: without --until a stepped replay ends where the wall clock is now.
        return SteppedClock(start, until if until is not None else wall_ms() // 1000 * 1000, speed)
    return ReplayClock(start, speed, until)


def _note_history_start(data_dir: str, start_ms: int) -> None:
    try:
        first = _install.load_settings(data_dir).get("history_start", "2015-01-01")
        first_ms = parse_when(first)
    except (OSError, ValueError):
        return
    if start_ms < first_ms:
        print(f"note: synthetic prices begin at {first} (history_start in "
              f"{_install.settings_path(data_dir)}); before it only imported bars quote")


def _launcher_gone(exe: str) -> str | None:
    """What to say when the launcher's Python is gone (its virtual environment deleted)."""
    python = _install.launcher_python(exe)
    if python is None or os.access(python, os.X_OK):
        return None
    return (f"the Python this Terminal was installed with is gone: {python}\n"
            f"  Write its launcher again for this Python ({sys.executable}):\n"
            f"    orbisyn-terminal install --dir {shlex.quote(os.path.dirname(exe))}")


def cmd_run(args) -> int:
    portable = any(x.lower() == "/portable" for x in args.extra) or args.portable
    try:
        replay = _replay_clock(args)
    except ValueError as exc:
        return _die(str(exc), 2)
    if args.exe:
        exe = args.exe
        data = args.data
        if data is None:
            inst = _install.find(os.path.dirname(os.path.abspath(exe)))
            if inst is None:
                return _die(f"no data folder for {exe}: run `orbisyn-terminal install` first")
            data = inst["data_dir"]
        from .serving.server import run
        return run(exe, data, portable=portable, replay=replay)
    inst = _find(args)
    if inst is None:
        return _die(_not_installed(args))
    exe = inst["exe"]
    if args.foreground:
        if args.wine:
            return _die("--foreground does not go with --wine")
        from .serving.server import run
        return run(exe, inst["data_dir"], portable=portable, replay=replay)
    if args.wine or os.name == "nt":
        from .hosting.relayed import SetupError, run as run_relayed
        try:
            return run_relayed(inst, print, extra=tuple(replay_argv(replay)))
        except (OSError, SetupError) as exc:
            return _die(str(exc))
    problem = _paths.folder_problem()
    if problem:   # the Terminal would exit with it at once
        return _die(problem)
    if running_pid(exe):
        if replay is not None:
            return _die(f"already running: {exe}; `orbisyn-terminal stop` it first to start a replay")
        print(f"already running: {exe}")
        return 0
    gone = _launcher_gone(exe)
    if gone:
        return _die(gone)
    if replay is not None:
        _note_history_start(inst["data_dir"], replay.start_ms)
    proc, problem = _running.launch(exe, (["/portable"] if portable else []) + replay_argv(replay))
    if problem:
        return _die(problem + ("; see " + os.path.join(inst["data_dir"], "logs", "simulator.log")
                               if proc.poll() is not None else ""))
    print(f"started: {exe} (pid {proc.pid})")
    if getattr(replay, "stepped", False):
        print(f"replaying stepped from {show(replay.start_ms)} until {show(replay.until_ms)}: "
              f"the present moves when the program waits (orbisyn.sleep, orbisyn.wait_bar)")
    elif replay is not None:
        print(f"replaying from {show(replay.start_ms)} at {replay.speed:g}x"
              + (f" until {show(replay.until_ms)}" if replay.until_ms is not None else "")
              + "; the clock starts when a program first connects (initialize())")
    return 0


def _ask_running(exe: str, data_dir: str | None = None) -> dict | None:
    """What a running Terminal says of itself: version, connection state and account (None if it
    doesn't answer)."""
    from . import protocol
    from .serving.client import RawClient
    try:
        if fcntl is None:
            client = RawClient.loopback(data_dir, timeout=5.0)
        else:
            client = RawClient(_paths.socket_path(exe), timeout=5.0)
        with client as c:
            facts: dict = {"version": c.version(), "state": c.state()}
            status, body = c.call(protocol.Command.ACCOUNT_INFO)
            if status >= 0 and len(body) == protocol.ACCOUNT_LAYOUT.size:
                facts["account"] = protocol.ACCOUNT_LAYOUT.unpack(body)
            return facts
    except (OSError, ValueError, struct.error):
        return None


_STATES = {1: "connecting", 2: "connected", 3: "failed authorization"}


def _field(label: str, value) -> None:
    print(f"  {label:<12} : {value}")


def cmd_status(args) -> int:
    from . import protocol
    from .serving.login import read_login
    inst = _find(args)
    if inst is None:
        print(_not_installed(args) if args.wine else "no simulated Terminal installed")
        if _bare_prefix(args):
            # A real Terminal's prefix: what initialize() started there is still worth showing.
            _prefix_fields({"kind": "wine", "prefix": os.path.abspath(args.wine)})
        _mention_wine(args)
        return 2
    exe = inst["exe"]
    facts = _ask_running(exe, inst["data_dir"])
    pid = running_pid(exe, inst["data_dir"])
    if facts is None:
        print(f"not running: {exe}")
        _field("installation", os.path.dirname(exe))
        _field("data folder", inst['data_dir'])
        try:
            settings = _install.load_settings(inst["data_dir"])
        except (OSError, ValueError):
            settings = {}
        login = settings.get("current_login")
        acc = next((a for a in settings.get("accounts", []) if a.get("login") == login), None)
        if acc is not None:
            _field("account", f"{login} on {acc.get('server')} (logs in when started)")
        gone = _launcher_gone(exe)
        if gone:
            _field("launcher", gone.split("\n", 1)[0])
        _replay_status(inst["data_dir"], None)
        _relay_fields(inst)
        _prefix_fields(inst)
        _mention_wine(args)
        return 1
    ver = facts["version"]
    print(f"running: {exe}")
    _field("pid", pid if pid and pid > 0 else 'unknown')
    _field("version", f"{ver[0]} build {ver[1]} ({ver[2]})")
    _field("installation", os.path.dirname(exe))
    _field("data folder", inst['data_dir'])
    if fcntl is not None:
        _field("socket", _paths.socket_path(exe))
    acc = facts.get("account")
    if acc is not None:
        _field("account", f"{acc['login']} on {acc['server']} ({acc['name']}, {acc['currency']}), "
                          f"balance {acc['balance']:.2f}, equity {acc['equity']:.2f}")
    else:
        _field("account", "none")
    state = facts["state"]
    line = _STATES.get(state, f"unknown state {state}")
    if state == protocol.STATE_AUTH_FAILED:
        login = read_login(inst["data_dir"])
        if login.get("refused_login") is not None:
            line += f": login {login['refused_login']} refused at {login.get('refused_at')}"
        line += "; every initialize() fails until one logs in with valid credentials"
    _field("connection", line)
    _replay_status(inst["data_dir"], pid)
    _relay_fields(inst)
    _prefix_fields(inst)
    _mention_wine(args)
    return 0


def _relay_fields(inst: dict) -> None:
    """Where Windows programs reach it: the loopback endpoint and, for their installations, the relay."""
    from .serving import loopback
    kind, text = loopback.endpoint_report(inst["data_dir"])
    if kind != "none":
        _field("loopback", text)
    state = loopback.read_state(inst["data_dir"]) if kind == "live" else {}
    if inst.get("kind") is None and os.name != "nt":
        return
    from .hosting.relayed import relay_pids
    pids = ", ".join(map(str, relay_pids(inst))) or "unknown"
    if state.get("links"):
        since = _dt.datetime.fromtimestamp(state.get("linked_at") or 0).strftime("%Y-%m-%d %H:%M:%S")
        _field("pipe", f"served by the relay (pid {pids}, connected since {since})")
    elif pids != "unknown" and kind == "live":
        _field("pipe", f"the relay runs (pid {pids}) but has not connected")
    elif pids != "unknown":
        _field("pipe", f"the relay runs (pid {pids}) without a simulated Terminal: it trusts no left-over "
                       f"endpoint and waits for the one it starts")
    else:
        _field("pipe", f"not served: no relay runs (orbisyn-terminal run{_wine_option(inst)} starts it)")


def _prefix_fields(inst: dict) -> None:
    """What runs in the Wine prefix besides: the relay of initialize() and Wine's server."""
    if inst.get("kind") != "wine":
        return
    from .hosting import prefix as _prefix
    relay = _prefix.module_relay(inst["prefix"])
    strays = _prefix.stray_module_relays(inst["prefix"])
    if relay is not None and relay.runs():
        _field("initialize", f"its relay runs (pid {relay.pid}, 127.0.0.1:{relay.port}); it leaves after "
                             f"10 minutes without a client, or with `stop --wine`")
    elif strays:
        _field("initialize", f"a relay of it runs (pid {', '.join(map(str, strays))}) without a record here")
    else:
        _field("initialize", "no relay of it runs")
    server = _prefix.wineserver_pid(inst["prefix"])
    if server is None:
        _field("wine server", "not running")
        return
    programs = _prefix.windows_programs(inst["prefix"])
    shown = "Wine cannot say" if programs is None else (_prefix.shown(programs) or "none")
    _field("wine server", f"pid {server}; Windows programs: {shown}")


def _wine_option(inst: dict) -> str:
    return f" --wine {inst['prefix']}" if inst.get("kind") == "wine" else ""


def _mention_wine(args) -> None:
    """Name the simulated Terminals of the Wine prefixes used without saying ($WINEPREFIX, ~/.wine)."""
    if getattr(args, "wine", None) or os.name == "nt":
        return
    from .hosting.relayed import find_wine, wine_prefixes
    for prefix in wine_prefixes():
        if find_wine(prefix) is not None:
            print(f"also installed in the Wine prefix {prefix}: orbisyn-terminal status --wine {prefix}")


def _replay_status(data_dir: str, pid: int | None) -> None:
    """The replay lines of `status`: the running one's clock, or the last one's span."""
    facts = _replay.facts(data_dir)
    if facts is None:
        return
    until = facts.get("until_ms")
    span = (f"from {show(facts['start_ms'])}" + (f" until {show(until)}" if until is not None else "")
            + (", stepped" if facts.get("stepped") else f" at {float(facts['speed']):g}x"))
    if pid is not None and pid == facts.get("pid"):
        now = _replay.present(facts)
        _field("replay", span)
        if facts.get("started_at") is None:
            _field("present", f"{show(now)}, waiting: the clock starts when a program first connects")
        elif until is not None and now >= until:
            _field("present", f"{show(now)}: the replay is over, the market closed")
        elif facts.get("stepped"):
            _field("present", _stepped_present(facts, now))
        else:
            _field("present", show(now))
    else:
        ended = facts.get("ended_ms")
        _field("last replay", span + (f", stopped at {show(ended)}" if ended is not None else "")
               + "; `orbisyn-terminal report` reports on it")


def _bare_prefix(args) -> bool:
    """--wine names a folder that holds no simulated Terminal (a real Terminal's prefix, say)."""
    return bool(getattr(args, "wine", None)) and fcntl is not None and os.path.isdir(args.wine)
def _stepped_present(facts: dict, now: int) -> str:
    from .replay.stepping import STILL_TEXT
    if facts.get("still"):
        idle = time.time() - float(facts.get("last_wait_at") or time.time())
        return (f"{show(now)}: the replay stands still waiting for the program: no orbisyn wait "
                f"for {idle:.0f} s ({STILL_TEXT})")
    if not facts.get("waited"):
        return (f"{show(now)}: until the program's first orbisyn wait it follows the wall clock at "
                f"{float(facts['speed']):g}x while the program makes no call for 1 s")
    return f"{show(now)}, moves when the program waits"


def cmd_stop(args) -> int:
    inst = _find(args)
    if inst is None and _bare_prefix(args):
        # No simulated Terminal to stop, but initialize() may have left its relay there.
        print(f"no simulated Terminal in the Wine prefix {args.wine}")
        return _stop_prefix(os.path.abspath(args.wine), args.timeout)
    if inst is None:
        return _die(_not_installed(args))
    exe, data = inst["exe"], inst["data_dir"]
    has_relay = bool(args.wine) or os.name == "nt"
    if has_relay:
        from .hosting.relayed import relay_pids
        relays = relay_pids(inst)
    pid, gone = _running.stop(exe, data, args.timeout)
    if pid is None:
        print(f"not running: {exe}")
    elif not gone:
        return _die(f"pid {pid} did not stop within {args.timeout:g} s")
    else:
        print(f"stopped: {exe} (pid {pid})")
    if has_relay:
        # The relay leaves by itself once its watch connection closes.
        from .hosting.relayed import wait_relays_gone
        left = wait_relays_gone(inst, args.timeout)
        if left:
            return _die(f"the relay (pid {', '.join(map(str, left))}) did not exit within {args.timeout:g} s")
        if relays:
            print(f"the relay exited (pid {', '.join(map(str, relays))})")
    if args.wine:
        return _stop_prefix(inst["prefix"], args.timeout)
    return 0


def _stop_prefix(prefix: str, timeout: float) -> int:
    """The relay initialize() started in the prefix, then Wine's server, unless other Windows
    programs of the prefix still run (a Terminal of the user's own may be among them)."""
    from .hosting import prefix as _prefix
    programs = _prefix.windows_programs(prefix)
    others = [t for t in programs or [] if t != [_prefix.MODULE_RELAY]]
    server = _prefix.wineserver_pid(prefix)
    if others or (programs is None and server is not None):
        why = (f"other Windows programs run there: {_prefix.shown(others)}" if others
               else "Wine could not say which Windows programs run there")
        print(f"left running in the Wine prefix: the relay of initialize() and Wine's server; {why}")
        return 0
    ended = _prefix.stop_module_relays(prefix, timeout)
    if ended:
        print(f"stopped the relay of initialize() (pid {', '.join(map(str, ended))})")
    if server is not None:
        _prefix.end_server(prefix, timeout)
        left = _prefix.prefix_processes(prefix)
        if left:
            return _die(f"processes of the Wine prefix left after wineserver -k: {', '.join(map(str, left))}")
        print(f"ended Wine's server of the prefix and its helpers (wineserver pid {server})")
    return 0


# ---- list ------------------------------------------------------------------------------------

def cmd_list(args) -> int:
    from .hosting import finder
    try:
        finding = finder.find()
    except ImportError as exc:
        return _die(f"orbisyn's extension, which finds the Terminals, does not load: {exc}", 2)
    for line in finder.report(finding):
        print(line)
    return 0 if finding.pick is not None else 1


# ---- import-bars ---------------------------------------------------------------------------

class _Progress:
    def __init__(self, total: int, stream=sys.stderr, width: int = 30):
        self.total = max(total, 1)
        self.stream = stream
        self.width = width
        self.shown = -1

    def update(self, done: int, rows: int) -> None:
        pct = min(100, done * 100 // self.total)
        if pct != self.shown:
            self.shown = pct
            fill = pct * self.width // 100
            self.stream.write(f"\rimporting [{'#' * fill}{'.' * (self.width - fill)}] {pct:3d}%  {rows} bars")
            self.stream.flush()

    def finish(self, rows: int) -> None:
        self.update(self.total, rows)
        self.stream.write("\n")


def cmd_import_bars(args) -> int:
    from .market.catalogue import default_catalogue
    from .market.import_bars import Refused, read_bars_csv, save_import
    inst = _find(args)
    if inst is None:
        return _die("no simulated Terminal installed")
    sym = next((s for s in default_catalogue() if s.name == args.symbol), None)
    if sym is None:
        return _die(f"unknown symbol {args.symbol!r}")
    progress = None
    try:
        # Progress only on a terminal: redirected, it would be hundreds of \r updates.
        if sys.stderr.isatty():
            progress = _Progress(os.path.getsize(args.file))
        table = read_bars_csv(args.file, sym, progress)
    except Refused as exc:
        shown = exc.rows[:_SHOW_REFUSED]
        lines = [f"  line {n}: {why}" for n, why in shown]
        if len(exc.rows) > len(shown):
            lines.append(f"  ... and {len(exc.rows) - len(shown)} more")
        return _die(f"{args.file}: {exc}, nothing imported:\n" + "\n".join(lines))
    except (OSError, ValueError) as exc:
        if progress is not None:
            print(file=sys.stderr)
        return _die(f"{args.file}: {exc}")
    target = save_import(os.path.join(inst["data_dir"], "history"), args.symbol, table)
    first = _dt.datetime.fromtimestamp(int(table["minute"][0]) * 60, _dt.timezone.utc)
    last = _dt.datetime.fromtimestamp(int(table["minute"][-1]) * 60, _dt.timezone.utc)
    print(f"{len(table)} M1 bars of {args.symbol} from {first:%Y-%m-%d %H:%M} to {last:%Y-%m-%d %H:%M} UTC "
          f"now replace its synthetic prices ({target})")
    return 0


def cmd_report(args) -> int:
    from .replay import report as _report
    inst = _find(args)
    if inst is None:
        return _die("no simulated Terminal installed")
    data = inst["data_dir"]
    settings = _install.load_settings(data)
    facts = None if args.paper else _replay.facts(data)
    running = facts is not None and running_pid(inst["exe"]) == facts.get("pid")
    out = args.out or os.path.join(data, "reports", "replay" if facts is not None else "paper")
    from .engine.store import StoreError
    try:
        got = _report.make(data, settings, out, paper=args.paper, login=args.login, running=running)
    except (ValueError, StoreError) as exc:
        return _die(str(exc))
    src = got["source"]
    print(src.title + (_replay_state(facts, running) if src.replay else ""))
    print(f"  {src.subtitle}")
    width = max(len(label) for _, label, _ in _report.LABELS)
    for key, label, kind in _report.LABELS:
        print(f"  {label:<{width}} : {_report.shown(got['stats'][key], kind)}")
    print(f"deals   : {got['csv']}")
    print(f"picture : {got.get('png', 'none (matplotlib is not installed: pip install orbisyn[plot])')}")
    print(f"report  : {got['html']}")
    return 0


def _replay_state(facts: dict, running: bool) -> str:
    """How the reported replay stands: finished at its end, running, or stopped early."""
    until, now = facts.get("until_ms"), _replay.present(facts)
    if until is not None and now >= until:
        return f" (finished at {show(until)[:16]} UTC)"
    if running:
        return " (running)"
    ended = facts.get("ended_ms")
    return f" (stopped at {show(ended)[:16]} UTC)" if ended is not None else ""


def cmd_reset(args) -> int:
    inst = _find(args)
    if inst is None:
        return _die("no simulated Terminal installed")
    from .engine import reset_account
    from .engine.store import StoreError
    settings = _install.load_settings(inst["data_dir"])
    try:
        done = reset_account(inst["data_dir"], settings, args.login)
    except KeyError:
        return _die(f"no account {args.login} in {_install.settings_path(inst['data_dir'])}")
    except StoreError as exc:
        return _die(str(exc))
    print("reset: " + ", ".join(str(x) for x in done))
    return 0


_EPILOG = """\
A simulated Orbisyn Terminal for Linux: orbisyn.initialize() finds an installed one and
starts it by itself. The commands after install take --dir to pick an installation
(default: the one used last).

examples:
  orbisyn-terminal install --dir ~/terminals/demo
  orbisyn-terminal status
  orbisyn-terminal import-bars EURUSD bars.csv
  orbisyn-terminal reset --login 5001001

'orbisyn-terminal COMMAND --help' tells more about a command. The guide and reference are
on the orbisyn documentation site (its source is docs/ of the orbisyn sources; tools/build-docs
builds it)."""


class _HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Descriptions and epilogs keep their lines (the examples); argument help is wrapped."""


def _default_dir() -> str:
    from .hosting.relayed import default_install_dir_here
    return default_install_dir_here()


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="orbisyn-terminal", description=__doc__, epilog=_EPILOG,
                                formatter_class=_HelpFormatter)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND",
                           title="commands")

    i = sub.add_parser("install", help="install a simulated Terminal with demo accounts",
                       formatter_class=_HelpFormatter,
                       description="Lay out an installation folder (with its terminal64.exe launcher) and a\n"
                                   "data folder where orbisyn.initialize() finds it, with two demo accounts:\n"
                                   "5001001 (hedging) and 5001002 (netting), password demo-pass, server\n"
                                   "Orbisyn-Demo. Run again on an existing installation, it keeps its\n"
                                   "settings except those given. Settings: config/simulator.json in the\n"
                                   "data folder.")
    i.add_argument("--dir", help=f"installation folder (default {_default_dir()})")
    i.add_argument("--portable", action="store_true", help="mark the data folder portable (portable.txt)")
    i.add_argument("--build", type=int, help=f"build number reported (default {_install.DEFAULT_BUILD}; "
                                             "2363 or lower gives the legacy symbol record)")
    i.add_argument("--seed", type=int, help="seed of the synthetic prices (default 1)")
    i.add_argument("--login", type=int, help="login of the first demo account")
    i.add_argument("--password", help="password of the first demo account")
    i.add_argument("--server", help="server name of the first demo account")
    i.add_argument("--wine", metavar="PREFIX",
                   help="install for Windows programs in this Wine prefix (created when missing): the relay "
                        "as C:\\Program Files\\Orbisyn Simulated Terminal\\terminal64.exe, found through "
                        "$ORBISYN_RELAY or beside orbisyn's _core")
    i.set_defaults(func=cmd_install)

    r = sub.add_parser("run", help="start the Terminal (in the background unless --foreground)",
                       formatter_class=_HelpFormatter,
                       description="Start the simulated Terminal in the background and wait until it answers\n"
                                   "(orbisyn.initialize() also starts it by itself). With --foreground it\n"
                                   "serves in this process until SIGTERM or Ctrl-C. Its log is\n"
                                   "logs/simulator.log in the data folder.")
    r.add_argument("--dir", help="installation folder (default: the most recently used)")
    r.add_argument("--foreground", action="store_true", help="serve in this process until SIGTERM/SIGINT")
    r.add_argument("--portable", action="store_true", help="start in portable mode")
    r.add_argument("--wine", metavar="PREFIX",
                   help="the Terminal installed in this Wine prefix: start it here and its pipe in Wine "
                        "(the relay); returns once the pipe is served")
    r.add_argument("--exe", help=argparse.SUPPRESS)
    r.add_argument("--data", help=argparse.SUPPRESS)
    r.add_argument("extra", nargs="*", help=argparse.SUPPRESS)
    r.add_argument("--replay", metavar="START", help="replay history from START ('YYYY-MM-DD[ HH:MM[:SS]]', UTC, "
                   "or epoch seconds) on the replay's own fresh accounts")
    r.add_argument("--until", metavar="END", help="the replay's market closes at END (default: never)")
    r.add_argument("--speed", metavar="N", type=float,
                   help="replay seconds per second of wall time (default 1; e.g. 0.5, 600, 3600)")
    r.add_argument("--stepped", action="store_true",
                   help="the present stands still while the program works and moves when it waits "
                        "(orbisyn.sleep, orbisyn.wait_bar), at once: every bar seen, the same deals "
                        "every run (default --until: now); before the program's first wait it "
                        "follows the wall clock at --speed while the program makes no call for 1 s")
    r.set_defaults(func=cmd_run)

    s = sub.add_parser("status", help="show the Terminal and its account; exit 0 when it runs",
                       formatter_class=_HelpFormatter,
                       description="Print the installation, data folder, account (login, server, balance) and\n"
                                   "connection state of the simulated Terminal.\n\n"
                                   "exit status: 0 running, 1 not running, 2 none installed")
    s.add_argument("--dir", help="installation folder (default: the most recently used)")
    s.add_argument("--wine", metavar="PREFIX", help="the Terminal installed in this Wine prefix, and its pipe")
    s.set_defaults(func=cmd_status)

    t = sub.add_parser("stop", help="stop a running Terminal (SIGTERM)",
                       formatter_class=_HelpFormatter,
                       description="Stop a running simulated Terminal (SIGTERM) and wait until it has exited.\n"
                                   "Positions, orders and history are kept for its next start.")
    t.add_argument("--dir", help="installation folder (default: the most recently used)")
    t.add_argument("--timeout", type=float, default=10.0, help="seconds to wait (default 10)")
    t.add_argument("--wine", metavar="PREFIX",
                   help="the Terminal installed in this Wine prefix; waits until its relay has exited too")
    t.set_defaults(func=cmd_stop)

    f = sub.add_parser("list", help="list every Terminal initialize() can find, and the one it picks",
                       formatter_class=_HelpFormatter,
                       description="List every Terminal a plain orbisyn.initialize() can find, natively and under\n"
                                   "Wine (in the prefixes of WINEPREFIX and ~/.wine): its paths, data folder,\n"
                                   "whether it is the simulated Terminal and whether it runs; then the one\n"
                                   "initialize() picks and why, where it looked and what it skipped. Nothing\n"
                                   "is sent to any Terminal. Also: python -m orbisyn.\n\n"
                                   "initialize() picks the Terminal that started the Python process; else,\n"
                                   "with WINEPREFIX set, the one of that prefix used last; else the native\n"
                                   "one used last; else the one of ~/.wine used last.\n\n"
                                   "exit status: 0 when initialize() finds one, 1 when not")
    f.set_defaults(func=cmd_list)

    b = sub.add_parser("import-bars", help="replace a symbol's prices with M1 bars from a CSV file",
                       formatter_class=_HelpFormatter,
                       description="CSV rows: time, open, high, low, close[, tick_volume[, spread]].\n"
                                   "time is epoch seconds or YYYY-MM-DD HH:MM[:SS] (also YYYY.MM.DD,HH:MM),\n"
                                   "UTC. A header line and # comments are skipped. A file with a bad row\n"
                                   "imports nothing: every bad row is listed with its line number. Ticks and\n"
                                   "bars of every timeframe then come from these bars; a running Terminal\n"
                                   "serves them from its next request on.")
    b.add_argument("symbol", help="symbol whose prices to replace, e.g. EURUSD")
    b.add_argument("file", help="CSV file of M1 bars")
    b.add_argument("--dir", help="installation folder (default: the most recently used)")
    b.set_defaults(func=cmd_import_bars)

    q = sub.add_parser("report", help="deals, statistics and balance/equity curve of the last replay",
                       description="Write the last replay's deals (CSV), its balance and equity curve "
                                   "(PNG, with matplotlib) and one HTML page with all of it and the "
                                   "statistics, which are also printed. Without a replay, or with "
                                   "--paper, the paper account's.")
    q.add_argument("--out", metavar="DIR", help="folder for the files (default: reports/ in the data folder)")
    q.add_argument("--paper", action="store_true", help="report on the paper account, not the last replay")
    q.add_argument("--login", type=int, help="account (default: the current one)")
    q.add_argument("--dir", help="installation folder (default: the most recently used)")
    q.set_defaults(func=cmd_report)

    z = sub.add_parser("reset", help="start an account afresh (no positions, orders or history)",
                       formatter_class=_HelpFormatter,
                       description="Give one account (or all) back its deposit, without positions, orders or\n"
                                   "history. Safe while the Terminal runs.")
    z.add_argument("--login", type=int, help="only this account (default: every account)")
    z.add_argument("--dir", help="installation folder (default: the most recently used)")
    z.set_defaults(func=cmd_reset)

    from .optimize import add_parser as add_optimize
    add_optimize(sub, _HelpFormatter)
    return p


class _ClosedPipeGuard:
    """Stdout that stops writing, silently, once its reader has gone (`status | head -2`).

    The command then runs to its end and keeps its exit code; the rest of its output goes
    to /dev/null, so neither a write nor the final flush raises BrokenPipeError.
    """

    def __init__(self, stream):
        self._stream = stream

    def _closed(self) -> None:
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, self._stream.fileno())
        finally:
            os.close(devnull)

    def write(self, text: str) -> int:
        try:
            return self._stream.write(text)
        except BrokenPipeError:
            self._closed()
            return len(text)

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError:
            self._closed()

    def __getattr__(self, name):
        return getattr(self._stream, name)


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    real = sys.stdout
    guarded = real is not None and not isinstance(real, _ClosedPipeGuard)
    if guarded:
        sys.stdout = _ClosedPipeGuard(real)
    # What the commands make (installations, data, reports, a Wine prefix) is the user's
    # alone, whatever the caller's umask; a caller in this process gets its own back.
    umask = os.umask(0o077)
    try:
        code = int(args.func(args) or 0)
        sys.stdout.flush()
        return code
    finally:
        os.umask(umask)
        if guarded:
            sys.stdout = real


if __name__ == "__main__":
    sys.exit(main())
