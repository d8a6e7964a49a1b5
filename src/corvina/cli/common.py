"""What every command of the command line shares.

Exit statuses and the exceptions that choose them, the store a command works
on, the filters of ``list`` (its queries are in `corvina.cli.queries`),
confirmation, and how things print: tables, dates, sizes, ages and ``--json``
output. Everything here is public so that
the command modules need nothing private of one another.

The store is imported on use, here and in every command module: ``--help``
and usage errors should not pay for the extension module, pydantic and
orjson.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from corvina.models import StoredSimulationResult

EXIT_OK = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

STORE_VARIABLE = "CORVINA_SIMULATIONS_DIR"
# A simulation ID: the identity's hash as this many lowercase hexadecimal
# digits (the store's file names carry it; see `store`).
ID_LENGTH = 16
_ID = re.compile(rf"[0-9a-f]{{1,{ID_LENGTH}}}")
MIN_PREFIX = 4


class UsageError(Exception):
    """The command line asks for something that cannot be done (exit status 2)."""


class NotFound(Exception):
    """Nothing in the store matched (exit status 1)."""


class StoreError(Exception):
    """The store could not do what was asked (exit status 2)."""


class Declined(Exception):
    """The user answered no to a confirmation (exit status 1)."""


class Parser(argparse.ArgumentParser):
    # argparse prints the whole usage block before its message; a user who got
    # one option wrong wants the one line that says which.
    def error(self, message: str) -> Any:
        raise UsageError(f"{message} (see {self.prog} --help)")


@dataclass(frozen=True)
class Argument:
    """The flags and options of one ``add_argument`` call, made when the parser is."""

    flags: tuple[str, ...]
    options: dict[str, Any]


def argument(*flags: str, **options: Any) -> Argument:
    return Argument(flags, options)


@dataclass(frozen=True, kw_only=True)
class Command:
    """A subcommand: its name, help and what runs it, and what it takes.

    Its arguments come in a fixed order, so that every command's usage line
    reads alike: the filters of ``list`` (when ``filters``), the query
    options (``query``, the function that adds them), the command's own
    ``arguments``, then
    ``--json`` (when ``json`` gives its help).
    """

    name: str
    help: str
    run: Callable[[argparse.Namespace], int]
    description: str | None = None
    filters: bool = False
    query: Callable[[argparse.ArgumentParser], None] | None = None
    arguments: Sequence[Argument] = field(default=())
    json: str | None = None


def add_commands(commands: Any, parent: argparse.ArgumentParser, specs: Sequence[Command]) -> None:
    """Add each command to the subcommands, with the options every command takes (``parent``)."""
    for spec in specs:
        cmd = commands.add_parser(
            spec.name, parents=[parent], help=spec.help, description=spec.description
        )
        if spec.filters:
            add_filters(cmd)
        if spec.query is not None:
            spec.query(cmd)
        for arg in spec.arguments:
            cmd.add_argument(*arg.flags, **arg.options)
        if spec.json is not None:
            cmd.add_argument("--json", action="store_true", help=spec.json)
        cmd.set_defaults(func=spec.run)


def describe_error(exc: BaseException) -> str:
    """One line for an unexpected exception: the OS's words, or type and first line."""
    if isinstance(exc, OSError) and exc.strerror:
        where = f": {exc.filename}" if exc.filename else ""
        return f"{exc.strerror}{where}"
    text = str(exc).strip().splitlines()
    first = text[0] if text else ""
    return f"{type(exc).__name__}: {first}" if first else type(exc).__name__


def require(module: str, why: str, debian: str, error: type[Exception] = UsageError) -> None:
    """Raises ``error`` saying how to install ``module`` (which ``why`` needs) if it is missing."""
    import importlib

    try:
        importlib.import_module(module)
    except ImportError:
        raise error(f"{why} needs {module}: pip install {module} (Debian: {debian})") from None


# --- presentation ------------------------------------------------------------


def status_text(status: object) -> str:
    return str(getattr(status, "value", status))


