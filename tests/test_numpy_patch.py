"""Replacing NumPy functions with the module's exact ones, and restoring them."""
import inspect
import math
import os
import subprocess
import sys
import types
from fractions import Fraction

import numpy as np
import pytest

NAMES = ["add", "subtract", "multiply", "divide", "negative", "absolute", "sign", "power", "mod", "sum", "prod",
         "max", "min", "mean", "std", "var", "dot", "matmul", "exp", "log", "sqrt", "sin", "cos", "tan"]
TARGETS = ["add", "sub", "mul", "div", "neg", "abs", "sign", "pow", "mod", "sum", "prod", "max", "min", "mean",
           "std", "var", "dot", "matmul", "exp", "log", "sqrt", "sin", "cos", "tan"]

PATCHED = "ZEL: Patched 24 numpy functions with exact arithmetic\n"
RESTORED = "ZEL: Restored original numpy functions\n"


@pytest.fixture
def patched(zel, capsys):
    saved = {name: getattr(np, name) for name in NAMES}
    zel.patch_numpy()
    capsys.readouterr()
    yield saved
    zel.unpatch_numpy()
    capsys.readouterr()
    for name, f in saved.items():
        assert getattr(np, name) is f


def test_table(zel):
    table = zel._NUMPY_TO_ZEL
    if len(table) < 24:
        pytest.skip("module functions still missing: " + ", ".join(sorted(set(TARGETS) - set(
            t for t in TARGETS if hasattr(zel, t)))))
    assert list(table) == NAMES
    assert [table[n] for n in NAMES] == [getattr(zel, t) for t in TARGETS]
    assert zel._numpy_patched is False and zel._numpy_originals == {}


def test_patch_and_unpatch_lifecycle(zel, capsys):
    saved = {name: getattr(np, name) for name in NAMES}
    zel.unpatch_numpy()
    assert capsys.readouterr().out == ""
    zel.patch_numpy()
    assert capsys.readouterr().out == PATCHED
    try:
        zel.patch_numpy()
        assert capsys.readouterr().out == ""
        assert zel._numpy_patched is True
        assert list(zel._numpy_originals) == NAMES
        assert all(zel._numpy_originals[n] is saved[n] for n in NAMES)
        w = np.sum
        assert w.__name__ == "wrapper" and w.__qualname__ == "_make_numpy_wrapper.<locals>.wrapper"
        assert np.abs is saved["absolute"] and np.absolute is not saved["absolute"]
    finally:
        zel.unpatch_numpy()
    assert capsys.readouterr().out == RESTORED
    assert zel._numpy_patched is False and zel._numpy_originals == {}
    assert all(getattr(np, n) is saved[n] for n in NAMES)
    zel.unpatch_numpy()
    assert capsys.readouterr().out == ""


def test_repatch_saves_numpy_again(zel, capsys):
    original = np.sum
    for _ in range(2):
        zel.patch_numpy()
        assert zel._numpy_originals["sum"] is original
        zel.unpatch_numpy()
    assert np.sum is original
    assert capsys.readouterr().out == (PATCHED + RESTORED) * 2


def test_exact_sum(patched):
    assert np.sum([1e-16, 1, -1]) == 1e-16
    assert patched["sum"]([1e-16, 1, -1]) == 0.0


def test_array_and_scalar_results(patched):
    a = np.array([[1.0, 2.0], [3.0, 4.0]])
    r = np.matmul(a, a)
    assert isinstance(r, np.ndarray) and r.tolist() == [[7.0, 10.0], [15.0, 22.0]]
    one = np.matmul(np.array([[2.0]]), np.array([[3.0]]))
    assert one == 6.0 and not isinstance(one, np.ndarray)
    s = np.add(np.array([1.0, 2.0]), np.array([3.0, 4.0]))
    assert isinstance(s, np.ndarray) and s.tolist() == [4.0, 6.0]
    assert np.add(np.array([1.5]), np.array([2.0])) == 3.5
    assert np.add([1, 2], (3, 4)).tolist() == [4, 6]  # lists and tuples are converted too
    assert isinstance(np.mean(np.array([1.0, 2.0])), float)


