"""Large exact products, the full-width sum and atan against peers, in one run.

- mm of full-width n x n matrices (every one of the 512 magnitude bits random)
  for n = 64 .. 512, beside python-flint's fmpz_mat product of the same scaled
  integers followed by the floor shift by 2^256 (the same records, exactly),
  and the growth exponent of our time over that range, by the wall clock and
  by CPU time;
- mm of 256 x 256 values from doubles beside python-flint's arb_mat product
  at 512 bits (a ball enclosure, not a floored record);
- conv2d of a 1 x 16 x 32 x 32 input from doubles with 32 filters of
  16 x 3 x 3 (padding 1) beside python-flint's fmpz_mat product of the
  weights' scaled integers with the unfolded input's, then the floor shift
  (the same records; the unfolding is not timed), and beside the module's
  own direct kernel, which conv2d used before;
- sum of 1,000,000 full-width records beside Python's sum of the scaled ints,
  with the reduction's peak host allocation and the size of its result;
- atan of 4,000 values in [-5, 5] beside mpmath at 256 bits (our pi/4 and
  pi/2 terms are doubles, as the module defines atan);
- det of a 160 x 160 matrix of normal deviates scaled by 0.3 (so that the
  determinant is in range), and of Hilbert-type matrices (entries the
  records of 1/(i+j+1), n = 80 and 160), beside python-flint's exact
  fmpq_mat.det of the same values (ours is the exact determinant rounded to
  a double, then made a record; det(..., exact=True) floors it instead).

    ZEL_DEVICE=host .venv/bin/python benchmarks/bench_large.py

BENCH_MM_SIZES (default "64,128,256,512") chooses the mm sizes.
"""
import json
import math
import os
import random
import struct
import sys
import time
import tracemalloc
from fractions import Fraction

import numpy as np

os.environ.setdefault("ZEL_DEVICE", "host")
import tarnex.zel.zel as zel  # noqa: E402

MM_SIZES = [int(n) for n in os.environ.get("BENCH_MM_SIZES", "64,128,256,512").split(",")]
SUM_N = 1_000_000
ATAN_N = 4_000


def wait():
    zel.cp.cuda.Device().synchronize()


def best_of(fn, repeat=3, cpu=None):
    """Best wall time of `repeat` runs; with `cpu` (a list), the best process
    CPU time (all threads) is appended to it as well."""
    best = best_cpu = float("inf")
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        fn()
        wait()
        best = min(best, time.perf_counter() - t0)
        best_cpu = min(best_cpu, time.process_time() - c0)
    if cpu is not None:
        cpu.append(best_cpu)
    return best


def records_tensor(ints, shape):
    """A tensor whose records are the scaled integers given, moved as bytes."""
    raw = b"".join(struct.pack("<ii8Q", -1 if v < 0 else 1, 0, *[(abs(v) >> (64 * i)) & (2**64 - 1) for i in range(8)])
                   for v in ints)
    host = np.frombuffer(raw, dtype=zel.FIXEDPOINT_DTYPE)
    dev = zel.cp.empty(len(host), dtype=zel.FIXEDPOINT_DTYPE)
    dev.data.copy_from_host(host.ctypes.data, host.nbytes)
    return zel.Tensor(_raw=dev, shape=shape)



def fmpq_mat_of(flint, t, rows, cols):
    """python-flint's exact matrix of a tensor's records."""
    vals = zel.from_gpu(t._data, as_float=False)
    return flint.fmpq_mat(rows, cols, [flint.fmpq(v.numerator, v.denominator) for v in vals])


def print_rows(rows, width):
    """The device line and one line per case: times, ratio, peer and note."""
    print(f"device {os.environ['ZEL_DEVICE']}, {os.cpu_count() or 1} cores, load {os.getloadavg()[0]:.1f}")
    print(f"{'case':<{width}} {'ours':>10} {'peer':>11}  {'ratio':>7}  peer")
    for r in rows:
        print(f"{r['case']:<{width}} {r['ours_ms']:9.2f}m {r['peer_ms']:10.2f}m  {r['ratio']:6.2f}x  {r['peer']}"
              + (f"  ({r['note']})" if r["note"] else ""))


