"""Listing, filtering, deleting and clearing stored results, on real directories."""

from __future__ import annotations

import os
import pathlib

import pytest

from corvina.core import simulation_storage as storage

from support.records import ids_of


def scan_order(store: pathlib.Path) -> list[pathlib.Path]:
    """Result files in the order a full listing meets them: directories and
    files as the file system yields them, nothing sorted."""
    return [
        f for d in store.iterdir() if d.is_dir() for f in d.glob("*.json") if f.is_file()
    ]


@pytest.fixture
def catalogue(place_record):
    """Six records across two type directories, differing in every filtered field."""
    fields_by_id = {
        "a1": dict(simulation_type="modes", component_name="ring", factory_name="ring_single"),
        "a2": dict(simulation_type="modes", component_name="Ring", factory_name="ring_single"),
        "a3": dict(simulation_type="modes", component_name="", factory_name="", pdk_name="other"),
        "b1": dict(
            simulation_type="sparameters", component_name="ring", factory_name="ring_double"
        ),
        "b2": dict(simulation_type="sparameters", component_name="mmi", status="error"),
        "b3": dict(simulation_type="sparameters", component_name="ring ", pdk_name=""),
    }
    for n, (simulation_id, fields) in enumerate(fields_by_id.items()):
        date = f"2026-01-0{n + 1}T00:00:00+00:00"
        place_record(fields["simulation_type"], simulation_id, simulation_date=date, **fields)
    return fields_by_id


# --- filters -----------------------------------------------------------------


@pytest.mark.parametrize(
    ("filters", "expected"),
    [
        ({}, {"a1", "a2", "a3", "b1", "b2", "b3"}),
        ({"component_name": "ring"}, {"a1", "b1"}),
        ({"component_name": "Ring"}, {"a2"}),
        ({"component_name": "RING"}, set()),
        ({"component_name": ""}, {"a3"}),
        ({"factory_name": "ring_double"}, {"b1"}),
        ({"factory_name": ""}, {"a3"}),
        ({"pdk_name": "other"}, {"a3"}),
        ({"pdk_name": ""}, {"b3"}),
        ({"status": "error"}, {"b2"}),
        ({"status": "success"}, {"a1", "a2", "a3", "b1", "b3"}),
        ({"status": "Success"}, set()),
        ({"simulation_type": "modes"}, {"a1", "a2", "a3"}),
        ({"simulation_type": "modes", "component_name": "ring"}, {"a1"}),
        ({"simulation_type": "missing"}, set()),
        ({"component_name": "ring", "factory_name": "ring_double"}, {"b1"}),
    ],
    ids=lambda v: repr(v) if isinstance(v, dict) else None,
)
def test_listing_filters_compare_exactly(store, catalogue, logs, filters, expected):
    listed = storage.list_simulation_results(**filters)
    assert set(ids_of(listed)) == expected
    assert len(listed) == len(expected)
    assert logs.records == []


def test_type_filter_acts_through_the_directory_not_the_record(store, place_record):
    place_record("alpha", "0000000000000001", simulation_type="beta")
    (store / "beta").mkdir()

    assert ids_of(storage.list_simulation_results(simulation_type="alpha")) == ["0000000000000001"]
    assert storage.list_simulation_results(simulation_type="beta") == []


@pytest.mark.parametrize("simulation_type", ["", "."])
def test_empty_type_filter_lists_only_files_directly_in_the_simulations_dir(
    store, place_record, simulation_type
):
    place_record("", "0000000000000001")
    place_record("modes", "0000000000000002")

    listed = storage.list_simulation_results(simulation_type=simulation_type)
    assert ids_of(listed) == ["0000000000000001"]
    # Without the filter the loose file is not looked at.
    assert ids_of(storage.list_simulation_results()) == ["0000000000000002"]
    # Listed, but the lookup by ID never searches there: nothing is removed.
    assert storage.clear_simulation_results(simulation_type=simulation_type) == 0
    assert (store / "ring_0000000000000001.json").exists()


