"""Benchmarks of the simulation results store, side by side with its baselines.

Run through `./dev bench [--quick] [--json FILE]`. Every figure is the median
time of one call, with its spread, over rounds in which all contenders of an
operation run interleaved in shuffled order on the same store; ratios are
medians of the per-round ratios, so load from other processes hits both sides
of a ratio alike.

Contenders:
  module    the compiled store, simulations directory an exact PosixPath
  literal   the compiled store, simulations directory a PosixPath subclass,
            which keeps it on the path that goes through the host's methods
  baseline  benchmarks/baseline.py, the same algorithm in plain Python
  diskcache Cache.set / Cache.get keyed by the identity text (key given)
  joblib    joblib.Memory: call() to store, a memoized call for a hit,
            check_call_in_cache() for a miss
  floor     only the host calls the store cannot avoid (listed per operation)
For lookups in a bigger store the module also runs, in the same rounds, on a
store of the smallest size: that ratio says whether lookups stay flat.

Fairness: every contender gets the same inputs and reads the same store (the
files are written once, directly, byte for byte what a save writes); the
package logger is at WARNING for all; saves create new files, removed again
outside the timed region; each delete and each clear gets a fresh store (hard
links to the same files), also set up outside the timed region.

Stores live on a real file system (build/bench-stores by default), not tmpfs.
No file or directory time is ever moved. Two states are measured:
  at rest   rows named "..., at rest": the run waits until nothing in the
            stores has been written for two seconds (a pause in the work)
  in use    everything else, as a sweep runs: the sweep step (find, a miss,
            then save), lookups right after a save, lookups while another
            process saves into the same store, saves, deletions, clearing
Every contender makes one call before it is timed, as a running session would
have done.
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import gc
import hashlib
import json
import logging
import math
import os
import pathlib
import platform
import random
import resource
import shutil
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import diskcache  # noqa: E402
import joblib  # noqa: E402
import orjson  # noqa: E402

import baseline  # noqa: E402
import corvina  # noqa: E402
import corvina.core.simulation_storage as module  # noqa: E402
from corvina.models import SimulationHyperparameters, StoredSimulationResult  # noqa: E402

perf_ns = time.perf_counter_ns
SMALL = "module@small"  # the module on a store of the smallest size, in the same rounds
REST = "module@rest"  # the module on a copy of the store that nobody writes, in the same rounds


class LiteralPath(pathlib.PosixPath):
    """A path type the module does not know, so it goes through pathlib."""


# --- workload -----------------------------------------------------------------

TYPES = ("fdtd", "eme", "mode", "fde", "varfdtd")
HYPERS = [
    SimulationHyperparameters(wavelength_points=p, mesh_resolution=m)
    for p, m in ((101, 20), (201, 20), (101, 30), (51, 10))
]
HYPER_DUMPS = [h.model_dump() for h in HYPERS]
BASE_DATE = datetime(2026, 1, 1, tzinfo=UTC)
COMPONENTS = 50  # distinct component names in a store
MISS_BASE = 10_000_000  # indices of identities that are never stored
SAVE_BASE = 20_000_000  # indices of identities that saves create
SWEEP_BASE = 30_000_000  # indices of the points a sweep step finds missing, then saves
WRITER_BASE = 40_000_000  # indices of what the other process saves


def identity(i: int, types: int) -> dict[str, Any]:
    """The six identity fields of sweep point i: 14 component settings, 6 model parameters."""
    return {
        "component_name": f"ring_{i % COMPONENTS}",
        "factory_name": "ring_single",
        "component_settings": {
            "radius": 5.0 + i * 0.001,
            "gap": 0.2,
            "length_x": 4,
            "length_y": 0.6,
            "width": 0.5,
            "cross_section": "strip",
            "bend": "bend_euler",
            "straight": "straight",
            "coupler_ring": "coupler_ring",
            "layer": [1, 0],
            "port_names": ["o1", "o2", "o3", "o4"],
            "angle_resolution": 2.5,
            "with_heater": False,
            "label": None,
        },
        "model_parameters": {
            "n_eff": 2.4,
            "n_group": 4.2,
            "loss_db_cm": 3.0,
            "temperature_c": 25,
            "polarization": "te",
            "mode_index": i % 2,
        },
        "hyperparameters": HYPERS[i % len(HYPERS)],
        "simulation_type": TYPES[i % types],
    }


def large_identity() -> dict[str, Any]:
    """An identity of about 2,000 settings of mixed kinds."""
    settings: dict[str, Any] = {}
    for j in range(1990):
        kind = j % 5
        settings[f"p{j:04d}"] = (
            0.1 + j * 1e-3,
            j,
            f"s{j}",
            [j, j * 0.5],
            j % 2 == 0,
        )[kind]
    ident = identity(7, 1)
    ident["component_settings"] = settings
    return ident


def make_payload(points: int) -> tuple[dict[str, Any], list[float]]:
    """A result of two S-parameters over `points` wavelengths, and the wavelengths."""
    wavelengths = [1.5 + 0.1 * j / (points - 1) for j in range(points)]

    def trace(phase: float) -> dict[str, list[float]]:
        return {
            "real": [0.9 * math.cos(phase + 0.37 * j) for j in range(points)],
            "imag": [0.9 * math.sin(phase + 0.37 * j) for j in range(points)],
        }

    result = {
        "s_parameters": {"o1@0,o2@0": trace(0.1), "o1@0,o1@0": trace(1.3)},
        "ports": ["o1", "o2"],
        "solver_log": "converged after 1843 steps",
    }
    return result, wavelengths


PAYLOAD, WAVELENGTHS = make_payload(101)


def save_inputs(i: int, types: int) -> dict[str, Any]:
    kw = identity(i, types)
    kw.update(result=PAYLOAD, wavelengths=WAVELENGTHS, execution_time_seconds=12.5 + i % 7)
    if i % 10 == 9:
        kw.update(status="error", error_message="solver diverged")
    return kw


def record_data(i: int, types: int, simulation_id: str) -> dict[str, Any]:
    """What the model dumps for the saved record of sweep point i, in field order."""
    ident = identity(i, types)
    error = i % 10 == 9
    return {
        "component_name": ident["component_name"],
        "factory_name": ident["factory_name"],
        "component_settings": ident["component_settings"],
        "model_parameters": ident["model_parameters"],
        "hyperparameters": HYPER_DUMPS[i % len(HYPERS)],
        "simulation_type": ident["simulation_type"],
        "simulation_id": simulation_id,
        "pdk_name": "generic",
        "pdk_version": "",
        "simulation_date": (BASE_DATE + timedelta(seconds=i)).isoformat(),
        "corvina_version": corvina.__version__,
        "result": PAYLOAD,
        "wavelengths": WAVELENGTHS,
        "execution_time_seconds": 12.5 + i % 7,
        "status": "error" if error else "success",
        "error_message": "solver diverged" if error else "",
    }


def compute_id(i: int, types: int) -> str:
    return baseline._compute_simulation_id(**identity(i, types))


def identity_key(ident: dict[str, Any]) -> str:
    """The identity text, as a cache keyed by identity would use it."""
    data = dict(ident)
    data["hyperparameters"] = ident["hyperparameters"].model_dump()
    return json.dumps(data, sort_keys=True)


def encode(data: dict[str, Any]) -> bytes:
    return orjson.dumps(data, option=orjson.OPT_INDENT_2)


def write_file(path: str, data: bytes) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


def read_file(path: str) -> bytes:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        return os.read(fd, os.fstat(fd).st_size)
    finally:
        os.close(fd)


def check_workload() -> None:
    """The files written directly must be the files a save writes."""
    assert list(record_data(0, 1, "0" * 16)) == list(StoredSimulationResult.model_fields)
    for i in (0, 9):
        data = record_data(i, 5, compute_id(i, 5))
        assert encode(StoredSimulationResult.model_validate(data).model_dump()) == encode(data)


def spread(n: int) -> list[int]:
    """Sixteen points of a store of n, spread over its whole range."""
    return sorted({min(n - 1, (j * n) // 16 + (j % 3)) for j in range(16)})


def floor_listing(root: str, component: str | None = None) -> list[tuple[StoredSimulationResult, str]]:
    """What any listing must do: scan, then read, parse and validate every file; newest first."""
    validate = StoredSimulationResult.model_validate
    loads = orjson.loads
    listed = []
    with os.scandir(root) as it:
        dirs = [e.path for e in it if e.is_dir()]
    for d in dirs:
        with os.scandir(d) as it:
            files = [e.path for e in it if e.name.endswith(".json")]
        for path in files:
            record = validate(loads(read_file(path)))
            if component is None or record.component_name == component:
                listed.append((record, path))
    listed.sort(key=_by_date, reverse=True)
    return listed


def _by_date(entry: tuple[StoredSimulationResult, str]) -> str:
    return entry[0].simulation_date


# --- stores -------------------------------------------------------------------


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
        ident_type = TYPES[i % self.types]
        return str(self.root / ident_type / f"ring_{i % COMPONENTS}_{simulation_id}.json")

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


class OtherWriter:
    """Another process saving into a store (and into diskcache) for as long
    as it runs: a worker of the same sweep whose solver takes `pause` seconds.
    It removes what it saved, keeping the store at its size."""

    def __init__(self, root: Path, types: int, cache_dir: Path, pause: float) -> None:
        self.stop = root.parent / f"{root.name}.stop-writer"
        self.stop.unlink(missing_ok=True)
        self.proc = subprocess.Popen(
            [sys.executable, str(HERE / "other_writer.py"), str(root), str(types), str(cache_dir),
             str(pause), str(self.stop), str(WRITER_BASE)],
            stdout=subprocess.PIPE, text=True)
        # Saving has begun before anything is timed.
        line = self.proc.stdout.readline()
        if line.strip() != "saving":
            raise RuntimeError(f"the other writer did not start: {line!r}")

    def finish(self) -> str:
        self.stop.touch()
        out, _ = self.proc.communicate(timeout=60)
        self.stop.unlink(missing_ok=True)
        return out.strip()


# --- contenders -----------------------------------------------------------------

VALUE: list[Any] = [None]


def simulate(component_name, factory_name, component_settings, model_parameters, hyperparameters, simulation_type):
    """The function joblib memoizes: hands back the record prepared for the call."""
    return VALUE[0]


def point(target: Any, root: Any) -> None:
    target.get_simulations_dir = lambda: root


@dataclass
class Contender:
    """One way of doing an operation.

    `batch(k)` makes k calls and returns the last result; only it is timed.
    `enter` and `leave` run untimed around every timed batch. A contender with
    `single` set is timed one call at a time (the call destroys its input).
    """

    batch: Callable[[int], Any]
    check: Callable[[Any], bool] | None = None
    enter: Callable[[], None] | None = None
    leave: Callable[[int], None] | None = None
    single: bool = False


@dataclass
class Stats:
    samples: list[float]
    calls: int

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    def quartiles(self) -> tuple[float, float]:
        if len(self.samples) < 2:
            return self.samples[0], self.samples[0]
        q = statistics.quantiles(self.samples, n=4, method="inclusive")
        return q[0], q[2]

    def as_json(self) -> dict[str, Any]:
        q1, q3 = self.quartiles()
        return {
            "median_ns": round(self.median, 1),
            "q1_ns": round(q1, 1),
            "q3_ns": round(q3, 1),
            "min_ns": round(min(self.samples), 1),
            "max_ns": round(max(self.samples), 1),
            "rounds": len(self.samples),
            "calls_per_sample": self.calls,
        }


@dataclass
class Row:
    op: str
    size: int | None
    layout: int | None
    stats: dict[str, Stats] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)

    def ratio(self, a: str, b: str) -> float | None:
        """Median over rounds of time(a) / time(b)."""
        if a not in self.stats or b not in self.stats:
            return None
        sa, sb = self.stats[a].samples, self.stats[b].samples
        return statistics.median(x / y for x, y in zip(sa, sb, strict=False) if y > 0)


@dataclass
class Config:
    quick: bool
    sizes: list[int]
    rounds: int
    min_rounds: int
    target_ns: float
    budget_s: float
    single_cap_s: float


DISK_READS = [0]  # blocks read from the device inside timed regions, since the last look


@dataclass
class SelfTimed:
    """What a batch returns when it times only part of each call itself."""

    ns: int
    out: Any


def timed(fn: Callable[[int], Any], k: int) -> tuple[float, Any]:
    before = resource.getrusage(resource.RUSAGE_SELF).ru_inblock
    gc.disable()
    try:
        t0 = perf_ns()
        out = fn(k)
        t1 = perf_ns()
    finally:
        gc.enable()
    DISK_READS[0] += resource.getrusage(resource.RUSAGE_SELF).ru_inblock - before
    if isinstance(out, SelfTimed):
        return out.ns / k, out.out
    return (t1 - t0) / k, out


def _libc_trim() -> Callable[[], None]:
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        trim = libc.malloc_trim
    except (OSError, AttributeError):
        return lambda: None
    return lambda: trim(0)


malloc_trim = _libc_trim()


def measure(
    row: Row, contenders: dict[str, Contender], cfg: Config, warm: bool = True, fresh_heap: bool = False
) -> Row:
    """Time the contenders interleaved, round after round, into `row`.

    With `fresh_heap`, every sample starts from a collected and trimmed heap:
    calls that build hundreds of megabytes of records would otherwise pay
    page faults or not depending on what the contender before them freed.
    """
    rng = random.Random(f"{row.op}/{row.size}/{row.layout}")
    calls: dict[str, int] = {}
    live: dict[str, Contender] = {}
    for name, c in contenders.items():
        try:
            if c.enter:
                c.enter()
            k = 1
            if warm or not c.single:
                per, out = timed(c.batch, 1)
                right = c.check is None or c.check(out)
                shown = "" if right else repr(out)[:80]
                del out
                if c.leave:
                    c.leave(1)
                if not right:
                    raise AssertionError(f"wrong result {shown}")
                if not c.single:
                    # Enough calls per sample that one sample lasts about target_ns.
                    if c.enter:
                        c.enter()
                    per = timed(c.batch, 1)[0]
                    if c.leave:
                        c.leave(1)
                    k = max(1, min(512, int(cfg.target_ns / max(per, 1.0))))
            calls[name] = k
            live[name] = c
        except Exception as exc:  # a contender that fails is reported, not timed
            row.notes.append(f"{name} failed: {type(exc).__name__}: {exc}")
    samples: dict[str, list[float]] = {name: [] for name in live}
    DISK_READS[0] = 0
    started = time.monotonic()
    for r in range(cfg.rounds):
        if r >= cfg.min_rounds and time.monotonic() - started > cfg.budget_s:
            break
        gc.collect()
        order = list(live)
        rng.shuffle(order)
        for name in order:
            c = live[name]
            try:
                if c.enter:
                    c.enter()
                if fresh_heap:
                    gc.collect()
                    malloc_trim()
                per, out = timed(c.batch, calls[name])
                right = not c.single or c.check is None or c.check(out)
                shown = "" if right else repr(out)[:80]
                del out  # a big listing must not stay alive through the next contender's turn
                if c.leave:
                    c.leave(calls[name])
                if not right:
                    raise AssertionError(f"wrong result {shown}")
            except Exception as exc:
                row.notes.append(f"{name} failed in round {r + 1}: {type(exc).__name__}: {exc}")
                del live[name], samples[name]
                continue
            samples[name].append(per)
    if DISK_READS[0] >= 2048:
        # Figures of files read from the device rather than from memory are not
        # comparable with the rest; say so rather than hide it.
        megabytes = DISK_READS[0] * 512 / 1e6
        row.notes.append(f"{megabytes:.1f} MB were read from the device while timing (page cache too small?)")
    for name in live:
        row.stats[name] = Stats(samples[name], calls[name])
    return row


# --- the benchmark ------------------------------------------------------------


class Bench:
    def __init__(self, cfg: Config, workdir: Path) -> None:
        self.cfg = cfg
        self.workdir = workdir
        self.rows: list[Row] = []
        self.stores = {
            types: Store(workdir / "stores" / f"types{types}", types) for types in (1, 5)
        }
        # Stores that stay at the smallest size, so that lookups in a big store
        # can be compared side by side with the same lookups in a small one.
        self.small = {
            types: Store(workdir / "stores" / f"small{types}", types) for types in (1, 5)
        }
        for store in self.small.values():
            store.grow(min(cfg.sizes))
        self.cache = diskcache.Cache(str(workdir / "diskcache"))
        self.memory = joblib.Memory(str(workdir / "joblib"), verbose=0)
        self.memo = self.memory.cache(simulate)
        # joblib records the function's code on the first lookup and empties
        # the cache of a function it has not seen; let that happen now.
        self.memo.check_call_in_cache(**identity(MISS_BASE - 1, 1))
        self.cached = 0  # points held by diskcache and joblib
        self.host_calls: Row | None = None
        self.waited = 0.0  # seconds spent waiting for stores to come to rest
        self.resting: dict[int, Store] = {}

    # Pointing the stores at a directory, the same way for everyone.
    def as_module(self, root: Path) -> Callable[[], None]:
        path = pathlib.PosixPath(root)
        assert type(path) is pathlib.PosixPath
        return lambda: point(module, path)

    def as_literal(self, root: Path) -> Callable[[], None]:
        path = LiteralPath(root)
        return lambda: point(module, path)

    def as_baseline(self, root: Path) -> Callable[[], None]:
        path = pathlib.PosixPath(root)
        return lambda: point(baseline, path)

    def stores_contenders(self, root: Path) -> dict[str, tuple[Any, Callable[[], None]]]:
        return {
            "module": (module, self.as_module(root)),
            "literal": (module, self.as_literal(root)),
            "baseline": (baseline, self.as_baseline(root)),
        }

    def grow(self, n: int) -> None:
        for store in self.stores.values():
            store.grow(n)
        # Copies that nobody writes, for lookups at rest beside lookups amid writes.
        self.resting = {types: store.copy_to(self.workdir / "stores" / f"rest{types}")
                        for types, store in self.stores.items()}
        for i in range(self.cached, n):
            ident = identity(i, 1)
            record = StoredSimulationResult.model_validate(record_data(i, 1, compute_id(i, 1)))
            self.cache.set(identity_key(ident), record)
            VALUE[0] = record
            self.memo.call(**ident)
        VALUE[0] = None
        self.cached = n
        if not self.memo.check_call_in_cache(**identity(n - 1, 1)):
            raise RuntimeError("joblib does not hold what it was given")
        os.sync()  # the device writing back what was just made must not slow the timed writes

    def rest(self) -> None:
        """Lets every store come to rest, for the rows named "at rest"."""
        dirs = [d for st in (*self.stores.values(), *self.small.values(), *self.resting.values()) for d in st.dirs()]
        self.waited += wait_for_rest(dirs)

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        self.report_row(row)
        return row

    # --- operations

    def bench_identity(self) -> None:
        for label, ident in (("id typical", identity(3, 1)), ("id large", large_identity())):
            expected = baseline._compute_simulation_id(**ident)
            args = tuple(ident.values())
            hyper = ident["hyperparameters"]

            def run(fn: Callable[..., Any]) -> Callable[[int], Any]:
                def batch(k: int) -> Any:
                    out = None
                    for _ in range(k):
                        out = fn(*args)
                    return out

                return batch

            def floor(k: int) -> Any:
                for _ in range(k):
                    hyper.model_dump()
                return expected

            ok = expected.__eq__
            self.add(
                measure(
                    Row(label, None, None),
                    {
                        "module": Contender(run(module._compute_simulation_id), ok),
                        "baseline": Contender(run(baseline._compute_simulation_id), ok),
                        "floor": Contender(floor),
                    },
                    self.cfg,
                )
            )

    def bench_store(self, types: int, ops: set[str], phase: str) -> None:
        """The rows of one store: phase "rest" runs the lookups at rest and the
        listings, phase "use" everything that writes, and lookups amid writes."""
        store = self.stores[types]
        n = store.n
        root = store.root
        hits = spread(n)
        hit_inputs = [identity(i, types) for i in hits]
        hit_ids = [store.ids[i] for i in hits]
        hit_paths = [store.paths[i] for i in hits]
        miss_inputs = [identity(MISS_BASE + j, types) for j in range(16)]
        targets = self.stores_contenders(root)
        cfg = self.cfg

        def lookups(call: Callable[[Any, dict[str, Any]], Any], inputs: list[Any]) -> Callable[[Any], Callable[[int], Any]]:
            def make(store_module: Any) -> Callable[[int], Any]:
                def batch(k: int) -> Any:
                    out = None
                    m = len(inputs)
                    for j in range(k):
                        out = call(store_module, inputs[j % m])
                    return out

                return batch

            return make

        def is_record(out: Any) -> bool:
            return isinstance(out, StoredSimulationResult) and out.simulation_id in hit_ids

        def is_none(out: Any) -> bool:
            return out is None

        def group(op: str, make: Callable[[Any], Callable[[int], Any]], check: Callable[[Any], bool], extra: dict[str, Contender]) -> Row | None:
            if phase != "rest" or op.split()[0].rstrip(",") not in ops:
                return None
            contenders = {
                name: Contender(make(m), check, enter=enter) for name, (m, enter) in targets.items()
            }
            contenders.update(extra)
            return self.add(measure(Row(op, n, types), contenders, cfg, fresh_heap=op.startswith("list")))

        # What a cache keyed by identity holds; diskcache and joblib were filled
        # with the one-directory identities, which differ only in type.
        dc_hits = [identity_key(identity(i, 1)) for i in hits]
        dc_misses = [identity_key(identity(MISS_BASE + j, 1)) for j in range(16)]
        jl_hits = [identity(i, 1) for i in hits]
        jl_misses = [identity(MISS_BASE + j, 1) for j in range(16)]
        cache, memo = self.cache, self.memo

        def dc_get(keys: list[str]) -> Callable[[int], Any]:
            def batch(k: int) -> Any:
                out = None
                for j in range(k):
                    out = cache.get(keys[j % len(keys)])
                return out

            return batch

        def jl_hit(k: int) -> Any:
            out = None
            for j in range(k):
                out = memo(**jl_hits[j % len(jl_hits)])
            return out

        def jl_miss(k: int) -> Any:
            out = None
            for j in range(k):
                out = memo.check_call_in_cache(**jl_misses[j % len(jl_misses)])
            return out

        validate = StoredSimulationResult.model_validate
        loads = orjson.loads

        def floor_hit(with_dump: bool) -> Callable[[int], Any]:
            def batch(k: int) -> Any:
                out = None
                for j in range(k):
                    m = j % len(hit_paths)
                    if with_dump:
                        hit_inputs[m]["hyperparameters"].model_dump()
                    out = validate(loads(read_file(hit_paths[m])))
                return out

            return batch

        def floor_miss(k: int) -> Any:
            for j in range(k):
                miss_inputs[j % len(miss_inputs)]["hyperparameters"].model_dump()
            return None

        group(
            "load, at rest",
            lookups(lambda m, sid: m.load_simulation_result(sid), hit_ids),
            is_record,
            {"floor": Contender(floor_hit(False), is_record)},
        )
        # The module once more on the small store: flatness in store size.
        small = self.small[types]
        small_enter = self.as_module(small.root)
        small_hits = [identity(i, types) for i in spread(small.n)]
        small_ids = {small.ids[i] for i in spread(small.n)}
        small_extra = lambda make, check: (  # noqa: E731
            {SMALL: Contender(make(module), check, enter=small_enter)} if small.n < n else {}
        )
        find = lambda m, kw: m.find_simulation_result(**kw)  # noqa: E731
        group(
            "find hit, at rest",
            lookups(find, hit_inputs),
            is_record,
            {
                "diskcache": Contender(dc_get(dc_hits), lambda out: isinstance(out, StoredSimulationResult)),
                "joblib": Contender(jl_hit, lambda out: isinstance(out, StoredSimulationResult)),
                "floor": Contender(floor_hit(True), is_record),
                **small_extra(lookups(find, small_hits), lambda out: getattr(out, "simulation_id", None) in small_ids),
            },
        )
        group(
            "find miss, at rest",
            lookups(find, miss_inputs),
            is_none,
            {
                "diskcache": Contender(dc_get(dc_misses), is_none),
                "joblib": Contender(jl_miss, lambda out: out is False),
                "floor": Contender(floor_miss),
                **small_extra(lookups(find, miss_inputs), is_none),
            },
        )

        def floor_list(component: str | None) -> Callable[[int], Any]:
            def batch(k: int) -> Any:
                out = None
                for _ in range(k):
                    out = floor_listing(str(root), component)
                return out

            return batch

        chosen = "ring_7"
        expected_chosen = sum(1 for i in range(n) if i % COMPONENTS == 7)
        for op, filters, count in (("list all", {}, n), ("list filter", {"component_name": chosen}, expected_chosen)):
            def has(out: Any, count: int = count) -> bool:
                return isinstance(out, list) and len(out) == count

            group(
                op,
                lookups(lambda m, f: m.list_simulation_results(**f), [filters]),
                has,
                {"floor": Contender(floor_list(filters.get("component_name")), has)},
            )

        if phase != "use":
            return
        if "save" in ops:
            self.bench_save(store)
        if "delete" in ops:
            self.bench_delete(store, hits)
        if "sweep" in ops:
            self.bench_sweep(store)
        if "find" in ops:
            dc_check = lambda out: isinstance(out, StoredSimulationResult)  # noqa: E731
            self.bench_lookups_in_use(store, [
                ("find hit", hit_inputs, is_record, dc_hits, dc_check),
                ("find miss", miss_inputs, is_none, dc_misses, is_none),
            ])

    def drainer(self, m: Any, paths: list[str], native: bool) -> Callable[[int], None]:
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
                m._find_simulation_file("0" * 16)

        return leave

    def bench_sweep(self, store: Store) -> None:
        """The step of a sweep: find the point's result, a miss, then save it."""
        types, n = store.types, store.n
        small = self.small[types]
        pool = [save_inputs(SWEEP_BASE + j, types) for j in range(512)]
        points = [identity(SWEEP_BASE + j, types) for j in range(512)]
        ids = [compute_id(SWEEP_BASE + j, types) for j in range(512)]

        def paths_in(st: Store) -> list[str]:
            return [st.path_for(SWEEP_BASE + j, sid) for j, sid in enumerate(ids)]

        def sweeper(m: Any) -> Callable[[int], Any]:
            def batch(k: int) -> Any:
                out = None
                for j in range(k):
                    if m.find_simulation_result(**points[j]) is not None:
                        raise AssertionError("a point never saved was found")
                    out = m.save_simulation_result(**pool[j])
                return out

            return batch

        def saved(out: Any) -> bool:
            return isinstance(out, StoredSimulationResult) and out.simulation_id == ids[0]

        contenders = {
            name: Contender(sweeper(m), saved, enter=enter, leave=self.drainer(m, paths_in(store), name == "module"))
            for name, (m, enter) in self.stores_contenders(store.root).items()
        }
        if small.n < n:
            contenders[SMALL] = Contender(sweeper(module), saved, enter=self.as_module(small.root),
                                          leave=self.drainer(module, paths_in(small), True))
        keys = [identity_key(identity(SWEEP_BASE + j, 1)) for j in range(512)]
        records = [StoredSimulationResult.model_validate(record_data(SWEEP_BASE + j, 1, compute_id(SWEEP_BASE + j, 1)))
                   for j in range(512)]
        cache = self.cache

        def dc_step(k: int) -> Any:
            for j in range(k):
                if cache.get(keys[j]) is not None:
                    raise AssertionError("a point never saved was found")
                cache.set(keys[j], records[j])
            return True

        def dc_remove(k: int) -> None:
            for key in keys[:k]:
                cache.delete(key)

        contenders["diskcache"] = Contender(dc_step, leave=dc_remove)
        row = measure(Row("sweep step", n, types), contenders, self.cfg)
        self.note_beside(row, SMALL, f"the same steps on a store of {small.n:,} results")
        self.add(row)

    @staticmethod
    def note_beside(row: Row, other: str, what: str) -> None:
        if other in row.stats and "module" in row.stats:
            row.notes.append(f"{other} ({what}): {fmt_time(row.stats[other].median)}; "
                             f"module/{other} = {row.ratio('module', other):.2f}x")

    def bench_lookups_in_use(self, store: Store, kinds: list[tuple[str, list[Any], Callable[[Any], bool], list[str], Callable[[Any], bool]]]) -> None:
        """Lookups right after a save, and lookups while another process saves
        into the same store (one layout: the other process takes a core)."""
        types, n = store.types, store.n
        pool = [save_inputs(SAVE_BASE + j, types) for j in range(512)]
        pool_ids = [compute_id(SAVE_BASE + j, types) for j in range(512)]
        pool_paths = [store.path_for(SAVE_BASE + j, sid) for j, sid in enumerate(pool_ids)]
        keys = [identity_key(identity(SAVE_BASE + j, 1)) for j in range(512)]
        records = [StoredSimulationResult.model_validate(record_data(SAVE_BASE + j, 1, compute_id(SAVE_BASE + j, 1)))
                   for j in range(512)]
        cache = self.cache

        def after_save(m: Any, inputs: list[Any]) -> Callable[[int], Any]:
            def batch(k: int) -> Any:
                spent, out = 0, None
                for j in range(k):
                    m.save_simulation_result(**pool[j])
                    t0 = perf_ns()
                    out = m.find_simulation_result(**inputs[j % len(inputs)])
                    spent += perf_ns() - t0
                return SelfTimed(spent, out)

            return batch

        def dc_after_set(lookup_keys: list[str]) -> Callable[[int], Any]:
            def batch(k: int) -> Any:
                spent, out = 0, None
                for j in range(k):
                    cache.set(keys[j], records[j])
                    t0 = perf_ns()
                    out = cache.get(lookup_keys[j % len(lookup_keys)])
                    spent += perf_ns() - t0
                return SelfTimed(spent, out)

            return batch

        def dc_remove(k: int) -> None:
            for key in keys[:k]:
                cache.delete(key)

        # The control: the same save, into another store, then the same lookup
        # in a copy of this store that nobody writes. What differs from the
        # module's own figure is only whether the store looked in was written.
        elsewhere = self.workdir / "stores" / f"elsewhere{types}"
        elsewhere_path, resting_path = pathlib.PosixPath(elsewhere), pathlib.PosixPath(self.resting[types].root)
        elsewhere_paths = [str(elsewhere / TYPES[(SAVE_BASE + j) % types] / Path(p).name) for j, p in enumerate(pool_paths)]

        def save_elsewhere(inputs: list[Any]) -> Callable[[int], Any]:
            def batch(k: int) -> Any:
                spent, out = 0, None
                for j in range(k):
                    module.get_simulations_dir = lambda: elsewhere_path
                    module.save_simulation_result(**pool[j])
                    module.get_simulations_dir = lambda: resting_path
                    t0 = perf_ns()
                    out = module.find_simulation_result(**inputs[j % len(inputs)])
                    spent += perf_ns() - t0
                return SelfTimed(spent, out)

            return batch

        def plain(m: Any, inputs: list[Any]) -> Callable[[int], Any]:
            def batch(k: int) -> Any:
                out = None
                for j in range(k):
                    out = m.find_simulation_result(**inputs[j % len(inputs)])
                return out

            return batch

        def dc_get(lookup_keys: list[str]) -> Callable[[int], Any]:
            def batch(k: int) -> Any:
                out = None
                for j in range(k):
                    out = cache.get(lookup_keys[j % len(lookup_keys)])
                return out

            return batch

        for label, inputs, check, dc_keys, dc_check in kinds:
            contenders = {
                name: Contender(after_save(m, inputs), check, enter=enter, leave=self.drainer(m, pool_paths, name == "module"))
                for name, (m, enter) in self.stores_contenders(store.root).items()
            }
            contenders["diskcache"] = Contender(dc_after_set(dc_keys), dc_check, leave=dc_remove)
            contenders[REST] = Contender(save_elsewhere(inputs), check, leave=self.drainer(module, elsewhere_paths, False))
            row = measure(Row(f"{label}, after save", n, types), contenders, self.cfg)
            self.note_beside(row, REST, "the same save into another store, then the lookup in a copy nobody writes")
            self.add(row)
        if types != 1:
            return
        rows = []
        writer = OtherWriter(store.root, types, self.workdir / "diskcache", pause=0.002)
        try:
            for label, inputs, check, dc_keys, dc_check in kinds:
                contenders = {
                    name: Contender(plain(m, inputs), check, enter=enter)
                    for name, (m, enter) in self.stores_contenders(store.root).items()
                }
                contenders["diskcache"] = Contender(dc_get(dc_keys), dc_check)
                # The control: the same lookups, in the same rounds (so with
                # the same share of the processors), in a copy nobody writes.
                contenders[REST] = Contender(plain(module, inputs), check, enter=self.as_module(self.resting[types].root))
                row = measure(Row(f"{label}, other writer", n, types), contenders, self.cfg)
                self.note_beside(row, REST, "the same lookups in a copy nobody writes")
                rows.append(row)
        finally:
            rate = writer.finish()
        for row in rows:
            row.notes.append(f"meanwhile another process {rate}")
            self.add(row)

    def bench_save(self, store: Store) -> None:
        types, n = store.types, store.n
        pool = [save_inputs(SAVE_BASE + j, types) for j in range(512)]
        pool_ids = [compute_id(SAVE_BASE + j, types) for j in range(512)]
        pool_paths = [store.path_for(SAVE_BASE + j, sid) for j, sid in enumerate(pool_ids)]

        def remove(k: int) -> None:
            for p in pool_paths[:k]:
                try:
                    os.unlink(p)
                except FileNotFoundError:
                    pass

        def saver(m: Any) -> Callable[[int], Any]:
            def batch(k: int) -> Any:
                out = None
                for j in range(k):
                    out = m.save_simulation_result(**pool[j])
                return out

            return batch

        def saved(out: Any) -> bool:
            return isinstance(out, StoredSimulationResult) and out.simulation_id == pool_ids[0] and os.path.exists(pool_paths[0])

        contenders = {
            name: Contender(saver(m), saved, enter=enter, leave=remove)
            for name, (m, enter) in self.stores_contenders(store.root).items()
        }

        # The rest store what the compiled store builds: a validated record.
        records = [
            StoredSimulationResult.model_validate(record_data(SAVE_BASE + j, 1, compute_id(SAVE_BASE + j, 1)))
            for j in range(512)
        ]
        keys = [identity_key(identity(SAVE_BASE + j, 1)) for j in range(512)]
        jl_inputs = [identity(SAVE_BASE + j, 1) for j in range(512)]
        cache, memo = self.cache, self.memo

        def dc_set(k: int) -> Any:
            for j in range(k):
                cache.set(keys[j], records[j])
            return True

        def dc_remove(k: int) -> None:
            for key in keys[:k]:
                cache.delete(key)

        def jl_call(k: int) -> Any:
            out = None
            for j in range(k):
                VALUE[0] = records[j]
                out = memo.call(**jl_inputs[j])
            return out

        pdk = module.get_pdk_name()
        version = corvina.__version__
        record_fields = ("component_name", "factory_name", "component_settings", "model_parameters", "hyperparameters", "simulation_type")

        def floor(k: int) -> Any:
            out = None
            for j in range(k):
                kw = pool[j]
                kw["hyperparameters"].model_dump()
                record = StoredSimulationResult(
                    **{f: kw[f] for f in record_fields},
                    simulation_id=pool_ids[j],
                    pdk_name=pdk,
                    pdk_version="",
                    simulation_date=datetime.now(UTC).isoformat(),
                    corvina_version=version,
                    result=kw["result"],
                    wavelengths=kw["wavelengths"],
                    execution_time_seconds=float(kw["execution_time_seconds"]),
                    status=kw.get("status", "success"),
                    error_message=kw.get("error_message", ""),
                )
                write_file(pool_paths[j], orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2))
                out = record
            return out

        contenders["diskcache"] = Contender(dc_set, leave=dc_remove)
        contenders["joblib"] = Contender(jl_call)
        contenders["floor"] = Contender(floor, saved, leave=remove)
        os.sync()
        self.add(measure(Row("save", n, types), contenders, self.cfg))
        remove(512)

    def bench_delete(self, store: Store, hits: list[int]) -> None:
        victims = hits
        turn = {"i": 0}

        def delete_with(m: Any, enter: Callable[[], None]) -> Contender:
            def prepare() -> None:
                store.restore(victims[turn["i"] % len(victims)])
                enter()
                m.load_simulation_result("f" * 16)  # a lookup first, as in a running session

            def batch(k: int) -> Any:
                return m.delete_simulation_result(store.ids[victims[turn["i"] % len(victims)]])

            def leave(k: int) -> None:
                store.restore(victims[turn["i"] % len(victims)])
                turn["i"] += 1

            return Contender(batch, lambda out: out is True, enter=prepare, leave=leave, single=True)

        contenders = {name: delete_with(m, enter) for name, (m, enter) in self.stores_contenders(store.root).items()}

        def floor_prepare() -> None:
            store.restore(victims[turn["i"] % len(victims)])

        def floor_batch(k: int) -> Any:
            os.unlink(store.paths[victims[turn["i"] % len(victims)]])
            return True

        def floor_leave(k: int) -> None:
            store.restore(victims[turn["i"] % len(victims)])
            turn["i"] += 1

        contenders["floor"] = Contender(floor_batch, enter=floor_prepare, leave=floor_leave, single=True)
        self.add(measure(Row("delete", store.n, store.types), contenders, self.cfg))

    def bench_clear(self, types: int, warm: bool, previous: list[Row]) -> None:
        store = self.stores[types]
        n = store.n
        scratch = self.workdir / "scratch" / f"clear{types}"
        row = Row("clear", n, types)

        def fresh_store(enter: Callable[[], None] | None, m: Any) -> Callable[[], None]:
            def prepare() -> None:
                store.copy_to(scratch)
                if enter is not None:
                    enter()
                    m.load_simulation_result("f" * 16)  # a lookup first, as in a running session

            return prepare

        def discard(k: int) -> None:
            shutil.rmtree(scratch, ignore_errors=True)

        def clearer(m: Any) -> Callable[[int], Any]:
            return lambda k: m.clear_simulation_results()

        def floor(k: int) -> Any:
            listed = floor_listing(str(scratch))
            for _, path in listed:
                os.unlink(path)
            return len(listed)

        def cleared(out: Any) -> bool:
            return out == n

        contenders = {
            name: Contender(clearer(m), cleared, enter=fresh_store(enter, m), leave=discard, single=True)
            for name, (m, enter) in self.stores_contenders(scratch).items()
        }
        contenders["floor"] = Contender(floor, cleared, enter=fresh_store(None, None), leave=discard, single=True)

        if self.cfg.quick:
            del contenders["literal"]  # the targets need only the module, the baseline and the floor
        # Beyond the 1,000 results of the target, leave out what would take too
        # long, judging by the size before. A clearing that looks every file up
        # again by a scan grows with the square of the store, and growth seen
        # between small stores understates that, so project with the square.
        cfg = self.cfg
        if n > 1000 and previous:
            last = previous[-1]
            for name in list(contenders):
                if name == "floor" or name not in last.stats:
                    continue
                projected = last.stats[name].median * (n / last.size) ** 2 / 1e9
                if projected > cfg.single_cap_s:
                    del contenders[name]
                    row.notes.append(f"{name} left out: about {projected:.0f} s per call projected")
            cfg = replace(cfg, min_rounds=3)
        if set(contenders) <= {"floor"}:
            contenders.clear()
        self.add(measure(row, contenders, cfg, warm=warm, fresh_heap=True))
        shutil.rmtree(scratch, ignore_errors=True)

    def bench_host_calls(self) -> Row:
        """The single host calls that the floors are made of, on the largest store."""
        store = self.stores[1]
        n = store.n
        path = store.paths[0]
        type_dir = str(store.root / TYPES[0])
        raw = read_file(path)
        data = orjson.loads(raw)
        record = StoredSimulationResult.model_validate(data)
        dumped = record.model_dump()
        fields = dict(data, hyperparameters=HYPERS[0])
        hyper = HYPERS[0]
        ident = identity(3, 1)
        identity_data = dict(ident, hyperparameters=hyper.model_dump())
        text = json.dumps(identity_data, sort_keys=True)
        scratch = self.workdir / "scratch"
        scratch.mkdir(exist_ok=True)
        target = str(scratch / "rewrite_probe.json")
        write_file(target, raw)
        fresh_names = [str(scratch / f"write_probe_{j}.json") for j in range(512)]
        pattern = f"*_{store.ids[-1]}.json"
        validate, loads, dumps, indent = StoredSimulationResult.model_validate, orjson.loads, orjson.dumps, orjson.OPT_INDENT_2

        calls: dict[str, Callable[[], Any]] = {
            "read file (os.open, fstat, read, close)": lambda: read_file(path),
            "Path.read_bytes": lambda: pathlib.PosixPath(path).read_bytes(),
            "orjson.loads of a record file": lambda: loads(raw),
            "StoredSimulationResult.model_validate": lambda: validate(data),
            "StoredSimulationResult(16 fields)": lambda: StoredSimulationResult(**fields),
            "record.model_dump()": lambda: record.model_dump(),
            "orjson.dumps(OPT_INDENT_2)": lambda: dumps(dumped, option=indent),
            "rewrite an existing file (O_TRUNC)": lambda: write_file(target, raw),
            "hyperparameters.model_dump()": lambda: hyper.model_dump(),
            "json.dumps(identity, sort_keys=True)": lambda: json.dumps(identity_data, sort_keys=True),
            "sha256 of the identity text": lambda: hashlib.sha256(text.encode()).digest(),
            "os.stat of a directory": lambda: os.stat(type_dir),
            f"os.scandir of {n:,} entries": lambda: sum(1 for _ in os.scandir(type_dir)),
            f"Path.glob over {n:,} entries": lambda: list(pathlib.PosixPath(type_dir).glob(pattern)),
        }

        def looped(fn: Callable[[], Any]) -> Callable[[int], Any]:
            def batch(k: int) -> Any:
                out = None
                for _ in range(k):
                    out = fn()
                return out

            return batch

        def write_new(k: int) -> Any:
            for j in range(k):
                write_file(fresh_names[j], raw)

        def remove_new(k: int) -> None:
            for name in fresh_names[:k]:
                os.unlink(name)

        contenders = {name: Contender(looped(fn)) for name, fn in calls.items()}
        contenders["write a new file (os.open, write, close)"] = Contender(write_new, leave=remove_new)
        row = measure(Row("host calls", n, 1), contenders, self.cfg)
        os.unlink(target)
        print()
        print(f"Host calls, one at a time (what the floors are made of; store of {n:,} results)")
        for name, st in row.stats.items():
            q1, q3 = st.quartiles()
            spread = (q3 - q1) / 2 / st.median * 100 if st.median else 0.0
            print(f"  {name:<44} {fmt_time(st.median):>9} ±{spread:.0f}%")
        for note in row.notes:
            print(f"    note: {note}")
        self.host_calls = row
        return row

    # --- output

    COLUMNS = ("module", "literal", "baseline", "diskcache", "joblib", "floor")

    def report_header(self) -> None:
        print(f"{'operation':<24} {'N':>6} {'dirs':>4}  " + " ".join(f"{c:>14}" for c in self.COLUMNS)
              + f"  {'base/mod':>8} {'lit/mod':>7} {'mod/floor':>9} {'mod/dc':>6}")
        sys.stdout.flush()

    def report_row(self, row: Row) -> None:
        cells = []
        for c in self.COLUMNS:
            s = row.stats.get(c)
            if s is None:
                cells.append(f"{'-':>14}")
            else:
                q1, q3 = s.quartiles()
                spread = (q3 - q1) / 2 / s.median * 100 if s.median else 0.0
                cells.append(f"{fmt_time(s.median) + ' ±' + f'{spread:.0f}%':>14}")

        def rat(a: str, b: str, width: int) -> str:
            r = row.ratio(a, b)
            return f"{'-':>{width}}" if r is None else f"{r:>{width - 1}.2f}x"

        size = f"{row.size:,}" if row.size else ""
        layout = str(row.layout) if row.layout else ""
        print(f"{row.op:<24} {size:>6} {layout:>4}  " + " ".join(cells)
              + f"  {rat('baseline', 'module', 8)} {rat('literal', 'module', 7)} {rat('module', 'floor', 9)} {rat('module', 'diskcache', 6)}")
        for note in row.notes:
            print(f"    note: {note}")
        sys.stdout.flush()

    def find(self, op: str, size: int | None, layout: int | None) -> Row | None:
        for row in self.rows:
            if row.op == op and row.size == size and row.layout == layout:
                return row
        return None

    def targets(self) -> list[dict[str, Any]]:
        big = max(self.cfg.sizes)
        small = min(self.cfg.sizes)
        at_1000 = 1000 if 1000 in self.cfg.sizes else big
        out: list[dict[str, Any]] = []

        def add(text: str, values: list[tuple[str, float | None]], want: float, at_least: bool, note: str = "") -> None:
            known = [(where, v) for where, v in values if v is not None]
            if not known:
                out.append({"target": text, "measured": None, "where": "", "pass": None, "note": "not measured"})
                return
            where, worst = (min if at_least else max)(known, key=lambda wv: wv[1])
            ok = worst >= want if at_least else worst <= want
            out.append({"target": text, "measured": round(worst, 3), "where": where, "pass": ok, "note": note})

        def per_layout(op: str, size: int, fn: Callable[[Row], float | None]) -> list[tuple[str, float | None]]:
            vals = []
            for layout in (1, 5):
                row = self.find(op, size, layout)
                vals.append((f"{size:,} in {layout} dir{'s' if layout > 1 else ''}", fn(row) if row else None))
            return vals

        def speedup(row: Row) -> float | None:
            return row.ratio("baseline", "module")

        def vs_floor(row: Row) -> float | None:
            return row.ratio("module", "floor")

        row = self.find("id typical", None, None)
        add("_compute_simulation_id, typical identity: >= 5x faster than baseline",
            [("typical", speedup(row) if row else None)], 5, True)
        note_big = "" if big >= 10_000 else f"measured at {big:,}; 10,000 only in the full run"
        for op in ("find hit", "find miss"):
            add(f"{op}, at rest, 10,000 results: >= 20x faster than baseline", per_layout(f"{op}, at rest", big, speedup), 20, True, note_big)

        def flat(op: str, want: float, what: str) -> None:
            # Side by side in the same rounds, the module on a big store and on a small one.
            add(f"{what}: module at 10,000 within {want:g}x of module at 100 (flat)",
                [(f"{big:,}/{small:,} in {where}", r) for where, r in
                 ((w.split(" in ", 1)[1], v) for w, v in per_layout(op, big, lambda r: r.ratio("module", SMALL)))],
                want, False, note_big)

        for op in ("find hit", "find miss"):
            flat(f"{op}, at rest", 2, f"{op}, at rest")
        add("find hit, at rest: no slower than diskcache get (module/diskcache <= 1)",
            per_layout("find hit, at rest", big, lambda r: r.ratio("module", "diskcache")), 1, False, note_big)
        flat("sweep step", 1.3, "sweep step (find miss + save)")
        add("sweep step, 10,000 results: no slower than diskcache get + set (module/diskcache <= 1)",
            per_layout("sweep step", big, lambda r: r.ratio("module", "diskcache")), 1, False, note_big)

        def against_rest(op: str, state: str) -> list[tuple[str, float | None]]:
            # Medians of two rows of this run: the module amid writes over the module at rest.
            vals = []
            for layout in (1, 5):
                busy, calm = self.find(f"{op}, {state}", big, layout), self.find(f"{op}, at rest", big, layout)
                if busy and calm and "module" in busy.stats and "module" in calm.stats:
                    vals.append((f"{big:,} in {layout} dir{'s' if layout > 1 else ''}",
                                 busy.stats["module"].median / calm.stats["module"].median))
            return vals

        for op in ("find hit", "find miss"):
            add(f"{op}, after save, 10,000 results: within 1.5x of the same lookup at rest",
                per_layout(f"{op}, after save", big, lambda r: r.ratio("module", REST)), 1.5, False,
                "at rest = the same save into another store first, then the lookup in a copy nobody writes (same rounds); "
                "against the back-to-back lookups of the 'at rest' row: "
                + ", ".join(f"{v:.2f}x in {w.split(' in ', 1)[1]}" for w, v in against_rest(op, "after save"))
                + ("" if not note_big else f"; {note_big}"))
            add(f"{op}, other writer, 10,000 results: within 1.5x of the same lookup at rest",
                per_layout(f"{op}, other writer", big, lambda r: r.ratio("module", REST)), 1.5, False,
                "at rest = the same lookups in a copy nobody writes (same rounds, same load); "
                "against the 'at rest' row, measured earlier: "
                + ", ".join(f"{v:.2f}x in {w.split(' in ', 1)[1]}" for w, v in against_rest(op, "other writer"))
                + ("" if not note_big else f"; {note_big}"))
        save_sizes = [(f"{s:,} in {layout} dir{'s' if layout > 1 else ''}", self.find("save", s, layout)) for s in self.cfg.sizes for layout in (1, 5)]
        add("save: >= 1.5x faster than baseline", [(w, speedup(r) if r else None) for w, r in save_sizes], 1.5, True)
        add("save: within 1.3x of the floor", [(w, vs_floor(r) if r else None) for w, r in save_sizes], 1.3, False,
            self.ceiling_note("save", save_sizes))
        add("list all, 1,000 results: >= 1.5x faster than baseline", per_layout("list all", at_1000, speedup), 1.5, True)
        add("list all, 1,000 results: within 1.25x of the floor", per_layout("list all", at_1000, vs_floor), 1.25, False,
            self.ceiling_note("list", [(w, self.find("list all", at_1000, l)) for w, l in (("1 dir", 1), ("5 dirs", 5))]))
        add("clear, 1,000 results: >= 10x faster than baseline", per_layout("clear", at_1000, speedup), 10, True)
        add("clear, 1,000 results: >= 8x faster than baseline", per_layout("clear", at_1000, speedup), 8, True,
            self.ceiling_note("clear", [(w, self.find("clear", at_1000, l)) for w, l in (("1 dir", 1), ("5 dirs", 5))]))
        return out

    @staticmethod
    def ceiling_note(what: str, rows: list[tuple[str, Row | None]]) -> str:
        """How much faster than the baseline anything can be while it pays the floor."""
        ratios = [r.ratio("baseline", "floor") for _, r in rows if r is not None]
        ceilings = [c for c in ratios if c is not None]
        if not ceilings:
            return ""
        return f"baseline/floor = {min(ceilings):.2f}x..{max(ceilings):.2f}x (the most any {what} can gain over the baseline)"

    def report_targets(self, targets: list[dict[str, Any]]) -> None:
        print()
        print("Targets (figures are the worst case over store layouts and sizes named)")
        for t in targets:
            verdict = {True: "PASS", False: "FAIL", None: "n/a "}[t["pass"]]
            measured = "-" if t["measured"] is None else f"{t['measured']:.2f}x"
            print(f"  {verdict}  {t['target']:<88} {measured:>8}  {t['where']}")
            if t["note"]:
                print(f"        {t['note']}")


