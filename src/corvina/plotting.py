"""The plotting command's former home, kept for old imports: see `corvina.cli.plot`."""

from corvina.cli.plot import NothingToPlot, add_commands, plot_records, plottable_series

__all__ = ["NothingToPlot", "add_commands", "plot_records", "plottable_series"]
