"""Stored spectra as a picture: ``corvina-sims plot ID [ID ...]``.

Every numeric series in a record's ``result`` that has one value per
wavelength is drawn against the record's wavelengths, one line per record and
series. Lines are labelled by component and by the settings that differ
between the records drawn together, so a sweep reads as its swept values.

matplotlib is imported only when a picture is drawn (``pip install
'corvina[plot]'``), and only its figure classes are used, never pyplot: the
picture is drawn off screen whatever backend the user configured, and a
program that draws its own figures is not disturbed.
"""

from __future__ import annotations

import argparse
import json
import math
import logging
import pathlib
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from corvina.cli import common, queries
from corvina.spectra import plottable_series

if TYPE_CHECKING:
    from corvina.models import StoredSimulationResult

__all__ = ["COMMANDS", "NothingToPlot", "add_commands", "plot_records"]

# File extension -> the format matplotlib writes.
FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
_LINE_STYLES = ("-", "--", ":", "-.")


class NothingToPlot(ValueError):
    """A record holds no series with one value per wavelength."""


def _text(value: object) -> str:
    if isinstance(value, float):
        return f"{value:g}"
    if isinstance(value, (dict, list)):
        return json.dumps(value, separators=(",", ":"), sort_keys=True)
    return str(value)


def _labels(records: Sequence[StoredSimulationResult]) -> list[str]:
    """Component name plus what tells each record apart from the others drawn."""
    sources: list[list[dict[str, Any]]] = [
        [r.component_settings for r in records],
        [r.model_parameters for r in records],
        [r.hyperparameters.model_dump() for r in records],
        [{"type": r.simulation_type} for r in records],
    ]
    missing = object()
    parts: list[list[str]] = [[] for _ in records]
    for dicts in sources:
        keys = sorted({key for d in dicts for key in d})
        for key in keys:
            values = [d.get(key, missing) for d in dicts]
            if all(v == values[0] for v in values):
                continue
            for i, value in enumerate(values):
                if value is not missing:
                    parts[i].append(f"{key}={_text(value)}")
    labels = [" ".join([r.component_name, *p]) for r, p in zip(records, parts, strict=True)]
    # Records that differ in nothing shown (another PDK, another date) are told
    # apart by their IDs.
    if len(set(labels)) < len(labels):
        labels = [f"{label} [{r.simulation_id[:8]}]" for label, r in zip(labels, records, strict=True)]
    return labels


def _decibels(values: list[float]) -> list[float]:
    # Zero or negative power has no level: a gap in the line, not a crash.
    return [10 * math.log10(v) if v > 0 else math.nan for v in values]


def output_format(path: pathlib.Path) -> str:
    """The image format named by the file's extension; ValueError if none we write."""
    fmt = FORMATS.get(path.suffix.lower())
    if fmt is None:
        raise ValueError(
            f"cannot tell the image format from {str(path)!r}: name a .png, .svg or .pdf file"
        )
    return fmt


def plot_records(
    records: Sequence[StoredSimulationResult],
    path: str | pathlib.Path,
    *,
    db: bool = False,
    title: str | None = None,
    ylabel: str | None = None,
) -> pathlib.Path:
    """Draw the records' series against wavelength into `path` (PNG, SVG or PDF).

    Raises NothingToPlot, naming the record, when a record has no series of
    one value per wavelength, and ValueError when the extension names no
    format; nothing is written then.
    """
    target = pathlib.Path(path)
    fmt = output_format(target)
    drawn = []
    for record in records:
        series = plottable_series(record)
        if not series:
            raise NothingToPlot(
                f"{record.simulation_id} ({record.component_name}) has nothing to plot: no series "
                f"in its result has one value per wavelength ({len(record.wavelengths)})"
            )
        drawn.append((record, series))

    import matplotlib
    from matplotlib.figure import Figure

    colours = matplotlib.rcParams["axes.prop_cycle"].by_key().get("color", ["C0"])
    names = list(dict.fromkeys(name for _, series in drawn for name, _ in series))
    figure = Figure(figsize=(10.0, 5.0), layout="constrained")
    axes = figure.add_subplot()
    # One colour per record, one line style per series name.
    for index, ((record, series), label) in enumerate(zip(drawn, _labels(records), strict=True)):
        colour = colours[index % len(colours)]
        for name, values in series:
            style = _LINE_STYLES[names.index(name) % len(_LINE_STYLES)]
            axes.plot(
                record.wavelengths,
                _decibels(values) if db else values,
                color=colour,
                linestyle=style,
                linewidth=1.2,
                label=f"{label}: {name}" if len(names) > 1 or len(drawn) == 1 else label,
            )
    axes.set_xlabel("wavelength (µm)")
    axes.set_ylabel(ylabel or ("10·log10(value) (dB)" if db else "value"))
    axes.grid(True, alpha=0.3)
    # Beside the axes, not over the curves.
    axes.legend(
        loc="upper left",
        bbox_to_anchor=(1.02, 1.0),
        fontsize="small" if len(axes.lines) <= 12 else "x-small",
    )
    if title:
        axes.set_title(title)
    figure.savefig(target, format=fmt)
    return target


