"""The command line and claims: what ``running`` and ``verify`` tell of the work in
flight, and that the commands that move results never move or count a claim.

A live claim is held by a real worker process whose solver never returns;
dead holders are claim files written by the test, as a killed worker leaves them.
"""

from __future__ import annotations

import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

from corvina.core import simulation_storage as storage

from support.claims import (  # noqa: F401 - the fixtures
    WORKER,
    SharedStore,
    ring_identity,
    shared,
)

pytestmark = pytest.mark.timeout(180)

PROG = "corvina.cli"


def cli(store: SharedStore, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", PROG, *args], env=store.env, input="",
                          capture_output=True, text=True, timeout=120)


def dead_claim(generation: int, lease: float, heartbeat: str = "2020-01-01T00:00:00.000000+00:00"
               ) -> str:
    return json.dumps({
        "simulation_id": "x", "component_name": "ring", "simulation_type": "transmission",
        "generation": generation, "owner": "0" * 32, "host": "gone", "pid": 1,
        "started": "2020-01-01T00:00:00.000000+00:00", "lease_seconds": lease,
        "heartbeat": heartbeat, "beats": 0,
    }) + "\n"


def claim_path(store: SharedStore, gap: float, generation: int):
    simulation_id = storage._compute_simulation_id(**ring_identity(gap))
    return storage.get_simulations_dir() / "transmission" / f".ring_{simulation_id}.{generation}.claim"


def age_file(store: SharedStore, gap: float, generation: int, seconds: float) -> None:
    """Make a local claim file look untouched for ``seconds``, as a dead holder's is."""
    path = pathlib.Path(str(claim_path(store, gap, generation)))
    then = time.time() - seconds
    os.utime(path, (then, then))


@pytest.fixture(autouse=True)
def _fresh_s3_file_systems():
    # s3fs shares its file systems per process by their options, and the
    # endpoint is not one of them: one made for another test's server would
    # be used here.
    try:
        import s3fs
    except ImportError:
        yield
        return
    s3fs.S3FileSystem.clear_instance_cache()
    yield
    s3fs.S3FileSystem.clear_instance_cache()


