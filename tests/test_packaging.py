"""`pip install` of the project builds the compiled module and a working package."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent

# Only what the build reads; build trees, caches and VCS data stay behind, so
# the install neither sees nor disturbs anybody's working files.
NOT_COPIED = shutil.ignore_patterns(
    ".git", "build", "dist", "__pycache__", "*.so", "*.egg-info", ".hypothesis",
    ".pytest_cache", ".mypy_cache", "tests", "benchmarks", "examples")


@pytest.fixture(scope="module")
def installed(tmp_path_factory) -> Path:
    if shutil.which("cmake") is None:
        pytest.fail("cmake is required to build the package")
    work = tmp_path_factory.mktemp("pip")
    source, target = work / "source", work / "target"
    shutil.copytree(REPO, source, ignore=NOT_COPIED)
    proc = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps",
         "--no-index", "--no-cache-dir", "--disable-pip-version-check",
         "--root-user-action=ignore", "--target", str(target), str(source)],
        capture_output=True, text=True, timeout=600, cwd=work,
        env=dict(os.environ, PIP_BREAK_SYSTEM_PACKAGES="1"),
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return target


def test_pip_install_builds_an_importable_module(installed):
    code = """
import json, sys
import corvina.core.simulation_storage as store
class Dump:
    def model_dump(self):
        return {}
print(json.dumps({
    "file": store.__file__,
    "id": store._compute_simulation_id(
        "part_a", "make_part", {"width": 0.5, "length": 10}, {}, Dump(), "demo"),
}))
"""
    # Only the target and the system's own packages: not the staged build.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = str(installed)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, cwd=installed.parent, timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    module = Path(out["file"])
    assert module.parent == installed / "corvina" / "core"
    assert module.name.startswith("simulation_storage.") and module.suffix == ".so"
    assert out["id"] == "f1185776ec8d1694"


def test_installed_package_has_no_sources_of_the_module(installed):
    core = installed / "corvina" / "core"
    assert not list(core.rglob("*.cpp")) and not list(core.rglob("*.hpp"))
    assert (installed / "corvina" / "__init__.py").is_file()


def test_installed_module_exports_only_the_entry_point(installed):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    (module,) = (installed / "corvina" / "core").glob("simulation_storage.*.so")
    out = subprocess.run([nm, "-D", "--defined-only", str(module)],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == [
        "PyInit_simulation_storage"]


def test_installed_console_script_runs_the_command_line(installed, tmp_path):
    script = installed / "bin" / "corvina-sims"
    assert script.is_file()
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(PYTHONPATH=str(installed), CORVINA_SIMULATIONS_DIR=str(tmp_path / "empty"))
    version = subprocess.run([sys.executable, str(script), "--version"], capture_output=True,
                             text=True, env=env, cwd=installed.parent, timeout=120)
    assert version.returncode == 0 and version.stdout.startswith("corvina-sims "), version.stderr
    listing = subprocess.run([sys.executable, str(script), "list"], capture_output=True,
                             text=True, env=env, cwd=installed.parent, timeout=120)
    assert listing.returncode == 1
    assert listing.stderr.strip() == f"corvina-sims: no simulation results in {tmp_path / 'empty'}"
