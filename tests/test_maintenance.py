"""prune, verify and sync, driven as a user drives them: a process on a real store.

Stores are local directories or buckets of moto's S3 server; the commands
reach the server through the AWS_* environment that ``s3_env`` sets.
"""

from __future__ import annotations

import json
import os
import pathlib
import select
import subprocess
import sys
import time
from datetime import UTC, datetime, timedelta
from typing import Any

import orjson
import pytest

from corvina import settings
from corvina.cli import common
from corvina.core import simulation_storage as storage

from support.records import listed_ids, save_sample

PROG = "corvina.cli"
DAY = 86400.0


def command(*args: str) -> list[str]:
    return [sys.executable, "-m", PROG, *args]


def run(*args: str, stdin: str = "") -> subprocess.CompletedProcess[str]:
    return subprocess.run(command(*args), input=stdin, capture_output=True, text=True, timeout=120)


def report(*args: str) -> tuple[int, Any]:
    proc = run(*args, "--json")
    return proc.returncode, json.loads(proc.stdout)


def encode(record: Any) -> bytes:
    return orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2)


def save(component: str, *, age_s: float = 0.0, sim_type: str = "sparameters",
         status: str = "success", points: int = 2) -> Any:
    """Saves a result into the store the environment names; ``age_s`` dates it back."""
    record = save_sample(component, sim_type, transmission=[0.5] * points, status=status,
                         error_message="diverged" if status == "error" else "")
    if age_s:
        # A result from an earlier run; only the record's date says when.
        when = datetime.now(UTC) - timedelta(seconds=age_s)
        record = record.model_copy(update={"simulation_date": when.isoformat()})
        storage._find_simulation_file(record.simulation_id).write_bytes(encode(record))
    return record


@pytest.fixture(params=["local", "s3"])
def root(request, tmp_path, monkeypatch):
    """An empty store named in the environment the commands inherit: a directory or a bucket."""
    if request.param == "local":
        location = str(tmp_path / "simulations")
    else:
        location = f"s3://{request.getfixturevalue('bucket')}/simulations"
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", location)
    return settings.get_simulations_dir()


@pytest.fixture
def aged(tmp_path, monkeypatch) -> dict[str, Any]:
    """A local store of results of several ages, statuses and sizes."""
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(tmp_path / "simulations"))
    return save_aged()


def save_aged() -> dict[str, Any]:
    return {
        "old": save("ring", age_s=40 * DAY),
        "failed": save("mmi", age_s=10 * DAY, status="error"),
        "big": save("bend", age_s=2 * 3600, points=400),
        "new": save("taper"),
    }


# --- units ------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("text", "seconds"),
    [("30d", 30 * DAY), ("12h", 43200), ("90min", 5400), ("90m", 5400), ("45s", 45),
     ("1d12h", 1.5 * DAY), ("1.5w", 10.5 * DAY), (" 2 h ", 7200)],
)
def test_ages(text, seconds):
    assert common.parse_age(text) == seconds


@pytest.mark.parametrize(
    ("text", "size"),
    [("500M", 500 * 2**20), ("2G", 2 * 2**30), ("2GiB", 2 * 2**30), ("750KB", 750_000),
     ("1.5k", 1536), ("4096", 4096), ("10B", 10), ("0", 0)],
)
def test_sizes(text, size):
    assert common.parse_size(text) == size


# --- prune ------------------------------------------------------------------------


def _size_of(*records: Any) -> str:
    return str(sum(len(encode(r)) for r in records))


@pytest.mark.parametrize(
    ("options", "removed"),
    [
        (["--older-than", "30d"], {"old"}),
        (["--older-than", "1d"], {"old", "failed"}),
        (["--status", "error"], {"failed"}),
        (["--older-than", "1h", "--status", "success"], {"old", "big"}),
        (["--component", "bend"], {"big"}),
        # oldest first until the rest fits: the big one alone exceeds it
        (["--max-bytes", "3K"], {"old", "failed", "big"}),
        (["--max-bytes", "1M"], set()),
        # the size applies to the filtered part only
        (["--max-bytes", "6K"], {"old", "failed"}),
        (["--status", "success", "--max-bytes", "6K"], {"old"}),
        # age first, then the oldest of the rest
        (["--older-than", "20d", "--max-bytes", "6K"], {"old", "failed"}),
    ],
)
def test_prune_removes_what_the_criteria_select(aged, options, removed):
    before = set(listed_ids())
    expected = {aged[name].simulation_id for name in removed}
    dry = run("prune", *options, "--dry-run")
    assert dry.returncode == (0 if expected else 1)
    assert {line.split()[0] for line in dry.stdout.splitlines()[2:-1]} == expected  # table rows
    assert set(listed_ids()) == before

    status, outcome = report("prune", *options, "--yes")
    assert status == (0 if expected else 1)
    assert {row["simulation_id"] for row in outcome["results"]} == expected
    assert outcome["removed"] == len(expected)
    assert set(listed_ids()) == before - expected


