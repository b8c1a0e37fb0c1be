"""Sphinx configuration of the orbisyn documentation (built by tools/build-docs)."""
from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

import orbisyn  # noqa: E402

project = "orbisyn"
author = "The orbisyn developers"
copyright = "The orbisyn developers"
release = version = orbisyn.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "orbisyn_reference",
]

html_theme = "furo"
html_title = f"orbisyn {release}"
html_static_path: list[str] = []
templates_path = ["_templates"]
exclude_patterns = ["_build"]

# `name` in a doc string refers to an object, as in numpy's and pandas' doc strings.
default_role = "py:obj"
# The signature comes from the function (its parameters as Python sees them); the doc
# strings carry no call form of their own.
autodoc_docstring_signature = False
autodoc_member_order = "bysource"
# Types are in each entry's Parameters and Returns; in signatures a bare `type` would point
# at the record fields named "type".
autodoc_typehints = "none"
autosummary_generate = True
napoleon_numpy_docstring = True
napoleon_google_docstring = False
napoleon_custom_sections = ["Failure"]
napoleon_use_rtype = False

# Every example runs against a simulated Terminal that tools/build-docs installs into a
# temporary folder; never against whatever Terminal the machine has (the examples trade).
doctest_global_setup = """
import os as _os
if "ORBISYN_DOCS_SANDBOX" not in _os.environ:
    raise RuntimeError("run the examples with tools/build-docs: they need its simulated Terminal")
import orbisyn
# No link to start with: an example that needs one connects, as it must when pasted.
orbisyn.shutdown()
"""
doctest_default_flags = (__import__("doctest").ELLIPSIS | __import__("doctest").NORMALIZE_WHITESPACE
                         | __import__("doctest").DONT_ACCEPT_TRUE_FOR_1)
orbisyn_reference_source = "module"
