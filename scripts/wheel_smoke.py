"""The wheel's smoke test, run by scripts/wheel-smoke.

    python wheel_smoke.py [--isolated]

Prints a few exact results and a seeded checksum, one per line; the caller
runs it on the installed wheel and on the main build and compares the two.
With --isolated it first checks the environment the wheel was installed in:
no compiler on PATH, the package imported from this interpreter's
environment, and GMP loaded from the copy bundled in the wheel, not the
system's.  Exits 1 on the first failed check.
"""
import os
import shutil
import sys
from fractions import Fraction


def fail(message):
    print(f"FAILED: {message}", file=sys.stderr)
    sys.exit(1)


def check_isolation(package_file):
    found = {c: shutil.which(c) for c in ("gcc", "g++", "cc", "c++", "clang", "clang++", "nvcc")}
    found = {c: p for c, p in found.items() if p}
    if found:
        fail(f"a compiler is reachable on PATH: {found}")
    if not os.path.realpath(package_file).startswith(os.path.realpath(sys.prefix) + os.sep):
        fail(f"tarnex.zel came from {package_file}, outside the environment {sys.prefix}")
    with open("/proc/self/maps") as maps:
        gmp = {line.split()[-1] for line in maps if "libgmp" in line and "/" in line}
    if not gmp:
        fail("no GMP library is loaded")
    foreign = [p for p in gmp if os.path.basename(os.path.dirname(p)) != "tarnex_zel.libs"]
    if foreign:
        fail(f"GMP loaded from outside the wheel: {foreign}")
    print(f"isolated: no compiler on PATH, GMP from {os.path.relpath(gmp.pop(), sys.prefix)}", file=sys.stderr)


def main():
    import tarnex.zel.zel as zel

    if "--isolated" in sys.argv[1:]:
        check_isolation(zel.__file__)

    # Exact identities: a wrong answer fails here, on either build.
    third = zel.div(zel.tensor(1), zel.tensor(3))
    if zel.mul(third, zel.tensor(3)).to_fractions() == [1]:
        fail("3 * floor(1/3) came out as exactly 1")
    if zel.mul(zel.tensor(2**100), zel.tensor(Fraction(1, 2**100))).to_fractions() != [1]:
        fail("2^100 * 2^-100 != 1")
    # The Hilbert matrix from exact fractions (a list whose first element is
    # an int would pass through doubles); its determinant floored once, and
    # a solve whose right-hand side is an exact product of its records.
    h = zel.tensor([[Fraction(1, i + j + 1) for j in range(6)] for i in range(6)])
    if not zel.checksums_match(zel.det(h, exact=True), zel.tensor([Fraction(1, 186313420339200000)])):
        fail("det(hilbert(6)) is not the record of 1/186313420339200000")
    x = zel.solve(h, zel.mv(h, zel.ones(6)), exact=True)
    if x.to_fractions() != [1] * 6:
        fail("solve(H, H @ 1) != 1")

    # Values compared with the main build's, digit for digit.
    print("1/3:", third.to_fractions()[0])
    print("sqrt(2):", zel.sqrt(zel.tensor([2])).to_fractions()[0])
    print("exp(1):", zel.exp(zel.tensor([1])).to_fractions()[0])
    zel.manual_seed(2024)
    a = zel.randn(24, 24)
    print("checksum mm(randn(24, 24)^2), seed 2024:", zel.checksum(zel.mm(a, a)))
    print("checksum rand(1000), seed 2024 continued:", zel.checksum(zel.rand(1000)))


if __name__ == "__main__":
    main()
