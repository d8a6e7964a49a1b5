"""What the documentation needs beyond Sphinx's own extensions.

The extension module's functions carry their signature twice: as
``__signature__``-style introspection (parameter names, kinds, defaults and
annotations, all from the module's signature tables) and as the first line
of the docstring, in the C form ``name(str a: str, ...)`` that ``help()``
shows. The reference takes the signature from introspection and drops that
line, so each signature appears once, as Python spells it.
"""

from __future__ import annotations

from typing import Any

from sphinx.application import Sphinx

EXTENSION_MODULE = "corvina.core.simulation_storage"


def _drop_c_signature(
    app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]
) -> None:
    if what != "function" or getattr(obj, "__module__", None) != EXTENSION_MODULE:
        return
    short = name.rsplit(".", 1)[-1]
    if lines and lines[0].startswith(short + "("):
        del lines[0]
        while lines and not lines[0].strip():
            del lines[0]


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("autodoc-process-docstring", _drop_c_signature)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
