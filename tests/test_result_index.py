"""The result index: what a query answers from the values the process keeps
of each result file must be what reading every file gives (the same records
or rows, in the same order, with the same warnings), whatever changed on
disk between two queries, whoever changed it, and however.

Each check runs the same calls with the index on and off
(CORVINA_DISABLE_RESULT_INDEX, read at every query) and compares. Without a
change feed (network file systems) the index is validated by the listing:
the same checks run again in a process whose feed is off.
"""

from __future__ import annotations

import multiprocessing
import os
import pathlib
import random
import shutil
import subprocess
import sys
import time
from typing import Any

import orjson
import pytest

from corvina.core import simulation_storage as storage

FAST_PATHS_OFF = os.environ.get("CORVINA_DISABLE_FAST_PATHS", "") not in ("", "0")
FEED_OFF = os.environ.get("CORVINA_DISABLE_CHANGE_FEED", "") not in ("", "0")
SPECTRUM = 80  # values in the record's long series: left on disk by the index


def record(n: int, **fields: Any) -> dict[str, Any]:
    data = {
        "component_name": ("ring", "mmi")[n % 2],
        "factory_name": "f",
        "component_settings": {"gap": round(0.1 + n * 0.01, 4), "layer": [n % 3, 0]},
        "model_parameters": {"neff": 2.4},
        "hyperparameters": {"mesh_resolution": 10 + n % 3},
        "simulation_type": "sp",
        "simulation_id": f"{n:016x}",
        "pdk_name": "p",
        "pdk_version": "",
        "simulation_date": f"2026-01-{n % 28 + 1:02d}T00:00:{n % 60:02d}+00:00",
        "corvina_version": "0",
        "result": {"fsr": n % 7, "ports": ["o1", "o2"], "spectrum": [(n + k) % 10 / 10 for k in range(SPECTRUM)]},
        "wavelengths": [1.5 + k * 1e-3 for k in range(SPECTRUM)],
        "execution_time_seconds": 1.5,
        "status": ("success", "error")[n % 5 == 4],
        "error_message": "",
    }
    data.update(fields)
    return data


def encode(data: dict[str, Any]) -> bytes:
    return orjson.dumps(data, option=orjson.OPT_INDENT_2)


def file_of(root: pathlib.Path, data: dict[str, Any], type_dir: str = "sp") -> pathlib.Path:
    return root / type_dir / f"{data['component_name']}_{data['simulation_id']}.json"


def write_in_place(path: pathlib.Path, data: bytes) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


def replace(path: pathlib.Path, data: bytes) -> None:
    tmp = path.with_name(f".{path.name}.{random.getrandbits(32):08x}.tmp")
    tmp.write_bytes(data)
    os.rename(tmp, path)


def same_size_same_time(path: pathlib.Path, data: bytes) -> None:
    """Rewrites a file in place with other bytes of the same length, then sets
    its times back: only the change time can tell."""
    st = os.stat(path)
    assert len(data) == st.st_size
    write_in_place(path, data)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


CALLS: list[tuple[str, dict[str, Any]]] = [
    ("query", {}),
    ("query", {"where": {"component_settings.gap": {"$gte": 0.15}}, "sort": "-component_settings.gap"}),
    ("query", {"where": {"result.fsr": {"$lt": 3}}, "limit": 3, "offset": 1}),
    ("query", {"where": {"result.spectrum.3": {"$gte": 0.5}}}),  # a value left on disk
    ("query", {"where": {"component_name": {"$regex": "^r"}}, "status": "success"}),
    ("query", {"sort": "execution_time_seconds", "component_name": "mmi"}),
    ("query", {"where": {"component_settings.layer": [1, 0]},
               "fields": ["component_settings.gap", "result.ports", "result.spectrum.0", "status"]}),
    ("query", {"fields": ["simulation_date", "component_settings"], "offset": 2}),
    ("count", {"where": {"component_settings.gap": {"$lt": 0.2}}}),
    ("count", {"status": "error"}),
]


def run_calls(logs, calls=CALLS) -> list[Any]:
    out = []
    for kind, kwargs in calls:
        logs.records.clear()
        fn = storage.count_simulation_results if kind == "count" else storage.query_simulation_results
        try:
            value: Any = fn(**kwargs)
        except Exception as e:  # noqa: BLE001 - compared as what was raised
            value = ("raised", type(e), str(e))
        out.append((value, list(logs.records)))
    return out


def both_ways(logs, monkeypatch, calls=CALLS) -> tuple[list[Any], list[Any]]:
    with monkeypatch.context() as m:
        m.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
        on = run_calls(logs, calls)
    with monkeypatch.context() as m:
        m.setenv("CORVINA_DISABLE_RESULT_INDEX", "1")
        off = run_calls(logs, calls)
    return on, off


@pytest.fixture
def root(tmp_path, monkeypatch) -> pathlib.Path:
    root = tmp_path / "sims"
    (root / "sp").mkdir(parents=True)
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: root)
    return root


def fill(root: pathlib.Path, n: int) -> list[dict[str, Any]]:
    recs = [record(k) for k in range(n)]
    for r in recs:
        file_of(root, r).write_bytes(encode(r))
    return recs


# --- changes between queries --------------------------------------------------------


