"""Saving, loading and the lookup by identity, on real directories."""

from __future__ import annotations

import ctypes
import fnmatch
import os
import pathlib
import struct
import threading
from datetime import UTC, datetime, timedelta

import orjson
import pydantic
import pytest

import corvina
from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters, SimulationStatus

from support.records import ids_of


def entries(directory: pathlib.Path) -> list[str]:
    return sorted(os.listdir(directory))


def tree(root: pathlib.Path) -> list[str]:
    """Every path below ``root``, relative to it; empty when root is missing."""
    if not root.exists():
        return []
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


# --- the tree and the file --------------------------------------------------


def test_save_creates_type_dir_and_names_file_by_component_and_id(store, save_result, identity):
    assert not store.exists()
    record = save_result()

    expected_id = storage._compute_simulation_id(**identity())
    assert record.simulation_id == expected_id
    assert tree(store) == ["sparameters", f"sparameters/ring_{expected_id}.json"]


def test_saves_differing_only_in_type_go_to_separate_type_dirs(store, save_result):
    first = save_result(simulation_type="sparameters")
    second = save_result(simulation_type="modes")

    assert first.simulation_id != second.simulation_id
    assert tree(store) == [
        "modes",
        f"modes/ring_{second.simulation_id}.json",
        "sparameters",
        f"sparameters/ring_{first.simulation_id}.json",
    ]


@pytest.mark.parametrize(
    "change",
    [
        {"component_name": "mmi"},
        {"factory_name": "ring_double"},
        {"component_settings": {"radius": 10, "gap": 0.2}},
        {"model_parameters": {"neff": 2.5}},
        {"hyperparameters": SimulationHyperparameters(mesh_resolution=40)},
    ],
    ids=lambda change: next(iter(change)),
)
def test_saves_differing_in_one_identity_field_are_kept_apart(store, save_result, change):
    first = save_result()
    second = save_result(**change)

    assert first.simulation_id != second.simulation_id
    assert storage.load_simulation_result(first.simulation_id) == first
    assert storage.load_simulation_result(second.simulation_id) == second


def test_save_replaces_earlier_result_of_same_identity(store, save_result):
    first = save_result(result={"run": 1}, execution_time_seconds=1.0)
    second = save_result(
        result={"run": 2}, execution_time_seconds=9.0, status="error", error_message="diverged"
    )

    assert second.simulation_id == first.simulation_id
    assert entries(store / "sparameters") == [f"ring_{first.simulation_id}.json"]
    loaded = storage.load_simulation_result(first.simulation_id)
    assert loaded == second
    assert loaded.result == {"run": 2} and loaded.status == SimulationStatus.ERROR


def test_file_holds_exactly_the_indented_dump_of_the_returned_record(store, save_result):
    record = save_result(result={"name": "Ørsted ring", "values": [1, 2.5, None]})

    path = store / "sparameters" / f"ring_{record.simulation_id}.json"
    assert path.read_bytes() == orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2)


def test_record_carries_metadata_added_by_the_store(store, save_result, monkeypatch):
    before = datetime.now(UTC)
    record = save_result(execution_time_seconds=3)
    after = datetime.now(UTC)

    assert record.pdk_name == storage.get_pdk_name()
    assert record.corvina_version == corvina.__version__
    date = datetime.fromisoformat(record.simulation_date)
    assert date.utcoffset() == timedelta(0)
    assert before - timedelta(seconds=1) <= date <= after + timedelta(seconds=1)
    assert type(record.execution_time_seconds) is float and record.execution_time_seconds == 3.0
    assert (record.status, record.error_message, record.pdk_version) == ("success", "", "")

    # The PDK name is asked for at every save, not remembered.
    monkeypatch.setattr(storage, "get_pdk_name", lambda: "other_pdk")
    assert save_result().pdk_name == "other_pdk"


def test_saved_file_gets_the_usual_permissions(store, save_result):
    # Others sharing the store must be able to read results as with any file
    # the user creates; a private temporary file renamed into place would not be.
    umask = os.umask(0o022)
    os.umask(umask)
    record = save_result()
    path = store / "sparameters" / f"ring_{record.simulation_id}.json"
    assert path.stat().st_mode & 0o777 == 0o666 & ~umask


