"""The results browser in a real browser: headless Chromium, driven by Selenium,
doing what a user does (typing queries, sorting, paging, opening, selecting
and overlaying results, downloading) while other processes save results and
hold claims in the same store.

Marked ``browser``; they run in ``./dev test`` (whose environment has
Chromium and its driver). Outside it they are skipped when Chromium is
missing, except under CI, where a missing browser is a failure.
Set CORVINA_UPDATE_SCREENSHOT=1 to write the README's picture to docs/.
"""

from __future__ import annotations

import csv
import json
import os
import pathlib
import shutil
import tempfile
import time
from urllib.parse import parse_qs, urlencode, urlsplit

import pytest

from corvina.core import simulation_storage as storage

from support.records import ids_of, use_store
from support.s3 import bucket_store
from support.web import Other, Served, identity, save, sweep, wait_for

pytestmark = [pytest.mark.browser, pytest.mark.timeout(300)]

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
SCREENSHOT = pathlib.Path(__file__).resolve().parent.parent / "docs" / "results-browser.png"
WAIT = 15.0


def _unavailable() -> str | None:
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed (Debian: python3-selenium)"
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            return f"{path} is missing (Debian: chromium, chromium-driver)"
    return None


class Page:
    """One headless Chromium and the servers it has the token of."""

    def __init__(self, downloads: pathlib.Path) -> None:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--no-first-run", "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--window-size=1400,1000"):
            options.add_argument(flag)
        self.profile = tempfile.mkdtemp(prefix="corvina-chromium-")
        options.add_argument(f"--user-data-dir={self.profile}")
        options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
        options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                                  "download.prompt_for_download": False})
        # The browser is not ours to sanitize: a sanitizer runtime preloaded
        # for the module's own test run aborts chromedriver at its start.
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")}
        self.driver = webdriver.Chrome(options=options, service=Service(CHROMEDRIVER, env=env))
        self.driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                                    {"behavior": "allow", "downloadPath": str(downloads)})
        self.downloads = downloads
        self.authorized: set[int] = set()

    def open(self, served: Served, path: str = "/") -> None:
        if served.port not in self.authorized:
            self.driver.get(served.link)
            self.authorized.add(served.port)
        self.driver.get(served.base + path)
        self.wait_js("return document.querySelector('tr[data-simulation-id]') !== null"
                     " || document.getElementById('table-view').hidden", "the first table")

    def js(self, script: str, *args):
        return self.driver.execute_script(script, *args)

    def wait_js(self, script: str, what: str, *args, timeout: float = WAIT):
        return wait_for(lambda: self.js(script, *args), timeout, what)

    def rows(self) -> list[str]:
        return self.js("return [...document.querySelectorAll('tr[data-simulation-id]')]"
                       ".map(tr => tr.dataset.simulationId)")

    def css(self, selector: str):
        from selenium.webdriver.common.by import By

        return self.driver.find_element(By.CSS_SELECTOR, selector)

    def query(self, text: str) -> None:
        from selenium.webdriver.common.keys import Keys

        box = self.css("input[name=where]")
        box.clear()
        box.send_keys(text, Keys.ENTER)

    def params(self) -> dict[str, list[str]]:
        return parse_qs(urlsplit(self.driver.current_url).query)

    def close(self) -> None:
        self.driver.quit()
        shutil.rmtree(self.profile, ignore_errors=True)


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    why = _unavailable()
    if why:
        if os.environ.get("CI"):
            pytest.fail(f"the browser tests cannot run: {why}")
        pytest.skip(why)
    browser = Page(tmp_path_factory.mktemp("downloads"))
    yield browser
    browser.close()


@pytest.fixture(scope="module")
def swept(tmp_path_factory):
    """61 results (two pages): gap x radius, the last one failed; a server over them."""
    root = tmp_path_factory.mktemp("webui") / "store"
    with pytest.MonkeyPatch.context() as patch:
        use_store(patch, root)
        records = sweep(gaps=30, radii=(10.0, 20.0))
        served = Served(str(root))
        try:
            yield served, records
        finally:
            served.stop()


