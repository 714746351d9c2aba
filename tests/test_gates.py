"""Quantum gate constructors: exact fixed gates, identities, parameterised gates."""
import cmath
from fractions import Fraction
import math

import mpmath
import pytest

from reference import records, value_of


def exact(t):
    return [value_of(r) for r in records(t._data)]


def matrix(c):
    r, i = c.real.to_list(), c.imag.to_list()
    return [[complex(a, b) for a, b in zip(rr, ii)] for rr, ii in zip(r, i)]


def exact_matrix(c):
    """The gate's entries as exact complex pairs of Fractions, row-major."""
    return list(zip(exact(c.real), exact(c.imag)))


def close(a, b, tol=1e-15):
    return all(abs(x - y) <= tol for ra, rb in zip(a, b) for x, y in zip(ra, rb))


I2 = [[1, 0], [0, 1]]

FIXED = {
    "pauli_x": [[0, 1], [1, 0]],
    "pauli_y": [[0, -1j], [1j, 0]],
    "pauli_z": [[1, 0], [0, -1]],
    "s_gate": [[1, 0], [0, 1j]],
    "cnot": [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]],
}


@pytest.mark.parametrize("name", sorted(FIXED))
def test_fixed_gates_are_exact(zel, name):
    g = getattr(zel, name)()
    assert isinstance(g, zel.ComplexTensor)
    want = [(z.real, z.imag) for row in FIXED[name] for z in map(complex, row)]
    assert exact_matrix(g) == [(Fraction(a), Fraction(b)) for a, b in want]
    n = len(FIXED[name])
    assert g.shape == (n, n) and g.imag.shape == (n, n)


def ident(n):
    return [(1 if i == j else 0, 0) for i in range(n) for j in range(n)]


@pytest.mark.parametrize("a, b, product", [
    ("pauli_x", "pauli_x", "I"), ("pauli_y", "pauli_y", "I"), ("pauli_z", "pauli_z", "I"),
    ("s_gate", "s_gate", "pauli_z"), ("cnot", "cnot", "I4"),
])
def test_products_are_exact(zel, a, b, product):
    p = zel.cmm(getattr(zel, a)(), getattr(zel, b)())
    if product == "I":
        want = ident(2)
    elif product == "I4":
        want = ident(4)
    else:
        want = exact_matrix(getattr(zel, product)())
    assert exact_matrix(p) == want


def test_xy_is_i_z(zel):
    p = zel.cmm(zel.pauli_x(), zel.pauli_y())
    assert exact_matrix(p) == [(0, 1), (0, 0), (0, 0), (0, -1)]


def test_rotation_x_zero_is_identity(zel):
    g = zel.rotation_x(0)
    assert exact_matrix(g) == ident(2)


def test_rotation_y_pi(zel):
    g = matrix(zel.rotation_y(zel.pi()))
    assert close(g, [[0, -1], [1, 0]], 1e-16)
    assert 1e-17 < abs(g[0][0]) < 1e-16  # cos of half a double pi is not zero


@pytest.mark.parametrize("theta", [0.3, -1.2, 2.5])
def test_rotations_match_the_half_angle_formulas(zel, theta):
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    assert close(matrix(zel.rotation_x(theta)), [[c, -1j * s], [-1j * s, c]])
    assert close(matrix(zel.rotation_y(theta)), [[c, -s], [s, c]])
    rz = matrix(zel.rotation_z(theta))
    assert close(rz, [[cmath.exp(-0.5j * theta), 0], [0, cmath.exp(0.5j * theta)]])
    assert rz[0][1] == rz[1][0] == 0 and rz[0][0].imag == -rz[1][1].imag
    assert close(matrix(zel.phase_gate(theta)), [[1, 0], [0, cmath.exp(1j * theta)]])


@pytest.mark.parametrize("gate", ["rotation_x", "rotation_y", "rotation_z", "phase_gate"])
def test_parameterised_gates_are_unitary(zel, gate):
    g = getattr(zel, gate)(0.7)
    assert close(matrix(zel.cmm(g, g.H())), I2, 1e-15)


def test_entries_are_doubles_converted_exactly(zel):
    # Lists of numbers take the fast path: each double's own value is stored.
    g = zel.rotation_x(0.9)
    c = g.real.to_list()[0][0]
    s = -g.imag.to_list()[0][1]
    assert exact(g.real)[0] == Fraction(c) and exact(g.imag)[1] == Fraction(-s)


def test_angle_uses_first_element(zel):
    assert exact_matrix(zel.rotation_x(zel.tensor([0.5, 1.0, 2.0]))) == exact_matrix(zel.rotation_x(0.5))
    assert exact_matrix(zel.rotation_z(zel.tensor(0.5))) == exact_matrix(zel.rotation_z(0.5))


def test_phase_half_pi_is_close_to_s(zel):
    assert close(matrix(zel.phase_gate(zel.pi_over(2))), matrix(zel.s_gate()), 1e-16)


def test_t_gate(zel):
    assert exact_matrix(zel.t_gate()) == exact_matrix(zel.phase_gate(zel.pi_over(4)))
    assert close(matrix(zel.t_gate()), [[1, 0], [0, cmath.exp(1j * math.pi / 4)]])


def test_hadamard(zel):
    g = zel.hadamard_gate()
    h = g.real.to_list()[0][0]
    with mpmath.workprec(300):
        assert h == float(1 / mpmath.sqrt(2))  # the double nearest 1/sqrt(2), not 1/math.sqrt(2)
    assert exact(g.real) == [Fraction(v) for v in (h, h, h, -h)]
    assert exact(g.imag) == [0, 0, 0, 0]
    hh = matrix(zel.cmm(g, g))
    assert close(hh, I2, 1e-15)


@pytest.mark.parametrize("name", ["pauli_x", "pauli_y", "pauli_z", "hadamard_gate", "t_gate", "s_gate", "cnot"])
def test_fixed_gates_take_no_arguments(zel, name):
    with pytest.raises(TypeError):
        getattr(zel, name)(1)
