"""The benchmark's plain Python store must be interchangeable with the module.

Its figures only mean something if it does the same work: the same IDs, the
same files in the same places, and files that each side reads back from the
other. These tests hold it to that.
"""

from __future__ import annotations

import importlib
import logging
import math
import sys
from pathlib import Path

import orjson
import pytest

import corvina.core.simulation_storage as module
from corvina.models import SimulationHyperparameters, StoredSimulationResult

_BENCHMARKS = Path(__file__).resolve().parents[1] / "benchmarks"


def _load_baseline():
    sys.path.insert(0, str(_BENCHMARKS))
    try:
        return importlib.import_module("baseline")
    finally:
        sys.path.remove(str(_BENCHMARKS))


baseline = _load_baseline()
STORES = {"module": module, "baseline": baseline}


class _Dump:
    """Hyperparameters stand-in whose dump is given verbatim."""

    def __init__(self, data):
        self.data = data

    def model_dump(self):
        return self.data


# --- identity ---------------------------------------------------------------

_KNOWN_IDS = [
    (("part_a", "make_part", {"width": 0.5, "length": 10}, {}, _Dump({}), "demo"), "f1185776ec8d1694"),
    (("part_a", "make_part", {"length": 10, "width": 0.5}, {}, _Dump({}), "demo"), "f1185776ec8d1694"),
    (("part_a", "make_part", {"width": 0.5, "length": 10.0}, {}, _Dump({}), "demo"), "81e798684c3e554f"),
    (("", "", {}, {}, _Dump({}), ""), "9687e173b134cae1"),
]


@pytest.mark.parametrize(("fields", "expected"), _KNOWN_IDS)
def test_baseline_gives_the_documented_ids(fields, expected):
    assert baseline._compute_simulation_id(*fields) == expected


_IDENTITIES = {
    "typical": (
        "ring_single",
        "ring_single",
        {"gap": 0.2, "radius": 10.0, "length_x": 4, "cross_section": "strip", "bend": None},
        {"n_eff": 2.4, "loss_db_cm": 3},
        SimulationHyperparameters(),
        "fdtd",
    ),
    "non_ascii_and_controls": (
        "\u00d8ring\U0001f600",
        'fac"to\\ry',
        {"label": "tab\there\nline\x7f\u2028", "empty": ""},
        {},
        SimulationHyperparameters(solver="mode"),
        "eme",
    ),
    "nested_and_numeric_keys": (
        "mmi",
        "mmi1x2",
        {"ports": [[1, 2.5], (3, -0.0)], "taper": {"w": [1e-05, 1.5e-07, 1e16, 1e15]}},
        {10: "ten", 2: "two", 1.5: True, False: None},
        _Dump({"deep": {"deeper": {"deepest": [True, False, None]}}}),
        "fdtd",
    ),
    "non_finite": (
        "c",
        "f",
        {"x": math.nan, "y": math.inf, "z": -math.inf},
        {},
        _Dump({}),
        "t",
    ),
    "large": (
        "grating",
        "grating_coupler",
        {f"period_{i:04d}": 0.3 + i * 1e-4 for i in range(2000)},
        {"teeth": list(range(200))},
        SimulationHyperparameters(wavelength_points=401),
        "fdtd",
    ),
}


@pytest.mark.parametrize("case", sorted(_IDENTITIES))
def test_ids_agree_with_module(case):
    fields = _IDENTITIES[case]
    assert baseline._compute_simulation_id(*fields) == module._compute_simulation_id(*fields)


def test_unencodable_identity_fails_in_both():
    fields = ("c", "f", {"s": {1, 2}}, {}, _Dump({}), "t")
    with pytest.raises(TypeError):
        module._compute_simulation_id(*fields)
    with pytest.raises(TypeError):
        baseline._compute_simulation_id(*fields)


# --- files ------------------------------------------------------------------


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger="corvina")
    return caplog


@pytest.fixture
def point(monkeypatch, tmp_path):
    """Point a store at a simulations directory of its own."""

    def at(store, directory: Path) -> Path:
        monkeypatch.setattr(store, "get_simulations_dir", lambda: directory)
        return directory

    return at


def _save_kwargs(index: int, simulation_type: str = "fdtd", **extra):
    kwargs = dict(
        component_name=f"ring_{index % 3}",
        factory_name="ring_single",
        component_settings={"radius": 5.0 + index, "gap": 0.2, "label": "\u00b5-ring"},
        model_parameters={"order": index},
        hyperparameters=SimulationHyperparameters(wavelength_points=11),
        simulation_type=simulation_type,
        result={"s21": {"real": [0.1 * index, 0.2], "imag": [0.0, -0.5]}, "ports": ["o1", "o2"]},
        wavelengths=[1.5, 1.55, 1.6],
        execution_time_seconds=index + 3,
    )
    kwargs.update(extra)
    return kwargs


_SAVES = [
    _save_kwargs(0),
    _save_kwargs(1, "eme"),
    _save_kwargs(2, status="error", error_message="diverged", pdk_version="1.2"),
    _save_kwargs(3, "eme", execution_time_seconds=0.25),
]


