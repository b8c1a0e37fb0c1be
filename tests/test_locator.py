"""initialize() without a path: the Terminal is found through its data folders."""
import os

import orbisyn


def data_folder(name, exe_dir, *, portable=False, when=100):
    """A data folder under $XDG_DATA_HOME naming exe_dir as the installation."""
    folder = os.path.join(os.environ["XDG_DATA_HOME"], "Quillmark", "Terminal", name)
    os.makedirs(os.path.join(folder, "config"))
    marker = os.path.join(folder, "portable.txt" if portable else "config/terminal.ini")
    if not portable:
        os.mkdir(os.path.join(folder, "Scrivel"))
    open(marker, "wb").close()
    os.utime(marker, (when, when))
    with open(os.path.join(folder, "origin.txt"), "wb") as f:
        f.write(("\ufeff" + str(exe_dir)).encode("utf-16-le"))


def test_connects_to_most_recently_used(make_terminal):
    old, new = make_terminal("Old").auto(), make_terminal("New").auto()
    data_folder("a", old.dir, when=100)
    data_folder("b", new.dir, when=200)
    assert orbisyn.initialize() is True, orbisyn.last_error()
    assert (old.connections(), new.connections()) == (0, 1)


def test_portable_folder_starts_its_terminal_with_portable(make_terminal):
    term = make_terminal("Portable", start=False).auto()
    data_folder("p", term.dir, portable=True)
    assert orbisyn.initialize() is True, orbisyn.last_error()
    assert term.argv() == ["/portable"]


def test_nothing_qualifies(make_terminal):
    term = make_terminal("Gone")
    data_folder("dangling", term.dir / "elsewhere")
    assert orbisyn.initialize() is False
    assert orbisyn.last_error() == (-10003, "IPC initialize failed, Orbisyn x64 not found")
    assert term.connections() == 0
