"""The demo's real solver: MEEP on an add-drop ring, swept over its coupling gap.

Each run of the sweep is a ``MeepRun``: the ring at one gap, or the bare bus
whose input power the rings are divided by. Here is what names a run in the
store (its identity, the solver's version included), how one run is computed
in the process that calls it (``meep_outcome``: a ring is normalised by its
bus's stored run, and a failure is stored as one, saying why), and which
stored records answer a run. The physics itself is in meep_ring.py; the
passes that run the sweep through the store are in demo.py.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters, SimulationStatus, StoredSimulationResult

from transmission import SIMULATION_TYPE, resonance_figures, wavelengths_um

RING = "ring_add_drop"
STRAIGHT = "straight"
MEEP_HYPERPARAMETERS = SimulationHyperparameters(
    wavelength_start=1.50,
    wavelength_stop=1.60,
    wavelength_points=401,
    mesh_resolution=30,  # pixels per um; converged to about 2 nm in resonance wavelength
    solver="meep",
    # A cap only: every run stops when its fields have decayed, the slowest
    # (the widest gap, the sharpest resonance) after about two thirds of it.
    simulation_time_fs=10000.0,
)
MEEP_GAPS_UM = (0.05, 0.10, 0.15, 0.20)
# Centre line radius 1.87 um (2.02 um to the outer edge): two resonances in
# the band, so that the free spectral range can be read off.
MEEP_RING: dict[str, Any] = {"radius": 1.87, "width": 0.3}
# In 2D the core's index is the effective index of a silicon slab.
MEEP_MATERIALS: dict[str, Any] = {"core_index": 2.85, "cladding_index": 1.44}


@dataclass(frozen=True)
class MeepRun:
    """One simulation of the MEEP sweep: the ring at one gap, or the bare bus
    whose input power the rings are divided by (their ``normalised_by``)."""

    component: str
    settings: dict[str, Any]
    model: dict[str, Any]
    hyperparameters: SimulationHyperparameters
    normalised_by: MeepRun | None = None

    def identity(self) -> dict[str, Any]:
        return {
            "component_name": self.component,
            "factory_name": f"meep_ring.{self.component}",
            "component_settings": self.settings,
            "model_parameters": self.model,
            "hyperparameters": self.hyperparameters,
            "simulation_type": SIMULATION_TYPE,
        }


def meep_model_parameters(version: str) -> dict[str, Any]:
    import meep_ring

    # The solver's version is part of the identity: another release may give
    # another answer, and the store must not serve the old one for it.
    return {**MEEP_MATERIALS, **meep_ring.SOLVER_SETTINGS, "meep_version": version}


def meep_runs(version: str) -> tuple[MeepRun, list[MeepRun]]:
    """The bare bus's run and the sweep's ring runs, which it normalises."""
    import meep_ring

    model = meep_model_parameters(version)
    hp = MEEP_HYPERPARAMETERS
    bus = MeepRun(STRAIGHT, meep_ring.straight_settings(MEEP_RING, model), model, hp)
    rings = [MeepRun(RING, {**MEEP_RING, "gap": gap}, model, hp, bus) for gap in MEEP_GAPS_UM]
    return bus, rings


NOT_NORMALISED = f"not normalised: the {STRAIGHT} waveguide's run, which normalises it, failed"
NO_INPUT_POWER = "its input power is not one finite, positive value per wavelength"


def _failure(message: str, seconds: float = 0.0) -> dict[str, Any]:
    # A failed run is stored as such, so that the next pass runs it again
    # and waiting workers elsewhere learn of it at once.
    return {"result": {}, "wavelengths": [], "status": SimulationStatus.ERROR,
            "error_message": message, "execution_time_seconds": seconds}


def _input_power(result: dict[str, Any], wavelengths: list[float]) -> list[float] | None:
    """The bare bus's input power from its result, if the rings can be divided
    by it: one finite, positive value per wavelength; else None."""
    power = result.get("input_flux")
    if not isinstance(power, list) or len(power) != len(wavelengths):
        return None
    if not all(isinstance(p, int | float) and math.isfinite(p) and p > 0 for p in power):
        return None
    return [float(p) for p in power]


def _normalised(fluxes: dict[str, list[float]], power_in: list[float],
                wavelengths: list[float]) -> dict[str, Any]:
    through = [t / p for t, p in zip(fluxes["through_flux"], power_in, strict=True)]
    drop = [d / p for d, p in zip(fluxes["drop_flux"], power_in, strict=True)]
    return {"through": through, "drop": drop, **resonance_figures(wavelengths, through)}


def stored_answer(run: MeepRun) -> StoredSimulationResult | None:
    """The run's stored record, if it answers the run. A failed run, or a bare
    bus the rings cannot be divided by, is deleted, to be run again."""
    found = storage.find_simulation_result(**run.identity())
    if found is None:
        return None
    answers = found.status == SimulationStatus.SUCCESS and (
        run.normalised_by is not None or _input_power(found.result, wavelengths_um(run.hyperparameters)) is not None)
    if not answers:
        storage.delete_simulation_result(found.simulation_id)
        return None
    return found


def meep_outcome(run: MeepRun) -> dict[str, Any]:
    """One MEEP run, in this process: its outcome, as the store takes it.

    A ring is divided by its bare bus's stored input power; when that run
    failed, the ring is not worth running and is recorded as failed, saying
    why. A run that fails is recorded as failed too.
    """
    import meep_ring

    hp = run.hyperparameters
    wavelengths = wavelengths_um(hp)
    power_in = None
    if run.normalised_by is not None:
        bus = storage.find_simulation_result(**run.normalised_by.identity())
        if bus is not None and bus.status == SimulationStatus.SUCCESS:
            power_in = _input_power(bus.result, wavelengths)
        if power_in is None:
            why = "its run did not finish" if bus is None else bus.error_message or NO_INPUT_POWER
            return _failure(f"{NOT_NORMALISED} ({why})")
    kind = "straight" if run.normalised_by is None else "ring"
    try:
        fluxes, seconds = meep_ring.run_timed(
            kind, run.settings, run.model, wavelengths, hp.mesh_resolution, hp.simulation_time_fs)
    except Exception as exc:
        return _failure(f"{type(exc).__name__}: {exc}")
    if power_in is None:  # the bare bus: what its through port receives is the input
        own = _input_power({"input_flux": fluxes.get("through_flux")}, wavelengths)
        if own is None:
            return _failure(NO_INPUT_POWER, seconds)
        result = {"input_flux": own}
    else:
        try:
            result = _normalised(fluxes, power_in, wavelengths)
        except (KeyError, ValueError) as exc:  # a port missing, or not one value per wavelength
            return _failure(f"unusable fluxes: {type(exc).__name__}: {exc}", seconds)
    return {"result": result, "wavelengths": wavelengths, "execution_time_seconds": seconds}


def meep_version() -> str | None:
    """MEEP's version, or None when it cannot be imported here."""
    try:
        import meep_ring

        return meep_ring.meep_version()
    except ImportError:
        return None
