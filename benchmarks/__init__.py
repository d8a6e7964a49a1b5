"""Benchmarks of the simulation results store: `./dev bench` runs benchmarks/run.py.

Helper processes (another writer of a store, the S3 server and its clients)
run modules of this package with `python -m`; `child_env` lets them import it
however the benchmark itself was started.
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


def child_env(base: dict[str, str] | None = None) -> dict[str, str]:
    """`base` (default: this process's environment) with the repository first
    on PYTHONPATH, so that `python -m benchmarks.…` finds this package."""
    env = dict(os.environ if base is None else base)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(REPO), env.get("PYTHONPATH")) if p)
    return env


def positive(text: str) -> int:
    """An argument that must be a whole number from 1 on (argparse type)."""
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number")
    return value


def positive_list(text: str) -> list[int]:
    """Comma-separated positive whole numbers (argparse type)."""
    return [positive(s) for s in text.split(",")]