# --- the command line ---------------------------------------------------------


def _default_output(records: Sequence[StoredSimulationResult]) -> pathlib.Path:
    first = records[0].simulation_id
    more = len(records) - 1
    return pathlib.Path(f"{first}.png" if not more else f"{first}-and-{more}-more.png")


def _chosen(args: argparse.Namespace) -> list[StoredSimulationResult]:
    """The records named by ID, in the order asked, then those the query matches.

    A named record with nothing to plot is an error; a match with nothing to
    plot (a failed run, say) is left out and said so on stderr, unless no
    match has anything to plot.
    """
    if not args.ids and not queries.is_queried(args):
        raise common.UsageError("name the results to plot: IDs, --where or --where-json")
    # One record per ID, each ID resolved as `show` does.
    chosen = {r.simulation_id: r for r in map(common.resolve, args.ids)}
    if queries.is_queried(args):
        matched = [r for r in queries.selected(args) if r.simulation_id not in chosen]
        drawable = [r for r in matched if plottable_series(r)]
        if not drawable and not chosen:
            raise NothingToPlot(
                f"nothing to plot: no series in the {common.count(len(matched), 'matching result')} "
                "has one value per wavelength"
            )
        if len(drawable) < len(matched):
            left_out = [r.simulation_id for r in matched if not plottable_series(r)]
            shown = ", ".join(left_out[:5]) + (", ..." if len(left_out) > 5 else "")
            logging.getLogger("corvina.cli").warning(
                "left out %s with nothing to plot: %s",
                common.count(len(left_out), "matching result"), shown,
            )
        chosen.update((r.simulation_id, r) for r in drawable)
    return list(chosen.values())


def _command(args: argparse.Namespace) -> int:
    output = pathlib.Path(args.output) if args.output else None
    if output is not None:
        try:
            output_format(output)
        except ValueError as exc:
            raise common.UsageError(str(exc)) from None
    try:
        records = _chosen(args)
    except NothingToPlot as exc:
        raise common.NotFound(str(exc)) from None
    if output is None:
        output = _default_output(records)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise common.UsageError(
            "plotting needs matplotlib: pip install 'corvina[plot]' (Debian: python3-matplotlib)"
        ) from None
    try:
        written = plot_records(records, output, db=args.db)
    except NothingToPlot as exc:
        raise common.NotFound(str(exc)) from None
    print(written)
    return common.EXIT_OK


COMMANDS = (
    common.Command(
        name="plot", run=_command, query=queries.add_query_options,
        help="draw stored spectra against wavelength into an image",
        arguments=[
            common.argument("ids", nargs="*", metavar="ID",
                            help="simulation IDs, or unique prefixes (and/or a query: "
                            "every match is drawn)"),
            common.argument("-o", "--output", metavar="FILE",
                            help="the image: .png, .svg or .pdf (default: FIRST-ID.png here)"),
            common.argument("--db", action="store_true",
                            help="draw 10·log10 of the values (power)"),
        ],
    ),
)


def add_commands(commands: Any, parent: argparse.ArgumentParser) -> None:
    """Add the ``plot`` subcommand to the command line's parser."""
    common.add_commands(commands, parent, COMMANDS)
