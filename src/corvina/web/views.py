"""Stored records as the page shows them: table rows, the paths a sweep varies,
spectra, and several results' identities side by side."""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from corvina.cli import common, where
from corvina.spectra import plottable_series

if TYPE_CHECKING:
    from corvina.models import StoredSimulationResult

# The record's fields a row always carries, whatever columns are shown.
ROW_FIELDS = ("simulation_id", "status", "error_message", "simulation_date")
IDENTITY_NAMES = ("component_name", "factory_name", "simulation_type")
NESTED_IDENTITY = ("component_settings", "model_parameters", "hyperparameters")
METADATA = ("status", "simulation_date", "execution_time_seconds", "pdk_name", "pdk_version",
            "corvina_version", "error_message")
UNCOMPARED = ("simulation_date", "execution_time_seconds", "corvina_version")
# What the store is asked for a result's identity, and the paths it answers.
IDENTITY_FIELDS = (*IDENTITY_NAMES, *NESTED_IDENTITY)
IDENTITY_ROOTS = frozenset(("simulation_id", *IDENTITY_FIELDS))


def record_view(record: StoredSimulationResult) -> dict[str, Any]:
    """The record as its JSON form, without copying its contents (for picking paths)."""
    return {
        "component_name": record.component_name,
        "factory_name": record.factory_name,
        "component_settings": record.component_settings,
        "model_parameters": record.model_parameters,
        "hyperparameters": record.hyperparameters.model_dump(),
        "simulation_type": record.simulation_type,
        "simulation_id": record.simulation_id,
        "pdk_name": record.pdk_name,
        "pdk_version": record.pdk_version,
        "simulation_date": record.simulation_date,
        "corvina_version": record.corvina_version,
        "result": record.result,
        "wavelengths": record.wavelengths,
        "execution_time_seconds": record.execution_time_seconds,
        "status": common.status_text(record.status),
        "error_message": record.error_message,
    }


def _flatten(prefix: str, value: Any, into: dict[str, Any]) -> None:
    if isinstance(value, dict) and value:
        for key, item in value.items():
            _flatten(f"{prefix}.{key}", item, into)
    else:
        into[prefix] = value


def flat_identity(record: StoredSimulationResult, part: str) -> dict[str, Any]:
    """One identity field's leaves by path (nested settings unfolded; lists stay values)."""
    value = getattr(record, part)
    if part == "hyperparameters":
        value = value.model_dump()
    out: dict[str, Any] = {}
    _flatten(part, value, out)
    return out


def _same(a: Any, b: Any) -> bool:
    # JSON's equality: true is not 1, 1 is 1.0.
    if isinstance(a, bool) or isinstance(b, bool):
        return type(a) is type(b) and a == b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a == b
    return type(a) is type(b) and a == b


def identity_of(record: StoredSimulationResult) -> dict[str, Any]:
    """A record's ID and identity fields as their JSON form holds them (no copies of its settings)."""
    identity: dict[str, Any] = {"simulation_id": record.simulation_id}
    for name in IDENTITY_FIELDS:
        identity[name] = getattr(record, name)
    identity["hyperparameters"] = record.hyperparameters.model_dump()
    return identity


# Hyperparameters as the record shows them (defaults filled in, floats as
# floats), by their stored text: a sweep holds few different ones, and
# validating each match's again would cost more than the query.
_HYPERPARAMETERS: dict[bytes, dict[str, Any]] = {}
_HYPERPARAMETERS_KEPT = 4096


def identity_from_row(row: dict[str, Any]) -> dict[str, Any]:
    """The identity a ``fields=IDENTITY_FIELDS`` row of the store holds, as the record shows it."""
    import orjson

    from corvina import analysis

    identity = {"simulation_id": row["simulation_id"]}
    for name in IDENTITY_FIELDS:
        if name in row:
            identity[name] = row[name]
    stored = row.get("hyperparameters")
    key = orjson.dumps(stored, option=orjson.OPT_SORT_KEYS) if isinstance(stored, dict) else None
    shown = _HYPERPARAMETERS.get(key) if key is not None else None
    if shown is None:
        shown = analysis.as_records_show(row, ("hyperparameters",)).get("hyperparameters", {})
        if key is not None:
            if len(_HYPERPARAMETERS) >= _HYPERPARAMETERS_KEPT:
                _HYPERPARAMETERS.clear()
            _HYPERPARAMETERS[key] = shown
    identity["hyperparameters"] = shown
    return identity


def _flat(identity: dict[str, Any], part: str) -> dict[str, Any]:
    out: dict[str, Any] = {}
    _flatten(part, identity.get(part, {}), out)
    return out


