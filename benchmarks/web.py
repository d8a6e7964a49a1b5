"""The results browser, measured in the browser: `./dev bench --web`.

`corvina-sims serve` runs in its own process over a store of N results (each
with two spectra of 401 wavelengths, written directly, byte for byte what a
save writes); headless Chromium loads the page and the figures are the
page's own Performance API entries, read back through Selenium:

  first table paint   navigation start to the first table painted
                      (`corvina:table`), after a change in the store (the
                      server's answer is not cached) and unchanged (cached)
  changed query       submit of a new query to the updated table painted
                      (`corvina:table`), a different query every round
  overlay             the request of N results' spectra to their curves
                      painted (`corvina:overlay`), and the drawing alone
                      (`corvina:overlay-draw`)
  live                a result saved by this process, a claim taken and
                      released by another process, until the page shows it
                      (looked for every 20 ms)
  20 clients          20 threads asking /api/results at once; errors,
                      latency and the server's memory (VmRSS, VmHWM)

    ./dev bench --web [--sizes 1000,10000] [--rounds 5] [--json FILE] [--keep]
    ./dev bench --web --store DIR [--only overlay,live] ...

`--store DIR` measures a store built before (`build_store`, or a copy of
one): building 100,000 results takes minutes. The benchmark writes into it
(a result rewritten with its own bytes, the live scenario's saves and
claims), so give it a copy. `--only` picks scenarios (table, query,
overlay, live, clients).
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path
from typing import Any

import orjson

from benchmarks import REPO, child_env, positive, positive_list
from benchmarks.web_clients import clients

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
POINTS = 401
WAVELENGTHS = [round(1.5 + 0.1 * j / (POINTS - 1), 6) for j in range(POINTS)]
SCENARIOS = ("table", "query", "overlay", "live", "clients")
TARGETS_MS = {
    ("first table paint, store changed", 10_000): 1000,
    ("first table paint, unchanged", 10_000): 1000,
    ("changed query, 1% match", 10_000): 300,
    ("changed query, 98% match", 10_000): 300,
    ("changed query, 1% match", 100_000): 500,
    ("overlay 50 x 401", None): 300,
    ("overlay 500 x 401", None): 1500,
    ("saved result in the table", None): 5000,
    ("claim in the panel", None): 5000,
    ("claim out of the panel", None): 5000,
}


# --- the store ------------------------------------------------------------------------------


def _point(i: int) -> dict[str, Any]:
    return {
        "component_name": "ring",
        "factory_name": "rings.ring",
        "component_settings": {"gap": round(0.05 + 0.005 * (i % 100), 4), "radius": 5 + i // 100,
                               "width": 0.5},
        "model_parameters": {"n_eff": 2.4},
        "simulation_type": "transmission",
    }


def build_store(root: Path, n: int) -> None:
    from datetime import UTC, datetime, timedelta

    import corvina
    from corvina.core import simulation_storage as storage
    from corvina.models import SimulationHyperparameters, StoredSimulationResult

    hp = SimulationHyperparameters(wavelength_points=POINTS, solver="analytic")
    (root / "transmission").mkdir(parents=True, exist_ok=True)
    base = datetime(2026, 1, 1, tzinfo=UTC)
    shape = [1 / (1 + ((j - 200) / 6) ** 2) for j in range(POINTS)]
    for i in range(n):
        p = _point(i)
        sid = storage._compute_simulation_id(p["component_name"], p["factory_name"], p["component_settings"],
                                              p["model_parameters"], hp, p["simulation_type"])
        shift = (i * 7) % 150 - 75
        drop = [round(0.9 * shape[min(POINTS - 1, max(0, j - shift))], 6) for j in range(POINTS)]
        error = i % 50 == 49
        data = {
            "component_name": p["component_name"], "factory_name": p["factory_name"],
            "component_settings": p["component_settings"], "model_parameters": p["model_parameters"],
            "hyperparameters": hp.model_dump(), "simulation_type": p["simulation_type"],
            "simulation_id": sid, "pdk_name": "generic", "pdk_version": "",
            "simulation_date": (base + timedelta(seconds=i)).isoformat(),
            "corvina_version": corvina.__version__,
            "result": {} if error else {"through": [round(1 - d, 6) for d in drop], "drop": drop,
                                        "fsr_nm": 1000 / p["component_settings"]["radius"]},
            "wavelengths": [] if error else WAVELENGTHS,
            "execution_time_seconds": 2.0 + i % 5,
            "status": "error" if error else "success",
            "error_message": "solver diverged" if error else "",
        }
        if i == 0:  # byte for byte what a save writes
            assert list(data) == list(StoredSimulationResult.model_fields)
        (root / "transmission" / f"ring_{sid}.json").write_bytes(orjson.dumps(data, option=orjson.OPT_INDENT_2))


# --- the server and the browser ---------------------------------------------------------------


class Server:
    def __init__(self, store: Path) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "corvina.cli", "--store", str(store), "serve", "--no-browser", "--port", "0"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, text=True,
            env=child_env())
        self.link = self.proc.stdout.readline().strip()
        match = re.match(r"http://([^/]+)/\?token=(\S+)", self.link)
        assert match, self.link
        self.netloc, self.token = match.groups()
        self.base = f"http://{self.netloc}"

    def get(self, path: str) -> tuple[int, bytes]:
        host, port = self.netloc.rsplit(":", 1)
        connection = http.client.HTTPConnection(host, int(port), timeout=120)
        try:
            connection.request("GET", path, headers={"Authorization": f"Bearer {self.token}"})
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def memory(self) -> dict[str, int]:
        out = {}
        for line in Path(f"/proc/{self.proc.pid}/status").read_text().splitlines():
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                out[name] = int(value.split()[0]) // 1024
        return out

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def chromium(profile: Path) -> Any:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1400,1000", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    return webdriver.Chrome(options=options, service=Service(CHROMEDRIVER))


def _wait(driver: Any, script: str, *args: Any, timeout: float = 60.0, every: float = 0.02) -> Any:
    deadline = time.monotonic() + timeout
    while True:
        value = driver.execute_script(script, *args)
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(script)
        time.sleep(every)


def _measures(driver: Any, name: str) -> list[float]:
    return driver.execute_script(
        "return performance.getEntriesByName(arguments[0], 'measure').map(e => e.duration)", name)


def _next_measure(driver: Any, name: str, before: int) -> float:
    _wait(driver, "return performance.getEntriesByName(arguments[0], 'measure').length > arguments[1]", name, before)
    return _measures(driver, name)[before]


# --- the scenarios --------------------------------------------------------------------------------


def first_paint(driver: Any, server: Server, store: Path, rounds: int, changed: bool) -> list[float]:
    some = next((store / "transmission").iterdir())
    out = []
    for r in range(rounds):
        if changed:
            # A save's way: the same bytes renamed into place.
            temporary = some.with_name(f".{some.name}.bench.tmp")
            temporary.write_bytes(some.read_bytes())
            os.replace(temporary, some)
        driver.get("about:blank")
        driver.get(server.base + "/")
        out.append(_next_measure(driver, "corvina:table", 0))
    return out


def changed_query(driver: Any, server: Server, rounds: int, texts: list[str]) -> list[float]:
    driver.get(server.base + "/")
    _next_measure(driver, "corvina:table", 0)
    out = []
    for r in range(rounds):
        before = len(_measures(driver, "corvina:table"))
        driver.execute_script(
            "const box = document.querySelector('input[name=where]'); box.value = arguments[0];"
            "box.form.requestSubmit();", texts[r % len(texts)])
        out.append(_next_measure(driver, "corvina:table", before))
    return out


def overlay(driver: Any, server: Server, ids: list[str], rounds: int) -> tuple[list[float], list[float]]:
    whole, drawn = [], []
    for _ in range(rounds):
        driver.get("about:blank")
        driver.get(f"{server.base}/?where=status%3Dsuccess&select={','.join(ids)}")
        whole.append(_next_measure(driver, "corvina:overlay", 0))
        drawn.append(_next_measure(driver, "corvina:overlay-draw", 0))
        series = driver.execute_script(
            "return [...document.querySelectorAll('#overlay [data-series]')].map(e => +e.dataset.series)")
        assert series == [len(ids), len(ids)], series
    return whole, drawn


_HOLDER = r"""
import pathlib, sys, time
from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters
release = pathlib.Path(sys.argv[1])
def compute():
    while not release.exists():
        time.sleep(0.01)
    return {"result": {"through": [0.5, 0.5]}, "wavelengths": [1.5, 1.6]}
