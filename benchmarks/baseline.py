"""Plain Python version of the simulation results store, written the obvious way.

This is the yardstick for the compiled module: the same ten functions, the
same IDs, the same files in the same directory tree, built from `pathlib`,
`json`, `hashlib`, `orjson` and the package's models with no tricks. The host
services are bound exactly as the compiled module binds them (through
`lazy_import`, looked up at every call), so a benchmark can point both at the
same simulations directory and logger by rebinding the same attributes.
"""

from __future__ import annotations

import hashlib
import json
from datetime import UTC, datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvina.core.lazy import lazy_import
from corvina.models import SimulationHyperparameters, SimulationStatus, StoredSimulationResult

if TYPE_CHECKING:
    import orjson

    from corvina import __version__
    from corvina.logger import get_logger as log
    from corvina.models import SerializedSimulationResult, SimulationType
    from corvina.settings import get_build_dir, get_pdk_name, get_simulations_dir
else:
    orjson = lazy_import("orjson")
    __version__ = lazy_import("corvina", "__version__")
    log = lazy_import("corvina.logger", "get_logger")
    get_build_dir = lazy_import("corvina.settings", "get_build_dir")
    get_pdk_name = lazy_import("corvina.settings", "get_pdk_name")
    get_simulations_dir = lazy_import("corvina.settings", "get_simulations_dir")

def _compute_simulation_id(
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: str,
) -> str:
    identity_data = {
        "component_name": component_name,
        "factory_name": factory_name,
        "component_settings": component_settings,
        "model_parameters": model_parameters,
        "hyperparameters": hyperparameters.model_dump(),
        "simulation_type": simulation_type,
    }
    identity_str = json.dumps(identity_data, sort_keys=True)
    hash_bytes = hashlib.sha256(identity_str.encode()).digest()
    return hash_bytes[:8].hex()


def _get_simulation_file_path(simulation_type: str, component_name: str, simulation_id: str) -> Path:
    simulations_dir = get_simulations_dir()
    type_dir = simulations_dir / simulation_type
    type_dir.mkdir(parents=True, exist_ok=True)
    return type_dir / f"{component_name}_{simulation_id}.json"


def _find_simulation_file(simulation_id: str) -> Path | None:
    simulations_dir = get_simulations_dir()
    if not simulations_dir.exists():
        return None
    for type_dir in simulations_dir.iterdir():
        if not type_dir.is_dir():
            continue
        matches = list(type_dir.glob(f"*_{simulation_id}.json"))
        if matches:
            return matches[0]
    return None


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
    status: SimulationStatus = "success",
    error_message: str = "",
    pdk_version: str = "",
) -> StoredSimulationResult:
    simulation_id = _compute_simulation_id(
        component_name=component_name,
        factory_name=factory_name,
        component_settings=component_settings,
        model_parameters=model_parameters,
        hyperparameters=hyperparameters,
        simulation_type=simulation_type,
    )
    file_path = _get_simulation_file_path(simulation_type, component_name, simulation_id)
    stored_result = StoredSimulationResult(
        component_name=component_name,
        factory_name=factory_name,
        component_settings=component_settings,
        model_parameters=model_parameters,
        hyperparameters=hyperparameters,
        simulation_type=simulation_type,
        simulation_id=simulation_id,
        pdk_name=get_pdk_name(),
        pdk_version=pdk_version,
        simulation_date=datetime.now(UTC).isoformat(),
        corvina_version=__version__,
        result=result,
        wavelengths=wavelengths,
        execution_time_seconds=float(execution_time_seconds),
        status=status,
        error_message=error_message,
    )
    file_path.write_bytes(orjson.dumps(stored_result.model_dump(), option=orjson.OPT_INDENT_2))
    log().debug(f"Saved simulation result: {file_path}")
    return stored_result


def load_simulation_result(simulation_id: str) -> StoredSimulationResult | None:
    file_path = _find_simulation_file(simulation_id)
    if file_path is None:
        return None
    if not file_path.exists():
        log().warning(f"Simulation file not found: {file_path}")
        return None
    data = orjson.loads(file_path.read_bytes())
    return StoredSimulationResult.model_validate(data)


def find_simulation_result(
    *,
    component_name: str,
    factory_name: str,
    component_settings: dict[str, Any],
    model_parameters: dict[str, Any],
    hyperparameters: SimulationHyperparameters,
    simulation_type: SimulationType,
) -> StoredSimulationResult | None:
    simulation_id = _compute_simulation_id(
        component_name=component_name,
        factory_name=factory_name,
        component_settings=component_settings,
        model_parameters=model_parameters,
        hyperparameters=hyperparameters,
        simulation_type=simulation_type,
    )
    return load_simulation_result(simulation_id)


def _matches_filters(
    result: StoredSimulationResult,
    component_name: str | None,
    factory_name: str | None,
    pdk_name: str | None,
    status: str | None,
) -> bool:
    if component_name is not None and result.component_name != component_name:
        return False
    if factory_name is not None and result.factory_name != factory_name:
        return False
    if pdk_name is not None and result.pdk_name != pdk_name:
        return False
    if status is not None and result.status != status:
        return False
    return True


def list_simulation_results(
    *,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
    status: str | None = None,
) -> list[StoredSimulationResult]:
    simulations_dir = get_simulations_dir()
    if not simulations_dir.exists():
        return []
    results: list[StoredSimulationResult] = []
    if simulation_type is not None:
        type_dirs = [simulations_dir / simulation_type]
    else:
        type_dirs = [d for d in simulations_dir.iterdir() if d.is_dir()]
    for type_dir in type_dirs:
        if not type_dir.exists():
            continue
        for file_path in type_dir.glob("*.json"):
            try:
                data = orjson.loads(file_path.read_bytes())
                result = StoredSimulationResult.model_validate(data)
                if _matches_filters(result, component_name, factory_name, pdk_name, status):
                    results.append(result)
            except Exception:
                log().warning(f"Failed to parse simulation file: {file_path}")
    results.sort(key=lambda r: r.simulation_date, reverse=True)
    return results


def delete_simulation_result(simulation_id: str) -> bool:
    file_path = _find_simulation_file(simulation_id)
    if file_path is None:
        return False
    if file_path.exists():
        file_path.unlink()
        log().debug(f"Deleted simulation file: {file_path}")
        return True
    return False


def clear_simulation_results(
    *,
    component_name: str | None = None,
    factory_name: str | None = None,
    simulation_type: str | None = None,
    pdk_name: str | None = None,
) -> int:
    results = list_simulation_results(
        component_name=component_name,
        factory_name=factory_name,
        simulation_type=simulation_type,
        pdk_name=pdk_name,
    )
    if not results:
        return 0
    deleted_count = 0
    for result in results:
        if delete_simulation_result(result.simulation_id):
            deleted_count += 1
    log().debug(f"Cleared {deleted_count} simulation result(s)")
    return deleted_count
