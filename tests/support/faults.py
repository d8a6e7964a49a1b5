"""Answers spoiled on request, in front of moto's S3 server: the failures a
real service shows now and then, made to happen when a test wants them.

The middleware sits in the server's process. ``PUT /__faults__`` with a JSON
body replaces the rules; ``GET /__faults__`` answers how often each rule was
applied and how many requests came. A body::

    {"rules": [{"match": "create", "action": "lose", "count": 1}, ...],
     "ignore": ["if-match"], "seed": 7}

Each request is classed as ``create`` (a PUT with If-None-Match),
``refresh`` (a PUT with If-Match), ``put`` (any other PUT), ``read`` (GET or
HEAD of a key), ``list``, ``delete`` (DELETE, or POST ?delete) or ``other``;
a rule's ``match`` names one class, ``conditional`` (create or refresh),
``write`` (any PUT), or ``any``. ``key`` narrows it to paths containing that
text; ``skip`` lets that many matching requests through first; ``count``
applies it that many times at most; ``rate`` to that fraction of the
matching requests. The first rule that applies to a request decides it.

Actions:

- ``lose``: moto carries the request out, then the connection is closed
  without an answer (the client retries it: a committed write, retried).
- ``conflict``: 409 ConditionalRequestConflict, nothing done.
- ``slowdown``: 503 SlowDown; ``internal``: 500 InternalError.
- ``delay``: moto carries the request out, the answer comes ``seconds`` late.
- ``deny-delete``: a DeleteObjects whose every key matches gets 200 with
  AccessDenied for each key, and nothing is removed; a DELETE gets 403.

``ignore`` drops the named conditional headers (``if-match``,
``if-none-match``) from every request: a service that ignores them.
"""

from __future__ import annotations

import json
import random
import re
import socket
import threading
import time
import urllib.request
from typing import Any

CONTROL = "/__faults__"

_ERRORS = {
    "conflict": ("409 Conflict", "ConditionalRequestConflict",
                 "A conflicting conditional operation is currently in progress against this "
                 "resource. Please try again."),
    "slowdown": ("503 Slow Down", "SlowDown", "Please reduce your request rate."),
    "internal": ("500 Internal Server Error", "InternalError",
                 "We encountered an internal error. Please try again."),
    "denied": ("403 Forbidden", "AccessDenied", "Access Denied"),
}


def _xml_error(code: str, message: str) -> bytes:
    return (f'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>{code}</Code>'
            f"<Message>{message}</Message></Error>").encode()


def kind_of(environ: dict[str, Any]) -> str:
    method = environ["REQUEST_METHOD"]
    query = environ.get("QUERY_STRING", "")
    if method == "PUT":
        if "HTTP_IF_NONE_MATCH" in environ:
            return "create"
        if "HTTP_IF_MATCH" in environ:
            return "refresh"
        return "put"
    if method == "POST" and "delete" in query:
        return "delete"
    if method == "DELETE":
        return "delete"
    if method == "GET" and "list-type" in query:
        return "list"
    if method in ("GET", "HEAD") and environ.get("PATH_INFO", "/").count("/") >= 2:
        return "read"
    return "other"


_CLASSES = {
    "conditional": {"create", "refresh"},
    "write": {"create", "refresh", "put"},
}


