"""``--json`` prints a document on a store with nothing in it, for every command.

A script that pipes ``--json`` into a parser must not get an empty stdout
because a store is new or not made yet; the exit status and the message on
stderr still say that nothing was found.
"""

from __future__ import annotations

import contextlib
import io
import json
import pathlib

import pytest

from corvina.cli import main

# (arguments after the store, exit status on an empty store, on a missing one,
#  the keys of the document, or the type of an array)
COMMANDS = [
    (["list", "--json"], 1, 1, list),
    (["stats", "--json"], 1, 1, {"store", "results", "bytes", "groups"}),
    (["prune", "--json", "--older-than", "1d", "--yes"], 1, 1, {"results", "removed", "remaining"}),
    (["prune", "--json", "--max-bytes", "1K", "--dry-run"], 1, 1, {"results", "removed", "remaining"}),
    (["running", "--json"], 1, 1, list),
    (["verify", "--json"], 0, 1, {"files", "results", "problems", "saves_in_progress", "live_claims"}),
    (["sync", "--json", "{store}", "{other}"], 1, 1, {"copied", "kept", "identical", "failed"}),
]


def cli(*args: str) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main.main(list(args))
    return status, out.getvalue(), err.getvalue()


@pytest.mark.parametrize("state", ["empty", "missing"])
@pytest.mark.parametrize(("args", "on_empty", "on_missing", "shape"), COMMANDS,
                         ids=[" ".join(c[0][:1] + [a for a in c[0][1:] if a.startswith("--")])
                              for c in COMMANDS])
def test_json_on_a_store_with_nothing_in_it(tmp_path: pathlib.Path, state, args, on_empty,
                                            on_missing, shape):
    store = tmp_path / "store"
    if state == "empty":
        store.mkdir()
    other = tmp_path / "other"
    other.mkdir()
    names = {"store": str(store), "other": str(other)}
    args = [a.format(**names) for a in args]
    if args[0] == "sync":
        status, out, err = cli(*args)
    else:
        status, out, err = cli("--store", str(store), *args)
    assert status == (on_empty if state == "empty" else on_missing), err
    document = json.loads(out)
    if shape is list:
        assert document == []
    else:
        assert shape <= document.keys()
        assert not any(document.get(k) for k in ("results", "groups", "copied", "problems")
                       if isinstance(document.get(k), list))
    if status:
        # Exactly one line that says why on stderr; nothing more.
        assert len(err.strip().splitlines()) == 1, err
    # Looking never makes a missing store, nor writes into the other one.
    assert store.exists() == (state == "empty")
    assert list(other.iterdir()) == []
