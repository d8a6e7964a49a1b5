"""Benchmarks of the simulation results store, side by side with its baselines.

Run through `./dev bench [--quick] [--json FILE]` (or `python -m benchmarks.run`
from the repository). Every figure is the median time of one call, with its
spread, over rounds in which all contenders of an operation run interleaved in
shuffled order on the same store; ratios are medians of the per-round ratios,
so load from other processes hits both sides of a ratio alike.

Contenders: the compiled store on an exact PosixPath (module) and on a
subclass that keeps it on the host's methods (literal), the same algorithm in
plain Python (baseline), diskcache and joblib (all in benchmarks/peers.py),
and the floor: only the host calls the store cannot avoid (benchmarks/floor.py).
For lookups in a bigger store the module also runs, in the same rounds, on a
store of the smallest size: that ratio says whether lookups stay flat.

Fairness: every contender gets the same inputs and reads the same store (the
files are written once, directly, byte for byte what a save writes); the
package logger is at WARNING for all; saves create new files, removed again
outside the timed region; each delete and each clear gets a fresh store (hard
links to the same files), also set up outside the timed region.

Stores live on a real file system (build/bench-stores by default), not tmpfs.
No file or directory time is ever moved. Two states are measured:
  at rest   rows named "..., at rest": the run waits until nothing in the
            stores has been written for two seconds (a pause in the work)
  in use    everything else, as a sweep runs: the sweep step (find, a miss,
            then save), lookups right after a save, lookups while another
            process saves into the same store, saves, deletions, clearing
Every contender makes one call before it is timed, as a running session would
have done.

Scenarios: each module of a family lists its Scenario entries (the --ops word
that selects it, its stage in the run, the function that adds its rows);
adding one is an entry in its module's SCENARIOS and, for a new module, one in
FAMILIES below.
"""

from __future__ import annotations

import sys
from pathlib import Path

if not __package__:
    # Run as a file, as ./dev bench does: the package is imported from the
    # repository, and the modules of this directory only as its parts.
    _HERE = Path(__file__).resolve().parent
    sys.path[:] = [str(_HERE.parent)] + [p for p in sys.path if Path(p or ".").resolve() != _HERE]

import argparse  # noqa: E402
import logging  # noqa: E402
import os  # noqa: E402
import shutil  # noqa: E402
import time  # noqa: E402

import orjson  # noqa: E402

import corvina.core.simulation_storage as module  # noqa: E402
from benchmarks import REPO, at_rest, baseline, floor, ids, index, live, positive, positive_list, queries, report, targets, writes  # noqa: E402
from benchmarks.harness import PER_STORE, Config, Scenario, Stage  # noqa: E402
from benchmarks.session import Bench  # noqa: E402
from benchmarks.stores import LAYOUTS  # noqa: E402
from benchmarks.workload import check_workload  # noqa: E402

FAMILIES = (ids, at_rest, queries, writes, live, floor, index)
# In the order they run: by stage, and within a stage as the families list them.
SCENARIOS: tuple[Scenario, ...] = tuple(
    sorted((s for family in FAMILIES for s in family.SCENARIOS), key=lambda s: s.stage))
OPS = tuple(dict.fromkeys(s.op for s in SCENARIOS))


def _ops(text: str) -> set[str]:
    chosen = set(text.split(","))
    unknown = sorted(chosen - set(OPS))
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown: {', '.join(unknown)} (choose from {','.join(OPS)})")
    return chosen


def parse(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="sizes 100 and 1,000, fewer rounds: under a minute")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    parser.add_argument("--dir", metavar="DIR", default=str(REPO / "build" / "bench-stores"),
                        help="where to build the stores (default: build/bench-stores)")
    parser.add_argument("--sizes", metavar="N,N", type=positive_list,
                        help="store sizes to run (default 100,1000,10000; quick 100,1000)")
    parser.add_argument("--rounds", type=positive,
                        help="rounds per operation (upper bound; a time budget may stop earlier)")
    parser.add_argument("--ops", metavar="OPS", type=_ops, default=set(OPS),
                        help=f"comma-separated subset of: {','.join(OPS)}")
    parser.add_argument("--keep", action="store_true", help="keep the stores afterwards")
    parser.add_argument("--s3", action="store_true",
                        help="with --ops index: the index on a store on S3 (benchmarks/index_s3.py)")
    return parser.parse_args(argv)


