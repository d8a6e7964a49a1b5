"""The native shortcuts must be invisible.

A plain ``pathlib.Path`` store is served by direct system calls and a memo of
directory listings; a subclass is driven through its own methods. These tests
provoke the cases where a shortcut could go wrong (a remembered listing that
went stale, an error that must look like the host's) and compare the two.
"""

from __future__ import annotations

import errno
import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

from corvina.core import simulation_storage as store_module

from conftest import LiteralPath


def age(*paths: pathlib.Path, seconds: float = 60) -> None:
    """Moves the modification time of directories into the past, so that
    their listings may be remembered."""
    then = time.time() - seconds
    for p in paths:
        os.utime(p, (then, then))


@pytest.fixture
def plain_store(tmp_path, monkeypatch):
    root = pathlib.Path(tmp_path / "simulations")
    monkeypatch.setattr(store_module, "get_simulations_dir", lambda: root)
    return root


def write(path: pathlib.Path, text: str = "{}") -> pathlib.Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


ID_A = "a" * 16
ID_B = "b" * 16


class TestRememberedListingsStayTrue:
    def test_file_added_after_listing_is_found(self, plain_store):
        write(plain_store / "t" / f"x_{ID_A}.json")
        age(plain_store / "t", plain_store)
        assert store_module._find_simulation_file(ID_A) is not None
        assert store_module._find_simulation_file(ID_B) is None  # listing now remembered
        added = write(plain_store / "t" / f"y_{ID_B}.json")
        assert store_module._find_simulation_file(ID_B) == added

    def test_file_added_in_same_second_as_a_recent_listing_is_found(self, plain_store):
        write(plain_store / "t" / f"x_{ID_A}.json")
        for i in range(20):
            new_id = f"{i:016x}"
            assert store_module._find_simulation_file(new_id) is None
            added = write(plain_store / "t" / f"c_{new_id}.json")
            assert store_module._find_simulation_file(new_id) == added

    def test_removed_file_is_no_longer_found(self, plain_store):
        path = write(plain_store / "t" / f"x_{ID_A}.json")
        age(plain_store / "t", plain_store)
        assert store_module._find_simulation_file(ID_A) == path
        path.unlink()
        assert store_module._find_simulation_file(ID_A) is None

    def test_type_directory_replaced_by_a_file(self, plain_store):
        write(plain_store / "t" / f"x_{ID_A}.json")
        age(plain_store / "t", plain_store)
        assert store_module._find_simulation_file(ID_A) is not None
        (plain_store / "t" / f"x_{ID_A}.json").unlink()
        (plain_store / "t").rmdir()
        write(plain_store / "t", "not a directory")
        age(plain_store)
        assert store_module._find_simulation_file(ID_A) is None
        assert store_module.list_simulation_results() == []

    def test_symbolic_link_retargeted(self, plain_store, tmp_path):
        first = write(tmp_path / "elsewhere1" / f"x_{ID_A}.json").parent
        second = write(tmp_path / "elsewhere2" / f"x_{ID_B}.json").parent
        plain_store.mkdir()
        link = plain_store / "linked"
        link.symlink_to(first)
        age(first, second, plain_store)
        assert store_module._find_simulation_file(ID_A) == link / f"x_{ID_A}.json"
        # Retarget in place without touching the simulations directory's times
        # more than a rename would.
        tmp_link = plain_store / ".retarget"
        tmp_link.symlink_to(second)
        os.replace(tmp_link, link)
        assert store_module._find_simulation_file(ID_A) is None
        assert store_module._find_simulation_file(ID_B) == link / f"x_{ID_B}.json"

    def test_link_target_replaced_outside_the_store(self, plain_store, tmp_path):
        target = write(tmp_path / "outside" / f"x_{ID_A}.json").parent
        plain_store.mkdir()
        (plain_store / "linked").symlink_to(target)
        age(target, plain_store)
        assert store_module._find_simulation_file(ID_A) is not None
        # The link now points at a plain file: the simulations directory's
        # own times do not change, yet the entry is no longer a directory.
        (target / f"x_{ID_A}.json").unlink()
        target.rmdir()
        write(target, "plain file")
        assert store_module._find_simulation_file(ID_A) is None

    def test_first_match_in_listing_order_after_changes(self, plain_store):
        write(plain_store / "t" / f"a_{ID_A}.json")
        write(plain_store / "t" / f"b_{ID_A}.json")
        age(plain_store / "t", plain_store)
        scanned = [p.name for p in (plain_store / "t").iterdir()]
        found = store_module._find_simulation_file(ID_A)
        assert found.name == scanned[0]
        (plain_store / "t" / scanned[0]).unlink()
        assert store_module._find_simulation_file(ID_A).name == scanned[1]

    def test_ids_with_underscores_in_remembered_listing(self, plain_store):
        write(plain_store / "t" / "comp_x_y.json")
        age(plain_store / "t", plain_store)
        assert store_module._find_simulation_file("zzz") is None
        for sid in ("x_y", "y"):
            assert store_module._find_simulation_file(sid) == plain_store / "t" / "comp_x_y.json"
        assert store_module._find_simulation_file("comp_x_y") is None

    def test_clear_of_a_remembered_store(self, plain_store, save_result_plain):
        for i in range(5):
            save_result_plain(component_settings={"i": i})
        age(*(d for d in plain_store.iterdir()), plain_store)
        assert store_module.find_simulation_result is not None
        assert store_module.clear_simulation_results() == 5
        assert store_module.list_simulation_results() == []


