"""The module frame: import rules, module bindings, the function objects and
their argument binding, call-time name lookup and tracebacks."""

from __future__ import annotations

import ctypes
import hashlib
import importlib
import importlib.util
import inspect
import json
import os
import pydoc
import shutil
import subprocess
import sys
import textwrap
import traceback
from dataclasses import dataclass
from pathlib import Path

import pytest

import corvina
import corvina.core.simulation_storage as store
from corvina.models import SimulationHyperparameters, SimulationStatus

from support import HOST_ROOT

MODULE = "corvina.core.simulation_storage"
SOURCE = "src/corvina/core/simulation_storage"
INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process."
)
# Not resolved: the staged package links its sources back into src/, where
# the module is only a directory of C++ files.


def run_python(code: str) -> dict:
    """Runs `code` in a fresh interpreter; it reports by printing one JSON line last."""
    env = dict(os.environ, PYTHONPATH=HOST_ROOT)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=env, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


class Dump:
    """Stands in for the hyperparameters model: only `model_dump()` is used."""

    def __init__(self, value=None):
        self.value = {} if value is None else value

    def model_dump(self):
        return self.value


def identity(**overrides):
    kw = dict(component_name="c", factory_name="f", component_settings={},
              model_parameters={}, hyperparameters=Dump(), simulation_type="t")
    kw.update(overrides)
    return kw


def save_args(**overrides):
    kw = identity(result={}, wavelengths=[1.55], execution_time_seconds=1.0)
    kw.update(overrides)
    return kw


# --- import rules ------------------------------------------------------------

SUBINTERPRETER_PRELUDE = """
import json, os, sys, traceback, _interpreters
from concurrent import interpreters

def legacy():
    # Shares the main GIL, so the interpreter lets the import reach our create step.
    ident = _interpreters.create(_interpreters.new_config("legacy"), reqrefs=True)
    return interpreters.Interpreter(ident, _ownsref=True)

def import_in(interp):
    try:
        interp.exec("import sys; sys.path[:0] = %r; import corvina.core.simulation_storage"
                    % [os.environ["PYTHONPATH"]])
    except interpreters.ExecutionFailed as exc:
        return [exc.excinfo.type.__name__, exc.excinfo.msg]
    finally:
        interp.close()
    return None

def import_here():
    try:
        import corvina.core.simulation_storage
    except Exception as exc:
        names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
        return [type(exc).__name__, str(exc), names]
    return None
"""


def test_second_interpreter_is_refused_after_main_import():
    out = run_python(SUBINTERPRETER_PRELUDE + """
import corvina.core.simulation_storage
print(json.dumps({"legacy": import_in(legacy()), "isolated": import_in(interpreters.create())}))
""")
    assert out["legacy"] == ["ImportError", INTERPRETER_CHANGE]
    # An own-GIL interpreter is refused by CPython before our create step runs.
    assert out["isolated"][0] == "ImportError"


def test_first_importing_interpreter_owns_the_module():
    out = run_python(SUBINTERPRETER_PRELUDE + """
print(json.dumps({"sub": import_in(legacy()), "main": import_here()}))
""")
    assert out["sub"] is None
    assert out["main"][:2] == ["ImportError", INTERPRETER_CHANGE]


def test_failed_import_still_binds_interpreter_and_can_be_retried():
    out = run_python(SUBINTERPRETER_PRELUDE + """
import corvina.models
saved = sys.modules["corvina.models"]
sys.modules["corvina.models"] = None
first = import_here()
sub = import_in(legacy())
sys.modules["corvina.models"] = saved
second = import_here()
m = sys.modules["corvina.core.simulation_storage"]
print(json.dumps({"first": first, "sub": sub, "second": second,
                  "functions": callable(m.save_simulation_result)}))
""")
    kind, _, frames = out["first"]
    assert kind == "ModuleNotFoundError"
    assert "init corvina.core.simulation_storage" in frames
    assert out["sub"] == ["ImportError", INTERPRETER_CHANGE]
    assert out["second"] is None and out["functions"]


