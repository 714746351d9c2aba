"""``python -m tarnex.zel``: what is installed and whether it works.

Prints the package version, the device in use, where the kernels come from,
the GMP version and the host kernels' vector level, then runs a short
self-check of exact identities and a cross-device checksum.  Exits 0 when every check passes, 1 otherwise.
"""
import importlib.metadata
import sys
import time
from fractions import Fraction


def _gmp_version():
    """The version of the GMP library the extension loaded (bundled or the
    system's), read from the library itself."""
    import ctypes

    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if "libgmp" in line and "/" in line}
    for path in sorted(paths):
        try:
            return ctypes.c_char_p.in_dll(ctypes.CDLL(path), "__gmp_version").value.decode()
        except (OSError, ValueError):
            continue
    return "unknown"


# The checksum of a reproducible computation, the same on every device:
# manual_seed(42); x = reshape(randn(1000), (10, 100)); mm(x, x^T).
_REFERENCE_CHECKSUM = "7f3989fbc3e03c9d27dc7225dba35056f45516b7b7f86cd55069e635617f1515"


def _checks(zel):
    def same(a, b):
        return a._data.get().tobytes() == b._data.get().tobytes()

    def reproducible():
        zel.manual_seed(42)
        x = zel.reshape(zel.randn(1000), (10, 100))
        return zel.checksum(zel.mm(x, zel.transpose(x, 0, 1))) == _REFERENCE_CHECKSUM

    m = zel.tensor([[Fraction(i * 17 + j, 7) for j in range(17)] for i in range(17)])
    return [
        ("1 / 3 is the floor of the exact third", lambda: same(zel.div(zel.tensor(1), zel.tensor(3)),
                                                               zel.tensor(Fraction(1, 3)))),
        ("2^100 * 2^-100 == 1", lambda: zel.mul(zel.tensor(2**100), zel.tensor(Fraction(1, 2**100))).to_fractions()
         == [1]),
        ("sqrt(4) == 2, exp(0) == 1", lambda: zel.sqrt(zel.tensor([4])).to_fractions() == [2]
         and zel.exp(zel.tensor([0])).to_fractions() == [1]),
        ("identity @ m == m (tiled product)", lambda: same(zel.mm(zel.eye(17), m), m)),
        ("det([[2, 1], [1, 1]]) == 1", lambda: zel.det(zel.tensor([[2, 1], [1, 1]])).to_fractions() in (1, [1])),
        ("seeded checksum matches every device", reproducible),
    ]


def main():
    try:
        version = importlib.metadata.version("tarnex-zel")
    except importlib.metadata.PackageNotFoundError:
        version = "unknown (not installed as a distribution)"
    print(f"tarnex.zel {version}")
    try:
        import tarnex.zel.zel as zel
    except Exception as e:  # the reason is the report
        print(f"import failed: {type(e).__name__}: {e}")
        return 1
    from tarnex.zel.cuda import cubin_loader

    failures = 0
    start = time.perf_counter()
    results = []
    for name, check in _checks(zel):
        try:
            ok = bool(check())
        except Exception as e:
            ok = False
            name += f" ({type(e).__name__}: {e})"
        failures += not ok
        results.append((name, ok))
    archs = " ".join(cubin_loader.fatbin_architectures()) or "none"
    print(f"device: {zel.device}")
    print(f"kernels: {cubin_loader.kernel_origin()} (fatbin architectures: {archs})")
    print(f"GMP: {_gmp_version()}")
    print(f"host vector level: {zel._cpu_level} (ZEL_CPU_LEVEL=baseline|avx2|avx512 lowers it)")
    print(f"self-check ({time.perf_counter() - start:.2f} s):")
    for name, ok in results:
        print(f"  {'ok  ' if ok else 'FAIL'} {name}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
