"""What the results browser asks of the store, as plain data for its JSON API.

Every answer goes through the store's public functions and the command
line's own pieces: the query text is parsed by `corvina.cli.where` (the
``--where`` forms and the JSON form), checked and run by the store, exported
by `corvina.cli.export`, and claims are read and judged as ``running`` does.
Nothing here decides what a query matches or how it sorts.

Errors a user can fix raise `BadRequest` with a message meant for them (the
store's own words where the store refused); a result that is not there
raises `Missing`.
"""

from __future__ import annotations

import hashlib
import math
import os
import pathlib
import re
import secrets
import tempfile
import threading
import time
from collections import OrderedDict
from concurrent.futures import Future
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any

from corvina.cli import common, store, where
from corvina.spectra import plottable_series

if TYPE_CHECKING:
    from corvina.cli.store import StorePath
    from corvina.models import StoredSimulationResult

__all__ = [
    "EXPORT_FORMATS",
    "MAX_LIMIT",
    "MAX_OVERLAY",
    "MAX_QUERY_CHARS",
    "MAX_REGEX_CHARS",
    "BadRequest",
    "Browser",
    "Missing",
    "parse_where",
]

ID = store.ID
# A regular expression is compiled and run against every record; Python's
# engine has no time limit, so the length of what a page may send is bounded.
MAX_REGEX_CHARS = 256
MAX_QUERY_CHARS = 20_000
DEFAULT_LIMIT = 50
MAX_LIMIT = 10_000
# The most results one overlay draws (and "all matches" selects).
MAX_OVERLAY = 500
# Answers to queries (their records) kept for paging, sorting back and other
# columns, while they hold at most this many records together (the newest
# answer is kept whatever its size).
CACHED_RECORDS = 20_000
EXPORT_FORMATS = {"csv": ".csv", "jsonl": ".jsonl", "parquet": ".parquet"}
# The record's fields a row always carries, whatever columns are shown.
ROW_FIELDS = ("simulation_id", "status", "error_message", "simulation_date")
IDENTITY_NAMES = ("component_name", "factory_name", "simulation_type")
NESTED_IDENTITY = ("component_settings", "model_parameters", "hyperparameters")
METADATA = ("status", "simulation_date", "execution_time_seconds", "pdk_name", "pdk_version",
            "corvina_version", "error_message")
UNCOMPARED = ("simulation_date", "execution_time_seconds", "corvina_version")


class BadRequest(ValueError):
    """The request asks for something the store refuses; the message says why."""


class Missing(LookupError):
    """No result with that ID in the store."""


# --- queries ------------------------------------------------------------------------


def _regex_lengths(query: Any) -> Iterable[int]:
    """The length of every ``$regex`` pattern in a query, found without recursion."""
    stack = [query]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            for key, value in item.items():
                if key == "$regex" and isinstance(value, str):
                    yield len(value)
                else:
                    stack.append(value)
        elif isinstance(item, list):
            stack.extend(item)


def parse_where(texts: Sequence[str]) -> dict[str, Any] | None:
    """The query the page's ``where`` texts make together (None: none), checked by the store.

    A text is the JSON form (it starts with ``{``) or ``--where``
    expressions, several separated by ``;`` or new lines; a line of its own
    that starts with ``{`` is the JSON form too. Every part must hold.
    """
    parts: list[dict[str, Any]] = []
    try:
        for text in texts:
            if len(text) > MAX_QUERY_CHARS:
                raise BadRequest(f"the query is longer than {MAX_QUERY_CHARS:,} characters")
            stripped = text.strip()
            if stripped.startswith("{"):
                parts.append(where.parse_json_query(stripped))
                continue
            for line in stripped.splitlines():
                line = line.strip()
                if line.startswith("{"):
                    parts.append(where.parse_json_query(line))
                    continue
                parts.extend(where.parse_expression(piece) for piece in line.split(";") if piece.strip())
    except RecursionError:
        raise BadRequest("the query is nested too deeply") from None
    except BadRequest:
        raise
    except ValueError as exc:
        raise BadRequest(str(exc)) from None
    query = where.combine(parts)
    if query is None:
        return None
    longest = max(_regex_lengths(query), default=0)
    if longest > MAX_REGEX_CHARS:
        raise BadRequest(
            f"a regular expression of {longest:,} characters is longer than the "
            f"{MAX_REGEX_CHARS} this browser runs"
        )
    from corvina.core import simulation_storage as storage

    try:
        storage.check_query(query)
    except RecursionError:
        raise BadRequest("the query is nested too deeply") from None
    except ValueError as exc:
        raise BadRequest(str(exc)) from None
    return query


