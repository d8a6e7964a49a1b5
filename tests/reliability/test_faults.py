"""Injected faults: whatever fails, no stored result is lost or left half written.

Faults of the file system are real ones (a full tmpfs, a read-only bind
mount, names past the file system's limit, files that are not results);
faults of the host are injected by rebinding what the store looks up at call
time. Each test runs on both kinds of path object (see ``store`` in the
suite's conftest), so the native file-system calls and the host's own path
methods are held to the same outcome.
"""

from __future__ import annotations

import errno
import os
import pathlib
import random
import subprocess
import sys
import time

import orjson
import pytest

from corvina.core import simulation_storage as storage
from corvina.models import StoredSimulationResult

from support.reliability import identity, save_kwargs, snapshot, temp_files


class Injected(Exception):
    """An error raised by a host service on purpose."""


class InjectedExit(BaseException):
    """Like an interruption: not an ordinary error."""


def save(**overrides):
    return storage.save_simulation_result(**save_kwargs(**overrides))


def assert_intact(record: StoredSimulationResult) -> None:
    assert storage.load_simulation_result(record.simulation_id) == record


def fill(directory) -> None:
    """Takes every free block of the file system holding `directory`."""
    with open(directory / "filler", "wb", buffering=0) as f:
        for size in (65536, 4096, 512, 1):  # down to the last partial block
            try:
                while True:
                    f.write(b"\0" * size)
            except OSError as exc:
                assert exc.errno == errno.ENOSPC


def use_up_inodes(directory) -> None:
    for i in range(100_000):
        try:
            (directory / f"inode{i}").touch()
        except OSError as exc:
            assert exc.errno == errno.ENOSPC
            return
    raise AssertionError("the tmpfs never ran out of inodes")


def free(directory) -> None:
    for name in os.listdir(directory):
        if name == "filler" or name.startswith("inode"):
            os.unlink(directory / name)


# --- a full disk ---------------------------------------------------------------


@pytest.mark.parametrize("exhausted", ["blocks", "inodes"])
def test_full_disk_keeps_the_earlier_result_and_recovers(store, logs, mounts, exhausted):
    mounts.tmpfs(store, size="256k", nr_inodes=64)
    earlier = save(result={"run": 1, "blob": "a" * 60_000})
    other = save(component_name="mmi", result={"run": 1})
    (fill if exhausted == "blocks" else use_up_inodes)(store)
    logs.records.clear()

    with pytest.raises(OSError) as replacing:
        save(result={"run": 2, "blob": "b" * 60_000})
    with pytest.raises(OSError) as adding:
        save(component_name="new", result={"run": 2, "blob": "c" * 60_000})

    assert replacing.value.errno == adding.value.errno == errno.ENOSPC
    assert temp_files(store) == []
    assert logs.texts() == []
    assert_intact(earlier)
    assert_intact(other)
    new_id = storage._compute_simulation_id(**identity(component_name="new"))
    assert storage._find_simulation_file(new_id) is None
    assert sorted(r.simulation_id for r in storage.list_simulation_results()) == sorted(
        [earlier.simulation_id, other.simulation_id])
    assert logs.texts("warning") == []

    free(store)
    later = save(result={"run": 3, "blob": "d" * 60_000})
    added = save(component_name="new", result={"run": 3})
    assert_intact(later)
    assert_intact(added)
    assert temp_files(store) == []


# --- a read-only directory -------------------------------------------------------

READ_ONLY_OPERATIONS = {
    "replace": lambda: save(result={"run": 2}),
    "add to type": lambda: save(component_name="mmi"),
    "add type": lambda: save(simulation_type="modes"),
    "delete": lambda: storage.delete_simulation_result(
        storage._compute_simulation_id(**identity())),
    "clear": lambda: storage.clear_simulation_results(),
    "clear type": lambda: storage.clear_simulation_results(simulation_type="sparameters"),
}


