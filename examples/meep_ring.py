"""A 2D add-drop ring resonator solved with MEEP (finite-difference time domain).

Two straight bus waveguides pass a ring, one below and one above, with the
same gap to each. A Gaussian pulse covering the whole band is launched into
the lower bus; flux monitors read the power that leaves the lower bus (the
through port) and the power that the ring hands to the upper bus, which
travels backwards there (the drop port). A run of the bare lower bus with the
same source and monitor measures the power put in, so that the ring's
spectra can be made fractions of it.

Each run happens in the process that calls it and uses one core. Nothing is
written to the working directory and nothing is printed: MEEP is told to be
quiet, and its report of elapsed time at exit is switched off. Two things
MEEP does to the process that loads it: it imports matplotlib, which keeps a
cache in its configuration directory (point MPLCONFIGDIR somewhere private
to keep it from the user's), and it makes the processor flush subnormal
floats to zero, for all the code in that process. Run it in worker processes
where that matters.

The geometry (the component settings), the materials and SOLVER_SETTINGS
(the model parameters) are plain dictionaries, so that the caller hands the
very values the run uses to the store as the simulation's identity.
"""

from __future__ import annotations

import atexit
import math
import time
from typing import Any

# Settings that change the answer, apart from the hyperparameters (band,
# points, resolution, time cap). They belong in every simulation's identity.
SOLVER_SETTINGS: dict[str, Any] = {
    "pml_um": 1.0,  # absorbing boundary on every side
    "lead_um": 1.0,  # straight bus between the ring and the source or monitors
    "margin_um": 0.5,  # cladding between the outermost waveguide and the PML
    "decay_by": 1e-6,  # run until the field at the through port decays this much
    "source": "Ez line current across the core",
}


def _import_meep() -> Any:
    import meep as mp  # type: ignore[import-untyped, import-not-found, unused-ignore]

    mp.verbosity(0)
    # Otherwise "Elapsed run time = ..." is printed when the process exits.
    atexit.unregister(mp.report_elapsed_time)
    return mp


def meep_version() -> str:
    """The installed MEEP's version; raises ImportError when MEEP cannot be used."""
    return str(_import_meep().__version__)


def _cell_um(extent: float) -> float:
    # A whole number of microns makes every cell a whole number of pixels at
    # any integer resolution (MEEP warns on stderr otherwise).
    return float(math.ceil(extent - 1e-9))


def _ring_cell_length(settings: dict[str, Any], model: dict[str, Any]) -> float:
    span = 2 * (settings["radius"] + settings["width"] / 2) + 2 * model["lead_um"]
    return _cell_um(span + 2 * model["pml_um"])


def _layout(settings: dict[str, Any], model: dict[str, Any], ring: bool) -> dict[str, float]:
    width, pml, lead, margin = (
        settings["width"], model["pml_um"], model["lead_um"], model["margin_um"]
    )
    sx = _ring_cell_length(settings, model) if ring else _cell_um(settings["length"])
    # The bus's centre line; the ring's centre is the origin.
    bus_y = -(settings["radius"] + width + settings["gap"]) if ring else 0.0
    half_y = abs(bus_y) + width / 2 + margin + pml
    sy = _cell_um(2 * half_y)
    return {"sx": sx, "sy": sy, "bus_y": bus_y, "port_x": sx / 2 - pml - lead / 2}