def test_matches_filters_skips_absent_filters_and_stops_at_first_mismatch():
    class Probe:
        component_name = "ring"

        def __getattr__(self, name):
            raise AssertionError(f"{name} should not have been read")

    assert storage._matches_filters(object(), None, None, None, None) is True
    assert storage._matches_filters(Probe(), "mmi", "f", "p", "s") is False
    assert storage._matches_filters(Probe(), "ring", None, None, None) is True


# --- files that are not results ----------------------------------------------


def test_bad_files_are_reported_once_each_and_skipped(store, place_record, logs):
    good = [place_record("modes", "0000000000000001"), place_record("modes", "0000000000000002")]
    modes = store / "modes"
    invalid = modes / "broken_0000000000000003.json"
    invalid.write_bytes(b'{"component_name": ')
    refused = modes / "partial_0000000000000004.json"
    refused.write_bytes(b'{"component_name": "ring"}')
    folder = modes / "x.json"
    folder.mkdir()
    dangling = modes / "dangling.json"
    dangling.symlink_to(modes / "nowhere")
    # Neither of these is a result file of this directory: silently ignored.
    (modes / "notes.txt").write_bytes(b"not json")
    (modes / "deeper").mkdir()
    (modes / "deeper" / "ring_0000000000000005.json").write_bytes(b"garbage")

    listed = storage.list_simulation_results()

    assert sorted(ids_of(listed)) == ["0000000000000001", "0000000000000002"]
    warnings = logs.texts("warning")
    assert sorted(warnings) == sorted(
        f"Failed to parse simulation file: {p}" for p in (invalid, refused, folder, dangling)
    )
    assert logs.records == [("warning", w) for w in warnings]
    assert invalid.read_bytes() == b'{"component_name": ' and folder.is_dir()
    assert all(p.exists() for p in good)


def test_a_plain_json_file_in_the_simulations_dir_is_ignored(store, place_record, logs):
    place_record("", "0000000000000001")
    (store / "garbage.json").write_bytes(b"garbage")

    assert storage.list_simulation_results() == []
    assert logs.records == []


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_listing_does_not_swallow_interruptions(store, place_record, logs, monkeypatch, error):
    place_record("modes", "0000000000000001")

    class Interrupting:
        @staticmethod
        def loads(data):
            raise error()

    monkeypatch.setattr(storage, "orjson", Interrupting)
    with pytest.raises(error):
        storage.list_simulation_results()
    assert logs.records == []


# --- order -------------------------------------------------------------------


def test_listing_is_newest_first_and_keeps_scan_order_for_equal_dates(store, place_record):
    dates = {
        "old": "2025-06-01T08:00:00+00:00",
        "mid": "2026-01-01T08:00:00.500000+00:00",
        "new": "2026-03-01T08:00:00+00:00",
    }
    # Several records share each date, spread over two directories so that the
    # file system's order, not the name, decides among equals.
    plan = [
        ("modes", "mid"), ("sparameters", "old"), ("modes", "new"), ("sparameters", "mid"),
        ("modes", "old"), ("sparameters", "new"), ("modes", "mid"), ("sparameters", "mid"),
    ]
    by_path = {}
    for n, (directory, age) in enumerate(plan):
        simulation_id = f"{n:016x}"
        path = place_record(directory, simulation_id, simulation_date=dates[age])
        by_path[path] = (age, simulation_id)

    scanned = [by_path[p] for p in scan_order(store)]
    expected = [sid for age in ("new", "mid", "old") for a, sid in scanned if a == age]

    assert ids_of(storage.list_simulation_results()) == expected


def test_each_listing_returns_new_records(store, place_record):
    place_record("modes", "0000000000000001")
    first, second = storage.list_simulation_results(), storage.list_simulation_results()
    assert first == second and first is not second and first[0] is not second[0]


# --- names that would leave the simulations directory ------------------------


@pytest.mark.parametrize("simulation_type", ["..", "<absolute>", "a/b", "modes/..", "a\0b"])
@pytest.mark.parametrize(
    "query", [storage.list_simulation_results, storage.clear_simulation_results]
)
def test_type_filter_that_leaves_the_simulations_dir_is_refused(
    store, place_record, logs, tmp_path, simulation_type, query
):
    place_record("modes", "0000000000000001")
    # Results lying outside the simulations directory must stay out of reach.
    outside = tmp_path / "outside"
    outside.mkdir()
    for directory in (tmp_path, outside):
        (directory / "ring_0000000000000002.json").write_bytes(
            (store / "modes" / "ring_0000000000000001.json").read_bytes()
        )
    if simulation_type == "<absolute>":
        simulation_type = str(outside)

    with pytest.raises(ValueError, match="simulation_type"):
        query(simulation_type=simulation_type)
    assert (outside / "ring_0000000000000002.json").exists()
    assert (tmp_path / "ring_0000000000000002.json").exists()
    assert logs.records == []


