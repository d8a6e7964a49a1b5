"""Reference-leak hunt, in the manner of the interpreter's own ``-R`` runs.

Every function of the store, its sort key, its function objects and the
module's import are driven through their success paths and through each of
their error paths (every argument error, every failure of a host service,
of the codec, of the record class and of the file system). Each case is
called in a loop: a few warm-up rounds, then several measured rounds with
the debug interpreter's total reference count, its count of allocated
memory blocks and the number of open file descriptors read after each
round. A leak shows as growth in every measured round; one-off growth
(caches filling, a dictionary resizing) does not.

The record class and the JSON codec of the host (pydantic and orjson) are
compiled against the release interpreter's headers: the debug interpreter
does not count the references they take and drop, so its total drifts with
every call into them although nothing leaks. The hunt therefore rebinds the
store's record class and codec to plain-Python stand-ins, through which
every reference is counted; a further set of cases keeps the real classes
and watches memory blocks and descriptors only.

Run with ``./dev test --debug -m leakhunt``; under a release interpreter
there is no total reference count and these tests are skipped.
"""

from __future__ import annotations

import collections
import contextlib
import errno
import gc
import importlib
import json
import os
import pathlib
import subprocess
import sys
import time
import weakref
from dataclasses import dataclass
from typing import Callable

import orjson as real_orjson
import pytest

from corvina.core import simulation_storage as storage
from corvina.models import StoredSimulationResult as RealRecord

from support import reliability as support
from support.reliability import MOUNT_HELP, Mounts, hunt, leaks, mount_refused
from support.reliability import identity as real_identity
from support.reliability import save_kwargs as real_save_kwargs

pytestmark = [
    pytest.mark.leakhunt,
    pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                       reason="needs the debug interpreter: ./dev test --debug -m leakhunt"),
]

def raises(kind, fn, *args, **kwargs) -> None:
    try:
        fn(*args, **kwargs)
    except kind:
        return
    raise AssertionError(f"{fn!r} did not raise {kind.__name__}")


def returns(expected, fn, *args, **kwargs) -> None:
    value = fn(*args, **kwargs)
    assert value == expected, (value, expected)


# --- stand-ins for the host's compiled classes -----------------------------------

FIELDS = ("component_name", "factory_name", "component_settings", "model_parameters",
          "hyperparameters", "simulation_type", "simulation_id", "pdk_name", "pdk_version",
          "simulation_date", "corvina_version", "result", "wavelengths",
          "execution_time_seconds", "status", "error_message")


class StoredSimulationResult:
    """The record, in plain Python: takes the sixteen fields, refuses what
    the real one would refuse in these cases, dumps and validates."""

    def __init__(self, **fields):
        if set(fields) != set(FIELDS):
            raise ValueError(f"fields {sorted(set(fields) ^ set(FIELDS))}")
        if fields["status"] not in ("success", "error"):
            raise ValueError("status")
        if type(fields["wavelengths"]) is not list:
            raise ValueError("wavelengths")
        hyper = fields["hyperparameters"]
        if hasattr(hyper, "model_dump"):
            fields["hyperparameters"] = hyper.model_dump()
        fields["corvina_version"] = str(fields["corvina_version"])
        fields["status"] = str(fields["status"])
        self.__dict__.update(fields)

    def model_dump(self):
        return {name: getattr(self, name) for name in FIELDS}

    @classmethod
    def model_validate(cls, data):
        if type(data) is not dict:
            raise ValueError("not an object")
        return cls(**data)


class orjson:  # noqa: N801 - stands for the module of that name
    OPT_INDENT_2 = 2

    @staticmethod
    def dumps(value, option=None):
        return json.dumps(value, indent=2).encode()

    @staticmethod
    def loads(data):
        return json.loads(data)


class Hyperparameters:
    def model_dump(self):
        return {"solver": "fdtd"}


HYPERPARAMETERS = Hyperparameters()


def identity(**overrides):
    """The identity of the standard record, made without the host's classes."""
    return {"component_name": "ring", "factory_name": "ring_single",
            "component_settings": {"radius": 10.0, "gap": 0.2}, "model_parameters": {"neff": 2.4},
            "hyperparameters": HYPERPARAMETERS, "simulation_type": "sparameters", **overrides}


def save_kwargs(**overrides):
    return {**identity(), "result": {"s21": [0.25, 0.5]}, "wavelengths": [1.5, 1.55],
            "execution_time_seconds": 2.5, **overrides}


# --- the trees the cases run on ---------------------------------------------------


class OtherPath(pathlib.PosixPath):
    """A path class of its own, which the store drives through its methods."""

    __slots__ = ()


def trap_path(method: str, behaviour: str) -> type:
    """A path class failing in one method: raising at once, raising after
    yielding one entry, or answering with an object whose truth fails."""

    def fail(self, *args, **kwargs):
        if behaviour == "raises":
            raise OSError(errno.EIO, "injected", str(self))
        if behaviour == "bad truth":
            return BadTruth()
        return _one_then_raise(getattr(pathlib.PosixPath, method)(self, *args, **kwargs))

    return type(f"Trap_{method}", (pathlib.PosixPath,), {"__slots__": (), method: fail})


def _one_then_raise(iterable):
    for entry in iterable:
        yield entry
        break
    raise OSError(errno.EIO, "injected while iterating")


class BadTruth:
    def __bool__(self):
        raise ArithmeticError("no truth")


class Injected(Exception):
    pass


class InjectedExit(BaseException):
    pass


class Quiet:
    def debug(self, text):
        pass

    warning = debug


class FailingLogger:
    def debug(self, text):
        raise Injected("logger")

    warning = debug


def _raiser(kind=Injected):
    def raise_it(*args, **kwargs):
        raise kind("injected")  # a new one each time: a raised exception keeps its traceback

    return raise_it


class Env:
    """The trees of the hunt, made once (with the stand-ins bound), and the
    rebinding of module attributes for one case."""

    def __init__(self, top: pathlib.Path, mounts: Mounts):
        self.top = top
        self.good = self._tree("good")
        self.two = self._tree("two", "mmi")
        self.bad = self._tree("bad")
        (self.bad / "sparameters" / "bad_zz.json").write_bytes(b"{not json")
        self.empty = top / "empty"
        self.empty.mkdir()
        self.missing = top / "missing"
        self.file_root = top / "file_root"
        self.file_root.write_bytes(b"")
        self.type_file = top / "type_file"
        self.type_file.mkdir()
        (self.type_file / "sparameters").write_bytes(b"")
        self.target_dir = top / "target_dir"
        (self.target_dir / "sparameters" / self.file_name).mkdir(parents=True)
        self.real = top / "real"
        (self.real / "sparameters").mkdir(parents=True)
        (self.real / "sparameters" / "bad_zz.json").write_bytes(b"{not json")
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(storage, "StoredSimulationResult", RealRecord)
            patch.setattr(storage, "orjson", real_orjson)
            patch.setattr(storage, "get_simulations_dir", lambda: self.real)
            storage.save_simulation_result(**real_save_kwargs())
        self.full = self.read_only = None
        try:
            self.full = mounts.tmpfs(top / "full", size="64k")
            (self.full / "sparameters").mkdir()
            with open(self.full / "filler", "wb", buffering=0) as f:
                for size in (4096, 1):
                    with contextlib.suppress(OSError):
                        while True:
                            f.write(b"\0" * size)
            self.read_only = self._tree("read_only")
            mounts.read_only(self.read_only)
        except OSError as exc:
            if not mount_refused(exc):
                raise
        self.path_class = pathlib.Path
        self._patch = None

    @property
    def file_name(self) -> str:
        return f"ring_{storage._compute_simulation_id(**identity())}.json"

    def _tree(self, name: str, *components: str) -> pathlib.Path:
        """A store holding the standard record (and one per extra component)."""
        root = self.top / name
        (root / "sparameters").mkdir(parents=True)
        old = storage.get_simulations_dir
        storage.get_simulations_dir = lambda: root
        try:
            for component in ("ring", *components):
                storage.save_simulation_result(**save_kwargs(component_name=component))
        finally:
            storage.get_simulations_dir = old
        return root

    @property
    def record_bytes(self) -> bytes:
        return (self.good / "sparameters" / self.file_name).read_bytes()

    def root(self, path: pathlib.Path | None, path_class=None) -> None:
        cls = path_class or self.path_class
        value = cls(path)
        self.patch("get_simulations_dir", lambda: value)

    def patch(self, name: str, value) -> None:
        self._patch.setattr(storage, name, value)

    def remove(self, name: str) -> None:
        self._patch.delattr(storage, name)


