"""Runs the Windows test programs under Wine and checks what they report.

Usage: run.py BUILD_DIR [HEADERS_MISSING_NOTE], with WINEPREFIX naming a fresh prefix whose
wineserver is up.
Needs only the standard library. Prints one PASS/FAIL line per case and ends with
"N passed, N failed"; exits 1 when anything failed.
"""
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # tests/: the shared support
import relay_cases  # noqa: E402
from support.locator_layouts import CASES as LOCATOR_CASES, data_folder  # noqa: E402

BUILD = Path(sys.argv[1]).resolve()
HEADERS_MISSING = Path(sys.argv[2]) if len(sys.argv) > 2 else None
DRIVE_C = Path(os.environ["WINEPREFIX"]) / "drive_c"
WINE = os.environ.get("WINE", "wine")
DRIVER = r"C:\orbisyn-tests\link_driver.exe"
TERMINAL = BUILD / "terminal64.exe"

passed = failed = 0


def report(name, ok, detail=""):
    global passed, failed
    print(f"PASS {name}" if ok else f"FAIL {name}: {detail}", flush=True)
    if ok:
        passed += 1
    else:
        failed += 1


def unix(win):
    """C:\\a\\b -> the file in the prefix."""
    assert win[:3].upper() == "C:\\", win
    return DRIVE_C.joinpath(*[p for p in win[3:].split("\\") if p])


