"""The performance targets, judged from the rows of a run.

Each check adds its verdicts in the order they are printed; a check of a new
scenario goes into CHECKS. A figure is the worst case over the store layouts
and sizes named beside it; a target whose rows were not run is "not measured".
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from benchmarks.harness import REST, SMALL, Row, find_row

Values = list[tuple[str, float | None]]  # (where, figure) per store measured


def _dirs(layout: int) -> str:
    return f"{layout} dir{'s' if layout > 1 else ''}"


def _speedup(row: Row) -> float | None:
    return row.ratio("baseline", "module")


def _vs_floor(row: Row) -> float | None:
    return row.ratio("module", "floor")


@dataclass
class Verdicts:
    rows: list[Row]
    sizes: list[int]
    out: list[dict[str, Any]] = field(default_factory=list)

    @property
    def big(self) -> int:
        return max(self.sizes)

    @property
    def small(self) -> int:
        return min(self.sizes)

    @property
    def at_1000(self) -> int:
        return 1000 if 1000 in self.sizes else self.big

    @property
    def note_big(self) -> str:
        return "" if self.big >= 10_000 else f"measured at {self.big:,}; 10,000 only in the full run"

    def find(self, op: str, size: int | None, layout: int | None) -> Row | None:
        return find_row(self.rows, op, size, layout)

    def add(self, text: str, values: Values, want: float, at_least: bool, note: str = "") -> None:
        known = [(where, v) for where, v in values if v is not None]
        if not known:
            self.out.append({"target": text, "measured": None, "where": "", "pass": None, "note": "not measured"})
            return
        where, worst = (min if at_least else max)(known, key=lambda wv: wv[1])
        ok = worst >= want if at_least else worst <= want
        self.out.append({"target": text, "measured": round(worst, 3), "where": where, "pass": ok, "note": note})

    def per_layout(self, op: str, size: int, fn: Callable[[Row], float | None]) -> Values:
        vals: Values = []
        for layout in (1, 5):
            row = self.find(op, size, layout)
            vals.append((f"{size:,} in {_dirs(layout)}", fn(row) if row else None))
        return vals

    def flat(self, op: str, want: float, what: str) -> None:
        # Side by side in the same rounds, the module on a big store and on a small one.
        values = self.per_layout(op, self.big, lambda r: r.ratio("module", SMALL))
        self.add(f"{what}: module at 10,000 within {want:g}x of module at 100 (flat)",
                 [(f"{self.big:,}/{self.small:,} in {w.split(' in ', 1)[1]}", v) for w, v in values],
                 want, False, self.note_big)

    def against_rest(self, op: str, state: str) -> Values:
        # Medians of two rows of this run: the module amid writes over the module at rest.
        vals: Values = []
        for layout in (1, 5):
            busy, calm = self.find(f"{op}, {state}", self.big, layout), self.find(f"{op}, at rest", self.big, layout)
            if busy and calm and "module" in busy.stats and "module" in calm.stats:
                vals.append((f"{self.big:,} in {_dirs(layout)}", busy.stats["module"].median / calm.stats["module"].median))
        return vals

    def ceiling_note(self, what: str, rows: list[tuple[str, Row | None]]) -> str:
        """How much faster than the baseline anything can be while it pays the floor."""
        ratios = [r.ratio("baseline", "floor") for _, r in rows if r is not None]
        ceilings = [c for c in ratios if c is not None]
        if not ceilings:
            return ""
        return f"baseline/floor = {min(ceilings):.2f}x..{max(ceilings):.2f}x (the most any {what} can gain over the baseline)"

    def rows_at(self, op: str, size: int) -> list[tuple[str, Row | None]]:
        return [(_dirs(layout), self.find(op, size, layout)) for layout in (1, 5)]


def identity_speed(v: Verdicts) -> None:
    row = v.find("id typical", None, None)
    v.add("_compute_simulation_id, typical identity: >= 5x faster than baseline",
          [("typical", _speedup(row) if row else None)], 5, True)


def lookups_at_rest(v: Verdicts) -> None:
    for op in ("find hit", "find miss"):
        v.add(f"{op}, at rest, 10,000 results: >= 20x faster than baseline",
              v.per_layout(f"{op}, at rest", v.big, _speedup), 20, True, v.note_big)
    for op in ("find hit", "find miss"):
        v.flat(f"{op}, at rest", 2, f"{op}, at rest")
    v.add("find hit, at rest: no slower than diskcache get (module/diskcache <= 1)",
          v.per_layout("find hit, at rest", v.big, lambda r: r.ratio("module", "diskcache")), 1, False, v.note_big)


def sweep_step(v: Verdicts) -> None:
    v.flat("sweep step", 1.3, "sweep step (find miss + save)")
    v.add("sweep step, 10,000 results: no slower than diskcache get + set (module/diskcache <= 1)",
          v.per_layout("sweep step", v.big, lambda r: r.ratio("module", "diskcache")), 1, False, v.note_big)


def _against(v: Verdicts, op: str, state: str) -> str:
    return ", ".join(f"{x:.2f}x in {w.split(' in ', 1)[1]}" for w, x in v.against_rest(op, state))


def lookups_in_use(v: Verdicts) -> None:
    tail = "" if not v.note_big else f"; {v.note_big}"
    for op in ("find hit", "find miss"):
        v.add(f"{op}, after save, 10,000 results: within 1.5x of the same lookup at rest",
              v.per_layout(f"{op}, after save", v.big, lambda r: r.ratio("module", REST)), 1.5, False,
              "at rest = the same save into another store first, then the lookup in a copy nobody writes (same rounds); "
              "against the back-to-back lookups of the 'at rest' row: " + _against(v, op, "after save") + tail)
        v.add(f"{op}, other writer, 10,000 results: within 1.5x of the same lookup at rest",
              v.per_layout(f"{op}, other writer", v.big, lambda r: r.ratio("module", REST)), 1.5, False,
              "at rest = the same lookups in a copy nobody writes (same rounds, same load); "
              "against the 'at rest' row, measured earlier: " + _against(v, op, "other writer") + tail)


def saves(v: Verdicts) -> None:
    rows = [(f"{s:,} in {_dirs(layout)}", v.find("save", s, layout)) for s in v.sizes for layout in (1, 5)]
    v.add("save: >= 1.5x faster than baseline", [(w, _speedup(r) if r else None) for w, r in rows], 1.5, True)
    v.add("save: within 1.3x of the floor", [(w, _vs_floor(r) if r else None) for w, r in rows], 1.3, False,
          v.ceiling_note("save", rows))


def listings(v: Verdicts) -> None:
    v.add("list all, 1,000 results: >= 1.5x faster than baseline", v.per_layout("list all", v.at_1000, _speedup), 1.5, True)
    v.add("list all, 1,000 results: within 1.25x of the floor", v.per_layout("list all", v.at_1000, _vs_floor), 1.25, False,
          v.ceiling_note("list", v.rows_at("list all", v.at_1000)))


def clearing(v: Verdicts) -> None:
    v.add("clear, 1,000 results: >= 10x faster than baseline", v.per_layout("clear", v.at_1000, _speedup), 10, True)
    v.add("clear, 1,000 results: >= 8x faster than baseline", v.per_layout("clear", v.at_1000, _speedup), 8, True,
          v.ceiling_note("clear", v.rows_at("clear", v.at_1000)))


CHECKS: tuple[Callable[[Verdicts], None], ...] = (
    identity_speed, lookups_at_rest, sweep_step, lookups_in_use, saves, listings, clearing,
)


def judge(rows: list[Row], sizes: list[int]) -> list[dict[str, Any]]:
    verdicts = Verdicts(rows, sizes)
    for check in CHECKS:
        check(verdicts)
    return verdicts.out
