"""Import-time behaviour: namespace values, guards and device selection."""
import decimal
import fractions
import importlib
import os
import subprocess
import tempfile
import sys
import typing

import numpy as np
import pytest


def run_python(code, **env):
    full_env = dict(os.environ)
    full_env.update(env)
    # Run outside the source tree, whose tarnex/ holds no compiled module.
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=full_env,
                          cwd=tempfile.gettempdir())


def test_module_values(zel):
    assert zel.__doc__ == (
        "\nTarnex ZEL - GPU Fixed-Point Operations\n" + "=" * 40 + "\n\n"
        "GPU-accelerated exact arithmetic. All operations on CUDA.\n"
    )
    assert (zel.SCALE_BITS, zel.NUM_LIMBS, zel.BLOCK_SIZE) == (256, 8, 256)
    assert zel.SCALE == 2**256 and type(zel.SCALE) is int
    assert zel.np is np and zel.Fraction is fractions.Fraction
    assert zel.Decimal is decimal.Decimal and zel.getcontext is decimal.getcontext
    assert (zel.Union, zel.List, zel.Tuple, zel.Optional) == (
        typing.Union, typing.List, typing.Tuple, typing.Optional)
    import builtins
    assert zel._builtins is builtins
    for name in ("abs", "min", "max", "sum", "pow", "round"):
        assert getattr(zel, "_" + name) is getattr(builtins, name)
    assert zel.HAS_CUPY is True
    assert zel.RawModule is zel.cp.RawModule


def test_record_dtype(zel):
    dt = zel.FIXEDPOINT_DTYPE
    assert dt.itemsize == 72
    assert dt.names == ("sign", "pad") + tuple(f"limb{i}" for i in range(8))
    assert [dt.fields[n][1] for n in dt.names] == [0, 4] + [8 + 8 * i for i in range(8)]
    assert dt.fields["sign"][0] == np.int32 and dt.fields["limb7"][0] == np.uint64


def test_decimal_precision_set_in_importing_thread():
    r = run_python("import decimal; decimal.getcontext().prec = 7\n"
                   "import tarnex.zel.zel\nprint(decimal.getcontext().prec)", ZEL_DEVICE="host")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "100"


def test_second_import_returns_cached_module(zel):
    assert importlib.import_module("tarnex.zel.zel") is zel
    saved = sys.modules.pop("tarnex.zel.zel")
    try:
        again = importlib.import_module("tarnex.zel.zel")
        assert again is zel
        assert importlib.reload(zel) is zel
    finally:
        sys.modules["tarnex.zel.zel"] = saved


PUBLIC_ORDER = """
Tensor tensor zeros ones eye arange linspace rand randn add sub mul div neg abs sign pow mod reciprocal
eq lt gt le ge ne sum prod max min mean std var norm dot mm mv bmm matmul outer trace diag det inv lu
solve rref rank null_space kron cross hilbert_matrix relu leaky_relu sigmoid tanh gelu silu softmax exp
log log2 log10 sqrt sin cos tan sinh cosh asin acos atan atan2 asinh acosh atanh ceil floor round trunc
frac conv2d cumsum cumprod diff argmax argmin reshape squeeze unsqueeze transpose cat stack clamp where
lerp logical_and logical_or logical_not logical_xor checksum checksums_match verify ComplexTensor
complex_tensor cmm cmv csum cabs conj complex_eye complex_zeros complex_ones pi pi_over pi_half
pi_quarter rotation_x rotation_y rotation_z phase_gate pauli_x pauli_y pauli_z hadamard_gate t_gate
s_gate cnot SCALE_BITS NUM_LIMBS SCALE patch_numpy unpatch_numpy save load device
""".split()


def test_all_lists_the_public_names_in_order(zel):
    assert len(PUBLIC_ORDER) == 135
    assert zel.__all__ == [n for n in PUBLIC_ORDER if n in vars(zel)]
    assert "SparseTensor" not in zel.__all__ and "to_gpu" not in zel.__all__


def test_missing_cupy_is_refused_with_fixed_message():
    code = ("import sys\nsys.modules['cupy'] = None\n"
            "try:\n    import tarnex.zel.zel\nexcept RuntimeError as e:\n    print(repr(e))")
    r = run_python(code, ZEL_DEVICE="cuda")
    assert r.stdout.strip() == "RuntimeError('CuPy required. Install: pip install cupy-cuda12x')", r.stderr


def test_unknown_device_is_refused():
    r = run_python("import tarnex.zel.zel", ZEL_DEVICE="tpu")
    assert r.returncode != 0
    assert "RuntimeError" in r.stderr and "'cuda'" in r.stderr and "'host'" in r.stderr


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    code = (
        "import _xxsubinterpreters as interpreters\n"
        "import tarnex.zel.zel\n"
        "sub = interpreters.create()\n"
        "try:\n"
        "    interpreters.run_string(sub, 'import tarnex.zel.zel')\n"
        "except Exception as e:\n"
        "    print(e)\n"
    )
    del interpreters
    r = run_python(code, ZEL_DEVICE="host")
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." \
        in r.stdout + r.stderr


@pytest.mark.skipif(not os.environ.get("ZEL_EXPECT_FATBIN"), reason="build without the CUDA fatbin")
def test_installed_fatbin_is_found():
    from tarnex.zel.cuda import cubin_loader

    fatbin = cubin_loader._fatbin()
    assert fatbin is not None and fatbin.stat().st_size > 0