def parse_fields(text: str | None) -> list[str] | None:
    """``fields=a,b.c``: paths a query could name, in order (None: the default columns)."""
    if text is None or not text.strip():
        return None
    try:
        paths = where.parse_columns(text)
    except ValueError as exc:
        raise BadRequest(str(exc)) from None
    from corvina.cli import queries

    try:
        queries.check_paths(paths, option="fields")
    except common.UsageError as exc:
        raise BadRequest(str(exc)) from None
    return paths


def parse_ids(text: str | None) -> list[str]:
    """``select=ID,ID``: full 16-hex IDs, in order, without repeats."""
    if not text:
        return []
    ids = [part.strip() for part in text.split(",") if part.strip()]
    bad = [i for i in ids if not ID.fullmatch(i)]
    if bad:
        raise BadRequest(f"{bad[0][:40]!r} is not a simulation ID ({common.ID_LENGTH} lowercase hexadecimal digits)")
    ids = list(dict.fromkeys(ids))
    if len(ids) > MAX_OVERLAY:
        raise BadRequest(f"{len(ids):,} results selected: at most {MAX_OVERLAY} at once")
    return ids


def parse_count(text: str | None, name: str, default: int, lowest: int, highest: int) -> int:
    if text is None or text == "":
        return default
    try:
        number = int(text)
    except ValueError:
        raise BadRequest(f"{name}={text[:40]!r} is not a whole number") from None
    if not lowest <= number <= highest:
        raise BadRequest(f"{name} must lie between {lowest:,} and {highest:,}")
    return number


# --- records as rows ------------------------------------------------------------------


def record_view(record: StoredSimulationResult) -> dict[str, Any]:
    """The record as its JSON form, without copying its contents (for picking paths)."""
    return {
        "component_name": record.component_name,
        "factory_name": record.factory_name,
        "component_settings": record.component_settings,
        "model_parameters": record.model_parameters,
        "hyperparameters": record.hyperparameters.model_dump(),
        "simulation_type": record.simulation_type,
        "simulation_id": record.simulation_id,
        "pdk_name": record.pdk_name,
        "pdk_version": record.pdk_version,
        "simulation_date": record.simulation_date,
        "corvina_version": record.corvina_version,
        "result": record.result,
        "wavelengths": record.wavelengths,
        "execution_time_seconds": record.execution_time_seconds,
        "status": common.status_text(record.status),
        "error_message": record.error_message,
    }


def _flatten(prefix: str, value: Any, into: dict[str, Any]) -> None:
    if isinstance(value, dict) and value:
        for key, item in value.items():
            _flatten(f"{prefix}.{key}", item, into)
    else:
        into[prefix] = value


def flat_identity(record: StoredSimulationResult, part: str) -> dict[str, Any]:
    """One identity field's leaves by path (nested settings unfolded; lists stay values)."""
    value = getattr(record, part)
    if part == "hyperparameters":
        value = value.model_dump()
    out: dict[str, Any] = {}
    _flatten(part, value, out)
    return out


def _same(a: Any, b: Any) -> bool:
    # JSON's equality: true is not 1, 1 is 1.0.
    if isinstance(a, bool) or isinstance(b, bool):
        return type(a) is type(b) and a == b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a == b
    return type(a) is type(b) and a == b


def _itself(value: Any) -> Any:
    return value


