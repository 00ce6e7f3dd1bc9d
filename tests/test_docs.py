"""The documentation's code runs: every ```python block of a page in docs/,
in order, as one program (so a page may build a driver up step by step),
in a fresh interpreter with a time limit. A block the page does not mean
to run is preceded by the line `<!-- not run: why -->`; one that needs
a name the package does not have yet by `<!-- needs: module.name -->`
(it runs once that name exists).

The program keeps each block on the line it has in the page, so a
traceback's line numbers are the page's."""

from __future__ import annotations

import importlib
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parent.parent / "docs"
FENCE = re.compile(r"^(?P<indent> *)```(?P<info>[^\n`]*)\n(?P<body>.*?)^(?P=indent)```[ \t]*$", re.M | re.S)
SKIP = re.compile(r"<!--\s*not run:[^>]*-->\s*$")
NEEDS = re.compile(r"<!--\s*needs:\s*([\w.]+)\s*-->\s*$")


def available(dotted: str) -> bool:
    module, _, name = dotted.rpartition(".")
    try:
        return hasattr(importlib.import_module(module), name)
    except ImportError:
        return False


def blocks(text: str) -> list[tuple[int, str]]:
    """(first line number, code) of each python block meant to run."""
    out = []
    for m in FENCE.finditer(text):
        if m["info"].strip().split(" ")[0] not in ("python", "py"):
            continue
        before = text[:m.start()].rstrip("\n").rsplit("\n", 1)[-1]
        if SKIP.search(before):
            continue
        needs = NEEDS.search(before)
        if needs and not available(needs[1]):
            continue
        indent = len(m["indent"])
        code = "\n".join(line[indent:] for line in m["body"].split("\n"))
        out.append((text.count("\n", 0, m.start("body")) + 1, code))
    return out


def program(text: str) -> str:
    """The page's runnable blocks, each at its own line number."""
    lines: list[str] = []
    for first, code in blocks(text):
        lines += [""] * (first - 1 - len(lines))
        lines += code.rstrip("\n").split("\n")
    return "\n".join(lines) + "\n"


PAGES = sorted(p for p in DOCS.rglob("*.md") if blocks(p.read_text()))


def test_pages_have_code():
    # The guides are the pages with examples; a broken fence pattern
    # would leave this list empty and every other test here vacuous.
    names = {p.name for p in PAGES}
    assert {"quickstart.md", "core-h1.md", "core-h2.md"} <= names, names


def test_blocks_keep_their_lines():
    text = "# t\n\n```python\nx = 1\n```\n\n<!-- not run: example -->\n```python\nboom()\n```\n\n  ```py\n  y = x\n  ```\n"
    assert program(text).split("\n")[3] == "x = 1"
    assert program(text).split("\n")[12] == "y = x"
    assert "boom" not in program(text)
    assert program("<!-- needs: os.nothing_here -->\n```python\nboom()\n```\n").strip() == ""
    assert program("<!-- needs: os.sep -->\n```python\nok()\n```\n").strip() == "ok()"


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(DOCS)))
def test_page_code_runs(page: Path, tmp_path: Path):
    text = page.read_text()
    script = tmp_path / page.name.replace(".md", ".py")
    script.write_text(program(text))
    # The page runs as a reader would run it: its own working folder,
    # the package and the module importable (conftest sets PYTHONPATH).
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    proc = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)
    out = (proc.stdout + proc.stderr).replace(str(script), str(page))
    assert proc.returncode == 0, out
