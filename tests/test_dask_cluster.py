"""Cached solvers of a script, sent to processes that never imported it.

A scheduler and a worker run as on a cluster: separate processes started from
a directory of their own, so the client's script is not importable there. A
LocalCluster would hide the difference (its workers re-run the script). Every
solver run leaves a marker file, so runs are counted where they happen.
"""

from __future__ import annotations

import json
import os
import pathlib
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Iterator

import pytest

from support import HOST_ROOT

pytestmark = pytest.mark.timeout(300)


# The user's script: its solver lives in __main__.
SCRIPT = r'''
import json, multiprocessing, os, sys, uuid
from concurrent.futures import ProcessPoolExecutor

from corvina.compute import cached_simulation

RUNS = os.environ["RUNS_DIR"]


@cached_simulation("transmission", lease=10.0)
def solve(gap, radius=5.0):
    with open(os.path.join(RUNS, uuid.uuid4().hex), "w") as f:
        f.write(repr(gap))
    # The solver names itself: its own globals lead back to the cached object.
    return {"result": {"through": [gap, radius], "type": [solve.simulation_type]},
            "wavelengths": [1.5, 1.6]}


def sweep(gaps):
    return solve.map([{"gap": g} for g in gaps])


def on_cluster(address, gaps):
    from distributed import Client

    with Client(address, timeout=60) as client:
        client.wait_for_workers(2, timeout=60)
        records = client.gather(client.map(solve, gaps[:5]))
        records.append(client.submit(solve, gaps[5]).result())
        # The other six as two overlapping sweeps, each a task that calls .map.
        first, second = client.gather([client.submit(sweep, gaps[6:], pure=False),
                                       client.submit(sweep, gaps[:5:-1], pure=False)])
    assert [r.simulation_id for r in first] == [r.simulation_id for r in second[::-1]]
    return records + first


def in_spawned_children(gaps):
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        records = list(pool.map(solve, gaps[:6]))
        # A task of the script, which the child finds in its own copy of the
        # script (run there as __mp_main__), calling that copy's solver.
        first, second = pool.submit(sweep, gaps[6:]), pool.submit(sweep, gaps[:5:-1])
        same = [r.simulation_id for r in second.result()[::-1]]
        assert [r.simulation_id for r in first.result()] == same
        return records + first.result()


if __name__ == "__main__":
    gaps = [round(0.01 * i, 2) for i in range(1, 13)]
    where = sys.argv[1]
    records = in_spawned_children(gaps) if where == "spawn" else on_cluster(where, gaps)
    print(json.dumps({
        "ids": {repr(r.component_settings["gap"]): r.simulation_id for r in records},
        "found": sorted(solve.find(gap=g).simulation_id for g in gaps),
        "results": [r.result for r in records],
    }))
'''

GAPS = [repr(round(0.01 * i, 2)) for i in range(1, 13)]


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def wait_for_port(port: int, proc: subprocess.Popen, timeout: float = 60) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        assert proc.poll() is None, "the scheduler exited on start"
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    pytest.fail(f"the scheduler did not listen on port {port} within {timeout} s")


def stop(proc: subprocess.Popen) -> None:
    # Each was started in a session of its own: the worker's nannies and
    # their worker processes go with it.
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


@pytest.fixture
def env(tmp_path: pathlib.Path) -> dict[str, str]:
    runs = tmp_path / "runs"
    runs.mkdir()
    return dict(
        os.environ,
        PYTHONPATH=HOST_ROOT,
        CORVINA_SIMULATIONS_DIR=str(tmp_path / "store"),
        DASK_TEMPORARY_DIRECTORY=str(tmp_path / "dask"),
        RUNS_DIR=str(runs),
    )


@pytest.fixture
def cluster(tmp_path: pathlib.Path, env: dict[str, str]) -> Iterator[str]:
    """A scheduler and a worker of two processes, started from their own directory."""
    pytest.importorskip("distributed")
    home = tmp_path / "cluster"
    home.mkdir()
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    started = []
    try:
        for argv in (
            ["distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", str(port),
             "--no-dashboard"],
            ["distributed.cli.dask_worker", address, "--nworkers", "2", "--nthreads", "1",
             "--no-dashboard"],
        ):
            log = open(home / f"{argv[0].rsplit('_', 1)[-1]}.log", "wb")
            started.append(subprocess.Popen(
                [sys.executable, "-m", *argv], cwd=home, env=env, stdout=log, stderr=log,
                start_new_session=True,
            ))
            log.close()
            if len(started) == 1:
                wait_for_port(port, started[0])
        yield address
    finally:
        for proc in reversed(started):
            stop(proc)


