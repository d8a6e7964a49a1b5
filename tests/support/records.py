"""The store a test uses, a sample identity and result, and the IDs of records."""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any

import pytest

from corvina.models import SimulationHyperparameters

# The fields a test's result is saved under unless it says otherwise (take a
# copy before changing any of it).
IDENTITY: dict[str, Any] = {
    "component_name": "ring",
    "factory_name": "ring_single",
    "component_settings": {"radius": 10.0, "gap": 0.2},
    "model_parameters": {"neff": 2.4},
    "hyperparameters": SimulationHyperparameters(),
    "simulation_type": "sparameters",
}


def ids_of(records: Iterable[Any]) -> list[str]:
    """The records' IDs, in their order."""
    return [r.simulation_id for r in records]


def listed_ids(**filters: str) -> list[str]:
    """The IDs ``list_simulation_results`` gives with these filters, in its order."""
    from corvina.core import simulation_storage as storage

    return ids_of(storage.list_simulation_results(**filters))


def save_sample(component: str, sim_type: str = "sparameters", *,
                transmission: list[float] | None = None, seconds: float = 2.0, **outcome: Any) -> Any:
    """Saves a small result of `component` into the store the environment
    names (the command-line tests' sample); `outcome` adds status and the like."""
    from corvina.core import simulation_storage as storage

    return storage.save_simulation_result(
        component_name=component,
        factory_name=f"{component}_factory",
        component_settings={"length": 12.5},
        model_parameters={},
        hyperparameters=SimulationHyperparameters(wavelength_points=2),
        simulation_type=sim_type,
        result={"transmission": [0.5, 0.25] if transmission is None else transmission,
                "note": "Δn ≈ 1e-3"},
        wavelengths=[1.5, 1.6],
        execution_time_seconds=seconds,
        **outcome,
    )


def use_store(monkeypatch: pytest.MonkeyPatch, location: str | os.PathLike[str]) -> None:
    """Name `location` as the store in the environment (the processes a test
    starts inherit it) and have this process's store functions read it there."""
    from corvina import settings
    from corvina.core import simulation_storage as storage

    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(location))
    monkeypatch.setattr(storage, "get_simulations_dir", settings.get_simulations_dir)
