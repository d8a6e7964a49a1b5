"""How a cached simulation travels to another process.

By reference only where the receiving process can import it: a module other
than the main script whose name for it leads back to this very object. A
solver of a script or a notebook (``__main__``, which a cluster's worker does
not import; ``__mp_main__``, the same script re-run by a spawned child) or
one that its name does not lead back to travels by value, as cloudpickle
sends a plain function: embedded as cloudpickle's bytes, so that plain pickle
(a process pool's spawned children) carries it too. Without cloudpickle, a
script's own solver goes by name, which a spawned child finds and a
cluster's worker refuses, saying why.
"""

from __future__ import annotations

import importlib
import pickle
import sys
import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from corvina.compute import CachedSimulation

# A script run as a program, and the same script re-run by a spawned child.
_MAIN_MODULES = frozenset({"__main__", "__mp_main__"})

# The cached simulations whose cloudpickle bytes this thread is making.
_EMBEDDING = threading.local()


def reduce_cached(
    cached: CachedSimulation[Any], function: Callable[..., Any], options: dict[str, Any]
) -> str | tuple[Any, ...]:
    """``cached.__reduce__()``: ``function`` decorated with ``options``, by reference or by value."""
    module = getattr(function, "__module__", None)
    leads_back = _found_by_name(module, function.__qualname__) is cached
    cloudpickle = _cloudpickle()
    if cloudpickle is None:
        return _reduce_without_cloudpickle(function, options, module, leads_back)
    if leads_back and module not in _MAIN_MODULES and not _registered_by_value(cloudpickle, module):
        return function.__qualname__
    embedding = _EMBEDDING.__dict__.setdefault("ids", set())
    if id(cached) in embedding:
        # Inside our own cloudpickle pass (the solver's globals lead back
        # here): an object whose state comes after it, so that the cycle
        # closes on this object and the function is whole before it is
        # given to __init__.
        return (_shell, (), (function, options))
    embedding.add(id(cached))
    try:
        payload = cloudpickle.dumps(cached, protocol=pickle.HIGHEST_PROTOCOL)
    finally:
        embedding.discard(id(cached))
    return (_from_cloudpickle, (payload,))


def _reduce_without_cloudpickle(
    function: Callable[..., Any], options: dict[str, Any], module: str | None, leads_back: bool
) -> str | tuple[Any, ...]:
    if leads_back and module not in _MAIN_MODULES:
        return function.__qualname__
    if leads_back:
        # A script's own solver, by its name: a spawned child runs the
        # script as its main module and finds it; a cluster's worker does
        # not, and says why.
        return (_by_name, (module, function.__qualname__))
    if _found_by_name(module, function.__qualname__) is function and module not in _MAIN_MODULES:
        return (_rebuild, (function, options))
    raise pickle.PicklingError(
        f"cannot send the cached simulation {function.__qualname__} of module {module} to "
        "another process: its function can only travel by value, which needs cloudpickle "
        "(pip install cloudpickle, Debian python3-cloudpickle); or define the solver at the "
        "top level of an importable module"
    )


def _cloudpickle() -> Any:
    # Optional: plain functions and importable solvers need no more than pickle.
    try:
        return importlib.import_module("cloudpickle")
    except ImportError:
        return None


def _registered_by_value(cloudpickle: Any, module: str | None) -> bool:
    # cloudpickle.register_pickle_by_value(module) asks that a module's
    # functions travel by value (a module beside the script that workers
    # cannot import); a cached solver of it does the same.
    if not module:
        return False
    try:
        registry = cloudpickle.list_registry_pickle_by_value()
    except AttributeError:
        return False
    parts = module.split(".")
    return any(".".join(parts[:n]) in registry for n in range(1, len(parts) + 1))


def _found_by_name(module: str | None, qualname: str) -> Any:
    target: Any = sys.modules.get(module) if module else None
    for part in qualname.split("."):
        if target is None:
            return None
        target = getattr(target, part, None)
    return target


# What the pickled forms above are loaded with. They import the decorator's
# class when called, not before: it imports this module.


def _rebuild(function: Callable[..., Any], options: dict[str, Any]) -> CachedSimulation[Any]:
    from corvina.compute import CachedSimulation

    return CachedSimulation(function, **options)


def _shell() -> CachedSimulation[Any]:
    from corvina.compute import CachedSimulation

    return CachedSimulation.__new__(CachedSimulation)


def _from_cloudpickle(payload: bytes) -> CachedSimulation[Any]:
    # cloudpickle's bytes are plain pickle bytes that name cloudpickle's
    # helpers; loading them needs cloudpickle importable here too.
    loaded: CachedSimulation[Any] = pickle.loads(payload)
    return loaded


def _by_name(module: str, qualname: str) -> CachedSimulation[Any]:
    target = _found_by_name(module, qualname)
    if target is None:
        raise pickle.UnpicklingError(
            f"the cached simulation {qualname} was sent by name from module {module}, which this "
            "process does not have (a script's solver on a cluster's worker); install cloudpickle "
            "where it is sent from, so that it travels by value"
        )
    return target  # type: ignore[no-any-return]