# --- deleting one result -----------------------------------------------------


def test_delete_removes_the_file_once_and_logs_it(store, save_result, logs):
    record = save_result()
    path = store / "sparameters" / f"ring_{record.simulation_id}.json"
    logs.records.clear()

    assert storage.delete_simulation_result(record.simulation_id) is True
    assert storage.delete_simulation_result(record.simulation_id) is False
    assert storage.delete_simulation_result("ffffffffffffffff") is False

    assert not path.exists()
    assert (store / "sparameters").is_dir()
    assert logs.records == [("debug", f"Deleted simulation file: {path}")]


def test_delete_of_a_path_that_is_already_gone_returns_false(store, logs, monkeypatch):
    gone = store / "modes" / "ring_0000000000000001.json"
    monkeypatch.setattr(storage, "_find_simulation_file", lambda simulation_id: gone)

    assert storage.delete_simulation_result("0000000000000001") is False
    assert logs.records == []


class RacedPath(pathlib.PosixPath):
    """A result file that another process removes just before we do."""

    __slots__ = ()

    def unlink(self, missing_ok=False):
        os.unlink(self)
        return super().unlink(missing_ok=missing_ok)


class ForbiddenPath(pathlib.PosixPath):
    __slots__ = ()

    def unlink(self, missing_ok=False):
        raise PermissionError(13, "Permission denied", str(self))


def test_delete_returns_false_when_the_file_vanishes_before_removal(
    store, place_record, logs, monkeypatch
):
    path = RacedPath(place_record("modes", "0000000000000001"))
    monkeypatch.setattr(storage, "_find_simulation_file", lambda simulation_id: path)

    assert storage.delete_simulation_result("0000000000000001") is False
    assert not path.exists()
    assert logs.records == []


def test_removing_a_directory_in_place_of_a_result_file_raises(store, logs):
    folder = store / "modes" / "ring_0000000000000002.json"
    folder.mkdir(parents=True)

    with pytest.raises(IsADirectoryError):
        storage.delete_simulation_result("0000000000000002")
    assert folder.is_dir()
    assert logs.records == []


def test_other_removal_errors_reach_the_caller(store, place_record, logs, monkeypatch):
    path = ForbiddenPath(place_record("modes", "0000000000000001"))
    monkeypatch.setattr(storage, "_find_simulation_file", lambda simulation_id: path)

    with pytest.raises(PermissionError):
        storage.delete_simulation_result("0000000000000001")
    with pytest.raises(PermissionError):
        storage.clear_simulation_results()
    assert path.exists()
    assert logs.records == []


# --- clearing ----------------------------------------------------------------


def test_clear_removes_every_parsable_result_of_both_statuses(store, catalogue, logs):
    broken = store / "modes" / "broken_0000000000000009.json"
    broken.write_bytes(b"{")
    expected_paths = {p for p in scan_order(store) if p != broken}

    assert storage.clear_simulation_results() == 6

    assert scan_order(store) == [broken]
    assert logs.records[0] == ("warning", f"Failed to parse simulation file: {broken}")
    deleted = logs.records[1:-1]
    assert {text for _, text in deleted} == {
        f"Deleted simulation file: {p}" for p in expected_paths
    }
    assert all(level == "debug" for level, _ in deleted) and len(deleted) == 6
    assert logs.records[-1] == ("debug", "Cleared 6 simulation result(s)")


