"""A worker process for the crash tests: holds claims until it is killed, or
computes one point whose solver succeeds or fails, against the store that
``CORVINA_SIMULATIONS_DIR`` names, and prints one JSON line.

    python crash_worker.py SPEC_JSON

SPEC keys: ``mode`` ("hold": one thread per point, each solver blocked for
good; "one": the first point, through get_or_compute with ``store_errors``),
``points`` (gaps), ``runs`` (a file where every solver run appends its point
and pid when it starts), ``lease``, ``sleep`` (seconds a run takes before it
returns or fails) and ``fail`` (the run raises RuntimeError instead).
"""

from __future__ import annotations

import json
import os
import sys
import threading
import time


def main() -> None:
    spec = json.loads(sys.argv[1])
    from corvina.core import simulation_storage as storage
    from corvina.models import SimulationHyperparameters

    def identity(gap: float) -> dict:
        # The identity test_claims.ring_identity gives a point.
        return {"component_name": "ring", "factory_name": "__main__.ring",
                "component_settings": {"gap": gap, "radius": 5.0}, "model_parameters": {},
                "hyperparameters": SimulationHyperparameters(), "simulation_type": "transmission"}

    def solver(gap: float):
        def compute() -> dict:
            fd = os.open(spec["runs"], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
            try:
                os.write(fd, f"{gap!r} {os.getpid()}\n".encode())
            finally:
                os.close(fd)
            if spec["mode"] == "hold":
                threading.Event().wait()
            time.sleep(spec.get("sleep", 0.0))
            if spec.get("fail"):
                raise RuntimeError(f"solver failed at {gap!r}")
            return {"result": {"through": [gap, float(os.getpid())]}, "wavelengths": [1.5]}

        return compute

    lease = spec.get("lease", 60.0)
    if spec["mode"] == "hold":
        for gap in spec["points"]:
            threading.Thread(target=storage.get_or_compute_simulation_result, daemon=True,
                             kwargs={**identity(gap), "compute": solver(gap), "lease": lease}).start()
        threading.Event().wait()
    gap = spec["points"][0]
    try:
        record = storage.get_or_compute_simulation_result(
            **identity(gap), compute=solver(gap), lease=lease, store_errors=True)
    except RuntimeError as exc:
        print(json.dumps({"error": str(exc), "notes": getattr(exc, "__notes__", [])}))
        return
    print(json.dumps({"status": record.status, "result": record.result}))


if __name__ == "__main__":
    main()
