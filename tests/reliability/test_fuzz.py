"""Random calls of the store's ten functions, in random order, against one store.

Arguments are drawn from right and wrong types alike: subclasses, None,
huge and self-containing containers, texts with NUL, lone surrogates, path
separators, glob characters and names past the file system's limit, and
calls of the wrong shape. Every call must return what its function
documents or raise an ordinary exception (never SystemError, which means the
module broke the interpreter's calling rules); results that were saved must
read back as written; and nothing outside the simulations directory may
change.
"""

from __future__ import annotations

import collections
import math
import os
import pathlib
import re
import shutil
from decimal import Decimal
from fractions import Fraction

import orjson
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters, SimulationStatus, StoredSimulationResult

from support.reliability import save_kwargs, snapshot, temp_files

# --- argument material ---------------------------------------------------------


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class OtherPath(pathlib.PosixPath):
    """A path class of its own: the store must go through its methods."""

    __slots__ = ()


class RaisingDump:
    def model_dump(self):
        raise RuntimeError("dump refused")


class OddDump:
    def __init__(self, value):
        self.value = value

    def model_dump(self):
        return self.value


class RaisingFloat:
    def __float__(self):
        raise ArithmeticError("no float")


class IndexOnly:
    def __index__(self):
        return 7


class RaisingAttributes:
    def __getattr__(self, name):
        raise LookupError(name)


class RaisingCompare:
    def __ne__(self, other):
        raise ArithmeticError("no comparison")

    __eq__ = __ne__
    __hash__ = object.__hash__


class Attributes:
    def __init__(self, value):
        self.component_name = self.factory_name = self.pdk_name = self.status = value


SELF_DICT: dict = {"a": 1}
SELF_DICT["self"] = SELF_DICT
SELF_LIST: list = [1.0]
SELF_LIST.append(SELF_LIST)
DEEP_LIST: list = []
for _ in range(5000):
    DEEP_LIST = [DEEP_LIST]
HUGE_DICT = {f"key{i}": i * 0.5 for i in range(20_000)}
HUGE_LIST = [i * 1e-3 for i in range(100_000)]
SHARED = (SELF_DICT, SELF_LIST, HUGE_DICT, HUGE_LIST)

ODD_TEXTS = [
    "", ".", "..", "...", "/", "a/b", "/etc", "../x", "\\", "a\\b", "\0", "a\0b", "*", "?", "[",
    "]", "[!a]", "[a-z]", "**", "*.json", "_", "__", "a_b", ".hidden", "~", "$HOME", " ", "\t",
    "\n", "é", "\u00d8", "\u2028", "\U0001f4a5", "\ud800", "\udcff", "a\udc80b", "x" * 233,
    "x" * 255, "x" * 256, "é" * 128, "\U0001f4a5" * 64, "y" * 5000,
]
name_chars = st.sampled_from(list("ab_.-*?[]!/\\\0 é") + ["\ud800", "\udcff", "\U0001f4a5"])
texts = st.one_of(
    st.sampled_from(ODD_TEXTS),
    st.text(name_chars, max_size=6),
    st.text("ab_", max_size=3),
    st.text(max_size=10),
)
not_texts = st.one_of(
    st.none(), st.integers(), st.binary(max_size=3), st.builds(StrSub, st.text(max_size=3)),
    st.just(SimulationStatus.SUCCESS), st.lists(st.text(max_size=2), max_size=2),
    st.just(object()),
)

json_leaves = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**63 - 1),
                        st.floats(), st.text(max_size=6))
json_values = st.recursive(
    json_leaves,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner,
                                                                  max_size=3),
    max_leaves=10,
)
odd_values = st.sampled_from([
    {1, 2}, frozenset(), b"raw", bytearray(b"x"), 2**70, -(2**64), float("nan"), float("inf"),
    complex(1, 2), SELF_DICT, SELF_LIST, DEEP_LIST, HUGE_DICT, HUGE_LIST, (1, 2), range(3),
    Decimal("1.5"), object(), RaisingCompare(), {1: "a", "b": 2}, {(1, 2): 3}, {"k": {1}},
])
any_values = st.one_of(json_values, odd_values)

