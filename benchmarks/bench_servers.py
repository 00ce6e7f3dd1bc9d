"""Whole servers under load: h2load requests per second against the example
server (`python -m quillon` on `_quillon`) and against peers of the same
asyncio design on h2, h11 and httptools, plus nghttpd as the native HTTP/2
ceiling, all measured in this run on this machine.

    QUILLON_BUILD_DIR=build/dev python benchmarks/bench_servers.py

Every server runs alone as a subprocess on a free loopback port and gets the
same load: GET /bytes/64 (a 64-byte body), 10 connections,
  HTTP/2            h2load -n 50000 -c 10 -m 10   (10 streams per connection)
  HTTP/1.1 piped    h2load --h1 -n 50000 -c 10 -m 10   (10 requests in flight)
  HTTP/1.1          h2load --h1 -n 50000 -c 10 -m 1
after a short warm-up load, best of two runs. Every request must succeed
with a 2xx or the row is reported as failed. nghttpd serves the same path
from a static directory (a 64-byte file at bytes/64 under a temporary
document root).

Targets: the example server at least 20x the h2 peer and 10x the h11 peer,
at least as fast as the httptools peer (which collects every header field,
as a real server must), and at least a quarter of nghttpd over HTTP/2.

The ASGI rows run one bare ASGI application (benchmarks/peers/asgi_app.py:
GET / answers 13 bytes) on uvicorn (httptools, access log off), on
hypercorn (HTTP/1.1, and HTTP/2 with prior knowledge) and on the example
server (`quillon asgi_app:app`, access log off like uvicorn's):
  ASGI HTTP/2       h2load -c 10 -m 10       target: example >= 15x hypercorn
  ASGI HTTP/1.1     h2load --h1 -c 10 -m 1   target: example >= 3x uvicorn
h2load cannot read hypercorn's HTTP/1.1 status line (it has no reason
phrase, so the status is never reported to h2load): that row counts
requests answered without error instead of 2xx statuses.

Every row is measured on the standard asyncio loop and, when uvloop is
installed, again on uvloop (the example server only once it takes
`--loop`); ratios compare servers on the same loop. nghttpd runs once.

The example server runs as shipped, its per-request access log line
included (the 'quillon.access' logger, written to /dev/null); the peers
log nothing.

Beside requests per second each row shows the server process's CPU time
per request (user plus system, microseconds, over the measured runs), and
each ratio line the peer's CPU per request over ours ("CPU/req 2.00x": we
spend half as much). On a loaded machine the rates swing with the other
work on the cores; the CPU figures much less."""

import argparse
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
PEERS = HERE / "peers"
ROUTE = "/bytes/64"
BODY_SIZE = 64
ASGI_ROUTE = "/"
ASGI_APP = "asgi_app:app"
WARMUP = 2000
H2LOAD_TIMEOUT = 90  # seconds per load run: a stalled server must not hang the benchmark
START_TIMEOUT = 15


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tool_env() -> dict:
    # Peers and tools are not our code: keep a sanitizer runtime out of them.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def example_env() -> dict:
    env = dict(os.environ)
    build = env.get("QUILLON_BUILD_DIR")
    if build:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.abspath(build), env.get("PYTHONPATH")]))
    # The package from this tree, whichever copy is installed.
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "src"), env.get("PYTHONPATH")]))
    return env


class Running:
    """One server subprocess on its own port, stopped on exit."""

    def __init__(self, argv, env):
        self.port = free_port()
        argv = [a.replace("{port}", str(self.port)) for a in argv]
        self.proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)

    def wait_listening(self) -> None:
        end = time.monotonic() + START_TIMEOUT
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                raise RuntimeError("exited: " + self.proc.stderr.read().decode(errors="replace").strip()[-400:])
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("did not start listening")

    def __enter__(self):
        try:
            self.wait_listening()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stderr.close()


FINISHED = re.compile(rb"finished in [^,]+, ([\d.]+) req/s")
REQUESTS = re.compile(rb"requests: (\d+) total, \d+ started, \d+ done, (\d+) succeeded")
STATUS = re.compile(rb"status codes: (\d+) 2xx")
ANSWERED = re.compile(rb"requests: \d+ total, \d+ started, (\d+) done, \d+ succeeded, \d+ failed, (\d+) errored, (\d+) timeout")


