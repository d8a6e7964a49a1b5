"""What the tests share: helpers to import, and the scripts they run as processes.

Modules: ``records`` (the sample identity and outcome, IDs of records),
``s3`` (a moto S3 service's environment and a bucket-backed store),
``web`` (a served results browser and its sample sweep; also a script),
``reliability`` (mounts, tree snapshots and leak hunts of tests/reliability).
Scripts: ``claims_worker.py`` and ``crash_worker.py`` (workers of the claims
tests), ``s3_server.py`` (moto's server in a process of its own),
``stress_worker.py`` (one writer of the stress run).
"""

import os
import pathlib

import corvina

# What a child process puts on its path to import the package under test.
HOST_ROOT = str(pathlib.Path(corvina.__file__).parent.parent)
# The scripts here, run as processes.
HERE = pathlib.Path(__file__).resolve().parent
# CI runs the suite a second time with every native fast path off.
FAST_PATHS_OFF = os.environ.get("CORVINA_DISABLE_FAST_PATHS", "") not in ("", "0")


def with_package(env: dict[str, str]) -> dict[str, str]:
    """`env` for a child process that imports the package under test."""
    out = dict(env)
    out["PYTHONPATH"] = os.pathsep.join(p for p in (HOST_ROOT, out.get("PYTHONPATH")) if p)
    return out