dicts = st.one_of(
    st.dictionaries(st.text("abc", max_size=3), json_values, max_size=4),
    st.dictionaries(st.text(max_size=4), any_values, max_size=3),
    st.sampled_from([SELF_DICT, HUGE_DICT, {1: "a"}, {1: "a", "b": 2}, {None: 1}]),
)
not_dicts = st.one_of(
    st.none(), st.builds(DictSub), st.builds(collections.OrderedDict),
    st.just(collections.defaultdict(int)), st.lists(st.integers(), max_size=2), st.text(max_size=2),
)
lists = st.one_of(
    st.lists(st.floats(allow_nan=False, allow_infinity=False), max_size=5),
    st.lists(st.floats(), max_size=3),
    st.lists(any_values, max_size=3),
    st.sampled_from([HUGE_LIST, SELF_LIST]),
)
not_lists = st.one_of(st.none(), st.tuples(st.floats()), st.builds(ListSub),
                      st.text(max_size=2), st.just(range(3)))
hyperparameters = st.one_of(
    st.just(SimulationHyperparameters()),
    st.builds(SimulationHyperparameters, mesh_resolution=st.integers(1, 50),
              solver=st.text(max_size=4)),
    st.builds(OddDump, any_values),
    st.just(RaisingDump()),
    st.none(),
    st.just({"mesh_resolution": 3}),
)
seconds = st.one_of(
    st.floats(), st.integers(), st.booleans(), st.just(10**400), st.just("1.5"), st.none(),
    st.just(Decimal("2.5")), st.just(Fraction(1, 3)), st.just(RaisingFloat()),
    st.just(IndexOnly()),
)
statuses = st.one_of(st.sampled_from(["success", "error", SimulationStatus.ERROR]), texts,
                     st.none(), st.integers())
hex_ids = st.text("0123456789abcdef", min_size=16, max_size=16)


def sometimes_wrong(right, wrong):
    """Mostly the right kind of value, so that calls get past the checks and
    reach the file system; now and then anything else."""
    return st.integers(0, 11).flatmap(lambda n: wrong if n == 0 else right)


str_args = sometimes_wrong(texts, not_texts)
optional_str_args = st.one_of(st.none(), st.none(), str_args)
# The fields of a save, each usually well formed.
good_names = st.text("abc_", min_size=1, max_size=3)
fields = {
    "component_name": sometimes_wrong(good_names, st.one_of(texts, not_texts)),
    "factory_name": sometimes_wrong(st.text(max_size=4), st.one_of(texts, not_texts)),
    "component_settings": sometimes_wrong(
        st.dictionaries(st.text("abc", max_size=3), json_values, max_size=4),
        st.one_of(dicts, not_dicts)),
    "model_parameters": sometimes_wrong(
        st.dictionaries(st.text("xyz", max_size=2), json_leaves, max_size=2),
        st.one_of(dicts, not_dicts)),
    "hyperparameters": sometimes_wrong(st.one_of(
        st.just(SimulationHyperparameters()),
        st.builds(SimulationHyperparameters, mesh_resolution=st.integers(1, 50))),
        hyperparameters),
    "simulation_type": sometimes_wrong(st.sampled_from(["sparameters", "modes", "a", "b_c"]),
                                       st.one_of(texts, not_texts)),
    "result": sometimes_wrong(
        st.dictionaries(st.text(max_size=4), json_values, max_size=4),
        st.one_of(dicts, any_values)),
    "wavelengths": sometimes_wrong(
        st.lists(st.floats(allow_nan=False, allow_infinity=False), max_size=5),
        st.one_of(lists, not_lists)),
    "execution_time_seconds": sometimes_wrong(
        st.one_of(st.floats(allow_nan=False, allow_infinity=False), st.integers(-9, 9)),
        seconds),
    "status": sometimes_wrong(st.sampled_from(["success", "error", SimulationStatus.ERROR]),
                              statuses),
    "error_message": sometimes_wrong(st.text(max_size=5), st.one_of(texts, not_texts)),
    "pdk_version": sometimes_wrong(st.text(max_size=5), st.one_of(texts, not_texts)),
}
usable_names = fields["component_name"]

