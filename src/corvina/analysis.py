"""Stored records as tables for analysis, with pandas.

``to_dataframe(records)`` gives one row per record: its identity and
metadata, and its settings, parameters, hyperparameters and the scalar
entries of its result flattened into columns named by their dotted paths,
the same paths a query uses (``component_settings.gap``,
``hyperparameters.mesh_resolution``, ``result.fsr_nm``).
``to_spectra_dataframe(records)`` gives the spectra in long form, one row
per record, series and wavelength, for plotting and grouping.

With ``columns``, ``to_dataframe`` makes only the ID and those paths; given
no records it asks the store for just those fields
(``query_simulation_results(fields=...)``), which answers short values from
its index without opening the files: a table of a hundred thousand results
needs no spectrum decoded.

pandas is imported only when a table is made (``pip install
'corvina[analysis]'``); importing this module costs nothing more.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

from corvina.spectra import plottable_series

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]

    from corvina.models import StoredSimulationResult

__all__ = ["IDENTITY_COLUMNS", "SPECTRA_COLUMNS", "as_records_show", "record_rows", "rows_to_dataframe",
           "to_dataframe", "to_spectra_dataframe"]

# The leading columns of `to_dataframe`, in this order; the flattened
# fields follow.
IDENTITY_COLUMNS = (
    "simulation_id",
    "component_name",
    "factory_name",
    "simulation_type",
    "status",
    "error_message",
    "simulation_date",
    "execution_time_seconds",
    "pdk_name",
    "pdk_version",
    "corvina_version",
)

SPECTRA_COLUMNS = ("simulation_id", "series", "wavelength", "value")

# Fields whose contents become columns of their own.
_FLATTENED = ("component_settings", "model_parameters", "hyperparameters")


def _pandas() -> Any:
    try:
        import pandas
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise ImportError(
            "corvina.analysis needs pandas: pip install 'corvina[analysis]'"
        ) from exc
    return pandas


def _flatten(prefix: str, value: Any, into: dict[str, Any], *, lists: bool) -> None:
    """Nested objects become dotted columns; a list stays one value, or is
    left out when `lists` is false (spectra belong to the long form)."""
    if isinstance(value, dict):
        for key, item in value.items():
            _flatten(f"{prefix}.{key}", item, into, lists=lists)
    elif lists or not isinstance(value, list):
        into[prefix] = value


def _row(record: StoredSimulationResult) -> dict[str, Any]:
    row: dict[str, Any] = {}
    for name in IDENTITY_COLUMNS:
        value = getattr(record, name)
        row[name] = getattr(value, "value", value)  # the status as its text
    for name in _FLATTENED:
        value = getattr(record, name)
        if name == "hyperparameters":
            value = value.model_dump()
        _flatten(name, value, row, lists=True)
    _flatten("result", record.result, row, lists=False)
    return row


_MISSING = object()


def _dig(data: Any, path: str) -> Any:
    for part in path.split("."):
        if isinstance(data, dict) and part in data:
            data = data[part]
        elif isinstance(data, list) and part.isdigit() and int(part) < len(data):
            data = data[int(part)]
        else:
            return _MISSING
    return data


@functools.cache
def _typed(path: str) -> tuple[Any, Any] | None:
    """(how the record validates the value at `path`, its default or _MISSING)
    for a path onto a typed field of the record or of its hyperparameters;
    None for anything else (settings, parameters and results are kept as
    stored)."""
    from pydantic import TypeAdapter
    from pydantic_core import PydanticUndefined

    from corvina.models import SimulationHyperparameters, StoredSimulationResult

    parts = path.split(".")
    model: Any = StoredSimulationResult
    if len(parts) == 2 and parts[0] == "hyperparameters":
        model, parts = SimulationHyperparameters, parts[1:]
    if len(parts) != 1 or parts[0] not in model.model_fields:
        return None
    field = model.model_fields[parts[0]]
    if field.annotation in (dict[str, Any],) and path != "hyperparameters":
        return None
    default = field.default if field.default is not PydanticUndefined else _MISSING
    if default is not _MISSING:
        default = TypeAdapter(field.annotation).dump_python(default, mode="json")
    return _shown_as(field.annotation), default


def _as_is(value: Any) -> Any:
    return value


def _shown_as(annotation: Any) -> Callable[[Any], Any]:
    """How a valid stored value shows in the record's JSON form. The store
    only returns records the class accepted, so texts, enumerations' texts
    and integers are shown as stored, and an integer where the record holds
    a float as that float; anything else goes through the class's own rules."""
    import enum

    from pydantic import TypeAdapter

    if annotation is str or (isinstance(annotation, type) and issubclass(annotation, enum.Enum)):
        return _as_is
    if annotation is int:
        return _as_is
    if annotation is float:
        return lambda v: float(v) if isinstance(v, int) and not isinstance(v, bool) else v
    adapter = TypeAdapter(annotation)
    return lambda v: adapter.dump_python(adapter.validate_python(v), mode="json")


@functools.cache
def _plan(paths: tuple[str, ...]) -> tuple[tuple[str, tuple[Any, Any] | None], ...]:
    return tuple((p, _typed(p)) for p in paths)


