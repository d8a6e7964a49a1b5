"""``sync``: copy the results another store lacks or holds in an older version.

Files are copied byte for byte, so dates, PDK and versions travel unchanged.
Either side is a directory or a URL.
"""

from __future__ import annotations

import argparse
import pathlib
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, TypeAlias

from corvina import settings
from corvina.cli import common, store
from corvina.cli.common import compare_dates, count, format_bytes, format_date

if TYPE_CHECKING:
    from upath import UPath

    from corvina.models import StoredSimulationResult

    StorePath: TypeAlias = pathlib.Path | UPath

__all__ = ["run"]

_NEWER_THERE = "newer in destination"


@dataclass
class _Sync:
    copied: list[dict[str, Any]] = field(default_factory=list)
    kept: list[dict[str, Any]] = field(default_factory=list)
    identical: int = 0
    unreadable: list[dict[str, str]] = field(default_factory=list)
    failed: list[dict[str, str]] = field(default_factory=list)  # DEST could not take these


def _store_at(location: str) -> StorePath:
    # The same path object the store itself would be given for this location.
    with common.use_store(location):
        return settings.get_simulations_dir()


def _against(
    record: StoredSimulationResult, existing: bytes, relative: str
) -> tuple[str, dict[str, Any] | None]:
    """What copying would replace ("damaged" or "older"), and the entry for `kept` if nothing."""
    try:
        theirs = store.decode(existing)
    except Exception:
        return "damaged", None  # the store could not read it either
    order = compare_dates(record.simulation_date, theirs.simulation_date)
    if order > 0:
        return "older", None
    kept = {
        "path": relative,
        "source_date": record.simulation_date,
        "destination_date": theirs.simulation_date,
        "reason": "same date, other content" if order == 0 else _NEWER_THERE,
    }
    return "older", kept


def _sync(source: StorePath, dest: StorePath, filters: common.Filters, dry_run: bool) -> _Sync:
    outcome = _Sync()
    made: set[str] = set()
    # Names already in each destination directory, listed once: asking for
    # every missing file would cost a request each on object storage.
    present: dict[str, set[str]] = {}
    for type_name, name, path in store.result_files(source, filters["simulation_type"]):
        relative = f"{type_name}/{name}" if type_name else name
        try:
            data = path.read_bytes()
            record = store.decode(data)
        except Exception as exc:
            outcome.unreadable.append({"path": str(path), "error": store.why_unreadable(exc)})
            continue
        if not store.matches_filters(record, filters):
            continue
        # A file DEST cannot take (a name too long for it, a refused request)
        # is reported with the others; the rest are still copied.
        try:
            directory = dest / type_name if type_name else dest
            target = directory / name
            if type_name not in present:
                present[type_name] = {p.name for p in store.entries(directory)}
            existing: bytes | None = None
            if name in present[type_name]:
                try:
                    existing = target.read_bytes()
                except FileNotFoundError:  # removed since the listing
                    pass
            if existing == data:
                outcome.identical += 1
                continue
            replaces = "new"
            if existing is not None:
                replaces, kept = _against(record, existing, relative)
                if kept is not None:
                    outcome.kept.append(kept)
                    continue
            if not dry_run:
                if str(directory) not in made:
                    directory.mkdir(parents=True, exist_ok=True)
                    made.add(str(directory))
                store.write_atomically(target, data)
            outcome.copied.append({"path": relative, "simulation_id": record.simulation_id,
                                   "bytes": len(data), "replaces": replaces})
        except Exception as exc:
            outcome.failed.append({"path": relative, "error": common.describe_error(exc)})
    return outcome


def _same_store(a: StorePath, b: StorePath) -> bool:
    la, lb = store.local_path(a), store.local_path(b)
    if la is not None and lb is not None:
        ra, rb = la.resolve(), lb.resolve()
        return ra == rb or ra.is_relative_to(rb) or rb.is_relative_to(ra)
    return str(a).rstrip("/") == str(b).rstrip("/")


def _print_report(source: StorePath, dest: StorePath, outcome: _Sync, dry_run: bool) -> None:
    verb = "would copy" if dry_run else "copied"
    for item in outcome.copied:
        note = {"new": "", "older": ", replacing an older one",
                "damaged": ", replacing a damaged file"}[item["replaces"]]
        print(f"{verb} {item['path']} ({format_bytes(item['bytes'])}{note})")
    for item in outcome.kept:
        print(f"kept {item['path']}: {item['reason']} "
              f"({format_date(item['destination_date'])} there, "
              f"{format_date(item['source_date'])} here)")
    for item in outcome.unreadable:
        print(f"{item['path']}: {item['error']}; not copied")
    for item in outcome.failed:
        print(f"{item['path']}: {item['error']}; not copied")
    copied_bytes = sum(item["bytes"] for item in outcome.copied)
    same_date = sum(1 for item in outcome.kept if item["reason"] != _NEWER_THERE)
    counts = [f"{len(outcome.kept) - same_date:,} newer in destination (kept)"]
    if same_date:
        counts.append(f"{same_date:,} of the same date with other content (kept)")
    counts.append(f"{outcome.identical:,} identical")
    counts.append(f"{len(outcome.unreadable):,} unreadable in source")
    if outcome.failed:
        counts.append(f"{len(outcome.failed):,} could not be copied")
    print(f"{verb} {count(len(outcome.copied), 'result')} ({format_bytes(copied_bytes)}) "
          f"from {source} to {dest}: {', '.join(counts)}")


def run(args: argparse.Namespace) -> int:
    if getattr(args, "store", None) is not None:
        raise common.UsageError("sync names its stores as SOURCE and DEST, not with --store")
    source, dest = _store_at(args.source), _store_at(args.dest)
    if _same_store(source, dest):
        raise common.UsageError(
            f"SOURCE and DEST are the same store, or one lies inside the other: {source}, {dest}"
        )
    filters = common.filters_of(args)
    if filters["simulation_type"] is not None:
        store.check_type_name(filters["simulation_type"])
    outcome = _sync(source, dest, filters, args.dry_run) if source.exists() else _Sync()
    found = (outcome.copied or outcome.kept or outcome.identical or outcome.unreadable
             or outcome.failed)
    if args.json:
        common.print_json({
            "source": str(source),
            "destination": str(dest),
            "dry_run": args.dry_run,
            "copied": outcome.copied,
            "kept": outcome.kept,
            "identical": outcome.identical,
            "unreadable": outcome.unreadable,
            "failed": outcome.failed,
        })
    if not found:
        raise common.NotFound(
            f"no simulation results{common.describe_filters(filters)} in {source}"
        )
    if not args.json:
        _print_report(source, dest, outcome, args.dry_run)
    return common.EXIT_NOT_FOUND if outcome.unreadable or outcome.failed else common.EXIT_OK
