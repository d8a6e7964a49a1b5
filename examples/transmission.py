"""Transmission spectra as the demo's sweeps sample and read them.

The wavelengths a sweep samples follow from its hyperparameters; what a
designer reads from a through-port spectrum is its resonances: where they
sit, how deep they go, how sharp they are (the loaded Q) and how far apart
(the free spectral range). Both the analytic model and the MEEP runs store
these figures beside their spectra, and the demo prints them as a table.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

from corvina.models import SimulationHyperparameters, StoredSimulationResult

SIMULATION_TYPE = "transmission"


def wavelengths_um(hp: SimulationHyperparameters) -> list[float]:
    """The wavelengths a run samples: the band's ends and evenly between."""
    n = hp.wavelength_points
    if n == 1:
        return [hp.wavelength_start]
    step = (hp.wavelength_stop - hp.wavelength_start) / (n - 1)
    return [hp.wavelength_start + i * step for i in range(n)]


def resonance_figures(wavelengths_um: Sequence[float], through: Sequence[float]) -> dict[str, Any]:
    """Resonances of a through-port power spectrum (normalised to the input).

    A resonance is a dip at least 0.1 deep below the lower of its two
    shoulders (so numerical ripple does not count). Its wavelength comes from
    a parabola through the three lowest samples; its extinction is the
    shoulder over the dip, in dB; its loaded Q is the wavelength over the
    dip's full width at half depth, or None when the dip runs out of the band
    or is narrower than the sampling can tell.
    """
    n = len(through)
    nm = [1e3 * w for w in wavelengths_um]
    resonances: list[float] = []
    extinction: list[float] = []
    quality: list[float | None] = []
    for i in range(1, n - 1):
        value = through[i]
        if not (value < through[i - 1] and value <= through[i + 1]):
            continue
        shoulders = []
        for step in (-1, 1):
            j, top = i, value
            while 0 <= j + step < n and through[j + step] >= value:
                j += step
                top = max(top, through[j])
            shoulders.append(top)
        shoulder = min(shoulders)
        if shoulder - value < 0.1:
            continue
        # Vertex of the parabola through the samples around the minimum.
        left, right = through[i - 1], through[i + 1]
        curvature = left - 2 * value + right
        offset = 0.5 * (left - right) / curvature if curvature > 0 else 0.0
        resonances.append(nm[i] + offset * (nm[i + 1] - nm[i - 1]) / 2)
        extinction.append(10 * math.log10(shoulder / max(value, 1e-6)))
        half = value + (shoulder - value) / 2
        edges = []
        for step in (-1, 1):
            j = i
            while 0 <= j + step < n and through[j + step] < half:
                j += step
            if not 0 <= j + step < n:
                break
            a, b = through[j], through[j + step]
            edges.append(nm[j] + (nm[j + step] - nm[j]) * (half - a) / (b - a))
        width = edges[1] - edges[0] if len(edges) == 2 else 0.0
        spacing = (nm[-1] - nm[0]) / (n - 1)
        quality.append(resonances[-1] / width if width > 2 * spacing else None)
    fsr = (resonances[-1] - resonances[0]) / (len(resonances) - 1) if len(resonances) > 1 else None
    return {
        "resonances_nm": resonances,
        "extinction_db": extinction,
        "loaded_q": quality,
        "fsr_nm": fsr,
    }


def figures_table(records: Sequence[StoredSimulationResult]) -> str:
    """One line per swept point: what changes, then each resonance's figures."""
    swept = [
        key
        for key in records[0].component_settings
        if len({repr(r.component_settings.get(key)) for r in records}) > 1
    ]
    rows = []
    for r in sorted(records, key=lambda r: [r.component_settings[k] for k in swept]):
        res = r.result

        def each(values: Sequence[float | None], fmt: str) -> str:
            return " ".join("-" if v is None else format(v, fmt) for v in values) or "-"

        rows.append([
            *(f"{r.component_settings[k]:g}" for k in swept),
            each(res["resonances_nm"], ".1f"),
            each(res["extinction_db"], ".1f"),
            each(res["loaded_q"], ".0f"),
            f"{res['fsr_nm']:.1f}" if res["fsr_nm"] is not None else "-",
        ])
    headers = [f"{k.upper()} (um)" for k in swept] + [
        "RESONANCES (nm)", "EXTINCTION (dB)", "LOADED Q", "FSR (nm)"
    ]
    widths = [max(len(h), *(len(row[i]) for row in rows)) for i, h in enumerate(headers)]
    return "\n".join(
        "  ".join(c.ljust(w) for c, w in zip(row, widths, strict=True)).rstrip()
        for row in [headers, *rows]
    )
