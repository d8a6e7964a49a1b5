"""The results browser's server over plain HTTP: its safety rules, its JSON API,
and the command that starts and stops it.

The server runs as a user starts it, ``corvina-sims serve --port 0`` in a
process of its own; requests are sent byte for byte as written, so paths with
``..`` and foreign Host headers reach it unchanged.
"""

from __future__ import annotations

import concurrent.futures
import csv
import io
import json
import os
import pathlib
import re
import signal
import socket
import subprocess
import sys
import time
from urllib.parse import quote, urlencode

import pytest

from corvina.cli import where as where_language
from corvina.core import simulation_storage as storage

from support import HOST_ROOT
from support.records import use_store
from support.s3 import bucket_store
from support.web import Other, Served, identity, save, sweep, wait_for

pytest.importorskip("flask")
pytest.importorskip("waitress")

pytestmark = pytest.mark.timeout(180)

STATIC = pathlib.Path(HOST_ROOT) / "corvina" / "web" / "static"


@pytest.fixture
def local_store(tmp_path, monkeypatch):
    """An empty store directory that this process and the server both use."""
    root = tmp_path / "store"
    use_store(monkeypatch, root)
    return root


@pytest.fixture(scope="module")
def swept(tmp_path_factory):
    """A store holding a sweep, and the server over it, for the tests that only read."""
    root = tmp_path_factory.mktemp("web") / "store"
    with pytest.MonkeyPatch.context() as patch:
        use_store(patch, root)
        records = sweep()
        served = Served(str(root))
        try:
            yield served, records, root
        finally:
            served.stop()


def q(**params) -> str:
    return urlencode(params)


# --- safety ------------------------------------------------------------------------------------


@pytest.mark.parametrize("path", ["/", "/api/results", "/api/running", "/static/app.js",
                                  "/result/0123456789abcdef", "/api/export?format=csv"])
def test_without_the_token_everything_is_forbidden(swept, path):
    served, _, _ = swept
    for attempt in ({"auth": False},
                    {"auth": False, "headers": {"Cookie": f"corvina_token_{served.port}=wrong"}},
                    {"auth": False, "headers": {"Authorization": "Bearer wrong"}}):
        reply = served.get(path, **attempt)
        assert reply.status == 403, (path, attempt)
        assert "default-src 'self'" in reply.headers["content-security-policy"]
        assert b"corvina" not in reply.body.lower().replace(b"corvina-sims", b"")


def test_the_token_link_sets_a_strict_cookie_and_leaves_the_address(swept):
    served, _, _ = swept
    reply = served.get(f"/?token={served.token}&where=status%3Derror&sort=-component_settings.gap",
                       auth=False)
    assert reply.status == 303
    assert reply.headers["location"] in ("/?where=status%3Derror&sort=-component_settings.gap",
                                          f"{served.base}/?where=status%3Derror&sort=-component_settings.gap")
    (cookie,) = reply.cookies
    assert cookie.startswith(f"corvina_token_{served.port}={served.token};")
    assert {"httponly", "samesite=strict", "path=/"} <= {p.strip().lower() for p in cookie.split(";")}
    # The cookie, or a script's bearer token, is then enough.
    assert served.get("/", auth=False, headers={"Cookie": cookie.split(";")[0]}).status == 200
    assert served.get("/api/running", auth=False,
                      headers={"Authorization": f"Bearer {served.token}"}).status == 200
    # A wrong token in the link is no way in.
    assert served.get("/?token=x" + served.token, auth=False).status == 403


@pytest.mark.parametrize("host", ["evil.example", "evil.example:{port}", "127.0.0.1:1",
                                  "127.0.0.1.evil.example:{port}", "", "localhost.:{port}"])
def test_a_host_header_that_names_another_server_is_forbidden(swept, host):
    served, _, _ = swept
    reply = served.get("/api/results", host=host.format(port=served.port))
    assert reply.status == 403
    assert "Host" in reply.json()["error"]


@pytest.mark.parametrize("host", ["127.0.0.1:{port}", "localhost:{port}", "LOCALHOST:{port}"])
def test_the_loopback_names_of_the_bound_address_are_accepted(swept, host):
    served, _, _ = swept
    assert served.get("/api/running", host=host.format(port=served.port)).status == 200


@pytest.mark.parametrize("path", [
    "/api/results/..%2F..%2F..%2Fetc%2Fpasswd",
    "/api/results/../../../etc/passwd",
    "/api/results/0123456789ABCDEF",
    "/api/results/0123456789abcde",
    "/api/results/0123456789abcdef0",
    "/api/results/%2Fetc%2Fpasswd",
    "/api/results/..",
    "/api/results/0123456789abcdef/../../server.py",
    "/result/..%2F..%2Fserver.py",
    "/result/0123456789abcdeg",
    "/static/../server.py",
    "/static/..%2Fserver.py",
    "/static/%2e%2e/data.py",
    "/static/vendored/../../server.py",
    "/static//etc/passwd",
    "/static/" + quote(str(STATIC / "app.js"), safe=""),
    "/api/results/0123456789abcdef/python/../../x",
])
def test_anything_but_a_16_hex_id_or_a_page_file_is_not_found(swept, path):
    served, _, _ = swept
    reply = served.get(path)
    assert reply.status == 404, (path, reply.body[:200])
    assert b"root:" not in reply.body and b"import" not in reply.body


