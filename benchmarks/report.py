"""What a run prints, and the JSON document it writes with --json."""

from __future__ import annotations

import os
import platform
import sys
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

import diskcache
import joblib
import orjson

import corvina.core.simulation_storage as module
from benchmarks.harness import REST, SMALL, Row
from benchmarks.workload import encode, record_data

COLUMNS = ("module", "literal", "baseline", "diskcache", "joblib", "floor")
# The ratios of the table, and under which names the JSON document gives them.
TABLE_RATIOS = (("baseline", "module", 8), ("literal", "module", 7), ("module", "floor", 9), ("module", "diskcache", 6))
JSON_RATIOS = {
    "baseline/module": ("baseline", "module"),
    "literal/module": ("literal", "module"),
    "module/floor": ("module", "floor"),
    "module/diskcache": ("module", "diskcache"),
    "module/module@small": ("module", SMALL),
    "module/module@rest": ("module", REST),
    "module/joblib": ("module", "joblib"),
    "baseline/floor": ("baseline", "floor"),
}

LEGEND = """\
  times are medians per call with ± half the interquartile range; ratios are medians of per-round ratios
  base/mod = how many times faster the module is than the baseline; mod/floor and mod/dc: module time over floor and diskcache
  floors: id = model_dump; load = read+loads+validate; find hit = model_dump+read+loads+validate;
          find miss = model_dump; list = scandir+read+loads+validate per file+sort; save = model_dump+record+model_dump+dumps+write;
          delete = unlink; clear = list floor + unlink per file
  dirs = type directories the results are spread over; 'flat' targets compare the module on a big and a small
  store in the same rounds
  'at rest' rows: nothing written into the stores for 2 s before (waited out, no time moved); every other row
  runs amid writes: 'sweep step' = find (a miss) + save; 'after save' = a lookup right after a save (only the
  lookup timed); 'other writer' = lookups while another process saves into the same store
"""


def fmt_time(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            v = ns / scale
            return f"{v:.3g}{unit}" if v < 100 else f"{v:.0f}{unit}"
    return f"{ns:.0f}ns"


def fs_type(path: Path) -> str:
    """The file system type of the mount holding path, from /proc/self/mounts."""
    best, kind = "", "unknown"
    target = str(path.resolve())
    try:
        with open("/proc/self/mounts") as f:
            for line in f:
                parts = line.split()
                if len(parts) < 3:
                    continue
                mount = parts[1].replace("\\040", " ")
                if (target == mount or target.startswith(mount.rstrip("/") + "/")) and len(mount) >= len(best):
                    best, kind = mount, parts[2]
    except OSError:
        pass
    return kind


def preamble(quick: bool, workdir: Path) -> None:
    print("Simulation store benchmark" + (" (quick)" if quick else ""))
    print(f"  python {platform.python_version()}, {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}")
    print(f"  module {Path(module.__file__).name}")
    print(f"  stores in {workdir} ({fs_type(workdir)}); record files of {len(encode(record_data(0, 1, '0' * 16))):,} bytes")
    print(f"  diskcache {diskcache.__version__}, joblib {joblib.__version__}, orjson {orjson.__version__}")
    print(LEGEND)


def table_header() -> None:
    print(f"{'operation':<24} {'N':>6} {'dirs':>4}  " + " ".join(f"{c:>14}" for c in COLUMNS)
          + f"  {'base/mod':>8} {'lit/mod':>7} {'mod/floor':>9} {'mod/dc':>6}")
    sys.stdout.flush()


def _notes(notes: list[str]) -> None:
    for note in notes:
        print(f"    note: {note}")


def table_row(row: Row) -> None:
    cells = []
    for c in COLUMNS:
        s = row.stats.get(c)
        cells.append(f"{'-':>14}" if s is None else f"{fmt_time(s.median) + ' ±' + f'{s.spread_percent():.0f}%':>14}")
    ratios = []
    for a, b, width in TABLE_RATIOS:
        r = row.ratio(a, b)
        ratios.append(f"{'-':>{width}}" if r is None else f"{r:>{width - 1}.2f}x")
    size = f"{row.size:,}" if row.size else ""
    layout = str(row.layout) if row.layout else ""
    print(f"{row.op:<24} {size:>6} {layout:>4}  " + " ".join(cells) + "  " + " ".join(ratios))
    _notes(row.notes)
    sys.stdout.flush()


def host_calls(row: Row) -> None:
    print()
    print(f"Host calls, one at a time (what the floors are made of; store of {row.size:,} results)")
    for name, st in row.stats.items():
        print(f"  {name:<44} {fmt_time(st.median):>9} ±{st.spread_percent():.0f}%")
    _notes(row.notes)


def targets(verdicts: list[dict[str, Any]]) -> None:
    print()
    print("Targets (figures are the worst case over store layouts and sizes named)")
    for t in verdicts:
        verdict = {True: "PASS", False: "FAIL", None: "n/a "}[t["pass"]]
        measured = "-" if t["measured"] is None else f"{t['measured']:.2f}x"
        print(f"  {verdict}  {t['target']:<88} {measured:>8}  {t['where']}")
        if t["note"]:
            print(f"        {t['note']}")


def _result(row: Row) -> dict[str, Any]:
    return {
        "operation": row.op,
        "size": row.size,
        "type_dirs": row.layout,
        "contenders": {name: s.as_json() for name, s in row.stats.items()},
        "ratios": {key: r for key, (a, b) in JSON_RATIOS.items() if (r := row.ratio(a, b)) is not None},
        "notes": row.notes,
    }


def document(bench: Any, base: Path, verdicts: list[dict[str, Any]], elapsed: float) -> dict[str, Any]:
    """The figures of a run (a session.Bench) as --json writes them."""
    return {
        "meta": {
            "quick": bench.cfg.quick,
            "python": platform.python_version(),
            "cpus": os.cpu_count(),
            "module": Path(module.__file__).name,
            "store_dir": str(base),
            "file_system": fs_type(base),
            "sizes": bench.cfg.sizes,
            "at_rest": "waited until nothing was written for 2 s; no time moved",
            "seconds_waited_for_rest": round(bench.waited, 1),
            "seconds": round(elapsed, 1),
            "date": datetime.now(UTC).isoformat(),
        },
        "results": [_result(row) for row in bench.rows],
        "targets": verdicts,
        "host_calls": {name: st.as_json() for name, st in bench.host_calls.stats.items()} if bench.host_calls else {},
    }