@pytest.fixture
def save_result_plain(plain_store, identity):
    import copy

    from conftest import OUTCOME

    def save(**overrides):
        kwargs = identity()
        kwargs.update(copy.deepcopy(OUTCOME))
        kwargs.update(overrides)
        return store_module.save_simulation_result(**kwargs)

    return save


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as exc:  # compared below, class and attributes
        return ("error", type(exc), getattr(exc, "errno", None), getattr(exc, "filename", None),
                str(exc))


@pytest.mark.parametrize("case", ["root_is_file", "type_dir_is_file", "result_is_directory",
                                  "root_missing"])
def test_errors_are_the_same_both_ways(tmp_path, monkeypatch, case):
    def run(flavour):
        base = tmp_path / flavour.__name__
        root = flavour(base / "simulations")
        monkeypatch.setattr(store_module, "get_simulations_dir", lambda: root)
        base.mkdir()
        if case == "root_is_file":
            write(pathlib.Path(root), "x")
        elif case == "type_dir_is_file":
            write(pathlib.Path(root) / "t", "x")
        elif case == "result_is_directory":
            (pathlib.Path(root) / "t" / f"c_{ID_A}.json").mkdir(parents=True)
        results = [
            outcome(lambda: store_module._find_simulation_file(ID_A)),
            outcome(lambda: store_module._get_simulation_file_path("t", "c", ID_A)),
            outcome(lambda: store_module.load_simulation_result(ID_A)),
            outcome(lambda: store_module.list_simulation_results()),
            outcome(lambda: store_module.delete_simulation_result(ID_A)),
        ]
        # Paths differ by the base directory only.
        return json.loads(json.dumps([[str(x).replace(str(base), "<base>") for x in r]
                                      for r in results]))

    assert run(pathlib.Path) == run(LiteralPath)


def test_patched_pathlib_is_honoured(plain_store, monkeypatch):
    write(plain_store / "t" / f"x_{ID_A}.json")
    calls = []
    original = pathlib.Path.glob

    def recording_glob(self, pattern, **kwargs):
        calls.append(pattern)
        return original(self, pattern, **kwargs)

    monkeypatch.setattr(pathlib.Path, "glob", recording_glob)
    assert store_module._find_simulation_file(ID_A) is not None
    assert calls == [f"*_{ID_A}.json"]


def test_patched_os_function_is_honoured(plain_store, monkeypatch):
    write(plain_store / "t" / f"x_{ID_A}.json")
    seen = []
    original = os.scandir

    def recording_scandir(path="."):
        seen.append(str(path))
        return original(path)

    monkeypatch.setattr(os, "scandir", recording_scandir)
    assert store_module._find_simulation_file(ID_A) is not None
    assert seen  # the host's own listing ran