@pytest.mark.parametrize("method", ["POST", "PUT", "DELETE", "PATCH", "OPTIONS", "TRACE", "PROPFIND"])
def test_only_get_and_head_are_answered(swept, method):
    served, records, root = swept
    before = sorted(p.name for p in root.rglob("*"))
    for path in ("/", "/api/results", f"/api/results/{records[0].simulation_id}", "/api/running"):
        reply = served.request(method, path, headers={"Content-Length": "0"})
        assert reply.status == 405, (method, path)
        assert reply.headers["allow"] == "GET, HEAD"
    assert sorted(p.name for p in root.rglob("*")) == before


def test_head_answers_like_get_without_a_body(swept):
    served, records, _ = swept
    path = f"/api/results/{records[0].simulation_id}"
    head, get = served.request("HEAD", path), served.get(path)
    assert head.status == get.status == 200 and head.body == b""
    assert head.headers["content-type"] == get.headers["content-type"]


def test_every_answer_carries_the_security_headers(swept):
    served, records, _ = swept
    for path in ("/", "/static/app.js", "/static/vendored/uPlot.iife.min.js", "/api/results",
                 f"/api/results/{records[0].simulation_id}", "/api/running", "/nowhere",
                 "/api/results?where=bogus%3D1"):
        headers = served.get(path).headers
        assert headers["content-security-policy"].startswith("default-src 'self'"), path
        assert headers["x-content-type-options"] == "nosniff"
        assert headers["referrer-policy"] == "no-referrer"


# Whatever could make a browser fetch: an attribute, a CSS url(), an import or
# a fetch of an absolute or protocol-relative address.
_FOREIGN = re.compile(
    r"""(?:src|href|action)\s*=\s*["']?\s*(?:[a-z][a-z0-9+.-]*:)?//"""
    r"""|url\(\s*["']?\s*(?:[a-z][a-z0-9+.-]*:)?//"""
    r"""|(?:import|from)\s*\(?\s*["'](?:[a-z][a-z0-9+.-]*:)?//"""
    r"""|fetch\(\s*["'`](?:[a-z][a-z0-9+.-]*:)?//"""
    r"""|@import""", re.I)


def test_no_page_or_script_refers_to_another_host(swept):
    served, _, _ = swept
    files = sorted(p for p in STATIC.rglob("*") if p.is_file())
    assert {"index.html", "app.js", "vendored/uPlot.iife.min.js", "vendored/uPlot.LICENSE"} <= {
        p.relative_to(STATIC).as_posix() for p in files}
    for path in files:
        if path.suffix not in (".html", ".js", ".css", ".svg"):
            continue
        text = served.get(f"/static/{path.relative_to(STATIC).as_posix()}").body.decode()
        assert _FOREIGN.search(text) is None, (path.name, _FOREIGN.search(text))
    page = served.get("/").body.decode()
    assert _FOREIGN.search(page) is None
    refs = re.findall(r'(?:src|href)="([^"]+)"', page)
    assert refs and all(ref.startswith("/") and not ref.startswith("//") for ref in refs)


def test_the_pages_files_are_named_by_their_build_and_kept_only_under_that_name(swept):
    served, _, _ = swept
    index = served.get("/")
    assert index.headers["cache-control"] == "no-cache"
    refs = re.findall(r'(?:src|href)="(/static/[^"]+)"', index.body.decode())
    builds = {ref.split("/")[2] for ref in refs}
    assert len(refs) >= 10 and len(builds) == 1 and re.fullmatch(r"v-[0-9a-f]{16}", builds.pop())
    for ref in refs:
        lasting = served.get(ref)
        assert lasting.status == 200, ref
        assert "immutable" in lasting.headers["cache-control"]
        plain = served.get("/static/" + ref.split("/", 3)[3])
        assert plain.body == lasting.body and plain.headers["cache-control"] == "no-cache"
    # Another build's name (a tab left open across an upgrade) is not this one's.
    assert served.get("/static/v-0000000000000000/app.js").status == 404
    assert served.get("/static/" + refs[0].split("/")[2] + "/../server.py").status == 404


# --- the results API ---------------------------------------------------------------------------


def test_the_default_columns_are_the_identity_paths_that_vary(swept):
    served, records, _ = swept
    answer = served.api("/api/results")
    assert answer["total"] == len(records)
    assert answer["varying"] == ["component_settings.gap", "component_settings.radius"]
    assert answer["fields"] == ["component_settings.gap", "component_settings.radius", "status",
                                "simulation_date"]
    # Newest first, as the listing gives them; each row its ID, status and date.
    assert [r["simulation_id"] for r in answer["results"]] == [
        r.simulation_id for r in storage.list_simulation_results()]
    failed = answer["results"][0]
    assert failed["status"] == "error" and failed["error_message"] == "solver diverged at gap 0.975"


@pytest.mark.parametrize("where", [
    ["component_settings.gap>=0.2; component_settings.radius=20"],
    ["component_settings.gap>=0.2\ncomponent_settings.radius=20"],
    ["component_settings.gap>=0.2", "component_settings.radius=20"],
    ['{"$and": [{"component_settings.gap": {"$gte": 0.2}}, {"component_settings.radius": 20}]}'],
    ['component_settings.gap>=0.2\n{"component_settings.radius": {"$near": [20]}}'],
])
def test_where_takes_the_command_lines_forms(swept, where):
    served, _, _ = swept
    answer = served.api("/api/results?" + urlencode([("where", w) for w in where]))
    expected = storage.query_simulation_results(where={"$and": [
        {"component_settings.gap": {"$gte": 0.2}}, {"component_settings.radius": 20}]})
    assert sorted(r["simulation_id"] for r in answer["results"]) == sorted(
        r.simulation_id for r in expected)
    assert answer["total"] == 4


