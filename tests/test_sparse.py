"""SparseTensor (CSR) construction, structure validation and sparse_mv."""
from fractions import Fraction
import math
import random
import types

import numpy as np
import pytest

from reference import SCALE, exact_rational, records, value_of


def exact_values(arr):
    return [value_of(r) for r in records(arr)]


def floor_record(q):
    """The value the floor rule keeps of the exact rational q."""
    return Fraction(math.floor(q * SCALE), SCALE)


def csr_of(rows):
    """Reference CSR arrays of a row-major nested list."""
    values, cols, ptrs = [], [], [0]
    for row in rows:
        for j, v in enumerate(row):
            if exact_rational(v) != 0:
                values.append(v)
                cols.append(j)
        ptrs.append(len(values))
    return values, cols, ptrs


@pytest.mark.parametrize("dense", [
    [[0, 0], [0, 0]],
    [[1, 0], [0, 2]],
    [[0, 0, 3], [0, 0, 0], [4, 0, 5]],
    [[Fraction(-1, 3), 0, "0.25"], [0, 7, 0]],
    [[0], [0], [1]],
])
def test_from_dense_structure(zel, dense):
    s = zel.SparseTensor.from_dense(zel.Tensor(dense))
    values, cols, ptrs = csr_of(dense)
    assert s.shape == (len(dense), len(dense[0])) and s.nnz == len(values)
    assert s._row_ptrs.get().tolist() == ptrs
    assert s._col_indices.get().tolist() == cols
    assert s._row_ptrs.dtype == np.int32 and s._col_indices.dtype == np.int32
    assert exact_values(s._values) == [floor_record(exact_rational(v)) for v in values]
    assert repr(s) == f"SparseTensor(shape={s.shape}, nnz={len(values)})"


def test_default_and_slots(zel):
    s = zel.SparseTensor()
    assert s.nnz == 0 and s.shape is None and repr(s) == "SparseTensor(shape=None, nnz=0)"
    assert zel.SparseTensor.__slots__ == ["_values", "_col_indices", "_row_ptrs", "_shape", "_nnz"]
    with pytest.raises(AttributeError):
        s.other = 1
    assert "CSR" in zel.SparseTensor.__doc__


@pytest.mark.parametrize("bad", [[1, 2], [[[1]]], 5])
def test_from_dense_requires_2d(zel, bad):
    with pytest.raises(ValueError, match="^SparseTensor requires 2D input$"):
        zel.SparseTensor.from_dense(zel.Tensor(bad))


def test_from_dense_refuses_short_data(zel):
    t = zel.Tensor([1, 2, 3], shape=(2, 2))
    with pytest.raises(ValueError, match="Size mismatch"):
        zel.SparseTensor.from_dense(t)


@pytest.mark.parametrize("x", [[3, 4], [[3], [4]]])
def test_sparse_mv_small(zel, x):
    s = zel.SparseTensor.from_dense(zel.Tensor([[1, 0], [0, 2]]))
    y = zel.sparse_mv(s, zel.Tensor(x))
    assert y.shape == (2,) and y.to_list() == [3.0, 8.0]


def test_sparse_mv_dimension_message(zel):
    s = zel.SparseTensor.from_dense(zel.Tensor([[1, 0], [0, 2]]))
    with pytest.raises(ValueError, match=r"^Dimension mismatch: A is \(2, 2\), x has 3 elements$"):
        zel.sparse_mv(s, zel.Tensor([1, 2, 3]))


def random_matrix(rng, rows, cols, density):
    vals = []
    for _ in range(rows):
        row = []
        for _ in range(cols):
            if rng.random() < density:
                row.append(Fraction(rng.randint(-10**6, 10**6), rng.choice([1, 3, 7, 10, 2**40 + 1])))
            else:
                row.append(0)
        vals.append(row)
    return vals


