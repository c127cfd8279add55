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

# MathJax from Debian's libjs-mathjax (the Makefile installs it), copied into the site so
# that the pages need nothing off this machine: the loader, the TeX-to-CommonHTML set and
# its web fonts only (symbolic links followed: Debian links the fonts from elsewhere).
MATHJAX = Path("/usr/share/javascript/mathjax")
MATHJAX_PARTS = ["MathJax.js", "config/TeX-AMS_CHTML.js", "extensions", "jax/input/TeX", "jax/element",
                 "jax/output/CommonHTML", "fonts/HTML-CSS/TeX/woff"]
mathjax_path = "mathjax/MathJax.js?config=TeX-AMS_CHTML"
mathjax_options = {}


def _copy_mathjax(app, exception):
    if exception is not None or app.builder.format != "html":
        return
    if not (MATHJAX / "MathJax.js").is_file():
        raise RuntimeError(f"MathJax not found in {MATHJAX} (Debian: apt-get install libjs-mathjax)")
    import shutil

    dest = Path(app.outdir) / "_static" / "mathjax"
    for part in MATHJAX_PARTS:
        src, out = MATHJAX / part, dest / part
        out.parent.mkdir(parents=True, exist_ok=True)
        if src.is_dir():
            shutil.copytree(src, out, dirs_exist_ok=True)
        else:
            shutil.copyfile(src, out)


def setup(app):
    app.connect("build-finished", _copy_mathjax)
