"""Whole servers under load: h2load requests per second against the example
server (examples/server.py on `_quillon`) and against peers of the same
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

Targets: the example server at least 20x the h2 peer, 10x the h11 peer and
2x the httptools peer; the fraction of nghttpd reached is reported.

The example server runs as shipped, its per-request log line included
(written to /dev/null); the peers log nothing."""

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


def h2load(port: int, load: list, n: int) -> float:
    """Requests per second of one bounded h2load run; raises unless every
    request succeeded with a 2xx."""
    cmd = ["h2load", *load, "-n", str(n), f"http://127.0.0.1:{port}{ROUTE}"]
    try:
        r = subprocess.run(cmd, capture_output=True, timeout=H2LOAD_TIMEOUT, env=tool_env())
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"h2load took over {H2LOAD_TIMEOUT}s")
    out = r.stdout
    rate, counts, ok = FINISHED.search(out), REQUESTS.search(out), STATUS.search(out)
    if r.returncode != 0 or not (rate and counts and ok):
        raise RuntimeError("h2load failed: " + (r.stderr or out).decode(errors="replace").strip()[-300:])
    total, succeeded = int(counts[1]), int(counts[2])
    if not total == succeeded == int(ok[1]) == n:
        raise RuntimeError(f"{succeeded} of {n} requests succeeded, {int(ok[1])} with a 2xx")
    return float(rate[1])


def measure(argv, env, load, n, repeat):
    """Best requests/s over `repeat` runs on one fresh server, or the error."""
    try:
        with Running(argv, env) as server:
            h2load(server.port, load, min(WARMUP, n))
            return max(h2load(server.port, load, n) for _ in range(repeat))
    except (RuntimeError, OSError) as e:
        return str(e)


def fmt_rate(v) -> str:
    return f"{v:>12,.0f}" if isinstance(v, float) else f"{'failed':>12}"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", "--requests", type=int, default=50000, help="requests per load run (default 50000)")
    ap.add_argument("--repeat", type=int, default=2, help="load runs per server, best kept (default 2)")
    args = ap.parse_args()
    missing = [t for t in ("h2load", "nghttpd") if shutil.which(t) is None]
    if missing:
        print("missing tools: " + ", ".join(missing) + " (Debian: nghttp2-client, nghttp2-server)")
        return 2

    py = sys.executable
    example = [py, str(ROOT / "examples" / "server.py"), "--port", "{port}"]
    docroot = tempfile.mkdtemp(prefix="bench-servers-")
    try:
        (pathlib.Path(docroot) / "bytes").mkdir()
        (pathlib.Path(docroot) / "bytes" / "64").write_bytes(b"x" * BODY_SIZE)
        servers = {
            "example": (example, example_env()),
            "h2": ([py, str(PEERS / "peer_h2.py"), "--port", "{port}"], tool_env()),
            "h11": ([py, str(PEERS / "peer_h11.py"), "--port", "{port}"], tool_env()),
            "httptools": ([py, str(PEERS / "peer_httptools.py"), "--port", "{port}"], tool_env()),
            # One worker (its default): the native ceiling of one process.
            "nghttpd": (["nghttpd", "--no-tls", "-a", "127.0.0.1", "-d", docroot, "{port}"], tool_env()),
        }
        n = args.requests
        sections = [
            ("HTTP/2 (prior knowledge)", ["-c", "10", "-m", "10"],
             [("h2", "ratio", 20.0), ("nghttpd", "fraction", None)]),
            ("HTTP/1.1 pipelined", ["--h1", "-c", "10", "-m", "10"],
             [("h11", "ratio", 10.0), ("httptools", "ratio", 2.0)]),
            ("HTTP/1.1 not pipelined", ["--h1", "-c", "10", "-m", "1"],
             [("h11", "ratio", 10.0), ("httptools", "ratio", 2.0)]),
        ]
        started = time.monotonic()
        print(f"GET {ROUTE} ({BODY_SIZE}-byte body), {n} requests per run, best of {args.repeat}")
        for title, load, peers in sections:
            flags = " ".join(load)
            ours = measure(*servers["example"], load, n, args.repeat)
            print(f"\n{title}: h2load {flags} -n {n}")
            print(f"  {'server':<22}{'req/s':>12}  example vs server")
            print(f"  {'example (_quillon)':<22}{fmt_rate(ours)}")
            for name, kind, target in peers:
                theirs = measure(*servers[name], load, n, args.repeat)
                label = f"{name} peer" if name != "nghttpd" else "nghttpd (native)"
                if isinstance(ours, float) and isinstance(theirs, float):
                    if kind == "fraction":
                        verdict = f"{ours / theirs:.1%} of nghttpd reached"
                    else:
                        ratio = ours / theirs
                        verdict = f"{ratio:.2f}x (target >= {target:g}x: {'met' if ratio >= target else 'NOT met'})"
                else:
                    verdict = "no ratio"
                print(f"  {label:<22}{fmt_rate(theirs)}  {verdict}")
                if not isinstance(theirs, float):
                    print(f"      {name}: {theirs}")
            if not isinstance(ours, float):
                print(f"      example: {ours}")
        print(f"\n({time.monotonic() - started:.0f}s)")
    finally:
        shutil.rmtree(docroot, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
