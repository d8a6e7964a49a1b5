"""A store in use, as a sweep runs: lookups amid saves.

  sweep step    find a point's result (a miss), then save it
  after save    a lookup right after a save (only the lookup timed), beside
                the same save into another store, then the same lookup in a
                copy nobody writes (module@rest)
  other writer  lookups while another process saves into the same store,
                beside the same lookups in a copy nobody writes (module@rest)
"""

from __future__ import annotations

import pathlib
import subprocess
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import corvina.core.simulation_storage as module
from benchmarks import child_env, peers
from benchmarks.harness import REST, SMALL, Contender, Row, Scenario, SelfTimed, Stage, cycling, measure, perf_ns
from benchmarks.stores import Probes, Store, drainer
from benchmarks.workload import SAVE_BASE, SWEEP_BASE, WRITER_BASE, Pool, identity_key
from corvina.models import StoredSimulationResult

if TYPE_CHECKING:
    from benchmarks.session import Bench


def sweep(bench: Bench, store: Store) -> None:
    """The step of a sweep: find the point's result, a miss, then save it."""
    types, n = store.types, store.n
    small = bench.small[types]
    pool = Pool(SWEEP_BASE, types)
    inputs, points = pool.inputs, pool.identities()

    def sweeper(m: Any) -> Callable[[int], Any]:
        def batch(k: int) -> Any:
            out = None
            for j in range(k):
                if m.find_simulation_result(**points[j]) is not None:
                    raise AssertionError("a point never saved was found")
                out = m.save_simulation_result(**inputs[j])
            return out

        return batch

    def saved(out: Any) -> bool:
        return isinstance(out, StoredSimulationResult) and out.simulation_id == pool.ids[0]

    contenders = {
        name: Contender(sweeper(m), saved, enter=enter, leave=drainer(m, pool.paths_in(store.root), name == "module"))
        for name, (m, enter) in peers.same_api(store.root).items()
    }
    if small.n < n:
        contenders[SMALL] = Contender(sweeper(module), saved, enter=peers.as_module(small.root),
                                      leave=drainer(module, pool.paths_in(small.root), True))
    keys = pool.keys()
    contenders["diskcache"] = Contender(bench.peers.set(keys, pool.records(), miss_first=True), leave=bench.peers.remover(keys))
    row = measure(Row("sweep step", n, types), contenders, bench.cfg)
    bench.note_beside(row, SMALL, f"the same steps on a store of {small.n:,} results")
    bench.add(row)


@dataclass
class _Kind:
    """A kind of lookup: a hit or a miss, in the store and in diskcache."""

    label: str
    inputs: list[dict[str, Any]]
    check: Callable[[Any], bool]
    cache_keys: list[str]
    cache_check: Callable[[Any], bool]


def _kinds(store: Store) -> list[_Kind]:
    probes = Probes(store)
    return [
        _Kind("find hit", probes.hit_inputs, probes.is_record,
              [identity_key(i) for i in probes.cached_hits()], peers.is_stored),
        _Kind("find miss", probes.miss_inputs, probes.is_none,
              [identity_key(i) for i in probes.cached_misses()], probes.is_none),
    ]


def _find_after_save(m: Any, saves: list[dict[str, Any]], inputs: list[dict[str, Any]]) -> Callable[[int], Any]:
    def batch(k: int) -> Any:
        spent, out = 0, None
        for j in range(k):
            m.save_simulation_result(**saves[j])
            t0 = perf_ns()
            out = m.find_simulation_result(**inputs[j % len(inputs)])
            spent += perf_ns() - t0
        return SelfTimed(spent, out)

    return batch


def _find_after_save_elsewhere(saves: list[dict[str, Any]], elsewhere: Path, resting: Path,
                               inputs: list[dict[str, Any]]) -> Callable[[int], Any]:
    """The control: the same save, into another store, then the same lookup in
    a copy of the store that nobody writes. What differs from the module's own
    figure is only whether the store looked in was written."""
    elsewhere_path, resting_path = pathlib.PosixPath(elsewhere), pathlib.PosixPath(resting)

    def batch(k: int) -> Any:
        spent, out = 0, None
        for j in range(k):
            module.get_simulations_dir = lambda: elsewhere_path
            module.save_simulation_result(**saves[j])
            module.get_simulations_dir = lambda: resting_path
            t0 = perf_ns()
            out = module.find_simulation_result(**inputs[j % len(inputs)])
            spent += perf_ns() - t0
        return SelfTimed(spent, out)

    return batch


