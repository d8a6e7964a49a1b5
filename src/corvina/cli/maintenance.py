"""Keeping a store healthy from the shell: prune, verify and sync.

    corvina-sims prune [FILTERS] [--older-than AGE] [--max-bytes SIZE] [--dry-run] [--yes]
    corvina-sims verify [--fix]
    corvina-sims sync SOURCE DEST [FILTERS] [--dry-run]

This module gives the three commands their options and help (`COMMANDS`); each one's
work is in a module of its own (`prune`, `verify`, `sync`). Results are
listed, loaded and deleted through the store's public functions, so these
commands see what every program sees; what those functions cannot do goes
through `corvina.cli.store`.
"""

from __future__ import annotations

import argparse
from typing import Any

from corvina.cli import common, prune, sync, verify

__all__ = ["COMMANDS", "add_commands"]


_REPORT = "the report as a JSON object"
_STORE = "a directory or a URL"

COMMANDS = (
    common.Command(
        name="prune", run=prune.run, filters=True, json=_REPORT,
        help="remove old results, failed runs, or the oldest beyond a size",
        description="Remove the results that pass the filters and are older than AGE, then "
        "the oldest until what passes the filters holds at most SIZE. Each result is read "
        "again right before it is removed and kept if it was saved again since prune listed "
        "the store; only a save that lands between that reading and the removal (a window of "
        "microseconds, of a few requests on object storage) is removed with it. A result that "
        "cannot be read again or removed is reported and kept (exit status 1).",
        arguments=[
            common.argument("--older-than", metavar="AGE", type=common.parse_age,
                            help="results saved more than AGE ago: 30d, 12h, 90min, 1d12h"),
            common.argument("--max-bytes", metavar="SIZE", type=common.parse_size,
                            help="then the oldest until at most SIZE remain: 500M, 2G "
                            "(K, M, G count in 1024s; KB, MB, GB in 1000s)"),
            common.argument("-n", "--dry-run", action="store_true",
                            help="only show what would be removed"),
            common.argument("-y", "--yes", action="store_true", help="do not ask before removing"),
        ],
    ),
    common.Command(
        name="verify", run=verify.run, json=_REPORT,
        help="check every file of the store; exit 1 on problems",
        description="Read the whole store and report, one line each, files that do not parse or "
        "validate, records whose ID is not that of their identity or of their file name, files in "
        "the wrong type directory or named for another component, temporary files of "
        "interrupted saves (older than an hour), stale claims (judged by the clocks, as "
        "running judges them) and stray files.",
        arguments=[
            common.argument("--fix", action="store_true",
                            help="remove leftover temporary files and claims silent for more than "
                            "ten leases (and only those)"),
        ],
    ),
    common.Command(
        name="sync", run=sync.run, filters=True, json=_REPORT,
        help="copy results another store lacks or holds older",
        description="Copy to DEST, byte for byte, every result of SOURCE that DEST lacks or holds "
        "in an older version (by simulation date). Each is a directory or a URL.",
        arguments=[
            common.argument("source", metavar="SOURCE", help=f"the store to copy from: {_STORE}"),
            common.argument("dest", metavar="DEST", help=f"the store to copy to: {_STORE}"),
            common.argument("-n", "--dry-run", action="store_true",
                            help="only show what would be copied"),
        ],
    ),
)


def add_commands(commands: Any, parent: argparse.ArgumentParser) -> None:
    """Add prune, verify and sync to the command line's subcommands."""
    common.add_commands(commands, parent, COMMANDS)
