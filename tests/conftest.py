"""Shared fixtures for tests of the simulation store.

The store asks ``get_simulations_dir()`` for its root on every call and works
only through the methods of the path object it gets back. A plain
``pathlib.Path`` may be served by native shortcuts, while any other path class
(a subclass included) must be driven through its own methods; both must behave
the same. The ``store`` fixture therefore runs every test that uses it twice,
once per flavour of path.

Fixtures:

``store``
    The simulations directory of the test, ``<tmp_path>/simulations``, as a
    plain ``pathlib.Path`` or as a :class:`LiteralPath`. It does *not* exist
    yet: the first save creates it, and tests that place files by hand create
    what they need. The module attribute ``get_simulations_dir`` is patched to
    return it, and ``get_pdk_name`` to return :data:`PDK_NAME`, so the
    developer's environment cannot leak in.
``logs``
    A :class:`LogRecorder` installed as the module's logger.
``identity``
    ``identity(**overrides)``: the six identity keywords of a result, with the
    defaults of :data:`IDENTITY` (fresh copies on every call).
``save_result``
    ``save_result(**overrides)``: calls ``save_simulation_result`` with the
    defaults of :data:`IDENTITY` and :data:`OUTCOME`; returns the record.
``record_data``
    ``record_data(**fields)``: a dictionary that ``StoredSimulationResult``
    accepts, for writing result files by hand.
``place_record``
    ``place_record(type_dir, simulation_id, **fields)``: writes a valid result
    file into ``store / type_dir`` under the name a save would give it,
    creating the directories; returns its path. The record's
    ``simulation_type`` defaults to ``type_dir`` and its ``component_name`` to
    "ring"; any record field can be overridden, and ``file_name=`` overrides
    the file's name.
``s3_endpoint``, ``s3_env``, ``bucket``
    An S3 API served by moto on 127.0.0.1 for the session (or a skip saying
    why not), the environment that points clients at it, and a fresh bucket.
``s3_requests``
    The :class:`RequestLog` of that server: every request it answers, counted
    where it arrives; emptied for each test that asks for it.
"""

from __future__ import annotations

import copy
import logging
import os
import pathlib
import subprocess
import sys
import threading
import urllib.request
import uuid
from collections.abc import Callable, Iterator
from typing import Any

import orjson
import pytest

from corvina.core import simulation_storage

import support
from support.records import IDENTITY
from support.s3 import s3_environment

PDK_NAME = "test_pdk"

OUTCOME: dict[str, Any] = {
    "result": {"s21": [0.25, 0.5], "ports": ["o1", "o2"]},
    "wavelengths": [1.5, 1.55, 1.6],
    "execution_time_seconds": 2.5,
}

DEFAULT_DATE = "2026-01-15T12:00:00+00:00"


class LiteralPath(pathlib.PosixPath):
    """A local path that is not exactly ``pathlib.Path``'s own class."""

    __slots__ = ()


PATH_FLAVOURS: dict[str, type[pathlib.Path]] = {
    "plain": pathlib.Path,
    "subclass": LiteralPath,
}


class LogRecorder:
    """Stands in for the module's logger and keeps ``(level, text)`` in order.

    ``hook``, when set, is called with ``(level, text)`` as each message
    arrives, before it is recorded: a test can look at the file system at the
    moment a message is logged.
    """

    def __init__(self) -> None:
        self.records: list[tuple[str, str]] = []
        self.hook: Callable[[str, str], None] | None = None

    def _emit(self, level: str, text: str) -> None:
        if self.hook is not None:
            self.hook(level, text)
        self.records.append((level, text))

    def debug(self, text: str) -> None:
        self._emit("debug", text)

    def info(self, text: str) -> None:
        self._emit("info", text)

    def warning(self, text: str) -> None:
        self._emit("warning", text)

    def error(self, text: str) -> None:
        self._emit("error", text)

    def texts(self, level: str | None = None) -> list[str]:
        """The recorded texts, optionally only those of one level."""
        return [text for lvl, text in self.records if level is None or lvl == level]


