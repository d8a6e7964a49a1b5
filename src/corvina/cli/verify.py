"""``verify``: read every file of the store and report what is wrong with it.

It changes nothing, except that ``--fix`` removes the temporary files of
interrupted saves and the claims of workers that have been silent for more
than ten leases; everything else is for a person to decide.

Claims are judged by the clocks, as ``running`` judges them without
``--watch``: a claim whose heartbeat time and file time both lie more than a
lease before this machine's clock is stale. Ten leases leave room for clocks
that disagree, so that ``--fix`` never removes the claim of a worker that
still computes.
"""

from __future__ import annotations

import argparse
import pathlib
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import TYPE_CHECKING, TypeAlias

from corvina import settings
from corvina.cli import common, running, store
from corvina.cli.common import count, describe_error

if TYPE_CHECKING:
    from upath import UPath

    from corvina.cli.store import Claim
    from corvina.models import StoredSimulationResult

    StorePath: TypeAlias = pathlib.Path | UPath

__all__ = ["LEFTOVER_AGE_S", "Problem", "run"]

# A save that has not renamed its temporary file after this long was killed.
LEFTOVER_AGE_S = 3600.0
# --fix removes a claim silent for this many of its leases.
FIX_CLAIMS_AFTER_LEASES = 10


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
    claims: list[Claim] = field(default_factory=list)
    claims_in_flight: int = 0
    fixed_claims: list[str] = field(default_factory=list)

    def report(self, path: StorePath, kind: str, message: str) -> None:
        self.problems.append(Problem(str(path), kind, message))

    def run(self) -> None:
        for entry in store.entries(self.root):
            if entry.is_dir():
                for inner in store.entries(entry):
                    self.entry(inner, entry.name)
            else:
                self.entry(entry, None)
        self.check_claims()

    def entry(self, path: StorePath, type_dir: str | None) -> None:
        """One file below the store; ``type_dir`` None for one directly in it."""
        self.files += 1
        name = path.name
        if name.endswith(".json"):
            # Results of the empty simulation type lie directly in the store.
            self.result(path, type_dir or "")
        elif (named := store.file_name(name)) is not None and named.kind == "temporary":
            self.temporary(path)
        elif named is not None and named.kind == "claim" and not path.is_dir():
            claim = store.read_claim(type_dir or "", path, named)
            if claim is not None:  # else released since the listing
                self.claims.append(claim)
        elif type_dir is None and store.CLAIM_PROBE_NAME.fullmatch(name):
            self.probe(path)
        elif type_dir is None:
            self.report(path, "stray", "not part of the layout: a file directly in the store")
        elif path.is_dir():
            self.report(path, "stray",
                        "a directory inside a type directory: the store never looks there")
        else:
            self.report(path, "stray", "not a result file (those are named <component>_<id>.json)")

    def result(self, path: StorePath, type_dir: str) -> None:
        try:
            data = path.read_bytes()
        except OSError as exc:
            if path.is_dir():
                self.report(path, "stray", "a directory named like a result file")
            else:
                self.report(path, "unreadable", f"cannot be read: {describe_error(exc)}")
            return
        try:
            record = store.decode(data)
        except Exception as exc:
            self.report(path, "unreadable", store.why_unreadable(exc))
            return
        self.results += 1
        self.identity(path, record)
        self.name(path, record)
        if type_dir != record.simulation_type:
            where = f"type directory {type_dir!r}" if type_dir else "the store's top directory"
            self.report(path, "misplaced",
                        f"lies in {where}, its simulation_type is {record.simulation_type!r}")
        ident = record.simulation_id
        first = self.first_file_of.setdefault(ident, str(path))
        if first != str(path):
            self.report(path, "duplicate", f"simulation ID {ident} is also stored in {first}")

    def identity(self, path: StorePath, record: StoredSimulationResult) -> None:
        """Whether the record's ID is the one of its identity fields."""
        ident = record.simulation_id
        try:
            computed = store.compute_simulation_id(record)
        except Exception as exc:
            self.report(path, "id-mismatch", f"its identity has no ID: {describe_error(exc)}")
            return
        if ident != computed:
            self.report(path, "id-mismatch", f"simulation_id {ident} is not the ID "
                        f"of its identity fields ({computed})")

    def name(self, path: StorePath, record: StoredSimulationResult) -> None:
        """Whether the file is named for the record's component and ID."""
        ident = record.simulation_id
        expected = f"{record.component_name}_{ident}.json"
        named = store.result_name(path.name)
        if named is None:
            self.report(path, "misnamed", "not named <component>_<id>.json, so the store "
                        f"cannot find it by ID (expected {expected})")
            return
        if named.simulation_id != ident:
            self.report(path, "misnamed", f"file name carries ID {named.simulation_id}, the record {ident}")
        if named.component != record.component_name:
            self.report(path, "misnamed", f"named for component {named.component!r}, "
                        f"the record is of {record.component_name!r}")

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
        how_old = "" if age is None else f", {common.format_age(age)} old"
        self.leftover(path, f"temporary file of an interrupted save{how_old}")

    def leftover(self, path: StorePath, message: str) -> None:
        """Reports a leftover file, or removes it under --fix."""
        if not self.fix:
            self.report(path, "leftover", message)
            return
        try:
            path.unlink()
        except FileNotFoundError:
            return
        except OSError as exc:
            self.report(path, "leftover", f"{message}; cannot remove it: {describe_error(exc)}")
            return
        self.fixed.append(str(path))

    def probe(self, path: StorePath) -> None:
        """A key an earlier version probed an object store with, and removed at once."""
        try:
            age = self.now - path.stat().st_mtime
        except FileNotFoundError:
            return
        except Exception:
            age = None
        if age is None or age < LEFTOVER_AGE_S:
            self.claims_in_flight += 1  # a probe at work right now, as far as can be told
            return
        self.leftover(path, f"probe of a worker that tried claims here, {common.format_age(age)} old")

    def check_claims(self) -> None:
        """Stale claims are problems, live ones are work in flight."""
        simulations: dict[tuple[str, str, str], list[running.Judged]] = {}
        for judged in running.judge(self.claims, now=self.now):
            simulations.setdefault(judged.claim.key, []).append(judged)
        for generations in simulations.values():
            generations.sort(key=lambda j: -j.claim.generation)
            top = generations[0]
            # The highest generation speaks for the simulation: the ones
            # below it wait for its holder to clear them.
            if top.state == running.LIVE:
                self.claims_in_flight += len(generations)
                continue
            if top.state == running.UNKNOWN:
                for j in generations:
                    self.report(j.claim.path, "claim",
                                "a claim file that does not hold a claim's line (no heartbeat)")
                continue
            silent = min(j.silent_for for j in generations if j.silent_for is not None)
            c = top.claim
            holder = f"process {c.field('pid')} on host {c.field('host')}"
            message = (f"stale claim of {c.component_name} {c.simulation_id} ({c.type_dir}): "
                       f"{holder} last sent a heartbeat {common.format_age(silent)} ago, "
                       f"lease {common.format_seconds(top.lease)} (judged by the clocks)")
            if self.fix and all(
                j.silent_for is not None
                and j.silent_for > FIX_CLAIMS_AFTER_LEASES * j.lease for j in generations
            ):
                removed = self.remove_claims([j.claim for j in generations])
                if removed is None:
                    continue  # a holder came back meanwhile, or the claims went away
                if not removed:
                    self.fixed_claims.extend(str(j.claim.path) for j in generations)
                    continue
                message += f"; cannot remove it: {removed}"
            self.report(c.path, "stale-claim", message)

    def remove_claims(self, generations: list[Claim]) -> str | None:
        """Remove one simulation's claims, highest generation first.

        "": all removed; None: left alone, since one changed or went (a
        holder lives, or released); else why a removal failed.
        """
        top = generations[0]
        above = top.path.parent / store.claim_file_name(
            top.component_name, top.simulation_id, top.generation + 1)
        try:
            if above.exists():  # taken over since the reading: a new holder is at work
                return None
            for claim in generations:
                # Highest first, so that what stays always runs from
                # generation 0 without a gap, as workers expect.
                if not store.remove_claim(claim):
                    return None
        except OSError as exc:
            return describe_error(exc)
        return ""


