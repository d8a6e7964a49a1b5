"""Reference-leak hunt of the batch path for fsspec stores, on memory://.

Lookups by ID touch only the path, the file system and the module's own
code, so every reference is counted. Loads, listings and clearings decode
records with the release-built codec and record class, which the debug
interpreter cannot count: for them only memory blocks and descriptors are
watched (see test_refleaks.py).
"""

from __future__ import annotations

import sys
import uuid

import pytest

from corvina.core import simulation_storage as storage

from support.reliability import hunt, leaks
from support.reliability import identity, save_kwargs

upath = pytest.importorskip("upath", reason="universal-pathlib is not installed")

pytestmark = [
    pytest.mark.leakhunt,
    pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                       reason="needs the debug interpreter: ./dev test --debug -m leakhunt"),
]


@pytest.fixture
def remote(monkeypatch):
    root = upath.UPath(f"memory://leaks-{uuid.uuid4().hex[:8]}/sims")
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: root)
    monkeypatch.setattr(storage, "log", lambda: type("Quiet", (), {
        "debug": staticmethod(lambda text: None), "warning": staticmethod(lambda text: None)})())
    for component in ("ring", "mmi", "y_branch"):
        storage.save_simulation_result(**save_kwargs(component_name=component))
    (root / "sparameters" / f"bad_{'b' * 16}.json").write_bytes(b"{not json")
    (root / "sparameters" / f".mmi_{'c' * 16}.0.claim").write_bytes(b"{}")
    yield root
    root.fs.rm(root.path, recursive=True)


def _refill(root):
    if not storage.list_simulation_results():
        for component in ("ring", "mmi"):
            data = storage.save_simulation_result(**save_kwargs(component_name=component))
            assert data


# Computed once: the identity's model is release-built too.
_ID = storage._compute_simulation_id(**identity())

CASES = {
    "find by ID, hit": (lambda root: storage._find_simulation_file(_ID), True),
    "find by ID, miss": (lambda root: storage._find_simulation_file("0" * 16), True),
    "load": (lambda root: storage.load_simulation_result(_ID), False),
    "list": (lambda root: storage.list_simulation_results(), False),
    "list one type": (lambda root: storage.list_simulation_results(simulation_type="sparameters"), False),
    "clear and save again": (lambda root: (storage.clear_simulation_results(), _refill(root)), False),
    "a sweep's look": (lambda root: storage._lookup_sweep(
        [("sparameters", "ring", _ID), ("sparameters", "ring", "0" * 16),
         ("sparameters", "mmi", "c" * 16)]), False),
}


@pytest.mark.parametrize("case", list(CASES))
def test_batch_path_does_not_leak(remote, case):
    op, counted = CASES[case]
    found = leaks(hunt(lambda: op(remote)))
    if not counted:
        found.pop("references", None)
    assert found == {}
