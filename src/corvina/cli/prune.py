"""``prune``: remove old results, failed runs, or the oldest beyond a size.

Ages and sizes are those of the records (their ``simulation_date``, and the
bytes `stats` counts), not file times, so a store copied elsewhere prunes
alike.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import TYPE_CHECKING

from corvina.cli import common
from corvina.cli.common import count, format_bytes
from corvina.cli.store import record_size, why_unreadable

if TYPE_CHECKING:
    from corvina.models import StoredSimulationResult

__all__ = ["run"]


@dataclass
class _Candidate:
    record: StoredSimulationResult
    size: int
    reason: str
    position: int  # in the listing, newest first


def _plan_prune(
    records: Sequence[StoredSimulationResult],
    sizes: Sequence[int],
    *,
    older_than: float | None,
    max_bytes: int | None,
    now: datetime,
) -> list[_Candidate]:
    """What to remove, oldest first. ``records`` come newest first, as listed."""
    listed = list(enumerate(zip(records, sizes, strict=True)))
    if older_than is None and max_bytes is None:  # the filters alone choose
        return [_Candidate(r, size, "matches the filters", i) for i, (r, size) in reversed(listed)]
    chosen: list[_Candidate] = []
    kept = []
    for i, (record, size) in listed:
        when = common.parse_date(record.simulation_date)
        age = None if when is None else (now - when).total_seconds()
        if older_than is not None and age is not None and age > older_than:
            chosen.append(
                _Candidate(record, size, f"older than {common.format_age(older_than)}", i)
            )
        else:
            kept.append((i, record, size))
    if max_bytes is not None:
        total = sum(size for _, _, size in kept)
        for i, record, size in reversed(kept):
            if total <= max_bytes:
                break
            chosen.append(_Candidate(record, size, f"over {format_bytes(max_bytes)}", i))
            total -= size
    return sorted(chosen, key=lambda c: -c.position)


@dataclass
class _Removal:
    removed: int = 0
    removed_bytes: int = 0
    saved_again: int = 0
    gone: int = 0
    # Results prune could not check or remove, with why; they stay.
    failed: list[dict[str, str]] = field(default_factory=list)


def _remove(candidates: Sequence[_Candidate]) -> _Removal:
    from corvina.core import simulation_storage as storage

    outcome = _Removal()
    for candidate in candidates:
        planned = candidate.record
        # Read again right before removing: a result saved since the listing
        # is a new result, which the user has neither seen nor agreed to lose.
        # A reading that fails (a refused or throttled request, a file
        # damaged since) says nothing about a new save: the result stays, and
        # the user is told why, not that it was saved again.
        try:
            current = storage.load_simulation_result(planned.simulation_id)
        except Exception as exc:
            outcome.failed.append({"simulation_id": planned.simulation_id,
                                   "error": f"{why_unreadable(exc)}; not removed"})
            continue
        if current is None:
            outcome.gone += 1
            continue
        if current != planned:
            outcome.saved_again += 1
            continue
        try:
            deleted = storage.delete_simulation_result(planned.simulation_id)
        except Exception as exc:
            outcome.failed.append({"simulation_id": planned.simulation_id,
                                   "error": f"cannot be removed: {common.describe_error(exc)}"})
            continue
        if deleted:
            outcome.removed += 1
            outcome.removed_bytes += candidate.size
        else:
            outcome.gone += 1
    return outcome


@dataclass
class _Plan:
    """What prune found: the part of the store it looked at, and what it would remove."""

    records: list[StoredSimulationResult]
    sizes: list[int]
    candidates: list[_Candidate]
    now: datetime
    store: str
    scope: str

    @property
    def total(self) -> int:
        return sum(self.sizes)

    @property
    def planned(self) -> int:
        return sum(c.size for c in self.candidates)


def _print_plan(plan: _Plan, dry_run: bool) -> None:
    verb = "would remove" if dry_run else "removing"
    print(f"{verb} {count(len(plan.candidates), 'result')} ({format_bytes(plan.planned)}) "
          f"of {len(plan.records):,} ({format_bytes(plan.total)}) in {plan.store}:")
    headers = ["ID", "COMPONENT", "TYPE", "STATUS", "DATE (UTC)", "AGE", "SIZE", "REASON"]
    rows = [
        [
            c.record.simulation_id, c.record.component_name, c.record.simulation_type,
            common.status_text(c.record.status), common.format_date(c.record.simulation_date),
            common.age_of(c.record.simulation_date, plan.now), format_bytes(c.size), c.reason,
        ]
        for c in plan.candidates
    ]
    print(common.table(headers, rows, right=frozenset({5, 6})))


def _print_json(plan: _Plan, outcome: _Removal, dry_run: bool) -> None:
    common.print_json({
        "store": plan.store,
        "dry_run": dry_run,
        "results": [
            {
                "simulation_id": c.record.simulation_id,
                "component_name": c.record.component_name,
                "simulation_type": c.record.simulation_type,
                "status": common.status_text(c.record.status),
                "simulation_date": c.record.simulation_date,
                "bytes": c.size,
                "reason": c.reason,
            }
            for c in plan.candidates
        ],
        "removed": outcome.removed,
        "removed_bytes": outcome.removed_bytes,
        "skipped_saved_again": outcome.saved_again,
        "already_gone": outcome.gone,
        "failed": outcome.failed,
        "remaining": len(plan.records) - outcome.removed,
        "remaining_bytes": plan.total - outcome.removed_bytes,
    })


def _summary(plan: _Plan, outcome: _Removal, dry_run: bool) -> str:
    if dry_run:
        return (f"dry run: nothing was removed; {plan.scope} would keep "
                f"{count(len(plan.records) - len(plan.candidates), 'result')} "
                f"({format_bytes(plan.total - plan.planned)})")
    parts = [
        f"removed {count(outcome.removed, 'simulation result')} "
        f"({format_bytes(outcome.removed_bytes)})",
        f"{plan.scope} keeps {count(len(plan.records) - outcome.removed, 'result')} "
        f"({format_bytes(plan.total - outcome.removed_bytes)})",
    ]
    if outcome.saved_again:
        skipped = count(outcome.saved_again, "result")
        parts.append(f"skipped {skipped} saved again since prune read it")
    if outcome.gone:
        parts.append(f"{outcome.gone:,} already gone")
    if outcome.failed:
        parts.append(f"{count(len(outcome.failed), 'result')} could not be removed")
    return "; ".join(parts)


def _plan(args: argparse.Namespace) -> _Plan:
    filters = common.filters_of(args)
    filtered = common.is_filtered(filters)
    if args.older_than is None and args.max_bytes is None and not filtered:
        raise common.UsageError(
            "say what to prune: --older-than, --max-bytes and/or filters such as --status error"
        )
    try:
        records = common.listed(filters)
    except common.NotFound:
        if not args.json:
            raise
        # --json always prints its document: here an empty one, and the
        # listing's own message and exit status follow it.
        empty = _Plan([], [], [], datetime.now(UTC), common.store_label(), "")
        _print_json(empty, _Removal(), args.dry_run)
        raise
    sizes = [record_size(r) for r in records]
    now = datetime.now(UTC)
    candidates = _plan_prune(
        records, sizes, older_than=args.older_than, max_bytes=args.max_bytes, now=now
    )
    scope = "the filtered part" if filtered else "the store"
    return _Plan(records, sizes, candidates, now, common.store_label(), scope)


def run(args: argparse.Namespace) -> int:
    plan = _plan(args)
    if not args.json and plan.candidates:
        _print_plan(plan, args.dry_run)
    outcome = _Removal()
    if plan.candidates and not args.dry_run:
        question = (f"remove {count(len(plan.candidates), 'simulation result')} "
                    f"({format_bytes(plan.planned)}) from {plan.store}?")
        common.agree(question, yes=args.yes, declined="nothing was removed")
        outcome = _remove(plan.candidates)
    if args.json:
        _print_json(plan, outcome, args.dry_run)
    if not plan.candidates:
        raise common.NotFound(f"nothing to prune in {plan.store}: {plan.scope} keeps its "
                              f"{count(len(plan.records), 'result')} ({format_bytes(plan.total)})")
    if not args.json:
        for failure in outcome.failed:
            print(f"{failure['simulation_id']}: {failure['error']}")
        print(_summary(plan, outcome, args.dry_run))
    if args.dry_run:
        return common.EXIT_OK
    if outcome.failed:
        return common.EXIT_NOT_FOUND
    return common.EXIT_OK if outcome.removed else common.EXIT_NOT_FOUND