def test_non_default_keywords_go_to_numpy(patched):
    a = np.array([[1.0, 2.0], [3.0, 4.0]])
    assert np.sum(a, axis=0).tolist() == [4.0, 6.0]
    assert np.sum(a, keepdims=True).shape == (1, 1)
    out = np.empty(2)
    np.add(np.array([1.0, 2.0]), np.array([1.0, 1.0]), out=out)
    assert out.tolist() == [2.0, 3.0]
    # Defaults are dropped and the exact function runs.
    assert np.sum([1e-16, 1, -1], axis=None, keepdims=False) == 1e-16


def test_dot_of_matrices_is_the_matrix_product(patched):
    a = np.array([[1.0, 2.0], [3.0, 4.0]])
    assert np.dot(a, a).tolist() == [[7.0, 10.0], [15.0, 22.0]]
    assert np.dot(np.array([1.0, 2.0]), np.array([3.0, 4.0])) == 11.0
    assert np.dot(a, np.array([1.0, 1.0])).tolist() == [3.0, 7.0]


def test_errors_propagate(patched):
    # Operands NumPy cannot broadcast get NumPy's own error.
    with pytest.raises(ValueError, match="broadcast"):
        np.add(np.array([1.0, 2.0]), np.array([1.0, 2.0, 3.0]))


def test_failed_patch_leaves_numpy_untouched(zel, capsys, monkeypatch):
    class Locked(types.ModuleType):
        def __setattr__(self, name, value):
            if name == "mean" and callable(value) and getattr(value, "__name__", "") == "wrapper":
                raise AttributeError("mean is locked")
            super().__setattr__(name, value)

    fake = Locked("numpy")
    for name in NAMES:
        object.__setattr__(fake, name, getattr(np, name))
    saved = {name: getattr(fake, name) for name in NAMES}
    monkeypatch.setattr(zel, "np", fake)
    with pytest.raises(AttributeError, match="mean is locked"):
        zel.patch_numpy()
    assert all(getattr(fake, n) is saved[n] for n in NAMES)
    assert zel._numpy_patched is False and zel._numpy_originals == {}
    assert capsys.readouterr().out == ""


def test_missing_numpy_names_are_skipped(zel, capsys, monkeypatch):
    fake = types.ModuleType("numpy")
    fake.sum = np.sum
    monkeypatch.setattr(zel, "np", fake)
    zel.patch_numpy()
    try:
        assert list(zel._numpy_originals) == ["sum"]
        assert capsys.readouterr().out.startswith("ZEL: Patched ")
    finally:
        zel.unpatch_numpy()
    assert fake.sum is np.sum and not hasattr(fake, "add")


def test_make_numpy_wrapper(zel):
    w = zel._make_numpy_wrapper(zel.sum, True)
    assert w.__name__ == "wrapper" and w.__qualname__ == "_make_numpy_wrapper.<locals>.wrapper"
    assert w([1, 2, 3]) == 6.0
    assert w(zel.tensor([1, 2])) == 3.0  # Tensors pass unchanged
    with pytest.raises(TypeError, match="axis"):
        w([1, 2], axis=0)  # no NumPy function to hand it to


def test_wrappers_keep_the_ufunc_methods(patched):
    # NumPy's own sum and prod reach through np.add and np.multiply.
    assert np.add.reduce([1.0, 2.0]) == 3.0
    assert np.multiply.outer([1, 2], [3]).tolist() == [[3], [6]]
    assert np.prod(np.array([[1.0, 2.0], [3.0, 4.0]]), axis=1).tolist() == [2.0, 12.0]
    assert np.add.__name__ == "wrapper" and np.add.__doc__ is None
    assert str(inspect.signature(np.add)) == "(*args, **kwargs)"
    with pytest.raises(AttributeError):
        np.add.__wrapped__


