"""Simulated Terminals for Windows programs: in a Wine prefix and on Windows, behind the relay."""
