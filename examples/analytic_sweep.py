"""The demo's stand-in for a solver: an analytic all-pass ring, swept over radius and gap.

A formula gives the ring's through-port power in microseconds; ``simulate``
adds the time a real solver would take. Here is what names each point of the
sweep in the store (its identity: the model's parameters and the
hyperparameters included, so that changing either computes every point
again) and its outcome as the store takes it. The passes that run the sweep
through the store are in demo.py.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass
from typing import Any

from corvina.models import SimulationHyperparameters

from transmission import SIMULATION_TYPE, resonance_figures, wavelengths_um

COMPONENT = "ring_single"
HYPERPARAMETERS = SimulationHyperparameters(
    wavelength_start=1.54, wavelength_stop=1.56, wavelength_points=801, solver="analytic"
)
# Material and waveguide model: part of every simulation's identity, so
# changing a value here makes every point a cache miss, as it should.
MODEL_PARAMETERS: dict[str, Any] = {
    "n_eff": 2.4,
    "n_group": 4.2,
    "loss_db_per_cm": 6.0,
    "kappa0": 0.6,
    "coupling_decay_um": 0.08,
}
RADII_UM = (5.0, 10.0, 20.0)
GAPS_UM = (0.15, 0.20, 0.25, 0.30)


@dataclass(frozen=True)
class Point:
    radius_um: float
    gap_um: float

    def settings(self) -> dict[str, Any]:
        return {"radius": self.radius_um, "gap": self.gap_um, "width": 0.5}


def sweep_points() -> list[Point]:
    return [Point(r, g) for r in RADII_UM for g in GAPS_UM]


def ring_transmission(
    point: Point, wavelengths: list[float], params: dict[str, Any]
) -> dict[str, Any]:
    """Through-port power of an all-pass ring, and the figures read from it.

    Self-coupling r from an exponential gap dependence of the power coupling,
    round-trip amplitude a from the propagation loss, phase from a linearly
    dispersive effective index (group index n_group at the band centre).
    """
    length = 2 * math.pi * point.radius_um
    kappa2 = min(0.99, params["kappa0"] * math.exp(-point.gap_um / params["coupling_decay_um"]))
    r = math.sqrt(1 - kappa2)
    loss_np_per_um = params["loss_db_per_cm"] / (10 * math.log10(math.e)) / 1e4
    a = math.exp(-loss_np_per_um * length / 2)
    centre = (wavelengths[0] + wavelengths[-1]) / 2
    n_eff0, n_group = params["n_eff"], params["n_group"]
    power = []
    for wl in wavelengths:
        n_eff = n_eff0 - (n_group - n_eff0) * (wl - centre) / centre
        phi = 2 * math.pi * n_eff * length / wl
        cos_phi = math.cos(phi)
        power.append(
            (a * a - 2 * r * a * cos_phi + r * r) / (1 - 2 * a * r * cos_phi + (r * a) ** 2)
        )
    return {"through": power, **resonance_figures(wavelengths, power)}


def simulate(point: Point, cost_s: float) -> dict[str, Any]:
    """One solver run: the analytic model plus the time a solver would take."""
    time.sleep(cost_s)
    return ring_transmission(point, wavelengths_um(HYPERPARAMETERS), MODEL_PARAMETERS)


def identity(point: Point) -> dict[str, Any]:
    """The six fields that name a simulation in the store."""
    return {
        "component_name": COMPONENT,
        "factory_name": COMPONENT,
        "component_settings": point.settings(),
        "model_parameters": MODEL_PARAMETERS,
        "hyperparameters": HYPERPARAMETERS,
        "simulation_type": SIMULATION_TYPE,
    }


def outcome(point: Point, cost_s: float) -> dict[str, Any]:
    return {"result": simulate(point, cost_s), "wavelengths": wavelengths_um(HYPERPARAMETERS)}
