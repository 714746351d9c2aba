"""Per-call cost of the smallest operations: one-record add, mul, exp, sum and
a 1 x 1 mm, against numpy.add of two one-element float64 arrays in the same
run.  What is measured is the fixed cost of a call (argument parsing, checks,
allocation, the launch), not arithmetic.  The ratio is numpy.add's time over
ours: 0.2 means one of our calls costs five numpy.add calls.

    ZEL_DEVICE=host .venv/bin/python benchmarks/bench_percall.py
"""
import json
import os
import sys
import timeit

import numpy as np

os.environ.setdefault("ZEL_DEVICE", "host")
import tarnex.zel.zel as zel  # noqa: E402

NUMBER = int(os.environ.get("BENCH_NUMBER", 20_000))
REPEAT = int(os.environ.get("BENCH_REPEAT", 7))


def per_call(fn):
    """Best of REPEAT runs of NUMBER calls, in seconds per call."""
    fn()
    return min(timeit.repeat(fn, number=NUMBER, repeat=REPEAT)) / NUMBER


def main():
    a, b = zel.Tensor(np.array([1.25])), zel.Tensor(np.array([-0.5]))
    ma, mb = zel.Tensor(np.array([[1.25]])), zel.Tensor(np.array([[-0.5]]))
    x, y = np.array([1.25]), np.array([-0.5])
    cases = [
        ("add", lambda: zel.add(a, b)),
        ("mul", lambda: zel.mul(a, b)),
        ("exp", lambda: zel.exp(a)),
        ("sum", lambda: zel.sum(a)),
        ("mm", lambda: zel.mm(ma, mb)),
    ]
    rows = []
    # numpy.add is timed around every case, so that drift in the machine's
    # speed over the run shows in the reference too.
    for name, fn in cases:
        t_np = min(per_call(lambda: np.add(x, y)), per_call(lambda: np.add(x, y)))
        t = per_call(fn)
        rows.append({"case": name, "ours_us": t * 1e6, "numpy_add_us": t_np * 1e6, "numpy_over_ours": t_np / t})
    print(f"one record per call; best of {REPEAT} x {NUMBER:,} calls; device {zel.device}")
    print(f"{'case':<6} {'ours':>9} {'numpy.add':>10} {'numpy/ours':>11}")
    for r in rows:
        print(f"{r['case']:<6} {r['ours_us']:8.2f}u {r['numpy_add_us']:9.3f}u {r['numpy_over_ours']:11.3f}")
    out_dir = os.path.join(os.path.dirname(__file__), "results")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "percall.json"), "w") as f:
        json.dump({"device": zel.device, "number": NUMBER, "repeat": REPEAT, "rows": rows}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
