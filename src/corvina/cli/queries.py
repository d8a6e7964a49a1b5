"""The query options of the commands that select results, and the selection.

``--where`` and ``--where-json`` make one query (see `corvina.cli.where`),
``--sort`` and ``--limit`` shape its answer; the store checks and runs it.
Without any of them a command gets the plain listing, as it always has.
"""

from __future__ import annotations

import argparse
import json
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from corvina.cli import common
from corvina.cli import where as where_language
from corvina.cli.common import NotFound, UsageError, argument_type

if TYPE_CHECKING:
    from corvina.models import StoredSimulationResult


def add_query_options(parser: argparse.ArgumentParser) -> None:
    """``--where``, ``--where-json``, ``--sort`` and ``--limit``; read back with `query_of`."""
    group = parser.add_argument_group("queries (every condition must hold)")
    group.add_argument(
        "--where", action="append", default=[], metavar="EXPR",
        type=argument_type(where_language.parse_expression),
        help="PATH OP VALUE, for example component_settings.gap>=0.1, status!=success, "
        "component_name~^ring, 'component_settings.gap in 0.1,0.2' (operators: =, !=, <, <=, "
        ">, >=, in, ~ for a regular expression); VALUE is read as JSON where it parses, "
        "else as text; repeatable",
    )
    group.add_argument(
        "--where-json", action="append", default=[], metavar="JSON",
        type=argument_type(where_language.parse_json_query),
        help="a query in the full language as a JSON object, for example "
        '\'{"$or": [{"status": "error"}, {"component_settings.gap": {"$near": [0.1]}}]}\'; '
        "repeatable",
    )
    group.add_argument(
        "--sort", metavar="PATH",
        help="order by this field, ascending; -PATH for descending (default: newest first)",
    )
    group.add_argument(
        "--limit", type=argument_type(_positive), metavar="N", help="keep the first N results"
    )


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise ValueError(f"{text!r} is not a positive whole number")
    return number


def query_of(args: argparse.Namespace) -> dict[str, Any] | None:
    """The query the ``--where`` and ``--where-json`` options make together (None: none)."""
    expressions = getattr(args, "where", None) or []
    documents = getattr(args, "where_json", None) or []
    return where_language.combine([*expressions, *documents])


def is_queried(args: argparse.Namespace) -> bool:
    """Whether the command line asks for a query rather than the plain listing."""
    return (query_of(args) is not None or getattr(args, "sort", None) is not None
            or getattr(args, "limit", None) is not None)


def check_query(query: dict[str, Any] | None) -> None:
    """UsageError, in the store's words, for a query the store refuses."""
    from corvina.core import simulation_storage as storage

    try:
        storage.check_query(query)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


_QUERY_LOCATION = re.compile(r"invalid query at where\[[^\]]*\]: ")


def check_paths(paths: Sequence[str], option: str = "--columns") -> None:
    """UsageError, in the store's words, for a path that names no field a query could ask about."""
    from corvina.core import simulation_storage as storage

    for path in paths:
        try:
            storage.check_query({path: {"$exists": True}})
        except ValueError as exc:
            # The store names the place in the query it was given, which the
            # user never wrote; the path itself says it.
            raise UsageError(f"{option}: {_QUERY_LOCATION.sub('', str(exc), count=1)}") from None


def describe_query(query: dict[str, Any] | None) -> str:
    if query is None:
        return ""
    return f" where {json.dumps(query, ensure_ascii=False, separators=(', ', ': '))}"


def selected_rows(args: argparse.Namespace, paths: Sequence[str]) -> list[dict[str, Any]]:
    """The ID and the fields at `paths` of the results `selected` would choose,
    as the records show them, asked of the store as fields: short values come
    from its index, and no spectrum is decoded. NotFound when none."""
    filters = common.filters_of(args)
    query = query_of(args)
    check_query(query)
    from corvina import analysis

    rows = _asked(args, query, filters, fields=list(paths))
    return [analysis.as_records_show(row, paths) for row in rows]


def selected(args: argparse.Namespace) -> list[StoredSimulationResult]:
    """The results the filters and query options choose; NotFound when none.

    Without query options this is the listing itself, so ``list`` alone
    behaves as it always has.
    """
    filters = common.filters_of(args)
    if not is_queried(args):
        return common.listed(filters)
    query = query_of(args)
    check_query(query)
    records: list[StoredSimulationResult] = _asked(args, query, filters)
    return records


def _asked(args: argparse.Namespace, query: dict[str, Any] | None, filters: common.Filters,
           **fields: Any) -> list[Any]:
    """The store's answer to the query options; UsageError where it refuses them, NotFound when none."""
    from corvina.core import simulation_storage as storage

    try:
        found: list[Any] = storage.query_simulation_results(
            where=query, sort=getattr(args, "sort", None), limit=getattr(args, "limit", None),
            **fields, **filters
        )
    except ValueError as exc:  # a sort path or a type the store refuses
        raise UsageError(str(exc)) from None
    if not found:
        raise NotFound(
            f"no simulation results{common.describe_filters(filters)}{describe_query(query)} "
            f"in {common.store_label()}"
        )
    return found
