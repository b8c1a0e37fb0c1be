"""What a Terminal under Wine costs the Linux module, with the simulated Terminal at the end
of every road, in one run:

  (a) orbisyn -> the simulated Terminal's Unix socket (a native installation, same seed);
  (b) orbisyn -> orbisyn-relay.exe serve-terminal (Wine) -> the Terminal's named pipe ->
      the relay installed as terminal64.exe (Wine) -> the simulated Terminal on Linux;
  (c) a Windows program under Wine -> the same named pipe -> ... -> the simulated Terminal
      (the Windows session's own calls, tests/windows/relay_driver.cpp).

(b) / (c) is what the Linux module's road adds on top of a Windows program's own (goal:
at most 1.3 for a 1-bar call and for 1 000 000 bars).

    PYTHONPATH=src python bench/wine_bench.py [--rounds 300] [--bars 1000000]

Needs Wine and the Windows build of tools/test-windows (build/windows, or
$ORBISYN_WINDOWS_BUILD), which it makes when missing.
"""
from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timezone
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
END = datetime(2024, 6, 28, 12, 0, tzinfo=timezone.utc)


def windows_build() -> Path:
    folder = Path(os.environ.get("ORBISYN_WINDOWS_BUILD", ROOT / "build" / "windows"))
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(folder), "-G", "Ninja", "-DORBISYN_CORE_ONLY=ON",
                    f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / 'mingw-w64.cmake'}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(folder), "--target", "orbisyn_relay", "relay_driver"],
                   check=True, stdout=subprocess.DEVNULL)
    return folder


def module_road(exe: str, rounds: int, bars: int) -> tuple[float, float]:
    import orbisyn
    assert orbisyn.initialize(path=exe, timeout=120_000), orbisyn.last_error()
    rtt = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        got = orbisyn.copy_rates_from("BTCUSD", 1, END, 1)
        rtt.append(time.perf_counter() - t0)
        assert got is not None and len(got) == 1
    best = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        got = orbisyn.copy_rates_from("BTCUSD", 1, END, bars)
        best = min(best, time.perf_counter() - t0)
        assert got is not None and len(got) == bars
        del got
    orbisyn.shutdown()
    return statistics.median(rtt) * 1e6, best * 1e3


def windows_road(driver: Path, prefix: str, win_exe: str, rounds: int, bars: int) -> tuple[float, float]:
    tests = Path(prefix) / "drive_c" / "bench"
    tests.mkdir(exist_ok=True)
    shutil.copy(driver, tests / "relay_driver.exe")
    with tempfile.TemporaryFile() as out:  # Wine's helpers may hold a pipe open
        subprocess.run(["wine", r"C:\bench\relay_driver.exe", "terminal-bench", win_exe, str(rounds),
                        str(int(END.timestamp())), str(bars)], stdout=out, stderr=subprocess.STDOUT, check=True)
        out.seek(0)
        fields = dict(line.split("=", 1) for line in out.read().decode().splitlines() if "=" in line)
    return float(fields["rtt_us"]), float(fields["bulk_ms"])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=300)
    parser.add_argument("--bars", type=int, default=1_000_000)
    parser.add_argument("--turns", type=int, default=5)
    args = parser.parse_args()
    if not shutil.which("wine"):
        sys.exit("wine_bench: needs wine")
    build = windows_build()
    base = Path(tempfile.mkdtemp(prefix="wine-bench."))
    runtime = tempfile.mkdtemp(prefix="wb", dir="/tmp")
    os.chmod(runtime, 0o700)
    prefix = str(base / "prefix")
    os.environ.update(XDG_RUNTIME_DIR=runtime, WINEPREFIX=prefix, WINEDEBUG="-all",
                      WINEDLLOVERRIDES="mscoree,mshtml=",
                      ORBISYN_RELAY=str(build / "src" / "relay" / "orbisyn-relay.exe"))
    sim = [sys.executable, "-m", "orbisyn.simulator"]
    try:
        os.environ["XDG_DATA_HOME"] = str(base / "native-data")
        native = base / "native"
        subprocess.run(sim + ["install", "--dir", str(native)], check=True, stdout=subprocess.DEVNULL)
        os.environ["XDG_DATA_HOME"] = str(base / "wine-data")
        subprocess.run(sim + ["install", "--wine", prefix], check=True, stdout=subprocess.DEVNULL)
        from orbisyn.simulator.hosting import relayed
        inst = relayed.find_wine(prefix)
        results = {}
        for turn in range(args.turns):  # alternating, so that load changes touch every road alike
            for road, run in (("a", lambda: module_road(str(native / "terminal64.exe"), args.rounds, args.bars)),
                              ("b", lambda: module_road(inst["exe"], args.rounds, args.bars)),
                              ("c", lambda: windows_road(build / "tests" / "windows" / "relay_driver.exe", prefix,
                                                         inst["win_exe"], args.rounds, args.bars))):
                results.setdefault(road, []).append(run())
        # The median turn of each: a turn that a neighbour's load slowed is neither kept nor
        # taken for the road's cost.
        best = {road: (statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs))
                for road, runs in results.items()}
        for road, label in (("a", "unix socket"), ("b", "module through the relay"), ("c", "windows program")):
            print(f"({road}) {label:<26} 1 bar {best[road][0]:8.1f} us   {args.bars} bars {best[road][1]:8.1f} ms")
        print(f"FIGURE wine_chain_1bar {best['b'][0]:.1f} us windows_pipe_1bar {best['c'][0]:.1f}")
        print(f"FIGURE wine_chain_bars {best['b'][1]:.1f} ms windows_pipe_bars {best['c'][1]:.1f}")
        print(f"FIGURE unix_socket_1bar {best['a'][0]:.1f} us windows_pipe_1bar {best['c'][0]:.1f}")
        print(f"FIGURE unix_socket_bars {best['a'][1]:.1f} ms windows_pipe_bars {best['c'][1]:.1f}")
        print(f"(b)/(c): 1 bar x{best['b'][0] / best['c'][0]:.2f}, bars x{best['b'][1] / best['c'][1]:.2f}")
    finally:
        subprocess.run(sim + ["stop", "--wine", prefix], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.environ["XDG_DATA_HOME"] = str(base / "native-data")
        subprocess.run(sim + ["stop", "--dir", str(base / "native")], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-k"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(base, ignore_errors=True)
        shutil.rmtree(runtime, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
