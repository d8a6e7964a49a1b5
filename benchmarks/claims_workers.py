"""The processes of the claims benchmark that share one store with others.

    python -m benchmarks.claims_workers COMMAND SPEC_JSON

runs one COMMAND (sweep, one, hold, wait, requests, churn, bucket) as its JSON
spec says, and prints its report as the last line: the claims benchmark
(benchmarks/claims.py) spawns them and reads those reports.
"""

from __future__ import annotations

import json
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

CLAIMS_BASE = 50_000_000  # indices of the points get_or_compute finds missing, then saves
IDENTITY = ("component_name", "factory_name", "component_settings", "model_parameters",
            "hyperparameters", "simulation_type")


def split_inputs(inputs: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """Save's keyword arguments, as the identity and the outcome."""
    ident = {k: inputs[k] for k in IDENTITY}
    outcome = {k: v for k, v in inputs.items() if k not in IDENTITY}
    return ident, outcome


def identity(point: int) -> dict[str, Any]:
    from corvina.models import SimulationHyperparameters

    return {"component_name": "bench_ring", "factory_name": "benchmarks.claims.ring",
            "component_settings": {"gap": point}, "model_parameters": {},
            "hyperparameters": SimulationHyperparameters(), "simulation_type": "transmission"}


def solver(spec: dict[str, Any]) -> Callable[[int], dict[str, Any]]:
    def solve(point: int) -> dict[str, Any]:
        fd = os.open(spec["runs"], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
        try:
            os.write(fd, f"{point} {time.time():.6f}\n".encode())
        finally:
            os.close(fd)
        if spec.get("hold"):
            time.sleep(3600)
        time.sleep(spec.get("sleep", 0.0))
        return {"result": {"t": [0.5]}, "wavelengths": [1.55]}

    return solve


def run(command: str, spec: dict[str, Any]) -> dict[str, Any]:
    from corvina.compute import compute_many
    from corvina.core import simulation_storage as storage

    if command == "bucket":
        import s3fs

        s3fs.S3FileSystem(skip_instance_cache=True).mkdir(spec["bucket"])
        return {}
    if command == "sweep":
        solve = solver(spec)
        if spec.get("opened"):
            storage.find_simulation_result(**identity(-1))  # a point outside the sweep
        print("ready", flush=True)
        while not os.path.exists(spec["start"]):
            time.sleep(0.002)
        compute_many(spec["points"], solve, identity=identity)
        return {"end": time.time()}
    if command == "one":
        solve = solver(spec)
        point = spec["point"]
        storage.get_or_compute_simulation_result(**identity(point), compute=lambda: solve(point),
                                                 lease=spec["lease"])
        root = storage.get_simulations_dir()
        names = [p.name for p in (root / "transmission").iterdir()]
        sid = storage._compute_simulation_id(**identity(point))
        return {"stored": sum(1 for n in names if n.endswith(f"{sid}.json")),
                "claims_left": sum(1 for n in names if n.endswith(".claim"))}
    if command == "hold":
        # Every point claimed at once, one thread each, the solvers never
        # done: a worker of a sweep, killed mid-way.
        import threading

        solve = solver({**spec, "hold": True})
        for point in spec["points"]:
            threading.Thread(target=storage.get_or_compute_simulation_result, daemon=True,
                             kwargs={**identity(point), "compute": lambda p=point: solve(p),
                                     "lease": spec["lease"]}).start()
        threading.Event().wait()
    if command == "wait":
        try:
            storage.get_or_compute_simulation_result(**identity(spec["point"]), compute=dict,
                                                     wait=spec["wait"])
        except TimeoutError:
            return {"waited": True}
        raise RuntimeError("the waiter was not kept waiting")
    if command == "requests":
        from benchmarks.remote_server import control

        outcome = {"result": {"t": [0.5]}, "wavelengths": [1.55], "execution_time_seconds": 0.2}
        storage.get_or_compute_simulation_result(**identity(100_000), compute=lambda: outcome)
        control(spec["endpoint"], "reset")
        storage.get_or_compute_simulation_result(**identity(100_001), compute=lambda: outcome)
        miss = control(spec["endpoint"], "stats").get("counts", {})
        control(spec["endpoint"], "reset")
        storage.find_simulation_result(**identity(100_002))
        storage.save_simulation_result(**identity(100_002), **outcome)
        plain = control(spec["endpoint"], "stats").get("counts", {})
        return {"miss": sum(miss.values()), "miss_kinds": miss, "find_save": sum(plain.values())}
    if command == "churn":
        stop = spec["stop"]
        from benchmarks.peers import as_module

        as_module(Path(spec["root"]))()
        print("claiming", flush=True)
        done, j, start = 0, 0, time.monotonic()
        from benchmarks.workload import save_inputs

        while not os.path.exists(stop):
            # Points of the store's own kind and type directory, never stored otherwise.
            ident, outcome = split_inputs(save_inputs(CLAIMS_BASE + 1_000_000 * (spec["worker"] + 1) + j, 1))
            record = storage.get_or_compute_simulation_result(**ident, compute=lambda o=outcome: o)
            storage.delete_simulation_result(record.simulation_id)  # the store keeps its size
            j += 1
            done += 1
            time.sleep(0.002)
        return {"rate": f"{done / (time.monotonic() - start):.0f}/s"}
    raise SystemExit(f"unknown command {command!r}")


if __name__ == "__main__":
    result = run(sys.argv[1], json.loads(sys.argv[2]))
    if sys.argv[1] == "churn":
        print(result["rate"])
    else:
        print(json.dumps(result))