def test_object_arrays_of_exact_numbers(patched):
    big = np.array([2**100, -3], dtype=object)
    r = np.multiply(big, big)
    assert r.dtype == object and r.tolist() == [2**200, 9] and type(r[0]) is int
    assert np.sum(big) == 2**100 - 3 and type(np.sum(big)) is int
    halves = np.array([Fraction(9, 4), Fraction(1, 2**200)], dtype=object)
    assert np.sum(halves) == Fraction(9, 4) + Fraction(1, 2**200)
    r = np.multiply(halves, 2)
    assert r.dtype == object and r[0] == Fraction(9, 2) and type(r[0]) is Fraction
    assert np.max(halves) == Fraction(9, 4)
    # Off the grid (1/3) or out of range (2**300): NumPy's own exact object arithmetic.
    assert np.add(np.array([Fraction(1, 3)], dtype=object), 1)[0] == Fraction(4, 3)
    assert np.add(big, 2**300).tolist() == [2**100 + 2**300, 2**300 - 3]


def floor_record(q):
    """The record of an exact rational: floor(q * 2^256) / 2^256."""
    return Fraction(math.floor(q * 2**256), 2**256)


@pytest.mark.parametrize("call, value, dtype", [
    (lambda: np.add(np.array([1, 2, 3]), 1), [2, 3, 4], np.int64),
    (lambda: np.multiply(np.array([1.5, 2.0], dtype=np.float32), 3), [4.5, 6.0], np.float32),
    (lambda: np.subtract(np.array([1, 2], dtype=np.uint8), np.array([2, 2], dtype=np.uint8)), [255, 0], np.uint8),
    (lambda: np.negative(np.array([-2**63, 5])), [-2**63, -5], np.int64),  # wraps as NumPy's int64 does
    (lambda: np.mod(np.array([7, -7]), 3), [1, 2], np.int64),
    (lambda: np.divide(np.array([1, 2]), np.array([4, 4])), [0.25, 0.5], np.float64),
    (lambda: np.power(np.array([3, 4]), 2), [9, 16], np.int64),
    (lambda: np.power(np.array([2.0, 4.0]), -1), [0.5, 0.25], np.float64),
    (lambda: np.dot([1, 2], [[1, 2], [3, 4]]), [7, 10], np.int64),
    (lambda: np.matmul(np.array([[1.0, 2.0], [3.0, 4.0]]), [1, 1]), [3.0, 7.0], np.float64),
    (lambda: np.dot(2, np.array([1, 2])), [2, 4], np.int64),
    (lambda: np.sqrt(np.array([4, 9], dtype=np.int16)), [2.0, 3.0], np.float32),
])
def test_results_have_numpy_types(patched, call, value, dtype):
    r = call()
    assert type(r) is np.ndarray and r.dtype == dtype and r.tolist() == value


def test_integer_results_index_arrays(patched):
    assert np.array([10, 20, 30, 40, 50])[np.add(np.array([0, 2]), 1)].tolist() == [20, 40]


@pytest.mark.parametrize("call, value, scalar_type", [
    (lambda: np.sum(np.array([1, 2, 3], dtype=np.int32)), 6, np.int64),
    (lambda: np.max(np.array([[4, 9], [2, 7]], dtype=np.uint16)), 9, np.uint16),
    (lambda: np.mean(np.array([1, 2])), 1.5, np.float64),
    (lambda: np.exp(np.float64(0.0)), 1.0, np.float64),
    (lambda: np.add(np.float32(1.5), 2), 3.5, np.float32),
    (lambda: np.add(np.array([1.5]), np.array([2.0])), 3.5, np.float64),  # one element: a scalar, as specified
    (lambda: np.dot(np.array([1.0, 2.0]), np.array([3.0, 4.0])), 11.0, np.float64),
])
def test_scalar_results_are_numpy_scalars(patched, call, value, scalar_type):
    r = call()
    assert type(r) is scalar_type and r == value