# --- the cases ---------------------------------------------------------------------


@dataclass(frozen=True)
class Case:
    function: str
    path: str
    flavour: str
    make: Callable[[Env], Callable[[], None]]

    @property
    def id(self) -> str:
        return f"{self.function} | {self.path} | {self.flavour}"


CASES: list[Case] = []
BOTH = ("native", "literal")


def case(function: str, path: str, flavours=("native",)):
    def register(make):
        for flavour in flavours:
            CASES.append(Case(function, path, flavour, make))
        return make

    return register


IDENT = identity()
POS = list(IDENT.values())
ID_NAMES = list(IDENT)
RID = storage._compute_simulation_id(**IDENT)
F = storage  # short for the case bodies

# _compute_simulation_id --------------------------------------------------------------

DEEP: list = []
for _ in range(150):
    DEEP = [DEEP]

for label, change in {
    "ok: the standard identity": {},
    "ok: integer keys (the host's encoder)": {"component_settings": {2: 1, 10: 2}},
    "ok: nesting past the native writer": {"model_parameters": {"a": DEEP}},
    "ok: a big integer": {"model_parameters": {"n": 2**100}},
    "ok: non-finite and non-ASCII": {"model_parameters": {"x": float("nan"), "é": "\ud800💥"}},
}.items():
    case("_compute_simulation_id", label)(
        lambda env, c=change: lambda: F._compute_simulation_id(**identity(**c)))

case("_compute_simulation_id", "ok: by position")(
    lambda env: lambda: F._compute_simulation_id(*POS))
for label, call in {
    "argument: seven positional": lambda: F._compute_simulation_id(*POS, 1),
    "argument: five positional": lambda: F._compute_simulation_id(*POS[:5]),
    "argument: none": lambda: F._compute_simulation_id(),
    "argument: unexpected keyword": lambda: F._compute_simulation_id(*POS, bogus=1),
    "argument: multiple values": lambda: F._compute_simulation_id(*POS, component_name="x"),
    "argument: keyword not a string": lambda: F._compute_simulation_id(*POS, **{1: 2}),
    "argument: missing keyword": lambda: F._compute_simulation_id(
        **{k: v for k, v in IDENT.items() if k != "hyperparameters"}),
}.items():
    case("_compute_simulation_id", label)(lambda env, c=call: lambda: raises(TypeError, c))
for name in ("component_name", "factory_name", "component_settings", "model_parameters",
             "simulation_type"):
    case("_compute_simulation_id", f"argument: {name} of the wrong type")(
        lambda env, n=name: lambda: raises(TypeError, F._compute_simulation_id,
                                           **identity(**{n: None})))

self_dict: dict = {}
self_dict["me"] = self_dict
for label, change, kind in [
    ("host: hyperparameters dump raises", {"hyperparameters": type(
        "H", (), {"model_dump": _raiser()})()}, Injected),
    ("host: hyperparameters missing model_dump", {"hyperparameters": None}, AttributeError),
    ("host: encoder refuses a set", {"model_parameters": {"s": {1}}}, TypeError),
    ("host: encoder meets a cycle", {"model_parameters": self_dict}, ValueError),
    ("host: keys not comparable", {"component_settings": {1: 1, "a": 2}}, TypeError),
    ("host: integer past the digit limit", {"model_parameters": {"n": 10**5000}}, ValueError),
]:
    case("_compute_simulation_id", label)(
        lambda env, c=change, k=kind: lambda: raises(k, F._compute_simulation_id, **identity(**c)))


@case("_compute_simulation_id", "host: json rebound, its dumps raising")
def _(env):
    env.patch("json", type("J", (), {"dumps": staticmethod(_raiser())})())
    return lambda: raises(Injected, F._compute_simulation_id, *POS)


@case("_compute_simulation_id", "host: hashlib missing")
def _(env):
    env.remove("hashlib")
    return lambda: raises(NameError, F._compute_simulation_id, *POS)


# _get_simulation_file_path -----------------------------------------------------------


@case("_get_simulation_file_path", "ok: existing type directory", BOTH)
def _(env):
    env.root(env.good)
    return lambda: F._get_simulation_file_path("sparameters", "ring", RID)


@case("_get_simulation_file_path", "ok: new type directory", BOTH)
def _(env):
    env.root(env.good)
    new = env.good / "fresh"

    def op():
        F._get_simulation_file_path("fresh", "ring", RID)
        new.rmdir()

    return op


for label, args, kind in [
    ("argument: two positional", ("a", "b"), TypeError),
    ("argument: wrong type", ("a", None, "c"), TypeError),
    ("host: separator in the type", ("a/b", "c", RID), ValueError),
    ("host: NUL in the name", ("a", "c\0", RID), ValueError),
    ("host: parent reference as type", ("..", "c", RID), ValueError),
    ("host: empty type", ("", "c", RID), ValueError),
    ("host: the store itself as type", (".", "c", RID), ValueError),
]:
    @case("_get_simulation_file_path", label)
    def _(env, a=args, k=kind):
        env.root(env.good)
        return lambda: raises(k, F._get_simulation_file_path, *a)


@case("_get_simulation_file_path", "host: lone surrogate in the type", BOTH)
def _(env):
    env.root(env.good)
    return lambda: raises(UnicodeEncodeError, F._get_simulation_file_path, "\ud800", "c", RID)


@case("_get_simulation_file_path", "host: a file in place of the type directory", BOTH)
def _(env):
    env.root(env.type_file)
    return lambda: raises(FileExistsError, F._get_simulation_file_path, "sparameters", "c", RID)


@case("_get_simulation_file_path", "host: settings raise")
def _(env):
    env.patch("get_simulations_dir", _raiser())
    return lambda: raises(Injected, F._get_simulation_file_path, "a", "c", RID)


@case("_get_simulation_file_path", "host: the directory is not a path")
def _(env):
    env.patch("get_simulations_dir", lambda: 42)
    return lambda: raises(TypeError, F._get_simulation_file_path, "a", "c", RID)


@case("_get_simulation_file_path", "host: mkdir raises")
def _(env):
    env.root(env.good, trap_path("mkdir", "raises"))
    return lambda: raises(OSError, F._get_simulation_file_path, "new", "c", RID)


# _find_simulation_file ------------------------------------------------------------------

for label, root, sid, expect in [
    ("ok: found", "good", RID, "path"),
    ("ok: not found", "good", "0" * 16, None),
    ("ok: no simulations directory", "missing", RID, None),
    ("ok: glob characters in the ID", "good", "*", None),
    ("ok: separator in the ID", "good", "a/b", None),
    ("ok: lone surrogate in the ID", "good", "\ud800", None),
]:
    @case("_find_simulation_file", label, BOTH)
    def _(env, r=root, s=sid, e=expect):
        env.root(getattr(env, r))

        def op():
            found = F._find_simulation_file(s)
            assert (found is None) == (e is None)

        return op


for label, call in {
    "argument: none": lambda: F._find_simulation_file(),
    "argument: two": lambda: F._find_simulation_file("a", "b"),
    "argument: wrong type": lambda: F._find_simulation_file(b"a"),
    "argument: unexpected keyword": lambda: F._find_simulation_file(simulation_id="a", x=1),
}.items():
    case("_find_simulation_file", label)(lambda env, c=call: lambda: raises(TypeError, c))


@case("_find_simulation_file", "host: settings raise")
def _(env):
    env.patch("get_simulations_dir", _raiser())
    return lambda: raises(Injected, F._find_simulation_file, RID)


