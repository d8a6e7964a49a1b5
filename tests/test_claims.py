"""Each simulation computed once across workers: claims, waits, takeovers, faults.

Races run between spawned processes, on a local store and on S3 (moto's
server in a process of its own, on 127.0.0.1). Every solver run appends its
point to a shared file when it starts, so duplicate work shows as a count.
"""

from __future__ import annotations

import os
import pathlib
import random
import signal
import threading
import time
import uuid
import warnings
from collections import Counter

import pytest
from conftest import LiteralPath, S3Service

from corvina.compute import cached_simulation, compute_many
from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters

from support import FAST_PATHS_OFF
from support.claims import (  # noqa: F401 - the fixture
    Gate,
    SharedStore,
    claim_files,
    finish,
    in_thread,
    ring_identity,
    runs,
    shared,
    start_workers,
)
from support.s3 import bucket_store

pytestmark = pytest.mark.timeout(180)

# --- races between processes -------------------------------------------------------


@pytest.mark.parametrize("order", ["same", "shuffled"])
def test_overlapping_sweeps_compute_each_point_once(shared, tmp_path, order):
    gaps = [round(0.05 * i, 2) for i in range(1, 11)]
    rng = random.Random(7)
    orders = [gaps if order == "same" else rng.sample(gaps, len(gaps)) for _ in range(4)]
    go = tmp_path / "go"
    procs = start_workers(shared, tmp_path, [
        {"mode": "sweep", "points": points, "sleep": 0.15, "start": str(go)} for points in orders
    ])
    time.sleep(1.0)  # let every worker import and reach the start line
    go.touch()
    reports = finish(procs)
    assert runs(tmp_path) == Counter(repr(g) for g in gaps)
    assert all(r["ids"] == reports[0]["ids"] for r in reports)
    assert len(reports[0]["ids"]) == len(gaps)
    assert shared.claims() == []
    assert len([f for f in shared.files() if f.endswith(".json")]) == len(gaps)


def test_exactly_one_waiter_takes_over_a_stale_claim(shared, tmp_path):
    # A holder that died long ago: its claim never changes again.
    dead = ('{"simulation_id": "x", "component_name": "ring", "simulation_type": "transmission", '
            '"generation": 0, "owner": "dead", "host": "gone", "pid": 1, '
            '"started": "2020-01-01T00:00:00.000000+00:00", "lease_seconds": 0.5, '
            '"heartbeat": "2020-01-01T00:00:00.000000+00:00", "beats":                    0}\n')
    shared.put_claim(0.1, 0, dead)
    go = tmp_path / "go"
    procs = start_workers(shared, tmp_path, [
        {"mode": "one", "points": [0.1], "sleep": 0.3, "lease": 2.0, "start": str(go)}
        for _ in range(5)
    ])
    time.sleep(1.0)
    go.touch()
    reports = finish(procs)
    assert runs(tmp_path) == Counter({"0.1": 1})
    assert len({r["ids"]["0.1"] for r in reports}) == 1
    assert shared.claims() == []


def test_holder_killed_mid_run_is_taken_over_once(shared, tmp_path):
    holder, = start_workers(shared, tmp_path, [
        {"mode": "one", "points": [0.2], "hold": True, "lease": 1.5}])
    deadline = time.monotonic() + 60
    while not shared.claims():
        assert holder.poll() is None, holder.stderr.read()
        assert time.monotonic() < deadline, "the holder never claimed"
        time.sleep(0.05)
    waiters = start_workers(shared, tmp_path, [
        {"mode": "one", "points": [0.2], "sleep": 0.2, "lease": 1.5} for _ in range(3)])
    # Two leases: the heartbeat keeps the live holder's claim.
    time.sleep(3.0)
    assert runs(tmp_path) == Counter({"0.2": 1})
    holder.send_signal(signal.SIGKILL)
    holder.wait()
    reports = finish(waiters)
    started = runs(tmp_path)
    # The holder's run, and one run by the one waiter that took over.
    assert started == Counter({"0.2": 2})
    assert len({r["ids"]["0.2"] for r in reports}) == 1
    assert shared.claims() == []


