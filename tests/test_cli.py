"""The command line, driven as a user drives it: a process on a real store."""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys
from typing import Any

import orjson
import pytest

from corvina.cli import main as cli
from corvina.core import simulation_storage as storage

from support.records import listed_ids, save_sample

PROG = "corvina.cli"


def run(*args: str, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", PROG, *args],
        input=stdin if stdin is not None else "",
        capture_output=True,
        text=True,
        timeout=60,
    )


def _ids_in_table(stdout: str) -> list[str]:
    lines = stdout.splitlines()
    assert lines[0].split()[:5] == ["ID", "COMPONENT", "TYPE", "STATUS", "PDK"]
    return [line.split()[0] for line in lines[1:]]


def _one_error_line(proc: subprocess.CompletedProcess[str]) -> str:
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    return lines[0]


@pytest.fixture
def store(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> pathlib.Path:
    """A store of four results, named in the environment the commands inherit."""
    root = tmp_path / "simulations"
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(root))

    def save(component: str, sim_type: str, pdk: str, **outcome: Any) -> None:
        monkeypatch.setenv("CORVINA_PDK", pdk)
        save_sample(component, sim_type, **outcome)

    save("ring", "sparameters", "pdk_a")
    save("ring", "modes", "pdk_a", status="error", error_message="no guided mode")
    save("mmi", "sparameters", "pdk_b", seconds=75.0)
    save("µ-bend", "sparameters", "pdk_a")
    monkeypatch.delenv("CORVINA_PDK")
    return root


# --- list -----------------------------------------------------------------------


def test_list_shows_every_result_newest_first(store):
    proc = run("list")
    assert proc.returncode == 0 and proc.stderr == ""
    assert _ids_in_table(proc.stdout) == listed_ids()
    mmi_row = next(line for line in proc.stdout.splitlines() if " mmi " in line)
    assert mmi_row.split()[2:5] == ["sparameters", "success", "pdk_b"]
    assert mmi_row.endswith("1 min 15 s")


@pytest.mark.parametrize(
    ("options", "filters"),
    [
        (["--component", "ring"], {"component_name": "ring"}),
        (["--factory", "mmi_factory"], {"factory_name": "mmi_factory"}),
        (["--type", "modes"], {"simulation_type": "modes"}),
        (["--pdk", "pdk_a", "--status", "success"], {"pdk_name": "pdk_a", "status": "success"}),
        (["--status", "error"], {"status": "error"}),
        (["--component", "µ-bend"], {"component_name": "µ-bend"}),
    ],
)
def test_list_filters(store, options, filters):
    proc = run("list", *options)
    assert proc.returncode == 0, proc.stderr
    expected = listed_ids(**filters)
    assert expected and _ids_in_table(proc.stdout) == expected


def test_list_json_holds_the_full_records(store):
    proc = run("list", "--json", "--type", "sparameters")
    assert proc.returncode == 0
    records = storage.list_simulation_results(simulation_type="sparameters")
    assert json.loads(proc.stdout) == [r.model_dump(mode="json") for r in records]


# --- show, delete -----------------------------------------------------------------


@pytest.mark.parametrize("form", ["full", "prefix", "upper"])
def test_show_prints_the_record_as_json(store, form):
    record = storage.list_simulation_results(component_name="mmi")[0]
    ident = {"full": record.simulation_id, "prefix": record.simulation_id[:6],
             "upper": record.simulation_id.upper()}[form]
    proc = run("show", ident)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("{\n  ")
    assert json.loads(proc.stdout) == record.model_dump(mode="json")


def test_delete_removes_exactly_one_result(store):
    victim, *others = listed_ids()
    proc = run("delete", victim)
    assert proc.returncode == 0 and victim in proc.stdout
    assert listed_ids() == others
    again = run("delete", victim)
    assert again.returncode == 1 and victim in _one_error_line(again)


def test_ambiguous_prefix_is_refused(store):
    # two records whose IDs share their first four digits
    record = storage.list_simulation_results(component_name="mmi")[0]
    for suffix in ("000000000001", "000000000002"):
        twin = record.model_copy(update={"simulation_id": "abcd" + suffix})
        (store / "sparameters" / f"mmi_abcd{suffix}.json").write_bytes(
            orjson.dumps(twin.model_dump(), option=orjson.OPT_INDENT_2)
        )
    proc = run("delete", "abcd")
    assert proc.returncode == 2 and "ambiguous" in _one_error_line(proc)
    assert len(listed_ids()) == 6
    assert run("delete", "abcd1").returncode == 1
    assert run("show", "abcd000000000002").returncode == 0


# --- clear ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("options", "answer", "removed"),
    [
        (["--yes"], None, {}),
        (["--type", "sparameters", "-y"], None, {"simulation_type": "sparameters"}),
        (["--status", "error", "--yes"], None, {"status": "error"}),
        (["--component", "ring"], "y\n", {"component_name": "ring"}),
        (["--pdk", "pdk_b"], "YES\n", {"pdk_name": "pdk_b"}),
    ],
)
def test_clear_deletes_what_passes_the_filters(store, options, answer, removed):
    before = set(listed_ids())
    gone = set(listed_ids(**removed))
    proc = run("clear", *options, stdin=answer)
    assert proc.returncode == 0, proc.stderr
    assert f"deleted {len(gone)} simulation result" in proc.stdout
    assert set(listed_ids()) == before - gone