def varying_paths(records: Sequence[StoredSimulationResult]) -> list[str]:
    """The identity paths whose values differ across the records (a sweep's varied parameters).

    A path that some records lack varies too. In the order first seen.
    """
    if len(records) < 2:
        return []
    first = records[0]
    order: dict[str, None] = {}
    varying: set[str] = set()
    for name in IDENTITY_NAMES:
        order[name] = None
        value = getattr(first, name)
        if any(getattr(r, name) != value for r in records):
            varying.add(name)
    for part in NESTED_IDENTITY:
        # The hyperparameters' fields as a plain dict: comparing models is slower.
        fields = vars if part == "hyperparameters" else _itself
        base_value = fields(getattr(first, part))
        base = flat_identity(first, part)
        order.update(dict.fromkeys(base))
        plain = all(not isinstance(v, dict) for v in base_value.values())
        keys = base_value.keys() if plain else None
        paths = {key: f"{part}.{key}" for key in keys} if keys is not None else {}
        for record in records:
            value = fields(getattr(record, part))
            # Equal as a whole (the common case in a sweep's fixed parts):
            # nothing to unfold.
            if value == base_value:
                continue
            if keys is not None and value.keys() == keys:
                # Settings of one level with the same names: compare the
                # names not yet known to vary, no unfolding.
                for key in keys:
                    path = paths[key]
                    if path not in varying and not _same(base_value[key], value[key]):
                        varying.add(path)
                continue
            flat = flat_identity(record, part)
            for path, item in flat.items():
                if path not in base:
                    order.setdefault(path, None)
                    varying.add(path)
                elif path not in varying and not _same(base[path], item):
                    varying.add(path)
            varying.update(path for path in base if path not in flat)
    return [path for path in order if path in varying]


def known_paths(records: Sequence[StoredSimulationResult], sample: int = 200) -> list[str]:
    """Paths the column picker offers: identity, metadata and the result's scalars."""
    paths: dict[str, None] = dict.fromkeys(IDENTITY_NAMES)
    for record in records[:sample]:
        for part in NESTED_IDENTITY:
            paths.update(dict.fromkeys(flat_identity(record, part)))
    paths.update(dict.fromkeys(METADATA))
    for record in records[:sample]:
        flat: dict[str, Any] = {}
        _flatten("result", record.result, flat)
        paths.update(dict.fromkeys(p for p, v in flat.items() if not isinstance(v, (list, dict))))
    return list(paths)


def row(record: StoredSimulationResult, fields: Sequence[str]) -> dict[str, Any]:
    """A table row: the fixed fields, then each chosen field the record has."""
    view = record_view(record)
    out = {name: view[name] for name in ROW_FIELDS}
    for path in fields:
        value = where.value_at(view, path)
        if value is not where.MISSING:
            out[path] = value
    return out


# --- spectra --------------------------------------------------------------------------


def spectra_of(record: StoredSimulationResult) -> list[dict[str, Any]]:
    """Every series the plot command draws: one value per wavelength, finite or null."""
    return [
        {"name": name, "values": [v if math.isfinite(v) else None for v in values]}
        for name, values in plottable_series(record)
    ]


# --- the store's state, for live views --------------------------------------------------


@dataclass
class Look:
    """One walk of the store's directories: what changed, the claims, and what it cost."""

    version: str
    claims: list[Any]
    listings: int
    reads: int


# A directory's digest of its results is reused while the directory's own
# time is unchanged and was already this old when the digest was made: a
# change after that moves the directory's time, while two changes within one
# tick of the file system's clock could leave it as the first set it.
SETTLED_S = 1.0
_memo: dict[str, tuple[int, int, float, str]] = {}
_memo_lock = threading.Lock()


def _results_digest(local: pathlib.Path, names: list[str]) -> str:
    digest = hashlib.blake2b(digest_size=12)
    for name in sorted(names):
        try:
            entry = os.stat(local / name, follow_symlinks=False)
        except FileNotFoundError:
            continue
        digest.update(f"{name}={entry.st_ino}:{entry.st_mtime_ns}:{entry.st_size}\n"
                      .encode("utf-8", "surrogateescape"))
    return digest.hexdigest()


