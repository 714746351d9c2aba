"""NumPy's own tests of linalg and lib, run with the patch installed.

The three test files ship inside the installed numpy package.  They run in a
subprocess whose pytest loads numpy_patch_plugin, so the patch is in place
before NumPy's test modules import.  A test that fails there is run again
without the patch: only tests that pass without it count against the patch,
and each of those must be one of the known differences below.
"""
import os
import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ET

import numpy as np
import pytest

NUMPY_DIR = pathlib.Path(np.__file__).parent
SUITES = ["linalg/tests/test_linalg.py", "lib/tests/test_function_base.py", "lib/tests/test_shape_base.py"]

# A one-element result of a patched name is a scalar (the specified result
# shape): these tests multiply 1 x 1 (or 1 x n by n x 1) matrices with
# np.dot or np.matmul and need the product as a 1 x 1 array.
ONE_ELEMENT = "one-element matrix product returned as a scalar"
KNOWN = {
    "test_linalg.TestSolve::test_sq_cases": ONE_ELEMENT,
    "test_linalg.TestPinv::test_sq_cases": ONE_ELEMENT,
    "test_linalg.TestPinv::test_nonsq_cases": ONE_ELEMENT,
    "test_linalg.TestPinvHermitian::test_herm_cases": ONE_ELEMENT,
    "test_linalg.TestCholesky::test_basic_property[False-float32-shape0]": ONE_ELEMENT,
    "test_linalg.TestCholesky::test_basic_property[False-float64-shape0]": ONE_ELEMENT,
    "test_linalg.TestCholesky::test_basic_property[True-float32-shape0]": ONE_ELEMENT,
    "test_linalg.TestCholesky::test_basic_property[True-float64-shape0]": ONE_ELEMENT,
}


def run_pytest(args, junit, patched, cwd):
    here = str(pathlib.Path(__file__).parent)
    env = dict(os.environ, ZEL_DEVICE=os.environ.get("ZEL_DEVICE", "host"),
               PYTHONPATH=os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")])))
    plugin = ["-p", "numpy_patch_plugin"] if patched else []
    cmd = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *plugin, f"--junitxml={junit}", *args]
    subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=1200)
    return outcomes(junit)


def outcomes(junit):
    """{(file, key): outcome}, key as "test_module.Class::name"."""
    result = {}
    for case in ET.parse(junit).getroot().iter("testcase"):
        module_class = case.get("classname").rsplit(".tests.", 1)[-1]
        tags = {child.tag for child in case}
        outcome = "fail" if tags & {"failure", "error"} else "skip" if "skipped" in tags else "pass"
        result[module_class + "::" + case.get("name")] = outcome
    return result


def node_id(key):
    module_class, name = key.split("::", 1)
    module, _, cls = module_class.partition(".")
    path = next(NUMPY_DIR / s for s in SUITES if pathlib.Path(s).stem == module)
    return "::".join(filter(None, [str(path), cls, name]))


def test_numpy_suites_pass_with_the_patch(tmp_path):
    paths = [NUMPY_DIR / s for s in SUITES]
    if not all(p.exists() for p in paths):
        pytest.skip("this numpy installation ships without its tests")
    patched = run_pytest([str(p) for p in paths], tmp_path / "patched.xml", True, tmp_path)
    failed = sorted(k for k, v in patched.items() if v == "fail")
    unpatched = run_pytest([node_id(k) for k in failed], tmp_path / "unpatched.xml", False, tmp_path) if failed else {}
    regressions = [k for k in failed if unpatched.get(k) == "pass"]
    assert not set(regressions) - set(KNOWN), "new failures with the patch"
    for suite in SUITES:
        module = pathlib.Path(suite).stem + "."
        passes = sum(1 for k, v in patched.items() if k.startswith(module) and v == "pass")
        lost = sum(1 for k in regressions if k.startswith(module))
        assert passes > 50, f"{suite} did not run"
        assert passes >= 0.98 * (passes + lost), suite
