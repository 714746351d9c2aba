"""A short tour of exact 512-bit fixed-point arithmetic."""
import os
from decimal import Decimal
from fractions import Fraction

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