def test_exec_step_on_a_second_module_object_is_refused():
    out = run_python("""
import ctypes, json, types
import corvina.core.simulation_storage as m
api = ctypes.PyDLL(None)
api.PyModule_GetDef.restype = ctypes.c_void_p
api.PyModule_GetDef.argtypes = [ctypes.py_object]
api.PyModule_ExecDef.restype = ctypes.c_int
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
try:
    api.PyModule_ExecDef(types.ModuleType("other"), api.PyModule_GetDef(m))
    result = None
except Exception as exc:
    result = [type(exc).__name__, str(exc)]
print(json.dumps(result))
""")
    assert out == ["RuntimeError", "Module 'simulation_storage' has already been imported. "
                   "Re-initialisation is not supported."]


def import_report(setup: str) -> dict:
    """Runs `setup`, then imports the module in a fresh interpreter."""
    return run_python(setup + """
import json, traceback
try:
    import corvina.core.simulation_storage as m
except Exception as exc:
    print(json.dumps({"error": [type(exc).__name__, str(exc)],
                      "frames": [f.name for f in traceback.extract_tb(exc.__traceback__)]}))
else:
    print(json.dumps({"names": [k for k in vars(m) if not k.startswith("__")
                                or k in ("__version__", "__test__")],
                      "record_class": repr(m.StoredSimulationResult)}))
""")


def test_name_missing_from_host_module_fails_the_import():
    out = import_report("import corvina.models\ndel corvina.models.SimulationStatus\n")
    assert out["error"] == ["ImportError", "cannot import name SimulationStatus"]
    assert out["frames"][-1] == "init corvina.core.simulation_storage"


def test_host_modules_already_registered_are_used():
    out = import_report("""
import sys, types
models = types.ModuleType("corvina.models")
models.SimulationHyperparameters = models.SimulationStatus = object
models.StoredSimulationResult = "foreign record class"
sys.modules["corvina.models"] = models
""")
    assert out["record_class"] == "'foreign record class'"
    assert "orjson" in out["names"] and "lazy_import" in out["names"]


def test_type_checking_branch_binds_host_names_directly():
    # Host modules first: they too would see the flag while importing.
    out = import_report("""
import typing, corvina.models, corvina.settings, corvina.logger
typing.TYPE_CHECKING = True
""")
    names = out["names"]
    assert "lazy_import" not in names and "orjson" not in names
    assert names[names.index("StoredSimulationResult") + 1:names.index(FUNCTION_NAMES[0])] == [
        "__version__", "log", "SerializedSimulationResult", "SimulationType", "get_build_dir",
        "get_pdk_name", "get_simulations_dir"]


def is_import_dunder(name: str) -> bool:
    return name.startswith("__") and name.endswith("__") and name not in (
        "__version__", "__test__")


def test_reimport_after_removal_gives_same_module_without_rerunning(monkeypatch):
    test_dict, compute = store.__test__, store._compute_simulation_id
    marker = object()
    monkeypatch.setattr(store, "json", marker)
    monkeypatch.delitem(sys.modules, MODULE)
    again = importlib.import_module(MODULE)
    assert again is store
    assert again.json is marker
    assert again.__test__ is test_dict and again._compute_simulation_id is compute


def test_reload_returns_same_module_unchanged(monkeypatch):
    marker = object()
    monkeypatch.setattr(store, "hashlib", marker)
    before = dict(vars(store))
    assert importlib.reload(store) is store
    assert store.hashlib is marker
    # The import system refreshes its own dunder attributes; ours stay as they were.
    assert {k: v for k, v in vars(store).items() if not is_import_dunder(k)} == {
        k: v for k, v in before.items() if not is_import_dunder(k)}


# --- module bindings -------------------------------------------------------

FUNCTION_NAMES = [
    "_compute_simulation_id", "_get_simulation_file_path", "_find_simulation_file",
    "save_simulation_result", "load_simulation_result", "find_simulation_result",
    "_matches_filters", "list_simulation_results", "delete_simulation_result",
    "clear_simulation_results", "query_simulation_results", "check_query",
]

