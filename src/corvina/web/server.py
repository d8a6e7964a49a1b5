"""The results browser's HTTP server: a Flask application served by waitress.

The server is read-only and trusts nothing in a request:

- every request needs the per-run token: once in the printed link (which
  sets it as an HttpOnly, SameSite=Strict cookie and sends the browser on to
  the same address without it), then the cookie; scripts may send it as
  ``Authorization: Bearer TOKEN``. Without it: 403.
- the Host header must name the address the server is bound to, so a page of
  another site whose name was made to point here (DNS rebinding) gets 403.
- only GET and HEAD are answered (405 for anything else); nothing writes,
  deletes or runs anything.
- a result is addressed only by its 16-hex ID; the page's files are read into
  memory at start and served from there, so no path from a request ever
  reaches the file system.
- every answer carries a Content-Security-Policy of ``default-src 'self'``:
  the page runs only its own scripts and talks only to this server.
"""

from __future__ import annotations

import hashlib
import hmac
import importlib.resources
import ipaddress
import json
import secrets
import socket
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any
from urllib.parse import urlencode

from corvina.web import data, params
from corvina.web.export import EXPORT_FORMATS
from corvina.web.snippet import python_snippet

if TYPE_CHECKING:
    import flask

__all__ = ["CSP", "Guard", "Page", "create_app", "load_static", "make_server"]

CSP = ("default-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'; "
       "object-src 'none'")
SECURITY_HEADERS = {
    "Content-Security-Policy": CSP,
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "X-Frame-Options": "DENY",
    "Cross-Origin-Opener-Policy": "same-origin",
    "Cross-Origin-Resource-Policy": "same-origin",
}
ALLOWED_METHODS = ("GET", "HEAD")
_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".svg": "image/svg+xml",
    ".png": "image/png",
    ".json": "application/json",
}
_EXPORT_TYPES = {
    "csv": "text/csv; charset=utf-8",
    "jsonl": "application/x-ndjson; charset=utf-8",
    "parquet": "application/vnd.apache.parquet",
}


@dataclass(frozen=True)
class Page:
    """A file of the page, held in memory."""

    body: bytes
    content_type: str
    etag: str


def load_static() -> dict[str, Page]:
    """Every file under the package's static/ directory, by its path there."""
    pages: dict[str, Page] = {}
    root = importlib.resources.files("corvina.web").joinpath("static")

    def walk(directory: Any, prefix: str) -> None:
        for entry in directory.iterdir():
            name = f"{prefix}{entry.name}"
            if entry.is_dir():
                walk(entry, f"{name}/")
                continue
            body = entry.read_bytes()
            suffix = "." + entry.name.rsplit(".", 1)[-1] if "." in entry.name else ""
            pages[name] = Page(body, _TYPES.get(suffix, "text/plain; charset=utf-8"),
                               '"' + hashlib.blake2b(body, digest_size=12).hexdigest() + '"')

    walk(root, "")
    return pages


def versioned(pages: dict[str, Page]) -> tuple[str, dict[str, Page]]:
    """The page's files under a name of their contents, and the index naming them so.

    ``/static/v-BUILD/...`` never changes for a build, so a browser keeps
    it without asking again (the page's files, looked at anew at every load,
    took as long as its table). The modules' own imports are relative, so
    the index's names are the only ones rewritten.
    """
    digest = hashlib.blake2b(digest_size=8)
    for name in sorted(pages):
        digest.update(name.encode() + b"\0" + pages[name].etag.encode() + b"\0")
    build = f"v-{digest.hexdigest()}"
    index = pages.get("index.html")
    if index is None:
        return build, pages
    body = index.body.replace(b'"/static/', f'"/static/{build}/'.encode())
    return build, {**pages, "index.html": Page(body, index.content_type,
                                               '"' + hashlib.blake2b(body, digest_size=12).hexdigest() + '"')}


def _is_ip(text: str) -> bool:
    try:
        ipaddress.ip_address(text)
    except ValueError:
        return False
    return True


