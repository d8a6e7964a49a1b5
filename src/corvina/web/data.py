"""What the results browser asks of the store, as plain data for its JSON API.

Every answer goes through the store's public functions and the command
line's own pieces: the query text is parsed by `corvina.cli.where` (the
``--where`` forms and the JSON form), checked and run by the store, exported
by `corvina.cli.export`, and claims are read and judged as ``running`` does.
Nothing here decides what a query matches or how it sorts.

`Browser` is one store as the page reads it: a query's matches (their IDs
and identities, asked of the store with ``fields=`` and kept while the
store has not changed), paged into the table with only the fields the page
shows, and the results a page selects, read whole. Beside it, by concern:
`corvina.web.params` (what a page may ask, checked), `corvina.web.views`
(records as rows, spectra and identities), `corvina.web.running` (the
store's version and its claims), `corvina.web.export` (the download) and
`corvina.web.snippet` (a result's Python snippet).

Errors a user can fix raise `BadRequest` with a message meant for them (the
store's own words where the store refused); a result that is not there
raises `Missing`.
"""

from __future__ import annotations

import os
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

# Answers to queries (their matches' IDs in order, and what the table needs
# of them all) kept for paging, sorting back and other columns, while they
# name at most this many results together (the newest answer is kept
# whatever its size).
CACHED_MATCHES = 1_000_000
# A result's identity by its ID, for every result seen: the ID is the hash of
# the identity, so a result saved again (the same ID) has the same identity.
# Past this many the memory starts afresh.
KNOWN_IDENTITIES = 2_000_000
# The column picker offers the identity paths the first this many matches
# hold, and the result's own scalars of the first RESULT_PATH_SAMPLE: those
# are not in the store's index, so each result not read before is a file to
# read (at 100,000 results, reading 200 of them was most of a new query's
# time; a sweep's results hold the same outputs).
PATH_SAMPLE = 200
RESULT_PATH_SAMPLE = 16
# IDs named in one store query (a longer list is asked as the query itself).
ASK_BY_ID = 500
# Past this many results added to a query's matches since its last answer,
# the paths that vary are worked out from all of them again.
ADDED_AT_ONCE = 10_000
# Results whose overlay series are kept, ready to send (two overlays of the
# most one draws; about 20 KB each at 2 series of 401 wavelengths).
KEPT_DRAWN = 1000


@dataclass
class Answer:
    """A query's matches, in order, and what the table needs of them all."""

    ids: list[str]
    identities: list[dict[str, Any]]
    varying: list[str]
    paths: list[str]
    version: str


def _by_ids(ids: Sequence[str]) -> dict[str, Any]:
    return {"simulation_id": {"$in": list(ids)}}