@case("_find_simulation_file", "host: simulations path is a file", BOTH)
def _(env):
    env.root(env.file_root)
    return lambda: raises(NotADirectoryError, F._find_simulation_file, RID)


for method, behaviour, kind in [
    ("exists", "raises", OSError), ("exists", "bad truth", ArithmeticError),
    ("iterdir", "raises", OSError), ("iterdir", "one then raise", OSError),
    ("is_dir", "raises", OSError), ("is_dir", "bad truth", ArithmeticError),
    ("glob", "raises", OSError), ("glob", "one then raise", OSError),
]:
    @case("_find_simulation_file", f"host: path {method} {behaviour}")
    def _(env, m=method, b=behaviour, k=kind):
        env.root(env.good, trap_path(m, b))
        # The lookup stops at its first match; an ID it does not find makes
        # it walk the whole listing into the error.
        sid = "0" * 16 if (m, b) == ("iterdir", "one then raise") else RID
        return lambda: raises(k, F._find_simulation_file, sid)


# save_simulation_result ---------------------------------------------------------------

SAVE = save_kwargs()


def _save(**over):
    return F.save_simulation_result(**{**SAVE, **over})


for label, over in {
    "ok: replace": {},
    "ok: defaults left out": None,
    "ok: integer time": {"execution_time_seconds": 3},
    "ok: time with an index": {"execution_time_seconds": type(
        "I", (), {"__index__": lambda self: 7})()},
    "ok: every optional given": {"status": "error", "error_message": "e", "pdk_version": "1"},
}.items():
    @case("save_simulation_result", label, BOTH)
    def _(env, o=over):
        env.root(env.good)
        if o is None:
            kwargs = {k: v for k, v in SAVE.items()}
            return lambda: F.save_simulation_result(**kwargs)
        return lambda: _save(**o)


@case("save_simulation_result", "ok: through a path's own write_bytes")
def _(env):
    class Direct(pathlib.PosixPath):
        __slots__ = ()

        def write_bytes(self, data):
            return pathlib.PosixPath.write_bytes(self, data)

    env.root(env.good, Direct)
    return lambda: _save()


for label, call, kind in [
    ("argument: positional", lambda: F.save_simulation_result(1, **SAVE), TypeError),
    ("argument: none", lambda: F.save_simulation_result(), TypeError),
    ("argument: missing result", lambda: F.save_simulation_result(
        **{k: v for k, v in SAVE.items() if k != "result"}), TypeError),
    ("argument: missing time", lambda: F.save_simulation_result(
        **{k: v for k, v in SAVE.items() if k != "execution_time_seconds"}), TypeError),
    ("argument: unexpected keyword", lambda: _save(bogus=1), TypeError),
    ("argument: keyword not a string", lambda: F.save_simulation_result(**SAVE, **{1: 1}),
     TypeError),
    ("argument: time is text", lambda: _save(execution_time_seconds="1"), TypeError),
    ("argument: time conversion raises", lambda: _save(execution_time_seconds=type(
        "R", (), {"__float__": _raiser()})()), Injected),
    ("argument: time too big", lambda: _save(execution_time_seconds=10**400), OverflowError),
    *[(f"argument: {n} of the wrong type", lambda n=n: _save(**{n: None}), TypeError)
      for n in ("component_name", "factory_name", "component_settings", "model_parameters",
                "wavelengths", "error_message", "pdk_version")],
    ("argument: type not a text", lambda: _save(simulation_type=1), TypeError),
    ("host: hyperparameters dump raises", lambda: _save(hyperparameters=type(
        "H", (), {"model_dump": _raiser()})()), Injected),
    ("host: identity encoder refuses", lambda: _save(model_parameters={"s": {1}}), TypeError),
    ("host: name refused", lambda: _save(component_name="a/b"), ValueError),
    ("host: record refuses the status", lambda: _save(status="bogus"), ValueError),
    ("host: codec refuses the result", lambda: _save(result={"s": {1}}), TypeError),
]:
    @case("save_simulation_result", label)
    def _(env, c=call, k=kind):
        env.root(env.good)
        return lambda: raises(k, c)


for label, attr, value, kind in [
    ("host: settings raise", "get_simulations_dir", _raiser(), Injected),
    ("host: PDK name raises", "get_pdk_name", _raiser(), Injected),
    ("host: clock raises", "datetime", type("D", (), {"now": staticmethod(_raiser())}), Injected),
    ("host: record dump raises", "StoredSimulationResult",
     type("R", (StoredSimulationResult,), {"model_dump": _raiser()}), Injected),
    ("host: codec rebound, dumps raising", "orjson",
     type("O", (), {"dumps": staticmethod(_raiser()), "OPT_INDENT_2": 1})(), Injected),
    ("host: logger raises", "log", _raiser(), Injected),
    ("host: logger's debug raises", "log", lambda: FailingLogger(), Injected),
]:
    @case("save_simulation_result", label)
    def _(env, a=attr, v=value, k=kind):
        if a != "get_simulations_dir":
            env.root(env.good)
        env.patch(a, v)
        return lambda: raises(k, _save)


@case("save_simulation_result", "host: codec missing")
def _(env):
    env.root(env.good)
    env.remove("orjson")
    return lambda: raises(NameError, _save)


@case("save_simulation_result", "host: file name too long", BOTH)
def _(env):
    env.root(env.good)
    return lambda: raises(OSError, _save, component_name="n" * 300)


@case("save_simulation_result", "host: a directory in place of the file", BOTH)
def _(env):
    env.root(env.target_dir)
    return lambda: raises(IsADirectoryError, _save)


@case("save_simulation_result", "host: a file in place of the type directory", BOTH)
def _(env):
    env.root(env.type_file)
    return lambda: raises(FileExistsError, _save)


@case("save_simulation_result", "host: disk full", BOTH)
def _(env):
    if env.full is None:
        pytest.skip(MOUNT_HELP)
    env.root(env.full)

    def op():
        try:
            _save(result={"pad": "x" * 20000})
        except OSError as exc:
            assert exc.errno == errno.ENOSPC
        else:
            raise AssertionError("the save fitted on a full disk")

    return op


@case("save_simulation_result", "host: read-only directory", BOTH)
def _(env):
    if env.read_only is None:
        pytest.skip(MOUNT_HELP)
    env.root(env.read_only)
    return lambda: raises(OSError, _save)


# load_simulation_result and find_simulation_result -------------------------------------

for label, root, sid, found in [
    ("ok: found", "good", RID, True),
    ("ok: not found", "good", "0" * 16, False),
    ("ok: no simulations directory", "missing", RID, False),
]:
    @case("load_simulation_result", label, BOTH)
    def _(env, r=root, s=sid, f=found):
        env.root(getattr(env, r))

        def op():
            assert (F.load_simulation_result(s) is not None) == f

        return op

    @case("find_simulation_result", label, BOTH)
    def _(env, r=root, s=sid, f=found):
        env.root(getattr(env, r))
        kwargs = IDENT if s == RID else identity(component_name="other")

        def op():
            assert (F.find_simulation_result(**kwargs) is not None) == f

        return op


@case("load_simulation_result", "ok: the lookup's path vanished (warning)", BOTH)
def _(env):
    env.root(env.good)
    gone = env.path_class(env.good / "gone_0000000000000000.json")
    env.patch("_find_simulation_file", lambda simulation_id: gone)
    return lambda: returns(None, F.load_simulation_result, RID)


for label, call in {
    "argument: none": lambda: F.load_simulation_result(),
    "argument: wrong type": lambda: F.load_simulation_result(None),
    "argument: str subclass": lambda: F.load_simulation_result(type("S", (str,), {})("a")),
    "argument: unexpected keyword": lambda: F.load_simulation_result("a", b=1),
}.items():
    case("load_simulation_result", label)(lambda env, c=call: lambda: raises(TypeError, c))

