"""Data models for simulation settings and stored simulation results.

The field order of :class:`StoredSimulationResult` is the member order of a
stored result file, so fields must not be reordered.
"""

from __future__ import annotations

import enum
from typing import Annotated, Any, NotRequired, TypeAlias, TypedDict

from pydantic import BaseModel, BeforeValidator, ConfigDict, Field, model_validator

from corvina.core.lazy import LazyAttribute

__all__ = [
    "SerializedSimulationResult",
    "SimulationOutcome",
    "SimulationHyperparameters",
    "SimulationStatus",
    "SimulationType",
    "StoredSimulationResult",
]


class SimulationStatus(str, enum.Enum):
    """Outcome of a simulation run."""

    SUCCESS = "success"
    ERROR = "error"

    def __str__(self) -> str:
        return self.value


SimulationType: TypeAlias = str
SerializedSimulationResult: TypeAlias = dict[str, Any]


class SimulationOutcome(TypedDict):
    """What a solver run gives ``get_or_compute_simulation_result`` to save.

    ``execution_time_seconds`` defaults to the measured time of the run,
    ``status`` to "success".
    """

    result: SerializedSimulationResult
    wavelengths: list[float]
    execution_time_seconds: NotRequired[float]
    status: NotRequired[SimulationStatus | str]
    error_message: NotRequired[str]
    pdk_version: NotRequired[str]


class SimulationHyperparameters(BaseModel):
    """Solver settings for one run. Wavelengths are in microns.

    Part of a simulation's identity: any change is another simulation.
    Frozen, and no other fields are accepted.

    Attributes:
        wavelength_start: First wavelength of the band (default 1.5).
        wavelength_stop: Last wavelength of the band (default 1.6); not below
            the start, and above it unless a single point is asked for.
        wavelength_points: Wavelengths in the band (default 101).
        mesh_resolution: The solver's mesh resolution (default 20).
        solver: Which solver ran (default "fdtd").
        port_modes: Modes per port (default 1).
        simulation_time_fs: Simulated time in femtoseconds (default 10000).
    """

    # NaN and infinities are refused: the result file's codec writes them as
    # null, which the record would then refuse to read back.
    model_config = ConfigDict(extra="forbid", frozen=True, allow_inf_nan=False)

    wavelength_start: float = Field(default=1.5, gt=0)
    wavelength_stop: float = Field(default=1.6, gt=0)
    wavelength_points: int = Field(default=101, ge=1)
    mesh_resolution: int = Field(default=20, ge=1)
    solver: str = "fdtd"
    port_modes: int = Field(default=1, ge=1)
    simulation_time_fs: float = Field(default=10000.0, gt=0)

    @model_validator(mode="after")
    def _check_band(self) -> SimulationHyperparameters:
        # A sweep runs from short to long wavelength; only a single-point
        # sweep may use an empty band.
        start, stop = self.wavelength_start, self.wavelength_stop
        if start > stop or (start == stop and self.wavelength_points > 1):
            raise ValueError(
                f"wavelength band {start}..{stop} is empty or reversed "
                f"for {self.wavelength_points} points"
            )
        return self


def _resolve_lazy(value: Any) -> Any:
    # The version is commonly passed as lazy_import("corvina", "__version__"),
    # which is a proxy when corvina was not yet imported; store its real value.
    # Anything else is left for the normal str validation to accept or refuse.
    if isinstance(value, LazyAttribute):
        return value.resolve()
    return value


class StoredSimulationResult(BaseModel):
    """One simulation result as written to and read from storage.

    The members are the stored file's, in its order: the six identity
    fields, then:

    Attributes:
        simulation_id: The 16 hexadecimal digits that the identity hashes to.
        pdk_name: The process design kit (``$CORVINA_PDK`` when saved).
        pdk_version: Its version, as the caller gave it ("" if not).
        simulation_date: When it was saved: UTC, ISO 8601.
        corvina_version: The version of corvina that saved it.
        result: The solver's output, a JSON object.
        wavelengths: The wavelengths of the result's series, in microns.
        execution_time_seconds: The solver's time.
        status: "success", or "error" for a failed run.
        error_message: Why it failed ("" on success).
    """

    # Non-finite numbers are refused when the record is made, so a save fails
    # cleanly instead of writing a file that could never be loaded (the codec
    # writes NaN and infinities as null).
    model_config = ConfigDict(extra="forbid", allow_inf_nan=False)

    component_name: str
    factory_name: str
    component_settings: dict[str, Any]
    model_parameters: dict[str, Any]
    hyperparameters: SimulationHyperparameters
    simulation_type: SimulationType
    simulation_id: str
    pdk_name: str
    pdk_version: str = ""
    simulation_date: str
    corvina_version: Annotated[str, BeforeValidator(_resolve_lazy)]
    result: SerializedSimulationResult
    wavelengths: list[float]
    execution_time_seconds: float
    status: SimulationStatus = SimulationStatus.SUCCESS
    error_message: str = ""
