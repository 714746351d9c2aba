"""The host backend as strict as a GPU, and the GPU's own code paths on the CPU.

The stand-in array library refuses what CuPy refuses and the host launcher
refuses what CUDA refuses, so a fault that would only show on a GPU fails
here.  The device-branch kernel library (the `__CUDA_ARCH__` code paths
compiled for the CPU, with a real barrier per block) must give the same
bytes as the host build, and its barrier must be real: with one deleted,
the tiled product goes wrong.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import pytest

from reference import interrupted_child

ROOT = pathlib.Path(__file__).resolve().parent.parent
ZEL_DIR = ROOT / "tarnex" / "zel"
NATIVE = ROOT / "tests" / "native"
BATTERY = ROOT / "scripts" / "gpu_checks" / "battery.py"
IN_CI = bool(os.environ.get("CI"))
# Checks of the stand-in itself, where CuPy on a GPU differs or is lenient.
host_only = pytest.mark.skipif(os.environ.get("ZEL_DEVICE", "host") != "host", reason="checks the host stand-in")


def _record_bytes(dev):
    return dev.get().tobytes()


# ---------------------------------------------------------------------------
# The stand-in behaves like CuPy.

@host_only
def test_device_arrays_are_not_host_arrays(zel):
    d = zel.to_gpu([1.0, 2.0, 3.0])
    assert not isinstance(d, np.ndarray)
    with pytest.raises(TypeError):
        np.asarray(d)
    with pytest.raises(TypeError):
        memoryview(d)
    with pytest.raises(TypeError):
        d[0] = d[1]
    assert isinstance(d.get(), np.ndarray) and len(d) == 3 and d[1].shape == ()


def test_asarray_returns_the_array_when_no_copy_is_needed(zel):
    d = zel.to_gpu([1.0, 2.0])
    assert zel.cp.asarray(d) is d
    assert zel.cp.ascontiguousarray(d) is d
    host = np.array([1.0, 2.0])
    up = zel.cp.asarray(host)
    host[0] = 5.0
    assert up.get()[0] == 1.0


@pytest.mark.parametrize("name", ["logical_and", "logical_or", "logical_xor"])
def test_logical_functions_refuse_host_inputs(zel, name):
    with pytest.raises(TypeError):
        getattr(zel.cp, name)([1, 0], [1, 1])
    with pytest.raises(TypeError):
        getattr(zel.cp, name)(np.array([1, 0]), np.array([1, 1]))
    with pytest.raises(TypeError):
        zel.cp.logical_not([1, 0])


def test_tensor_constructor_refuses_device_arrays_as_data(zel):
    with pytest.raises(TypeError):
        zel.Tensor(zel.to_gpu([1.0]))


# ---------------------------------------------------------------------------
# The launcher refuses what CUDA refuses.

@pytest.mark.parametrize("grid, block, shared", [
    ((1,), (1025,), 0), ((1,), (32, 32, 2), 0), ((1,), (1, 1, 65), 0), ((1,), (1, 1025), 0),
    ((1, 65536), (1,), 0), ((1, 1, 65536), (1,), 0), ((2**31,), (1,), 0),
    ((1,), (1,), 48 * 1024 + 1), ((0,), (1,), 0), ((1,), (0,), 0),
])
def test_launch_beyond_cuda_limits_is_refused(zel, grid, block, shared):
    out = zel.cp.empty(1, dtype=zel.FIXEDPOINT_DTYPE)
    kernel = zel._get_kernel("fp_zeros_kernel")
    with pytest.raises(Exception, match="CUDA_ERROR_INVALID_VALUE"):
        kernel(grid, block, (out, np.int32(1)), shared_mem=shared)


def test_launch_at_cuda_limits_runs(zel):
    out = zel.cp.empty(1, dtype=zel.FIXEDPOINT_DTYPE)
    zel._get_kernel("fp_ones_kernel")((1, 1, 1), (1024, 1, 1), (out, np.int32(1)), shared_mem=48 * 1024)
    assert zel.from_gpu(out) == [1.0]


@host_only
@pytest.mark.parametrize("n", [1, np.int64(1), 1.0, np.float64(1.0), np.uint8(1)])
def test_scalar_arguments_must_match_the_parameter_bytes(zel, n):
    # CuPy passes a Python int as 8 bytes and a float as a double: into an
    # int parameter the kernel would read garbage.
    out = zel.cp.empty(1, dtype=zel.FIXEDPOINT_DTYPE)
    with pytest.raises(TypeError, match="4-byte integer"):
        zel._get_kernel("fp_zeros_kernel")((1,), (256,), (out, n))


@host_only
@pytest.mark.parametrize("bad", [np.zeros(1, dtype=[("x", "u1", 72)]), [0] * 72, b"\0" * 72, None])
def test_pointer_arguments_must_be_device_arrays(zel, bad):
    with pytest.raises(TypeError, match="device array"):
        zel._get_kernel("fp_zeros_kernel")((1,), (256,), (bad, np.int32(1)))


# ---------------------------------------------------------------------------
# Faults that only a GPU showed before.

@pytest.mark.parametrize("key", [slice(None, None, 2), slice(None, None, -1), slice(5, 1, -3)])
def test_copy_of_strided_record_views(zel, key):
    src = zel.tensor([(-1) ** i * (i + 0.25) for i in range(11)])._data
    view = src[key]
    copy = zel._copy_arr(view)
    assert copy.get().tobytes() == src.get()[key].tobytes()
    # A tensor over a strided view clones into contiguous records.
    t = zel.Tensor(_raw=view, shape=(len(view),))
    assert t.clone()._data.get().tobytes() == src.get()[key].tobytes()


ROWS = 1_100_000  # beyond 65,535 blocks of 16 rows on grid.y


@pytest.fixture(scope="module")
def tall(zel):
    return zel.reshape(zel.Tensor(np.arange(ROWS) - 7.5), (ROWS, 1))


def test_mm_with_rows_beyond_grid_y(zel, tall):
    out = zel.mm(tall, zel.tensor([[2, -1]]))
    assert out.shape == (ROWS, 2)
    got = zel.from_gpu(out._data)
    expect = [v for i in range(ROWS) for v in (2 * (i - 7.5), -(i - 7.5))]
    assert got == expect


def test_outer_and_transpose_with_rows_beyond_grid_y(zel, tall):
    flat = zel.reshape(tall, (ROWS,))
    out = zel.outer(flat, zel.tensor([3]))
    assert zel.from_gpu(out._data) == [3 * (i - 7.5) for i in range(ROWS)]
    t = zel.transpose(tall, 0, 1)
    assert t.shape == (1, ROWS)
    assert t._data.get().tobytes() == tall._data.get().tobytes()


# ---------------------------------------------------------------------------
# The device-branch build.

def _run_battery(kernels):
    env = dict(os.environ, ZEL_DEVICE="host", ZEL_HOST_KERNELS=kernels)
    res = subprocess.run([sys.executable, str(BATTERY)], capture_output=True, text=True, env=env,
                         cwd=tempfile.gettempdir(), timeout=600)
    assert res.returncode == 0, res.stderr
    return res.stdout.splitlines()


def _have_device_branches():
    import importlib.util

    return importlib.util.find_spec("tarnex.zel.host._sim_kernels") is not None


needs_device_branches = pytest.mark.skipif(not _have_device_branches() and not IN_CI,
                                           reason="built without the device-branch kernel library")


@needs_device_branches
def test_device_branches_give_the_host_records():
    host = _run_battery("host")
    device = _run_battery("device-branches")
    assert len(host) > 50
    diff = [f"{a} | {b}" for a, b in zip(host, device) if a != b]
    assert not diff and len(host) == len(device), "\n".join(diff)


def test_unknown_host_kernel_library_is_refused():
    env = dict(os.environ, ZEL_DEVICE="host", ZEL_HOST_KERNELS="gpu")
    res = subprocess.run([sys.executable, "-c", "import tarnex.zel.zel as z; z.tensor([1.0])"], capture_output=True,
                         text=True, env=env, cwd=tempfile.gettempdir())
    assert res.returncode != 0 and "ZEL_HOST_KERNELS must be one of" in res.stderr


def _compiler():
    have = shutil.which("g++") and any(pathlib.Path(p, "gmpxx.h").exists() for p in ("/usr/include", "/usr/local/include"))
    if not have:
        if IN_CI:
            pytest.fail("g++ and GMP's headers are required for the native tests in CI")
        pytest.skip("g++ with GMP headers is needed for the native tests")


def _build(source, out, include_dir, *extra):
    cmd = ["g++", "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-DZEL_DEVICE_SIM=1", "-I", str(include_dir),
           str(source), "-o", str(out), *extra, "-lgmpxx", "-lgmp"]
    res = subprocess.run(cmd, capture_output=True, text=True)
    assert res.returncode == 0, res.stderr
    return out


def _copy_sources(tree):
    """The kernel sources (arithmetic header, kernel bodies, host launcher)
    copied to `tree`, laid out as in the package."""
    for part in ("arith", "cuda", "host"):
        shutil.copytree(ZEL_DIR / part, tree / part,
                        ignore=shutil.ignore_patterns("*.so", "*.fatbin", "__pycache__", "*.py"))
    return tree


@pytest.fixture(scope="module")
def tiled_mm(tmp_path_factory):
    _compiler()
    return _build(NATIVE / "test_device_branches.cpp", tmp_path_factory.mktemp("dev") / "tiled_mm", ZEL_DIR)


@pytest.mark.parametrize("shuffle", [None, "1", "2"])
def test_tiled_mm_through_real_barriers(tiled_mm, shuffle):
    env = dict(os.environ)
    env.pop("ZEL_SIM_SHUFFLE", None)
    if shuffle:
        env["ZEL_SIM_SHUFFLE"] = shuffle
    res = subprocess.run([str(tiled_mm), "7"], capture_output=True, text=True, env=env, timeout=300)
    assert res.returncode == 0 and "all checks passed" in res.stdout, res.stdout


@pytest.mark.parametrize("barrier", [0, 1])
def test_a_deleted_barrier_is_caught(tmp_path, barrier):
    _compiler()
    tree = _copy_sources(tmp_path / "zel")
    products = tree / "cuda" / "kernels" / "products.cuh"
    text = products.read_text()
    spots = [m.start() for m in re.finditer(re.escape("__syncthreads();"), text)]
    assert len(spots) == 2
    products.write_text(text[:spots[barrier]] + text[spots[barrier] + len("__syncthreads();"):])
    binary = _build(NATIVE / "test_device_branches.cpp", tmp_path / "racy", tree)
    res = subprocess.run([str(binary), "7"], capture_output=True, text=True, timeout=300)
    assert res.returncode == 1 and "wrong records" in res.stdout, res.stdout


def test_native_arithmetic_on_the_device_branches(tmp_path):
    _compiler()
    binary = _build(NATIVE / "test_fp_math.cpp", tmp_path / "fp_math_device", ZEL_DIR)
    for seed in ("1", "2", "3"):
        res = subprocess.run([str(binary), seed], capture_output=True, text=True, timeout=300)
        assert res.returncode == 0 and "all checks passed" in res.stdout, f"seed {seed}:\n{res.stdout}"


# ---------------------------------------------------------------------------
# Loading the CUDA kernels.

def test_nvrtc_source_changes_with_every_kernel_header(tmp_path):
    from tarnex.zel.cuda import cubin_loader

    tree = _copy_sources(tmp_path / "zel")
    before = cubin_loader.nvrtc_source(tree)
    assert before.endswith((tree / "cuda" / "zel_kernels.cu").read_text())
    for header in (tree / "arith" / "fp_div.cuh", tree / "cuda" / "kernels" / "reduce.cuh"):
        header.write_text(header.read_text() + "\n// touched\n")
        after = cubin_loader.nvrtc_source(tree)
        assert after != before and after.splitlines()[1:] == before.splitlines()[1:]
        before = after


def test_cupy_older_than_14_1_is_refused_by_name(tmp_path):
    fake = tmp_path / "cupy"
    fake.mkdir()
    (fake / "__init__.py").write_text("__version__ = '14.0.1'\nclass RawModule: pass\n")
    path = os.environ.get("PYTHONPATH")
    env = dict(os.environ, ZEL_DEVICE="cuda", PYTHONPATH=str(tmp_path) + (os.pathsep + path if path else ""))
    res = subprocess.run([sys.executable, "-c", "import tarnex.zel.zel"], capture_output=True, text=True, env=env,
                         cwd=tempfile.gettempdir())
    assert res.returncode != 0
    assert "RuntimeError: CuPy 14.1 or later required (found 14.0.1)" in res.stderr


@pytest.mark.skipif(not os.environ.get("ZEL_EXPECT_FATBIN"), reason="build without the CUDA fatbin")
def test_fatbin_holds_the_cloud_architectures():
    from tarnex.zel.cuda import cubin_loader

    archs = set(cubin_loader.fatbin_architectures())
    # sm_70 needs a toolkit older than CUDA 13; sm_75 (T4) onwards always.
    assert {"sm_75", "sm_80", "sm_90", "compute_90"} <= archs


def test_ctrl_c_stops_a_long_host_launch():
    # The classical product kernel on 800 x 800 full-width records runs for
    # many seconds on the host; Ctrl-C half a second in must end it within
    # a second, and the module must still work afterwards.
    setup = ("import numpy as np\n"
             "a = zel.div(zel.Tensor(np.random.default_rng(0).standard_normal((800, 800))), zel.tensor(3))\n"
             "out = zel.cp.empty(800 * 800, dtype=zel.FIXEDPOINT_DTYPE)\n"
             "kernel = zel._get_kernel('fp_mm_kernel')\n"
             "n = np.int32(800)")
    latency, after = interrupted_child(setup, "kernel((50, 50), (16, 16), (a._data, a._data, out, n, n, n))",
                                       "zel.from_gpu(zel.add(zel.tensor([1.5]), zel.tensor([2]))._data)", wait=0.5)
    assert latency < 1.0
    assert after == "[3.5]"


def test_ctrl_c_stops_a_large_multimodular_product():
    # 1536 x 1536 records with most magnitude bits in play (seconds of work):
    # dozens of prime groups, each well under a second, with a check between.
    setup = ("import numpy as np\n"
             "a = zel.mul(zel.div(zel.Tensor(np.random.default_rng(0).standard_normal((1536, 1536))), zel.tensor(3)),"
             " zel.tensor(2.0 ** 250))")
    latency, after = interrupted_child(setup, "zel.mm(a, a)", "zel.mm(zel.eye(40), zel.eye(40)).shape", wait=0.3)
    assert latency < 1.0
    assert after == "(40, 40)"
