"""Crashes around claims: holders killed or paused, results a crash left damaged.

A holder killed on this machine is recognised by its process and taken over
at once; one paused past its lease must not spoil the work of the worker that
took over; a result file cut short is computed again by get_or_compute while
the store's lookups keep raising.
"""

from __future__ import annotations

import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time
import uuid
from collections import Counter

import pytest

from corvina.core import simulation_storage as storage

import support
from support import FAST_PATHS_OFF
from support.claims import (  # noqa: F401 - the fixtures
    Gate,
    SharedStore,
    claim_files,
    in_thread,
    ring_identity,
    runs,
    shared,
)

pytestmark = pytest.mark.timeout(180)

HERE = pathlib.Path(__file__).parent
CRASH_WORKER = support.HERE / "crash_worker.py"


def spawn(store: SharedStore, tmp_path: pathlib.Path, spec: dict) -> subprocess.Popen:
    spec = {"runs": str(tmp_path / "runs.txt"), **spec}
    return subprocess.Popen([sys.executable, str(CRASH_WORKER), json.dumps(spec)], env=store.env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def report(proc: subprocess.Popen) -> dict:
    stdout, stderr = proc.communicate(timeout=120)
    assert proc.returncode == 0, stderr
    return json.loads(stdout.strip().splitlines()[-1])


def wait_until(condition, what: str, proc: subprocess.Popen | None = None) -> None:
    deadline = time.monotonic() + 60
    while not condition():
        if proc is not None and proc.poll() is not None:
            pytest.fail(f"{what}: the worker ended: {proc.stderr.read()}")
        assert time.monotonic() < deadline, what
        time.sleep(0.01)


def outcome(tag: str):
    ran = []

    def compute():
        ran.append(tag)
        return {"result": {"by": [tag]}, "wavelengths": [1.5]}

    return compute, ran


# --- holders killed -------------------------------------------------------------------


@pytest.mark.parametrize("reaped", [True, False], ids=["reaped", "zombie"])
def test_killed_holder_of_many_claims_is_taken_over_at_once(shared, tmp_path, reaped):
    gaps = [round(0.01 * i, 2) for i in range(1, 11)]
    holder = spawn(shared, tmp_path, {"mode": "hold", "points": gaps, "lease": 30.0})
    try:
        wait_until(lambda: sum(runs(tmp_path).values()) == len(gaps), "every point claimed", holder)
        holder.send_signal(signal.SIGKILL)
        if reaped:
            holder.wait()
        compute, ran = outcome("rerun")
        started = time.monotonic()
        record = storage.get_or_compute_simulation_result(**ring_identity(gaps[3]), compute=compute,
                                                          lease=30.0)
        took = time.monotonic() - started
    finally:
        holder.kill()
        holder.wait()
    # Against a lease of 30 s: the holder was known dead, not waited out
    # (the bound is loose: a loaded machine's S3 server is slow).
    assert took < 20.0
    assert ran == ["rerun"] and record.result == {"by": ["rerun"]}
    assert storage.find_simulation_result(**ring_identity(gaps[3])) == record
    # The dead holder's other claims stay for their own takeovers; this point's are gone.
    sid = storage._compute_simulation_id(**ring_identity(gaps[3]))
    left = shared.claims()
    assert len(left) == len(gaps) - 1 and not any(sid in name for name in left)


def this_machine() -> dict:
    with open("/proc/sys/kernel/random/boot_id") as f:
        boot_id = f.read().strip()
    return {"host": os.uname().nodename, "boot_id": boot_id,
            "pid_namespace": os.readlink("/proc/self/ns/pid")}


def claim_line(pid, **fields) -> str:
    content = {"simulation_id": "x", "component_name": "ring", "simulation_type": "transmission",
               "generation": 0, "owner": "0" * 32, **this_machine(), "pid": pid,
               "started": "2026-01-01T00:00:00.000000+00:00", "lease_seconds": 30.0,
               "heartbeat": "2026-01-01T00:00:00.000000+00:00", "beats": 0}
    content.update(fields)
    return json.dumps({k: v for k, v in content.items() if v is not None}) + "\n"


@pytest.fixture
def processes():
    """pid("dead" | "alive" | "zombie"): a process of that kind, for as long as the test runs."""
    started = []

    def pid(kind: str) -> int:
        proc = subprocess.Popen(["sleep", "60"])
        started.append(proc)
        if kind == "alive":
            return proc.pid
        proc.kill()
        if kind == "dead":
            proc.wait()
            return proc.pid
        stat = pathlib.Path(f"/proc/{proc.pid}/stat")
        deadline = time.monotonic() + 10
        while stat.read_text().rsplit(")", 1)[1].split()[0] != "Z":
            assert time.monotonic() < deadline
            time.sleep(0.005)
        return proc.pid

    yield pid
    for proc in started:
        proc.kill()
        proc.wait()


@pytest.mark.parametrize(("holder", "fields", "taken_over"), [
    ("dead", {}, True),
    ("zombie", {}, True),
    ("alive", {}, False),
    ("dead", {"boot_id": "00000000-0000-0000-0000-000000000000"}, False),
    ("dead", {"pid_namespace": "pid:[1]"}, False),
    ("dead", {"host": "elsewhere"}, False),
    ("dead", {"boot_id": None, "pid_namespace": None}, False),  # written before boot IDs
    (-1, {}, False),  # kill(-1, 0) would ask about every process
    (0, {}, False),
    ("1x", {}, False),
], ids=["dead", "zombie", "alive", "other-boot", "other-namespace", "other-host", "older-claim",
        "pid-minus-one", "pid-zero", "pid-not-a-number"])
def test_only_a_holder_known_dead_is_taken_over_before_its_lease(
        tmp_path, monkeypatch, processes, holder, fields, taken_over):
    store = SharedStore(str(tmp_path / "store"), {}, monkeypatch)
    pid = processes(holder) if holder in ("dead", "alive", "zombie") else holder
    store.put_claim(0.5, 0, claim_line(pid, **fields))
    compute, ran = outcome("waiter")
    if taken_over:
        record = storage.get_or_compute_simulation_result(**ring_identity(0.5), compute=compute,
                                                          lease=30.0, wait=20.0)
        assert ran == ["waiter"] and record.result == {"by": ["waiter"]}
        assert store.claims() == []
    else:
        with pytest.raises(TimeoutError):
            storage.get_or_compute_simulation_result(**ring_identity(0.5), compute=compute,
                                                     lease=30.0, wait=0.5)
        assert ran == [] and len(store.claims()) == 1


# --- a holder paused past its lease -----------------------------------------------------------


@pytest.mark.parametrize("successor", ["done", "computing"])
def test_paused_holder_whose_solver_fails_keeps_the_successors_work(shared, tmp_path, successor):
    """The holder is stopped (as a suspended machine stops it) past its lease; a
    waiter takes over and computes; the holder, resumed, fails with
    store_errors=True: no error record may replace or precede the successor's."""
    lease = 1.0
    holder = spawn(shared, tmp_path, {"mode": "one", "points": [0.1], "lease": lease,
                                      "sleep": 1.0, "fail": True})
    successor_proc = None
    try:
        wait_until(lambda: runs(tmp_path), "the holder's solver started", holder)
        holder.send_signal(signal.SIGSTOP)
        successor_proc = spawn(shared, tmp_path, {
            "mode": "one", "points": [0.1], "lease": lease,
            "sleep": 0.0 if successor == "done" else 4.0})
        if successor == "done":
            assert report(successor_proc)["status"] == "success"
        else:
            wait_until(lambda: sum(runs(tmp_path).values()) == 2, "the successor's solver started",
                       successor_proc)
        holder.send_signal(signal.SIGCONT)
        failed = report(holder)
        if successor == "computing":
            # The holder is done; the successor still computes: nothing saved meanwhile.
            assert storage.find_simulation_result(**ring_identity(0.1)) is None
            assert report(successor_proc)["status"] == "success"
    finally:
        for proc in (holder, successor_proc):
            if proc is not None and proc.poll() is None:
                proc.send_signal(signal.SIGCONT)
                proc.kill()
                proc.wait()
    assert failed["error"] == "solver failed at 0.1"
    assert any("not saved as an error record" in note for note in failed["notes"])
    assert runs(tmp_path) == Counter({"0.1": 2})
    record = storage.find_simulation_result(**ring_identity(0.1))
    assert record.status == "success" and record.result["through"][0] == 0.1
    assert record.result["through"][1] == successor_proc.pid
    assert shared.claims() == []


# --- result files a crash left damaged -----------------------------------------------------


class OwnWrites(pathlib.PosixPath):
    """A local path with a write_bytes of its own: saves go through it."""

    __slots__ = ()

    def write_bytes(self, data):
        return super().write_bytes(data)


@pytest.fixture(params=["plain", "own-writes", "memory"])
def healing_store(request, tmp_path, monkeypatch):
    if request.param == "memory":
        upath = pytest.importorskip("upath")
        root = upath.UPath(f"memory://heal-{uuid.uuid4().hex[:12]}/simulations")
    else:
        root = (pathlib.Path if request.param == "plain" else OwnWrites)(tmp_path / "simulations")
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: root)
    monkeypatch.setattr(storage, "get_pdk_name", lambda: "test_pdk")
    return root