@dataclass
class Guard:
    """The token and the addresses a request must name; the port is set once bound."""

    host: str
    token: str = field(default_factory=lambda: secrets.token_urlsafe(24))
    port: int = 0

    @property
    def cookie(self) -> str:
        # Cookies are not told apart by port: two servers on one machine
        # each keep their own.
        return f"corvina_token_{self.port}"

    def _names(self) -> set[str]:
        host = self.host.lower()
        names = {host.strip("[]")}
        if host in ("localhost", "") or (_is_ip(host.strip("[]")) and ipaddress.ip_address(host.strip("[]")).is_loopback):
            names |= {"localhost", "127.0.0.1", "::1"}
        return names

    def wildcard(self) -> bool:
        host = self.host.strip("[]")
        return host in ("", "0.0.0.0", "::")

    def host_allowed(self, header: str) -> bool:
        """Whether a Host header names this server (its address, and the port it listens on)."""
        header = header.strip().lower()
        if not header:
            return False
        if header.startswith("["):
            name, _, rest = header[1:].partition("]")
            port = rest[1:] if rest.startswith(":") else ""
        else:
            name, _, port = header.partition(":")
        if port != str(self.port) and not (port == "" and self.port == 80):
            return False
        if self.wildcard():
            # Bound to every address: any address of ours, or this machine's name.
            names = {"localhost", socket.gethostname().lower(), socket.getfqdn().lower()}
            return _is_ip(name) or name in names
        return name in self._names()

    def authorized(self, *offered: str | None) -> bool:
        return any(o is not None and hmac.compare_digest(o.encode(), self.token.encode())
                   for o in offered)

    def link(self, path: str = "/") -> str:
        host = self.host
        if self.wildcard():
            host = "127.0.0.1"
        if ":" in host and not host.startswith("["):
            host = f"[{host}]"
        return f"http://{host}:{self.port}{path}?{urlencode({'token': self.token})}"


def _json_bytes(payload: Any) -> bytes:
    import orjson

    try:
        return orjson.dumps(payload)
    except TypeError:  # an integer beyond 64 bits, which orjson refuses
        def text(value: Any) -> Any:
            if isinstance(value, orjson.Fragment):  # JSON made already (by orjson)
                return orjson.loads(value.contents)
            raise TypeError(f"{type(value).__name__} is not JSON")

        return json.dumps(payload, ensure_ascii=False, allow_nan=False, default=text).encode()


