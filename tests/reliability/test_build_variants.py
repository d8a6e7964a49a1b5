"""The checking builds really check.

``./dev test --sanitize`` and ``./dev test --debug`` are only worth their time
if the sanitizer runtime is live in the process and if the debug interpreter
counts the module's references. Both can silently stop being true (a
missing preload, headers of the wrong interpreter); these tests notice.
"""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

from corvina.core import simulation_storage as storage

from support.reliability import hunt, leaks

VARIANT = os.environ.get("CORVINA_BUILD_VARIANT", "release")


@pytest.mark.skipif(VARIANT != "sanitize", reason="only in ./dev test --sanitize")
def test_sanitizer_runtime_is_loaded_and_reports_memory_errors():
    with open("/proc/self/maps") as maps:
        mapped = maps.read()
    assert "libasan" in mapped and "libubsan" in mapped

    # A use after free through the C library's memmove, which the runtime
    # intercepts: this process setup must turn it into a report and an abort.
    code = ("import ctypes; libc = ctypes.CDLL(None); libc.malloc.restype = ctypes.c_void_p; "
            "p = libc.malloc(64); libc.free(ctypes.c_void_p(p)); ctypes.memmove(p, b'x' * 8, 8)")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode != 0
    assert "AddressSanitizer: heap-use-after-free" in run.stderr


@pytest.mark.skipif(VARIANT != "debug", reason="only in ./dev test --debug")
def test_debug_interpreter_counts_the_module_s_references():
    assert hasattr(sys, "gettotalrefcount")
    # A module compiled against the release headers takes references that the
    # debug interpreter does not count; reading a docstring (a new reference,
    # then dropped by the interpreter) would make the total fall every round.
    deltas = hunt(lambda: storage.load_simulation_result.__doc__)
    assert leaks(deltas) == {}, deltas
