# Sphinx configuration for the tarnex.zel documentation (scripts/docs builds it).
import os
import sys

# The examples are exact on every device; they run on the CPU backend unless
# the environment asks for another.
os.environ.setdefault("ZEL_DEVICE", "host")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "_ext"))

project = "tarnex.zel"
author = "The tarnex.zel developers"
copyright = "the tarnex.zel developers"
release = "0.1.0"

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "zeldocs",
]

exclude_patterns = ["_build", "_generated"]
html_theme = "alabaster"
html_theme_options = {"description": "Exact 512-bit fixed-point tensors", "page_width": "1100px"}

napoleon_google_docstring = True
napoleon_numpy_docstring = False
autodoc_member_order = "bysource"
default_role = "code"

doctest_global_setup = """
import os
os.environ.setdefault("ZEL_DEVICE", "host")
import numpy as np
import tarnex.zel.zel as zel
from fractions import Fraction
"""
