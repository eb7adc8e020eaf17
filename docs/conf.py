"""Sphinx configuration of velmora's documentation site (`make docs`)."""

project = "velmora"
author = "velmora developers"
extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_static_path: list[str] = []

# The numpydoc sections of the docstrings (Parameters, Returns, Raises, Notes ...).
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "show-inheritance": True}
# The compiled core is documented through its stub; importing the products must not
# need market data, so nothing is mocked.
myst_heading_anchors = 3
# The README's sections are included under each page's own title.
suppress_warnings = ["myst.xref_missing", "myst.header"]
