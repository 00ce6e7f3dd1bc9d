"""Fetch URLs and print each answer's status line, headers and body.

    python -m quillon.client URL [URL ...] [-n N] [--http2] [-d DATA] [-k]
                             [-H 'Name: value'] [-X METHOD] [-o FILE] [-v]

`-n N` asks for every URL N times; all the requests start at once over the
client's pool and the answers print in the order asked."""

from __future__ import annotations

import argparse
import asyncio
import sys
from typing import BinaryIO

import _quillon as q

from ._client import Client
from ._errors import HTTPError
from ._models import Limits, Response


async def fetch_all(urls: list[str], method: str, data: bytes | None, headers: q.HeaderMap, http2: bool,
                    insecure: bool, verbose: bool) -> list[Response]:
    # One connection per origin, each request taking its turn on it (or a
    # stream of it), as a command-line fetcher is expected to.
    limits = Limits(max_connections_per_origin=1)
    async with Client(http2=http2, verify=not insecure, limits=limits) as client:
        if verbose:
            for url in dict.fromkeys(urls):
                sys.stderr.write(f"> {method} {url}\n")
                for name, value in headers.items():
                    sys.stderr.write(f"> {name}: {value.decode('latin-1')}\n")
        return await asyncio.gather(*(client.request(method, url, headers=headers, content=data) for url in urls))


def show(response: Response, body_out: BinaryIO | None) -> None:
    out = sys.stdout
    out.write(f"{response.http_version} {response.status_code}\n")
    for name, value in response.headers.items():
        out.write(f"{name}: {value.decode('latin-1')}\n")
    out.write("\n")
    out.flush()
    body = response.content
    if body_out is not None:
        body_out.write(body)
        body = b""
    sys.stdout.buffer.write(body)
    sys.stdout.buffer.flush()
    if response.trailers:
        if body and not body.endswith(b"\n"):
            out.write("\n")
        for name, value in response.trailers.items():
            out.write(f"{name}: {value.decode('latin-1')}\n")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m quillon.client", description=(__doc__ or "").splitlines()[0])
    ap.add_argument("url", nargs="+")
    ap.add_argument("-n", type=int, default=1, metavar="N", help="ask for every URL N times")
    ap.add_argument("-d", "--data", help="send DATA as the request body (POST unless -X says otherwise)")
    ap.add_argument("-X", "--request", dest="method", help="the request method")
    ap.add_argument("-H", "--header", action="append", default=[], help="a request header, 'Name: value'")
    ap.add_argument("-o", "--output", help="write the bodies to FILE")
    ap.add_argument("-k", "--insecure", action="store_true", help="skip TLS certificate checks")
    ap.add_argument("-v", "--verbose", action="store_true", help="show each request on stderr")
    ap.add_argument("--http2", action="store_true", help="use HTTP/2")
    args = ap.parse_args(argv)
    data = args.data.encode() if args.data is not None else None
    method = (args.method or ("POST" if data is not None else "GET")).upper()
    headers = q.HeaderMap()
    for line in args.header:
        name, sep, value = line.partition(":")
        if not sep or not name.strip():
            ap.error(f"a header is 'Name: value', not {line!r}")
        headers.add(name.strip(), value.strip())
    try:
        responses = asyncio.run(fetch_all(args.url * args.n, method, data, headers, args.http2, args.insecure,
                                          args.verbose))
    except (HTTPError, ValueError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    body_out = open(args.output, "wb") if args.output else None
    try:
        for response in responses:
            show(response, body_out)
    finally:
        if body_out is not None:
            body_out.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
