"""The page's download: the chosen results as the ``export`` command writes them."""

from __future__ import annotations

import pathlib
import secrets
import tempfile
from collections.abc import Sequence
from typing import TYPE_CHECKING

from corvina.cli import common
from corvina.web.params import BadRequest

if TYPE_CHECKING:
    from corvina.models import StoredSimulationResult

EXPORT_FORMATS = {"csv": ".csv", "jsonl": ".jsonl", "parquet": ".parquet"}


def export(records: Sequence[StoredSimulationResult], fmt: str, spectra: bool) -> bytes:
    """The records in CSV, JSON lines or Parquet: one row each, or one per wavelength."""
    from corvina import analysis
    from corvina.cli import export as command

    if fmt == "parquet":
        common.require("pyarrow", "Parquet", "python3-pyarrow", BadRequest)
    frame = analysis.to_spectra_dataframe(records) if spectra else analysis.to_dataframe(records)
    with tempfile.TemporaryDirectory(prefix="corvina-export-") as work:
        target = pathlib.Path(work) / f"{secrets.token_hex(8)}{EXPORT_FORMATS[fmt]}"
        command.write_table(frame, target)
        return target.read_bytes()
