"""The maintenance commands' former home, kept for old imports: see `corvina.cli`."""

from corvina.cli.common import format_age, format_bytes, parse_age, parse_size
from corvina.cli.maintenance import add_commands

__all__ = ["add_commands", "format_age", "format_bytes", "parse_age", "parse_size"]