DAMAGE = {
    "empty": lambda good: b"",
    "truncated": lambda good: good[: len(good) // 2],
    "not-a-record": lambda good: b'{"simulation_id": "0123456789abcdef"}',
}


@pytest.mark.parametrize("damage", list(DAMAGE))
def test_damaged_result_file_is_computed_again_by_get_or_compute(
        healing_store, identity, logs, damage):
    first = storage.get_or_compute_simulation_result(**identity(), compute=outcome("first")[0])
    path = storage._find_simulation_file(first.simulation_id)
    path.write_bytes(DAMAGE[damage](path.read_bytes()))
    # The lookups themselves keep telling the file is damaged.
    with pytest.raises(ValueError):
        storage.find_simulation_result(**identity())
    with pytest.raises(ValueError):
        storage.load_simulation_result(first.simulation_id)

    compute, ran = outcome("healed")
    record = storage.get_or_compute_simulation_result(**identity(), compute=compute)
    assert ran == ["healed"] and record.result == {"by": ["healed"]}
    warnings = [text for level, text in logs.records if level == "warning"]
    assert len(warnings) == 1 and str(path) in warnings[0] and "computing it again" in warnings[0]
    assert storage._find_simulation_file(first.simulation_id) == path
    assert storage.load_simulation_result(first.simulation_id) == record
    again = storage.get_or_compute_simulation_result(**identity(), compute=compute)
    assert again == record and ran == ["healed"]
    assert claim_files(healing_store) == []


def test_damaged_file_is_healed_once_while_others_wait(store, identity, logs):
    first = storage.get_or_compute_simulation_result(**identity(), compute=outcome("first")[0])
    storage._find_simulation_file(first.simulation_id).write_bytes(b"")
    gate = Gate({"result": {"by": ["holder"]}, "wavelengths": [1.5]})
    holder, held = in_thread(lambda: storage.get_or_compute_simulation_result(
        **identity(), compute=gate))
    assert gate.entered.wait(30)
    compute, ran = outcome("waiter")
    waiter, waited = in_thread(lambda: storage.get_or_compute_simulation_result(
        **identity(), compute=compute))
    time.sleep(0.2)
    assert waiter.is_alive()  # it waits for the holder's new result, not computing its own
    gate.release.set()
    holder.join(30)
    waiter.join(30)
    assert ran == [] and gate.calls == 1
    assert waited["value"] == held["value"] == storage.find_simulation_result(**identity())


def test_damaged_file_that_a_save_would_not_replace_still_raises(store, identity, logs):
    # The same ID in another type directory, found first: saving the point
    # would not replace it, and computing again would never end.
    first = storage.get_or_compute_simulation_result(**identity(), compute=outcome("first")[0])
    path = storage._find_simulation_file(first.simulation_id)
    stray = store / "a_type" / path.name
    stray.parent.mkdir()
    stray.write_bytes(b"")
    path.unlink()
    compute, ran = outcome("again")
    with pytest.raises(ValueError):
        storage.get_or_compute_simulation_result(**identity(), compute=compute)
    assert ran == [] and claim_files(store) == []


def test_healing_with_the_fast_paths_off():
    if FAST_PATHS_OFF:
        pytest.skip("this run has them off already")
    env = dict(os.environ, CORVINA_DISABLE_FAST_PATHS="1")
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", __file__, "-q", "-p", "no:xdist", "-p", "no:cacheprovider",
         "-k", "damaged"], env=env, cwd=HERE.parent, capture_output=True, text=True, timeout=170)
    assert proc.returncode == 0, proc.stdout + proc.stderr  # 5: none selected