def varying_paths(identities: Sequence[dict[str, Any]]) -> list[str]:
    """The identity paths whose values differ across the results (a sweep's varied parameters).

    Each result is its identity as `identity_of` gives it. A path that some
    results lack varies too. In the order first seen.
    """
    order, varying = _varying(identities)
    return [path for path in order if path in varying]


def varying_paths_adding(before: Sequence[str], first_before: dict[str, Any], first: dict[str, Any],
                         added: Sequence[dict[str, Any]]) -> list[str]:
    """`varying_paths` of results that are those of an earlier answer (which
    varied in `before`, and began with `first_before`) and `added`, beginning
    with `first`; without going through the earlier ones again.

    Two results differ in a path only if one of them differs there from
    `first_before`: what varies is what varied before, and what varies
    between `first_before` and the added ones. Paths are in the order first
    seen in `first`, `first_before` and the added ones, then those seen
    only in the earlier answer's middle, in their order there.
    """
    order, varying = _varying([first, first_before, *added])
    varying.update(before)
    out = [path for path in order if path in varying]
    return out + [path for path in before if path not in order]


def _varying(identities: Sequence[dict[str, Any]]) -> tuple[dict[str, None], set[str]]:
    if len(identities) < 2:
        return {}, set()
    first = identities[0]
    order: dict[str, None] = {}
    varying: set[str] = set()
    for name in IDENTITY_NAMES:
        order[name] = None
        value = first.get(name)
        if any(r.get(name) != value for r in identities):
            varying.add(name)
    for part in NESTED_IDENTITY:
        base_value = first.get(part, {})
        base = _flat(first, part)
        order.update(dict.fromkeys(base))
        plain = isinstance(base_value, dict) and all(not isinstance(v, dict) for v in base_value.values())
        # Settings of one level are compared name by name, not unfolded. The
        # names a shape (its set of names) shares with the first result's are
        # worked out once per shape: the first result (the newest) may be the
        # odd one out of a sweep of thousands that share another shape.
        shapes: dict[tuple[str, ...], list[str] | None] = {}
        paths = {key: f"{part}.{key}" for key in base_value} if plain else {}
        last_keys = base_value.keys() if plain else None
        common: list[str] | None = list(base_value) if plain else None
        for identity in identities:
            value = identity.get(part, {})
            # Equal as a whole (the common case in a sweep's fixed parts):
            # nothing to unfold.
            if value == base_value:
                continue
            if plain and isinstance(value, dict):
                if value.keys() != last_keys:
                    shape = tuple(value)
                    if shape not in shapes:
                        shapes[shape] = _shape_against(part, base_value, value, order, varying)
                    last_keys, common = value.keys(), shapes[shape]
                if common is not None and _compare_plain(base_value, value, common, paths, varying):
                    continue
            _compare_unfolded(part, base, identity, order, varying)
    return order, varying


def _shape_against(part: str, base_value: dict[str, Any], value: dict[str, Any], order: dict[str, None],
                   varying: set[str]) -> list[str] | None:
    """A one-level shape's names (those on one side only vary, as does the
    part itself when one side is empty); None when it nests, and must be unfolded."""
    if any(isinstance(v, dict) for v in value.values()):
        return None
    if not value or not base_value:
        # Empty settings are a value of their own, at the part's own path.
        order.setdefault(part, None)
        varying.add(part)
    for key in value:
        if key not in base_value:
            path = f"{part}.{key}"
            order.setdefault(path, None)
            varying.add(path)
    varying.update(f"{part}.{key}" for key in base_value if key not in value)
    return list(value)


def _compare_plain(base_value: dict[str, Any], value: dict[str, Any], keys: list[str],
                   paths: dict[str, str], varying: set[str]) -> bool:
    """Marks the names shared with the first whose values differ; False when
    a value nests (then the result is unfolded instead)."""
    for key in keys:
        b = value[key]
        if isinstance(b, dict) and b:
            return False
        path = paths.get(key)
        if path is None or path in varying:
            continue
        a = base_value[key]
        if type(a) is type(b):
            if a != b:
                varying.add(path)
        elif not _same(a, b):
            varying.add(path)
    return True


def _compare_unfolded(part: str, base: dict[str, Any], identity: dict[str, Any], order: dict[str, None],
                      varying: set[str]) -> None:
    flat = _flat(identity, part)
    for path, item in flat.items():
        if path not in base:
            order.setdefault(path, None)
            varying.add(path)
        elif path not in varying and not _same(base[path], item):
            varying.add(path)
    varying.update(path for path in base if path not in flat)


def result_paths(result: Any) -> tuple[str, ...]:
    """The paths of a result's scalars (what a column can show of it)."""
    flat: dict[str, Any] = {}
    _flatten("result", result, flat)
    return tuple(p for p, v in flat.items() if not isinstance(v, (list, dict)))


