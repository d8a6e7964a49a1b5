"""Simulation results storage API.

This module provides functions for storing, retrieving, and managing
simulation results with full reproducibility metadata.
"""

import logging
import os
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any, Literal, Protocol, overload

from corvina.models import (
    SerializedSimulationResult,
    SimulationOutcome,
    SimulationHyperparameters,
    SimulationStatus,
    SimulationType,
    StoredSimulationResult,
)
from upath import UPath

# Parameters typed `str` take exactly a `str` at run time: a subclass, such as
# a SimulationStatus member, is refused with TypeError (pass its `.value`).
# Type checkers cannot express "exactly", so they let such calls through.

# The directory functions hand back whatever the settings return: a local
# Path, or a UPath when the store is named by URL.
_StorePath = Path | UPath

class _OutcomeObject(Protocol):
    # An outcome given as attributes (a dataclass, a named tuple).
    @property
    def result(self) -> SerializedSimulationResult: ...
    @property
    def wavelengths(self) -> list[float]: ...

# Host services, looked up by the functions at every call. Rebinding one
# (a test pointing the store elsewhere) redirects every later call.
get_simulations_dir: Callable[[], _StorePath]
get_pdk_name: Callable[[], str]
get_build_dir: Callable[[], Path]
log: Callable[[], logging.Logger]
__version__: str

def save_simulation_result(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: SimulationType,
    result: SerializedSimulationResult,
    wavelengths: list[float],
    execution_time_seconds: float,
    status: SimulationStatus | Literal["success", "error"] = "success",
    error_message: str = "",
    pdk_version: str = "",
) -> StoredSimulationResult:
    """Save a simulation result to file."""

def load_simulation_result(simulation_id: str) -> StoredSimulationResult | None:
    """Load a simulation result by its ID."""

def find_simulation_result(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: SimulationType,
) -> StoredSimulationResult | None:
    """Find a cached simulation result by its identity fields."""

def list_simulation_results(
    *,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
    status: str | None = None,
) -> list[StoredSimulationResult]:
    """List simulation results with optional filters."""

@overload
def query_simulation_results(
    *,
    where: dict[str, Any] | None = None,
    fields: None = None,
    sort: str | None = None,
    limit: int | None = None,
    offset: int | None = None,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
    status: str | None = None,
) -> list[StoredSimulationResult]: ...
@overload
def query_simulation_results(
    *,
    where: dict[str, Any] | None = None,
    fields: list[str],
    sort: str | None = None,
    limit: int | None = None,
    offset: int | None = None,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
    status: str | None = None,
) -> list[dict[str, Any]]:
    """Query simulation results on any field of their records."""

def count_simulation_results(
    *,
    where: dict[str, Any] | None = None,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
    status: str | None = None,
) -> int:
    """Count the simulation results a query matches."""

def check_query(where: dict[str, Any] | None) -> None:
    """Check a query without running it."""

def delete_simulation_result(simulation_id: str) -> bool:
    """Delete a simulation result by its ID."""

def clear_simulation_results(
    *,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
) -> int:
    """Clear simulation results with optional filters."""

def get_or_compute_simulation_result(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: SimulationType,
    compute: Callable[[], SimulationOutcome | Mapping[str, Any] | _OutcomeObject],
    lease: float = 60.0,
    wait: float | None = None,
    store_errors: bool = False,
) -> StoredSimulationResult:
    """Find a simulation result, or compute and save it, once across every worker.

    A hit costs what `find_simulation_result` costs. On a miss the simulation
    is claimed in the store (a hidden `.<component>_<id>.<n>.claim` file, or
    object, beside the result): the claim's holder runs `compute`, saves its
    outcome with `save_simulation_result` and removes the claim; every other
    caller waits for that result. A claim whose heartbeat has not changed for
    its lease (seconds, on the waiter's own clock, which counts time the
    machine spent suspended) is taken over by exactly one waiter; so is, at
    once, a claim whose holder ran on the waiter's machine and has died.
    `wait` bounds the wait (None: none); past it, TimeoutError names the
    holder. The saved result reaches the disk before the claim is removed.
    A result file that cannot be decoded (one a crash cut short) counts as
    a miss: a warning names it, and the simulation is computed again and
    the file replaced.

    `compute` takes no arguments and returns a `SimulationOutcome` mapping (or
    an object with those attributes); unknown keys are refused. Without an
    `execution_time_seconds`, the call is timed. When `compute` raises, the
    claim is removed, nothing is stored and the exception reaches the caller;
    with `store_errors=True` (for an `Exception`) the failure is first saved
    as `status="error"` with the exception's text, which waiters then get,
    unless the claim may have passed to another worker while this one was
    paused (that worker's record or work is kept; a note on the exception
    says so).
    Stores that cannot hold claims (a service that ignores conditional
    writes) are used without them, with one warning per process.
    """

def _compute_simulation_id(
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: str,
) -> str: ...
def _get_simulation_file_path(
    simulation_type: str, component_name: str, simulation_id: str
) -> _StorePath: ...
def _find_simulation_file(simulation_id: str) -> _StorePath | None: ...
def _matches_filters(
    result: StoredSimulationResult,
    component_name: str | None,
    factory_name: str | None,
    pdk_name: str | None,
    status: str | None,
) -> bool: ...
def _claim_unless_held(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: SimulationType,
    compute: Callable[[], SimulationOutcome | Mapping[str, Any] | _OutcomeObject],
    lease: float = 60.0,
    store_errors: bool = False,
) -> StoredSimulationResult | None: ...
def _temporary_name(name: str) -> str: ...
def _write_atomically(path: str | os.PathLike[str], data: bytes) -> None: ...
def _parse_file_name(name: str) -> tuple[str, str | None, str | None, int | None] | None: ...
def _claim_file_name(component_name: str, simulation_id: str, generation: int) -> str: ...
def _lookup_sweep(
    points: list[tuple[str, str, str]],
) -> list[StoredSimulationResult | bool | None] | None: ...
