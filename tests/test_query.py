"""Queries over stored records, against a plain-Python reading of the language.

The module tests a query on a file's JSON text when the host's decoder is
orjson's own and the fast paths are on, and on the host's decoded objects
otherwise; the walk over the store goes by system calls, by the path
objects' own methods, or by the batch path of fsspec stores. Every way must
give what the reference below gives.
"""

from __future__ import annotations

import contextlib
import datetime as dt
import functools
import math
import pathlib
import re
import shutil
import tempfile
import types
import uuid
from typing import Any

import orjson
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import LiteralPath
from corvina.core import simulation_storage as storage

from support import FAST_PATHS_OFF

MISSING = object()

# --- the reference ------------------------------------------------------------------


def is_num(v: Any) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def json_equal(a: Any, b: Any) -> bool:
    if is_num(a) and is_num(b):
        return a == b
    if isinstance(a, bool) or isinstance(b, bool):
        return a is b
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(map(json_equal, a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(json_equal(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


def json_order(a: Any, b: Any) -> int | None:
    if (is_num(a) and is_num(b)) or (isinstance(a, str) and isinstance(b, str)):
        return (a > b) - (a < b)
    return None


def instant(v: Any) -> dt.datetime | None:
    if not isinstance(v, str):
        return None
    try:
        d = dt.datetime.fromisoformat(v)
    except ValueError:
        return None
    return d if d.tzinfo else d.replace(tzinfo=dt.UTC)


def resolve(data: Any, path: str) -> Any:
    for seg in path.split("."):
        if isinstance(data, dict) and seg in data:
            data = data[seg]
        elif isinstance(data, list) and re.fullmatch(r"0|[1-9][0-9]*", seg) and int(seg) < len(data):
            data = data[int(seg)]
        else:
            return MISSING
    return data


def holds_for(path: str, op: str, operand: Any, v: Any) -> bool:
    dated = path == "simulation_date"
    if op == "$exists":
        return (v is not MISSING) == operand
    if op in ("$ne", "$nin"):
        return v is MISSING or not holds_for(path, {"$ne": "$eq", "$nin": "$in"}[op], operand, v)
    if v is MISSING:
        return False

    def same(x: Any) -> bool:
        if dated and isinstance(x, str):
            return instant(v) is not None and instant(v) == instant(x)
        return json_equal(v, x)

    if op == "$eq":
        return same(operand)
    if op == "$in":
        return any(same(x) for x in operand)
    if op == "$regex":
        return isinstance(v, str) and re.search(operand, v) is not None
    if op == "$near":
        value, *tol = operand if isinstance(operand, list) else [operand]
        return is_num(v) and math.isclose(v, value, **dict(zip(("rel_tol", "abs_tol"), tol)))
    if dated and isinstance(operand, str):
        a, b = instant(v), instant(operand)
        c = None if a is None else (a > b) - (a < b)
    else:
        c = json_order(v, operand)
    return c is not None and {"$gt": c > 0, "$gte": c >= 0, "$lt": c < 0, "$lte": c <= 0}[op]


def condition_holds(path: str, cond: Any, data: dict) -> bool:
    if isinstance(cond, dict) and cond and all(k.startswith("$") for k in cond):
        for op, operand in cond.items():
            if op == "$not":
                ok = not condition_holds(path, operand, data)
            elif op in ("$and", "$or"):
                ok = (all if op == "$and" else any)(condition_holds(path, c, data) for c in operand)
            else:
                ok = holds_for(path, op, operand, resolve(data, path))
            if not ok:
                return False
        return True
    return holds_for(path, "$eq", cond, resolve(data, path))


def query_holds(query: dict, data: dict) -> bool:
    for key, cond in query.items():
        if key == "$and":
            ok = all(query_holds(q, data) for q in cond)
        elif key == "$or":
            ok = any(query_holds(q, data) for q in cond)
        elif key == "$not":
            ok = not query_holds(cond, data)
        else:
            ok = condition_holds(key, cond, data)
        if not ok:
            return False
    return True


def sort_cmp(path: str, descending: bool, a: dict, b: dict) -> int:
    def rank(d: dict) -> tuple[int, Any]:
        v = resolve(d, path)
        if path == "simulation_date":
            return (0, instant(v)) if instant(v) else (2, None)
        return (0, v) if is_num(v) else (1, v) if isinstance(v, str) else (2, None)

    (ra, va), (rb, vb) = rank(a), rank(b)
    if ra != rb:
        return ra - rb
    c = 0 if ra == 2 else (va > vb) - (va < vb)
    return -c if descending else c


def reference(records: list[dict], query: dict | None, sort: str | None = None,
              limit: int | None = None) -> list[str]:
    chosen = [r for r in records if query is None or query_holds(query, r)]
    chosen.sort(key=lambda r: r["simulation_date"], reverse=True)
    if sort:
        desc = sort.startswith("-")
        chosen.sort(key=functools.cmp_to_key(functools.partial(sort_cmp, sort.lstrip("-"), desc)))
    return [r["simulation_id"] for r in chosen][:limit]


# --- random records and queries -------------------------------------------------------

POOL = [0, 1, 1.0, -1, 2**53, 2**53 + 1, float(2**53), 2**64 - 1, -(2**63), 0.1, 0.2,
        0.30000000000000004, 1e300, "a", "b", "B", "é", "😀", "", True, False, None,
        [1, 2], [1.0, 2], [], {"c": 1}, {"c": 1.0, "d": None}, {}]
# Mostly from a small pool, so that records and queries meet.
SCALARS = st.one_of(*[st.sampled_from(POOL)] * 6, st.integers(-(2**63), 2**64 - 1),
                    st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=4))
VALUES = st.one_of(*[SCALARS] * 3, st.recursive(
    SCALARS, lambda inner: st.lists(inner, max_size=3)
    | st.dictionaries(st.sampled_from("cd"), inner, max_size=2), max_leaves=4))
# Operands may go beyond what a file holds (integers past 64 bits).
OPERANDS = st.one_of(*[st.sampled_from(POOL)] * 4, VALUES,
                     st.sampled_from([2**64, 2**200, -(2**70), 10**400]))

DATES = st.datetimes(min_value=dt.datetime(1990, 1, 1), max_value=dt.datetime(2040, 1, 1),
                     timezones=st.none() | st.sampled_from(
                         [dt.UTC, dt.timezone(dt.timedelta(hours=5, minutes=30)),
                          dt.timezone(dt.timedelta(hours=-8))]))
DATE_TEXTS = DATES.map(lambda d: d.isoformat()) | st.sampled_from(
    ["2026-01-15", "2026-01-15T12:00:00Z", "2026-01-15 12:00", "2026-01-15T12:00:00.5+01:00"])

PATHS = ["component_name", "status", "execution_time_seconds", "hyperparameters.mesh_resolution",
         "component_settings.a", "component_settings.a", "component_settings.a", "component_settings.b",
         "component_settings.b.c", "component_settings.l.0", "result.x"]
PATTERNS = ["^a", "b", "é", "^$", "[0-9]", "(?i)b"]


@st.composite
def records(draw) -> list[dict]:
    out = []
    for n in range(draw(st.integers(2, 7))):
        settings_ = draw(st.fixed_dictionaries({}, optional={
            "a": VALUES, "b": VALUES | st.dictionaries(st.sampled_from("cd"), VALUES, max_size=2),
            "l": st.lists(VALUES, max_size=2)}))
        out.append({
            "component_name": draw(st.sampled_from(["a", "ab", "b", "é", ""])),
            "factory_name": "f",
            "component_settings": settings_,
            "model_parameters": draw(st.dictionaries(st.just("m"), VALUES, max_size=1)),
            "hyperparameters": {"mesh_resolution": draw(st.sampled_from([1, 10, 20, 2**53 + 1]))},
            "simulation_type": draw(st.sampled_from(["sp", "modes"])),
            "simulation_id": f"{n:016x}",
            "pdk_name": "p",
            "pdk_version": "",
            # Unique texts, so that the listing's order has no ties.
            "simulation_date": draw(DATES).isoformat(),
            "corvina_version": "0",
            "result": draw(st.dictionaries(st.just("x"), VALUES, max_size=1)),
            "wavelengths": [1.55],
            "execution_time_seconds": draw(st.sampled_from([0.0, 1.5, 2.0, 1e-9])),
            "status": draw(st.sampled_from(["success", "error"])),
            "error_message": "",
        })
    seen: set[str] = set()
    return [r for r in out if not (r["simulation_date"] in seen or seen.add(r["simulation_date"]))]


def twins(v: Any) -> list[Any]:
    """A value and the values of other kinds that a faulty comparison would
    confuse with it (1 and 1.0 and True, a number and its text)."""
    out = [v]
    if is_num(v):
        out += [float(v) if isinstance(v, int) else int(v) if v == int(v) else v, str(v)]
        if v in (0, 1):
            out.append(bool(v))
    elif isinstance(v, bool):
        out.append(int(v))
    elif isinstance(v, list):
        out += [[*v, None], v[:1]] if v else [None]
    return out


def leaf(path: str, present: list[Any]) -> st.SearchStrategy:
    if path == "simulation_date":
        operand = DATE_TEXTS | st.sampled_from(present) if present else DATE_TEXTS
    else:
        near = [t for v in present for t in twins(v)]
        operand = st.one_of(*[st.sampled_from(near)] * 6, OPERANDS) if near else OPERANDS
    ops = st.sampled_from(["$eq", "$ne", "$gt", "$gte", "$lt", "$lte"]).flatmap(
        lambda op: operand.map(lambda v: {op: v}))
    sets = st.sampled_from(["$in", "$nin"]).flatmap(
        lambda op: st.lists(operand, max_size=3).map(lambda v: {op: v}))
    return (operand | operand | ops | ops | sets | st.booleans().map(lambda b: {"$exists": b})
            | st.sampled_from(PATTERNS).map(lambda p: {"$regex": p})
            | st.tuples(st.sampled_from([0, 0.1, 1.0, 2**53, 1.5]),
                        st.sampled_from([1e-9, 0.5, 0.0]), st.sampled_from([0.0, 0.25]))
            .map(lambda t: {"$near": list(t)}))


def queries_for(recs: list[dict]) -> st.SearchStrategy:
    """Queries whose operands are mostly the records' own values, or their twins."""
    paths = PATHS + ["simulation_date"]
    present = {p: [v for r in recs if (v := resolve(r, p)) is not MISSING] for p in paths}

    def condition(path: str) -> st.SearchStrategy:
        return st.recursive(leaf(path, present[path]), lambda inner: inner.map(lambda c: {"$not": c})
                            | st.lists(inner, min_size=1, max_size=2).map(lambda cs: {"$or": cs}),
                            max_leaves=3)

    fields = st.sampled_from(paths).flatmap(lambda p: condition(p).map(lambda c: {p: c}))
    return st.recursive(fields, lambda inner: st.lists(inner, min_size=1, max_size=2).map(
        lambda qs: {"$or": qs}) | inner.map(lambda q: {"$not": q}) | st.lists(
        inner, min_size=1, max_size=2).map(lambda qs: {k: v for q in qs for k, v in q.items()}),
        max_leaves=4)


# --- the ways a store is read -------------------------------------------------------

def write(root: pathlib.Path, recs: list[dict]) -> None:
    shutil.rmtree(root, ignore_errors=True)
    for r in recs:
        d = root / r["simulation_type"]
        d.mkdir(parents=True, exist_ok=True)
        (d / f"{r['component_name']}_{r['simulation_id']}.json").write_bytes(
            orjson.dumps(r, option=orjson.OPT_INDENT_2))


@contextlib.contextmanager
def route(name: str, root: pathlib.Path, monkeypatch: pytest.MonkeyPatch):
    """Points the store at `root` and serves it one way."""
    with monkeypatch.context() as m:
        if name == "literal":
            root = LiteralPath(root)
        elif name == "index off":
            # "plain" is answered from the result index from its second query on.
            m.setenv("CORVINA_DISABLE_RESULT_INDEX", "1")
        elif name == "host decoder":
            m.setattr(storage, "orjson", types.SimpleNamespace(loads=lambda b: orjson.loads(b)))
        elif name == "memory":
            upath = pytest.importorskip("upath")
            mem = upath.UPath(f"memory://q-{uuid.uuid4().hex[:12]}/sims")
            for f in root.rglob("*.json"):
                mem.fs.pipe_file(f"{mem.path}/{f.parent.name}/{f.name}", f.read_bytes())
            root = mem
        m.setattr(storage, "get_simulations_dir", lambda: root)
        yield
        if name == "memory":
            root.fs.rm(root.path, recursive=True)


ROUTES = ["plain", "index off", "literal", "host decoder", "memory"]


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data(), recs=records(),
       sort=st.none() | st.sampled_from(PATHS + ["simulation_date"]).flatmap(
           lambda p: st.sampled_from([p, "-" + p])),
       limit=st.none() | st.integers(0, 4))
def test_queries_agree_with_the_reference_every_way(data, recs, sort, limit, monkeypatch, logs):
    queries = data.draw(st.lists(queries_for(recs), min_size=1, max_size=8))
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp) / "sims"
        write(root, recs)
        for name in ROUTES:
            with route(name, root, monkeypatch):
                for q in queries:
                    expected = reference(recs, q, sort, limit)
                    got = storage.query_simulation_results(where=q, sort=sort, limit=limit)
                    assert [r.simulation_id for r in got] == expected, (name, q)
    assert logs.records == []


def test_no_query_lists_what_the_listing_lists_in_its_order(store, place_record):
    for n in range(6):
        place_record(("sp", "modes")[n % 2], f"{n:016x}", simulation_date=f"2026-01-0{n % 3 + 1}T00:00:00")
    listed = storage.list_simulation_results()
    assert storage.query_simulation_results() == listed
    assert storage.query_simulation_results(where={}) == listed
    assert storage.query_simulation_results(where={}, limit=2) == listed[:2]


FILTERINGS = [{}, {"component_name": "ab"}, {"status": "error"}, {"simulation_type": "modes"},
              {"component_name": "a", "status": "success", "simulation_type": "sp"}]


@pytest.mark.parametrize("name", ROUTES)
def test_the_query_walks_the_store_as_the_listing_walks_it(name, tmp_path, monkeypatch, logs,
                                                           record_data):
    """Without a query, every way of reading the store gives the listing's
    records and its warnings, bad files among them, under every filter."""
    recs = [record_data(component_name=("a", "ab")[n % 2], status=("success", "error")[n % 3 == 0],
                        simulation_type=("sp", "modes")[n % 2], simulation_id=f"{n:016x}",
                        simulation_date=f"2026-01-{n + 1:02d}T00:00:00") for n in range(7)]
    root = tmp_path / "sims"
    write(root, recs)
    (root / "sp" / "a_broken.json").write_bytes(b'{"component_name": "a",')
    (root / "modes" / "ab_not-a-record.json").write_bytes(b'{"component_name": "ab"}')
    (root / "sp" / "notes.txt").write_bytes(b"not a result")
    with route(name, root, monkeypatch):
        for filters in FILTERINGS:
            logs.records.clear()
            listed = storage.list_simulation_results(**filters)
            listing_warnings = list(logs.records)
            logs.records.clear()
            assert storage.query_simulation_results(**filters) == listed, filters
            assert storage.query_simulation_results(where={}, sort="-simulation_date",
                                                    **filters) == listed, filters
            assert logs.records == listing_warnings + listing_warnings, filters
        # The record's date against datetime objects, aware and naive, as
        # against the same instants written as texts.
        for operand in (dt.datetime(2026, 1, 4), dt.datetime(2026, 1, 4, 1, tzinfo=dt.timezone(
                dt.timedelta(hours=1)))):
            got = storage.query_simulation_results(where={"simulation_date": {"$gte": operand}})
            assert got == storage.query_simulation_results(
                where={"simulation_date": {"$gte": operand.isoformat()}})
            assert sorted(r.simulation_id for r in got) == [f"{n:016x}" for n in range(3, 7)]


# --- malformed queries ----------------------------------------------------------------

MALFORMED = [
    ({"gap": 1}, "unknown field 'gap'"),
    ({"component_settings..gap": 1}, "empty part"),
    ({"component_name": {"$foo": 1}}, "unknown operator '$foo'"),
    ({"$nor": []}, "unknown operator '$nor'"),
    ({"component_name": {"$eq": 1, "x": 2}}, "mixes operators"),
    ({"component_name": {"$in": "ring"}}, "$in takes a list"),
    ({"component_name": {"$exists": 1}}, "$exists takes True or False"),
    ({"component_name": {"$regex": "("}}, "bad regular expression"),
    ({"component_name": {"$regex": 5}}, "$regex takes a text"),
    ({"result.x": {"$near": [1.0, -0.1]}}, "rel_tol must not be negative"),
    ({"result.x": {"$near": [1.0, 0.0, -1]}}, "abs_tol must not be negative"),
    ({"result.x": {"$near": [1, 2, 3, 4]}}, "$near takes"),
    ({"result.x": {"$near": ["a"]}}, "must be a number"),
    ({"result.x": {"$near": [10**400]}}, "too large"),
    ({"result.x": float("nan")}, "no JSON form"),
    ({"result.x": {1, 2}}, "no JSON form"),
    ({"result.x": {"$in": [{1: 2}]}}, "keys of a JSON object are texts"),
    ({"simulation_date": {"$gte": "last week"}}, "not an ISO 8601 date"),
    ({"$or": []}, "non-empty list"),
    ({"$and": {"component_name": "a"}}, "non-empty list"),
    ({"$not": [1]}, "a query is a mapping"),
    ({1: 2}, "a field path must be a text"),
]


@pytest.mark.parametrize(("query", "message"), MALFORMED, ids=[m for _, m in MALFORMED])
@pytest.mark.parametrize("placement", ["alone", "behind $or", "under $not", "beside a filter"])
def test_malformed_parts_are_refused_before_any_file_is_read(store, place_record, query, message,
                                                             placement, monkeypatch):
    place_record("sp", "0" * 16)
    wrapped = {
        "alone": query,
        "behind $or": {"$or": [{"component_name": "ring"}, query]},
        "under $not": {"component_name": {"$ne": "ring"}, "$not": query},
        "beside a filter": {"simulation_id": "matches nothing", "$and": [query]},
    }[placement]
    with pytest.raises(ValueError, match=re.escape(message)):
        storage.check_query(wrapped)
    # Nothing is read: the store's directory is never asked for.
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: pytest.fail("the store was read"))
    with pytest.raises(ValueError, match=re.escape(message)):
        storage.query_simulation_results(where=wrapped)


