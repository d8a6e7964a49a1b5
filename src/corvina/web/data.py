"""What the results browser asks of the store, as plain data for its JSON API.

Every answer goes through the store's public functions and the command
line's own pieces: the query text is parsed by `corvina.cli.where` (the
``--where`` forms and the JSON form), checked and run by the store, exported
by `corvina.cli.export`, and claims are read and judged as ``running`` does.
Nothing here decides what a query matches or how it sorts.

`Browser` is one store as the page reads it: a query's matches, kept while
the store has not changed, paged into the table, and the results a page
selects. Beside it, by concern: `corvina.web.params` (what a page may ask,
checked), `corvina.web.views` (records as rows, spectra and identities),
`corvina.web.running` (the store's version and its claims),
`corvina.web.export` (the download) and `corvina.web.snippet` (a result's
Python snippet).

Errors a user can fix raise `BadRequest` with a message meant for them (the
store's own words where the store refused); a result that is not there
raises `Missing`.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from concurrent.futures import Future
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from corvina.cli import common, store
from corvina.web import export, running
from corvina.web import views
from corvina.web.export import EXPORT_FORMATS
from corvina.web.params import (
    ID,
    MAX_LIMIT,
    MAX_OVERLAY,
    MAX_QUERY_CHARS,
    MAX_REGEX_CHARS,
    BadRequest,
    Missing,
    parse_where,
)

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

# Answers to queries (their records) kept for paging, sorting back and other
# columns, while they hold at most this many records together (the newest
# answer is kept whatever its size).
CACHED_RECORDS = 20_000


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
        self.remote = store.local_path(root) is None
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
        version = running.look(self.root).version
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
            return Answer(records, views.varying_paths(records), views.known_paths(records), version)

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
            "results": [views.row(r, fields) for r in page],
        }

    def ids(self, query: dict[str, Any] | None, sort: str | None, cap: int) -> tuple[list[str], int]:
        answer = self.answer(query, sort)
        return [r.simulation_id for r in answer.records[:cap]], len(answer.records)

    def record(self, simulation_id: str) -> StoredSimulationResult:
        """One result by its ID; the ID is checked before the store sees it."""
        if not ID.fullmatch(simulation_id):
            raise Missing(simulation_id)
        record = common.load_result(simulation_id, BadRequest)
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
        return views.spectra(records, total=total, capped=capped)

    def identities(self, records: Sequence[StoredSimulationResult]) -> dict[str, Any]:
        """The selected results' identity and metadata, path by path, and which paths differ."""
        return views.identities(records)

    def running(self) -> dict[str, Any]:
        """What ``GET /api/running`` answers (see `corvina.web.running`)."""
        return running.running(self.root, label=self.label, remote=self.remote)

    def export(self, records: Sequence[StoredSimulationResult], fmt: str,
               spectra: bool) -> bytes:
        """The records as the ``export`` command writes them, in CSV, JSON lines or Parquet."""
        return export.export(records, fmt, spectra)