def fmt_time(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            v = ns / scale
            return f"{v:.3g}{unit}" if v < 100 else f"{v:.0f}{unit}"
    return f"{ns:.0f}ns"


def fs_type(path: Path) -> str:
    """The file system type of the mount holding path, from /proc/self/mounts."""
    best, kind = "", "unknown"
    target = str(path.resolve())
    try:
        with open("/proc/self/mounts") as f:
            for line in f:
                parts = line.split()
                if len(parts) < 3:
                    continue
                mount = parts[1].replace("\\040", " ")
                if (target == mount or target.startswith(mount.rstrip("/") + "/")) and len(mount) >= len(best):
                    best, kind = mount, parts[2]
    except OSError:
        pass
    return kind


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if "--remote" in argv:  # a shared store on S3: benchmarks/remote.py
        import remote
        return remote.main([a for a in argv if a != "--remote"])
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="sizes 100 and 1,000, fewer rounds: under a minute")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    parser.add_argument("--dir", metavar="DIR", default=str(REPO / "build" / "bench-stores"),
                        help="where to build the stores (default: build/bench-stores)")
    parser.add_argument("--sizes", metavar="N,N", help="store sizes to run (default 100,1000,10000; quick 100,1000)")
    parser.add_argument("--rounds", type=int, help="rounds per operation (upper bound; a time budget may stop earlier)")
    parser.add_argument("--ops", metavar="OPS", help="comma-separated subset of: id,load,find,list,save,delete,sweep,clear,host")
    parser.add_argument("--keep", action="store_true", help="keep the stores afterwards")
    args = parser.parse_args(argv)

    quick = args.quick
    sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else ([100, 1000] if quick else [100, 1000, 10_000])
    cfg = Config(
        quick=quick,
        sizes=sorted(sizes),
        rounds=args.rounds or (7 if quick else 21),
        min_rounds=3 if quick else 5,  # a time budget stops a group after these
        target_ns=1e6 if quick else 5e6,
        budget_s=0.6 if quick else 8.0,
        single_cap_s=3.0 if quick else 20.0,
    )
    ops = set((args.ops or "id,load,find,list,save,delete,sweep,clear,host").split(","))

    logging.getLogger("corvina").setLevel(logging.WARNING)
    saved_dirs = (module.get_simulations_dir, baseline.get_simulations_dir)
    base = Path(args.dir)
    workdir = base / f"run-{os.getpid()}"
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    check_workload()

    started = time.monotonic()
    print("Simulation store benchmark" + (" (quick)" if quick else ""))
    print(f"  python {platform.python_version()}, {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}")
    print(f"  module {Path(module.__file__).name}")
    print(f"  stores in {workdir} ({fs_type(workdir)}); record files of {len(encode(record_data(0, 1, '0' * 16))):,} bytes")
    print(f"  diskcache {diskcache.__version__}, joblib {joblib.__version__}, orjson {orjson.__version__}")
    print("  times are medians per call with ± half the interquartile range; ratios are medians of per-round ratios")
    print("  base/mod = how many times faster the module is than the baseline; mod/floor and mod/dc: module time over floor and diskcache")
    print("  floors: id = model_dump; load = read+loads+validate; find hit = model_dump+read+loads+validate;")
    print("          find miss = model_dump; list = scandir+read+loads+validate per file+sort; save = model_dump+record+model_dump+dumps+write;")
    print("          delete = unlink; clear = list floor + unlink per file")
    print("  dirs = type directories the results are spread over; 'flat' targets compare the module on a big and a small")
    print("  store in the same rounds")
    print("  'at rest' rows: nothing written into the stores for 2 s before (waited out, no time moved); every other row")
    print("  runs amid writes: 'sweep step' = find (a miss) + save; 'after save' = a lookup right after a save (only the")
    print("  lookup timed); 'other writer' = lookups while another process saves into the same store")
    print()

    bench = Bench(cfg, workdir)
    bench.report_header()
    try:
        if "id" in ops:
            bench.bench_identity()
        previous_clear: dict[int, list[Row]] = {1: [], 5: []}
        for size in cfg.sizes:
            bench.grow(size)
            bench.rest()
            for types in (1, 5):
                bench.bench_store(types, ops, "rest")
            for types in (1, 5):
                bench.bench_store(types, ops, "use")
            if "clear" in ops:
                for types in (1, 5):
                    bench.bench_clear(types, warm=not previous_clear[types], previous=previous_clear[types])
                    done = bench.find("clear", size, types)
                    if done is not None:
                        previous_clear[types].append(done)
        if "host" in ops:
            bench.bench_host_calls()
    finally:
        module.get_simulations_dir, baseline.get_simulations_dir = saved_dirs
        bench.cache.close()
        if not args.keep:
            shutil.rmtree(workdir, ignore_errors=True)

    targets = bench.targets()
    bench.report_targets(targets)
    elapsed = time.monotonic() - started
    print(f"\n  finished in {elapsed:.0f} s ({bench.waited:.0f} s of it waiting for stores to come to rest), "
          f"load average {os.getloadavg()[0]:.2f}")

    if args.json:
        doc = {
            "meta": {
                "quick": quick,
                "python": platform.python_version(),
                "cpus": os.cpu_count(),
                "module": Path(module.__file__).name,
                "store_dir": str(base),
                "file_system": fs_type(base),
                "sizes": cfg.sizes,
                "at_rest": "waited until nothing was written for 2 s; no time moved",
                "seconds_waited_for_rest": round(bench.waited, 1),
                "seconds": round(elapsed, 1),
                "date": datetime.now(UTC).isoformat(),
            },
            "results": [
                {
                    "operation": row.op,
                    "size": row.size,
                    "type_dirs": row.layout,
                    "contenders": {name: s.as_json() for name, s in row.stats.items()},
                    "ratios": {
                        key: row.ratio(a, b)
                        for key, (a, b) in {
                            "baseline/module": ("baseline", "module"),
                            "literal/module": ("literal", "module"),
                            "module/floor": ("module", "floor"),
                            "module/diskcache": ("module", "diskcache"),
                            "module/module@small": ("module", SMALL),
                            "module/module@rest": ("module", REST),
                            "module/joblib": ("module", "joblib"),
                            "baseline/floor": ("baseline", "floor"),
                        }.items()
                        if row.ratio(a, b) is not None
                    },
                    "notes": row.notes,
                }
                for row in bench.rows
            ],
            "targets": targets,
            "host_calls": {name: st.as_json() for name, st in bench.host_calls.stats.items()} if bench.host_calls else {},
        }
        Path(args.json).write_text(orjson.dumps(doc, option=orjson.OPT_INDENT_2).decode() + "\n")
        print(f"  figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