def _listing(directory: StorePath) -> tuple[list[tuple[str, bool]], str]:
    """(name, is a directory) of each entry, and a digest of its result files that
    changes when one is added, removed or rewritten (claims coming and going do not
    change it: they are not results)."""
    local = store.local_path(directory)
    if local is not None:
        made = time.time()
        try:
            before = os.stat(local)
            with os.scandir(local) as found:
                entries = [(e.name, e.is_dir(follow_symlinks=False)) for e in found]
        except (FileNotFoundError, NotADirectoryError):
            return [], "-"
        key = str(local)
        with _memo_lock:
            memo = _memo.get(key)
        if memo is not None and memo[:2] == (before.st_ino, before.st_mtime_ns) \
                and before.st_mtime < memo[2] - SETTLED_S:
            return entries, memo[3]
        tag = _results_digest(local, [n for n, is_dir in entries if not is_dir and store.RESULT_NAME.fullmatch(n)])
        with _memo_lock:
            _memo[key] = (before.st_ino, before.st_mtime_ns, made, tag)
        return entries, tag
    fs = getattr(directory, "fs", None)
    if fs is not None and hasattr(fs, "ls"):
        # The object store's listing names each object's version (its ETag)
        # in the same request; a fresh one, not the client's cached copy.
        try:
            found = fs.ls(directory.path, detail=True, refresh=True)
        except (FileNotFoundError, NotADirectoryError):
            return [], "-"
        digest = hashlib.blake2b(digest_size=12)
        entries = []
        for info in sorted(found, key=lambda i: str(i.get("name", ""))):
            name = str(info.get("name", "")).rstrip("/").rsplit("/", 1)[-1]
            entries.append((name, info.get("type") == "directory"))
            if store.RESULT_NAME.fullmatch(name):
                version = info.get("ETag") or info.get("LastModified") or info.get("mtime") or ""
                digest.update(f"{name}={version}:{info.get('size', '')}\n".encode("utf-8", "surrogateescape"))
        return entries, digest.hexdigest()
    entries = [(e.name, e.is_dir()) for e in store.entries(directory)]
    return entries, hashlib.blake2b("\n".join(sorted(n for n, _ in entries if store.RESULT_NAME.fullmatch(n)))
                                    .encode("utf-8", "surrogateescape"), digest_size=12).hexdigest()


def look(root: StorePath) -> Look:
    """The store's version (what changes when a result is saved, replaced or deleted) and its claims."""
    from corvina.cli import running

    digest = hashlib.blake2b(digest_size=12)
    claims = []
    listings = 1
    reads = 0
    top, tag = _listing(root)
    digest.update(f"/={tag}\n".encode())
    directories = [("", root, top)]
    for name, is_dir in sorted(top):
        if is_dir:
            listings += 1
            entries, tag = _listing(root / name)
            digest.update(f"{name}={tag}\n".encode("utf-8", "surrogateescape"))
            directories.append((name, root / name, entries))
    for type_name, directory, names in directories:
        for name, is_dir in names:
            named = None if is_dir else store.CLAIM_NAME.fullmatch(name)
            if named is not None:
                reads += 1
                claim = store.read_claim(type_name, directory / name, named)
                if claim is not None:
                    claims.append(claim)
    judged = running.judge(claims)
    judged.sort(key=lambda j: (-(j.age or 0.0), j.claim.simulation_id, j.claim.generation))
    return Look(digest.hexdigest(), judged, listings, reads)


# --- the browser's view of one store -------------------------------------------------------


@dataclass
class Answer:
    """A query's matches, in order, and what the table needs of them all."""

    records: list[StoredSimulationResult]
    varying: list[str]
    paths: list[str]
    version: str


