"""Fixtures and switches of the reliability tests.

Two markers keep the default run short:

``slow``
    long runs (the 10-second multi-process stress, long fuzzing, 100 MB
    files); selected with ``-m slow``.
``leakhunt``
    the reference-leak hunt, which needs the debug interpreter:
    ``./dev test --debug -m leakhunt``.

Without a ``-m`` expression, tests of this directory carrying either marker
are skipped. Figures that the heavy runs produce (examples run, operations
per second) are collected with the ``figures`` fixture and printed in the
terminal summary.
"""

from __future__ import annotations

from pathlib import Path

import pytest

from support.reliability import MOUNT_HELP, Mounts, mount_refused

_HERE = Path(__file__).resolve().parent
_FIGURES = pytest.StashKey[list]()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: long reliability runs (stress, long fuzzing, huge files); -m slow")
    config.addinivalue_line(
        "markers", "leakhunt: reference-leak hunt under the debug interpreter; -m leakhunt")
    config.stash[_FIGURES] = []


def pytest_collection_modifyitems(config, items):
    if config.getoption("markexpr"):
        return
    for item in items:
        if _HERE not in Path(item.path).resolve().parents:
            continue
        for name in ("slow", "leakhunt"):
            if item.get_closest_marker(name):
                item.add_marker(pytest.mark.skip(reason=f"heavy: selected only with -m {name}"))
                break


def pytest_terminal_summary(terminalreporter, config):
    lines = config.stash.get(_FIGURES, [])
    if lines:
        terminalreporter.section("reliability figures")
        for line in lines:
            terminalreporter.write_line(line)


@pytest.fixture(scope="session")
def figures(request):
    """figures(text): a line for the terminal summary."""
    return request.config.stash[_FIGURES].append


@pytest.fixture
def mounts():
    made = Mounts()

    class Guarded:
        def __getattr__(self, name):
            method = getattr(made, name)

            def call(*args, **kwargs):
                try:
                    return method(*args, **kwargs)
                except OSError as exc:
                    if mount_refused(exc):
                        pytest.skip(f"{exc}: {MOUNT_HELP}")
                    raise

            return call

    yield Guarded()
    made.undo_all()
