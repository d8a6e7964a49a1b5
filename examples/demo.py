"""A cached parameter sweep: why a results store is worth having.

By default a real solver runs: MEEP, finite-difference time domain, on a 2D
add-drop ring resonator swept over its coupling gap (see meep_ring.py). The
ring's through- and drop-port spectra are normalised by a run of the bare
waveguide, which is itself a simulation in the store, run first. Every
simulation goes through the store (the library's compute_many): the store
answers if this exact simulation was run before; otherwise it is simulated
(two runs side by side, in worker processes) and saved, once across every
process that shares the store, so two demos started on one store split the
work.

The sweep runs twice. The first pass simulates what the store lacks; the
second is served from the store. Then the demo prints the resonances, the
store's listing and the solver time saved, and draws the sweep's spectra
into one PNG.

    ./dev demo                     MEEP; a fresh temporary store, removed afterwards
    ./dev demo --store DIR         keep the results in DIR (or a URL: s3://...)
    ./dev demo --solver analytic   an analytic ring model instead (seconds)
"""

from __future__ import annotations

import argparse
import concurrent.futures
import functools
import math
import multiprocessing
import os
import pathlib
import shlex
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any

from tqdm import tqdm  # type: ignore[import-untyped]

from corvina.cli.browse import format_listing
from corvina.compute import compute_many
from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters, SimulationStatus, StoredSimulationResult

SIMULATION_TYPE = "transmission"
PROJECT = pathlib.Path(__file__).resolve().parents[1]

# --- the analytic model: an all-pass ring, a formula standing in for a solver --

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
    return {"through": power, **resonance_figures(wavelengths, power)}


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


def _outcome(point: Point, cost_s: float) -> dict[str, Any]:
    return {"result": simulate(point, cost_s), "wavelengths": wavelengths_um()}


def cached_point(point: Point, cost_s: float) -> tuple[bool, float]:
    """Run one point through the cache: (served from the store, its solver time).

    Computed once across every process that shares the store: a worker that
    finds another one computing this point waits for its result.
    """
    ident = identity(point)
    ran = False

    def compute() -> dict[str, Any]:
        nonlocal ran
        ran = True
        return _outcome(point, cost_s)

    stored = storage.get_or_compute_simulation_result(**ident, compute=compute)
    if not ran and stored.status != SimulationStatus.SUCCESS:
        # A stored failure is a record of what went wrong, not an answer: run again.
        storage.delete_simulation_result(stored.simulation_id)
        stored = storage.get_or_compute_simulation_result(**ident, compute=compute)
    return not ran, stored.execution_time_seconds


def computed_once(
    points: Sequence[Any], compute: Callable[[Any], dict[str, Any]], identity: Callable[[Any], dict[str, Any]]
) -> list[tuple[StoredSimulationResult, bool]]:
    """``compute_many``, telling which points it computed here: (record, computed here) per point.

    Each point is computed once across every process that shares the store:
    workers running overlapping sweeps at the same time each compute the
    points nobody holds, then wait for the ones the others are computing.
    """
    computed: set[int] = set()

    def compute_here(point: Any) -> dict[str, Any]:
        computed.add(id(point))
        return compute(point)

    records = compute_many(points, compute_here, identity=identity)
    return [(record, id(point) in computed) for point, record in zip(points, records, strict=True)]


def shared_sweep(points: Sequence[Point], cost_s: float) -> list[tuple[bool, float]]:
    """A whole sweep through the store: (served from the store, solver time) per point."""
    outcome = functools.partial(_outcome, cost_s=cost_s)
    return [(not computed, record.execution_time_seconds)
            for record, computed in computed_once(points, outcome, identity)]


# --- what a designer reads from a spectrum ---------------------------------------


