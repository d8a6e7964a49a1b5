"""Computing each simulation once: claims in use, and what they cost.

  claims: hit           get_or_compute_simulation_result on a stored point, beside find
  claims: miss          get_or_compute (claim, compute doing nothing, save, release),
                        beside find + save and diskcache's get + set
  claims: find amid     lookups while 4 processes claim, save and release in the
                        same store, beside the same lookups in a copy nobody writes
  shared sweeps (end)   4 spawned processes each run the same 40-point sweep
                        (solver: 0.2 s of sleep) through the sweep helper, in
                        shuffled and in the same order, on a local store and on
                        S3 (moto's server in its own process): solver runs and
                        wall time against the ideal 40 x 0.2 s / 4 = 2 s; on S3
                        also with each worker's store opened before the start
  takeover (end)        the holder killed with SIGKILL mid-run: time until a
                        waiter's solver starts, against lease + one poll
  rerun after a crash   a worker holding 10 claims (lease 30 s) killed with
  (end)                 SIGKILL, then the same 10 points swept again on the
                        same host: wall against 5 s + their solver time
  S3 requests (end)     requests of a miss against find + save, and of a
                        waiter per second over a 20 s wait
  lost create (end)     the cost of a claim's create whose answer was lost
                        (benchmarks/claims_faults.py)

Run through `./dev bench --claims [--quick] [--size N]` (the costs at N
results, default 10,000). The processes that share a store run
benchmarks/claims_workers.py.
"""

from __future__ import annotations

import json
import os
import random
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path
from typing import TYPE_CHECKING, Any

import corvina.core.simulation_storage as module
from benchmarks import child_env, claims_faults, peers
from benchmarks.harness import REST, Contender, Row, Scenario, Stage, cycling, measure
from benchmarks.stores import Probes, Store, drainer
from benchmarks.claims_workers import CLAIMS_BASE, split_inputs
from benchmarks.workload import Pool

if TYPE_CHECKING:
    from benchmarks.session import Bench

SWEEP_POINTS, SWEEP_WORKERS, SOLVER_S = 40, 4, 0.2
# A waiter's requests are counted over this long a wait behind a live claim,
# its own first lookup and claim included (a waiter polls faster at first).
WAITER_WINDOW_S = 20.0
IDEAL_S = SWEEP_POINTS * SOLVER_S / SWEEP_WORKERS



# --- costs on a local store, in the harness's interleaved rounds --------------------


