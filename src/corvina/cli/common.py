"""Look into a simulation results store from the shell.

    python -m corvina.simulations list [--component NAME] [--type TYPE] [--json]
    python -m corvina.simulations show ID
    python -m corvina.simulations stats
    python -m corvina.simulations delete ID
    python -m corvina.simulations clear [FILTERS] [--yes]
    python -m corvina.simulations prune|verify|sync ...   (see corvina.maintenance)

(also installed as ``corvina-sims``). The store is the one the settings name
(``$CORVINA_SIMULATIONS_DIR``, a path or a URL such as ``s3://bucket/sims``)
unless ``--store`` gives another. Exit status: 0 on success, 1 when nothing
was found (or a clearing was declined), 2 on bad usage or when the store
cannot be used.

Everything goes through the store's public functions, so the command line
sees exactly what a program using the store sees.
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
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from corvina.models import StoredSimulationResult

__all__ = ["format_listing", "main"]

EXIT_OK = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2

_STORE_VARIABLE = "CORVINA_SIMULATIONS_DIR"
_ID = re.compile(r"[0-9a-f]{1,16}")
_MIN_PREFIX = 4


class UsageError(Exception):
    """The command line asks for something that cannot be done (exit status 2)."""


class NotFound(Exception):
    """Nothing in the store matched (exit status 1)."""


class StoreError(Exception):
    """The store could not do what was asked (exit status 2)."""


class Declined(Exception):
    """The user answered no to a confirmation (exit status 1)."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage block before its message; a user who got
    # one option wrong wants the one line that says which.
    def error(self, message: str) -> Any:
        raise UsageError(f"{message} (see {self.prog} --help)")


# --- presentation ------------------------------------------------------------


def _status_text(status: object) -> str:
    return str(getattr(status, "value", status))


def _format_date(iso: str) -> str:
    try:
        when = datetime.fromisoformat(iso)
    except ValueError:
        return iso
    if when.tzinfo is not None:
        when = when.astimezone(UTC)
    return when.strftime("%Y-%m-%d %H:%M:%S")


def _format_seconds(seconds: float) -> str:
    if seconds != seconds or seconds < 0:  # NaN or nonsense: show it as stored
        return f"{seconds} s"
    if seconds < 60:
        return f"{seconds:.3f} s" if seconds < 1 else f"{seconds:.2f} s"
    minutes, secs = divmod(round(seconds), 60)
    if minutes < 60:
        return f"{minutes} min {secs:02d} s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02d} min"


def _table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: frozenset[int]) -> str:
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


def format_listing(records: Sequence[StoredSimulationResult]) -> str:
    """A plain-text table of stored results, one line per record."""
    rows = [
        [
            r.simulation_id,
            r.component_name,
            r.simulation_type,
            _status_text(r.status),
            r.pdk_name,
            _format_date(r.simulation_date),
            _format_seconds(r.execution_time_seconds),
        ]
        for r in records
    ]
    headers = ["ID", "COMPONENT", "TYPE", "STATUS", "PDK", "DATE (UTC)", "TIME"]
    return _table(headers, rows, right=frozenset({6}))


def _record_size(record: StoredSimulationResult) -> int:
    # The store writes exactly this encoding, so this is the size of the
    # record's file without asking the file system (which on object storage
    # would cost a request per file).
    import orjson

    return len(orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2))


# --- commands ----------------------------------------------------------------


def _filters(args: argparse.Namespace, *names: str) -> dict[str, str | None]:
    return {name: getattr(args, name, None) for name in names}


# Filter keyword of the store -> the option that sets it.
_OPTIONS = {
    "component_name": "component",
    "factory_name": "factory",
    "simulation_type": "type",
    "pdk_name": "pdk",
    "status": "status",
}
_LIST_FILTERS = tuple(_OPTIONS)


def _describe_filters(filters: dict[str, str | None]) -> str:
    given = [f"{_OPTIONS[name]}={value!r}" for name, value in filters.items() if value is not None]
    return f" matching {', '.join(given)}" if given else ""


def _store_label() -> str:
    from corvina import settings

    return str(settings.get_simulations_dir())


def _listed(filters: dict[str, str | None]) -> list[StoredSimulationResult]:
    # The store is imported on use, here and below: `--help` and usage errors
    # should not pay for the extension module, pydantic and orjson.
    from corvina.core import simulation_storage as storage

    records = storage.list_simulation_results(**filters)
    if not records:
        raise NotFound(f"no simulation results{_describe_filters(filters)} in {_store_label()}")
    return records