@pytest.mark.parametrize("operation", list(READ_ONLY_OPERATIONS))
def test_read_only_store_refuses_changes_and_keeps_serving(store, logs, mounts, operation):
    earlier = save(result={"run": 1})
    mounts.read_only(store)
    before = snapshot(store)

    with pytest.raises(OSError) as refused:
        READ_ONLY_OPERATIONS[operation]()

    assert refused.value.errno == errno.EROFS
    assert snapshot(store) == before
    assert_intact(earlier)
    assert storage.find_simulation_result(**identity()) == earlier
    assert storage.list_simulation_results() == [earlier]
    assert logs.texts("warning") == []


# --- the tree taken by other things -----------------------------------------------


def test_a_file_in_place_of_a_type_directory(store, logs):
    kept = save(simulation_type="modes")
    (store / "sparameters").write_bytes(b"not a directory")
    before = snapshot(store)

    with pytest.raises(FileExistsError):
        save()

    assert snapshot(store) == before
    assert storage.find_simulation_result(**identity()) is None
    assert storage.list_simulation_results() == [kept]
    assert storage.list_simulation_results(simulation_type="sparameters") == []
    assert storage.clear_simulation_results(simulation_type="sparameters") == 0
    assert_intact(kept)
    assert logs.texts("warning") == []
    assert snapshot(store) == before


def test_a_directory_in_place_of_a_result_file(store, logs):
    kept = save(component_name="mmi")
    blocked = store / "sparameters" / f"ring_{storage._compute_simulation_id(**identity())}.json"
    blocked.mkdir(parents=True)
    before = snapshot(store)

    with pytest.raises(IsADirectoryError):
        save()
    assert snapshot(store) == before
    assert temp_files(store) == []

    assert storage.list_simulation_results() == [kept]
    assert logs.texts("warning") == [f"Failed to parse simulation file: {blocked}"]
    with pytest.raises(IsADirectoryError):
        storage.find_simulation_result(**identity())
    assert_intact(kept)


# --- files that are not results ----------------------------------------------------


def _valid_bytes() -> bytes:
    return orjson.dumps(save().model_dump(), option=orjson.OPT_INDENT_2)