@pytest.mark.parametrize("seed, rows, cols, density", [(1, 5, 7, 0.5), (2, 17, 3, 0.9), (3, 40, 40, 0.1)])
def test_sparse_mv_rounds_once(zel, seed, rows, cols, density):
    rng = random.Random(seed)
    dense = random_matrix(rng, rows, cols, density)
    x = [Fraction(rng.randint(-999, 999), rng.choice([3, 9, 11])) for _ in range(cols)]
    A = zel.Tensor(dense)
    xt = zel.Tensor(x)
    y = zel.sparse_mv(zel.SparseTensor.from_dense(A), xt)
    a_vals = exact_values(A._data)
    x_vals = exact_values(xt._data)
    expected = [floor_record(sum(a_vals[r * cols + j] * x_vals[j] for j in range(cols))) for r in range(rows)]
    assert exact_values(y._data) == expected


def test_sparse_mv_sums_before_rounding(zel):
    # Three products of (1/3)^2 records: flooring each product would lose up
    # to three units in the last place; the exact sum loses at most one.
    third = zel.Tensor([[Fraction(1, 3)] * 3])
    x = zel.Tensor([Fraction(1, 3)] * 3)
    y = zel.sparse_mv(zel.SparseTensor.from_dense(third), x)
    q = exact_values(x._data)[0]
    assert exact_values(y._data) == [floor_record(3 * q * q)]
    assert floor_record(3 * q * q) != 3 * floor_record(q * q)


def test_sparse_mv_negative_floor(zel):
    s = zel.SparseTensor.from_dense(zel.Tensor([[Fraction(-1, 3)]]))
    y = zel.sparse_mv(s, zel.Tensor([Fraction(1, 3)]))
    q = exact_values(s._values)[0] * exact_values(zel.Tensor([Fraction(1, 3)])._data)[0]
    assert exact_values(y._data) == [floor_record(q)] and floor_record(q) < q


def test_sparse_mv_empty_rows(zel):
    s = zel.SparseTensor.from_dense(zel.Tensor([[0, 0], [0, 0], [0, 5]]))
    assert zel.sparse_mv(s, zel.Tensor([1, 2])).to_list() == [0.0, 0.0, 10.0]


# --- host CSR objects ------------------------------------------------------------


def csr(shape, data, indices, indptr):
    return types.SimpleNamespace(shape=shape, data=np.asarray(data), indices=np.asarray(indices),
                                 indptr=np.asarray(indptr))


GOOD = dict(shape=(2, 3), data=[1.5, 2.0, -3.0], indices=[0, 2, 1], indptr=[0, 2, 3])


def test_from_scipy_duck_object(zel):
    s = zel.SparseTensor.from_scipy(csr(**GOOD))
    assert s.shape == (2, 3) and s.nnz == 3
    assert zel.sparse_mv(s, zel.Tensor([1, 2, 3])).to_list() == [7.5, -6.0]


@pytest.mark.parametrize("change, message", [
    (dict(indptr=[0, 2]), "2 row pointers for 2 rows"),
    (dict(indptr=[0, 2, 3, 3]), "4 row pointers for 2 rows"),
    (dict(indptr=[1, 2, 3]), "row pointers must start at 0"),
    (dict(indptr=[0, 3, 2]), "row pointers must not decrease"),
    (dict(indptr=[0, 2, 4]), "row pointers end at 4, not at nnz 3"),
    (dict(indices=[0, 3, 1]), "column index 3 out of range for 3 columns"),
    (dict(indices=[0, -1, 1]), "column index -1 out of range for 3 columns"),
    (dict(indices=[0, 1]), "2 column indices for 3 values"),
    (dict(indices=[0, 2, 2**32 + 1]), "column index 4294967297 out of range"),
    (dict(shape=(-1, 3)), "negative dimension"),
    (dict(data=[[1.5, 2.0, -3.0]]), "data must be 1-D"),
])
def test_from_scipy_validates_structure(zel, change, message):
    with pytest.raises(ValueError, match="Invalid CSR structure: " + message.replace("(", r"\(")):
        zel.SparseTensor.from_scipy(csr(**{**GOOD, **change}))


