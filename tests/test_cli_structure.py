"""The command line's modules: above the library, no cycles, no private names across modules."""

from __future__ import annotations

import ast
import importlib.util
import pathlib

import pytest

import corvina.cli

CLI = pathlib.Path(corvina.cli.__file__).parent
MODULES = sorted(f"corvina.cli.{p.stem}" for p in CLI.glob("*.py") if p.stem != "__main__")
# The one module that may use the store's documented internal functions.
STORE_INTERFACE = ("corvina.cli.store", "corvina.core.simulation_storage")


# The package's own modules, below the command line and the results browser
# (from the sources: a development stage links them, and may keep a link to
# a module since removed).
LIBRARY = sorted(CLI.resolve().parent.glob("*.py"))


@pytest.mark.parametrize("path", LIBRARY, ids=lambda p: p.stem)
def test_the_library_does_not_import_the_command_line(path):
    # Layers point down: the command line and the browser build on the
    # library, never the other way (analysis shares the spectra rule with
    # ``plot`` through corvina.spectra, not by importing the command).
    above = sorted(m for m in _uses(path)[0] if m.startswith(("corvina.cli", "corvina.web")))
    assert above == []


def _is_module(name: str) -> bool:
    try:
        return importlib.util.find_spec(name) is not None
    except ModuleNotFoundError:
        return False


def _private(name: str) -> bool:
    return name.startswith("_") and not name.startswith("__")


def _uses(path: pathlib.Path) -> tuple[set[str], set[str]]:
    """The corvina modules a module imports, anywhere in it, and the private names it takes."""
    tree = ast.parse(path.read_text())
    modules: dict[str, str] = {}  # local name -> module
    private: set[str] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            modules.update({a.asname or a.name: a.name for a in node.names})
        elif isinstance(node, ast.ImportFrom):
            assert node.level == 0 and node.module, "the command line imports absolutely"
            for a in node.names:
                if _is_module(f"{node.module}.{a.name}"):
                    modules[a.asname or a.name] = f"{node.module}.{a.name}"
                else:
                    modules.setdefault(f" {node.module}", node.module)
                    if _private(a.name):
                        private.add(f"{node.module}.{a.name}")
    for node in ast.walk(tree):
        if (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
                and node.value.id in modules and _private(node.attr)):
            private.add(f"{modules[node.value.id]}.{node.attr}")
    return {m for m in modules.values() if m.startswith("corvina")}, private


def _path(module: str) -> pathlib.Path:
    return CLI / f"{module.rsplit('.', 1)[1]}.py"


def test_no_module_takes_a_private_name_of_another():
    offences = [
        f"{name} uses {used}"
        for name in MODULES
        for used in _uses(_path(name))[1]
        if not (name == STORE_INTERFACE[0] and used.startswith(STORE_INTERFACE[1] + "."))
    ]
    assert offences == []


def test_the_modules_import_one_another_without_a_cycle():
    graph = {name: _uses(_path(name))[0] & set(MODULES) for name in MODULES}
    done: set[str] = set()

    def visit(name: str, path: tuple[str, ...]) -> None:
        assert name not in path, " -> ".join([*path, name])
        if name not in done:
            for other in graph[name]:
                visit(other, (*path, name))
            done.add(name)

    for name in MODULES:
        visit(name, ())
