"""User-level settings, read from the environment on every call.

Nothing here is cached: tests and long-running sessions change the
environment and expect the next call to see it.
"""

from __future__ import annotations

import os
from pathlib import Path

_APP = "corvina"


def _env(name: str) -> str | None:
    """The variable's value, or None when it is unset or empty."""
    value = os.environ.get(name)
    return value if value else None


def _xdg_base(variable: str, fallback: str) -> Path:
    # Relative XDG paths are invalid and must be ignored, not resolved against
    # whatever the current directory happens to be.
    value = _env(variable)
    if value is not None:
        path = Path(value)
        if path.is_absolute():
            return path
    return Path.home() / fallback


def get_simulations_dir() -> Path:
    """Directory holding stored simulation results.

    ``$CORVINA_SIMULATIONS_DIR`` if set, else
    ``$XDG_DATA_HOME/corvina/simulations``, else
    ``~/.local/share/corvina/simulations``.
    """
    override = _env("CORVINA_SIMULATIONS_DIR")
    if override is not None:
        return Path(override).expanduser()
    return _xdg_base("XDG_DATA_HOME", ".local/share") / _APP / "simulations"


def get_pdk_name() -> str:
    """Name of the active process design kit (``$CORVINA_PDK``, default ``generic``)."""
    return _env("CORVINA_PDK") or "generic"


def get_build_dir() -> Path:
    """Scratch directory for build artefacts.

    ``$CORVINA_BUILD_DIR`` if set, else ``$XDG_CACHE_HOME/corvina/build``,
    else ``~/.cache/corvina/build``.
    """
    override = _env("CORVINA_BUILD_DIR")
    if override is not None:
        return Path(override).expanduser()
    return _xdg_base("XDG_CACHE_HOME", ".cache") / _APP / "build"
