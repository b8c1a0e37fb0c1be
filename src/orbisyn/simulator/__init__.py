"""The simulated Orbisyn Terminal: a stand-in for the desktop Terminal on POSIX.

``orbisyn-terminal install`` lays out an installation and a data folder that the
extension's locator finds; ``orbisyn.initialize()`` then starts and uses it like
the real Terminal.  See ``orbisyn-terminal --help``.
"""