for label, call in {
    "argument: positional": lambda: F.find_simulation_result(1),
    "argument: missing hyperparameters": lambda: F.find_simulation_result(
        **{k: v for k, v in IDENT.items() if k != "hyperparameters"}),
    "argument: unexpected keyword": lambda: F.find_simulation_result(**IDENT, b=1),
    "argument: settings of the wrong type": lambda: F.find_simulation_result(
        **identity(component_settings=[])),
    "argument: type not a text": lambda: F.find_simulation_result(**identity(simulation_type=1)),
}.items():
    case("find_simulation_result", label)(lambda env, c=call: lambda: raises(TypeError, c))


@case("find_simulation_result", "host: hyperparameters dump raises")
def _(env):
    env.root(env.good)
    h = type("H", (), {"model_dump": _raiser()})()
    return lambda: raises(Injected, F.find_simulation_result, **identity(hyperparameters=h))


@case("find_simulation_result", "host: load rebound, raising")
def _(env):
    env.patch("load_simulation_result", _raiser())
    return lambda: raises(Injected, F.find_simulation_result, **IDENT)


for label, setup, kind in [
    ("host: not JSON", lambda env: env.root(env.bad), ValueError),
    ("host: record refuses the data", lambda env: env.patch(
        "StoredSimulationResult", type("R", (StoredSimulationResult,), {
            "model_validate": classmethod(_raiser())})), Injected),
    ("host: a directory in place of the file", lambda env: env.root(env.target_dir),
     IsADirectoryError),
    ("host: lookup rebound, raising", lambda env: env.patch("_find_simulation_file", _raiser()),
     Injected),
    ("host: codec missing", lambda env: env.remove("orjson"), NameError),
    ("host: record class missing", lambda env: env.remove("StoredSimulationResult"), NameError),
    ("host: settings raise", lambda env: env.patch("get_simulations_dir", _raiser()), Injected),
]:
    @case("load_simulation_result", label)
    def _(env, s=setup, k=kind):
        env.root(env.good)
        s(env)
        sid = "zz" if k is ValueError else RID
        return lambda: raises(k, F.load_simulation_result, sid)


@case("load_simulation_result", "host: the found path's exists raises")
def _(env):
    env.root(env.good, trap_path("exists", "raises"))
    env.patch("_find_simulation_file", lambda simulation_id: trap_path("exists", "raises")(
        env.good / "sparameters" / env.file_name))
    return lambda: raises(OSError, F.load_simulation_result, RID)


@case("load_simulation_result", "host: logger raises on a vanished path")
def _(env):
    env.patch("_find_simulation_file", lambda simulation_id: env.good / "gone.json")
    env.patch("log", _raiser())
    return lambda: raises(Injected, F.load_simulation_result, RID)


# _matches_filters and the sort key ------------------------------------------------------


class Rec:
    component_name = "ring"
    factory_name = "f"
    pdk_name = "p"
    status = "success"
    simulation_date = "2026"


class BadNe:
    def __ne__(self, other):
        raise Injected("compare")


class NeBadTruth:
    def __ne__(self, other):
        return BadTruth()


for label, args, expected in [
    ("ok: no filters", (object(), None, None, None, None), True),
    ("ok: all match", (Rec(), "ring", "f", "p", "success"), True),
    ("ok: component differs", (Rec(), "x", None, None, None), False),
    ("ok: factory differs", (Rec(), None, "x", None, None), False),
    ("ok: PDK differs", (Rec(), None, None, "x", None), False),
    ("ok: status differs", (Rec(), None, None, None, "x"), False),
]:
    case("_matches_filters", label)(
        lambda env, a=args, e=expected: lambda: returns(e, F._matches_filters, *a))

for label, call, kind in [
    ("argument: four", lambda: F._matches_filters(1, 2, 3, 4), TypeError),
    ("argument: filter of the wrong type", lambda: F._matches_filters(Rec(), 1, None, None, None),
     TypeError),
    ("argument: multiple values", lambda: F._matches_filters(Rec(), None, None, None, None,
                                                             result=1), TypeError),
    ("host: attribute missing", lambda: F._matches_filters(object(), "a", None, None, None),
     AttributeError),
    ("host: comparison raises", lambda: F._matches_filters(
        type("B", (), {"component_name": BadNe()})(), "a", None, None, None), Injected),
    ("host: comparison's truth raises", lambda: F._matches_filters(
        type("B", (), {"component_name": NeBadTruth()})(), "a", None, None, None),
     ArithmeticError),
]:
    case("_matches_filters", label)(lambda env, c=call, k=kind: lambda: raises(k, c))


def _sort_key():
    """The sort key that a listing makes, caught while the listing sorts."""
    caught = []

    class Spy(Rec):
        @property
        def simulation_date(self):
            for obj in gc.get_objects():
                if getattr(obj, "__qualname__", None) == \
                        "list_simulation_results.<locals>.<lambda>":
                    caught.append(obj)
                    break
            return "2026"

    class Records:
        @classmethod
        def model_validate(cls, data):
            return Spy()

    return Spy, Records, caught


@case("sort key", "ok: by position and keyword; argument: none, two, unexpected keyword")
def _(env):
    env.root(env.good)
    _spy, records, caught = _sort_key()
    env.patch("StoredSimulationResult", records)
    F.list_simulation_results()
    key = caught[0]
    del caught[:]

    def op():
        assert key(Rec()) == "2026"
        assert key(r=Rec()) == "2026"
        raises(TypeError, key)
        raises(TypeError, key, 1, 2)
        raises(TypeError, key, Rec(), r=1)
        raises(TypeError, key, x=1)
        raises(AttributeError, key, object())

    return op


# list_simulation_results ------------------------------------------------------------------


class Undated:
    component_name = "ring"
    simulation_date = property(_raiser())


class UndatedRecords:
    @classmethod
    def model_validate(cls, data):
        return Undated()


class DictDated:
    def __init__(self, data):
        self.simulation_date = data


class DictDatedRecords:
    @classmethod
    def model_validate(cls, data):
        return DictDated(data)


for label, root, filters, count in [
    ("ok: everything", "good", {}, 1),
    ("ok: every filter", "good", {"component_name": "ring", "factory_name": "ring_single",
                                  "simulation_type": "sparameters", "status": "success"}, 1),
    ("ok: filters that exclude", "good", {"component_name": "x"}, 0),
    ("ok: type directory missing", "good", {"simulation_type": "none"}, 0),
    ("ok: empty type", "good", {"simulation_type": ""}, 0),
    ("ok: no simulations directory", "missing", {}, 0),
    ("ok: a bad file (warning)", "bad", {}, 1),
    ("ok: a file in place of the type directory", "type_file", {"simulation_type": "sparameters"},
     0),
    ("ok: a directory in place of a file (warning)", "target_dir", {}, 0),
    ("ok: surrogate type", "good", {"simulation_type": "\udcff"}, 0),
]:
    @case("list_simulation_results", label, BOTH)
    def _(env, r=root, f=filters, n=count):
        env.root(getattr(env, r))

        def op():
            assert len(F.list_simulation_results(**f)) == n

        return op

for label, call in {
    "argument: positional": lambda: F.list_simulation_results(None),
    "argument: unexpected keyword": lambda: F.list_simulation_results(bogus=1),
    **{f"argument: {n} of the wrong type": (lambda n=n: F.list_simulation_results(**{n: 1}))
       for n in ("component_name", "factory_name", "simulation_type", "pdk_name", "status")},
}.items():
    case("list_simulation_results", label)(lambda env, c=call: lambda: raises(TypeError, c))

