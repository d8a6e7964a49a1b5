"""moto's S3 server behind a proxy that delays and counts every request.

    python -m benchmarks.remote_server [--delay-ms MS]

prints the proxy's port, then serves until killed. The proxy holds every
request for the set delay before passing it on, so that round trips dominate
as they do against a real service, and counts the requests where they arrive;
GET /__bench__/reset, /__bench__/stats and /__bench__/delay?ms=MS control it.
"""

from __future__ import annotations

import argparse
import http.client
import http.server
import json
import logging
import subprocess
import sys
import threading
import time
import urllib.request
from typing import Any

from benchmarks import child_env

CONTROL = "/__bench__"


def _kind(method: str, query: str) -> str:
    if method == "GET" and "list-type=2" in query:
        return "LIST"
    if method == "POST" and "delete" in query:
        return "DELETE"
    return method


class _Proxy(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as clients expect of S3
    upstream: tuple[str, int]
    state: dict[str, Any]
    lock = threading.Lock()
    local = threading.local()

    def log_message(self, *args: Any) -> None:
        pass

    def _body(self) -> bytes:
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            out = bytearray()
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(out)
                out += self.rfile.read(size)
                self.rfile.readline()
        return self.rfile.read(int(self.headers.get("Content-Length") or 0))

    def _reply(self, status: int, headers: list[tuple[str, str]], body: bytes, head: bool) -> None:
        self.send_response(status)
        length = None
        for name, value in headers:
            lower = name.lower()
            if lower in ("connection", "keep-alive", "transfer-encoding"):
                continue
            if lower == "content-length":
                length = value
            self.send_header(name, value)
        if length is None:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def _control(self) -> None:
        path, _, query = self.path.partition("?")
        with self.lock:
            if path == f"{CONTROL}/reset":
                self.state["counts"] = {}
            elif path == f"{CONTROL}/delay":
                self.state["delay"] = float(query.split("=", 1)[1]) / 1000
            body = json.dumps(self.state).encode()
        self._reply(200, [("Content-Type", "application/json")], body, head=False)

    def _forward(self) -> None:
        if self.path.startswith(CONTROL):
            self._body()
            self._control()
            return
        body = self._body()
        query = self.path.partition("?")[2]
        with self.lock:
            counts = self.state["counts"]
            kind = _kind(self.command, query)
            counts[kind] = counts.get(kind, 0) + 1
            delay = self.state["delay"]
        time.sleep(delay)  # one round trip to a distant service
        headers = {k: v for k, v in self.headers.items() if k.lower() not in ("connection", "transfer-encoding")}
        headers["Content-Length"] = str(len(body))
        for attempt in range(2):
            conn = getattr(self.local, "conn", None)
            if conn is None:
                conn = self.local.conn = http.client.HTTPConnection(*self.upstream, timeout=60)
            try:
                conn.request(self.command, self.path, body=body, headers=headers)
                resp = conn.getresponse()
                data = resp.read()
                break
            except (OSError, http.client.HTTPException):
                conn.close()
                self.local.conn = None
                if attempt:
                    raise
        self._reply(resp.status, resp.getheaders(), data, head=self.command == "HEAD")

    do_GET = do_PUT = do_POST = do_DELETE = do_HEAD = _forward


def serve(delay_ms: float) -> None:
    """The server process: prints the proxy's port, then serves until killed."""
    import socketserver

    from moto.server import ThreadedMotoServer

    # Responses go out as headers, then body: without this, each waits for
    # the peer's delayed acknowledgement (40 ms) instead of the set delay.
    socketserver.StreamRequestHandler.disable_nagle_algorithm = True
    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    moto = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    moto.start()
    _Proxy.upstream = moto.get_host_and_port()
    _Proxy.state = {"counts": {}, "delay": delay_ms / 1000}
    proxy = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Proxy)
    proxy.daemon_threads = True
    print(proxy.server_address[1], flush=True)
    proxy.serve_forever()


def control(endpoint: str, what: str) -> dict[str, Any]:
    """Asks the proxy at endpoint to reset its counts, report them (stats) or set its delay."""
    with urllib.request.urlopen(f"{endpoint}{CONTROL}/{what}", timeout=30) as r:
        return json.loads(r.read())


class Server:
    """The server process, seen from the benchmark."""

    def __init__(self, delay_ms: float) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "benchmarks.remote_server", "--delay-ms", str(delay_ms)],
            stdout=subprocess.PIPE, text=True, env=child_env(),
        )
        assert self.proc.stdout is not None
        line = self.proc.stdout.readline()
        if not line.strip().isdigit():
            self.proc.kill()
            raise RuntimeError("the S3 server process did not start")
        self.endpoint = f"http://127.0.0.1:{int(line)}"

    def control(self, what: str) -> dict[str, Any]:
        return control(self.endpoint, what)

    def stop(self) -> None:
        self.proc.kill()
        self.proc.wait()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--delay-ms", type=float, default=20.0, help="delay per request (default 20)")
    serve(parser.parse_args(argv).delay_ms)
    return 0


if __name__ == "__main__":
    sys.exit(main())
