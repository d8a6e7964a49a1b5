"""The command line's entry point: the parser of every command, and `main`.

Each command module adds its subcommands through ``add_commands(commands,
parent)``; `COMMAND_MODULES` lists them in the order ``--help`` shows them,
so a new command module is one more entry there.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence

from corvina.cli import browse, common, export, maintenance, plot, running, serve

__all__ = ["COMMAND_MODULES", "build_parser", "main"]

COMMAND_MODULES = (browse, running, maintenance, plot, export, serve)


def common_options() -> common.Parser:
    """The options every command takes, before or after its name alike."""
    # SUPPRESS keeps a subcommand from resetting a value given before it.
    parent = common.Parser(add_help=False)
    parent.add_argument(
        "--store",
        metavar="LOCATION",
        default=argparse.SUPPRESS,
        help=f"the store: a directory or a URL (default: ${common.STORE_VARIABLE} "
        "or the user data dir)",
    )
    parent.add_argument(
        "-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
        help="also show the store's debug log (every file saved or deleted)",
    )
    return parent


def build_parser() -> argparse.ArgumentParser:
    parent = common_options()
    parser = common.Parser(
        description="Look into a store of simulation results.",
        epilog="Exit status: 0 on success, 1 when nothing was found, "
        "2 on bad usage or when the store cannot be used.",
        parents=[parent],
    )
    from corvina import __version__

    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for module in COMMAND_MODULES:
        module.add_commands(commands, parent)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    prog = parser.prog
    try:
        args = parser.parse_args(argv)
        func: Callable[[argparse.Namespace], int] = args.func
        with common.use_store(getattr(args, "store", None)), common.log_to_stderr(
            prog, getattr(args, "verbose", False)
        ):
            return func(args)
    except (common.UsageError, common.StoreError) as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return common.EXIT_USAGE
    except (common.NotFound, common.Declined) as exc:
        print(f"{prog}: {exc}", file=sys.stderr)
        return common.EXIT_NOT_FOUND
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return common.EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader (`| head`) has gone; Python would complain again when
        # flushing stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return common.EXIT_OK
    except Exception as exc:
        print(f"{prog}: error: {common.describe_error(exc)}", file=sys.stderr)
        return common.EXIT_USAGE
