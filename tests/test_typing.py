"""Type information: the stub against the running module, and mypy on real use."""

from __future__ import annotations

import importlib.util
import pathlib
import subprocess
import sys

import pytest

pytestmark = [
    pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed"),
    pytest.mark.timeout(300),
]

ROOT = pathlib.Path(__file__).resolve().parents[1]

# Module-level names that are the implementation's business, not the API's.
_NOT_IN_STUB = ("TYPE_CHECKING", "UTC", "__test__")


# Under build/ (ignored by git), so that repeated runs do not analyse
# pydantic and distributed from scratch every time.
_CACHE = ROOT / "build" / "mypy-cache"


def _mypy(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(_CACHE), "--no-error-summary", *args],
        capture_output=True,
        text=True,
        cwd=ROOT,
        timeout=280,
    )


def test_stub_matches_the_running_module(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text(
        "".join(f"corvina.core.simulation_storage.{name}\n" for name in _NOT_IN_STUB)
    )
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {_CACHE}\n")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "corvina.core.simulation_storage",
         "--allowlist", str(allowlist), "--mypy-config-file", str(config)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=280,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize(
    "target",
    [
        ["tests/typing_usage.py"],
        ["-m", "corvina.cli.main", "-m", "corvina.settings", "-m", "corvina.compute"],
        # Dask's own signatures are not all annotated
        ["--allow-untyped-calls", "examples/demo.py", "examples/meep_sweep.py",
         "examples/analytic_sweep.py", "examples/transmission.py", "examples/meep_ring.py",
         "examples/parallel_sweep.py"],
    ],
    ids=["usage", "package", "examples"],
)
def test_mypy_strict_passes(target):
    proc = _mypy("--strict", *target)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_typed_usage_runs_against_the_store(tmp_path, monkeypatch):
    # What the stub lets through must also be what the module accepts.
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(tmp_path / "store"))
    monkeypatch.syspath_prepend(str(ROOT / "tests"))
    import typing_usage

    assert len(typing_usage.exercise()) == 3
