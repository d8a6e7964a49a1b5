"""The store's state for the page's live views: its version and the claims in flight.

One walk of the store's directories gives both: a digest of the result
files in each directory (what changes when a result is saved, replaced or
deleted; claims coming and going do not change it) and every claim, read
and judged by the clocks as ``running`` does.
"""

from __future__ import annotations

import hashlib
import os
import pathlib
import threading
import time
from concurrent.futures import Future
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any

from corvina.cli import store

if TYPE_CHECKING:
    from corvina.cli.store import StorePath


@dataclass
class Look:
    """One walk of the store's directories: what changed, the claims, and what it cost."""

    version: str
    claims: list[Any]
    listings: int
    reads: int


# A directory's listing (what a look needs of it) and the digest of its
# results are reused while the directory's own time is unchanged and was
# already this old when they were made: adding, removing or renaming an
# entry moves the directory's time, while two changes within one tick of the
# file system's clock could leave it as the first set it. At 100,000 results
# reading the directory and judging every name took a quarter of a second,
# and a look after a change 0.6 s (a stat of every result).
SETTLED_S = 1.0
# On a local file system the kernel stamps the time from the clock a look
# reads, in ticks of at most 10 ms: a listing made 50 ms after the
# directory's time is reused by the next question (the table's query asked
# right after the look that saw a save would otherwise look again).
SETTLED_LOCAL_S = 0.05
# Times in whole seconds (or two) are kept by file systems with a coarse clock.
SETTLED_COARSE_S = 2.0
LOCAL_FILE_SYSTEMS = frozenset(("ext2", "ext3", "ext4", "xfs", "btrfs", "tmpfs", "f2fs", "zfs", "overlay",
                                "bcachefs", "jfs", "reiserfs"))


def _mount_type(path: str) -> str:
    """The type of the file system a path is on, from the mount table ("" if unknown)."""
    try:
        with open("/proc/self/mounts", encoding="utf-8", errors="replace") as table:
            mounts = [line.split()[1:3] for line in table if len(line.split()) >= 3]
    except OSError:
        return ""
    real = os.path.realpath(path)
    best, kind = "", ""
    for point, fs_type in mounts:
        point = point.replace("\\040", " ")
        inside = real == point or real.startswith(point.rstrip("/") + "/")
        if inside and len(point) >= len(best):
            best, kind = point, fs_type
    return kind


_local: dict[str, bool] = {}


def _settle(key: str, mtime_ns: int) -> float:
    """How old a directory's time must be for its listing to stand."""
    if mtime_ns % 1_000_000 == 0:
        return SETTLED_COARSE_S
    local = _local.get(key)
    if local is None:
        local = _local[key] = _mount_type(key) in LOCAL_FILE_SYSTEMS
    return SETTLED_LOCAL_S if local else SETTLED_S


@dataclass(frozen=True)
class _Listed:
    inode: int
    mtime_ns: int
    made: float  # when the listing began (time.time())
    entries: list[tuple[str, bool]]
    tag: str


_memo: dict[str, _Listed] = {}
_memo_lock = threading.Lock()


def _may_be_result(name: str) -> bool:
    # Cheap and necessary ("<component>_<ID>.json"); the store's own rule decides.
    return name.endswith(".json") and store.is_result_name(name)


def _may_be_claim(name: str) -> bool:
    # Claims are ".<component>_<ID>.<generation>.claim"; the store's own
    # rule decides which of these are, when the look reads them.
    return name.startswith(".") and name.endswith(".claim")


def _wanted(entries: list[tuple[str, bool]]) -> list[tuple[str, bool]]:
    """What a look reads of a listing: its directories and the names that may be claims."""
    return [(name, is_dir) for name, is_dir in entries if is_dir or _may_be_claim(name)]


def _results_digest(local: pathlib.Path, names: list[str]) -> str:
    # Names relative to the open directory: no path is built per file, which
    # at ten thousand results costs more than the system calls.
    parts = []
    stat = os.stat
    try:
        directory = os.open(local, os.O_RDONLY | os.O_DIRECTORY)
    except (FileNotFoundError, NotADirectoryError):
        return "-"
    try:
        for name in sorted(names):
            try:
                entry = stat(name, dir_fd=directory, follow_symlinks=False)
            except FileNotFoundError:
                continue
            parts.append(f"{name}={entry.st_ino}:{entry.st_mtime_ns}:{entry.st_size}\n")
    finally:
        os.close(directory)
    return hashlib.blake2b("".join(parts).encode("utf-8", "surrogateescape"), digest_size=12).hexdigest()


