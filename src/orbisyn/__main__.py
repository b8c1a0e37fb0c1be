"""python -m orbisyn: every Terminal orbisyn.initialize() can find, and the one it picks."""
import sys

from .simulator.cli import main

sys.exit(main(["list", *sys.argv[1:]]))