@pytest.fixture(params=list(PATH_FLAVOURS))
def store(request, tmp_path, monkeypatch) -> pathlib.Path:
    root = PATH_FLAVOURS[request.param](tmp_path / "simulations")
    monkeypatch.setattr(simulation_storage, "get_simulations_dir", lambda: root)
    monkeypatch.setattr(simulation_storage, "get_pdk_name", lambda: PDK_NAME)
    return root


@pytest.fixture
def logs(monkeypatch) -> LogRecorder:
    recorder = LogRecorder()
    monkeypatch.setattr(simulation_storage, "log", lambda: recorder)
    return recorder


@pytest.fixture
def identity() -> Callable[..., dict[str, Any]]:
    def make(**overrides: Any) -> dict[str, Any]:
        fields = copy.deepcopy(IDENTITY)
        fields.update(overrides)
        return fields

    return make


@pytest.fixture
def save_result(store, identity) -> Callable[..., Any]:
    def save(**overrides: Any):
        kwargs = identity()
        kwargs.update(copy.deepcopy(OUTCOME))
        kwargs.update(overrides)
        return simulation_storage.save_simulation_result(**kwargs)

    return save


@pytest.fixture
def record_data() -> Callable[..., dict[str, Any]]:
    def make(**fields: Any) -> dict[str, Any]:
        data = copy.deepcopy(IDENTITY)
        data["hyperparameters"] = data["hyperparameters"].model_dump()
        data.update(
            simulation_id="0123456789abcdef",
            pdk_name=PDK_NAME,
            pdk_version="",
            simulation_date=DEFAULT_DATE,
            corvina_version="0.0.0",
            status="success",
            error_message="",
        )
        data.update(copy.deepcopy(OUTCOME))
        data.update(fields)
        return data

    return make


@pytest.fixture
def place_record(store, record_data) -> Callable[..., pathlib.Path]:
    def place(
        type_dir: str,
        simulation_id: str,
        /,
        *,
        file_name: str | None = None,
        **fields: Any,
    ) -> pathlib.Path:
        fields.setdefault("simulation_type", type_dir)
        fields.setdefault("component_name", "ring")
        data = record_data(simulation_id=simulation_id, **fields)
        if file_name is None:
            file_name = f"{data['component_name']}_{simulation_id}.json"
        directory = store / type_dir
        directory.mkdir(parents=True, exist_ok=True)
        path = directory / file_name
        path.write_bytes(orjson.dumps(data, option=orjson.OPT_INDENT_2))
        return path

    return place


# --- an S3 API on loopback (moto's server), for stores named by URL -------------

_START_TIMEOUT_S = 15.0


# --- the S3 service -----------------------------------------------------------


class RequestLog:
    """The requests an HTTP server answered, as ``(method, path, query)``.

    ``refuse``, when set, is called with each request's ``(method, path,
    query)``; a true answer makes the server refuse it as S3 refuses a
    request the credentials do not allow (403 AccessDenied).
    """

    _DENIED = (b'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>AccessDenied</Code>'
               b"<Message>Access Denied</Message></Error>")

    def __init__(self) -> None:
        self.requests: list[tuple[str, str, str]] = []
        self.refuse: Callable[[str, str, str], bool] | None = None
        self.counting = False
        self._lock = threading.Lock()

    def wrap(self, app: Callable[..., Any]) -> Callable[..., Any]:
        def counted(environ: dict[str, Any], start_response: Callable[..., Any]) -> Any:
            request = (environ["REQUEST_METHOD"], environ.get("PATH_INFO", ""), environ.get("QUERY_STRING", ""))
            with self._lock:
                self.requests.append(request)
            refuse = self.refuse
            if refuse is not None and refuse(*request):
                body = b"" if request[0] == "HEAD" else self._DENIED
                start_response("403 Forbidden", [("Content-Type", "application/xml"),
                                                 ("Content-Length", str(len(self._DENIED)))])
                return [body]
            return app(environ, start_response)

        return counted

    def clear(self) -> None:
        with self._lock:
            self.requests.clear()

    def __len__(self) -> int:
        with self._lock:
            return len(self.requests)