def h2load(port: int, load: list, n: int, path: str = ROUTE, statusless: bool = False) -> float:
    """Requests per second of one bounded h2load run; raises unless every
    request succeeded with a 2xx (with `statusless`, unless every request
    was answered without error: for a server whose status line h2load
    cannot read)."""
    cmd = ["h2load", *load, "-n", str(n), f"http://127.0.0.1:{port}{path}"]
    try:
        r = subprocess.run(cmd, capture_output=True, timeout=H2LOAD_TIMEOUT, env=tool_env())
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"h2load took over {H2LOAD_TIMEOUT}s")
    out = r.stdout
    rate, counts, ok = FINISHED.search(out), REQUESTS.search(out), STATUS.search(out)
    if r.returncode != 0 or not (rate and counts and ok):
        raise RuntimeError("h2load failed: " + (r.stderr or out).decode(errors="replace").strip()[-300:])
    if statusless:
        done = ANSWERED.search(out)
        if not (done and int(done[1]) == n and int(done[2]) == int(done[3]) == 0):
            raise RuntimeError("not every request was answered without error")
        return float(rate[1])
    total, succeeded = int(counts[1]), int(counts[2])
    if not total == succeeded == int(ok[1]) == n:
        raise RuntimeError(f"{succeeded} of {n} requests succeeded, {int(ok[1])} with a 2xx")
    return float(rate[1])


def cpu_seconds(pid: int) -> float:
    """User plus system CPU time a process and its live descendants (a
    server that serves from worker processes) have used, all threads."""
    proc = pathlib.Path(f"/proc/{pid}")
    try:
        fields = (proc / "stat").read_text().rpartition(")")[2].split()
        children = [int(c) for t in (proc / "task").iterdir() for c in (t / "children").read_text().split()]
    except OSError:
        return 0.0  # gone meanwhile
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK") + sum(map(cpu_seconds, children))


def measure(server, load, n, repeat, path):
    """Best requests/s over `repeat` runs on one fresh server, and the
    server's CPU time per request over those runs (microseconds); or the
    error. On a shared machine the CPU time is the steadier figure: it does
    not count the time the server waits for a core."""
    argv, env, statusless = server
    try:
        with Running(argv, env) as running:
            h2load(running.port, load, min(WARMUP, n), path, statusless)
            cpu = cpu_seconds(running.proc.pid)
            rate = max(h2load(running.port, load, n, path, statusless) for _ in range(repeat))
            return rate, (cpu_seconds(running.proc.pid) - cpu) / (n * repeat) * 1e6
    except (RuntimeError, OSError) as e:
        return str(e)


def fmt_rate(v) -> str:
    return f"{v[0]:>12,.0f}{v[1]:>9.1f}" if isinstance(v, tuple) else f"{'failed':>12}{'':>9}"


def example_options() -> str:
    """The example server's --help: the ASGI and loop rows switch on by
    themselves once it takes those options."""
    try:
        r = subprocess.run([sys.executable, "-m", "quillon", "--help"], capture_output=True,
                           timeout=START_TIMEOUT, env=example_env())
        return r.stdout.decode(errors="replace")
    except (OSError, subprocess.TimeoutExpired):
        return ""


def have_uvloop() -> bool:
    try:
        import uvloop  # noqa: F401
    except ImportError:
        return False
    return True


