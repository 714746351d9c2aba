"""Replacing NumPy functions with the module's exact ones, and restoring them."""
import inspect
import types

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
    assert np.add([1, 2], (3, 4)).tolist() == [4.0, 6.0]  # lists and tuples are converted too
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
    with pytest.raises(ValueError, match="Cannot broadcast"):
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