def test_failing_logger_after_save_still_leaves_the_result_stored(
    store, save_result, identity, monkeypatch
):
    class BrokenLogger:
        def debug(self, text):
            raise RuntimeError("log sink down")

    monkeypatch.setattr(storage, "log", BrokenLogger)
    with pytest.raises(RuntimeError, match="log sink down"):
        save_result(result={"run": 7})
    assert storage.find_simulation_result(**identity()).result == {"run": 7}


def test_execution_time_is_written_as_a_float(store, save_result):
    record = save_result(execution_time_seconds=3)
    path = store / "sparameters" / f"ring_{record.simulation_id}.json"
    assert b'"execution_time_seconds": 3.0' in path.read_bytes()


def test_save_logs_one_debug_line_once_the_file_exists(store, save_result, identity, logs):
    path = store / "sparameters" / f"ring_{storage._compute_simulation_id(**identity())}.json"
    at_log_time = []
    logs.hook = lambda level, text: at_log_time.append(path.exists() and path.read_bytes())

    record = save_result()

    assert logs.records == [("debug", f"Saved simulation result: {path}")]
    assert at_log_time == [orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2)]


@pytest.mark.parametrize(
    ("field", "value"),
    [("wavelengths", (1.55,)), ("component_settings", None), ("error_message", None)],
)
def test_save_refuses_wrong_argument_types_before_touching_anything(
    store, save_result, logs, field, value
):
    with pytest.raises(TypeError, match=field):
        save_result(**{field: value})
    assert not store.exists()
    assert logs.records == []


def test_forming_a_path_creates_only_the_type_dir(store):
    path = storage._get_simulation_file_path("modes", "mmi", "00ff00ff00ff00ff")

    assert path == store / "modes" / "mmi_00ff00ff00ff00ff.json"
    assert tree(store) == ["modes"]
    assert storage._get_simulation_file_path("modes", "mmi", "00ff00ff00ff00ff") == path
    assert tree(store) == ["modes"]


def test_plain_file_in_place_of_type_dir_fails_the_save(store, save_result, logs):
    store.mkdir()
    (store / "sparameters").write_bytes(b"not a directory")

    with pytest.raises(FileExistsError):
        storage._get_simulation_file_path("sparameters", "ring", "0123456789abcdef")
    with pytest.raises(FileExistsError):
        save_result()
    assert (store / "sparameters").read_bytes() == b"not a directory"
    assert logs.records == []


@pytest.mark.parametrize("component_name", ["a_b_c", "", ".", ".hidden", "Ørsted ring"])
def test_round_trip_for_unusual_component_names(store, save_result, identity, component_name):
    record = save_result(component_name=component_name)

    assert entries(store / "sparameters") == [f"{component_name}_{record.simulation_id}.json"]
    assert storage.find_simulation_result(**identity(component_name=component_name)) == record


# --- names that would leave the simulations directory -----------------------


@pytest.mark.parametrize(
    ("parameter", "value"),
    [
        ("simulation_type", ".."),
        ("simulation_type", ""),
        ("simulation_type", "."),
        ("simulation_type", "<absolute>"),
        ("simulation_type", "a/b"),
        ("simulation_type", "a\0b"),
        ("component_name", "a/b"),
        ("component_name", "../../escape"),
        ("component_name", "a\0b"),
    ],
)
@pytest.mark.parametrize("pre_existing", [False, True], ids=["fresh", "existing"])
def test_names_that_leave_the_simulations_dir_are_refused_before_any_change(
    store, save_result, logs, tmp_path, parameter, value, pre_existing
):
    if value == "<absolute>":
        value = str(tmp_path / "outside")
    if pre_existing:
        store.mkdir()
    before = tree(tmp_path)

    with pytest.raises(ValueError) as excinfo:
        save_result(**{parameter: value})
    message = str(excinfo.value)
    assert parameter in message
    assert value in message or repr(value) in message
    assert tree(tmp_path) == before
    assert logs.records == []

    names = {"simulation_type": "sparameters", "component_name": "ring", parameter: value}
    with pytest.raises(ValueError):
        storage._get_simulation_file_path(
            names["simulation_type"], names["component_name"], "0123456789abcdef"
        )
    assert tree(tmp_path) == before


