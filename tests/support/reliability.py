"""Helpers shared by the reliability tests: mounts, tree snapshots, arguments.

The tests run as root inside the development sandbox, which has a mount
namespace of its own. Root ignores permission bits, so read-only and full
directories are made with real mounts: a read-only bind mount and a small
tmpfs. The mounts are made with the system call itself (through ctypes), so
no ``mount`` program is needed, and they vanish with the sandbox.
"""

from __future__ import annotations

import array
import copy
import ctypes
import errno
import gc
import hashlib
import os
import stat
import sys
from pathlib import Path
from typing import Any, Callable

from support.records import IDENTITY

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong,
                        ctypes.c_char_p]
_libc.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]

MS_RDONLY = 0x1
MS_REMOUNT = 0x20
MS_BIND = 0x1000
MNT_DETACH = 0x2


def _mount(source: str | None, target: Path, fstype: str | None, flags: int,
           data: str | None) -> None:
    enc = lambda s: None if s is None else os.fsencode(s)  # noqa: E731
    if _libc.mount(enc(source), enc(str(target)), enc(fstype), flags, enc(data)) != 0:
        e = ctypes.get_errno()
        raise OSError(e, os.strerror(e), str(target))


class Mounts:
    """Mounts made by one test, undone in reverse order at its end."""

    def __init__(self) -> None:
        self._made: list[Path] = []

    def tmpfs(self, target: Path, *, size: str, nr_inodes: int | None = None) -> Path:
        options = f"size={size}" + (f",nr_inodes={nr_inodes}" if nr_inodes else "")
        target.mkdir(parents=True, exist_ok=True)
        _mount("tmpfs", target, "tmpfs", 0, options)
        self._made.append(target)
        return target

    def read_only(self, target: Path) -> Path:
        _mount(str(target), target, None, MS_BIND, None)
        self._made.append(target)
        _mount(None, target, None, MS_REMOUNT | MS_BIND | MS_RDONLY, None)
        return target

    def undo(self, target: Path) -> None:
        self._made.remove(target)
        if _libc.umount2(os.fsencode(str(target)), MNT_DETACH) != 0:
            e = ctypes.get_errno()
            raise OSError(e, os.strerror(e), str(target))

    def undo_all(self) -> None:
        while self._made:
            self.undo(self._made[-1])


MOUNT_HELP = (
    "mounting needs CAP_SYS_ADMIN in a private mount namespace; ./dev gives it by "
    "running bwrap with --cap-add ALL (keep that flag, or run these tests as root)"
)


def mount_refused(exc: OSError) -> bool:
    return exc.errno in (errno.EPERM, errno.EACCES, errno.ENOSYS)


# --- arguments ---------------------------------------------------------------


def identity(**overrides: Any) -> dict[str, Any]:
    fields: dict[str, Any] = copy.deepcopy(IDENTITY)
    fields.update(overrides)
    return fields


def save_kwargs(**overrides: Any) -> dict[str, Any]:
    fields = identity()
    fields.update(result={"s21": [0.25, 0.5]}, wavelengths=[1.5, 1.55],
                  execution_time_seconds=2.5)
    fields.update(overrides)
    return fields


def identity_of(kwargs: dict[str, Any]) -> dict[str, Any]:
    keys = ("component_name", "factory_name", "component_settings", "model_parameters",
            "hyperparameters", "simulation_type")
    return {k: kwargs[k] for k in keys}


# --- the tree on disk ---------------------------------------------------------


def snapshot(root: Path, *, skip: Path | None = None, dir_times: bool = False) -> dict[str, tuple]:
    """Every entry below `root` (and `root` itself) with its kind, and for
    files their size, modification time and content hash. Entries below
    `skip` are left out, `skip` itself is kept. Directory times are left out
    unless asked for: a failed save creates and removes its temporary file,
    which changes the time of the directory but nothing in it."""
    out: dict[str, tuple] = {}

    def entry(path: str) -> tuple:
        st = os.lstat(path)
        if stat.S_ISREG(st.st_mode):
            with open(path, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            return ("file", st.st_size, st.st_mtime_ns, digest)
        if stat.S_ISLNK(st.st_mode):
            return ("link", os.readlink(path))
        if stat.S_ISDIR(st.st_mode):
            return ("dir", st.st_mtime_ns) if dir_times else ("dir",)
        return ("other", st.st_mode)

    skip_text = str(skip) if skip is not None else None
    out["."] = entry(str(root))
    for dirpath, dirnames, filenames in os.walk(root):
        if skip_text is not None and dirpath == skip_text:
            dirnames[:] = []
            continue
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, root)
            out[rel] = ("dir",) if full == skip_text else entry(full)
    return out


def temp_files(root: Path) -> list[str]:
    """Hidden temporary files of interrupted or failed saves below `root`."""
    found = []
    for dirpath, _dirnames, filenames in os.walk(root):
        found += [os.path.join(dirpath, n) for n in filenames
                  if n.startswith(".") and n.endswith(".tmp")]
    return found


# --- growth of references, memory blocks and open files -------------------------

WARMUPS, ROUNDS, CALLS = 3, 5, 8


def _open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def _settle() -> None:
    getattr(sys, "_clear_internal_caches", sys._clear_type_cache)()
    gc.collect()


def hunt(op: Callable[[], object]) -> dict[str, list[int]]:
    """Growth per measured round of the debug interpreter's total reference
    count, its allocated memory blocks and the open file descriptors, with
    `op` called CALLS times a round after WARMUPS rounds."""
    for _ in range(WARMUPS * CALLS):
        op()
    # Kept in arrays: an integer object stored per round would itself be a
    # memory block that grows every round.
    refs, blocks, fds = (array.array("q", bytes(8 * ROUNDS)) for _ in range(3))
    _settle()
    r0, b0, f0 = sys.gettotalrefcount(), sys.getallocatedblocks(), _open_fds()
    for i in range(ROUNDS):
        for _ in range(CALLS):
            op()
        _settle()
        r1, b1, f1 = sys.gettotalrefcount(), sys.getallocatedblocks(), _open_fds()
        refs[i], blocks[i], fds[i] = r1 - r0, b1 - b0, f1 - f0
        r0, b0, f0 = r1, b1, f1
    return {"references": list(refs), "blocks": list(blocks), "descriptors": list(fds)}


def leaks(deltas: dict[str, list[int]]) -> dict[str, list[int]]:
    """The measures that grew in every round (a leak, as in the interpreter's
    -R runs) or fell in every round (a reference released once too often,
    or taken where the interpreter cannot count it)."""
    return {what: d for what, d in deltas.items()
            if all(x >= 1 for x in d) or all(x <= -1 for x in d)}