def test_solver_holding_the_interpreter_lock_keeps_a_local_claim(tmp_path, monkeypatch):
    store = SharedStore(str(tmp_path / "store"), {}, monkeypatch)
    holder, = start_workers(store, tmp_path, [
        {"mode": "one", "points": [0.3], "gil": 4, "lease": 1.0}])
    deadline = time.monotonic() + 60
    while not store.claims():
        assert holder.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    waiters = start_workers(store, tmp_path, [
        {"mode": "one", "points": [0.3], "lease": 1.0} for _ in range(2)])
    reports = finish([holder, *waiters])
    assert runs(tmp_path) == Counter({"0.3": 1})
    assert len({r["ids"]["0.3"] for r in reports}) == 1


# --- failures of compute, with waiters in other threads --------------------------------


@pytest.fixture(params=["plain", "subclass", "memory"])
def any_store(request, tmp_path, monkeypatch):
    """Local stores as the ``store`` fixture makes them, and an fsspec store in memory."""
    if request.param == "memory":
        upath = pytest.importorskip("upath")
        root = upath.UPath(f"memory://claims-{uuid.uuid4().hex[:12]}/simulations")
    else:
        cls = pathlib.Path if request.param == "plain" else LiteralPath
        root = cls(tmp_path / "simulations")
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: root)
    monkeypatch.setattr(storage, "get_pdk_name", lambda: "test_pdk")
    return root


@pytest.fixture
def save_result_any(any_store, identity):
    def save(**overrides):
        return storage.save_simulation_result(
            **identity(**overrides), result={"s": [1.0]}, wavelengths=[1.5],
            execution_time_seconds=1.0)

    return save


@pytest.mark.parametrize("store_errors", [False, True])
@pytest.mark.parametrize("failure", [ValueError("solver diverged"), KeyboardInterrupt()],
                         ids=["exception", "interrupt"])
def test_failing_compute_releases_its_claim(any_store, identity, store_errors, failure):
    store = any_store
    gate = Gate(failure)
    holder, held = in_thread(lambda: storage.get_or_compute_simulation_result(
        **identity(), compute=gate, store_errors=store_errors))
    assert gate.entered.wait(30)
    assert len(claim_files(store)) == 1
    waiter_runs = []

    def waiter_compute():
        waiter_runs.append(1)
        return {"result": {"x": [1.0]}, "wavelengths": [1.55]}

    waiter, waited = in_thread(lambda: storage.get_or_compute_simulation_result(
        **identity(), compute=waiter_compute))
    time.sleep(0.2)
    assert waiter.is_alive()  # it waits for the holder
    gate.release.set()
    holder.join(30)
    waiter.join(30)
    assert held["error"] is failure  # the exception reaches the caller that computed
    kept = store_errors and isinstance(failure, Exception)
    record = waited["value"]
    if kept:
        assert (record.status, record.error_message) == ("error", "ValueError: solver diverged")
        assert waiter_runs == []
    else:
        # Released without a result: the waiter claims and computes it itself.
        assert record.status == "success" and waiter_runs == [1]
    assert storage.find_simulation_result(**identity()) == record
    assert claim_files(store) == []


def test_store_functions_never_see_a_live_claim(any_store, identity, save_result_any):
    other = save_result_any(component_name="mmi")
    gate = Gate({"result": {}, "wavelengths": []})
    holder, _ = in_thread(lambda: storage.get_or_compute_simulation_result(
        **identity(), compute=gate))
    assert gate.entered.wait(30)
    try:
        held_id = storage._compute_simulation_id(**identity())
        assert storage.find_simulation_result(**identity()) is None
        assert storage.load_simulation_result(held_id) is None
        assert storage._find_simulation_file(held_id) is None
        assert storage.list_simulation_results() == [other]
        assert storage.delete_simulation_result(held_id) is False
        assert storage.clear_simulation_results(component_name="ring") == 0
        assert len(claim_files(any_store)) == 1
    finally:
        gate.release.set()
        holder.join(30)


