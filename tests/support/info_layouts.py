"""Old name of wire_layouts, kept for tests written against it."""
from .wire_layouts import *  # noqa: F401,F403
