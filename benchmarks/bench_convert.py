"""Exact host conversions: to_gpu of Fractions and of decimal strings, and
from_gpu(..., as_float=False), against a pure-Python implementation of the
same algorithm (the per-element record construction) run in this process.

    ZEL_DEVICE=host .venv/bin/python benchmarks/bench_convert.py
"""
import json
import os
import random
import sys
import time
from decimal import Decimal
from fractions import Fraction

import numpy as np

os.environ.setdefault("ZEL_DEVICE", "host")
import tarnex.zel.zel as zel  # noqa: E402

N = int(os.environ.get("BENCH_N", 100_000))
SCALE = 2**256
DTYPE = zel.FIXEDPOINT_DTYPE


# --- the pure-Python algorithm -------------------------------------------------

def py_int_to_limbs(v):
    v = abs(int(v))
    out = np.zeros(8, dtype=np.uint64)
    for i in range(8):
        out[i] = v & 0xFFFFFFFFFFFFFFFF
        v >>= 64
    return out


def py_value_to_fp(val):
    arr = np.zeros(1, dtype=DTYPE)
    if isinstance(val, (int, float)):
        q = Fraction(val).limit_denominator(10**15) if isinstance(val, float) else Fraction(val)
    elif isinstance(val, Decimal):
        sign, digits, exp = val.as_tuple()
        num = int("".join(str(d) for d in digits))
        if sign:
            num = -num
        q = Fraction(num * 10**exp) if exp >= 0 else Fraction(num, 10 ** (-exp))
    elif isinstance(val, str):
        q = Fraction(Decimal(val))
    elif isinstance(val, Fraction):
        q = val
    else:
        q = Fraction(val)
    scaled = (q.numerator * SCALE) // q.denominator
    arr[0]["sign"] = 1 if scaled >= 0 else -1
    limbs = py_int_to_limbs(abs(scaled))
    for i in range(8):
        arr[0][f"limb{i}"] = limbs[i]
    return arr[0]


def py_to_gpu_exact(values):
    arr = np.zeros(len(values), dtype=DTYPE)
    for i, v in enumerate(values):
        arr[i] = py_value_to_fp(v)
    out = zel.cp.empty(len(values), dtype=DTYPE)
    out.data.copy_from_host(arr.ctypes.data, arr.nbytes)
    return out


def py_limbs_to_int(limbs):
    result = 0
    for i in range(7, -1, -1):
        result = (result << 64) | int(limbs[i])
    return result


def py_from_gpu_exact(gpu_arr):
    arr = gpu_arr.get()
    out = []
    for i in range(len(arr)):
        rec = arr[i]
        m = py_limbs_to_int(np.array([rec[f"limb{k}"] for k in range(8)], dtype=np.uint64))
        out.append(Fraction(int(rec["sign"]) * m, SCALE))
    return out


# --- measurement ---------------------------------------------------------------

def best_of(fn, repeat):
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main():
    rng = random.Random(2024)
    fracs = [Fraction(rng.randint(-10**12, 10**12), rng.randint(1, 10**9)) for _ in range(N)]
    strings = [f"{rng.randint(-10**9, 10**9)}.{rng.randint(0, 10**12):012d}" for _ in range(N)]
    dev = zel.to_gpu(fracs)

    rows = []
    for label, ours, theirs in [
        (f"to_gpu({N:,} Fractions)", lambda: zel.to_gpu(fracs), lambda: py_to_gpu_exact(fracs)),
        (f"to_gpu({N:,} decimal strings)", lambda: zel.to_gpu(strings), lambda: py_to_gpu_exact(strings)),
        (f"from_gpu({N:,} records, as_float=False)", lambda: zel.from_gpu(dev, as_float=False),
         lambda: py_from_gpu_exact(dev)),
    ]:
        t_ours, r_ours = best_of(ours, 3)
        t_py, r_py = best_of(theirs, 1)
        same = (r_ours.get().tobytes() == r_py.get().tobytes()) if hasattr(r_ours, "get") else r_ours == r_py
        rows.append({"case": label, "ours_s": t_ours, "pure_python_s": t_py, "ratio": t_py / t_ours,
                     "identical": bool(same)})

    width = max(len(r["case"]) for r in rows)
    print(f"{'case':<{width}}  {'ours':>9}  {'pure Python':>11}  {'speed-up':>8}  identical")
    for r in rows:
        print(f"{r['case']:<{width}}  {r['ours_s']:8.3f}s  {r['pure_python_s']:10.3f}s  "
              f"{r['ratio']:7.1f}x  {r['identical']}")
    out_dir = os.path.join(os.path.dirname(__file__), "results")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "convert.json"), "w") as f:
        json.dump({"device": os.environ["ZEL_DEVICE"], "n": N, "rows": rows}, f, indent=2)
    return 0 if all(r["identical"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
