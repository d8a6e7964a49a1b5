"""Leak hunt of the result index on a store on S3 (moto's server in a process
of its own): queries answered from the index after one flat listing, and an
object read again because another writer changed it. The requests go
through s3fs and botocore, release-built and with caches of their own, so
only memory blocks and descriptors are watched (see test_refleaks.py)."""

from __future__ import annotations

import sys

import orjson
import pytest

from corvina.core import simulation_storage as storage

from support.reliability import hunt, leaks, save_kwargs
from support.s3 import bucket_store

upath = pytest.importorskip("upath", reason="universal-pathlib is not installed")

pytestmark = [
    pytest.mark.leakhunt,
    pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                       reason="needs the debug interpreter: ./dev test --debug -m leakhunt"),
]


@pytest.fixture
def s3_store(s3_service, tmp_path, monkeypatch):
    url, _ = bucket_store(s3_service.endpoint, tmp_path, monkeypatch, "index-leaks")
    root = upath.UPath(url)
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: root)
    monkeypatch.setattr(storage, "log", lambda: type("Quiet", (), {
        "debug": staticmethod(lambda text: None), "warning": staticmethod(lambda text: None)})())
    monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    saved = [storage.save_simulation_result(**save_kwargs(component_name=c)) for c in ("ring", "mmi", "y_branch")]
    key = str(storage._find_simulation_file(saved[0].simulation_id)).removeprefix("s3://")
    yield root, key


def _rewrite(root, key, flip=[0]):
    # Another writer changes one object between the queries: read again each time.
    data = orjson.loads(root.fs.cat_file(key))
    flip[0] ^= 1
    data["execution_time_seconds"] = 1.0 + flip[0]
    root.fs.pipe_file(key, orjson.dumps(data))


CASES = {
    "records": lambda root, key: storage.query_simulation_results(where={"component_name": "mmi"}),
    "rows, sorted": lambda root, key: storage.query_simulation_results(
        fields=["component_name", "status"], sort="-component_name"),
    "a count": lambda root, key: storage.count_simulation_results(status="success"),
    "an object changed by another writer": lambda root, key: (
        _rewrite(root, key), storage.count_simulation_results(where={"execution_time_seconds": {"$gt": 1.5}})),
}


@pytest.mark.parametrize("case", list(CASES))
def test_the_index_on_s3_does_not_leak(s3_store, case):
    root, key = s3_store
    op = CASES[case]
    found = leaks(hunt(lambda: op(root, key)))
    found.pop("references", None)
    assert found == {}