@pytest.fixture
def own_store(tmp_path, monkeypatch):
    """A store of its own, for a test whose other processes add to it."""
    root = tmp_path / "store"
    use_store(monkeypatch, root)
    sweep(gaps=4, radii=(10.0,))
    served = Served(str(root))
    yield served, root
    served.stop()


def test_a_typed_query_filters_the_table_and_the_address_keeps_it(page, swept):
    served, _ = swept
    page.open(served)
    text = "component_settings.radius=20; component_settings.gap>=1.2"
    page.query(text)
    expected = ids_of(storage.query_simulation_results(
        where={"component_settings.radius": 20, "component_settings.gap": {"$gte": 1.2}}))
    assert 0 < len(expected) < 30
    page.wait_js("return document.querySelectorAll('tr[data-simulation-id]').length === arguments[0]",
                 "the filtered table", len(expected))
    assert page.rows() == expected
    assert page.params()["where"] == [text]
    page.driver.refresh()
    page.wait_js("return document.querySelectorAll('tr[data-simulation-id]').length === arguments[0]",
                 "the same table after a reload", len(expected))
    assert page.css("input[name=where]").get_attribute("value") == text


@pytest.mark.parametrize("text", ["bogus=1", "component_name~(unclosed", '{"status": {"$near": "x"}}'])
def test_a_malformed_query_shows_the_stores_error_and_keeps_the_table(page, swept, text):
    served, _ = swept
    page.open(served)
    before = page.rows()
    page.query(text)
    error = page.wait_js("return document.getElementById('where-error').textContent", "the error")
    from corvina.web.data import parse_where

    with pytest.raises(ValueError) as refused:
        parse_where([text])
    assert error == str(refused.value) and error.startswith(("invalid query", "'"))
    assert page.rows() == before and before
    assert page.css("input[name=where]").get_attribute("aria-invalid") == "true"
    # A link with the bad query opens on every result, the error beside the box.
    page.driver.get(served.base + "/?" + urlencode({"where": text}))
    page.wait_js("return document.querySelectorAll('tr[data-simulation-id]').length === 50", "every result")
    assert page.css("#where-error").text == error


def test_sorting_paging_and_the_keyboard(page, swept):
    served, records = swept
    page.open(served)
    page.css('th button.sort[data-path="component_settings.gap"]').click()
    ascending = ids_of(storage.query_simulation_results(sort="component_settings.gap"))
    page.wait_js("return document.querySelector('tr[data-simulation-id]').dataset.simulationId === arguments[0]",
                 "the ascending order", ascending[0])
    assert page.rows() == ascending[:50]
    assert page.css('th:has(button[data-path="component_settings.gap"])').get_attribute("aria-sort") == "ascending"
    page.css('th button.sort[data-path="component_settings.gap"]').click()
    descending = ids_of(storage.query_simulation_results(sort="-component_settings.gap"))
    page.wait_js("return document.querySelector('tr[data-simulation-id]').dataset.simulationId === arguments[0]",
                 "the descending order", descending[0])
    assert page.params()["sort"] == ["-component_settings.gap"]
    page.css("#next").click()
    page.wait_js("return document.querySelectorAll('tr[data-simulation-id]').length === arguments[0]",
                 "the second page", len(records) - 50)
    assert page.rows() == descending[50:] and page.params()["page"] == ["2"]
    assert "51–61 of 61" in page.css("#page-info").text

    from selenium.webdriver.common.keys import Keys

    page.js("document.querySelector('tbody tr[data-simulation-id]').focus()")
    active = page.driver.switch_to.active_element
    active.send_keys(Keys.ARROW_DOWN)
    active = page.driver.switch_to.active_element
    assert active.get_attribute("data-simulation-id") == descending[51]
    active.send_keys(Keys.SPACE)
    assert page.params()["select"] == [descending[51]]
    active.send_keys(Keys.ENTER)
    page.wait_js("return location.pathname === '/result/' + arguments[0]", "the result opened", descending[51])
    page.driver.back()
    page.wait_js("return !document.getElementById('table-view').hidden", "the table again")
    assert page.rows() == descending[50:] and page.params()["sort"] == ["-component_settings.gap"]


