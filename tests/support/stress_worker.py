"""One process of the concurrent-writers stress run (started by test_stress.py).

    python stress_worker.py CONFIG.json

The worker waits for the shared "go" file, then for `duration` seconds picks
random operations on one store: saves of the identities it owns and of the
contested ones, loads and finds of every identity, listings, deletions of
its deletable identities and clearings of the scratch results. It checks
every record it reads on the spot (the payload is self-describing, so a
record mixed from two saves or cut short is recognised) and writes a report:
a journal of its saves, deletions and clearings with their start and end
times (CLOCK_MONOTONIC, shared by all processes of the machine), what it
read, and every violation it saw. The test compares the journals of all
workers with the final state of the store.
"""

from __future__ import annotations

import json
import os
import pathlib
import random
import sys
import time
import traceback

from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters


class OtherPath(pathlib.PosixPath):
    """A path class of its own: the store goes through its methods."""

    __slots__ = ()


def identities(workers: int) -> dict[str, dict]:
    """Every identity of the run, by key; the key's prefix names its kind:
    stable (one owner, overwritten, never deleted), deletable (one owner,
    saved and deleted), scratch (one owner, cleared by anyone) and contested
    (saved by every worker, never deleted)."""
    out = {}

    def add(key, component, simulation_type, owner):
        out[key] = {
            "owner": owner,
            "identity": {
                "component_name": component,
                "factory_name": key,
                "component_settings": {"key": key},
                "model_parameters": {},
                "hyperparameters": SimulationHyperparameters(),
                "simulation_type": simulation_type,
            },
        }

    for w in range(workers):
        for k in range(2):
            add(f"stable-{w}-{k}", f"stable{w}{k}", "kept", w)
            add(f"deletable-{w}-{k}", f"del{w}{k}", "kept", w)
            add(f"scratch-{w}-{k}", "scratch", "scratch", w)
    for k in range(2):
        add(f"contested-{k}", f"contested{k}", "kept", None)
    return out