@pytest.mark.parametrize("text", [
    "bogus=1",
    "component_settings.gap>=0.1; nope.x=2",
    '{"status": {"$regexx": "x"}}',
    "component_name~(unclosed",
    '{"simulation_date": {"$gte": "not a date"}}',
    '{"component_settings.gap": {"$near": [0.1, -1]}}',
])
def test_a_malformed_query_answers_in_the_stores_words(swept, text):
    served, _, _ = swept
    reply = served.get("/api/results?" + q(where=text))
    assert reply.status == 400
    parts = []
    for line in text.splitlines():
        if line.startswith("{"):
            parts.append(where_language.parse_json_query(line))
        else:
            parts += [where_language.parse_expression(p) for p in line.split(";") if p.strip()]
    with pytest.raises(ValueError) as refused:
        storage.check_query(where_language.combine(parts))
    assert reply.json() == {"error": str(refused.value)}


@pytest.mark.parametrize(("params", "message"), [
    ({"where": "gap"}, "is not PATH OP VALUE"),
    ({"where": "{not json"}, "is not a JSON object"),
    ({"where": "[1, 2]"}, "is not PATH OP VALUE"),
    ({"where": "component_name~" + "a" * 257}, "longer than the 256"),
    ({"where": '{"$or": [{"component_name": {"$regex": "' + "b" * 300 + '"}}]}'}, "longer than the 256"),
    ({"where": "x" * 20_001}, "longer than 20,000"),
    ({"where": "[" * 5000 + "]" * 5000}, ""),
    ({"where": '{"a":' * 3000 + "1" + "}" * 3000}, ""),
    ({"sort": "bogus"}, "bogus"),
    ({"limit": "0"}, "limit must lie between"),
    ({"limit": "ten"}, "not a whole number"),
    ({"offset": "-1"}, "offset must lie between"),
    ({"fields": "component_settings.gap,,status"}, "comma-separated"),
    ({"fields": "nope.x"}, "fields: "),
])
def test_bad_parameters_are_refused_with_a_reason(swept, params, message):
    served, _, _ = swept
    reply = served.get("/api/results?" + q(**params))
    assert reply.status == 400, reply.body[:300]
    assert message in reply.json()["error"]


def test_sort_and_pages_are_the_stores(swept):
    served, records, _ = swept
    by_gap = storage.query_simulation_results(sort="-component_settings.gap")
    seen = []
    for offset in range(0, len(records), 5):
        answer = served.api("/api/results?" + q(sort="-component_settings.gap", limit=5, offset=offset,
                                                 fields="component_settings.gap,result.fsr_nm"))
        assert answer["total"] == len(records) and answer["offset"] == offset
        seen += answer["results"]
    assert [r["simulation_id"] for r in seen] == [r.simulation_id for r in by_gap]
    # A field a record lacks is left out of its row, as `list --columns --json` does.
    failed = next(r for r in seen if r["status"] == "error")
    assert "result.fsr_nm" not in failed and failed["component_settings.gap"] == 0.975
    assert next(r for r in seen if r["status"] == "success")["result.fsr_nm"] in (50.0, 100.0)


def test_a_result_is_its_record_as_json(swept):
    served, records, _ = swept
    record = records[3]
    reply = served.get(f"/api/results/{record.simulation_id}")
    assert reply.status == 200 and reply.headers["content-type"] == "application/json"
    assert reply.json() == json.loads(storage.load_simulation_result(record.simulation_id).model_dump_json())
    download = served.get(f"/api/results/{record.simulation_id}?download=1")
    assert download.headers["content-disposition"] == f'attachment; filename="{record.simulation_id}.json"'
    assert served.get("/api/results/0123456789abcdef").status == 404


def test_the_python_snippet_loads_the_same_result(swept):
    served, records, root = swept
    record = records[2]
    snippet = served.get(f"/api/results/{record.simulation_id}/python").body.decode()
    assert f'load_simulation_result("{record.simulation_id}")' in snippet.replace("'", '"')
    assert "@cached_simulation(" in snippet
    # Run as written, against the same store: the decorated call is served
    # from the store (its body would return None), and both name one result.
    code = snippet + "\nprint(record.simulation_id)\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, CORVINA_SIMULATIONS_DIR=str(root), PYTHONPATH=HOST_ROOT))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == [record.simulation_id]


def test_spectra_are_every_series_with_one_value_per_wavelength(swept):
    served, records, _ = swept
    chosen = [records[0], records[7], records[-1]]
    answer = served.api("/api/spectra?" + q(select=",".join(r.simulation_id for r in chosen)))
    assert [r["simulation_id"] for r in answer["results"]] == [r.simulation_id for r in chosen]
    first = answer["results"][0]
    assert [s["name"] for s in first["series"]] == ["through", "drop"]
    assert first["series"][0]["values"] == chosen[0].result["through"]
    assert answer["results"][2]["series"] == []  # the failed run
    assert set(answer["varying"]) == {"component_settings.gap", "component_settings.radius"}
    # The sweep's one wavelength axis is sent once.
    assert answer["wavelengths"] == chosen[0].wavelengths
    assert not any("wavelengths" in r for r in answer["results"])
    # Without a selection: the query's matches, capped.
    capped = served.api("/api/spectra?" + q(where="status=success", limit=3))
    assert capped["capped"] and capped["total"] == len(records) - 1 and len(capped["results"]) == 3


