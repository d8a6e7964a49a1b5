"""What counts as a spectrum in a stored result.

A record's ``result`` may hold any JSON; the series drawn by ``corvina-sims
plot``, shown by the results browser and tabled by
`corvina.analysis.to_spectra_dataframe` are its lists of numbers with one
value per wavelength. One rule for all three, below the command line and the
analysis module alike.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from corvina.models import StoredSimulationResult

__all__ = ["plottable_series"]


def _is_series(value: object, length: int) -> bool:
    return (
        isinstance(value, list)
        and len(value) == length
        and all(isinstance(x, (int, float)) and not isinstance(x, bool) for x in value)
    )


def plottable_series(record: StoredSimulationResult) -> list[tuple[str, list[float]]]:
    """(name, values) of every series in the result with one value per wavelength.

    Series inside nested objects are named by their path (``s21.magnitude``).
    """
    length = len(record.wavelengths)
    found: list[tuple[str, list[float]]] = []

    def walk(prefix: str, value: object) -> None:
        if isinstance(value, dict):
            for key, item in value.items():
                walk(f"{prefix}{key}.", item)
        elif length and _is_series(value, length):
            assert isinstance(value, list)
            found.append((prefix[:-1], [float(x) for x in value]))

    walk("", record.result)
    return found