def after_save(bench: Bench, store: Store) -> None:
    """Lookups right after a save into the same store."""
    pool = Pool(SAVE_BASE, store.types)
    paths = pool.paths_in(store.root)
    keys, records = pool.keys(), pool.records()
    elsewhere = bench.workdir / "stores" / f"elsewhere{store.types}"
    for kind in _kinds(store):
        contenders = {
            name: Contender(_find_after_save(m, pool.inputs, kind.inputs), kind.check, enter=enter,
                            leave=drainer(m, paths, name == "module"))
            for name, (m, enter) in peers.same_api(store.root).items()
        }
        contenders["diskcache"] = Contender(bench.peers.get_after_set(keys, records, kind.cache_keys),
                                            kind.cache_check, leave=bench.peers.remover(keys))
        contenders[REST] = Contender(
            _find_after_save_elsewhere(pool.inputs, elsewhere, bench.resting[store.types].root, kind.inputs),
            kind.check, leave=drainer(module, pool.paths_in(elsewhere), False))
        row = measure(Row(f"{kind.label}, after save", store.n, store.types), contenders, bench.cfg)
        bench.note_beside(row, REST, "the same save into another store, then the lookup in a copy nobody writes")
        bench.add(row)


class OtherWriter:
    """Another process saving into a store (and into diskcache) for as long
    as it runs: a worker of the same sweep whose solver takes `pause` seconds.
    It removes what it saved, keeping the store at its size."""

    def __init__(self, root: Path, types: int, cache_dir: Path, pause: float) -> None:
        self.stop = root.parent / f"{root.name}.stop-writer"
        self.stop.unlink(missing_ok=True)
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "benchmarks.other_writer", str(root), str(types), str(cache_dir),
             str(pause), str(self.stop), str(WRITER_BASE)],
            stdout=subprocess.PIPE, text=True, env=child_env())
        # Saving has begun before anything is timed.
        line = self.proc.stdout.readline()
        if line.strip() != "saving":
            self.proc.kill()
            self.proc.communicate()
            raise RuntimeError(f"the other writer did not start: {line!r}")

    def finish(self) -> str:
        """Stops the process; what it says it did. A process that failed
        raises: whatever was timed meanwhile was not amid its writes."""
        self.stop.touch()
        try:
            out, _ = self.proc.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
            raise RuntimeError("the other writer did not stop within 60 s") from None
        finally:
            self.stop.unlink(missing_ok=True)
        said = out.strip()
        if self.proc.returncode != 0 or not said:
            raise RuntimeError(f"the other writer failed (exit status {self.proc.returncode})")
        return said


def amid_other_writer(bench: Bench, store: Store) -> None:
    """Lookups while another process saves into the same store (one layout:
    the other process takes a core)."""
    if store.types != 1:
        return
    rows = []
    writer = OtherWriter(store.root, store.types, bench.workdir / "diskcache", pause=0.002)
    try:
        for kind in _kinds(store):
            contenders = {
                name: Contender(cycling(m.find_simulation_result, kind.inputs), kind.check, enter=enter)
                for name, (m, enter) in peers.same_api(store.root).items()
            }
            contenders["diskcache"] = Contender(bench.peers.get(kind.cache_keys), kind.cache_check)
            # The control: the same lookups, in the same rounds (so with the
            # same share of the processors), in a copy nobody writes.
            contenders[REST] = Contender(cycling(module.find_simulation_result, kind.inputs), kind.check,
                                         enter=peers.as_module(bench.resting[store.types].root))
            row = measure(Row(f"{kind.label}, other writer", store.n, store.types), contenders, bench.cfg)
            bench.note_beside(row, REST, "the same lookups in a copy nobody writes")
            rows.append(row)
    finally:
        rate = writer.finish()
    for row in rows:
        row.notes.append(f"meanwhile another process {rate}")
        bench.add(row)


def lookups_in_use(bench: Bench, store: Store) -> None:
    after_save(bench, store)
    amid_other_writer(bench, store)


SCENARIOS = (
    Scenario("sweep", Stage.IN_USE, sweep),
    Scenario("find", Stage.IN_USE, lookups_in_use),
)
