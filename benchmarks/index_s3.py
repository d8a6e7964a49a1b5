"""The result index on a store on S3: requests and time of cold and warm
queries, with the index and without it.

    ./dev bench --ops index --s3 [--sizes 10000] [--quick] [--json FILE]

moto's S3 server runs in a process of its own, behind the counting proxy of
benchmarks/remote_server.py (no added delay: times are this machine's,
requests are what a distant service would be sent). The store is filled as
benchmarks/remote.py fills it (two simulation types, records of 51
wavelengths). Each configuration runs in a fresh client process, index on
(the default) and off (CORVINA_DISABLE_RESULT_INDEX=1): the process's first query (cold: it has
read nothing yet), the median of the calls of each query after it (warm,
nothing changed; without the index, where every call reads every object,
two queries once each), and a call after another writer replaced 10
objects, removed 5 and added 5.
"""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import time
import uuid
from typing import Any

from benchmarks import child_env
from benchmarks.remote import BUCKET, client_env, fill
from benchmarks.remote_server import Server

CLIENT = r"""
import json, logging, statistics, sys, time
import orjson, s3fs
from benchmarks.remote_server import control
from benchmarks.remote import BUCKET, identity
endpoint, prefix, n, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
logging.getLogger("corvina").setLevel(logging.WARNING)
import os
os.environ["CORVINA_SIMULATIONS_DIR"] = f"s3://{BUCKET}/{prefix}"
from corvina.core import simulation_storage as store

def gap_query(fraction):
    count = max(1, round(n * fraction)); first = n // 2
    lo, hi = 0.1 + (first - 0.5) * 1e-4, 0.1 + (first + count - 0.5) * 1e-4
    return {"component_settings.gap": {"$gte": lo, "$lt": hi}}, count

q01, c01 = gap_query(0.001)
q1, c1 = gap_query(0.01)
calls = {
    "0.1% query": (lambda: store.query_simulation_results(where=q01), c01),
    "1% query": (lambda: store.query_simulation_results(where=q1), c1),
    "fields table": (lambda: store.query_simulation_results(fields=["component_settings.gap", "status"]), n),
    "count": (lambda: store.count_simulation_results(status="success"), n),
}

def measured(call):
    control(endpoint, "reset")
    t0 = time.perf_counter()
    value = call()
    elapsed = time.perf_counter() - t0
    return elapsed * 1e3, sum(control(endpoint, "stats")["counts"].values()), value

def size(value):
    return value if isinstance(value, int) else len(value)

out = {}
if os.environ.get("CORVINA_DISABLE_RESULT_INDEX") == "1":
    # Every call reads every object: two kinds of query, one call after the first.
    calls = {k: calls[k] for k in ("0.1% query", "count")}
    rounds = 1
for name, (call, expected) in calls.items():
    ms, req, value = measured(call)
    assert size(value) == expected, (name, size(value), expected)
    warm = [measured(call) for _ in range(rounds)]
    out[name] = {"warm ms": statistics.median(w[0] for w in warm),
                 "warm requests": statistics.median(w[1] for w in warm)}
    if not out.get("first query"):
        out["first query"] = {"cold ms": ms, "cold requests": req}

# Another writer: 10 objects replaced, 5 removed, 5 added.
fs = s3fs.S3FileSystem(skip_instance_cache=True)
keys = sorted(k for k in fs.find(f"{BUCKET}/{prefix}") if k.endswith(".json"))
for key in keys[:10]:
    data = orjson.loads(fs.cat_file(key)); data["execution_time_seconds"] += 1
    fs.pipe_file(key, orjson.dumps(data, option=orjson.OPT_INDENT_2))
fs.rm(keys[10:15])
for key in keys[15:20]:
    fs.pipe_file(key + ".new.json", fs.cat_file(key))
ms, req, value = measured(calls["count"][0])
out["count after 10 replaced, 5 removed, 5 added"] = {"warm ms": ms, "warm requests": req}
print(json.dumps(out))
"""


def run_client(endpoint: str, prefix: str, n: int, rounds: int, index: bool) -> dict[str, Any]:
    env = client_env(endpoint)
    env["CORVINA_DISABLE_RESULT_INDEX"] = "0" if index else "1"
    proc = subprocess.run([sys.executable, "-c", CLIENT, endpoint, prefix, str(n), str(rounds)],
                          env=child_env(env), capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        raise SystemExit(f"the S3 client for {n} results (index {'on' if index else 'off'}) failed")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_s3(sizes: list[int], quick: bool, json_path: str | None = None) -> list[dict[str, Any]]:
    import os

    server = Server(0)
    figures = []
    try:
        os.environ.update({k: v for k, v in client_env(server.endpoint).items() if k.startswith(("AWS_", "NO_"))})
        import s3fs

        s3fs.S3FileSystem(skip_instance_cache=True).mkdir(BUCKET)
        for n in sizes:
            prefix = f"index-{uuid.uuid4().hex[:8]}/simulations"
            t0 = time.monotonic()
            fill(prefix, n)
            print(f"\n  S3 store of {n:,} results written in {time.monotonic() - t0:.0f} s", flush=True)
            rounds = 3 if quick else 7
            fig = {"n": n, "on": run_client(server.endpoint, prefix, n, rounds, True),
                   "off": run_client(server.endpoint, prefix, n, rounds, False)}
            figures.append(fig)
            report(fig)
    finally:
        server.stop()
    if json_path:
        with open(json_path, "w") as f:
            json.dump(figures, f, indent=2)
    return figures


def report(fig: dict[str, Any]) -> None:
    n = fig["n"]
    print(f"\n  S3, {n:,} results (moto in its own process; requests counted at the server)")
    print(f"  {'':<46}{'index: requests':>16}{'ms':>9}   {'no index: requests':>19}{'ms':>9}")
    for name, on in fig["on"].items():
        off = fig["off"].get(name, {})
        for when in ("cold", "warm"):
            if f"{when} ms" not in on:
                continue
            line = f"  {when + ' ' + name:<46}{on[f'{when} requests']:>16g}{on[f'{when} ms']:>9.1f}   "
            if f"{when} ms" in off:
                line += f"{off[f'{when} requests']:>19g}{off[f'{when} ms']:>9.1f}"
            print(line)
    most = max(v["warm requests"] for k, v in fig["on"].items() if "after" not in k and "warm requests" in v)
    limit = (n - 1) // 1000 + 1
    print(f"  {'met ' if most <= limit else 'MISS'} a warm query at {n:,} costs only the listing "
          f"(<= {limit} requests): {most:g}")