# --- lookup by ID over files placed by hand ---------------------------------


def test_lookup_searches_every_type_dir(store, place_record):
    place_record("alpha", "1111111111111111")
    wanted = place_record("beta", "2222222222222222", component_name="mmi")

    assert storage._find_simulation_file("2222222222222222") == wanted
    loaded = storage.load_simulation_result("2222222222222222")
    assert loaded.component_name == "mmi" and loaded.simulation_type == "beta"


@pytest.mark.parametrize("component_name", ["a_b_c", ""])
def test_lookup_matches_only_the_tail_of_the_file_name(store, place_record, component_name):
    path = place_record("modes", "abcdef0123456789", component_name=component_name)

    assert path.name == f"{component_name}_abcdef0123456789.json"
    assert storage._find_simulation_file("abcdef0123456789") == path
    assert storage.load_simulation_result("abcdef0123456789").component_name == component_name


@pytest.mark.parametrize(
    "place",
    ["ring_abcdef0123456789.json", "modes/deeper/ring_abcdef0123456789.json"],
    ids=["directly-in-simulations-dir", "below-a-type-dir"],
)
def test_lookup_ignores_files_outside_the_type_dirs(store, place_record, record_data, place):
    place_record("modes", "1111111111111111")
    path = store / place
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(orjson.dumps(record_data(simulation_id="abcdef0123456789")))

    assert storage._find_simulation_file("abcdef0123456789") is None
    assert storage.load_simulation_result("abcdef0123456789") is None


def test_lookup_returns_the_first_match_in_file_system_order(store, place_record):
    for directory in ("alpha", "beta"):
        for component in ("x", "y"):
            place_record(directory, "abcdef0123456789", component_name=component)

    first_dir = next(d for d in store.iterdir() if d.is_dir())
    first_file = next(first_dir.glob("*_abcdef0123456789.json"))
    assert storage._find_simulation_file("abcdef0123456789") == first_file


@pytest.mark.parametrize("literal_id", ["ab*", "*", "a?cd", "ab[c]d", "[!x]bcd", "ab["])
def test_ids_are_matched_literally(store, place_record, logs, literal_id):
    # Read as a pattern, each of these IDs (but the last) would select the decoy.
    decoy = place_record("modes", "abcd")

    assert storage._find_simulation_file(literal_id) is None
    assert storage.load_simulation_result(literal_id) is None
    assert storage.delete_simulation_result(literal_id) is False
    assert decoy.exists()

    wanted = place_record("modes", literal_id, component_name="other")
    assert storage._find_simulation_file(literal_id) == wanted
    assert storage.load_simulation_result(literal_id).simulation_id == literal_id
    assert storage.delete_simulation_result(literal_id) is True
    assert not wanted.exists() and decoy.exists()
    assert logs.records == [("debug", f"Deleted simulation file: {wanted}")]


def test_ids_holding_a_path_separator_select_nothing(store, place_record, logs):
    # Read as a pattern, "b/c_d" would reach into the sub-directory a_b.
    nested = place_record("modes/a_b", "d", file_name="c_d.json")

    assert storage._find_simulation_file("b/c_d") is None
    assert storage.load_simulation_result("b/c_d") is None
    assert storage.delete_simulation_result("b/c_d") is False
    assert nested.exists()
    assert logs.records == []


