"""Every setting of the server, in one place.

`Config` lists each setting once, with its default and its one line of
help; the command line (`quillon --help`), the environment
(`QUILLON_<OPTION>`: `QUILLON_PORT=9000`, `QUILLON_ACCESS_LOG=false`, and
one value a line for a repeatable option, `QUILLON_HEADER`) and keyword
arguments (`quillon.run(app, port=9000)`) are all read through that one
list, so the help, the names and the checks cannot drift apart. Where
uvicorn has an option for the same thing the setting has its name and
meaning.

A `Config` checks its values when it is made and raises `ConfigError`, a
one-line message naming the option, for a bad one. It also makes what the
drivers take: `timeouts()`, `h2_settings()`, `ssl_context()`, `bind()`."""

from __future__ import annotations

import dataclasses
import importlib.util
import ipaddress
import json
import logging
import logging.config
import os
import socket
import ssl
import stat
import sys
import typing
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Literal

from .link import Timeouts

TRACE = 5  # uvicorn's level below DEBUG, for per-frame detail
LOG_LEVELS = {"critical": logging.CRITICAL, "error": logging.ERROR, "warning": logging.WARNING,
              "info": logging.INFO, "debug": logging.DEBUG, "trace": TRACE}
ENV_PREFIX = "QUILLON_"

# The error logger carries startup, shutdown and failure messages; the access
# logger one INFO record per request. A --log-config or the caller's own
# dictConfig may route either anywhere.
LOGGING: dict[str, Any] = {
    "version": 1,
    "disable_existing_loggers": False,
    "formatters": {
        "default": {"format": "%(levelname)s: %(message)s"},
    },
    "handlers": {
        "default": {"class": "logging.StreamHandler", "formatter": "default", "stream": "ext://sys.stderr"},
        "access": {"class": "quillon.config.AccessHandler", "stream": "ext://sys.stdout"},
    },
    "loggers": {
        "quillon": {"handlers": ["default"], "level": "INFO", "propagate": False},
        "quillon.access": {"handlers": ["access"], "level": "INFO", "propagate": False},
    },
}


class AccessHandler(logging.StreamHandler):  # type: ignore[type-arg]
    """The default access log: each line as it is, without a flush per
    request (a system call each); the stream's buffering decides, line by
    line on a terminal. While it is the access logger's one handler, as
    configured, the server writes to its stream directly (`direct_stream`):
    a record per request would cost more than serving many of them."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.stream.write(self.format(record) + self.terminator)
        except Exception:
            self.handleError(record)


def direct_stream(logger: logging.Logger) -> Any:
    """The stream `logger`'s lines may be written to directly, bypassing
    records: only while its one handler is a plain AccessHandler with no
    filter or formatter of its own, and nothing else would see them."""
    if logger.filters or logger.propagate or len(logger.handlers) != 1:
        return None
    handler = logger.handlers[0]
    if type(handler) is not AccessHandler or handler.filters or handler.formatter is not None:
        return None
    if handler.level > logging.INFO:
        return None
    return handler.stream


def fail(message: object) -> None:
    """A user's mistake, as the command line reports it: one line."""
    print(f"quillon: error: {message}", file=sys.stderr, flush=True)


class ConfigError(ValueError):
    """A setting has a value the server cannot use; the message is one line
    that names the option."""


def setting(default: Any = None, help: str = "", *, flag: str | None = None, metavar: str | None = None,
            factory: Any = None) -> Any:
    """A field of `Config`: its default and the help line the command line
    shows. `flag` overrides the option name made from the field's."""
    meta = {"help": help, "flag": flag, "metavar": metavar}
    if factory is not None:
        return field(default_factory=factory, metadata=meta)
    return field(default=default, metadata=meta)


Interface = Literal["auto", "asgi", "handler"]
LoopName = Literal["auto", "asyncio", "uvloop"]
LifespanMode = Literal["auto", "on", "off"]
LogLevel = Literal["critical", "error", "warning", "info", "debug", "trace"]
WSMode = Literal["auto", "none", "websockets"]