def _tree(root: Path) -> dict[str, dict]:
    """Every file below root, by relative path, parsed, without the save date."""
    out = {}
    for path in sorted(p for p in root.rglob("*") if p.is_file()):
        data = orjson.loads(path.read_bytes())
        data.pop("simulation_date")
        out[str(path.relative_to(root))] = data
    return out


def _without_date(raw: bytes) -> bytes:
    data = orjson.loads(raw)
    return raw.replace(data["simulation_date"].encode(), b"")


def test_saves_write_the_same_files(point, tmp_path, records):
    roots, returned, logged = {}, {}, {}
    for name, store in STORES.items():
        roots[name] = root = point(store, tmp_path / name)
        records.clear()
        returned[name] = [store.save_simulation_result(**kw) for kw in _SAVES]
        logged[name] = [(r.levelname, r.getMessage().replace(str(root), "<root>")) for r in records.records]

    assert _tree(roots["module"]) == _tree(roots["baseline"])
    assert len(_tree(roots["module"])) == len(_SAVES)
    for relative in _tree(roots["module"]):
        # Byte for byte, apart from the date: same member order, indent and numbers.
        assert _without_date((roots["module"] / relative).read_bytes()) == _without_date(
            (roots["baseline"] / relative).read_bytes()
        )
    for ours, theirs in zip(returned["module"], returned["baseline"], strict=True):
        assert ours.model_dump(exclude={"simulation_date"}) == theirs.model_dump(exclude={"simulation_date"})
    assert logged["module"] == logged["baseline"]
    assert len(logged["module"]) == len(_SAVES)


def test_each_reads_what_the_other_wrote(point, tmp_path):
    for writer, reader in (("module", "baseline"), ("baseline", "module")):
        root = tmp_path / writer
        point(STORES[writer], root)
        point(STORES[reader], root)
        saved = [STORES[writer].save_simulation_result(**kw) for kw in _SAVES]
        for record, kw in zip(saved, _SAVES, strict=True):
            identity = {k: kw[k] for k in (
                "component_name", "factory_name", "component_settings",
                "model_parameters", "hyperparameters", "simulation_type")}
            found = STORES[reader].find_simulation_result(**identity)
            assert found == record
            assert STORES[reader].load_simulation_result(record.simulation_id) == record


# --- queries and maintenance --------------------------------------------------


def _write_store(root: Path, count: int) -> list[dict]:
    """A store of `count` records with distinct dates over two type directories."""
    written = []
    for i in range(count):
        kw = _save_kwargs(i, ("fdtd", "eme")[i % 2])
        sim_id = baseline._compute_simulation_id(
            kw["component_name"], kw["factory_name"], kw["component_settings"],
            kw["model_parameters"], kw["hyperparameters"], kw["simulation_type"],
        )
        record = StoredSimulationResult(
            **{k: v for k, v in kw.items()},
            simulation_id=sim_id,
            pdk_name=("generic", "other")[i % 3 == 0],
            simulation_date=f"2026-01-01T00:00:{i:02d}+00:00",
            corvina_version="0.1.0",
        )
        directory = root / kw["simulation_type"]
        directory.mkdir(parents=True, exist_ok=True)
        path = directory / f"{kw['component_name']}_{sim_id}.json"
        path.write_bytes(orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2))
        written.append(record)
    (root / "eme" / "broken_0000000000000000.json").write_bytes(b"{not json")
    return written


_LISTINGS = [
    {},
    {"component_name": "ring_1"},
    {"simulation_type": "eme"},
    {"simulation_type": "absent"},
    {"pdk_name": "other", "status": "success"},
    {"factory_name": "nope"},
]


@pytest.mark.parametrize("filters", _LISTINGS, ids=lambda f: ",".join(f) or "all")
def test_listings_agree(point, tmp_path, filters, records):
    root = tmp_path / "store"
    _write_store(root, 12)
    outcomes = {}
    for name, store in STORES.items():
        point(store, root)
        records.clear()
        outcomes[name] = (
            store.list_simulation_results(**filters),
            [(r.levelname, r.getMessage()) for r in records.records],
        )
    assert outcomes["module"] == outcomes["baseline"]
    if not filters:
        assert len(outcomes["module"][0]) == 12
        assert len(outcomes["module"][1]) == 1  # the broken file


@pytest.mark.parametrize("filters", [{}, {"simulation_type": "fdtd"}, {"component_name": "ring_2"}],
                         ids=lambda f: ",".join(f) or "all")
def test_clearing_agrees(point, tmp_path, filters, records):
    outcomes = {}
    for name, store in STORES.items():
        root = point(store, tmp_path / name)
        written = _write_store(root, 12)
        records.clear()
        count = store.clear_simulation_results(**filters)
        remaining = sorted(str(p.relative_to(root)) for p in root.rglob("*.json"))
        again = [store.delete_simulation_result(r.simulation_id) for r in written]
        log = [(r.levelname, r.getMessage().replace(str(root), "<root>")) for r in records.records]
        outcomes[name] = (count, remaining, again, log)
    assert outcomes["module"] == outcomes["baseline"]
    assert outcomes["module"][0] > 0
