"""Creation and shape functions, broadcasting, and exact binary arithmetic."""
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

from reference import SCALE, record_bytes, record_of, records, scaled, value_of

TOP = 2**512 - 1


def exact_values(t):
    return [value_of(r) for r in records(t._data)]


# --- creation -------------------------------------------------------------------

@pytest.mark.parametrize("args", [(2, 3), ((2, 3),), ([2, 3],)])
def test_zeros_and_ones_shapes(zel, args):
    z, o = zel.zeros(*args), zel.ones(*args)
    assert z.shape == o.shape == (2, 3)
    assert records(z._data) == [record_bytes(0)] * 6
    assert records(o._data) == [record_bytes(SCALE)] * 6
    assert zel.zeros().shape == (1,) and zel.ones(4).shape == (4,)


def test_creation_refuses_bad_sizes(zel):
    with pytest.raises(ValueError, match=r"Negative dimension in shape \(-2, -3\)"):
        zel.zeros(-2, -3)
    with pytest.raises(ValueError, match=r"Negative dimension in shape \(2, -1\)"):
        zel.ones((2, -1))
    with pytest.raises(ValueError, match="eye requires n >= 0"):
        zel.eye(-1)
    with pytest.raises(TypeError, match=r"Argument 'n' has incorrect type \(expected int, got str\)"):
        zel.eye("3")
    with pytest.raises(TypeError, match="unexpected keyword argument 'shape'"):
        zel.zeros(shape=(2,))


def test_eye(zel):
    e = zel.eye(3)
    assert e.shape == (3, 3)
    assert records(e._data) == [record_bytes(SCALE if i in (0, 4, 8) else 0) for i in range(9)]
    assert zel.eye(2.9).shape == (2, 2) and zel.eye(0).numel == 0


def test_ranges(zel):
    assert zel.arange(5).to_list() == [0.0, 1.0, 2.0, 3.0, 4.0]
    assert zel.arange(2, 8, 3).to_list() == [2.0, 5.0]
    assert zel.arange(5, 0, -2).to_list() == [5.0, 3.0, 1.0]
    with pytest.raises(ValueError):
        zel.arange(0, 5, 0)
    with pytest.raises(TypeError):
        zel.arange(1.5)
    assert zel.linspace(0, 1, 5).to_list() == [0.0, 0.25, 0.5, 0.75, 1.0]
    assert zel.linspace(3, 7, 1).to_list() == [3.0]
    with pytest.raises(TypeError, match=r"linspace\(\) takes exactly 3 positional arguments \(2 given\)"):
        zel.linspace(0, 1)


# --- shape changes ----------------------------------------------------------------

def test_reshape_copies_and_checks_size(zel):
    t = zel.tensor([1, 2, 3, 4, 5, 6])
    r = zel.reshape(t, (2, 3))
    assert r.shape == (2, 3) and r._data is not t._data and records(r._data) == records(t._data)
    assert zel.reshape(t, [3, 2]).shape == [3, 2]
    for bad in [(4, 2), (-2, -3), (6, 0)]:
        with pytest.raises(ValueError):
            zel.reshape(t, bad)


@pytest.mark.parametrize("dim, shape", [(None, (3,)), (0, (3, 1)), (1, (1, 3, 1)), (-1, (1, 3))])
def test_squeeze(zel, dim, shape):
    t = zel.reshape(zel.tensor([1, 2, 3]), (1, 3, 1))
    s = zel.squeeze(t) if dim is None else zel.squeeze(t, dim)
    assert s.shape == shape and s.to_list() != []


def test_squeeze_and_unsqueeze_edges(zel):
    assert zel.squeeze(zel.reshape(zel.tensor([7]), (1, 1))).shape == (1,)
    with pytest.raises(IndexError):
        zel.squeeze(zel.tensor([1, 2]), 3)
    v = zel.tensor([1, 2, 3])
    assert zel.unsqueeze(v, 0).shape == (1, 3) and zel.unsqueeze(v, -1).shape == (3, 1)
    assert zel.unsqueeze(v, 1.7).shape == (3, 1)
    with pytest.raises(TypeError, match=r"Argument 'dim' has incorrect type \(expected int, got NoneType\)"):
        zel.unsqueeze(v, None)


