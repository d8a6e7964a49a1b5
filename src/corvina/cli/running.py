"""``running``: the simulations being computed now, from the claims in the store.

A worker that computes a simulation through ``get_or_compute_simulation_result``
holds a claim beside the result it will save, and rewrites it (its heartbeat)
about every quarter of its lease. Workers judge a claim stale when its
content has not changed for a whole lease on their own monotonic clock. One
reading cannot see that, so this command judges in one of two ways:

- by the clocks (the default): a claim is live while its heartbeat time, or
  the file's modification time, lies within one lease of this machine's
  clock. The heartbeat is the holder's clock and the modification time the
  file system's, so machines whose clocks disagree by more than about three
  quarters of a lease are misjudged; the output says "by the clocks".
- by watching (``--watch SECONDS``): every claim is read again for up to
  SECONDS; one whose content changes is live, one unchanged for its whole
  lease is stale, exactly as a waiting worker judges it. Claims not settled
  within SECONDS are judged by the clocks.

A generation below a higher one of the same simulation has been taken over
(a waiter judged it stale and claimed the next generation): stale, whatever
the clocks say. So is a claim whose holder ran on this machine (the same
host, boot and PID namespace) and has died: its process is gone. Claims
written before the boot ID was recorded are judged by the clocks alone.
"""

from __future__ import annotations

import argparse
import functools
import os
import socket
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any

from corvina.cli import common, store

if TYPE_CHECKING:
    from corvina.cli.store import Claim, StorePath

__all__ = ["COMMANDS", "Judged", "add_commands", "judge", "watch"]

# The lease a claim is judged by when its content does not say (the default
# of get_or_compute_simulation_result).
DEFAULT_LEASE_S = 60.0

LIVE, STALE, UNKNOWN = "live", "stale", "unknown"
BY_CLOCK, BY_WATCH, BY_TAKEOVER, BY_PROCESS = "clock", "watch", "takeover", "process"


@dataclass(frozen=True)
class Judged:
    """A claim, and whether its holder is alive as far as can be seen from here."""

    claim: Claim
    state: str  # LIVE, STALE or UNKNOWN (no time to judge by)
    by: str  # BY_CLOCK, BY_WATCH or BY_TAKEOVER
    lease: float
    # Seconds since the last sign of life on this machine's clock (the later
    # of the heartbeat and the file's time); None without either.
    silent_for: float | None
    age: float | None  # seconds since the claim was made, on this machine's clock

    def as_json(self) -> dict[str, Any]:
        c = self.claim
        return {
            "simulation_id": c.simulation_id,
            "component_name": c.component_name,
            "simulation_type": c.type_dir,
            "generation": c.generation,
            "path": str(c.path),
            "host": c.field("host"),
            "pid": c.field("pid"),
            "boot_id": c.field("boot_id"),
            "started": c.field("started"),
            "heartbeat": c.field("heartbeat"),
            "beats": c.field("beats"),
            "lease_seconds": self.lease,
            "age_seconds": self.age,
            "silent_seconds": self.silent_for,
            "state": self.state,
            "judged_by": self.by,
        }


def _seconds_since(iso: Any, now: float) -> float | None:
    when = common.parse_date(iso) if isinstance(iso, str) else None
    return None if when is None else now - when.timestamp()


def silent_for(claim: Claim, now: float) -> float | None:
    """Seconds since the claim's last sign of life, on the reader's clock (``now``)."""
    times = [t for t in (_seconds_since(claim.field("heartbeat"), now),
                         None if claim.modified is None else now - claim.modified)
             if t is not None]
    # The most recent sign of life on either clock counts: a claim is judged
    # stale only when neither says its holder lives.
    return min(times) if times else None


def _first_line(path: str) -> str:
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            return f.readline().strip()
    except OSError:
        return ""


@functools.cache
def _this_machine() -> tuple[str, str, str]:
    """(host, boot ID, PID namespace) of this process, as a claim records its holder's."""
    try:
        namespace = os.readlink("/proc/self/ns/pid")
    except OSError:
        namespace = ""
    return socket.gethostname(), _first_line("/proc/sys/kernel/random/boot_id"), namespace


def holder_gone(claim: Claim) -> bool:
    """Whether the claim's holder ran on this machine and its process has died."""
    host, boot_id, namespace = _this_machine()
    pid = claim.field("pid")
    if not boot_id or not namespace or (claim.field("host"), claim.field("boot_id"),
                                        claim.field("pid_namespace")) != (host, boot_id, namespace):
        return False
    if not isinstance(pid, int) or isinstance(pid, bool) or pid <= 0 or pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        return False  # another user's process, alive
    # A zombie: dead, only not yet reaped by its parent.
    stat = _first_line(f"/proc/{pid}/stat")
    return stat[stat.rfind(")") + 2:][:1] == "Z" if ")" in stat else False