@pytest.mark.parametrize("select", ["0123456789abcdef,../../etc", "ZZZZ", ",".join(["0123456789abcdef"] * 2) + ",x"])
def test_a_selection_holds_ids_only(swept, select):
    served, _, _ = swept
    assert served.get("/api/spectra?" + q(select=select)).status == 400


def test_compare_names_the_paths_that_differ(swept):
    served, records, _ = swept
    ids = [records[0].simulation_id, records[1].simulation_id]
    answer = served.api("/api/compare?" + q(select=",".join(ids)))
    assert answer["ids"] == ids
    assert "component_settings.gap" in answer["differ"]
    assert "component_settings.radius" not in answer["differ"] and "component_settings.radius" in answer["paths"]


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_export_is_the_export_commands_file(swept, tmp_path, fmt):
    served, _, root = swept
    reply = served.get("/api/export?" + q(format=fmt, where="component_settings.radius=10",
                                          sort="component_settings.gap"))
    assert reply.status == 200
    assert reply.headers["content-disposition"] == f'attachment; filename="corvina-results.{fmt}"'
    target = tmp_path / f"cli.{fmt}"
    proc = subprocess.run(
        [sys.executable, "-m", "corvina.cli", "--store", str(root), "export", "--where",
         "component_settings.radius=10", "--sort", "component_settings.gap", "-o", str(target)],
        capture_output=True, text=True, timeout=120, env=dict(os.environ, PYTHONPATH=HOST_ROOT))
    assert proc.returncode == 0, proc.stderr
    if fmt == "parquet":
        import pandas as pd

        pd.testing.assert_frame_equal(pd.read_parquet(io.BytesIO(reply.body)), pd.read_parquet(target))
    else:
        assert reply.body == target.read_bytes()
    if fmt == "csv":
        assert len(list(csv.reader(io.StringIO(reply.body.decode())))) == 1 + 7


def test_export_refuses_an_unknown_format_and_an_empty_match(swept):
    served, _, _ = swept
    assert served.get("/api/export?format=xlsx").status == 400
    assert served.get("/api/export?" + q(where="component_name=nothing")).status == 400


# --- a store that changes under the server ---------------------------------------------------------


def test_new_and_replaced_results_and_damaged_files_reach_the_answers(local_store):
    sweep(gaps=2, radii=(10.0,))
    served = Served(str(local_store))
    try:
        first = served.api("/api/results?fields=result.fsr_nm")
        version = served.api("/api/running")["store_version"]
        assert first["store_version"] == version
        # Another process saves a new result: the next answer has it.
        new_id = Other(dict(os.environ), "save", str(local_store), "0.42").finish()
        after = served.api("/api/results?fields=result.fsr_nm")
        assert after["total"] == first["total"] + 1 and new_id in {r["simulation_id"] for r in after["results"]}
        assert after["store_version"] != version
        # The same identity saved again with another outcome: same name, new content.
        replaced = save(0.42, 10.0, seconds=9.5)
        assert replaced.simulation_id == new_id
        again = served.api("/api/results?" + q(fields="execution_time_seconds", where=f"simulation_id={new_id}"))
        assert again["results"][0]["execution_time_seconds"] == 9.5
        # A damaged file is skipped by listings and refused by name, not a crash.
        damaged = next(local_store.rglob(f"*_{new_id}.json"))
        damaged.write_text("{not json")
        listing = served.api("/api/results")
        assert listing["total"] == first["total"]
        reply = served.get(f"/api/results/{new_id}")
        assert reply.status == 400 and new_id in reply.json()["error"]
        assert served.get("/api/running").status == 200
    finally:
        served.stop()


def test_rows_show_what_the_record_shows_whatever_the_file_holds(local_store):
    # Rows are answered from the store's fields, as written; the page must
    # still show what the record shows: defaults filled in, floats as floats.
    (record, _) = sweep(gaps=1, radii=(10.0,))
    path = next(local_store.rglob(f"*_{record.simulation_id}.json"))
    stored = json.loads(path.read_text())
    del stored["hyperparameters"]["port_modes"], stored["pdk_version"], stored["error_message"]
    stored["hyperparameters"]["wavelength_start"] = 1
    stored["execution_time_seconds"] = 3
    stored["wavelengths"] = [1, 2]
    stored["result"] = {"through": [0.5, 1], "fsr_nm": 7, "ports": {"count": 4}}
    path.write_text(json.dumps(stored))
    paths = ["execution_time_seconds", "hyperparameters", "hyperparameters.wavelength_start",
             "hyperparameters.port_modes", "pdk_version", "error_message", "wavelengths", "result",
             "result.fsr_nm", "result.through.1", "component_settings.layer.0", "component_settings",
             "simulation_id", "status"]
    served = Served(str(local_store))
    try:
        shown = served.api(f"/api/results/{record.simulation_id}")
        for where in (f"simulation_id={record.simulation_id}", "component_name=ring"):
            answer = served.api("/api/results?" + q(where=where, fields=",".join(paths)))
            (row,) = [r for r in answer["results"] if r["simulation_id"] == record.simulation_id]
            for field in paths:
                expected = where_language.value_at(shown, field)
                assert json.dumps(row[field]) == json.dumps(expected), field
        assert {"result.fsr_nm", "result.ports.count", "hyperparameters.port_modes"} <= set(answer["paths"])
    finally:
        served.stop()