def wine(*args, cwd=None, timeout=60):
    """Runs a Windows program; returns (exit code, {key: value} of its key=value lines, text)."""
    # Output goes through a file: Wine's helper processes inherit a pipe and would hold
    # it open for seconds after the program has exited.
    with tempfile.TemporaryFile() as out:
        try:
            code = subprocess.run([WINE, *args], stdout=out, stderr=subprocess.STDOUT, cwd=cwd,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            code = None
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    return code, fields_of(text), text if code is not None else text + " (timed out)"


def fields_of(text):
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def lower_unit(ch):
    # Simple one-to-one lower-casing of a UTF-16 unit; characters outside the BMP stay.
    if ord(ch) > 0xFFFF:
        return ch
    low = ch.lower()
    return low if len(low) == 1 else ch


def pipe_name(hashed_form):
    """The Terminal's pipe for a path in the form that gets hashed (normalised or as given)."""
    lowered = "".join(lower_unit(c) for c in hashed_form)
    digest = hashlib.sha256(lowered.encode("utf-16-le", "surrogatepass")).hexdigest()
    return "\\\\.\\pipe\\Zelt.Terminal." + digest.upper()


def final(win):
    """The normalised name of an existing file given as a plain absolute path."""
    return "\\\\?\\" + win


def same_path(a, b):
    # The locator joins with '/', which Windows takes for '\\'.
    return a.replace("/", "\\") == b.replace("/", "\\")


# ---- in-process cases -----------------------------------------------------------------------

def driver_cases(exe, argument, name, at_least):
    """Reports each case of an in-process driver (its PASS/FAIL lines), and that it ran whole."""
    code, _, text = wine(exe, argument, timeout=120)
    lines = [l for l in text.splitlines() if l.startswith(("PASS ", "FAIL "))]
    for line in lines:
        case, _, why = line[5:].partition(":")
        report(case, line.startswith("PASS"), why.strip())
    report(f"{name}-driver-ran-to-the-end", code == 0 and len(lines) >= at_least,
           f"exit {code}, {len(lines)} cases: {text[-2000:]}")


def channel():
    driver_cases(DRIVER, "channel", "channel", 12)


def time_limits():
    driver_cases(r"C:\orbisyn-tests\timeout_driver.exe", "all", "time-limit", 10)


# ---- the pipe name of a path ----------------------------------------------------------------

def pipe_names():
    home = r"C:\orbisyn-tests\Ärger Ω Ж"
    exe = home + r"\Terminal64.EXE"
    unix(exe).parent.mkdir(parents=True, exist_ok=True)
    unix(exe).write_bytes(b"not a program")
    unix(r"C:\orbisyn-tests\sub").mkdir(exist_ok=True)
    missing = "C:\\Missing\\ÄRGER\\\U0001d538.EXE"
    cases = [  # (name, argument, working directory, form that must be hashed)
        ("absolute", exe, None, final(exe)),
        ("case-slashes-dotdot", "c:/ORBISYN-TESTS/sub/../ärger ω ж/terminal64.exe", None, final(exe)),
        ("relative", "Ärger Ω Ж\\Terminal64.EXE", unix(r"C:\orbisyn-tests"), final(exe)),
        ("missing-file-hashed-as-given", missing, None, missing),
    ]
    for name, arg, cwd, hashed in cases:
        code, got, text = wine(DRIVER, "name", arg, cwd=cwd)
        missing_file = " no such file" if name.startswith("missing") else ""
        ok = got.get("name") == pipe_name(hashed) and \
            got.get("text") == f"Process create failed '{arg}'" + (":" + missing_file if missing_file else "")
        report(f"pipe-name-{name}", ok, f"want {pipe_name(hashed)} for {hashed!r}; {text}")
    long_path = "C:\\" + "d" * 250 + "\\terminal64.exe"
    code, got, text = wine(DRIVER, "name", long_path)
    report("pipe-name-path-too-long", got.get("text") == "Path too long", text)


# ---- starting the Terminal ------------------------------------------------------------------

def place_terminal(win_dir, *, serve_as=None, delay_ms=0, build=0):
    """Copies the test Terminal into win_dir; with serve_as it serves that pipe name."""
    folder = unix(win_dir)
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copy(TERMINAL, folder / "terminal64.exe")
    (folder / "launch.txt").unlink(missing_ok=True)
    if serve_as:
        (folder / "serve.txt").write_text(f"{serve_as}\n{delay_ms}\n{build}\n", encoding="utf-8")
    return win_dir + "\\terminal64.exe"


def launch_record(win_dir, wait_s=10):
    path = unix(win_dir) / "launch.txt"
    deadline = time.monotonic() + wait_s
    while not path.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    return path.read_text(encoding="utf-8").splitlines() if path.exists() else []


def launches():
    for portable in (0, 1):
        where = rf"C:\orbisyn-tests\Läunch {portable}"
        exe = where + r"\terminal64.exe"
        build = 7000 + portable
        place_terminal(where, serve_as=pipe_name(final(exe)), delay_ms=1200, build=build)
        code, got, text = wine(DRIVER, "launch", exe, str(portable))
        record = launch_record(where)
        ms = int(got.get("ms", -1))
        # Started, then found by the 500 ms poll once the Terminal serves its pipe.
        report(f"launch-portable-{portable}-connects-after-polls",
               got.get("result") == "0" and got.get("build") == str(build) and 1000 <= ms < 15000,
               text)
        if portable:
            ok = record[:1] == [f'"{exe}" /portable']
        else:
            # No command line of ours: the program's name alone (Wine quotes it).
            ok = bool(record) and record[0].strip('"') == exe
        report(f"launch-portable-{portable}-command-line", ok, repr(record))
        report(f"launch-portable-{portable}-no-standard-handles", record[1:2] == ["no-std-handles"],
               repr(record))
    missing = r"C:\orbisyn-tests\nowhere\terminal64.exe"
    code, got, text = wine(DRIVER, "launch", missing, "0")
    report("launch-missing-file",
           got.get("result") == "-10003" and got.get("text") == f"Process create failed '{missing}': no such file"
           and int(got.get("ms", 99999)) < 5000, text)


# ---- the locator ----------------------------------------------------------------------------

INSTALLS = {"A": 1, "B": 2, "P": 3}  # install folder -> build its served pipe answers with


def install(name):
    win = rf"C:\orbisyn-tests\inst\{name}"
    unix(win).mkdir(parents=True, exist_ok=True)
    exe = win + r"\terminal64.exe"
    if not unix(exe).exists():
        unix(exe).write_bytes(b"not a program")
    return win


# Where it looked, and what to do (no Wine prefixes on Windows).
NOT_FOUND = ("Orbisyn x64 not found: looked in '{win_root}\\'; install the Terminal (or the simulated one: "
             "orbisyn-terminal install), or pass its path: initialize(path=...)")


def locate_scenario(name, root, win_root):
    """Lays out one case; returns (expected build or None, expected text, extra check)."""
    a, b = install("A"), install("B")
    base = 1_600_000_000
    if name == "no-root":
        return None, NOT_FOUND, None
    root.mkdir(parents=True)
    if name == "only-files-and-dot-folders":
        (root / "file").write_bytes(b"")
        data_folder(root, ".hidden", a, accounts=base)
        return None, NOT_FOUND, None
    if name == "later-of-two-files-wins":
        data_folder(root, "one", a, accounts=base + 500, ini=base + 100)
        data_folder(root, "two", b, accounts=base + 300, ini=base + 400)
        return 1, "untouched", None
    if name == "portable-needs-no-scrivel":  # and the launch carries the flag
        q = r"C:\orbisyn-tests\inst\Q"
        exe = place_terminal(q, serve_as=pipe_name(final(q + r"\terminal64.exe")), build=7003)
        data_folder(root, "one", q, portable=base + 900, scrivel=False)
        data_folder(root, "two", b, ini=base + 100)

        def flag_check():
            record = launch_record(q)
            return bool(record) and same_path(record[0], f'"{exe}" /portable'), repr(record)
        # each failed poll before the Terminal served leaves its message
        return 7003, "CreateFile failed [2]", flag_check
    if name == "bad-origins-write-nothing":
        data_folder(root, "good", a, accounts=base + 1)
        bom = b"\xff\xfe"
        data_folder(root, "ansi", b, accounts=base + 9, origin=b.encode())
        data_folder(root, "short", b, accounts=base + 9, origin=bom + "B\\".encode("utf-16-le") + b"\0")
        data_folder(root, "newline", b, accounts=base + 9, origin=bom + (b + "\r\n").encode("utf-16-le"))
        data_folder(root, "no-exe", r"C:\orbisyn-tests", accounts=base + 9)
        return 1, "untouched", None
    if name == "no-scrivel":
        data_folder(root, "good", a, accounts=base + 1)
        data_folder(root, "bad", b, accounts=base + 9, scrivel=False)
        return 1, f"No Scrivel folder in '{win_root}\\bad'", None
    if name == "no-origin":
        data_folder(root, "good", a, accounts=base + 1)
        data_folder(root, "bad", b, accounts=base + 9, origin=b"none")
        return 1, f"No origin.txt in '{win_root}\\bad'", None
    if name == "only-invalid":
        data_folder(root, "bad", b, accounts=base + 9, scrivel=False)
        return None, NOT_FOUND, None
    if name == "tie-goes-to-first-enumerated":
        data_folder(root, "one", a, accounts=base + 100)
        data_folder(root, "two", b, accounts=base + 100)
        _, _, listing = wine(DRIVER, "list", win_root)
        order = [l.rstrip("/") for l in listing.splitlines() if l.rstrip("/") in ("one", "two")]
        return (1 if order[:1] == ["one"] else 2), "untouched", None
    if name == "parent-terminal-preferred":
        p = r"C:\orbisyn-tests\inst\P"
        place_terminal(p)
        data_folder(root, "newer", a, accounts=base + 900)
        data_folder(root, "parent", p, accounts=base + 1)
        return 3, "untouched", None
    raise AssertionError(name)


def locator():
    code, got, text = wine(DRIVER, "appdata")
    appdata = got.get("appdata", "")
    report("roaming-appdata-known-folder", appdata.upper().startswith("C:\\USERS\\"), text)
    if not appdata:
        return
    win_root = appdata + r"\Quillmark\Terminal"
    root = unix(win_root)
    served = []
    for name, build in INSTALLS.items():
        served += [pipe_name(final(install(name) + r"\terminal64.exe")), str(build)]
    for name in LOCATOR_CASES:
        shutil.rmtree(root, ignore_errors=True)
        build, want_text, extra = locate_scenario(name, root, win_root)
        args = [DRIVER, "locate", *served]
        if name == "parent-terminal-preferred":
            # The driver runs as the child of that Terminal's executable.
            args = [r"C:\orbisyn-tests\inst\P\terminal64.exe", "run", *args]
        code, got, text = wine(*args)
        if build is None:
            ok = got.get("result") == "-10003"
        else:
            ok = got.get("result") == "0" and got.get("build") == str(build)
        want_text = want_text.format(win_root=win_root)
        ok = ok and same_path(got.get("text", ""), want_text)
        detail = f"want build {build}, text {want_text!r}; {text}"
        if ok and extra:
            ok, detail = extra()
        report(f"locate-{name}", ok, detail)


# ---- Ctrl-C -----------------------------------------------------------------------------------

def ctrl_c():
    # (mode, result, the wait ends within ms; None: only when the reply comes at 2 s)
    cases = [
        ("read", "-10100 0 closed", 1500),  # the exchange ends, the link is given up
        ("read-late", "-10100 0 closed", 1500),  # Python's handler runs 40 ms after ours
        ("ready-poll", "-10100 closed", 1500),  # the sleep between readiness polls
        ("sleep", "interrupted", 1500),
        ("open", "interrupted", 1500),  # waiting for a busy pipe
        ("resume", "0 42 open", None),  # the check says no: the exchange gets its reply
    ]
    for mode, want, within in cases:
        with tempfile.NamedTemporaryFile() as out:
            proc = subprocess.Popen([WINE, DRIVER, "ctrlc", mode], stdout=out,
                                    stderr=subprocess.STDOUT)
            deadline = time.monotonic() + 20
            while b"waiting" not in Path(out.name).read_bytes() and time.monotonic() < deadline:
                time.sleep(0.02)
            time.sleep(0.3)  # let the wait begin
            proc.send_signal(signal.SIGINT)  # Wine turns it into CTRL_C_EVENT
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            text = Path(out.name).read_bytes().decode("utf-8", "replace")
        got = fields_of(text)
        ms = int(got.get("ms", -1))
        ok = text.startswith("waiting") and got.get("result") == want and proc.returncode == 0
        ok = ok and (ms < within if within else ms >= 1900)
        report(f"ctrl-c-{mode}", ok, repr(text))


# ---- the extension built for Windows -----------------------------------------------------------

def extension():
    pyd = BUILD / "_core.pyd"
    if not pyd.exists():
        why = "not built"
        if HEADERS_MISSING and HEADERS_MISSING.exists():
            why = HEADERS_MISSING.read_text().strip()
        report("extension-glue-compiles-and-links", False, why)
        return
    report("extension-glue-compiles-and-links", True)
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(pyd)], capture_output=True,
                          text=True, check=True).stdout
    imports = sorted(line.split(":", 1)[1].strip().lower()
                     for line in dump.splitlines() if "DLL Name:" in line)
    # [ordinal] name lines of the export table only
    table = dump.split("[Ordinal/Name Pointer] Table", 1)[-1].split("\n\n", 1)[0]
    exports = [line.split("]", 1)[1].strip() for line in table.splitlines() if "]" in line]
    report("extension-exports-only-its-initialiser", exports == ["PyInit__core"], repr(exports))
    system = {"kernel32.dll", "advapi32.dll", "bcrypt.dll", "user32.dll", "shell32.dll", "ole32.dll", "msvcrt.dll"}
    pythons = [d for d in imports if d.startswith("python3")]
    report("extension-needs-only-windows-and-python",
           len(pythons) == 1 and set(imports) - set(pythons) <= system, repr(imports))


def main():
    tests = DRIVE_C / "orbisyn-tests"
    tests.mkdir(parents=True, exist_ok=True)
    shutil.copy(BUILD / "link_driver.exe", tests / "link_driver.exe")
    shutil.copy(BUILD / "timeout_driver.exe", tests / "timeout_driver.exe")
    groups = [extension, channel, time_limits, pipe_names, launches, locator, ctrl_c]
    groups += relay_cases.cases(sys.modules[__name__])  # orbisyn-relay.exe
    only = os.environ.get("ORBISYN_WINDOWS_GROUPS")  # e.g. "serve_terminal,pipe_server"
    if only:
        groups = [g for g in groups if g.__name__ in only.split(",")]
    started = time.monotonic()
    for group in groups:
        began = time.monotonic()
        try:
            group()
        except Exception as exc:  # a broken group must show, not stop the others
            report(f"{group.__name__}-ran", False, repr(exc))
        print(f"-- {group.__name__}: {time.monotonic() - began:.1f} s", flush=True)
    print(f"windows tests: {time.monotonic() - started:.1f} s", flush=True)
    print(f"{passed} passed, {failed} failed", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