# Entry points beside the ten, bound after them.
ADDED_FUNCTION_NAMES = ["get_or_compute_simulation_result", "_claim_unless_held", "_lookup_sweep",
                        "count_simulation_results", "_temporary_name", "_write_atomically",
                        "_parse_file_name", "_claim_file_name"]


def test_module_attributes_in_binding_order():
    # Other tests rebind and restore attributes, which reorders the namespace;
    # a fresh interpreter shows the order the import produced.
    names = run_python("""
import json, corvina.core.simulation_storage as m
print(json.dumps(list(vars(m))))
""")
    assert [n for n in names if not is_import_dunder(n)] == [
        "hashlib", "json", "UTC", "datetime", "Path", "TYPE_CHECKING", "Any",
        "SimulationHyperparameters", "SimulationStatus", "StoredSimulationResult",
        "lazy_import", "orjson", "__version__", "log", "get_build_dir", "get_pdk_name",
        "get_simulations_dir", *FUNCTION_NAMES, *ADDED_FUNCTION_NAMES, "__test__",
    ]
    assert {"__name__", "__doc__", "__package__", "__loader__", "__file__",
            "__builtins__"} <= set(names)


def test_module_attribute_values():
    import builtins
    import datetime
    import logging
    import pathlib
    import typing

    import orjson

    from corvina import models, settings
    from corvina.core.lazy import lazy_import

    assert store.__name__ == MODULE
    assert store.__doc__ == (
        "Simulation results storage API.\n\nThis module provides functions for storing, "
        "retrieving, and managing\nsimulation results with full reproducibility metadata.\n")
    assert store.__package__ == "corvina.core"
    assert store.__builtins__ is builtins
    assert store.hashlib is hashlib and store.json is json
    assert store.UTC is datetime.UTC and store.datetime is datetime.datetime
    assert store.Path is pathlib.Path
    assert store.TYPE_CHECKING is False and store.Any is typing.Any
    assert store.StoredSimulationResult is models.StoredSimulationResult
    assert store.SimulationHyperparameters is models.SimulationHyperparameters
    assert store.SimulationStatus is models.SimulationStatus
    assert store.lazy_import is lazy_import
    assert store.orjson.dumps is orjson.dumps
    assert store.__version__ == corvina.__version__
    assert store.log() is logging.getLogger("corvina")
    assert store.get_pdk_name() == settings.get_pdk_name()
    assert store.get_simulations_dir() == settings.get_simulations_dir()
    assert store.get_build_dir() == settings.get_build_dir()
    assert store.__test__ == {}
    assert not hasattr(store, "SimulationType") and not hasattr(store, "SerializedSimulationResult")


def test_only_the_entry_point_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", store.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == [
        "PyInit_simulation_storage"]


# --- the function objects ----------------------------------------------------

REQUIRED = inspect.Parameter.empty


@dataclass
class P:
    name: str
    check: str | None  # the type name the docstring shows, None without a check
    annotation: str
    meaning: str | None
    default: object = REQUIRED


@dataclass
class F:
    params: list[P]
    ret: str
    summary: str
    returns: str | None  # None: no Args and Returns sections
    kwonly: bool = False
    description: str | None = None


NAMES = [P("component_name", "str", "str", "name of the component"),
         P("factory_name", "str", "str", "name of the factory"),
         P("component_settings", "dict", "dict[str, Any]", "component settings dictionary"),
         P("model_parameters", "dict", "dict[str, Any]", "model parameters dictionary"),
         P("hyperparameters", None, "SimulationHyperparameters", "simulation hyperparameters")]
UNCHECKED_TYPE = P("simulation_type", None, "SimulationType", "type of simulation")
BY_ID = [P("simulation_id", "str", "str", "the unique simulation ID")]
FOUND = "StoredSimulationResult if found, None otherwise."


def opt(name: str, meaning: str | None = None) -> P:
    return P(name, "str", "str | None", meaning, None)


def filters(*names: str) -> list[P]:
    return [opt(n, "filter by " + n.replace("_", " ").replace("pdk", "PDK")) for n in names]


