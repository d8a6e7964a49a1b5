"""The store's file rules as the command line takes them from the module: names, temporary names, atomic writes."""

from __future__ import annotations

import os
import re

import pytest

from corvina.cli import store as cli_store
from corvina.core import simulation_storage as storage


@pytest.mark.parametrize(
    "name",
    ["ring_0123456789abcdef.json", "r" * 250 + ".json", "é" * 127 + ".json", "ri\udcffng.json"],
    ids=["short", "long", "cut-inside-a-character", "undecodable-byte"],
)
def test_temporary_names_fit_and_verify_knows_them(name):
    made = storage._temporary_name(name)
    # The command line's verify recognises a leftover by the module's reading.
    assert cli_store.file_name(made) == ("temporary", None, None, None)
    raw = os.fsencode(made)
    assert len(raw) <= 255
    assert raw.startswith(b"." + os.fsencode(name)[:200] + b".")
    assert re.fullmatch(rb"[0-9a-f]{16}\.tmp", raw[-20:])
    assert made != storage._temporary_name(name)


COMPONENTS = ["ring", "", "ring_with_underscores", "é" * 140, "r" * 300, "ri\udcffng", "line\nbreak", "a.b"]


@pytest.mark.parametrize("component", COMPONENTS,
                         ids=["plain", "empty", "underscores", "long-characters", "too-long-for-claims",
                              "undecodable-byte", "newline", "dot"])
def test_names_the_store_makes_read_back_as_what_they_are(component):
    simulation_id = "0123456789abcdef"
    result = os.path.basename(str(storage._get_simulation_file_path("sp", component, simulation_id)))
    assert cli_store.file_name(result) == ("result", component, simulation_id, None)
    for generation in (0, 7, 12345):
        claim = cli_store.claim_file_name(component, simulation_id, generation)
        assert len(os.fsencode(claim)) <= 255
        short = len(os.fsencode(f"{component}_{simulation_id}")) > 255 - 28
        # A stem too long for a claim's name leaves the component out, for
        # every generation alike: verify then takes it from the claim itself.
        assert cli_store.claim_name(claim) == ("claim", "" if short else component, simulation_id, generation)
    assert cli_store.file_name(storage._temporary_name(result)).kind == "temporary"


@pytest.mark.parametrize(
    "name",
    ["ring_0123456789ABCDEF.json", "ring_0123456789abcde.json", "ring0123456789abcdef.json",
     "ring_0123456789abcdef.json.tmp", ".ring_0123456789abcdef.x.claim", ".ring_0123456789abcdef..claim",
     "ring_0123456789abcdef.0.claim", "..0123456789abcdef.tmp", ".a.0123456789abcdeg.tmp", "", ".claim",
     ".ring_0123456789abcdef.\u0661.claim"],
)
def test_other_names_are_not_the_stores(name):
    assert cli_store.file_name(name) is None


@pytest.mark.parametrize("generation, error", [(-1, ValueError), (10**30, OverflowError), ("0", TypeError),
                                               (True, TypeError)])
def test_claim_names_refuse_a_generation_that_is_not_one(generation, error):
    with pytest.raises(error):
        cli_store.claim_file_name("ring", "0123456789abcdef", generation)


def test_write_atomically_replaces_the_whole_file_and_leaves_nothing_beside(tmp_path):
    target = tmp_path / "ring.json"
    target.write_bytes(b"old")
    cli_store.write_atomically(target, b"new bytes")
    assert target.read_bytes() == b"new bytes"
    assert [p.name for p in tmp_path.iterdir()] == ["ring.json"]


def test_a_refused_write_leaves_the_old_file_and_no_temporary(tmp_path):
    target = tmp_path / "ring.json"
    target.write_bytes(b"old")
    # A directory in the way of the rename: the write fails after the data
    # went to the temporary file, which must not survive.
    blocked = tmp_path / "blocked.json"
    blocked.mkdir()
    (blocked / "inside").write_bytes(b"")
    with pytest.raises(OSError):
        storage._write_atomically(blocked, b"new")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["blocked.json", "ring.json"]
    assert target.read_bytes() == b"old"


@pytest.mark.parametrize(
    ("args", "error"),
    [(("ring.json", "text"), TypeError), ((42, b"x"), TypeError), (("no/such/dir/f.json", b"x"), FileNotFoundError)],
    ids=["data-not-bytes", "path-not-a-path", "missing-directory"],
)
def test_write_atomically_refuses_bad_input(tmp_path, monkeypatch, args, error):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error):
        storage._write_atomically(*args)
    assert list(tmp_path.iterdir()) == []
