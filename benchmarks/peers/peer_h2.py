"""The benchmark's HTTP/2 peer on the h2 package: cleartext with prior
knowledge, an asyncio.Protocol holding one h2 H2Connection per connection,
every request answered as soon as its stream ends, all frames a read produced
written at once. Same settings and windows as the example server.

    python benchmarks/peers/peer_h2.py --port N

Serves `/bytes/N` with the example server's headers (:status 200,
content-type application/octet-stream, date); anything else is a 404."""

import argparse
import asyncio
import email.utils
import time

import h2.config
import h2.connection
import h2.events
import h2.exceptions
import h2.settings

MAX_BYTES = 1 << 20  # the body is built in memory; a benchmark never needs more
CONNECTION_WINDOW = 1 << 24
SETTINGS = {
    h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 1 << 20,
    h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS: 128,
    h2.settings.SettingCodes.MAX_FRAME_SIZE: 16384,
    h2.settings.SettingCodes.MAX_HEADER_LIST_SIZE: 65536,
}
CONFIG = h2.config.H2Configuration(client_side=False, header_encoding=None)

_date = [0, b""]


def http_date() -> bytes:
    # Formatting a date per request would cost more than the framing; once a second.
    now = int(time.time())
    if now != _date[0]:
        _date[0], _date[1] = now, email.utils.formatdate(now, usegmt=True).encode()
    return _date[1]


def route(path: bytes):
    path = path.split(b"?", 1)[0]
    if path.startswith(b"/bytes/"):
        try:
            n = int(path[7:])
        except ValueError:
            n = -1
        if 0 <= n <= MAX_BYTES:
            return b"200", b"application/octet-stream", b"x" * n
        return b"400", b"text/plain", b"bad length\n"
    return b"404", b"text/plain", b"not found\n"


class H2Protocol(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport
        self.paths = {}  # stream id -> :path, until the request ends
        self.blocked = {}  # stream id -> body bytes the send window holds back
        conn = self.conn = h2.connection.H2Connection(config=CONFIG)
        conn.local_settings.update(SETTINGS)
        conn.initiate_connection()
        conn.increment_flow_control_window(CONNECTION_WINDOW - 65535)
        transport.write(conn.data_to_send())

    def data_received(self, data):
        conn = self.conn
        try:
            events = conn.receive_data(data)
        except h2.exceptions.ProtocolError:
            self.transport.write(conn.data_to_send())  # the GOAWAY h2 queued
            self.transport.close()
            return
        for event in events:
            kind = type(event)
            if kind is h2.events.RequestReceived:
                for name, value in event.headers:
                    if name == b":path":
                        self.paths[event.stream_id] = value
                        break
            elif kind is h2.events.StreamEnded:
                self.respond(event.stream_id)
            elif kind is h2.events.DataReceived:
                conn.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
            elif kind is h2.events.WindowUpdated:
                self.unblock()
            elif kind is h2.events.StreamReset:
                self.paths.pop(event.stream_id, None)
                self.blocked.pop(event.stream_id, None)
            elif kind is h2.events.ConnectionTerminated:
                self.transport.write(conn.data_to_send())
                self.transport.close()
                return
        out = conn.data_to_send()
        if out:
            self.transport.write(out)

    def respond(self, sid):
        status, ctype, body = route(self.paths.pop(sid, b"/"))
        self.conn.send_headers(sid, [(b":status", status), (b"content-type", ctype), (b"date", http_date())],
                               end_stream=not body)
        if body:
            self.send_body(sid, body)

    def send_body(self, sid, body):
        conn = self.conn
        frame = conn.max_outbound_frame_size
        while body:
            room = min(conn.local_flow_control_window(sid), frame)
            if room <= 0:
                self.blocked[sid] = body
                return
            piece, body = body[:room], body[room:]
            conn.send_data(sid, piece, end_stream=not body)

    def unblock(self):
        for sid in list(self.blocked):
            try:
                self.send_body(sid, self.blocked.pop(sid))
            except h2.exceptions.StreamClosedError:
                pass


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, required=True)
    args = ap.parse_args()
    server = await asyncio.get_running_loop().create_server(H2Protocol, args.host, args.port)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