_S3_REQUESTS = RequestLog()


@pytest.fixture(scope="session")
def s3_endpoint() -> Iterator[str]:
    """An S3 API on 127.0.0.1 for the whole session, or a skip saying why not."""
    pytest.importorskip("s3fs", reason="s3fs is not installed")
    try:
        from moto.server import ThreadedMotoServer
    except ImportError as exc:
        pytest.skip(f"moto's server cannot be imported: {exc}")
    # The server logs every request; test output should show failures only.
    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    # start() waits without a bound for a ready signal that a crashed server
    # thread never gives; wait for it from a thread that we can give up on.
    starter = threading.Thread(target=server.start, daemon=True)
    starter.start()
    starter.join(_START_TIMEOUT_S)
    if starter.is_alive():
        pytest.skip(f"moto's S3 server did not start within {_START_TIMEOUT_S:g} s")
    # Count at the server: wrap the application its WSGI server calls.
    wsgi = getattr(server, "_server", None)
    if wsgi is not None and hasattr(wsgi, "app"):
        wsgi.app = _S3_REQUESTS.wrap(wsgi.app)
        _S3_REQUESTS.counting = True
    host, port = server.get_host_and_port()
    endpoint = f"http://{host}:{port}"
    try:
        urllib.request.urlopen(f"{endpoint}/", timeout=_START_TIMEOUT_S).close()
    except OSError as exc:
        server.stop()
        pytest.skip(f"moto's S3 server started but does not answer on {endpoint}: {exc}")
    yield endpoint
    server.stop()


@pytest.fixture
def s3_env(s3_endpoint: str, tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> dict[str, str]:
    """Dummy credentials and the local endpoint, and nothing of the developer's own."""
    env = {**s3_environment(s3_endpoint, tmp_path), "AWS_MAX_ATTEMPTS": "2"}
    for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL_S3"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    return env


@pytest.fixture
def bucket(s3_env: dict[str, str]) -> Iterator[str]:
    import s3fs

    name = f"corvina-{uuid.uuid4().hex[:12]}"
    fs = s3fs.S3FileSystem(skip_instance_cache=True)
    fs.mkdir(name)
    yield name
    fs.rm(name, recursive=True)


@pytest.fixture
def s3_requests(s3_endpoint: str) -> Iterator[RequestLog]:
    if not _S3_REQUESTS.counting:
        pytest.skip("this moto version's server cannot be wrapped to count requests")
    _S3_REQUESTS.clear()
    yield _S3_REQUESTS
    _S3_REQUESTS.refuse = None


# --- moto's S3 server in a process of its own, shared by every test module ------------
# (one per session: s3fs shares its file systems per process by their options, and
# the endpoint is not one of them, so a second server would not be reached)

CLAIMS_SERVER = support.HERE / "s3_server.py"


class S3Service:
    """moto's S3 server in a process of its own."""

    def __init__(self, *flags: str) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, str(CLAIMS_SERVER), *flags],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            env=dict(os.environ, PYTHONPATH=support.HOST_ROOT),
        )
        line = self.proc.stdout.readline()
        if not line.strip():
            self.proc.kill()
            pytest.skip("moto's S3 server did not start in its own process")
        self.endpoint = f"http://127.0.0.1:{int(line)}"

    def close(self) -> None:
        self.proc.stdin.close()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


@pytest.fixture(scope="session")
def s3_service():
    pytest.importorskip("s3fs")
    pytest.importorskip("moto.server")
    service = S3Service()
    yield service
    service.close()


@pytest.fixture(autouse=True)
def _fresh_s3_file_systems() -> Iterator[None]:
    """No s3fs instance outlives its test.

    s3fs caches instances by their arguments, and the endpoint comes from the
    environment, not the arguments: a test on one S3 server would otherwise
    be handed a file system that talks to the previous test's server.
    """
    yield
    s3fs = sys.modules.get("s3fs")
    if s3fs is not None:
        s3fs.S3FileSystem.clear_instance_cache()