SIGNATURES = {
    "_compute_simulation_id": F(
        NAMES + [P("simulation_type", "str", "str", "type of simulation")], "str",
        "Compute a deterministic hash-based ID for a simulation.",
        "16-character hex string from SHA-256 hash.",
        description="The ID is computed from the identity fields only, ensuring that\n"
                    "the same inputs always produce the same ID."),
    "_get_simulation_file_path": F(
        [P("simulation_type", "str", "str", "type of simulation"), NAMES[0],
         P("simulation_id", "str", "str", "the simulation ID")],
        "Path", "Get the file path for a simulation result.",
        "Path to the simulation result file."),
    "_find_simulation_file": F(
        BY_ID, "Path | None", "Find a simulation result file by its ID.",
        "Path to the simulation file if found, None otherwise.",
        description="Scans all simulation type directories to find the file."),
    "save_simulation_result": F(
        NAMES + [UNCHECKED_TYPE,
                 P("result", None, "SerializedSimulationResult", "serialized simulation result"),
                 P("wavelengths", "list", "list[float]", "list of wavelengths used"),
                 P("execution_time_seconds", "double", "float", "execution time in seconds"),
                 P("status", None, "SimulationStatus",
                   'status of the simulation ("success" or "error")', "success"),
                 P("error_message", "str", "str", 'error message if status is "error"', ""),
                 P("pdk_version", "str", "str", "version of the PDK used", "")],
        "StoredSimulationResult", "Save a simulation result to file.",
        "The stored simulation result with computed ID.", kwonly=True),
    "load_simulation_result": F(
        BY_ID, "StoredSimulationResult | None", "Load a simulation result by its ID.", FOUND),
    "find_simulation_result": F(
        NAMES + [UNCHECKED_TYPE], "StoredSimulationResult | None",
        "Find a cached simulation result by its identity fields.", FOUND, kwonly=True,
        description="This computes the deterministic ID from the inputs and looks up\n"
                    "the corresponding result."),
    "_matches_filters": F(
        [P("result", None, "StoredSimulationResult", None)]
        + [P(n, "str", "str | None", None) for n in
           ("component_name", "factory_name", "pdk_name", "status")],
        "bool", "Check if a result matches the given filters.", None),
    "list_simulation_results": F(
        filters("component_name", "factory_name", "simulation_type", "pdk_name", "status"),
        "list[StoredSimulationResult]", "List simulation results with optional filters.",
        "List of matching StoredSimulationResult objects.", kwonly=True,
        description="Scans the filesystem for simulation result files and filters them."),
    "delete_simulation_result": F(
        BY_ID, "bool", "Delete a simulation result by its ID.",
        "True if the result was deleted, False otherwise."),
    "clear_simulation_results": F(
        filters("component_name", "factory_name", "simulation_type", "pdk_name"), "int",
        "Clear simulation results with optional filters.", "Number of results deleted.",
        kwonly=True),
    "query_simulation_results": F(
        [P("where", "dict", "dict[str, Any] | None",
           "the query: field paths and the conditions they meet (every record if None)", None),
         P("fields", "", "list[str] | None", "field paths to return, as a dict per match with its "
           "simulation_id (whole records if None)", None),
         opt("sort", 'field path to sort by, ascending; "-" in front for descending '
                     "(newest first if None)"),
         P("limit", "int", "int | None", "most records to return (all if None)", None),
         P("offset", "int", "int | None",
           "matches to skip in the sorted order before the first returned (none if None)", None)]
        + filters("component_name", "factory_name", "simulation_type", "pdk_name", "status"),
        "list[StoredSimulationResult] | list[dict[str, Any]]",
        "Query simulation results on any field of their records.",
        "List of matching StoredSimulationResult objects, or with fields a\n"
        "    dict per match of its simulation_id and each asked path it holds.", kwonly=True,
        description="The query maps dotted field paths (component_settings.gap) to a value\n"
                    "they equal or to operators ($ne, $gt, $gte, $lt, $lte, $in, $nin,\n"
                    "$exists, $regex, $near), combined with $and, $or and $not. It is\n"
                    "checked whole before any file is read: a malformed query is a ValueError."),
    "check_query": F(
        [P("where", "dict", "dict[str, Any] | None", "the query to check")], "None",
        "Check a query without running it.", "None.",
        description="Raises ValueError naming the offending part of a malformed query."),
}