def payload(key: str, writer: int, seq: int, size: int) -> dict:
    unit = f"{key}/{writer}/{seq};"
    return {"key": key, "writer": writer, "seq": seq,
            "pad": (unit * (size // len(unit) + 1))[:size]}


def check_payload(result: dict) -> str | None:
    """What is wrong with a record's payload, or None."""
    try:
        expected = payload(result["key"], result["writer"], result["seq"], len(result["pad"]))
    except Exception as exc:  # a payload of the wrong shape
        return f"malformed payload: {exc!r}"
    return None if expected == result else "payload does not match its own header"


class Recorder:
    """The store's logger: keeps each warning with its time and the start
    time of the operation that was running."""

    def __init__(self):
        self.warnings: list[tuple[float, str, float]] = []
        self.op_start = 0.0

    def debug(self, text):
        pass

    def warning(self, text):
        self.warnings.append((time.monotonic(), text, self.op_start))


def main(config_path: str) -> None:
    config = json.loads(pathlib.Path(config_path).read_text())
    me, workers = config["worker"], config["workers"]
    sims = pathlib.Path(config["sims"])
    if config["flavour"] == "literal":
        storage.get_simulations_dir = lambda: OtherPath(sims)
    else:
        os.environ["CORVINA_SIMULATIONS_DIR"] = str(sims)
    recorder = Recorder()
    storage.log = lambda: recorder
    rng = random.Random(config["seed"])

    all_ids = identities(workers)
    for entry in all_ids.values():
        entry["id"] = storage._compute_simulation_id(**entry["identity"])
    key_of_id = {entry["id"]: key for key, entry in all_ids.items()}
    mine = [k for k, e in all_ids.items() if e["owner"] == me]
    writable = mine + [k for k in all_ids if k.startswith("contested")]
    deletable = [k for k in mine if k.startswith("deletable")]

    journal: list[list] = []   # ["save", key, seq, t0, t1] / ["delete", key, t0, t1, removed]
                               # / ["clear", filter, t0, t1, count]
    reads: list[list] = []     # ["miss", key, t0, t1] for lookups that found nothing
    seen: dict[str, int] = {}  # highest seq seen per single-writer key
    violations: list[str] = []
    counts = {op: 0 for op in ("save", "load", "find", "list", "delete", "clear")}
    vanished = 0
    listed_records = 0
    duplicates = 0

    def check(record, key, where):
        if record.simulation_id != all_ids[key]["id"]:
            violations.append(f"{where}: {key} returned record {record.simulation_id}")
            return
        problem = check_payload(record.result)
        if problem or record.result["key"] != key:
            violations.append(f"{where}: {key}: {problem or 'payload of another identity'}")
            return
        if not key.startswith("contested"):
            seq = record.result["seq"]
            if seq < seen.get(key, -1):
                violations.append(f"{where}: {key} went back from seq {seen[key]} to {seq}")
            seen[key] = max(seq, seen.get(key, -1))

    pathlib.Path(config["ready"]).touch()
    while not os.path.exists(config["go"]):
        time.sleep(0.005)
    deadline = time.monotonic() + config["duration"]
    seq = 0
    ops = ["save", "load", "find", "list", "delete", "clear"]
    weights = [40, 20, 15, 10, 10, 5]

    while time.monotonic() < deadline:
        op = rng.choices(ops, weights)[0]
        counts[op] += 1
        recorder.op_start = time.monotonic()
        try:
            if op == "save":
                key = rng.choice(writable)
                seq += 1
                t0 = time.monotonic()
                storage.save_simulation_result(
                    **all_ids[key]["identity"],
                    result=payload(key, me, seq, rng.choice([0, 100, 4000, 30000, 70000])),
                    wavelengths=[1.55], execution_time_seconds=0.5)
                journal.append(["save", key, seq, t0, time.monotonic()])
            elif op in ("load", "find"):
                key = rng.choice(list(all_ids))
                t0 = time.monotonic()
                try:
                    if op == "load":
                        record = storage.load_simulation_result(all_ids[key]["id"])
                    else:
                        record = storage.find_simulation_result(**all_ids[key]["identity"])
                except FileNotFoundError:
                    # Found, then removed before it was read: only a result
                    # that can be removed may do that.
                    vanished += 1
                    if key.startswith(("stable", "contested")):
                        violations.append(f"{op}: {key} vanished while being read")
                    continue
                if record is None:
                    reads.append(["miss", key, t0, time.monotonic()])
                else:
                    check(record, key, op)
            elif op == "list":
                choice = rng.choice(["all", "kept", "scratch", "component"])
                filters = ({} if choice == "all" else
                           {"simulation_type": choice} if choice != "component" else
                           {"component_name": all_ids[rng.choice(list(all_ids))]
                            ["identity"]["component_name"]})
                records = storage.list_simulation_results(**filters)
                ids = [r.simulation_id for r in records]
                duplicates += len(ids) - len(set(ids))
                listed_records += len(records)
                for record in records:
                    key = key_of_id.get(record.simulation_id)
                    if key is None:
                        violations.append(f"list: unknown record {record.simulation_id}")
                    else:
                        check(record, key, "list")
            elif op == "delete":
                key = rng.choice(deletable)
                t0 = time.monotonic()
                removed = storage.delete_simulation_result(all_ids[key]["id"])
                journal.append(["delete", key, t0, time.monotonic(), removed])
            elif op == "clear":
                which = rng.choice([{"simulation_type": "scratch"},
                                    {"component_name": "scratch"}])
                t0 = time.monotonic()
                count = storage.clear_simulation_results(**which)
                journal.append(["clear", which, t0, time.monotonic(), count])
                if type(count) is not int or count < 0:
                    violations.append(f"clear returned {count!r}")
        except Exception:
            violations.append(f"{op}: {traceback.format_exc(limit=4)}")

    report = {
        "worker": me,
        "counts": counts,
        "journal": journal,
        "reads": reads,
        "warnings": recorder.warnings,
        "violations": violations,
        "vanished": vanished,
        "listed_records": listed_records,
        "duplicates": duplicates,
        "ids": {k: e["id"] for k, e in all_ids.items()},
    }
    pathlib.Path(config["report"]).write_text(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv[1])
