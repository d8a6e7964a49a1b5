"""Tables of stored results in a file: ``corvina-sims export --where ... -o FILE``.

The table is `corvina.analysis.to_dataframe`'s, one row per result, with
columns named by the query paths; ``--spectra`` writes the long form of the
spectra instead. The file's extension names its format:

- ``.csv``: a header line and one line per row;
- ``.jsonl`` (or ``.ndjson``): one JSON object per row, with every column,
  ``null`` where a result has no value; settings that are lists or objects
  stay JSON values;
- ``.parquet``: typed columns, through pyarrow.

CSV and Parquet cells hold one scalar each: a column whose values are not
all texts, all booleans or all numbers (a setting that is a list, or a
number in one result and a text in another) holds each value's JSON text,
so nothing is lost or changes kind on the way. Dates are UTC instants.

The file is written beside its final name and renamed into place, so an
export that fails leaves no half-written file and keeps an earlier one.
pandas (and pyarrow, for Parquet) are imported only when a table is
written.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import pathlib
import secrets
from typing import TYPE_CHECKING, Any

from corvina.cli import common, queries, where

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]

__all__ = ["COMMANDS", "FORMATS", "add_commands", "output_format", "write_table"]

# File extension -> format.
FORMATS = {".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl", ".parquet": "parquet"}
_INT64 = range(-(2**63), 2**63)


def output_format(path: pathlib.Path) -> str:
    """The table format named by the file's extension; ValueError if none we write."""
    fmt = FORMATS.get(path.suffix.lower())
    if fmt is None:
        raise ValueError(
            f"cannot tell the table format from {str(path)!r}: name a .csv, .jsonl or "
            ".parquet file"
        )
    return fmt


def _is_missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def _is_number(value: Any) -> bool:
    if isinstance(value, bool):
        return False
    return isinstance(value, float) or (isinstance(value, int) and value in _INT64)


def _one_scalar_per_cell(frame: pandas.DataFrame) -> pandas.DataFrame:
    """Object columns as texts, booleans or numbers, or else as each value's JSON text."""
    import pandas as pd

    frame = frame.copy()
    for name in frame.columns:
        column = frame[name]
        if column.dtype != object:
            continue
        present = [v for v in column if not _is_missing(v)]
        if all(isinstance(v, str) for v in present) or all(isinstance(v, bool) for v in present):
            continue
        if all(_is_number(v) for v in present):
            frame[name] = pd.to_numeric(column)
            continue
        frame[name] = pd.Series(
            [None if _is_missing(v) else json.dumps(v, ensure_ascii=False) for v in column],
            index=column.index, dtype=object,
        )
    return frame


def _write_jsonl(frame: pandas.DataFrame, path: pathlib.Path) -> None:
    import pandas as pd

    def plain(value: Any) -> Any:
        if isinstance(value, (list, dict, str, bool)):
            return value
        if isinstance(value, pd.Timestamp):
            return None if pd.isna(value) else value.isoformat()
        if pd.isna(value):
            return None
        item = getattr(value, "item", None)  # numpy's scalars as Python's
        return item() if callable(item) else value

    columns = list(frame.columns)
    with open(path, "w", encoding="utf-8") as stream:
        for row in frame.itertuples(index=False, name=None):
            record = {name: plain(v) for name, v in zip(columns, row, strict=True)}
            # Python's own float text reads back as the same float.
            stream.write(json.dumps(record, ensure_ascii=False, allow_nan=False))
            stream.write("\n")


def write_table(frame: pandas.DataFrame, path: str | pathlib.Path) -> pathlib.Path:
    """Write the table in the format the extension names, whole or not at all."""
    target = pathlib.Path(path)
    fmt = output_format(target)
    temporary = target.with_name(f".{target.name}.{secrets.token_hex(8)}.tmp")
    try:
        if fmt == "jsonl":
            _write_jsonl(frame, temporary)
        elif fmt == "csv":
            _one_scalar_per_cell(frame).to_csv(temporary, index=False)
        else:
            _one_scalar_per_cell(frame).to_parquet(temporary, index=False, engine="pyarrow")
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return target


def _command(args: argparse.Namespace) -> int:
    output = pathlib.Path(args.output)
    try:
        fmt = output_format(output)
    except ValueError as exc:
        raise common.UsageError(str(exc)) from None
    # What is missing is said before the store is read.
    common.require("pandas", "exporting a table", "python3-pandas")
    if fmt == "parquet":
        common.require("pyarrow", "writing Parquet", "python3-pyarrow")
    columns = args.columns or []
    if columns and args.spectra:
        raise common.UsageError("--columns chooses the table's columns; --spectra has its own")
    queries.check_paths(columns)
    from corvina import analysis

    if columns:
        # Only the chosen fields, asked of the store as such: no spectrum decoded.
        found = queries.selected_rows(args, columns)
        frame = analysis.rows_to_dataframe(found, columns)
        print(f"exported {common.count(len(found), 'result')} to {write_table(frame, output)}")
        return common.EXIT_OK
    records = queries.selected(args)
    frame = analysis.to_spectra_dataframe(records) if args.spectra else analysis.to_dataframe(records)
    written = write_table(frame, output)
    rows = f", {common.count(len(frame), 'row')}" if args.spectra else ""
    print(f"exported {common.count(len(records), 'result')}{rows} to {written}")
    return common.EXIT_OK


COMMANDS = (
    common.Command(
        name="export", run=_command, filters=True, query=queries.add_query_options,
        help="write the chosen results as a table: CSV, JSON lines or Parquet",
        description="Write one row per chosen result (all of them without filters or a "
        "query): its identity and metadata, then its settings, parameters, hyperparameters "
        "and scalar result entries as columns named by their query paths.",
        arguments=[
            common.argument("-o", "--output", required=True, metavar="FILE",
                            help="the table: .csv, .jsonl (or .ndjson) or .parquet"),
            common.argument("--spectra", action="store_true",
                            help="the spectra in long form instead: simulation_id, series, "
                            "wavelength, value"),
            common.argument("--columns", metavar="PATHS", type=common.argument_type(where.parse_columns),
                            help="only these fields (comma-separated paths, as list takes them) "
                            "as the table's columns, after the ID"),
        ],
    ),
)


def add_commands(commands: Any, parent: argparse.ArgumentParser) -> None:
    """Add the ``export`` subcommand to the command line's parser."""
    common.add_commands(commands, parent, COMMANDS)
