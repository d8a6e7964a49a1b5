"""Compute each simulation once, across every worker that shares a store.

:func:`cached_simulation` turns a solver function into one whose calls return
stored records: the arguments are mapped onto the six identity fields, a hit
comes from the store, and a miss is computed by exactly one worker through
``get_or_compute_simulation_result`` (the others wait for its result).

:func:`compute_many` runs a sweep so that workers running the same sweep
share it: it serves the hits, computes every point that nobody has claimed,
and only then waits for the points that other workers hold.
"""

from __future__ import annotations

import collections
import functools
import inspect
import threading
from concurrent.futures import Future
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Generic, ParamSpec, TypeGuard

from corvina import _pickling
from corvina.core import simulation_storage as _store
from corvina.models import SimulationHyperparameters

if TYPE_CHECKING:
    from corvina.models import SimulationOutcome, StoredSimulationResult

__all__ = ["CachedSimulation", "cached_simulation", "compute_many"]

P = ParamSpec("P")

# Points held by other workers that one sweep waits for at once; more wait
# their turn (each wait polls the store, so a bound keeps a sweep's requests
# to an object store modest).
_WAITERS = 16


def compute_many(
    points: Iterable[Any],
    compute: Callable[[Any], SimulationOutcome | Mapping[str, Any]],
    *,
    identity: Callable[[Any], Mapping[str, Any]] | None = None,
    lease: float = 60.0,
    wait: float | None = None,
    store_errors: bool = False,
) -> list[StoredSimulationResult]:
    """The stored result of every point, computing each missing one once.

    ``identity(point)`` gives the point's six identity fields (by default the
    point is that mapping itself); ``compute(point)`` runs the solver and
    returns its outcome, as for ``get_or_compute_simulation_result``. The
    first pass serves the hits and computes the points that no worker holds,
    in the order given; the second waits for the points that other workers
    were computing, all of them at once (``wait`` bounds each such wait),
    taking over any whose worker died and computing those one at a time.
    The results come in the order of ``points``; the first error in that
    order is raised.

    On an object store one listing looks at the whole sweep, and is taken
    again after each point computed here, so that a point another worker
    stored or claimed meanwhile costs one read, or nothing, instead of a
    lookup of its own.
    """
    sweep = _Sweep(list(points), compute, identity, lease, store_errors)
    if sweep.keys is not None:
        listed = _store._lookup_sweep(sweep.keys)
        if listed is not None:
            return sweep.by_listing(listed, wait)
    return sweep.point_by_point(wait)


