"""The examples run as a user runs them, on small, cheap sweeps."""

from __future__ import annotations

import importlib.util
import os
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


ANALYTIC = ("--solver", "analytic", "--cost", "0.01")


def test_demo_second_pass_comes_from_the_store(tmp_path):
    picture = tmp_path / "sweep.png"
    proc = run_example("demo.py", *ANALYTIC, "--plot", str(picture))
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    assert _counts(proc.stdout, "pass 1") == (12, 0)
    assert _counts(proc.stdout, "pass 2") == (0, 12)
    assert len(re.findall(r"^[0-9a-f]{16}  ring_single", proc.stdout, re.M)) == 12
    assert len(re.findall(r"^20 +0\.3 +1543\.5 ", proc.stdout, re.M)) == 1, "the figures table"
    assert "the store saved" in proc.stdout
    assert f"spectra: {picture}\n" in proc.stdout
    assert picture.read_bytes().startswith(b"\x89PNG")


def test_demo_store_outlives_the_process(tmp_path):
    store = tmp_path / "kept"
    plot = ("--plot", str(tmp_path / "sweep.png"))
    first = run_example("demo.py", *ANALYTIC, *plot, "--store", str(store))
    assert first.returncode == 0, first.stderr
    assert len(list(store.glob("transmission/ring_single_*.json"))) == 12
    second = run_example("demo.py", *ANALYTIC, *plot, "--store", str(store))
    assert second.returncode == 0, second.stderr
    assert _counts(second.stdout, "pass 1") == (0, 12)


def test_demo_without_meep_says_so_and_runs_the_analytic_model(tmp_path):
    # A `meep` that cannot be imported, first on the path, stands for a
    # machine without MEEP.
    (tmp_path / "meep.py").write_text("raise ImportError('No module named meep')\n")
    proc = subprocess.run(
        [sys.executable, str(EXAMPLES / "demo.py"), "--cost", "0.01", "--plot", str(tmp_path / "s.png")],
        capture_output=True, text=True, timeout=200,
        env={**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])},
    )
    assert proc.returncode == 0, proc.stderr
    assert "MEEP is not installed" in proc.stderr and "--solver analytic" in proc.stderr
    assert _counts(proc.stdout, "pass 2") == (0, 12)


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
