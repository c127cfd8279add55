"""Sphinx configuration of the quorvalis documentation (``make docs``)."""

import os
import sys
from pathlib import Path

import quorvalis

sys.path.insert(0, str(Path(__file__).parent / "_ext"))
os.environ.setdefault("MPLBACKEND", "Agg")

project = "quorvalis"
author = "The quorvalis developers"
copyright = "2026, The quorvalis developers"
release = version = quorvalis.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.intersphinx",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
    "qvdocs",
]

templates_path = ["_templates"]
exclude_patterns = ["_build"]
html_static_path = []

# The reference lists every public name; pages are generated from the docstrings.
autosummary_generate = True
autosummary_imported_members = True
autodoc_typehints = "none"  # the docstrings' Parameters sections say the types
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
# Validation of the docstrings' layout: the sections that exist must be well formed.
numpydoc_validation_checks = {"GL06", "GL07", "PR09"}

# No intersphinx inventories are fetched: the build must work offline and stay warning-free.
intersphinx_mapping = {}

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "matplotlib_animations": False,
    "show_memory": False,
}

plot_include_source = False
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 100)]
plot_rcparams = {}
plot_working_directory = str(Path(__file__).parents[1])

html_theme = "pydata_sphinx_theme"
html_title = f"quorvalis {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
html_context = {"default_mode": "light"}
html_show_sourcelink = False
