"""Old name of support.simulated, kept for tests written against it."""
from support.simulated import SimProcess, install_terminal, stop_pid_from_lock, wait_named  # noqa: F401
