"""Stores at rest: lookups and listings after nothing was written for two seconds.

Rows "load, at rest", "find hit, at rest", "find miss, at rest" (with the
module once more on a store of the smallest size, in the same rounds: whether
lookups stay flat in the size of the store), "list all" and "list filter".
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import corvina.core.simulation_storage as module
from benchmarks import floor, peers
from benchmarks.harness import SMALL, Contender, Row, Scenario, Stage, measure
from benchmarks.stores import Probes, Store
from benchmarks.workload import COMPONENTS, identity, identity_key, spread

if TYPE_CHECKING:
    from benchmarks.session import Bench

Batches = Callable[[Any], Callable[[int], Any]]  # a batch of calls, given the store to call


def lookups(call: Callable[[Any, Any], Any], inputs: list[Any]) -> Batches:
    def make(store_module: Any) -> Callable[[int], Any]:
        def batch(k: int) -> Any:
            out = None
            m = len(inputs)
            for j in range(k):
                out = call(store_module, inputs[j % m])
            return out

        return batch

    return make


def same_api_row(
    bench: Bench, store: Store, op: str, make: Batches, check: Callable[[Any], bool], extra: dict[str, Contender]
) -> Row:
    """A row of the stores with the module's API on `store`, beside `extra`."""
    contenders = {
        name: Contender(make(m), check, enter=enter) for name, (m, enter) in peers.same_api(store.root).items()
    }
    contenders.update(extra)
    row = measure(Row(op, store.n, store.types), contenders, bench.cfg, fresh_heap=op.startswith("list"))
    return bench.add(row)


def load(bench: Bench, store: Store) -> None:
    probes = Probes(store)
    same_api_row(
        bench, store, "load, at rest",
        lookups(lambda m, sid: m.load_simulation_result(sid), probes.hit_ids),
        probes.is_record,
        {"floor": Contender(floor.lookup(probes.hit_paths, probes.hit_inputs, False), probes.is_record)},
    )


def _find(m: Any, kw: dict[str, Any]) -> Any:
    return m.find_simulation_result(**kw)


def find(bench: Bench, store: Store) -> None:
    probes = Probes(store)
    small = bench.small[store.types]
    small_enter = peers.as_module(small.root)
    small_hits = [identity(i, store.types) for i in spread(small.n)]
    small_ids = {small.ids[i] for i in spread(small.n)}

    def on_small(make: Batches, check: Callable[[Any], bool]) -> dict[str, Contender]:
        # The module once more on the small store: flatness in store size.
        return {SMALL: Contender(make(module), check, enter=small_enter)} if small.n < store.n else {}

    cache = bench.peers
    is_none = probes.is_none
    same_api_row(
        bench, store, "find hit, at rest", lookups(_find, probes.hit_inputs), probes.is_record,
        {
            "diskcache": Contender(cache.get([identity_key(i) for i in probes.cached_hits()]), peers.is_stored),
            "joblib": Contender(cache.memo_hit(probes.cached_hits()), peers.is_stored),
            "floor": Contender(floor.lookup(probes.hit_paths, probes.hit_inputs, True), probes.is_record),
            **on_small(lookups(_find, small_hits), lambda out: getattr(out, "simulation_id", None) in small_ids),
        },
    )
    same_api_row(
        bench, store, "find miss, at rest", lookups(_find, probes.miss_inputs), is_none,
        {
            "diskcache": Contender(cache.get([identity_key(i) for i in probes.cached_misses()]), is_none),
            "joblib": Contender(cache.memo_miss(probes.cached_misses()), lambda out: out is False),
            "floor": Contender(floor.miss(probes.miss_inputs)),
            **on_small(lookups(_find, probes.miss_inputs), is_none),
        },
    )


def listings(bench: Bench, store: Store) -> None:
    n = store.n
    chosen = "ring_7"
    expected_chosen = sum(1 for i in range(n) if i % COMPONENTS == 7)
    for op, filters, count in (("list all", {}, n), ("list filter", {"component_name": chosen}, expected_chosen)):

        def has(out: Any, count: int = count) -> bool:
            return isinstance(out, list) and len(out) == count

        same_api_row(
            bench, store, op,
            lookups(lambda m, f: m.list_simulation_results(**f), [filters]),
            has,
            {"floor": Contender(floor.list_batch(str(store.root), filters.get("component_name")), has)},
        )


SCENARIOS = (
    Scenario("load", Stage.AT_REST, load),
    Scenario("find", Stage.AT_REST, find),
    Scenario("list", Stage.AT_REST, listings),
)