PARAMETERS = {
    "_compute_simulation_id": ("component_name", "factory_name", "component_settings",
                               "model_parameters", "hyperparameters", "simulation_type"),
    "_get_simulation_file_path": ("simulation_type", "component_name", "simulation_id"),
    "_find_simulation_file": ("simulation_id",),
    "load_simulation_result": ("simulation_id",),
    "delete_simulation_result": ("simulation_id",),
    "_matches_filters": ("result", "component_name", "factory_name", "pdk_name", "status"),
}

REQUIRED = {
    "save_simulation_result": ("component_name", "factory_name", "component_settings",
                               "model_parameters", "hyperparameters", "simulation_type",
                               "result", "wavelengths", "execution_time_seconds"),
    "find_simulation_result": PARAMETERS["_compute_simulation_id"],
}

SHAPES = ["as declared"] * 25 + ["extra positional", "unknown keyword", "missing argument",
                                 "keyword not a string", "duplicate"]


# --- the machine -------------------------------------------------------------------


class Tally:
    def __init__(self):
        self.examples = 0
        self.calls = collections.Counter()
        self.raised = collections.Counter()
        self.returned = collections.Counter()
        self.read_back = 0  # saved records checked against what was written


def machine_for(top: pathlib.Path, sims: pathlib.Path, tally: Tally):
    class StoreMachine(RuleBasedStateMachine):
        def __init__(self):
            super().__init__()
            shutil.rmtree(sims, ignore_errors=True)
            sims.mkdir()
            self.outside = snapshot(top, skip=sims, dir_times=True)
            self.saved: dict[str, bytes] = {}  # ID -> the record's encoded dump
            self.identities: list[dict] = []
            self.known_ids: list[str] = []
            tally.examples += 1

        # -- calling --

        def call(self, data, name, args=(), kwargs=None):
            """Calls `name`, sometimes in a wrong shape; (True, value) when a
            call of the declared shape returned, else (False, exception)."""
            args, kwargs = list(args), dict(kwargs or {})
            shape = data.draw(st.sampled_from(SHAPES), label="shape")
            required = [k for k in REQUIRED.get(name, ()) if k in kwargs]
            if shape == "extra positional":
                args.append(None)
            elif shape == "unknown keyword":
                kwargs["no_such_parameter"] = 1
            elif shape == "keyword not a string":
                kwargs[1] = 2
            elif shape == "missing argument" and (required or args):
                if required:
                    del kwargs[data.draw(st.sampled_from(required), label="dropped")]
                else:
                    args.pop()
            elif shape == "duplicate" and name in PARAMETERS and args:
                kwargs[PARAMETERS[name][0]] = args[0]
            else:
                shape = "as declared"
            tally.calls[name] += 1
            try:
                value = getattr(storage, name)(*args, **kwargs)
            except SystemError as exc:
                raise AssertionError(f"{name} broke the calling rules") from exc
            except Exception as exc:
                tally.raised[type(exc).__name__] += 1
                if shape != "as declared":
                    assert isinstance(exc, TypeError), f"{name}, {shape}: {exc!r}"
                return False, exc
            assert shape == "as declared", f"{name} accepted a call with {shape}"
            tally.returned[name] += 1
            return True, value

        def inside(self, path) -> bool:
            return os.path.normpath(path).startswith(str(sims) + os.sep)

        def check_record(self, record, simulation_id=None):
            assert type(record) is StoredSimulationResult
            encoded = orjson.dumps(record.model_dump())
            if simulation_id is not None:
                # The lookup matches the tail "_<ID>.json" of a file name.
                assert simulation_id.endswith(record.simulation_id)
            expected = self.saved.get(record.simulation_id)
            if expected is not None:
                assert encoded == expected
                tally.read_back += 1

        def identity(self, data):
            if self.identities and data.draw(st.booleans(), label="reuse identity"):
                return dict(data.draw(st.sampled_from(self.identities)))
            return {k: data.draw(fields[k], label=k) for k in PARAMETERS["_compute_simulation_id"]}

        # -- the ten functions --

        @rule(data=st.data())
        def save(self, data):
            kwargs = self.identity(data)
            for name in ("result", "wavelengths", "execution_time_seconds"):
                kwargs[name] = data.draw(fields[name], label=name)
            for name in ("status", "error_message", "pdk_version"):
                if data.draw(st.booleans()):
                    kwargs[name] = data.draw(fields[name], label=name)
            declared, value = self.call(data, "save_simulation_result", (), kwargs)
            if not declared:
                return
            assert type(value) is StoredSimulationResult
            identity = {k: kwargs[k] for k in PARAMETERS["_compute_simulation_id"]}
            assert value.simulation_id == storage._compute_simulation_id(**identity)
            self.identities.append(identity)
            self.known_ids.append(value.simulation_id)
            if kwargs["simulation_type"] in ("", "."):
                return  # lies beside the type directories, out of the lookup's reach
            finite = all(math.isfinite(x) for x in [value.execution_time_seconds,
                                                    *value.wavelengths])
            if finite:
                self.saved[value.simulation_id] = orjson.dumps(value.model_dump())
                self.check_record(storage.load_simulation_result(value.simulation_id),
                                  value.simulation_id)
            else:
                # The codec writes non-finite numbers as null, which the record
                # then refuses: the file exists but does not load.
                self.saved.pop(value.simulation_id, None)

        def an_id(self, data):
            known = st.sampled_from(self.known_ids) if self.known_ids else st.nothing()
            return data.draw(st.one_of(known, known, hex_ids, str_args), label="id")

        @rule(data=st.data())
        def load(self, data):
            simulation_id = self.an_id(data)
            declared, value = self.call(data, "load_simulation_result", (simulation_id,))
            if declared and value is not None:
                self.check_record(value, simulation_id)
            if declared and simulation_id in self.saved:
                assert value is not None

        @rule(data=st.data())
        def find(self, data):
            kwargs = self.identity(data)
            declared, value = self.call(data, "find_simulation_result", (), kwargs)
            if declared and value is not None:
                self.check_record(value)

        @rule(data=st.data())
        def list_results(self, data):
            filters = {k: data.draw(optional_str_args, label=k) for k in
                       ("component_name", "factory_name", "simulation_type", "pdk_name", "status")}
            declared, value = self.call(data, "list_simulation_results", (), filters)
            if not declared:
                return
            assert type(value) is list
            for record in value:
                self.check_record(record)
                for k in ("component_name", "factory_name", "pdk_name", "status"):
                    assert filters[k] is None or getattr(record, k) == filters[k]
            dates = [r.simulation_date for r in value]
            assert dates == sorted(dates, reverse=True)
            if all(v is None for v in filters.values()):
                assert set(self.saved) <= {r.simulation_id for r in value}

        @rule(data=st.data())
        def delete(self, data):
            simulation_id = self.an_id(data)
            declared, value = self.call(data, "delete_simulation_result", (simulation_id,))
            if declared:
                assert type(value) is bool
                if simulation_id in self.saved:
                    assert value is True
                    del self.saved[simulation_id]
                    assert storage._find_simulation_file(simulation_id) is None

        @rule(data=st.data())
        def clear(self, data):
            filters = {k: data.draw(optional_str_args, label=k) for k in
                       ("component_name", "factory_name", "simulation_type", "pdk_name")}
            declared, value = self.call(data, "clear_simulation_results", (), filters)
            if not declared:
                return
            assert type(value) is int and value >= 0
            self.saved.clear()
            if all(v is None for v in filters.values()):
                assert storage.list_simulation_results() == []

        @rule(data=st.data())
        def compute_id(self, data):
            identity = self.identity(data)
            args = [identity[k] for k in PARAMETERS["_compute_simulation_id"]]
            declared, value = self.call(data, "_compute_simulation_id", args)
            if declared:
                assert type(value) is str and re.fullmatch("[0-9a-f]{16}", value)

        @rule(data=st.data())
        def form_path(self, data):
            args = [data.draw(usable_names), data.draw(usable_names),
                    self.an_id(data)]
            declared, value = self.call(data, "_get_simulation_file_path", args)
            if declared:
                assert isinstance(value, pathlib.Path)
                assert value.name == f"{args[1]}_{args[2]}.json"
                assert self.inside(value)
                assert value.parent.is_dir()

        @rule(data=st.data())
        def lookup(self, data):
            simulation_id = self.an_id(data)
            declared, value = self.call(data, "_find_simulation_file", (simulation_id,))
            if declared and value is not None:
                assert isinstance(value, pathlib.Path)
                assert self.inside(value)
                assert value.name.endswith(f"_{simulation_id}.json")
            if declared and simulation_id in self.saved:
                assert value is not None

        @rule(data=st.data())
        def match(self, data):
            records = [StoredSimulationResult.model_validate(orjson.loads(b))
                       for b in self.saved.values()]
            result = data.draw(st.one_of(
                st.sampled_from(records) if records else st.nothing(),
                st.builds(Attributes, any_values), st.just(RaisingAttributes()), any_values))
            filters = [data.draw(optional_str_args) for _ in range(4)]
            declared, value = self.call(data, "_matches_filters", [result, *filters])
            if declared:
                assert type(value) is bool

        # -- other damage --

        @rule(data=st.data())
        def plant_bad_file(self, data):
            type_dir = sims / data.draw(st.sampled_from(["bad", "sparameters", "a"]))
            type_dir.mkdir(exist_ok=True)
            name = data.draw(st.sampled_from(["bad_zz.json", "x.json", "plain.txt", "d.json"]))
            if name == "d.json":
                (type_dir / name).mkdir(exist_ok=True)
            elif not (type_dir / name).is_dir():
                (type_dir / name).write_bytes(data.draw(st.binary(max_size=40)))

        @invariant()
        def nothing_outside_changes(self):
            assert temp_files(sims) == []
            assert snapshot(top, skip=sims, dir_times=True) == self.outside

    return StoreMachine


