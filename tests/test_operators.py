"""Tensor operators: each forwards to the module function bound at call time,
reflected forms keep the mathematical order, and no operand is ever declined
(a failed conversion is final)."""
from fractions import Fraction

import pytest

from reference import records, value_of


def exact(t):
    return [value_of(r) for r in records(t._data)]


@pytest.fixture
def spy(zel, monkeypatch):
    """Rebinds module functions to recorders; returns the list of calls."""
    calls = []

    def rebind(*names):
        for name in names:
            def recorder(*args, _name=name):
                calls.append((_name, args))
                return _name
            monkeypatch.setattr(zel, name, recorder)
        return calls
    return rebind


@pytest.mark.parametrize("expr, fn, order", [
    (lambda t: t + 1, "add", "self-first"), (lambda t: 1 + t, "add", "other-first"),
    (lambda t: t - 1.5, "sub", "self-first"), (lambda t: 2 - t, "sub", "other-first"),
    (lambda t: t * 3, "mul", "self-first"), (lambda t: 3 * t, "mul", "other-first"),
    (lambda t: t / Fraction(1, 3), "div", "self-first"), (lambda t: 1 / t, "div", "other-first"),
])
def test_arithmetic_matches_the_module_functions(zel, expr, fn, order):
    t = zel.tensor([Fraction(1, 7), -2, 5])
    f = getattr(zel, fn)
    other = {"add": 1, "sub": 1.5 if order == "self-first" else 2, "mul": 3,
             "div": Fraction(1, 3) if order == "self-first" else 1}[fn]
    expected = f(t, zel.tensor(other)) if order == "self-first" else f(zel.tensor(other), t)
    got = expr(t)
    assert type(got) is zel.Tensor
    assert got.shape == expected.shape == (3,)
    assert records(got._data) == records(expected._data)


def test_reflected_forms_keep_the_order(zel, spy):
    calls = spy("sub", "div")
    t = zel.tensor([4, 8])
    assert (2 - t) == "sub" and (1 / t) == "div"
    (name1, (a1, b1)), (name2, (a2, b2)) = calls
    assert b1 is t and exact(a1) == [2] and b2 is t and exact(a2) == [1]


def test_operators_look_the_target_up_at_call_time(zel, spy):
    t = zel.tensor([1, 2])
    calls = spy("add", "sub", "mul", "div", "neg", "matmul", "pow", "sum", "mean", "max", "min")
    results = [t + 1, 1 + t, t - t, t * t, t / 2, -t, t @ t, t ** 3, t.sum(), t.mean(), t.max(), t.min()]
    assert results == ["add", "add", "sub", "mul", "div", "neg", "matmul", "pow", "sum", "mean", "max", "min"]
    assert [name for name, _ in calls] == results
    # Operands that are tensors pass through; others went through tensor().
    assert calls[2][1] == (t, t) and calls[6][1] == (t, t) and calls[7][1] == (t, 3)
    assert calls[8][1] == (t,) and calls[5][1] == (t,)


def test_non_tensor_operands_are_wrapped_with_the_current_tensor(zel, monkeypatch, spy):
    calls = spy("add")
    made = []
    real = zel.tensor

    def tensor(data):
        made.append(data)
        return real(data)
    monkeypatch.setattr(zel, "tensor", tensor)
    t = zel.tensor([1, 2, 3])
    made.clear()
    t + [1, 2, 3]
    assert made == [[1, 2, 3]] and calls[0][1][1].shape == (3,)


def test_matmul_and_pow_pass_the_operand_unchanged(zel, spy):
    calls = spy("matmul", "pow")
    t = zel.tensor([[1, 2], [3, 4]])
    rhs = [[1], [2]]
    t @ rhs
    t ** 2.5
    assert calls[0][1][1] is rhs and calls[1][1][1] == 2.5


def test_subclass_operands_are_used_as_they_are(zel, spy):
    class Sub(zel.Tensor):
        __slots__ = ()

    calls = spy("add")
    t, s = zel.tensor([1]), Sub([2])
    t + s
    assert calls[0][1] == (t, s)


def test_no_operand_is_declined(zel):
    class Other:
        def __radd__(self, other):
            return "reflected"

    t = zel.tensor([1])
    with pytest.raises(TypeError) as info:
        t + Other()
    assert "unsupported operand" not in str(info.value)
    with pytest.raises(TypeError):
        t + object()


def test_operators_that_do_not_exist(zel):
    t = zel.tensor([1, 2])
    assert t == t and not (t == t.clone()) and t != t.clone()
    with pytest.raises(TypeError):
        t < t
    with pytest.raises(TypeError):
        2 ** t
    with pytest.raises(TypeError):
        [1, 2] @ t
    with pytest.raises(TypeError):
        abs(t)
    with pytest.raises(TypeError):
        t // 2
    # Length and indexing exist now, but a 0-d tensor has no length, as in NumPy.
    with pytest.raises(TypeError):
        len(zel.tensor(5))


def test_in_place_forms_rebind(zel):
    t = zel.tensor([1, 2])
    u = t
    t += 1
    assert t is not u and exact(u) == [1, 2] and exact(t) == [2, 3]


def test_reduction_methods_equal_the_module_functions(zel):
    t = zel.tensor([[3, -1], [4, 2]])
    for name in ("sum", "mean", "max", "min"):
        assert records(getattr(t, name)()._data) == records(getattr(zel, name)(t)._data)
    with pytest.raises(TypeError):
        t.sum(0)
