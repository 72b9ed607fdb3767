"""Sphinx configuration of the kit's documentation site (`make docs`)."""

import sys
from pathlib import Path

import varden

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "varden"
release = version = varden.__version__
copyright = "the varden developers"

extensions = ["myst_parser", "sphinx.ext.napoleon", "varden_reference", "varden_cli"]
exclude_patterns = ["_build", "_ext"]
# `name` in a docstring links to that name where the site documents it, else reads as code.
default_role = "py:obj"
napoleon_google_docstring = False
# Each page documents one module, named in its title: entries show their bare names.
add_module_names = False
# Long signatures get one parameter a line.
python_maximum_signature_line_length = 88
# Headings of the markdown pages get anchors, so that pages can link to them.
myst_heading_anchors = 3

html_theme = "furo"
html_title = "varden %s" % release
# The footer names the kit only.
html_show_sphinx = False
