"""Keeping a store healthy from the shell: prune, verify and sync.

    corvina-sims prune [FILTERS] [--older-than AGE] [--max-bytes SIZE] [--dry-run] [--yes]
    corvina-sims verify [--fix]
    corvina-sims sync SOURCE DEST [FILTERS] [--dry-run]

Results are listed, loaded and deleted through the store's public functions,
so these commands see what every program sees. What those functions cannot
do (look at files that are not results, copy a file byte for byte) works on
the store's own path objects, so a local directory and a store named by URL
behave alike.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import secrets
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from datetime import UTC, datetime, timedelta
from typing import TYPE_CHECKING, Any, TypeAlias

from corvina import settings
from corvina import simulations as cli

if TYPE_CHECKING:
    from upath import UPath

    from corvina.models import StoredSimulationResult

    StorePath: TypeAlias = pathlib.Path | UPath

__all__ = ["add_commands", "format_age", "format_bytes", "parse_age", "parse_size"]

# A save that has not renamed its temporary file after this long was killed.
LEFTOVER_AGE_S = 3600.0

# How saves name their temporary file: "." + result file name + "." + 16 hex + ".tmp".
_TEMPORARY = re.compile(r"\..+\.[0-9a-f]{16}\.tmp")
_RESULT_NAME = re.compile(r"(?P<component>.*)_(?P<id>[0-9a-f]{16})\.json")


# --- human units -----------------------------------------------------------------

_AGE_UNITS = {"s": 1, "m": 60, "min": 60, "h": 3600, "d": 86400, "w": 7 * 86400}
_NUMBER = r"(?:\d+(?:\.\d*)?|\.\d+)"
_AGE_PART = re.compile(rf"({_NUMBER})\s*(min|[smhdw])")
_AGE = re.compile(rf"(?:\s*{_NUMBER}\s*(?:min|[smhdw]))+\s*")
_SIZE = re.compile(rf"\s*({_NUMBER})\s*(?:([kmgtKMGT])(i?[bB])?|[bB])?\s*")


def parse_age(text: str) -> float:
    """Seconds in an age such as ``30d``, ``12h``, ``90min`` or ``1d12h``."""
    if not _AGE.fullmatch(text):
        raise argparse.ArgumentTypeError(
            f"{text!r} is not an age such as 30d, 12h, 90min or 1d12h (units: s, min, h, d, w)"
        )
    return sum(float(number) * _AGE_UNITS[unit] for number, unit in _AGE_PART.findall(text))


def parse_size(text: str) -> int:
    """Bytes in a size such as ``500M`` or ``2G`` (powers of 1024) or ``750KB`` (of 1000)."""
    match = _SIZE.fullmatch(text)
    if match is None:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a size such as 500M, 2G or 750KB "
            "(K, M, G, T count in 1024s, KB, MB, GB, TB in 1000s)"
        )
    number, prefix, suffix = match.groups()
    if prefix is None:
        return int(float(number))
    base = 1000 if suffix is not None and suffix.lower() == "b" else 1024
    return int(float(number) * base ** ("kmgt".index(prefix.lower()) + 1))


def format_bytes(size: int) -> str:
    if size < 1024:
        return f"{size} B"
    value = float(size)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        value /= 1024
        if value < 1024:
            break
    return f"{value:.1f} {unit}"


def format_age(seconds: float) -> str:
    if seconds < 0:
        return "future"  # a clock ahead of ours wrote it
    whole = int(seconds)
    for limit, unit, size in ((120, "s", 1), (7200, "min", 60), (2 * 86400, "h", 3600)):
        if whole < limit:
            return f"{whole // size} {unit}"
    return f"{whole // 86400} d"


def _count(number: int, noun: str) -> str:
    return f"{number:,} {noun}{'' if number == 1 else 's'}"


def _when(iso: str) -> datetime | None:
    try:
        when = datetime.fromisoformat(iso)
    except ValueError:
        return None
    return when.replace(tzinfo=UTC) if when.tzinfo is None else when


def _newer(left: str, right: str) -> int:
    """1, 0 or -1 as the date ``left`` is later than, equal to or earlier than ``right``."""
    a, b = _when(left), _when(right)
    if a is None or b is None:  # not ISO: the order the store's listing uses
        return (left > right) - (left < right)
    return (a > b) - (a < b)


# --- paths -----------------------------------------------------------------------


def _store_at(location: str) -> StorePath:
    # The same path object the store itself would be given for this location.
    with cli._store(location):
        return settings.get_simulations_dir()


def _entries(directory: StorePath) -> list[StorePath]:
    try:
        return list(directory.iterdir())
    except FileNotFoundError:  # removed while we walked
        return []
    except NotADirectoryError:
        # How object storage answers for a prefix that holds nothing.
        if directory.exists():
            raise
        return []


def _local(path: StorePath) -> pathlib.Path | None:
    """The local path of a store file, or None where the file is not on this machine."""
    if isinstance(path, pathlib.Path):
        return path
    if getattr(path, "protocol", None) in ("file", "local"):
        return pathlib.Path(path.path)
    return None


def _write_atomically(path: StorePath, data: bytes) -> None:
    local = _local(path)
    if local is None:
        # Object storage: one PUT of the whole object is atomic already.
        path.write_bytes(data)
        return
    # Named as the store names its own, so verify knows a leftover one.
    temporary = local.with_name(f".{local.name}.{secrets.token_hex(8)}.tmp")
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        with open(fd, "wb") as stream:
            stream.write(data)
        os.replace(temporary, local)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def _decode(data: bytes) -> StoredSimulationResult:
    # Exactly how the store reads a result file.
    import orjson

    from corvina.models import StoredSimulationResult

    return StoredSimulationResult.model_validate(orjson.loads(data))


def _why_unreadable(exc: Exception) -> str:
    import orjson
    import pydantic

    if isinstance(exc, orjson.JSONDecodeError):
        return f"does not parse as JSON: {exc}"
    if isinstance(exc, pydantic.ValidationError):
        errors = exc.errors()
        first = errors[0]
        where = ".".join(str(part) for part in first["loc"]) or "record"
        more = f" (and {_count(len(errors) - 1, 'more problem')})" if len(errors) > 1 else ""
        return f"is not a valid result record: {where}: {first['msg']}{more}"
    return f"cannot be read: {cli._describe(exc)}"


# --- prune -----------------------------------------------------------------------


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
        when = _when(record.simulation_date)
        age = None if when is None else (now - when).total_seconds()
        if older_than is not None and age is not None and age > older_than:
            chosen.append(_Candidate(record, size, f"older than {format_age(older_than)}", i))
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


def _remove(candidates: Sequence[_Candidate]) -> _Removal:
    from corvina.core import simulation_storage as storage

    outcome = _Removal()
    for candidate in candidates:
        planned = candidate.record
        # Read again right before removing: a result saved since the listing
        # is a new result, which the user has neither seen nor agreed to lose.
        try:
            current = storage.load_simulation_result(planned.simulation_id)
        except Exception:
            outcome.saved_again += 1  # damaged since it was listed: not what was agreed to
            continue
        if current is None:
            outcome.gone += 1
        elif current != planned:
            outcome.saved_again += 1
        elif storage.delete_simulation_result(planned.simulation_id):
            outcome.removed += 1
            outcome.removed_bytes += candidate.size
        else:
            outcome.gone += 1
    return outcome


def _print_plan(candidates: Sequence[_Candidate], now: datetime, heading: str) -> None:
    print(heading)
    headers = ["ID", "COMPONENT", "TYPE", "STATUS", "DATE (UTC)", "AGE", "SIZE", "REASON"]
    rows = [
        [
            c.record.simulation_id, c.record.component_name, c.record.simulation_type,
            cli._status_text(c.record.status), cli._format_date(c.record.simulation_date),
            _age_of(c.record.simulation_date, now), format_bytes(c.size), c.reason,
        ]
        for c in candidates
    ]
    print(cli._table(headers, rows, right=frozenset({5, 6})))


def _age_of(iso: str, now: datetime) -> str:
    when = _when(iso)
    return "?" if when is None else format_age((now - when).total_seconds())


def _cmd_prune(args: argparse.Namespace) -> int:
    filters = cli._filters(args, *cli._LIST_FILTERS)
    filtered = any(value is not None for value in filters.values())
    if args.older_than is None and args.max_bytes is None and not filtered:
        raise cli.UsageError(
            "say what to prune: --older-than, --max-bytes and/or filters such as --status error"
        )
    records = cli._listed(filters)
    sizes = [cli._record_size(r) for r in records]
    now = datetime.now(UTC)
    candidates = _plan_prune(
        records, sizes, older_than=args.older_than, max_bytes=args.max_bytes, now=now
    )
    store = cli._store_label()
    scope = "the filtered part" if filtered else "the store"
    total, planned = sum(sizes), sum(c.size for c in candidates)
    if not args.json and candidates:
        verb = "would remove" if args.dry_run else "removing"
        heading = (f"{verb} {_count(len(candidates), 'result')} ({format_bytes(planned)}) "
                   f"of {len(records):,} ({format_bytes(total)}) in {store}:")
        _print_plan(candidates, now, heading)

    outcome = _Removal()
    if candidates and not args.dry_run:
        question = (f"remove {_count(len(candidates), 'simulation result')} "
                    f"({format_bytes(planned)}) from {store}?")
        if not args.yes and not cli._confirm(question):
            raise cli.Declined("nothing was removed")
        outcome = _remove(candidates)

    if args.json:
        cli.print_json({
            "store": store,
            "dry_run": args.dry_run,
            "results": [
                {
                    "simulation_id": c.record.simulation_id,
                    "component_name": c.record.component_name,
                    "simulation_type": c.record.simulation_type,
                    "status": cli._status_text(c.record.status),
                    "simulation_date": c.record.simulation_date,
                    "bytes": c.size,
                    "reason": c.reason,
                }
                for c in candidates
            ],
            "removed": outcome.removed,
            "removed_bytes": outcome.removed_bytes,
            "skipped_saved_again": outcome.saved_again,
            "already_gone": outcome.gone,
            "remaining": len(records) - outcome.removed,
            "remaining_bytes": total - outcome.removed_bytes,
        })
    if not candidates:
        raise cli.NotFound(f"nothing to prune in {store}: {scope} keeps its "
                           f"{_count(len(records), 'result')} ({format_bytes(total)})")
    if args.dry_run:
        if not args.json:
            print(f"dry run: nothing was removed; {scope} would keep "
                  f"{_count(len(records) - len(candidates), 'result')} "
                  f"({format_bytes(total - planned)})")
        return cli.EXIT_OK
    if not args.json:
        line = (f"removed {_count(outcome.removed, 'simulation result')} "
                f"({format_bytes(outcome.removed_bytes)}); {scope} keeps "
                f"{_count(len(records) - outcome.removed, 'result')} "
                f"({format_bytes(total - outcome.removed_bytes)})")
        if outcome.saved_again:
            skipped = _count(outcome.saved_again, "result")
            line += f"; skipped {skipped} saved again since prune read it"
        if outcome.gone:
            line += f"; {outcome.gone:,} already gone"
        print(line)
    return cli.EXIT_OK if outcome.removed else cli.EXIT_NOT_FOUND


# --- verify ----------------------------------------------------------------------


@dataclass(frozen=True)
class Problem:
    path: str
    kind: str
    message: str


@dataclass
class _Verification:
    root: StorePath
    fix: bool
    now: float = field(default_factory=lambda: datetime.now(UTC).timestamp())
    files: int = 0
    results: int = 0
    in_progress: int = 0
    problems: list[Problem] = field(default_factory=list)
    fixed: list[str] = field(default_factory=list)
    first_file_of: dict[str, str] = field(default_factory=dict)

    def report(self, path: StorePath, kind: str, message: str) -> None:
        self.problems.append(Problem(str(path), kind, message))

    def run(self) -> None:
        for entry in _entries(self.root):
            if entry.is_dir():
                for inner in _entries(entry):
                    self.entry(inner, entry.name)
            else:
                self.entry(entry, None)

    def entry(self, path: StorePath, type_dir: str | None) -> None:
        """One file below the store; ``type_dir`` None for one directly in it."""
        self.files += 1
        name = path.name
        if name.endswith(".json"):
            # Results of the empty simulation type lie directly in the store.
            self.result(path, type_dir or "")
        elif _TEMPORARY.fullmatch(name):
            self.temporary(path)
        elif type_dir is None:
            self.report(path, "stray", "not part of the layout: a file directly in the store")
        elif path.is_dir():
            self.report(path, "stray",
                        "a directory inside a type directory: the store never looks there")
        else:
            self.report(path, "stray", "not a result file (those are named <component>_<id>.json)")

    def result(self, path: StorePath, type_dir: str) -> None:
        from corvina.core import simulation_storage as storage

        try:
            data = path.read_bytes()
        except OSError as exc:
            if path.is_dir():
                self.report(path, "stray", "a directory named like a result file")
            else:
                self.report(path, "unreadable", f"cannot be read: {cli._describe(exc)}")
            return
        try:
            record = _decode(data)
        except Exception as exc:
            self.report(path, "unreadable", _why_unreadable(exc))
            return
        self.results += 1
        ident = record.simulation_id
        try:
            computed = storage._compute_simulation_id(
                record.component_name, record.factory_name, record.component_settings,
                record.model_parameters, record.hyperparameters, record.simulation_type,
            )
        except Exception as exc:
            self.report(path, "id-mismatch", f"its identity has no ID: {cli._describe(exc)}")
        else:
            if ident != computed:
                self.report(path, "id-mismatch", f"simulation_id {ident} is not the ID "
                            f"of its identity fields ({computed})")
        expected = f"{record.component_name}_{ident}.json"
        named = _RESULT_NAME.fullmatch(path.name)
        if named is None:
            self.report(path, "misnamed", "not named <component>_<id>.json, so the store "
                        f"cannot find it by ID (expected {expected})")
        else:
            if named["id"] != ident:
                self.report(path, "misnamed",
                            f"file name carries ID {named['id']}, the record {ident}")
            if named["component"] != record.component_name:
                self.report(path, "misnamed", f"named for component {named['component']!r}, "
                            f"the record is of {record.component_name!r}")
        if type_dir != record.simulation_type:
            where = f"type directory {type_dir!r}" if type_dir else "the store's top directory"
            self.report(path, "misplaced",
                        f"lies in {where}, its simulation_type is {record.simulation_type!r}")
        first = self.first_file_of.setdefault(ident, str(path))
        if first != str(path):
            self.report(path, "duplicate", f"simulation ID {ident} is also stored in {first}")

    def temporary(self, path: StorePath) -> None:
        try:
            age: float | None = self.now - path.stat().st_mtime
        except FileNotFoundError:  # its save has just finished
            return
        except Exception:
            age = None  # no time known: on object storage nothing writes these
        if age is not None and age < LEFTOVER_AGE_S:
            self.in_progress += 1  # a save at work right now
            return
        how_old = "" if age is None else f", {format_age(age)} old"
        if self.fix:
            try:
                path.unlink()
            except FileNotFoundError:
                return
            except OSError as exc:
                self.report(path, "leftover", f"temporary file of an interrupted save{how_old}; "
                            f"cannot remove it: {cli._describe(exc)}")
                return
            self.fixed.append(str(path))
            return
        self.report(path, "leftover", f"temporary file of an interrupted save{how_old}")


def _cmd_verify(args: argparse.Namespace) -> int:
    root = settings.get_simulations_dir()
    if not root.exists():
        if args.json:
            cli.print_json({"store": str(root), "files": 0, "results": 0,
                         "problems": [], "removed": []})
        raise cli.NotFound(f"no store at {root}")
    check = _Verification(root, fix=args.fix)
    check.run()
    if args.json:
        cli.print_json({
            "store": str(root),
            "files": check.files,
            "results": check.results,
            "problems": [vars(p) for p in check.problems],
            "removed": check.fixed,
            "saves_in_progress": check.in_progress,
        })
    else:
        for problem in check.problems:
            print(f"{problem.path}: {problem.message}")
        for path in check.fixed:
            print(f"{path}: removed (temporary file of an interrupted save)")
        summary = (f"{root}: {_count(check.files, 'file')} checked, "
                   f"{_count(check.results, 'result')}, "
                   f"{_count(len(check.problems), 'problem') if check.problems else 'no problems'}")
        if check.fixed:
            summary += f", {_count(len(check.fixed), 'leftover temporary file')} removed"
        if check.in_progress:
            summary += f" ({_count(check.in_progress, 'save')} in progress)"
        print(summary)
    return cli.EXIT_NOT_FOUND if check.problems else cli.EXIT_OK


# --- sync ------------------------------------------------------------------------


def _result_files(
    root: StorePath, simulation_type: str | None
) -> Iterator[tuple[str, str, StorePath]]:
    """(type directory, file name, path) of every result file, walked as the listing walks."""
    if simulation_type:
        directories = [(simulation_type, root / simulation_type)]
        loose: list[StorePath] = []
    else:
        entries = _entries(root)
        directories = [] if simulation_type == "" else [(e.name, e) for e in entries if e.is_dir()]
        loose = [e for e in entries if e.name.endswith(".json") and not e.is_dir()]
    for path in loose:
        yield "", path.name, path
    for type_name, directory in directories:
        for path in _entries(directory):
            if path.name.endswith(".json"):
                yield type_name, path.name, path


_NEWER_THERE = "newer in destination"


@dataclass
class _Sync:
    copied: list[dict[str, Any]] = field(default_factory=list)
    kept: list[dict[str, Any]] = field(default_factory=list)
    identical: int = 0
    unreadable: list[dict[str, str]] = field(default_factory=list)


def _sync(
    source: StorePath, dest: StorePath, filters: dict[str, str | None], dry_run: bool
) -> _Sync:
    from corvina.core import simulation_storage as storage

    outcome = _Sync()
    made: set[str] = set()
    # Names already in each destination directory, listed once: asking for
    # every missing file would cost a request each on object storage.
    present: dict[str, set[str]] = {}
    for type_name, name, path in _result_files(source, filters["simulation_type"]):
        relative = f"{type_name}/{name}" if type_name else name
        try:
            data = path.read_bytes()
            record = _decode(data)
        except Exception as exc:
            outcome.unreadable.append({"path": str(path), "error": _why_unreadable(exc)})
            continue
        if not storage._matches_filters(record, filters["component_name"], filters["factory_name"],
                                        filters["pdk_name"], filters["status"]):
            continue
        directory = dest / type_name if type_name else dest
        target = directory / name
        if type_name not in present:
            present[type_name] = {p.name for p in _entries(directory)}
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
            try:
                theirs: StoredSimulationResult | None = _decode(existing)
            except Exception:
                theirs = None  # damaged: the store could not read it either
            replaces = "damaged" if theirs is None else "older"
            if theirs is not None and _newer(record.simulation_date, theirs.simulation_date) <= 0:
                same = _newer(record.simulation_date, theirs.simulation_date) == 0
                outcome.kept.append({
                    "path": relative,
                    "source_date": record.simulation_date,
                    "destination_date": theirs.simulation_date,
                    "reason": "same date, other content" if same else _NEWER_THERE,
                })
                continue
        if not dry_run:
            if str(directory) not in made:
                directory.mkdir(parents=True, exist_ok=True)
                made.add(str(directory))
            _write_atomically(target, data)
        outcome.copied.append({"path": relative, "simulation_id": record.simulation_id,
                               "bytes": len(data), "replaces": replaces})
    return outcome


def _same_store(a: StorePath, b: StorePath) -> bool:
    la, lb = _local(a), _local(b)
    if la is not None and lb is not None:
        ra, rb = la.resolve(), lb.resolve()
        return ra == rb or ra.is_relative_to(rb) or rb.is_relative_to(ra)
    return str(a).rstrip("/") == str(b).rstrip("/")


def _cmd_sync(args: argparse.Namespace) -> int:
    if getattr(args, "store", None) is not None:
        raise cli.UsageError("sync names its stores as SOURCE and DEST, not with --store")
    source, dest = _store_at(args.source), _store_at(args.dest)
    if _same_store(source, dest):
        raise cli.UsageError(
            f"SOURCE and DEST are the same store, or one lies inside the other: {source}, {dest}"
        )
    filters = cli._filters(args, *cli._LIST_FILTERS)
    outcome = _sync(source, dest, filters, args.dry_run) if source.exists() else _Sync()
    found = outcome.copied or outcome.kept or outcome.identical or outcome.unreadable
    if args.json:
        cli.print_json({
            "source": str(source),
            "destination": str(dest),
            "dry_run": args.dry_run,
            "copied": outcome.copied,
            "kept": outcome.kept,
            "identical": outcome.identical,
            "unreadable": outcome.unreadable,
        })
    if not found:
        raise cli.NotFound(f"no simulation results{cli._describe_filters(filters)} in {source}")
    if not args.json:
        verb = "would copy" if args.dry_run else "copied"
        for item in outcome.copied:
            note = {"new": "", "older": ", replacing an older one",
                    "damaged": ", replacing a damaged file"}[item["replaces"]]
            print(f"{verb} {item['path']} ({format_bytes(item['bytes'])}{note})")
        for item in outcome.kept:
            print(f"kept {item['path']}: {item['reason']} "
                  f"({cli._format_date(item['destination_date'])} there, "
                  f"{cli._format_date(item['source_date'])} here)")
        for item in outcome.unreadable:
            print(f"{item['path']}: {item['error']}; not copied")
        copied_bytes = sum(item["bytes"] for item in outcome.copied)
        same_date = sum(1 for item in outcome.kept if item["reason"] != _NEWER_THERE)
        counts = [f"{len(outcome.kept) - same_date:,} newer in destination (kept)"]
        if same_date:
            counts.append(f"{same_date:,} of the same date with other content (kept)")
        counts.append(f"{outcome.identical:,} identical")
        counts.append(f"{len(outcome.unreadable):,} unreadable in source")
        print(f"{verb} {_count(len(outcome.copied), 'result')} ({format_bytes(copied_bytes)}) "
              f"from {source} to {dest}: {', '.join(counts)}")
    return cli.EXIT_NOT_FOUND if outcome.unreadable else cli.EXIT_OK


# --- the commands ----------------------------------------------------------------


def add_commands(commands: Any, common: argparse.ArgumentParser) -> None:
    """Add prune, verify and sync to the command line's subcommands."""
    as_json = {"action": "store_true", "help": "the report as a JSON object"}

    cmd = commands.add_parser(
        "prune", parents=[common],
        help="remove old results, failed runs, or the oldest beyond a size",
        description="Remove the results that pass the filters and are older than AGE, then "
        "the oldest until what passes the filters holds at most SIZE. A result saved again "
        "after prune read the store is never removed.",
    )
    cli._add_filters(cmd)
    cmd.add_argument("--older-than", metavar="AGE", type=parse_age,
                     help="results saved more than AGE ago: 30d, 12h, 90min, 1d12h")
    cmd.add_argument("--max-bytes", metavar="SIZE", type=parse_size,
                     help="then the oldest until at most SIZE remain: 500M, 2G "
                     "(K, M, G count in 1024s; KB, MB, GB in 1000s)")
    cmd.add_argument("-n", "--dry-run", action="store_true", help="only show what would be removed")
    cmd.add_argument("-y", "--yes", action="store_true", help="do not ask before removing")
    cmd.add_argument("--json", **as_json)
    cmd.set_defaults(func=_cmd_prune)

    cmd = commands.add_parser(
        "verify", parents=[common], help="check every file of the store; exit 1 on problems",
        description="Read the whole store and report, one line each, files that do not parse or "
        "validate, records whose ID is not that of their identity or of their file name, files in "
        "the wrong type directory or named for another component, temporary files of "
        "interrupted saves (older than an hour) and stray files.",
    )
    cmd.add_argument("--fix", action="store_true",
                     help="remove leftover temporary files (and only those)")
    cmd.add_argument("--json", **as_json)
    cmd.set_defaults(func=_cmd_verify)

    cmd = commands.add_parser(
        "sync", parents=[common], help="copy results another store lacks or holds older",
        description="Copy to DEST, byte for byte, every result of SOURCE that DEST lacks or holds "
        "in an older version (by simulation date). Each is a directory or a URL.",
    )
    cmd.add_argument("source", metavar="SOURCE",
                     help="the store to copy from: a directory or a URL")
    cmd.add_argument("dest", metavar="DEST", help="the store to copy to: a directory or a URL")
    cli._add_filters(cmd)
    cmd.add_argument("-n", "--dry-run", action="store_true", help="only show what would be copied")
    cmd.add_argument("--json", **as_json)
    cmd.set_defaults(func=_cmd_sync)
