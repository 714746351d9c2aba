"""Reading tensors back (to_fractions, numpy, __array__) and NumPy-style
indexing, checked against NumPy indexing the same values."""
from fractions import Fraction
import os

import numpy as np
import pytest

from reference import SCALE, records, scaled

E = Ellipsis
KEYS = {
    (7,): [0, 3, -1, -7, np.int64(2), slice(None), slice(2, None), slice(None, None, -1), slice(None, None, 3),
           slice(-2, 1, -2), slice(5, 1, -1), slice(10, 20), slice(3, 3), slice(1, None, 2**62), (), E, (E, 2), (None, slice(1, 4)),
           (slice(None, None, 2), None)],
    (3, 4): [1, -1, (2, 3), (-3, -4), (1, slice(None, None, -1)), (slice(None), 0), (slice(None, None, -1), 2),
             (E, 1), (0, E), (slice(1, None), slice(None, None, 2)), (E, slice(3, 0, -2)), (None, 1, None),
             (slice(0, 0), 1)],
    (2, 3, 4): [1, (1, 2), (1, 2, 3), (E, 0), (0, E, -1), (slice(None), 1, slice(None, None, -1)),
                (E, slice(None, None, 2), None), (-1, slice(None, None, -2)), (slice(None), slice(1, 2), E)],
    (): [(), E, None, (E, None)],
}
CASES = [(shape, key) for shape, keys in KEYS.items() for key in keys]


def exact_values(shape):
    """Distinct values with long binary expansions, and the NumPy object array of their records' exact values."""
    n = int(np.prod(shape, dtype=np.int64))
    vals = [Fraction(3 * i - 5, 7) for i in range(n)]
    ref = np.array([Fraction(scaled(v), SCALE) for v in vals] + [None], dtype=object)[:-1].reshape(shape)
    return vals, ref


def make(zel, shape, vals):
    return zel.Tensor(vals, shape=shape) if shape != () else zel.Tensor(vals[0])


@pytest.mark.parametrize("shape, key", CASES, ids=[f"{s}-{k!r}" for s, k in CASES])
def test_getitem_matches_numpy(zel, shape, key):
    vals, ref = exact_values(shape)
    t = make(zel, shape, vals)
    got = t[key]
    want = ref[key]
    assert got.shape == np.shape(want)
    exact = got.to_fractions()
    assert (exact == want.tolist()) if isinstance(want, np.ndarray) else exact == want
    np.testing.assert_array_equal(got.numpy(), np.asarray(want, dtype=np.float64))


@pytest.mark.parametrize("shape, key", [
    ((3,), 3), ((3,), -4), ((3, 4), (0, 4)), ((3, 4), (-4, 0)), ((3,), (0, 0)), ((), 0),
    ((3, 4), (E, E)), ((3,), 1.0), ((3,), "1"),
])
def test_bad_indices_raise_index_error_as_in_numpy(zel, shape, key):
    a = np.zeros(shape)
    with pytest.raises(IndexError):
        a[key]
    t = zel.zeros(*shape) if shape else zel.Tensor(0)
    with pytest.raises(IndexError):
        t[key]
    with pytest.raises(IndexError):
        t[key] = 1


@pytest.mark.parametrize("key", [[0, 1], True, np.array([0, 1])], ids=["list", "bool", "array"])
def test_advanced_indices_are_refused(zel, key):
    with pytest.raises(IndexError):
        zel.tensor([1, 2, 3])[key]


@pytest.mark.parametrize("shape, key, value", [
    ((3, 4), (1, 2), 5),
    ((3, 4), 0, [1, 2, 3, 4]),
    ((3, 4), (slice(None), 1), [7, 8, 9]),
    ((3, 4), (slice(None), slice(None, None, -2)), [10, 20]),
    ((3, 4), (E, -1), [[[1, 2, 3]]]),
    ((3, 4), slice(None), 6),
    ((2, 3, 4), (slice(None), 1), [[1, 2, 3, 4]]),
    ((2, 3, 4), (1, slice(None, None, -1), slice(1, 3)), [[1, 2], [3, 4], [5, 6]]),
    ((6,), slice(1, None), "tensor-prefix"),
    ((6,), slice(None, -1), "tensor-suffix"),
    ((6,), slice(None, None, -1), "tensor-self"),
    ((6,), slice(4, 4), [1, 2, 3][:0]),
    ((), (), 4),
    ((), E, [[4]]),
])
def test_setitem_matches_numpy(zel, shape, key, value):
    a = np.asarray(np.arange(int(np.prod(shape)), dtype=np.int64).reshape(shape) * 3 - 4)
    t = zel.tensor(a.tolist()) if shape != () else zel.tensor(int(a))
    if isinstance(value, str):
        # Values sharing the destination's records: NumPy reads them all before writing.
        part = {"tensor-prefix": slice(None, -1), "tensor-suffix": slice(1, None), "tensor-self": slice(None)}[value]
        a[key] = a[part].copy()
        t[key] = t[part]
    else:
        # As an array, so NumPy drops the value's leading unit dimensions as for any array value.
        a[key] = np.array(value)
        t[key] = value
    assert t.shape == a.shape
    np.testing.assert_array_equal(t.numpy(), a)


