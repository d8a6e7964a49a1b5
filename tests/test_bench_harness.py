"""The benchmark's own machinery: it must run every scenario it lists, time
only contenders that do the work, and never report figures it did not get.

No figure is judged here; only what the benchmark measures and says.
"""

from __future__ import annotations

import importlib
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("diskcache")
pytest.importorskip("joblib")

REPO = Path(__file__).resolve().parents[1]
pytestmark = pytest.mark.timeout(300)


def _import(name: str):
    sys.path.insert(0, str(REPO))
    try:
        return importlib.import_module(name)
    finally:
        sys.path.remove(str(REPO))


harness = _import("benchmarks.harness")
live = _import("benchmarks.live")
run = _import("benchmarks.run")


# --- a whole run, as ./dev bench starts it ----------------------------------------


def _expected_rows(sizes: list[int]) -> list[tuple[str, int | None, int | None]]:
    rows = [("id typical", None, None), ("id large", None, None)]
    for n in sizes:
        for layout in (1, 5):
            rows += [(op, n, layout) for op in (
                "load, at rest", "find hit, at rest", "find miss, at rest", "list all", "list filter",
                "query 1%", "query all")]
        for layout in (1, 5):
            rows += [(op, n, layout) for op in (
                "save", "delete", "sweep step", "find hit, after save", "find miss, after save")]
            if layout == 1:
                rows += [("find hit, other writer", n, 1), ("find miss, other writer", n, 1)]
        rows += [("clear", n, 1), ("clear", n, 5)]
    return rows


def test_a_small_run_measures_every_row_and_cleans_up(tmp_path):
    stores, figures = tmp_path / "stores", tmp_path / "figures.json"
    proc = subprocess.run(
        [sys.executable, str(REPO / "benchmarks" / "run.py"), "--quick", "--sizes", "3,2", "--rounds", "1",
         "--dir", str(stores), "--json", str(figures)],
        capture_output=True, text=True, timeout=280, cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    doc = json.loads(figures.read_text())
    results = doc["results"]
    assert [(r["operation"], r["size"], r["type_dirs"]) for r in results] == _expected_rows([2, 3])
    for r in results:
        assert not [note for note in r["notes"] if "failed" in note], r
        assert "module" in r["contenders"] and "baseline" in r["contenders"], r
    # The module beside itself on the smaller store, only where there is one.
    assert [r["size"] for r in results if "module@small" in r["contenders"]] == [3] * 6
    writer_notes = [n for r in results if r["operation"].endswith("other writer") for n in r["notes"]]
    assert sum("meanwhile another process saved" in n for n in writer_notes) == 4
    assert len(doc["host_calls"]) == 15
    assert all(t["pass"] is not None for t in doc["targets"])
    assert list(stores.iterdir()) == []  # the run's stores are gone without --keep
    table = proc.stdout
    for op, size, layout in _expected_rows([2, 3]):
        assert any(line.startswith(f"{op:<24} {size or '':>6} {layout or '':>4}  ") for line in table.splitlines())


@pytest.mark.parametrize(("args", "message"), [
    (["--ops", "find,fnd"], "unknown: fnd"),
    (["--sizes", "100,0"], "'0' is not a positive"),
    (["--rounds", "0"], "'0' is not a positive"),
    (["--sizes", "ten"], "invalid"),
])
def test_arguments_it_cannot_run_are_refused(args, message, capsys):
    with pytest.raises(SystemExit) as exit:
        run.parse(args)
    assert exit.value.code == 2
    assert message in capsys.readouterr().err


def test_every_operation_is_selectable_by_default():
    assert ",".join(run.OPS) == "id,load,find,list,query,save,delete,sweep,clear,host,index"
    assert run.parse([]).ops == set(run.OPS)
    stages = [s.stage for s in run.SCENARIOS]
    assert stages == sorted(stages)


# --- rounds -----------------------------------------------------------------------


def _cfg(rounds: int) -> harness.Config:
    return harness.Config(quick=True, sizes=[1], rounds=rounds, min_rounds=rounds, target_ns=1e4,
                          budget_s=60, single_cap_s=1)


def _counting(results):
    """A batch that returns results[i] on its i-th call, then the last one."""
    calls = []

    def batch(k):
        calls.append(k)
        return results[min(len(calls), len(results)) - 1]

    return batch, calls


@pytest.mark.parametrize(("results", "single", "note"), [
    (["wrong"], False, "bad failed: AssertionError: wrong result 'wrong'"),
    (["right", "wrong"], True, "bad failed in round 1: AssertionError: wrong result 'wrong'"),
    (["right", "right", "right", "wrong"], True, "bad failed in round 3"),
])
def test_a_contender_with_a_wrong_result_is_reported_not_timed(results, single, note):
    good, _ = _counting([True])
    bad, _ = _counting(results)
    contenders = {
        "good": harness.Contender(good, check=lambda out: out is True, single=single),
        "bad": harness.Contender(bad, check=lambda out: out == "right", single=single),
    }
    row = harness.measure(harness.Row("op", 1, 1), contenders, _cfg(rounds=4))
    assert list(row.stats) == ["good"]
    assert len(row.stats["good"].samples) == 4
    assert len(row.notes) == 1 and row.notes[0].startswith(note)


def test_enter_and_leave_wrap_every_timed_batch():
    events = []
    contender = harness.Contender(
        lambda k: events.append(("batch", k)) or True,
        enter=lambda: events.append("enter"),
        leave=lambda k: events.append(("leave", k)),
    )
    row = harness.measure(harness.Row("op", 1, 1), {"c": contender}, _cfg(rounds=3))
    k = row.stats["c"].calls
    # The checked first call and the calibration, then one batch of k per round.
    assert events == ["enter", ("batch", 1), ("leave", 1)] * 2 + ["enter", ("batch", k), ("leave", k)] * 3


# --- the other writer ---------------------------------------------------------------


def _killed(writer) -> None:
    os.kill(writer.proc.pid, signal.SIGKILL)
    writer.proc.wait()


def _crashed(writer) -> None:
    time.sleep(0.5)  # its saves fail: the store's root is a file


@pytest.mark.parametrize("fault", [_killed, _crashed], ids=["sigkill", "failing saves"])
def test_a_writer_that_died_is_not_reported_as_writing(tmp_path, fault):
    root = tmp_path / "store"
    if fault is _crashed:
        root.write_text("not a directory")
    else:
        root.mkdir()
    writer = live.OtherWriter(root, 1, tmp_path / "cache", pause=0.01)
    fault(writer)
    with pytest.raises(RuntimeError, match="the other writer failed"):
        writer.finish()
    assert not (tmp_path / "store.stop-writer").exists()


def test_a_writer_that_ran_says_what_it_did_and_leaves_the_store_as_it_was(tmp_path):
    root = tmp_path / "store"
    root.mkdir()
    writer = live.OtherWriter(root, 1, tmp_path / "cache", pause=0.01)
    time.sleep(0.5)
    said = writer.finish()
    assert said.startswith("saved ") and said.endswith(" results/s (and deleted as many)")
    assert list(root.rglob("*.json")) == []