def as_records_show(row: dict[str, Any], paths: Iterable[str]) -> dict[str, Any]:
    """A row of ``query_simulation_results(fields=...)`` (the values as stored)
    with the values the records show at those paths: defaults filled in and
    typed fields as the record types them (``2`` as ``2.0`` for a float), in
    their JSON form. A path the record lacks stays out of the row."""
    out = {"simulation_id": row["simulation_id"]}
    for path, typed in _plan(tuple(paths)):
        value = row.get(path, _MISSING)
        if typed is not None:
            shown, default = typed
            if value is _MISSING:
                value = default
            elif value is not _MISSING:
                value = shown(value)
        if value is not _MISSING:
            out[path] = value
    return out


def record_rows(records: Iterable[StoredSimulationResult], paths: Iterable[str]) -> list[dict[str, Any]]:
    """The ID and the values at `paths` of each record, as its JSON form holds them."""
    chosen = list(paths)
    rows = []
    for record in records:
        data = record.model_dump(mode="json")
        row = {"simulation_id": record.simulation_id}
        row.update((p, v) for p in chosen if (v := _dig(data, p)) is not _MISSING)
        rows.append(row)
    return rows


def to_dataframe(
    records: Iterable[StoredSimulationResult] | None = None,
    *,
    columns: Iterable[str] | None = None,
    **query: Any,
) -> pandas.DataFrame:
    """One row per record: the identity and metadata columns, then every
    setting, parameter, hyperparameter and scalar result entry under its
    dotted path. ``simulation_date`` becomes a UTC timestamp; a field that a
    record lacks is missing (NaN) in its row.

    With ``columns`` (dotted paths), only ``simulation_id`` and those. Given
    no records, the store is asked for just those fields, with the keyword
    arguments of ``query_simulation_results`` (``where``, ``sort``, ``limit``,
    ``offset`` and the filters) choosing the results."""
    pd = _pandas()
    if columns is None:
        if records is None or query:
            raise TypeError("to_dataframe takes records, or columns (and a query) to ask the store for")
        rows = [_row(r) for r in records]
        names = list(IDENTITY_COLUMNS)
        seen = set(names)
        for row in rows:
            for name in row:
                if name not in seen:
                    seen.add(name)
                    names.append(name)
    else:
        paths = [p for p in dict.fromkeys(columns) if p != "simulation_id"]
        if records is None:
            from corvina.core import simulation_storage as storage

            return _stored_rows_frame(storage.query_simulation_results(fields=paths, **query), paths)
        if query:
            raise TypeError("a query chooses results from the store: pass records or a query, not both")
        return rows_to_dataframe(record_rows(records, paths), paths)
    return _with_dates(pd.DataFrame.from_records(rows, columns=names))


def rows_to_dataframe(rows: Iterable[dict[str, Any]], paths: Iterable[str]) -> pandas.DataFrame:
    """A table of rows of the ID and fields (as ``as_records_show`` gives them):
    ``simulation_id``, then one column per path, NaN where a row lacks it."""
    names = ["simulation_id", *(p for p in dict.fromkeys(paths) if p != "simulation_id")]
    return _with_dates(_pandas().DataFrame.from_records(list(rows), columns=names))


def _stored_rows_frame(rows: list[dict[str, Any]], paths: list[str]) -> pandas.DataFrame:
    """``rows_to_dataframe`` of the rows as ``as_records_show`` gives them,
    made by changing in place only the values that show otherwise (a
    default, a float stored as an integer): a table of 100,000 rows makes
    no row twice. The rows are the caller's own; `paths` are distinct and
    without ``simulation_id``."""
    fixes = [(path, shown, default) for path, typed in _plan(tuple(paths)) if typed is not None
             for shown, default in (typed,) if shown is not _as_is or default is not _MISSING]
    if fixes:
        for row in rows:
            for path, shown, default in fixes:
                value = row.get(path, _MISSING)
                if value is _MISSING:
                    if default is not _MISSING:
                        row[path] = default
                elif shown is not _as_is:
                    row[path] = shown(value)
    return rows_to_dataframe(rows, paths)


def _with_dates(frame: pandas.DataFrame) -> pandas.DataFrame:
    if "simulation_date" in frame.columns:
        pd = _pandas()
        frame["simulation_date"] = pd.to_datetime(frame["simulation_date"], utc=True, format="ISO8601")
    return frame


def to_spectra_dataframe(records: Iterable[StoredSimulationResult]) -> pandas.DataFrame:
    """The spectra in long form: one row per record, series and wavelength,
    with the columns ``simulation_id``, ``series``, ``wavelength`` and
    ``value``. A series is a list of numbers in the result with one value per
    wavelength (those that ``corvina-sims plot`` draws), named by its dotted
    path inside the result (``s21.magnitude``)."""
    pd = _pandas()
    ids: list[str] = []
    series: list[str] = []
    wavelengths: list[float] = []
    values: list[float] = []
    for record in records:
        waves = [float(w) for w in record.wavelengths]
        for name, points in plottable_series(record):
            ids.extend([record.simulation_id] * len(points))
            series.extend([name] * len(points))
            wavelengths.extend(waves)
            values.extend(points)
    return pd.DataFrame(
        {
            "simulation_id": pd.Series(ids, dtype=object),
            "series": pd.Series(series, dtype=object),
            "wavelength": pd.Series(wavelengths, dtype="float64"),
            "value": pd.Series(values, dtype="float64"),
        },
        columns=list(SPECTRA_COLUMNS),
    )
