"""Claims on S3 when the service misbehaves as real ones do now and then.

moto's server runs in a process of its own, on 127.0.0.1, behind a
middleware that spoils answers on request (tests/support/faults.py): a write
carried out with its answer lost (the client stack sends it again), 409
ConditionalRequestConflict, 503 SlowDown, 500, slow answers, conditional
headers ignored, removals refused per key.
"""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys
import time
import uuid
import warnings
from collections import Counter

import pytest
from conftest import S3Service
from support.claims import SharedStore, finish, ring_identity, runs, start_workers
from support.faults import applied, set_faults
from support.s3 import s3_environment

from corvina.core import simulation_storage as storage

pytestmark = pytest.mark.timeout(240)

HERE = pathlib.Path(__file__).parent
TWO_STORES = HERE / "support" / "two_stores.py"
OUTCOME = {"result": {"t": [0.5]}, "wavelengths": [1.55]}


@pytest.fixture(scope="module")
def fault_server():
    pytest.importorskip("s3fs")
    pytest.importorskip("moto.server")
    service = S3Service("--faults")
    yield service.endpoint
    service.close()


@pytest.fixture
def faulty(fault_server, tmp_path, monkeypatch) -> SharedStore:
    """A fresh bucket on the fault server, with no fault set yet."""
    import s3fs

    # File systems are shared per process by their options, and the endpoint
    # is not one of them: this store must not reach another server.
    s3fs.S3FileSystem.clear_instance_cache()
    set_faults(fault_server)
    env = s3_environment(fault_server, tmp_path)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    bucket = f"faults-{uuid.uuid4().hex[:12]}"
    s3fs.S3FileSystem(skip_instance_cache=True).mkdir(bucket)
    store = SharedStore(f"s3://{bucket}/sims", env, monkeypatch)
    store.endpoint = fault_server
    yield store
    set_faults(fault_server)
    s3fs.S3FileSystem.clear_instance_cache()


class Solver:
    def __init__(self, seconds: float = 0.0) -> None:
        self.runs = 0
        self.seconds = seconds

    def __call__(self):
        self.runs += 1
        time.sleep(self.seconds)
        return OUTCOME


def warm_up(store: SharedStore) -> None:
    """The store's first claim in this process probes its conditional writes."""
    storage.get_or_compute_simulation_result(**ring_identity(9.0), compute=Solver())


# --- a write carried out, its answer lost --------------------------------------------------


@pytest.mark.parametrize("probed", [False, True], ids=["first-claim", "after-probe"])
@pytest.mark.parametrize("lost", [1, 2])
def test_lost_create_answer_is_the_callers_own_claim(faulty, probed, lost):
    # The client stack sends the create again, and the service refuses it:
    # the claim is the caller's own, not another worker's to wait for (a
    # wait shorter than the lease would name the caller's own process).
    if probed:
        warm_up(faulty)
    set_faults(faulty.endpoint, {"match": "create", "action": "lose", "count": lost})
    solver = Solver()
    record = storage.get_or_compute_simulation_result(
        **ring_identity(0.1), compute=solver, lease=6.0, wait=0.5)
    assert applied(faulty.endpoint) == [lost]
    assert solver.runs == 1 and record.result == OUTCOME["result"]
    assert storage.find_simulation_result(**ring_identity(0.1)) == record
    assert faulty.claims() == []


def test_lost_refresh_answers_cause_no_takeover(faulty, tmp_path):
    # A third of the holder's refreshes go through with their answers lost:
    # it adopts the version it finds under its own owner token and goes on
    # beating, over four leases, with two workers waiting for the point.
    lease = 1.5
    set_faults(faulty.endpoint,
               # (the first conditional replacement is the holder's probe)
               {"match": "refresh", "action": "lose", "skip": 1, "rate": 0.35}, seed=3)
    holder, = start_workers(faulty, tmp_path, [
        {"mode": "one", "points": [0.2], "sleep": 4 * lease, "lease": lease}])
    deadline = time.monotonic() + 60
    while not runs(tmp_path):
        assert holder.poll() is None, holder.stderr.read()
        assert time.monotonic() < deadline, "the holder never started"
        time.sleep(0.05)
    waiters = start_workers(faulty, tmp_path, [
        {"mode": "one", "points": [0.2], "lease": lease} for _ in range(2)])
    reports = finish([holder, *waiters])
    assert applied(faulty.endpoint)[0] >= 3
    assert runs(tmp_path) == Counter({"0.2": 1})
    assert len({r["ids"]["0.2"] for r in reports}) == 1
    assert faulty.claims() == []


# --- conflicts, throttling, errors ------------------------------------------------------------