def test_a_result_saved_again_shows_its_new_outputs_and_columns(local_store):
    (record, _) = sweep(gaps=1, radii=(10.0,))
    served = Served(str(local_store))
    try:
        first = served.api("/api/results?fields=result.fsr_nm")
        assert "result.fsr_nm" in first["paths"] and "result.q_factor" not in first["paths"]
        # The same identity (the same ID) saved again with other outputs.
        again = storage.save_simulation_result(**identity(0.1), result={"q_factor": 1.5e4}, wavelengths=[],
                                               execution_time_seconds=4.0)
        assert again.simulation_id == record.simulation_id
        after = served.api("/api/results?fields=result.fsr_nm,result.q_factor,execution_time_seconds")
        assert "result.q_factor" in after["paths"] and "result.fsr_nm" not in after["paths"]
        row = next(r for r in after["results"] if r["simulation_id"] == record.simulation_id)
        assert row["result.q_factor"] == 1.5e4 and "result.fsr_nm" not in row
        assert row["execution_time_seconds"] == 4.0
    finally:
        served.stop()


def _ask_while_results_come_and_go(served: Served, requests: int) -> None:
    """Pages asked by 8 clients while this process saves and deletes results: a
    result can go between a query's answer and its page's fields."""
    import threading

    stop = threading.Event()

    def churn() -> None:
        gap = 0.5
        for _ in range(400):
            if stop.is_set():
                break
            saved = save(gap)
            if round(gap * 100) % 2:
                storage.delete_simulation_result(saved.simulation_id)
            gap = round(gap + 0.01, 2)

    def ask(i: int) -> None:
        reply = served.get("/api/results?" + q(fields="result.fsr_nm,execution_time_seconds",
                                                sort=["", "component_settings.gap"][i % 2], limit=3,
                                                offset=i % 4))
        assert reply.status == 200, reply.body[:300]
        rows = reply.json()["results"]
        assert all({"simulation_id", "status", "simulation_date", "execution_time_seconds"} <= set(r)
                   for r in rows)

    worker = threading.Thread(target=churn)
    worker.start()
    try:
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            list(pool.map(ask, range(requests)))
    finally:
        stop.set()
        worker.join()


def test_pages_asked_while_results_come_and_go_are_whole(local_store):
    sweep(gaps=4, radii=(10.0,))
    served = Served(str(local_store))
    try:
        _ask_while_results_come_and_go(served, 120)
        assert served.get("/api/results").status == 200
    finally:
        served.stop()


def test_once_the_store_is_still_the_answer_is_the_stores(local_store):
    sweep(gaps=4, radii=(10.0,))
    served = Served(str(local_store))
    try:
        _ask_while_results_come_and_go(served, 60)
        answer = served.api("/api/results?" + q(limit=10_000, fields="execution_time_seconds"))
        assert [r["simulation_id"] for r in answer["results"]] == [
            r.simulation_id for r in storage.list_simulation_results()]
        assert answer["total"] == len(answer["results"])
    finally:
        served.stop()


def test_a_claim_is_in_running_while_held_and_gone_after(local_store, tmp_path):
    served = Served(str(local_store))
    release = tmp_path / "release"
    holder = Other(dict(os.environ), "hold", str(local_store), "0.33", str(release))
    try:
        claims = wait_for(lambda: served.api("/api/running")["claims"], 30, "the claim in /api/running")
        (claim,) = claims
        expected = storage._compute_simulation_id(**identity(0.33))
        assert claim["simulation_id"] == expected and claim["state"] == "live"
        assert claim["pid"] == holder.proc.pid and claim["host"] == socket.gethostname()
        assert "path" not in claim
        cost = served.api("/api/running")["cost"]
        assert cost == {"listings": 2, "claim_reads": 1, "requests": 3}
        release.touch()
        assert holder.finish() == expected
        wait_for(lambda: not served.api("/api/running")["claims"], 10, "the claim gone")
        assert served.api("/api/results")["results"][0]["simulation_id"] == expected
    finally:
        holder.kill()
        served.stop()


def test_twenty_clients_at_once_are_all_answered(swept):
    served, records, _ = swept
    paths = ["/api/results?" + q(sort="component_settings.gap", offset=3), "/api/running",
             f"/api/results/{records[1].simulation_id}", "/api/spectra?" + q(select=records[2].simulation_id),
             "/static/app.js"]
    with concurrent.futures.ThreadPoolExecutor(20) as pool:
        replies = list(pool.map(lambda i: served.get(paths[i % len(paths)]).status, range(200)))
    assert replies == [200] * 200


# --- the command -------------------------------------------------------------------------------------


def test_port_zero_prints_the_real_link_and_ctrl_c_stops_cleanly(local_store):
    served = Served(str(local_store))
    assert served.port != 0
    assert served.get("/api/running").status == 200
    code, err = served.stop(signal.SIGINT)
    assert code == 0 and "stopped" in err and "Traceback" not in err, err
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", served.port), timeout=2).close()


def test_sigterm_stops_it_too_and_a_busy_port_is_a_usage_error(local_store):
    served = Served(str(local_store))
    try:
        proc = subprocess.run(
            [sys.executable, "-m", "corvina.cli", "--store", str(local_store), "serve", "--no-browser",
             "--port", str(served.port)],
            capture_output=True, text=True, timeout=60, env=dict(os.environ, PYTHONPATH=HOST_ROOT))
        assert proc.returncode == 2 and proc.stdout == ""
        assert f"cannot listen on 127.0.0.1:{served.port}" in proc.stderr
    finally:
        code, err = served.stop(signal.SIGTERM)
    assert code == 0 and "Traceback" not in err