# --- durable saves ------------------------------------------------------------------------------

TRACED = """
import pathlib, sys
from corvina.core import simulation_storage as s
from corvina.models import SimulationHyperparameters
root = pathlib.Path(sys.argv[1])
s.get_simulations_dir = lambda: root
ident = dict(component_name="ring", factory_name="f", model_parameters={}, simulation_type="t",
             hyperparameters=SimulationHyperparameters())
out = {"result": {}, "wavelengths": [1.5]}
s.save_simulation_result(**ident, component_settings={"plain": 1}, **out, execution_time_seconds=1.0)
print("--- get_or_compute", flush=True)
s.get_or_compute_simulation_result(**ident, component_settings={"claimed": 1}, compute=lambda: out)
"""


def test_get_or_compute_saves_reach_the_disk_before_the_release(tmp_path):
    if shutil.which("strace") is None:
        pytest.skip("no strace")
    trace = tmp_path / "trace"
    proc = subprocess.run(
        ["strace", "-f", "-qq", "-o", str(trace), "-e",
         "trace=fdatasync,fsync,rename,renameat,renameat2,unlink,unlinkat,write",
         sys.executable, "-c", TRACED, str(tmp_path / "store")],
        capture_output=True, text=True, timeout=120)
    if proc.returncode != 0 and "ptrace" in proc.stderr:
        pytest.skip(f"strace cannot trace here: {proc.stderr.strip()}")
    assert proc.returncode == 0, proc.stderr
    calls = [re.sub(r"^\d+\s+", "", line) for line in trace.read_text().splitlines()]
    split = next(i for i, c in enumerate(calls) if "--- get_or_compute" in c)
    plain, claimed = calls[:split], calls[split:]
    # rename/renameat2 and unlink/unlinkat alike.
    syscall = lambda c: re.sub(r"at2?$", "", c.split("(", 1)[0])  # noqa: E731
    # An ordinary save costs what it did: no sync.
    assert not [c for c in plain if syscall(c) in ("fdatasync", "fsync")]
    steps = [c for c in claimed if syscall(c) in ("fdatasync", "fsync")
             or (syscall(c).startswith("rename") and ".json" in c)
             or (syscall(c).startswith("unlink") and ".claim" in c)]
    # The data, the rename, the directory, then the claim's release.
    assert [syscall(c) for c in steps][:4] == ["fdatasync", "rename", "fsync", "unlink"], steps