class Faults:
    """The WSGI middleware."""

    def __init__(self, app: Any) -> None:
        self.app = app
        self.lock = threading.Lock()
        self.rules: list[dict[str, Any]] = []
        self.ignore: set[str] = set()
        self.applied: list[int] = []
        self.requests = 0
        self.rng = random.Random(0)

    # --- control -----------------------------------------------------------------

    def _control(self, environ: dict[str, Any], start_response: Any) -> list[bytes]:
        from werkzeug.wsgi import get_input_stream

        if environ["REQUEST_METHOD"] == "PUT":
            spec = json.loads(get_input_stream(environ).read() or b"{}")
            with self.lock:
                self.rules = [dict(r, seen=0, done=0) for r in spec.get("rules", [])]
                self.ignore = set(spec.get("ignore", []))
                self.applied = [0] * len(self.rules)
                self.requests = 0
                self.rng = random.Random(spec.get("seed", 0))
        with self.lock:
            body = json.dumps({"applied": self.applied, "requests": self.requests}).encode()
        start_response("200 OK", [("Content-Type", "application/json"),
                                  ("Content-Length", str(len(body)))])
        return [body]

    # --- requests ------------------------------------------------------------------

    def _matches(self, rule: dict[str, Any], kind: str, environ: dict[str, Any]) -> bool:
        wanted = rule.get("match", "any")
        if wanted != "any" and kind != wanted and kind not in _CLASSES.get(wanted, ()):
            return False
        if rule["action"] == "deny-delete" and environ["REQUEST_METHOD"] == "POST":
            return True  # the keys are in the body
        return rule.get("key", "") in environ.get("PATH_INFO", "")

    def _choose(self, environ: dict[str, Any]) -> dict[str, Any] | None:
        kind = kind_of(environ)
        with self.lock:
            self.requests += 1
            for i, rule in enumerate(self.rules):
                if not self._matches(rule, kind, environ):
                    continue
                rule["seen"] += 1
                if rule["seen"] <= rule.get("skip", 0):
                    continue
                if "count" in rule and rule["done"] >= rule["count"]:
                    continue
                if "rate" in rule and self.rng.random() >= rule["rate"]:
                    continue
                rule["done"] += 1
                self.applied[i] += 1
                return rule
        return None

    def __call__(self, environ: dict[str, Any], start_response: Any) -> Any:
        if environ.get("PATH_INFO", "").startswith(CONTROL):
            return self._control(environ, start_response)
        with self.lock:
            ignore = set(self.ignore)
        if "if-match" in ignore:
            environ.pop("HTTP_IF_MATCH", None)
        if "if-none-match" in ignore:
            environ.pop("HTTP_IF_NONE_MATCH", None)
        rule = self._choose(environ)
        if rule is None:
            return self.app(environ, start_response)
        action = rule["action"]
        if action in ("conflict", "slowdown", "internal"):
            return self._refuse(environ, start_response, action)
        if action == "lose":
            return self._lose(environ, start_response)
        if action == "delay":
            return self._delay(environ, start_response, float(rule.get("seconds", 1.0)))
        if action == "deny-delete":
            return self._deny_delete(environ, start_response, rule)
        raise ValueError(f"unknown fault action {action!r}")

    def _refuse(self, environ: dict[str, Any], start_response: Any, action: str) -> list[bytes]:
        from werkzeug.wsgi import get_input_stream

        get_input_stream(environ).read()  # the connection stays usable
        status, code, message = _ERRORS[action]
        body = _xml_error(code, message)
        start_response(status, [("Content-Type", "application/xml"),
                                ("Content-Length", str(len(body)))])
        return [] if environ["REQUEST_METHOD"] == "HEAD" else [body]

    def _run(self, environ: dict[str, Any]) -> tuple[str, list[tuple[str, str]], bytes]:
        captured: dict[str, Any] = {}

        def capture(status: str, headers: list[tuple[str, str]], exc_info: Any = None) -> Any:
            captured["status"], captured["headers"] = status, headers
            return lambda data: None

        out = self.app(environ, capture)
        try:
            body = b"".join(out)
        finally:
            close = getattr(out, "close", None)
            if close is not None:
                close()
        return captured["status"], captured["headers"], body

    def _lose(self, environ: dict[str, Any], start_response: Any) -> list[bytes]:
        self._run(environ)  # done at the service...
        sock = environ.get("werkzeug.socket")
        if sock is not None:  # ...and its answer breaks off after the headers
            # (a connection closed before any answer would be sent again by
            # the client's HTTP library itself, without its body)
            try:
                sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 64\r\n\r\n")
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        start_response("500 Lost", [("Content-Length", "0")])
        return []

    def _delay(self, environ: dict[str, Any], start_response: Any, seconds: float) -> list[bytes]:
        status, headers, body = self._run(environ)
        time.sleep(seconds)
        start_response(status, headers)
        return [] if environ["REQUEST_METHOD"] == "HEAD" else [body]

    def _deny_delete(self, environ: dict[str, Any], start_response: Any,
                     rule: dict[str, Any]) -> Any:
        from werkzeug.wsgi import get_input_stream

        if environ["REQUEST_METHOD"] == "DELETE":
            return self._refuse(environ, start_response, "denied")
        raw = get_input_stream(environ).read()
        keys = re.findall(rb"<Key>(.*?)</Key>", raw)
        if not keys or not all(rule.get("key", "").encode() in k for k in keys):
            # Not every key is to be refused: carried out as sent.
            environ["wsgi.input"] = _Replay(raw)
            environ["CONTENT_LENGTH"] = str(len(raw))
            environ.pop("HTTP_TRANSFER_ENCODING", None)
            environ["wsgi.input_terminated"] = False
            return self.app(environ, start_response)
        errors = b"".join(b"<Error><Key>" + k + b"</Key><Code>AccessDenied</Code>"
                          b"<Message>Access Denied</Message></Error>" for k in keys)
        body = (b'<?xml version="1.0" encoding="UTF-8"?>\n<DeleteResult '
                b'xmlns="http://s3.amazonaws.com/doc/2006-03-01/">' + errors + b"</DeleteResult>")
        start_response("200 OK", [("Content-Type", "application/xml"),
                                  ("Content-Length", str(len(body)))])
        return [body]


class _Replay:
    """A request body already read, to be read again."""

    def __init__(self, data: bytes) -> None:
        self.data, self.at = data, 0

    def read(self, n: int = -1) -> bytes:
        end = len(self.data) if n is None or n < 0 else min(len(self.data), self.at + n)
        out, self.at = self.data[self.at:end], end
        return out

    def readline(self, n: int = -1) -> bytes:
        nl = self.data.find(b"\n", self.at)
        end = len(self.data) if nl < 0 else nl + 1
        if n is not None and n >= 0:
            end = min(end, self.at + n)
        out, self.at = self.data[self.at:end], end
        return out


# --- the test's side ---------------------------------------------------------------


def set_faults(endpoint: str, *rules: dict[str, Any], ignore: tuple[str, ...] = (),
               seed: int = 0) -> None:
    """Replaces the rules of the fault server at ``endpoint`` (no rule: no fault)."""
    body = json.dumps({"rules": list(rules), "ignore": list(ignore), "seed": seed}).encode()
    request = urllib.request.Request(f"{endpoint}{CONTROL}", data=body, method="PUT")
    with urllib.request.urlopen(request, timeout=30) as answer:
        answer.read()


def applied(endpoint: str) -> list[int]:
    """How often each rule was applied since the rules were set."""
    with urllib.request.urlopen(f"{endpoint}{CONTROL}", timeout=30) as answer:
        return json.loads(answer.read())["applied"]
