"""quillon: an asynchronous HTTP/1.1 and HTTP/2 server and client on the
`_quillon` protocol core."""

from __future__ import annotations

from .handler import Request, Response

__all__ = ["Request", "Response"]
