"""The simulation ID: SHA-256 over the key-sorted JSON text of the six
identity fields, first eight bytes in hexadecimal."""

from __future__ import annotations

import hashlib
import json
import math
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import corvina.core.simulation_storage as store
from corvina.models import SimulationHyperparameters, SimulationStatus

from support import HOST_ROOT

FIELDS = ("component_name", "factory_name", "component_settings", "model_parameters",
          "hyperparameters", "simulation_type")


class Dump:
    """A hyperparameters stand-in that counts its `model_dump()` calls."""

    def __init__(self, value=...):
        self.value = {} if value is ... else value
        self.calls: list[tuple] = []

    def model_dump(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.value

    def __repr__(self):
        return f"Dump({self.value!r})"


def compute(component_name="", factory_name="", component_settings=None, model_parameters=None,
            hyperparameters=None, simulation_type=""):
    return store._compute_simulation_id(
        component_name, factory_name,
        {} if component_settings is None else component_settings,
        {} if model_parameters is None else model_parameters,
        Dump() if hyperparameters is None else hyperparameters, simulation_type)


def text_id(text: str) -> str:
    return hashlib.sha256(text.encode("ascii")).hexdigest()[:16]


def identity_text(component_name='""', component_settings="{}", factory_name='""',
                  hyperparameters="{}", model_parameters="{}", simulation_type='""') -> str:
    """The identity text written out by hand, members in their sorted order."""
    return (f'{{"component_name": {component_name}, "component_settings": {component_settings}, '
            f'"factory_name": {factory_name}, "hyperparameters": {hyperparameters}, '
            f'"model_parameters": {model_parameters}, "simulation_type": {simulation_type}}}')


# --- worked examples -----------------------------------------------------------

def test_worked_example():
    text = identity_text('"part_a"', '{"length": 10, "width": 0.5}', '"make_part"',
                         simulation_type='"demo"')
    assert len(text) == 183
    assert text_id(text) == "f1185776ec8d1694"
    assert compute("part_a", "make_part", {"width": 0.5, "length": 10}, {}, Dump(),
                   "demo") == "f1185776ec8d1694"
    # Insertion order does not matter: the text is key-sorted.
    assert compute("part_a", "make_part", {"length": 10, "width": 0.5}, {}, Dump(),
                   "demo") == "f1185776ec8d1694"
    # An integer and a float of the same value differ.
    assert compute("part_a", "make_part", {"width": 0.5, "length": 10.0}, {}, Dump(),
                   "demo") == "81e798684c3e554f"


def test_all_empty_identity():
    assert len(identity_text()) == 138
    assert compute() == text_id(identity_text()) == "9687e173b134cae1"


@pytest.mark.parametrize(("fields", "member", "text"), [
    ({"component_name": "\u00d8"}, "component_name", r'"\u00d8"'),
    ({"component_name": "a\U0001f600/\"\\\n\x7f"}, "component_name",
     r'"a\ud83d\ude00/\"\\\n\u007f"'),
    ({"model_parameters": {10: 1, 2: 1}}, "model_parameters", '{"2": 1, "10": 1}'),
    ({"model_parameters": {"10": 1, "2": 1}}, "model_parameters", '{"10": 1, "2": 1}'),
    ({"model_parameters": {"x": math.nan}}, "model_parameters", '{"x": NaN}'),
    ({"model_parameters": {"x": [1, True, None, -0.0, 1e16, 1e-05, (2,)]}}, "model_parameters",
     '{"x": [1, true, null, -0.0, 1e+16, 1e-05, [2]]}'),
    ({"hyperparameters": Dump({"solver": "fdtd", "points": 3})}, "hyperparameters",
     '{"points": 3, "solver": "fdtd"}'),
])
def test_identity_text_form(fields, member, text):
    assert compute(**fields) == text_id(identity_text(**{member: text}))


def test_one_and_true_differ():
    assert compute(model_parameters={"x": 1}) != compute(model_parameters={"x": True})


def test_real_hyperparameters_model():
    hp = SimulationHyperparameters(solver="fde", wavelength_points=11)
    expected = json.dumps({"component_name": "c", "component_settings": {}, "factory_name": "f",
                           "hyperparameters": hp.model_dump(), "model_parameters": {},
                           "simulation_type": "t"}, sort_keys=True)
    assert compute("c", "f", hyperparameters=hp, simulation_type="t") == text_id(expected)


def test_model_dump_called_once_without_arguments():
    hp = Dump({"a": 1})
    compute(hyperparameters=hp)
    assert hp.calls == [((), {})]
    # Argument checks come first: a refused argument leaves the model untouched.
    hp.calls.clear()
    with pytest.raises(TypeError):
        compute(hyperparameters=hp, simulation_type=None)
    assert hp.calls == []


def test_encoder_receives_the_callers_dictionaries(monkeypatch):
    seen = []

    class Recorder:
        @staticmethod
        def dumps(*args, **kwargs):
            seen.append((args, kwargs))
            return json.dumps(*args, **kwargs)

    settings_, params = {"w": 1}, {"p": 2}
    monkeypatch.setattr(store, "json", Recorder)
    result = compute("c", "f", settings_, params, Dump({"h": 3}), "t")
    ((args, kwargs),) = seen
    assert kwargs == {"sort_keys": True} and len(args) == 1
    data = args[0]
    assert type(data) is dict and tuple(data) == FIELDS
    assert data["component_settings"] is settings_ and data["model_parameters"] is params
    assert data["hyperparameters"] == {"h": 3}
    assert result == text_id(json.dumps(data, sort_keys=True))


@pytest.mark.parametrize(("module", "attr"), [(json, "dumps"), (hashlib, "sha256")])
def test_patched_standard_functions_are_called(monkeypatch, module, attr):
    original, calls = getattr(module, attr), []

    def spy(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)

    monkeypatch.setattr(module, attr, spy)
    assert compute("part_a", "make_part", {"width": 0.5, "length": 10}, {}, Dump(),
                   "demo") == "f1185776ec8d1694"
    assert len(calls) == 1


@pytest.mark.parametrize("bad", [
    {"s": {1}}, {"o": object()}, {"b": b"x"}, {"c": 1j}, {(1, 2): 3}, {"big": 10**5000},
    {True: 1.5, 0.5: "a", None: []}, {"a": 1, 2: 1},
])
def test_values_the_encoder_refuses(bad):
    expected = reference_error({"component_settings": bad})
    with pytest.raises(type(expected)) as info:
        compute(component_settings=bad)
    assert str(info.value) == str(expected)


def test_self_containing_list_and_odd_dumps():
    loop: list = []
    loop.append(loop)
    with pytest.raises(ValueError, match="Circular reference"):
        compute(model_parameters={"loop": loop})
    with pytest.raises(TypeError):
        compute(hyperparameters=Dump({1, 2}))

    class Failing:
        def model_dump(self):
            raise KeyError("dump failed")

    with pytest.raises(KeyError, match="dump failed"):
        compute(hyperparameters=Failing())


@pytest.mark.parametrize("shape", ["list", "dict"])
def test_deep_nesting_fails_cleanly(shape):
    # In a child process, with a raised recursion limit, so that a crash of
    # the interpreter shows as a failed test rather than taking pytest down.
    code = textwrap.dedent(f"""
        import json, sys
        import corvina.core.simulation_storage as store
        sys.setrecursionlimit(1_000_000)
        value = []
        for _ in range(100_000):
            value = [value] if {shape!r} == "list" else {{"k": value}}
        class Dump:
            def model_dump(self):
                return {{}}
        outcomes = []
        for run in (lambda: json.dumps(value, sort_keys=True),
                    lambda: store._compute_simulation_id(
                        "c", "f", {{"v": value}}, {{}}, Dump(), "t")):
            try:
                run()
                outcomes.append(None)
            except Exception as exc:
                outcomes.append(type(exc).__name__)
        print(json.dumps(outcomes))
    """)
    env = dict(os.environ, PYTHONPATH=HOST_ROOT)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    reference, ours = json.loads(proc.stdout)
    assert reference is not None and ours == reference


class IterList(list):
    def __iter__(self):
        return iter(["from __iter__"])


class IterTuple(tuple):
    def __iter__(self):
        return iter(["from __iter__"])


def reference_for(**fields) -> str:
    return reference_id(dict(zip(FIELDS, ["", "", {}, {}, {}, ""])) | fields)


@pytest.mark.parametrize("value", [IterList([1]), IterTuple((1,))])
def test_sequence_subclasses_are_written_as_the_encoder_iterates_them(value):
    assert compute(model_parameters={"v": value}) == reference_for(model_parameters={"v": value})


@pytest.mark.parametrize(("attr", "value"), [("item_separator", ","), ("key_separator", ":")])
def test_patched_encoder_separators_are_honoured(monkeypatch, attr, value):
    monkeypatch.setattr(json.JSONEncoder, attr, value)
    assert compute(model_parameters={"a": 1}) == reference_for(model_parameters={"a": 1})


# --- property: the module agrees with the literal computation -----------------

class IntSub(int):
    pass


class StrSub(str):
    pass


def reference_id(data: dict) -> str:
    return hashlib.sha256(json.dumps(data, sort_keys=True).encode()).digest()[:8].hex()


def reference_error(fields: dict) -> BaseException:
    data = dict(zip(FIELDS, ["", "", {}, {}, {}, ""])) | fields
    with pytest.raises(Exception) as info:
        reference_id(data)
    return info.value


texts = st.text(st.characters(exclude_categories=()), max_size=12)
numbers = st.one_of(st.integers(), st.integers(-(2**200), 2**200), st.floats(),
                    st.builds(IntSub, st.integers()))
scalars = st.one_of(st.none(), st.booleans(), numbers, texts, st.builds(StrSub, texts),
                    st.sampled_from([SimulationStatus.SUCCESS, math.inf, -math.inf, -0.0]))
# Values the encoder refuses, mixed in rarely.
refused = st.one_of(st.frozensets(st.integers(), max_size=2), st.builds(object),
                    st.binary(max_size=3))
any_key = st.one_of(texts, st.integers(), st.floats(), st.booleans(), st.none())


def containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(tuple),
        st.dictionaries(texts, children, max_size=4),
        st.dictionaries(st.one_of(numbers, st.booleans()), children, max_size=4),
    )


