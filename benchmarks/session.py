"""One run of the benchmark: its stores, its peers and the rows measured so far."""

from __future__ import annotations

import os
from pathlib import Path

from benchmarks import report
from benchmarks.harness import Config, Row, find_row
from benchmarks.peers import Peers
from benchmarks.stores import LAYOUTS, Store, wait_for_rest


class Bench:
    def __init__(self, cfg: Config, workdir: Path) -> None:
        self.cfg = cfg
        self.workdir = workdir
        self.rows: list[Row] = []
        self.stores = {types: Store(workdir / "stores" / f"types{types}", types) for types in LAYOUTS}
        # Stores that stay at the smallest size, so that lookups in a big store
        # can be compared side by side with the same lookups in a small one.
        self.small = {types: Store(workdir / "stores" / f"small{types}", types) for types in LAYOUTS}
        for store in self.small.values():
            store.grow(min(cfg.sizes))
        self.peers = Peers(workdir)
        self.host_calls: Row | None = None
        self.waited = 0.0  # seconds spent waiting for stores to come to rest
        self.resting: dict[int, Store] = {}

    def grow(self, n: int) -> None:
        for store in self.stores.values():
            store.grow(n)
        # Copies that nobody writes, for lookups at rest beside lookups amid writes.
        self.resting = {types: store.copy_to(self.workdir / "stores" / f"rest{types}")
                        for types, store in self.stores.items()}
        self.peers.grow(n)
        os.sync()  # the device writing back what was just made must not slow the timed writes

    def rest(self) -> None:
        """Lets every store come to rest, for the rows named "at rest"."""
        dirs = [d for st in (*self.stores.values(), *self.small.values(), *self.resting.values()) for d in st.dirs()]
        self.waited += wait_for_rest(dirs)

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        report.table_row(row)
        return row

    def find(self, op: str, size: int | None, layout: int | None) -> Row | None:
        return find_row(self.rows, op, size, layout)

    @staticmethod
    def note_beside(row: Row, other: str, what: str) -> None:
        if other in row.stats and "module" in row.stats:
            row.notes.append(f"{other} ({what}): {report.fmt_time(row.stats[other].median)}; "
                             f"module/{other} = {row.ratio('module', other):.2f}x")

    def close(self) -> None:
        self.peers.close()
