"""The demo's cached sweep, scaled out over a Dask distributed cluster.

Every point is a task; every worker process asks the one shared store before
computing and saves into it afterwards. Run twice, the second run finds every
point in the store and computes nothing.

    ./dev python examples/parallel_sweep.py [--workers N] [--store DIR]
    ./dev python examples/parallel_sweep.py --overlap

With --overlap, two sweeps that share a third of their points are submitted
at once, each as one task that runs its sweep through the sweep helper (the
second in the opposite order, so that they meet in the middle). Every point
is computed once: the example prints the solver runs against the unique
points, and exits 1 if they differ.

Here the cluster is local (worker processes on this machine) and the store a
directory. On a real cluster the workers' environment names the same store
for all of them: a directory on a shared file system, or an S3 URL in
CORVINA_SIMULATIONS_DIR.
"""

from __future__ import annotations

import argparse
import sys
import time
from dataclasses import dataclass

from distributed import Client, LocalCluster

from corvina import settings
from corvina.core import simulation_storage as storage

from analytic_sweep import COMPONENT, Point, sweep_points
from demo import cached_point, seconds, shared_sweep, store_at
from transmission import SIMULATION_TYPE


@dataclass
class RunReport:
    computed: int
    from_cache: int
    wall_seconds: float
    solver_seconds: float


def run(client: Client, points: list[Point], cost_s: float) -> RunReport:
    start = time.perf_counter()
    # `cached_point` lives in the demo module, which the local workers import
    # by reference (they inherit this process's sys.path). pure=False: a task
    # with the same arguments must still run again, since the store, not
    # Dask's own result cache, is what the second run should hit.
    futures = client.map(cached_point, points, cost_s=cost_s, pure=False)
    outcomes: list[tuple[bool, float]] = client.gather(futures)
    wall = time.perf_counter() - start
    hits = sum(1 for hit, _ in outcomes if hit)
    return RunReport(
        computed=len(outcomes) - hits,
        from_cache=hits,
        wall_seconds=wall,
        solver_seconds=sum(s for _, s in outcomes),
    )


def overlapping(points: list[Point]) -> tuple[list[Point], list[Point]]:
    """Two sweeps over ``points`` that share about a third of them; the second reversed."""
    n = len(points)
    return points[: (2 * n + 2) // 3], points[n // 3 :][::-1]


def run_overlap(client: Client, points: list[Point], cost_s: float) -> int:
    first, second = overlapping(points)
    unique = len(set(first) | set(second))
    start = time.perf_counter()
    # Both submitted before either is gathered: they run at the same time on
    # two workers, each sweep's points in the order given.
    futures = [client.submit(shared_sweep, sweep, cost_s, pure=False) for sweep in (first, second)]
    outcomes: list[list[tuple[bool, float]]] = client.gather(futures)
    wall = time.perf_counter() - start
    runs = [sum(1 for hit, _ in outcome if not hit) for outcome in outcomes]
    for label, sweep, ran in zip(("sweep A", "sweep B"), (first, second), runs, strict=True):
        print(f"{label}: {len(sweep):2d} points, {ran:2d} computed, "
              f"{len(sweep) - ran:2d} from the store or the other sweep")
    print(f"\n{len(set(first) & set(second))} points in both sweeps, {unique} unique: "
          f"{sum(runs)} solver runs in {seconds(wall)}")
    if sum(runs) != unique:
        print(f"unexpected: {sum(runs)} solver runs for {unique} unique points", file=sys.stderr)
        return 1
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="The cached sweep on a local Dask cluster.")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--cost", type=float, default=0.15, metavar="SECONDS", help="solver time per point")
    parser.add_argument("--store", metavar="DIR", help="keep results here (default: a fresh temporary store)")
    parser.add_argument("--points", type=int, default=None, help="use only the first N sweep points")
    parser.add_argument("--overlap", action="store_true",
                        help="two overlapping sweeps at once; count solver runs against unique points")
    args = parser.parse_args(argv)
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    if args.store and settings.is_url(args.store) and args.store.startswith("memory:"):
        parser.error("a memory:// store lives in one process; the workers cannot share it")
    points = sweep_points()[: args.points]

    with store_at(args.store) as where:
        print(f"store: {where}")
        # Workers are started after the store is named, so they inherit it.
        with (
            LocalCluster(
                n_workers=args.workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
            ) as cluster,
            Client(cluster) as client,
        ):
            print(f"cluster: {args.workers} worker processes, {len(points)} points\n")
            if args.overlap:
                return run_overlap(client, points, args.cost)
            first = run(client, points, args.cost)
            second = run(client, points, args.cost)

        for label, report in (("run 1", first), ("run 2", second)):
            print(
                f"{label}: {report.computed:2d} computed, {report.from_cache:2d} from the store"
                f"  in {seconds(report.wall_seconds)}"
            )
        stored = storage.list_simulation_results(
            component_name=COMPONENT, simulation_type=SIMULATION_TYPE
        )
        ids = {r.simulation_id for r in stored}
        print(f"\nthe store holds {len(ids)} results of {COMPONENT}")
        print(
            f"run 2 took {seconds(second.wall_seconds)} for {seconds(second.solver_seconds)}"
            " of solver time"
        )

    if second.computed or len(ids) < len(points):
        print("unexpected: run 2 was not served entirely from the store", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