def _run(
    settings: dict[str, Any],
    model: dict[str, Any],
    wavelengths_um: list[float],
    resolution: int,
    time_cap_fs: float,
    ring: bool,
) -> dict[str, list[float]]:
    mp = _import_meep()
    layout = _layout(settings, model, ring)
    core = mp.Medium(index=model["core_index"])
    cladding = mp.Medium(index=model["cladding_index"])
    width = settings["width"]
    sx, sy, bus_y, port_x = layout["sx"], layout["sy"], layout["bus_y"], layout["port_x"]

    geometry = [
        mp.Block(
            size=mp.Vector3(mp.inf, width, mp.inf),
            center=mp.Vector3(0, bus_y),
            material=core,
        )
    ]
    if ring:
        radius = settings["radius"]
        geometry += [
            mp.Block(
                size=mp.Vector3(mp.inf, width, mp.inf),
                center=mp.Vector3(0, -bus_y),
                material=core,
            ),
            mp.Cylinder(radius=radius + width / 2, material=core),
            mp.Cylinder(radius=radius - width / 2, material=cladding),
        ]

    freqs = [1.0 / wl for wl in wavelengths_um]
    fmin, fmax = min(freqs), max(freqs)
    fcen = (fmin + fmax) / 2
    # A pulse a little wider than the band, so that its edges get power too.
    df = max(1.5 * (fmax - fmin), 0.05 * fcen)
    # A line current across the core launches the (single) guided mode both
    # ways, plus some radiation that the monitors, a micron on, no longer
    # see; the bare bus's run measures what reaches them. An eigenmode
    # source would launch the mode alone, but its mode solver makes runs
    # differ in the last digits now and then, and a cache should hold what
    # any run of the same inputs gives.
    sources = [
        mp.Source(
            mp.GaussianSource(fcen, fwidth=df),
            component=mp.Ez,
            center=mp.Vector3(-port_x, bus_y),
            size=mp.Vector3(0, width),
        )
    ]
    sim = mp.Simulation(
        cell_size=mp.Vector3(sx, sy),
        boundary_layers=[mp.PML(model["pml_um"])],
        geometry=geometry,
        sources=sources,
        default_material=cladding,
        resolution=resolution,
    )
    # The monitors span the mode's tails.
    monitor = mp.Vector3(0, 3 * width)
    through = sim.add_flux(freqs, mp.FluxRegion(center=mp.Vector3(port_x, bus_y), size=monitor))
    drop = None
    if ring:
        # The ring hands power to the upper bus travelling towards -x.
        drop = sim.add_flux(
            freqs,
            mp.FluxRegion(center=mp.Vector3(-port_x, -bus_y), size=monitor, weight=-1),
        )
    # MEEP's unit of time is (1 um) / c.
    time_cap = time_cap_fs * 1e-15 * 299_792_458.0 / 1e-6
    decayed = mp.stop_when_fields_decayed(50, mp.Ez, mp.Vector3(port_x, bus_y), model["decay_by"])

    def done(sim: Any) -> bool:
        # One condition, not a list of two: MEEP 1.29 binds a list's conditions
        # late and would only ever ask the last one. The decay test goes first
        # because it must see every step to track the field's maximum.
        return bool(decayed(sim)) or sim.meep_time() >= time_cap

    sim.run(until_after_sources=done)
    out = {"through_flux": [float(v) for v in mp.get_fluxes(through)]}
    if drop is not None:
        out["drop_flux"] = [float(v) for v in mp.get_fluxes(drop)]
    return out


def input_flux(
    settings: dict[str, Any],
    model: dict[str, Any],
    wavelengths_um: list[float],
    resolution: int,
    time_cap_fs: float,
) -> list[float]:
    """The power the source puts into the bare bus, per wavelength (MEEP's units)."""
    return _run(settings, model, wavelengths_um, resolution, time_cap_fs, ring=False)["through_flux"]


def ring_fluxes(
    settings: dict[str, Any],
    model: dict[str, Any],
    wavelengths_um: list[float],
    resolution: int,
    time_cap_fs: float,
) -> dict[str, list[float]]:
    """Through- and drop-port power of the ring, per wavelength (MEEP's units)."""
    return _run(settings, model, wavelengths_um, resolution, time_cap_fs, ring=True)


def straight_settings(ring: dict[str, Any], model: dict[str, Any]) -> dict[str, Any]:
    """The bare bus that normalises `ring`: the same waveguide, the same cell length."""
    return {"width": ring["width"], "length": _ring_cell_length(ring, model)}


def run_timed(
    kind: str,
    settings: dict[str, Any],
    model: dict[str, Any],
    wavelengths_um: list[float],
    resolution: int,
    time_cap_fs: float,
) -> tuple[dict[str, list[float]], float]:
    """One run in this process, for a pool of worker processes: (fluxes, seconds).

    `kind` is "ring" (through- and drop-port fluxes) or "straight" (the
    input flux). The time is the solver's own, measured where it ran.
    """
    if kind not in ("ring", "straight"):
        raise ValueError(f"unknown kind of run: {kind!r}")
    _import_meep()  # imported before the clock starts: once per process, not per run
    start = time.perf_counter()
    fluxes = _run(settings, model, wavelengths_um, resolution, time_cap_fs, ring=kind == "ring")
    return fluxes, time.perf_counter() - start