def _cmd_list(args: argparse.Namespace) -> int:
    filters = _filters(args, *_LIST_FILTERS)
    try:
        records = _listed(filters)
    except NotFound:
        if args.json:
            print("[]")
        raise
    if args.json:
        print_json([r.model_dump(mode="json") for r in records])
    else:
        print(format_listing(records))
    return EXIT_OK


def _resolve(text: str) -> StoredSimulationResult:
    """The record named by a full ID or by a unique prefix of one."""
    ident = text.strip().lower()
    if not _ID.fullmatch(ident) or len(ident) < _MIN_PREFIX:
        raise UsageError(
            f"{text!r} is not a simulation ID (16 hexadecimal digits, "
            f"or a unique prefix of at least {_MIN_PREFIX})"
        )
    from corvina.core import simulation_storage as storage

    if len(ident) == 16:
        try:
            record = storage.load_simulation_result(ident)
        except Exception as exc:
            # The codec's or the model's message alone does not say which
            # result is damaged.
            raise StoreError(f"the stored result {ident} cannot be read: {_describe(exc)}") from exc
        if record is None:
            raise NotFound(f"no simulation result with ID {ident} in {_store_label()}")
        return record
    matches = {
        r.simulation_id: r
        for r in storage.list_simulation_results()
        if r.simulation_id.startswith(ident)
    }
    if not matches:
        raise NotFound(f"no simulation result with an ID starting {ident} in {_store_label()}")
    if len(matches) > 1:
        shown = ", ".join(sorted(matches)[:5])
        raise UsageError(f"ID prefix {ident} is ambiguous: {len(matches)} results match ({shown})")
    return next(iter(matches.values()))


def _cmd_show(args: argparse.Namespace) -> int:
    print(_resolve(args.id).model_dump_json(indent=2))
    return EXIT_OK


def _cmd_stats(args: argparse.Namespace) -> int:
    records = _listed(_filters(args, *_LIST_FILTERS))
    groups: dict[tuple[str, str], list[int]] = {}
    for record in records:
        key = (record.simulation_type, _status_text(record.status))
        count_bytes = groups.setdefault(key, [0, 0])
        count_bytes[0] += 1
        count_bytes[1] += _record_size(record)
    total_count = sum(c for c, _ in groups.values())
    total_bytes = sum(b for _, b in groups.values())
    ordered = sorted(groups.items())
    if args.json:
        payload = {
            "store": _store_label(),
            "results": total_count,
            "bytes": total_bytes,
            "groups": [
                {"simulation_type": t, "status": s, "results": c, "bytes": b}
                for (t, s), (c, b) in ordered
            ],
        }
        print_json(payload)
        return EXIT_OK
    rows = [[t, s, str(c), f"{b:,}"] for (t, s), (c, b) in ordered]
    rows.append(["total", "", str(total_count), f"{total_bytes:,}"])
    print(f"store: {_store_label()}")
    print(_table(["TYPE", "STATUS", "RESULTS", "BYTES"], rows, right=frozenset({2, 3})))
    return EXIT_OK


def _cmd_delete(args: argparse.Namespace) -> int:
    from corvina.core import simulation_storage as storage

    record = _resolve(args.id)
    if not storage.delete_simulation_result(record.simulation_id):
        # Someone else removed it between the lookup and the deletion.
        raise NotFound(f"no simulation result with ID {record.simulation_id} in {_store_label()}")
    print(f"deleted {record.simulation_id} ({record.component_name}, {record.simulation_type})")
    return EXIT_OK


def _confirm(question: str) -> bool:
    print(f"{question} [y/N] ", end="", file=sys.stderr, flush=True)
    answer = sys.stdin.readline()
    if not answer.endswith("\n"):  # end of input: no one to answer
        print(file=sys.stderr)
    return answer.strip().lower() in {"y", "yes"}


def _cmd_clear(args: argparse.Namespace) -> int:
    filters = _filters(args, *_LIST_FILTERS)
    records = _listed(filters)
    noun = "result" if len(records) == 1 else "results"
    if not args.yes and not _confirm(
        f"delete {len(records)} simulation {noun}{_describe_filters(filters)} from {_store_label()}?"
    ):
        raise Declined("nothing was deleted")
    # Deleting the listed IDs one by one, rather than clearing by filter,
    # removes exactly what the user agreed to, not whatever another writer
    # added since; it also makes the status filter possible.
    from corvina.core import simulation_storage as storage

    deleted = sum(1 for r in records if storage.delete_simulation_result(r.simulation_id))
    if deleted == 0:
        raise NotFound("nothing was deleted: the listed results were already gone")
    print(f"deleted {deleted} simulation result{'' if deleted == 1 else 's'}")
    return EXIT_OK