def test_a_results_page_shows_its_tables_spectra_json_and_snippet(page, swept):
    served, records = swept
    page.open(served)
    record = records[5]
    page.open(served, f"/?where=simulation_id={record.simulation_id}")
    page.css(f'a[data-result-link="{record.simulation_id}"]').click()
    page.wait_js("return document.querySelector('#result-view .chart') !== null", "the spectra")
    assert page.css("#result-view .chart").get_attribute("data-series") == "2"
    text = page.css("#result-view").text
    assert "component_settings.gap" in text and "rings.ring" in text
    snippet = page.css("#python-snippet").text
    assert f"load_simulation_result('{record.simulation_id}')" in snippet
    assert page.css("#download-json").get_attribute("href").endswith(f"/api/results/{record.simulation_id}?download=1")
    page.css("#result-db").click()
    page.wait_js("return document.querySelector('#result-view .chart[data-series=\"2\"]') !== null", "the dB chart")
    # A failed run: its message, and no chart.
    failed = records[-1]
    page.driver.get(f"{served.base}/result/{failed.simulation_id}")
    page.wait_js("return document.querySelector('#result-view .error-box') !== null", "the error message")
    assert page.css("#result-view .error-box").text == failed.error_message
    assert page.js("return document.querySelectorAll('#result-view [data-series]').length") == 0
    page.driver.get(f"{served.base}/result/0123456789abcdef")
    page.wait_js("return document.getElementById('result-error') !== null", "not found")
    assert "no simulation result with ID 0123456789abcdef" in page.css("#result-error").text


_LINES = """
const done = arguments[arguments.length - 1];
const modules = document.querySelector('script[type=module]').src;
import(new URL('charts.js', modules)).then(({ lineBuilder }) => {
  // A plot of 200 x 100 pixels over x in [0, n - 1] and y in [0, 1].
  const line = (ys) => lineBuilder()({
    data: [ys.map((_, i) => i), ys], bbox: { left: 0, top: 0, width: 200, height: 100 },
    scales: { x: { min: 0, max: ys.length - 1 }, y: { min: 0, max: 1 } }, series: [{}, { scale: 'y' }],
  }, 1, 0, ys.length - 1).stroke;
  const ctx = document.createElement('canvas').getContext('2d');
  ctx.lineWidth = 1;
  const on = (path, x, y) => ctx.isPointInStroke(path, x, y);
  // 5000 points on 200 columns: one point's spike, and the last point, still drawn.
  const dense = Array.from({ length: 5000 }, (_, i) => (i === 2501 ? 1 : i === 4999 ? 0.5 : 0));
  const thin = line(dense);
  // Missing values (leading, and inside) are spanned, not drawn as zero.
  const gappy = line([null, 0, null, null, 1, 1]);
  done({
    spike: on(thin, 100, 0.5), floor: on(thin, 50, 99.5), last: on(thin, 200, 50),
    spanned: on(gappy, 100, 50), noZero: !on(gappy, 0, 99.5) && !on(gappy, 100, 99.5),
  });
}, (error) => done({ error: String(error) }));
"""


def test_curves_thinned_to_the_plot_keep_each_columns_extremes_and_span_missing_values(page, swept):
    served, _ = swept
    page.open(served)
    assert page.driver.execute_async_script(_LINES) == {
        "spike": True, "floor": True, "last": True, "spanned": True, "noZero": True}