def test_another_address_than_loopback_is_warned_about(local_store):
    served = Served(str(local_store), None, "--host", "0.0.0.0")
    try:
        assert served.link.startswith("http://127.0.0.1:")
        assert served.get("/api/running").status == 200
        assert served.get("/api/running", host=f"rebound.example:{served.port}").status == 403
    finally:
        _, err = served.stop()
    assert "warning: listening on 0.0.0.0" in err


@pytest.mark.parametrize("port", ["-1", "65536", "http"])
def test_a_bad_port_is_refused_before_anything_listens(port):
    proc = subprocess.run([sys.executable, "-m", "corvina.cli", "serve", "--no-browser", "--port", port],
                          capture_output=True, text=True, timeout=60, env=dict(os.environ, PYTHONPATH=HOST_ROOT))
    assert proc.returncode == 2 and "port" in proc.stderr


# --- a store on S3 ------------------------------------------------------------------------------------


def test_an_s3_store_is_served(s3_service, tmp_path, monkeypatch):
    location, _ = bucket_store(s3_service.endpoint, tmp_path, monkeypatch, "web")
    use_store(monkeypatch, location)
    records = sweep(gaps=2, radii=(10.0,))
    served = Served(location, dict(os.environ))
    try:
        answer = served.api("/api/results?sort=component_settings.gap")
        assert answer["total"] == len(records) and answer["varying"] == ["component_settings.gap"]
        record = served.api(f"/api/results/{records[0].simulation_id}")
        assert record["simulation_id"] == records[0].simulation_id
        running = served.api("/api/running")
        assert running["remote"] and running["claims"] == []
        assert running["cost"]["requests"] == running["cost"]["listings"] >= 2
    finally:
        served.stop()


def test_the_stores_version_sees_every_save_even_within_one_tick_of_the_clock(local_store):
    import time

    from corvina.web import running

    records = sweep(gaps=3, radii=(10.0,))
    directory = local_store / "transmission"
    path = next(directory.glob(f"*_{records[0].simulation_id}.json"))

    def replace_keeping_the_directory_time() -> None:
        # A rename within the same tick of the file system's clock as the
        # last change leaves the directory's time as it was.
        info = directory.stat()
        temporary = directory / ".replacement.tmp"
        temporary.write_bytes(path.read_bytes().replace(b'"execution_time_seconds": 1.0',
                                                        b'"execution_time_seconds": 2.0'))
        os.replace(temporary, path)
        os.utime(directory, ns=(info.st_atime_ns, info.st_mtime_ns))

    # A directory changed just now is judged entry by entry.
    before = running.look(local_store).version
    replace_keeping_the_directory_time()
    assert running.look(local_store).version != before
    # A settled one by its own time and names: stable while nothing changes,
    # changed by any save (which renames into it, setting its time to now).
    old = time.time() - 10
    os.utime(directory, (old, old))
    settled = running.look(local_store).version
    assert running.look(local_store).version == settled
    save(0.1, 10.0, seconds=3.0)  # the same identity again: a replacement
    assert running.look(local_store).version != settled
    os.utime(directory, (old, old))
    settled = running.look(local_store).version
    storage.delete_simulation_result(records[1].simulation_id)
    assert running.look(local_store).version != settled
    # A claim taken or given up is no change of the results.
    settled = running.look(local_store).version
    claim = directory / f".ring_{'0' * 16}.0.claim"
    claim.write_text("{}\n")
    assert running.look(local_store).version == settled
    claim.unlink()
    assert running.look(local_store).version == settled


def test_a_settled_directory_is_not_read_again_yet_claims_coming_and_going_are_seen(
        local_store, tmp_path, monkeypatch):
    from corvina.web import running

    sweep(gaps=3, radii=(10.0,))
    directory = local_store / "transmission"
    old = time.time() - 10
    for settled in (local_store, directory):
        os.utime(settled, (old, old))
    before = running.look(local_store)
    reads = []
    real_scandir = os.scandir
    monkeypatch.setattr(os, "scandir", lambda path: reads.append(str(path)) or real_scandir(path))
    assert running.look(local_store).version == before.version
    assert reads == []  # nothing changed: neither the root nor the type directory is read
    release = tmp_path / "release"
    holder = Other(dict(os.environ), "hold", str(local_store), "0.33", str(release))
    try:
        expected = storage._compute_simulation_id(**identity(0.33))
        seen = wait_for(lambda: running.look(local_store).claims, 30, "the claim in a look")
        assert [j.claim.simulation_id for j in seen] == [expected]
        assert str(directory) in reads
        release.touch()
        assert holder.finish() == expected
        # The claim leaves with the save, and the save changes the version.
        after = wait_for(lambda: (lambda seen: None if seen.claims else seen)(running.look(local_store)),
                         10, "the claim gone")
        assert after.version != before.version
    finally:
        holder.kill()


def test_a_new_query_reads_only_a_sample_of_whole_results_for_the_column_picker(local_store, monkeypatch):
    from corvina.web import data

    records = sweep(gaps=12, radii=(10.0, 20.0))
    browser = data.Browser(local_store, label="test")
    asked_whole = []
    real_query = storage.query_simulation_results

    def query(**kwargs):
        found = real_query(**kwargs)
        if "result" in (kwargs.get("fields") or ["result"]):
            asked_whole.extend(row["simulation_id"] for row in found)
        return found

    monkeypatch.setattr(storage, "query_simulation_results", query)
    answer = browser.results({"status": "success"}, None, None, 50, 0)
    assert answer["total"] == len(records) - 1 > data.RESULT_PATH_SAMPLE
    assert 0 < len(asked_whole) <= data.RESULT_PATH_SAMPLE
    assert "result.fsr_nm" in answer["paths"]
    # Asked again with another sort: those already read are not read again.
    asked_whole.clear()
    browser.results({"status": "success"}, "-component_settings.gap", None, 50, 0)
    assert len(asked_whole) <= data.RESULT_PATH_SAMPLE


