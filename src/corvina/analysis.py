"""Stored records as tables for analysis, with pandas.

``to_dataframe(records)`` gives one row per record: its identity and
metadata, and its settings, parameters, hyperparameters and the scalar
entries of its result flattened into columns named by their dotted paths,
the same paths a query uses (``component_settings.gap``,
``hyperparameters.mesh_resolution``, ``result.fsr_nm``).
``to_spectra_dataframe(records)`` gives the spectra in long form, one row
per record, series and wavelength, for plotting and grouping.

pandas is imported only when a table is made (``pip install
'corvina[analysis]'``); importing this module costs nothing more.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from corvina.spectra import plottable_series

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]

    from corvina.models import StoredSimulationResult

__all__ = ["IDENTITY_COLUMNS", "SPECTRA_COLUMNS", "to_dataframe", "to_spectra_dataframe"]

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


def to_dataframe(records: Iterable[StoredSimulationResult]) -> pandas.DataFrame:
    """One row per record: the identity and metadata columns, then every
    setting, parameter, hyperparameter and scalar result entry under its
    dotted path. ``simulation_date`` becomes a UTC timestamp; a field that a
    record lacks is missing (NaN) in its row."""
    pd = _pandas()
    rows = [_row(r) for r in records]
    columns = list(IDENTITY_COLUMNS)
    seen = set(columns)
    for row in rows:
        for name in row:
            if name not in seen:
                seen.add(name)
                columns.append(name)
    frame = pd.DataFrame.from_records(rows, columns=columns)
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
