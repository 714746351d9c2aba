"""Pure-Python statements of the decompositions (Householder QR in Fractions,
the QR algorithm, SVD through the Gram matrix, Padé expm) and of the device
steps they rely on, written from the records' definition: tensor() of a
double stores floor(x * 2^256) / 2^256, mm and mv return the floor of the
exact sum of products, and reading back gives the nearest double."""
import math
from fractions import Fraction

from exact_reference import inverse

SCALE = 2**256
BOUND = 10**15


def scaled(x):
    """floor(x * 2^256) for a double x: the record tensor() stores."""
    n, d = x.as_integer_ratio()
    return (n * SCALE) // d


def through_record(x):
    """The double that reading back the record of x gives."""
    return scaled(x) / SCALE


def device_mm(A, B):
    """Rows of doubles: mm of the tensors of A and B, read back as doubles."""
    a = [[scaled(x) for x in row] for row in A]
    b = [[scaled(x) for x in row] for row in B]
    inner = len(b)
    cols = len(b[0]) if b else 0
    return [[(sum(a[i][l] * b[l][j] for l in range(inner)) >> 256) / SCALE for j in range(cols)]
            for i in range(len(a))]


def inverse_doubles(D):
    """inv(tensor(D)) read back: Gauss-Jordan on the exact values of D's
    records, each entry of the inverse rounded to a double."""
    exact = inverse([[Fraction(scaled(x), SCALE) for x in row] for row in D])
    return [[float(e) for e in row] for row in exact]


def device_solve(D, b):
    """solve(tensor(D), tensor(b)) read back: the inverse through doubles,
    then the device matrix-vector product."""
    return [row[0] for row in device_mm(inverse_doubles(D), [[x] for x in b])]


def transpose(A):
    return [list(col) for col in zip(*A)]


def rounded_root(q):
    return Fraction(float(q) ** 0.5).limit_denominator(BOUND)


def qr(A):
    """Householder QR of rows of doubles (as read from the device)."""
    m = len(A)
    n = len(A[0]) if A else 0
    R = [[Fraction(x) for x in row] for row in A]
    Q = [[Fraction(int(i == k)) for k in range(m)] for i in range(m)]
    for j in range(min(m - 1, n)):
        x = [R[i][j] for i in range(j, m)]
        norm_sq = sum(xi * xi for xi in x)
        if norm_sq == 0:
            continue
        norm_x = rounded_root(norm_sq)
        sign = 1 if x[0] >= 0 else -1
        x[0] += sign * norm_x
        norm_v_sq = sum(xi * xi for xi in x)
        if norm_v_sq == 0:
            continue
        norm_v = rounded_root(norm_v_sq)
        if norm_v == 0:
            continue
        v = [xi / norm_v for xi in x]
        vTR = [sum(v[i - j] * R[i][k] for i in range(j, m)) for k in range(j, n)]
        for i in range(j, m):
            for k in range(j, n):
                R[i][k] -= 2 * v[i - j] * vTR[k - j]
        Qv = [sum(Q[i][k] * v[k - j] for k in range(j, m)) for i in range(m)]
        for i in range(m):
            for k in range(j, m):
                Q[i][k] -= 2 * Qv[i] * v[k - j]
    return [[float(e) for e in row] for row in Q], [[float(e) for e in row] for row in R]


def eig(A, max_iter=100, mm=device_mm, qr=qr):
    """The unshifted QR algorithm on rows of doubles; returns (vals, vecs)."""
    n = len(A)
    Ak = [list(row) for row in A]
    Q_total = [[1.0 if i == j else 0.0 for j in range(n)] for i in range(n)]
    for _ in range(max_iter):
        Q, R = qr([[through_record(x) for x in row] for row in Ak])
        Ak = mm(R, Q)
        Q_total = mm(Q_total, Q)
        off_diag = sum(abs(Ak[i][j]) for i in range(n) for j in range(i))
        if off_diag < 1e-12:
            break
    return [Ak[i][i] for i in range(n)], Q_total


def svd(A, max_iter=100, mm=device_mm, eigh=eig):
    m, n = len(A), len(A[0])
    AtA = mm(transpose(A), A)
    vals, V = eigh(AtA, max_iter)
    idx = sorted(range(n), key=lambda i: vals[i], reverse=True)
    S = [vals[i] ** 0.5 if vals[i] > 0 else 0.0 for i in idx]
    V_sorted = [[V[i][idx[j]] for j in range(n)] for i in range(n)]
    AV = mm(A, V_sorted)
    U = [[0.0] * n for _ in range(m)]
    for j in range(n):
        if S[j] > 1e-14:
            for i in range(m):
                U[i][j] = AV[i][j] / S[j]
    return U, S, transpose(V_sorted)


def expm(A, order=6, solve=device_solve):
    n = len(A)
    norm_A = max(sum(abs(A[i][j]) for j in range(n)) for i in range(n))
    s = max(0, int(math.ceil(math.log2(norm_A + 1))))
    scale_factor = 2**s
    A_scaled = [[A[i][j] / scale_factor for j in range(n)] for i in range(n)]
    pade_c = [1.0]
    for k in range(1, order + 1):
        pade_c.append(pade_c[-1] * (order - k + 1) / (k * (2 * order - k + 1)))
    I = [[1.0 if i == j else 0.0 for j in range(n)] for i in range(n)]
    A_powers = [I]
    Ak = I
    for _ in range(order):
        Ak = [[sum(Ak[i][l] * A_scaled[l][j] for l in range(n)) for j in range(n)] for i in range(n)]
        A_powers.append(Ak)
    N = [[0.0] * n for _ in range(n)]
    D = [[0.0] * n for _ in range(n)]
    for k in range(order + 1):
        for i in range(n):
            for j in range(n):
                N[i][j] += pade_c[k] * A_powers[k][i][j]
    for k in range(order + 1):
        sign = (-1) ** k
        for i in range(n):
            for j in range(n):
                D[i][j] += sign * pade_c[k] * A_powers[k][i][j]
    E = [[0.0] * n for _ in range(n)]
    for col in range(n):
        x = solve(D, [N[i][col] for i in range(n)])
        for i in range(n):
            E[i][col] = x[i]
    for _ in range(s):
        E = [[sum(E[i][l] * E[l][j] for l in range(n)) for j in range(n)] for i in range(n)]
    return E