storage.get_or_compute_simulation_result(
    component_name="ring", factory_name="rings.ring", component_settings={"gap": float(sys.argv[2])},
    model_parameters={}, hyperparameters=SimulationHyperparameters(), simulation_type="transmission",
    compute=compute, lease=20.0)
"""


def live(driver: Any, server: Server, store: Path, rounds: int) -> dict[str, list[float]]:
    from corvina.core import simulation_storage as storage
    from corvina.models import SimulationHyperparameters

    os.environ["CORVINA_SIMULATIONS_DIR"] = str(store)
    driver.get(server.base + "/")
    _next_measure(driver, "corvina:table", 0)
    out: dict[str, list[float]] = {"saved result in the table": [], "claim in the panel": [],
                                   "claim out of the panel": []}
    for r in range(rounds):
        time.sleep(random.uniform(0, 2))  # anywhere in the page's polling cycle
        start = time.monotonic()
        record = storage.save_simulation_result(
            # A new result each time, also in a store measured before (--store).
            component_name="ring", factory_name="rings.ring", component_settings={"gap": 100.0 + r + random.random()},
            model_parameters={}, hyperparameters=SimulationHyperparameters(), simulation_type="transmission",
            result={"through": [0.5, 0.5]}, wavelengths=[1.5, 1.6], execution_time_seconds=1.0)
        _wait(driver, "return document.querySelector(`tr[data-simulation-id='${arguments[0]}']`) !== null",
              record.simulation_id)
        out["saved result in the table"].append((time.monotonic() - start) * 1000)

        # Beside the run's own files, not the store's: a store given with
        # --store may sit in a shared directory, measured again later.
        release = Path(tempfile.mkdtemp(prefix="corvina-bench-release-")) / "release"
        holder = subprocess.Popen([sys.executable, "-c", _HOLDER, str(release), str(200.0 + r + random.random())],
                                  env=child_env(dict(os.environ)))
        claims = store / "transmission"
        while not any(p.name.endswith(".claim") for p in claims.iterdir()):
            time.sleep(0.005)
        start = time.monotonic()
        _wait(driver, "return document.querySelector('[data-claim-id]') !== null")
        out["claim in the panel"].append((time.monotonic() - start) * 1000)
        time.sleep(random.uniform(0, 2))
        release.touch()
        while any(p.name.endswith(".claim") for p in claims.iterdir()):
            time.sleep(0.005)
        start = time.monotonic()
        _wait(driver, "return document.querySelector('[data-claim-id]') === null")
        out["claim out of the panel"].append((time.monotonic() - start) * 1000)
        holder.wait(60)
        shutil.rmtree(release.parent, ignore_errors=True)
    return out


# --- the report ------------------------------------------------------------------------------------


def summary(name: str, n: int | None, samples: list[float]) -> dict[str, Any]:
    target = TARGETS_MS.get((name, n), TARGETS_MS.get((name, None)))
    median = statistics.median(samples)
    row = {"measure": name, "results": n, "median_ms": round(median, 1), "min_ms": round(min(samples), 1),
           "max_ms": round(max(samples), 1), "rounds": len(samples), "target_ms": target,
           "meets": None if target is None else median <= target}
    verdict = "" if target is None else (f"target {target} ms: " + ("met" if row["meets"] else "MISSED"))
    where = f"{n:>7,}" if n else "       "
    print(f"  {name:<36} {where}  median {median:8.1f} ms  (min {min(samples):7.1f}, max {max(samples):7.1f}, "
          f"{len(samples)} rounds)  {verdict}", flush=True)
    return row


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="./dev bench --web", description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=positive_list, default=[1000, 10_000], help="store sizes (default 1000,10000)")
    parser.add_argument("--rounds", type=positive, default=5, help="rounds per figure (default 5)")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    parser.add_argument("--dir", default=str(REPO / "build" / "bench-stores"), help="where to build the stores")
    parser.add_argument("--keep", action="store_true", help="keep the stores afterwards")
    parser.add_argument("--store", help="measure this store of the benchmark's records (written into: a copy)")
    parser.add_argument("--only", default=",".join(SCENARIOS),
                        help=f"scenarios to run (default {','.join(SCENARIOS)})")
    args = parser.parse_args(argv)
    only = set(args.only.split(","))
    if only - set(SCENARIOS):
        parser.error(f"--only: choose among {','.join(SCENARIOS)}")
    if args.store:
        given = Path(args.store)
        args.sizes = [sum(1 for p in (given / "transmission").iterdir() if p.name.endswith(".json"))]
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            print(f"the web benchmark needs {path} (Debian: chromium, chromium-driver)", file=sys.stderr)
            return 2
    work = Path(args.dir) / f"web-{os.getpid()}"
    shutil.rmtree(work, ignore_errors=True)
    rows: list[dict[str, Any]] = []
    servers: list[dict[str, Any]] = []
    # The browser's profile lives in the run's directory, gone with it.
    driver = chromium(work / "chromium-profile")
    print(f"\nresults browser, headless Chromium; load average {os.getloadavg()[0]:.2f}\n", flush=True)
    try:
        for n in sorted(args.sizes):
            if args.store:
                store = Path(args.store)
                print(f"store of {n:,} results: {store}", flush=True)
            else:
                store = work / f"store-{n}"
                started = time.monotonic()
                build_store(store, n)
                print(f"store of {n:,} results written in {time.monotonic() - started:.1f} s", flush=True)
            server = Server(store)
            try:
                driver.get(server.link)
                # A new server's first answer waits for the store's index to
                # read every result once (about 40 s at 100,000 here).
                _wait(driver, "return document.querySelector('tr[data-simulation-id]') !== null", timeout=900)
                if "table" in only:
                    rows.append(summary("first table paint, store changed", n,
                                        first_paint(driver, server, store, args.rounds, changed=True)))
                    rows.append(summary("first table paint, unchanged", n,
                                        first_paint(driver, server, store, args.rounds, changed=False)))
                radii = n // 100 or 1
                if "query" in only:
                    rows.append(summary("changed query, 1% match", n, changed_query(
                        driver, server, args.rounds, [f"component_settings.radius={5 + (k * 37) % radii}"
                                                      for k in range(args.rounds)])))
                    rows.append(summary("changed query, 98% match", n, changed_query(
                        driver, server, args.rounds, [f"status=success; component_settings.width<={1 + k}"
                                                      for k in range(args.rounds)])))
                if n == max(args.sizes) and "overlay" in only:
                    status, body = server.get("/api/results?" + urllib.parse.urlencode(
                        {"where": "status=success", "fields": "simulation_id", "limit": 500}))
                    ids = [r["simulation_id"] for r in json.loads(body)["results"]]
                    for count in (50, 500):
                        if len(ids) >= count:
                            whole, drawn = overlay(driver, server, ids[:count], args.rounds)
                            rows.append(summary(f"overlay {count} x {POINTS}", None, whole))
                            rows.append(summary(f"overlay {count} x {POINTS}, drawing only", None, drawn))
                if n == max(args.sizes) and "live" in only:
                    for name, samples in live(driver, server, store, args.rounds).items():
                        rows.append(summary(name, None, samples))
                if "clients" not in only:
                    continue
                load = clients(server, n)
                load["results"] = n
                servers.append(load)
                print(f"  20 clients x 10 /api/results at {n:,}: {load['errors']} errors of {load['requests']}, "
                      f"p50 {load['p50_ms']} ms, p95 {load['p95_ms']} ms, max {load['max_ms']} ms, "
                      f"{load['wall_s']} s in all; server memory {load['VmRSS']} MiB now, peak {load['VmHWM']} MiB",
                      flush=True)
            finally:
                server.stop()
    finally:
        driver.quit()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    missed = [r for r in rows if r["meets"] is False]
    print(f"\n  targets: {sum(r['meets'] is True for r in rows)} met, {len(missed)} missed"
          + (": " + "; ".join(f"{r['measure']} at {r['results'] or ''}" for r in missed) if missed else ""))
    if args.json:
        Path(args.json).write_text(json.dumps({"rows": rows, "servers": servers,
                                               "load_average": os.getloadavg()[0]}, indent=2) + "\n")
    return 0