def test_lookup_follows_a_linked_type_dir(store, place_record, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    store.mkdir()
    (store / "linked").symlink_to(elsewhere, target_is_directory=True)
    path = place_record("linked", "0000000000000001")

    assert storage._find_simulation_file("0000000000000001") == path
    assert storage.load_simulation_result("0000000000000001").simulation_type == "linked"


def test_lookup_is_case_sensitive(store, place_record):
    place_record("modes", "ABCDEF0123456789")
    assert storage._find_simulation_file("abcdef0123456789") is None


# --- nothing is created by reading -------------------------------------------


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda ident: storage._find_simulation_file("0123456789abcdef"), None),
        (lambda ident: storage.load_simulation_result("0123456789abcdef"), None),
        (lambda ident: storage.find_simulation_result(**ident), None),
        (lambda ident: storage.list_simulation_results(), []),
        (lambda ident: storage.list_simulation_results(simulation_type="modes"), []),
        (lambda ident: storage.delete_simulation_result("0123456789abcdef"), False),
        (lambda ident: storage.clear_simulation_results(), 0),
        (lambda ident: storage.clear_simulation_results(simulation_type="modes"), 0),
    ],
    ids=["find_file", "load", "find", "list", "list_type", "delete", "clear", "clear_type"],
)
@pytest.mark.parametrize("present", [False, True], ids=["missing", "empty"])
def test_reading_an_absent_or_empty_store_finds_nothing_and_creates_nothing(
    store, logs, identity, call, expected, present
):
    if present:
        store.mkdir()

    outcome = call(identity())
    assert outcome == expected and type(outcome) is type(expected)
    assert store.exists() is present
    assert tree(store) == []
    assert logs.records == []


@pytest.mark.parametrize(
    "call",
    [
        lambda: storage._find_simulation_file("0123456789abcdef"),
        lambda: storage.load_simulation_result("0123456789abcdef"),
        lambda: storage.delete_simulation_result("0123456789abcdef"),
        lambda: storage.list_simulation_results(),
        lambda: storage.clear_simulation_results(),
    ],
    ids=["find_file", "load", "delete", "list", "clear"],
)
def test_a_plain_file_as_simulations_dir_is_an_error(store, logs, call):
    store.write_bytes(b"not a directory")

    with pytest.raises(NotADirectoryError):
        call()
    assert store.read_bytes() == b"not a directory"
    assert logs.records == []


# --- loading and the lookup by identity --------------------------------------


def test_find_returns_latest_save_of_the_identity(store, save_result, identity):
    save_result(result={"run": 1})
    latest = save_result(result={"run": 2})

    found = storage.find_simulation_result(**identity())
    assert found == latest
    assert found is not latest


@pytest.mark.parametrize(
    "change",
    [
        {"model_parameters": {"neff": 2.41}},
        {"component_settings": {"radius": 10, "gap": 0.2}},
        {"simulation_type": "modes"},
        {"factory_name": "Ring_Single"},
    ],
    ids=["model_parameters", "int-for-float", "type", "case"],
)
def test_find_with_a_neighbouring_identity_finds_nothing(store, save_result, identity, change):
    save_result()
    assert storage.find_simulation_result(**identity(**change)) is None


def test_find_ignores_the_order_of_settings(store, save_result, identity):
    record = save_result(component_settings={"radius": 10.0, "gap": 0.2})
    swapped = identity(component_settings={"gap": 0.2, "radius": 10.0})
    found = storage.find_simulation_result(**swapped)
    assert found == record


def test_load_of_a_path_that_vanished_warns_and_returns_none(store, identity, logs, monkeypatch):
    gone = store / "sparameters" / "ring_0123456789abcdef.json"
    monkeypatch.setattr(storage, "_find_simulation_file", lambda simulation_id: gone)

    assert storage.load_simulation_result("0123456789abcdef") is None
    assert storage.find_simulation_result(**identity()) is None
    warning = ("warning", f"Simulation file not found: {gone}")
    assert logs.records == [warning, warning]
    assert not store.exists()


@pytest.mark.parametrize(
    ("content", "error"),
    [
        (b'{"component_name": "ring",', orjson.JSONDecodeError),
        (b"", orjson.JSONDecodeError),
        (b'{"component_name": "ring"}', pydantic.ValidationError),
        (b"[1, 2, 3]", pydantic.ValidationError),
    ],
    ids=["truncated", "empty", "missing-fields", "not-an-object"],
)
def test_unreadable_file_makes_load_and_find_raise(
    store, save_result, identity, logs, content, error
):
    record = save_result()
    path = store / "sparameters" / f"ring_{record.simulation_id}.json"
    path.write_bytes(content)
    logs.records.clear()

    with pytest.raises(error):
        storage.load_simulation_result(record.simulation_id)
    with pytest.raises(error):
        storage.find_simulation_result(**identity())
    assert path.read_bytes() == content
    assert logs.records == []