def decoded(path: pathlib.Path) -> dict[str, Any] | None:
    try:
        data = orjson.loads(path.read_bytes())
    except orjson.JSONDecodeError:
        return None
    ok = isinstance(data, dict) and all(k in data for k in ("component_settings", "result", "simulation_date"))
    return data if ok else None


def mutate(root: pathlib.Path, rng: random.Random, fresh: list[int]) -> str:
    """One change of the store, of a kind drawn at random; says which."""
    files = sorted(p for p in root.glob("*/*.json") if os.access(p, os.R_OK))
    kind = rng.choice(["replace", "rewrite", "same size", "delete", "create", "break", "invalid",
                       "tie", "spectrum", "new dir", "drop dir", "unreadable"])
    if not files and kind not in ("create", "new dir"):
        kind = "create"
    path = rng.choice(files) if files else None
    data = decoded(path) if path else None
    if data is None and kind not in ("create", "new dir", "drop dir", "delete", "break", "unreadable"):
        kind = "delete"
    if kind == "replace":
        data["component_settings"]["gap"] = rng.choice([0.05, 0.3, 0.17])
        replace(path, encode(data))
    elif kind == "rewrite":
        data["result"]["fsr"] = rng.randrange(10)
        data["status"] = rng.choice(["success", "error"])
        write_in_place(path, encode(data))
    elif kind == "same size":
        text = path.read_bytes()
        old = orjson.dumps(data["component_settings"]["gap"])
        new = old[:-1] + (b"7" if old[-1:] != b"7" else b"3")
        if old in text and len(old) > 1:
            same_size_same_time(path, text.replace(old, new, 1))
        else:
            kind = "skip"
    elif kind == "delete":
        path.unlink()
    elif kind == "create":
        n = fresh.pop()
        target = root / rng.choice(sorted(p.name for p in root.iterdir() if p.is_dir()) or ["sp"])
        target.mkdir(exist_ok=True)
        data = record(n, simulation_type=target.name)
        replace(file_of(root, data, target.name), encode(data))
    elif kind == "break":
        write_in_place(path, b'{"component_name": "ring",')
    elif kind == "invalid":
        data.pop("pdk_name", None)
        replace(path, encode(data))
    elif kind == "tie":
        other = decoded(rng.choice(files))
        if other is not None:
            data["simulation_date"] = other["simulation_date"]
            replace(path, encode(data))
    elif kind == "spectrum":
        data["result"]["spectrum"] = [1.0 - v for v in data["result"]["spectrum"]]
        write_in_place(path, encode(data))
    elif kind == "new dir":
        name = rng.choice(["modes", "eme"])
        (root / name).mkdir(exist_ok=True)
        data = record(fresh.pop(), simulation_type=name)
        file_of(root, data, name).write_bytes(encode(data))
    elif kind == "drop dir":
        dirs = [p for p in root.iterdir() if p.is_dir()]
        if len(dirs) > 1:
            shutil.rmtree(rng.choice(dirs))
    elif kind == "unreadable":
        path.chmod(0 if os.geteuid() != 0 else 0o644)  # root reads anything: a no-op then
    return kind


# Stores past a few dozen files are read ahead on a second thread.
@pytest.mark.parametrize("seed,n", [(0, 24), (1, 24), (2, 90), (3, 90)])
def test_every_change_between_queries_is_seen(seed, n, root, logs, monkeypatch):
    rng = random.Random(seed)
    fill(root, n)
    fresh = list(range(1000, 1100))
    on, off = both_ways(logs, monkeypatch)
    assert on == off
    kinds = []
    for _ in range(25):
        kinds += [mutate(root, rng, fresh) for _ in range(rng.randint(1, 3))]
        on, off = both_ways(logs, monkeypatch)
        assert on == off, kinds
        # Once more, warm: the index must not drift from the files either.
        assert run_calls(logs) == on, kinds


@pytest.mark.parametrize("seed", range(2))
def test_results_unlike_each_other_read_back_as_written(seed, root, logs, monkeypatch):
    """The index keeps each text written against one kept before it; texts
    that share little with it (settings of every size and shape, in runs
    long enough to start anew from one of them) read back whole."""
    rng = random.Random(seed)

    def word() -> str:
        return "".join(rng.choice("abcdefghij\u00e9\u4e2d\"\\") for _ in range(rng.randint(0, 40)))

    for n in range(60):
        settings = ({"gap": n / 100, "layer": [1, 0]} if n % 5 == 0 else
                    {word() + str(k): rng.choice([word(), rng.random(), rng.randint(-9, 9), None, [word()]])
                     for k in range(rng.randint(1, 60))})
        data = record(n, component_settings=settings)
        file_of(root, data).write_bytes(encode(data))
    calls = [("query", {}), ("query", {"fields": ["component_settings", "simulation_id", "result.fsr"]}),
             ("query", {"where": {"component_settings.gap": {"$exists": True}}, "fields": ["status"]})]
    on, off = both_ways(logs, monkeypatch, calls)
    assert on == off
    assert run_calls(logs, calls) == on  # warm


def test_the_same_checks_without_a_change_feed():
    # As on network file systems: the index validated by the listing alone.
    if FEED_OFF:
        pytest.skip("this run has the change feed off already")
    env = dict(os.environ, CORVINA_DISABLE_CHANGE_FEED="1")
    here = pathlib.Path(__file__)
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "no:xdist", str(here),
         "-k", "every_change or in_place or ties"],
        env=env, cwd=here.parent, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-2000:]


