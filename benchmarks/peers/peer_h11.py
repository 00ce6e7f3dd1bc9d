"""The benchmark's HTTP/1.1 peer on h11: the same asyncio.Protocol design as
a careful h11 server would use (one h11.Connection per connection, keep-alive,
pipelined requests answered in order within one write).

    python benchmarks/peers/peer_h11.py --port N

Serves `/bytes/N` exactly as the example server does (status 200,
content-type application/octet-stream, content-length N, date); anything
else is a 404."""

import argparse
import asyncio
import email.utils
import time

import h11

MAX_BYTES = 1 << 20  # the body is built in memory; a benchmark never needs more

REASONS = {200: b"OK", 400: b"Bad Request", 404: b"Not Found"}

_date = [0, b""]


def http_date() -> bytes:
    # Formatting a date per request would cost more than the parse; once a second.
    now = int(time.time())
    if now != _date[0]:
        _date[0], _date[1] = now, email.utils.formatdate(now, usegmt=True).encode()
    return _date[1]


def route(target: bytes):
    path = target.split(b"?", 1)[0]
    if path.startswith(b"/bytes/"):
        try:
            n = int(path[7:])
        except ValueError:
            n = -1
        if 0 <= n <= MAX_BYTES:
            return 200, b"application/octet-stream", b"x" * n
        return 400, b"text/plain", b"bad length\n"
    return 404, b"text/plain", b"not found\n"


class H11Protocol(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport
        self.conn = h11.Connection(h11.SERVER)
        self.target = b""

    def data_received(self, data):
        conn = self.conn
        conn.receive_data(data)
        out = []
        close = False
        while True:
            try:
                event = conn.next_event()
            except h11.RemoteProtocolError:
                if conn.our_state in (h11.IDLE, h11.SEND_RESPONSE):
                    out.append(conn.send(h11.Response(status_code=400, reason=REASONS[400], headers=[
                        (b"content-length", b"0"), (b"connection", b"close")])))
                    out.append(conn.send(h11.EndOfMessage()))
                close = True
                break
            kind = type(event)
            if kind is h11.Request:
                self.target = event.target
            elif kind is h11.EndOfMessage:
                status, ctype, body = route(self.target)
                out.append(conn.send(h11.Response(status_code=status, reason=REASONS[status], headers=[
                    (b"content-type", ctype), (b"content-length", b"%d" % len(body)), (b"date", http_date())])))
                if body:
                    out.append(conn.send(h11.Data(data=body)))
                out.append(conn.send(h11.EndOfMessage()))
                if conn.our_state is not h11.DONE or conn.their_state is not h11.DONE:
                    close = True  # MUST_CLOSE: not reusable
                    break
                conn.start_next_cycle()
            elif event is h11.NEED_DATA or event is h11.PAUSED:
                break
            elif kind is h11.ConnectionClosed:
                close = True
                break
            # Data (a request body) is read and discarded.
        if out:
            self.transport.write(b"".join(out))
        if close:
            self.transport.close()


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, required=True)
    args = ap.parse_args()
    server = await asyncio.get_running_loop().create_server(H11Protocol, args.host, args.port)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
