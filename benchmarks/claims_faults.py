"""Claims on S3 when an answer is lost: what it costs a caller.

  lost create (end)     get_or_compute on a missing point (solver: 0.2 s of
                        sleep, lease 6 s) against moto's server in its own
                        process, whose answer to the claim's create is lost
                        after the create was carried out (the client stack
                        sends it again, and the service refuses it): wall
                        time beside the same call with nothing lost, against
                        the solver's time + 1 s

The server is the tests' fault server (tests/support/s3_server.py --faults);
the calls run in a process of their own:

    python -m benchmarks.claims_faults measure SPEC_JSON

Part of `./dev bench --claims`.
"""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import time
import uuid
from typing import TYPE_CHECKING, Any

from benchmarks import REPO, child_env

if TYPE_CHECKING:
    from benchmarks.session import Bench

SOLVER_S, LEASE_S, ROUNDS = 0.2, 6.0, 7
FAULT_SERVER = REPO / "tests" / "support" / "s3_server.py"


def _faults(endpoint: str, *rules: dict[str, Any]) -> None:
    sys.path.insert(0, str(FAULT_SERVER.parent))
    try:
        from faults import set_faults
    finally:
        sys.path.remove(str(FAULT_SERVER.parent))
    set_faults(endpoint, *rules)


def measure(spec: dict[str, Any]) -> dict[str, Any]:
    """In the measuring process: each round, a missing point with nothing lost,
    then one whose create's answer is lost."""
    import s3fs
    from upath import UPath

    from corvina.core import simulation_storage as storage
    from corvina.models import SimulationHyperparameters

    endpoint = spec["endpoint"]
    bucket = f"faults-{uuid.uuid4().hex[:10]}"
    s3fs.S3FileSystem(skip_instance_cache=True).mkdir(bucket)
    root = UPath(f"s3://{bucket}/sims")
    storage.get_simulations_dir = lambda: root

    def solve():
        time.sleep(SOLVER_S)
        return {"result": {"t": [0.5]}, "wavelengths": [1.55]}

    def call(point: int) -> float:
        ident = {"component_name": "bench_ring", "factory_name": "benchmarks.claims_faults.ring",
                 "component_settings": {"gap": point}, "model_parameters": {},
                 "hyperparameters": SimulationHyperparameters(), "simulation_type": "transmission"}
        started = time.perf_counter()
        storage.get_or_compute_simulation_result(**ident, compute=solve, lease=LEASE_S)
        return time.perf_counter() - started

    call(-1)  # the store's first claim probes its conditional writes
    clean, lost = [], []
    for r in range(spec["rounds"]):
        _faults(endpoint)
        clean.append(call(2 * r))
        _faults(endpoint, {"match": "create", "action": "lose", "count": 1})
        lost.append(call(2 * r + 1))
    _faults(endpoint)
    claims_left = [k for k in root.fs.find(root.path) if k.endswith(".claim")]
    return {"clean": clean, "lost": lost, "claims_left": len(claims_left)}


class _FaultServer:
    def __init__(self) -> None:
        self.proc = subprocess.Popen([sys.executable, str(FAULT_SERVER), "--faults"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     env=child_env())
        assert self.proc.stdout is not None
        line = self.proc.stdout.readline()
        if not line.strip().isdigit():
            self.proc.kill()
            raise RuntimeError("the S3 fault server did not start")
        self.endpoint = f"http://127.0.0.1:{int(line)}"

    def stop(self) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.close()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def lost_create(rounds: int = ROUNDS) -> dict[str, Any]:
    from benchmarks.remote import client_env

    server = _FaultServer()
    try:
        spec = {"endpoint": server.endpoint, "rounds": rounds}
        out = subprocess.run([sys.executable, "-m", "benchmarks.claims_faults", "measure", json.dumps(spec)],
                             env=child_env(client_env(server.endpoint)), capture_output=True, text=True,
                             timeout=600)
        if out.returncode != 0:
            raise RuntimeError(f"the lost-create measurement failed: {out.stderr.strip()[-500:]}")
        return json.loads(out.stdout.strip().splitlines()[-1])
    finally:
        server.stop()


def end(bench: Bench) -> None:
    """The lost create's cost, printed with the other runs between processes."""
    got = lost_create(3 if bench.cfg.quick else ROUNDS)
    clean, lost = statistics.median(got["clean"]), statistics.median(got["lost"])
    worst = max(got["lost"])
    target = SOLVER_S + 1.0
    ok = worst <= target and got["claims_left"] == 0
    print(f"\n  S3, the answer to a claim's create lost (solver {SOLVER_S:g} s, lease {LEASE_S:g} s, "
          f"{len(got['lost'])} rounds): get_or_compute {lost:.3f} s median, {worst:.3f} s worst, "
          f"beside {clean:.3f} s with nothing lost; {got['claims_left']} claims left "
          f"(target: at most the solver's time + 1 s = {target:g} s)  {'ok' if ok else 'MISSED'}")


def main(argv: list[str]) -> int:
    if len(argv) == 2 and argv[0] == "measure":
        print(json.dumps(measure(json.loads(argv[1]))))
        return 0
    raise SystemExit("usage: python -m benchmarks.claims_faults measure SPEC_JSON")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
