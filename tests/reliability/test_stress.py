"""Concurrent writers: several processes saving, reading, listing, deleting and
clearing overlapping identities in one store for a few seconds.

Each identity has a well-defined last write: stable, deletable and scratch
identities have one owning process, which saves them one after another, and
the contested ones are saved by everyone, where the save that started last
after all others had finished must win. The workers' journals (see
stress_worker.py) are checked against the final state of the store:

- no reader ever met a partial or mixed file, and no listing warned about a
  file (one removed while a listing read it is skipped silently); payloads
  check themselves;
- a result that is only ever replaced is never missing for a reader;
- every completed save that nothing removed afterwards loads with the
  content last written;
- clearings running at the same time all finish and return a count;
- no temporary file remains.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from corvina.core import simulation_storage as storage

from support import stress_worker
from support.reliability import temp_files

WORKER = Path(stress_worker.__file__)


def _launch(tmp_path: Path, sims: Path, flavour: str, workers: int, duration: float):
    go = tmp_path / "go"
    procs = []
    for w in range(workers):
        config = {
            "worker": w, "workers": workers, "sims": str(sims), "flavour": flavour,
            "duration": duration, "seed": 1000 + w,
            "ready": str(tmp_path / f"ready{w}"), "go": str(go),
            "report": str(tmp_path / f"report{w}.json"),
        }
        path = tmp_path / f"config{w}.json"
        path.write_text(json.dumps(config))
        procs.append(subprocess.Popen([sys.executable, str(WORKER), str(path)],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE))
    limit = time.monotonic() + 120
    while not all((tmp_path / f"ready{w}").exists() for w in range(workers)):
        assert all(p.poll() is None for p in procs), _failure(procs)
        assert time.monotonic() < limit, "workers did not start"
        time.sleep(0.01)
    go.touch()
    for p in procs:
        p.wait(timeout=duration + 300)
    assert all(p.returncode == 0 for p in procs), _failure(procs)
    for p in procs:
        p.stdout.close()
        p.stderr.close()
    return [json.loads((tmp_path / f"report{w}.json").read_text()) for w in range(workers)]


def _failure(procs) -> str:
    out = []
    for p in procs:
        if p.poll() not in (None, 0):
            out.append(f"worker exited with {p.returncode}:\n{p.stderr.read().decode()[-4000:]}")
    return "\n".join(out)


def run_stress(tmp_path, monkeypatch, figures, flavour, duration, workers=4):
    sims = tmp_path / "sims"
    sims.mkdir()
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: sims)
    monkeypatch.setattr(storage, "log", lambda: stress_worker.Recorder())

    # Results that are only ever replaced exist from the start, so that any
    # moment a reader cannot find one is a fault.
    all_ids = stress_worker.identities(workers)
    seeds = []
    for key, entry in all_ids.items():
        if key.startswith(("stable", "contested")):
            writer = entry["owner"] if entry["owner"] is not None else -1
            t0 = time.monotonic()
            storage.save_simulation_result(
                **entry["identity"], result=stress_worker.payload(key, writer, 0, 10),
                wavelengths=[1.55], execution_time_seconds=0.5)
            seeds.append(["save", key, 0, t0, time.monotonic(), writer])

    reports = _launch(tmp_path, sims, flavour, workers, duration)

    violations = [v for r in reports for v in r["violations"]]
    assert violations == [], "\n".join(violations[:20])
    assert temp_files(sims) == []

    ids = reports[0]["ids"]
    key_of_id = {i: k for k, i in ids.items()}
    saves = seeds + [
        e + [r["worker"]] for r in reports for e in r["journal"] if e[0] == "save"]
    deletes = [e for r in reports for e in r["journal"] if e[0] == "delete"]
    clears = [e for r in reports for e in r["journal"] if e[0] == "clear"]
    never_removed = ("stable", "contested")

    # Readers never missed a result that exists throughout.
    misses = [m for r in reports for m in r["reads"] if m[1].startswith(never_removed)]
    assert misses == [], f"{len(misses)} lookups missed a stored result, e.g. {misses[:3]}"

    # No listing warns about a file: no reader meets a torn file, and one that
    # a removal takes away while a listing reads it is skipped silently.
    # Loading may still say that a file it found was gone when it came to
    # read it, but only of a result that can be removed.
    warnings = [text for r in reports for _, text, _ in r["warnings"]]
    bad_files = [w for w in warnings if w.startswith("Failed to parse")]
    assert bad_files == [], f"{len(bad_files)} warnings, e.g. {bad_files[:3]}"
    for text in warnings:
        assert text.startswith("Simulation file not found: "), text
        key = key_of_id.get(Path(text.split(": ", 1)[1]).stem.rsplit("_", 1)[-1])
        assert key is not None and not key.startswith(never_removed), text

    # The final state is the last write of every identity.
    checked = 0
    for key, entry in all_ids.items():
        record = storage.load_simulation_result(ids[key])
        mine = [s for s in saves if s[1] == key]
        last = max(mine, key=lambda s: s[3]) if mine else None
        if key.startswith("contested"):
            # Some save that no other save started after: its rename was last.
            winners = [s for s in mine if not any(o[3] > s[4] for o in mine)]
            assert record is not None
            assert (record.result["writer"], record.result["seq"]) in {
                (s[5], s[2]) for s in winners}, key
        elif key.startswith("stable") or key.startswith("deletable"):
            ops = sorted([(s[3], "save", s) for s in mine] +
                         [(d[2], "delete", d) for d in deletes if d[1] == key])
            if ops and ops[-1][1] == "save":
                assert record is not None, key
                assert record.result["seq"] == ops[-1][2][2], key
            else:
                assert record is None, key
        else:  # scratch: saved by its owner, removed by anyone's clearing
            if record is not None:
                assert last is not None and record.result["seq"] == last[2], key
            elif last is not None:
                assert any(c[3] > last[3] for c in clears), f"{key}: lost without a clearing"
        checked += 1

    counts = {op: sum(r["counts"][op] for r in reports) for op in reports[0]["counts"]}
    total = sum(counts.values())
    figures(
        f"stress ({flavour} paths, {workers} processes, {duration:g} s): {total} operations, "
        f"{total / duration:,.0f} ops/s; {counts}; "
        f"{sum(r['listed_records'] for r in reports)} records listed and checked, "
        f"{sum(r['duplicates'] for r in reports)} listed twice, "
        f"{len(warnings)} 'not found' warnings of loads, none of listings, "
        f"{sum(r['vanished'] for r in reports)} reads of results removed meanwhile, "
        f"{len(clears)} clearings finished, {checked} identities' final state checked"
    )


@pytest.mark.parametrize("flavour", ["native", "literal"])
def test_concurrent_writers_briefly(tmp_path, monkeypatch, figures, flavour):
    run_stress(tmp_path, monkeypatch, figures, flavour, duration=1.5)


@pytest.mark.slow
@pytest.mark.parametrize("flavour", ["native", "literal"])
def test_concurrent_writers_for_ten_seconds(tmp_path, monkeypatch, figures, flavour):
    run_stress(tmp_path, monkeypatch, figures, flavour, duration=10.0)


def test_forked_writers_sharing_temporary_names_all_save(tmp_path, monkeypatch, figures):
    # Processes forked from one that has saved share its sequence of
    # temporary names, so their first attempts collide in every save.
    sims = tmp_path / "sims"
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: sims)
    monkeypatch.setattr(storage, "log", lambda: stress_worker.Recorder())
    entry = stress_worker.identities(1)["contested-0"]
    save = lambda writer, seq: storage.save_simulation_result(  # noqa: E731
        **entry["identity"], result=stress_worker.payload("contested-0", writer, seq, 1_000_000),
        wavelengths=[1.55], execution_time_seconds=0.5)
    save(-1, 0)

    start_read, start_write = os.pipe()
    children = []
    for writer in range(8):
        pid = os.fork()
        if pid == 0:  # the child: save, and report only through the exit status
            status = 1
            try:
                os.close(start_write)
                os.read(start_read, 1)  # all start together
                for seq in range(1, 41):
                    save(writer, seq)
                status = 0
            finally:
                os._exit(status)
        children.append(pid)
    os.close(start_read)
    os.close(start_write)
    statuses = [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in children]

    assert statuses == [0] * 8
    assert temp_files(sims) == []
    record = storage.load_simulation_result(storage._compute_simulation_id(**entry["identity"]))
    assert stress_worker.check_payload(record.result) is None
    assert record.result["seq"] == 40
    figures("forked writers: 8 processes sharing the temporary-name sequence, 320 saves of one "
            "identity, all completed, the last write of one of them kept whole")