def known_paths(identities: Sequence[dict[str, Any]], results: Iterable[Iterable[str]]) -> list[str]:
    """Paths the column picker offers: identity, metadata and the result's scalars.

    `identities` are the first results' identities (as `identity_of` gives
    them), `results` their `result_paths`.
    """
    paths: dict[str, None] = dict.fromkeys(IDENTITY_NAMES)
    for identity in identities:
        for part in NESTED_IDENTITY:
            paths.update(dict.fromkeys(_flat(identity, part)))
    paths.update(dict.fromkeys(METADATA))
    for found in results:
        paths.update(dict.fromkeys(found))
    return list(paths)


def is_identity_path(path: str) -> bool:
    """Whether a path's value lies in a result's identity (or is its ID)."""
    return path.split(".", 1)[0] in IDENTITY_ROOTS


def row(identity: dict[str, Any], stored: dict[str, Any], fields: Sequence[str]) -> dict[str, Any]:
    """A table row: the fixed fields, then each chosen field the result has.

    `identity` is the result's (as `identity_from_row` gives it), `stored`
    the store's ``fields=`` row of the fixed fields and of the chosen ones
    outside the identity.
    """
    from corvina import analysis

    asked = [*ROW_FIELDS[1:], *(p for p in fields if not is_identity_path(p))]
    shown = analysis.as_records_show(stored, asked)
    out = {"simulation_id": identity["simulation_id"]}
    for name in ROW_FIELDS[1:]:
        out[name] = shown.get(name)
    for path in fields:
        value = where.value_at(identity, path) if is_identity_path(path) else shown.get(path, where.MISSING)
        if value is not where.MISSING:
            out[path] = value
    return out


def spectra_of(record: StoredSimulationResult) -> list[dict[str, Any]]:
    """Every series the plot command draws: one value per wavelength, finite or null."""
    return [
        {"name": name, "values": [v if math.isfinite(v) else None for v in values]}
        for name, values in plottable_series(record)
    ]


@dataclass(frozen=True)
class Drawn:
    """What the overlay needs of one result: its identity, outcome, and its
    series and wavelengths as JSON text (made once, kept while the file is
    unchanged)."""

    identity: dict[str, Any]
    status: str
    error_message: str
    has_series: bool
    series: bytes
    wavelengths: bytes


def drawn(record: StoredSimulationResult) -> Drawn:
    import orjson

    found = spectra_of(record)
    return Drawn(identity_of(record), common.status_text(record.status), record.error_message,
                 bool(found), orjson.dumps(found), orjson.dumps(record.wavelengths))


def spectra(results: Sequence[Drawn], *, total: int, capped: bool) -> dict[str, Any]:
    """What ``GET /api/spectra`` answers: each result's series, and what tells them apart.

    A sweep's results share one wavelength axis: it is sent once, as the
    answer's ``wavelengths``, and left out of each result (a third of the
    answer, at 2 series each). Otherwise ``wavelengths`` is null and each
    result carries its own. Series and wavelengths are JSON text already.
    """
    import orjson

    varying = varying_paths([r.identity for r in results])
    axes = {r.wavelengths for r in results if r.has_series}
    shared = axes.pop() if len(axes) == 1 else None
    out = []
    for result in results:
        identity = result.identity
        flat: dict[str, Any] = {name: identity[name] for name in IDENTITY_NAMES}
        for part in NESTED_IDENTITY:
            flat.update(_flat(identity, part))
        entry = {
            "simulation_id": identity["simulation_id"],
            "component_name": identity["component_name"],
            "status": result.status,
            "error_message": result.error_message,
            "parameters": {path: flat[path] for path in varying if path in flat},
            "series": orjson.Fragment(result.series),
        }
        if shared is None:
            entry["wavelengths"] = orjson.Fragment(result.wavelengths)
        out.append(entry)
    return {"total": total, "capped": capped, "varying": varying,
            "wavelengths": None if shared is None else orjson.Fragment(shared), "results": out}


def identities(records: Sequence[StoredSimulationResult]) -> dict[str, Any]:
    """The selected results' identity and metadata, path by path, and which paths differ."""
    flats = []
    for record in records:
        view = record_view(record)
        flat: dict[str, Any] = {name: view[name] for name in IDENTITY_NAMES}
        for part in NESTED_IDENTITY:
            flat.update(flat_identity(record, part))
        for name in METADATA:
            flat[name] = view[name]
        flats.append(flat)
    paths = list(dict.fromkeys(p for flat in flats for p in flat))
    # When and how long a run took tells runs apart, not what they simulated.
    differ = [p for p in paths if p not in UNCOMPARED
              if any(p not in f for f in flats)
              or any(not _same(flats[0][p], f[p]) for f in flats[1:])]
    return {
        "ids": [r.simulation_id for r in records],
        "paths": paths,
        "differ": differ,
        "values": [{p: f[p] for p in paths if p in f} for f in flats],
    }
