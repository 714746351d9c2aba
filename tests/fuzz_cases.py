"""Random hostile calls of the public functions that take outside data.

Run as a script, it executes one batch of cases and prints one JSON line:
how many cases ran, how often each outcome occurred, and the mismatches
against the exact oracles.  test_fuzz.py runs batches in child processes, so
a crash (or an abort) of the extension is a failed test, not a lost run.

    python tests/fuzz_cases.py SEED FIRST COUNT
"""
import json
import math
import os
import random
import resource
import signal
import sys
import time
from decimal import Decimal, InvalidOperation
from fractions import Fraction

import numpy as np

SCALE = 2**256

# The errors a hostile call may end in; anything else is a finding.
EXPECTED = (TypeError, ValueError, OverflowError, ZeroDivisionError, MemoryError, IndexError, ArithmeticError,
            AttributeError, RecursionError)


def floor_record(q):
    """The exact record value of q under the floor rule, or None out of range."""
    m = math.floor(q * SCALE)
    if abs(m) >= 2**512 or abs(q) >= 2**256:
        return None
    return Fraction(m, SCALE)


class Gen:
    def __init__(self, rng, sanitized=False):
        self.r = rng
        self.big = [10**7, 2**62, 2**64] if sanitized else [10**5, 10**7, 2**62, 2**64]

    def exponent(self):
        return self.r.choice([0, 1, -1, 77, 78, 79, -78, -79, -80, 300, -300, 10**9, -10**9, 2**63, -2**63,
                              10**19, -10**19, 10**25, -10**25, self.r.randint(-100, 100)])

    def decimal_text(self):
        r = self.r
        digits = "".join(r.choice("0123456789") for _ in range(r.randint(1, 30)))
        if r.random() < 0.3:
            cut = r.randint(0, len(digits))
            digits = digits[:cut] + "." + digits[cut:]
        sign = r.choice(["", "-", "+"])
        exp = f"{r.choice('eE')}{self.exponent()}" if r.random() < 0.6 else ""
        pad = r.choice(["", " ", "\t", "\n "])
        return f"{pad}{sign}{digits}{exp}{pad}"

    def string(self):
        r = self.r
        if r.random() < 0.7:
            return self.decimal_text()
        return r.choice(["", " ", "nan", "-NaN", "sNaN", "inf", "-Infinity", "1/3", "0x10", "1_000", "1__0",
                         "\u0661\u0662", "1e", "e5", ".", "-.", "1e+-5", "1.2.3", "\x00", "1e9999999999999999999",
                         "--1", "\u00bd", "1" * 400, "0." + "0" * 300 + "1"])

    def scalar(self):
        r = self.r
        k = r.randrange(9)
        if k == 0:
            return r.choice([0, 1, -1, True, False, 2**255, -(2**255), 2**256, -(2**256), 2**256 - 1, 10**400,
                             r.randint(-2**300, 2**300)])
        if k == 1:
            return r.choice([0.0, -0.0, 1.5, float("nan"), float("inf"), -float("inf"), 5e-324, 1e300, -1e-300,
                             2.0**256, -(2.0**255), 4.9e-16, r.uniform(-1e6, 1e6)])
        if k == 2:
            den = r.choice([1, 3, 7, 2**300, 10**80, r.randint(1, 10**30)])
            return Fraction(r.randint(-10**90, 10**90), den)
        if k == 3:
            return r.choice([Decimal("NaN"), Decimal("-sNaN"), Decimal("Infinity"), Decimal("-0"),
                             Decimal("1E+999999999"), Decimal("-1E-999999999"), Decimal(self.decimal_text().strip())
                             if r.random() < 0.5 else Decimal("12.5e-3")])
        if k == 4:
            return self.string()
        if k == 5:
            return r.choice([None, object(), 1j, b"12", bytearray(b"1"), {}, set(), np.float32(1.5), np.int64(-7),
                             np.float64("nan"), np.array(2.5), np.zeros((2, 2)), range(3)])
        if k == 6:
            return r.randint(-5, 5)
        if k == 7:
            return r.uniform(-10, 10)
        return Fraction(r.randint(-100, 100), r.randint(1, 100))

    def nested(self, depth=0):
        r = self.r
        if depth > 4 or r.random() < 0.3:
            return self.scalar() if r.random() < 0.8 else r.randint(-3, 3)
        n = r.choice([0, 1, 2, 3, r.randint(0, 6)])
        seq = [self.nested(depth + 1) for _ in range(n)]
        return tuple(seq) if r.random() < 0.2 else seq

    def regular(self, dims):
        """A nested list of small numbers with the given shape."""
        if not dims:
            return self.r.choice([self.r.randint(-9, 9), self.r.uniform(-5, 5)])
        return [self.regular(dims[1:]) for _ in range(dims[0])]

    def dims(self):
        r = self.r
        return tuple(r.randint(0, 3) for _ in range(r.randint(0, 3)))

    def shape_arg(self):
        r = self.r
        k = r.randrange(5)
        if k == 0:
            return self.dims()
        if k == 1:
            huge = [-1, 0, 1, 2, 2**31, 2**32, 2**62, 2**63, 2**64, 10**30]
            return tuple(r.choice(huge) for _ in range(r.randint(1, 3)))
        if k == 2:
            return r.choice([None, (), [], "23", (2.5,), (None,), (True, 2), [1, [2]], 3, -1])
        if k == 3:
            return list(self.dims())
        return (r.randint(0, 4),) * r.randint(0, 5)

    def tensor(self, zel):
        """A tensor, sometimes with a shape that disagrees with its records."""
        r = self.r
        dims = self.dims()
        t = zel.tensor(self.regular(dims)) if dims else zel.tensor(r.uniform(-3, 3))
        if r.random() < 0.25:
            t = zel.Tensor(_raw=t._data, shape=self.shape_arg())
        return t

    def count(self):
        return self.r.choice([-2**63, -1, 0, 1, 2, 3, 5, 2**31 - 1, 2**31, 2**62, 10**12, 10**30, 2.5, "3", None])


