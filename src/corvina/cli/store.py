"""What the command line relies on beyond the store's public functions.

The commands list, load and delete results through the public functions, so
they see what every program sees. ``verify`` and ``sync`` must also look at
files the listing skips and copy files byte for byte; for that they need to
know how the store names, encodes and writes its files, and two of its
internal functions. All of that knowledge is here, and only here, so that a
change of the store's layout has one place to change in the command line.

The internal functions are documented module attributes of the compiled
store (see its stub); the wrappers below take records, not loose fields.
Everything works on the store's own path objects, so a local directory and
a store named by URL behave alike.
"""

from __future__ import annotations

import json
import pathlib
import re
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple, TypeAlias

from corvina.cli.common import ID_LENGTH, count, describe_error

if TYPE_CHECKING:
    from upath import UPath

    from corvina.cli.common import Filters
    from corvina.models import StoredSimulationResult

    StorePath: TypeAlias = pathlib.Path | UPath

# A simulation ID as the store's file names carry it.
ID_PATTERN = rf"[0-9a-f]{{{ID_LENGTH}}}"
ID = re.compile(ID_PATTERN)
# How earlier versions named the key they probed an object store with,
# directly in the store (the probe is now the first claim itself); a worker
# killed mid-probe left one behind.
CLAIM_PROBE_NAME = re.compile(r"\.claim-probe\.\d+\.[0-9a-f]*")
# A claim is one short line; anything much longer is not one of ours.
MAX_CLAIM_BYTES = 64 * 1024


class FileName(NamedTuple):
    """What the store makes of a file name it meets in its layout."""

    kind: str  # "result", "claim" or "temporary" (a write in flight, or left by one killed)
    component: str | None
    simulation_id: str | None
    generation: int | None  # a claim's


def file_name(name: str) -> FileName | None:
    """The store's reading of a file name (its own rules, asked of the module); None: not its file."""
    from corvina.core import simulation_storage as storage

    found = storage._parse_file_name(name)
    return None if found is None else FileName(*found)


def is_result_name(name: str) -> bool:
    """Whether the name is a result's "<component>_<ID>.json" (for listings of many names)."""
    from corvina.core import simulation_storage as storage

    found = storage._parse_file_name(name)
    return found is not None and found[0] == "result"


def result_name(name: str) -> FileName | None:
    """The name read as a result's "<component>_<ID>.json"; None if it is not one."""
    found = file_name(name)
    return found if found is not None and found.kind == "result" else None


def claim_name(name: str) -> FileName | None:
    """The name read as a claim's ".<component>_<ID>.<generation>.claim"; None if it is not one."""
    found = file_name(name)
    return found if found is not None and found.kind == "claim" else None


# --- the store's internal functions ----------------------------------------------


def compute_simulation_id(record: StoredSimulationResult) -> str:
    """The ID the store gives the record's identity fields."""
    from corvina.core import simulation_storage as storage

    return storage._compute_simulation_id(
        record.component_name, record.factory_name, record.component_settings,
        record.model_parameters, record.hyperparameters, record.simulation_type,
    )


def matches_filters(record: StoredSimulationResult, filters: Filters) -> bool:
    """Whether the listing would keep the record; the type is the directory's business."""
    from corvina.core import simulation_storage as storage

    return storage._matches_filters(
        record, filters["component_name"], filters["factory_name"],
        filters["pdk_name"], filters["status"],
    )


# --- the encoding ------------------------------------------------------------------


def record_size(record: StoredSimulationResult) -> int:
    """The size of the record's file, without asking the file system."""
    # The store writes exactly this encoding; asking the file system would
    # cost a request per file on object storage.
    import orjson

    return len(orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2))


def decode(data: bytes) -> StoredSimulationResult:
    """A result file's bytes as a record, read exactly as the store reads them."""
    import orjson

    from corvina.models import StoredSimulationResult

    return StoredSimulationResult.model_validate(orjson.loads(data))


def why_unreadable(exc: Exception) -> str:
    """Why `decode` (or reading the file) failed, as the rest of a sentence about the file."""
    import orjson
    import pydantic

    if isinstance(exc, orjson.JSONDecodeError):
        return f"does not parse as JSON: {exc}"
    if isinstance(exc, pydantic.ValidationError):
        errors = exc.errors()
        first = errors[0]
        where = ".".join(str(part) for part in first["loc"]) or "record"
        more = f" (and {count(len(errors) - 1, 'more problem')})" if len(errors) > 1 else ""
        return f"is not a valid result record: {where}: {first['msg']}{more}"
    return f"cannot be read: {describe_error(exc)}"


# --- the files ---------------------------------------------------------------------


def entries(directory: StorePath) -> list[StorePath]:
    """What a directory of the store holds; nothing for one that is not there."""
    try:
        return list(directory.iterdir())
    except FileNotFoundError:  # removed while we walked
        return []
    except NotADirectoryError:
        # How object storage answers for a prefix that holds nothing.
        if directory.exists():
            raise
        return []


def local_path(path: StorePath) -> pathlib.Path | None:
    """The local path of a store file, or None where the file is not on this machine."""
    if isinstance(path, pathlib.Path):
        return path
    if getattr(path, "protocol", None) in ("file", "local"):
        return pathlib.Path(path.path)
    return None


def check_type_name(simulation_type: str) -> None:
    """ValueError, in the store's words, for a type that is not one entry inside a store."""
    from corvina.core import simulation_storage as storage

    # A path joined from such a type would lie outside the store ("..",
    # "a/..", or an absolute path). The rule is the store's: its path function
    # checks the type first, then the component and the ID, and only then
    # looks at the store (and makes the type's directory). An ID that no check
    # passes (it holds a separator) stops it there, so asking changes nothing.
    try:
        storage._get_simulation_file_path(simulation_type, "", "/")
    except ValueError as exc:
        if str(exc).startswith("simulation_type "):
            raise
        return
    raise AssertionError("the store formed a path for a file name holding '/'")


