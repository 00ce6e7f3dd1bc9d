"""The benchmark's HTTP/1.1 peer on h11: the same asyncio.Protocol design as
a careful h11 server would use (one h11.Connection per connection, keep-alive,
pipelined requests answered in order within one write).

    python benchmarks/peers/peer_h11.py --port N

Serves `/bytes/N` exactly as the example server does (status 200,
content-type application/octet-stream, content-length N, date); anything
else is a 404."""

import asyncio

import h11

from _common import REASONS, http_date, route, run

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


if __name__ == "__main__":
    run(H11Protocol)