def expected_doc(name: str, f: F) -> str:
    params = []
    for p in f.params:
        text = (f"{p.check} " if p.check else "") + f"{p.name}: {p.annotation}"
        if p.default is not REQUIRED:
            text += f" = {p.default!r}"
        params.append(text)
    lines = [f"{name}({'*, ' if f.kwonly else ''}{', '.join(params)}) -> {f.ret}", "",
             f.summary]
    if f.description:
        lines += ["", f.description]
    if f.returns is not None:
        lines += ["", "Args:"]
        lines += [f"    {p.name}: {p.meaning[0].upper()}{p.meaning[1:]}." for p in f.params]
        lines += ["", "Returns:", "    " + f.returns]
    return "\n".join(lines)


def test_docstring_builder_matches_known_texts():
    # Two texts written out in full, so the builder above is itself checked.
    assert expected_doc("delete_simulation_result", SIGNATURES["delete_simulation_result"]) == (
        "delete_simulation_result(str simulation_id: str) -> bool\n\n"
        "Delete a simulation result by its ID.\n\nArgs:\n"
        "    simulation_id: The unique simulation ID.\n\n"
        "Returns:\n    True if the result was deleted, False otherwise.")
    assert expected_doc("_matches_filters", SIGNATURES["_matches_filters"]) == (
        "_matches_filters(result: StoredSimulationResult, str component_name: str | None, "
        "str factory_name: str | None, str pdk_name: str | None, str status: str | None)"
        " -> bool\n\nCheck if a result matches the given filters.")
    assert list(SIGNATURES) == FUNCTION_NAMES


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_function_attributes(name):
    f, table = getattr(store, name), SIGNATURES[name]
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == MODULE
    assert f.__doc__ == expected_doc(name, table)
    assert f.__defaults__ is None
    kwdefaults = {p.name: p.default for p in table.params if p.default is not REQUIRED}
    assert f.__kwdefaults__ == (kwdefaults or None)
    annotations = {p.name: p.annotation for p in table.params} | {"return": table.ret}
    assert list(f.__annotations__.items()) == list(annotations.items())


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_functions_are_pleasant_at_a_prompt(name):
    f, table = getattr(store, name), SIGNATURES[name]
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    if table.kwonly:
        kind = inspect.Parameter.KEYWORD_ONLY
    assert inspect.signature(f) == inspect.Signature(
        [inspect.Parameter(p.name, kind, default=p.default, annotation=p.annotation)
         for p in table.params], return_annotation=table.ret)
    assert name in repr(f)
    help_text = pydoc.render_doc(f, renderer=pydoc.plaintext)
    for line in f.__doc__.splitlines():
        assert line.strip() in help_text


@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="needs _testcapi")
def test_signatures_survive_each_failed_allocation():
    # One allocation after another fails while the signatures are built: each
    # attempt gives them all or a MemoryError, never a crash.
    result = run_python(f"""
        import json, _testcapi
        import corvina.core.simulation_storage as store
        functions = [getattr(store, name) for name in {FUNCTION_NAMES!r}]
        failed = 0
        for k in range(20000):
            _testcapi.set_nomemory(k, k + 1)
            try:
                [f.__signature__ for f in functions]
            except MemoryError:
                failed += 1
                continue
            finally:
                _testcapi.remove_mem_hooks()
            break
        print(json.dumps({{"failed": failed, "attempts": k + 1}}))
    """)
    assert 0 < result["failed"] < result["attempts"]


# --- argument binding --------------------------------------------------------

def wrong_type(param: str, expected: str, got: str) -> str:
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


class StrSub(str):
    pass


