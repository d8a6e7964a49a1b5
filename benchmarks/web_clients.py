"""Many scripts asking the results browser's JSON API at once: no browser,
only the server's answers, their latencies and the server's memory
(part of `./dev bench --web`, see benchmarks/web.py)."""

from __future__ import annotations

import concurrent.futures
import random
import statistics
import threading
import time
import urllib.parse
from typing import Any, Protocol


class ServedStore(Protocol):
    def get(self, path: str) -> tuple[int, bytes]: ...
    def memory(self) -> dict[str, int]: ...


def clients(server: ServedStore, n: int, count: int = 20, each: int = 10) -> dict[str, Any]:
    paths = []
    for i in range(count * each):
        sort = random.choice(["", "component_settings.gap", "-component_settings.radius"])
        offset = random.randrange(0, max(1, n - 50))
        where = random.choice(["", "status=success", f"component_settings.radius>={5 + (i % 7) * (n // 700 or 1)}"])
        paths.append("/api/results?" + urllib.parse.urlencode({"sort": sort, "offset": offset, "where": where}))
    latencies: list[float] = []
    errors = 0
    peak = {"VmRSS": 0}
    lock = threading.Lock()
    stop = threading.Event()

    def watch() -> None:
        while not stop.is_set():
            rss = server.memory().get("VmRSS", 0)
            peak["VmRSS"] = max(peak["VmRSS"], rss)
            time.sleep(0.05)

    def ask(path: str) -> None:
        nonlocal errors
        start = time.monotonic()
        try:
            status, _ = server.get(path)
        except OSError:
            status = 0
        with lock:
            latencies.append((time.monotonic() - start) * 1000)
            errors += status != 200

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(count) as pool:
        list(pool.map(ask, paths))
    wall = time.monotonic() - started
    stop.set()
    watcher.join()
    latencies.sort()
    return {"requests": len(paths), "errors": errors, "wall_s": round(wall, 2),
            "p50_ms": round(statistics.median(latencies), 1),
            "p95_ms": round(latencies[int(0.95 * (len(latencies) - 1))], 1),
            "max_ms": round(latencies[-1], 1), "peak_rss_mib": peak["VmRSS"], **server.memory()}
