"""The examples run as a user runs them, on small, cheap sweeps."""

from __future__ import annotations

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"

pytestmark = pytest.mark.timeout(240)


def run_example(name: str, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args],
        capture_output=True,
        text=True,
        timeout=200,
    )


def _counts(stdout: str, label: str) -> tuple[int, int]:
    match = re.search(rf"^{label}: +(\d+) computed, +(\d+) from the store", stdout, re.M)
    assert match, stdout
    return int(match[1]), int(match[2])


def test_demo_second_pass_comes_from_the_store():
    proc = run_example("demo.py", "--cost", "0.01")
    assert proc.returncode == 0, proc.stderr
    assert _counts(proc.stdout, "pass 1") == (12, 0)
    assert _counts(proc.stdout, "pass 2") == (0, 12)
    assert len(re.findall(r"^[0-9a-f]{16}  ring_single", proc.stdout, re.M)) == 12
    assert "the store saved" in proc.stdout


def test_demo_store_outlives_the_process(tmp_path):
    store = tmp_path / "kept"
    first = run_example("demo.py", "--cost", "0.01", "--store", str(store))
    assert first.returncode == 0, first.stderr
    assert len(list(store.glob("transmission/ring_single_*.json"))) == 12
    second = run_example("demo.py", "--cost", "0.01", "--store", str(store))
    assert second.returncode == 0, second.stderr
    assert _counts(second.stdout, "pass 1") == (0, 12)


@pytest.mark.skipif(
    importlib.util.find_spec("distributed") is None, reason="dask distributed is not installed"
)
def test_parallel_sweep_shares_one_store_across_worker_processes(tmp_path):
    store = tmp_path / "shared"
    proc = run_example(
        "parallel_sweep.py", "--workers", "2", "--points", "4", "--cost", "0.02", "--store", str(store)
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert _counts(proc.stdout, "run 1") == (4, 0)
    assert _counts(proc.stdout, "run 2") == (0, 4)
    assert len(list(store.glob("transmission/*.json"))) == 4
    # nothing half-written left behind by concurrent saves
    assert [p.name for p in store.rglob("*") if p.is_file() and p.suffix != ".json"] == []