def resonance_figures(wavelengths_um: Sequence[float], through: Sequence[float]) -> dict[str, Any]:
    """Resonances of a through-port power spectrum (normalised to the input).

    A resonance is a dip at least 0.1 deep below the lower of its two
    shoulders (so numerical ripple does not count). Its wavelength comes from
    a parabola through the three lowest samples; its extinction is the
    shoulder over the dip, in dB; its loaded Q is the wavelength over the
    dip's full width at half depth, or None when the dip runs out of the band
    or is narrower than the sampling can tell.
    """
    n = len(through)
    nm = [1e3 * w for w in wavelengths_um]
    resonances: list[float] = []
    extinction: list[float] = []
    quality: list[float | None] = []
    for i in range(1, n - 1):
        value = through[i]
        if not (value < through[i - 1] and value <= through[i + 1]):
            continue
        shoulders = []
        for step in (-1, 1):
            j, top = i, value
            while 0 <= j + step < n and through[j + step] >= value:
                j += step
                top = max(top, through[j])
            shoulders.append(top)
        shoulder = min(shoulders)
        if shoulder - value < 0.1:
            continue
        # Vertex of the parabola through the samples around the minimum.
        left, right = through[i - 1], through[i + 1]
        curvature = left - 2 * value + right
        offset = 0.5 * (left - right) / curvature if curvature > 0 else 0.0
        resonances.append(nm[i] + offset * (nm[i + 1] - nm[i - 1]) / 2)
        extinction.append(10 * math.log10(shoulder / max(value, 1e-6)))
        half = value + (shoulder - value) / 2
        edges = []
        for step in (-1, 1):
            j = i
            while 0 <= j + step < n and through[j + step] < half:
                j += step
            if not 0 <= j + step < n:
                break
            a, b = through[j], through[j + step]
            edges.append(nm[j] + (nm[j + step] - nm[j]) * (half - a) / (b - a))
        width = edges[1] - edges[0] if len(edges) == 2 else 0.0
        spacing = (nm[-1] - nm[0]) / (n - 1)
        quality.append(resonances[-1] / width if width > 2 * spacing else None)
    fsr = (resonances[-1] - resonances[0]) / (len(resonances) - 1) if len(resonances) > 1 else None
    return {
        "resonances_nm": resonances,
        "extinction_db": extinction,
        "loaded_q": quality,
        "fsr_nm": fsr,
    }


def figures_table(records: Sequence[StoredSimulationResult]) -> str:
    """One line per swept point: what changes, then each resonance's figures."""
    swept = [
        key
        for key in records[0].component_settings
        if len({repr(r.component_settings.get(key)) for r in records}) > 1
    ]
    rows = []
    for r in sorted(records, key=lambda r: [r.component_settings[k] for k in swept]):
        res = r.result

        def each(values: Sequence[float | None], fmt: str) -> str:
            return " ".join("-" if v is None else format(v, fmt) for v in values) or "-"

        rows.append([
            *(f"{r.component_settings[k]:g}" for k in swept),
            each(res["resonances_nm"], ".1f"),
            each(res["extinction_db"], ".1f"),
            each(res["loaded_q"], ".0f"),
            f"{res['fsr_nm']:.1f}" if res["fsr_nm"] is not None else "-",
        ])
    headers = [f"{k.upper()} (um)" for k in swept] + [
        "RESONANCES (nm)", "EXTINCTION (dB)", "LOADED Q", "FSR (nm)"
    ]
    widths = [max(len(h), *(len(row[i]) for row in rows)) for i, h in enumerate(headers)]
    return "\n".join(
        "  ".join(c.ljust(w) for c, w in zip(row, widths, strict=True)).rstrip()
        for row in [headers, *rows]
    )


# --- the real solver: MEEP on an add-drop ring ---------------------------------------

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


def through_store(run: MeepRun) -> tuple[StoredSimulationResult, bool]:
    """The run's record, computed here (in a worker process) unless another
    process has it or holds it: (record, computed here)."""
    [(record, computed)] = computed_once([run], meep_outcome, MeepRun.identity)
    return record, computed


def run_meep_pass(version: str, jobs: int, label: str) -> PassReport:
    """Every simulation of the sweep from the store, each missing one computed once.

    The misses run in worker processes, ``jobs`` side by side, each through
    ``compute_many``, so that two demos sharing a store (or a retried one)
    never run a simulation twice: the bare bus first, since every ring is
    divided by it, then the rings, the slowest first.
    """
    bus, rings = meep_runs(version)
    runs = [bus, *rings]
    start = time.perf_counter()
    found = [stored_answer(run) for run in runs]
    done = {i: (record, False) for i, record in enumerate(found) if record is not None}
    missing = [i for i, record in enumerate(found) if record is None]
    workers = max(1, min(jobs, len(missing)))
    # Spawned, so that a worker sees the store that the environment names now
    # (a fork server keeps the environment it was started with).
    spawn = multiprocessing.get_context("spawn")
    with (
        tqdm(total=len(runs), initial=len(done), desc=label, unit="run", disable=None, leave=False) as bar,
        concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=spawn) as pool,
    ):
        if missing and missing[0] == 0:
            done[missing.pop(0)] = pool.submit(through_store, bus).result()
            bar.update()
        # A wider gap couples less: its resonance is sharper and its run longer.
        # The longest first keep both workers busy to the end.
        missing.sort(key=lambda i: runs[i].settings["gap"], reverse=True)
        for i, result in zip(missing, pool.map(through_store, [runs[i] for i in missing])):
            done[i] = result
            bar.update()
    return meep_report([(run, *done[i]) for i, run in enumerate(runs)], time.perf_counter() - start)