# --- one look at the store shared by the requests asking at once -----------------------------------


def _held_looks(monkeypatch, fail_first: bool = False):
    """`running.look` counted, its first call held until released (and failing, if asked)."""
    import threading

    from corvina.web import running

    real = running.look
    inside = threading.Event()
    release = threading.Event()
    calls = []

    def look(root):
        calls.append(root)
        seen = real(root)
        if len(calls) == 1:
            inside.set()
            assert release.wait(30)
            if fail_first:
                raise OSError("the store went away")
        return seen

    monkeypatch.setattr(running, "look", look)
    return calls, inside, release


@pytest.mark.parametrize("fail_first", [False, True])
def test_askers_during_a_look_share_the_next_which_sees_what_was_saved_before_they_asked(
        local_store, monkeypatch, fail_first):
    import threading

    from corvina.web import running

    sweep(gaps=2, radii=(10.0,))
    calls, inside, release = _held_looks(monkeypatch, fail_first)
    shared = running.SharedLook(local_store)
    answers: dict[str, object] = {}

    def ask(name: str) -> None:
        try:
            answers[name] = shared.look().version
        except OSError as exc:
            answers[name] = exc

    first = threading.Thread(target=ask, args=("first",))
    first.start()
    assert inside.wait(30)
    # The first look has read the store; this save comes after it, and
    # before the next askers ask.
    saved = save(0.7)
    later = [threading.Thread(target=ask, args=(f"later{i}",)) for i in range(6)]
    for thread in later:
        thread.start()
    time.sleep(0.2)  # all six wait behind the first look
    release.set()
    for thread in (first, *later):
        thread.join(30)
    assert len(calls) == 2, "six askers at once share one look"
    if fail_first:
        # The failure is the first asker's own; the others' look is new.
        assert isinstance(answers["first"], OSError)
    else:
        assert answers["first"] != answers["later0"]
    assert {answers[f"later{i}"] for i in range(6)} == {answers["later0"]}
    # What they share is the store as it is now, the save included.
    assert answers["later0"] == shared.look().version
    assert any(saved.simulation_id in p.name for p in (local_store / "transmission").iterdir())


def test_the_first_table_brings_the_running_panel_from_the_same_look(local_store, tmp_path):
    sweep(gaps=2, radii=(10.0,))
    served = Served(str(local_store))
    release = tmp_path / "release"
    holder = Other(dict(os.environ), "hold", str(local_store), "0.44", str(release))
    try:
        wait_for(lambda: served.api("/api/running")["claims"], 30, "the claim in /api/running")
        saved = save(0.9)
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            table, panel = pool.map(served.api, ["/api/results?running=1", "/api/running"])
        # Both asked after the save: both have it, and the table's look is the panel's.
        assert saved.simulation_id in [r["simulation_id"] for r in table["results"]]
        assert table["running"]["store_version"] == table["store_version"] == panel["store_version"]
        assert [c["simulation_id"] for c in table["running"]["claims"]] == [
            storage._compute_simulation_id(**identity(0.44))]
        assert table["running"]["cost"] == panel["cost"]
        assert "running" not in served.api("/api/results")
        release.touch()
        holder.finish()
    finally:
        holder.kill()
        served.stop()


@pytest.mark.parametrize("change", ["saved again", "rewritten in place", "deleted", "another axis"])
def test_an_overlay_drawn_again_shows_each_result_as_stored_now(local_store, change):
    records = sweep(gaps=3, radii=(10.0,))
    ids = [r.simulation_id for r in records if r.status.value == "success"][:2]
    served = Served(str(local_store))
    try:
        ask = "/api/spectra?" + q(select=",".join(ids))
        before = served.api(ask)
        assert [len(r["series"]) for r in before["results"]] == [2, 2]
        path = next((local_store / "transmission").glob(f"*_{ids[0]}.json"))
        if change == "saved again":
            gap = records[[r.simulation_id for r in records].index(ids[0])].component_settings["gap"]
            storage.save_simulation_result(**identity(gap), result={"through": [0.25] * 41},
                                           wavelengths=before["wavelengths"], execution_time_seconds=2.0)
        elif change == "rewritten in place":
            stored = json.loads(path.read_text())
            stored["result"]["through"] = [0.25] * 41
            with open(path, "r+") as handle:  # the same file (inode), new contents
                handle.write(json.dumps(stored))
                handle.truncate()
        elif change == "another axis":
            stored = json.loads(path.read_text())
            stored["wavelengths"] = [w + 1 for w in stored["wavelengths"]]
            path.write_text(json.dumps(stored))
        else:
            storage.delete_simulation_result(ids[0])
        after = served.api(ask)
        if change == "deleted":
            assert [r["simulation_id"] for r in after["results"]] == ids[1:]
            return
        first, second = after["results"]
        assert second["series"] == before["results"][1]["series"]
        if change == "another axis":
            assert after["wavelengths"] is None
            assert first["wavelengths"] == [w + 1 for w in before["wavelengths"]]
            assert second["wavelengths"] == before["wavelengths"]
        else:
            assert after["wavelengths"] == before["wavelengths"]
            assert first["series"][0] == {"name": "through", "values": [0.25] * 41}
    finally:
        served.stop()