def test_waiter_gives_up_naming_the_holder(any_store, identity):
    gate = Gate({"result": {}, "wavelengths": []})
    holder, _ = in_thread(lambda: storage.get_or_compute_simulation_result(
        **identity(), compute=gate))
    assert gate.entered.wait(30)
    try:
        with pytest.raises(TimeoutError) as info:
            storage.get_or_compute_simulation_result(
                **identity(), compute=lambda: pytest.fail("computed twice"), wait=0.1)
    finally:
        gate.release.set()
        holder.join(30)
    message = str(info.value)
    assert f"process {os.getpid()}" in message and os.uname().nodename in message


# --- a service that ignores conditional writes ------------------------------------------


def test_service_ignoring_conditional_writes_is_used_without_claims(tmp_path, monkeypatch):
    pytest.importorskip("s3fs")
    pytest.importorskip("moto.server")
    import s3fs

    service = S3Service("--ignore-conditions")
    # File systems are shared per process by their options, and the endpoint
    # is not one of them: the test's store must not reach the other server.
    s3fs.S3FileSystem.clear_instance_cache()
    try:
        location, env = bucket_store(service.endpoint, tmp_path, monkeypatch, "ignoring")
        shared = SharedStore(location, env, monkeypatch)
        outcome = {"result": {"t": [0.5]}, "wavelengths": [1.55]}
        with pytest.warns(RuntimeWarning, match="ignores conditional writes"):
            first = storage.get_or_compute_simulation_result(
                **ring_identity(0.1), compute=lambda: outcome)
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # said once per process and store
            second = storage.get_or_compute_simulation_result(
                **ring_identity(0.2), compute=lambda: outcome)
        assert storage.find_simulation_result(**ring_identity(0.1)) == first
        assert second.result == outcome["result"]
        assert shared.claims() == [] and len(shared.files()) == 2
    finally:
        s3fs.S3FileSystem.clear_instance_cache()
        service.close()


# --- fork -----------------------------------------------------------------------------


def test_forked_child_neither_holds_nor_releases_the_parents_claim(store, identity):
    parent = os.getpid()
    child_status = {}

    def compute():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
            pid = os.fork()
        if pid:
            child_status["code"] = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
            return {"result": {"parent": [1.0]}, "wavelengths": [1.5]}
        try:
            # The parent's claim is another process's claim for the child.
            try:
                storage.get_or_compute_simulation_result(
                    **identity(), compute=lambda: os._exit(3), wait=0.0)
                os._exit(4)
            except TimeoutError:
                pass
            # The child's own claims get heartbeats of their own.
            seen = []

            def watch_own_claim():
                for _ in range(2):
                    seen.append(sorted(p.read_bytes() for p in claim_files(store)))
                    time.sleep(0.3)
                return {"result": {}, "wavelengths": []}

            storage.get_or_compute_simulation_result(
                **identity(component_settings={"child": True}), compute=watch_own_claim,
                lease=0.2)
            if seen[0] == seen[1]:
                os._exit(5)
        except BaseException:  # noqa: BLE001 - never return into pytest in the child
            os._exit(6)
        # Returning saves in the child; its release must leave the parent's claim.
        return {"result": {"child": [1.0]}, "wavelengths": [1.5]}

    record = storage.get_or_compute_simulation_result(**identity(), compute=compute)
    if os.getpid() != parent:
        os._exit(0 if len(claim_files(store)) == 1 else 7)
    assert child_status["code"] == 0
    assert record.result == {"parent": [1.0]}
    assert claim_files(store) == []


# --- hits, misses and arguments -------------------------------------------------------------


def test_hit_sends_exactly_the_requests_of_find(s3_requests, bucket, monkeypatch, identity):
    from upath import UPath

    root = UPath(f"s3://{bucket}/sims", use_listings_cache=False)
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: root)
    outcome = {"result": {"t": [1.0]}, "wavelengths": [1.5]}
    storage.get_or_compute_simulation_result(**identity(), compute=lambda: outcome)
    s3_requests.clear()
    storage.find_simulation_result(**identity())
    find_requests = list(s3_requests.requests)
    s3_requests.clear()
    storage.get_or_compute_simulation_result(**identity(), compute=lambda: pytest.fail("hit"))
    assert s3_requests.requests == find_requests


