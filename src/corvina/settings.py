"""User-level settings, read from the environment on every call.

Nothing here is cached: tests and long-running sessions change the
environment and expect the next call to see it.
"""

from __future__ import annotations

import os
import re
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from upath import UPath

_APP = "corvina"

# "scheme://" with a scheme of two or more characters, so that a Windows drive
# ("C:\\...", "C:/...") is never mistaken for a URL.
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+://")

# Object stores whose fsspec file systems keep a listing cache per process.
# A shared store is written by other machines, so a cached listing would hide
# their results (and even report their files as missing) for the life of the
# process; each call must ask the service instead.
_LISTING_CACHE_PROTOCOLS = frozenset({"s3", "s3a", "gs", "gcs", "az", "abfs", "abfss", "adl"})


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


def is_url(location: str) -> bool:
    """Whether ``location`` names a store by URL (``s3://...``) rather than a path."""
    return _URL.match(location) is not None


def _url_path(url: str) -> UPath:
    # Imported here: remote stores are optional and `import corvina` must
    # stay light for everyone else.
    try:
        from upath import UPath
    except ImportError as exc:
        raise ImportError(
            f"CORVINA_SIMULATIONS_DIR={url!r} is a URL; remote stores need the "
            "'remote' extra (universal-pathlib, fsspec and the file system's "
            "own package, such as s3fs)"
        ) from exc
    protocol = url.split("://", 1)[0].lower()
    if protocol in _LISTING_CACHE_PROTOCOLS:
        return UPath(url, use_listings_cache=False)
    return UPath(url)


def get_simulations_dir() -> Path | UPath:
    """Directory holding stored simulation results.

    ``$CORVINA_SIMULATIONS_DIR`` if set, else
    ``$XDG_DATA_HOME/corvina/simulations``, else
    ``~/.local/share/corvina/simulations``.

    A URL in ``$CORVINA_SIMULATIONS_DIR`` (``s3://bucket/prefix``,
    ``memory://name``, ``file:///shared/sims``, any protocol fsspec knows)
    gives a universal-pathlib ``UPath``; anything else is a local ``Path``.
    Credentials and endpoints come from the file system's usual configuration
    (for S3: the AWS variables and files, ``AWS_ENDPOINT_URL`` for a
    non-AWS service).
    """
    override = _env("CORVINA_SIMULATIONS_DIR")
    if override is not None:
        if is_url(override):
            return _url_path(override)
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