def test_results_are_exact_then_rounded_once(patched):
    rng = np.random.default_rng(5)
    a, b = rng.standard_normal((7, 5)), rng.standard_normal(5)
    exact = [sum(Fraction(x) * Fraction(y) for x, y in zip(row, b)) for row in a]
    assert np.dot(a, b).tolist() == [float(floor_record(q)) for q in exact]
    x = rng.standard_normal(1000) * 1e6
    assert np.sum(x) == float(sum(Fraction(v) for v in x))
    # float32: 1 + 2^-24 + 2^-60 lies above the midpoint of 1 and 1 + 2^-23;
    # a rounding through float64 would land on the midpoint and go to 1.
    s = np.sum(np.array([1, 2.0**-24, 2.0**-60], dtype=np.float32))
    assert type(s) is np.float32 and s == np.float32(1 + 2.0**-23)
    big = np.array([2**62 + 1, 3, -(2**61)])
    assert np.prod(big) == patched["prod"](big)  # integer results wrap exactly as NumPy's


@pytest.mark.parametrize("ddof", [0, 1, 2])
def test_var_and_std_keep_numpy_meaning(patched, zel, ddof):
    x = np.random.default_rng(ddof).standard_normal(50) * 100
    n, mean = len(x), sum(Fraction(v) for v in x) / len(x)
    var = sum((Fraction(v) - mean) ** 2 for v in x) / (n - ddof)
    assert np.var(x, ddof=ddof) == float(floor_record(var))
    std = Fraction(math.isqrt(math.floor(var * 2**512)), 2**256)
    assert np.std(x, ddof=ddof) == float(std)
    assert np.std([1, 2, 3, 4]) == pytest.approx(1.118033988749895)
    # The module's own std keeps its unbiased statistic.
    assert zel.std(zel.tensor([1.0, 2.0, 3.0, 4.0])).item() == pytest.approx(1.2909944487358056)


ZEROS = np.array([0.0, -0.0, 1.0, -2.5])
LEFT, RIGHT = np.repeat(ZEROS, 4), np.tile(ZEROS, 4)


@pytest.mark.parametrize("name, args", [
    ("add", (LEFT, RIGHT)), ("subtract", (LEFT, RIGHT)), ("multiply", (LEFT, RIGHT)),
    ("divide", (LEFT, np.abs(RIGHT) + 1)), ("mod", (LEFT, RIGHT + 4)), ("negative", (LEFT,)),
    ("absolute", (LEFT,)), ("sign", (LEFT,)), ("sqrt", (np.array([0.0, -0.0, 4.0]),)), ("sin", (LEFT,)),
    ("tan", (LEFT,)), ("power", (LEFT, 3)), ("power", (LEFT, 2)), ("prod", (np.array([-1.0, 0.0]),)),
    ("max", (np.array([0.0, -0.0]),)), ("min", (np.array([-0.0, 0.0]),)), ("sum", (np.array([-0.0, -0.0]),)),
])
def test_zeros_are_signed_as_numpy_signs_them(patched, name, args):
    got, want = getattr(np, name)(*args), patched[name](*args)
    assert np.array_equal(got, want) and np.array_equal(np.signbit(got), np.signbit(want))


def same(a, b):
    return (type(a) is type(b) and np.shape(a) == np.shape(b)
            and np.array_equal(a, b, equal_nan=np.asarray(a).dtype.kind in "fc"))