class _Sweep:
    """One run of :func:`compute_many`: the points, their fields and results."""

    def __init__(
        self,
        points: list[Any],
        compute: Callable[[Any], Any],
        identity: Callable[[Any], Mapping[str, Any]] | None,
        lease: float,
        store_errors: bool,
    ) -> None:
        self.points = points
        self.compute = compute
        self.fields = [dict(identity(p) if identity is not None else p) for p in points]
        self.options = {"lease": lease, "store_errors": store_errors}
        self.results: list[StoredSimulationResult | None] = [None] * len(points)
        self.keys = self._keys()

    def _keys(self) -> list[tuple[str, str, str]] | None:
        # What the store's listing knows points by; None where a point's names
        # are not plain text (the points are then looked up one by one).
        keys = []
        for f in self.fields:
            kind, name = f.get("simulation_type"), f.get("component_name")
            if type(kind) is not str or type(name) is not str:
                return None
            simulation_id = _store._compute_simulation_id(**f)
            if type(simulation_id) is not str:
                return None
            keys.append((kind, name, simulation_id))
        return keys

    def wait_together(self, held: list[int], wait: float | None) -> None:
        """Waits for the points other workers hold, all at once.

        Each wait is the store's own (``wait`` bounds each), run in a thread
        of a small pool: the native wait sleeps without the interpreter lock,
        so a rerun after a crash costs about one lease however many points the
        dead worker held, not one lease per point. A point taken over here is
        computed under one lock, so the solver still runs one call at a time,
        as in the first pass. The first error, in the order of the points, is
        raised once the points before it are done; an interrupted sweep leaves
        the remaining waits to end on their own, and a point one of them takes
        over after that is released at once instead of computed.
        """
        if not held:
            return
        solver = threading.Lock()
        abandoned = threading.Event()
        futures: dict[int, Future[StoredSimulationResult]] = {i: Future() for i in held}
        queue = collections.deque(held)

        def wait_for(i: int) -> StoredSimulationResult:
            return _store.get_or_compute_simulation_result(
                **self.fields[i],
                compute=_OneAtATime(solver, abandoned, self.compute, self.points[i]),
                wait=wait, **self.options,  # type: ignore[arg-type]
            )

        def waiter() -> None:
            while not abandoned.is_set():
                try:
                    i = queue.popleft()
                except IndexError:
                    return
                future = futures[i]
                try:
                    future.set_result(wait_for(i))
                except BaseException as exc:  # handed to the sweep's own thread
                    future.set_exception(exc)

        if len(held) == 1:
            waiter()
        else:
            # Daemon threads: an interrupted sweep must not sit out the waits
            # of points it no longer wants.
            for n in range(min(len(held), _WAITERS)):
                threading.Thread(target=waiter, name=f"corvina-wait-{n}", daemon=True).start()
        try:
            for i in held:
                self.results[i] = futures[i].result()
        finally:
            abandoned.set()

    def point_by_point(self, wait: float | None) -> list[StoredSimulationResult]:
        held_elsewhere: list[int] = []
        for i, point in enumerate(self.points):
            run = _Run(self.compute, point)
            try:
                self.results[i] = _store.get_or_compute_simulation_result(
                    **self.fields[i], compute=run, wait=0.0, **self.options  # type: ignore[arg-type]
                )
            except TimeoutError:
                if run.ran:  # the solver's own timeout, not another worker's claim
                    raise
                held_elsewhere.append(i)
        self.wait_together(held_elsewhere, wait)
        return self.results  # type: ignore[return-value]

    def by_listing(self, listed: list[Any], wait: float | None) -> list[StoredSimulationResult]:
        assert self.keys is not None
        keys = self.keys
        state = listed
        held_elsewhere: list[int] = []
        for i, point in enumerate(self.points):
            seen = state[i]
            if seen is True:
                held_elsewhere.append(i)
                continue
            if _is_record(seen):
                self.results[i] = seen
                continue
            run = _Run(self.compute, point)
            record = _store._claim_unless_held(**self.fields[i], compute=run, **self.options)  # type: ignore[arg-type]
            if record is None:
                held_elsewhere.append(i)
                continue
            self.results[i] = record
            # While the solver ran, other workers went on: look again at the
            # points not seen stored or claimed yet.
            unseen = [j for j in range(i + 1, len(self.points)) if state[j] is None]
            if run.ran and unseen:
                fresh = _store._lookup_sweep([keys[j] for j in unseen])
                if fresh is not None:
                    for j, seen in zip(unseen, fresh):
                        state[j] = seen
        if held_elsewhere:
            # One more look catches the points finished meanwhile for the
            # price of a listing; the rest are waited for together.
            fresh = _store._lookup_sweep([keys[j] for j in held_elsewhere])
            if fresh is not None:
                for j, seen in zip(held_elsewhere, fresh):
                    if _is_record(seen):
                        self.results[j] = seen
                held_elsewhere = [j for j in held_elsewhere if self.results[j] is None]
        self.wait_together(held_elsewhere, wait)
        return self.results  # type: ignore[return-value]


class _Run:
    """``compute(point)`` as a call without arguments, remembering whether it ran."""

    def __init__(self, compute: Callable[[Any], Any], point: Any) -> None:
        self.compute = compute
        self.point = point
        self.ran = False

    def __call__(self) -> Any:
        self.ran = True
        return self.compute(self.point)