clean = st.recursive(scalars, containers, max_leaves=25)
dirty = st.recursive(st.one_of(scalars, refused), containers, max_leaves=8)
values = st.one_of(clean, clean, clean, dirty)
# Text keys beside number keys (or None) cannot be sorted: the encoder fails.
dicts = st.one_of(st.dictionaries(texts, values, max_size=5),
                  st.dictionaries(st.one_of(numbers, st.booleans()), values, max_size=4),
                  st.dictionaries(texts, values, max_size=5),
                  st.dictionaries(any_key, values, max_size=3))


@settings(max_examples=300, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(component_name=texts, factory_name=texts, component_settings=dicts,
       model_parameters=dicts, dump=st.one_of(dicts, values), simulation_type=texts)
def test_id_matches_literal_computation(component_name, factory_name, component_settings,
                                         model_parameters, dump, simulation_type):
    data = {"component_name": component_name, "factory_name": factory_name,
            "component_settings": component_settings, "model_parameters": model_parameters,
            "hyperparameters": dump, "simulation_type": simulation_type}
    args = (component_name, factory_name, component_settings, model_parameters, Dump(dump),
            simulation_type)
    try:
        expected = reference_id(data)
    except Exception as exc:
        event(f"encoder fails: {type(exc).__name__}")
        with pytest.raises(type(exc)) as info:
            store._compute_simulation_id(*args)
        assert str(info.value) == str(exc)
        assert getattr(info.value, "__notes__", None) == getattr(exc, "__notes__", None)
    else:
        event("ID computed")
        result = store._compute_simulation_id(*args)
        assert type(result) is str and result == expected