@pytest.mark.parametrize(("kwargs", "error", "text"), [
    ({"compute": 42}, TypeError, "expected callable"),
    ({"lease": 0}, ValueError, "lease"),
    ({"lease": float("inf")}, ValueError, "lease"),
    ({"wait": -1.0}, ValueError, "wait"),
    ({"wait": float("nan")}, ValueError, "wait"),
    ({"compute": lambda: {"result": {}, "wavelength": []}}, TypeError, "unknown field 'wavelength'"),
    ({"compute": lambda: [1, 2]}, TypeError, "'result' and 'wavelengths'"),
    ({"compute": lambda: {"result": {}, "wavelengths": "no"}}, Exception, "wavelengths"),
    # Names whose result no lookup would ever find again.
    ({"simulation_type": ""}, ValueError, "simulation_type ''"),
    ({"simulation_type": "."}, ValueError, "simulation_type '.'"),
    ({"simulation_type": "a/b"}, ValueError, "simulation_type"),
    ({"component_name": "a/b"}, ValueError, "component_name"),
])
def test_bad_arguments_and_outcomes_store_nothing(store, identity, kwargs, error, text):
    call = {**identity(), "compute": lambda: {"result": {}, "wavelengths": []}, **kwargs}
    with pytest.raises(error, match=text):
        storage.get_or_compute_simulation_result(**call)
    assert storage.find_simulation_result(**identity()) is None
    assert claim_files(store) == []


@pytest.mark.parametrize("stem_bytes", [227, 228, 250], ids=["longest-full", "short", "limit"])
def test_names_near_the_limit_still_get_a_claim(store, identity, stem_bytes):
    # A result's name may use all 255 bytes; its claim's name must still fit,
    # and the command line must find and name the claim as the store made it.
    from corvina.cli import store as cli_store

    long_name = "ø" + "c" * (stem_bytes - len("_0123456789abcdef") - 2)
    fields = identity(component_name=long_name)
    simulation_id = storage._compute_simulation_id(**fields)
    seen = []

    def compute():
        seen.extend(cli_store.read_claims(pathlib.Path(store)))
        return {"result": {}, "wavelengths": []}

    record = storage.get_or_compute_simulation_result(**fields, compute=compute)
    assert storage.find_simulation_result(**fields) == record
    [claim] = seen
    assert (claim.component_name, claim.simulation_id) == (long_name, simulation_id)
    assert claim.path.name == cli_store.claim_file_name(long_name, simulation_id, 0)
    assert len(os.fsencode(claim.path.name)) <= 255
    assert claim.path.name.startswith(f".{long_name}_" if stem_bytes <= 227 else "._")
    assert claim_files(store) == []


def test_solver_changing_its_arguments_saves_under_the_id_it_was_claimed_by(store):
    runs = []

    @cached_simulation("transmission", model_parameters="model")
    def solve(settings: dict, model: dict, hyperparameters: SimulationHyperparameters):
        runs.append(1)
        # Filling in its own defaults changes the caller's objects.
        settings.setdefault("extra", 1)
        model.setdefault("extra", 1)
        return {"result": {"n": len(runs)}, "wavelengths": [1.55]}

    def call():
        return solve({"gap": 0.1}, {"n": 2.0}, SimulationHyperparameters())

    first, second = call(), call()
    assert len(runs) == 1
    assert first == second
    assert solve.find({"gap": 0.1}, {"n": 2.0}, SimulationHyperparameters()) == first
    assert first.component_settings == {"settings": {"gap": 0.1}}