class Browser:
    """One store, as the results browser reads it; safe to share between request threads."""

    def __init__(self, root: StorePath, *, label: str) -> None:
        self.root = root
        self.label = label
        self.remote = _is_remote(root)
        self._cache: OrderedDict[tuple[str, str], Answer] = OrderedDict()
        # Queries being answered now, by key and store version: a second
        # asker of the same waits for that answer instead of reading the
        # store again.
        self._pending: dict[tuple[str, str, str], Future[Answer]] = {}
        self._cache_lock = threading.Lock()
        # A query holds every match in memory: two at a time keep the
        # server's memory bounded however many pages ask at once.
        self._queries = threading.BoundedSemaphore(2)

    # The store's functions read the store's location from the settings at
    # every call; the command sets it once for the whole process.

    def answer(self, query: dict[str, Any] | None, sort: str | None) -> Answer:
        """The matches of a query, from the cache while the store has not changed."""
        import orjson

        key = (orjson.dumps(query, option=orjson.OPT_SORT_KEYS).decode(), sort or "")
        version = look(self.root).version
        with self._cache_lock:
            cached = self._cache.get(key)
            if cached is not None and cached.version == version:
                self._cache.move_to_end(key)
                return cached
            flight = (*key, version)
            pending = self._pending.get(flight)
            owner = pending is None
            if owner:
                pending = self._pending[flight] = Future()
        assert pending is not None
        if not owner:
            return pending.result()
        try:
            answer = self._run(query, sort, version)
        except BaseException as exc:
            pending.set_exception(exc)
            raise
        finally:
            with self._cache_lock:
                del self._pending[flight]
        pending.set_result(answer)
        with self._cache_lock:
            self._cache[key] = answer
            self._cache.move_to_end(key)
            while len(self._cache) > 1 and sum(len(a.records) for a in self._cache.values()) > CACHED_RECORDS:
                self._cache.popitem(last=False)
        return answer

    def _run(self, query: dict[str, Any] | None, sort: str | None, version: str) -> Answer:
        from corvina.core import simulation_storage as storage

        with self._queries:
            try:
                records = storage.query_simulation_results(where=query, sort=sort or None)
            except ValueError as exc:  # a sort path the store refuses
                raise BadRequest(str(exc)) from None
            return Answer(records, varying_paths(records), known_paths(records), version)

    def warm_up(self) -> None:
        """Answer the page's first question (every result, newest first) before anyone asks."""
        try:
            self.answer(None, None)
        except Exception:  # the page will ask, and be told, itself
            pass

    def results(self, query: dict[str, Any] | None, sort: str | None, fields: list[str] | None,
                limit: int, offset: int) -> dict[str, Any]:
        """What ``GET /api/results`` answers."""
        answer = self.answer(query, sort)
        varying = answer.varying
        if fields is None:
            fields = [*(varying or ["component_name", "simulation_type"]), "status",
                      "simulation_date"]
        page = answer.records[offset:offset + limit]
        return {
            "store": self.label,
            "where": query,
            "sort": sort or None,
            "total": len(answer.records),
            "offset": offset,
            "limit": limit,
            "fields": fields,
            "varying": varying,
            "paths": answer.paths,
            "store_version": answer.version,
            "results": [row(r, fields) for r in page],
        }

    def ids(self, query: dict[str, Any] | None, sort: str | None, cap: int) -> tuple[list[str], int]:
        answer = self.answer(query, sort)
        return [r.simulation_id for r in answer.records[:cap]], len(answer.records)

    def record(self, simulation_id: str) -> StoredSimulationResult:
        """One result by its ID; the ID is checked before the store sees it."""
        if not ID.fullmatch(simulation_id):
            raise Missing(simulation_id)
        from corvina.core import simulation_storage as storage

        try:
            record = storage.load_simulation_result(simulation_id)
        except Exception as exc:
            raise BadRequest(
                f"the stored result {simulation_id} cannot be read: {common.describe_error(exc)}"
            ) from exc
        if record is None:
            raise Missing(simulation_id)
        return record

    def records(self, ids: Sequence[str]) -> list[StoredSimulationResult]:
        """The results with these IDs, in that order; ones no longer stored are left out."""
        out = []
        for simulation_id in ids:
            try:
                out.append(self.record(simulation_id))
            except Missing:
                continue
        return out

    def spectra(self, records: Sequence[StoredSimulationResult], *, total: int,
                capped: bool) -> dict[str, Any]:
        """What ``GET /api/spectra`` answers: each result's series, and what tells them apart."""
        varying = varying_paths(records)
        results = []
        for record in records:
            flat: dict[str, Any] = {name: getattr(record, name) for name in IDENTITY_NAMES}
            for part in NESTED_IDENTITY:
                flat.update(flat_identity(record, part))
            results.append({
                "simulation_id": record.simulation_id,
                "component_name": record.component_name,
                "status": common.status_text(record.status),
                "error_message": record.error_message,
                "parameters": {path: flat[path] for path in varying if path in flat},
                "wavelengths": record.wavelengths,
                "series": spectra_of(record),
            })
        return {"total": total, "capped": capped, "varying": varying, "results": results}

    def identities(self, records: Sequence[StoredSimulationResult]) -> dict[str, Any]:
        """The selected results' identity and metadata, path by path, and which paths differ."""
        flats = []
        for record in records:
            view = record_view(record)
            flat: dict[str, Any] = {name: view[name] for name in IDENTITY_NAMES}
            for part in NESTED_IDENTITY:
                flat.update(flat_identity(record, part))
            for name in METADATA:
                flat[name] = view[name]
            flats.append(flat)
        paths = list(dict.fromkeys(p for flat in flats for p in flat))
        # When and how long a run took tells runs apart, not what they simulated.
        differ = [p for p in paths if p not in UNCOMPARED
                  if any(p not in f for f in flats)
                  or any(not _same(flats[0][p], f[p]) for f in flats[1:])]
        return {
            "ids": [r.simulation_id for r in records],
            "paths": paths,
            "differ": differ,
            "values": [{p: f[p] for p in paths if p in f} for f in flats],
        }

    def running(self) -> dict[str, Any]:
        """What ``GET /api/running`` answers: the claims judged by the clocks, and the
        store's version, from one walk of its directories."""
        seen = look(self.root)
        claims = []
        for judged in seen.claims:
            entry = judged.as_json()
            entry.pop("path", None)
            claims.append(entry)
        return {
            "store": self.label,
            "remote": self.remote,
            "judged_at": datetime.now(UTC).isoformat(timespec="seconds"),
            "store_version": seen.version,
            "claims": claims,
            # What one look cost: directory listings (on object storage, one
            # request per thousand entries each) and claim reads (a read and
            # a look at its time: two requests each on object storage).
            "cost": {"listings": seen.listings, "claim_reads": seen.reads,
                     "requests": seen.listings + (2 * seen.reads if self.remote else seen.reads)},
        }

    def export(self, records: Sequence[StoredSimulationResult], fmt: str,
               spectra: bool) -> bytes:
        """The records as the ``export`` command writes them, in CSV, JSON lines or Parquet."""
        from corvina import analysis
        from corvina.cli import export

        if fmt == "parquet":
            try:
                import pyarrow  # noqa: F401
            except ImportError:
                raise BadRequest("Parquet needs pyarrow: pip install pyarrow "
                                 "(Debian: python3-pyarrow)") from None
        frame = analysis.to_spectra_dataframe(records) if spectra else analysis.to_dataframe(records)
        with tempfile.TemporaryDirectory(prefix="corvina-export-") as work:
            target = pathlib.Path(work) / f"{secrets.token_hex(8)}{EXPORT_FORMATS[fmt]}"
            export.write_table(frame, target)
            return target.read_bytes()