def test_three_selected_are_overlaid_and_their_address_reopens_the_overlay(page, swept):
    served, records = swept
    page.open(served, "/?sort=component_settings.gap&where=component_settings.radius=10")
    chosen = page.rows()[:3]
    for simulation_id in chosen:
        page.css(f'tr[data-simulation-id="{simulation_id}"] input[type=checkbox]').click()
    page.css("#overlay-selected").click()
    page.wait_js("return document.querySelectorAll('#overlay [data-series]').length === 2", "the overlay")
    assert page.js("return [...document.querySelectorAll('#overlay [data-series]')].map(e => e.dataset.series)") == ["3", "3"]
    assert page.js("return document.querySelectorAll('#overlay-legend li').length") == 3
    # Coloured by the swept gap, on a colour bar.
    assert page.css("#color-by").get_attribute("value") == "component_settings.gap"
    assert not page.js("return document.getElementById('colorbar').hidden")
    # The legend names a curve's row.
    from selenium.webdriver.common.action_chains import ActionChains

    ActionChains(page.driver).move_to_element(page.css(f'#overlay-legend li[data-simulation-id="{chosen[1]}"]')).perform()
    page.wait_js("return document.querySelector('tr.highlight')?.dataset.simulationId === arguments[0]",
                 "the row highlighted", chosen[1])
    address = page.driver.current_url
    assert page.params()["select"] == [",".join(chosen)]
    # Differences only: the gap, not the radius.
    page.css("#compare-selected").click()
    page.wait_js("return document.querySelector('#compare-table tr[data-path]') !== null", "the differences")
    assert page.js("return [...document.querySelectorAll('#compare-table tr[data-path]')].map(r => r.dataset.path)") == [
        "component_settings.gap"]
    page.css("#differences-only").click()
    assert "component_settings.radius" in page.js(
        "return [...document.querySelectorAll('#compare-table tr[data-path]')].map(r => r.dataset.path)")
    # The address opens with the overlay drawn.
    page.driver.get("about:blank")
    page.driver.get(address)
    page.wait_js("return document.querySelectorAll('#overlay [data-series=\"3\"]').length === 2", "the overlay reopened")
    assert not page.js("return document.getElementById('overlay').hidden")


@pytest.mark.parametrize("drawable", [True, False])
def test_a_page_opened_with_a_selection_paints_its_overlay_then_its_table(page, swept, drawable):
    served, records = swept
    # Results no longer stored draw nothing: the table must not wait for them.
    chosen = [r.simulation_id for r in records[:2]] if drawable else ["0123456789abcdef"]
    page.open(served, "/?select=" + ",".join(chosen))
    page.wait_js("return document.querySelector('tr[data-simulation-id]') !== null", "the table")
    page.wait_js("return performance.getEntriesByName('corvina:overlay', 'measure').length > 0", "the overlay")
    ends = page.js("return ['corvina:overlay', 'corvina:table'].map("
                   "n => performance.getEntriesByName(n, 'measure')[0]).map(e => e.startTime + e.duration)")
    if drawable:
        assert ends[0] <= ends[1]
        assert page.js("return [...document.querySelectorAll('#overlay [data-series]')].map(e => e.dataset.series)") == ["2", "2"]
    assert len(page.rows()) == min(len(records), 50)  # a page of the table


def test_a_result_saved_elsewhere_appears_and_the_sort_and_selection_stay(page, own_store):
    served, root = own_store
    page.open(served, "/?sort=-component_settings.gap")
    kept = page.rows()[1]
    page.css(f'tr[data-simulation-id="{kept}"] input[type=checkbox]').click()
    page.wait_js("return new URLSearchParams(location.search).get('select') === arguments[0]", "the selection", kept)
    new_id = Other(dict(os.environ), "save", str(root), "9.5").finish()
    start = time.monotonic()
    page.wait_js("return document.querySelector('tr[data-simulation-id]').dataset.simulationId === arguments[0]",
                 "the new result at the top", new_id, timeout=10)
    assert time.monotonic() - start < 10
    assert page.css('th:has(button[data-path="component_settings.gap"])').get_attribute("aria-sort") == "descending"
    assert page.params()["sort"] == ["-component_settings.gap"] and page.params()["select"] == [kept]
    assert "selected" in page.css(f'tr[data-simulation-id="{kept}"]').get_attribute("class")
    assert "fresh" in page.css(f'tr[data-simulation-id="{new_id}"]').get_attribute("class")


def test_a_claim_comes_and_goes_in_the_running_panel(page, own_store, tmp_path):
    served, root = own_store
    page.open(served)
    release = tmp_path / "release"
    holder = Other(dict(os.environ), "hold", str(root), "0.77", str(release))
    expected = storage._compute_simulation_id(**identity(0.77))
    try:
        page.wait_js("return document.querySelector('[data-claim-id=\"' + arguments[0] + '\"]') !== null",
                     "the claim in the panel", expected, timeout=10)
        entry = page.css(f'[data-claim-id="{expected}"]').text
        assert f":{holder.proc.pid}" in entry and "live" in entry
        release.touch()
        assert holder.finish() == expected
        page.wait_js("return document.querySelector('[data-claim-id]') === null", "the claim gone", timeout=10)
        page.wait_js("return document.querySelector('tr[data-simulation-id=\"' + arguments[0] + '\"]') !== null",
                     "its result in the table", expected, timeout=10)
    finally:
        holder.kill()