def test_outcome_given_as_an_object_and_its_own_time(store, identity):
    from dataclasses import dataclass

    @dataclass
    class Outcome:
        result: dict
        wavelengths: list
        execution_time_seconds: float = 12.5

    record = storage.get_or_compute_simulation_result(
        **identity(), compute=lambda: Outcome({"a": [1.0]}, [1.5]))
    assert (record.result, record.execution_time_seconds) == ({"a": [1.0]}, 12.5)
    measured = storage.get_or_compute_simulation_result(
        **identity(simulation_type="timed"),
        compute=lambda: (time.sleep(0.05), {"result": {}, "wavelengths": []})[1])
    assert measured.execution_time_seconds >= 0.05


def test_interface_defaults():
    f = storage.get_or_compute_simulation_result
    assert f.__kwdefaults__ == {"lease": 60.0, "wait": None, "store_errors": False}
    assert "double lease: float = 60.0, wait: float | None = None, store_errors: bool = False" in (
        f.__doc__.splitlines()[0])


# --- the decorator and the sweep helper ------------------------------------------------------


@pytest.mark.parametrize("model", ["model", ("neff", "loss")])
def test_decorator_maps_arguments_onto_the_identity(store, model):
    hyper = SimulationHyperparameters(wavelength_points=11)

    if model == "model":
        @cached_simulation("sparameters", component_name="ring", model_parameters=model)
        def solve(radius, gap=0.2, *, model, hyperparameters=hyper):
            return {"result": {"r": [radius]}, "wavelengths": [1.5]}

        call = {"radius": 10.0, "model": {"neff": 2.4, "loss": 0.1}}
    else:
        @cached_simulation("sparameters", component_name="ring", model_parameters=model)
        def solve(radius, gap=0.2, *, neff, loss, hyperparameters=hyper):
            return {"result": {"r": [radius]}, "wavelengths": [1.5]}

        call = {"radius": 10.0, "neff": 2.4, "loss": 0.1}
    fields = solve.identity(**call)
    assert fields == {
        "component_name": "ring",
        "factory_name": f"{__name__}.{solve.__wrapped__.__qualname__}",
        "component_settings": {"radius": 10.0, "gap": 0.2},
        "model_parameters": {"neff": 2.4, "loss": 0.1},
        "hyperparameters": hyper,
        "simulation_type": "sparameters",
    }
    assert solve.find(**call) is None
    record = solve(**call)
    assert record == storage.find_simulation_result(**fields) == solve.find(**call)
    assert solve.map([call, {**call, "gap": 0.3}])[0] == record


def test_compute_many_tells_the_solvers_timeout_from_a_claim(store, identity):
    def compute(point):
        raise TimeoutError("solver ran out of time")

    with pytest.raises(TimeoutError, match="solver ran out of time"):
        compute_many([identity()], compute)
    assert claim_files(store) == []


# --- sweeps looked at with one listing ------------------------------------------------------

@pytest.fixture
def s3_store(s3_requests, bucket, monkeypatch):
    from upath import UPath

    root = UPath(f"s3://{bucket}/sims", use_listings_cache=False)
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: root)
    return root


def sweep_key(fields: dict) -> tuple[str, str, str]:
    return (fields["simulation_type"], fields["component_name"],
            storage._compute_simulation_id(**fields))


