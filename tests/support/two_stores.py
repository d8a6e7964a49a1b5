"""A process that holds claims in two stores at once, for the heartbeat tests.

    python two_stores.py SPEC_JSON

SPEC keys: ``mode``, ``local`` (a store's directory), ``s3`` (a store's URL),
``runs`` (a file where every solver run appends a line when it starts),
``lease`` (of the local claim).

mode "hold": a thread claims a point on S3 and holds it (lease 1 s) while the
main thread claims a point on the local store with a solver that keeps the
interpreter lock for ``gil`` seconds; both are then saved. mode "wait": the
local point, as a second worker asks for it. Prints one JSON line.
"""

from __future__ import annotations

import ctypes
import json
import os
import pathlib
import sys
import threading


def main() -> None:
    spec = json.loads(sys.argv[1])
    from upath import UPath

    from corvina.core import simulation_storage as storage
    from corvina.models import SimulationHyperparameters

    where = threading.local()
    storage.get_simulations_dir = lambda: where.root

    def identity(component: str) -> dict:
        return {"component_name": component, "factory_name": "two_stores",
                "component_settings": {"gap": 0.1}, "model_parameters": {},
                "hyperparameters": SimulationHyperparameters(), "simulation_type": "heartbeat"}

    def started(what: str) -> None:
        fd = os.open(spec["runs"], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
        try:
            os.write(fd, f"{what} {os.getpid()}\n".encode())
        finally:
            os.close(fd)

    outcome = {"result": {"pid": [float(os.getpid())]}, "wavelengths": [1.55]}
    if spec["mode"] == "wait":
        where.root = pathlib.Path(spec["local"])
        record = storage.get_or_compute_simulation_result(
            **identity("local"), compute=lambda: started("local") or outcome, lease=spec["lease"])
        print(json.dumps({"pid": record.result["pid"][0]}))
        return

    held = threading.Event()
    finish = threading.Event()
    box: dict = {}

    def remote() -> None:
        where.root = UPath(spec["s3"])

        def compute():
            started("remote")
            held.set()
            finish.wait(60)
            return outcome

        try:
            box["record"] = storage.get_or_compute_simulation_result(
                **identity("remote"), compute=compute, lease=1.0)
        except BaseException as exc:  # noqa: BLE001 - reported below
            box["error"] = repr(exc)
            held.set()

    thread = threading.Thread(target=remote)
    thread.start()
    assert held.wait(60), "the object-store claim was never made"
    where.root = pathlib.Path(spec["local"])

    def hold_the_lock():
        started("local")
        # libc's sleep through ctypes.PyDLL: the interpreter lock stays held
        # all the while, as in a solver's long C call.
        ctypes.PyDLL(None).sleep(spec["gil"])
        return outcome

    record = storage.get_or_compute_simulation_result(
        **identity("local"), compute=hold_the_lock, lease=spec["lease"])
    finish.set()
    thread.join(60)
    print(json.dumps({"pid": record.result["pid"][0], "remote": box.get("error", "ok")}))


if __name__ == "__main__":
    main()