def test_patched_json_encoder_is_honoured(monkeypatch):
    class HP:
        def model_dump(self):
            return {}

    seen = []
    original = json.dumps

    def recording_dumps(obj, **kwargs):
        seen.append(kwargs)
        return original(obj, **kwargs)

    monkeypatch.setattr(json, "dumps", recording_dumps)
    assert store_module._compute_simulation_id("part_a", "make_part",
                                               {"width": 0.5, "length": 10}, {}, HP(),
                                               "demo") == "f1185776ec8d1694"
    assert seen == [{"sort_keys": True}]


def test_fast_paths_can_be_switched_off(tmp_path):
    script = """
import pathlib, sys
from corvina.core import simulation_storage as s
class HP:
    def model_dump(self): return {"solver": "fdtd", "points": 101}
root = pathlib.Path(sys.argv[1])
s.get_simulations_dir = lambda: root
import json
calls = []
orig = json.encoder.JSONEncoder.encode
def enc(self, o):
    calls.append(1)
    return orig(self, o)
json.encoder.JSONEncoder.encode = enc
print(s._compute_simulation_id("c", "f", {"w": 0.5}, {}, HP(), "t"), len(calls))
"""
    env = dict(os.environ)
    outputs = []
    for value in ("", "1"):
        env["CORVINA_DISABLE_FAST_PATHS"] = value
        out = subprocess.run([sys.executable, "-c", script, str(tmp_path)], env=env,
                             capture_output=True, text=True, check=True).stdout.split()
        outputs.append(out)
    # Same ID both ways; the patched encoder is honoured either way.
    assert outputs[0][0] == outputs[1][0]
    assert outputs[0][1] == outputs[1][1] == "1"


def test_long_names_fail_like_the_host(tmp_path, monkeypatch):
    def run(flavour):
        root = flavour(tmp_path / flavour.__name__)
        monkeypatch.setattr(store_module, "get_simulations_dir", lambda: root)
        return outcome(lambda: store_module._get_simulation_file_path("t" * 300, "c", ID_A))

    plain, literal = run(pathlib.Path), run(LiteralPath)
    assert plain[:3] == literal[:3] == ("error", OSError, errno.ENAMETOOLONG) or \
        (plain[0] == literal[0] == "error" and plain[1] is literal[1])


# --- a store that others write while this process keeps its listings ----------

def change(root: pathlib.Path, actions: list[str]) -> None:
    """Applies actions such as "add=t/x.json", "rm=...", "mv=src:dst"."""
    for action in actions:
        verb, _, arg = action.partition("=")
        if verb == "add":
            (root / arg).parent.mkdir(parents=True, exist_ok=True)
            (root / arg).write_text("{}")
        elif verb == "rm":
            (root / arg).unlink()
        elif verb == "mv":
            src, dst = arg.split(":")
            os.replace(root / src, root / dst)


def in_another_process(root: pathlib.Path, actions: list[str]) -> None:
    code = "import pathlib, sys, test_fastpaths as t; t.change(pathlib.Path(sys.argv[1]), sys.argv[2:])"
    subprocess.run([sys.executable, "-c", code, str(root), *actions], check=True,
                   cwd=pathlib.Path(__file__).parent)


def in_a_forked_child(fn) -> None:
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            fn()
            status = 0
        finally:
            os._exit(status)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0


def found(sid: str) -> str | None:
    path = store_module._find_simulation_file(sid)
    return None if path is None else path.name


