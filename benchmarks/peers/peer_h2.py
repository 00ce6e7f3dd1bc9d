"""The benchmark's HTTP/2 peer on the h2 package: cleartext with prior
knowledge, an asyncio.Protocol holding one h2 H2Connection per connection,
every request answered as soon as its stream ends, all frames a read produced
written at once. Same settings and windows as the example server.

    python benchmarks/peers/peer_h2.py --port N

Serves `/bytes/N` with the example server's headers (:status 200,
content-type application/octet-stream, date); anything else is a 404."""

import asyncio

import h2.config
import h2.connection
import h2.events
import h2.exceptions
import h2.settings

from _common import http_date, route, run

CONNECTION_WINDOW = 1 << 24
SETTINGS = {
    h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 1 << 20,
    h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS: 128,
    h2.settings.SettingCodes.MAX_FRAME_SIZE: 16384,
    h2.settings.SettingCodes.MAX_HEADER_LIST_SIZE: 65536,
}
CONFIG = h2.config.H2Configuration(client_side=False, header_encoding=None)

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
        self.conn.send_headers(sid, [(b":status", b"%d" % status), (b"content-type", ctype), (b"date", http_date())],
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


if __name__ == "__main__":
    run(H2Protocol)