def test_load_of_a_directory_named_like_a_result_raises(store, logs):
    (store / "modes" / "ring_0000000000000001.json").mkdir(parents=True)

    with pytest.raises(IsADirectoryError):
        storage.load_simulation_result("0000000000000001")
    assert logs.records == []


def test_leftover_temporary_file_of_an_interrupted_save_is_ignored(
    store, save_result, identity, logs
):
    record = save_result()
    leftover = store / "sparameters" / f".ring_{record.simulation_id}.json.0123abcd.tmp"
    leftover.write_bytes(b'{"half": ')
    logs.records.clear()

    assert storage.find_simulation_result(**identity()) == record
    assert storage.list_simulation_results() == [record]
    assert storage.clear_simulation_results() == 1
    assert leftover.exists()
    assert [level for level, _ in logs.records] == ["debug", "debug"]


# --- a save never damages the earlier result ---------------------------------


def stored_bytes(store, record) -> bytes:
    return (store / record.simulation_type / f"ring_{record.simulation_id}.json").read_bytes()


@pytest.mark.parametrize(
    ("bad_outcome", "error"),
    [
        ({"result": {"values": {1, 2}}}, orjson.JSONEncodeError),
        ({"result": {"big": 1 << 70}}, orjson.JSONEncodeError),
        ({"status": "unknown"}, pydantic.ValidationError),
        ({"wavelengths": ["not a number"]}, pydantic.ValidationError),
    ],
    ids=["set-unencodable", "int-too-big", "status-refused", "wavelength-refused"],
)
def test_failed_save_leaves_earlier_result_byte_identical(
    store, save_result, logs, bad_outcome, error
):
    earlier = save_result()
    before = stored_bytes(store, earlier)
    logs.records.clear()

    with pytest.raises(error):
        save_result(**bad_outcome)
    assert stored_bytes(store, earlier) == before
    assert entries(store / "sparameters") == [f"ring_{earlier.simulation_id}.json"]
    assert logs.records == []


def test_failing_codec_leaves_earlier_result_byte_identical(store, save_result, monkeypatch):
    earlier = save_result()
    before = stored_bytes(store, earlier)

    class BrokenCodec:
        OPT_INDENT_2 = orjson.OPT_INDENT_2

        @staticmethod
        def dumps(value, option=None):
            raise orjson.JSONEncodeError("refused")

    monkeypatch.setattr(storage, "orjson", BrokenCodec)
    with pytest.raises(orjson.JSONEncodeError, match="refused"):
        save_result(result={"run": 2})
    assert stored_bytes(store, earlier) == before
    assert entries(store / "sparameters") == [f"ring_{earlier.simulation_id}.json"]


def test_repeated_saves_leave_no_temporary_files(store, save_result):
    for run in range(5):
        record = save_result(result={"run": run})
    assert entries(store / "sparameters") == [f"ring_{record.simulation_id}.json"]


def test_save_whose_final_rename_fails_leaves_no_temporary_file(store, save_result, identity, logs):
    # A directory in the way of the result file makes the last step fail.
    simulation_id = storage._compute_simulation_id(**identity())
    blocker = store / "sparameters" / f"ring_{simulation_id}.json"
    (blocker / "occupied").mkdir(parents=True)

    with pytest.raises(OSError):
        save_result()
    assert entries(store / "sparameters") == [blocker.name]
    assert entries(blocker) == ["occupied"]
    assert logs.records == []


def test_save_with_an_overlong_file_name_fails_cleanly(store, save_result):
    with pytest.raises(OSError):
        save_result(component_name="c" * 250)
    assert entries(store / "sparameters") == []


IN_MODIFY, IN_MOVED_FROM, IN_MOVED_TO, IN_CREATE = 0x2, 0x40, 0x80, 0x100