def judge(claims: Sequence[Claim], *, now: float | None = None,
          watched: dict[str, tuple[bool, float]] | None = None,
          processes: bool = False) -> list[Judged]:
    """Each claim judged; ``watched`` maps a path to (changed, seconds watched unchanged).

    ``processes``: a claim whose holder ran on this machine and has died is stale.
    """
    now = datetime.now(UTC).timestamp() if now is None else now
    highest: dict[tuple[str, str, str], int] = {}
    for c in claims:
        highest[c.key] = max(highest.get(c.key, -1), c.generation)
    out = []
    for c in claims:
        lease = c.lease or DEFAULT_LEASE_S
        silent = silent_for(c, now)
        age = _seconds_since(c.field("started"), now)
        seen = watched.get(str(c.path)) if watched is not None else None
        if c.generation < highest[c.key]:
            state, by = STALE, BY_TAKEOVER
        elif processes and holder_gone(c):
            state, by = STALE, BY_PROCESS
        elif seen is not None and seen[0]:
            state, by = LIVE, BY_WATCH
        elif seen is not None and seen[1] >= lease:
            state, by = STALE, BY_WATCH
        elif silent is None:
            state, by = UNKNOWN, BY_CLOCK
        else:
            state, by = (STALE if silent > lease else LIVE), BY_CLOCK
        out.append(Judged(c, state, by, lease, silent, age))
    return out


def watch(root: StorePath, seconds: float, *, sleep: Callable[[float], None] = time.sleep,
          clock: Callable[[], float] = time.monotonic) -> tuple[list[Claim], dict[str, tuple[bool, float]]]:
    """The claims still there after watching them for up to ``seconds``, and what was seen.

    Stops early once every claim has changed or stayed unchanged for its
    whole lease. A claim that goes away meanwhile was released: it is left out.
    """
    start = clock()
    first: dict[str, tuple[bytes, float]] = {}  # path -> content first seen, and when
    changed: set[str] = set()
    current: list[Claim] = []
    while True:
        now = clock()
        current = store.read_claims(root)
        for c in current:
            key = str(c.path)
            if key not in first:
                first[key] = (c.data, now)
            elif c.data != first[key][0]:
                changed.add(key)
        unsettled = [c for c in current if str(c.path) not in changed
                     and now - first[str(c.path)][1] < (c.lease or DEFAULT_LEASE_S)]
        if not unsettled or now - start >= seconds:
            break
        # A quarter of the shortest lease left to judge: about one heartbeat.
        pause = min((c.lease or DEFAULT_LEASE_S) / 4 for c in unsettled)
        sleep(max(0.05, min(pause, 1.0, start + seconds - now)))
    seen = {str(c.path): (str(c.path) in changed, now - first[str(c.path)][1]) for c in current}
    return current, seen


_HOW = {BY_CLOCK: "by the clocks", BY_TAKEOVER: "taken over", BY_PROCESS: "holder gone"}


def format_running(judged: Sequence[Judged]) -> str:
    rows = []
    for j in judged:
        c = j.claim
        host, pid = c.field("host"), c.field("pid")
        holder = f"{host or '?'}:{pid if pid is not None else '?'}"
        age = "?" if j.age is None else common.format_age(j.age)
        beat = "?" if j.silent_for is None else f"{common.format_age(j.silent_for)} ago"
        state = j.state if j.by == BY_WATCH else f"{j.state} ({_HOW[j.by]})"
        rows.append([c.simulation_id, c.component_name, c.type_dir, str(c.generation), holder,
                     age, beat, f"{j.lease:g} s", state])
    headers = ["ID", "COMPONENT", "TYPE", "GEN", "HOLDER", "AGE", "HEARTBEAT", "LEASE", "STATE"]
    return common.table(headers, rows, right=frozenset({3, 5, 6, 7}))


def _order(j: Judged) -> tuple[float, str, int]:
    return (-(j.age or 0.0), j.claim.simulation_id, j.claim.generation)


def _running(args: argparse.Namespace) -> int:
    from corvina import settings

    root = settings.get_simulations_dir()
    if args.watch is not None and args.watch < 0:
        raise common.UsageError("--watch needs a number of seconds, 0 or more")
    if args.watch:
        claims, watched = watch(root, args.watch)
        judged = judge(claims, watched=watched, processes=True)
    else:
        judged = judge(store.read_claims(root), processes=True)
    judged.sort(key=_order)
    if args.stale:
        judged = [j for j in judged if j.state == STALE]
    if args.json:
        common.print_json([j.as_json() for j in judged])
    if not judged:
        what = "stale claims" if args.stale else "claims"
        raise common.NotFound(f"no {what} in {root}: nothing is being computed")
    if not args.json:
        print(format_running(judged))
    return common.EXIT_OK


COMMANDS = (
    common.Command(
        name="running", run=_running, json="the claims as a JSON array",
        help="list the simulations being computed now (live and stale claims)",
        description="List the claims in the store: the simulations that workers are computing "
        "through get_or_compute_simulation_result, with their holder (host:pid), age, last "
        "heartbeat and lease. A claim is judged live or stale by the clocks (its heartbeat and "
        "file time against this machine's), or, with --watch, by watching it change as waiting "
        "workers do.",
        arguments=[
            common.argument("--watch", metavar="SECONDS", type=float,
                            help="read the claims again for up to SECONDS; one unchanged for its "
                            "whole lease is stale, one that changes is live"),
            common.argument("--stale", action="store_true", help="only the stale claims"),
        ],
    ),
)


def add_commands(commands: Any, parent: argparse.ArgumentParser) -> None:
    """Add running to the command line's subcommands."""
    common.add_commands(commands, parent, COMMANDS)