def check_value_to_fp(zel, v):
    """_value_to_fp against the exact floor oracle where the value is exact."""
    try:
        rec = zel._value_to_fp(v)
    except EXPECTED as e:
        q = exact_value(v)
        if q is not None and floor_record(q) is not None and not isinstance(e, MemoryError):
            return f"_value_to_fp({v!r}) raised {type(e).__name__}: {e}"
        return None
    q = exact_value(v)
    if q is None:
        return None
    want = floor_record(q)
    got = zel._fp_to_value(rec)
    if want is None:
        return f"_value_to_fp({v!r}) gave {got} for an out-of-range value"
    if got != want:
        return f"_value_to_fp({v!r}) gave {got}, expected {want}"
    return None


def exact_value(v):
    """The exact rational a value denotes, where the oracle can afford it."""
    if isinstance(v, bool) or isinstance(v, int):
        return Fraction(v)
    if isinstance(v, Fraction):
        return v
    text = v if isinstance(v, str) else None
    if isinstance(v, Decimal):
        if not v.is_finite():
            return None
        text = str(v)
    if text is None:
        return None
    try:
        d = Decimal(text)
    except (InvalidOperation, ValueError):
        return None
    if not d.is_finite() or "_" in text or not text.strip().isascii():
        return None
    if abs(d.adjusted()) > 2000 or len(d.as_tuple().digits) > 2000:
        return None
    return Fraction(d)


