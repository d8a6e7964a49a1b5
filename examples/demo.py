"""A cached parameter sweep: why a results store is worth having.

By default a real solver runs: MEEP, finite-difference time domain, on a 2D
add-drop ring resonator swept over its coupling gap (see meep_ring.py). The
ring's through- and drop-port spectra are normalised by a run of the bare
waveguide, which is itself a simulation in the store. Every point goes
through get_or_compute_simulation_result: the store answers if this exact
simulation was run before; otherwise it is simulated (two runs side by side,
in worker processes) and saved, once across every process that shares the
store, so two demos started on one store split the work.

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
import math
import os
import pathlib
import shlex
import sys
import tempfile
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any

from tqdm import tqdm  # type: ignore[import-untyped]

from corvina.compute import compute_many
from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters, SimulationStatus, StoredSimulationResult
from corvina.cli.browse import format_listing

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


def shared_sweep(points: Sequence[Point], cost_s: float) -> list[tuple[bool, float]]:
    """A whole sweep through the sweep helper: (served from the store, solver time) per point.

    Workers running overlapping sweeps at the same time share the points they
    have in common: each computes the points nobody holds, then waits for the
    ones the others are computing.
    """
    computed: set[Point] = set()

    def compute(point: Point) -> dict[str, Any]:
        computed.add(point)
        return _outcome(point, cost_s)

    records = compute_many(points, compute, identity=identity)
    return [(p not in computed, r.execution_time_seconds) for p, r in zip(points, records, strict=True)]


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


@dataclass
class Job:
    """One simulation of the MEEP sweep and where it stands."""

    kind: str  # "ring" or "straight"
    identity: dict[str, Any]
    stored: StoredSimulationResult | None = None


def meep_model_parameters(version: str) -> dict[str, Any]:
    import meep_ring

    # The solver's version is part of the identity: another release may give
    # another answer, and the store must not serve the old one for it.
    return {**MEEP_MATERIALS, **meep_ring.SOLVER_SETTINGS, "meep_version": version}


def meep_jobs(version: str) -> tuple[Job, list[Job]]:
    """The normalisation run and the sweep's ring runs, with their identities."""
    import meep_ring

    model = meep_model_parameters(version)

    def ident(component: str, settings: dict[str, Any]) -> dict[str, Any]:
        return {
            "component_name": component,
            "factory_name": f"meep_ring.{component}",
            "component_settings": settings,
            "model_parameters": model,
            "hyperparameters": MEEP_HYPERPARAMETERS,
            "simulation_type": SIMULATION_TYPE,
        }

    rings = [Job("ring", ident(RING, {**MEEP_RING, "gap": gap})) for gap in MEEP_GAPS_UM]
    straight = Job("straight", ident(STRAIGHT, meep_ring.straight_settings(MEEP_RING, model)))
    return straight, rings


class NotNormalised(Exception):
    """The bare bus's run cannot normalise the rings; the text says why."""


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


def _slowest_first(jobs: list[Job]) -> list[Job]:
    # A wider gap couples less, so the resonance is sharper and the ring
    # rings for longer; starting the long runs first keeps both workers busy
    # to the end. The bare bus, the quickest run of all, goes before them:
    # every ring is normalised by it, so with it in hand each ring is saved
    # the moment it finishes, and an interrupted sweep keeps what it did.
    def cost(job: Job) -> float:
        return job.identity["component_settings"].get("gap", -1.0) if job.kind == "ring" else 1e9

    return sorted(jobs, key=cost, reverse=True)


def _answer(job: Job, stored: StoredSimulationResult, wavelengths: list[float]) -> bool:
    """Whether a stored result answers the job; a failed run, or a bare bus
    the rings cannot be divided by, is run again."""
    if stored.status != SimulationStatus.SUCCESS:
        return False
    return job.kind != "straight" or _input_power(stored.result, wavelengths) is not None