def format_date(iso: str) -> str:
    """A stored date as ``YYYY-MM-DD HH:MM:SS`` in UTC; a date without a zone as it is."""
    try:
        when = datetime.fromisoformat(iso)
    except ValueError:
        return iso
    if when.tzinfo is not None:
        when = when.astimezone(UTC)
    return when.strftime("%Y-%m-%d %H:%M:%S")


def format_seconds(seconds: float) -> str:
    if seconds != seconds or seconds < 0:  # NaN or nonsense: show it as stored
        return f"{seconds} s"
    if seconds < 60:
        return f"{seconds:.3f} s" if seconds < 1 else f"{seconds:.2f} s"
    minutes, secs = divmod(round(seconds), 60)
    if minutes < 60:
        return f"{minutes} min {secs:02d} s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02d} min"


def table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: frozenset[int]) -> str:
    """Columns as wide as their widest cell; the columns in ``right`` aligned right."""
    widths = [len(h) for h in headers]
    for row in rows:
        widths = [max(w, len(cell)) for w, cell in zip(widths, row, strict=True)]

    def line(cells: Sequence[str]) -> str:
        parts = [
            cell.rjust(width) if i in right else cell.ljust(width)
            for i, (cell, width) in enumerate(zip(cells, widths, strict=True))
        ]
        return "  ".join(parts).rstrip()

    return "\n".join([line(headers), *(line(row) for row in rows)])


def print_json(payload: object) -> None:
    """What ``--json`` prints: indented, non-ASCII text kept as it is."""
    print(json.dumps(payload, indent=2, ensure_ascii=False))


def count(number: int, noun: str) -> str:
    """``1 result``, ``1,024 results``."""
    return f"{number:,} {noun}{'' if number == 1 else 's'}"


# --- sizes, ages and dates -----------------------------------------------------

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


def parse_date(iso: str) -> datetime | None:
    """A stored date as an aware time (one without a zone taken as UTC); None if not ISO."""
    try:
        when = datetime.fromisoformat(iso)
    except ValueError:
        return None
    return when.replace(tzinfo=UTC) if when.tzinfo is None else when


def compare_dates(left: str, right: str) -> int:
    """1, 0 or -1 as the date ``left`` is later than, equal to or earlier than ``right``."""
    a, b = parse_date(left), parse_date(right)
    if a is None or b is None:  # not ISO: the order the store's listing uses
        return (left > right) - (left < right)
    return (a > b) - (a < b)


def age_of(iso: str, now: datetime) -> str:
    """How long before ``now`` a stored date lies, or ``?`` for one that is not ISO."""
    when = parse_date(iso)
    return "?" if when is None else format_age((now - when).total_seconds())


# --- filters -------------------------------------------------------------------

# Filter keyword of the store -> the option that sets it.
FILTER_OPTIONS = {
    "component_name": "component",
    "factory_name": "factory",
    "simulation_type": "type",
    "pdk_name": "pdk",
    "status": "status",
}
Filters = dict[str, str | None]


def add_filters(parser: argparse.ArgumentParser) -> None:
    """The options of ``list`` that choose results; read back with `filters_of`."""
    group = parser.add_argument_group("filters (exact, case-sensitive match)")
    group.add_argument("--component", dest="component_name", metavar="NAME", help="component name")
    group.add_argument("--factory", dest="factory_name", metavar="NAME", help="factory name")
    group.add_argument("--type", dest="simulation_type", metavar="TYPE", help="simulation type")
    group.add_argument("--pdk", dest="pdk_name", metavar="NAME", help="PDK name")
    group.add_argument("--status", choices=("success", "error"), help="outcome of the run")


def filters_of(args: argparse.Namespace) -> Filters:
    """The store's filter keywords and what the command line gave for them (None: not given)."""
    return {name: getattr(args, name, None) for name in FILTER_OPTIONS}


def is_filtered(filters: Filters) -> bool:
    return any(value is not None for value in filters.values())


def describe_filters(filters: Filters) -> str:
    given = [
        f"{FILTER_OPTIONS[name]}={value!r}" for name, value in filters.items() if value is not None
    ]
    return f" matching {', '.join(given)}" if given else ""


# --- option types ---------------------------------------------------------------


