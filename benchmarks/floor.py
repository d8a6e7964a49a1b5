"""Floors: only the host calls that an operation cannot avoid, timed as a contender.

  id        hyperparameters.model_dump()
  load      read + orjson.loads + model_validate
  find hit  model_dump + read + loads + validate
  find miss model_dump
  list      scandir + read + loads + validate per file + sort
  save      model_dump + record + model_dump + dumps + write
  delete    unlink
  clear     the list floor + unlink per file

The "host calls" row times those calls one at a time, on the largest store.
"""

from __future__ import annotations

import hashlib
import json
import os
import pathlib
from collections.abc import Callable
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any

import orjson

import corvina
import corvina.core.simulation_storage as module
from benchmarks import report
from benchmarks.harness import Contender, Row, Scenario, Stage, measure
from benchmarks.workload import HYPERS, POOL, TYPES, Pool, identity, read_file, write_file
from corvina.models import StoredSimulationResult

if TYPE_CHECKING:
    from benchmarks.session import Bench


def listing(root: str, component: str | None = None) -> list[tuple[StoredSimulationResult, str]]:
    """What any listing must do: scan, then read, parse and validate every file; newest first."""
    validate = StoredSimulationResult.model_validate
    loads = orjson.loads
    listed = []
    with os.scandir(root) as it:
        dirs = [e.path for e in it if e.is_dir()]
    for d in dirs:
        with os.scandir(d) as it:
            files = [e.path for e in it if e.name.endswith(".json")]
        for path in files:
            record = validate(loads(read_file(path)))
            if component is None or record.component_name == component:
                listed.append((record, path))
    listed.sort(key=_by_date, reverse=True)
    return listed


def _by_date(entry: tuple[StoredSimulationResult, str]) -> str:
    return entry[0].simulation_date


def id_dump(hyper: Any, expected: str) -> Callable[[int], Any]:
    def batch(k: int) -> Any:
        for _ in range(k):
            hyper.model_dump()
        return expected

    return batch


def lookup(paths: list[str], inputs: list[dict[str, Any]], with_dump: bool) -> Callable[[int], Any]:
    """Reading a stored record; with_dump, after dumping the hyperparameters
    (what identifying the record needs)."""
    validate = StoredSimulationResult.model_validate
    loads = orjson.loads

    def batch(k: int) -> Any:
        out = None
        for j in range(k):
            m = j % len(paths)
            if with_dump:
                inputs[m]["hyperparameters"].model_dump()
            out = validate(loads(read_file(paths[m])))
        return out

    return batch


def miss(inputs: list[dict[str, Any]]) -> Callable[[int], Any]:
    def batch(k: int) -> Any:
        for j in range(k):
            inputs[j % len(inputs)]["hyperparameters"].model_dump()
        return None

    return batch


def list_batch(root: str, component: str | None) -> Callable[[int], Any]:
    def batch(k: int) -> Any:
        out = None
        for _ in range(k):
            out = listing(root, component)
        return out

    return batch


RECORD_FIELDS = ("component_name", "factory_name", "component_settings", "model_parameters", "hyperparameters", "simulation_type")


def save(pool: Pool, paths: list[str]) -> Callable[[int], Any]:
    """Building the record a save makes and writing its file."""
    inputs, ids = pool.inputs, pool.ids
    pdk = module.get_pdk_name()
    version = corvina.__version__
    record_fields = RECORD_FIELDS

    def batch(k: int) -> Any:
        out = None
        for j in range(k):
            kw = inputs[j]
            kw["hyperparameters"].model_dump()
            record = StoredSimulationResult(
                **{f: kw[f] for f in record_fields},
                simulation_id=ids[j],
                pdk_name=pdk,
                pdk_version="",
                simulation_date=datetime.now(UTC).isoformat(),
                corvina_version=version,
                result=kw["result"],
                wavelengths=kw["wavelengths"],
                execution_time_seconds=float(kw["execution_time_seconds"]),
                status=kw.get("status", "success"),
                error_message=kw.get("error_message", ""),
            )
            write_file(paths[j], orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2))
            out = record
        return out

    return batch


def clear(root: str) -> Callable[[int], Any]:
    def batch(k: int) -> Any:
        listed = listing(root)
        for _, path in listed:
            os.unlink(path)
        return len(listed)

    return batch


# --- the host calls, one at a time ----------------------------------------------


def repeat(fn: Callable[[], Any]) -> Callable[[int], Any]:
    def batch(k: int) -> Any:
        out = None
        for _ in range(k):
            out = fn()
        return out

    return batch


def host_calls(bench: Bench) -> Row:
    """The single host calls that the floors are made of, on the largest store."""
    store = bench.stores[1]
    n = store.n
    path = store.paths[0]
    type_dir = str(store.root / TYPES[0])
    raw = read_file(path)
    data = orjson.loads(raw)
    record = StoredSimulationResult.model_validate(data)
    dumped = record.model_dump()
    fields = dict(data, hyperparameters=HYPERS[0])
    hyper = HYPERS[0]
    identity_data = dict(identity(3, 1), hyperparameters=hyper.model_dump())
    text = json.dumps(identity_data, sort_keys=True)
    scratch = bench.workdir / "scratch"
    scratch.mkdir(exist_ok=True)
    target = str(scratch / "rewrite_probe.json")
    write_file(target, raw)
    fresh_names = [str(scratch / f"write_probe_{j}.json") for j in range(POOL)]
    pattern = f"*_{store.ids[-1]}.json"
    validate, loads, dumps, indent = StoredSimulationResult.model_validate, orjson.loads, orjson.dumps, orjson.OPT_INDENT_2

    calls: dict[str, Callable[[], Any]] = {
        "read file (os.open, fstat, read, close)": lambda: read_file(path),
        "Path.read_bytes": lambda: pathlib.PosixPath(path).read_bytes(),
        "orjson.loads of a record file": lambda: loads(raw),
        "StoredSimulationResult.model_validate": lambda: validate(data),
        "StoredSimulationResult(16 fields)": lambda: StoredSimulationResult(**fields),
        "record.model_dump()": lambda: record.model_dump(),
        "orjson.dumps(OPT_INDENT_2)": lambda: dumps(dumped, option=indent),
        "rewrite an existing file (O_TRUNC)": lambda: write_file(target, raw),
        "hyperparameters.model_dump()": lambda: hyper.model_dump(),
        "json.dumps(identity, sort_keys=True)": lambda: json.dumps(identity_data, sort_keys=True),
        "sha256 of the identity text": lambda: hashlib.sha256(text.encode()).digest(),
        "os.stat of a directory": lambda: os.stat(type_dir),
        f"os.scandir of {n:,} entries": lambda: sum(1 for _ in os.scandir(type_dir)),
        f"Path.glob over {n:,} entries": lambda: list(pathlib.PosixPath(type_dir).glob(pattern)),
    }

    def write_new(k: int) -> Any:
        for j in range(k):
            write_file(fresh_names[j], raw)

    def remove_new(k: int) -> None:
        for name in fresh_names[:k]:
            os.unlink(name)

    contenders = {name: Contender(repeat(fn)) for name, fn in calls.items()}
    contenders["write a new file (os.open, write, close)"] = Contender(write_new, leave=remove_new)
    row = measure(Row("host calls", n, 1), contenders, bench.cfg)
    os.unlink(target)
    report.host_calls(row)
    bench.host_calls = row
    return row


SCENARIOS = (Scenario("host", Stage.END, host_calls),)