@pytest.mark.parametrize("value, error, message", [
    (float("nan"), ValueError, "cannot convert NaN to integer ratio"),
    (float("inf"), OverflowError, "cannot convert Infinity to integer ratio"),
    (-float("inf"), OverflowError, "cannot convert Infinity to integer ratio"),
])
def test_from_scipy_refuses_non_finite(zel, value, error, message):
    with pytest.raises(error, match=message):
        zel.SparseTensor.from_scipy(csr(**{**GOOD, "data": [1.0, value, 2.0]}))


def test_from_scipy_needs_the_attributes(zel):
    with pytest.raises(AttributeError):
        zel.SparseTensor.from_scipy(types.SimpleNamespace(shape=(1, 1)))


def test_from_scipy_matrix(zel):
    sp = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(5)
    m = sp.random(30, 20, density=0.2, format="csr", random_state=rng)
    m.data[0] = 0.0  # an explicit zero stays a stored entry
    s = zel.SparseTensor.from_scipy(m)
    assert s.shape == (30, 20) and s.nnz == m.nnz
    assert s._row_ptrs.get().tolist() == m.indptr.tolist()
    assert s._col_indices.get().tolist() == m.indices.tolist()
    x = [float(v) for v in rng.integers(-5, 5, 20)]
    y = exact_values(zel.sparse_mv(s, zel.Tensor(x))._data)
    dense = m.toarray()
    expected = [floor_record(sum(Fraction(dense[r, j]) * Fraction(x[j]) for j in range(20))) for r in range(30)]
    assert y == expected


# --- hand-built structures are checked before the launch -----------------------------


def good_parts(zel):
    s = zel.SparseTensor.from_dense(zel.Tensor([[1, 0, 2], [0, 3, 0]]))
    return dict(values=s._values, col_indices=s._col_indices, row_ptrs=s._row_ptrs, shape=(2, 3))


def dev_int32(zel, xs, dtype=np.int32):
    return zel.cp.asarray(np.array(xs, dtype=dtype))


@pytest.mark.parametrize("change, message", [
    (lambda z: dict(row_ptrs=dev_int32(z, [0, 2])), "2 row pointers for 2 rows"),
    (lambda z: dict(row_ptrs=dev_int32(z, [0, 2, 9])), "row pointers end at 9, not at nnz 3"),
    (lambda z: dict(row_ptrs=dev_int32(z, [0, 4, 3])), "row pointers must not decrease"),
    (lambda z: dict(col_indices=dev_int32(z, [0, 2, 7])), "column index 7 out of range"),
    (lambda z: dict(col_indices=dev_int32(z, [0, 2])), "2 column indices for 3 values"),
    (lambda z: dict(col_indices=dev_int32(z, [0, 2, 1], np.int64)), "column indices must be int32"),
    (lambda z: dict(row_ptrs=None), "required"),
])
def test_sparse_mv_refuses_inconsistent_parts(zel, change, message):
    parts = {**good_parts(zel), **change(zel)}
    bad = zel.SparseTensor(**parts)
    with pytest.raises(ValueError, match="Invalid CSR structure: .*" + message):
        zel.sparse_mv(bad, zel.Tensor([1, 2, 3]))


def test_sparse_mv_refuses_short_values(zel):
    parts = good_parts(zel)
    parts["values"] = parts["values"][:2]
    with pytest.raises(ValueError, match="Invalid CSR structure"):
        zel.sparse_mv(zel.SparseTensor(**parts), zel.Tensor([1, 2, 3]))


@pytest.mark.parametrize("shape, error", [(None, TypeError), ((2,), ValueError), ((2, 3, 1), ValueError)])
def test_sparse_mv_unpacks_the_shape(zel, shape, error):
    parts = {**good_parts(zel), "shape": shape}
    with pytest.raises(error, match="unpack"):
        zel.sparse_mv(zel.SparseTensor(**parts), zel.Tensor([1, 2, 3]))


def test_hand_built_consistent_structure_works(zel):
    s = zel.SparseTensor(**good_parts(zel))
    assert s.nnz == 3
    assert zel.sparse_mv(s, zel.Tensor([1, 2, 3])).to_list() == [7.0, 6.0]