def test_transpose(zel):
    m = zel.tensor([[1, 2, 3], [4, 5, 6]])
    for d0, d1 in [(0, 1), (1, 0), (5, -9)]:
        assert zel.transpose(m, d0, d1).to_list() == [[1.0, 4.0], [2.0, 5.0], [3.0, 6.0]]
    with pytest.raises(ValueError, match="transpose requires 2D tensor"):
        zel.transpose(zel.tensor([1, 2]), 0, 1)
    big = zel.reshape(zel.arange(17 * 33), (17, 33))
    assert zel.transpose(big, 0, 1).to_list() == [list(col) for col in zip(*big.to_list())]
    with pytest.raises(ValueError, match="Size mismatch"):
        zel.transpose(zel.Tensor([1, 2, 3], shape=(2, 2)), 0, 1)


def test_cat_and_stack(zel):
    a = zel.reshape(zel.arange(6), (2, 3))
    b = zel.reshape(zel.arange(6, 18), (4, 3))
    c = zel.cat([a, b])
    assert c.shape == (6, 3) and c.to_list() == a.to_list() + b.to_list()
    one = zel.cat([a])
    assert one.shape == (2, 3) and one._data is not a._data
    side = zel.cat([a, zel.reshape(zel.arange(10, 14), (2, 2))], dim=-1)
    assert side.to_list() == [[0.0, 1.0, 2.0, 10.0, 11.0], [3.0, 4.0, 5.0, 12.0, 13.0]]
    x, y = zel.tensor([1, 2, 3]), zel.tensor([4, 5, 6])
    assert zel.stack([x, y]).shape == (2, 3) and zel.stack([x, y]).to_list() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
    assert zel.stack([x, y], 1).to_list() == [[1.0, 4.0], [2.0, 5.0], [3.0, 6.0]]
    with pytest.raises(ValueError, match="cat requires at least one tensor"):
        zel.cat([])
    with pytest.raises(ValueError, match="cat requires equal shapes except in dim"):
        zel.cat([a, zel.tensor([1, 2])])
    with pytest.raises(TypeError, match=r"Argument 'tensors' has incorrect type \(expected list, got tuple\)"):
        zel.stack((x, y))
    with pytest.raises(IndexError):
        zel.cat([a, b], 2)


def test_diff(zel):
    assert zel.diff(zel.tensor([1, 4, 9, 16])).to_list() == [3.0, 5.0, 7.0]
    m = zel.diff(zel.tensor([[1, 2, 4], [10, 20, 40]]))
    assert m.shape == (2, 2) and m.to_list() == [[1.0, 2.0], [10.0, 20.0]]
    with pytest.raises(ValueError, match="Only n=1 supported"):
        zel.diff(zel.tensor([1, 2]), 2)
    assert zel.diff(zel.tensor([5])).numel == 0


# --- broadcasting -------------------------------------------------------------------

@pytest.mark.parametrize("s1, s2, out", [
    ((), (1,), (1,)), ((3,), (2, 3), (2, 3)), ((2, 1), (1, 3), (2, 3)), ((1,), (0,), (0,)),
    ((4, 1, 2), (3, 1), (4, 3, 2)),
])
def test_broadcast_shapes(zel, s1, s2, out):
    assert zel._broadcast_shapes(s1, s2) == out


@pytest.mark.parametrize("s1, s2", [((2, 3), (3, 2)), ((4,), (2, 3))])
def test_broadcast_shape_errors(zel, s1, s2):
    with pytest.raises(ValueError) as e:
        zel._broadcast_shapes(s1, s2)
    assert str(e.value) == f"Cannot broadcast shapes {s1} and {s2}"


def test_broadcast_to(zel):
    row = zel.tensor([Fraction(1, 3), 2, -5])
    t = zel._broadcast_to(row, (2, 3))
    assert t.shape == (2, 3) and records(t._data) == records(row._data) * 2
    assert zel._broadcast_to(row, (3,)) is row
    col = zel.reshape(zel.tensor([1, 2]), (2, 1))
    assert zel._broadcast_to(col, (2, 3)).to_list() == [[1.0] * 3, [2.0] * 3]
    empty = zel._broadcast_to(zel.tensor([1]), (0, 3))
    assert empty.shape == (0, 3) and empty.numel == 0
    a, b = zel.tensor([1, 2]), zel.tensor([3, 4])
    pair = zel.broadcast_tensors(a, b)
    assert pair[0] is a and pair[1] is b