def argument_type(parse: Callable[[str], Any]) -> Callable[[str], Any]:
    """A parser of ours as an argparse type: its ValueError as argparse's usage error."""

    def convert(text: str) -> Any:
        try:
            return parse(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    convert.__name__ = parse.__name__
    return convert


# --- the store -------------------------------------------------------------------


@contextmanager
def use_store(location: str | None) -> Iterator[None]:
    """Point every function of the store at ``location`` (None: the settings' store)."""
    # The settings read the environment at every call, so naming the store
    # there points every function of the store at it, for this command only.
    if location is None:
        yield
        return
    if not location.strip():
        raise UsageError("--store needs a directory or a URL")
    saved = os.environ.get(STORE_VARIABLE)
    os.environ[STORE_VARIABLE] = location
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop(STORE_VARIABLE, None)
        else:
            os.environ[STORE_VARIABLE] = saved


def store_label() -> str:
    """The store the command works on, as messages name it."""
    from corvina import settings

    return str(settings.get_simulations_dir())


def listed(filters: Filters) -> list[StoredSimulationResult]:
    """The store's listing through these filters, newest first; NotFound when empty."""
    from corvina.core import simulation_storage as storage

    records = storage.list_simulation_results(**filters)
    if not records:
        raise NotFound(f"no simulation results{describe_filters(filters)} in {store_label()}")
    return records


def load_result(simulation_id: str, error: type[Exception] = StoreError) -> StoredSimulationResult | None:
    """The stored result with this full ID (None: there is none); ``error`` if it cannot be read."""
    from corvina.core import simulation_storage as storage

    try:
        return storage.load_simulation_result(simulation_id)
    except Exception as exc:
        # The codec's or the model's message alone does not say which
        # result is damaged.
        raise error(f"the stored result {simulation_id} cannot be read: {describe_error(exc)}") from exc


def resolve(text: str) -> StoredSimulationResult:
    """The record named by a full ID or by a unique prefix of one."""
    ident = text.strip().lower()
    if not _ID.fullmatch(ident) or len(ident) < MIN_PREFIX:
        raise UsageError(
            f"{text!r} is not a simulation ID ({ID_LENGTH} hexadecimal digits, "
            f"or a unique prefix of at least {MIN_PREFIX})"
        )
    from corvina.core import simulation_storage as storage

    if len(ident) == ID_LENGTH:
        record = load_result(ident)
        if record is None:
            raise NotFound(f"no simulation result with ID {ident} in {store_label()}")
        return record
    matches = {
        r.simulation_id: r
        for r in storage.list_simulation_results()
        if r.simulation_id.startswith(ident)
    }
    if not matches:
        raise NotFound(f"no simulation result with an ID starting {ident} in {store_label()}")
    if len(matches) > 1:
        shown = ", ".join(sorted(matches)[:5])
        raise UsageError(f"ID prefix {ident} is ambiguous: {len(matches)} results match ({shown})")
    return next(iter(matches.values()))


# --- talking to the user -----------------------------------------------------------


def agree(question: str, *, yes: bool, declined: str) -> None:
    """Go on when ``yes`` was given or the user answers yes; else Declined(``declined``)."""
    if not yes and not confirm(question):
        raise Declined(declined)


def confirm(question: str) -> bool:
    """Ask on stderr, read a line of stdin; only y or yes is a yes."""
    print(f"{question} [y/N] ", end="", file=sys.stderr, flush=True)
    answer = sys.stdin.readline()
    if not answer.endswith("\n"):  # end of input: no one to answer
        print(file=sys.stderr)
    return answer.strip().lower() in {"y", "yes"}


@contextmanager
def log_to_stderr(prog: str, verbose: bool) -> Iterator[None]:
    """The library's log on stderr: warnings, or everything with ``verbose``."""
    # The library logs through a NullHandler; the command line is the
    # application, so it decides that warnings (a file that cannot be
    # parsed) reach the user.
    logger = logging.getLogger("corvina")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(f"{prog}: %(levelname)s: %(message)s"))
    saved_level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG if verbose else logging.WARNING)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(saved_level)
