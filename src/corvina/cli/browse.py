"""Looking into a store: list, show, stats, delete and clear.

Everything goes through the store's public functions, so these commands see
exactly what a program using the store sees.
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from corvina.cli import common, queries, where
from corvina.cli.store import record_size

if TYPE_CHECKING:
    from corvina.models import StoredSimulationResult

__all__ = ["COMMANDS", "add_commands", "format_cell", "format_columns", "format_listing", "format_rows"]


def format_listing(records: Sequence[StoredSimulationResult]) -> str:
    """A plain-text table of stored results, one line per record."""
    rows = [
        [
            r.simulation_id,
            r.component_name,
            r.simulation_type,
            common.status_text(r.status),
            r.pdk_name,
            common.format_date(r.simulation_date),
            common.format_seconds(r.execution_time_seconds),
        ]
        for r in records
    ]
    headers = ["ID", "COMPONENT", "TYPE", "STATUS", "PDK", "DATE (UTC)", "TIME"]
    return common.table(headers, rows, right=frozenset({6}))


def format_cell(path: str, value: Any) -> str:
    """A field's value as a table cell: JSON's spelling, a text as it is, ``-`` when missing."""
    if value is where.MISSING:
        return "-"
    if isinstance(value, str):
        if path == "simulation_date":
            return common.format_date(value)
        # A line break or tab would break the table's lines.
        return value if value.isprintable() else json.dumps(value, ensure_ascii=False)
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def format_columns(records: Sequence[StoredSimulationResult], paths: Sequence[str]) -> str:
    """A table of the records' IDs and the fields at these paths; numbers aligned right."""
    from corvina import analysis

    return format_rows(analysis.record_rows(records, paths), paths)


def format_rows(found: Sequence[dict[str, Any]], paths: Sequence[str]) -> str:
    """The same table from rows of the ID and those fields (a field a row lacks is missing)."""
    values = [[row.get(path, where.MISSING) for path in paths] for row in found]
    rows = [
        [r["simulation_id"], *(format_cell(path, v) for path, v in zip(paths, row, strict=True))]
        for r, row in zip(found, values, strict=True)
    ]
    right = frozenset(
        i + 1 for i in range(len(paths))
        if all(_is_number(row[i]) or row[i] is where.MISSING for row in values)
        and any(_is_number(row[i]) for row in values)
    )
    return common.table(["ID", *paths], rows, right=right)


def _list(args: argparse.Namespace) -> int:
    columns = args.columns or []
    # A column no query could name is a usage error before the store is read.
    queries.check_paths(columns)
    try:
        # Chosen fields are asked of the store as such: no spectrum decoded.
        found = queries.selected_rows(args, columns) if columns else None
        records = queries.selected(args) if found is None else []
    except common.NotFound:
        if args.json:
            print("[]")
        raise
    if args.json and found is not None:
        # The chosen fields only; one that a record lacks is left out of its object.
        common.print_json(found)
    elif args.json:
        common.print_json([r.model_dump(mode="json") for r in records])
    elif found is not None:
        print(format_rows(found, columns))
    else:
        print(format_listing(records))
    return common.EXIT_OK


def _show(args: argparse.Namespace) -> int:
    print(common.resolve(args.id).model_dump_json(indent=2))
    return common.EXIT_OK


def _stats(args: argparse.Namespace) -> int:
    try:
        records = common.listed(common.filters_of(args))
    except common.NotFound:
        # --json always prints its document; the exit status still says
        # that nothing was found.
        if args.json:
            common.print_json({"store": common.store_label(), "results": 0, "bytes": 0, "groups": []})
        raise
    groups: dict[tuple[str, str], list[int]] = {}
    for record in records:
        key = (record.simulation_type, common.status_text(record.status))
        count_bytes = groups.setdefault(key, [0, 0])
        count_bytes[0] += 1
        count_bytes[1] += record_size(record)
    total_count = sum(c for c, _ in groups.values())
    total_bytes = sum(b for _, b in groups.values())
    ordered = sorted(groups.items())
    if args.json:
        common.print_json({
            "store": common.store_label(),
            "results": total_count,
            "bytes": total_bytes,
            "groups": [
                {"simulation_type": t, "status": s, "results": c, "bytes": b}
                for (t, s), (c, b) in ordered
            ],
        })
        return common.EXIT_OK
    rows = [[t, s, str(c), f"{b:,}"] for (t, s), (c, b) in ordered]
    rows.append(["total", "", str(total_count), f"{total_bytes:,}"])
    print(f"store: {common.store_label()}")
    print(common.table(["TYPE", "STATUS", "RESULTS", "BYTES"], rows, right=frozenset({2, 3})))
    return common.EXIT_OK


def _delete(args: argparse.Namespace) -> int:
    from corvina.core import simulation_storage as storage

    record = common.resolve(args.id)
    if not storage.delete_simulation_result(record.simulation_id):
        # Someone else removed it between the lookup and the deletion.
        raise common.NotFound(
            f"no simulation result with ID {record.simulation_id} in {common.store_label()}"
        )
    print(f"deleted {record.simulation_id} ({record.component_name}, {record.simulation_type})")
    return common.EXIT_OK


def _clear(args: argparse.Namespace) -> int:
    filters = common.filters_of(args)
    records = common.listed(filters)
    noun = "result" if len(records) == 1 else "results"
    question = (f"delete {len(records)} simulation {noun}{common.describe_filters(filters)} "
                f"from {common.store_label()}?")
    common.agree(question, yes=args.yes, declined="nothing was deleted")
    # Deleting the listed IDs one by one, rather than clearing by filter,
    # removes exactly what the user agreed to, not whatever another writer
    # added since; it also makes the status filter possible.
    from corvina.core import simulation_storage as storage

    deleted = sum(1 for r in records if storage.delete_simulation_result(r.simulation_id))
    if deleted == 0:
        raise common.NotFound("nothing was deleted: the listed results were already gone")
    print(f"deleted {deleted} simulation result{'' if deleted == 1 else 's'}")
    return common.EXIT_OK


_ID = common.argument("id", metavar="ID", help="simulation ID, or a unique prefix of one")

COMMANDS = (
    common.Command(
        name="list", help="list stored results, newest first", run=_list, filters=True, query=queries.add_query_options,
        arguments=[common.argument(
            "--columns", metavar="PATHS", type=common.argument_type(where.parse_columns),
            help="show these fields (comma-separated paths, such as "
            "component_settings.gap,result.fsr_nm) as the table's columns, after the ID",
        )],
        json="the full records as a JSON array (with --columns: the ID and those fields)",
    ),
    common.Command(name="show", help="print one record as JSON", run=_show, arguments=[_ID]),
    common.Command(name="stats", help="count results and bytes per type and status", run=_stats,
                   filters=True, json="as a JSON object"),
    common.Command(name="delete", help="delete one result", run=_delete, arguments=[_ID]),
    common.Command(
        name="clear", help="delete every result that passes the filters", run=_clear, filters=True,
        arguments=[common.argument("-y", "--yes", action="store_true",
                                   help="do not ask before deleting")],
    ),
)


def add_commands(commands: Any, parent: argparse.ArgumentParser) -> None:
    """Add list, show, stats, delete and clear to the command line's subcommands."""
    common.add_commands(commands, parent, COMMANDS)