@dataclass
class Config:
    """The server's settings. Timeouts are seconds, 0 meaning none."""

    # Where to listen
    host: str = setting("127.0.0.1", "bind to this address")
    port: int = setting(8080, "bind to this port (0 picks a free one)")
    uds: str | None = setting(None, "bind to this UNIX domain socket instead", metavar="PATH")
    fd: int | None = setting(None, "serve on the listening socket of this file descriptor instead")
    backlog: int = setting(2048, "connections the kernel may queue before they are accepted")
    # Processes and the event loop
    workers: int = setting(1, "worker processes; a worker that dies is replaced, SIGHUP replaces all")
    loop: LoopName = setting("asyncio", "event loop: asyncio, uvloop, or auto (uvloop when installed)")
    reload: bool = setting(False, "restart the server when a watched file changes (needs the 'reload' extra)")
    reload_dirs: list[str] = setting(help="a folder to watch with --reload (repeatable; default: the working one)",
                                     flag="--reload-dir", metavar="DIR", factory=list)
    # The application
    interface: Interface = setting("auto", "asgi (3 parameters), handler (1 parameter), or auto: by signature")
    factory: bool = setting(False, "the reference names a function that returns the application")
    app_dir: str = setting(".", "import the application from this folder (first on sys.path)", metavar="DIR")
    lifespan: LifespanMode = setting("auto", "the ASGI lifespan: auto (when the app supports it), on, off")
    root_path: str = setting("", "the ASGI root_path: where a proxy mounts the application", metavar="PATH")
    # Logging
    log_level: LogLevel = setting("info", "level of the quillon loggers")
    log_config: str | None = setting(None, "logging configuration file: .json or .yaml (dictConfig), else .ini",
                                     metavar="FILE")
    access_log: bool = setting(True, "one line per request on the 'quillon.access' logger")
    # What the server says and believes
    proxy_headers: bool = setting(True, "take the client address and scheme from X-Forwarded-For/-Proto or "
                                        "Forwarded, when the peer is trusted")
    forwarded_allow_ips: str = setting("127.0.0.1,::1", "comma-separated addresses, networks or literals trusted "
                                                        "with proxy headers; '*' trusts all", metavar="IPS")
    server_header: bool = setting(True, "add 'server: quillon' to responses that have none")
    date_header: bool = setting(True, "add a 'date' header to responses that have none")
    headers: list[str] = setting(help="a default response header 'Name: Value' (repeatable)", flag="--header",
                                 metavar="NAME:VALUE", factory=list)
    # Limits
    limit_concurrency: int | None = setting(None, "answer 503 once this many connections or requests are in "
                                                  "progress", metavar="N")
    limit_connections: int | None = setting(None, "close new connections at once while this many are open",
                                            metavar="N")
    limit_max_requests: int | None = setting(None, "a worker restarts gracefully after serving this many requests",
                                             metavar="N")
    # Timeouts
    head_timeout: float = setting(10.0, "a request head must be complete within S seconds of the connection's "
                                        "start or of its first byte (HTTP/1 answers 408)", metavar="S")
    timeout_keep_alive: float = setting(5.0, "an idle connection, or a request body that stops arriving, ends "
                                             "after S seconds", metavar="S")
    write_timeout: float = setting(30.0, "a write that makes no progress for S seconds aborts the connection",
                                   metavar="S")
    timeout_graceful_shutdown: float = setting(10.0, "on shutdown, requests in flight get S seconds, then are cut",
                                               metavar="S")
    body_timeout: float = setting(0.0, "a whole request body must arrive within S seconds of its first read, "
                                       "however it trickles (0: no limit)", metavar="S")
    handler_grace: float = setting(5.0, "a handler whose client left (an HTTP/2 reset) may run S seconds more, "
                                        "then is cancelled", metavar="S")
    # TLS
    ssl_certfile: str | None = setting(None, "certificate chain (PEM): serve HTTPS, with ALPN h2 and http/1.1",
                                       metavar="FILE")
    ssl_keyfile: str | None = setting(None, "private key (PEM) of the certificate", metavar="FILE")
    ssl_keyfile_password: str | None = setting(None, "password of the private key", metavar="PASSWORD")
    ssl_ca_certs: str | None = setting(None, "CA certificates (PEM) to verify clients with", metavar="FILE")
    ssl_cert_reqs: int = setting(0, "client certificates: 0 none, 1 optional, 2 required (ssl.CERT_*)")
    ssl_ciphers: str | None = setting(None, "OpenSSL cipher list (default: OpenSSL's)", metavar="CIPHERS")
    # HTTP/2
    h2_max_concurrent_streams: int = setting(128, "HTTP/2 streams a client may have open at once", metavar="N")
    h2_initial_window_size: int = setting(1 << 20, "HTTP/2 receive window of each stream, bytes", metavar="N")
    h2_connection_window: int = setting(1 << 24, "HTTP/2 receive window of each connection, bytes", metavar="N")
    h2_max_frame_size: int = setting(16384, "largest HTTP/2 frame payload the server accepts, bytes", metavar="N")
    h2_max_header_list_size: int = setting(65536, "largest HTTP/2 request header list, bytes", metavar="N")
    h2_max_send_buf_size: int = setting(1 << 20, "HTTP/2 response bytes one stream may have buffered for "
                                                 "sending", metavar="N")
    h2_send_budget: int = setting(1 << 20, "HTTP/2 response DATA queued per connection for a client that does "
                                           "not read, bytes", metavar="N")
    # WebSocket
    ws: WSMode = setting("auto", "WebSocket: websockets (its framing), auto (when installed), none (Upgrade "
                                 "requests go to the application as plain HTTP)")
    ws_max_size: int = setting(16 * 1024 * 1024, "largest WebSocket message received, bytes (closed with 1009 "
                                                 "beyond)", metavar="N")
    ws_max_queue: int = setting(32, "received WebSocket messages held for the application before reading stops",
                                metavar="N")
    ws_ping_interval: float = setting(20.0, "a WebSocket ping every S seconds (0: none)", metavar="S")
    ws_ping_timeout: float = setting(20.0, "a WebSocket whose ping has no pong within S seconds is closed (0: no "
                                           "limit)", metavar="S")
    ws_per_message_deflate: bool = setting(True, "offer WebSocket compression (permessage-deflate)")

    def __post_init__(self) -> None:
        for name, hint in HINTS.items():
            setattr(self, name, convert(name, hint, getattr(self, name)))
        self.check()

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None, **options: Any) -> Config:
        """Settings from `QUILLON_<NAME>` variables, then `options` over them."""
        environ = os.environ if environ is None else environ
        values: dict[str, Any] = {}
        for name in NAMES:
            text = environ.get(env_name(name))
            if text is not None:
                values[name] = text
        unknown = sorted(set(options) - set(NAMES))
        if unknown:
            raise ConfigError(f"unknown setting {unknown[0]!r}")
        values.update(options)
        return cls(**values)

    def check(self) -> None:
        at_least(self, "backlog", 1)
        at_least(self, "workers", 1)
        for name in ("limit_concurrency", "limit_connections", "limit_max_requests"):
            at_least(self, name, 1)
        for name in ("head_timeout", "timeout_keep_alive", "write_timeout", "timeout_graceful_shutdown", "body_timeout",
                     "handler_grace"):
            at_least(self, name, 0)
        if not 0 <= self.port <= 65535:
            raise ConfigError(f"{flag_of('port')}: {self.port} is not a port number (0 to 65535)")
        if self.uds is not None and self.fd is not None:
            raise ConfigError("--uds and --fd: choose one")
        at_least(self, "fd", 0)
        if self.ssl_cert_reqs not in (ssl.CERT_NONE, ssl.CERT_OPTIONAL, ssl.CERT_REQUIRED):
            raise ConfigError(f"--ssl-cert-reqs: {self.ssl_cert_reqs} is not 0, 1 or 2")
        for name in ("ssl_keyfile", "ssl_keyfile_password", "ssl_ca_certs", "ssl_ciphers"):
            if getattr(self, name) is not None and self.ssl_certfile is None:
                raise ConfigError(f"{flag_of(name)} needs --ssl-certfile")
        if self.ssl_cert_reqs != ssl.CERT_NONE and self.ssl_ca_certs is None:
            raise ConfigError("--ssl-cert-reqs needs --ssl-ca-certs to verify clients with")
        if self.root_path and (not self.root_path.startswith("/") or self.root_path.endswith("/")):
            raise ConfigError(f"--root-path: {self.root_path!r} must start with '/' and not end with one")
        self.default_headers()
        self.trusted_proxies()
        at_least(self, "h2_max_concurrent_streams", 1)
        for name in ("h2_initial_window_size", "h2_connection_window"):
            at_least(self, name, 65535)
            at_most(self, name, (1 << 31) - 1)
        at_least(self, "h2_max_frame_size", 16384)
        at_most(self, "h2_max_frame_size", (1 << 24) - 1)
        at_least(self, "h2_max_header_list_size", 1024)
        at_least(self, "h2_max_send_buf_size", 16384)
        at_least(self, "h2_send_budget", 16384)
        at_least(self, "ws_max_size", 1)
        at_least(self, "ws_max_queue", 1)
        at_least(self, "ws_ping_interval", 0)
        at_least(self, "ws_ping_timeout", 0)
        if self.ws == "websockets" and importlib.util.find_spec("websockets") is None:
            raise ConfigError("--ws websockets: the 'websockets' package is not installed (the 'websocket' extra)")
        if self.reload and self.workers > 1:
            raise ConfigError("--reload and --workers: choose one")

    # What the drivers take

    def timeouts(self) -> Timeouts:
        return Timeouts(self.head_timeout or None, self.timeout_keep_alive or None, self.write_timeout or None,
                        self.timeout_graceful_shutdown, self.body_timeout or None, self.handler_grace)

    def h2_settings(self) -> dict[str, Any]:
        """The keyword arguments of a server-side `_quillon.H2Streams`."""
        return dict(initial_window_size=self.h2_initial_window_size, connection_window=self.h2_connection_window,
                    max_frame_size=self.h2_max_frame_size, max_header_list_size=self.h2_max_header_list_size,
                    max_send_buf_size=self.h2_max_send_buf_size,
                    max_concurrent_streams=self.h2_max_concurrent_streams, auto_date_header=self.date_header,
                    enable_connect_protocol=self.websocket() is not None)

    def websocket(self) -> Any:
        """The WebSocket settings (`websocket.Options`), or None when the
        server does not serve WebSockets."""
        if self.ws == "none" or importlib.util.find_spec("websockets") is None:
            return None
        from .websocket import Options
        return Options(max_size=self.ws_max_size, max_queue=self.ws_max_queue,
                       ping_interval=self.ws_ping_interval or None, ping_timeout=self.ws_ping_timeout or None,
                       per_message_deflate=self.ws_per_message_deflate)

    def default_headers(self) -> list[tuple[str, str]]:
        """The headers added to every response that lacks them."""
        out = [("server", "quillon")] if self.server_header else []
        for text in self.headers:
            name, sep, value = text.partition(":")
            name, value = name.strip().lower(), value.strip()
            if not sep or not name or any(c in name for c in " \t\r\n") or any(c in value for c in "\r\n"):
                raise ConfigError(f"--header: {text!r} is not 'Name: Value'")
            out = [h for h in out if h[0] != name] + [(name, value)]
        return out

    def trusted_proxies(self) -> Trusted:
        return Trusted(self.forwarded_allow_ips)

    def ssl_context(self) -> ssl.SSLContext | None:
        """The server's TLS context, or None for cleartext; `ConfigError`
        naming the file that cannot be used."""
        if self.ssl_certfile is None:
            return None
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        try:
            ctx.load_cert_chain(self.ssl_certfile, self.ssl_keyfile, self.ssl_keyfile_password)
        except (OSError, ssl.SSLError) as e:
            files = " and ".join(filter(None, (self.ssl_certfile, self.ssl_keyfile)))
            raise ConfigError(f"--ssl-certfile: cannot load {files}: {reason(e)}") from None
        if self.ssl_ca_certs is not None:
            try:
                ctx.load_verify_locations(self.ssl_ca_certs)
            except (OSError, ssl.SSLError) as e:
                raise ConfigError(f"--ssl-ca-certs: cannot load {self.ssl_ca_certs}: {reason(e)}") from None
        ctx.verify_mode = ssl.VerifyMode(self.ssl_cert_reqs)
        if self.ssl_ciphers is not None:
            try:
                ctx.set_ciphers(self.ssl_ciphers)
            except ssl.SSLError:
                raise ConfigError(f"--ssl-ciphers: OpenSSL knows none of {self.ssl_ciphers!r}") from None
        ctx.set_alpn_protocols(["h2", "http/1.1"])
        return ctx

    def address(self, tls: bool = False) -> str:
        """Where the server listens, for people to read."""
        if self.uds is not None:
            return f"unix:{self.uds}"
        if self.fd is not None:
            return f"fd {self.fd}"
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{'https' if tls else 'http'}://{host}:{self.port}"

    def reuse_port(self) -> bool:
        """Each worker binds a listening socket of its own (SO_REUSEPORT), so
        the kernel spreads connections over them rather than waking every
        worker for each; a UNIX socket or an inherited one is shared."""
        return self.workers > 1 and self.uds is None and self.fd is None

    def bind(self, reuse_port: bool = False, listen: bool = True) -> socket.socket:
        """The listening socket these settings name (only bound, with
        `listen` false); OSError with the address in its message when it
        cannot be had."""
        if self.fd is not None:
            try:
                sock = socket.socket(fileno=self.fd)
            except OSError as e:
                raise OSError(e.errno, f"--fd {self.fd}: {e.strerror or e}") from None
            try:
                if sock.type != socket.SOCK_STREAM:
                    raise OSError(0, f"--fd {self.fd}: not a stream socket")
                sock.listen(self.backlog)
                sock.setblocking(False)
            except OSError as e:
                sock.detach()
                raise OSError(e.errno, f"--fd {self.fd}: {e.strerror or e}") from None
            return sock
        if self.uds is not None:
            remove_stale_socket(self.uds)
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            where = self.uds
            target: Any = self.uds
        else:
            try:
                info = socket.getaddrinfo(self.host, self.port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
            except socket.gaierror as e:
                raise OSError(f"cannot resolve {self.host!r}: {e.strerror}") from None
            sock = socket.socket(info[0], socket.SOCK_STREAM, info[2])
            where, target = f"{self.host}:{self.port}", info[4]
        try:
            if sock.family != socket.AF_UNIX:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                if reuse_port:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            sock.bind(target)
            if sock.family == socket.AF_UNIX:
                os.chmod(self.uds or "", 0o666)  # as uvicorn: the proxy in front may run as another user
            if listen:
                sock.listen(self.backlog)
            sock.setblocking(False)
        except OSError as e:
            sock.close()
            raise OSError(e.errno, f"cannot listen on {where}: {e.strerror or e}") from None
        return sock

    def configure_logging(self) -> None:
        """The quillon loggers as the settings say: the default setup, then
        the --log-config file over it, then the level."""
        logging.addLevelName(TRACE, "TRACE")
        logging.config.dictConfig(LOGGING)
        if self.log_config is not None:
            load_log_config(self.log_config)
        level = LOG_LEVELS[self.log_level]
        for name in ("quillon", "quillon.error", "quillon.access"):
            logging.getLogger(name).setLevel(level)


NAMES = [f.name for f in dataclasses.fields(Config)]
FIELDS = {f.name: f for f in dataclasses.fields(Config)}
HINTS = {name: hint for name, hint in typing.get_type_hints(Config).items() if name in FIELDS}


class Trusted:
    """The peers whose proxy headers are believed: addresses, networks, and
    literals (a UNIX socket path, say) from a comma-separated list; "*" is
    everyone."""

    def __init__(self, listed: str) -> None:
        self.everyone = False
        self.hosts: set[str] = set()
        self.networks: list[ipaddress.IPv4Network | ipaddress.IPv6Network] = []
        for item in (s.strip() for s in listed.split(",")):
            if item == "*":
                self.everyone = True
            elif "/" in item:
                try:
                    self.networks.append(ipaddress.ip_network(item))
                except ValueError:
                    raise ConfigError(f"--forwarded-allow-ips: {item!r} is not a network") from None
            elif item:
                self.hosts.add(item)

    def __contains__(self, host: object) -> bool:
        if self.everyone or host in self.hosts:
            return True
        if not self.networks or not isinstance(host, str):
            return False
        try:
            addr = ipaddress.ip_address(host)
        except ValueError:
            return False
        return any(addr in net for net in self.networks)


def flag_of(name: str) -> str:
    return FIELDS[name].metadata["flag"] or "--" + name.replace("_", "-")


def env_name(name: str) -> str:
    """QUILLON_ and the option's name: QUILLON_PORT, QUILLON_HEADER."""
    return ENV_PREFIX + flag_of(name)[2:].replace("-", "_").upper()


def at_least(config: Config, name: str, low: int) -> None:
    value = getattr(config, name)
    if value is not None and value < low:
        raise ConfigError(f"{flag_of(name)}: {value} is below {low}")


def at_most(config: Config, name: str, high: int) -> None:
    value = getattr(config, name)
    if value is not None and value > high:
        raise ConfigError(f"{flag_of(name)}: {value} is above {high}")


TRUE, FALSE = {"1", "true", "yes", "on"}, {"0", "false", "no", "off"}


def convert(name: str, hint: Any, value: Any) -> Any:
    """`value` as the type of setting `name`: text from the command line or
    the environment is parsed, anything else checked."""
    flag = flag_of(name)
    args = typing.get_args(hint)
    if type(None) in args:
        if value is None:
            return None
        hint = next(a for a in args if a is not type(None))
        args = typing.get_args(hint)
    if typing.get_origin(hint) is Literal:
        if value not in args:
            raise ConfigError(f"{flag}: {value!r} is not one of {', '.join(args)}")
        return value
    if typing.get_origin(hint) is list:
        items = value.splitlines() if isinstance(value, str) else value
        if not isinstance(items, (list, tuple)) or not all(isinstance(i, str) for i in items):
            raise ConfigError(f"{flag}: expected a list of strings, not {value!r}")
        return [i for i in items if i.strip()]
    if hint is bool:
        if isinstance(value, str) and value.strip().lower() in TRUE | FALSE:
            return value.strip().lower() in TRUE
        if not isinstance(value, bool):
            raise ConfigError(f"{flag}: {value!r} is not true or false")
        return value
    if hint in (int, float):
        if isinstance(value, str):
            try:
                return hint(value)
            except ValueError:
                raise ConfigError(f"{flag}: {value!r} is not {'an integer' if hint is int else 'a number'}") from None
        if isinstance(value, bool) or not isinstance(value, (int, float) if hint is float else int):
            raise ConfigError(f"{flag}: {value!r} is not {'an integer' if hint is int else 'a number'}")
        return hint(value)
    if not isinstance(value, str):
        raise ConfigError(f"{flag}: {value!r} is not a string")
    return value


def reason(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    return str(e) or type(e).__name__


def remove_stale_socket(path: str) -> None:
    """A socket file no server listens on any more (one that did not shut
    down cleanly) is removed; anything else at `path` stays and the bind
    fails on it."""
    try:
        if not stat.S_ISSOCK(os.stat(path).st_mode):
            return
    except OSError:
        return
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
        try:
            probe.connect(path)
        except ConnectionRefusedError:
            os.unlink(path)
        except OSError:
            pass


def load_log_config(path: str) -> None:
    try:
        if path.endswith(".json"):
            with open(path) as f:
                logging.config.dictConfig(json.load(f))
        elif path.endswith((".yaml", ".yml")):
            try:
                import yaml  # type: ignore[import-untyped]
            except ImportError:
                raise ConfigError(f"--log-config: {path} is YAML and PyYAML is not installed") from None
            with open(path) as f:
                logging.config.dictConfig(yaml.safe_load(f))
        else:
            if not os.path.isfile(path):
                raise FileNotFoundError(2, "No such file or directory")
            logging.config.fileConfig(path, disable_existing_loggers=False)
    except ConfigError:
        raise
    except Exception as e:
        raise ConfigError(f"--log-config: cannot use {path}: {reason(e)}") from None