for label, setup, kind in [
    ("host: settings raise", lambda env: env.patch("get_simulations_dir", _raiser()), Injected),
    ("host: simulations path is a file", lambda env: env.root(env.file_root), NotADirectoryError),
    ("host: type leaves the directory", None, ValueError),
    ("host: filter raises (an ordinary error: warning)", lambda env: env.patch(
        "_matches_filters", _raiser()), None),
    ("host: filter raises an exit", lambda env: env.patch(
        "_matches_filters", _raiser(InjectedExit)), InjectedExit),
    ("host: validation raises an exit", lambda env: env.patch(
        "StoredSimulationResult", type("R", (StoredSimulationResult,), {
            "model_validate": classmethod(_raiser(InjectedExit))})), InjectedExit),
    ("host: logger raises on a bad file", lambda env: (env.root(env.bad), env.patch(
        "log", _raiser())), Injected),
    ("host: sort key raises", lambda env: env.patch(
        "StoredSimulationResult", UndatedRecords), Injected),
    ("host: dates not comparable", lambda env: (env.root(env.two), env.patch(
        "StoredSimulationResult", DictDatedRecords)), TypeError),
]:
    @case("list_simulation_results", label, BOTH)
    def _(env, s=setup, k=kind):
        env.root(env.good)
        if s:
            s(env)
        filters = {"simulation_type": ".."} if s is None else {}
        if k is None:
            return lambda: F.list_simulation_results(**filters)
        return lambda: raises(k, F.list_simulation_results, **filters)


for method, behaviour, kind in [
    ("exists", "raises", OSError), ("exists", "bad truth", ArithmeticError),
    ("iterdir", "raises", OSError), ("iterdir", "one then raise", OSError),
    ("is_dir", "raises", OSError), ("is_dir", "bad truth", ArithmeticError),
    ("glob", "raises", OSError), ("glob", "one then raise", OSError),
    ("read_bytes", "raises", None),
]:
    @case("list_simulation_results", f"host: path {method} {behaviour}")
    def _(env, m=method, b=behaviour, k=kind):
        env.root(env.good, trap_path(m, b))
        if k is None:  # a failed read is a bad file: warned about and skipped
            return lambda: returns([], F.list_simulation_results)
        return lambda: raises(k, F.list_simulation_results)


# query_simulation_results ------------------------------------------------------------------

# Queries that touch every kind of test: paths into objects and lists, whole
# values, dates, integers past 128 bits, regular expressions, tolerances.
QUERY_NONE = {"$or": [{"component_settings.radius": {"$gt": 2**200}},
                      {"component_settings.gap": {"$near": [0.5, 0.1, 0.0]}},
                      {"component_name": {"$regex": "^x", "$nin": ["ring", None, [1, {"a": 2}]]}},
                      {"simulation_date": {"$lt": "2000-01-01T00:00:00+01:00"}},
                      {"model_parameters": {"neff": 2.5}},
                      {"result.s21.0": {"$in": [0.5, "a"]}}],
              "$not": {"status": {"$exists": False}}}
QUERY_ONE = {"component_settings.gap": {"$gte": 0.2, "$lt": 2**200}, "model_parameters": {"neff": 2.4},
             "$not": {"simulation_date": {"$lt": "2000-01-01"}}, "component_name": {"$regex": "i"}}
SORTED = {"sort": "-component_settings.gap", "limit": 5}

for label, root, kwargs, count in [
    ("ok: everything", "good", {}, 1),
    ("ok: a query that matches, sorted and limited", "two", {"where": QUERY_ONE, **SORTED}, 2),
    ("ok: a query that matches nothing", "two", {"where": QUERY_NONE}, 0),
    ("ok: filters and a query", "two", {"where": QUERY_ONE, "component_name": "mmi"}, 1),
    ("ok: a bad file (warning)", "bad", {"where": QUERY_ONE}, 1),
    ("ok: no simulations directory", "missing", {"where": QUERY_ONE}, 0),
    ("ok: a directory in place of a file (warning)", "target_dir", {"where": QUERY_ONE}, 0),
]:
    @case("query_simulation_results", label, BOTH)
    def _(env, r=root, k=kwargs, n=count):
        env.root(getattr(env, r))
        return lambda: returns(n, lambda: len(F.query_simulation_results(**k)))


@case("query_simulation_results", "ok: the file's text queried natively, nothing decoded")
def _(env):
    # orjson's own loads makes the module read the text itself; nothing
    # matches, so the host's decoder (not reference-counted here) is never called.
    env.patch("orjson", type("Own", (), {"loads": staticmethod(real_orjson.loads)}))
    env.root(env.two)
    return lambda: returns([], F.query_simulation_results, where=QUERY_NONE, sort="component_settings.gap")


for label, call, kind in [
    ("argument: positional", lambda: F.query_simulation_results({}), TypeError),
    ("argument: where of the wrong type", lambda: F.query_simulation_results(where="x"), TypeError),
    ("argument: limit of the wrong type", lambda: F.query_simulation_results(limit=True), TypeError),
    ("argument: negative limit", lambda: F.query_simulation_results(limit=-1), ValueError),
    ("argument: unknown sort field", lambda: F.query_simulation_results(sort="-x"), ValueError),
    *[(f"argument: malformed query {n}", lambda q=q: F.query_simulation_results(where=q), ValueError)
      for n, q in enumerate([{"x": 1}, {"$or": [{"status": 1}, {"status": {"$near": [1, -1]}}]},
                             {"status": {"$regex": "("}}, {"status": {"$in": [{1: 2}]}},
                             {"simulation_date": "never"}, {"status": {"$eq": 1, "a": 2}},
                             {"status": [1, {"a": float("nan")}]}])],
    ("argument: check_query of a malformed query", lambda: F.check_query({"$not": []}), ValueError),
]:
    case("query_simulation_results", label)(lambda env, c=call, k=kind: lambda: raises(k, c))


# The result index answers these from the second call on; off, the walk does.
ROWS = ["component_settings.gap", "model_parameters", "result.s21", "result.s21.1", "result.missing"]
for label, root, call, expected in [
    ("ok: fields, sorted, from the index", "two",
     lambda: len(F.query_simulation_results(where=QUERY_ONE, fields=ROWS, **SORTED)), 2),
    ("ok: fields with an offset", "two",
     lambda: [sorted(r) for r in F.query_simulation_results(fields=["status"], offset=1)],
     [["simulation_id", "status"]]),
    ("ok: an offset past the matches", "two", lambda: F.query_simulation_results(offset=5), []),
    ("ok: records with an offset and a limit", "two",
     lambda: len(F.query_simulation_results(where=QUERY_ONE, offset=1, limit=1)), 1),
    ("ok: a bad file among fields (warning)", "bad",
     lambda: len(F.query_simulation_results(where=QUERY_ONE, fields=ROWS)), 1),
]:
    @case("query_simulation_results", label, BOTH)
    def _(env, r=root, c=call, n=expected):
        env.root(getattr(env, r))
        return lambda: returns(n, c)


# With orjson's own loads the result index answers, from the second call on.
# Only scalar fields and counts: what orjson decodes (records, nested values)
# moves the debug interpreter's reference total by itself.
SCALARS = ["component_settings.gap", "status", "simulation_date", "result.missing"]
for label, call, expected in [
    ("ok: rows from the index", lambda: len(F.query_simulation_results(fields=SCALARS, offset=1)), 1),
    ("ok: rows from the index, sorted", lambda: [r["status"] for r in F.query_simulation_results(
        where=QUERY_ONE, fields=SCALARS, sort="-component_settings.gap")], ["success", "success"]),
    ("ok: a count from the index", lambda: F.count_simulation_results(where=QUERY_ONE), 2),
]:
    @case("query_simulation_results", label)
    def _(env, c=call, n=expected):
        env.patch("orjson", type("Own", (), {"loads": staticmethod(real_orjson.loads)}))
        env.root(env.two)
        return lambda: returns(n, c)


for label, root, kwargs, expected in [
    ("ok: everything", "two", {}, 2),
    ("ok: a query and a filter", "two", {"where": QUERY_ONE, "component_name": "mmi"}, 1),
    ("ok: a bad file (warning)", "bad", {"where": QUERY_ONE}, 1),
    ("ok: no simulations directory", "missing", {}, 0),
]:
    @case("count_simulation_results", label, BOTH)
    def _(env, r=root, k=kwargs, n=expected):
        env.root(getattr(env, r))
        return lambda: returns(n, F.count_simulation_results, **k)