# --- what the command line tells of them ---------------------------------------------------------


def test_running_tells_a_dead_local_holder_and_reads_older_claims(tmp_path, monkeypatch, processes):
    from datetime import UTC, datetime

    store = SharedStore(str(tmp_path / "store"), {}, monkeypatch)
    now = datetime.now(UTC).isoformat(timespec="microseconds")
    fresh = {"heartbeat": now, "started": now}
    store.put_claim(0.1, 0, claim_line(processes("dead"), **fresh))
    store.put_claim(0.2, 0, claim_line(processes("alive"), **fresh))
    store.put_claim(0.3, 0, claim_line(processes("dead"), boot_id=None, pid_namespace=None, **fresh))
    proc = subprocess.run([sys.executable, "-m", "corvina.cli", "running", "--json"],
                          env=store.env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    ids = {storage._compute_simulation_id(**ring_identity(g)): g for g in (0.1, 0.2, 0.3)}
    seen = {ids[c["simulation_id"]]: c for c in json.loads(proc.stdout)}
    assert {g: (c["state"], c["judged_by"]) for g, c in seen.items()} == {
        0.1: ("stale", "process"), 0.2: ("live", "clock"), 0.3: ("live", "clock")}
    assert seen[0.1]["boot_id"] == this_machine()["boot_id"] and seen[0.3]["boot_id"] is None
    table = subprocess.run([sys.executable, "-m", "corvina.cli", "running", "--stale"],
                           env=store.env, capture_output=True, text=True, timeout=120)
    assert table.returncode == 0 and "stale (holder gone)" in table.stdout