class _Abandoned(BaseException):
    """Ends a takeover that a sweep no longer wants (never stored as an error)."""


class _OneAtATime:
    """``compute(point)`` for a point taken over while waiting: one solver run at a time."""

    def __init__(
        self, lock: threading.Lock, abandoned: threading.Event, compute: Callable[[Any], Any], point: Any
    ) -> None:
        self.lock = lock
        self.abandoned = abandoned
        self.compute = compute
        self.point = point

    def __call__(self) -> Any:
        with self.lock:
            if self.abandoned.is_set():
                # The sweep was interrupted: release the claim, store nothing
                # (a BaseException is never saved as an error record).
                raise _Abandoned("the sweep that waited for this point was interrupted")
            return self.compute(self.point)


def _is_record(seen: Any) -> TypeGuard[StoredSimulationResult]:
    """Whether a sweep's look found the point's record (not True: claimed; not None)."""
    return seen is not None and not isinstance(seen, bool)


class CachedSimulation(Generic[P]):
    """A solver function whose calls return stored results (see :func:`cached_simulation`)."""

    def __init__(
        self,
        function: Callable[P, SimulationOutcome | Mapping[str, Any]],
        *,
        simulation_type: str,
        component_name: str | None,
        factory_name: str | None,
        model_parameters: str | Sequence[str],
        hyperparameters: str | SimulationHyperparameters,
        lease: float,
        wait: float | None,
        store_errors: bool,
    ) -> None:
        functools.update_wrapper(self, function)
        self.__wrapped__ = function
        self._options = {
            "simulation_type": simulation_type, "component_name": component_name,
            "factory_name": factory_name, "model_parameters": model_parameters,
            "hyperparameters": hyperparameters, "lease": lease, "wait": wait,
            "store_errors": store_errors,
        }
        self._signature = inspect.signature(function)
        names = self._signature.parameters
        self.simulation_type = simulation_type
        self.component_name = component_name or function.__name__
        # A spawned child re-runs the script as __mp_main__: its solvers are
        # still the script's, and must name the same identity as the parent's.
        module = "__main__" if function.__module__ == "__mp_main__" else function.__module__
        self.factory_name = factory_name or f"{module}.{function.__qualname__}"
        if isinstance(model_parameters, str):
            model_names: tuple[str, ...] = (model_parameters,)
        else:
            model_names = tuple(model_parameters)
        self._model_whole = isinstance(model_parameters, str)
        self._model_names = model_names
        if isinstance(hyperparameters, str):
            self._hyper_name: str | None = hyperparameters if hyperparameters in names else None
            self._hyper_fixed = SimulationHyperparameters()
        else:
            self._hyper_name = None
            self._hyper_fixed = hyperparameters
        unknown = [n for n in model_names if n not in names]
        if unknown:
            raise TypeError(
                f"{function.__qualname__}() has no parameter {unknown[0]!r} to take the "
                "model parameters from"
            )
        self.lease = lease
        self.wait = wait
        self.store_errors = store_errors

    def identity(self, *args: P.args, **kwargs: P.kwargs) -> dict[str, Any]:
        """The six identity fields of a call with these arguments."""
        bound = self._signature.bind(*args, **kwargs)
        bound.apply_defaults()
        arguments: dict[str, Any] = {}
        for name, value in bound.arguments.items():
            kind = self._signature.parameters[name].kind
            if kind is inspect.Parameter.VAR_KEYWORD:
                arguments.update(value)
            elif kind is inspect.Parameter.VAR_POSITIONAL:
                arguments[name] = list(value)
            else:
                arguments[name] = value
        hyperparameters = (
            arguments.pop(self._hyper_name) if self._hyper_name is not None else self._hyper_fixed
        )
        model = {name: arguments.pop(name) for name in self._model_names}
        if self._model_whole:
            model = model[self._model_names[0]]
        return {
            "component_name": self.component_name,
            "factory_name": self.factory_name,
            "component_settings": arguments,
            "model_parameters": model,
            "hyperparameters": hyperparameters,
            "simulation_type": self.simulation_type,
        }

    def __call__(self, *args: P.args, **kwargs: P.kwargs) -> StoredSimulationResult:
        """The stored result of this call: found, or computed once across workers."""
        fields = self.identity(*args, **kwargs)
        return _store.get_or_compute_simulation_result(
            **fields,
            compute=functools.partial(self.__wrapped__, *args, **kwargs),
            lease=self.lease,
            wait=self.wait,
            store_errors=self.store_errors,
        )

    def find(self, *args: P.args, **kwargs: P.kwargs) -> StoredSimulationResult | None:
        """The stored result of this call, if there is one; never computes."""
        return _store.find_simulation_result(**self.identity(*args, **kwargs))

    def map(self, points: Iterable[Mapping[str, Any]]) -> list[StoredSimulationResult]:
        """The stored results of calls with these keyword arguments, as a shared sweep.

        See :func:`compute_many`: hits first, then the points nobody holds,
        then the points other workers are computing.
        """

        def run(point: Mapping[str, Any]) -> Any:
            return self.__wrapped__(**point)  # type: ignore[call-arg]

        return compute_many(
            points,
            run,
            identity=lambda point: self.identity(**point),  # type: ignore[call-arg]
            lease=self.lease,
            wait=self.wait,
            store_errors=self.store_errors,
        )

    def __reduce__(self) -> str | tuple[Any, ...]:
        # By reference where the receiving process can import it, else by
        # value (see corvina._pickling).
        return _pickling.reduce_cached(self, self.__wrapped__, self._options)

    def __setstate__(self, state: tuple[Callable[P, Any], dict[str, Any]]) -> None:
        function, options = state
        self.__init__(function, **options)  # type: ignore[misc]

    def __repr__(self) -> str:
        return f"<cached simulation {self.__wrapped__.__qualname__} ({self.simulation_type})>"


