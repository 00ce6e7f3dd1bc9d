"""Whole servers under load: h2load requests per second and server CPU time
per request against the example server (`python -m quillon` on `_quillon`)
and against peers, all measured in this run on this machine.

    QUILLON_BUILD_DIR=build/dev python benchmarks/bench_servers.py

Every server runs alone as a subprocess on a free loopback port, gets a
short warm-up load and then the measured runs (best of two); every request
must succeed with a 2xx or the row is reported as failed, with the reason.

Our own handlers: GET /bytes/64 (a 64-byte body), 10 connections,
  HTTP/2            h2load -n 50000 -c 10 -m 10   (10 streams per connection)
  HTTP/1.1 piped    h2load --h1 -n 50000 -c 10 -m 10   (10 requests in flight)
  HTTP/1.1          h2load --h1 -n 50000 -c 10 -m 1
against peers of the same asyncio design on h2, h11 and httptools (which
collects every header field, as a real server must), and nghttpd as the
native HTTP/2 ceiling (one worker, the same 64 bytes from a static file at
bytes/64 under a temporary document root).

The ASGI rows run one bare ASGI application (benchmarks/peers/asgi_app.py:
GET / answers 13 bytes) on the example server (`quillon asgi_app:app`,
access log off), on uvicorn (httptools, access log off), on hypercorn
(HTTP/1.1, and HTTP/2 with prior knowledge) and on granian (one worker
process, one runtime thread, WebSocket off, its access log off by default;
`--http 1` for the HTTP/1.1 row, `--http 2` with prior knowledge for the
HTTP/2 one):
  ASGI HTTP/2       h2load -c 10 -m 10
  ASGI HTTP/1.1     h2load --h1 -c 10 -m 1
h2load cannot read hypercorn's HTTP/1.1 status line (it has no reason
phrase, so the status is never reported to h2load): that row counts
requests answered without error instead of 2xx statuses.

Every row is measured on the standard asyncio loop and, when uvloop is
installed, again on uvloop (hypercorn as its uvloop worker class, granian
as `--loop uvloop`); ratios compare servers on the same loop. nghttpd runs
once. The example server's own handlers run as shipped, their per-request
access log line included (the 'quillon.access' logger, written to
/dev/null); the peers log nothing.

Beside requests per second each row shows the server's CPU time per request
(user plus system of the process and its live descendants, microseconds,
over the measured runs), and each peer's line both ratios, higher meaning
better for us: our req/s over the peer's, and the peer's CPU per request
over ours ("CPU/req 2.00x": we spend half as much). On a loaded machine the
rates swing with the other work on the cores; the CPU figures much less.

Targets (in SECTIONS below), each judged on one of the two ratios:
  HTTP/2            req/s >= 20x the h2 peer, >= 1/3 of nghttpd
  HTTP/1.1 (both)   req/s >= 10x the h11 peer; CPU/req no more than the
                    httptools peer's (ratio >= 1)
  ASGI HTTP/2       req/s >= 15x hypercorn, >= granian
  ASGI HTTP/1.1     CPU/req at most 2/3 of uvicorn's (ratio >= 1.5),
                    req/s >= granian; hypercorn for information"""

import argparse
import importlib.util
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


def have_uvloop() -> bool:
    return importlib.util.find_spec("uvloop") is not None


def server_commands(docroot: str, loop: str) -> dict:
    """name -> (argv, env, statusless) of every server that runs on `loop`;
    a server missing from the dict has no row on that loop."""
    py = sys.executable
    asyncio_loop = loop == "asyncio"
    peers_env = dict(tool_env(), PYTHONPATH=str(PEERS))
    example = [py, "-m", "quillon", "--port", "{port}", "--loop", loop]
    example_asgi_env = example_env()
    example_asgi_env["PYTHONPATH"] = os.pathsep.join([str(PEERS), example_asgi_env["PYTHONPATH"]])
    servers = {
        "example": (example, example_env(), False),
        "example-asgi": (example + [ASGI_APP, "--no-access-log"], example_asgi_env, False),
    }
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
    # One worker process with one runtime thread: one event loop serves, as
    # in every other server here. Its access log is off by default.
    granian = [py, "-m", "granian", ASGI_APP, "--interface", "asgi", "--host", "127.0.0.1", "--port", "{port}",
               "--workers", "1", "--runtime-threads", "1", "--loop", loop, "--no-ws", "--log-level", "warning"]
    servers["granian"] = (granian + ["--http", "2"], peers_env, False)
    servers["granian-h1"] = (granian + ["--http", "1"], peers_env, False)
    return servers


