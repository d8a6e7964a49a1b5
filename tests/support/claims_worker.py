"""A worker process for the claims tests: runs a sweep, or one point, against
the store that ``CORVINA_SIMULATIONS_DIR`` names, and prints one JSON line.

    python worker.py SPEC_JSON

SPEC keys: ``mode`` ("sweep" or "one"), ``points`` (gaps, in the order to
run), ``runs`` (a file where every solver run appends its point when it
starts), ``sleep`` (seconds a run takes), ``lease``, ``start`` (a file to wait
for, so that workers begin together) and ``hold`` (a run that never ends,
for a holder to be killed), ``gil`` (whole seconds a run keeps the interpreter
lock).
"""

from __future__ import annotations

import json
import os
import sys
import time


def main() -> None:
    spec = json.loads(sys.argv[1])
    from corvina.compute import cached_simulation
    from corvina.models import SimulationHyperparameters

    def record_start(gap: float) -> None:
        fd = os.open(spec["runs"], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
        try:
            os.write(fd, f"{gap!r} {os.getpid()}\n".encode())
        finally:
            os.close(fd)

    @cached_simulation("transmission", component_name="ring", factory_name="__main__.ring",
                       lease=spec.get("lease", 60.0))
    def ring(gap: float, radius: float = 5.0, hyperparameters=SimulationHyperparameters()):
        record_start(gap)
        if spec.get("hold"):
            time.sleep(3600)
        if spec.get("gil"):
            # libc's sleep through ctypes.PyDLL: the interpreter lock stays
            # held all the while, as in a solver's long C call.
            import ctypes

            ctypes.PyDLL(None).sleep(spec["gil"])
        time.sleep(spec.get("sleep", 0.0))
        return {"result": {"through": [gap, radius]}, "wavelengths": [1.5, 1.6]}

    start = spec.get("start")
    if start:
        while not os.path.exists(start):
            time.sleep(0.005)
    if spec["mode"] == "sweep":
        records = ring.map([{"gap": gap} for gap in spec["points"]])
    else:
        records = [ring(gap=gap) for gap in spec["points"]]
    print(json.dumps({
        "ids": {repr(r.component_settings["gap"]): r.simulation_id for r in records},
        "results": [r.result for r in records],
    }))


if __name__ == "__main__":
    main()