def save_results(name, rows, **extra):
    """benchmarks/results/<name>.json: the machine, the rows and `extra`."""
    out_dir = os.path.join(os.path.dirname(__file__), "results")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, f"{name}.json"), "w") as f:
        json.dump({"device": os.environ["ZEL_DEVICE"], "cores": os.cpu_count() or 1, "load": os.getloadavg()[0],
                   "rows": rows, **extra}, f, indent=2)

def main():
    import flint
    import mpmath

    rng = random.Random(11)
    rows = []

    def record(case, ours, peer_name, peer, note=""):
        rows.append({"case": case, "ours_ms": ours * 1e3, "peer": peer_name, "peer_ms": peer * 1e3,
                     "ratio": peer / ours, "note": note})

    # mm, full width.
    times, peer_times, cpu_times, peer_cpu_times = {}, {}, {}, {}
    for n in MM_SIZES:
        ia = [[rng.getrandbits(512) * rng.choice((1, -1)) for _ in range(n)] for _ in range(n)]
        ib = [[rng.getrandbits(512) * rng.choice((1, -1)) for _ in range(n)] for _ in range(n)]
        a = records_tensor([v for r in ia for v in r], (n, n))
        b = records_tensor([v for r in ib for v in r], (n, n))
        zel.mm(a, b)
        cpu = []
        ours = best_of(lambda: zel.mm(a, b), cpu=cpu)
        times[n], cpu_times[n] = ours, cpu[0]
        fa, fb = flint.fmpz_mat(ia), flint.fmpz_mat(ib)

        def flint_mm():
            c = fa * fb
            return [[int(x) >> 256 for x in r] for r in c.tolist()]
        cpu = []
        peer = best_of(flint_mm, 2 if n >= 512 else 3, cpu=cpu)
        peer_times[n], peer_cpu_times[n] = peer, cpu[0]
        record(f"mm {n} full width", ours, "flint fmpz_mat * + shift", peer)
    sizes = sorted(times)

    def growth_of(t):
        if len(sizes) < 2:
            return None
        xs = [math.log(n) for n in sizes]
        ys = [math.log(t[n]) for n in sizes]
        mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
        return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
    growth, peer_growth = growth_of(times), growth_of(peer_times)
    # The same fit on CPU time (both threads of ours): steadier than the wall
    # clock when other work shares the cores, which delays a two-thread run
    # more than a one-thread one.
    cpu_growth, peer_cpu_growth = growth_of(cpu_times), growth_of(peer_cpu_times)

    # mm of values from doubles against arb_mat at 512 bits.
    n = 256
    xa = np.random.default_rng(3).standard_normal((n, n))
    xb = np.random.default_rng(4).standard_normal((n, n))
    a, b = zel.Tensor(xa), zel.Tensor(xb)
    zel.mm(a, b)
    ours = best_of(lambda: zel.mm(a, b))
    old_prec = flint.ctx.prec
    flint.ctx.prec = 512
    try:
        aa, ab = flint.arb_mat(xa.tolist()), flint.arb_mat(xb.tolist())
        peer = best_of(lambda: aa * ab)
    finally:
        flint.ctx.prec = old_prec
    record("mm 256 from doubles", ours, "flint arb_mat * (512 bits)", peer,
           "ours floored records; the peer's balls enclose the exact product")

    # sum of full-width records.
    ints = [rng.getrandbits(511) * rng.choice((1, -1)) for _ in range(SUM_N)]
    s = records_tensor(ints, (SUM_N,))
    zel.sum(s)
    ours = best_of(lambda: zel.sum(s), 5)
    peer = best_of(lambda: sum(ints), 5)
    peak = None
    if os.environ["ZEL_DEVICE"] == "host":
        tracemalloc.start()
        result = zel.sum(s)
        peak = tracemalloc.get_traced_memory()[1] / s._data.nbytes
        tracemalloc.stop()
    else:
        result = zel.sum(s)
    note = f"result {result._data.nbytes} bytes"
    if peak is not None:
        note += f"; peak allocation {peak:.3f}x the input beside it"
    record(f"sum {SUM_N:,} full width", ours, "Python sum of scaled ints", peer, note)

    # conv2d, through the product of the unfolded input.
    cb, cc, ch, co, ck = 1, 16, 32, 32, 3
    nrng = np.random.default_rng(5)
    inp = zel.Tensor(nrng.standard_normal((cb, cc, ch, ch)))
    w = zel.Tensor(nrng.standard_normal((co, cc, ck, ck)))
    zel.conv2d(inp, w, 1, 1)
    ours = best_of(lambda: zel.conv2d(inp, w, 1, 1))
    scale = 2**256
    iv = [int(v * scale) for v in zel.from_gpu(inp._data, as_float=False)]
    wv = [int(v * scale) for v in zel.from_gpu(w._data, as_float=False)]
    taps = cc * ck * ck
    cols = [[iv[(c * ch + y + ky - 1) * ch + x + kx - 1] if 0 <= y + ky - 1 < ch and 0 <= x + kx - 1 < ch else 0
             for y in range(ch) for x in range(ch)]
            for c in range(cc) for ky in range(ck) for kx in range(ck)]
    fw = flint.fmpz_mat([wv[o * taps:(o + 1) * taps] for o in range(co)])
    fc = flint.fmpz_mat(cols)

    def flint_conv():
        return [[int(x) >> 256 for x in r] for r in (fw * fc).tolist()]
    peer = best_of(flint_conv)
    total = cb * co * ch * ch
    direct_out = zel.cp.empty(total, dtype=zel.FIXEDPOINT_DTYPE)
    direct_args = (inp._data, w._data, direct_out,
                   *[np.int32(v) for v in (cb, cc, ch, ch, co, ck, ck, 1, 1, ch, ch)])
    kernel = zel._get_kernel("fp_conv2d_kernel")
    direct = best_of(lambda: kernel(((total + 255) // 256,), (256,), direct_args))
    record("conv2d 16->32 ch, 32x32, 3x3", ours, "flint fmpz_mat * (unfolded) + shift", peer,
           f"the direct kernel it replaces: {direct * 1e3:.1f} ms")

    # atan.
    xs = np.linspace(-5, 5, ATAN_N)
    t = zel.Tensor(xs)
    zel.atan(t)
    ours = best_of(lambda: zel.atan(t), 5)
    mpmath.mp.prec = 256
    ms = [mpmath.mpf(float(x)) for x in xs]
    peer = best_of(lambda: [mpmath.atan(x) for x in ms])
    record(f"atan {ATAN_N:,} in [-5, 5]", ours, "mpmath atan (256 bits)", peer,
           "ours uses pi/4 and pi/2 rounded to doubles")

    # det.
    n = 160
    x = np.random.default_rng(7).standard_normal((n, n)) * 0.3
    t = zel.Tensor(x)
    ours = best_of(lambda: zel.det(t))
    q = fmpq_mat_of(flint, t, n, n)
    peer = best_of(lambda: q.det())
    record("det 160 normal x 0.3", ours, "flint fmpq_mat.det", peer,
           "ours rounded through a double; the peer's exact")
    for n in (80, 160):
        t = zel.tensor([[Fraction(1, i + j + 1) for j in range(n)] for i in range(n)], exact=True)
        ours = best_of(lambda: zel.det(t))
        q = fmpq_mat_of(flint, t, n, n)
        peer = best_of(lambda: q.det())
        record(f"det {n} Hilbert-type", ours, "flint fmpq_mat.det", peer,
               "ours rounded through a double; the peer's exact")

    print_rows(rows, 26)
    if growth is not None:
        print(f"mm growth exponent over n = {sizes[0]}..{sizes[-1]}: ours {growth:.2f}, peer {peer_growth:.2f}"
              f" (CPU time: ours {cpu_growth:.2f}, peer {peer_cpu_growth:.2f})")
    save_results("large", rows, mm_growth_exponent=growth, peer_mm_growth_exponent=peer_growth,
                 mm_cpu_growth_exponent=cpu_growth, peer_mm_cpu_growth_exponent=peer_cpu_growth, mm_sizes=sizes)
    return 0


if __name__ == "__main__":
    sys.exit(main())
