"""Pure-Python statements of the exact rational algorithms over any exact
number type (Fraction, gmpy2.mpq): Gauss-Jordan reduced echelon form, the
determinant by Gaussian elimination, Doolittle LU with partial pivoting,
the inverse as the reduced form of
[A | I], the Akiyama-Tanigawa Bernoulli numbers, and the decimal rounding of
a determinant.  The tests hold the module to them; the benchmarks time them."""
from decimal import Decimal
from fractions import Fraction


def rref(matrix):
    """(reduced rows, pivot columns) of a list of rows, by Gauss-Jordan."""
    m = [list(r) for r in matrix]
    rows = len(m)
    cols = len(m[0]) if rows else 0
    pivots, pr = [], 0
    for col in range(cols):
        if pr >= rows:
            break
        r = next((i for i in range(pr, rows) if m[i][col] != 0), None)
        if r is None:
            continue
        m[pr], m[r] = m[r], m[pr]
        pivots.append(col)
        pivot = m[pr][col]
        m[pr] = [x / pivot for x in m[pr]]
        for i in range(rows):
            if i != pr and m[i][col] != 0:
                f = m[i][col]
                m[i] = [a - f * b for a, b in zip(m[i], m[pr])]
        pr += 1
    return m, pivots


def det(matrix, one=Fraction(1)):
    """The determinant by Gaussian elimination, in the type of `one`."""
    m = [list(r) for r in matrix]
    n = len(m)
    d = one
    for col in range(n):
        r = next((i for i in range(col, n) if m[i][col] != 0), None)
        if r is None:
            return one * 0
        if r != col:
            m[col], m[r] = m[r], m[col]
            d = -d
        pivot = m[col][col]
        d *= pivot
        for row in range(col + 1, n):
            if m[row][col] != 0:
                f = m[row][col] / pivot
                for j in range(col, n):
                    m[row][j] -= f * m[col][j]
    return d


def inverse(matrix, one=Fraction(1)):
    """The inverse of a square list of rows: the right half of rref([A | I])."""
    n = len(matrix)
    aug = [list(matrix[i]) + [one if i == j else one * 0 for j in range(n)] for i in range(n)]
    reduced, pivots = rref(aug)
    if pivots[:n] != list(range(n)):
        raise ValueError("Matrix is singular")
    return [row[n:] for row in reduced]


def bernoulli(n):
    """B_n (B_1 = +1/2) by the Akiyama-Tanigawa recurrence."""
    A = [Fraction(0)] * (n + 1)
    for m in range(n + 1):
        A[m] = Fraction(1, m + 1)
        for j in range(m, 0, -1):
            A[j - 1] = j * (A[j - 1] - A[j])
    return A[0]


def decimal_double(q):
    """float(Decimal(numerator) / Decimal(denominator)) in the current context."""
    return float(Decimal(q.numerator) / Decimal(q.denominator))


def lu(rows):
    """Doolittle with partial pivoting on the largest magnitude, ties to the
    upper row, in Fractions."""
    m = [list(r) for r in rows]
    n = len(m)
    L = [[Fraction(int(i == j)) for j in range(n)] for i in range(n)]
    U = [[Fraction(0)] * n for _ in range(n)]
    perm = list(range(n))
    for k in range(n):
        p = max(range(k, n), key=lambda i: (abs(m[i][k]), -i))
        if p != k:
            m[k], m[p] = m[p], m[k]
            perm[k], perm[p] = perm[p], perm[k]
            for j in range(k):
                L[k][j], L[p][j] = L[p][j], L[k][j]
        U[k][k:] = m[k][k:]
        if m[k][k] == 0:
            continue
        for i in range(k + 1, n):
            L[i][k] = m[i][k] / m[k][k]
            for j in range(k + 1, n):
                m[i][j] -= L[i][k] * m[k][j]
    return L, U, perm
