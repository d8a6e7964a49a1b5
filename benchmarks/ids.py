"""Identity: the ID of a typical identity and of one of about 2,000 settings."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import corvina.core.simulation_storage as module
from benchmarks import baseline, floor
from benchmarks.harness import Contender, Row, Scenario, Stage, measure
from benchmarks.workload import identity, large_identity

if TYPE_CHECKING:
    from benchmarks.session import Bench


def _calls(fn: Callable[..., Any], args: tuple[Any, ...]) -> Callable[[int], Any]:
    def batch(k: int) -> Any:
        out = None
        for _ in range(k):
            out = fn(*args)
        return out

    return batch


def identities(bench: Bench) -> None:
    for label, ident in (("id typical", identity(3, 1)), ("id large", large_identity())):
        expected = baseline._compute_simulation_id(**ident)
        args = tuple(ident.values())
        ok = expected.__eq__
        contenders = {
            "module": Contender(_calls(module._compute_simulation_id, args), ok),
            "baseline": Contender(_calls(baseline._compute_simulation_id, args), ok),
            "floor": Contender(floor.id_dump(ident["hyperparameters"], expected)),
        }
        bench.add(measure(Row(label, None, None), contenders, bench.cfg))


SCENARIOS = (Scenario("id", Stage.START, identities),)
