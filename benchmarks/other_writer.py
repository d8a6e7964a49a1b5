"""Another process of a sweep, saving into a store while the benchmark times
lookups in it (started by benchmarks/live.py).

    python -m benchmarks.other_writer ROOT TYPES DISKCACHE_DIR PAUSE STOP_FILE BASE

Saves a new result (and sets the same record in diskcache) every PAUSE
seconds until STOP_FILE exists, removing its results older than the last 32
so that the store keeps its size; then removes the rest and prints how many
it saved per second.
"""

from __future__ import annotations

import logging
import os
import pathlib
import sys
import time

import diskcache

from benchmarks.workload import identity, identity_key, save_inputs, stored_record
from corvina.core import simulation_storage as module


def main(root: str, types: str, cache_dir: str, pause: str, stop: str, base: str) -> None:
    logging.getLogger("corvina").setLevel(logging.WARNING)
    path = pathlib.PosixPath(root)
    module.get_simulations_dir = lambda: path
    cache = diskcache.Cache(cache_dir)
    kinds, wait, first = int(types), float(pause), int(base)
    mine: list[tuple[str, str]] = []
    print("saving", flush=True)
    started = time.monotonic()
    j = 0
    while not os.path.exists(stop):
        i = first + j
        record = module.save_simulation_result(**save_inputs(i, kinds))
        key = identity_key(identity(i, 1))
        cache.set(key, stored_record(i))
        mine.append((record.simulation_id, key))
        if len(mine) > 32:
            sid, old = mine.pop(0)
            module.delete_simulation_result(sid)
            cache.delete(old)
        j += 1
        time.sleep(wait)
    elapsed = time.monotonic() - started
    for sid, key in mine:
        module.delete_simulation_result(sid)
        cache.delete(key)
    cache.close()
    print(f"saved {j / elapsed:,.0f} results/s (and deleted as many)")


if __name__ == "__main__":
    main(*sys.argv[1:7])
