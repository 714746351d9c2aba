"""Record digests of a battery of operations, one line `name sha256` each,
for comparing devices byte for byte: run once per ZEL_DEVICE and compare.
Operations missing from this build are noted on stderr and skipped.

    ZEL_DEVICE=cuda python scripts/gpu_checks/battery.py
"""
import hashlib
import sys
from fractions import Fraction

import numpy as np

import tarnex.zel.zel as zel


def digest(result):
    data = result._data if hasattr(result, "_data") else result
    return hashlib.sha256(data.get().tobytes()).hexdigest()


def main():
    rng = np.random.default_rng(11)
    xs = list(rng.standard_normal(4096) * 1e3) + [0.0, -0.0, 2.0**-204, -(2.0**-300), 2.0**255, -1.5e76]
    exact = [Fraction(int(rng.integers(-10**18, 10**18)), int(rng.integers(1, 10**12))) for _ in range(4096)]
    a = zel.Tensor(np.asarray(xs))
    b = zel.tensor(list(reversed(xs)))
    q = zel.tensor(exact)
    r = zel.tensor(list(reversed(exact)))
    m = zel.tensor([[Fraction(int(v), 7) for v in rng.integers(-50, 50, 48)] for _ in range(48)])
    cases = [
        ("from_double", lambda: a),
        ("exact_host", lambda: q),
        ("to_double", lambda: zel.cp.asarray(np.asarray(zel.from_gpu(q._data)))),
        ("add", lambda: zel.add(a, b)), ("sub", lambda: zel.sub(q, r)),
        ("mul", lambda: zel.mul(q, r)), ("div", lambda: zel.div(q, r)), ("div_zero", lambda: zel.div(q, zel.zeros(4096))),
        ("broadcast", lambda: zel.add(zel.reshape(q, (64, 64)), zel.tensor(exact[:64]))),
        ("transpose", lambda: zel.transpose(m, 0, 1)), ("eye", lambda: zel.eye(33)),
        ("cat_dim1", lambda: zel.cat([m, m], 1)),
    ]
    for name in ["neg", "abs", "relu", "sign", "exp", "log", "sin", "cos", "sqrt", "tanh", "sigmoid", "gelu", "silu",
                 "floor", "ceil", "round", "trunc", "frac", "atan", "asin", "acos"]:
        small = name in ("asin", "acos")
        cases.append((name, lambda f=name, s=small: getattr(zel, f)(zel.div(q, zel.tensor(10**12)) if s else q)))
    for name in ["sum", "prod", "max", "min", "cumsum", "softmax"]:
        cases.append((name, lambda f=name: getattr(zel, f)(zel.reshape(q, (64, 64)))))
    cases += [("mm", lambda: zel.mm(m, m)), ("mv", lambda: zel.mv(m, zel.tensor(exact[:48]))),
              ("trace", lambda: zel.trace(m)), ("eq", lambda: zel.eq(q, r)), ("lt", lambda: zel.lt(q, r))]
    # Reductions and products: full-width records, sizes off the 16 x 16 tile.
    # Every third record spans all eight limbs.
    wide = zel.tensor([[Fraction(int(v), 3) * (2**70 if j % 3 == 0 else 2**-60) + Fraction(int(w), 2**256)
                        for j, (v, w) in enumerate(zip(rng.integers(-2**62, 2**62, 37), rng.integers(0, 2**62, 37)))]
                       for _ in range(37)])
    img = zel.reshape(zel.tensor(exact[:2 * 3 * 9 * 11]), (2, 3, 9, 11))
    filt = zel.reshape(zel.tensor(exact[:4 * 3 * 3 * 2]), (4, 3, 3, 2))
    cases += [("mm_wide", lambda: zel.mm(wide, wide)), ("mv_wide", lambda: zel.mv(wide, zel.tensor(exact[:37]))),
              ("mm_rect", lambda: zel.mm(zel.reshape(zel.tensor(exact[:680]), (17, 40)),
                                         zel.reshape(zel.tensor(exact[680:1680]), (40, 25)))),
              ("dot", lambda: zel.dot(q, r)), ("cumprod", lambda: zel.cumprod(zel.reshape(q, (64, 64)))),
              ("argmax", lambda: zel.argmax(zel.reshape(q, (64, 64)))),
              ("argmin", lambda: zel.argmin(zel.reshape(q, (64, 64)))),
              ("outer", lambda: zel.outer(zel.tensor(exact[:40]), zel.tensor(exact[40:73]))),
              ("kron", lambda: zel.kron(zel.reshape(zel.tensor(exact[:6]), (2, 3)), m)),
              ("diag", lambda: zel.diag(zel.reshape(zel.tensor(exact[:60]), (6, 10)))),
              ("trace_wide", lambda: zel.trace(wide)),
              ("conv2d", lambda: zel.conv2d(img, filt, 2, 1))]
    # CSR kernels and complex products (four real products and two sums each).
    rows = [[Fraction(int(v), 7) if (i + 2 * j) % 5 == 0 else 0 for j, v in enumerate(rng.integers(-50, 50, 48))]
            for i in range(48)]
    sparse = zel.tensor(rows)
    csr = lambda: zel.SparseTensor.from_dense(sparse)
    c = lambda: zel.complex_tensor(m, zel.transpose(m, 0, 1))
    cv = lambda: zel.complex_tensor(exact[:48], exact[48:96])
    cases += [("csr_values", lambda: csr()._values), ("csr_cols", lambda: csr()._col_indices),
              ("csr_ptrs", lambda: csr()._row_ptrs), ("spmv", lambda: zel.sparse_mv(csr(), zel.tensor(exact[:48]))),
              ("cmm_real", lambda: zel.cmm(c(), c()).real), ("cmm_imag", lambda: zel.cmm(c(), c()).imag),
              ("cmv_imag", lambda: zel.cmv(c(), cv()).imag), ("cdiv_real", lambda: (cv() / cv().conj()).real),
              ("hadamard", lambda: zel.hadamard_gate().real), ("rotation_x", lambda: zel.rotation_x(0.7).imag)]
    # Gathers and scatters of basic indexing: one strided copy kernel each.
    cube = lambda: zel.reshape(q, (16, 16, 16))

    def scatter():
        t = cube()
        t[3:, ::-2, 5] = zel.tensor(exact[:8])
        t[1:] = t[:-1]
        return t

    cases += [("gather", lambda: cube()[2:13:3, ::-1, -5]), ("gather_none", lambda: cube()[None, ..., 7, None]),
              ("scatter", scatter)]
    failures = 0
    for name, make in cases:
        try:
            print(name, digest(make()))
        except AttributeError as e:
            print(f"battery: {name} skipped ({e})", file=sys.stderr)
        except Exception as e:  # a device error is a finding, not a reason to stop
            failures += 1
            print(f"{name} ERROR {type(e).__name__}: {e}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