def test_sweeps_ride_out_conflicts_and_throttling(faulty, tmp_path):
    # Four workers over one 20-point sweep; the first three creates meet a
    # conflicting conditional write, and 15% of all requests are throttled.
    gaps = [round(0.05 * i, 2) for i in range(1, 21)]
    set_faults(faulty.endpoint,
               {"match": "create", "action": "conflict", "count": 3},
               {"match": "any", "action": "slowdown", "rate": 0.15}, seed=23)
    go = tmp_path / "go"
    procs = start_workers(faulty, tmp_path, [
        {"mode": "sweep", "points": gaps[w:] + gaps[:w], "sleep": 0.05, "lease": 6.0,
         "start": str(go)} for w in range(0, 20, 5)])
    time.sleep(1.0)
    go.touch()
    reports = finish(procs, timeout=200)
    conflicts, throttled = applied(faulty.endpoint)
    assert conflicts == 3 and throttled > 0
    assert runs(tmp_path) == Counter(repr(g) for g in gaps)
    assert all(r["ids"] == reports[0]["ids"] for r in reports)
    assert faulty.claims() == []


@pytest.mark.parametrize("fault", [
    # Every claim request fails for a while (longer than the retries of one
    # operation), then the service recovers.
    [{"key": ".claim", "action": "conflict", "count": 25}],
    # Now and then, on every kind of claim request (create, read, refresh, removal).
    [{"key": ".claim", "action": "conflict", "rate": 0.3},
     {"key": ".claim", "action": "internal", "rate": 0.2}],
], ids=["outage", "intermittent"])
def test_claim_failures_are_waited_out(faulty, fault):
    warm_up(faulty)
    set_faults(faulty.endpoint, *fault, seed=5)
    solvers = [Solver(seconds=0.6) for _ in range(3)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a claim left after saving
        records = [storage.get_or_compute_simulation_result(
            **ring_identity(0.3 + i), compute=s, lease=2.0) for i, s in enumerate(solvers)]
    assert sum(applied(faulty.endpoint)) > 0
    assert [s.runs for s in solvers] == [1, 1, 1]
    set_faults(faulty.endpoint)
    assert [storage.find_simulation_result(**ring_identity(0.3 + i)) for i in range(3)] == records


# --- services that ignore a condition -------------------------------------------------------------


@pytest.mark.parametrize("ignored", ["if-match", "if-none-match"])
def test_service_ignoring_one_condition_is_used_without_claims(faulty, ignored):
    set_faults(faulty.endpoint, ignore=(ignored,))
    with pytest.warns(RuntimeWarning, match="ignores conditional writes"):
        first = storage.get_or_compute_simulation_result(
            **ring_identity(0.1), compute=lambda: OUTCOME)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # said once per process and store
        second = storage.get_or_compute_simulation_result(
            **ring_identity(0.2), compute=lambda: OUTCOME)
    assert storage.find_simulation_result(**ring_identity(0.1)) == first
    assert second.result == OUTCOME["result"]
    assert faulty.claims() == [] and len(faulty.files()) == 2


# --- the heartbeat --------------------------------------------------------------------------------


def test_stuck_object_store_refresh_never_delays_a_local_claim(faulty, tmp_path):
    # One process holds an S3 claim, whose refreshes need the interpreter
    # lock (and meet a slow service), and a local claim whose solver keeps
    # that lock for eight local leases. A worker waiting for the local point
    # must not take it over.
    set_faults(faulty.endpoint, {"match": "refresh", "action": "delay", "seconds": 2.0})
    local = tmp_path / "local-store"
    spec = {"local": str(local), "s3": faulty.location, "runs": str(tmp_path / "runs.txt"),
            "lease": 0.5}

    def spawn(mode: str, **more) -> subprocess.Popen:
        return subprocess.Popen([sys.executable, str(TWO_STORES), json.dumps(dict(spec, mode=mode, **more))],
                                env=faulty.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    holder = spawn("hold", gil=4)
    deadline = time.monotonic() + 60
    while "local" not in runs(tmp_path):
        assert holder.poll() is None, holder.stderr.read()
        assert time.monotonic() < deadline, "the local claim was never made"
        time.sleep(0.02)
    waiter = spawn("wait")
    reports = []
    for proc in (holder, waiter):
        out, err = proc.communicate(timeout=120)
        assert proc.returncode == 0, err
        reports.append(json.loads(out.strip().splitlines()[-1]))
    assert runs(tmp_path) == Counter({"remote": 1, "local": 1})
    assert reports[0]["remote"] == "ok"
    assert reports[1]["pid"] == reports[0]["pid"] == float(holder.pid)


# --- removals -----------------------------------------------------------------------------------


def test_removal_the_service_refuses_is_an_error(faulty):
    record = storage.get_or_compute_simulation_result(**ring_identity(0.4), compute=lambda: OUTCOME)
    name = f"ring_{record.simulation_id}.json"
    set_faults(faulty.endpoint, {"match": "delete", "action": "deny-delete", "key": name})
    with pytest.raises(PermissionError, match="AccessDenied"):
        storage.delete_simulation_result(record.simulation_id)
    assert applied(faulty.endpoint) == [1]
    assert storage.load_simulation_result(record.simulation_id) == record
    set_faults(faulty.endpoint)
    assert storage.delete_simulation_result(record.simulation_id) is True
    assert storage.load_simulation_result(record.simulation_id) is None