# --- the parser ----------------------------------------------------------------


def _add_filters(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("filters (exact, case-sensitive match)")
    group.add_argument("--component", dest="component_name", metavar="NAME", help="component name")
    group.add_argument("--factory", dest="factory_name", metavar="NAME", help="factory name")
    group.add_argument("--type", dest="simulation_type", metavar="TYPE", help="simulation type")
    group.add_argument("--pdk", dest="pdk_name", metavar="NAME", help="PDK name")
    group.add_argument("--status", choices=("success", "error"), help="outcome of the run")


def _common() -> _Parser:
    # Accepted before and after the command name alike; SUPPRESS keeps a
    # subcommand from resetting a value given before it.
    common = _Parser(add_help=False)
    common.add_argument(
        "--store",
        metavar="LOCATION",
        default=argparse.SUPPRESS,
        help=f"the store: a directory or a URL (default: ${_STORE_VARIABLE} or the user data dir)",
    )
    common.add_argument(
        "-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
        help="also show the store's debug log (every file saved or deleted)",
    )
    return common


def _parser() -> argparse.ArgumentParser:
    common = _common()
    parser = _Parser(
        description="Look into a store of simulation results.",
        epilog="Exit status: 0 on success, 1 when nothing was found, "
        "2 on bad usage or when the store cannot be used.",
        parents=[common],
    )
    from corvina import __version__

    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    cmd = commands.add_parser("list", parents=[common], help="list stored results, newest first")
    _add_filters(cmd)
    cmd.add_argument("--json", action="store_true", help="the full records as a JSON array")
    cmd.set_defaults(func=_cmd_list)

    cmd = commands.add_parser("show", parents=[common], help="print one record as JSON")
    cmd.add_argument("id", metavar="ID", help="simulation ID, or a unique prefix of one")
    cmd.set_defaults(func=_cmd_show)

    cmd = commands.add_parser(
        "stats", parents=[common], help="count results and bytes per type and status"
    )
    _add_filters(cmd)
    cmd.add_argument("--json", action="store_true", help="as a JSON object")
    cmd.set_defaults(func=_cmd_stats)

    cmd = commands.add_parser("delete", parents=[common], help="delete one result")
    cmd.add_argument("id", metavar="ID", help="simulation ID, or a unique prefix of one")
    cmd.set_defaults(func=_cmd_delete)

    cmd = commands.add_parser(
        "clear", parents=[common], help="delete every result that passes the filters"
    )
    _add_filters(cmd)
    cmd.add_argument("-y", "--yes", action="store_true", help="do not ask before deleting")
    cmd.set_defaults(func=_cmd_clear)

    from corvina import maintenance

    maintenance.add_commands(commands, common)

    from corvina import plotting

    plotting.add_commands(commands, common)
    return parser


@contextmanager
def _store(location: str | None) -> Iterator[None]:
    # The settings read the environment at every call, so naming the store
    # there points every function of the store at it, for this command only.
    if location is None:
        yield
        return
    if not location.strip():
        raise UsageError("--store needs a directory or a URL")
    saved = os.environ.get(_STORE_VARIABLE)
    os.environ[_STORE_VARIABLE] = location
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop(_STORE_VARIABLE, None)
        else:
            os.environ[_STORE_VARIABLE] = saved


@contextmanager
def _log_to_stderr(prog: str, verbose: bool) -> Iterator[None]:
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


def _describe(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        where = f": {exc.filename}" if exc.filename else ""
        return f"{exc.strerror}{where}"
    text = str(exc).strip().splitlines()
    first = text[0] if text else ""
    return f"{type(exc).__name__}: {first}" if first else type(exc).__name__


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = _parser()
    prog = parser.prog
    try:
        args = parser.parse_args(argv)
        func: Callable[[argparse.Namespace], int] = args.func
        with _store(getattr(args, "store", None)), _log_to_stderr(
            prog, getattr(args, "verbose", False)
        ):
            return func(args)
    except UsageError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except StoreError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except (NotFound, Declined) as exc:
        print(f"{prog}: {exc}", file=sys.stderr)
        return EXIT_NOT_FOUND
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader (`| head`) has gone; Python would complain again when
        # flushing stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
    except Exception as exc:
        print(f"{prog}: error: {_describe(exc)}", file=sys.stderr)
        return EXIT_USAGE


if __name__ == "__main__":
    # Run the importable copy of this module, not this __main__ one: the
    # commands that other modules add raise its exception classes.
    from corvina.simulations import main as _main

    sys.exit(_main())