def _is_remote(root: StorePath) -> bool:
    return store.local_path(root) is None


def python_snippet(record: StoredSimulationResult) -> str:
    """How to get this result from Python: by its ID, and by the decorator where one fits."""
    lines = [
        "from corvina.core.simulation_storage import load_simulation_result",
        "",
        f"record = load_simulation_result({record.simulation_id!r})",
        "record.result            # the stored outcome",
        "record.wavelengths       # in µm",
    ]
    decorated = _decorator_snippet(record)
    if decorated:
        lines += ["", "# The same result through the decorator (served from the store, "
                  "never recomputed while it is there):", *decorated]
    return "\n".join(lines) + "\n"


def _decorator_snippet(record: StoredSimulationResult) -> list[str]:
    import keyword

    settings = record.component_settings
    names = list(settings)
    # The decorator names settings by their function's arguments: only
    # settings that are Python names (and not the names it keeps for
    # itself) can come back through it.
    reserved = {"model", "hyperparameters", "lease", "wait", "store_errors"}
    if not all(n.isidentifier() and not keyword.iskeyword(n) and n not in reserved for n in names):
        return []
    function = record.component_name if record.component_name.isidentifier() and not keyword.iskeyword(
        record.component_name) else "simulate"
    options = [repr(record.simulation_type), f"component_name={record.component_name!r}",
               f"factory_name={record.factory_name!r}"]
    if record.model_parameters:
        options.append('model_parameters="model"')
    arguments = [*names]
    keyword_only = ["hyperparameters: SimulationHyperparameters"]
    if record.model_parameters:
        keyword_only.insert(0, "model: dict")
    call = [f"{n}={settings[n]!r}" for n in names]
    if record.model_parameters:
        call.append(f"model={record.model_parameters!r}")
    hp = record.hyperparameters.model_dump()
    call.append(f"hyperparameters=SimulationHyperparameters(**{hp!r})")
    return [
        "from corvina.compute import cached_simulation",
        "from corvina.models import SimulationHyperparameters",
        "",
        f"@cached_simulation({', '.join(options)})",
        f"def {function}({', '.join([*arguments, '*', *keyword_only])}):",
        "    ...  # your solver; returns {\"result\": ..., \"wavelengths\": ...}",
        "",
        f"record = {function}({', '.join(call)})",
    ]