@pytest.mark.parametrize("settled", [False, True], ids=["just written", "settled"])
def test_a_change_in_place_that_keeps_size_and_time_is_seen(settled, root, logs, monkeypatch):
    recs = fill(root, 6)
    if settled:
        # Older than the tick the index distrusts: only the change time can tell.
        time.sleep(2.1)
    where = {"component_settings.gap": 0.13}
    assert [r.simulation_id for r in storage.query_simulation_results(where=where)] == [recs[3]["simulation_id"]]
    path = file_of(root, recs[3])
    same_size_same_time(path, path.read_bytes().replace(b"0.13", b"0.17", 1))
    on, off = both_ways(logs, monkeypatch, [("query", {"where": where}),
                                            ("query", {"where": {"component_settings.gap": 0.17}})])
    assert on == off
    assert on[0][0] == [] and [r.simulation_id for r in on[1][0]] == [recs[3]["simulation_id"]]


def test_ties_in_date_keep_the_listing_order_as_files_come_and_go(root, logs, monkeypatch):
    for n in range(12):
        data = record(n, simulation_date="2026-02-01T00:00:00+00:00")
        file_of(root, data).write_bytes(encode(data))
    calls = [("query", {}), ("query", {"sort": "status", "fields": ["status"]}),
             ("query", {"where": {"result.fsr": {"$gte": 2}}, "limit": 4})]
    on, off = both_ways(logs, monkeypatch, calls)
    assert on == off
    for n in range(12, 30):
        data = record(n, simulation_date="2026-02-01T00:00:00+00:00")
        replace(file_of(root, data), encode(data))
        if n % 3 == 0:
            file_of(root, record(n - 9)).unlink()
        on, off = both_ways(logs, monkeypatch, calls)
        assert on == off


def read_calls() -> int:
    with open("/proc/self/io") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("syscr"))


@pytest.mark.skipif(FAST_PATHS_OFF, reason="the index is a fast path")
@pytest.mark.parametrize("path_class_patched", [False, True], ids=["plain", "patched and restored"])
def test_a_warm_query_reads_only_what_it_returns(path_class_patched, root, logs, monkeypatch):
    monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    if path_class_patched:
        # A patch undone (as a test's monkeypatch does) leaves the class
        # as it was: the fast paths, and so the index, come back.
        original = pathlib.Path.glob
        pathlib.Path.glob = lambda self, pattern, **kw: original(self, pattern, **kw)
        pathlib.Path.glob = original
    fill(root, 200)
    # Where the change feed is not to be had (a busy machine's inotify
    # instances used up), files younger than the file system's clock can
    # tell apart are read again every time: let them settle first.
    time.sleep(2.1)
    where = {"component_settings.gap": 0.15}

    def calls() -> None:
        assert len(storage.query_simulation_results(where=where)) == 1
        assert len(storage.query_simulation_results(fields=["component_settings.gap"])) == 200
        assert storage.count_simulation_results(where={"status": "error"}) == 40

    calls()  # the index made, and the verdicts on what matched
    before = read_calls()
    calls()
    indexed = read_calls() - before
    monkeypatch.setenv("CORVINA_DISABLE_RESULT_INDEX", "1")
    before = read_calls()
    storage.query_simulation_results(where=where)
    assert indexed < 20 < read_calls() - before


# --- other processes ---------------------------------------------------------------------


def chaos_writer(root: str, seed: int, stop, versions, ids: int = 40) -> None:
    """Saves, replaces (by rename and in place) and deletes results until told
    to stop (and 300 times at least); every text it ever wrote goes into
    `versions`."""
    rng = random.Random(seed)
    base = pathlib.Path(root)
    n = 0
    while not stop.is_set() or n < 300:
        n += 1
        data = record(rng.randrange(ids), component_settings={"gap": n, "layer": [0, 0]})
        path = file_of(base, data)
        text = encode(data)
        versions.append(text)
        action = rng.random()
        if action < 0.4:
            replace(path, text)
        elif action < 0.6:
            write_in_place(path, text)
        else:
            path.unlink(missing_ok=True)


@pytest.mark.parametrize("ids", [40, 160], ids=["few files", "files read ahead"])
def test_a_query_amid_writers_returns_only_what_was_on_disk(ids, root, logs, monkeypatch):
    monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    ctx = multiprocessing.get_context("spawn")
    with ctx.Manager() as manager:
        versions = manager.list()
        stop = manager.Event()
        writers = [ctx.Process(target=chaos_writer, args=(str(root), seed, stop, versions, ids))
                   for seed in range(2)]
        for w in writers:
            w.start()
        # The writers run until the queries have seen their results a few
        # times, however slowly a loaded machine starts them.
        seen, rounds_with_records = 0, 0
        deadline = time.monotonic() + 60
        while rounds_with_records < 5 and time.monotonic() < deadline:
            rows = storage.query_simulation_results(fields=["component_settings.gap"])
            records = storage.query_simulation_results(where={"component_settings.gap": {"$gte": 0}})
            written = {orjson.loads(t)["simulation_id"] + "@" + str(orjson.loads(t)["component_settings"]["gap"])
                       for t in list(versions)}
            for r in rows:
                assert f"{r['simulation_id']}@{r['component_settings.gap']}" in written
            for r in records:
                assert f"{r.simulation_id}@{r.component_settings['gap']}" in written
            seen += len(records)
            rounds_with_records += bool(records)
        stop.set()
        for w in writers:
            w.join()
            assert w.exitcode == 0
    # The writers are done: nothing stale, nothing missed. A file torn by a
    # write in place when they stopped reads as what it is, both ways.
    on, off = both_ways(logs, monkeypatch)
    assert on == off
    assert seen > 0


