"""Sphinx configuration of the documentation site (``./dev docs``)."""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import tempfile
from pathlib import Path

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS / "_ext"))

# Pages that draw their pictures at build time (the tutorial's sweep) save
# into a store of their own, never into the reader's.
_store = tempfile.mkdtemp(prefix="corvina-docs-store-")
atexit.register(shutil.rmtree, _store, ignore_errors=True)
os.environ["CORVINA_SIMULATIONS_DIR"] = _store
os.environ.setdefault("MPLBACKEND", "Agg")
# autodoc would read the compiled module from its type stub (.pyi), whose
# docstrings are summaries; the reference takes the module's own, built
# from its signature tables, and the signatures the module reports.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"

import corvina  # noqa: E402  (after the store is set)

project = "corvina"
author = "the corvina developers"
copyright = "the corvina developers"
release = version = corvina.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.intersphinx",
    "sphinxarg.ext",
    "matplotlib.sphinxext.plot_directive",
    "corvina_docs",
]

smartquotes = False  # options such as --columns stay as typed
source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

# The reference follows the code: signatures from the functions themselves,
# types as the code writes them, members in the order of the source.
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_preserve_defaults = True
# The extension module's docstrings start with the C form of the signature;
# corvina_docs drops that line and introspection gives the signature.
autodoc_docstring_signature = False
napoleon_google_docstring = True
napoleon_numpy_docstring = False

# No network at build time: cross-references to Python's own documentation
# are left as plain text.
intersphinx_mapping: dict[str, tuple[str, str | None]] = {}

plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 100)]

html_theme = "pydata_sphinx_theme"
html_title = "corvina"
html_static_path: list[str] = []
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
}
# Pages without sub-pages need no section navigation: their code gets the width.
html_sidebars: dict[str, list[str]] = {
    page: [] for page in ("index", "install", "tutorial", "demo", "developing")
}
