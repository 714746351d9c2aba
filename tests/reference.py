"""Independent pure-Python statements of the record format, used as oracles."""
from decimal import Decimal
from fractions import Fraction
import struct

SCALE = 2**256


def exact_rational(val):
    """The exact rational a value stands for, read the way the format reads it."""
    if isinstance(val, bool) or isinstance(val, int):
        return Fraction(val)
    if isinstance(val, float):
        return Fraction(val).limit_denominator(10**15)
    if isinstance(val, Decimal):
        sign, digits, exp = val.as_tuple()
        num = int("".join(str(d) for d in digits))
        if sign:
            num = -num
        return Fraction(num * 10**exp) if exp >= 0 else Fraction(num, 10 ** (-exp))
    if isinstance(val, str):
        return Fraction(Decimal(val))
    return Fraction(val)


def scaled(q):
    """floor(q * 2^256)."""
    q = Fraction(q)
    return (q.numerator * SCALE) // q.denominator


def record_bytes(s):
    """The 72 bytes of the record whose scaled value is the integer s."""
    mag = abs(s)
    assert mag < 2**512
    limbs = [(mag >> (64 * i)) & (2**64 - 1) for i in range(8)]
    return struct.pack("<ii8Q", -1 if s < 0 else 1, 0, *limbs)


def record_of(val):
    return record_bytes(scaled(exact_rational(val)))


def value_of(raw):
    """The exact Fraction of 72 record bytes."""
    sign, _pad, *limbs = struct.unpack("<ii8Q", raw)
    mag = sum(l << (64 * i) for i, l in enumerate(limbs))
    return Fraction(sign * mag, SCALE)


def records(arr):
    """Record byte strings of a device array."""
    raw = arr.get().tobytes()
    return [raw[i:i + 72] for i in range(0, len(raw), 72)]


def device_records(zel, host):
    """A device copy of a host record array, moved as bytes (the GPU array
    library need not convert record dtypes itself)."""
    import numpy as np

    host = np.ascontiguousarray(host, dtype=zel.FIXEDPOINT_DTYPE)
    out = zel.cp.empty(len(host), dtype=zel.FIXEDPOINT_DTYPE)
    out.data.copy_from_host(host.ctypes.data, host.nbytes)
    return out


def tensor_of_scaled(zel, ints, shape):
    """A tensor whose records are the scaled integers given, moved as bytes."""
    import numpy as np

    host = np.frombuffer(b"".join(record_bytes(v) for v in ints), dtype=zel.FIXEDPOINT_DTYPE)
    return zel.Tensor(_raw=device_records(zel, host), shape=shape)


def interrupted_child(setup, call, after, wait):
    """Runs `setup` and then the long `call` in a fresh interpreter on the
    host backend, and sends Ctrl-C `wait` seconds into the call.  The call
    must end in KeyboardInterrupt; returns the seconds from the signal to
    the exception and what `after`, evaluated next, printed."""
    import os
    import signal
    import subprocess
    import sys
    import time
    code = (f"import time\nimport tarnex.zel.zel as zel\n{setup}\nprint('ready', flush=True)\n"
            f"try:\n    {call}\n    print('finished', flush=True)\n"
            "except KeyboardInterrupt:\n    print('interrupted', time.perf_counter(), flush=True)\n"
            f"print({after}, flush=True)\n")
    # The child runs beside this file, not in the checkout, which would
    # shadow the installed package.
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, ZEL_DEVICE="host"), cwd=os.path.dirname(os.path.abspath(__file__)))
    assert proc.stdout.readline().strip() == "ready"
    time.sleep(wait)
    sent = time.perf_counter()
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=120)
    lines = out.split("\n")
    assert lines[0].startswith("interrupted"), out
    return float(lines[0].split()[1]) - sent, lines[1]