def saver(root: str, count: int, queue) -> None:
    base = pathlib.Path(root)
    for n in range(count):
        data = record(2000 + n)
        replace(file_of(base, data), encode(data))
        queue.put(data["simulation_id"])
        time.sleep(0.002)


def test_every_result_saved_before_a_query_is_found(root, monkeypatch):
    monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    fill(root, 50)
    storage.query_simulation_results(fields=[])
    ctx = multiprocessing.get_context("spawn")
    queue = ctx.Queue()
    proc = ctx.Process(target=saver, args=(str(root), 300, queue))
    proc.start()
    saved: set[str] = set()
    while proc.is_alive() or not queue.empty():
        while not queue.empty():
            saved.add(queue.get())
        ids = {r["simulation_id"] for r in storage.query_simulation_results(fields=[])}
        assert saved <= ids
        assert storage.count_simulation_results() >= len(saved) + 50
    proc.join()
    assert len(saved) == 300


@pytest.mark.parametrize("who", ["parent", "child"])
def test_a_forked_child_and_its_parent_see_each_others_changes(who, root, logs, monkeypatch):
    monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    recs = fill(root, 8)
    time.sleep(2.1)  # settled: only the change time tells the change below
    where = {"component_settings.gap": 0.12}
    assert len(storage.query_simulation_results(where=where)) == 1
    path = file_of(root, recs[2])
    changed = path.read_bytes().replace(b"0.12", b"0.19", 1)
    pid = os.fork()
    if pid == 0:  # the child
        code = 1
        try:
            if who == "parent":
                time.sleep(0.5)  # the parent changes the file meanwhile (below)
            else:
                same_size_same_time(path, changed)
            found = storage.query_simulation_results(where={"component_settings.gap": 0.19})
            code = 0 if [r.simulation_id for r in found] == [recs[2]["simulation_id"]] else 3
        finally:
            os._exit(code)
    if who == "parent":
        same_size_same_time(path, changed)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    found = storage.query_simulation_results(where={"component_settings.gap": 0.19})
    assert [r.simulation_id for r in found] == [recs[2]["simulation_id"]]


