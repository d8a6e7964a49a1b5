"""The command line's queries: ``--where`` against the JSON form, ``--columns``, export, plot."""

from __future__ import annotations

import contextlib
import io
import json
import math
import pathlib
import sys

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvina import analysis
from corvina.cli import common, main, where
from corvina.cli import plot as plotting
from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters


def cli(*args: str) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main.main(list(args))
    return status, out.getvalue(), err.getvalue()


def save(component: str, settings: dict, *, status: str = "success", result=None) -> str:
    return storage.save_simulation_result(
        component_name=component,
        factory_name=component,
        component_settings=settings,
        model_parameters={"n_eff": 2.4},
        hyperparameters=SimulationHyperparameters(wavelength_points=3),
        simulation_type="transmission",
        result=result if result is not None else {"through": [1.0, 0.5, 1.0], "fsr_nm": 9.1},
        wavelengths=[1.5, 1.55, 1.6],
        execution_time_seconds=1.0,
        status=status,
        error_message="no light\nat all" if status == "error" else "",
    ).simulation_id


SETTINGS = [
    ("ring", {"gap": 0.1, "radius": 10}),
    ("ring", {"gap": 0.2, "radius": 10.0}),
    ("ring", {"gap": 0.1 + 0.2, "radius": 20}),
    ("ring_add", {"gap": 1, "radius": 5, "tag": "wide"}),
    ("ring_add", {"gap": "wide", "tag": "0.1"}),
    ("µ-bend", {"gap": None, "tag": "a,b"}),
    ("µ-bend", {"gap": True, "radius": 2**60 + 1}),
    ("mmi", {"gap": [0.1], "tag": ""}),
    ("mmi", {"radius": 10.5}),
]


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    root = tmp_path_factory.mktemp("queries") / "simulations"
    with common.use_store(str(root)):
        for i, (component, settings_) in enumerate(SETTINGS):
            save(component, settings_, status="error" if i % 4 == 3 else "success")
    return root


# --- --where against the JSON form ------------------------------------------------

PATHS = ["component_settings.gap", "component_settings.radius", "component_settings.tag",
         "component_name", "status", "result.fsr_nm"]
SCALARS = st.one_of(
    st.sampled_from([0, 1, 0.1, 0.2, 0.30000000000000004, 10, 10.0, -1e3, 2**60 + 1]),
    st.booleans(), st.none(),
    st.sampled_from(["ring", "ring_add", "µ-bend", "success", "error", "wide", "0.1", "a,b", ""]),
)
# What each operator of an expression means in the query language.
MEANING = {"=": "$eq", "!=": "$ne", "<": "$lt", "<=": "$lte", ">": "$gt", ">=": "$gte",
           "in": "$in", "~": "$regex"}
PATTERNS = st.sampled_from(["^ring", "b", "^$", "[0-9]", "1", "^µ", "true"])


def _spell(value, *, in_list: bool = False) -> st.SearchStrategy[str]:
    """Ways to write a value: its JSON text, or a text bare where it would read back as itself."""
    ways = [json.dumps(value, ensure_ascii=False)]
    if (isinstance(value, str) and value and where.parse_value(value) == value
            and not (in_list and "," in value)):
        ways.append(value)
    return st.sampled_from(ways)


@st.composite
def expressions(draw):
    path = draw(st.sampled_from(PATHS))
    op = draw(st.sampled_from(list(MEANING)))
    gap = draw(st.sampled_from(["", " "]))
    if op == "~":
        pattern = draw(PATTERNS)
        value, text = pattern, draw(st.sampled_from([pattern, json.dumps(pattern)]))
    elif op == "in":
        value = draw(st.lists(SCALARS, min_size=1, max_size=3))
        if draw(st.booleans()):
            text = json.dumps(value, ensure_ascii=False)
        else:
            text = ",".join(draw(_spell(v, in_list=True)) for v in value)
        gap = " "
    else:
        value = draw(SCALARS)
        text = draw(_spell(value))
    return f"{path}{gap}{op}{gap}{text}", {path: {MEANING[op]: value}}


def _listed_ids(*args: str) -> list[str]:
    status, out, err = cli(*args, "--json")
    assert status in (0, 1), err
    return [r["simulation_id"] for r in json.loads(out)]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(expressions(), min_size=1, max_size=3))