def costs(bench: Bench, store: Store) -> None:
    """Hit and miss through get_or_compute, beside find and find + save (largest store, one layout)."""
    if store.types != 1 or store.n != max(bench.cfg.sizes):
        return
    probes = Probes(store)
    hits = [dict(i, compute=_never) for i in probes.hit_inputs]
    enter = peers.as_module(store.root)
    row = measure(Row("claims: hit", store.n, store.types), {
        "find": Contender(cycling(module.find_simulation_result, probes.hit_inputs), probes.is_record,
                          enter=enter),
        "get_or_compute": Contender(cycling(module.get_or_compute_simulation_result, hits),
                                    probes.is_record, enter=enter),
    }, bench.cfg)
    bench.add(row)
    _say(f"claims: hit, {store.n:,} results: get_or_compute {_us(row, 'get_or_compute')}, find {_us(row, 'find')}: "
         f"{row.ratio('get_or_compute', 'find'):.2f}x (target <= 1.1x)")

    pool = Pool(CLAIMS_BASE, store.types)
    split = [split_inputs(i) for i in pool.inputs]
    points = [ident for ident, _ in split]

    def find_save(k: int) -> Any:
        out = None
        for j in range(k):
            if module.find_simulation_result(**points[j]) is not None:
                raise AssertionError("a point never saved was found")
            out = module.save_simulation_result(**pool.inputs[j])
        return out

    result_paths = pool.paths_in(store.root)

    def find_save_sync(k: int) -> Any:
        # What get_or_compute's durable save adds: the file's data, then its
        # directory, pushed to the disk.
        out = find_save(k)
        for path in result_paths[:k]:
            fd = os.open(path, os.O_RDONLY)
            try:
                os.fdatasync(fd)
            finally:
                os.close(fd)
            fd = os.open(os.path.dirname(path), os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        return out

    def claimed(k: int) -> Any:
        out = None
        for j in range(k):
            ident, outcome = split[j]
            out = module.get_or_compute_simulation_result(**ident, compute=lambda o=outcome: o)
        return out

    def saved(out: Any) -> bool:
        return getattr(out, "simulation_id", None) == pool.ids[0]

    leave = drainer(module, pool.paths_in(store.root), True)
    keys = pool.keys()
    row = measure(Row("claims: miss", store.n, store.types), {
        "find + save": Contender(find_save, saved, enter=enter, leave=leave),
        "find + save + sync": Contender(find_save_sync, saved, enter=enter, leave=leave),
        "get_or_compute": Contender(claimed, saved, enter=enter, leave=leave),
        "diskcache": Contender(bench.peers.set(keys, pool.records(), miss_first=True),
                               leave=bench.peers.remover(keys)),
    }, bench.cfg)
    extra = row.stats["get_or_compute"].median - row.stats["find + save"].median
    sync = row.stats["find + save + sync"].median - row.stats["find + save"].median
    claim = row.stats["get_or_compute"].median - row.stats["find + save + sync"].median
    row.notes.append(f"get_or_compute costs {extra / 1e3:+.1f} us against find + save: the sync of a durable "
                     f"save {sync / 1e3:+.1f} us, the claim {claim / 1e3:+.1f} us")
    bench.add(row)
    _say(f"claims: miss, {store.n:,} results: get_or_compute {_us(row, 'get_or_compute')}, find + save "
         f"{_us(row, 'find + save')}: {extra / 1e3:+.1f} us, of which the durable save's sync "
         f"{sync / 1e3:+.1f} us ({sync / 1e9 / SOLVER_S:.2%} of a {SOLVER_S:g} s solver run) and the claim "
         f"{claim / 1e3:+.1f} us (target <= +60 us); find + save / diskcache get + set "
         f"{row.ratio('find + save', 'diskcache'):.2f}x (target <= 1)")
    _amid_claims(bench, store, probes)


def _never() -> Any:
    raise AssertionError("a hit computed")


def _amid_claims(bench: Bench, store: Store, probes: Probes) -> None:
    stop = store.root.parent / f"{store.root.name}.stop-claimers"
    stop.unlink(missing_ok=True)
    procs = [_spawn("churn", {"root": str(store.root), "stop": str(stop), "worker": w})
             for w in range(SWEEP_WORKERS)]
    try:
        for p in procs:
            assert p.stdout is not None
            if p.stdout.readline().strip() != "claiming":
                raise RuntimeError("a claiming worker did not start")
        row = measure(Row("claims: find hit, 4 claimers", store.n, store.types), {
            "module": Contender(cycling(module.find_simulation_result, probes.hit_inputs), probes.is_record,
                                enter=peers.as_module(store.root)),
            REST: Contender(cycling(module.find_simulation_result, probes.hit_inputs), probes.is_record,
                            enter=peers.as_module(bench.resting[store.types].root)),
        }, bench.cfg)
    finally:
        stop.touch()
        said = [p.communicate(timeout=60)[0].strip() for p in procs]
        stop.unlink(missing_ok=True)
    bench.note_beside(row, REST, "the same lookups in a copy nobody writes")
    row.notes.append(f"meanwhile 4 processes claimed, saved and released: {', '.join(said)}")
    bench.add(row)
    _say(f"claims: find hit while 4 processes claim, save and release ({', '.join(said)}): "
         f"{_us(row, 'module')}, at rest {_us(row, REST)}: {row.ratio('module', REST):.2f}x (target <= 1.5x)")


_SAID: list[str] = []


def _say(line: str) -> None:
    _SAID.append(f"  {line}")


def _us(row: Row, name: str) -> str:
    return f"{row.stats[name].median / 1e3:.1f} us"


# --- processes sharing one store --------------------------------------------------


def _spawn(command: str, spec: dict[str, Any], env: dict[str, str] | None = None) -> subprocess.Popen[str]:
    return subprocess.Popen([sys.executable, "-m", "benchmarks.claims_workers", command, json.dumps(spec)],
                            stdout=subprocess.PIPE, text=True, env=child_env(env))


def _finish(procs: list[subprocess.Popen[str]]) -> list[dict[str, Any]]:
    out = []
    for p in procs:
        stdout, _ = p.communicate(timeout=600)
        if p.returncode != 0:
            raise RuntimeError(f"a claims worker failed (exit status {p.returncode})")
        out.append(json.loads(stdout.strip().splitlines()[-1]))
    return out


def _runs(path: Path) -> list[tuple[str, float]]:
    if not path.exists():
        return []
    return [(line.split()[0], float(line.split()[1])) for line in path.read_text().splitlines()]


def shared_sweeps(location: str, env: dict[str, str], work: Path, order: str,
                  opened: bool = False) -> dict[str, Any]:
    runs, go = work / f"runs-{order}-{uuid.uuid4().hex[:6]}", work / f"go-{uuid.uuid4().hex[:6]}"
    rng = random.Random(11)
    gaps = list(range(SWEEP_POINTS))
    environment = dict(env, CORVINA_SIMULATIONS_DIR=location)
    procs = [_spawn("sweep", {"points": gaps if order == "same" else rng.sample(gaps, len(gaps)),
                              "runs": str(runs), "start": str(go), "sleep": SOLVER_S, "opened": opened},
                      environment)
             for w in range(SWEEP_WORKERS)]
    for p in procs:
        assert p.stdout is not None
        if p.stdout.readline().strip() != "ready":
            raise RuntimeError("a sweep worker did not start")
    started = time.time()
    go.touch()
    reports = _finish(procs)
    wall = max(r["end"] for r in reports) - started
    return {"runs": len(_runs(runs)), "unique": len({g for g, _ in _runs(runs)}), "wall_s": wall}


def takeover(location: str, env: dict[str, str], work: Path, lease: float) -> dict[str, Any]:
    runs = work / f"runs-kill-{uuid.uuid4().hex[:6]}"
    environment = dict(env, CORVINA_SIMULATIONS_DIR=location)
    holder = _spawn("one", {"point": 999, "runs": str(runs), "hold": True, "lease": lease}, environment)
    deadline = time.monotonic() + 60
    while not _runs(runs):
        if time.monotonic() > deadline or holder.poll() is not None:
            raise RuntimeError("the holder never started computing")
        time.sleep(0.02)
    waiter = _spawn("one", {"point": 999, "runs": str(runs), "lease": lease}, environment)
    time.sleep(lease)  # the waiter waits behind a live claim for a while
    killed = time.time()
    holder.send_signal(signal.SIGKILL)
    holder.wait()
    report, = _finish([waiter])
    started = [t for _, t in _runs(runs)]
    return {"runs": len(started), "takeover_s": started[-1] - killed, "claims_left": report["claims_left"],
            "stored": report["stored"]}


CRASH_POINTS, CRASH_LEASE_S = 10, 30.0


def rerun_after_crash(location: str, env: dict[str, str], work: Path) -> dict[str, Any]:
    """A worker holding CRASH_POINTS claims killed, then a sweep of those points on this host."""
    held, again = work / f"runs-held-{uuid.uuid4().hex[:6]}", work / f"runs-rerun-{uuid.uuid4().hex[:6]}"
    go = work / f"go-{uuid.uuid4().hex[:6]}"
    points = list(range(5000, 5000 + CRASH_POINTS))
    environment = dict(env, CORVINA_SIMULATIONS_DIR=location)
    holder = _spawn("hold", {"points": points, "runs": str(held), "lease": CRASH_LEASE_S}, environment)
    deadline = time.monotonic() + 60
    while len(_runs(held)) < CRASH_POINTS:
        if time.monotonic() > deadline or holder.poll() is not None:
            raise RuntimeError("the holder never claimed every point")
        time.sleep(0.02)
    holder.send_signal(signal.SIGKILL)
    holder.wait()
    rerun = _spawn("sweep", {"points": points, "runs": str(again), "start": str(go), "sleep": SOLVER_S},
                   environment)
    assert rerun.stdout is not None
    if rerun.stdout.readline().strip() != "ready":
        raise RuntimeError("the rerun did not start")
    started = time.time()
    go.touch()
    report, = _finish([rerun])
    return {"runs": len(_runs(again)), "wall_s": report["end"] - started}


def _s3_store(endpoint: str) -> tuple[str, dict[str, str]]:
    from benchmarks.remote import client_env

    env = client_env(endpoint)
    bucket = f"claims-{uuid.uuid4().hex[:10]}"
    subprocess.run([sys.executable, "-m", "benchmarks.claims_workers", "bucket", json.dumps({"bucket": bucket})],
                   env=child_env(env), check=True, stdout=subprocess.DEVNULL)
    return f"s3://{bucket}/sims", env


def end(bench: Bench) -> None:
    """The runs between processes, on a local store and on S3."""
    from benchmarks.remote_server import Server

    work = bench.workdir / "claims"
    work.mkdir(parents=True, exist_ok=True)
    lines = []
    server = Server(delay_ms=0.0)
    try:
        stores = {"local": (str(work / "local-store"), dict(os.environ))}
        for order in ("shuffled", "same"):
            for kind in ("local", "s3"):
                location, env = stores[kind] if kind == "local" else _s3_store(server.endpoint)
                if kind == "local":
                    location = f"{location}-{order}"
                got = shared_sweeps(location, env, work, order)
                ok = got["runs"] == SWEEP_POINTS and got["wall_s"] <= 1.3 * IDEAL_S
                lines.append(f"  shared sweep, {order:8s} order, {kind:5s}: {got['runs']} solver runs for "
                             f"{got['unique']} points, wall {got['wall_s']:.2f} s = "
                             f"{got['wall_s'] / IDEAL_S:.2f}x the ideal {IDEAL_S:.0f} s "
                             f"(target: 40 runs, <= 1.3x)  {'ok' if ok else 'MISSED'}")
                if kind == "s3":
                    # The same, each worker having opened the store (one lookup) before
                    # the start: what the first requests of a fresh process cost.
                    location, env = _s3_store(server.endpoint)
                    warm = shared_sweeps(location, env, work, order, opened=True)
                    lines.append(f"    (the workers' stores opened before the start: {warm['runs']} runs, "
                                 f"wall {warm['wall_s']:.2f} s = {warm['wall_s'] / IDEAL_S:.2f}x)")
        for kind in ("local", "s3"):
            location, env = (str(work / "kill-store"), dict(os.environ)) if kind == "local" \
                else _s3_store(server.endpoint)
            lease = 2.0
            poll = 0.1 if kind == "local" else 1.0
            got = takeover(location, env, work, lease)
            ok = got["runs"] == 2 and got["takeover_s"] <= lease + poll and got["stored"] == 1 \
                and got["claims_left"] == 0
            lines.append(f"  SIGKILL of the holder, {kind:5s}: a waiter's solver started {got['takeover_s']:.2f} s "
                         f"after the kill (target <= lease {lease:g} s + poll {poll:g} s); "
                         f"{got['stored']} result stored, {got['claims_left']} claims left  {'ok' if ok else 'MISSED'}")
        for kind in ("local", "s3"):
            location, env = (str(work / "crash-store"), dict(os.environ)) if kind == "local" \
                else _s3_store(server.endpoint)
            got = rerun_after_crash(location, env, work)
            solver_s = CRASH_POINTS * SOLVER_S
            ok = got["runs"] == CRASH_POINTS and got["wall_s"] <= 5.0 + solver_s
            lines.append(f"  rerun after SIGKILL of a worker holding {CRASH_POINTS} claims (lease "
                         f"{CRASH_LEASE_S:g} s), {kind:5s}, same host: {got['runs']} solver runs, wall "
                         f"{got['wall_s']:.2f} s (target <= 5 s + solver time {solver_s:g} s)  "
                         f"{'ok' if ok else 'MISSED'}")
        location, env = _s3_store(server.endpoint)
        got = _s3_requests(server, location, env, work)
        ok = got["miss"] <= got["find_save"] + 2 and got["waiter_per_s"] <= 1.0
        lines.append(f"  S3 requests: a miss {got['miss']} ({got['miss_kinds']}), find + save {got['find_save']} "
                     f"(target: at most find + save + 2); a waiter {got['waiter_per_s']:.2f} per second "
                     f"over {WAITER_WINDOW_S:g} s, its first lookup and claim included ({got['waiter_kinds']}; "
                     f"{got['waiter_first_6s']} in its first 6 s; target <= 1)  {'ok' if ok else 'MISSED'}")
    finally:
        server.stop()
    print("\n  computing each simulation once (medians of interleaved rounds; then processes sharing a store):")
    for line in _SAID + lines:
        print(line)


def _s3_requests(server: Any, location: str, env: dict[str, str], work: Path) -> dict[str, Any]:
    environment = dict(env, CORVINA_SIMULATIONS_DIR=location)
    # One process: a warm-up miss (the probe of conditional writes), then the counted calls.
    counter = _spawn("requests", {"endpoint": server.endpoint}, environment)
    report, = _finish([counter])
    # A waiter: a holder with a long lease (one heartbeat PUT in the window at most).
    runs = work / f"runs-wait-{uuid.uuid4().hex[:6]}"
    holder = _spawn("one", {"point": 777, "runs": str(runs), "hold": True, "lease": 60.0}, environment)
    deadline = time.monotonic() + 60
    while not _runs(runs):
        if time.monotonic() > deadline:
            raise RuntimeError("the holder never started computing")
        time.sleep(0.05)
    server.control("reset")
    window = WAITER_WINDOW_S
    waiter = _spawn("wait", {"point": 777, "wait": window}, environment)
    time.sleep(6.0)
    first = server.control("stats").get("counts", {})
    _finish([waiter])
    counts = server.control("stats").get("counts", {})
    holder.send_signal(signal.SIGKILL)
    holder.wait()
    runs.unlink(missing_ok=True)
    waiter_requests = sum(v for k, v in counts.items() if k != "PUT")
    return {**report, "waiter_per_s": waiter_requests / window, "waiter_kinds": counts,
            "waiter_first_6s": sum(v for k, v in first.items() if k != "PUT")}


SCENARIOS = (
    Scenario("claims", Stage.IN_USE, costs),
    Scenario("claims", Stage.END, end),
    Scenario("claims", Stage.END, claims_faults.end),  # an S3 answer lost
)


def main(argv: list[str]) -> int:
    """The claims scenarios on their own: the costs at one store size, then the runs between processes."""
    import argparse
    import logging
    import shutil

    from benchmarks import REPO, report
    from benchmarks.harness import Config
    from benchmarks.session import Bench

    parser = argparse.ArgumentParser(description="Claims in use: ./dev bench --claims")
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--size", type=int, default=10_000, help="results in the store for the costs")
    parser.add_argument("--dir", default=str(REPO / "build" / "bench-stores"))
    args = parser.parse_args(argv)
    logging.getLogger("corvina").setLevel(logging.WARNING)
    cfg = Config(quick=args.quick, sizes=[args.size], rounds=7 if args.quick else 21,
                 min_rounds=3 if args.quick else 5, target_ns=1e6 if args.quick else 5e6,
                 budget_s=0.6 if args.quick else 8.0, single_cap_s=3.0 if args.quick else 20.0)
    saved = module.get_simulations_dir
    workdir = Path(args.dir) / f"claims-{os.getpid()}"
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    started = time.monotonic()
    report.preamble(cfg.quick, workdir)
    bench = Bench(cfg, workdir)
    try:
        bench.grow(args.size)
        bench.rest()
        report.table_header()
        for scenario in SCENARIOS:
            if scenario.stage == Stage.END:
                scenario.run(bench)
            else:
                scenario.run(bench, bench.stores[1])
    finally:
        module.get_simulations_dir = saved
        bench.close()
        shutil.rmtree(workdir, ignore_errors=True)
    print(f"\n  finished in {time.monotonic() - started:.0f} s, load average {os.getloadavg()[0]:.2f}")
    return 0
