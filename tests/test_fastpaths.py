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
