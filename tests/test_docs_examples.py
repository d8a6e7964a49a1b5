"""The documentation's examples run, and its reference covers the API.

Each page of docs/ and the README runs in a process of its own, in a fresh
directory with a fresh store, through docs/_ext/examples.py (which says
what runs). A page whose examples fail names its own line.
"""

from __future__ import annotations

import importlib
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

PROJECT = Path(__file__).resolve().parents[1]
DOCS = PROJECT / "docs"
RUNNER = DOCS / "_ext" / "examples.py"
PAGES = sorted([*DOCS.rglob("*.md"), PROJECT / "README.md"])

sys.path.insert(0, str(DOCS / "_ext"))
import examples  # noqa: E402


def _page_id(path: Path) -> str:
    return str(path.relative_to(PROJECT))


@pytest.mark.parametrize("page", [p for p in PAGES if examples.blocks(p)], ids=_page_id)
def test_page_examples_run(page, tmp_path):
    env = {
        **os.environ,
        "CORVINA_SIMULATIONS_DIR": str(tmp_path / "store"),
        "MPLBACKEND": "Agg",
        "MPLCONFIGDIR": str(tmp_path / "mpl"),
    }
    done = subprocess.run(
        [sys.executable, str(RUNNER), str(page)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )
    assert done.returncode == 0, f"{done.stdout}\n{done.stderr}"


def test_examples_are_found_where_readers_copy_them():
    # A fence the runner misread would drop a page's examples from CI unseen.
    pages = {_page_id(p): examples.blocks(p) for p in PAGES}
    for page in ("README.md", "docs/tutorial.md", "docs/howto/compute-once.md",
                 "docs/howto/query-and-export.md", "docs/howto/dask.md"):
        assert any(b.kind == "python" for b in pages[page]), page
    assert sum(b.kind == "python" for b in pages["docs/tutorial.md"]) >= 8


def test_runner_reports_a_failing_example_by_page_and_line(tmp_path):
    page = tmp_path / "page.md"
    page.write_text(
        "# A page\n\n```python\nx = 1\n```\n\n<!-- not run: a cluster -->\n```python\nraise SystemExit(3)\n```\n\n"
        "```console\n$ corvina-sims list     # exit 1\n$ python -c 'import sys; sys.exit(2)'\n```\n",
        encoding="utf-8",
    )
    env = {**os.environ, "CORVINA_SIMULATIONS_DIR": str(tmp_path / "store")}
    done = subprocess.run([sys.executable, str(RUNNER), str(page)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode != 0
    assert f"{page}:14:" in done.stderr and "exited 2, not 0" in done.stderr


# Every public function and class of these modules appears in the API reference.
DOCUMENTED_MODULES = (
    "corvina.core.simulation_storage",
    "corvina.compute",
    "corvina.analysis",
    "corvina.models",
    "corvina.settings",
)


def _public_names(module_name: str) -> list[str]:
    module = importlib.import_module(module_name)
    names = getattr(module, "__all__", None)
    if names is None:
        names = [
            n for n, v in vars(module).items()
            if not n.startswith("_") and callable(v)
            and getattr(v, "__module__", None) == module_name
        ]
    return sorted(names)


@pytest.mark.parametrize("module_name", DOCUMENTED_MODULES)
def test_api_reference_names_every_public_name(module_name):
    reference = (DOCS / "reference" / "api.md").read_text(encoding="utf-8")
    documented = set(re.findall(r"\b(\w+)\b", reference))
    names = _public_names(module_name)
    assert names
    missing = [n for n in names if n not in documented]
    assert not missing, f"{module_name}: not in docs/reference/api.md: {missing}"


def test_extension_functions_have_a_signature_autodoc_can_read():
    from corvina.core import simulation_storage as store

    for name in _public_names("corvina.core.simulation_storage"):
        function = getattr(store, name)
        assert inspect.signature(function).parameters is not None
        first = (function.__doc__ or "").splitlines()[0]
        # docs/_ext/corvina_docs.py drops this line in favour of introspection.
        assert first.startswith(f"{name}("), first