SIX = ["c", "f", {}, {}, Dump(), "t"]
BINDING_ERRORS = [
    # positional-or-keyword functions
    ("load_simulation_result", (), {},
     "load_simulation_result() takes exactly 1 positional argument (0 given)"),
    ("load_simulation_result", ("a", "b"), {},
     "load_simulation_result() takes exactly 1 positional argument (2 given)"),
    ("load_simulation_result", ("a", "b"), {"nope": 1},
     "load_simulation_result() takes exactly 1 positional argument (2 given)"),
    ("load_simulation_result", ("a",), {"nope": 1},
     "load_simulation_result() got an unexpected keyword argument 'nope'"),
    ("load_simulation_result", ("a",), {"simulation_id": "b"},
     "load_simulation_result() got multiple values for keyword argument 'simulation_id'"),
    ("_compute_simulation_id", (), {k: v for k, v in identity().items() if k != "hyperparameters"},
     "_compute_simulation_id() takes exactly 6 positional arguments (4 given)"),
    ("_compute_simulation_id", tuple(SIX), {"component_name": "x"},
     "_compute_simulation_id() got multiple values for keyword argument 'component_name'"),
    ("_compute_simulation_id", tuple(SIX[:2]), {"simulation_type": "t"},
     "_compute_simulation_id() takes exactly 6 positional arguments (2 given)"),
    ("_get_simulation_file_path", ("t",), {"simulation_id": "i"},
     "_get_simulation_file_path() takes exactly 3 positional arguments (1 given)"),
    ("_matches_filters", (None, None, None, None, None, None), {},
     "_matches_filters() takes exactly 5 positional arguments (6 given)"),
    # keywords match by equality, not identity
    ("load_simulation_result", (), {"".join(["simulation", "_id"]): 1},
     "Argument 'simulation_id' has incorrect type (expected str, got int)"),
    ("load_simulation_result", (), {StrSub("simulation_id"): 1},
     "Argument 'simulation_id' has incorrect type (expected str, got int)"),
    # keyword-only functions
    ("save_simulation_result", (), {},
     "save_simulation_result() needs keyword-only argument component_name"),
    ("save_simulation_result", ("x",), save_args(),
     "save_simulation_result() takes exactly 0 positional arguments (1 given)"),
    ("list_simulation_results", (1, 2), {"nope": 1},
     "list_simulation_results() takes exactly 0 positional arguments (2 given)"),
    ("save_simulation_result", (), {"nope": 1},
     "save_simulation_result() got an unexpected keyword argument 'nope'"),
    ("clear_simulation_results", (), {"status": "success"},
     "clear_simulation_results() got an unexpected keyword argument 'status'"),
    ("find_simulation_result", (), {k: v for k, v in identity().items() if k != "hyperparameters"},
     "find_simulation_result() needs keyword-only argument hyperparameters"),
    ("save_simulation_result", (), {"execution_time_seconds": "x"},
     "save_simulation_result() needs keyword-only argument component_name"),
    # type checks, in declaration order; exact types only
    ("load_simulation_result", (None,), {}, wrong_type("simulation_id", "str", "NoneType")),
    ("load_simulation_result", (SimulationStatus.SUCCESS,), {},
     wrong_type("simulation_id", "str", "SimulationStatus")),
    ("delete_simulation_result", (b"id",), {}, wrong_type("simulation_id", "str", "bytes")),
    ("list_simulation_results", (), {"component_name": 1},
     wrong_type("component_name", "str", "int")),
    ("list_simulation_results", (), {"status": SimulationStatus.ERROR},
     wrong_type("status", "str", "SimulationStatus")),
    ("_matches_filters", (None, None, None, None, 0), {}, wrong_type("status", "str", "int")),
    ("_compute_simulation_id", ("c", "f", {}, {}, Dump(), None), {},
     wrong_type("simulation_type", "str", "NoneType")),
    ("_compute_simulation_id", ("c", "f", [], (), Dump(), 1), {},
     wrong_type("component_settings", "dict", "list")),
    ("save_simulation_result", (), save_args(component_name=1, wavelengths=()),
     wrong_type("component_name", "str", "int")),
    ("save_simulation_result", (), save_args(wavelengths=(1.0,), error_message=None),
     wrong_type("wavelengths", "list", "tuple")),
    ("save_simulation_result", (), save_args(error_message=None),
     wrong_type("error_message", "str", "NoneType")),
    ("save_simulation_result", (), save_args(pdk_version=SimulationStatus.ERROR),
     wrong_type("pdk_version", "str", "SimulationStatus")),
    # the unchecked simulation_type meets the check of _compute_simulation_id
    ("find_simulation_result", (), identity(simulation_type=SimulationStatus.ERROR),
     wrong_type("simulation_type", "str", "SimulationStatus")),
    ("save_simulation_result", (), save_args(simulation_type=None),
     wrong_type("simulation_type", "str", "NoneType")),
]