def one_case(zel, g, i):
    r = g.r
    k = r.randrange(26)
    if k == 0:
        return check_value_to_fp(zel, g.scalar())
    if k == 1:
        data = g.nested()
        t = zel.tensor(data)
        flat, shape = zel.Tensor._flatten(data)
        # A NumPy array is converted whole, not as one leaf.
        if not isinstance(data, np.ndarray) and t.numel != len(flat):
            return f"tensor({data!r}) holds {t.numel} records for {len(flat)} leaves"
        t.to_list()
        repr(t)
        return None
    if k == 2:
        zel.Tensor(g.nested(), shape=g.shape_arg()).to_list()
        return None
    if k == 3:
        zel.to_gpu([g.scalar() for _ in range(r.randint(0, 5))])
        return None
    if k == 4:
        f = r.choice([zel.zeros, zel.ones, zel.rand, zel.randn])
        s = g.shape_arg()
        f(*s) if isinstance(s, tuple) and r.random() < 0.5 else f(s)
        return None
    if k == 5:
        zel.eye(g.count())
        return None
    if k == 6:
        zel.arange(*[g.count() for _ in range(r.randint(1, 3))])
        return None
    if k == 7:
        zel.linspace(g.scalar(), g.scalar(), g.count())
        return None
    if k == 8:
        zel.reshape(g.tensor(zel), g.shape_arg())
        return None
    if k == 9:
        f = r.choice([zel.det, zel.inv, zel.rref, zel.rank, zel.lu, zel.null_space, zel.verify_identity, zel.qr])
        f(g.tensor(zel))
        return None
    if k == 10:
        f = r.choice([zel.sum, zel.prod, zel.max, zel.min, zel.mean, zel.cumsum, zel.argmax, zel.softmax, zel.norm,
                      zel.exp, zel.sqrt, zel.neg, zel.trace, zel.diag, zel.squeeze, zel.diff, zel.checksum])
        f(g.tensor(zel))
        return None
    if k == 11:
        f = r.choice([zel.add, zel.sub, zel.mul, zel.div, zel.mm, zel.mv, zel.matmul, zel.dot, zel.outer, zel.kron,
                      zel.cat, zel.stack, zel.eq, zel.mod, zel.broadcast_tensors])
        a, b = g.tensor(zel), g.tensor(zel)
        f([a, b]) if f in (zel.cat, zel.stack) else f(a, b)
        return None
    if k == 12:
        zel.pow(g.tensor(zel), g.count())
        return None
    if k == 13:
        zel.expm(g.tensor(zel), order=r.choice([-1, 0, 1, 6, 40, 10**7, 2**62, 2**70]))
        return None
    if k == 14:
        n = r.choice([-1, 0, 1, 2, 5, 30] + g.big)
        r.choice([zel.bernoulli, zel.hilbert_matrix, zel.hilbert_det_exact, zel.zeta_exact, zel.zeta_at_even])(n)
        return None
    if k == 15:
        zel.pi_over(r.choice([0, 1, -3, 10**40, 2.5, 0.4, True]))
        return None
    if k == 16:
        re_, im_ = g.nested(), g.nested()
        zel.complex_tensor(re_, im_).to_list()
        return None
    if k == 17:
        a = g.tensor(zel)
        zel.conv2d(a, g.tensor(zel), stride=g.count(), padding=g.count())
        return None
    if k == 18:
        zel.clamp(g.tensor(zel), g.scalar(), g.scalar())
        return None
    if k == 19:
        zel.Tensor._unflatten([g.scalar() for _ in range(r.randint(0, 6))], g.shape_arg())
        return None
    if k == 20:
        zel.SparseTensor.from_dense(g.tensor(zel))
        return None
    if k == 21:
        zel.transpose(g.tensor(zel), g.count(), g.count())
        return None
    if k == 22:
        text = g.decimal_text()
        return check_value_to_fp(zel, text)
    if k == 23:
        # Deep or self-containing nesting.
        x = g.scalar()
        for _ in range(r.choice([50, 1000, 30000])):
            x = [x] if r.random() < 0.9 else [x, g.scalar()]
        if r.random() < 0.2:
            x.append(x)
        t = zel.tensor(x)
        t.to_list()
        return None
    if k == 24:
        zel.reshape(zel.tensor([1.0]), (1,) * r.choice([10, 5000, 50000])).to_list()
        return None
    zel.from_gpu(g.tensor(zel)._data, as_float=r.random() < 0.5)
    return None


class Slow(Exception):
    pass


# The alarm raises only while a case runs: one that lands while the harness
# records an outcome or disarms the timer would otherwise escape the try.
ARMED = [False]


def on_alarm(signum, frame):
    if ARMED[0]:
        raise Slow()


def run(seed, first, count, memory=4 << 30, seconds=5.0):
    """Cases first .. first + count - 1 under an address-space limit (so that
    "more than this machine's memory" is decided early) and a per-case time
    limit, delivered as a signal: a case that does not stop within 2 s of it
    (10 s under the sanitizers) is a finding too."""
    # AddressSanitizer reserves terabytes of address space up front, so a
    # sanitized run relies on the machine's memory for the early refusals
    # and leaves out the sizes only a 4 GB limit refuses.
    sanitized = bool(os.environ.get("ZEL_SANITIZE"))
    # Sanitized code runs several times slower between two polls.
    grace = 10.0 if sanitized else 2.0
    if not sanitized:
        resource.setrlimit(resource.RLIMIT_AS, (memory, resource.getrlimit(resource.RLIMIT_AS)[1]))
    import tarnex.zel.zel as zel

    signal.signal(signal.SIGALRM, on_alarm)
    outcomes, findings = {}, []
    for i in range(first, first + count):
        g = Gen(random.Random(f"{seed}:{i}"), sanitized)
        if os.environ.get("ZEL_FUZZ_TRACE"):
            print(i, file=sys.stderr, flush=True)
        start = time.perf_counter()
        try:
            try:
                ARMED[0] = True
                signal.setitimer(signal.ITIMER_REAL, seconds)
                problem = one_case(zel, g, i)
                outcome = "ok"
            finally:
                ARMED[0] = False
                signal.setitimer(signal.ITIMER_REAL, 0)
        except EXPECTED as e:
            problem, outcome = None, type(e).__name__
        except Slow:
            # Long legitimate work is stopped by the alarm; work that cannot
            # be stopped lets it through late.
            late = time.perf_counter() - start - seconds
            problem = f"interrupted {late:.1f} s after the alarm" if late > grace else None
            outcome = "interrupted"
        except Exception as e:  # an unexpected error type is a finding
            problem, outcome = f"{type(e).__name__}: {e}", "unexpected"
        if problem:
            findings.append(f"case {i}: {problem}"[:500])
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
    return {"cases": count, "outcomes": outcomes, "findings": findings}


if __name__ == "__main__":
    seed, first, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    print(json.dumps(run(seed, first, count)))
