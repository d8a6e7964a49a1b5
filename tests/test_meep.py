"""The demo's real solver: a coarse MEEP sweep through the store, twice.

Coarse (10 px/um, 41 wavelengths, one gap) so that each run takes about a
second; the demo itself runs the same code at 30 px/um. MEEP runs only in
worker processes, never in the test process: loading it switches the
processor to flushing subnormal floats to zero for the whole process, which
would break other tests' floating-point assumptions.
"""

from __future__ import annotations

import importlib.util
import pathlib
import subprocess
import sys

import pytest

from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
import demo  # noqa: E402
import meep_sweep  # noqa: E402

pytestmark = [
    pytest.mark.skipif(importlib.util.find_spec("meep") is None, reason="MEEP is not installed"),
    pytest.mark.timeout(120),
]


@pytest.fixture(scope="module")
def version() -> str:
    proc = subprocess.run(
        [sys.executable, "-c", "import meep_ring; print(meep_ring.meep_version())"],
        capture_output=True, text=True, timeout=60, cwd=EXAMPLES,
    )
    if proc.returncode != 0:
        pytest.skip(f"MEEP cannot be imported: {proc.stderr.strip().splitlines()[-1:]}")
    return proc.stdout.strip()


@pytest.fixture
def coarse(tmp_path, monkeypatch):
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(tmp_path / "simulations"))
    monkeypatch.setattr(
        meep_sweep,
        "MEEP_HYPERPARAMETERS",
        SimulationHyperparameters(
            wavelength_start=1.5, wavelength_stop=1.6, wavelength_points=41,
            mesh_resolution=10, solver="meep", simulation_time_fs=10000.0,
        ),
    )
    monkeypatch.setattr(meep_sweep, "MEEP_GAPS_UM", (0.1,))


def test_meep_runs_are_saved_found_again_and_repeat_bit_for_bit(coarse, version):
    first = demo.run_meep_pass(version, jobs=2, label="first")
    assert (first.computed, first.from_cache, first.failed) == (2, 0, 0)
    [ring] = first.records
    through, drop = ring.result["through"], ring.result["drop"]
    assert len(through) == len(drop) == len(ring.wavelengths) == 41
    # Fractions of the input power: nothing negative, nothing made from nothing.
    assert all(-0.01 < t and -0.01 < d and t + d < 1.05 for t, d in zip(through, drop))
    assert ring.result["resonances_nm"], "the band holds resonances of this ring"

    second = demo.run_meep_pass(version, jobs=2, label="second")
    assert (second.computed, second.from_cache) == (0, 2)
    assert second.records[0].simulation_id == ring.simulation_id
    assert second.records[0].result == ring.result

    # The same inputs, simulated again from scratch, give the very same numbers,
    # which is what makes a stored answer as good as a new run: here one run
    # after the other in one worker, where the first pass ran them side by side.
    assert storage.clear_simulation_results() == 2
    again = demo.run_meep_pass(version, jobs=1, label="again")
    assert again.computed == 2
    assert again.records[0].result == ring.result


def test_identity_names_the_solver_resolution_and_materials(coarse, version):
    straight, [ring] = meep_sweep.meep_runs(version)
    ident = ring.identity()
    assert ident["hyperparameters"].solver == "meep"
    assert ident["hyperparameters"].mesh_resolution == 10
    assert ident["component_settings"] == {**meep_sweep.MEEP_RING, "gap": 0.1}
    assert ident["model_parameters"]["meep_version"] == version
    assert {"core_index", "cladding_index", "decay_by"} <= set(ident["model_parameters"])
    assert straight.identity()["model_parameters"] == ident["model_parameters"]
    assert "meep" not in sys.modules, "MEEP was loaded into the test process"