@pytest.mark.parametrize(("name", "args", "kwargs", "message"), BINDING_ERRORS)
def test_argument_errors(name, args, kwargs, message, monkeypatch, tmp_path):
    monkeypatch.setattr(store, "get_simulations_dir", lambda: tmp_path)
    with pytest.raises(TypeError) as info:
        getattr(store, name)(*args, **kwargs)
    assert str(info.value) == message
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name", ["load_simulation_result", "_find_simulation_file"])
def test_str_subclass_is_refused_by_name(name):
    with pytest.raises(TypeError, match=r"expected str, got StrSub\)$"):
        getattr(store, name)(StrSub("abc"))


@pytest.mark.parametrize("name", ["load_simulation_result", "list_simulation_results"])
def test_keyword_names_must_be_strings(name):
    # A dictionary through the generic call...
    with pytest.raises(TypeError) as info:
        getattr(store, name)(**{1: 2})
    assert str(info.value) == "keywords must be strings"
    # ...and a tuple of names through the fast calling convention.
    api = ctypes.PyDLL(None)
    vectorcall = api.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    with pytest.raises(TypeError) as info:
        vectorcall(getattr(store, name), (ctypes.py_object * 1)(2), 0, (1,))
    assert str(info.value) == f"{name}() keywords must be strings"


class Real:
    def __init__(self, value, calls):
        self.value, self.calls = value, calls

    def __float__(self):
        self.calls.append("float")
        return self.value


class Index:
    def __index__(self):
        return 4


def float_conversion_error(value):
    # What the interpreter's own conversion raises for `value`.
    api = ctypes.PyDLL(None)
    api.PyFloat_AsDouble.restype = ctypes.c_double
    api.PyFloat_AsDouble.argtypes = [ctypes.py_object]
    with pytest.raises(Exception) as info:
        api.PyFloat_AsDouble(value)
    return info.value


@pytest.mark.parametrize("value", ["2", None, 10**400, [1.0]])
def test_execution_time_conversion_precedes_type_checks(value):
    expected = float_conversion_error(value)
    with pytest.raises(type(expected)) as info:
        store.save_simulation_result(**save_args(component_name=1, execution_time_seconds=value))
    assert str(info.value) == str(expected)


def test_execution_time_conversion_runs_before_failing_type_check():
    calls: list[str] = []
    with pytest.raises(TypeError, match="'error_message'"):
        store.save_simulation_result(
            **save_args(execution_time_seconds=Real(2.5, calls), error_message=None))
    assert calls == ["float"]

    class Boom:
        def __float__(self):
            raise ZeroDivisionError("from __float__")

    with pytest.raises(ZeroDivisionError, match="from __float__"):
        store.save_simulation_result(**save_args(execution_time_seconds=Boom()))


@pytest.mark.parametrize(("value", "stored"), [(2, 2.0), (True, 1.0), (Index(), 4.0), (0.25, 0.25)])
def test_execution_time_is_stored_as_float(value, stored, monkeypatch, tmp_path):
    monkeypatch.setattr(store, "get_simulations_dir", lambda: tmp_path)
    record = store.save_simulation_result(
        **save_args(hyperparameters=SimulationHyperparameters(), execution_time_seconds=value))
    assert type(record.execution_time_seconds) is float
    assert record.execution_time_seconds == stored


