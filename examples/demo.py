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

This file is the sweep: each simulation through the store, the two passes,
what they print. What a run is and how it computes lives beside it:
meep_sweep.py (the MEEP runs, on meep_ring.py's physics), analytic_sweep.py
(the analytic model's points) and transmission.py (the wavelengths sampled,
and the resonances read from a spectrum).
"""

from __future__ import annotations

import argparse
import concurrent.futures
import functools
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
from corvina.models import SimulationStatus, StoredSimulationResult

from analytic_sweep import COMPONENT, Point, identity, outcome, sweep_points
from meep_sweep import (
    MEEP_GAPS_UM,
    MEEP_HYPERPARAMETERS,
    NOT_NORMALISED,
    RING,
    STRAIGHT,
    MeepRun,
    meep_outcome,
    meep_runs,
    meep_version,
    stored_answer,
)
from transmission import SIMULATION_TYPE, figures_table

PROJECT = pathlib.Path(__file__).resolve().parents[1]


# --- through the store: each simulation computed once, across every process --------


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
        return outcome(point, cost_s)

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
    compute = functools.partial(outcome, cost_s=cost_s)
    return [(not computed, record.execution_time_seconds)
            for record, computed in computed_once(points, compute, identity)]


def through_store(run: MeepRun) -> tuple[StoredSimulationResult, bool]:
    """The run's record, computed here (in a worker process) unless another
    process has it or holds it: (record, computed here)."""
    [(record, computed)] = computed_once([run], meep_outcome, MeepRun.identity)
    return record, computed


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
