"""The change feed's use of the system: it leaves the user's inotify
instances to other programs, and it is trusted only where the kernel sees
every change of a directory.

What a process holds is read from the outside, in /proc/<pid>/fdinfo: its
inotify instances and the inodes they watch.
"""

from __future__ import annotations

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.timeout(180)

ID = "0123456789abcdef"


def inotify_watches(pid: int | str = "self") -> list[set[int]]:
    """The inodes each inotify instance of a process watches."""
    instances = []
    fd_dir = pathlib.Path(f"/proc/{pid}/fd")
    for fd in os.listdir(fd_dir):
        try:
            if os.readlink(fd_dir / fd) != "anon_inode:inotify":
                continue
            info = pathlib.Path(f"/proc/{pid}/fdinfo/{fd}").read_text()
        except OSError:
            continue
        instances.append({int(m, 16) for m in re.findall(r"^inotify wd:\S+ ino:([0-9a-f]+)", info, re.M)})
    return instances


def make_store(root: pathlib.Path) -> None:
    (root / "t").mkdir(parents=True)
    (root / "t" / f"x_{'a' * 16}.json").write_text("{}")


# --- the user's inotify instances ----------------------------------------------

# Run as root of a new user namespace, whose inotify limit it lowers: the
# kernel counts instances per user and namespace, so the test neither meets
# nor disturbs the machine's other programs. Workers take what the store
# lets them, stay alive, and then another program asks for an instance.
_CROWD = r"""
import ctypes, json, os, pathlib, subprocess, sys, time
limit, workers, store = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
pathlib.Path("/proc/sys/user/max_inotify_instances").write_text(str(limit))
# A ledger of this namespace's own, where a private /dev/shm can be had.
ctypes.CDLL(None).mount(b"tmpfs", b"/dev/shm", b"tmpfs", 0, None)
worker = '''
import os, sys
from corvina.core import simulation_storage as s
assert s._find_simulation_file("0123456789abcdef") is None
print("ready", flush=True)
sys.stdin.read()
'''
env = dict(os.environ, CORVINA_SIMULATIONS_DIR=store)
procs = [subprocess.Popen([sys.executable, "-c", worker], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True, env=env) for _ in range(workers)]
ready = [p.stdout.readline().strip() == "ready" for p in procs]
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(os.O_CLOEXEC)
other = fd >= 0 or os.strerror(ctypes.get_errno())
held = []
for p in procs:
    fds = os.listdir(f"/proc/{p.pid}/fd")
    held.append(sum(os.readlink(f"/proc/{p.pid}/fd/{f}") == "anon_inode:inotify"
                    for f in fds if os.path.exists(f"/proc/{p.pid}/fd/{f}")))
for p in procs:
    p.stdin.close()
    p.wait()
print(json.dumps({"ready": ready, "other": other, "held": held}))
"""


def test_a_crowd_of_workers_leaves_other_programs_an_instance(tmp_path):
    unshare = shutil.which("unshare")
    if unshare is None:
        pytest.skip("no unshare(1) to make a user namespace")
    probe = subprocess.run([unshare, "-U", "-r", "-m", "sh", "-c",
                            "echo 8 > /proc/sys/user/max_inotify_instances"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"no user namespace with its own inotify limit here: {probe.stderr.strip()}")
    make_store(tmp_path / "simulations")
    limit, workers = 8, 10
    done = subprocess.run([unshare, "-U", "-r", "-m", sys.executable, "-c", _CROWD, str(limit),
                           str(workers), str(tmp_path / "simulations")],
                          capture_output=True, text=True, timeout=150)
    assert done.returncode == 0, done.stderr[-3000:]
    seen = json.loads(done.stdout.splitlines()[-1])
    assert all(seen["ready"]), seen
    assert seen["other"] is True, seen
    # The store's processes hold half of the limit between them, one each
    # (none with the fast paths off, which keep no listings).
    assert max(seen["held"]) <= 1 and sum(seen["held"]) <= limit // 2, seen
    if os.environ.get("CORVINA_DISABLE_FAST_PATHS", "") in ("", "0"):
        assert sum(seen["held"]) >= 1, seen


# --- trusted only on file systems known to be local --------------------------

_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/vfs.h>

/* The file system type that statfs reports, read from a file named by
   FAKE_FS_TYPE_FILE at every call ("" there: the real one). */
static void fake(struct statfs *b) {
    const char *name = getenv("FAKE_FS_TYPE_FILE");
    FILE *f = name ? fopen(name, "r") : NULL;
    unsigned long t;
    if (f && fscanf(f, "%lx", &t) == 1) b->f_type = (long)t;
    if (f) fclose(f);
}

int statfs(const char *path, struct statfs *b) {
    int (*real)(const char *, struct statfs *) =
        (int (*)(const char *, struct statfs *))dlsym(RTLD_NEXT, "statfs");
    int r = real(path, b);
    if (r == 0) fake(b);
    return r;
}

int statfs64(const char *path, struct statfs64 *b) {
    return statfs(path, (struct statfs *)b);
}
"""

# Looks up twice: in the store as it is, then after the file system was
# "replaced" (another type reported) and the store remade on it: the device
# number stays, as it does when a new mount reuses an old one's.
_LOOKUPS = r"""
import json, os, pathlib, shutil, sys
sys.path.insert(0, sys.argv[3])
from test_change_feed import inotify_watches, make_store
from corvina.core import simulation_storage as s
root, type_file, second = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[4]
def watched():
    s._find_simulation_file("0123456789abcdef")
    mine = {os.stat(p).st_ino for p in (root, root / "t")}
    return sorted(mine & set().union(*inotify_watches()))
first = watched()
type_file.write_text(second)
shutil.rmtree(root)
make_store(root)
print(json.dumps([bool(first), bool(watched())]))
"""

_UNKNOWN = "12345678"  # a file system type no list names (a new cluster file system)
_NFS = "6969"


@pytest.fixture(scope="module")
def statfs_shim(tmp_path_factory) -> pathlib.Path:
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the statfs shim")
    where = tmp_path_factory.mktemp("shim")
    (where / "shim.c").write_text(_SHIM)
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", where / "shim.so", where / "shim.c", "-ldl"],
                   check=True)
    return where / "shim.so"


@pytest.mark.parametrize(("first", "second", "expected"), [
    ("", "", [True, True]),
    (_UNKNOWN, "", [False, False]),
    (_NFS, _UNKNOWN, [False, False]),
    ("", _UNKNOWN, [True, False]),
], ids=["local", "unknown-type", "network", "device-reused-by-unknown-type"])
def test_feed_trusted_only_on_known_local_file_systems(tmp_path, statfs_shim, first, second, expected):
    root = tmp_path / "simulations"
    make_store(root)
    type_file = tmp_path / "fstype"
    type_file.write_text(first)
    env = dict(os.environ, FAKE_FS_TYPE_FILE=str(type_file), CORVINA_SIMULATIONS_DIR=str(root),
               LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(statfs_shim)])))
    env.pop("CORVINA_DISABLE_CHANGE_FEED", None)
    done = subprocess.run([sys.executable, "-c", _LOOKUPS, str(root), str(type_file),
                           str(pathlib.Path(__file__).parent), second],
                          env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-3000:]
    if first == "" and json.loads(done.stdout)[0] is False:
        pytest.skip("the temporary directory's file system is not one the feed watches")
    assert json.loads(done.stdout) == expected