for label, call, kind in [
    ("argument: fields not a list", lambda: F.query_simulation_results(fields="status"), TypeError),
    ("argument: a field not a text", lambda: F.query_simulation_results(fields=["status", 1]), TypeError),
    ("argument: an unknown field", lambda: F.query_simulation_results(fields=["gap"]), ValueError),
    ("argument: negative offset", lambda: F.query_simulation_results(offset=-1), ValueError),
    ("argument: count of a malformed query", lambda: F.count_simulation_results(where={"x": 1}), ValueError),
    ("argument: count with a sort", lambda: F.count_simulation_results(sort="status"), TypeError),
]:
    case("query_simulation_results", label)(lambda env, c=call, k=kind: lambda: raises(k, c))


@case("query_simulation_results", "ok: check_query")
def _(env):
    return lambda: returns(None, F.check_query, QUERY_NONE)


for label, setup, kind in [
    ("host: settings raise", lambda env: env.patch("get_simulations_dir", _raiser()), Injected),
    ("host: decoder raises (an ordinary error: warning)", lambda env: env.patch(
        "orjson", type("O", (), {"loads": staticmethod(_raiser())})), None),
    ("host: decoder raises an exit", lambda env: env.patch(
        "orjson", type("O", (), {"loads": staticmethod(_raiser(InjectedExit))})), InjectedExit),
    ("host: filter raises an exit", lambda env: env.patch(
        "_matches_filters", _raiser(InjectedExit)), InjectedExit),
    ("host: validation raises an exit", lambda env: env.patch(
        "StoredSimulationResult", type("R", (StoredSimulationResult,), {
            "model_validate": classmethod(_raiser(InjectedExit))})), InjectedExit),
    ("host: logger raises on a bad file", lambda env: (env.root(env.bad), env.patch(
        "log", _raiser())), Injected),
    ("host: dates not comparable", lambda env: (env.root(env.two), env.patch(
        "StoredSimulationResult", DictDatedRecords)), TypeError),
]:
    @case("query_simulation_results", label, BOTH)
    def _(env, s=setup, k=kind):
        env.root(env.good)
        s(env)
        if k is None:
            return lambda: F.query_simulation_results(where=QUERY_ONE)
        return lambda: raises(k, F.query_simulation_results, where=QUERY_ONE)


# delete_simulation_result ---------------------------------------------------------------


def _restore(env, root):
    """Puts the standard record back after a deletion."""
    target = root / "sparameters" / env.file_name
    data = env.record_bytes

    def put():
        target.write_bytes(data)

    return put


@case("delete_simulation_result", "ok: found and removed", BOTH)
def _(env):
    env.root(env.empty)
    put = _restore(env, env.empty)
    (env.empty / "sparameters").mkdir(exist_ok=True)

    def op():
        put()
        assert F.delete_simulation_result(RID) is True

    return op


for label, root, sid in [
    ("ok: not found", "good", "0" * 16),
    ("ok: no simulations directory", "missing", RID),
]:
    @case("delete_simulation_result", label, BOTH)
    def _(env, r=root, s=sid):
        env.root(getattr(env, r))
        return lambda: returns(False, F.delete_simulation_result, s)

for label, call in {
    "argument: none": lambda: F.delete_simulation_result(),
    "argument: wrong type": lambda: F.delete_simulation_result(1),
    "argument: multiple values": lambda: F.delete_simulation_result("a", simulation_id="a"),
}.items():
    case("delete_simulation_result", label)(lambda env, c=call: lambda: raises(TypeError, c))


@case("delete_simulation_result", "host: a directory in place of the file", BOTH)
def _(env):
    env.root(env.target_dir)
    return lambda: raises(IsADirectoryError, F.delete_simulation_result, RID)


@case("delete_simulation_result", "host: read-only directory", BOTH)
def _(env):
    if env.read_only is None:
        pytest.skip(MOUNT_HELP)
    env.root(env.read_only)
    return lambda: raises(OSError, F.delete_simulation_result, RID)


@case("delete_simulation_result", "host: lookup rebound, raising")
def _(env):
    env.patch("_find_simulation_file", _raiser())
    return lambda: raises(Injected, F.delete_simulation_result, RID)


for method, behaviour, result in [
    ("exists", "raises", OSError), ("exists", "bad truth", ArithmeticError),
    ("unlink", "raises", OSError), ("unlink", "gone", False),
]:
    @case("delete_simulation_result", f"host: path {method} {behaviour}")
    def _(env, m=method, b=behaviour, r=result):
        env.root(env.good)
        if b == "gone":
            def unlink(self, *args):
                raise FileNotFoundError(errno.ENOENT, "gone", str(self))

            cls = type("Gone", (pathlib.PosixPath,), {"__slots__": (), "unlink": unlink})
        else:
            cls = trap_path(m, b)
        path = cls(env.good / "sparameters" / env.file_name)
        env.patch("_find_simulation_file", lambda simulation_id: path)
        if r is False:
            return lambda: returns(False, F.delete_simulation_result, RID)
        return lambda: raises(r, F.delete_simulation_result, RID)


@case("delete_simulation_result", "host: logger raises after removal")
def _(env):
    env.root(env.empty)
    put = _restore(env, env.empty)
    (env.empty / "sparameters").mkdir(exist_ok=True)
    env.patch("log", _raiser())

    def op():
        put()
        raises(Injected, F.delete_simulation_result, RID)

    return op


# clear_simulation_results -----------------------------------------------------------------


@case("clear_simulation_results", "ok: two removed", BOTH)
def _(env):
    env.root(env.empty)
    (env.empty / "sparameters").mkdir(exist_ok=True)
    put = _restore(env, env.empty)
    other = dict(save_kwargs(component_name="mmi"))
    env_root = env.empty

    def op():
        put()
        F.save_simulation_result(**other)
        assert F.clear_simulation_results(simulation_type="sparameters") == 2
        assert os.listdir(env_root / "sparameters") == []

    return op


for label, root, filters in [
    ("ok: nothing listed", "good", {"component_name": "x"}),
    ("ok: no simulations directory", "missing", {}),
    ("ok: only a bad file", "bad", {"factory_name": "none"}),
]:
    @case("clear_simulation_results", label, BOTH)
    def _(env, r=root, f=filters):
        env.root(getattr(env, r))
        return lambda: returns(0, F.clear_simulation_results, **f)

for label, call, kind in [
    ("argument: positional", lambda: F.clear_simulation_results(None), TypeError),
    ("argument: status", lambda: F.clear_simulation_results(status="success"), TypeError),
    ("argument: wrong type", lambda: F.clear_simulation_results(pdk_name=b"x"), TypeError),
    ("host: type leaves the directory", lambda: F.clear_simulation_results(simulation_type=".."),
     ValueError),
]:
    case("clear_simulation_results", label)(lambda env, c=call, k=kind: lambda: raises(k, c))


class NoId:
    pass


for label, attr, value, kind in [
    ("host: listing raises", "list_simulation_results", _raiser(), Injected),
    ("host: a listed record without an ID", "list_simulation_results",
     lambda **kw: [NoId()], AttributeError),
    ("host: listing's truth raises", "list_simulation_results", lambda **kw: BadTruth(),
     ArithmeticError),
    ("host: listing not iterable", "list_simulation_results",
     lambda **kw: type("T", (), {"__bool__": lambda s: True})(), TypeError),
    ("host: deletion raises", "delete_simulation_result", _raiser(), Injected),
    ("host: deletion's truth raises", "delete_simulation_result", lambda sid: BadTruth(),
     ArithmeticError),
    ("host: logger raises at the end", "log", lambda: FailingLogger(), Injected),
]:
    @case("clear_simulation_results", label)
    def _(env, a=attr, v=value, k=kind):
        env.root(env.good)
        env.patch(a, v)
        if a == "log":  # nothing may be removed: a deletion that reports False
            env.patch("delete_simulation_result", lambda sid: False)
        return lambda: raises(k, F.clear_simulation_results)


# function objects and the module ---------------------------------------------------------


