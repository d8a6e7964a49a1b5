"""Writing into a store: saves, deletions and clearing.

Saves create new files, removed again outside the timed region; each delete
and each clear gets a fresh store (hard links to the same files), also set up
outside the timed region.
"""

from __future__ import annotations

import os
import shutil
from collections.abc import Callable
from dataclasses import replace
from typing import TYPE_CHECKING, Any

from benchmarks import floor, peers
from benchmarks.harness import Contender, Row, Scenario, Stage, measure
from benchmarks.stores import Store, drainer
from benchmarks.workload import POOL, SAVE_BASE, Pool, spread
from corvina.models import StoredSimulationResult

if TYPE_CHECKING:
    from benchmarks.session import Bench


def save(bench: Bench, store: Store) -> None:
    pool = Pool(SAVE_BASE, store.types)
    paths = pool.paths_in(store.root)
    remove = drainer(None, paths, False)

    def saver(m: Any) -> Callable[[int], Any]:
        inputs = pool.inputs

        def batch(k: int) -> Any:
            out = None
            for j in range(k):
                out = m.save_simulation_result(**inputs[j])
            return out

        return batch

    def saved(out: Any) -> bool:
        return isinstance(out, StoredSimulationResult) and out.simulation_id == pool.ids[0] and os.path.exists(paths[0])

    contenders = {
        name: Contender(saver(m), saved, enter=enter, leave=remove)
        for name, (m, enter) in peers.same_api(store.root).items()
    }
    # The rest store what the compiled store builds: a validated record.
    records, keys = pool.records(), pool.keys()
    cache = bench.peers
    contenders["diskcache"] = Contender(cache.set(keys, records), leave=cache.remover(keys))
    contenders["joblib"] = Contender(cache.memo_call(pool.cached_identities(), records))
    contenders["floor"] = Contender(floor.save(pool, paths), saved, leave=remove)
    os.sync()  # the device writing back what was just made must not slow the timed writes
    bench.add(measure(Row("save", store.n, store.types), contenders, bench.cfg))
    remove(POOL)


class _Victims:
    """The stored points deleted in turn, each put back after its turn."""

    def __init__(self, store: Store) -> None:
        self.store = store
        self.points = spread(store.n)
        self.turn = 0

    def current(self) -> int:
        return self.points[self.turn % len(self.points)]

    def prepare(self) -> None:
        self.store.restore(self.current())

    def done(self, k: int) -> None:
        self.store.restore(self.current())
        self.turn += 1


def delete(bench: Bench, store: Store) -> None:
    victims = _Victims(store)

    def delete_with(m: Any, enter: Callable[[], None]) -> Contender:
        def prepare() -> None:
            victims.prepare()
            enter()
            m.load_simulation_result("f" * 16)  # a lookup first, as in a running session

        def batch(k: int) -> Any:
            return m.delete_simulation_result(store.ids[victims.current()])

        return Contender(batch, lambda out: out is True, enter=prepare, leave=victims.done, single=True)

    contenders = {name: delete_with(m, enter) for name, (m, enter) in peers.same_api(store.root).items()}

    def unlink(k: int) -> Any:
        os.unlink(store.paths[victims.current()])
        return True

    contenders["floor"] = Contender(unlink, enter=victims.prepare, leave=victims.done, single=True)
    bench.add(measure(Row("delete", store.n, store.types), contenders, bench.cfg))


def _leave_out_slow(contenders: dict[str, Contender], row: Row, previous: Row, cap_s: float) -> None:
    """Beyond the 1,000 results of the target, leaves out what would take too
    long, judging by the size before. A clearing that looks every file up
    again by a scan grows with the square of the store, and growth seen
    between small stores understates that, so project with the square."""
    assert row.size is not None and previous.size is not None
    for name in list(contenders):
        if name == "floor" or name not in previous.stats:
            continue
        projected = previous.stats[name].median * (row.size / previous.size) ** 2 / 1e9
        if projected > cap_s:
            del contenders[name]
            row.notes.append(f"{name} left out: about {projected:.0f} s per call projected")


def clear(bench: Bench, store: Store) -> None:
    n = store.n
    scratch = bench.workdir / "scratch" / f"clear{store.types}"
    row = Row("clear", n, store.types)
    previous = [r for r in bench.rows if r.op == "clear" and r.layout == store.types]

    def fresh_store(enter: Callable[[], None] | None, m: Any) -> Callable[[], None]:
        def prepare() -> None:
            store.copy_to(scratch)
            if enter is not None:
                enter()
                m.load_simulation_result("f" * 16)  # a lookup first, as in a running session

        return prepare

    def discard(k: int) -> None:
        shutil.rmtree(scratch, ignore_errors=True)

    def cleared(out: Any) -> bool:
        return out == n

    contenders = {
        name: Contender(lambda k, m=m: m.clear_simulation_results(), cleared, enter=fresh_store(enter, m),
                        leave=discard, single=True)
        for name, (m, enter) in peers.same_api(scratch).items()
    }
    contenders["floor"] = Contender(floor.clear(str(scratch)), cleared, enter=fresh_store(None, None),
                                    leave=discard, single=True)
    if bench.cfg.quick:
        del contenders["literal"]  # the targets need only the module, the baseline and the floor
    cfg = bench.cfg
    if n > 1000 and previous:
        _leave_out_slow(contenders, row, previous[-1], cfg.single_cap_s)
        cfg = replace(cfg, min_rounds=3)
    if set(contenders) <= {"floor"}:
        contenders.clear()
    bench.add(measure(row, contenders, cfg, warm=not previous, fresh_heap=True))
    shutil.rmtree(scratch, ignore_errors=True)


SCENARIOS = (
    Scenario("save", Stage.IN_USE, save),
    Scenario("delete", Stage.IN_USE, delete),
    Scenario("clear", Stage.EMPTYING, clear),
)