def test_arithmetic_broadcasts(zel):
    s, v = zel.tensor(2), zel.tensor([5])
    assert zel.add(s, v).shape == (1,)
    m = zel.add(zel.reshape(zel.arange(6), (2, 3)), zel.tensor([10, 20, 30]))
    assert m.shape == (2, 3) and m.to_list() == [[10.0, 21.0, 32.0], [13.0, 24.0, 35.0]]
    with pytest.raises(ValueError, match=r"Cannot broadcast shapes \(2,\) and \(3,\)"):
        zel.mul(zel.tensor([1, 2]), zel.tensor([1, 2, 3]))
    with pytest.raises(AttributeError):
        zel.add(zel.tensor(1), 1)
    with pytest.raises(ValueError, match=r"Size mismatch: tensor shape \(3,\) does not match its 1 records"):
        zel.sub(zel.Tensor([1, 2, 3], shape=(3,)), zel.Tensor([1], shape=(3,)))


# --- exact arithmetic against Fractions -----------------------------------------------

scaled_values = st.one_of(
    st.integers(-(2**512) + 1, 2**512 - 1),
    st.integers(-(2**300), 2**300),
    st.integers(-(2**260), 2**260),
    st.sampled_from([0, 1, -1, SCALE, -SCALE, TOP, -TOP, 2**511, SCALE * 3, -(SCALE // 3)]),
)


def tensor_of_scaled(zel, ss):
    return zel.tensor([Fraction(s, SCALE) for s in ss])


def expected_floor(q):
    s = scaled(q)
    return record_bytes(max(-TOP, min(TOP, s)))


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(scaled_values, scaled_values), min_size=1, max_size=24))
def test_add_sub_mul_div_follow_the_floor_rule(zel, pairs):
    a = tensor_of_scaled(zel, [p[0] for p in pairs])
    b = tensor_of_scaled(zel, [p[1] for p in pairs])
    qa = [Fraction(p[0], SCALE) for p in pairs]
    qb = [Fraction(p[1], SCALE) for p in pairs]
    assert records(zel.add(a, b)._data) == [expected_floor(x + y) for x, y in zip(qa, qb)]
    assert records(zel.sub(a, b)._data) == [expected_floor(x - y) for x, y in zip(qa, qb)]
    assert records(zel.mul(a, b)._data) == [expected_floor(x * y) for x, y in zip(qa, qb)]

    def quotient(x, y):
        if y == 0:
            return record_bytes(0 if x == 0 else (TOP if x > 0 else -TOP))
        return expected_floor(x / y)

    assert records(zel.div(a, b)._data) == [quotient(x, y) for x, y in zip(qa, qb)]


def test_division_contract(zel):
    q = zel.div(zel.tensor(1), zel.tensor(3))
    assert records(q._data) == [record_of(Fraction(1, 3))]
    z = zel.div(zel.tensor([5, -5, 0]), zel.zeros(3))
    assert records(z._data) == [record_bytes(TOP), record_bytes(-TOP), record_bytes(0)]
    neg_zero = zel.mul(zel.tensor([-1]), zel.tensor([0]))
    assert records(neg_zero._data) == [record_bytes(0)]
    sign0 = zel.Tensor()  # the sign-0 zero behaves as zero
    assert records(zel.add(sign0, zel.tensor(-2))._data) == [record_of(-2)]
    assert records(zel.sub(sign0, sign0)._data) == [record_bytes(0)]


def test_saturation(zel):
    big = zel.tensor([Fraction(TOP, SCALE)])
    assert records(zel.add(big, big)._data) == [record_bytes(TOP)]
    assert records(zel.mul(big, zel.tensor([-2]))._data) == [record_bytes(-TOP)]
    assert records(zel.div(big, zel.tensor(["0.5"]))._data) == [record_bytes(TOP)]