def test_prune_size_limit_counts_the_bytes_stats_counts(aged):
    # --max-bytes of exactly what the two newest take keeps exactly those two
    keep = _size_of(aged["new"], aged["big"])
    status, outcome = report("prune", "--max-bytes", keep, "--yes")
    assert status == 0 and outcome["remaining_bytes"] == int(keep)
    assert set(listed_ids()) == {aged["new"].simulation_id, aged["big"].simulation_id}
    stats = json.loads(run("stats", "--json").stdout)
    assert stats["bytes"] == int(keep)


@pytest.mark.parametrize("answer", ["n\n", ""])
def test_prune_asks_before_removing(aged, answer):
    before = set(listed_ids())
    proc = run("prune", "--older-than", "30d", stdin=answer)
    assert proc.returncode == 1 and "nothing was removed" in proc.stderr
    assert aged["old"].simulation_id in proc.stdout
    assert set(listed_ids()) == before
    assert run("prune", "--older-than", "30d", stdin="y\n").returncode == 0
    assert set(listed_ids()) == before - {aged["old"].simulation_id}


def _read_until(stream: Any, text: bytes, timeout: float = 60.0) -> bytes:
    seen = b""
    deadline = time.monotonic() + timeout
    while text not in seen:
        ready, _, _ = select.select([stream], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(stream.fileno(), 4096) if ready else b""
        assert chunk, f"no {text!r} from the command: {seen!r}"
        seen += chunk
    return seen


def test_prune_keeps_a_result_saved_again_after_it_read_the_store(root):
    # The question is the window between prune's reading and its removing:
    # the same identity is saved again while prune waits for the answer.
    aged = save_aged()
    proc = subprocess.Popen(command("prune", "--older-than", "5d"), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        _read_until(proc.stderr, b"[y/N] ")
        fresh = save("ring")
        out, _ = proc.communicate(b"y\n", timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 0
    assert fresh.simulation_id == aged["old"].simulation_id
    assert set(listed_ids()) == {aged[n].simulation_id for n in ("old", "big", "new")}
    assert storage.load_simulation_result(fresh.simulation_id) == fresh
    summary = out.decode().splitlines()[-1]
    assert summary.startswith("removed 1 simulation result") and "skipped 1 result saved again" in summary


def _refuse(requests: Any, wanted: Any, *, once: bool = False) -> None:
    refused: list[tuple[str, str, str]] = []

    def refuse(*request: str) -> bool:
        if (once and refused) or not wanted(*request):
            return False
        refused.append(request)
        return True

    requests.refuse = refuse


# What befalls the oldest planned result (prune removes it first) while prune
# waits for the answer, and the words prune must give for it.
PRUNE_FAULTS = {
    "damaged": (lambda path, requests: _put(path, b"{"), "does not parse as JSON"),
    "reading-refused": (lambda path, requests: _refuse(
        requests, lambda method, at, query: method == "GET" and at.endswith(path.name)),
        "cannot be read: "),
    # A removal names its keys in the body of a POST.
    "removal-refused": (lambda path, requests: _refuse(
        requests, lambda method, at, query: method == "POST" and "delete" in query, once=True),
        "cannot be removed: "),
}


@pytest.mark.parametrize(
    ("root", "fault"),
    [("local", "damaged"), ("s3", "damaged"), ("s3", "reading-refused"), ("s3", "removal-refused")],
    indirect=["root"],
)
def test_prune_reports_a_result_it_cannot_check_or_remove_and_keeps_it(root, fault, request):
    # Only a result that reads back as another record was saved again; any
    # other failure is a problem of its own, and the result stays.
    inflict, reason = PRUNE_FAULTS[fault]
    s3_requests = request.getfixturevalue("s3_requests") if fault.endswith("refused") else None
    aged = save_aged()
    old, failed = aged["old"].simulation_id, aged["failed"].simulation_id
    proc = subprocess.Popen(command("prune", "--older-than", "5d"), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        _read_until(proc.stderr, b"[y/N] ")
        inflict(storage._find_simulation_file(old), s3_requests)
        out, err = proc.communicate(b"y\n", timeout=60)
    finally:
        proc.kill()
        if s3_requests is not None:
            s3_requests.refuse = None
    lines = out.decode().splitlines()
    assert proc.returncode == 1, err
    (named,) = [line for line in lines if line.startswith(f"{old}: ")]
    assert reason in named
    summary = lines[-1]
    assert summary.startswith("removed 1 simulation result") and "saved again" not in summary
    assert "1 result could not be removed" in summary
    assert storage._find_simulation_file(old) is not None
    assert storage._find_simulation_file(failed) is None


# --- verify -----------------------------------------------------------------------


def _only_file(root: Any) -> Any:
    return next(p for d in root.iterdir() for p in d.iterdir())


def _rewrite(path: Any, **changes: Any) -> Any:
    data = json.loads(path.read_bytes())
    data.update(changes)
    return _put(path, json.dumps(data, indent=2).encode())


def _old_temporary(root: Any, result: Any) -> Any:
    temporary = result.parent / storage._temporary_name(result.name)
    temporary.write_bytes(b'{"component_name": "ri')
    two_hours_ago = time.time() - 7200
    os.utime(temporary, (two_hours_ago, two_hours_ago))
    return temporary


def _put(path: Any, data: bytes = b"x") -> Any:
    path.write_bytes(data)
    return path


def _copy(path: Any, to: Any) -> Any:
    to.parent.mkdir(parents=True, exist_ok=True)
    return _put(to, path.read_bytes())


def _move(path: Any, to: Any) -> Any:
    _copy(path, to)
    path.unlink()
    return to


# Each damage takes the store and its one result file, sparameters/ring_<id>.json,
# and returns the file that verify must name; then the kinds of problem it reports.
DAMAGES = {
    "not-json": (lambda root, f: _put(f, b"{ not json"), ["unreadable"]),
    "empty": (lambda root, f: _put(f, b""), ["unreadable"]),
    "not-a-record": (lambda root, f: _rewrite(f, wavelengths="many"), ["unreadable"]),
    "identity-edited": (lambda root, f: _rewrite(f, component_settings={"length": 99}), ["id-mismatch"]),
    "renamed-id": (lambda root, f: _move(f, f.parent / "ring_0123456789abcdef.json"), ["misnamed"]),
    "renamed-component": (lambda root, f: _move(f, f.parent / f"bend{f.name[4:]}"), ["misnamed"]),
    "odd-name": (lambda root, f: _move(f, f.parent / "ring.json"), ["misnamed"]),
    "wrong-type": (lambda root, f: _move(f, root / "modes" / f.name), ["misplaced"]),
    "copied-to-another-type": (lambda root, f: _copy(f, root / "modes" / f.name),
                               ["duplicate", "misplaced"]),
    "stray-top": (lambda root, f: _put(root / "notes.txt"), ["stray"]),
    "stray-inside": (lambda root, f: _put(f.parent / "plot.png"), ["stray"]),
    "stray-deeper": (lambda root, f: _move(f, f.parent / "old" / f.name).parent, ["stray"]),
    "leftover-temporary": (_old_temporary, ["leftover"]),
}


def test_verify_passes_a_healthy_store(root):
    for component in ("ring", "mmi"):
        save(component)
    save("ring", sim_type="modes", status="error")
    status, outcome = report("verify")
    assert (status, outcome["problems"], outcome["results"]) == (0, [], 3)
    assert run("verify").stdout.endswith("3 results, no problems\n")


@pytest.mark.parametrize("damage", list(DAMAGES))
def test_verify_names_each_kind_of_damage(root, damage):
    inflict, kinds = DAMAGES[damage]
    if damage == "leftover-temporary" and not isinstance(root, pathlib.Path):
        pytest.skip("object storage has no file times to set, and nothing there writes temporary files")
    save("ring")
    damaged = inflict(root, _only_file(root))
    proc = run("verify")
    status, outcome = report("verify")
    assert proc.returncode == status == 1
    assert sorted(p["kind"] for p in outcome["problems"]) == kinds
    assert str(damaged) in {p["path"] for p in outcome["problems"]}
    assert f"{damaged}: " in proc.stdout
    assert len(proc.stdout.splitlines()) == len(kinds) + 1


def test_verify_fix_removes_only_leftover_temporary_files(tmp_path, monkeypatch):
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(tmp_path / "simulations"))
    result = storage._find_simulation_file(save("ring").simulation_id)
    leftover = _old_temporary(tmp_path, result)
    in_flight = result.parent / storage._temporary_name(result.name)
    in_flight.write_bytes(b"{")
    stray = result.parent / "notes.txt"
    stray.write_bytes(b"keep me")

    status, outcome = report("verify", "--fix")
    assert status == 1 and outcome["removed"] == [str(leftover)]
    assert [p["path"] for p in outcome["problems"]] == [str(stray)]
    assert not leftover.exists() and in_flight.exists() and stray.exists() and result.exists()
    stray.unlink()
    assert run("verify", "--fix").returncode == 0


# --- sync -------------------------------------------------------------------------


def _files(root: Any) -> dict[str, bytes]:
    """Every result file below a store, by its path relative to the store."""
    found = {}
    for directory in root.iterdir():
        for path in directory.iterdir():
            found[f"{directory.name}/{path.name}"] = path.read_bytes()
    return found


def test_sync_to_s3_and_back_is_byte_for_byte(tmp_path, monkeypatch, bucket):
    local = tmp_path / "simulations"
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(local))
    save("ring", age_s=3 * DAY)
    save("mmi", status="error")
    save("ring", sim_type="modes", points=300)
    # File names of 255 bytes, which the store saves by cutting its temporary
    # names to fit; in the second the cut falls inside a character.
    for component in ("c" * 233, "x" + "Δ" * 116):
        save(component, sim_type="long")
    assert {len(os.fsencode(p.name)) for p in (local / "long").iterdir()} == {255}
    remote = f"s3://{bucket}/team/sims"

    status, outcome = report("sync", str(local), remote)
    assert status == 0 and len(outcome["copied"]) == 5
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", remote)
    assert _files(settings.get_simulations_dir()) == _files(local)
    assert run("verify").returncode == 0

    for origin, back in ((remote, tmp_path / "back"), (str(local), tmp_path / "copy")):
        status, outcome = report("sync", origin, str(back))
        assert (status, len(outcome["copied"]), outcome["failed"]) == (0, 5, [])
        assert _files(back) == _files(local)
        assert not [p for p in back.rglob("*") if p.name.endswith(".tmp")]

    status, outcome = report("sync", str(local), remote)
    assert (status, outcome["copied"], outcome["identical"]) == (0, [], 5)


@pytest.mark.parametrize("dest_kind", ["local", "s3"])
def test_sync_keeps_the_newer_version_and_skips_damaged_sources(tmp_path, monkeypatch, request, dest_kind):
    source = tmp_path / "source"
    if dest_kind == "local":
        dest = str(tmp_path / "dest")
    else:
        dest = f"s3://{request.getfixturevalue('bucket')}/sims"
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", dest)
    dest_newer = save("ring")                          # destination saved later than source
    dest_older = save("mmi", age_s=DAY)                # source saved later than destination
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(source))
    save("ring", age_s=DAY)
    source_newer = save("mmi")
    only_here = save("bend", status="error")
    save("taper", sim_type="modes")
    damaged = source / "sparameters" / "coupler_0123456789abcdef.json"
    damaged.write_bytes(b'{"component_name": "coupler"')

    dry = run("sync", str(source), dest, "--dry-run")
    assert dry.returncode == 1 and "would copy 3 results" in dry.stdout

    status, outcome = report("sync", str(source), dest, "--type", "sparameters")
    assert status == 1  # the damaged file is a problem
    copied = {item["simulation_id"]: item["replaces"] for item in outcome["copied"]}
    assert copied == {source_newer.simulation_id: "older", only_here.simulation_id: "new"}
    assert [k["path"] for k in outcome["kept"]] == [f"sparameters/ring_{dest_newer.simulation_id}.json"]
    assert [u["path"] for u in outcome["unreadable"]] == [str(damaged)]

    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", dest)
    in_dest = {r.simulation_id: r for r in storage.list_simulation_results()}
    assert in_dest[dest_newer.simulation_id] == dest_newer
    assert in_dest[source_newer.simulation_id] == source_newer != dest_older
    assert set(in_dest) == {dest_newer.simulation_id, source_newer.simulation_id, only_here.simulation_id}

    status, outcome = report("sync", str(source), dest, "--status", "success")
    (taper,) = (source / "modes").iterdir()
    assert [item["path"] for item in outcome["copied"]] == [f"modes/{taper.name}"]


@pytest.mark.parametrize("dest_kind", ["local", "s3"])
def test_sync_reports_a_file_the_destination_cannot_take_and_copies_the_rest(
        tmp_path, monkeypatch, request, dest_kind):
    source = tmp_path / "source"
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(source))
    blocked, *others = [save(c) for c in ("ring", "mmi", "bend")]
    name = storage._find_simulation_file(blocked.simulation_id).name
    if dest_kind == "local":
        dest = str(tmp_path / "dest")
        (tmp_path / "dest" / "sparameters" / name).mkdir(parents=True)  # in the file's place
    else:
        dest = f"s3://{request.getfixturevalue('bucket')}/sims"
        requests = request.getfixturevalue("s3_requests")
        requests.refuse = lambda method, path, query: method == "PUT" and path.endswith(name)

    status, outcome = report("sync", str(source), dest)
    assert status == 1
    assert [item["path"] for item in outcome["failed"]] == [f"sparameters/{name}"]
    assert {item["simulation_id"] for item in outcome["copied"]} == {r.simulation_id for r in others}
    proc = run("sync", str(source), dest)
    assert proc.returncode == 1
    assert f"sparameters/{name}: " in proc.stdout
    summary = proc.stdout.splitlines()[-1]
    assert summary.endswith("2 identical, 0 unreadable in source, 1 could not be copied")