def test_where_selects_what_the_json_form_selects(root, given_expressions):
    with common.use_store(str(root)):
        everything = [r.simulation_id for r in storage.list_simulation_results()]
        chosen = [
            {r.simulation_id for r in storage.query_simulation_results(where=query)}
            for _, query in given_expressions
        ]
    expected = [i for i in everything if all(i in ids for ids in chosen)]
    args = [arg for text, _ in given_expressions for arg in ("--where", text)]
    assert _listed_ids("--store", str(root), "list", *args) == expected


@pytest.mark.parametrize(
    ("text", "query"),
    [
        ("status!=success", {"status": {"$ne": "success"}}),
        ("component_name~^ring", {"component_name": {"$regex": "^ring"}}),
        ("component_settings.gap in 0.1,0.2", {"component_settings.gap": {"$in": [0.1, 0.2]}}),
        ("component_settings.pin in 1, x", {"component_settings.pin": {"$in": [1, "x"]}}),
        ('component_settings.tag in ["a,b", 1]', {"component_settings.tag": {"$in": ["a,b", 1]}}),
        ("component_settings.x=NaN", {"component_settings.x": {"$eq": "NaN"}}),
        ('component_settings.x="0.1"', {"component_settings.x": {"$eq": "0.1"}}),
        ('component_settings.x={"$gt": 1}', {"component_settings.x": {"$eq": {"$gt": 1}}}),
        ("component_settings.x=", {"component_settings.x": {"$eq": ""}}),
        ("component_name~1", {"component_name": {"$regex": "1"}}),
        ('component_name~" a "', {"component_name": {"$regex": " a "}}),
        ("simulation_date>=2026-12-01", {"simulation_date": {"$gte": "2026-12-01"}}),
        ("result.q >= 9007199254740993", {"result.q": {"$gte": 9007199254740993}}),
    ],
)
def test_expression_forms(text, query):
    assert where.parse_expression(text) == query


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["list", "--where", "bogus>1"], "unknown field 'bogus'"),
        (["list", "--where", "component_name~("], "bad regular expression"),
        (["list", "--where", "component_settings.gap"], "is not PATH OP VALUE"),
        (["list", "--where", ">=1"], "is not PATH OP VALUE"),
        (["list", "--where-json", "[1]"], "not a JSON object"),
        (["list", "--where-json", '{"x": '], "not a JSON object"),
        (["list", "--where-json", '{"component_settings.gap": {"$near": [1, -1]}}'], "$near"),
        (["list", "--columns", "component_settings.gap,nope"], "--columns: unknown field 'nope'"),
        (["list", "--limit", "0"], "not a positive whole number"),
        (["export", "--where", "status=error", "-o", "out.txt"], ".csv, .jsonl or .parquet"),
        (["plot"], "IDs, --where or --where-json"),
    ],
)
def test_malformed_queries_are_usage_errors_in_the_stores_words(root, args, message):
    status, out, err = cli("--store", str(root), *args)
    assert status == common.EXIT_USAGE
    assert out == "" and len(err.splitlines()) == 1 and message in err


def test_columns_show_the_fields_as_stored(root):
    status, out, _ = cli("--store", str(root), "list", "--where", "component_name~^(µ|mmi)",
                         "--sort", "component_name",
                         "--columns", "component_settings.gap,component_settings.radius,"
                         "error_message,simulation_date")
    assert status == 0
    header, *rows = out.splitlines()
    assert header.split() == ["ID", "component_settings.gap", "component_settings.radius",
                              "error_message", "simulation_date"]
    cells = [row.split(None, 2)[1:] for row in rows]
    # mmi, then µ-bend, each newest first: missing is "-", null is "null"
    assert [c[0] for c in cells] == ["-", "[0.1]", "true", "null"]
    assert str(2**60 + 1) in rows[2]  # an integer beyond a double's reach, exactly
    assert '"no light\\nat all"' in out  # a line break inside a cell is spelled, not printed

    status, out, _ = cli("--store", str(root), "list", "--where", "component_name=mmi",
                         "--columns", "component_settings.gap", "--json")
    without, with_gap = sorted(json.loads(out), key=len)
    assert list(without) == ["simulation_id"]
    assert with_gap["component_settings.gap"] == [0.1]


# --- export ------------------------------------------------------------------------