def test_setitem_stores_exact_records(zel):
    t = zel.zeros(2, 3)
    t[1, ::2] = Fraction(1, 3)
    t[0] = zel.tensor(["0.1", "-0.1", "2"])
    assert zel.checksum(t) == zel.checksum(zel.tensor(["0.1", "-0.1", "2", Fraction(1, 3), 0, Fraction(1, 3)]))


@pytest.mark.parametrize("shape, key, value", [
    ((3, 4), 0, [1, 2, 3]),
    ((3, 4), (slice(None), 0), [[1], [2], [3]]),
    ((3,), slice(0, 1), []),
])
def test_setitem_refuses_what_numpy_cannot_broadcast(zel, shape, key, value):
    with pytest.raises(ValueError):
        np.zeros(shape)[key] = value
    t = zel.zeros(*shape)
    before = records(t._data)
    with pytest.raises(ValueError, match="could not broadcast"):
        t[key] = value
    assert records(t._data) == before


def test_shape_disagreeing_with_data_is_refused_before_any_read(zel):
    t = zel.Tensor([[1, 2], [3]])  # shape (2, 2), three records
    with pytest.raises(ValueError, match="Size mismatch"):
        t[1, 1]
    with pytest.raises(ValueError, match="Size mismatch"):
        t[1] = 0
    with pytest.raises(ValueError, match="Size mismatch"):
        t.numpy()


def test_len_iter_ndim_and_truth(zel):
    t = zel.tensor([[1, 2, 3], [4, 5, 6]])
    assert len(t) == 2 and t.ndim == 2 and zel.tensor(5).ndim == 0
    rows = list(t)
    assert [r.shape for r in rows] == [(3,), (3,)] and [r.to_list() for r in rows] == t.to_list()
    assert [x.shape for x in rows[0]] == [(), (), ()]
    scalar = zel.tensor(5)
    with pytest.raises(TypeError):
        len(scalar)
    with pytest.raises(TypeError):
        iter(scalar)
    # Truth is unchanged by the new length: a tensor is always true.
    assert bool(zel.tensor([])) and bool(scalar) and bool(zel.zeros(3))
    with pytest.raises(ValueError):
        del t[0]


def test_to_fractions_is_exact(zel):
    vals = [Fraction(1, 3), Fraction(-1, 3), 2**200, "0.1"]
    t = zel.tensor(vals)
    assert t.to_fractions() == [Fraction(scaled(Fraction(1, 3)), SCALE), Fraction(scaled(Fraction(-1, 3)), SCALE),
                                2**200, Fraction(scaled(Fraction(1, 10)), SCALE)]
    assert zel.reshape(t, (2, 2)).to_fractions()[1][0] == 2**200
    assert zel.tensor(Fraction(1, 3)).to_fractions() == Fraction(scaled(Fraction(1, 3)), SCALE)
    assert zel.Tensor().to_fractions() == 0


def test_numpy_and_array_protocol(zel):
    t = zel.tensor([[Fraction(1, 3), 2], [-0.5, 2**100]])
    a = t.numpy()
    assert type(a) is np.ndarray and a.dtype == np.float64 and a.shape == (2, 2)
    assert a.tolist() == t.to_list()
    np.testing.assert_array_equal(np.asarray(t), a)
    assert np.asarray(t, dtype=np.float32).dtype == np.float32
    assert np.asarray(zel.tensor(3)).shape == ()
    with pytest.raises(ValueError):
        np.array(t, copy=False)
    # NumPy defers to the tensor's reflected operators, which stay exact.
    r = np.array([1.0, 2.0]) + zel.tensor([Fraction(1, 3), 1])
    assert isinstance(r, zel.Tensor)
    assert r.to_fractions()[0] == 1 + Fraction(scaled(Fraction(1, 3)), SCALE)


def test_complex_read_back_and_indexing(zel):
    c = zel.complex_tensor([[1, 2], [3, 4]], [[Fraction(5), 6], [7, Fraction(1, 3)]])
    a = c.numpy()
    assert a.dtype == np.complex128
    np.testing.assert_array_equal(a, np.array([[1 + 5j, 2 + 6j], [3 + 7j, complex(4, 1 / 3)]]))
    np.testing.assert_array_equal(np.asarray(c), a)
    re, im = c.to_fractions()
    assert re == [[1, 2], [3, 4]] and im[1][1] == Fraction(scaled(Fraction(1, 3)), SCALE)
    assert c[1, ::-1].to_list() == [complex(4, 1 / 3), 3 + 7j]
    assert len(c) == 2 and c.ndim == 2 and [r.shape for r in c] == [(2,), (2,)]
    c[0] = 1 - 2j
    c[1, 0] = zel.complex_tensor(9, 8)
    c[1, 1] = 0.5
    np.testing.assert_array_equal(c.numpy(), np.array([[1 - 2j, 1 - 2j], [9 + 8j, 0.5]]))
    c[:, 0] = np.array([2j, 3])
    np.testing.assert_array_equal(c.numpy()[:, 0], [2j, 3])


def test_device(zel):
    assert zel.device == (os.environ.get("ZEL_DEVICE") or "cuda")
    assert zel.device in ("cuda", "host")
