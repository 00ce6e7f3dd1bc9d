"""What a request can fail with, by kind: a caller catches `TimeoutException`
to retry later, `ConnectError` when a host is down, `ProtocolError` when a
peer broke the rules, or `HTTPError` for all of them. The core's own
exceptions never reach the caller: each is wrapped as one of these, the
original kept as `__cause__`."""

from __future__ import annotations


class HTTPError(Exception):
    """Every failure of a request made through `Client`."""


class InvalidURL(HTTPError, ValueError):
    """A URL the client cannot send a request to."""


class TransportError(HTTPError):
    """The exchange failed below HTTP: connecting, reading, writing, or the
    pool."""


class TimeoutException(TransportError):
    """A timeout ran out."""


class ConnectTimeout(TimeoutException):
    """Connecting (TCP, proxy tunnel, TLS handshake) took too long."""


class ReadTimeout(TimeoutException):
    """No part of the answer arrived for the read timeout."""


class WriteTimeout(TimeoutException):
    """The server took no part of the request for the write timeout."""


class PoolTimeout(TimeoutException):
    """No connection came free within the pool timeout."""


class NetworkError(TransportError):
    """The connection failed."""


class ConnectError(NetworkError):
    """The connection could not be made (refused, unreachable, TLS)."""


class ReadError(NetworkError):
    """The connection failed or closed while the answer was read."""


class WriteError(NetworkError):
    """The connection failed while the request was sent."""


class ProxyError(TransportError):
    """The proxy refused to open a tunnel."""


class ProtocolError(TransportError):
    """A peer broke HTTP's rules, or the request cannot be expressed."""


class RemoteProtocolError(ProtocolError):
    """The server broke the protocol, or reset the request's stream."""


class LocalProtocolError(ProtocolError):
    """The request itself cannot be sent as given."""


class DecodingError(HTTPError):
    """The body's content-coding (gzip, deflate) does not decode."""


class TooLarge(HTTPError):
    """A response body read whole passed the client's `max_body`."""


class TooManyRedirects(HTTPError):
    """More redirects than `max_redirects`."""


class HTTPStatusError(HTTPError):
    """`Response.raise_for_status()` on a 4xx or 5xx answer."""

    def __init__(self, message: str, response: object) -> None:
        super().__init__(message)
        self.response = response


class StreamError(HTTPError):
    """A response body read in a way it no longer can be (closed, or
    already read piece by piece)."""


__all__ = [
    "HTTPError", "InvalidURL", "TransportError", "TimeoutException", "ConnectTimeout", "ReadTimeout",
    "WriteTimeout", "PoolTimeout", "NetworkError", "ConnectError", "ReadError", "WriteError", "ProxyError",
    "ProtocolError", "RemoteProtocolError", "LocalProtocolError", "TooManyRedirects", "HTTPStatusError",
    "StreamError", "TooLarge", "DecodingError",
]