def test_sweep_listing_answers_as_each_lookup_would(s3_store, s3_requests, identity):
    """Results, a copy under a second type, damaged and empty files, live and
    leftover claims: per point, what a lookup finds (or raises), or whether a
    claim of generation 0 announces it."""
    if FAST_PATHS_OFF:
        pytest.skip("the listing is the batch path's, which is switched off")
    points = [identity(component_settings={"gap": g}) for g in range(9)]
    keys = [sweep_key(p) for p in points]
    for p in points[:5]:
        storage.save_simulation_result(**p, result={"s": [1.0]}, wavelengths=[1.5],
                                       execution_time_seconds=1.0)
    name = lambda k: f"{k[1]}_{k[2]}.json"  # noqa: E731
    original = (s3_store / keys[1][0] / name(keys[1])).read_bytes()
    (s3_store / "a_first_type" / name(keys[1])).write_bytes(original.replace(b"1.5", b"1.25"))
    (s3_store / keys[5][0] / f".{keys[5][1]}_{keys[5][2]}.0.claim").write_bytes(b"{}")
    (s3_store / keys[6][0] / f".{keys[6][1]}_{keys[6][2]}.1.claim").write_bytes(b"{}")

    def one_by_one(p):
        try:
            return storage.find_simulation_result(**p)
        except Exception as exc:  # noqa: BLE001 - compared by kind and text
            return (type(exc), str(exc))

    # A damaged or empty file fails the sweep's look as it fails the point's own lookup.
    for damage in (b"{not json", b""):
        (s3_store / keys[2][0] / name(keys[2])).write_bytes(damage)
        with pytest.raises(Exception) as damaged:
            storage._lookup_sweep(keys)
        assert (type(damaged.value), str(damaged.value)) == one_by_one(points[2])
    (s3_store / keys[2][0] / name(keys[2])).unlink()

    expected = [one_by_one(p) for p in points]
    expected[5] = True
    s3_requests.clear()
    got = storage._lookup_sweep(keys)
    assert got == expected
    assert got[1].wavelengths == [1.25]  # the first type directory in listing order
    listings = [r for r in s3_requests.requests if "list-type" in r[2]]
    assert len(listings) == 1


def test_sweep_listing_is_only_for_stores_one_listing_serves(store, identity):
    assert storage._lookup_sweep([sweep_key(identity())]) is None


def test_point_held_elsewhere_costs_the_claim_attempt_alone(s3_store, s3_requests, identity):
    fields = identity()
    _, component, simulation_id = sweep_key(fields)
    claim = s3_store / fields["simulation_type"] / f".{component}_{simulation_id}.0.claim"
    storage.get_or_compute_simulation_result(**identity(component_settings={"other": 1}),
                                             compute=lambda: {"result": {}, "wavelengths": []})
    claim.write_bytes(b"{}")
    s3_requests.clear()
    assert storage._claim_unless_held(**fields, compute=lambda: pytest.fail("computed")) is None
    assert [r[0] for r in s3_requests.requests] == ["PUT"]
    # Released with a result saved since the sweep looked: found, not computed.
    storage.save_simulation_result(**fields, result={"s": [2.0]}, wavelengths=[1.5],
                                   execution_time_seconds=1.0)
    claim.unlink()
    record = storage._claim_unless_held(**fields, compute=lambda: pytest.fail("computed twice"))
    assert record == storage.find_simulation_result(**fields)
    assert not claim.exists()


@pytest.mark.parametrize("where", ["s3", "memory"])
def test_sweep_waits_for_a_point_another_worker_holds(where, request, identity, monkeypatch):
    if where == "s3":
        root = request.getfixturevalue("s3_store")
    else:
        upath = pytest.importorskip("upath")
        root = upath.UPath(f"memory://sweep-{uuid.uuid4().hex[:12]}/sims")
        monkeypatch.setattr(storage, "get_simulations_dir", lambda: root)
    points = [identity(component_settings={"gap": g}) for g in range(4)]
    storage.save_simulation_result(**points[0], result={"s": [0.0]}, wavelengths=[1.5],
                                   execution_time_seconds=1.0)
    _, component, simulation_id = sweep_key(points[2])
    claim = root / points[2]["simulation_type"] / f".{component}_{simulation_id}.0.claim"
    claim.write_bytes(b'{"heartbeat": "alive"}')

    def other_worker():
        time.sleep(0.5)
        storage.save_simulation_result(**points[2], result={"s": [2.0]}, wavelengths=[1.5],
                                       execution_time_seconds=1.0)
        claim.unlink()

    solved = []

    def solve(point):
        solved.append(point["component_settings"]["gap"])
        return {"result": {"s": [1.0]}, "wavelengths": [1.5]}

    worker = threading.Thread(target=other_worker)
    worker.start()
    try:
        records = compute_many(points, solve, wait=30)
    finally:
        worker.join()
    claims_left = [p for p in root.fs.find(root.path) if p.endswith(".claim")]
    assert solved == [1, 3] and claims_left == []
    assert records == [storage.find_simulation_result(**p) for p in points]