def meep_report(results: list[tuple[MeepRun, StoredSimulationResult, bool]], wall_seconds: float) -> PassReport:
    """The pass in figures: each run's record, and whether it was computed here
    (the bare bus first). A ring that failed only for want of its
    normalisation is told in the bare bus's line."""
    report = PassReport(wall_seconds=wall_seconds)
    blocked = 0
    for run, record, computed in results:
        report.count(record, computed)
        failed = record.status != SimulationStatus.SUCCESS
        if run.normalised_by is None:
            continue
        report.records.append(record)
        if failed and computed and (record.error_message or "").startswith(NOT_NORMALISED):
            blocked += 1
        elif failed and computed:
            report.problems.append(f"{run.component} {run.settings}: {record.error_message}")
    bus, record, _ = results[0]
    if record.status != SimulationStatus.SUCCESS:
        took = f"; so {blocked} ring run(s), which it normalises, recorded as failed" if blocked else ""
        report.problems.insert(0, f"{bus.component} {bus.settings}: {record.error_message}{took}")
    return report


def meep_version() -> str | None:
    """MEEP's version, or None when it cannot be imported here."""
    try:
        import meep_ring

        return meep_ring.meep_version()
    except ImportError:
        return None


# --- the two passes ------------------------------------------------------------------


@dataclass
class PassReport:
    computed: int = 0
    from_cache: int = 0
    failed: int = 0
    # One line per run that failed on its own (a ring that failed only for
    # want of its normalisation is told in the normalising run's line).
    problems: list[str] = field(default_factory=list)
    solver_seconds_avoided: float = 0.0
    wall_seconds: float = 0.0
    # The sweep's results, in sweep order (failed runs included).
    records: list[StoredSimulationResult] = field(default_factory=list)

    def count(self, record: StoredSimulationResult, computed: bool) -> None:
        """One run of the pass: computed here, or served from the store."""
        if computed:
            self.computed += 1
        else:
            self.from_cache += 1
            self.solver_seconds_avoided += record.execution_time_seconds
        if record.status != SimulationStatus.SUCCESS:
            self.failed += 1

    def line(self, label: str) -> str:
        failed = f" ({self.failed} failed)" if self.failed else ""
        return (
            f"{label}: {self.computed:2d} computed, {self.from_cache:2d} from the store"
            f"  in {seconds(self.wall_seconds)}{failed}"
        )


def seconds(value: float) -> str:
    return f"{value * 1e3:.0f} ms" if value < 1 else f"{value:.2f} s"


def run_pass(points: Sequence[Point], cost_s: float, label: str) -> PassReport:
    report = PassReport()
    start = time.perf_counter()
    for point in tqdm(points, desc=label, unit="point", disable=None, leave=False):
        hit, seconds = cached_point(point, cost_s)
        if hit:
            report.from_cache += 1
            report.solver_seconds_avoided += seconds
        else:
            report.computed += 1
    report.wall_seconds = time.perf_counter() - start
    for point in points:
        stored = storage.find_simulation_result(**identity(point))
        if stored is not None:
            report.records.append(stored)
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


def draw(records: Sequence[StoredSimulationResult], path: pathlib.Path, title: str) -> str:
    """The sweep's spectra as a picture; what to print about it."""
    try:
        from corvina.cli.plot import plot_records

        path.parent.mkdir(parents=True, exist_ok=True)
        written = plot_records(records, path, title=title, ylabel="power (fraction of the input)")
        return f"spectra: {written}"
    except ImportError:
        return "spectra: not drawn, matplotlib is not installed (pip install 'corvina[plot]')"


