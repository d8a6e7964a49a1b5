"""The store's file rules as the command line takes them from the module: temporary names, atomic writes."""

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
    # The command line's verify recognises a leftover by this pattern.
    assert cli_store.TEMPORARY_NAME.fullmatch(made)
    raw = os.fsencode(made)
    assert len(raw) <= 255
    assert raw.startswith(b"." + os.fsencode(name)[:200] + b".")
    assert re.fullmatch(rb"[0-9a-f]{16}\.tmp", raw[-20:])
    assert made != storage._temporary_name(name)


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
