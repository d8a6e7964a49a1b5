"""The contenders the compiled store is measured against.

Same API, pointed at the same simulations directory:
  module    the compiled store, simulations directory an exact PosixPath
  literal   the compiled store, simulations directory a PosixPath subclass,
            which keeps it on the path that goes through the host's methods
  baseline  benchmarks/baseline.py, the same algorithm in plain Python
Caches keyed by identity, filled with the same records:
  diskcache Cache.set / Cache.get keyed by the identity text (key given)
  joblib    joblib.Memory: call() to store, a memoized call for a hit,
            check_call_in_cache() for a miss

The batches here are what is timed: each makes its k calls in a plain loop,
nothing more.
"""

from __future__ import annotations

import pathlib
from collections.abc import Callable
from pathlib import Path
from typing import Any

import diskcache
import joblib

import corvina.core.simulation_storage as module
from benchmarks import baseline
from benchmarks.harness import SelfTimed, cycling, perf_ns
from benchmarks.workload import MISS_BASE, identity, identity_key, stored_record
from corvina.models import StoredSimulationResult


class LiteralPath(pathlib.PosixPath):
    """A path type the module does not know, so it goes through pathlib."""


def point(target: Any, root: Any) -> None:
    target.get_simulations_dir = lambda: root


# Pointing the stores at a directory, the same way for everyone.
def as_module(root: Path) -> Callable[[], None]:
    path = pathlib.PosixPath(root)
    assert type(path) is pathlib.PosixPath
    return lambda: point(module, path)


def as_literal(root: Path) -> Callable[[], None]:
    path = LiteralPath(root)
    return lambda: point(module, path)


def as_baseline(root: Path) -> Callable[[], None]:
    path = pathlib.PosixPath(root)
    return lambda: point(baseline, path)


def same_api(root: Path) -> dict[str, tuple[Any, Callable[[], None]]]:
    """The stores with the module's API, each with what points it at root."""
    return {
        "module": (module, as_module(root)),
        "literal": (module, as_literal(root)),
        "baseline": (baseline, as_baseline(root)),
    }


VALUE: list[Any] = [None]


def simulate(component_name, factory_name, component_settings, model_parameters, hyperparameters, simulation_type):
    """The function joblib memoizes: hands back the record prepared for the call."""
    return VALUE[0]


def is_stored(out: Any) -> bool:
    return isinstance(out, StoredSimulationResult)


class Peers:
    """diskcache and joblib, holding the points of the one-directory store."""

    def __init__(self, workdir: Path) -> None:
        self.cache = diskcache.Cache(str(workdir / "diskcache"))
        self.memory = joblib.Memory(str(workdir / "joblib"), verbose=0)
        self.memo = self.memory.cache(simulate)
        # joblib records the function's code on the first lookup and empties
        # the cache of a function it has not seen; let that happen now.
        self.memo.check_call_in_cache(**identity(MISS_BASE - 1, 1))
        self.cached = 0  # points held by diskcache and joblib

    def grow(self, n: int) -> None:
        for i in range(self.cached, n):
            ident = identity(i, 1)
            record = stored_record(i)
            self.cache.set(identity_key(ident), record)
            VALUE[0] = record
            self.memo.call(**ident)
        VALUE[0] = None
        self.cached = n
        if not self.memo.check_call_in_cache(**identity(n - 1, 1)):
            raise RuntimeError("joblib does not hold what it was given")

    def close(self) -> None:
        self.cache.close()

    # --- diskcache

    def get(self, keys: list[str]) -> Callable[[int], Any]:
        cache = self.cache

        def batch(k: int) -> Any:
            out = None
            for j in range(k):
                out = cache.get(keys[j % len(keys)])
            return out

        return batch

    def set(self, keys: list[str], records: list[StoredSimulationResult], miss_first: bool = False) -> Callable[[int], Any]:
        """k sets; with miss_first, each after the get that misses (a sweep step)."""
        cache = self.cache

        def batch(k: int) -> Any:
            for j in range(k):
                if miss_first and cache.get(keys[j]) is not None:
                    raise AssertionError("a point never saved was found")
                cache.set(keys[j], records[j])
            return True

        return batch

    def get_after_set(
        self, keys: list[str], records: list[StoredSimulationResult], lookup_keys: list[str]
    ) -> Callable[[int], Any]:
        """A set, then a get, of which only the get is timed."""
        cache = self.cache

        def batch(k: int) -> Any:
            spent, out = 0, None
            for j in range(k):
                cache.set(keys[j], records[j])
                t0 = perf_ns()
                out = cache.get(lookup_keys[j % len(lookup_keys)])
                spent += perf_ns() - t0
            return SelfTimed(spent, out)

        return batch

    def remover(self, keys: list[str]) -> Callable[[int], None]:
        """Removes what a batch of k sets put in."""
        cache = self.cache

        def leave(k: int) -> None:
            for key in keys[:k]:
                cache.delete(key)

        return leave

    # --- joblib

    def memo_hit(self, identities: list[dict[str, Any]]) -> Callable[[int], Any]:
        return cycling(self.memo, identities)

    def memo_miss(self, identities: list[dict[str, Any]]) -> Callable[[int], Any]:
        return cycling(self.memo.check_call_in_cache, identities)

    def memo_call(self, identities: list[dict[str, Any]], records: list[StoredSimulationResult]) -> Callable[[int], Any]:
        memo = self.memo

        def batch(k: int) -> Any:
            out = None
            for j in range(k):
                VALUE[0] = records[j]
                out = memo.call(**identities[j])
            return out

        return batch