class Browser:
    """One store, as the results browser reads it; safe to share between request threads.

    The table asks the store only for what it shows (``fields=``, answered
    from the store's result index without opening files): a query's matches
    as IDs, the identities of those not seen before (which never change for
    an ID), and a page's status, date and chosen columns. Whole records are
    read only for a result's page, the overlay and export.
    """

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
        self._identities: dict[str, dict[str, Any]] = {}
        # The result's scalar paths by (ID, date): a result saved again has
        # a new date.
        self._result_paths: dict[tuple[str, str], tuple[str, ...]] = {}
        self._known_lock = threading.Lock()
        # Two queries at a time keep the server's memory and the store's
        # reads bounded however many pages ask at once.
        self._queries = threading.BoundedSemaphore(2)
        # The store's version, asked by every request: concurrent askers
        # share one look.
        self._looks = running.SharedLook(root)
        # What the overlay drew of each result, by ID, with the stamp of the
        # file it was read from.
        self._drawn: OrderedDict[str, tuple[tuple[str, int, int, int], views.Drawn]] = OrderedDict()
        self._drawn_lock = threading.Lock()
        self._preparing = threading.Lock()

    # The store's functions read the store's location from the settings at
    # every call; the command sets it once for the whole process.

    def answer(self, query: dict[str, Any] | None, sort: str | None) -> Answer:
        """The matches of a query, from the cache while the store has not changed."""
        return self._answer(query, sort)[0]

    def _answer(self, query: dict[str, Any] | None, sort: str | None) -> tuple[Answer, running.Look]:
        """The matches of a query, and the look at the store that dated them."""
        import orjson

        key = (orjson.dumps(query, option=orjson.OPT_SORT_KEYS).decode(), sort or "")
        seen = self._looks.look()
        version = seen.version
        with self._cache_lock:
            cached = self._cache.get(key)
            if cached is not None and cached.version == version:
                self._cache.move_to_end(key)
                return cached, seen
            flight = (*key, version)
            pending = self._pending.get(flight)
            owner = pending is None
            if owner:
                pending = self._pending[flight] = Future()
        assert pending is not None
        if not owner:
            return pending.result(), seen
        try:
            answer = self._run(query, sort, version, cached)
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
            while len(self._cache) > 1 and sum(len(a.ids) for a in self._cache.values()) > CACHED_MATCHES:
                self._cache.popitem(last=False)
        return answer, seen

    def _run(self, query: dict[str, Any] | None, sort: str | None, version: str,
             before: Answer | None = None) -> Answer:
        """The query's answer now; `before`, its answer at an earlier version, spares
        going through every match for the paths that vary when results were only added."""
        from corvina.core import simulation_storage as storage

        with self._queries:
            try:
                found = storage.query_simulation_results(where=query, sort=sort or None,
                                                         fields=["simulation_id"])
            except ValueError as exc:  # a sort path the store refuses
                raise BadRequest(str(exc)) from None
            ids = [row["simulation_id"] for row in found]
            known = self._known_identities(ids, query)
            # A result gone between the two questions is gone from the answer.
            ids = [i for i in ids if i in known]
            identities = [known[i] for i in ids]
            paths = views.known_paths(identities[:PATH_SAMPLE],
                                      self._known_result_paths(ids[:RESULT_PATH_SAMPLE]))
            return Answer(ids, identities, self._varying(identities, before), paths, version)

    @staticmethod
    def _varying(identities: list[dict[str, Any]], before: Answer | None) -> list[str]:
        # A result saved again keeps its ID and identity: while no match has
        # left the answer, those added are all that can make more paths vary
        # (at 100,000 matches going through them all took 0.3 s, at every save).
        if before is not None and len(before.ids) >= 2 and identities:
            earlier = set(before.ids)
            added = [i for i in identities if i["simulation_id"] not in earlier]
            if len(identities) - len(added) == len(earlier) and len(added) <= ADDED_AT_ONCE:
                return views.varying_paths_adding(before.varying, before.identities[0], identities[0], added)
        return views.varying_paths(identities)

    def _known_identities(self, ids: Sequence[str], query: dict[str, Any] | None) -> dict[str, dict[str, Any]]:
        """The identities of these results: remembered, or asked of the store (only those not seen)."""
        from corvina.core import simulation_storage as storage

        with self._known_lock:
            known = {i: self._identities[i] for i in ids if i in self._identities}
        unknown = [i for i in ids if i not in known]
        fields = list(views.IDENTITY_FIELDS)
        if len(unknown) > ASK_BY_ID:
            # Many: the query itself names them faster than a list of IDs.
            rows = storage.query_simulation_results(where=query, fields=fields)
            fresh = {row["simulation_id"]: views.identity_from_row(row) for row in rows}
            known.update((i, fresh[i]) for i in unknown if i in fresh)
            unknown = [i for i in unknown if i not in known]
        else:
            fresh = {}
        for start in range(0, len(unknown), ASK_BY_ID):
            rows = storage.query_simulation_results(where=_by_ids(unknown[start:start + ASK_BY_ID]),
                                                    fields=fields)
            for row in rows:
                identity = views.identity_from_row(row)
                fresh[identity["simulation_id"]] = known[identity["simulation_id"]] = identity
        if fresh:
            with self._known_lock:
                if len(self._identities) + len(fresh) > KNOWN_IDENTITIES:
                    self._identities.clear()
                self._identities.update(fresh)
        return known

    def _known_result_paths(self, ids: Sequence[str]) -> list[tuple[str, ...]]:
        """Each result's scalar paths; only results saved since last asked are read."""
        from corvina.core import simulation_storage as storage

        if not ids:
            return []
        dated = storage.query_simulation_results(where=_by_ids(ids), fields=["simulation_date"])
        keys = {row["simulation_id"]: (row["simulation_id"], str(row.get("simulation_date")))
                for row in dated}
        with self._known_lock:
            found = {key: self._result_paths[key] for key in keys.values() if key in self._result_paths}
        missing = [key[0] for key in keys.values() if key not in found]
        if missing:
            # The whole result is in its file (its spectra are not in the index).
            rows = storage.query_simulation_results(where=_by_ids(missing),
                                                    fields=["simulation_date", "result"])
            fresh = {(row["simulation_id"], str(row.get("simulation_date"))): views.result_paths(row.get("result"))
                     for row in rows}
            found.update(fresh)
            with self._known_lock:
                if len(self._result_paths) + len(fresh) > KNOWN_IDENTITIES:
                    self._result_paths.clear()
                self._result_paths.update(fresh)
        return [found[keys[i]] for i in ids if i in keys and keys[i] in found]

    def prepare(self, query: dict[str, Any] | None, sort: str | None) -> None:
        """Start answering a query in the background (the page asks for its
        table once its scripts have loaded); one at a time, errors left for
        the page's own request to be told."""
        if not self._preparing.acquire(blocking=False):
            return

        def run() -> None:
            try:
                self.answer(query, sort)
            except Exception:  # the page's own request reports it
                pass
            finally:
                self._preparing.release()

        threading.Thread(target=run, name="corvina-prepare", daemon=True).start()

    def warm_up(self) -> None:
        """Answer the page's first question (every result, newest first) before anyone asks."""
        try:
            self.answer(None, None)
        except Exception:  # the page will ask, and be told, itself
            pass

    def results(self, query: dict[str, Any] | None, sort: str | None, fields: list[str] | None,
                limit: int, offset: int, *, with_running: bool = False) -> dict[str, Any]:
        """What ``GET /api/results`` answers; `with_running` adds what ``GET /api/running``
        answers, from the same look at the store (a page's first load asks both)."""
        from corvina.core import simulation_storage as storage

        answer, seen = self._answer(query, sort)
        varying = answer.varying
        if fields is None:
            fields = [*(varying or ["component_name", "simulation_type"]), "status",
                      "simulation_date"]
        identities = answer.identities[offset:offset + limit]
        rows = []
        if identities:
            asked = list(dict.fromkeys([*views.ROW_FIELDS[1:],
                                        *(p for p in fields if not views.is_identity_path(p))]))
            # A page's worth of short values from the index: no need to
            # wait behind a query being answered.
            stored = storage.query_simulation_results(
                where=_by_ids([i["simulation_id"] for i in identities]), fields=asked)
            by_id = {row["simulation_id"]: row for row in stored}
            # A result deleted since the answer was made leaves the page.
            rows = [views.row(i, by_id[i["simulation_id"]], fields) for i in identities
                    if i["simulation_id"] in by_id]
        out = {
            "store": self.label,
            "where": query,
            "sort": sort or None,
            "total": len(answer.ids),
            "offset": offset,
            "limit": limit,
            "fields": fields,
            "varying": varying,
            "paths": answer.paths,
            "store_version": answer.version,
            "results": rows,
        }
        if with_running:
            out["running"] = running.running(self.root, label=self.label, remote=self.remote, seen=seen)
        return out

    def ids(self, query: dict[str, Any] | None, sort: str | None, cap: int) -> tuple[list[str], int]:
        answer = self.answer(query, sort)
        return answer.ids[:cap], len(answer.ids)

    def matches(self, query: dict[str, Any] | None, sort: str | None) -> list[StoredSimulationResult]:
        """Every match of a query as whole records, in order (for export)."""
        from corvina.core import simulation_storage as storage

        with self._queries:
            try:
                return storage.query_simulation_results(where=query, sort=sort or None)
            except ValueError as exc:  # a sort path the store refuses
                raise BadRequest(str(exc)) from None

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

    def spectra(self, ids: Sequence[str], *, total: int, capped: bool) -> dict[str, Any]:
        """What ``GET /api/spectra`` answers: each result's series, and what tells them apart.

        A result drawn before is not read again while its file is unchanged
        (the same inode, time and size); one no longer stored is left out.
        """
        out = []
        for simulation_id in ids:
            stamp = self._stamp(simulation_id)
            with self._drawn_lock:
                kept = self._drawn.get(simulation_id)
                if kept is not None and stamp is not None and kept[0] == stamp:
                    self._drawn.move_to_end(simulation_id)
                    out.append(kept[1])
                    continue
            try:
                # Read after the file's stamp was taken: what is kept is at
                # least as new as its stamp says.
                shown = views.drawn(self.record(simulation_id))
            except Missing:
                continue
            out.append(shown)
            if stamp is not None:
                with self._drawn_lock:
                    self._drawn[simulation_id] = (stamp, shown)
                    self._drawn.move_to_end(simulation_id)
                    while len(self._drawn) > KEPT_DRAWN:
                        self._drawn.popitem(last=False)
        return views.spectra(out, total=total, capped=capped)

    def _stamp(self, simulation_id: str) -> tuple[str, int, int, int] | None:
        """The result file's path, inode, time and size; None when it cannot be known (object storage)."""
        from corvina.core import simulation_storage as storage

        if self.remote or not ID.fullmatch(simulation_id):
            return None
        found = storage._find_simulation_file(simulation_id)
        path = None if found is None else store.local_path(found)
        if path is None:
            return None
        try:
            info = os.stat(path)
        except OSError:
            return None
        return (str(path), info.st_ino, info.st_mtime_ns, info.st_size)

    def identities(self, records: Sequence[StoredSimulationResult]) -> dict[str, Any]:
        """The selected results' identity and metadata, path by path, and which paths differ."""
        return views.identities(records)

    def running(self) -> dict[str, Any]:
        """What ``GET /api/running`` answers (see `corvina.web.running`)."""
        return running.running(self.root, label=self.label, remote=self.remote, seen=self._looks.look())

    def export(self, records: Sequence[StoredSimulationResult], fmt: str,
               spectra: bool) -> bytes:
        """The records as the ``export`` command writes them, in CSV, JSON lines or Parquet."""
        return export.export(records, fmt, spectra)