BAD_CONTENTS = {
    "empty": lambda good: b"",
    "one byte": lambda good: good[:1],
    "cut in half": lambda good: good[: len(good) // 2],
    "last byte missing": lambda good: good[:-1],
    "binary": lambda good: random.Random(7).randbytes(4096),
    "NUL bytes": lambda good: b"\0" * len(good),
    "invalid UTF-8 in a text": lambda good: good.replace(b'"ring"', b'"r\xffng"'),
    "a JSON list": lambda good: b"[" + good + b"]",
    "a JSON number": lambda good: b"42",
    "a field missing": lambda good: orjson.dumps(
        {k: v for k, v in orjson.loads(good).items() if k != "simulation_date"}),
    "a field of the wrong type": lambda good: orjson.dumps(
        {**orjson.loads(good), "wavelengths": "many"}),
    "nested past the parser's limit": lambda good: b"[" * 100_000 + b"]" * 100_000,
    "valid record then garbage": lambda good: good + b"\n}garbage",
}


@pytest.mark.parametrize("content", list(BAD_CONTENTS))
def test_a_bad_result_file_is_reported_and_nothing_else_is_lost(store, logs, content):
    good = _valid_bytes()
    neighbours = [save(component_name="mmi"), save(component_name="taper")]
    bad = store / "sparameters" / f"ring_{storage._compute_simulation_id(**identity())}.json"
    bad.write_bytes(BAD_CONTENTS[content](good))
    bad_bytes = bad.read_bytes()
    logs.records.clear()

    with pytest.raises(ValueError):
        storage.load_simulation_result(storage._compute_simulation_id(**identity()))
    with pytest.raises(ValueError):
        storage.find_simulation_result(**identity())
    listed = storage.list_simulation_results()
    assert sorted(r.simulation_id for r in listed) == sorted(r.simulation_id for r in neighbours)
    assert logs.texts("warning") == [f"Failed to parse simulation file: {bad}"]

    assert storage.clear_simulation_results() == 2
    assert bad.read_bytes() == bad_bytes
    assert os.listdir(bad.parent) == [bad.name]

    # Saving that identity again replaces the bad file with a good one.
    repaired = save()
    assert_intact(repaired)
    assert temp_files(store) == []


HUGE = 100 * 2**20


@pytest.mark.slow
def test_a_huge_result_round_trips(store, logs):
    record = save(result={"samples": "x" * HUGE})
    path = storage._find_simulation_file(record.simulation_id)
    assert path.stat().st_size > HUGE

    loaded = storage.load_simulation_result(record.simulation_id)
    assert loaded.result["samples"] == record.result["samples"]
    assert [r.simulation_id for r in storage.list_simulation_results()] == [record.simulation_id]
    assert logs.texts("warning") == []


@pytest.mark.slow
@pytest.mark.parametrize("shape", ["unterminated text", "binary"])
def test_a_huge_bad_file_is_refused_by_load_and_skipped_by_listing(store, logs, shape):
    kept = save(component_name="mmi")
    bad = store / "sparameters" / f"ring_{storage._compute_simulation_id(**identity())}.json"
    with open(bad, "wb") as f:
        if shape == "binary":
            block = random.Random(3).randbytes(2**20)
            for _ in range(HUGE // len(block)):
                f.write(block)
        else:
            f.write(b'{"component_name": "')
            f.write(b"x" * HUGE)

    with pytest.raises(ValueError):
        storage.find_simulation_result(**identity())
    assert storage.list_simulation_results() == [kept]
    assert logs.texts("warning") == [f"Failed to parse simulation file: {bad}"]
    assert bad.stat().st_size >= HUGE


class _MeasuringCodec:
    """Stands for the codec: notes how many bytes it is handed, then refuses."""

    OPT_INDENT_2 = orjson.OPT_INDENT_2
    seen: list[int] = []

    @staticmethod
    def loads(data):
        _MeasuringCodec.seen.append(len(data))
        raise ValueError("not parsed")


@pytest.mark.slow
@pytest.mark.parametrize("path_class", ["plain", "subclass"])
def test_a_file_over_2_gib_reaches_the_codec_whole(tmp_path, monkeypatch, logs, path_class):
    cls = pathlib.Path if path_class == "plain" else type("Other", (pathlib.PosixPath,), {})
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: cls(tmp_path / "sims"))
    record = save()
    path = storage._find_simulation_file(record.simulation_id)
    os.truncate(path, 2**31 + 2**20)  # a hole: costs no memory on tmpfs
    monkeypatch.setattr(storage, "orjson", _MeasuringCodec)
    _MeasuringCodec.seen = []

    with pytest.raises(ValueError):
        storage.load_simulation_result(record.simulation_id)
    assert _MeasuringCodec.seen == [path.stat().st_size]


# --- names past the file system's limit ---------------------------------------------


def _name_max(path) -> int:
    path.mkdir(parents=True, exist_ok=True)
    return os.statvfs(path).f_namemax


@pytest.mark.parametrize("letter", ["a", "é"], ids=["ascii", "two-byte"])
def test_file_names_up_to_the_limit_work_and_longer_ones_fail_cleanly(store, logs, letter):
    limit = _name_max(store)
    tail = len("_0123456789abcdef.json")
    width = len(letter.encode())
    longest = letter * ((limit - tail) // width)
    too_long = letter * ((limit - tail) // width + 1)

    fits = save(component_name=longest)
    assert_intact(fits)
    before = snapshot(store)

    with pytest.raises(OSError) as refused:
        save(component_name=too_long)

    assert refused.value.errno == errno.ENAMETOOLONG
    assert snapshot(store) == before
    assert temp_files(store) == []
    assert storage.delete_simulation_result(fits.simulation_id) is True


def test_type_names_and_ids_past_the_limit(store, logs):
    kept = save()
    before = snapshot(store)
    long_name = "t" * (_name_max(store) + 1)

    with pytest.raises(OSError) as refused:
        save(simulation_type=long_name)
    assert refused.value.errno == errno.ENAMETOOLONG

    assert storage.list_simulation_results(simulation_type=long_name) == []
    assert storage.clear_simulation_results(simulation_type=long_name) == 0
    assert storage.load_simulation_result(long_name) is None
    assert storage.delete_simulation_result(long_name) is False
    assert snapshot(store) == before
    assert_intact(kept)


# --- faults of the host ------------------------------------------------------------


class RaisingDump:
    """Hyperparameters whose dump fails."""

    def __init__(self, error):
        self.error = error

    def model_dump(self):
        raise self.error


def _refusing_validation(error):
    class Refusing(StoredSimulationResult):
        @classmethod
        def model_validate(cls, *args, **kwargs):
            raise error

    return Refusing


def _refusing_dump(error):
    class Refusing(StoredSimulationResult):
        def model_dump(self, *args, **kwargs):
            raise error

    return Refusing


def _raiser(error):
    def raise_it(*args, **kwargs):
        raise error

    return raise_it


class _FailingLogger:
    def __init__(self, error):
        self.error = error

    def debug(self, text):
        raise self.error

    warning = debug


def _all_calls():
    some_id = storage._compute_simulation_id(**identity())
    return {
        "save": lambda: save(),
        "load": lambda: storage.load_simulation_result(some_id),
        "find": lambda: storage.find_simulation_result(**identity()),
        "list": lambda: storage.list_simulation_results(),
        "delete": lambda: storage.delete_simulation_result(some_id),
        "clear": lambda: storage.clear_simulation_results(),
        "path": lambda: storage._get_simulation_file_path("sparameters", "ring", some_id),
        "lookup": lambda: storage._find_simulation_file(some_id),
    }


# Each case: what is rebound (attribute of the store's module, or None for
# an argument-borne fault), the call, and what the call may leave behind:
# "nothing" (the tree is unchanged) or "written" (the save got as far as
# renaming its file into place before the fault, which is documented).
HOST_FAULTS = [
    ("hyperparameters dump / save", None,
     lambda e: save(hyperparameters=RaisingDump(e)), "nothing"),
    ("hyperparameters dump / find", None,
     lambda e: storage.find_simulation_result(**identity(hyperparameters=RaisingDump(e))),
     "nothing"),
    ("hyperparameters dump / id", None,
     lambda e: storage._compute_simulation_id(**identity(hyperparameters=RaisingDump(e))),
     "nothing"),
    *[(f"settings directory / {name}", ("get_simulations_dir", _raiser), call, "nothing")
      for name, call in (
          ("save", lambda e: save()),
          ("load", lambda e: _all_calls()["load"]()),
          ("find", lambda e: _all_calls()["find"]()),
          ("list", lambda e: _all_calls()["list"]()),
          ("delete", lambda e: _all_calls()["delete"]()),
          ("clear", lambda e: _all_calls()["clear"]()),
          ("path", lambda e: _all_calls()["path"]()),
          ("lookup", lambda e: _all_calls()["lookup"]()),
      )],
    ("settings PDK name / save", ("get_pdk_name", _raiser),
     lambda e: save(result={"run": 2}), "nothing"),
    ("record validation / load", ("StoredSimulationResult", _refusing_validation),
     lambda e: _all_calls()["load"](), "nothing"),
    ("record validation / find", ("StoredSimulationResult", _refusing_validation),
     lambda e: _all_calls()["find"](), "nothing"),
    ("record dump / save", ("StoredSimulationResult", _refusing_dump),
     lambda e: save(result={"run": 2}), "nothing"),
    ("logger / save", ("log", _raiser), lambda e: save(result={"run": 2}), "written"),
    ("logger message / save", ("log", lambda e: lambda: _FailingLogger(e)),
     lambda e: save(result={"run": 2}), "written"),
    ("logger / delete", ("log", _raiser), lambda e: _all_calls()["delete"](), "deleted"),
    ("logger / clear", ("log", lambda e: lambda: _FailingLogger(e)),
     lambda e: _all_calls()["clear"](), "deleted"),
]


@pytest.mark.parametrize("rebound, call, leaves", [case[1:] for case in HOST_FAULTS],
                         ids=[case[0] for case in HOST_FAULTS])
def test_a_host_fault_propagates_unchanged_with_nothing_half_done(
        store, logs, monkeypatch, rebound, call, leaves):
    earlier = save(result={"run": 1})
    before = snapshot(store)
    error = Injected("injected")
    if rebound:
        name, make = rebound
        original = getattr(storage, name)
        monkeypatch.setattr(storage, name, make(error))

    with pytest.raises(Injected) as raised:
        call(error)

    assert raised.value is error
    if rebound:
        setattr(storage, name, original)
    assert temp_files(store) == []
    if leaves == "nothing":
        assert snapshot(store) == before
        assert_intact(earlier)
    elif leaves == "written":
        stored = storage.find_simulation_result(**identity())
        assert stored.result == {"run": 2}
    else:
        assert storage.find_simulation_result(**identity()) is None


@pytest.mark.parametrize("exit_like", [False, True], ids=["error", "interruption"])
def test_validation_fault_during_a_listing_is_contained_only_if_ordinary(
        store, logs, monkeypatch, exit_like):
    save(result={"run": 1})
    before = snapshot(store)
    error = (InjectedExit if exit_like else Injected)("injected")
    monkeypatch.setattr(storage, "StoredSimulationResult", _refusing_validation(error))

    if exit_like:
        for call in (storage.list_simulation_results, storage.clear_simulation_results):
            with pytest.raises(InjectedExit) as raised:
                call()
            assert raised.value is error
    else:
        assert storage.list_simulation_results() == []
        assert storage.clear_simulation_results() == 0
        assert len(logs.texts("warning")) == 2
    assert snapshot(store) == before


@pytest.mark.parametrize("bad_part", [
    {"status": "bogus"},
    {"result": {"values": {1, 2}}},
    {"result": {"big": 2**70}},
    {"component_settings": {"values": {1, 2}}},
    {"component_settings": {1: "a", "b": 2}},
], ids=["record refuses", "codec refuses a set", "codec refuses a big integer",
        "identity encoder refuses a set", "identity keys not comparable"])
def test_a_refused_value_leaves_the_earlier_result_untouched(store, logs, bad_part):
    earlier = save(result={"run": 1})
    before = snapshot(store)

    with pytest.raises((ValueError, TypeError)):
        save(**bad_part)

    assert snapshot(store) == before
    assert temp_files(store) == []
    assert_intact(earlier)



# --- a crash -----------------------------------------------------------------------

_WRITER = """
import os, random, sys
os.environ["CORVINA_SIMULATIONS_DIR"] = sys.argv[1]
from corvina.core import simulation_storage as store
from corvina.models import SimulationHyperparameters
hyper = SimulationHyperparameters()
print("ready", flush=True)
for i in range(10**9):
    store.save_simulation_result(
        component_name=f"c{i % 4}", factory_name="f", component_settings={}, model_parameters={},
        hyperparameters=hyper, simulation_type="t", wavelengths=[1.55], execution_time_seconds=1.0,
        result={"i": i, "pad": "x" * random.randrange(1, 3_000_000)})
"""


def test_a_killed_writer_leaves_whole_results_or_none(tmp_path, monkeypatch, logs, figures):
    sims = tmp_path / "sims"
    rng = random.Random(11)
    for _ in range(6):
        writer = subprocess.Popen([sys.executable, "-c", _WRITER, str(sims)],
                                  stdout=subprocess.PIPE)
        assert writer.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(0.1, 0.5))
        writer.kill()
        writer.wait()
        writer.stdout.close()

    monkeypatch.setattr(storage, "get_simulations_dir", lambda: sims)
    files = sorted((sims / "t").glob("*.json"))
    assert files
    for path in files:
        StoredSimulationResult.model_validate(orjson.loads(path.read_bytes()))
    assert len(storage.list_simulation_results()) == len(files)
    assert logs.texts("warning") == []
    # What a kill during a save leaves: its hidden temporary file, which
    # nothing of the store reads.
    leftovers = temp_files(sims)
    assert all(os.path.basename(t).startswith(".c") for t in leftovers)
    figures(f"crash: 6 writers killed while saving results of up to 3 MB: {len(files)} results "
            f"all whole, {len(leftovers)} temporary files left behind (ignored by the store)")