class TestChangesByOthersAreSeenByTheNextCall:
    """Listings read a moment ago (no waiting, no back-dated times) are kept;
    whatever another process changed before this call started is seen."""

    @pytest.fixture
    def live(self, plain_store):
        write(plain_store / "t" / f"x_{ID_A}.json")
        write(plain_store / "u" / "other_0000.json")
        assert found(ID_A) == f"x_{ID_A}.json"
        assert found(ID_B) is None  # every directory listed and remembered now
        return plain_store

    @pytest.mark.parametrize("actions, expect_a, expect_b", [
        ([f"add=t/y_{ID_B}.json"], f"x_{ID_A}.json", f"y_{ID_B}.json"),
        ([f"add=u/y_{ID_B}.json"], f"x_{ID_A}.json", f"y_{ID_B}.json"),
        ([f"rm=t/x_{ID_A}.json"], None, None),
        ([f"mv=t/x_{ID_A}.json:t/x_{ID_B}.json"], None, f"x_{ID_B}.json"),
        ([f"mv=t/x_{ID_A}.json:u/z_{ID_A}.json"], f"z_{ID_A}.json", None),
        ([f"add=new/y_{ID_B}.json"], f"x_{ID_A}.json", f"y_{ID_B}.json"),
        # A second file for one ID: the file system's order decides.
        ([f"add=t/w_{ID_A}.json"], "first", None),
        # A type directory replaced by another one, moved in from elsewhere.
        ([f"add=../spare/q_{ID_B}.json", "mv=t:../old", "mv=../spare:t"], None, f"q_{ID_B}.json"),
        (["mv=t:t2"], f"x_{ID_A}.json", None),
    ], ids=["create", "create-other-dir", "delete", "rename", "move-between-dirs",
            "new-type-dir", "second-file-same-id", "type-dir-swapped", "type-dir-renamed"])
    @pytest.mark.parametrize("writer", ["process", "fork"])
    def test_change_is_seen(self, live, writer, actions, expect_a, expect_b):
        if writer == "process":
            in_another_process(live, actions)
        else:
            in_a_forked_child(lambda: change(live, actions))
        if expect_a == "first":
            expect_a = next(p.name for p in (live / "t").iterdir())
        assert (found(ID_A), found(ID_B)) == (expect_a, expect_b)

    def test_forked_child_starts_afresh_and_leaves_the_parent_its_changes(self, live):
        def child():
            # The child's first call must not take the parent's queue: it
            # saves through the module and sees its own and the parent's state.
            write(live / "t" / f"c_{ID_B}.json")
            assert found(ID_B) == f"c_{ID_B}.json"
            assert found(ID_A) == f"x_{ID_A}.json"
            (live / "t" / f"c_{ID_B}.json").unlink()
            write(live / "u" / f"kept_{ID_B}.json")
            assert found(ID_B) == f"kept_{ID_B}.json"

        in_a_forked_child(child)
        assert found(ID_B) == f"kept_{ID_B}.json"
        (live / "u" / f"kept_{ID_B}.json").unlink()
        assert found(ID_B) is None

    @pytest.mark.parametrize("how", ["root-renamed", "parent-renamed"])
    def test_simulations_directory_replaced(self, live, how):
        moved = live if how == "root-renamed" else live.parent
        os.rename(moved, moved.with_name(moved.name + ".old"))
        write(live / "t" / f"n_{ID_B}.json")
        assert (found(ID_A), found(ID_B)) == (None, f"n_{ID_B}.json")

    def test_overflowed_queue_reads_afresh(self, live):
        # More changes than the kernel queues by default between two calls.
        t = live / "t"
        for i in range(17_000):
            os.close(os.open(t / f"f_{i:016x}.tmp", os.O_CREAT | os.O_WRONLY, 0o644))
        write(t / f"late_{ID_B}.json")
        assert found(ID_B) == f"late_{ID_B}.json"

    def test_type_directory_made_unreadable(self, live):
        if os.geteuid() == 0:
            pytest.skip("root reads every directory")
        os.chmod(live / "t", 0)
        try:
            assert found(ID_A) is None
        finally:
            os.chmod(live / "t", 0o755)


def test_listing_skips_files_removed_after_the_scan(store, place_record, logs, monkeypatch):
    for i in range(6):
        place_record("t", f"{i:016x}")
    listed_first = []
    matches = store_module._matches_filters

    def remove_the_rest(record, *filters):
        if not listed_first:  # the first file read: every other one goes now
            listed_first.append(record.simulation_id)
            for p in pathlib.Path(store, "t").iterdir():
                if record.simulation_id not in p.name:
                    p.unlink()
        return matches(record, *filters)

    monkeypatch.setattr(store_module, "_matches_filters", remove_the_rest)
    assert [r.simulation_id for r in store_module.list_simulation_results()] == listed_first
    assert logs.records == []


def test_remembered_listings_without_the_change_feed():
    # The stat-validated memo, as network file systems and refused watches get.
    env = dict(os.environ, CORVINA_DISABLE_CHANGE_FEED="1")
    here = pathlib.Path(__file__)
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(here),
         "-k", "RememberedListingsStayTrue or errors_are_the_same"],
        env=env, cwd=here.parent, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-2000:]