def test_a_child_forked_while_files_are_read_ahead_finishes_the_query(root, monkeypatch):
    """A callback that forks in the middle of a long page: the child goes on
    without the parent's reader thread, and both get the whole answer."""
    import warnings

    from corvina.models import StoredSimulationResult

    monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    recs = fill(root, 120)
    expected = sorted(r["simulation_id"] for r in recs)
    storage.query_simulation_results(fields=["status"])  # the index made; no record validated yet
    made, child = [0], [0]

    class Forking(StoredSimulationResult):
        @classmethod
        def model_validate(cls, data, **options):
            made[0] += 1
            if made[0] == 30 and not child[0]:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)  # "multi-threaded"
                    child[0] = os.fork() or -1
            return super().model_validate(data, **options)

    monkeypatch.setattr(storage, "StoredSimulationResult", Forking)
    found = sorted(r.simulation_id for r in storage.query_simulation_results())
    if child[0] == -1:  # the child
        os._exit(0 if found == expected else 3)
    _, status = os.waitpid(child[0], 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert found == expected


# --- fields, offset and counts against whole records --------------------------------------

FIELD_SETS = [[], ["component_settings.gap"], ["status", "result.fsr", "result.spectrum.2"],
              ["component_settings", "result", "result.missing", "component_settings.layer.1"]]


def dig(data: Any, path: str) -> Any:
    for part in path.split("."):
        if isinstance(data, dict) and part in data:
            data = data[part]
        elif isinstance(data, list) and part.isdigit() and int(part) < len(data):
            data = data[int(part)]
        else:
            raise KeyError(path)
    return data


@pytest.mark.parametrize("index", ["on", "off"])
@pytest.mark.parametrize("fields", FIELD_SETS, ids=lambda f: ",".join(f) or "none")
def test_fields_offset_and_count_agree_with_whole_records(index, fields, root, monkeypatch):
    if index == "off":
        monkeypatch.setenv("CORVINA_DISABLE_RESULT_INDEX", "1")
    else:
        monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    fill(root, 30)
    for where, sort in [(None, None), ({"component_settings.gap": {"$gt": 0.2}}, "-result.fsr"),
                        ({"status": "error"}, "component_settings.gap")]:
        whole = storage.query_simulation_results(where=where, sort=sort)
        assert storage.count_simulation_results(where=where) == len(whole)
        for _ in range(2):  # cold, then warm
            rows = storage.query_simulation_results(where=where, sort=sort, fields=fields)
            expected = []
            for r in whole:
                data = orjson.loads(file_of(root, r.model_dump()).read_bytes())
                row = {"simulation_id": r.simulation_id}
                for f in fields:
                    try:
                        row[f] = dig(data, f)
                    except KeyError:
                        pass
                expected.append(row)
            assert rows == expected
            for offset, limit in [(0, 3), (5, None), (29, 5), (40, 1)]:
                assert storage.query_simulation_results(
                    where=where, sort=sort, offset=offset, limit=limit) == whole[offset:][:limit]


# --- tables: the command line and pandas ask for fields ------------------------------------

COLUMNS = ["pdk_version", "status", "execution_time_seconds", "hyperparameters.mesh_resolution",
           "hyperparameters", "wavelengths.0", "component_settings.gap", "result.fsr", "simulation_date"]


def test_rows_of_fields_show_what_the_records_show(root, monkeypatch):
    """Files written by hand may leave out what the record fills in, or hold
    an integer where the record has a float: a table of fields shows what a
    table of records shows."""
    from corvina import analysis

    recs = fill(root, 6)
    odd = dict(recs[1], execution_time_seconds=3, wavelengths=[2, 1.5], hyperparameters={})
    for name in ("pdk_version", "status", "error_message"):
        odd.pop(name)
    file_of(root, odd).write_bytes(encode(odd))
    for index in ("on", "off"):
        if index == "off":
            monkeypatch.setenv("CORVINA_DISABLE_RESULT_INDEX", "1")
        for kwargs in [{}, {"where": {"component_settings.gap": {"$lt": 0.13}}, "sort": "-status"}]:
            whole = storage.query_simulation_results(**kwargs)
            rows = storage.query_simulation_results(fields=COLUMNS, **kwargs)
            assert [analysis.as_records_show(r, COLUMNS) for r in rows] == analysis.record_rows(whole, COLUMNS)
    pd = pytest.importorskip("pandas")
    pd.testing.assert_frame_equal(analysis.to_dataframe(columns=COLUMNS, status="success"),
                                  analysis.to_dataframe(storage.list_simulation_results(status="success"),
                                                        columns=COLUMNS))


@pytest.mark.parametrize("index", ["on", "off"])
def test_list_and_export_columns_take_the_fields(index, root, monkeypatch, capsys, tmp_path):
    from corvina.cli.main import main

    monkeypatch.setenv("CORVINA_DISABLE_RESULT_INDEX", "1" if index == "off" else "0")
    monkeypatch.setattr("corvina.settings.get_simulations_dir", lambda: root)
    recs = fill(root, 8)
    paths = "component_settings.gap,status,result.fsr,hyperparameters.solver"
    argv = ["--store", str(root), "list", "--where", "component_settings.gap>=0.14", "--columns", paths]
    assert main(argv) == 0
    table = capsys.readouterr().out
    assert "hyperparameters.solver" in table and table.count("\n") == 4 + 1  # header + 4 rows
    assert main([*argv, "--json"]) == 0
    rows = orjson.loads(capsys.readouterr().out)
    assert [r["simulation_id"] for r in rows] == [r["simulation_id"] for r in reversed(recs[4:])]
    assert rows[0] == {"simulation_id": recs[7]["simulation_id"], "component_settings.gap": 0.17,
                       "status": "success", "result.fsr": 0, "hyperparameters.solver": "fdtd"}
    pytest.importorskip("pandas")
    out = tmp_path / "t.jsonl"
    assert main(["--store", str(root), "export", "--columns", paths, "-o", str(out)]) == 0
    exported = [orjson.loads(line) for line in out.read_bytes().splitlines()]
    assert len(exported) == 8 and set(exported[0]) == {"simulation_id", *paths.split(",")}


def typed(rows: list[dict[str, Any]]) -> list[list[tuple[str, type, str]]]:
    # 0, 0.0, -0.0 and False are equal; a row must still hold the one written.
    return [[(k, type(v), repr(v)) for k, v in r.items()] for r in rows]


def test_rows_of_values_alike_but_not_the_same_keep_each_its_own(root, monkeypatch):
    """Rows share one object for a value that repeats (a status, a setting),
    never one for a value that only compares equal to it."""
    values = [0, 0.0, -0.0, False, 1, 1.0, True, None, 2**63 - 1, -(2**63), 1e20, 2.5e-7,
              "0", "", "é", "ring", [0], {"a": 0.0}]
    for n in range(3 * len(values)):
        data = record(n, component_name=("ring", "mmi", "ring")[n % 3])
        data["component_settings"]["v"] = values[n % len(values)]
        data["component_settings"]["w"] = values[(7 * n) % len(values)]
        file_of(root, data).write_bytes(encode(data))
    fields = ["component_settings.v", "component_name", "component_settings.w", "status"]
    for changed in (False, True):
        if changed:  # values of one query are never those of the next
            for path in sorted((root / "sp").iterdir())[::4]:
                data = orjson.loads(path.read_bytes())
                data["component_settings"]["v"] = -0.0 if data["component_settings"]["v"] == 0 else 0
                replace(path, encode(data))
        got = {}
        for index in ("on", "off"):
            monkeypatch.setenv("CORVINA_DISABLE_RESULT_INDEX", "1" if index == "off" else "0")
            got[index] = [storage.query_simulation_results(fields=fields, sort=s) for s in (None, "status")]
        assert [typed(r) for r in got["on"]] == [typed(r) for r in got["off"]]
    if not FAST_PATHS_OFF:  # the index answered, reading no file
        monkeypatch.setenv("CORVINA_DISABLE_RESULT_INDEX", "0")
        storage.query_simulation_results(fields=fields)
        before = read_calls()
        storage.query_simulation_results(fields=fields)
        assert read_calls() - before < 10


def test_more_fields_than_the_index_keeps_columns_for(root, logs, monkeypatch):
    # Columns are kept for 32 paths a directory; one query may ask for more.
    fill(root, 10)
    many = [f"component_settings.k{k}" for k in range(40)] + ["component_settings.gap", "result.fsr"]
    calls = [("query", {"fields": many}), ("query", {"fields": many[::-1], "sort": "result.fsr"}),
             ("query", {"where": {"result.fsr": {"$gt": 2}}, "fields": many[:3] + many[-2:]})]
    for _ in range(2):
        on, off = both_ways(logs, monkeypatch, calls)
        assert on == off


@pytest.mark.skipif(FAST_PATHS_OFF, reason="the index is a fast path")
def test_changes_heard_on_another_thread_during_a_first_pass_are_kept(tmp_path, monkeypatch):
    # A directory's first pass reads its files with the interpreter lock
    # released; a lookup on another thread may meanwhile drain the change
    # feed, and what it hears of that directory must not be dropped.
    import threading

    monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    root = tmp_path / "sims"
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: root)
    blob = encode(record(0))
    stop = threading.Event()

    def drain() -> None:
        while not stop.is_set():
            storage._find_simulation_file("f" * 16)

    drainer = threading.Thread(target=drain)
    drainer.start()
    try:
        for round_ in range(6):
            directory = root / f"t{round_}"
            directory.mkdir(parents=True)
            for k in range(1500):
                (directory / f"ring_{round_:04x}{k:012x}.json").write_bytes(blob)

            def add(directory=directory, round_=round_) -> None:
                for k in range(1500, 1700):
                    replace(directory / f"ring_{round_:04x}{k:012x}.json", blob)

            writer = threading.Thread(target=add)
            writer.start()
            while writer.is_alive():
                storage.count_simulation_results()
            writer.join()
            on_disk = len(list(root.glob("*/*.json")))
            assert storage.count_simulation_results() == on_disk, f"round {round_}"
    finally:
        stop.set()
        drainer.join()


