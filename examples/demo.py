"""A cached parameter sweep: why a results store is worth having.

A ring resonator's through-port transmission is swept over ring radius and
coupling gap. Each point costs what a real solver run would cost (an analytic
model stands in for the solver, with a sleep for its run time). Before every
point the sweep asks the store whether this exact simulation was run before;
if so it takes the stored result, otherwise it computes and saves it.

The sweep runs twice. The first pass computes everything; the second is
served from the store. Then the store's listing and the time saved are shown.

    ./dev demo                  a fresh temporary store, removed afterwards
    ./dev demo --store DIR      keep the results in DIR (or a URL: s3://...)
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import time
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

from tqdm import tqdm  # type: ignore[import-untyped]

from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters, SimulationStatus, StoredSimulationResult
from corvina.simulations import format_listing

COMPONENT = "ring_single"
SIMULATION_TYPE = "transmission"
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


def wavelengths_um(hp: SimulationHyperparameters = HYPERPARAMETERS) -> list[float]:
    n = hp.wavelength_points
    if n == 1:
        return [hp.wavelength_start]
    step = (hp.wavelength_stop - hp.wavelength_start) / (n - 1)
    return [hp.wavelength_start + i * step for i in range(n)]


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
    dips = [
        i for i in range(1, len(power) - 1) if power[i] < power[i - 1] and power[i] <= power[i + 1]
    ]
    # On resonance (cos phi = 1) the through power is ((a - r) / (1 - r a))^2:
    # exact, where the sampled curve may step over a narrow dip.
    on_resonance = ((a - r) / (1 - r * a)) ** 2
    return {
        "through_power": power,
        "resonances_um": [wavelengths[i] for i in dips],
        "extinction_db": -10 * math.log10(max(on_resonance, 1e-12)),
        "fsr_nm": 1e3 * centre**2 / (n_group * length),
        "critical_coupling_mismatch": abs(r - a),
    }


def simulate(point: Point, cost_s: float) -> dict[str, Any]:
    """One solver run: the analytic model plus the time a solver would take."""
    time.sleep(cost_s)
    return ring_transmission(point, wavelengths_um(), MODEL_PARAMETERS)


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


def cached_point(point: Point, cost_s: float) -> tuple[bool, float]:
    """Run one point through the cache: (served from the store, its solver time)."""
    ident = identity(point)
    stored = storage.find_simulation_result(**ident)
    # A stored failure is a record of what went wrong, not an answer: run again.
    if stored is not None and stored.status == SimulationStatus.SUCCESS:
        return True, stored.execution_time_seconds
    start = time.perf_counter()
    result = simulate(point, cost_s)
    elapsed = time.perf_counter() - start
    storage.save_simulation_result(
        **ident, result=result, wavelengths=wavelengths_um(), execution_time_seconds=elapsed
    )
    return False, elapsed


@dataclass
class PassReport:
    computed: int = 0
    from_cache: int = 0
    solver_seconds_avoided: float = 0.0
    wall_seconds: float = 0.0

    def line(self, label: str) -> str:
        return (
            f"{label}: {self.computed:2d} computed, {self.from_cache:2d} from the store"
            f"  in {seconds(self.wall_seconds)}"
        )


def seconds(value: float) -> str:
    return f"{value * 1e3:.0f} ms" if value < 1 else f"{value:.2f} s"


def run_pass(points: Iterable[Point], cost_s: float, label: str) -> PassReport:
    report = PassReport()
    start = time.perf_counter()
    for point in tqdm(list(points), desc=label, unit="point", disable=None, leave=False):
        hit, seconds = cached_point(point, cost_s)
        if hit:
            report.from_cache += 1
            report.solver_seconds_avoided += seconds
        else:
            report.computed += 1
    report.wall_seconds = time.perf_counter() - start
    return report


@contextmanager
def store_at(location: str | None) -> Iterator[str]:
    """Point the store at `location`, or at a fresh temporary directory."""
    saved = os.environ.get("CORVINA_SIMULATIONS_DIR")
    with tempfile.TemporaryDirectory(prefix="corvina-demo-") as scratch:
        where = location or os.path.join(scratch, "simulations")
        os.environ["CORVINA_SIMULATIONS_DIR"] = where
        try:
            yield where
        finally:
            if saved is None:
                os.environ.pop("CORVINA_SIMULATIONS_DIR", None)
            else:
                os.environ["CORVINA_SIMULATIONS_DIR"] = saved


def best(records: list[StoredSimulationResult]) -> str:
    top = max(records, key=lambda r: r.result["extinction_db"])
    s = top.component_settings
    return (
        f"deepest resonance: radius {s['radius']:g} um, gap {s['gap']:g} um -> "
        f"{top.result['extinction_db']:.1f} dB extinction, FSR {top.result['fsr_nm']:.2f} nm"
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--store", metavar="DIR", help="keep results here (default: a fresh temporary store)")
    parser.add_argument(
        "--cost", type=float, default=0.15, metavar="SECONDS", help="solver time per point (default 0.15)"
    )
    args = parser.parse_args(argv)
    points = sweep_points()

    with store_at(args.store) as where:
        kept = "kept" if args.store else "temporary, removed at exit"
        print(f"store: {where} ({kept})")
        print(f"sweep: {len(points)} points of {COMPONENT} (radius x gap), {args.cost:g} s each\n")

        first = run_pass(points, args.cost, "pass 1")
        print(first.line("pass 1"))
        second = run_pass(points, args.cost, "pass 2")
        print(second.line("pass 2"))

        records = storage.list_simulation_results(
            component_name=COMPONENT, simulation_type=SIMULATION_TYPE
        )
        print()
        print(format_listing(records))
        print()
        print(best(records))
        saved = second.solver_seconds_avoided - second.wall_seconds
        print(
            f"the store saved {seconds(saved)} on pass 2: {seconds(second.solver_seconds_avoided)}"
            f" of solver time answered in {seconds(second.wall_seconds)}"
        )
    if second.computed:
        print(f"unexpected: pass 2 computed {second.computed} point(s)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