@pytest.mark.parametrize("name, args, kwargs", [
    ("exp", (2.0,), {}),  # Python scalars alone
    ("add", (2, 3), {}),
    ("sum", (np.array([[1.0, 2.0], [3.0, 4.0]]), 0), {}),  # axis given positionally
    ("var", (np.array([1.0, 2.0, 4.0]),), {"ddof": 0.5}),
    ("add", (np.array([1 + 2j, 3]), np.array([1j, 1])), {}),
    ("matmul", (np.ones((2, 2, 3)), np.ones((2, 3, 2))), {}),  # stacked
    ("dot", (np.ones((2, 2, 3)), np.ones((3, 2))), {}),
    ("sum", (np.array([]),), {}),
    ("max", (np.array([1.0, np.nan]),), {}),
    ("add", (np.array([1.0, np.inf]), 1.0), {}),
    ("multiply", (np.array([1e70]), np.array([1e70])), {}),  # beyond the records' range
    ("add", (np.array([1e-300]), 1.0), {}),  # below the records' grid
    ("multiply", (np.array([1e-40, 2.0]), np.array([1e-40, 3.0])), {}),  # a result below the grid
    ("exp", (np.array([-200.0, 1.0]),), {}),
    ("divide", (np.array([1.0]), np.array([1e70])), {}),  # a result with fewer bits than a double
    ("multiply", (np.array([1e30], dtype=np.float32), np.float32(1e30)), {}),  # float32 overflow
    ("multiply", (np.array([1e-20], dtype=np.float32), np.float32(1e-20)), {}),  # float32 subnormal
    ("exp", (np.float16(-17.5),), {}),  # float16 underflow to zero
    ("divide", (np.array([1.0, 2.0]), np.array([0.0, 1.0])), {}),
    ("log", (np.array([0.0, 1.0]),), {}),
    ("sqrt", (np.array([-1.0, 4.0]),), {}),
    ("mod", (np.array([5.0]), 0.0), {}),
    ("power", (np.array([2.0, 3.0]), 0.5), {}),
    ("power", (np.array([2.0, 3.0]), np.array([2, 3])), {}),
    ("add", (np.array([True, False]), np.array([True, True])), {}),
    ("add", (np.array([1.0], dtype=np.longdouble), 1.0), {}),
    ("sum", (np.array([Fraction(1, 3)] * 3, dtype=object),), {}),
    ("mean", (np.array([1, 2], dtype=object),), {}),  # NumPy's float64
    ("add", (np.array([1, 2], dtype=object), np.array([0.5, 1.0])), {}),  # Python floats meet the ints
])
def test_calls_the_wrappers_cannot_take_go_to_numpy(patched, name, args, kwargs):
    with np.errstate(all="ignore"):
        got = getattr(np, name)(*args, **kwargs)
        want = patched[name](*args, **kwargs)
    assert same(got, want)


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_array_subclasses_keep_their_type(patched):
    m = np.matrix([[1.0, 2.0]])
    assert same(np.add(m, 1.0), patched["add"](m, 1.0))
    assert same(np.dot(m, m.T), patched["dot"](m, m.T))


def test_numpy_errors_stay_numpy_errors(patched):
    with np.errstate(over="raise"), pytest.raises(FloatingPointError):
        np.exp(np.array([100.0], dtype=np.float32))
    with np.errstate(under="raise"), pytest.raises(FloatingPointError):
        np.exp(np.float16(-17.5))
    with np.errstate(under="raise"), pytest.raises(FloatingPointError):
        np.multiply(np.array([1e-200]), np.array([1e-200]))
    with pytest.raises(ValueError, match="Integers to negative integer powers"):
        np.power(np.array([2, 3]), -1)
    with pytest.raises(ValueError, match="Integers to negative integer powers"):
        np.power(np.array([1, 1]), np.array(-1))  # 1 ** -1 is an integer, but NumPy refuses it
    with pytest.raises(ValueError):
        np.matmul(np.ones((2, 3)), np.ones((2, 3)))
    with pytest.raises(ValueError):
        np.max(np.array([], dtype=np.int64))
    with pytest.raises(TypeError):
        np.sqrt(np.array([Fraction(9, 4)], dtype=object))  # no sqrt method on Fraction


def test_modules_calling_numpy_at_import_load_after_the_patch():
    pytest.importorskip("scipy")
    # numpy.random and scipy.linalg call patched names on Python numbers
    # while they load; a fresh interpreter imports them with the patch in.
    code = ("import tarnex.zel.zel as zel, numpy as np\n"
            "zel.patch_numpy()\n"
            "import numpy.random, scipy.linalg\n"
            "print(np.random.default_rng(0).integers(10), scipy.linalg.det([[2.0, 0.0], [0.0, 3.0]]))\n")
    env = dict(os.environ, ZEL_DEVICE=os.environ.get("ZEL_DEVICE", "host"))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[-1].split()[-1] == "6.0"