def _listing(directory: StorePath) -> tuple[list[tuple[str, bool]], str]:
    """(name, is a directory) of the entries a look reads (directories and
    possible claims), and a digest of its result files that changes when one is
    added, removed or rewritten (claims coming and going do not change it: they
    are not results)."""
    local = store.local_path(directory)
    if local is not None:
        made = time.time()
        try:
            before = os.stat(local)
        except (FileNotFoundError, NotADirectoryError):
            return [], "-"
        key = str(local)
        with _memo_lock:
            memo = _memo.get(key)
        if memo is not None and (memo.inode, memo.mtime_ns) == (before.st_ino, before.st_mtime_ns) \
                and before.st_mtime < memo.made - _settle(key, before.st_mtime_ns):
            return memo.entries, memo.tag
        try:
            with os.scandir(local) as found:
                names = []
                entries = []
                for e in found:
                    name = e.name
                    names.append(name)
                    if _may_be_claim(name) or e.is_dir(follow_symlinks=False):
                        entries.append((name, e.is_dir(follow_symlinks=False)))
        except (FileNotFoundError, NotADirectoryError):
            return [], "-"
        tag = _results_digest(local, [n for n in names if _may_be_result(n)])
        with _memo_lock:
            _memo[key] = _Listed(before.st_ino, before.st_mtime_ns, made, entries, tag)
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
            if _may_be_result(name):
                version = info.get("ETag") or info.get("LastModified") or info.get("mtime") or ""
                digest.update(f"{name}={version}:{info.get('size', '')}\n".encode("utf-8", "surrogateescape"))
        return _wanted(entries), digest.hexdigest()
    entries = [(e.name, e.is_dir()) for e in store.entries(directory)]
    return _wanted(entries), hashlib.blake2b("\n".join(sorted(n for n, _ in entries if _may_be_result(n)))
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
            named = None if is_dir else store.claim_name(name)
            if named is not None:
                reads += 1
                claim = store.read_claim(type_name, directory / name, named)
                if claim is not None:
                    claims.append(claim)
    judged = running.judge(claims)
    judged.sort(key=lambda j: (-(j.age or 0.0), j.claim.simulation_id, j.claim.generation))
    return Look(digest.hexdigest(), judged, listings, reads)


class SharedLook:
    """Looks at one store shared between the requests that ask at the same time.

    A page's first load asks for the table and the running panel at once, and
    each question needs the store's version: right after a save that is a
    ``stat`` of every result file, paid once per asker. Here at most one look
    is in flight; everyone who asks while it runs shares the one look that
    starts when it ends. So every answer still comes from a look begun after
    its question came (a save finished before the question is in it), and
    however many ask at once the store is walked at most twice.
    """

    def __init__(self, root: StorePath) -> None:
        self.root = root
        self._lock = threading.Lock()
        self._flight: Future[Look] | None = None  # the look being made
        self._queued: Future[Look] | None = None  # the one that starts when it ends

    def look(self) -> Look:
        mine: Future[Look] | None = None
        after: Future[Look] | None = None  # the look this one starts after
        shared: Future[Look] | None = None  # the next look, someone else's
        with self._lock:
            if self._flight is None:
                mine = self._flight = Future()
            elif self._queued is not None:
                shared = self._queued
            else:
                after = self._flight
                mine = self._queued = Future()
        if mine is None:
            assert shared is not None
            return shared.result()
        if after is not None:
            # Whatever it ends in, the next look is this one's.
            after.exception()
        try:
            seen = look(self.root)
        except BaseException as exc:
            mine.set_exception(exc)
            raise
        finally:
            with self._lock:
                # Those waiting behind this look are let go at once.
                self._flight, self._queued = self._queued, None
        mine.set_result(seen)
        return seen


def running(root: StorePath, *, label: str, remote: bool, seen: Look | None = None) -> dict[str, Any]:
    """What ``GET /api/running`` answers: the claims judged by the clocks, and the
    store's version, from one walk of its directories (`seen`, or a new one)."""
    if seen is None:
        seen = look(root)
    claims = []
    for judged in seen.claims:
        entry = judged.as_json()
        entry.pop("path", None)
        claims.append(entry)
    return {
        "store": label,
        "remote": remote,
        "judged_at": datetime.now(UTC).isoformat(timespec="seconds"),
        "store_version": seen.version,
        "claims": claims,
        # What one look cost: directory listings (on object storage, one
        # request per thousand entries each) and claim reads (a read and
        # a look at its time: two requests each on object storage).
        "cost": {"listings": seen.listings, "claim_reads": seen.reads,
                 "requests": seen.listings + (2 * seen.reads if remote else seen.reads)},
    }