# --- call-time lookup ----------------------------------------------------------

def test_deleted_module_name_raises_name_error(monkeypatch):
    monkeypatch.delattr(store, "json")
    with pytest.raises(NameError) as info:
        store._compute_simulation_id(*SIX)
    assert str(info.value) == "name 'json' is not defined"
    monkeypatch.delattr(store, "_compute_simulation_id")
    with pytest.raises(NameError, match=r"^name '_compute_simulation_id' is not defined$"):
        store.find_simulation_result(**identity())


def test_builtins_are_searched_after_the_module(monkeypatch):
    import builtins

    monkeypatch.delattr(store, "json")
    monkeypatch.setattr(builtins, "json", json, raising=False)
    assert store._compute_simulation_id(*SIX) == hashlib.sha256(
        json.dumps(dict(zip(identity(), [*SIX[:4], {}, "t"])), sort_keys=True).encode()
    ).hexdigest()[:16]


def test_rebound_json_and_hashlib_are_used(monkeypatch):
    class FakeJson:
        @staticmethod
        def dumps(value, **kw):
            return "fixed"

    monkeypatch.setattr(store, "json", FakeJson)
    assert store._compute_simulation_id(*SIX) == hashlib.sha256(b"fixed").hexdigest()[:16]

    class FakeHash:
        def __init__(self, data):
            self.data = data

        def digest(self):
            return b"\x01" * 8 + self.data

    monkeypatch.setattr(store, "hashlib", type("H", (), {"sha256": FakeHash}))
    assert store._compute_simulation_id(*SIX) == "01" * 8


def test_inner_calls_go_through_module_attributes(monkeypatch, tmp_path):
    calls = []

    def compute(**kw):
        calls.append(("compute", sorted(kw)))
        return "0123456789abcdef"

    def load(simulation_id):
        calls.append(("load", simulation_id))
        return "loaded"

    monkeypatch.setattr(store, "_compute_simulation_id", compute)
    monkeypatch.setattr(store, "load_simulation_result", load)
    assert store.find_simulation_result(**identity()) == "loaded"
    assert calls == [("compute", sorted(identity())), ("load", "0123456789abcdef")]


def test_rebound_simulations_dir_redirects_later_calls(monkeypatch, tmp_path):
    first, second = tmp_path / "one", tmp_path / "two"
    monkeypatch.setattr(store, "get_simulations_dir", lambda: first)
    assert store._get_simulation_file_path("t", "c", "id") == first / "t" / "c_id.json"
    monkeypatch.setattr(store, "get_simulations_dir", lambda: second)
    assert store._get_simulation_file_path("t", "c", "id") == second / "t" / "c_id.json"
    assert (second / "t").is_dir()


# --- tracebacks ----------------------------------------------------------------

def frames_of(call) -> list[tuple[str, str]]:
    with pytest.raises(Exception) as info:
        call()
    return [(f.name, f.filename) for f in traceback.extract_tb(info.value.__traceback__)]


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_failing_call_has_a_traceback_entry(name):
    frames = frames_of(lambda: getattr(store, name)(*([None] * 20)))
    assert frames[-1] == (f"{MODULE}.{name}", SOURCE)


def test_traceback_shows_inner_calls_innermost_last(monkeypatch):
    def boom():
        raise OSError("no directory")

    frames = frames_of(lambda: store.save_simulation_result(**save_args(simulation_type=1)))
    assert frames[-2:] == [(f"{MODULE}.save_simulation_result", SOURCE),
                           (f"{MODULE}._compute_simulation_id", SOURCE)]
    monkeypatch.setattr(store, "get_simulations_dir", boom)
    frames = frames_of(lambda: store.load_simulation_result("x"))
    assert frames[-3:-1] == [(f"{MODULE}.load_simulation_result", SOURCE),
                             (f"{MODULE}._find_simulation_file", SOURCE)]
    assert frames[-1][0].endswith("boom")