@pytest.fixture
def holder(shared, tmp_path):
    """A worker computing gap 0.1 with a lease of 1 s, for as long as the test runs."""
    spec = {"mode": "one", "points": [0.1], "hold": True, "lease": 1.0,
            "runs": str(tmp_path / "runs.txt")}
    proc = subprocess.Popen([sys.executable, str(WORKER), json.dumps(spec)], env=shared.env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not shared.claims():
        assert proc.poll() is None, proc.stderr.read()
        assert time.monotonic() < deadline, "the holder never claimed"
        time.sleep(0.05)
    yield proc
    proc.send_signal(signal.SIGKILL)
    proc.wait()


def by_gap(store: SharedStore, listing: list[dict]) -> dict[tuple[float, int], dict]:
    ids = {storage._compute_simulation_id(**ring_identity(g)): g for g in (0.1, 0.2, 0.3)}
    return {(ids[c["simulation_id"]], c["generation"]): c for c in listing}


def test_running_tells_live_stale_and_taken_over_claims_apart(shared, holder):
    # gap 0.2: a holder that died; gap 0.3: taken over once, then that holder died too.
    shared.put_claim(0.2, 0, dead_claim(0, 0.5))
    shared.put_claim(0.3, 0, dead_claim(0, 0.5))
    shared.put_claim(0.3, 1, dead_claim(1, 0.5))
    proc = cli(shared, "running", "--watch", "5", "--json")
    assert proc.returncode == 0, proc.stderr
    claims = by_gap(shared, json.loads(proc.stdout))
    assert {key: (c["state"], c["judged_by"]) for key, c in claims.items()} == {
        (0.1, 0): ("live", "watch"),
        (0.2, 0): ("stale", "watch"),
        (0.3, 0): ("stale", "takeover"),
        (0.3, 1): ("stale", "watch"),
    }
    live = claims[(0.1, 0)]
    assert (live["pid"], live["host"], live["lease_seconds"]) == (holder.pid, os.uname().nodename, 1.0)
    assert live["silent_seconds"] < 60 and live["age_seconds"] >= 0
    table = cli(shared, "running", "--watch", "5", "--stale")
    assert table.returncode == 0, table.stderr
    lines = table.stdout.splitlines()
    assert lines[0].split() == ["ID", "COMPONENT", "TYPE", "GEN", "HOLDER", "AGE", "HEARTBEAT",
                                "LEASE", "STATE"]
    assert len(lines) == 4 and all("gone:1" in line and "stale" in line for line in lines[1:])


def test_running_by_the_clocks_on_a_local_store(tmp_path, monkeypatch):
    store = SharedStore(str(tmp_path / "store"), {}, monkeypatch)
    now = time.strftime("%Y-%m-%dT%H:%M:%S.000000+00:00", time.gmtime())
    store.put_claim(0.1, 0, dead_claim(0, 60.0, heartbeat=now))  # a recent heartbeat
    store.put_claim(0.2, 0, dead_claim(0, 60.0))
    # A heartbeat that is old, or on a clock far behind ours, while the file
    # changed a moment ago: any recent sign of life keeps the claim live.
    store.put_claim(0.3, 0, dead_claim(0, 60.0))
    age_file(store, 0.1, 0, 3600)
    age_file(store, 0.2, 0, 3600)
    proc = cli(store, "running", "--json")
    assert proc.returncode == 0, proc.stderr
    states = {gap: c["state"] for (gap, _), c in by_gap(store, json.loads(proc.stdout)).items()}
    assert states == {0.1: "live", 0.2: "stale", 0.3: "live"}
    assert "stale (by the clocks)" in cli(store, "running").stdout


def test_verify_reports_stale_claims_and_fix_removes_only_the_long_silent(tmp_path, monkeypatch):
    store = SharedStore(str(tmp_path / "store"), {}, monkeypatch)
    # gap 0.1: silent 3 leases, reported, kept; gap 0.2: taken over, both
    # generations silent 11 leases, removed; gap 0.3: a dead generation 0
    # under a live generation 1, which a worker is computing now.
    now = time.strftime("%Y-%m-%dT%H:%M:%S.000000+00:00", time.gmtime())
    store.put_claim(0.1, 0, dead_claim(0, 10.0))
    store.put_claim(0.2, 0, dead_claim(0, 10.0))
    store.put_claim(0.2, 1, dead_claim(1, 10.0))
    store.put_claim(0.3, 0, dead_claim(0, 10.0))
    store.put_claim(0.3, 1, dead_claim(1, 10.0, heartbeat=now))
    for gap, generation, silent in ((0.1, 0, 30), (0.2, 0, 110), (0.2, 1, 110), (0.3, 0, 500)):
        age_file(store, gap, generation, silent)
    report = cli(store, "verify", "--json")
    assert report.returncode == 1
    problems = json.loads(report.stdout)["problems"]
    assert sorted(p["kind"] for p in problems) == ["stale-claim", "stale-claim"]
    assert json.loads(report.stdout)["live_claims"] == 2
    assert not any("stray" == p["kind"] for p in problems)
    fixed = cli(store, "verify", "--fix", "--json")
    out = json.loads(fixed.stdout)
    assert fixed.returncode == 1 and [p["kind"] for p in out["problems"]] == ["stale-claim"]
    assert sorted(pathlib.Path(p).name for p in out["removed_claims"]) == sorted(
        claim_path(store, 0.2, g).name for g in (0, 1))
    assert sorted(store.claims()) == sorted(
        claim_path(store, gap, g).name for gap, g in ((0.1, 0), (0.3, 0), (0.3, 1)))


def test_fix_leaves_a_claim_that_changed_since_it_was_read(tmp_path, monkeypatch):
    from corvina.cli import store as cli_store

    store = SharedStore(str(tmp_path / "store"), {}, monkeypatch)
    store.put_claim(0.1, 0, dead_claim(0, 1.0))
    [claim] = cli_store.read_claims(storage.get_simulations_dir())
    store.put_claim(0.1, 0, dead_claim(0, 1.0, heartbeat="2021-01-01T00:00:00.000000+00:00"))
    assert not cli_store.remove_claim(claim)
    assert store.claims() == [claim.path.name]


@pytest.mark.parametrize(
    "command, counted",
    [
        (["clear", "--yes"], r"^deleted 2 simulation results$"),
        (["prune", "--status", "success", "--yes"], r"^removed 2 simulation results "),
        (["stats"], r"^total +2 "),
        (["sync", "{store}", "{dest}"], r"^copied 2 results "),
    ],
    ids=["clear", "prune", "stats", "sync"],
)
def test_commands_that_move_results_leave_claims_alone(shared, holder, tmp_path, command, counted):
    for gap in (0.2, 0.3):
        storage.save_simulation_result(**ring_identity(gap), result={"t": [1.0]}, wavelengths=[1.5],
                                       execution_time_seconds=1.0)
    shared.put_claim(0.3, 0, dead_claim(0, 0.5))  # beside a result: a holder that died after saving
    before = sorted(shared.claims())
    dest = tmp_path / "dest"
    args = [a.format(store=shared.location, dest=dest) for a in command]
    proc = cli(shared, *args)
    assert proc.returncode == 0, proc.stderr
    assert re.search(counted, proc.stdout, re.M), proc.stdout
    assert sorted(shared.claims()) == before
    if command[0] == "sync":
        assert sorted(p.name for p in dest.rglob("*") if p.is_file()) == sorted(
            p.rsplit("/", 1)[-1] for p in shared.files() if p.endswith(".json"))
