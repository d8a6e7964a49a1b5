"""Queries against the listing, side by side: ./dev python benchmarks/query_ratios.py

A local store of N results (default 10,000; the benchmark's records, about
15 KB each) under /tmp. Each round runs, one after the other: the listing;
the listing followed by a query's test in Python (1% of the store, then
everything); the module's query for the same; and a query without a
condition. Ratios are taken per round, from the process's CPU time (set
QCPU=0 for wall time), and their median and range over the rounds printed.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
import run as bench  # noqa: E402

from corvina.core import simulation_storage as storage  # noqa: E402

N = int(os.environ.get("QN", "10000"))
ROUNDS = int(os.environ.get("QR", "9"))
CLOCK = time.process_time if os.environ.get("QCPU", "1") == "1" else time.perf_counter


def make_store() -> pathlib.Path:
    root = pathlib.Path(tempfile.gettempdir()) / f"corvina-query-ratios-{N}"
    if (root / ".complete").exists():
        return root
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir()
    for i in range(N):
        sid = bench.compute_id(i, 5)
        data = bench.record_data(i, 5, sid)
        d = root / data["simulation_type"]
        d.mkdir(exist_ok=True)
        bench.write_file(str(d / f"{data['component_name']}_{sid}.json"), bench.encode(data))
    (root / ".complete").touch()
    return root


def main() -> None:
    root = make_store()
    storage.get_simulations_dir = lambda: root
    # Radii grow with the index: a range that holds 1% of the store.
    lo, hi = 5.0 + 0.001 * (N // 2), 5.0 + 0.001 * (N // 2 + N // 100) - 0.0005
    one_percent = {"component_settings.radius": {"$gte": lo, "$lt": hi}}
    everything = {"status": {"$in": ["success", "error"]}}

    def in_one_percent(r):
        v = r.component_settings.get("radius")
        return isinstance(v, (int, float)) and not isinstance(v, bool) and lo <= v < hi

    cases = {
        "list": lambda: storage.list_simulation_results(),
        "list + test, 1%": lambda: [r for r in storage.list_simulation_results() if in_one_percent(r)],
        "query, 1%": lambda: storage.query_simulation_results(where=one_percent),
        "list + test, all": lambda: [r for r in storage.list_simulation_results()
                                     if r.status.value in ("success", "error")],
        "query, all": lambda: storage.query_simulation_results(where=everything),
        "query, no condition": lambda: storage.query_simulation_results(),
    }
    assert len(cases["query, 1%"]()) == len(cases["list + test, 1%"]()) == N // 100
    times: dict[str, list[float]] = {k: [] for k in cases}
    for _ in range(ROUNDS):
        for name, call in cases.items():
            t = CLOCK()
            call()
            times[name].append(CLOCK() - t)
    for name, values in times.items():
        print(f"{name:22s} {statistics.median(values) * 1e3:8.1f} ms")

    def ratio(a: str, b: str) -> str:
        rs = sorted(x / y for x, y in zip(times[a], times[b]))
        return f"{statistics.median(rs):.2f}x (rounds {rs[0]:.2f}-{rs[-1]:.2f})"

    print("1%:  list + test / query  ", ratio("list + test, 1%", "query, 1%"))
    print("all: query / list         ", ratio("query, all", "list"))
    print("all: query / list + test  ", ratio("query, all", "list + test, all"))
    print("no condition: query / list", ratio("query, no condition", "list"))


if __name__ == "__main__":
    main()
