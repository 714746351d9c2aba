"""randn, rand and checksum against a pure-Python version of the same
algorithms (a Fraction-valued LCG loop converted by tensor, and a
field-by-field struct/hashlib checksum), measured in the same run.

The pure-Python side runs on fewer elements and its time is scaled linearly
to the full size; the output says so.  Default device: host.

    ZEL_DEVICE=host .venv/bin/python benchmarks/bench_random.py [--json PATH]
"""
import argparse
import hashlib
import json
import os
import struct
import sys
import time
from fractions import Fraction

os.environ.setdefault("ZEL_DEVICE", "host")

import tarnex.zel.zel as zel  # noqa: E402

_A, _M = 48271, 2147483647
_state = 1


def _py_seed(seed):
    global _state
    _state = (seed % (_M - 1)) + 1


def _py_next():
    global _state
    _state = (_A * _state) % _M
    return _state


def _py_uniform():
    return Fraction(_py_next(), _M)


def _py_normal():
    total = Fraction(0)
    for _ in range(12):
        total = total + _py_uniform()
    return total - 6


def _py_draw(draw, shape):
    n = 1
    for s in shape:
        n *= s
    vals = [draw() for _ in range(n)]
    result = zel.tensor(vals)
    if len(shape) > 1:
        result = zel.reshape(result, shape)
    return result


def py_rand(*shape):
    return _py_draw(_py_uniform, shape)


def py_randn(*shape):
    return _py_draw(_py_normal, shape)


def py_checksum(a):
    h = hashlib.sha256()
    host = a._data.get()
    for i in range(len(host)):
        rec = host[i]
        h.update(struct.pack("i", rec["sign"]))
        for j in range(zel.NUM_LIMBS):
            h.update(struct.pack("Q", rec["limb" + str(j)]))
    return h.hexdigest()


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--json", help="also write the results to this file")
    ap.add_argument("--repeat", type=int, default=3)
    opts = ap.parse_args()

    # Same seed, same elements: the two versions must agree bit for bit.
    zel.manual_seed(7)
    _py_seed(7)
    assert zel.checksum(zel.randn(16, 16)) == zel.checksum(py_randn(16, 16))
    assert zel.checksum(zel.rand(300)) == zel.checksum(py_rand(300))
    sample = zel.randn(500)
    assert zel.checksum(sample) == py_checksum(sample)

    records = zel.randn(1000, 1000)
    cases = [
        # name, full size, native call, pure-Python call on the small size, small size
        ("randn(1024, 1024)", 1024 * 1024, lambda: zel.randn(1024, 1024), lambda: py_randn(64, 64), 64 * 64),
        ("rand(1000, 1000)", 1000 * 1000, lambda: zel.rand(1000, 1000), lambda: py_rand(100, 200), 100 * 200),
        ("checksum(1e6 records)", 1000 * 1000, lambda: zel.checksum(records), None, 20000),
    ]
    small_records = zel.randn(20000)
    device = os.environ["ZEL_DEVICE"]
    print(f"device: {device}; pure-Python times measured on the small size and scaled linearly to the full size")
    print(f"{'case':24} {'native s':>10} {'python s (scaled)':>18} {'python n':>9} {'speed-up':>9}")
    results = []
    for name, full, native, python, small in cases:
        t_native = best_of(native, opts.repeat)
        if python is None:
            python = lambda: py_checksum(small_records)  # noqa: E731
        t_small = best_of(python, 1)
        t_python = t_small * full / small
        ratio = t_python / t_native
        results.append(
            {"case": name, "native_s": t_native, "python_s_scaled": t_python, "python_n": small, "speedup": ratio}
        )
        print(f"{name:24} {t_native:10.3f} {t_python:18.2f} {small:9d} {ratio:8.0f}x")

    targets = [
        ("randn(1024, 1024) < 1 s", results[0]["native_s"] < 1.0),
        ("randn(1024, 1024) >= 50x pure Python", results[0]["speedup"] >= 50),
        ("checksum of 1e6 records < 0.3 s", results[2]["native_s"] < 0.3),
    ]
    for text, ok in targets:
        print(f"target {text}: {'met' if ok else 'MISSED'}")
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump({"device": device, "results": results}, f, indent=2)
    return 0 if all(ok for _, ok in targets) else 1


if __name__ == "__main__":
    sys.exit(main())