@case("function objects", "ok: attributes, descriptors, weak references")
def _(env):
    functions = [getattr(F, n) for n in (
        "_compute_simulation_id", "_get_simulation_file_path", "_find_simulation_file",
        "save_simulation_result", "load_simulation_result", "find_simulation_result",
        "_matches_filters", "list_simulation_results", "delete_simulation_result",
        "clear_simulation_results")]

    class Holder:
        method = F.load_simulation_result

    def op():
        for fn in functions:
            for name in ("__name__", "__qualname__", "__module__", "__doc__", "__kwdefaults__",
                         "__defaults__", "__annotations__", "__dict__"):
                getattr(fn, name)
            repr(fn)
            fn.__reduce__()
            ref = weakref.ref(fn)
            assert ref() is fn
            fn.__dict__["note"] = [1]
            del fn.__dict__["note"]
        assert Holder().method is F.load_simulation_result
        F._matches_filters.__signature__  # noqa: B018
        raises(AttributeError, getattr, F.save_simulation_result, "no_such_attribute")

    return op


@case("module", "ok: reload")
def _(env):
    return lambda: importlib.reload(F)


@case("module", "ok: import again after removal")
def _(env):
    name = "corvina.core.simulation_storage"

    def op():
        module = sys.modules.pop(name)
        assert importlib.import_module(name) is module

    return op


# The interpreter's import machinery keeps one memory block for every import
# whose create step hands back an existing module object (a twenty-line C
# module doing only that shows the same), so that case is measured by
# references and descriptors alone.
IGNORED = {("module", "ok: import again after removal"): "blocks"}


# the same with the host's real record class and codec (blocks and descriptors only) --

REAL_SAVE = real_save_kwargs()
REAL_ID = storage._compute_simulation_id(**real_identity())


def _real(env, root):
    env.patch("StoredSimulationResult", RealRecord)
    env.patch("orjson", real_orjson)
    env.root(root)


REAL = ("real classes",)
for function, label, make in [
    ("save_simulation_result", "ok: save",
     lambda env: lambda: F.save_simulation_result(**REAL_SAVE)),
    ("load_simulation_result", "ok: load", lambda env: lambda: F.load_simulation_result(REAL_ID)),
    ("find_simulation_result", "ok: find",
     lambda env: lambda: F.find_simulation_result(**real_identity())),
    ("list_simulation_results", "ok: list with a bad file (warning)",
     lambda env: lambda: F.list_simulation_results()),
    ("query_simulation_results", "ok: query, the text read natively, with a bad file (warning)",
     lambda env: lambda: F.query_simulation_results(where=QUERY_ONE)),
    ("query_simulation_results", "ok: query that matches nothing, with a bad file (warning)",
     lambda env: lambda: F.query_simulation_results(where=QUERY_NONE)),
    ("save_simulation_result", "host: codec refuses the result", lambda env: lambda: raises(
        TypeError, F.save_simulation_result, **{**REAL_SAVE, "result": {"s": {1}}})),
    ("save_simulation_result", "host: codec refuses a lone surrogate", lambda env: lambda: raises(
        TypeError, F.save_simulation_result, **{**REAL_SAVE, "error_message": "\ud800"})),
    ("save_simulation_result", "host: record refuses the status", lambda env: lambda: raises(
        ValueError, F.save_simulation_result, **{**REAL_SAVE, "status": "bogus"})),
    ("load_simulation_result", "host: not JSON",
     lambda env: lambda: raises(ValueError, F.load_simulation_result, "zz")),
    ("load_simulation_result", "host: the record refuses the file", lambda env: (
        env.patch("StoredSimulationResult", type("Refusing", (RealRecord,), {
            "model_validate": classmethod(_raiser())})),
        lambda: raises(Injected, F.load_simulation_result, REAL_ID))[1]),
]:
    @case(function, label, REAL)
    def _(env, m=make):
        _real(env, env.real)
        return m(env)


# get_or_compute_simulation_result ------------------------------------------------------

OUTCOME = {"result": {"s21": [0.25, 0.5]}, "wavelengths": [1.5, 1.55]}


class OutcomeObject:
    result = OUTCOME["result"]
    wavelengths = OUTCOME["wavelengths"]
    execution_time_seconds = 1.0


def _computed_then_removed(env, root, **call):
    """A miss every round: the saved result (and nothing else) is removed after."""
    target = root / "sparameters" / env.file_name

    def op():
        F.get_or_compute_simulation_result(**identity(), **call)
        target.unlink()

    return op


CLAIM_NAME = f".ring_{RID}.0.claim"


def _claim_text(lease: float) -> bytes:
    return json.dumps({"simulation_id": RID, "owner": "x", "host": "h", "pid": 1,
                       "started": "s", "lease_seconds": lease, "heartbeat": "s"}).encode()


@case("get_or_compute_simulation_result", "ok: hit", BOTH)
def _(env):
    env.root(env.good)
    return lambda: F.get_or_compute_simulation_result(
        **identity(), compute=_raiser(AssertionError))


for label, call in {
    "ok: miss, computed and saved": {"compute": lambda: OUTCOME},
    "ok: miss, an outcome object": {"compute": OutcomeObject},
}.items():
    @case("get_or_compute_simulation_result", label, BOTH)
    def _(env, c=call):
        env.root(env.empty)
        return _computed_then_removed(env, env.empty, **c)


@case("get_or_compute_simulation_result", "ok: compute fails, the failure kept", BOTH)
def _(env):
    env.root(env.empty)
    target = env.empty / "sparameters" / env.file_name

    def op():
        raises(Injected, F.get_or_compute_simulation_result, **identity(),
               compute=_raiser(), store_errors=True)
        target.unlink()

    return op


@case("get_or_compute_simulation_result", "ok: a stale claim taken over", BOTH)
def _(env):
    env.root(env.empty)
    (env.empty / "sparameters").mkdir(exist_ok=True)
    claim = env.empty / "sparameters" / CLAIM_NAME
    run = _computed_then_removed(env, env.empty, compute=lambda: OUTCOME)

    def op():
        claim.write_bytes(_claim_text(1e-6))
        run()

    return op


@case("get_or_compute_simulation_result", "ok: miss on a memory store")
def _(env):
    upath = pytest.importorskip("upath")
    root = upath.UPath("memory://leakhunt/simulations")
    env.patch("get_simulations_dir", lambda: root)
    target = root / "sparameters" / env.file_name

    def op():
        F.get_or_compute_simulation_result(**identity(), compute=lambda: OUTCOME)
        target.unlink()

    return op


for label, call, kind in [
    ("argument: compute not callable", {"compute": 1}, TypeError),
    ("argument: lease not positive", {"compute": dict, "lease": -1.0}, ValueError),
    ("argument: lease not a number", {"compute": dict, "lease": "x"}, TypeError),
    ("argument: wait negative", {"compute": dict, "wait": -1.0}, ValueError),
    ("host: compute raises", {"compute": _raiser()}, Injected),
    ("host: compute interrupted", {"compute": _raiser(InjectedExit)}, InjectedExit),
    ("host: an unknown outcome field", {"compute": lambda: {**OUTCOME, "x": 1}}, TypeError),
    ("host: an outcome without wavelengths", {"compute": lambda: {"result": {}}}, TypeError),
    ("host: save refuses the outcome", {"compute": lambda: {**OUTCOME, "wavelengths": 1}},
     TypeError),
]:
    @case("get_or_compute_simulation_result", label, BOTH)
    def _(env, c=call, k=kind):
        env.root(env.empty)
        return lambda: raises(k, F.get_or_compute_simulation_result, **identity(), **c)


@case("get_or_compute_simulation_result", "host: a live claim outwaited", BOTH)
def _(env):
    # A store of its own: the claim stays there.
    root = env.top / "claimed"
    (root / "sparameters").mkdir(parents=True, exist_ok=True)
    (root / "sparameters" / CLAIM_NAME).write_bytes(_claim_text(60.0))
    env.root(root)

    def op():
        raises(TimeoutError, F.get_or_compute_simulation_result, **identity(),
               compute=_raiser(AssertionError), wait=0.0)

    return op