def config(args: argparse.Namespace) -> Config:
    quick = args.quick
    sizes = args.sizes or ([100, 1000] if quick else [100, 1000, 10_000])
    return Config(
        quick=quick,
        sizes=sorted(sizes),
        rounds=args.rounds or (7 if quick else 21),
        min_rounds=3 if quick else 5,  # a time budget stops a group after these
        target_ns=1e6 if quick else 5e6,
        budget_s=0.6 if quick else 8.0,
        single_cap_s=3.0 if quick else 20.0,
    )


def run_scenarios(bench: Bench, chosen: list[Scenario]) -> None:
    """Every chosen scenario in its stage: the per-store stages for each size,
    on a store of each layout."""
    staged = {stage: [s for s in chosen if s.stage == stage] for stage in Stage}
    for scenario in staged[Stage.START]:
        scenario.run(bench)
    for size in bench.cfg.sizes:
        bench.grow(size)
        bench.rest()
        for stage in PER_STORE:
            for types in LAYOUTS:
                for scenario in staged[stage]:
                    scenario.run(bench, bench.stores[types])
    for scenario in staged[Stage.END]:
        scenario.run(bench)


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if "--remote" in argv:  # a shared store on S3: benchmarks/remote.py
        from benchmarks import remote

        return remote.main([a for a in argv if a != "--remote"])
    if "--web" in argv:  # the results browser in headless Chromium: benchmarks/web.py
        from benchmarks import web

        return web.main([a for a in argv if a != "--web"])
    if "--claims" in argv:  # computing each simulation once: benchmarks/claims.py
        from benchmarks import claims

        return claims.main([a for a in argv if a != "--claims"])
    args = parse(argv)
    if args.ops == {"index"} and args.s3:
        from benchmarks import index_s3

        index_s3.run_s3(args.sizes or [1000 if args.quick else 10_000], args.quick, args.json)
        return 0
    if args.ops == {"index"}:
        # The result index alone: its own stores (10,000 and 100,000 unless
        # --sizes says otherwise), no baselines' stores.
        workdir = Path(args.dir) / f"index-{os.getpid()}"
        try:
            index.run_index(workdir, args.sizes or [10_000, 100_000], args.quick, args.json)
        finally:
            if not args.keep:
                shutil.rmtree(workdir, ignore_errors=True)
        return 0
    cfg = config(args)

    logging.getLogger("corvina").setLevel(logging.WARNING)
    saved_dirs = (module.get_simulations_dir, baseline.get_simulations_dir)
    base = Path(args.dir)
    workdir = base / f"run-{os.getpid()}"
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    check_workload()

    started = time.monotonic()
    report.preamble(cfg.quick, workdir)
    bench = Bench(cfg, workdir)
    report.table_header()
    try:
        run_scenarios(bench, [s for s in SCENARIOS if s.op in args.ops])
    finally:
        module.get_simulations_dir, baseline.get_simulations_dir = saved_dirs
        bench.close()
        if not args.keep:
            shutil.rmtree(workdir, ignore_errors=True)

    verdicts = targets.judge(bench.rows, cfg.sizes)
    report.targets(verdicts)
    elapsed = time.monotonic() - started
    print(f"\n  finished in {elapsed:.0f} s ({bench.waited:.0f} s of it waiting for stores to come to rest), "
          f"load average {os.getloadavg()[0]:.2f}")
    if args.json:
        doc = report.document(bench, base, verdicts, elapsed)
        Path(args.json).write_text(orjson.dumps(doc, option=orjson.OPT_INDENT_2).decode() + "\n")
        print(f"  figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
