"""The command line: `quillon [MODULE:APP] [options]` or `python -m quillon`.

The options are made from `Config`'s fields, one each (a true/false
setting gets its `--no-` form too), so `quillon --help` and the settings
cannot drift apart. Every option can also come from the environment as
QUILLON_<NAME> (QUILLON_PORT=9000, QUILLON_ACCESS_LOG=false); the
command line wins. With no application it serves the demo routes."""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import typing
from importlib import metadata
from typing import Any, Literal, NoReturn

from .config import ENV_PREFIX, HINTS, Config, ConfigError, fail, flag_of
from .server import EXIT_USAGE, launch


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, as for every other bad setting, not the usage block.
        fail(message)
        sys.exit(EXIT_USAGE)


def version() -> str:
    try:
        return metadata.version("quillon")
    except metadata.PackageNotFoundError:
        return "(not installed)"


def parser() -> Parser:
    ap = Parser(prog="quillon", description="Serve an ASGI 3 application or a quillon handler over HTTP/1.1 and "
                                            "HTTP/2.",
                epilog=f"Every option can also be set in the environment as {ENV_PREFIX}<NAME> "
                       f"({ENV_PREFIX}PORT=9000, {ENV_PREFIX}ACCESS_LOG=false; one value a line for repeatable "
                       f"ones); the command line wins. The application too: {ENV_PREFIX}APP.")
    ap.add_argument("app", nargs="?", metavar="MODULE:APP", default=argparse.SUPPRESS,
                    help="the application: an ASGI 3 app(scope, receive, send) or an async handler(request), as "
                         "module:attribute (default: the demo routes)")
    ap.add_argument("--version", action="version", version=f"quillon {version()}")
    for f in dataclasses.fields(Config):
        hint = HINTS[f.name]
        help_text = f.metadata["help"]
        default = f.default if f.default is not dataclasses.MISSING else None
        if default not in (None, "", False) or hint is bool:
            help_text += f" (default: {default})"
        common: dict[str, Any] = dict(dest=f.name, default=argparse.SUPPRESS, help=help_text)
        if hint is bool:
            ap.add_argument(flag_of(f.name), action=argparse.BooleanOptionalAction, **common)
            continue
        choices = typing.get_args(hint) if typing.get_origin(hint) is Literal else None
        metavar = "{" + ",".join(choices) + "}" if choices else f.metadata["metavar"]
        if typing.get_origin(hint) is list:
            ap.add_argument(flag_of(f.name), action="append", metavar=metavar, **common)
        else:
            ap.add_argument(flag_of(f.name), metavar=metavar or f.name.split("_")[-1].upper(), **common)
    return ap


def parse(argv: list[str] | None = None, environ: typing.Mapping[str, str] | None = None) -> tuple[str | None, Config]:
    """The application reference and the settings the command line and the
    environment give; exits with a one-line error for a bad option, and
    raises `ConfigError` for a bad value."""
    environ = os.environ if environ is None else environ
    given = vars(parser().parse_args(argv))
    app = given.pop("app", None) or environ.get(ENV_PREFIX + "APP") or None
    return app, Config.from_env(environ, **given)


def main(argv: list[str] | None = None) -> int:
    try:
        app, config = parse(argv)
    except ConfigError as e:
        fail(e)
        return EXIT_USAGE
    return launch(app, config)


if __name__ == "__main__":
    sys.exit(main())
