"""Tests for the plain-Python part of the package."""

from __future__ import annotations

import importlib
import itertools
import sys
from pathlib import Path

import orjson
import pydantic
import pytest

from corvina import settings
from corvina.core.lazy import LazyAttribute, lazy_import
from corvina.models import (
    SimulationHyperparameters,
    SimulationStatus,
    StoredSimulationResult,
)

_module_ids = itertools.count()


@pytest.fixture
def make_module(tmp_path, monkeypatch):
    """Write a fresh, not-yet-imported module and return its name."""
    created: list[str] = []

    def make(source: str) -> str:
        name = f"_corvina_lazy_probe_{next(_module_ids)}"
        (tmp_path / f"{name}.py").write_text(source)
        importlib.invalidate_caches()
        created.append(name)
        return name

    monkeypatch.syspath_prepend(str(tmp_path))
    yield make
    for name in created:
        sys.modules.pop(name, None)


def test_module_proxy_imports_on_first_attribute_access(make_module):
    name = make_module("VALUE = 42\n")
    proxy = lazy_import(name)
    assert name not in sys.modules
    assert "not imported" in repr(proxy)
    assert proxy.VALUE == 42
    assert name in sys.modules
    assert "VALUE" in dir(proxy)


def test_attribute_proxy_follows_rebinding(make_module, monkeypatch):
    name = make_module("def answer(x, *, y=0):\n    return ('original', x, y)\n")
    answer = lazy_import(name, "answer")
    assert name not in sys.modules
    assert answer(1, y=2) == ("original", 1, 2)
    # made after the import: still a proxy, since callables must follow rebinding
    late = lazy_import(name, "answer")

    monkeypatch.setattr(sys.modules[name], "answer", lambda x, *, y=0: ("patched", x, y))
    assert answer(3) == late(3) == ("patched", 3, 0)


def test_non_callable_attribute(make_module):
    import corvina

    version = lazy_import("corvina", "__version__")
    assert type(version) is str and version == corvina.__version__

    name = make_module("LABEL = 'probe'\n")
    label = lazy_import(name, "LABEL")
    assert isinstance(label, LazyAttribute)
    assert name not in sys.modules
    assert label == "probe" and str(label) == "probe" and f"{label:>6}" == " probe"
    assert hash(label) == hash("probe")
    assert label.resolve() == "probe"


@pytest.mark.parametrize("attr", [None, "anything"])
def test_missing_module_raises_at_use_not_at_declaration(attr):
    proxy = lazy_import("corvina_no_such_module_for_tests", attr)
    with pytest.raises(ModuleNotFoundError):
        proxy.something if attr is None else proxy()
    # repr stays usable for logging even though the import fails
    assert "corvina_no_such_module_for_tests" in repr(proxy)


_SETTINGS_VARS = (
    "CORVINA_SIMULATIONS_DIR",
    "CORVINA_BUILD_DIR",
    "CORVINA_PDK",
    "XDG_DATA_HOME",
    "XDG_CACHE_HOME",
)


@pytest.fixture
def home(tmp_path, monkeypatch):
    for var in _SETTINGS_VARS:
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    return tmp_path


@pytest.mark.parametrize(
    ("env", "func", "expected"),
    [
        ({}, settings.get_simulations_dir, "~/.local/share/corvina/simulations"),
        ({"CORVINA_SIMULATIONS_DIR": "~/sims"}, settings.get_simulations_dir, "~/sims"),
        ({"CORVINA_SIMULATIONS_DIR": "", "XDG_DATA_HOME": "/xdg"},
         settings.get_simulations_dir, "/xdg/corvina/simulations"),
        ({"XDG_DATA_HOME": "relative/dir"},
         settings.get_simulations_dir, "~/.local/share/corvina/simulations"),
        ({}, settings.get_build_dir, "~/.cache/corvina/build"),
        ({"XDG_CACHE_HOME": "/cache"}, settings.get_build_dir, "/cache/corvina/build"),
        ({"CORVINA_BUILD_DIR": "/b", "XDG_CACHE_HOME": "/cache"}, settings.get_build_dir, "/b"),
        ({}, settings.get_pdk_name, "generic"),
        ({"CORVINA_PDK": "sky"}, settings.get_pdk_name, "sky"),
    ],
)
def test_settings_follow_environment(home, monkeypatch, env, func, expected):
    # Each case sets a different environment in the same process, so a cached
    # answer from an earlier case would fail here.
    for var, value in env.items():
        monkeypatch.setenv(var, value)
    result = func()
    if func is not settings.get_pdk_name:
        expected = Path(expected.replace("~", str(home), 1))
    assert result == expected


_STORED_FIELD_ORDER = (
    "component_name factory_name component_settings model_parameters hyperparameters"
    " simulation_type simulation_id pdk_name pdk_version simulation_date corvina_version"
    " result wavelengths execution_time_seconds status error_message"
).split()


def _result(**overrides) -> StoredSimulationResult:
    fields = dict(
        component_name="mmi1x2",
        factory_name="mmi1x2",
        component_settings={"width": 0.5, "layers": [1, 0], "name": None},
        model_parameters={"n_eff": 2.4},
        hyperparameters=SimulationHyperparameters(wavelength_points=3),
        simulation_type="sparameters",
        simulation_id="abc123",
        pdk_name="generic",
        simulation_date="2025-01-01T00:00:00Z",
        corvina_version="0.1.0",
        result={"o1@0,o2@0": [[0.1, -0.2], [0.3, 0.4]]},
        wavelengths=[1.5, 1.55, 1.6],
        execution_time_seconds=0.25,
    )
    fields.update(overrides)
    return StoredSimulationResult(**fields)


@pytest.mark.parametrize(
    "overrides",
    [{}, {"status": SimulationStatus.ERROR, "error_message": "diverged", "pdk_version": "1.2"}],
)
def test_result_survives_json_round_trip(overrides):
    original = _result(**overrides)
    dumped = original.model_dump()
    restored = StoredSimulationResult.model_validate(orjson.loads(orjson.dumps(dumped)))
    assert restored == original
    # the dump order is the member order of a stored file
    assert list(dumped) == _STORED_FIELD_ORDER


def test_result_accepts_lazy_version_proxy():
    proxy = LazyAttribute("corvina", "__version__")
    assert type(_result(corvina_version=proxy).corvina_version) is str


@pytest.mark.parametrize(
    "overrides",
    [
        {"unexpected": 1},
        {"corvina_version": 1},
        {"simulation_id": 7},
        {"status": "maybe"},
        {"hyperparameters": {"solver": "fdtd", "bogus": True}},
        {"hyperparameters": {"wavelength_start": 1.6, "wavelength_stop": 1.5}},
    ],
)
def test_result_rejects_bad_input(overrides):
    with pytest.raises(pydantic.ValidationError):
        _result(**overrides)


def test_package_import_stays_light():
    import subprocess

    code = (
        "import sys, corvina, corvina.core, corvina.settings, corvina.logger\n"
        "heavy = {'pydantic', 'orjson', 'corvina.models', 'corvina.core.simulation_storage'}\n"
        "print(sorted(heavy & set(sys.modules)))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
