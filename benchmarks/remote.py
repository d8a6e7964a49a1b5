"""A shared store on S3-compatible object storage: requests and time per operation.

Run through `./dev bench --remote [--delay-ms MS] [--sizes N,N] [--json FILE]`.

moto's S3 server runs in a separate process (benchmarks/remote_server.py),
behind a proxy on loopback that holds every request for a fixed delay (20 ms by default) before passing it on,
so that round trips dominate as they do against a real service, and that
counts the requests where they arrive. Each configuration is measured by its
own client process, as a user's process would run: stores of 200 and 2,000
results with the module's batch path for fsspec stores (the default), and one
of 200 with every native path switched off (CORVINA_DISABLE_FAST_PATHS=1, the
literal walk through the path's own methods). All in one run, against the same
server, on stores filled the same way (two simulation types, files byte for
byte what a save writes).

Per configuration: save (a new identity), find hit, find miss (medians over
several calls), list all, a query matching 1% (benchmarks/queries.py), and
clear all (once: it empties the store). Request
counts are the proxy's, per call.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import statistics
import subprocess
import sys
import time
import uuid
from pathlib import Path
from typing import Any

from benchmarks import child_env, positive, positive_list, queries
from benchmarks.remote_server import Server, control, serve

BUCKET = "corvina-bench"
TYPES = ("sparameters", "modes")


def client_env(endpoint: str) -> dict[str, str]:
    env = dict(os.environ)
    env.update(
        AWS_ACCESS_KEY_ID="bench", AWS_SECRET_ACCESS_KEY="bench", AWS_DEFAULT_REGION="us-east-1",
        AWS_ENDPOINT_URL=endpoint, NO_PROXY="127.0.0.1", AWS_CONFIG_FILE="/nonexistent",
        AWS_SHARED_CREDENTIALS_FILE="/nonexistent",
    )
    for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL_S3", "CORVINA_DISABLE_FAST_PATHS"):
        env.pop(name, None)
    return env


# --- the stores --------------------------------------------------------------------


def identity(i: int) -> dict[str, Any]:
    from corvina.models import SimulationHyperparameters

    return {
        "component_name": "ring",
        "factory_name": "ring_single",
        "component_settings": {"radius": 10.0, "gap": 0.1 + i * 1e-4},
        "model_parameters": {"neff": 2.4},
        "hyperparameters": SimulationHyperparameters(wavelength_points=51),
        "simulation_type": TYPES[i % len(TYPES)],
    }


def fill(prefix: str, n: int) -> None:
    """n results, written as a save writes them (concurrently, untimed)."""
    import orjson
    import s3fs

    from corvina.core import simulation_storage as store
    from corvina.models import StoredSimulationResult

    files = {}
    for i in range(n):
        ident = identity(i)
        sid = store._compute_simulation_id(**ident)
        record = StoredSimulationResult(
            **ident, simulation_id=sid, pdk_name="generic", pdk_version="1.0",
            simulation_date=f"2026-01-01T00:{i // 60 % 60:02d}:{i % 60:02d}+00:00",
            corvina_version="bench", result={"s21": [0.5 + 1e-3 * k for k in range(51)]},
            wavelengths=[1.5 + 0.002 * k for k in range(51)], execution_time_seconds=12.0,
            status="success", error_message="",
        )
        key = f"{BUCKET}/{prefix}/{ident['simulation_type']}/{ident['component_name']}_{sid}.json"
        files[key] = orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2)
    fs = s3fs.S3FileSystem(skip_instance_cache=True)
    fs.pipe(files)


# --- the client side: one configuration, as a user's process runs it ---------------


def run_client(endpoint: str, prefix: str, n: int, repeats: int) -> dict[str, Any]:
    os.environ["CORVINA_SIMULATIONS_DIR"] = f"s3://{BUCKET}/{prefix}"
    logging.getLogger("corvina").setLevel(logging.WARNING)
    from corvina.core import simulation_storage as store

    def measure(call: Any) -> tuple[float, dict[str, int], Any]:
        control(endpoint, "reset")
        t0 = time.perf_counter()
        value = call()
        elapsed = time.perf_counter() - t0
        return elapsed, control(endpoint, "stats")["counts"], value

    out: dict[str, Any] = {}

    def record(op: str, samples: list[tuple[float, dict[str, int], Any]]) -> None:
        out[op] = {
            "seconds": statistics.median(s[0] for s in samples),
            "requests": statistics.median(sum(s[1].values()) for s in samples),
            "by_kind": samples[len(samples) // 2][1],
            "samples": len(samples),
        }

    outcome = {"result": {"s21": [0.5]}, "wavelengths": [1.55], "execution_time_seconds": 1.0}
    store.find_simulation_result(**identity(0))  # a session has made its first call
    saves = [measure(lambda i=i: store.save_simulation_result(**identity(n + i), **outcome))
             for i in range(repeats)]
    record("save", saves)
    for i in range(repeats):  # restore the store's size, untimed
        store.delete_simulation_result(saves[i][2].simulation_id)
    hits = [measure(lambda i=i: store.find_simulation_result(**identity(i * 7 % n))) for i in range(repeats)]
    assert all(h[2] is not None for h in hits)
    record("find hit", hits)
    misses = [measure(lambda i=i: store.find_simulation_result(**identity(10 * n + i))) for i in range(repeats)]
    assert all(m[2] is None for m in misses)
    record("find miss", misses)
    listed = [measure(store.list_simulation_results) for _ in range(max(1, repeats // 3))]
    assert all(len(s[2]) == n for s in listed)
    record("list", listed)
    queried = [measure(lambda: queries.remote_query(store, n)) for _ in range(max(1, repeats // 3))]
    record("query", queried)
    cleared = measure(store.clear_simulation_results)
    assert cleared[2] == n, cleared[2]
    record("clear", [cleared])
    return out


# --- the run -------------------------------------------------------------------------


def parse(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--delay-ms", type=float, default=20.0, help="delay per request (default 20)")
    parser.add_argument("--sizes", type=positive_list, default=[200, 2000],
                        help="store sizes with the batch path (default 200,2000)")
    parser.add_argument("--off-size", type=positive, default=200, help="store size with native paths off (default 200)")
    parser.add_argument("--repeats", type=positive, default=7, help="calls per lookup and save (medians)")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--client", nargs=3, metavar=("ENDPOINT", "PREFIX", "N"), help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def measure_config(server: Server, n: int, fast: str, args: argparse.Namespace) -> dict[str, Any]:
    """A store of n results, measured by a client process of its own."""
    prefix = f"bench-{uuid.uuid4().hex[:8]}/simulations"
    server.control("delay?ms=0")
    fill(prefix, n)
    server.control(f"delay?ms={args.delay_ms}")
    env = client_env(server.endpoint)
    if fast == "off":
        env["CORVINA_DISABLE_FAST_PATHS"] = "1"
    t0 = time.perf_counter()
    proc = subprocess.run(
        [sys.executable, "-m", "benchmarks.remote", "--client", server.endpoint, prefix, str(n),
         "--repeats", str(args.repeats)],
        env=child_env(env), capture_output=True, text=True,
    )
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        raise SystemExit(f"the client for {n} results (fast path {fast}) failed")
    ops = json.loads(proc.stdout.strip().splitlines()[-1])
    print(f"  {n:>5} results, fast path {fast}: measured in {time.perf_counter() - t0:.1f} s")
    return {"results": n, "fast_path": fast, "ops": ops}


def print_table(results: list[dict[str, Any]]) -> None:
    print()
    print(f"{'operation':<10} {'results':>7} {'fast path':>9} {'requests':>9} {'per result':>10} {'time':>10}  requests by kind")
    for r in results:
        for op, fig in r["ops"].items():
            per = f"{fig['requests'] / r['results']:.3f}" if op in ("list", "query", "clear") else ""
            kinds = ", ".join(f"{k} {v}" for k, v in sorted(fig["by_kind"].items()))
            print(f"{op:<10} {r['results']:>7} {r['fast_path']:>9} {fig['requests']:>9g} {per:>10} "
                  f"{fig['seconds'] * 1000:>8.1f} ms  {kinds}")


def checks(results: list[dict[str, Any]], sizes: list[int], off_size: int) -> list[tuple[str, Any, bool]]:
    def fig(n: int, fast: str, op: str) -> dict[str, Any] | None:
        for r in results:
            if r["results"] == n and r["fast_path"] == fast:
                return r["ops"][op]
        return None

    out = []
    for n in sorted(set(sizes)):
        allowance = max(0, (n - 1) // 1000)  # one more listing request per further thousand
        h, m = fig(n, "on", "find hit"), fig(n, "on", "find miss")
        out.append((f"find hit at {n}: <= {3 + allowance} requests", h["requests"], h["requests"] <= 3 + allowance))
        out.append((f"find miss at {n}: <= {2 + allowance} requests", m["requests"], m["requests"] <= 2 + allowance))
        s = fig(n, "on", "save")
        # One PUT; the first save of a type in a process also asks for the bucket.
        out.append((f"save at {n}: <= 2 requests", s["requests"], s["requests"] <= 2))
    big = max(sizes)
    for op, limit in (("list", 1.1), ("query", 1.1), ("clear", 1.2)):
        per = fig(big, "on", op)["requests"] / big
        out.append((f"{op} at {big}: <= {limit} requests per result", round(per, 3), per <= limit))
    for op, factor in (("list", 8), ("clear", 10)):
        on, off = fig(off_size, "on", op), fig(off_size, "off", op)
        if on and off:
            ratio = off["seconds"] / on["seconds"]
            out.append((f"{op} at {off_size}: >= {factor}x faster than with the fast path off",
                        f"{ratio:.1f}x", ratio >= factor))
    return out


def main(argv: list[str] | None = None) -> int:
    args = parse(argv)
    if args.serve:
        serve(args.delay_ms)
        return 0
    if args.client:
        endpoint, prefix, n = args.client
        print(json.dumps(run_client(endpoint, prefix, int(n), args.repeats)))
        return 0

    configs = [(n, "on") for n in args.sizes] + [(args.off_size, "off")]
    server = Server(args.delay_ms)
    results = []
    try:
        os.environ.update({k: v for k, v in client_env(server.endpoint).items() if k.startswith(("AWS_", "NO_"))})
        import s3fs

        s3fs.S3FileSystem(skip_instance_cache=True).mkdir(BUCKET)
        print(f"moto's S3 server in a separate process, behind a proxy adding {args.delay_ms:g} ms per request")
        results = [measure_config(server, n, fast, args) for n, fast in configs]
    finally:
        server.stop()

    print_table(results)
    print()
    print("targets:")
    for text, value, ok in checks(results, args.sizes, args.off_size):
        print(f"  {'met' if ok else 'NOT MET':<8} {text}: {value}")
    if args.json:
        Path(args.json).write_text(json.dumps({"delay_ms": args.delay_ms, "runs": results}, indent=2) + "\n")
        print(f"  figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
