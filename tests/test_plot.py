"""`corvina-sims plot`, driven as a user drives it, on a real store."""

from __future__ import annotations

import importlib.util
import subprocess
import sys

import pytest

from corvina import spectra
from corvina.cli import plot as plotting
from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters

needs_matplotlib = pytest.mark.skipif(
    importlib.util.find_spec("matplotlib") is None, reason="matplotlib is not installed"
)
WAVELENGTHS = [1.50, 1.525, 1.55, 1.575, 1.60]


def run(*args: str, cwd=None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "corvina.cli", *args],
        capture_output=True, text=True, timeout=120, cwd=cwd,
    )


@pytest.fixture
def records(tmp_path, monkeypatch):
    """Two points of a gap sweep with spectra, and a result with nothing to draw."""
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(tmp_path / "simulations"))

    def save(component, settings, result, wavelengths=WAVELENGTHS):
        return storage.save_simulation_result(
            component_name=component,
            factory_name=component,
            component_settings=settings,
            model_parameters={"core_index": 2.85},
            hyperparameters=SimulationHyperparameters(wavelength_points=len(wavelengths)),
            simulation_type="transmission",
            result=result,
            wavelengths=wavelengths,
            execution_time_seconds=1.0,
        )

    spectra = {
        "through": [1.0, 0.5, 0.0, 0.5, 1.0],
        "nested": {"drop": [0, 0.5, 1, 0.5, 0]},
        "resonances_nm": [1550.0],  # another length: a figure, not a spectrum
        "flags": [True, False, True, False, True],
        "fsr_nm": 66.0,
    }
    return {
        "a": save("ring", {"radius": 1.87, "gap": 0.1}, spectra),
        "b": save("ring", {"radius": 1.87, "gap": 0.2}, spectra),
        "empty": save("mode", {"width": 0.3}, {"neff": 2.4, "profile": [1.0, 2.0]}),
    }


def test_series_are_those_with_one_number_per_wavelength(records):
    assert [name for name, _ in spectra.plottable_series(records["a"])] == ["through", "nested.drop"]
    assert spectra.plottable_series(records["empty"]) == []


def test_labels_name_the_component_and_what_differs(records):
    assert plotting._labels([records["a"], records["b"]]) == ["ring gap=0.1", "ring gap=0.2"]
    assert plotting._labels([records["a"], records["empty"]]) == [
        "ring gap=0.1 radius=1.87",
        "mode width=0.3",
    ]


_MAGIC = {"png": b"\x89PNG\r\n\x1a\n", "svg": b"<?xml", "pdf": b"%PDF-"}


@needs_matplotlib
@pytest.mark.parametrize(("fmt", "extra"), [("png", []), ("svg", ["--db"]), ("pdf", [])])
def test_plot_writes_an_image_of_the_requested_format(records, tmp_path, fmt, extra):
    out = tmp_path / f"sweep.{fmt}"
    a, b = records["a"].simulation_id, records["b"].simulation_id
    proc = run("plot", a, b[:6], "-o", str(out), *extra)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str(out)
    data = out.read_bytes()
    assert data.startswith(_MAGIC[fmt]) and len(data) > 1000


@needs_matplotlib
def test_plot_names_its_image_after_the_id_by_default(records, tmp_path):
    ident = records["a"].simulation_id
    proc = run("plot", ident, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == f"{ident}.png"
    assert (tmp_path / f"{ident}.png").read_bytes().startswith(_MAGIC["png"])


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["{empty}", "-o", "{tmp}/out.png"], 1, "has nothing to plot"),
        (["{a}", "{empty}", "-o", "{tmp}/out.png"], 1, "has nothing to plot"),
        (["{a}", "-o", "{tmp}/sweep.jpeg"], 2, "name a .png, .svg or .pdf file"),
        (["0000000000000000", "-o", "{tmp}/out.png"], 1, "no simulation result with ID"),
    ],
)
def test_plot_failures_are_one_line_and_write_nothing(records, tmp_path, args, status, message):
    ids = {k: r.simulation_id for k, r in records.items()}
    argv = [a.format(tmp=tmp_path, **ids) for a in args]
    proc = run("plot", *argv)
    assert proc.returncode == status
    [line] = proc.stderr.splitlines()
    assert message in line
    assert not list(tmp_path.glob("*.png")) and not list(tmp_path.glob("*.jpeg"))


def test_the_package_and_the_other_commands_do_without_matplotlib(records):
    code = (
        "import sys, corvina, corvina.models, corvina.cli.main as s\n"
        "assert s.main(['list']) == 0 and s.main(['stats']) == 0\n"
        "assert 'matplotlib' not in sys.modules, 'matplotlib was imported'\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