# --- a store on S3: the index validated by the flat listing's keys, sizes and ETags ---------


@pytest.fixture
def s3_root(bucket, monkeypatch):
    """A store in a fresh bucket of moto's server, and a file system of another
    writer's own (not the store's) to change it with."""
    upath = pytest.importorskip("upath")
    import s3fs

    url = f"s3://{bucket}/sims"
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: upath.UPath(url))
    writer = s3fs.S3FileSystem(skip_instance_cache=True)
    return f"{bucket}/sims", writer


def s3_key(base: str, data: dict[str, Any], type_dir: str = "sp") -> str:
    return f"{base}/{type_dir}/{data['component_name']}_{data['simulation_id']}.json"


def s3_fill(base: str, fs, n: int, type_dirs=("sp",)) -> list[dict[str, Any]]:
    recs = [record(k, simulation_type=type_dirs[k % len(type_dirs)]) for k in range(n)]
    fs.pipe({s3_key(base, r, r["simulation_type"]): encode(r) for r in recs})
    return recs


def s3_mutate(base: str, fs, rng: random.Random, fresh: list[int]) -> str:
    """One change of the store by another writer, of a kind drawn at random."""
    keys = sorted(fs.find(base))
    kind = rng.choice(["replace", "same size", "same bytes", "delete", "create", "break", "invalid",
                       "tie", "spectrum", "new dir", "empty", "back again"])
    if not keys:
        kind = "create"
    key = rng.choice(keys) if keys else None
    try:
        data = orjson.loads(fs.cat_file(key)) if key else None
        data = data if isinstance(data, dict) and "component_settings" in data else None
    except orjson.JSONDecodeError:
        data = None
    if data is None and kind not in ("create", "new dir", "delete", "break", "empty"):
        kind = "delete"
    if kind == "replace":
        data["component_settings"]["gap"] = rng.choice([0.05, 0.3, 0.17])
        fs.pipe_file(key, encode(data))
    elif kind == "same size":
        text = fs.cat_file(key)
        old = orjson.dumps(data["component_settings"]["gap"])
        new = old[:-1] + (b"7" if old[-1:] != b"7" else b"3")
        fs.pipe_file(key, text.replace(old, new, 1))
    elif kind == "same bytes":
        fs.pipe_file(key, fs.cat_file(key))
    elif kind == "delete":
        fs.rm_file(key)
    elif kind in ("create", "new dir"):
        type_dir = rng.choice(["modes", "eme"]) if kind == "new dir" else "sp"
        data = record(fresh.pop(), simulation_type=type_dir)
        fs.pipe_file(s3_key(base, data, type_dir), encode(data))
    elif kind == "break":
        fs.pipe_file(key, b'{"component_name": "ring",')
    elif kind == "empty":
        fs.pipe_file(key, b"")
    elif kind == "invalid":
        data.pop("pdk_name", None)
        fs.pipe_file(key, encode(data))
    elif kind == "tie":
        data["simulation_date"] = "2026-01-01T00:00:00+00:00"
        fs.pipe_file(key, encode(data))
    elif kind == "spectrum":
        data["result"]["spectrum"] = [1.0 - v for v in data["result"]["spectrum"]]
        fs.pipe_file(key, encode(data))
    elif kind == "back again":
        # Replaced, then its first bytes back: the ETag it had when read.
        text = fs.cat_file(key)
        data["status"] = "error" if data["status"] == "success" else "success"
        fs.pipe_file(key, encode(data))
        fs.pipe_file(key, text)
    return kind