def result_files(
    root: StorePath, simulation_type: str | None
) -> Iterator[tuple[str, str, StorePath]]:
    """(type directory, file name, path) of every result file, walked as the listing walks.

    ValueError, before anything is read, for a type the store refuses.
    """
    if simulation_type is not None:
        check_type_name(simulation_type)
    return _walk(root, simulation_type)


def _walk(root: StorePath, simulation_type: str | None) -> Iterator[tuple[str, str, StorePath]]:
    if simulation_type:
        directories = [(simulation_type, root / simulation_type)]
        loose: list[StorePath] = []
    else:
        found = entries(root)
        directories = [] if simulation_type == "" else [(e.name, e) for e in found if e.is_dir()]
        loose = [e for e in found if e.name.endswith(".json") and not e.is_dir()]
    for path in loose:
        yield "", path.name, path
    for type_name, directory in directories:
        for path in entries(directory):
            if path.name.endswith(".json"):
                yield type_name, path.name, path


def write_atomically(path: StorePath, data: bytes) -> None:
    """Write a whole file so that readers see the old bytes or the new, never a part."""
    local = local_path(path)
    if local is None:
        # Object storage: one PUT of the whole object is atomic already.
        path.write_bytes(data)
        return
    from corvina.core import simulation_storage as storage

    storage._write_atomically(local, data)


# --- claims --------------------------------------------------------------------------


@dataclass(frozen=True)
class Claim:
    """One claim file as read once: its name's parts and what it holds.

    ``content`` is the parsed line (None when it is not one: foreign or
    damaged); ``modified`` is the file's modification time on the file
    system's (or the object store's) clock, None where unknown. The holder
    rewrites the file at every heartbeat, so both its ``heartbeat`` field and
    ``modified`` are signs of life on clocks other than the reader's.
    """

    path: StorePath
    type_dir: str
    component_name: str
    simulation_id: str
    generation: int
    data: bytes
    content: dict[str, Any] | None
    modified: float | None

    def field(self, name: str) -> Any:
        return None if self.content is None else self.content.get(name)

    @property
    def lease(self) -> float | None:
        value = self.field("lease_seconds")
        if isinstance(value, int | float) and not isinstance(value, bool) and 0 < value < 1e9:
            return float(value)
        return None

    @property
    def key(self) -> tuple[str, str, str]:
        """What the generations of one simulation's claim share."""
        return (self.type_dir, self.component_name, self.simulation_id)


def claim_file_name(component_name: str, simulation_id: str, generation: int) -> str:
    """The name of a claim's file, as the store makes it.

    Every generation of one claim has the same form: the stem alone decides
    whether ".<component>_<ID>.<generation>.claim" fits in a file name with
    any generation; where it does not, the component is left out.
    """
    from corvina.core import simulation_storage as storage

    return storage._claim_file_name(component_name, simulation_id, generation)


def parse_claim(data: bytes) -> dict[str, Any] | None:
    """A claim's content as a dict, or None when it is not a claim's line."""
    if len(data) > MAX_CLAIM_BYTES:
        return None
    try:
        content = json.loads(data)
    except (ValueError, UnicodeDecodeError):
        return None
    return content if isinstance(content, dict) else None


def claim_files(root: StorePath) -> Iterator[tuple[str, StorePath, FileName]]:
    """(type directory, path, name match) of every claim file, in the layout the store uses."""
    found = entries(root)
    # The claims of the empty simulation type lie beside its results, directly in the store.
    directories = [("", root, found)]
    directories += [(e.name, e, entries(e)) for e in found if e.is_dir()]
    for type_name, _directory, names in directories:
        for path in names:
            named = claim_name(path.name)
            if named is not None:
                yield type_name, path, named


def read_claim(type_dir: str, path: StorePath, named: FileName) -> Claim | None:
    """The claim at ``path`` as it is now; None when it has gone (its holder released it)."""
    for attempt in range(5):
        try:
            data = path.read_bytes()
            break
        except (FileNotFoundError, IsADirectoryError):
            return None
        except OSError as exc:
            # An object store's file replaced between the look at its version
            # and the read (fsspec's FileExpired): a heartbeat just now.
            if type(exc).__name__ != "FileExpired" or attempt == 4:
                raise
    modified: float | None
    try:
        modified = path.stat().st_mtime
    except FileNotFoundError:
        return None
    except Exception:
        modified = None  # not every object store tells
    content = parse_claim(data)
    component, simulation_id, generation = named.component or "", named.simulation_id or "", named.generation or 0
    if component == "" and content is not None:
        # The short form of a long component's claim names no component.
        named_in_content = content.get("component_name")
        if isinstance(named_in_content, str) and path.name == claim_file_name(
                named_in_content, simulation_id, generation):
            component = named_in_content
    return Claim(path, type_dir, component, simulation_id, generation, data, content, modified)


def read_claims(root: StorePath) -> list[Claim]:
    """Every claim in the store as it is now, one reading each."""
    claims = (read_claim(*found) for found in claim_files(root))
    return [c for c in claims if c is not None]


def remove_claim(claim: Claim) -> bool:
    """Remove the claim file if it still holds what was read; False if it changed or went."""
    # A heartbeat since the reading means a holder lives after all.
    try:
        if claim.path.read_bytes() != claim.data:
            return False
        claim.path.unlink()
    except FileNotFoundError:
        return False
    except OSError as exc:
        if type(exc).__name__ == "FileExpired":  # rewritten while read: its holder lives
            return False
        raise
    return True
