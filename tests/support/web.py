"""What the results browser's tests share: a sweep in a store, the server as a
user starts it (``corvina-sims serve`` in a process of its own), raw HTTP
requests, and another process that saves or holds a claim meanwhile.

Run as a script it is that other process:

    python web.py save STORE GAP          save one ring of the sweep
    python web.py hold STORE GAP RELEASE  claim it, compute until RELEASE exists
"""

from __future__ import annotations

import http.client
import os
import pathlib
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import urlsplit

WAVELENGTHS = [1.5 + 0.1 * i / 40 for i in range(41)]
LINK = re.compile(r"http://(?P<host>[^/]+)/\?token=(?P<token>[A-Za-z0-9_-]+)")


def identity(gap: float, radius: float = 10.0, component: str = "ring") -> dict[str, Any]:
    from corvina.models import SimulationHyperparameters

    return {
        "component_name": component,
        "factory_name": f"rings.{component}",
        "component_settings": {"gap": gap, "radius": radius, "layer": [1, 0]},
        "model_parameters": {"n_eff": 2.4},
        "hyperparameters": SimulationHyperparameters(wavelength_points=len(WAVELENGTHS), solver="analytic"),
        "simulation_type": "transmission",
    }


def spectra(gap: float, radius: float) -> dict[str, Any]:
    centre = 1.55 + gap / 10
    through = [1 - 0.9 / (1 + ((w - centre) / (0.002 + gap / 100)) ** 2) for w in WAVELENGTHS]
    return {"through": through, "drop": [1 - t for t in through], "fsr_nm": 1000 / radius,
            "ports": {"count": 4}}


def save(gap: float, radius: float = 10.0, *, status: str = "success", component: str = "ring",
         seconds: float = 1.0) -> Any:
    """Save one point of the sweep into the store the settings name."""
    from corvina.core import simulation_storage as storage

    outcome: dict[str, Any] = {"result": spectra(gap, radius), "wavelengths": WAVELENGTHS}
    if status == "error":
        outcome = {"result": {}, "wavelengths": [], "error_message": f"solver diverged at gap {gap}"}
    return storage.save_simulation_result(**identity(gap, radius, component), **outcome,
                                          execution_time_seconds=seconds, status=status)


def sweep(gaps: int = 6, radii: tuple[float, ...] = (10.0, 20.0)) -> list[Any]:
    """A gap x radius sweep, newest last; the last point of it failed."""
    records = []
    for radius in radii:
        for i in range(gaps):
            records.append(save(round(0.1 + 0.05 * i, 3), radius))
    records.append(save(0.975, 10.0, status="error"))
    return records


@dataclass
class Reply:
    status: int
    headers: dict[str, str]
    body: bytes
    cookies: list[str] = field(default_factory=list)

    def json(self) -> Any:
        import json

        return json.loads(self.body)


class Served:
    """``corvina-sims serve --no-browser --port 0`` on a store, in its own process."""

    def __init__(self, store: str, env: dict[str, str] | None = None, *extra: str) -> None:
        from support import with_package  # not when run as a script

        self.env = dict(with_package(os.environ if env is None else env), PYTHONFAULTHANDLER="1")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "corvina.cli", "--store", store, "serve", "--no-browser",
             "--port", "0", *extra],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env=self.env,
        )
        line = self.proc.stdout.readline()
        match = LINK.search(line)
        if match is None:
            self.proc.kill()
            raise AssertionError(f"no link printed: {line!r} {self.proc.stderr.read()}")
        self.link = line.strip()
        self.netloc = match["host"]
        self.token = match["token"]
        self.port = int(self.netloc.rsplit(":", 1)[1])
        self.cookie = f"corvina_token_{self.port}={self.token}"

    @property
    def base(self) -> str:
        return f"http://{self.netloc}"

    def request(self, method: str, path: str, *, host: str | None = None, auth: bool = True,
                headers: dict[str, str] | None = None) -> Reply:
        """One request, sent as written (no normalising of the path)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            connection.putheader("Host", self.netloc if host is None else host)
            if auth:
                connection.putheader("Cookie", self.cookie)
            for name, value in (headers or {}).items():
                connection.putheader(name, value)
            connection.endheaders()
            response = connection.getresponse()
            body = response.read()
            return Reply(response.status, {k.lower(): v for k, v in response.getheaders()}, body,
                         response.headers.get_all("Set-Cookie") or [])
        finally:
            connection.close()

    def get(self, path: str, **options: Any) -> Reply:
        return self.request("GET", path, **options)

    def api(self, path: str, **options: Any) -> Any:
        reply = self.get(path, **options)
        assert reply.status == 200, (reply.status, reply.body[:500])
        return reply.json()

    def stop(self, sig: int = signal.SIGINT) -> tuple[int, str]:
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            _, err = self.proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            # Stuck: SIGABRT makes the fault handler print every thread's
            # stack into `err`, so the failure says where it hung.
            self.proc.send_signal(signal.SIGABRT)
            try:
                _, err = self.proc.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                _, err = self.proc.communicate()
        return self.proc.returncode, err


class Other:
    """Another process working on the same store: saves a result, or holds a claim."""

    def __init__(self, env: dict[str, str], *args: str) -> None:
        from support import with_package  # not when run as a script

        self.proc = subprocess.Popen([sys.executable, __file__, *args], env=with_package(env),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def finish(self, timeout: float = 60) -> str:
        out, err = self.proc.communicate(timeout=timeout)
        assert self.proc.returncode == 0, err
        return out.strip()

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


def wait_for(predicate: Any, timeout: float, what: str, every: float = 0.05) -> Any:
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"not within {timeout:g} s: {what}")
        time.sleep(every)


def path_of(link: str) -> str:
    parts = urlsplit(link)
    return parts.path + (f"?{parts.query}" if parts.query else "")


def _main(argv: list[str]) -> int:
    mode, store = argv[0], argv[1]
    os.environ["CORVINA_SIMULATIONS_DIR"] = store
    gap = float(argv[2])
    if mode == "save":
        print(save(gap).simulation_id)
        return 0
    if mode == "hold":
        from corvina.core import simulation_storage as storage

        release = pathlib.Path(argv[3])

        def compute() -> dict[str, Any]:
            while not release.exists():
                time.sleep(0.05)
            return {"result": spectra(gap, 10.0), "wavelengths": WAVELENGTHS}

        record = storage.get_or_compute_simulation_result(**identity(gap), compute=compute, lease=20.0)
        print(record.simulation_id)
        return 0
    raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