def run_meep_pass(version: str, jobs: int, label: str) -> PassReport:
    """Every simulation of the sweep from the store, each missing one computed once.

    Each simulation goes through ``get_or_compute_simulation_result``, so
    that two demos sharing a store (or a retried one) never run a point
    twice: the misses run in worker processes, ``jobs`` at a time. A ring is
    saved, as fractions of the bare bus's input power, the moment both are in
    hand. When the bare bus's run fails, or gives a power the rings cannot be
    divided by, the rings are recorded as failed, saying why, and those not
    started yet are not run.
    """
    import meep_ring

    straight, rings = meep_jobs(version)
    everything = [straight, *rings]
    report = PassReport()
    hp = MEEP_HYPERPARAMETERS
    wavelengths = wavelengths_um(hp)
    start = time.perf_counter()
    for job in everything:
        found = storage.find_simulation_result(**job.identity)
        if found is not None and not _answer(job, found, wavelengths):
            storage.delete_simulation_result(found.simulation_id)
    # The bare bus's input power, or NotNormalised: what every ring waits for.
    normalisation: concurrent.futures.Future[list[float]] = concurrent.futures.Future()
    lock = threading.Lock()  # the report, and solver runs against the normalisation failing
    runs: list[concurrent.futures.Future[Any]] = []
    blocked = 0  # rings recorded as failed for want of their normalisation

    def solve(pool: concurrent.futures.Executor, job: Job) -> tuple[dict[str, list[float]], float]:
        with lock:
            report.computed += 1
            if job is not straight and normalisation.done():
                normalisation.result()  # raises NotNormalised: not worth running
            run = pool.submit(meep_ring.run_timed, job.kind, job.identity["component_settings"],
                              job.identity["model_parameters"], wavelengths, hp.mesh_resolution,
                              hp.simulation_time_fs)
            runs.append(run)
        fluxes, seconds = run.result()  # CancelledError when the normalisation failed first
        return fluxes, seconds

    def compute_straight(pool: concurrent.futures.Executor) -> dict[str, Any]:
        try:
            fluxes, seconds = solve(pool, straight)
        except Exception as exc:
            return _failure(f"{type(exc).__name__}: {exc}")
        power_in = _input_power({"input_flux": fluxes.get("through_flux")}, wavelengths)
        if power_in is None:
            return _failure("its input power is not one finite, positive value per wavelength",
                            seconds)
        return {"result": {"input_flux": power_in}, "wavelengths": wavelengths,
                "execution_time_seconds": seconds}

    def compute_ring(pool: concurrent.futures.Executor, ring: Job) -> dict[str, Any]:
        nonlocal blocked

        def not_normalised(exc: NotNormalised, seconds: float = 0.0) -> dict[str, Any]:
            nonlocal blocked
            with lock:
                blocked += 1
            return _failure(f"not normalised: the {STRAIGHT} waveguide's run, which normalises "
                            f"it, failed ({exc})", seconds)

        def failed(message: str, seconds: float) -> dict[str, Any]:
            with lock:
                report.problems.append(f"{RING} {ring.identity['component_settings']}: {message}")
            return _failure(message, seconds)

        try:
            fluxes, seconds = solve(pool, ring)
        except NotNormalised as exc:
            return not_normalised(exc)
        except concurrent.futures.CancelledError:  # not run: the bare bus failed before it started
            return not_normalised(normalisation.exception())  # type: ignore[arg-type]
        except Exception as exc:
            return failed(f"{type(exc).__name__}: {exc}", 0.0)
        try:
            power_in = normalisation.result()  # the ring waits for the bare bus
        except NotNormalised as exc:
            return not_normalised(exc, seconds)
        try:
            result = _normalised(fluxes, power_in, wavelengths)
        except (KeyError, ValueError) as exc:  # a port missing, or not one value per wavelength
            return failed(f"unusable fluxes: {type(exc).__name__}: {exc}", seconds)
        return {"result": result, "wavelengths": wavelengths, "execution_time_seconds": seconds}

    def through_store(pool: concurrent.futures.Executor, job: Job) -> None:
        ran = False

        def compute() -> dict[str, Any]:
            nonlocal ran
            ran = True
            return compute_straight(pool) if job is straight else compute_ring(pool, job)

        try:
            job.stored = storage.get_or_compute_simulation_result(**job.identity, compute=compute)
        finally:
            if job is straight:
                settle_normalisation(job.stored)
        if not ran:
            with lock:
                report.from_cache += 1
                report.solver_seconds_avoided += job.stored.execution_time_seconds

    def settle_normalisation(stored: StoredSimulationResult | None) -> None:
        power_in = None
        if stored is not None and stored.status == SimulationStatus.SUCCESS:
            power_in = _input_power(stored.result, wavelengths)
        with lock:
            if power_in is not None:
                normalisation.set_result(power_in)
                return
            why = ("its run did not finish" if stored is None else stored.error_message
                   or "its input power is not one finite, positive value per wavelength")
            normalisation.set_exception(NotNormalised(why))
            for run in runs:  # the rings not started yet are not worth running
                run.cancel()

    with tqdm(total=len(everything), desc=label, unit="run", disable=None, leave=False) as bar:
        workers = max(1, min(jobs, len(everything)))
        with (
            concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool,
            concurrent.futures.ThreadPoolExecutor(max_workers=len(everything)) as threads,
        ):
            waiting = [threads.submit(through_store, pool, job) for job in _slowest_first(everything)]
            for done in concurrent.futures.as_completed(waiting):
                done.result()
                bar.update()
    failures = [job.stored for job in everything
                if job.stored is not None and job.stored.status != SimulationStatus.SUCCESS]
    report.failed = len(failures)
    if straight.stored is not None and straight.stored.status != SimulationStatus.SUCCESS:
        report.problems.insert(0, (
            f"{STRAIGHT} {straight.identity['component_settings']}: {straight.stored.error_message}"
            + (f"; so {blocked} ring run(s), which it normalises, recorded as failed" if blocked else "")
        ))
    report.wall_seconds = time.perf_counter() - start
    report.records = [job.stored for job in rings if job.stored is not None]
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