@pytest.mark.parametrize("seed", range(3))
def test_changes_by_another_writer_on_s3_are_seen(seed, s3_root, logs, monkeypatch):
    base, fs = s3_root
    rng = random.Random(seed)
    s3_fill(base, fs, 24, ("sp", "modes"))
    fresh = list(range(1000, 1100))
    on, off = both_ways(logs, monkeypatch)
    assert on == off
    kinds = []
    for _ in range(12):
        kinds += [s3_mutate(base, fs, rng, fresh) for _ in range(rng.randint(1, 3))]
        on, off = both_ways(logs, monkeypatch)
        assert on == off, kinds
        assert run_calls(logs) == on, kinds


@pytest.mark.parametrize("index", ["on", "off"])
@pytest.mark.parametrize("ask", ["count", "table", "page"])
def test_a_cold_answer_does_not_hold_every_record_at_once(ask, index, root, monkeypatch):
    import weakref

    from corvina.models import StoredSimulationResult

    live, peak = [0], [0]

    def gone() -> None:
        live[0] -= 1

    class Counted(StoredSimulationResult):
        @classmethod
        def model_validate(cls, data, **options):
            made = super().model_validate(data, **options)
            live[0] += 1
            weakref.finalize(made, gone)
            peak[0] = max(peak[0], live[0])
            return made

    monkeypatch.setattr(storage, "StoredSimulationResult", Counted)
    if index == "off":
        monkeypatch.setenv("CORVINA_DISABLE_RESULT_INDEX", "1")
    else:
        monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    recs = fill(root, 60)
    answer = {"count": lambda: storage.count_simulation_results(status="success"),
              "table": lambda: storage.query_simulation_results(fields=["component_settings.gap"]),
              "page": lambda: storage.query_simulation_results(sort="component_settings.gap", limit=3)}[ask]()
    if ask == "count":
        assert answer == sum(r["status"] == "success" for r in recs)
    else:
        assert len(answer) == (3 if ask == "page" else 60)
    # Records are made one at a time to be checked; only those returned stay
    # (the walk without the index holds a page's candidates to sort them).
    walk = index == "off" or FAST_PATHS_OFF
    assert 0 < peak[0] <= (60 if ask == "page" and walk else 5)


def requests_of(s3_requests, call) -> tuple[Any, dict[str, int]]:
    s3_requests.clear()
    value = call()
    kinds: dict[str, int] = {}
    for method, _, query in list(s3_requests.requests):
        kind = "LIST" if method == "GET" and "list-type=2" in query else method
        kinds[kind] = kinds.get(kind, 0) + 1
    return value, kinds


@pytest.mark.skipif(FAST_PATHS_OFF, reason="the index is a fast path")
def test_a_warm_query_on_s3_costs_the_listing_and_the_changed_objects(s3_root, s3_requests, monkeypatch):
    monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    base, fs = s3_root
    recs = s3_fill(base, fs, 40, ("sp", "modes"))
    calls = [lambda: storage.query_simulation_results(where={"component_settings.gap": {"$lt": 0.2}}),
             lambda: storage.query_simulation_results(fields=["component_settings.gap", "status"]),
             lambda: storage.count_simulation_results(status="error"),
             lambda: storage.query_simulation_results(where={"result.spectrum.3": {"$gte": 0.5}}, limit=5)]
    cold = [requests_of(s3_requests, c) for c in calls]
    assert cold[0][1] == {"LIST": 1, "GET": 40}
    warm = [requests_of(s3_requests, c) for c in calls]
    assert [w[0] for w in warm] == [c[0] for c in cold]
    assert all(w[1] == {"LIST": 1} for w in warm), warm

    # Two replaced (one with the same bytes: the same ETag), one removed, one added.
    fs.pipe_file(s3_key(base, recs[0], "sp"), encode({**recs[0], "status": "error"}))
    fs.pipe_file(s3_key(base, recs[1], "modes"), encode(recs[1]))
    fs.rm_file(s3_key(base, recs[2], "sp"))
    added = record(500)
    fs.pipe_file(s3_key(base, added), encode(added))
    count, kinds = requests_of(s3_requests, calls[2])
    assert kinds == {"LIST": 1, "GET": 2}
    assert count == sum(r["status"] == "error" for r in recs[3:]) + 1 + (added["status"] == "error")
    assert requests_of(s3_requests, calls[2])[1] == {"LIST": 1}


@pytest.mark.skipif(FAST_PATHS_OFF, reason="the index is a fast path")
def test_the_bytes_kept_for_s3_follow_their_setting(s3_root, s3_requests, monkeypatch):
    monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    base, fs = s3_root
    recs = s3_fill(base, fs, 20, ("sp",))
    records = lambda: storage.query_simulation_results(where={"component_settings.gap": {"$lt": 0.2}})
    table = lambda: storage.query_simulation_results(fields=["component_settings.gap", "status"])
    expected, _ = records(), table()
    matched = len(expected)
    assert 0 < matched < len(recs)
    # Lowered between queries: nothing is kept, so records are read again,
    # while a table of indexed values still costs only the listing.
    monkeypatch.setenv("CORVINA_RESULT_INDEX_KEEP_MB", "0")
    for _ in range(2):
        assert requests_of(s3_requests, records) == (expected, {"LIST": 1, "GET": matched})
        assert requests_of(s3_requests, table)[1] == {"LIST": 1}
    monkeypatch.setenv("CORVINA_RESULT_INDEX_KEEP_MB", "16")
    records()
    assert requests_of(s3_requests, records) == (expected, {"LIST": 1})
    for bad in ("64MB", "-1", " 8", "1.5"):
        monkeypatch.setenv("CORVINA_RESULT_INDEX_KEEP_MB", bad)
        with pytest.raises(ValueError, match="CORVINA_RESULT_INDEX_KEEP_MB must be a whole number"):
            records()