# --- usage ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args",
    [
        ["prune"],
        ["prune", "--older-than", "30"],
        ["prune", "--older-than", "3 months"],
        ["prune", "--max-bytes", "lots"],
        ["prune", "--status", "failed"],
        ["verify", "--fix", "extra"],
        ["sync", "only-one"],
        ["sync", "{store}", "{store}"],
        ["sync", "{store}", "{store}/inside"],
        ["sync", "--store", "{store}", "{store}", "elsewhere"],
    ],
)
def test_bad_usage_exits_2_with_one_line(aged, tmp_path, args):
    before = set(listed_ids())
    proc = run(*(a.format(store=tmp_path / "simulations") for a in args))
    assert proc.returncode == 2 and proc.stdout == ""
    assert len(proc.stderr.splitlines()) == 1 and "error" in proc.stderr
    assert set(listed_ids()) == before


@pytest.mark.parametrize("args", [["verify"], ["sync", "{missing}", "{dest}"], ["prune", "--older-than", "1d"]])
def test_a_missing_store_is_nothing_found(tmp_path, monkeypatch, args):
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(tmp_path / "missing"))
    proc = run(*(a.format(missing=tmp_path / "missing", dest=tmp_path / "dest") for a in args))
    assert proc.returncode == 1 and len(proc.stderr.splitlines()) == 1
    assert not (tmp_path / "missing").exists() and not (tmp_path / "dest").exists()


@pytest.mark.parametrize("sim_type", ["..", "../simulations/sparameters", "sparameters/..", "/tmp"])
def test_sync_refuses_a_type_that_leaves_the_stores(aged, tmp_path, sim_type):
    # A sibling of DEST that `--type ../...` would name; nothing may land there.
    outside = tmp_path / "simulations"
    dest = tmp_path / "copies" / "dest"
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    proc = run("sync", str(outside), str(dest), "--type", sim_type)
    listing = run("list", "--type", sim_type)
    assert proc.returncode == listing.returncode == 2 and proc.stdout == ""
    assert proc.stderr == listing.stderr
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before
    assert not (tmp_path / "copies").exists()