def create_app(browser: data.Browser, guard: Guard, pages: dict[str, Page] | None = None) -> flask.Flask:
    """The Flask application of one store."""
    import flask
    from werkzeug.exceptions import HTTPException

    pages = load_static() if pages is None else pages
    build, pages = versioned(pages)
    app = flask.Flask("corvina.web", static_folder=None)
    # An address names one thing: no redirect from `//` to `/`.
    app.url_map.merge_slashes = False

    def respond(payload: Any, status: int = 200) -> flask.Response:
        return flask.Response(_json_bytes(payload), status=status, mimetype="application/json")

    def error(status: int, message: str) -> flask.Response:
        if flask.request.path.startswith("/api/"):
            return respond({"error": message}, status)
        return flask.Response(message + "\n", status=status, mimetype="text/plain")

    @app.before_request
    def check() -> flask.Response | None:
        request = flask.request
        if not guard.host_allowed(request.headers.get("Host", "")):
            return error(403, "forbidden: the Host header does not name this server")
        bearer = request.headers.get("Authorization", "")
        bearer_token = bearer[7:].strip() if bearer[:7].lower() == "bearer " else None
        offered = request.args.get("token")
        if not guard.authorized(request.cookies.get(guard.cookie), bearer_token, offered):
            return error(403, "forbidden: open the link that `corvina-sims serve` printed "
                         "(it carries the token)")
        if request.method not in ALLOWED_METHODS:
            response = error(405, f"{request.method} is not allowed: this server only reads")
            response.headers["Allow"] = ", ".join(ALLOWED_METHODS)
            return response
        if offered is not None:
            flask.g.set_cookie = True
            if not request.path.startswith("/api/"):
                # The token leaves the address bar (and the history) at once.
                rest = [(k, v) for k, vs in request.args.lists() if k != "token" for v in vs]
                target = request.path + (f"?{urlencode(rest)}" if rest else "")
                return flask.redirect(target, code=303)
        return None

    @app.after_request
    def headers(response: flask.Response) -> flask.Response:
        for name, value in SECURITY_HEADERS.items():
            response.headers[name] = value
        response.headers.setdefault("Cache-Control", "no-store")
        if flask.g.get("set_cookie"):
            response.set_cookie(guard.cookie, guard.token, httponly=True, samesite="Strict",
                                path="/")
        return response

    @app.errorhandler(HTTPException)
    def http_error(exc: HTTPException) -> flask.Response:
        return error(exc.code or 500, exc.description or exc.name)

    def page(name: str, *, lasting: bool = False) -> flask.Response:
        found = pages.get(name)
        if found is None:
            return error(404, "not found")
        if flask.request.headers.get("If-None-Match") == found.etag:
            response = flask.Response(status=304)
        else:
            response = flask.Response(found.body, mimetype=None, content_type=found.content_type)
        response.headers["ETag"] = found.etag
        response.headers["Cache-Control"] = "private, max-age=31536000, immutable" if lasting else "no-cache"
        return response

    @app.get("/")
    def index() -> flask.Response:
        # The table the address names is asked for as soon as the page's
        # scripts have loaded: its answer is made meanwhile (and, the store
        # looked at again then, used if the store is unchanged).
        try:
            browser.prepare(query(), sort())
        except params.BadRequest:
            pass
        return page("index.html")

    @app.get("/result/<simulation_id>")
    def result_page(simulation_id: str) -> flask.Response:
        if not params.ID.fullmatch(simulation_id):
            return error(404, "not found: a result is named by its 16-hex ID")
        return page("index.html")

    @app.get("/static/<path:name>")
    def static(name: str) -> flask.Response:
        named, _, rest = name.partition("/")
        if named == build and rest != "index.html":
            return page(rest, lasting=True)
        return page(name)

    @app.get("/favicon.ico")
    def favicon() -> flask.Response:
        return page("icon.svg")

    def query() -> dict[str, Any] | None:
        return params.parse_where(flask.request.args.getlist("where"))

    def sort() -> str | None:
        return flask.request.args.get("sort") or None

    @app.get("/api/results")
    def results() -> flask.Response:
        args = flask.request.args
        limit = params.parse_count(args.get("limit"), "limit", params.DEFAULT_LIMIT, 1, params.MAX_LIMIT)
        offset = params.parse_count(args.get("offset"), "offset", 0, 0, 10**12)
        fields = params.parse_fields(args.get("fields"))
        # `running=1`: the running panel's answer too, from the same look at the
        # store (what a page asks on its first load).
        with_running = args.get("running") in ("1", "true", "yes")
        return respond(browser.results(query(), sort(), fields, limit, offset, with_running=with_running))

    @app.get("/api/results/<simulation_id>")
    def result(simulation_id: str) -> flask.Response:
        record = browser.record(simulation_id)
        response = flask.Response(record.model_dump_json(indent=2) + "\n",
                                  mimetype="application/json")
        if flask.request.args.get("download"):
            response.headers["Content-Disposition"] = f'attachment; filename="{simulation_id}.json"'
        return response

    @app.get("/api/results/<simulation_id>/python")
    def snippet(simulation_id: str) -> flask.Response:
        return flask.Response(python_snippet(browser.record(simulation_id)),
                              mimetype="text/plain")

    def chosen(cap: int) -> tuple[list[str], int, bool]:
        """The results a request names: ``select=ID,...``, else the query's first ``cap`` matches."""
        args = flask.request.args
        ids = params.parse_ids(args.get("select"))
        if ids:
            return ids, len(ids), False
        found, total = browser.ids(query(), sort(), cap)
        return found, total, total > cap

    @app.get("/api/spectra")
    def spectra() -> flask.Response:
        limit = params.parse_count(flask.request.args.get("limit"), "limit", params.MAX_OVERLAY, 1,
                                   params.MAX_OVERLAY)
        ids, total, capped = chosen(limit)
        return respond(browser.spectra(ids, total=total, capped=capped))

    @app.get("/api/compare")
    def compare() -> flask.Response:
        ids, _, _ = chosen(params.MAX_OVERLAY)
        return respond(browser.identities(browser.records(ids)))

    @app.get("/api/running")
    def running() -> flask.Response:
        return respond(browser.running())

    @app.get("/api/export")
    def export() -> flask.Response:
        args = flask.request.args
        fmt = args.get("format", "csv")
        if fmt not in EXPORT_FORMATS:
            raise params.BadRequest(f"format={fmt[:20]!r}: choose csv, jsonl or parquet")
        ids = params.parse_ids(args.get("select"))
        if ids:
            records = browser.records(ids)
        else:
            records = browser.matches(query(), sort())
        if not records:
            raise params.BadRequest("nothing to export: no result matches")
        spectra = args.get("spectra") in ("1", "true", "yes")
        body = browser.export(records, fmt, spectra)
        response = flask.Response(body, content_type=_EXPORT_TYPES[fmt])
        name = f"corvina-{'spectra' if spectra else 'results'}{EXPORT_FORMATS[fmt]}"
        response.headers["Content-Disposition"] = f'attachment; filename="{name}"'
        return response

    @app.errorhandler(params.BadRequest)
    def bad_request(exc: params.BadRequest) -> flask.Response:
        return error(400, str(exc))

    @app.errorhandler(params.Missing)
    def missing(exc: params.Missing) -> flask.Response:
        return error(404, f"no simulation result with ID {str(exc)[:40]} in this store")

    return app


def make_server(app: Callable[..., Iterable[bytes]], guard: Guard, *, port: int,
                threads: int = 8) -> Any:
    """A waitress server bound to the guard's host and ``port`` (0: a free one); sets the guard's port."""
    from waitress.server import create_server

    server = create_server(app, host=guard.host, port=port, threads=threads,
                           ident="corvina-sims", clear_untrusted_proxy_headers=True,
                           channel_timeout=60)
    bound = getattr(server, "effective_port", None)
    if bound is None:  # several sockets (a name with more than one address)
        bound = server.effective_listen[0][1]
    guard.port = int(bound)
    return server