def _print_report(root: StorePath, check: _Verification) -> None:
    for problem in check.problems:
        print(f"{problem.path}: {problem.message}")
    for path in check.fixed:
        print(f"{path}: removed (temporary file of an interrupted save)")
    for path in check.fixed_claims:
        print(f"{path}: removed (claim of a worker silent for more than "
              f"{FIX_CLAIMS_AFTER_LEASES} leases)")
    summary = (f"{root}: {count(check.files, 'file')} checked, "
               f"{count(check.results, 'result')}, "
               f"{count(len(check.problems), 'problem') if check.problems else 'no problems'}")
    if check.fixed:
        summary += f", {count(len(check.fixed), 'leftover temporary file')} removed"
    if check.fixed_claims:
        summary += f", {count(len(check.fixed_claims), 'stale claim')} removed"
    in_flight = []
    if check.in_progress:
        in_flight.append(f"{count(check.in_progress, 'save')} in progress")
    if check.claims_in_flight:
        in_flight.append(f"{count(check.claims_in_flight, 'live claim')}")
    if in_flight:
        summary += f" ({', '.join(in_flight)})"
    print(summary)


def run(args: argparse.Namespace) -> int:
    root = settings.get_simulations_dir()
    if not root.exists():
        if args.json:
            common.print_json({"store": str(root), "files": 0, "results": 0,
                               "problems": [], "removed": [], "removed_claims": [],
                               "saves_in_progress": 0, "live_claims": 0})
        raise common.NotFound(f"no store at {root}")
    check = _Verification(root, fix=args.fix)
    check.run()
    if args.json:
        common.print_json({
            "store": str(root),
            "files": check.files,
            "results": check.results,
            "problems": [vars(p) for p in check.problems],
            "removed": check.fixed,
            "removed_claims": check.fixed_claims,
            "saves_in_progress": check.in_progress,
            "live_claims": check.claims_in_flight,
        })
    else:
        _print_report(root, check)
    return common.EXIT_NOT_FOUND if check.problems else common.EXIT_OK
