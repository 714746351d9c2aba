"""The Tensor class: construction, flattening, accessors."""
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from reference import record_of, records


@pytest.mark.parametrize("data, shape, numel, as_list, text", [
    (None, (), 1, 0.0, "Tensor(0.0)"),
    (3, (), 1, 3.0, "Tensor(3.0)"),
    ([], (0,), 0, [], "Tensor([])"),
    ([[1, 2], [3, 4]], (2, 2), 4, [[1.0, 2.0], [3.0, 4.0]], "Tensor([[1.0, 2.0], [3.0, 4.0]])"),
    ([[1, 2], [3]], (2, 2), 3, [[1.0, 2.0], [3.0]], "Tensor([[1.0, 2.0], [3.0]])"),
    (list(range(11)), (11,), 11, [float(i) for i in range(11)], "Tensor(shape=(11,))"),
    ((1.5, 2.5), (2,), 2, [1.5, 2.5], "Tensor([1.5, 2.5])"),
    ([[[1], [2]], [[3], [4]]], (2, 2, 1), 4, [[[1.0], [2.0]], [[3.0], [4.0]]], None),
])
def test_construction(zel, data, shape, numel, as_list, text):
    t = zel.Tensor(data) if data is not None else zel.Tensor()
    assert t.shape == shape and t.numel == numel
    assert t.to_list() == as_list
    if text:
        assert repr(t) == text


def test_tensor_has_exactly_two_slots(zel):
    t = zel.Tensor([1])
    assert zel.Tensor.__slots__ == ["_data", "_shape"]
    with pytest.raises(AttributeError):
        t.__dict__
    with pytest.raises(AttributeError):
        t.other = 1
    assert zel.Tensor.__doc__.splitlines()[0] == "GPU Fixed-Point Tensor."


def test_default_tensor_holds_a_sign_zero_record(zel):
    t = zel.Tensor()
    rec = t._data.get()[0]
    assert rec["sign"] == 0 and all(int(rec[f"limb{i}"]) == 0 for i in range(8))
    assert zel.from_gpu(t._data, as_float=False) == [0]


def test_explicit_shapes(zel):
    assert zel.Tensor([1, 2, 3], shape=(3, 1)).shape == (3, 1)
    assert zel.Tensor([1, 2, 3], shape=()).shape == (3,)
    assert zel.Tensor([1, 2, 3], shape=[1, 3]).shape == [1, 3]
    assert zel.Tensor([1, 2, 3], shape=(7,)).numel == 3


def test_raw_arrays_are_shared_not_copied(zel):
    arr = zel.to_gpu([1, 2])
    t = zel.Tensor(_raw=arr)
    assert t._data is arr and t.shape == (2,)
    assert zel.Tensor(_raw=arr, shape=()).shape == (2,)
    assert zel.Tensor(_raw=arr, shape=(1, 2)).shape == (1, 2)


def test_exact_leaves_take_the_host_path(zel):
    t = zel.Tensor(["0.1", Fraction(1, 3), Decimal("2.5")])
    assert records(t._data) == [record_of("0.1"), record_of(Fraction(1, 3)), record_of(Decimal("2.5"))]
    assert zel.Tensor("0.1").shape == ()


@pytest.mark.parametrize("arr, shape", [
    (np.zeros((2, 3)), (2, 3)), (np.array(2.5), ()), (np.arange(6, dtype=np.int16).reshape(3, 2), (3, 2)),
    (np.array([True, False]), (2,)), (np.zeros(0), (0,)), (np.array([[1.5]], dtype=np.float32), (1, 1)),
])
def test_numpy_input(zel, arr, shape):
    t = zel.Tensor(arr)
    assert t.shape == shape and t.numel == arr.size
    assert zel.from_gpu(t._data) == [float(v) for v in arr.astype(np.float64).ravel()]


def test_numpy_input_refuses_unrepresentable_doubles(zel):
    with pytest.raises(ValueError):
        zel.Tensor(np.array([1.0, np.nan]))
    with pytest.raises(OverflowError):
        zel.Tensor(np.array([np.inf]))
    with pytest.raises(OverflowError, match="Value out of FixedPoint range"):
        zel.Tensor(np.array([1e100]))


def test_objects_that_are_not_numbers_are_refused(zel):
    t = zel.Tensor([1])
    for leaf in (t, t._data, None, object()):
        with pytest.raises(TypeError):
            zel.Tensor([Fraction(1), leaf])
    with pytest.raises(TypeError):
        zel.Tensor(t)


def test_flatten_and_unflatten(zel):
    assert zel.Tensor._flatten(5) == ([5], ())
    assert zel.Tensor._flatten([]) == ([], (0,))
    assert zel.Tensor._flatten([[1, 2], [3, 4]]) == ([1, 2, 3, 4], (2, 2))
    assert zel.Tensor._flatten(([1], [2, 3])) == ([1, 2, 3], (2, 1))
    sentinel = object()
    assert zel.Tensor._flatten([sentinel]) == ([sentinel], (1,))
    assert zel.Tensor._unflatten([], ()) == 0.0
    assert zel.Tensor._unflatten([7.0], ()) == 7.0
    assert zel.Tensor._unflatten([1, 2, 3, 4, 5, 6], (2, 3)) == [[1, 2, 3], [4, 5, 6]]
    assert zel.Tensor._unflatten([1, 2, 3], (2, 2)) == [[1, 2], [3]]


def test_item_and_clone(zel):
    assert zel.Tensor(3).item() == 3.0
    assert zel.Tensor([[2.5]]).item() == 2.5
    for bad in ([], [1, 2]):
        with pytest.raises(ValueError, match=r"item\(\) requires single element"):
            zel.Tensor(bad).item()
    t = zel.Tensor(5)
    c = t.clone()
    assert c.shape == (1,) and c._data is not t._data
    assert records(c._data) == records(t._data)


def test_transpose_property(zel):
    v = zel.Tensor([1, 2, 3])
    assert v.T is v
    m = zel.Tensor([[1, 2, 3], [4, 5, 6]])
    assert m.T.shape == (3, 2) and m.T.to_list() == [[1.0, 4.0], [2.0, 5.0], [3.0, 6.0]]