def s3_chaos_writer(base: str, seed: int, stop, versions) -> None:
    """Replaces and deletes objects until told to stop (and 150 times at
    least); every text it wrote goes into `versions`."""
    import s3fs

    fs = s3fs.S3FileSystem(skip_instance_cache=True)
    rng = random.Random(seed)
    n = 0
    while not stop.is_set() or n < 150:
        n += 1
        data = record(rng.randrange(30), component_settings={"gap": n, "layer": [0, 0]})
        text = encode(data)
        versions.append(text)
        if rng.random() < 0.7:
            fs.pipe_file(s3_key(base, data), text)
        else:
            fs.rm_file(s3_key(base, data))


def test_a_query_on_s3_amid_another_process_writing_returns_only_what_was_written(s3_root, logs, monkeypatch):
    monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    base, fs = s3_root
    ctx = multiprocessing.get_context("spawn")
    with ctx.Manager() as manager:
        versions = manager.list()
        stop = manager.Event()
        writer = ctx.Process(target=s3_chaos_writer, args=(base, 7, stop, versions))
        writer.start()
        seen, rounds_with_records = 0, 0
        deadline = time.monotonic() + 60
        while rounds_with_records < 3 and time.monotonic() < deadline:
            rows = storage.query_simulation_results(fields=["component_settings.gap"])
            records = storage.query_simulation_results(where={"component_settings.gap": {"$gte": 0}})
            written = {f"{d['simulation_id']}@{d['component_settings']['gap']}"
                       for d in map(orjson.loads, list(versions))}
            for r in rows:
                assert f"{r['simulation_id']}@{r['component_settings.gap']}" in written
            for r in records:
                assert f"{r.simulation_id}@{r.component_settings['gap']}" in written
            seen += len(records)
            rounds_with_records += bool(records)
        stop.set()
        writer.join()
        assert writer.exitcode == 0
    on, off = both_ways(logs, monkeypatch)
    assert on == off
    assert seen > 0


@pytest.mark.parametrize("refused", ["one object", "every object", "the listing"])
def test_requests_the_service_refuses_on_s3_fail_as_without_the_index(refused, s3_root, s3_requests,
                                                                      logs, monkeypatch):
    base, fs = s3_root
    recs = s3_fill(base, fs, 12)
    victim = s3_key(base, recs[4]).split("/", 1)[1]  # the object's path below its bucket

    def refuse(method: str, path: str, query: str) -> bool:
        if refused == "the listing":
            return method == "GET" and "list-type=2" in query
        return method in ("GET", "HEAD") and "list-type" not in query and (
            refused == "every object" or path.endswith(victim))

    calls = CALLS[:3] + CALLS[-2:]
    before, _ = both_ways(logs, monkeypatch, calls)  # the index made
    # Changed: the index must read it again. (One the listing shows unchanged
    # is answered from the index, whatever the service would say to a read.)
    fs.pipe_file(s3_key(base, recs[4]), encode({**recs[4], "status": "success", "result": {"fsr": 1}}))
    s3_requests.refuse = refuse
    try:
        on, off = both_ways(logs, monkeypatch, calls)
    finally:
        s3_requests.refuse = None
    assert on == off
    # Once the service answers again, the index answers as reading every object does.
    on, off = both_ways(logs, monkeypatch, calls)
    assert on == off and on != before


@pytest.mark.skipif(FAST_PATHS_OFF, reason="the index is a fast path")
def test_an_object_replaced_between_listing_and_read_then_put_back_is_read_again(
        s3_root, s3_requests, logs, monkeypatch):
    # The index reads bytes the listing's ETag does not name; when the first
    # bytes come back (that ETag again), it must not take the ones it read
    # for them.
    monkeypatch.delenv("CORVINA_DISABLE_RESULT_INDEX", raising=False)
    base, fs = s3_root
    recs = s3_fill(base, fs, 6)
    key = s3_key(base, recs[2])
    first = fs.cat_file(key)
    second = encode({**recs[2], "component_settings": {"gap": 0.77, "layer": [0, 0]}})
    swapped = []

    def swap_before_the_read(method: str, path: str, query: str) -> bool:
        if method == "GET" and "list-type" not in query and path.endswith(key.split("/", 1)[1]) and not swapped:
            swapped.append(path)
            fs.pipe_file(key, second)  # another writer, between the listing and this read
        return False

    s3_requests.refuse = swap_before_the_read
    try:
        storage.query_simulation_results(fields=["component_settings.gap"])  # the first: every object read
    finally:
        s3_requests.refuse = None
    assert swapped
    fs.pipe_file(key, first)
    on, off = both_ways(logs, monkeypatch)
    assert on == off
    gaps = {r["simulation_id"]: r["component_settings.gap"]
            for r in storage.query_simulation_results(fields=["component_settings.gap"])}
    assert gaps[recs[2]["simulation_id"]] == recs[2]["component_settings"]["gap"]
