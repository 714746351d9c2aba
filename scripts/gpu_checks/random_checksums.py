"""Checksums of seeded random tensors and of a few operations on them, one
line `name checksum` each, for comparing devices: run it once per
ZEL_DEVICE and compare the outputs line by line.  Operations this build
does not have yet are reported on stderr and left out of the comparison.

    ZEL_DEVICE=cuda python scripts/gpu_checks/random_checksums.py [--n 1024]
"""
import argparse
import sys

import tarnex.zel.zel as zel


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1024, help="side of the square random matrix")
    n = ap.parse_args().n

    zel.manual_seed(7)
    a = zel.randn(n, n)
    print(f"randn_{n}x{n}", zel.checksum(a))
    zel.manual_seed(7)
    print(f"rand_{n}x{n}", zel.checksum(zel.rand(n, n)))

    steps = [("mm", lambda: zel.mm(a, a)), ("exp", lambda: zel.exp(a)), ("sum", lambda: zel.sum(a))]
    for name, step in steps:
        if not hasattr(zel, name):
            print(f"random_checksums: {name} not in this build, skipped", file=sys.stderr)
            continue
        print(f"{name}(randn_{n}x{n})", zel.checksum(step()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
