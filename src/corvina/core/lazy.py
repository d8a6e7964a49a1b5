"""Deferred imports.

Heavy optional dependencies (pydantic, orjson, the compiled storage module)
should cost nothing until a code path actually needs them, and modules that
import each other must not deadlock on partially initialised state. The
proxies here stand in for a module or a module attribute and import on first
real use.

Thread safety: the import itself goes through :func:`importlib.import_module`,
whose per-module locks already serialise concurrent first imports and make a
second thread wait for a module another thread is still initialising. A
global lock of our own held across that import would add a second lock order
and could deadlock against a plain ``import`` running in another thread, so
there is none. The only state the proxies keep is a cached module reference,
written once with an atomic attribute store; a race just imports twice into
the same ``sys.modules`` entry.
"""

from __future__ import annotations

import importlib
import sys
from typing import Any

__all__ = ["LazyAttribute", "LazyModule", "lazy_import"]

_MISSING = object()


class LazyModule:
    """Stands for a module that is imported on first attribute access."""

    __slots__ = ("_lazy_name", "_lazy_module")

    def __init__(self, name: str) -> None:
        object.__setattr__(self, "_lazy_name", name)
        object.__setattr__(self, "_lazy_module", None)

    def _lazy_load(self) -> Any:
        module = self._lazy_module
        if module is None:
            module = importlib.import_module(self._lazy_name)
            object.__setattr__(self, "_lazy_module", module)
        return module

    def __getattr__(self, name: str) -> Any:
        # Only reached when normal lookup fails. A slot can be unset on an
        # instance built without __init__ (copy, pickle); answering for it
        # here would recurse forever.
        if name in LazyModule.__slots__:
            raise AttributeError(name)
        return getattr(self._lazy_load(), name)

    def __setattr__(self, name: str, value: Any) -> None:
        # Writes go to the real module so monkeypatching through the proxy
        # affects every user of that module, not just this handle.
        setattr(self._lazy_load(), name, value)

    def __delattr__(self, name: str) -> None:
        delattr(self._lazy_load(), name)

    def __dir__(self) -> list[str]:
        return dir(self._lazy_load())

    def __repr__(self) -> str:
        module = self._lazy_module
        if module is None:
            return f"<lazy module {self._lazy_name!r} (not imported yet)>"
        return f"<lazy module {self._lazy_name!r} -> {module!r}>"


class LazyAttribute:
    """Stands for ``module.attr``, looked up afresh at every use.

    Looking the attribute up each time (rather than caching it) means a later
    rebinding of the module attribute, e.g. by a test's monkeypatch, is seen
    by every holder of the proxy.
    """

    __slots__ = ("_lazy_module_name", "_lazy_attr")

    def __init__(self, module: str, attr: str) -> None:
        self._lazy_module_name = module
        self._lazy_attr = attr

    def resolve(self) -> Any:
        """Import the module if needed and return the attribute's current value."""
        module = importlib.import_module(self._lazy_module_name)
        return getattr(module, self._lazy_attr)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self.resolve()(*args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        if name in LazyAttribute.__slots__:
            raise AttributeError(name)
        return getattr(self.resolve(), name)

    def __str__(self) -> str:
        return str(self.resolve())

    def __format__(self, fmt: str) -> str:
        return format(self.resolve(), fmt)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, LazyAttribute):
            other = other.resolve()
        return self.resolve() == other

    def __hash__(self) -> int:
        return hash(self.resolve())

    def __repr__(self) -> str:
        # repr() is called by debuggers and log formatting, where raising
        # because an optional module is absent would only hide the real
        # problem; say what the proxy is instead.
        try:
            return repr(self.resolve())
        except (ImportError, AttributeError) as exc:
            return (
                f"<lazy attribute {self._lazy_module_name}.{self._lazy_attr}"
                f" (unresolved: {type(exc).__name__})>"
            )


def lazy_import(module: str, attr: str | None = None) -> Any:
    """Defer importing ``module`` (or fetching ``module.attr``) until first use.

    ``lazy_import("orjson")`` returns a :class:`LazyModule`; the import runs on
    the first attribute access, and a missing module raises
    :class:`ModuleNotFoundError` there, not here.

    ``lazy_import("pkg.mod", "name")`` returns a :class:`LazyAttribute` whose
    call imports ``pkg.mod`` and looks ``name`` up at call time, so rebinding
    ``pkg.mod.name`` later is honoured.

    Non-callable attributes (``lazy_import("corvina", "__version__")``): if
    ``module`` is already in ``sys.modules`` and has the attribute, there is
    nothing to defer and the plain value itself is returned, so callers get a
    real ``str`` (or whatever it is) with its full behaviour. Otherwise, e.g.
    the module has not been imported yet, or is still initialising in a
    circular import, a :class:`LazyAttribute` is returned; its ``str()``,
    ``==``, ``hash()``, ``repr()`` and ``format()`` use the real value, and
    ``resolve()`` returns it. Code that needs the exact type (``isinstance``,
    serialisers) should call ``resolve()``. Callables always get the proxy,
    even when the module is loaded, because the proxy's point is to follow
    rebinding.
    """
    if not module or module.startswith("."):
        raise ValueError(f"lazy_import needs an absolute module name, got {module!r}")
    if attr is None:
        return LazyModule(module)
    loaded = sys.modules.get(module)
    if loaded is not None:
        value = getattr(loaded, attr, _MISSING)
        if value is not _MISSING and not callable(value):
            return value
    return LazyAttribute(module, attr)
