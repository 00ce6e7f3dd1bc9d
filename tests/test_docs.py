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
import shlex
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


def commands() -> list[tuple[str, list[str]]]:
    """(page:line, arguments) of every `quillon ...` command in the pages'
    shell and unit-file blocks."""
    out = []
    for page in sorted(DOCS.rglob("*.md")):
        text = page.read_text()
        for m in FENCE.finditer(text):
            if m["info"].strip() not in ("sh", "ini"):
                continue
            first = text.count("\n", 0, m.start("body")) + 1
            for n, line in enumerate(m["body"].split("\n")):
                words = shlex.split(line.split("=", 1)[1] if line.startswith("Exec") else line, comments=True)
                if words[:1] == ["systemctl"]:  # the unit's name, not the command
                    continue
                for i, word in enumerate(words):
                    if word.rsplit("/", 1)[-1] == "quillon" or words[max(i - 2, 0):i + 1] == ["python", "-m", "quillon"]:
                        out.append((f"{page.name}:{first + n}", words[i + 1:]))
                        break
    return out


def test_commands_in_the_pages_parse():
    """Every quillon command line the pages show is one the command line
    takes: an option renamed or removed fails here, not for a reader."""
    from quillon.__main__ import parse
    from quillon.config import ConfigError

    found = commands()
    assert len(found) >= 8, found
    bad = []
    for where, args in found:
        try:
            parse(args, environ={})
        except (SystemExit, ConfigError) as e:
            bad.append(f"{where}: quillon {' '.join(args)} ({e})")
    assert not bad, "\n".join(bad)
