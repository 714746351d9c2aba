"""The kernel list is the one place kernels are named: the kernel bodies, the
host library and the module's launches are all compiled from it."""
import os
import pathlib
import re
import shutil
import subprocess

import pytest

import tarnex.zel.zel as zel
from tarnex.zel.cuda import cubin_loader
from tarnex.zel.host import host_kernel_library

ZEL = pathlib.Path(__file__).resolve().parent.parent / "tarnex" / "zel"
LIST = ZEL / "cuda" / "kernels" / "list.cuh"
ENTRY = re.compile(r"X\((\w+), \"([cmild]*)\", (Line|Tile|Single)\)")


def _listed():
    return ENTRY.findall(LIST.read_text())


def test_the_host_library_has_exactly_the_listed_kernels():
    names = [name for name, _, _ in _listed()]
    assert len(names) == len(set(names)) and len(names) > 60
    assert host_kernel_library().kernel_names() == sorted(names)


def test_get_kernel_still_hands_out_the_loaders_objects():
    for name in ("fp_add_kernel", "fp_mm_kernel", "fp_sum_tree_kernel"):
        assert zel._get_kernel(name) is cubin_loader.get_kernel(name)
    with pytest.raises(AttributeError):
        zel._get_kernel("fp_no_such_kernel")


def _compile(tmp_path, source):
    if shutil.which("g++") is None:
        pytest.skip("g++ is needed")
    src = tmp_path / "t.cpp"
    src.write_text(source)
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return subprocess.run(["g++", "-std=c++20", "-fsyntax-only", "-I", str(ZEL), str(src)],
                          capture_output=True, text=True, env=env)


def test_a_kernel_body_not_on_the_list_fails_to_compile(tmp_path):
    ok = _compile(tmp_path, '#include "cuda/kernels/kernel.cuh"\nZEL_KERNEL(fp_zeros_kernel, (int n)) { (void)n; }\n')
    assert ok.returncode == 0, ok.stderr
    res = _compile(tmp_path, '#include "cuda/kernels/kernel.cuh"\nZEL_KERNEL(fp_zero_kernel, (int n)) { (void)n; }\n')
    assert res.returncode != 0 and "fp_zero_kernel" in res.stderr


def test_a_misspelt_kernel_id_fails_to_compile(tmp_path):
    res = _compile(tmp_path, '#include "cuda/kernels/list.cuh"\nauto k = zel::KernelId::fp_ad_kernel;\n')
    assert res.returncode != 0 and "fp_ad_kernel" in res.stderr


def test_parameters_other_than_the_lists_are_caught_at_compile_time(tmp_path):
    # The host library asserts signature_is for every entry; here with the
    # list's letters for fp_add_kernel and with a wrong count and kind.
    head = '#include "host/launch.hpp"\n#include "cuda/kernels/elementwise.cuh"\n'
    res = _compile(tmp_path, head + 'static_assert(zel::signature_is(&fp_add_kernel_host, "ccmi"));\n'
                                    'static_assert(!zel::signature_is(&fp_add_kernel_host, "ccm"));\n'
                                    'static_assert(!zel::signature_is(&fp_add_kernel_host, "ccml"));\n'
                                    'static_assert(!zel::signature_is(&fp_add_kernel_host, "cmmi"));\n')
    assert res.returncode == 0, res.stderr
