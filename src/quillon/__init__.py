"""quillon: an asynchronous HTTP/1.1 and HTTP/2 server and client on the
`_quillon` protocol core.

    quillon.run(app, port=9000)          # as `quillon module:app --port 9000`
    await quillon.serve(app, Config())   # one server in the running loop"""

from __future__ import annotations

from .client import Client
from .config import Config, ConfigError
from .handler import Request, Response
from .server import run, serve

__all__ = ["Client", "Config", "ConfigError", "Request", "Response", "run", "serve"]