@case("get_or_compute_simulation_result", "ok: a damaged result file computed again", BOTH)
def _(env):
    env.root(env.empty)
    (env.empty / "sparameters").mkdir(exist_ok=True)
    target = env.empty / "sparameters" / env.file_name
    env.patch("log", lambda: type("Quiet", (), {"warning": staticmethod(lambda text: None),
                                                "debug": staticmethod(lambda text: None)})())

    def op():
        target.write_bytes(b"{cut sh")
        F.get_or_compute_simulation_result(**identity(), compute=lambda: OUTCOME)
        target.unlink()

    return op


def _this_machine_claim(pid: int) -> bytes:
    with open("/proc/sys/kernel/random/boot_id") as f:
        boot_id = f.read().strip()
    return json.dumps({"simulation_id": RID, "owner": "x", "host": os.uname().nodename,
                       "pid": pid, "boot_id": boot_id,
                       "pid_namespace": os.readlink("/proc/self/ns/pid"), "started": "s",
                       "lease_seconds": 60.0, "heartbeat": "s"}).encode()


@case("get_or_compute_simulation_result", "ok: a dead local holder taken over", BOTH)
def _(env):
    env.root(env.empty)
    (env.empty / "sparameters").mkdir(exist_ok=True)
    claim = env.empty / "sparameters" / CLAIM_NAME
    dead = subprocess.Popen(["true"])
    dead.wait()
    run = _computed_then_removed(env, env.empty, compute=lambda: OUTCOME)

    def op():
        claim.write_bytes(_this_machine_claim(dead.pid))
        run()

    return op


for label, successor in [("ok: a late holder's failure kept", False),
                         ("host: a late holder's failure not saved over a successor", True)]:
    @case("get_or_compute_simulation_result", label, BOTH)
    def _(env, successor=successor):
        # A lease so short that the heartbeats come late: the holder looks
        # before it saves its failure.
        env.root(env.empty)
        target = env.empty / "sparameters" / env.file_name
        above = env.empty / "sparameters" / f".ring_{RID}.1.claim"

        def compute():
            time.sleep(0.02)
            if successor:
                above.write_bytes(b"{}")
            raise Injected

        def op():
            raises(Injected, F.get_or_compute_simulation_result, **identity(), compute=compute,
                   store_errors=True, lease=0.002)
            target.unlink(missing_ok=True)
            for claim in (env.empty / "sparameters").glob(".*.claim"):
                claim.unlink()  # the holder leaves its own beside a successor's

        return op


# the sweep helper's steps ----------------------------------------------------------------


@case("_claim_unless_held", "ok: miss, computed and saved", BOTH)
def _(env):
    env.root(env.empty)
    target = env.empty / "sparameters" / env.file_name

    def op():
        assert F._claim_unless_held(**identity(), compute=lambda: OUTCOME) is not None
        target.unlink()

    return op


@case("_claim_unless_held", "ok: held by another worker", BOTH)
def _(env):
    root = env.top / "claimed"
    (root / "sparameters").mkdir(parents=True, exist_ok=True)
    (root / "sparameters" / CLAIM_NAME).write_bytes(_claim_text(60.0))
    env.root(root)
    return lambda: F._claim_unless_held(**identity(), compute=_raiser(AssertionError))


@case("_claim_unless_held", "host: compute raises", BOTH)
def _(env):
    env.root(env.empty)
    return lambda: raises(Injected, F._claim_unless_held, **identity(), compute=_raiser())


@case("_lookup_sweep", "ok: a store one listing does not serve", BOTH)
def _(env):
    env.root(env.good)
    return lambda: F._lookup_sweep([("sparameters", "ring", RID)])


@case("_lookup_sweep", "argument: not a list", BOTH)
def _(env):
    env.root(env.good)
    return lambda: raises(TypeError, F._lookup_sweep, ("sparameters", "ring", RID))


# the command line's helpers -------------------------------------------------------------


@case("_temporary_name", "ok: a name cut inside a character")
def _(env):
    return lambda: F._temporary_name("é" * 150 + ".json")


@case("_temporary_name", "argument: not a str")
def _(env):
    return lambda: raises(TypeError, F._temporary_name, b"ring.json")


@case("_write_atomically", "ok: a file replaced")
def _(env):
    target = env.top / "written.json"
    return lambda: F._write_atomically(target, b"{}")


@case("_write_atomically", "host: the directory is gone")
def _(env):
    target = env.top / "no such directory" / "written.json"
    return lambda: raises(FileNotFoundError, F._write_atomically, target, b"{}")


@case("_write_atomically", "argument: data not bytes")
def _(env):
    return lambda: raises(TypeError, F._write_atomically, env.top / "written.json", "{}")


@case("_parse_file_name", "ok: a result, a claim, a temporary file and none")
def _(env):
    names = [f"ring_{RID}.json", f".ring_{RID}.12.claim", f".ring_{RID}.json.{RID}.tmp", "ring.json",
             f".ring_{RID}.{'9' * 40}.claim"]
    return lambda: [F._parse_file_name(n) for n in names]


@case("_parse_file_name", "argument: not a str")
def _(env):
    return lambda: raises(TypeError, F._parse_file_name, b"ring.json")


@case("_claim_file_name", "ok: a short and a long stem")
def _(env):
    return lambda: (F._claim_file_name("ring", RID, 3), F._claim_file_name("é" * 150, RID, 0))


@case("_claim_file_name", "argument: a generation that is not one")
def _(env):
    return lambda: (raises(TypeError, F._claim_file_name, "ring", RID, "0"),
                    raises(ValueError, F._claim_file_name, "ring", RID, -1),
                    raises(OverflowError, F._claim_file_name, "ring", RID, 10**30))


# --- running ------------------------------------------------------------------------


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    mounts = Mounts()
    patch = pytest.MonkeyPatch()
    patch.setattr(storage, "log", lambda: Quiet())
    patch.setattr(storage, "StoredSimulationResult", StoredSimulationResult)
    patch.setattr(storage, "orjson", orjson)
    environment = Env(tmp_path_factory.mktemp("leakhunt"), mounts)
    yield environment
    patch.undo()
    mounts.undo_all()


@pytest.fixture(scope="module")
def coverage(figures):
    seen: dict[str, collections.Counter] = collections.defaultdict(collections.Counter)
    yield seen
    if seen:
        total = sum(sum(c.values()) for c in seen.values())
        figures(f"leak hunt: {total} cases (function x path x kind of path object) over "
                f"{len(seen)} functions and objects without growth, {support.WARMUPS} "
                f"warm-up and {support.ROUNDS} measured rounds of {support.CALLS} calls each; "
                f"cases by function (success/argument error/host error): " + "; ".join(
                    f"{fn} {c['ok']}/{c['argument']}/{c['host']}" for fn, c in seen.items()))


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_no_leak(case, env, coverage):
    with pytest.MonkeyPatch.context() as patch:
        env._patch = patch
        env.path_class = OtherPath if case.flavour == "literal" else pathlib.Path
        op = case.make(env)
        op()  # the case does what it claims before it is measured
        # Everything alive now is left out of the collections that follow,
        # which keeps them short.
        gc.freeze()
        try:
            deltas = hunt(op)
        finally:
            gc.unfreeze()
    if case.flavour == "real classes":
        del deltas["references"]
    deltas.pop(IGNORED.get((case.function, case.path)), None)
    found = leaks(deltas)
    assert not found, f"{case.id}: growth in every round: {found}"
    coverage[case.function][case.path.split(":")[0]] += 1


def _pure_python_work():
    try:
        json.loads(json.dumps({"a": [1.5, "x"]}) + "}")
    except ValueError:
        pass


@pytest.mark.parametrize("op", [lambda: None, _pure_python_work], ids=["nothing", "work"])
def test_the_instrument_sees_no_growth_where_there_is_none(op):
    gc.freeze()
    try:
        deltas = hunt(op)
    finally:
        gc.unfreeze()
    assert leaks(deltas) == {}, deltas


def test_the_instrument_sees_a_leak():
    kept = []
    deltas = hunt(lambda: kept.append(object()))
    assert set(leaks(deltas)) == {"references", "blocks"}, deltas
