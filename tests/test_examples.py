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


def run_example(name: str, *args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args],
        capture_output=True,
        text=True,
        timeout=200,
        env=None if env is None else {**os.environ, **env},
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
        "parallel_sweep.py", "--workers", "2", "--points", "4", "--cost", "0.02", "--store", str(store),
        # dask's workers keep their scratch space in the test's directory, not in
        # the machine's temporary one, where it would outlive the test.
        env={"DASK_TEMPORARY_DIRECTORY": str(tmp_path / "dask")},
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert _counts(proc.stdout, "run 1") == (4, 0)
    assert _counts(proc.stdout, "run 2") == (0, 4)
    assert len(list(store.glob("transmission/*.json"))) == 4
    # nothing half-written left behind by concurrent saves
    assert [p.name for p in store.rglob("*") if p.is_file() and p.suffix != ".json"] == []


@pytest.mark.skipif(
    importlib.util.find_spec("distributed") is None, reason="dask distributed is not installed"
)
def test_parallel_sweep_overlapping_sweeps_compute_each_point_once(tmp_path):
    store = tmp_path / "shared"
    proc = run_example(
        "parallel_sweep.py", "--overlap", "--workers", "2", "--points", "9", "--cost", "0.2",
        "--store", str(store), env={"DASK_TEMPORARY_DIRECTORY": str(tmp_path / "dask")},
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert re.search(r"^3 points in both sweeps, 9 unique: 9 solver runs in ", proc.stdout, re.M)
    assert len(list(store.glob("transmission/*.json"))) == 9
    assert [p.name for p in store.rglob("*") if p.is_file() and p.suffix != ".json"] == []


# A stand-in for the MEEP module that the demo's real-solver path drives in its
# worker processes: instant, constant fluxes, and a failure where asked.
FAKE_SOLVER = '''
import os
import time

SOLVER_SETTINGS = {"solver": "fake"}


def meep_version():
    return "0.fake"


def straight_settings(ring, model):
    return {"width": ring["width"], "length": 6.0}


def run_timed(kind, settings, model, wavelengths, resolution, time_cap_fs):
    log = os.environ.get("FAKE_SOLVER_RUNS")
    if log:
        with open(log, "a") as runs:
            runs.write(f"{kind} {settings.get('gap')}\\n")
        time.sleep(float(os.environ.get("FAKE_SOLVER_SECONDS", "0")))
    fail = os.environ.get("FAKE_SOLVER_FAILS", "")
    if fail == kind or fail == f"{kind} {settings.get('gap')}":
        raise RuntimeError("the fields diverged")
    n = len(wavelengths)
    if fail == "no input power" and kind == "straight":
        return {"through_flux": [0.0] * n}, 0.01
    if kind == "straight":
        return {"through_flux": [4.0] * n}, 0.01
    return {"through_flux": [1.0] * n, "drop_flux": [2.0] * n}, 0.01
'''


def start_demo_on_fake_solver(tmp_path, fails: str, **env: str) -> subprocess.Popen[str]:
    (tmp_path / "fake").mkdir(exist_ok=True)
    (tmp_path / "fake" / "meep_ring.py").write_text(FAKE_SOLVER)
    # The fake comes before the examples' own meep_ring, in the workers too
    # (they are given the parent's sys.path).
    driver = (
        "import sys; sys.path[:0] = sys.argv[1:3]; import demo; "
        "sys.exit(demo.main(sys.argv[3:]))"
    )
    return subprocess.Popen(
        [sys.executable, "-c", driver, str(tmp_path / "fake"), str(EXAMPLES),
         "--solver", "meep", "--jobs", "2", "--store", str(tmp_path / "store"),
         "--plot", str(tmp_path / "sweep.png")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env={**os.environ, "FAKE_SOLVER_FAILS": fails, **env},
    )


def run_demo_on_fake_solver(tmp_path, fails: str) -> subprocess.CompletedProcess[str]:
    proc = start_demo_on_fake_solver(tmp_path, fails)
    stdout, stderr = proc.communicate(timeout=200)
    return subprocess.CompletedProcess(proc.args, proc.returncode, stdout, stderr)


def test_two_demos_on_one_store_run_each_simulation_once(tmp_path):
    runs = tmp_path / "runs.txt"
    demos = [start_demo_on_fake_solver(tmp_path, "", FAKE_SOLVER_RUNS=str(runs),
                                       FAKE_SOLVER_SECONDS="0.5") for _ in range(2)]
    outputs = [demo.communicate(timeout=200) for demo in demos]
    assert [demo.returncode for demo in demos] == [0, 0], outputs
    assert sorted(runs.read_text().splitlines()) == sorted(
        ["straight None"] + [f"ring {gap}" for gap in (0.05, 0.1, 0.15, 0.2)])
    computed = [_counts(stdout, "pass 1") for stdout, _ in outputs]
    assert sum(c for c, _ in computed) == 5 and all(c + s == 5 for c, s in computed)


def _stored(store: pathlib.Path) -> dict[tuple[str, float | None], dict]:
    import json

    records = [json.loads(p.read_text()) for p in store.glob("transmission/*.json")]
    return {(r["component_name"], r["component_settings"].get("gap")): r for r in records}


@pytest.mark.parametrize(
    "fails, failed_line, good_rings",
    [
        ("", None, {0.05, 0.10, 0.15, 0.20}),
        # The normalising run fails: every ring is recorded as failed, saying
        # why, and one line names the run that failed.
        ("straight", r"straight \{.*\}: RuntimeError: the fields diverged; so 4 ring run", set()),
        ("no input power",
         r"straight \{.*\}: its input power is not one finite, positive value per wavelength; so 4 ring",
         set()),
        # One ring fails: the others are saved all the same.
        ("ring 0.15", r"ring_add_drop \{.*'gap': 0\.15\}: RuntimeError: the fields diverged$",
         {0.05, 0.10, 0.20}),
    ],
    ids=["none", "normalising-run", "zero-input-power", "one-ring"],
)
def test_demo_survives_failed_solver_runs(tmp_path, fails, failed_line, good_rings):
    proc = run_demo_on_fake_solver(tmp_path, fails)
    assert "Traceback" not in proc.stderr, proc.stderr
    stored = _stored(tmp_path / "store")
    rings = {gap: r for (name, gap), r in stored.items() if name == "ring_add_drop"}
    assert set(rings) == {0.05, 0.10, 0.15, 0.20}, "every ring is recorded, failed or not"
    assert {gap for gap, r in rings.items() if r["status"] == "success"} == good_rings
    for gap in good_rings:
        assert rings[gap]["result"]["through"][0] == 0.25 and rings[gap]["result"]["drop"][0] == 0.5
    if failed_line is None:
        assert proc.returncode == 0, proc.stderr
        assert _counts(proc.stdout, "pass 2") == (0, 5)
        return
    assert proc.returncode == 1
    [line] = proc.stderr.splitlines()
    assert re.fullmatch(rf"failed: {failed_line}.*", line), line
    if not good_rings:
        assert stored[("straight", None)]["status"] == "error"
        for r in rings.values():
            assert "straight waveguide's run, which normalises it, failed" in r["error_message"]
            assert stored[("straight", None)]["error_message"] in r["error_message"]
    # The failed runs are kept as failures, not answers: the next run makes
    # them again and takes the rest from the store.
    again = run_demo_on_fake_solver(tmp_path, "")
    assert again.returncode == 0, again.stderr
    errors = sum(1 for r in stored.values() if r["status"] == "error")
    assert _counts(again.stdout, "pass 1") == (errors, 5 - errors)