def _populate_neighbourhood(top: pathlib.Path, sims: pathlib.Path) -> None:
    """Files beside the store that a stray path would reach."""
    parent = sims.parent
    record = orjson.dumps({"component_name": "ring", **save_kwargs()["result"]})
    (parent / "ring_0123456789abcdef.json").write_bytes(record)
    (parent / "other_store" / "sparameters").mkdir(parents=True)
    (parent / "other_store" / "sparameters" / "ring_0123456789abcdef.json").write_bytes(record)
    (parent / "[x]*?").mkdir()
    (parent / "[x]*?" / "a_b.json").write_bytes(b"{}")
    (top / "beside.json").write_bytes(b"[]")


def run_fuzz(tmp_path, monkeypatch, figures, flavour, examples, steps):
    top = tmp_path / "top"
    sims = top / "parent [1]" / "sims"
    sims.mkdir(parents=True)
    _populate_neighbourhood(top, sims)
    if flavour == "native":
        monkeypatch.setenv("CORVINA_SIMULATIONS_DIR", str(sims))
    else:
        monkeypatch.setattr(storage, "get_simulations_dir", lambda: OtherPath(sims))
    tally = Tally()
    shared = [len(HUGE_DICT), len(HUGE_LIST), SELF_DICT["self"] is SELF_DICT]
    run_state_machine_as_test(
        machine_for(top, sims, tally),
        settings=settings(max_examples=examples, stateful_step_count=steps, deadline=None,
                          suppress_health_check=list(HealthCheck), database=None),
    )
    # The store never changes what it is given.
    assert [len(HUGE_DICT), len(HUGE_LIST), SELF_DICT["self"] is SELF_DICT] == shared
    assert SELF_LIST[1] is SELF_LIST
    figures(
        f"fuzz ({flavour} paths): {tally.examples} examples, {sum(tally.calls.values())} calls "
        f"({sum(tally.returned.values())} returned, {sum(tally.raised.values())} raised, "
        f"{tally.returned['save_simulation_result']} saves written, "
        f"{tally.read_back} records read back as written); "
        f"per function {dict(sorted(tally.calls.items()))}; "
        f"most raised {tally.raised.most_common(8)}"
    )


@pytest.mark.parametrize("flavour", ["native", "literal"])
def test_random_calls_keep_the_store_sound(tmp_path, monkeypatch, figures, flavour):
    run_fuzz(tmp_path, monkeypatch, figures, flavour, examples=40, steps=25)


@pytest.mark.slow
@pytest.mark.parametrize("flavour", ["native", "literal"])
def test_random_calls_keep_the_store_sound_long(tmp_path, monkeypatch, figures, flavour):
    run_fuzz(tmp_path, monkeypatch, figures, flavour, examples=400, steps=40)
