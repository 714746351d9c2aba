"""A short tour of exact 512-bit fixed-point arithmetic."""
import os
from decimal import Decimal
from fractions import Fraction

import numpy as np

import tarnex.zel.zel as zel

print(f"device: {os.environ.get('ZEL_DEVICE', 'cuda')}   "
      f"format: {zel.NUM_LIMBS} x 64-bit limbs, {zel.SCALE_BITS} fraction bits")

# Every value is stored as floor(q * 2^256) / 2^256 of its exact rational q.
third = zel.tensor(Fraction(1, 3))
exact = zel.from_gpu(third._data, as_float=False)[0]
print("1/3 stored as", exact, "\n  error", Fraction(1, 3) - exact, "< 2^-256:",
      Fraction(1, 3) - exact < Fraction(1, 2**256))

# Decimal strings are read exactly; floats go through their nearest short ratio.
big = "123456789012345678901234567890.000000000000000000000000000001"
back = zel.from_gpu(zel.to_gpu([big]), as_float=False)[0]
print("decimal string round trip exact to 2^-256:", abs(back - Fraction(Decimal(big))) < Fraction(1, 2**256))
print("0.1 (float) and '0.1' (string) give the same record:",
      zel._value_to_fp(0.1).tobytes() == zel._value_to_fp("0.1").tobytes())

# Arithmetic is exact where the result is representable, and floors otherwise.
a = zel.tensor([1, 2, 3, 4])
b = zel.tensor(["0.5", "0.25", "-0.125", "3"])
print("a + b =", zel.add(a, b).to_list())
print("a * b =", zel.mul(a, b).to_list())
q = zel.div(zel.tensor(1), zel.tensor(3))
print("1 / 3 has the record of Fraction(1, 3):",
      zel.from_gpu(q._data, as_float=False)[0] == exact)

# Huge integers survive where doubles cannot hold them.
n = 2**200 + 1
print("2**200 + 1 exact:", zel.from_gpu(zel.to_gpu([str(n)]), as_float=False)[0] == n)
try:
    zel.tensor(Fraction(2**256))
except OverflowError as e:
    print("2**256 refused:", e)

# What no floating-point library gets right.  The 15 x 15 Hilbert matrix has
# determinant about 1.06e-124; elimination in doubles does not even get its
# sign, the exact rational elimination rounds once at the end.
print("det(Hilbert 15), exact then rounded once:", zel.hilbert_det_exact(15))
h15 = np.array([[1.0 / (i + j + 1) for j in range(15)] for i in range(15)])
print("det(Hilbert 15) by LU in doubles:       ", np.linalg.det(h15))
# Patching puts the exact functions behind NumPy's names, process-wide.
print("np.sum([1e-16, 1, -1]) in doubles:", np.sum([1e-16, 1, -1]))
zel.patch_numpy()
print("np.sum([1e-16, 1, -1]) patched:   ", np.sum([1e-16, 1, -1]))
zel.unpatch_numpy()

# Gates multiply exactly: Y * Y is the identity to the last bit.
yy = zel.cmm(zel.pauli_y(), zel.pauli_y())
print("Y * Y =", yy.real.to_list(), "+ i", yy.imag.to_list())

# The same seed and the same calls give the same checksum on every device.
zel.manual_seed(42)
x = zel.reshape(zel.randn(1000), (10, 100))
print("checksum of X X^T for seed 42:", zel.checksum(zel.mm(x, zel.transpose(x, 0, 1))))
