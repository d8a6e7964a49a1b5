"""A sweep waits for the points other workers hold all at once, not in turn.

A worker that died holding many claims leaves them until waiters judge them
stale, one lease after they last changed. Waiting for them one after another
would cost a lease per point; together, about one lease for all.
"""

from __future__ import annotations

import json
import signal
import subprocess
import sys
import threading
import time

import pytest

from corvina.compute import compute_many

from support.claims import ring_identity, shared  # noqa: F401  (a fixture)

pytestmark = pytest.mark.timeout(180)

LEASE = 2.0
GAPS = [round(0.05 * i, 2) for i in range(1, 11)]

# Claims each point in a thread of its own with a solver that never ends,
# then waits to be killed.
HOLDER = r'''
import json, sys, threading, time
from corvina.core import simulation_storage as store
from corvina.models import SimulationHyperparameters

def claim(fields):
    fields["hyperparameters"] = SimulationHyperparameters()
    store.get_or_compute_simulation_result(**fields, compute=lambda: time.sleep(3600), lease=%r)

for fields in json.loads(sys.argv[1]):
    threading.Thread(target=claim, args=(fields,), daemon=True).start()
time.sleep(3600)
''' % LEASE


def dead_claim(gap: float, host: str = "gone") -> str:
    # As a holder on another machine left it: it never changes again.
    return ('{"simulation_id": "x", "component_name": "ring", "simulation_type": "transmission", '
            f'"generation": 0, "owner": "dead{gap}", "host": "{host}", "pid": 1, '
            '"started": "2020-01-01T00:00:00.000000+00:00", "lease_seconds": %r, ' % LEASE +
            '"heartbeat": "2020-01-01T00:00:00.000000+00:00", "beats":                    0}\n')


def start_holder(shared, gaps: list[float]) -> subprocess.Popen:
    """A process holding live claims on these points."""
    points = [{k: v for k, v in ring_identity(g).items() if k != "hyperparameters"} for g in gaps]
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, json.dumps(points)], env=shared.env,
                              stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    try:
        while len(shared.claims()) < len(gaps):
            assert holder.poll() is None, holder.stderr.read()
            assert time.monotonic() < deadline, "the holder never claimed every point"
            time.sleep(0.05)
    except BaseException:
        holder.kill()  # it would sit on its claims for an hour
        holder.wait()
        raise
    return holder


def leave_claims(shared, how: str) -> None:
    if how == "another host":
        for gap in GAPS:
            shared.put_claim(gap, 0, dead_claim(gap))
        return
    holder = start_holder(shared, GAPS)
    holder.send_signal(signal.SIGKILL)
    holder.wait()


class Solver:
    """Records each run's point and when it ran, from whichever thread."""

    def __init__(self) -> None:
        self.runs: list[tuple[float, float, float]] = []
        self.lock = threading.Lock()

    def __call__(self, point: dict) -> dict:
        start = time.monotonic()
        time.sleep(0.05)
        with self.lock:
            self.runs.append((point["component_settings"]["gap"], start, time.monotonic()))
        return {"result": {"through": [point["component_settings"]["gap"]]}, "wavelengths": [1.5]}


@pytest.mark.parametrize("how", ["killed here", "another host"])
def test_points_left_by_a_dead_worker_cost_about_one_lease_together(shared, how):
    leave_claims(shared, how)
    solver = Solver()
    started = time.monotonic()
    records = compute_many([ring_identity(g) for g in GAPS], solver, lease=LEASE)
    took = time.monotonic() - started
    assert [r.component_settings["gap"] for r in records] == GAPS
    assert sorted(gap for gap, _, _ in solver.runs) == GAPS
    # One solver run at a time, even though the takeovers happen together.
    spans = sorted((start, end) for _, start, end in solver.runs)
    assert all(end <= next_start for (_, end), (next_start, _) in zip(spans, spans[1:]))
    # In turn this is ten leases; together about one (generous bound).
    assert took < 5 * LEASE, f"{took:.1f} s for points a dead worker held"
    assert shared.claims() == []


def test_first_held_point_in_order_times_out_first(shared):
    # A holder that is alive (its claims keep changing): every wait ends in
    # TimeoutError, and the sweep raises the one of its first held point.
    holder = start_holder(shared, GAPS[:4])
    try:
        solver = Solver()
        points = [ring_identity(g) for g in [GAPS[5], *GAPS[3::-1]]]
        with pytest.raises(TimeoutError) as caught:
            compute_many(points, solver, lease=LEASE, wait=0.5)
        from corvina.core import simulation_storage as storage

        first_held = storage._compute_simulation_id(**ring_identity(GAPS[3]))
        assert first_held in str(caught.value)
        assert [gap for gap, _, _ in solver.runs] == [GAPS[5]]
    finally:
        holder.kill()
        holder.wait()
