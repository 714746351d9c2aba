"""A short timing set for the device check: one line per operation,
`name seconds ns/element`, best of three after a warm-up launch.

    ZEL_DEVICE=cuda python scripts/gpu_checks/bench_quick.py
"""
import time
from fractions import Fraction

import numpy as np

import tarnex.zel.zel as zel


def sync():
    zel.cp.cuda.Device().synchronize()


def best(fn, reps=3):
    fn()
    sync()
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        sync()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    rng = np.random.default_rng(5)
    big = zel.Tensor(rng.standard_normal(1_000_000) * 1e3)
    other = zel.Tensor(rng.standard_normal(1_000_000) + 2.0)
    small = zel.Tensor(rng.standard_normal(100_000))
    positive = zel.abs(small)
    n = 256
    wide = zel.tensor([[Fraction(int(v), 3) + Fraction(int(w), 2**256) for v, w in
                        zip(rng.integers(-2**60, 2**60, n), rng.integers(0, 2**62, n))] for _ in range(n)])
    cases = [
        ("add 1e6", 10**6, lambda: zel.add(big, other)),
        ("mul 1e6", 10**6, lambda: zel.mul(big, other)),
        ("div 1e6", 10**6, lambda: zel.div(big, other)),
        ("exp 1e5", 10**5, lambda: zel.exp(small)),
        ("log 1e5", 10**5, lambda: zel.log(positive)),
        ("sin 1e5", 10**5, lambda: zel.sin(small)),
        ("sqrt 1e5", 10**5, lambda: zel.sqrt(positive)),
        ("sum 1e6", 10**6, lambda: zel.sum(big)),
        ("mm 256 full width", n * n, lambda: zel.mm(wide, wide)),
        ("randn 1e6", 10**6, lambda: zel.randn(10**6)),
        ("checksum 1e6", 10**6, lambda: zel.checksum(big)),
    ]
    for name, count, fn in cases:
        t = best(fn)
        print(f"{name:<20} {t:10.4f} s {t / count * 1e9:10.1f} ns/element", flush=True)


if __name__ == "__main__":
    main()
