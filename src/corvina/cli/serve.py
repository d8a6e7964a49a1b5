"""``serve``: the results browser, a local web page over the store.

The page filters with the ``--where`` language, sorts, pages, plots and
compares results, watches claims come and go, and exports; it reads through
the same functions as every other command. See `corvina.web`.
"""

from __future__ import annotations

import argparse
import ipaddress
import signal
import sys
import threading
from typing import Any

from corvina.cli import common

__all__ = ["COMMANDS", "add_commands"]

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8765


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def _port(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = -1
    if not 0 <= number <= 65535:
        raise ValueError(f"{text!r} is not a port number (0 to 65535; 0 picks a free one)")
    return number


def _open_browser(link: str) -> None:
    import webbrowser

    try:
        webbrowser.open(link)
    except Exception:  # no browser here: the printed link is enough
        pass


def _stop(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def _serve(args: argparse.Namespace) -> int:
    common.require("flask", "serving the results browser", "python3-flask")
    common.require("waitress", "serving the results browser", "python3-waitress")
    from corvina import settings
    from corvina.web import data, server

    root = settings.get_simulations_dir()
    label = common.store_label()
    guard = server.Guard(host=args.host)
    browser = data.Browser(root, label=label)
    app = server.create_app(browser, guard)
    try:
        httpd = server.make_server(app, guard, port=args.port)
    except OSError as exc:
        raise common.UsageError(
            f"cannot listen on {args.host}:{args.port}: {common.describe_error(exc)}"
        ) from None
    prog = "corvina-sims"
    if not _is_loopback(args.host):
        print(f"{prog}: warning: listening on {args.host}, not only on this machine: anyone who "
              "can reach it and has the link can read the store", file=sys.stderr)
    link = guard.link()
    print(link, flush=True)
    print(f"{prog}: serving {label} (read-only) at the link above; Ctrl-C stops it",
          file=sys.stderr, flush=True)
    # The first page asks for every result, newest first: read them now.
    threading.Thread(target=browser.warm_up, daemon=True).start()
    if not args.no_browser:
        threading.Thread(target=_open_browser, args=(link,), daemon=True).start()
    previous = signal.signal(signal.SIGTERM, _stop)
    try:
        httpd.run()
    except KeyboardInterrupt:
        pass
    finally:
        signal.signal(signal.SIGTERM, previous)
        httpd.close()
    print(f"{prog}: stopped", file=sys.stderr)
    return common.EXIT_OK


COMMANDS = (
    common.Command(
        name="serve", run=_serve,
        help="browse the store in a web page: filter, sort, plot, compare, watch claims",
        description="Serve a read-only web page over the store on this machine, and print its "
        "link (it carries a token: the page needs it). The page takes the --where queries, "
        "sorts, pages, plots and overlays spectra, compares settings, shows the claims in "
        "flight, and exports every match; scripts can use its JSON API (/api/results, "
        "/api/results/ID, /api/running). Ctrl-C stops it.",
        arguments=[
            common.argument("--host", default=DEFAULT_HOST, metavar="ADDRESS",
                            help=f"the address to listen on (default {DEFAULT_HOST}: this "
                            "machine only; any other is warned about)"),
            common.argument("--port", type=common.argument_type(_port), default=DEFAULT_PORT,
                            help=f"the port (default {DEFAULT_PORT}; 0 picks a free one)"),
            common.argument("--no-browser", action="store_true",
                            help="only print the link; do not open it in a browser"),
        ],
    ),
)


def add_commands(commands: Any, parent: argparse.ArgumentParser) -> None:
    """Add ``serve`` to the command line's subcommands."""
    common.add_commands(commands, parent, COMMANDS)