@pytest.mark.parametrize(("kwargs", "error"), [
    ({"where": "component_name=ring"}, TypeError),
    ({"where": [("component_name", "ring")]}, TypeError),
    ({"limit": -1}, ValueError),
    ({"limit": True}, TypeError),
    ({"limit": 1.0}, TypeError),
    ({"sort": "-gap"}, ValueError),
    ({"sort": 3}, TypeError),
    ({"simulation_type": "../x"}, ValueError),
])
def test_bad_arguments(store, kwargs, error):
    with pytest.raises(error):
        storage.query_simulation_results(**kwargs)


# --- bad files -------------------------------------------------------------------------


@pytest.mark.parametrize("way", ["native", "host decoder"])
def test_bad_files_amid_matches_are_reported_as_listing_reports_them(store, place_record, logs,
                                                                     record_data, monkeypatch, way):
    if way == "host decoder":
        monkeypatch.setattr(storage, "orjson", types.SimpleNamespace(loads=orjson.loads))
    good = [place_record("sp", f"{n:016x}", component_settings={"gap": 0.1 * n}) for n in range(4)]
    d = store / "sp"
    undecodable = []
    # Each defect in a file that would match and in one that would not:
    # both are reported.
    for gap in (0.1, 9):
        text = orjson.dumps(record_data(simulation_id="b" * 16, component_settings={"gap": gap}),
                            option=orjson.OPT_INDENT_2)
        for name, data in {
            "empty": b"",
            "truncated": text[: len(text) // 2],
            "not JSON": b"gap: 0.1",
            "stray comma": text.replace(b'"wavelengths": [', b'"wavelengths": [,'),
            "lone surrogate": text.replace(b'"error_message": ""', b'"error_message": "\\ud800"'),
            "invalid UTF-8": text.replace(b'"pdk_version": ""', b'"pdk_version": "\xff"'),
            "number overflows a double": text.replace(b'"execution_time_seconds": 2.5',
                                                      b'"execution_time_seconds": 1e999'),
            "two documents": text + b"{}",
        }.items():
            assert data != text
            file_name = f"ring_{name.replace(' ', '-')}-{gap}.json"
            (d / file_name).write_bytes(data)
            undecodable.append(file_name)
    # Decodes, but is no record: reported only when it matches (it is validated then).
    (d / "ring_not-a-record-matching.json").write_bytes(b'{"component_settings": {"gap": 0.1}}')
    (d / "ring_not-a-record-other.json").write_bytes(b'{"component_settings": {"gap": 9}}')
    # Decodes to what the native check does not vouch for: the host decides.
    deep = orjson.dumps(record_data(simulation_id="d" * 16, component_settings={"gap": 0.1},
                                    result={"nest": "here"}))
    (d / f"ring_{'d' * 16}.json").write_bytes(deep.replace(b'"here"', b"[" * 300 + b"]" * 300))

    got = storage.query_simulation_results(where={"component_settings.gap": {"$near": [0.1]}})
    assert sorted(r.simulation_id for r in got) == sorted([good[1].stem.split("_")[1], "d" * 16])
    warned = sorted(t.rsplit("/", 1)[1] for t in logs.texts("warning"))
    assert warned == sorted(undecodable + ["ring_not-a-record-matching.json"])
    assert all(t.startswith("Failed to parse simulation file: ") for t in logs.texts("warning"))


FUZZ_QUERIES = [
    {"component_settings.gap": {"$near": [0.1]}},
    {"$or": [{"component_name": {"$regex": "^r"}}, {"model_parameters.neff": {"$gt": 2}}]},
    {"status": {"$ne": "error"}, "simulation_date": {"$gte": "2026-01-01"}},
]
FUZZ_BYTES = st.sampled_from(list(b'{}[],:"\\ 0.9eE-+tfnul') + [0xFF, 0xC3, 0xED, 0x00, 0x1F])


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(edits=st.lists(st.tuples(st.floats(0, 1), st.sampled_from(["insert", "delete", "replace"]),
                                FUZZ_BYTES), min_size=1, max_size=4))
def test_damaged_files_are_reported_exactly_when_the_decoder_refuses_them(edits, record_data, logs,
                                                                          monkeypatch, tmp_path):
    """Any damage to a file's text: the module's own reading of the text
    must never differ from the host decoder's, nor read out of bounds."""
    data = bytearray(orjson.dumps(record_data(component_settings={"gap": 0.1, "w": [1, "é"]},
                                              model_parameters={"neff": 2.4}),
                                  option=orjson.OPT_INDENT_2))
    for where, how, byte in edits:
        at = min(int(where * len(data)), len(data) - 1)
        if how == "insert":
            data.insert(at, byte)
        elif how == "delete":
            del data[at]
        else:
            data[at] = byte
    root = tmp_path / f"sims-{uuid.uuid4().hex[:8]}"
    (root / "sp").mkdir(parents=True)
    (root / "sp" / "ring_0123456789abcdef.json").write_bytes(bytes(data))
    monkeypatch.setattr(storage, "get_simulations_dir", lambda: root)
    try:
        decoded = orjson.loads(bytes(data))
    except orjson.JSONDecodeError:
        decoded = MISSING
    for q in FUZZ_QUERIES:
        logs.records.clear()
        got = storage.query_simulation_results(where=q)
        if decoded is MISSING:
            assert (got, len(logs.texts("warning"))) == ([], 1), q
            continue
        hit = isinstance(decoded, dict) and query_holds(q, decoded)
        try:
            valid = storage.StoredSimulationResult.model_validate(decoded)
        except ValueError:
            valid = None
        assert got == ([valid] if hit and valid else []), q
        assert len(logs.texts("warning")) == (hit and not valid), q


# --- object storage --------------------------------------------------------------------


def test_s3_reads_each_file_once_and_agrees_with_the_local_store(bucket, s3_requests, monkeypatch,
                                                                  tmp_path, logs):
    upath = pytest.importorskip("upath")
    recs = [dict(component_name=f"c{n % 3}", factory_name="f",
                 component_settings={"gap": round(0.05 * n, 2), "w": [0.5, n]},
                 model_parameters={}, hyperparameters={"mesh_resolution": 10 + n},
                 simulation_type=("sp", "modes")[n % 2], simulation_id=f"{n:016x}", pdk_name="p",
                 simulation_date=f"2026-01-{n + 1:02d}T00:00:00+00:00", corvina_version="0",
                 result={}, wavelengths=[1.5], execution_time_seconds=1.0,
                 status=("success", "error")[n % 4 == 3], error_message="") for n in range(20)]
    write(tmp_path / "local", recs)
    remote = upath.UPath(f"s3://{bucket}/q/sims")
    for f in (tmp_path / "local").rglob("*.json"):
        (remote / f.parent.name / f.name).write_bytes(f.read_bytes())
    queries = [{"component_settings.gap": {"$gte": 0.3, "$lt": 0.7}}, {"status": "error"},
               {"$or": [{"component_name": {"$regex": "1$"}}, {"component_settings.w.1": {"$in": [2, 4]}}]},
               {"simulation_date": {"$lt": "2026-01-05T01:00:00+01:00"}}]
    for q in queries:
        monkeypatch.setattr(storage, "get_simulations_dir", lambda: remote)
        s3_requests.clear()
        got = storage.query_simulation_results(where=q, simulation_type="sp", sort="-component_settings.gap")
        if not FAST_PATHS_OFF:
            assert len(s3_requests) <= len(recs) // 2 + 1
        monkeypatch.setattr(storage, "get_simulations_dir", lambda: tmp_path / "local")
        assert got == storage.query_simulation_results(where=q, simulation_type="sp",
                                                       sort="-component_settings.gap")
        assert [r.simulation_id for r in got] == reference(
            [r for r in recs if r["simulation_type"] == "sp"], q, "-component_settings.gap")
    assert logs.records == []


# --- tables ----------------------------------------------------------------------------


def test_tables_for_analysis(store, save_result):
    pd = pytest.importorskip("pandas")
    from corvina import analysis

    saved = [save_result(component_settings={"gap": g, "ring": {"radius": 5.0}},
                         result={"through": [0.9, 0.1, 0.8], "t": {"drop": [0.0, 0.5, 0.1]}, "fsr_nm": 67.0},
                         status="error" if g > 0.15 else "success") for g in (0.1, 0.2)]
    records = storage.query_simulation_results(sort="component_settings.gap")
    frame = analysis.to_dataframe(records)
    assert list(frame.columns[: len(analysis.IDENTITY_COLUMNS)]) == list(analysis.IDENTITY_COLUMNS)
    assert list(frame["simulation_id"]) == [r.simulation_id for r in saved]
    assert list(frame["component_settings.gap"]) == [0.1, 0.2]
    assert list(frame["component_settings.ring.radius"]) == [5.0, 5.0]
    assert list(frame["hyperparameters.mesh_resolution"]) == [20, 20]
    assert list(frame["result.fsr_nm"]) == [67.0, 67.0]
    assert list(frame["status"]) == ["success", "error"]
    assert str(frame["simulation_date"].dt.tz) == "UTC"
    assert "result.through" not in frame.columns

    spectra = analysis.to_spectra_dataframe(records)
    assert list(spectra.columns) == list(analysis.SPECTRA_COLUMNS)
    assert len(spectra) == 2 * 2 * 3
    drop = spectra[(spectra.series == "t.drop") & (spectra.simulation_id == saved[1].simulation_id)]
    assert list(drop.wavelength) == [1.5, 1.55, 1.6] and list(drop.value) == [0.0, 0.5, 0.1]
    assert spectra.groupby("series").value.count().to_dict() == {"t.drop": 6, "through": 6}
    assert analysis.to_dataframe([]).empty and analysis.to_spectra_dataframe([]).empty
    assert isinstance(frame, pd.DataFrame)


def test_pandas_is_imported_only_when_a_table_is_made():
    import subprocess
    import sys

    code = ("import sys, corvina.analysis\nassert 'pandas' not in sys.modules\n"
            "corvina.analysis.to_dataframe([])\nassert 'pandas' in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)