@pytest.mark.parametrize("answer", ["n\n", "", "maybe\n"])
def test_clear_asks_first_and_keeps_everything_unless_told_yes(store, answer):
    before = listed_ids()
    proc = run("clear", "--component", "ring", stdin=answer)
    assert proc.returncode == 1
    assert "delete 2 simulation results" in proc.stderr and "nothing was deleted" in proc.stderr
    assert listed_ids() == before


# --- stats ------------------------------------------------------------------------------


def test_stats_counts_results_and_file_bytes(store):
    proc = run("stats", "--json")
    assert proc.returncode == 0, proc.stderr
    stats = json.loads(proc.stdout)
    on_disk: dict[tuple[str, str], list[int]] = {}
    for path in store.glob("*/*.json"):
        record = json.loads(path.read_bytes())
        entry = on_disk.setdefault((record["simulation_type"], record["status"]), [0, 0])
        entry[0] += 1
        entry[1] += path.stat().st_size
    assert {(g["simulation_type"], g["status"]): [g["results"], g["bytes"]] for g in stats["groups"]} == on_disk
    assert stats["results"] == 4 and stats["bytes"] == sum(b for _, b in on_disk.values())

    table = run("stats").stdout.splitlines()
    assert table[0] == f"store: {store}"
    assert table[-1].split()[:2] == ["total", "4"]
    assert ["sparameters", "success", "3"] in [row.split()[:3] for row in table]


# --- exit status and errors ------------------------------------------------------------


@pytest.mark.parametrize(
    "args",
    [
        ["list", "--component", "nothing-like-this"],
        ["list", "--json", "--type", "nothing"],
        ["stats", "--status", "error", "--type", "sparameters"],
        ["show", "0123456789abcdef"],
        ["delete", "0123456789abcdef"],
        ["show", "ffff"],
        ["clear", "--factory", "nothing", "--yes"],
    ],
)
def test_nothing_found_exits_1_with_one_line(store, args):
    before = listed_ids()
    proc = run(*args)
    assert proc.returncode == 1
    assert str(store) in _one_error_line(proc)
    assert proc.stdout in ("", "[]\n")
    assert listed_ids() == before


@pytest.mark.parametrize("command", [["list"], ["stats"], ["clear", "--yes"]])
def test_missing_store_is_an_empty_store(tmp_path, monkeypatch, command):
    monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(tmp_path / "never-made"))
    assert run(*command).returncode == 1
    assert not (tmp_path / "never-made").exists()


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["frobnicate"],
        ["list", "--colour"],
        ["list", "--status", "failed"],
        ["show"],
        ["show", "not-an-id"],
        ["show", "abc"],
        ["delete", "0123456789abcdef0"],
        ["clear", "extra"],
        ["--store", "", "list"],
    ],
)
def test_bad_usage_exits_2_with_one_line(store, args):
    proc = run(*args)
    assert proc.returncode == 2
    assert "error" in _one_error_line(proc)
    assert proc.stdout == ""


def test_unusable_store_exits_2_with_one_line(tmp_path):
    not_a_dir = tmp_path / "file"
    not_a_dir.write_text("I am a file")
    proc = run("list", "--store", str(not_a_dir))
    assert proc.returncode == 2
    assert str(not_a_dir) in _one_error_line(proc)


def test_damaged_result_is_named_in_the_error(store):
    record = storage.list_simulation_results(component_name="mmi")[0]
    path = store / "sparameters" / f"mmi_{record.simulation_id}.json"
    path.write_text('{"component_name": "mmi"')
    proc = run("show", record.simulation_id)
    assert proc.returncode == 2
    line = _one_error_line(proc)
    assert record.simulation_id in line and "cannot be read" in line


def test_store_option_overrides_the_environment_on_either_side(store, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    assert run("--store", str(elsewhere), "list").returncode == 1
    assert run("list", "--store", str(elsewhere)).returncode == 1
    assert run("list", "--store", str(store)).returncode == 0


def test_a_file_that_cannot_be_parsed_is_reported_and_skipped(store):
    bad = store / "sparameters" / "ring_badbadbadbadbadba.json"
    bad.write_text("{ not json")
    proc = run("list")
    assert proc.returncode == 0
    assert _ids_in_table(proc.stdout) == listed_ids()
    assert f"Failed to parse simulation file: {bad}" in _one_error_line(proc)


def test_main_returns_the_status_for_the_console_script(store, capsys):
    # the installed `corvina-sims` wrapper calls sys.exit(main())
    assert cli.main(["list", "--component", "mmi"]) == 0
    assert cli.main(["list", "--component", "none"]) == 1
    assert cli.main(["list", "--bogus"]) == 2
    out, err = capsys.readouterr()
    assert "mmi" in out and len(err.splitlines()) == 2


def test_importing_the_cli_stays_light():
    code = (
        "import sys, corvina.cli.main\n"
        "heavy = {'pydantic', 'orjson', 'corvina.core.simulation_storage', 'upath'}\n"
        "print(sorted(heavy & set(sys.modules)))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


