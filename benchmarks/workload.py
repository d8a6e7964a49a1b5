"""The workload every benchmark runs on: sweep points, their records and files.

Point i of a sweep has a fixed identity and result, so the files a store is
filled with can be written directly, byte for byte what a save writes, and
every contender is handed the same inputs.
"""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import Any

import orjson

import corvina
from benchmarks import baseline
from corvina.models import SimulationHyperparameters, StoredSimulationResult


TYPES = ("fdtd", "eme", "mode", "fde", "varfdtd")
HYPERS = [
    SimulationHyperparameters(wavelength_points=p, mesh_resolution=m)
    for p, m in ((101, 20), (201, 20), (101, 30), (51, 10))
]
HYPER_DUMPS = [h.model_dump() for h in HYPERS]
BASE_DATE = datetime(2026, 1, 1, tzinfo=UTC)
COMPONENTS = 50  # distinct component names in a store
MISS_BASE = 10_000_000  # indices of identities that are never stored
SAVE_BASE = 20_000_000  # indices of identities that saves create
SWEEP_BASE = 30_000_000  # indices of the points a sweep step finds missing, then saves
WRITER_BASE = 40_000_000  # indices of what the other process saves


def identity(i: int, types: int) -> dict[str, Any]:
    """The six identity fields of sweep point i: 14 component settings, 6 model parameters."""
    return {
        "component_name": f"ring_{i % COMPONENTS}",
        "factory_name": "ring_single",
        "component_settings": {
            "radius": 5.0 + i * 0.001,
            "gap": 0.2,
            "length_x": 4,
            "length_y": 0.6,
            "width": 0.5,
            "cross_section": "strip",
            "bend": "bend_euler",
            "straight": "straight",
            "coupler_ring": "coupler_ring",
            "layer": [1, 0],
            "port_names": ["o1", "o2", "o3", "o4"],
            "angle_resolution": 2.5,
            "with_heater": False,
            "label": None,
        },
        "model_parameters": {
            "n_eff": 2.4,
            "n_group": 4.2,
            "loss_db_cm": 3.0,
            "temperature_c": 25,
            "polarization": "te",
            "mode_index": i % 2,
        },
        "hyperparameters": HYPERS[i % len(HYPERS)],
        "simulation_type": TYPES[i % types],
    }


def large_identity() -> dict[str, Any]:
    """An identity of about 2,000 settings of mixed kinds."""
    settings: dict[str, Any] = {}
    for j in range(1990):
        kind = j % 5
        settings[f"p{j:04d}"] = (
            0.1 + j * 1e-3,
            j,
            f"s{j}",
            [j, j * 0.5],
            j % 2 == 0,
        )[kind]
    ident = identity(7, 1)
    ident["component_settings"] = settings
    return ident


def make_payload(points: int) -> tuple[dict[str, Any], list[float]]:
    """A result of two S-parameters over `points` wavelengths, and the wavelengths."""
    wavelengths = [1.5 + 0.1 * j / (points - 1) for j in range(points)]

    def trace(phase: float) -> dict[str, list[float]]:
        return {
            "real": [0.9 * math.cos(phase + 0.37 * j) for j in range(points)],
            "imag": [0.9 * math.sin(phase + 0.37 * j) for j in range(points)],
        }

    result = {
        "s_parameters": {"o1@0,o2@0": trace(0.1), "o1@0,o1@0": trace(1.3)},
        "ports": ["o1", "o2"],
        "solver_log": "converged after 1843 steps",
    }
    return result, wavelengths


PAYLOAD, WAVELENGTHS = make_payload(101)


def save_inputs(i: int, types: int) -> dict[str, Any]:
    kw = identity(i, types)
    kw.update(result=PAYLOAD, wavelengths=WAVELENGTHS, execution_time_seconds=12.5 + i % 7)
    if i % 10 == 9:
        kw.update(status="error", error_message="solver diverged")
    return kw