def test_a_csv_of_every_match_is_downloaded(page, swept):
    served, _ = swept
    page.open(served, "/?where=component_settings.radius%3D20")
    for old in page.downloads.glob("*"):
        old.unlink()
    page.css("#export-csv").click()
    target = page.downloads / "corvina-results.csv"
    wait_for(lambda: target.exists() and target.stat().st_size > 0, WAIT, "the download")
    rows = list(csv.DictReader(target.open()))
    expected = storage.query_simulation_results(where={"component_settings.radius": 20})
    assert sorted(r["simulation_id"] for r in rows) == sorted(ids_of(expected)) and len(rows) == 30


def test_no_request_leaves_the_server_and_nothing_breaks_the_policy(page, swept, tmp_path):
    served, records = swept
    page.driver.get_log("performance")
    page.driver.get_log("browser")
    page.open(served, f"/?select={records[0].simulation_id},{records[1].simulation_id}")
    page.wait_js("return document.querySelector('#overlay [data-series]') !== null", "the overlay")
    page.driver.get(f"{served.base}/result/{records[2].simulation_id}")
    page.wait_js("return document.querySelector('#result-view .chart') !== null", "a result")
    requested = set()
    for entry in page.driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            requested.add(message["params"]["request"]["url"])
    assert requested and all(url.startswith(served.base + "/") or url.startswith(("data:", "blob:"))
                             for url in requested), sorted(requested)
    problems = [e for e in page.driver.get_log("browser") if e["level"] == "SEVERE"]
    assert problems == []


def test_dark_mode_recolours_the_page_and_the_screenshot(page, swept, tmp_path):
    served, _ = swept
    chosen = ids_of(storage.query_simulation_results(where={"component_settings.radius": 10},
                                                  sort="component_settings.gap"))[:12:2]
    page.open(served, "/?sort=component_settings.gap&where=component_settings.radius%3D10&select=" + ",".join(chosen))
    page.wait_js("return document.querySelectorAll('#overlay [data-series=\"6\"]').length === 2", "the overlay")
    light = page.js("return getComputedStyle(document.body).backgroundColor")
    picture = tmp_path / "shot.png"
    page.driver.save_screenshot(str(picture))
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    if os.environ.get("CORVINA_UPDATE_SCREENSHOT"):
        SCREENSHOT.parent.mkdir(exist_ok=True)
        page.driver.set_window_size(1400, 1250)
        page.js("window.scrollTo(0, 0)")
        time.sleep(0.5)
        page.driver.save_screenshot(str(SCREENSHOT))
        page.driver.set_window_size(1400, 1000)
    page.driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    try:
        page.wait_js("return getComputedStyle(document.body).backgroundColor !== arguments[0]", "dark", light)
        # The charts were drawn again, with the dark theme's axis colour.
        assert page.js("return document.querySelectorAll('#overlay [data-series=\"6\"]').length") == 2
    finally:
        page.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})


def test_an_s3_store_shows_its_table_and_a_result(page, s3_service, tmp_path, monkeypatch):
    location, _ = bucket_store(s3_service.endpoint, tmp_path, monkeypatch, "webui")
    use_store(monkeypatch, location)
    records = [save(0.1), save(0.2), save(0.3)]
    served = Served(location, dict(os.environ))
    try:
        page.open(served, "/?sort=component_settings.gap")
        assert page.rows() == ids_of(records)
        page.css(f'a[data-result-link="{records[1].simulation_id}"]').click()
        page.wait_js("return document.querySelector('#result-view .chart[data-series=\"2\"]') !== null", "the result")
        assert "requests on object storage" in page.css("#running-cost").text
    finally:
        served.stop()