def server_commands(docroot: str, loop: str, options: str) -> dict:
    """name -> (argv, env, statusless) of every server that runs on `loop`;
    a server missing from the dict has no row on that loop."""
    py = sys.executable
    asyncio_loop = loop == "asyncio"
    peers_env = dict(tool_env(), PYTHONPATH=str(PEERS))
    example = [py, "-m", "quillon", "--port", "{port}"]
    servers = {}
    if asyncio_loop or "--loop" in options:
        example += [] if asyncio_loop else ["--loop", loop]
        servers["example"] = (example, example_env(), False)
        if "MODULE:APP" in options:
            env = example_env()
            env["PYTHONPATH"] = os.pathsep.join([str(PEERS), env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
            servers["example-asgi"] = (example + [ASGI_APP, "--no-access-log"], env, False)
    for name in ("h2", "h11", "httptools"):
        servers[name] = ([py, str(PEERS / f"peer_{name}.py"), "--port", "{port}", "--loop", loop], tool_env(), False)
    if asyncio_loop:
        # One worker (its default): the native ceiling of one process.
        servers["nghttpd"] = (["nghttpd", "--no-tls", "-a", "127.0.0.1", "-d", docroot, "{port}"], tool_env(), False)
    servers["uvicorn"] = ([py, "-m", "uvicorn", ASGI_APP, "--app-dir", str(PEERS), "--host", "127.0.0.1",
                           "--port", "{port}", "--http", "httptools", "--loop", loop, "--no-access-log",
                           "--log-level", "warning"], tool_env(), False)
    # Hypercorn closes a connection after 1000 requests by default, which
    # fails every h2load run of more than 1000 requests per connection.
    config = pathlib.Path(docroot) / "hypercorn.toml"
    config.write_text("keep_alive_max_requests = 1000000000\n")
    hypercorn = [py, "-m", "hypercorn", ASGI_APP, "--bind", "127.0.0.1:{port}", "--worker-class", loop,
                 "--config", str(config)]
    servers["hypercorn"] = (hypercorn, peers_env, False)
    servers["hypercorn-h1"] = (hypercorn, peers_env, True)
    return servers


LABELS = {"example": "example (_quillon)", "example-asgi": "example --asgi", "nghttpd": "nghttpd (native)",
          "uvicorn": "uvicorn (httptools)", "hypercorn": "hypercorn", "hypercorn-h1": "hypercorn"}

H2 = ["-c", "10", "-m", "10"]
H1_PIPED = ["--h1", "-c", "10", "-m", "10"]
H1 = ["--h1", "-c", "10", "-m", "1"]

# (title, h2load flags, path, our server, [(peer, "ratio" or "fraction", target or None)])
SECTIONS = {
    "own": [
        ("HTTP/2 (prior knowledge)", H2, ROUTE, "example", [("h2", "ratio", 20.0), ("nghttpd", "fraction", 0.25)]),
        ("HTTP/1.1 pipelined", H1_PIPED, ROUTE, "example", [("h11", "ratio", 10.0), ("httptools", "ratio", 1.0)]),
        ("HTTP/1.1 not pipelined", H1, ROUTE, "example", [("h11", "ratio", 10.0), ("httptools", "ratio", 1.0)]),
    ],
    "asgi": [
        ("ASGI over HTTP/2 (prior knowledge)", H2, ASGI_ROUTE, "example-asgi", [("hypercorn", "ratio", 15.0)]),
        ("ASGI over HTTP/1.1 not pipelined", H1, ASGI_ROUTE, "example-asgi",
         [("uvicorn", "ratio", 3.0), ("hypercorn-h1", "ratio", None)]),
    ],
}


def verdict(ours, theirs, kind, target) -> str:
    if not (isinstance(ours, tuple) and isinstance(theirs, tuple)):
        return "no ratio"
    cpu = f"; CPU/req {theirs[1] / ours[1]:.2f}x" if ours[1] > 0 else ""
    if kind == "fraction":
        share = ours[0] / theirs[0]
        met = "" if target is None else f" (target >= {target:.0%}: {'met' if share >= target else 'NOT met'})"
        return f"{share:.1%} of nghttpd reached{met}{cpu}"
    ratio = ours[0] / theirs[0]
    if target is None:
        return f"{ratio:.2f}x{cpu}"
    return f"{ratio:.2f}x (target >= {target:g}x: {'met' if ratio >= target else 'NOT met'}){cpu}"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", "--requests", type=int, default=50000, help="requests per load run (default 50000)")
    ap.add_argument("--repeat", type=int, default=2, help="load runs per server, best kept (default 2)")
    ap.add_argument("--only", choices=("all", "own", "asgi"), default="all",
                    help="the example server's own handlers, the ASGI rows, or both (default)")
    args = ap.parse_args()
    missing = [t for t in ("h2load", "nghttpd") if shutil.which(t) is None]
    if missing:
        print("missing tools: " + ", ".join(missing) + " (Debian: nghttp2-client, nghttp2-server)")
        return 2

    options = example_options()
    loops = ["asyncio"] + (["uvloop"] if have_uvloop() else [])
    sections = [s for key in ("own", "asgi") if args.only in ("all", key) for s in SECTIONS[key]]
    docroot = tempfile.mkdtemp(prefix="bench-servers-")
    try:
        (pathlib.Path(docroot) / "bytes").mkdir()
        (pathlib.Path(docroot) / "bytes" / "64").write_bytes(b"x" * BODY_SIZE)
        commands = {loop: server_commands(docroot, loop, options) for loop in loops}
        n = args.requests
        started = time.monotonic()
        print(f"GET {ROUTE} ({BODY_SIZE}-byte body) from our own handlers, GET {ASGI_ROUTE} (13-byte body) from "
              f"the ASGI app; {n} requests per run, best of {args.repeat}; loops: {', '.join(loops)}")
        if "MODULE:APP" not in options and args.only != "own":
            print("quillon takes no application argument: the ASGI sections show the peers only")
        for title, load, path, ours_name, peers in sections:
            print(f"\n{title}: h2load {' '.join(load)} -n {n}")
            print(f"  {'loop':<9}{'server':<22}{'req/s':>12}{'CPU us':>9}  example vs server")
            for loop in loops:
                servers = commands[loop]
                ours = measure(servers[ours_name], load, n, args.repeat, path) if ours_name in servers else None
                if ours is not None:
                    print(f"  {loop:<9}{LABELS[ours_name]:<22}{fmt_rate(ours)}")
                    if not isinstance(ours, tuple):
                        print(f"      {ours_name}: {ours}")
                for name, kind, target in peers:
                    if name not in servers:
                        continue
                    theirs = measure(servers[name], load, n, args.repeat, path)
                    print(f"  {loop:<9}{LABELS.get(name, name + ' peer'):<22}{fmt_rate(theirs)}  "
                          f"{verdict(ours, theirs, kind, target)}")
                    if not isinstance(theirs, tuple):
                        print(f"      {name}: {theirs}")
        print(f"\n({time.monotonic() - started:.0f}s)")
    finally:
        shutil.rmtree(docroot, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
