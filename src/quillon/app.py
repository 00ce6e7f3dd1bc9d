"""Finding the application to serve: "module:attribute" imported from the
app folder, called first when it is a factory, and told apart as an ASGI 3
application (`app(scope, receive, send)`) or a handler (`handler(request)`)
by its signature, unless the interface setting says which. Each way this
can fail is an `AppError` whose message says what was wrong with which
name."""

from __future__ import annotations

import importlib
import inspect
import sys
from dataclasses import dataclass
from typing import Any, Callable, Literal

from . import demo
from .asgi import App
from .config import Config
from .handler import Handler

AppRef = str | Callable[..., Any]


class AppError(Exception):
    """The application reference cannot be served; the message is one line."""


@dataclass
class Application:
    """What the server runs: exactly one of `handler` and `asgi`."""

    name: str
    handler: Handler | None = None
    asgi: App | None = None
    eager: bool = False  # written for the eager start (handler.start): only the demo routes


def resolve(app: AppRef | None, config: Config) -> Application:
    """The application `app` names (None: the demo routes)."""
    if app is None:
        return Application("quillon.demo:route", handler=demo.route, eager=True)
    name = app if isinstance(app, str) else getattr(app, "__qualname__", repr(app))
    obj: Any = import_ref(app, config.app_dir) if isinstance(app, str) else app
    if config.factory:
        if not callable(obj):
            raise AppError(f"--factory: {name} is not callable (it is a {type(obj).__name__})")
        try:
            obj = obj()
        except Exception as e:
            raise AppError(f"--factory: calling {name} failed: {type(e).__name__}: {e}") from None
    if not callable(obj):
        raise AppError(f"{name} is not callable (it is a {type(obj).__name__})")
    kind = config.interface if config.interface != "auto" else interface_of(obj, name)
    if kind == "asgi":
        return Application(name, asgi=obj)
    return Application(name, handler=obj, eager=obj is demo.route)


def import_ref(ref: str, app_dir: str) -> Any:
    module_name, sep, attr = ref.partition(":")
    if not sep or not module_name or not attr:
        raise AppError(f"{ref!r} is not a reference of the form MODULE:NAME")
    path = app_dir or "."
    if path not in sys.path:
        sys.path.insert(0, path)
    try:
        obj: Any = importlib.import_module(module_name)
    except ModuleNotFoundError as e:
        if e.name is not None and module_name.startswith(e.name):
            raise AppError(f"cannot import {ref}: no module named {e.name!r} (looked in --app-dir {path!r} "
                           "and sys.path)") from None
        raise AppError(f"cannot import {ref}: importing {module_name!r} needs the missing module {e.name!r}") from None
    except Exception as e:
        raise AppError(f"cannot import {ref}: importing {module_name!r} raised {type(e).__name__}: {e}") from None
    for part in attr.split("."):
        try:
            obj = getattr(obj, part)
        except AttributeError:
            raise AppError(f"cannot import {ref}: module {module_name!r} has no attribute {attr!r}") from None
    return obj


def interface_of(obj: Any, name: str) -> Literal["asgi", "handler"]:
    """"asgi" for three positional parameters, "handler" for one."""
    try:
        params = list(inspect.signature(obj).parameters.values())
    except (TypeError, ValueError):
        params = None
    if params is not None:
        positional = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
        required = sum(p.default is p.empty for p in positional)
        most = 1 << 30 if any(p.kind is p.VAR_POSITIONAL for p in params) else len(positional)
        fits = [n for n in (3, 1) if required <= n <= most]
        if len(fits) == 1:
            return "asgi" if fits[0] == 3 else "handler"
    raise AppError(f"cannot tell whether {name} is an ASGI application (3 parameters) or a handler "
                   "(1 parameter): say which with --interface asgi|handler")