def cached_simulation(
    simulation_type: str,
    *,
    component_name: str | None = None,
    factory_name: str | None = None,
    model_parameters: str | Sequence[str] = (),
    hyperparameters: str | SimulationHyperparameters = "hyperparameters",
    lease: float = 60.0,
    wait: float | None = None,
    store_errors: bool = False,
) -> Callable[[Callable[P, Any]], CachedSimulation[P]]:
    """Decorates a solver function so that its calls return stored results.

    The arguments of a call (defaults filled in) become the identity:

    - ``hyperparameters``: the argument of that name (a
      ``SimulationHyperparameters``); or, given an instance here, that one for
      every call; without either, the defaults;
    - ``model_parameters``: the argument of that name (a dict), or a dict of
      the arguments of those names; none by default;
    - ``component_settings``: every other argument, by name;
    - ``component_name`` and ``factory_name``: given here, by default the
      function's name and its module-qualified name;
    - ``simulation_type``: given here.

    The function returns the outcome as ``get_or_compute_simulation_result``
    takes it (a mapping with ``result`` and ``wavelengths``, ...). Calling the
    decorated function returns the stored record; ``.map(points)`` runs a
    sweep of keyword-argument mappings through :func:`compute_many`,
    ``.find(...)`` only looks, and ``.identity(...)`` gives the fields.
    """

    def decorate(function: Callable[P, Any]) -> CachedSimulation[P]:
        return CachedSimulation(
            function,
            simulation_type=simulation_type,
            component_name=component_name,
            factory_name=factory_name,
            model_parameters=model_parameters,
            hyperparameters=hyperparameters,
            lease=lease,
            wait=wait,
            store_errors=store_errors,
        )

    return decorate
