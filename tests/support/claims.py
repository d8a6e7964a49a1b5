"""Stores that spawned workers and the test share, the workers, and helpers
for computes that wait in other threads (the claims tests')."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import threading
from collections import Counter

import pytest

from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters

import support
from support.records import use_store
from support.s3 import bucket_store

WORKER = support.HERE / "claims_worker.py"


def ring_identity(gap: float, radius: float = 5.0) -> dict:
    """The identity the worker's decorated solver gives a point."""
    return {
        "component_name": "ring",
        "factory_name": "__main__.ring",
        "component_settings": {"gap": gap, "radius": radius},
        "model_parameters": {},
        "hyperparameters": SimulationHyperparameters(),
        "simulation_type": "transmission",
    }


# --- stores shared between processes ---------------------------------------------


class SharedStore:
    """A store that spawned workers and the test both use, with its claims."""

    def __init__(self, location: str, env: dict[str, str], monkeypatch) -> None:
        self.location = location
        self.env = dict(os.environ, PYTHONPATH=support.HOST_ROOT, CORVINA_SIMULATIONS_DIR=location, **env)
        for name, value in env.items():
            monkeypatch.setenv(name, value)
        for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL_S3"):
            monkeypatch.delenv(name, raising=False)
        use_store(monkeypatch, location)

    def files(self) -> list[str]:
        root = storage.get_simulations_dir()
        if self.location.startswith("s3://"):
            return sorted(p.rsplit("/", 1)[-1] for p in root.fs.find(root.path))
        return sorted(p.name for p in pathlib.Path(self.location).rglob("*") if p.is_file())

    def claims(self) -> list[str]:
        return [name for name in self.files() if name.endswith(".claim")]

    def put_claim(self, gap: float, generation: int, text: str) -> None:
        simulation_id = storage._compute_simulation_id(**ring_identity(gap))
        name = f"transmission/.ring_{simulation_id}.{generation}.claim"
        root = storage.get_simulations_dir()
        (root / "transmission").mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(text.encode())


@pytest.fixture(params=["local", "s3"])
def shared(request, tmp_path, monkeypatch) -> SharedStore:
    if request.param == "local":
        return SharedStore(str(tmp_path / "store"), {}, monkeypatch)
    service = request.getfixturevalue("s3_service")
    location, env = bucket_store(service.endpoint, tmp_path, monkeypatch, "claims")
    return SharedStore(location, env, monkeypatch)


def start_workers(store: SharedStore, tmp_path: pathlib.Path, specs: list[dict]) -> list:
    runs = tmp_path / "runs.txt"
    procs = []
    for spec in specs:
        spec = {"runs": str(runs), **spec}
        procs.append(subprocess.Popen(
            [sys.executable, str(WORKER), json.dumps(spec)], env=store.env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        ))
    return procs


def finish(procs: list, timeout: float = 120) -> list[dict]:
    out = []
    for proc in procs:
        stdout, stderr = proc.communicate(timeout=timeout)
        assert proc.returncode == 0, stderr
        out.append(json.loads(stdout.strip().splitlines()[-1]))
    return out


def runs(tmp_path: pathlib.Path) -> Counter:
    path = tmp_path / "runs.txt"
    lines = path.read_text().splitlines() if path.exists() else []
    return Counter(line.split()[0] for line in lines)


# --- computes that wait in other threads ------------------------------------------------


class Gate:
    """A compute() that waits until released, then succeeds or raises."""

    def __init__(self, outcome) -> None:
        self.entered = threading.Event()
        self.release = threading.Event()
        self.outcome = outcome
        self.calls = 0

    def __call__(self):
        self.calls += 1
        self.entered.set()
        assert self.release.wait(30)
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


def in_thread(fn) -> tuple[threading.Thread, dict]:
    box: dict = {}

    def run():
        try:
            box["value"] = fn()
        except BaseException as exc:  # noqa: BLE001 - handed to the test
            box["error"] = exc

    thread = threading.Thread(target=run)
    thread.start()
    return thread, box


def claim_files(store) -> list:
    if hasattr(store, "fs"):  # an fsspec store
        return sorted(p for p in store.fs.find(store.path) if p.endswith(".claim"))
    return sorted(pathlib.Path(store).rglob("*.claim")) if pathlib.Path(store).exists() else []
