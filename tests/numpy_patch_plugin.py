"""pytest plugin: installs the NumPy patch before any test module is imported.

Test modules that bind NumPy names at import (``from numpy import dot``) get
the wrappers too.  Used by test_numpy_patch_suites.py to run NumPy's own
tests with the patch in place.
"""


def pytest_configure(config):
    import tarnex.zel.zel as zel

    zel.patch_numpy()
