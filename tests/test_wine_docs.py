"""The Wine guide page and the README say what the code does: the finder's rule in the same
words in both, and every reason a connect under Wine can fail with on the page."""
from __future__ import annotations

import os
import re
from pathlib import Path

import pytest

import orbisyn

ROOT = Path(__file__).resolve().parent.parent
PAGE = ROOT / "docs" / "guide" / "windows-wine.rst"
README = ROOT / "README.md"
# The sources of initialize()'s setup texts on the road to a Terminal, Wine's included.
SOURCES = ["src/core/link/session.cpp", "src/core/link/relay_client.cpp", "src/core/platform/wine_posix.cpp"]
LITERALS = r'((?:"(?:[^"\\]|\\.)*"\s*)+)'


def flat(text: str) -> str:
    """Text without markup (``code``, `code`) and with single spaces."""
    return " ".join(text.replace("``", "").replace("`", "").split())


def rule(text: str) -> str:
    start = text.index("initialize() without a path looks through")
    return text[start:text.index("picks and why.", start) + len("picks and why.")]


def test_the_rule_reads_the_same_in_the_readme_and_on_the_page():
    page, readme = flat(PAGE.read_text()), flat(README.read_text())
    assert rule(page) == rule(readme)
    for place in ("the Terminal that started the Python process", "with WINEPREFIX set, the Terminal of that "
                  "prefix used last", "the native Terminal used last", "the Terminal of ~/.wine used last"):
        assert place in rule(page)


def formats() -> list[str]:
    found = []
    for source in SOURCES:
        code = (ROOT / source).read_text()
        calls = re.findall(r"SetSetupText\(\s*" + LITERALS, code)
        calls += re.findall(r"snprintf\(why, (?:why_)?capacity,\s*" + LITERALS, code)
        for literals in calls:
            text = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', literals)).replace('\\"', '"')
            if re.sub(r"%[-.\d]*[a-z]+", "", text).strip():   # not a bare "%s"
                found.append(text)
    return sorted(set(found))


def pattern(text: str) -> str:
    """A format (or a text with its paths as '...') as a pattern: each value any text."""
    parts = re.split(r"%[-.\d]*[a-z]+", text)
    return ".+?".join(re.escape(p) for p in parts)


@pytest.mark.parametrize("text", formats())
def test_every_reason_is_on_the_page(text):
    assert re.search(pattern(text), flat(PAGE.read_text())), text


@pytest.mark.parametrize("wineprefix", [None, "gone", "file"])
def test_nothing_found_reads_as_on_the_page(tmp_path, monkeypatch, wineprefix):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.delenv("WINEPREFIX", raising=False)
    if wineprefix is not None:
        (tmp_path / "file").write_text("")
        monkeypatch.setenv("WINEPREFIX", str(tmp_path / wineprefix))
    reason = orbisyn._core._terminals()["reason"]
    # Paths as the page shows them ('...'); the page gives the WINEPREFIX notes apart.
    shown = re.sub(r"'[^']*'", "'%s'", reason)
    shown = re.sub(r"\((it [^)]*)\)", "(%s)", shown)
    pieces = shown.split("; ")
    assert len(pieces) == (2 if wineprefix is None else 3), reason
    for piece in pieces:
        assert re.search(pattern(piece), flat(PAGE.read_text())), piece