def record_data(i: int, types: int, simulation_id: str) -> dict[str, Any]:
    """What the model dumps for the saved record of sweep point i, in field order."""
    ident = identity(i, types)
    error = i % 10 == 9
    return {
        "component_name": ident["component_name"],
        "factory_name": ident["factory_name"],
        "component_settings": ident["component_settings"],
        "model_parameters": ident["model_parameters"],
        "hyperparameters": HYPER_DUMPS[i % len(HYPERS)],
        "simulation_type": ident["simulation_type"],
        "simulation_id": simulation_id,
        "pdk_name": "generic",
        "pdk_version": "",
        "simulation_date": (BASE_DATE + timedelta(seconds=i)).isoformat(),
        "corvina_version": corvina.__version__,
        "result": PAYLOAD,
        "wavelengths": WAVELENGTHS,
        "execution_time_seconds": 12.5 + i % 7,
        "status": "error" if error else "success",
        "error_message": "solver diverged" if error else "",
    }


def compute_id(i: int, types: int) -> str:
    return baseline._compute_simulation_id(**identity(i, types))


def identity_key(ident: dict[str, Any]) -> str:
    """The identity text, as a cache keyed by identity would use it."""
    data = dict(ident)
    data["hyperparameters"] = ident["hyperparameters"].model_dump()
    return json.dumps(data, sort_keys=True)


def result_path(root: Path, types: int, i: int, simulation_id: str) -> str:
    """Where a store of `types` type directories at `root` keeps point i."""
    return str(root / TYPES[i % types] / f"ring_{i % COMPONENTS}_{simulation_id}.json")


def encode(data: dict[str, Any]) -> bytes:
    return orjson.dumps(data, option=orjson.OPT_INDENT_2)


def write_file(path: str, data: bytes) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


def read_file(path: str) -> bytes:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        return os.read(fd, os.fstat(fd).st_size)
    finally:
        os.close(fd)


def check_workload() -> None:
    """The files written directly must be the files a save writes."""
    assert list(record_data(0, 1, "0" * 16)) == list(StoredSimulationResult.model_fields)
    for i in (0, 9):
        data = record_data(i, 5, compute_id(i, 5))
        assert encode(StoredSimulationResult.model_validate(data).model_dump()) == encode(data)


def spread(n: int) -> list[int]:
    """Sixteen points of a store of n, spread over its whole range."""
    return sorted({min(n - 1, (j * n) // 16 + (j % 3)) for j in range(16)})


def stored_record(i: int) -> StoredSimulationResult:
    """The record of point i in one type directory: what diskcache and joblib hold."""
    return StoredSimulationResult.model_validate(record_data(i, 1, compute_id(i, 1)))


POOL = 512  # points a batch of saves draws from; no batch makes more calls


@dataclass
class Pool:
    """The POOL points from index `base` on, as saves into a store of `types`
    type directories take them; `keys` and `records` are the same points as a
    cache keyed by identity holds them (one type directory)."""

    base: int
    types: int
    inputs: list[dict[str, Any]] = field(init=False)
    ids: list[str] = field(init=False)

    def __post_init__(self) -> None:
        self.inputs = [save_inputs(self.base + j, self.types) for j in range(POOL)]
        self.ids = [compute_id(self.base + j, self.types) for j in range(POOL)]

    def identities(self) -> list[dict[str, Any]]:
        return [identity(self.base + j, self.types) for j in range(POOL)]

    def cached_identities(self) -> list[dict[str, Any]]:
        return [identity(self.base + j, 1) for j in range(POOL)]

    def keys(self) -> list[str]:
        return [identity_key(ident) for ident in self.cached_identities()]

    def records(self) -> list[StoredSimulationResult]:
        return [stored_record(self.base + j) for j in range(POOL)]

    def paths_in(self, root: Path) -> list[str]:
        """Where saves into a store at `root` put the points."""
        return [result_path(root, self.types, self.base + j, sid) for j, sid in enumerate(self.ids)]