LABELS = {"example": "example (_quillon)", "example-asgi": "example --asgi", "nghttpd": "nghttpd (native)",
          "uvicorn": "uvicorn (httptools)", "hypercorn": "hypercorn", "hypercorn-h1": "hypercorn",
          "granian": "granian", "granian-h1": "granian"}

H2 = ["-c", "10", "-m", "10"]
H1_PIPED = ["--h1", "-c", "10", "-m", "10"]
H1 = ["--h1", "-c", "10", "-m", "1"]

# Each peer's two ratios, both higher when we do better: our req/s over
# the peer's, and the peer's CPU time per request over ours. A short run
# can see no CPU tick at all for a server: no CPU ratio then.
RATIOS = {
    "req/s": lambda ours, theirs: ours[0] / theirs[0],
    "CPU/req": lambda ours, theirs: theirs[1] / ours[1] if ours[1] > 0 and theirs[1] > 0 else None,
}

# (title, h2load flags, path, our server, [(peer, ratio the target is on, target)]);
# a peer without a target is there for information.
SECTIONS = {
    "own": [
        ("HTTP/2 (prior knowledge)", H2, ROUTE, "example",
         [("h2", "req/s", 20.0), ("nghttpd", "req/s", 1 / 3)]),
        ("HTTP/1.1 pipelined", H1_PIPED, ROUTE, "example",
         [("h11", "req/s", 10.0), ("httptools", "CPU/req", 1.0)]),
        ("HTTP/1.1 not pipelined", H1, ROUTE, "example",
         [("h11", "req/s", 10.0), ("httptools", "CPU/req", 1.0)]),
    ],
    "asgi": [
        ("ASGI over HTTP/2 (prior knowledge)", H2, ASGI_ROUTE, "example-asgi",
         [("hypercorn", "req/s", 15.0), ("granian", "req/s", 1.0)]),
        ("ASGI over HTTP/1.1 not pipelined", H1, ASGI_ROUTE, "example-asgi",
         [("uvicorn", "CPU/req", 1.5), ("granian-h1", "req/s", 1.0), ("hypercorn-h1", None, None)]),
    ],
}


def verdict(ours, theirs, on, target) -> str:
    if not (isinstance(ours, tuple) and isinstance(theirs, tuple)):
        return "no ratio"
    ratios = {name: ratio(ours, theirs) for name, ratio in RATIOS.items()}
    line = ", ".join(f"{name} {r:.2f}x" for name, r in ratios.items() if r is not None)
    if on is None:
        return line
    met = "no ratio" if ratios[on] is None else "met" if ratios[on] >= target else "NOT met"
    return f"{line} (target {on} >= {target:.3g}x: {met})"


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

    loops = ["asyncio"] + (["uvloop"] if have_uvloop() else [])
    sections = [s for key in ("own", "asgi") if args.only in ("all", key) for s in SECTIONS[key]]
    docroot = tempfile.mkdtemp(prefix="bench-servers-")
    try:
        (pathlib.Path(docroot) / "bytes").mkdir()
        (pathlib.Path(docroot) / "bytes" / "64").write_bytes(b"x" * BODY_SIZE)
        commands = {loop: server_commands(docroot, loop) for loop in loops}
        n = args.requests
        started = time.monotonic()
        print(f"GET {ROUTE} ({BODY_SIZE}-byte body) from our own handlers, GET {ASGI_ROUTE} (13-byte body) from "
              f"the ASGI app; {n} requests per run, best of {args.repeat}; loops: {', '.join(loops)}")
        for title, load, path, ours_name, peers in sections:
            print(f"\n{title}: h2load {' '.join(load)} -n {n}")
            print(f"  {'loop':<9}{'server':<22}{'req/s':>12}{'CPU us':>9}  example vs server")
            for loop in loops:
                servers = commands[loop]
                ours = measure(servers[ours_name], load, n, args.repeat, path)
                print(f"  {loop:<9}{LABELS[ours_name]:<22}{fmt_rate(ours)}")
                if not isinstance(ours, tuple):
                    print(f"      {ours_name}: {ours}")
                for name, on, target in peers:
                    if name not in servers:
                        continue
                    theirs = measure(servers[name], load, n, args.repeat, path)
                    print(f"  {loop:<9}{LABELS.get(name, name + ' peer'):<22}{fmt_rate(theirs)}  "
                          f"{verdict(ours, theirs, on, target)}")
                    if not isinstance(theirs, tuple):
                        print(f"      {name}: {theirs}")
        print(f"\n({time.monotonic() - started:.0f}s)")
    finally:
        shutil.rmtree(docroot, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