def run_script(tmp_path: pathlib.Path, env: dict[str, str], *args: str) -> dict:
    script = tmp_path / "user" / "sweep.py"
    script.parent.mkdir(exist_ok=True)
    script.write_text(SCRIPT)
    proc = subprocess.run(
        [sys.executable, str(script), *args], cwd=script.parent, env=env,
        capture_output=True, text=True, timeout=240,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def solver_runs(env: dict[str, str]) -> list[str]:
    return sorted(p.read_text() for p in pathlib.Path(env["RUNS_DIR"]).iterdir())


def check_twice(tmp_path: pathlib.Path, env: dict[str, str], where: str) -> None:
    first = run_script(tmp_path, env, where)
    assert sorted(first["ids"]) == sorted(GAPS)
    assert sorted(first["ids"].values()) == first["found"]
    assert solver_runs(env) == sorted(GAPS)
    assert all(r["type"] == ["transmission"] for r in first["results"])
    second = run_script(tmp_path, env, where)
    assert second["ids"] == first["ids"]
    assert solver_runs(env) == sorted(GAPS), "the second run computed again"
    store = pathlib.Path(env["CORVINA_SIMULATIONS_DIR"])
    assert sorted(p.name for p in store.rglob("*") if p.is_file() and p.suffix != ".json") == []


def test_script_solver_on_a_cluster_that_never_imported_the_script(tmp_path, env, cluster):
    check_twice(tmp_path, env, cluster)


def test_script_solver_in_spawned_process_pool(tmp_path, env):
    check_twice(tmp_path, env, "spawn")


# --- how each kind of solver travels, with cloudpickle and without -------------------

SOLVERS = r'''
from corvina.compute import cached_simulation


@cached_simulation("t")
def solve(x):
    return {"result": {"x": [x]}, "wavelengths": [1.5]}


def _plain(x):
    return {"result": {"x": [x]}, "wavelengths": [1.5]}


alias = cached_simulation("t")(_plain)
'''

SENDER = r'''
import json, os, pickle, subprocess, sys

from corvina.compute import cached_simulation
import solvers


@cached_simulation("t")
def main_solve(x):
    return {"result": {"x": [x]}, "wavelengths": [1.5]}


def make_local():
    @cached_simulation("t")
    def local(x):
        return {"result": {"x": [x]}, "wavelengths": [1.5]}
    return local


LOADER = ("import pickle, sys; s = pickle.loads(sys.stdin.buffer.read()); "
          "print(s.identity(x=1)['factory_name'], s.__wrapped__(2)['result'])")


def send(obj, importable=True):
    try:
        data = pickle.dumps(obj)
    except pickle.PicklingError as exc:
        return "refused: " + str(exc)
    env = dict(os.environ)
    if not importable:
        env["PYTHONPATH"] = os.environ["HOST_ROOT"]
    # A fresh interpreter in another directory: neither this script nor
    # (unless importable) the solvers' module is there.
    proc = subprocess.run([sys.executable, "-c", LOADER], input=data, capture_output=True,
                          env=env, cwd=os.environ["ELSEWHERE"])
    how = "by value" if b"_from_cloudpickle" in data else "by reference"
    if proc.returncode:
        return "failed: " + proc.stderr.decode().strip().splitlines()[-1]
    return how + ": " + proc.stdout.decode().strip()


sent = {"module": send(solvers.solve), "alias": send(solvers.alias),
        "main": send(main_solve), "local": send(make_local())}
if sys.argv[1] == "with":
    import cloudpickle

    cloudpickle.register_pickle_by_value(solvers)
    sent["registered"] = send(solvers.solve, importable=False)
print(json.dumps(sent))
'''

EXPECTED = {
    "with": {
        "module": "by reference: solvers.solve {'x': [2]}",
        "alias": "by value: solvers._plain {'x': [2]}",
        "main": "by value: __main__.main_solve {'x': [2]}",
        "local": "by value: __main__.make_local.<locals>.local {'x': [2]}",
        "registered": "by value: solvers.solve {'x': [2]}",
    },
    "without": {
        "module": "by reference: solvers.solve {'x': [2]}",
        "alias": "by reference: solvers._plain {'x': [2]}",
        # Sent by name, which only a process running the same script has.
        "main": "failed: _pickle.UnpicklingError: the cached simulation main_solve was sent by name "
                "from module __main__, which this process does not have (a script's solver on a "
                "cluster's worker); install cloudpickle where it is sent from, so that it travels "
                "by value",
        "local": "refused: cannot send the cached simulation make_local.<locals>.local of module "
                 "__main__ to another process: its function can only travel by value, which needs "
                 "cloudpickle (pip install cloudpickle, Debian python3-cloudpickle); or define the "
                 "solver at the top level of an importable module",
    },
}


@pytest.mark.parametrize("cloudpickle", ["with", "without"])
def test_each_kind_of_solver_travels_or_says_why_not(tmp_path, cloudpickle):
    pytest.importorskip("cloudpickle")
    code = tmp_path / "code"
    code.mkdir()
    (code / "solvers.py").write_text(SOLVERS)
    (code / "sender.py").write_text(SENDER)
    path = [str(code), HOST_ROOT]
    if cloudpickle == "without":
        blocked = tmp_path / "blocked"
        blocked.mkdir()
        (blocked / "cloudpickle.py").write_text("raise ImportError('No module named cloudpickle')\n")
        path.insert(0, str(blocked))
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    proc = subprocess.run(
        [sys.executable, str(code / "sender.py"), cloudpickle], capture_output=True, text=True,
        timeout=120, env=dict(os.environ, PYTHONPATH=os.pathsep.join(path), HOST_ROOT=HOST_ROOT,
                              ELSEWHERE=str(elsewhere)),
    )
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == EXPECTED[cloudpickle]
