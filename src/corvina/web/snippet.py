"""One result's page: how to get the result from Python."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from corvina.models import StoredSimulationResult


def python_snippet(record: StoredSimulationResult) -> str:
    """How to get this result from Python: by its ID, and by the decorator where one fits."""
    lines = [
        "from corvina.core.simulation_storage import load_simulation_result",
        "",
        f"record = load_simulation_result({record.simulation_id!r})",
        "record.result            # the stored outcome",
        "record.wavelengths       # in µm",
    ]
    decorated = _decorator_snippet(record)
    if decorated:
        lines += ["", "# The same result through the decorator (served from the store, "
                  "never recomputed while it is there):", *decorated]
    return "\n".join(lines) + "\n"


def _decorator_snippet(record: StoredSimulationResult) -> list[str]:
    import keyword

    settings = record.component_settings
    names = list(settings)
    # The decorator names settings by their function's arguments: only
    # settings that are Python names (and not the names it keeps for
    # itself) can come back through it.
    reserved = {"model", "hyperparameters", "lease", "wait", "store_errors"}
    if not all(n.isidentifier() and not keyword.iskeyword(n) and n not in reserved for n in names):
        return []
    function = record.component_name if record.component_name.isidentifier() and not keyword.iskeyword(
        record.component_name) else "simulate"
    options = [repr(record.simulation_type), f"component_name={record.component_name!r}",
               f"factory_name={record.factory_name!r}"]
    if record.model_parameters:
        options.append('model_parameters="model"')
    arguments = [*names]
    keyword_only = ["hyperparameters: SimulationHyperparameters"]
    if record.model_parameters:
        keyword_only.insert(0, "model: dict")
    call = [f"{n}={settings[n]!r}" for n in names]
    if record.model_parameters:
        call.append(f"model={record.model_parameters!r}")
    hp = record.hyperparameters.model_dump()
    call.append(f"hyperparameters=SimulationHyperparameters(**{hp!r})")
    return [
        "from corvina.compute import cached_simulation",
        "from corvina.models import SimulationHyperparameters",
        "",
        f"@cached_simulation({', '.join(options)})",
        f"def {function}({', '.join([*arguments, '*', *keyword_only])}):",
        "    ...  # your solver; returns {\"result\": ..., \"wavelengths\": ...}",
        "",
        f"record = {function}({', '.join(call)})",
    ]