def _read(path: pathlib.Path) -> pd.DataFrame:
    if path.suffix == ".csv":
        return pd.read_csv(path, keep_default_na=False, na_values=[""])
    if path.suffix == ".jsonl":
        return pd.read_json(path, lines=True, dtype=False)
    return pd.read_parquet(path)


@pytest.mark.parametrize("suffix", [".csv", ".jsonl", ".parquet"])
def test_export_round_trips(root, tmp_path, suffix):
    target = tmp_path / f"table{suffix}"
    status, out, err = cli("--store", str(root), "export", "--where", "component_name~^ring",
                           "-o", str(target))
    assert status == 0, err
    with common.use_store(str(root)):
        records = storage.query_simulation_results(where={"component_name": {"$regex": "^ring"}})
    expected = analysis.to_dataframe(records)
    back = _read(target)
    assert f"exported {len(records)} results to {target}" in out
    assert list(back.columns) == list(expected.columns)
    assert list(back.simulation_id) == [r.simulation_id for r in records]
    assert list(pd.to_datetime(back.simulation_date, utc=True)) == list(expected.simulation_date)

    def cells(column, decode):
        return [None if (isinstance(v, float) and math.isnan(v)) or v is None
                else (json.loads(v) if decode else v) for v in back[column]]

    as_json = suffix != ".jsonl"  # one scalar per cell: mixed kinds as their JSON texts
    by_id = {r.simulation_id: r.component_settings for r in records}
    assert cells("component_settings.gap", as_json) == [
        by_id[i]["gap"] for i in back.simulation_id]  # 0.30000000000000004 and "wide" exactly
    assert cells("component_settings.tag", False) == [
        by_id[i].get("tag") for i in back.simulation_id]
    assert cells("component_settings.radius", False) == [
        by_id[i].get("radius") for i in back.simulation_id]


def test_export_of_the_spectra(root, tmp_path):
    target = tmp_path / "spectra.parquet"
    status, out, _ = cli("--store", str(root), "export", "--spectra", "--where",
                         "component_name=mmi", "-o", str(target))
    assert status == 0 and "2 results, 6 rows" in out
    back = pd.read_parquet(target)
    assert list(back.columns) == list(analysis.SPECTRA_COLUMNS)
    assert list(back.value) == [1.0, 0.5, 1.0] * 2


@pytest.mark.parametrize("failure", ["nothing matches", "writing fails", "no pyarrow"])
def test_a_failed_export_keeps_the_earlier_file(root, tmp_path, monkeypatch, failure):
    target = tmp_path / "table.parquet"
    target.write_bytes(b"the earlier export")
    query = "component_name=ring"
    if failure == "nothing matches":
        query = "component_name=nothing"
    elif failure == "writing fails":
        def half_then_fail(self, path, **_):
            pathlib.Path(path).write_bytes(b"PAR1 half")
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(pd.DataFrame, "to_parquet", half_then_fail)
    else:
        monkeypatch.setitem(sys.modules, "pyarrow", None)
    status, _, err = cli("--store", str(root), "export", "--where", query, "-o", str(target))
    assert status == {"nothing matches": 1}.get(failure, 2)
    assert failure != "no pyarrow" or "python3-pyarrow" in err
    assert target.read_bytes() == b"the earlier export"
    assert [p.name for p in tmp_path.iterdir()] == ["table.parquet"]


# --- plot --where ---------------------------------------------------------------------


def test_plot_draws_every_match_and_leaves_out_what_has_nothing_to_plot(tmp_path, monkeypatch):
    root = tmp_path / "simulations"
    with common.use_store(str(root)):
        a = save("ring", {"gap": 0.1})
        b = save("ring", {"gap": 0.2})
        failed = save("ring", {"gap": 0.3}, status="error", result={})
        other = save("mmi", {"gap": 0.1})
    drawn = []
    monkeypatch.setattr(plotting, "plot_records",
                        lambda records, path, **_: drawn.append([r.simulation_id for r in records])
                        or pathlib.Path(path))
    status, _, err = cli("--store", str(root), "plot", other[:8], "--where", "component_name=ring",
                         "--sort", "component_settings.gap", "-o", str(tmp_path / "p.png"))
    assert status == 0
    assert drawn == [[other, a, b]]
    assert failed in err and "nothing to plot" in err

    status, _, err = cli("--store", str(root), "plot", "--where", "status=error")
    assert status == 1 and "nothing to plot" in err and len(drawn) == 1