def watch_directory(directory: pathlib.Path):
    """Start recording (mask, name) events in ``directory``; returns a reader."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    if fd < 0:
        pytest.skip("the kernel offers no directory events here")
    mask = IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE
    if libc.inotify_add_watch(fd, os.fsencode(directory), mask) < 0:
        os.close(fd)
        pytest.skip("cannot watch the directory")

    def read() -> list[tuple[int, str]]:
        events = []
        try:
            data = os.read(fd, 1 << 16)
        except BlockingIOError:
            data = b""
        finally:
            os.close(fd)
        offset = 0
        while offset < len(data):
            _, event_mask, _, length = struct.unpack_from("iIII", data, offset)
            raw = data[offset + 16 : offset + 16 + length]
            events.append((event_mask, os.fsdecode(raw.rstrip(b"\0"))))
            offset += 16 + length
        return events

    return read


def test_replacing_save_renames_a_hidden_temporary_file_into_place(store, save_result):
    record = save_result(result={"run": 1})
    target = f"ring_{record.simulation_id}.json"
    read_events = watch_directory(store / "sparameters")

    save_result(result={"run": 2})
    events = read_events()

    created = [name for mask, name in events if mask & IN_CREATE]
    assert created, events
    for name in created:
        assert name.startswith(".") and not fnmatch.fnmatchcase(name, "*.json"), name
    # Readers never see the target half written: it is swapped in whole.
    assert (IN_MOVED_TO, target) in events
    assert not any(mask & (IN_MODIFY | IN_CREATE) and name == target for mask, name in events)
    assert entries(store / "sparameters") == [target]


# --- the path class's own methods are honoured ------------------------------


def _refuse(*args, **kwargs):
    raise PermissionError(13, "Permission denied")


@pytest.mark.parametrize(
    ("method", "replacement", "outcome"),
    [
        ("exists", lambda self, **kw: False, None),
        ("iterdir", lambda self: iter(()), None),
        ("is_dir", lambda self, **kw: False, None),
        ("glob", lambda self, pattern, **kw: iter(()), None),
        ("read_bytes", lambda self: b"{", orjson.JSONDecodeError),
        ("read_bytes", _refuse, PermissionError),
    ],
)
def test_load_honours_patched_path_methods(
    store, save_result, monkeypatch, method, replacement, outcome
):
    record = save_result()
    monkeypatch.setattr(pathlib.Path, method, replacement)

    if outcome is None:
        assert storage.load_simulation_result(record.simulation_id) is None
    else:
        with pytest.raises(outcome):
            storage.load_simulation_result(record.simulation_id)


@pytest.mark.parametrize("method", ["mkdir", "write_bytes"])
def test_save_honours_a_refusing_path_method(store, save_result, logs, monkeypatch, method):
    earlier = save_result(result={"run": 1})
    before = stored_bytes(store, earlier)
    logs.records.clear()
    with monkeypatch.context() as patch, pytest.raises(PermissionError):
        patch.setattr(pathlib.Path, method, _refuse)
        save_result(result={"run": 2})
    assert stored_bytes(store, earlier) == before
    assert entries(store / "sparameters") == [f"ring_{earlier.simulation_id}.json"]
    assert logs.records == []


def test_full_disk_reported_by_write_bytes_keeps_earlier_result(store, save_result, monkeypatch):
    earlier = save_result(result={"run": 1})
    before = stored_bytes(store, earlier)

    def disk_full(self, data):
        raise OSError(28, "No space left on device", str(self))

    with monkeypatch.context() as patch, pytest.raises(OSError, match="No space left"):
        patch.setattr(pathlib.Path, "write_bytes", disk_full)
        save_result(result={"run": 2})
    assert stored_bytes(store, earlier) == before


def test_delete_honours_a_refusing_unlink(store, save_result, logs, monkeypatch):
    record = save_result()
    logs.records.clear()
    with monkeypatch.context() as patch, pytest.raises(PermissionError):
        patch.setattr(pathlib.Path, "unlink", _refuse)
        storage.delete_simulation_result(record.simulation_id)
    assert storage.load_simulation_result(record.simulation_id) == record
    assert logs.records == []


# --- no stale answers for long-unchanged directories -------------------------


def age(*directories: pathlib.Path) -> None:
    """Give directories a modification time well in the past."""
    old = datetime.now().timestamp() - 3600
    for directory in directories:
        os.utime(directory, (old, old))


def test_lookups_see_changes_to_long_unchanged_directories(store, place_record):
    first = place_record("modes", "0000000000000001")
    age(store / "modes", store)
    assert storage._find_simulation_file("0000000000000001") == first
    assert len(storage.list_simulation_results()) == 1

    second = place_record("modes", "0000000000000002")
    first.unlink()
    age(store / "modes")  # as an archive tool restoring directory times would

    assert storage._find_simulation_file("0000000000000001") is None
    assert storage._find_simulation_file("0000000000000002") == second
    assert ids_of(storage.list_simulation_results()) == ["0000000000000002"]

    third = place_record("extra", "0000000000000003")
    age(store / "extra", store)
    assert storage._find_simulation_file("0000000000000003") == third
    assert sorted(ids_of(storage.list_simulation_results())) == [
        "0000000000000002",
        "0000000000000003",
    ]


def test_a_replaced_type_dir_is_searched_afresh(store, place_record, tmp_path):
    place_record("modes", "0000000000000001")
    age(store / "modes", store)
    assert storage.load_simulation_result("0000000000000001") is not None

    (store / "modes").rename(tmp_path / "retired")
    replacement = place_record("modes", "0000000000000002")
    age(store / "modes", store)

    assert storage.load_simulation_result("0000000000000001") is None
    assert storage._find_simulation_file("0000000000000002") == replacement


def test_concurrent_readers_see_whole_results_only(store, save_result, logs):
    # Two payloads of different sizes saved over each other while other
    # threads read: every read must give one of them, never a torn mix.
    payloads = [{"data": "a" * 300_000}, {"data": "b" * 100}]
    record = save_result(result=payloads[0])
    stop = threading.Event()
    failures: list[BaseException] = []

    def writer():
        try:
            for n in range(150):
                save_result(result=payloads[n % 2])
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)
        finally:
            stop.set()

    def reader():
        try:
            while not stop.is_set():
                loaded = storage.load_simulation_result(record.simulation_id)
                assert loaded is not None and loaded.result in payloads
                assert len(storage.list_simulation_results()) == 1
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)
            stop.set()

    threads = [threading.Thread(target=fn) for fn in (writer, reader, reader)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert failures == []
    assert logs.texts("warning") == []
    assert entries(store / "sparameters") == [f"ring_{record.simulation_id}.json"]


# --- every module-level name is looked up at call time -----------------------


def test_rebound_simulations_dir_redirects_later_calls(store, save_result, tmp_path, monkeypatch):
    record = save_result()
    other = type(store)(tmp_path / "elsewhere")
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: other)

    assert storage.load_simulation_result(record.simulation_id) is None
    moved = save_result()
    assert tree(other) == ["sparameters", f"sparameters/ring_{moved.simulation_id}.json"]


def test_rebound_lookup_functions_redirect_load_find_and_save(
    store, save_result, identity, place_record, monkeypatch
):
    target = place_record("modes", "feedfeedfeedfeed")
    asked = []

    def find_file(simulation_id):
        asked.append(simulation_id)
        return target

    monkeypatch.setattr(storage, "_find_simulation_file", find_file)
    assert storage.load_simulation_result("anything").simulation_id == "feedfeedfeedfeed"
    assert asked == ["anything"]

    monkeypatch.setattr(storage, "load_simulation_result", lambda sid: ("loaded", sid))
    monkeypatch.setattr(storage, "_compute_simulation_id", lambda **fields: "fixed-id")
    assert storage.find_simulation_result(**identity()) == ("loaded", "fixed-id")

    redirected = store / "redirected.json"
    monkeypatch.setattr(storage, "_get_simulation_file_path", lambda *args: redirected)
    record = save_result()
    assert record.simulation_id == "fixed-id"
    assert orjson.loads(redirected.read_bytes())["simulation_id"] == "fixed-id"


# --- only the path object's own operations are used --------------------------


class RecordingPath:
    """A path object that offers only what the store may use, and notes each use.

    It is deliberately no ``os.PathLike``: the store must reach the files
    through these methods alone.
    """

    OPERATIONS = frozenset(
        {"/", "mkdir", "exists", "iterdir", "is_dir", "glob", "read_bytes", "write_bytes", "unlink"}
    )

    def __init__(self, path: pathlib.Path, calls: list[str]) -> None:
        self._path = pathlib.Path(path)
        self._calls = calls

    def _note(self, operation: str) -> None:
        self._calls.append(operation)

    def __truediv__(self, name: str) -> RecordingPath:
        self._note("/")
        return RecordingPath(self._path / name, self._calls)

    def mkdir(self, parents: bool = False, exist_ok: bool = False) -> None:
        self._note("mkdir")
        self._path.mkdir(parents=parents, exist_ok=exist_ok)

    def exists(self) -> bool:
        self._note("exists")
        return self._path.exists()

    def iterdir(self):
        self._note("iterdir")
        return (RecordingPath(p, self._calls) for p in self._path.iterdir())

    def is_dir(self) -> bool:
        self._note("is_dir")
        return self._path.is_dir()

    def glob(self, pattern: str):
        self._note("glob")
        return (RecordingPath(p, self._calls) for p in self._path.glob(pattern))

    def read_bytes(self) -> bytes:
        self._note("read_bytes")
        return self._path.read_bytes()

    def write_bytes(self, data: bytes) -> int:
        self._note("write_bytes")
        return self._path.write_bytes(data)

    def unlink(self) -> None:
        self._note("unlink")
        self._path.unlink()

    def __str__(self) -> str:
        return str(self._path)

    def __repr__(self) -> str:
        return f"RecordingPath({str(self._path)!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, RecordingPath) and other._path == self._path

    def __hash__(self) -> int:
        return hash(self._path)

    def __getattr__(self, name: str):
        self._calls.append(f"unexpected:{name}")
        raise AttributeError(name)


def test_round_trip_through_a_path_object_offering_only_the_needed_operations(
    tmp_path, identity, logs, monkeypatch
):
    calls: list[str] = []
    root = RecordingPath(tmp_path / "simulations", calls)
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: root)
    kwargs = identity()
    kwargs.update(result={"run": 1}, wavelengths=[1.55], execution_time_seconds=1.0)

    saved = storage.save_simulation_result(**kwargs)
    file_path = tmp_path / "simulations" / "sparameters" / f"ring_{saved.simulation_id}.json"
    assert file_path.read_bytes() == orjson.dumps(saved.model_dump(), option=orjson.OPT_INDENT_2)
    assert storage.find_simulation_result(**identity()) == saved
    assert storage.list_simulation_results() == [saved]
    assert storage.list_simulation_results(simulation_type="sparameters") == [saved]
    assert storage.delete_simulation_result(saved.simulation_id) is True
    assert not file_path.exists()
    assert storage.clear_simulation_results() == 0

    assert logs.texts() == [
        f"Saved simulation result: {file_path}",
        f"Deleted simulation file: {file_path}",
    ]
    assert set(calls) <= RecordingPath.OPERATIONS, calls
    assert {"write_bytes", "read_bytes", "glob", "unlink"} <= set(calls)


@pytest.mark.parametrize("overrides", [
    {"execution_time_seconds": float("nan")},
    {"execution_time_seconds": float("inf")},
    {"wavelengths": [1.55, float("nan")]},
])
def test_save_refuses_numbers_its_file_could_not_hold(store, save_result, overrides):
    earlier = save_result()
    path = storage._find_simulation_file(earlier.simulation_id)
    before = path.read_bytes()
    with pytest.raises(pydantic.ValidationError):
        save_result(**overrides)
    assert path.read_bytes() == before
    assert storage.load_simulation_result(earlier.simulation_id) == earlier