def test_a_table_answered_when_the_page_was_asked_for_is_not_served_once_the_store_changed(local_store):
    sweep(gaps=3, radii=(10.0,))
    served = Served(str(local_store))
    try:
        where = "component_settings.gap>=0.1"
        assert served.get("/?" + q(where=where)).status == 200
        saved = save(0.95)
        answer = served.api("/api/results?" + q(where=where))
        assert saved.simulation_id in [r["simulation_id"] for r in answer["results"]]
        # A malformed query in the address is the page's to report, not the page's load to fail.
        assert served.get("/?" + q(where="gap>>1")).status == 200
    finally:
        served.stop()


def _settings(*parts: dict) -> list[dict]:
    return [{"simulation_id": f"{i:016x}", "component_name": "ring", "factory_name": "rings.ring",
             "simulation_type": "transmission", "component_settings": settings, "model_parameters": {"n": 2},
             "hyperparameters": {"points": 401}} for i, settings in enumerate(parts)]


@pytest.mark.parametrize(("settings", "expected"), [
    # The newest (first) is the odd one out of a sweep that shares another shape.
    ([{"gap": 9.0}, {"gap": 0.1, "radius": 5, "width": 0.5}, {"gap": 0.2, "radius": 6, "width": 0.5}],
     ["gap", "radius", "width"]),
    ([{"gap": 9.0, "width": 0.5}, {"gap": 9.0, "width": 0.5, "radius": 5}, {"gap": 9.0, "width": 0.5, "radius": 5}],
     ["radius"]),
    # A shape seen flat first, then nesting under the same names.
    ([{"gap": 0.1}, {"gap": 0.1, "bend": 1}, {"gap": 0.1, "bend": {"kind": "euler"}}], ["bend", "bend.kind"]),
    ([{"gap": 0.1, "bend": 1}, {"gap": 0.2, "bend": {"kind": "euler"}}], ["gap", "bend", "bend.kind"]),
    # Empty settings are a value of their own; true is not 1.
    ([{}, {"gap": 0.1}, {"gap": 0.1}], ["", "gap"]),
    ([{"gap": 0.1}, {}], ["gap", ""]),
    ([{"on": 1, "gap": 0.1}, {"on": True, "gap": 0.2}, {"on": 1.0, "gap": 0.1}], ["on", "gap"]),
])
def test_varying_paths_whatever_shape_the_first_result_has(settings, expected):
    from corvina.web import views

    paths = [f"component_settings.{p}" if p else "component_settings" for p in expected]
    assert views.varying_paths(_settings(*settings)) == paths


@pytest.mark.parametrize(("file_system", "age_s", "whole_ms", "read_again"), [
    ("ext4", 0.3, False, False),  # settled: a local clock's tick is a few milliseconds
    ("ext4", 0.0, False, True),   # changed within the tick the listing could share
    ("nfs", 0.3, False, True),    # another machine's clock: a second
    ("ext4", 0.3, True, True),    # times in whole seconds: a coarse clock
])
def test_a_directorys_listing_stands_once_its_time_is_a_tick_of_its_clock_old(
        local_store, monkeypatch, file_system, age_s, whole_ms, read_again):
    from corvina.web import running

    save(0.1)
    directory = local_store / "transmission"
    monkeypatch.setattr(running, "_mount_type", lambda path: file_system)
    monkeypatch.setattr(running, "_local", {})
    monkeypatch.setattr(running, "_memo", {})
    stamp = time.time_ns() - int(age_s * 1e9)
    stamp = stamp - stamp % 1_000_000_000 if whole_ms else stamp - stamp % 1_000_000 + 1
    if whole_ms and time.time_ns() - stamp < 0.3e9:
        stamp -= 1_000_000_000
    os.utime(directory, ns=(stamp, stamp))
    running.look(local_store)
    reads = []
    real_scandir = os.scandir
    monkeypatch.setattr(os, "scandir", lambda path: reads.append(str(path)) or real_scandir(path))
    running.look(local_store)
    assert (str(directory) in reads) == read_again


@pytest.mark.parametrize("change", ["another shape added", "saved again", "deleted"])
def test_the_paths_that_vary_after_a_change_are_those_of_every_match(local_store, monkeypatch, change):
    # After results are only added, the answer is worked out from the earlier
    # one and the added results; it must be what going through all gives.
    from corvina.web import data, running, views

    records = sweep(gaps=3, radii=(10.0, 20.0))
    browser = data.Browser(local_store, label="test")
    first = browser.answer(None, None)
    if change == "another shape added":
        storage.save_simulation_result(
            component_name="ring", factory_name="rings.ring", component_settings={"gap": 0.2, "bend": {"r": 5}},
            model_parameters={}, hyperparameters=identity(0.2)["hyperparameters"], simulation_type="transmission",
            result={"through": [0.5] * 3}, wavelengths=[1.5, 1.55, 1.6], execution_time_seconds=1.0)
    elif change == "saved again":
        save(0.1, 10.0, seconds=3.0)
    else:
        storage.delete_simulation_result(records[0].simulation_id)
    running._memo.clear()
    full = []
    real = views.varying_paths
    monkeypatch.setattr(views, "varying_paths", lambda identities: full.append(1) or real(identities))
    after = browser.answer(None, None)
    assert after.version != first.version
    assert sorted(after.varying) == sorted(real(after.identities))
    assert bool(full) == (change == "deleted")  # only a deletion needs every match again
    if change == "another shape added":
        assert {"component_settings.bend.r", "model_parameters.n_eff"} <= set(after.varying)