def _matplotlib_dir(fallback: str) -> str:
    kept = PROJECT / "build" / "demo" / "matplotlib"
    try:
        kept.mkdir(parents=True, exist_ok=True)
    except OSError:
        return fallback
    return str(kept) if os.access(kept, os.W_OK) else fallback


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument(
        "--solver", choices=("meep", "analytic"), default="meep",
        help="meep: the FDTD solver on an add-drop ring (default); analytic: a formula, seconds",
    )
    parser.add_argument("--store", metavar="DIR", help="keep results here (default: a fresh temporary store)")
    parser.add_argument(
        "--cost", type=float, default=0.15, metavar="SECONDS",
        help="analytic solver: time per point (default 0.15)",
    )
    parser.add_argument(
        "--jobs", type=int, default=min(2, os.cpu_count() or 1), metavar="N",
        help="meep: runs side by side, one process and one core each (default 2)",
    )
    parser.add_argument(
        "--plot", metavar="FILE", type=pathlib.Path,
        help="where to draw the sweep's spectra (default: build/demo/SOLVER-sweep.png)",
    )
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")

    with tempfile.TemporaryDirectory(prefix="corvina-demo-mpl-") as scratch:
        # matplotlib (imported by MEEP, and drawing the picture) keeps a font
        # cache in its configuration directory, complains on stderr when that
        # is not writable, and warns when building the cache takes long. A
        # directory of the demo's own, kept beside its picture, keeps the
        # user's alone and is built once; the worker processes inherit it.
        os.environ.setdefault("MPLCONFIGDIR", _matplotlib_dir(scratch))
        solver = args.solver
        version = meep_version() if solver == "meep" else None
        if solver == "meep" and version is None:
            print(
                "MEEP is not installed here, so the demo runs the analytic model instead.\n"
                "For the real solver install MEEP (Debian: python3-meep and python3-scipy;\n"
                "conda-forge: pymeep), or run ./dev demo, whose environment has it.\n"
                "./dev demo --solver analytic runs the analytic model without this note.\n",
                file=sys.stderr,
            )
            solver = "analytic"
        plot = args.plot or PROJECT / "build" / "demo" / f"{solver}-sweep.png"
        with store_at(args.store) as where:
            return sweep(solver, version, args, where, plot)


def _tell_failures(report: PassReport) -> None:
    lines = report.problems or [
        f"{r.component_settings}: {r.error_message}"
        for r in report.records
        if r.status != SimulationStatus.SUCCESS
    ]
    for line in lines:
        print(f"failed: {line}", file=sys.stderr)


def sweep(solver: str, version: str | None, args: argparse.Namespace, where: str, plot: pathlib.Path) -> int:
    kept = "kept" if args.store else "temporary, removed at exit"
    print(f"store: {where} ({kept})")
    if solver == "meep":
        assert version is not None
        hp = MEEP_HYPERPARAMETERS
        print(
            f"sweep: {RING} (MEEP {version}, 2D FDTD at {hp.mesh_resolution} px/um), coupling gap "
            f"{', '.join(f'{g:g}' for g in MEEP_GAPS_UM)} um, plus the {STRAIGHT} waveguide that "
            f"normalises it;\n       {len(MEEP_GAPS_UM) + 1} simulations, {args.jobs} side by side\n"
        )
        first = run_meep_pass(version, args.jobs, "pass 1")
        print(first.line("pass 1"))
        if first.failed:
            # A second pass would only run the failed runs again, for minutes;
            # what was saved stays in the store, and the next run retries the rest.
            _tell_failures(first)
            return 1
        second = run_meep_pass(version, args.jobs, "pass 2")
        components: tuple[str, ...] = (RING, STRAIGHT)
    else:
        points = sweep_points()
        print(f"sweep: {len(points)} points of {COMPONENT} (radius x gap), {args.cost:g} s each\n")
        first = run_pass(points, args.cost, "pass 1")
        print(first.line("pass 1"))
        second = run_pass(points, args.cost, "pass 2")
        components = (COMPONENT,)
    print(second.line("pass 2"))

    records = [
        r
        for name in components
        for r in storage.list_simulation_results(component_name=name, simulation_type=SIMULATION_TYPE)
    ]
    records.sort(key=lambda r: r.simulation_date, reverse=True)
    swept = [r for r in second.records if r.status == SimulationStatus.SUCCESS]
    print()
    print(format_listing(records))
    print()
    if swept:
        print(figures_table(swept))
        print()
    saved = second.solver_seconds_avoided - second.wall_seconds
    print(
        f"the store saved {seconds(saved)} on pass 2: {seconds(second.solver_seconds_avoided)}"
        f" of solver time answered in {seconds(second.wall_seconds)}"
    )
    if swept:
        print(draw(swept, plot, title=f"{components[0]} ({solver}): through and drop power"
                   if solver == "meep" else f"{components[0]} ({solver}): through power"))
    if first.failed or second.failed:
        _tell_failures(second)
        return 1
    if second.computed:
        print(f"unexpected: pass 2 computed {second.computed} point(s)", file=sys.stderr)
        return 1
    store = shlex.quote(where if args.store else "sims")
    again = "" if args.store else f"./dev demo --store {store}, then "
    print(f"browse the results in a web page: {again}./dev python -m corvina.cli --store {store} serve")
    return 0


if __name__ == "__main__":
    sys.exit(main())
