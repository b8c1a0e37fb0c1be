"""The parameters of one run of a sweep (``orbisyn-terminal optimize``).

The runner hands each run its combination in the environment variable ``ORBISYN_PARAMS``
as a JSON object of names to int, float or str. The same variable reproduces a row of a
sweep by hand::

    ORBISYN_PARAMS='{"fast": 5, "slow": 20}' python strategy.py
"""
from __future__ import annotations

import json
import math
import os
from typing import Dict, Mapping, Union

ENV = "ORBISYN_PARAMS"

Value = Union[int, float, str]


def _checked(name: object, value: object) -> Value:
    if not isinstance(name, str) or not name:
        raise ValueError(f"a parameter name is a non-empty string, not {name!r}")
    # bool is an int to Python but not a value a sweep gives.
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise ValueError(f"parameter {name}: {value!r} is not an int, float or str")
    if isinstance(value, float) and not math.isfinite(value):
        raise ValueError(f"parameter {name}: {value!r} is not a finite number")
    return value


def encode(values: Mapping[str, object]) -> str:
    """The variable's text for these parameters; ValueError for a value of another type."""
    return json.dumps({name: _checked(name, v) for name, v in values.items()})


def decode(text: str) -> Dict[str, Value]:
    try:
        got = json.loads(text)
    except ValueError as exc:
        raise ValueError(f"{ENV} is not JSON: {exc}") from None
    if not isinstance(got, dict):
        raise ValueError(f"{ENV} is not a JSON object of parameters")
    return {name: _checked(name, v) for name, v in got.items()}


def params() -> Dict[str, Value]:
    """params()

    The parameters of this run of a sweep: a new dict of names to int, float or str.

    ``orbisyn-terminal optimize`` runs a script once per combination of the values given
    with ``--param`` and sets them for each run; outside a sweep the dict is empty, so a
    script reads them with defaults: ``orbisyn.params().get("fast", 10)``. Needs no
    Terminal and no connection. A malformed ``ORBISYN_PARAMS`` raises ``ValueError``.
    """
    text = os.environ.get(ENV)
    return decode(text) if text else {}
