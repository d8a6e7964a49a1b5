"""Typed use of the store, checked by mypy --strict (see test_typing.py).

`exercise` is also run for real, so that what the types allow, the store
accepts. `_refused` is never run: each of its lines must stay a type error,
or mypy reports the ignore comment as unused.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, assert_type

from upath import UPath

from corvina import settings
from corvina.core import simulation_storage as storage
from corvina.core.simulation_storage import (
    clear_simulation_results,
    delete_simulation_result,
    find_simulation_result,
    check_query,
    list_simulation_results,
    load_simulation_result,
    query_simulation_results,
    count_simulation_results,
    save_simulation_result,
)
from corvina.models import SimulationHyperparameters, SimulationStatus, StoredSimulationResult

HP = SimulationHyperparameters(wavelength_points=2)


def exercise() -> list[str]:
    """A round trip with every parameter form the types allow; returns the IDs seen."""
    saved = save_simulation_result(
        component_name="ring",
        factory_name="ring_single",
        component_settings={"radius": 10.0},
        model_parameters={"n_eff": 2.4},
        hyperparameters=HP,
        simulation_type="sparameters",
        result={"s21": [0.5, 0.25]},
        wavelengths=[1.5, 1.6],
        execution_time_seconds=2,
    )
    assert_type(saved, StoredSimulationResult)
    failed = save_simulation_result(
        component_name="ring",
        factory_name="ring_single",
        component_settings={"radius": 5.0},
        model_parameters={},
        hyperparameters=HP,
        simulation_type="modes",
        result={},
        wavelengths=[],
        execution_time_seconds=0.5,
        status="error",
        error_message="no guided mode",
        pdk_version="1.0",
    )
    save_simulation_result(
        component_name="mmi",
        factory_name="mmi1x2",
        component_settings={},
        model_parameters={},
        hyperparameters=HP,
        simulation_type="sparameters",
        result={},
        wavelengths=[1.55],
        execution_time_seconds=1.0,
        status=SimulationStatus.SUCCESS,
    )

    found = find_simulation_result(
        component_name="ring",
        factory_name="ring_single",
        component_settings={"radius": 10.0},
        model_parameters={"n_eff": 2.4},
        hyperparameters=HP,
        simulation_type="sparameters",
    )
    assert_type(found, StoredSimulationResult | None)
    assert found is not None and found.simulation_id == saved.simulation_id
    loaded = load_simulation_result(saved.simulation_id)
    assert_type(loaded, StoredSimulationResult | None)

    listed = list_simulation_results(component_name="ring", status=SimulationStatus.ERROR.value)
    assert_type(listed, list[StoredSimulationResult])
    assert [r.simulation_id for r in listed] == [failed.simulation_id]
    everything = list_simulation_results()
    ids = [r.simulation_id for r in everything]
    queried = query_simulation_results(where={"status": {"$ne": "success"}}, sort="-simulation_date",
                                       limit=5, component_name="ring")
    assert_type(queried, list[StoredSimulationResult])
    assert [r.simulation_id for r in queried] == [failed.simulation_id]
    rows = query_simulation_results(fields=["status"], offset=0, component_name="ring", status="error")
    assert_type(rows, list[dict[str, Any]])
    assert rows == [{"simulation_id": failed.simulation_id, "status": "error"}]
    assert_type(count_simulation_results(component_name="ring"), int)
    assert_type(check_query({"component_settings.gap": {"$gte": 0.1}}), None)

    where = storage._find_simulation_file(saved.simulation_id)
    assert_type(where, Path | UPath | None)
    root = settings.get_simulations_dir()
    assert_type(root, Path | UPath)

    gone = delete_simulation_result(saved.simulation_id)
    assert_type(gone, bool)
    cleared = clear_simulation_results(simulation_type="modes", pdk_name=None)
    assert_type(cleared, int)
    assert gone and cleared == 1
    return ids


def _refused() -> None:
    find_simulation_result("ring", "ring_single", {}, {}, HP, "sparameters")  # type: ignore[call-arg]
    load_simulation_result(None)  # type: ignore[arg-type]
    delete_simulation_result(simulation_id=7)  # type: ignore[arg-type]
    list_simulation_results(simulation_id="x")  # type: ignore[call-arg]
    query_simulation_results({"status": "error"})  # type: ignore[call-overload]
    query_simulation_results(limit="5")  # type: ignore[call-overload]
    clear_simulation_results(status="error")  # type: ignore[call-arg]
    save_simulation_result(  # type: ignore[call-arg]
        component_name="ring",
        factory_name="ring_single",
        component_settings={},
        model_parameters={},
        hyperparameters=HP,
        simulation_type="sparameters",
        result={},
        wavelengths=[1.5],
    )
    save_simulation_result(
        component_name="ring",
        factory_name="ring_single",
        component_settings={},
        model_parameters={},
        hyperparameters=HP,
        simulation_type="sparameters",
        result={},
        wavelengths=(1.5,),  # type: ignore[arg-type]
        execution_time_seconds=1.0,
        status="pending",  # type: ignore[arg-type]
    )
    found: StoredSimulationResult = load_simulation_result("0" * 16)  # type: ignore[assignment]
    del found
