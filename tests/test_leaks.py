"""The main operation families, error paths included, run 10,000 times each in
a child process: resident memory must stay flat (a leak of one record per
call would add 720 KB, of one small Python object about 1 MB)."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

ITERATIONS = 10_000

CHILD = r"""
import gc, json, sys
from decimal import Decimal
from fractions import Fraction
import tarnex.zel.zel as zel

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

zel.manual_seed(5)
a = zel.tensor([[1.5, -2.0, 0.25], [3.0, 1.0, -1.0], [0.5, 0.5, 4.0]])
v = zel.tensor([1.0, 2.0, 3.0])
ragged = zel.tensor([[1, 2], [3, 4, 5]])

def expect(error, f, *args):
    try:
        f(*args)
    except error:
        return
    raise AssertionError(f"{f} did not raise {error}")

families = {
    "convert": lambda: (zel.tensor([Fraction(1, 3), "0.1", Decimal("-2.5e-3"), 7]).to_list(),
                        zel.from_gpu(zel.to_gpu(["1e-5", Fraction(-5, 7)]), as_float=False),
                        zel.tensor([[1.0, 2.0], [3.0, 4.0]]).to_list()),
    "elementwise": lambda: (zel.add(a, v), zel.mul(a, a), zel.div(v, v), zel.exp(v), zel.pow(v, 3), a + 1.0),
    "reduce": lambda: (zel.sum(a), zel.max(v), zel.cumsum(a), zel.argmax(a), zel.dot(v, v), zel.softmax(v)),
    "products": lambda: (zel.mm(a, a), zel.mv(a, v), zel.outer(v, v), zel.kron(a, a), zel.trace(a)),
    "shape": lambda: (zel.reshape(a, (9,)), zel.transpose(a, 0, 1), zel.cat([a, a]), zel.stack([v, v]),
                      zel.linspace(0, 1, 5), zel.arange(7), zel.zeros(2, 3)),
    "exact": lambda: (zel.det(a), zel.inv(a), zel.rref(a), zel.lu(a), zel.solve(a, v), zel.bernoulli(30),
                      zel.hilbert_det_exact(6)),
    "decomp": lambda: (zel.qr(a), zel.expm(a), zel.eig(a, max_iter=2)),
    "random": lambda: (zel.rand(8), zel.randn(2, 2), zel.checksum(a)),
    "complex": lambda: zel.complex_tensor([[1, 2], [3, 4]], [[0, 1], [1, 0]]).to_list(),
    "errors": lambda: (expect(TypeError, zel.tensor, [1, None]), expect(ValueError, zel.det, ragged),
                       expect(TypeError, zel._value_to_fp, object()), expect(MemoryError, zel.zeros, 2**40, 2**40),
                       expect(OverflowError, zel.tensor, "1e9999999999999999999"),
                       expect(ValueError, zel.tensor, [Fraction(1), Decimal("NaN")]),
                       expect(ZeroDivisionError, zel.pi_over, 0)),
}

growth = {}
for name, body in families.items():
    for _ in range(500):
        body()
    gc.collect()
    before = rss()
    for _ in range(int(sys.argv[1])):
        body()
    gc.collect()
    growth[name] = rss() - before
print(json.dumps(growth))
"""


@pytest.mark.skipif(bool(os.environ.get("ZEL_SANITIZE")), reason="AddressSanitizer's quarantine holds freed memory")
def test_main_operation_families_do_not_leak():
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD), str(ITERATIONS)], capture_output=True,
                          text=True, env=dict(os.environ, ZEL_DEVICE="host"), timeout=900,
                          cwd=os.path.dirname(os.path.abspath(__file__)))
    assert proc.returncode == 0, proc.stderr[-3000:]
    growth = json.loads(proc.stdout.splitlines()[-1])
    print("\nRSS growth per family (bytes):", growth)
    leaking = {name: g for name, g in growth.items() if g > 512 * 1024}
    assert not leaking, leaking