@pytest.mark.parametrize(
    ("filters", "removed"),
    [
        ({"component_name": "ring"}, {"a1", "b1"}),
        ({"factory_name": "ring_single"}, {"a1", "a2", "b2", "b3"}),
        ({"simulation_type": "modes"}, {"a1", "a2", "a3"}),
        ({"pdk_name": "other"}, {"a3"}),
        ({"simulation_type": "sparameters", "component_name": "ring"}, {"b1"}),
    ],
    ids=lambda v: repr(v) if isinstance(v, dict) else None,
)
def test_clear_removes_only_what_the_filters_select(store, catalogue, logs, filters, removed):
    assert storage.clear_simulation_results(**filters) == len(removed)

    remaining = set(ids_of(storage.list_simulation_results()))
    assert remaining == set(catalogue) - removed
    assert logs.records[-1] == ("debug", f"Cleared {len(removed)} simulation result(s)")


def test_clear_by_type_keeps_the_same_component_under_other_types(store, save_result):
    kept = save_result(simulation_type="modes")
    save_result(simulation_type="sparameters")

    assert storage.clear_simulation_results(simulation_type="sparameters") == 1
    assert storage.list_simulation_results() == [kept]


def test_clear_that_lists_nothing_logs_nothing(store, catalogue, logs):
    assert storage.clear_simulation_results(component_name="absent") == 0
    assert storage.clear_simulation_results(simulation_type="absent") == 0
    assert logs.records == []


def test_clear_does_not_take_a_status_filter(store, catalogue):
    with pytest.raises(TypeError, match="status"):
        storage.clear_simulation_results(status="error")
    assert len(storage.list_simulation_results()) == 6


def test_records_not_filed_under_their_own_id_are_listed_but_not_cleared(
    store, place_record, logs
):
    stray = place_record("modes", "0000000000000001", file_name="ring_renamed.json")

    assert ids_of(storage.list_simulation_results()) == ["0000000000000001"]
    assert storage.clear_simulation_results() == 0
    assert stray.exists()
    assert logs.records == [("debug", "Cleared 0 simulation result(s)")]


def test_clear_of_an_id_held_in_two_directories_removes_both(store, place_record):
    first = place_record("alpha", "0000000000000001")
    second = place_record("beta", "0000000000000001")

    assert storage.clear_simulation_results() == 2
    assert not first.exists() and not second.exists()


def test_clear_counts_only_what_it_removed_itself(store, catalogue, logs, monkeypatch):
    # Another process removes two of the listed files before we get to them.
    real_list = storage.list_simulation_results

    def list_then_race(**filters):
        listed = real_list(**filters)
        for path in scan_order(store)[:2]:
            path.unlink()
        return listed

    monkeypatch.setattr(storage, "list_simulation_results", list_then_race)
    assert storage.clear_simulation_results() == 4
    assert scan_order(store) == []
    assert logs.records[-1] == ("debug", "Cleared 4 simulation result(s)")


# --- every module-level name is looked up at call time -----------------------


def test_rebound_functions_redirect_listing_and_clearing(store, catalogue, logs, monkeypatch):
    seen = []

    def only_mmi(result, component_name, factory_name, pdk_name, status):
        seen.append((component_name, factory_name, pdk_name, status))
        return result.component_name == "mmi"

    monkeypatch.setattr(storage, "_matches_filters", only_mmi)
    assert ids_of(storage.list_simulation_results(simulation_type="sparameters", status="x")) == ["b2"]
    assert seen == [(None, None, None, "x")] * 3

    deleted = []
    monkeypatch.setattr(
        storage, "delete_simulation_result", lambda sid: deleted.append(sid) or "yes"
    )
    assert storage.clear_simulation_results(pdk_name="p") == 1
    assert deleted == ["b2"]

    calls = []
    monkeypatch.setattr(storage, "list_simulation_results", lambda **kw: calls.append(kw) or [])
    assert storage.clear_simulation_results(component_name="c", simulation_type="t") == 0
    assert calls == [
        {"component_name": "c", "factory_name": None, "simulation_type": "t", "pdk_name": None}
    ]
    assert len(scan_order(store)) == 6


def test_rebound_file_lookup_redirects_deletion(store, place_record, monkeypatch):
    target = place_record("modes", "0000000000000001")
    asked = []
    monkeypatch.setattr(
        storage, "_find_simulation_file", lambda sid: asked.append(sid) or target
    )

    assert storage.delete_simulation_result("anything") is True
    assert asked == ["anything"] and not target.exists()
