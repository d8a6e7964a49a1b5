"""Timing and rounds: how every benchmark row is measured, and how a scenario
is registered.

All contenders of a row run interleaved, round after round, in an order
shuffled anew each round, so that load from other processes hits all of them
alike; every figure is the median time of one call over the rounds, and a
ratio is the median of the per-round ratios.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import enum
import gc
import random
import resource
import statistics
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from benchmarks.workload import POOL

perf_ns = time.perf_counter_ns
SMALL = "module@small"  # the module on a store of the smallest size, in the same rounds
REST = "module@rest"  # the module on a copy of the store that nobody writes, in the same rounds


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

    def spread_percent(self) -> float:
        """Half the interquartile range, in percent of the median."""
        q1, q3 = self.quartiles()
        return (q3 - q1) / 2 / self.median * 100 if self.median else 0.0

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


def find_row(rows: list[Row], op: str, size: int | None, layout: int | None) -> Row | None:
    for row in rows:
        if row.op == op and row.size == size and row.layout == layout:
            return row
    return None


@dataclass
class Config:
    quick: bool
    sizes: list[int]
    rounds: int
    min_rounds: int
    target_ns: float
    budget_s: float
    single_cap_s: float


class Stage(enum.IntEnum):
    """When in a run a scenario goes, and what it is given."""

    START = 0  # once, before any store is filled: run(bench)
    AT_REST = 1  # per store size and layout, the stores at rest: run(bench, store)
    IN_USE = 2  # per store size and layout, after all rows at rest: run(bench, store)
    EMPTYING = 3  # per store size and layout, last (it empties copies): run(bench, store)
    END = 4  # once, after the largest stores: run(bench)


PER_STORE = (Stage.AT_REST, Stage.IN_USE, Stage.EMPTYING)


@dataclass(frozen=True)
class Scenario:
    """A family of rows: `op` is the word of --ops that selects it."""

    op: str
    stage: Stage
    run: Callable[..., None]


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


def _turn(c: Contender, k: int, checked: bool, fresh_heap: bool = False) -> float:
    """One timed batch of k calls between the contender's enter and leave;
    returns the time per call. A checked result that is wrong raises."""
    if c.enter:
        c.enter()
    if fresh_heap:
        gc.collect()
        malloc_trim()
    per, out = timed(c.batch, k)
    right = not checked or c.check is None or c.check(out)
    shown = "" if right else repr(out)[:80]
    del out  # a big listing must not stay alive through the next contender's turn
    if c.leave:
        c.leave(k)
    if not right:
        raise AssertionError(f"wrong result {shown}")
    return per


def _calls_per_sample(c: Contender, cfg: Config, warm: bool) -> int:
    """The contender's first call, checked (unless it is a single call and the
    row is not warmed), then enough calls per sample that one sample lasts
    about target_ns."""
    if c.single and not warm:
        return 1
    _turn(c, 1, checked=True)
    if c.single:
        return 1
    per = _turn(c, 1, checked=False)
    return max(1, min(POOL, int(cfg.target_ns / max(per, 1.0))))


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
            calls[name] = _calls_per_sample(c, cfg, warm)
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
                samples[name].append(_turn(c, calls[name], checked=c.single, fresh_heap=fresh_heap))
            except Exception as exc:
                row.notes.append(f"{name} failed in round {r + 1}: {type(exc).__name__}: {exc}")
                del live[name], samples[name]
    if DISK_READS[0] >= 2048:
        # Figures of files read from the device rather than from memory are not
        # comparable with the rest; say so rather than hide it.
        megabytes = DISK_READS[0] * 512 / 1e6
        row.notes.append(f"{megabytes:.1f} MB were read from the device while timing (page cache too small?)")
    for name in live:
        row.stats[name] = Stats(samples[name], calls[name])
    return row



def cycling(fn: Callable[..., Any], inputs: list[dict[str, Any]]) -> Callable[[int], Any]:
    """A batch of k calls fn(**inputs[j]), going round the inputs."""

    def batch(k: int) -> Any:
        out = None
        for j in range(k):
            out = fn(**inputs[j % len(inputs)])
        return out

    return batch
