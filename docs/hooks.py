"""MkDocs build hooks.

- The module's stub (`src/bind/_quillon.pyi`) is laid out as the stub-only
  package `_quillon-stubs` under `build/docs-stubs`, where the API
  reference's loader (griffe) finds it, as it finds the installed one.
- `<!-- quillon:options -->` in a page becomes the table of every setting,
  made from `quillon.config.Config` itself, so the page cannot drift from
  the command line.
"""

from __future__ import annotations

import dataclasses
import os
import shutil
import sys
import typing
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "build" / "docs-stubs"
MARKER = "<!-- quillon:options -->"


def importable() -> None:
    """The tree's `quillon` and, when QUILLON_BUILD_DIR names a build
    folder, the `_quillon` built there; otherwise the installed one."""
    for path in (os.environ.get("QUILLON_BUILD_DIR"), str(ROOT / "src")):
        if path and path not in sys.path:
            sys.path.insert(0, str(Path(path).resolve()))


def on_startup(**_kw: Any) -> None:
    importable()
    target = STUBS / "_quillon-stubs"
    target.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(ROOT / "src" / "bind" / "_quillon.pyi", target / "__init__.pyi")


def on_page_markdown(markdown: str, **_kw: Any) -> str:
    if MARKER in markdown:
        markdown = markdown.replace(MARKER, options_table())
    return markdown


def options_table() -> str:
    from quillon import config

    rows = ["| Option | Environment | Default | What it sets |", "|---|---|---|---|"]
    for f in dataclasses.fields(config.Config):
        hint = config.HINTS[f.name]
        flag = config.flag_of(f.name)
        if hint is bool:
            flag = f"{flag}`, `--no-{flag[2:]}"
        else:
            metavar = f.metadata["metavar"]
            choices = typing.get_args(hint) if typing.get_origin(hint) is typing.Literal else ()
            if choices:
                metavar = "|".join(choices)
            flag = f"{flag} {metavar or f.name.split('_')[-1].upper()}"
        if f.default is not dataclasses.MISSING:
            default = "none" if f.default is None else f"`{f.default!r}`" if f.default != "" else "`''`"
        else:
            default = "none (repeatable)"
        help_text = f.metadata["help"].replace("|", "\\|")
        rows.append(f"| <a id=\"opt-{f.name.replace('_', '-')}\"></a>`{flag}` | `{config.env_name(f.name)}` "
                    f"| {default} | {help_text} |")
    return "\n".join(rows)
