"""The stores the benchmarks look things up in, and what they look up.

A store is a simulations directory filled with sweep points 0..n-1, written
directly (byte for byte what a save writes); copies are hard links to the same
files, so that a store can be emptied or left alone beside the original.
"""

from __future__ import annotations

import os
import shutil
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from benchmarks.workload import (
    MISS_BASE,
    TYPES,
    compute_id,
    encode,
    identity,
    record_data,
    result_path,
    spread,
    write_file,
)
from corvina.models import StoredSimulationResult


LAYOUTS = (1, 5)  # type directories a store's results are spread over


class Store:
    """A simulations directory holding sweep points 0..n-1 over `types` type directories."""

    def __init__(self, root: Path, types: int) -> None:
        self.root = root
        self.types = types
        self.ids: list[str] = []
        self.paths: list[str] = []
        root.mkdir(parents=True, exist_ok=True)
        for t in TYPES[:types]:
            (root / t).mkdir(exist_ok=True)

    @property
    def n(self) -> int:
        return len(self.ids)

    def path_for(self, i: int, simulation_id: str) -> str:
        return result_path(self.root, self.types, i, simulation_id)

    def grow(self, n: int) -> None:
        for i in range(self.n, n):
            sid = compute_id(i, self.types)
            path = self.path_for(i, sid)
            write_file(path, encode(record_data(i, self.types, sid)))
            self.ids.append(sid)
            self.paths.append(path)

    def dirs(self) -> list[str]:
        return [str(self.root)] + [str(self.root / t) for t in TYPES[: self.types]]

    def restore(self, i: int) -> None:
        if not os.path.exists(self.paths[i]):
            write_file(self.paths[i], encode(record_data(i, self.types, self.ids[i])))

    def copy_to(self, root: Path) -> Store:
        """A fresh store with the same files (hard links where the file system has them)."""
        shutil.rmtree(root, ignore_errors=True)
        other = Store(root, self.types)
        for i, (sid, src) in enumerate(zip(self.ids, self.paths, strict=True)):
            dst = other.path_for(i, sid)
            try:
                os.link(src, dst)
            except OSError:
                shutil.copyfile(src, dst)
            other.ids.append(sid)
            other.paths.append(dst)
        return other


def wait_for_rest(dirs: list[str]) -> float:
    """Waits until no directory of `dirs` was modified in the last two seconds
    (the times are waited out, never moved); returns the seconds waited."""
    newest = max(os.stat(d).st_mtime for d in dirs)
    wait = newest + 2.1 - time.time()
    if wait > 0:
        time.sleep(wait)
    return max(wait, 0.0)


@dataclass
class Probes:
    """What the lookups in a store ask for: sixteen stored points spread over
    its whole range (hits) and sixteen never stored (misses)."""

    store: Store
    hits: list[int] = field(init=False)
    hit_inputs: list[dict[str, Any]] = field(init=False)
    hit_ids: list[str] = field(init=False)
    hit_paths: list[str] = field(init=False)
    miss_inputs: list[dict[str, Any]] = field(init=False)

    def __post_init__(self) -> None:
        store = self.store
        self.hits = spread(store.n)
        self.hit_inputs = [identity(i, store.types) for i in self.hits]
        self.hit_ids = [store.ids[i] for i in self.hits]
        self.hit_paths = [store.paths[i] for i in self.hits]
        self.miss_inputs = [identity(MISS_BASE + j, store.types) for j in range(16)]

    def is_record(self, out: Any) -> bool:
        return isinstance(out, StoredSimulationResult) and out.simulation_id in self.hit_ids

    @staticmethod
    def is_none(out: Any) -> bool:
        return out is None

    # The same points as a cache keyed by identity holds them: diskcache and
    # joblib are filled with the one-directory identities, which differ only
    # in type.
    def cached_hits(self) -> list[dict[str, Any]]:
        return [identity(i, 1) for i in self.hits]

    @staticmethod
    def cached_misses() -> list[dict[str, Any]]:
        return [identity(MISS_BASE + j, 1) for j in range(16)]


def drainer(store_module: Any, paths: list[str], native: bool) -> Callable[[int], None]:
    """Removes the files a batch saved. For the compiled store on a plain
    path, one lookup then takes in the removals, so that the benchmark's
    own cleaning up is not timed in the next batch."""

    def leave(k: int) -> None:
        for p in paths[:k]:
            try:
                os.unlink(p)
            except FileNotFoundError:
                pass
        if native:
            store_module._find_simulation_file("0" * 16)

    return leave
