"""Queries against the listing: what a question on any field costs.

Rows "query 1%" and "query all", per store size and layout, at rest. In
both, "module" is `query_simulation_results` and "baseline" is what a user
would write without it, in the same rounds: `list_simulation_results()` and
the same test in Python. The 1% query is a range of radii that holds 1% of
the store (the radius grows with the sweep index); the query that matches
everything asks for either status, so that the module tests every file and
decodes all of them, as the listing does.

On S3 the query is one more operation of `./dev bench --remote`: its
requests per result in the store, counted by the proxy (`remote_query`).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import corvina.core.simulation_storage as module
from benchmarks import peers
from benchmarks.harness import Contender, Row, Scenario, Stage, measure
from benchmarks.stores import Store

if TYPE_CHECKING:
    from benchmarks.session import Bench

EVERYTHING = {"status": {"$in": ["success", "error"]}}


def one_percent(n: int) -> tuple[dict[str, Any], Callable[[Any], bool], int]:
    """A query matching 1% of a store of n sweep points (at least one), the same
    test in Python, and how many it matches."""
    count = max(1, n // 100)
    first = n // 2
    # Radii are 5.0 + 0.001 * i; half a step below the next point is clear of
    # both neighbours whatever the float rounding.
    lo, hi = 5.0 + 0.001 * first - 0.0005, 5.0 + 0.001 * (first + count) - 0.0005

    def test(record: Any) -> bool:
        v = record.component_settings.get("radius")
        return isinstance(v, (int, float)) and not isinstance(v, bool) and lo <= v < hi

    return {"component_settings.radius": {"$gte": lo, "$lt": hi}}, test, count


def _batch(call: Callable[[], Any]) -> Callable[[int], Any]:
    def batch(k: int) -> Any:
        out = None
        for _ in range(k):
            out = call()
        return out

    return batch


def query_rows(bench: Bench, store: Store) -> None:
    enter = peers.as_module(store.root)
    where, test, count = one_percent(store.n)
    n = store.n

    def has(expected: int) -> Callable[[Any], bool]:
        return lambda out: isinstance(out, list) and len(out) == expected

    cases = {
        "query 1%": (
            lambda: module.query_simulation_results(where=where),
            lambda: [r for r in module.list_simulation_results() if test(r)],
            count,
        ),
        "query all": (
            lambda: module.query_simulation_results(where=EVERYTHING),
            lambda: [r for r in module.list_simulation_results() if r.status.value in ("success", "error")],
            n,
        ),
    }
    for op, (query, listing, expected) in cases.items():
        contenders = {
            "module": Contender(_batch(query), has(expected), enter=enter),
            "baseline": Contender(_batch(listing), has(expected), enter=enter),
        }
        row = measure(Row(op, n, store.types), contenders, bench.cfg, fresh_heap=True)
        row.notes.append("baseline = list_simulation_results() and the same test in Python")
        bench.add(row)


def remote_query(store_module: Any, n: int) -> list[Any]:
    """The 1% query on a store of `benchmarks.remote`, whose gaps grow with the index."""
    count = max(1, n // 100)
    first = n // 2
    lo, hi = 0.1 + (first - 0.5) * 1e-4, 0.1 + (first + count - 0.5) * 1e-4
    found = store_module.query_simulation_results(where={"component_settings.gap": {"$gte": lo, "$lt": hi}})
    assert len(found) == count, (len(found), count)
    return found


SCENARIOS = (Scenario("query", Stage.AT_REST, query_rows),)
