"""The reproducible generator (manual_seed, rand, randn and the LCG steps) and
the record checksums, against a pure-Python generator, Fraction arithmetic
and a byte stream rebuilt with struct and hashlib."""
import hashlib
import os
import struct
import subprocess
import tempfile
import sys
from fractions import Fraction

import numpy as np
import pytest

import tarnex.zel.zel as zel
from reference import device_records

A, M = 48271, 2**31 - 1
SCALE = 2**256


def ref_states(state, count):
    out = []
    for _ in range(count):
        state = A * state % M
        out.append(state)
    return out


def ref_uniforms(state, count):
    return [Fraction(k, M) for k in ref_states(state, count)]


def ref_normals(state, count):
    ks = ref_states(state, 12 * count)
    vals = []
    for i in range(count):
        total = Fraction(0)
        for k in ks[12 * i : 12 * i + 12]:
            total += Fraction(k, M)
        vals.append(total - 6)
    return vals


def floor_value(q):
    """The fixed-point value of q: floor(q * 2^256) / 2^256."""
    return Fraction(q.numerator * SCALE // q.denominator, SCALE)


def records(t):
    return t._data.get()


def exact_values(t):
    return zel.from_gpu(t._data, as_float=False)


def stream(t):
    """The hashed byte stream, rebuilt field by field."""
    out = bytearray()
    for rec in records(t).tolist():
        out += struct.pack("<i", rec[0])
        for limb in rec[2:]:
            out += struct.pack("<Q", limb)
    return bytes(out)


@pytest.fixture(autouse=True)
def restore_state():
    saved = zel._lcg_state
    yield
    zel._lcg_state = saved


# ---------------------------------------------------------------------------
# The generator


def test_import_state_and_constants():
    code = (
        "import tarnex.zel.zel as z;"
        "print(z._LCG_A, z._LCG_M, z._lcg_state, z._lcg_next(), z._lcg_next(), z._lcg_next())"
    )
    env = dict(os.environ, ZEL_DEVICE=os.environ.get("ZEL_DEVICE", "host"))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True,
                         cwd=tempfile.gettempdir())
    assert out.stdout.split() == ["48271", "2147483647", "1", "48271", "182605794", "1291394886"]


def test_seed_zero_stream():
    zel.manual_seed(0)
    assert zel._lcg_state == 1
    assert [zel._lcg_next() for _ in range(3)] == [48271, 182605794, 1291394886]
    assert zel._lcg_state == 1291394886


@pytest.mark.parametrize(
    "seed, state",
    [
        (0, 1),
        (-1, 2147483646),
        (42, 43),
        (2147483646, 1),
        (2147483645, 2147483646),
        (-2147483646, 1),
        (3.9, 4),
        (-3.9, 2147483644),
        (True, 2),
        (Fraction(7, 2), 4),
        (np.int64(9), 10),
        (10**40, 10**40 % 2147483646 + 1),
        (-(10**40), -(10**40) % 2147483646 + 1),
    ],
)
def test_manual_seed_state(seed, state):
    assert zel.manual_seed(seed) is None
    assert zel._lcg_state == state and type(zel._lcg_state) is int


@pytest.mark.parametrize("seed", ["3", None, [1], b"3"])
def test_manual_seed_refuses_non_numbers(seed):
    zel.manual_seed(5)
    msg = f"Argument 'seed' has incorrect type (expected int, got {type(seed).__name__})"
    with pytest.raises(TypeError) as e:
        zel.manual_seed(seed)
    assert str(e.value) == msg
    assert zel._lcg_state == 6


def test_seed_float_truncates():
    zel.manual_seed(3.9)
    a = zel._lcg_uniform()
    zel.manual_seed(3)
    assert zel._lcg_uniform() == a


@pytest.mark.parametrize("seed", [0, 1, 7, 123456789, -5])
def test_uniform_and_normal_values(seed):
    zel.manual_seed(seed)
    start = zel._lcg_state
    u = [zel._lcg_uniform() for _ in range(5)]
    assert u == ref_uniforms(start, 5)
    assert all(type(x) is Fraction and 0 < x < 1 for x in u)
    zel.manual_seed(seed)
    n = [zel._lcg_normal() for _ in range(3)]
    assert n == ref_normals(start, 3)
    assert all(type(x) is Fraction and -6 < x < 6 for x in n)
    assert zel._lcg_state == ref_states(start, 36)[-1]


def test_first_normal_after_seed_zero():
    zel.manual_seed(0)
    assert zel._lcg_normal() == Fraction(-1492490804, 2147483647)


@pytest.mark.parametrize("fn", ["_lcg_next", "_lcg_uniform", "_lcg_normal"])
def test_steps_take_no_arguments(fn):
    zel.manual_seed(0)
    with pytest.raises(TypeError, match=rf"^{fn}\(\) takes no arguments \(1 given\)$"):
        getattr(zel, fn)(1)
    with pytest.raises(TypeError, match=rf"^{fn}\(\) takes no keyword arguments$"):
        getattr(zel, fn)(x=1)
    assert zel._lcg_state == 1


# ---------------------------------------------------------------------------
# rand and randn


@pytest.mark.parametrize("fn, ref, per_value", [("rand", ref_uniforms, 1), ("randn", ref_normals, 12)])
@pytest.mark.parametrize("seed, shape", [(0, (2,)), (7, (3, 4)), (-99, (2, 3, 5)), (2**70, (16, 16))])
def test_values_are_floor_of_exact_fractions(fn, ref, per_value, seed, shape):
    zel.manual_seed(seed)
    start = zel._lcg_state
    t = getattr(zel, fn)(*shape)
    n = int(np.prod(shape))
    fracs = ref(start, n)
    assert t.shape == shape
    assert exact_values(t) == [floor_value(q) for q in fracs]
    # The same records as the general conversion of the Fraction list.
    assert records(t).tobytes() == records(zel.tensor(fracs)).tobytes()
    assert zel._lcg_state == ref_states(start, per_value * n)[-1]


def test_rand_two_after_seed_zero():
    zel.manual_seed(0)
    vals = exact_values(zel.rand(2))
    assert vals == [floor_value(Fraction(48271, M)), floor_value(Fraction(182605794, M))]


def test_randn_signs_and_records():
    zel.manual_seed(11)
    start = zel._lcg_state
    t = zel.randn(300)
    fracs = ref_normals(start, 300)
    recs = records(t)
    assert {int(s) for s in recs["sign"]} == {1, -1}
    assert list(recs["sign"]) == [-1 if q < 0 else 1 for q in fracs]
    assert not recs["pad"].any()
    # |value| < 6: the integer limb holds at most 6 and the upper limbs are zero.
    assert int(recs["limb4"].max()) <= 6
    assert not any(recs[f"limb{j}"].any() for j in (5, 6, 7))


@pytest.mark.parametrize(
    "args, shape",
    [
        ((), (1,)),
        ((3,), (3,)),
        ((2, 3), (2, 3)),
        (((2, 3),), (2, 3)),
        (([2, 3],), (2, 3)),
        ((2, 3, 4), (2, 3, 4)),
        (((),), (1,)),
        (([],), (1,)),
        (((5,),), (5,)),
        ((0,), (0,)),
        ((2, 0), (2, 0)),
        ((np.int64(3),), (3,)),
        ((np.int32(2), 3), (2, 3)),
    ],
)
@pytest.mark.parametrize("fn", ["rand", "randn"])
def test_shapes(fn, args, shape):
    zel.manual_seed(1)
    t = getattr(zel, fn)(*args)
    assert t.shape == shape and type(t.shape) is tuple
    assert t.numel == int(np.prod(shape))


@pytest.mark.parametrize("fn", ["rand", "randn"])
def test_shape_forms_give_same_tensor(fn):
    outs = []
    for args in [(2, 3), ((2, 3),), ([2, 3],)]:
        zel.manual_seed(5)
        outs.append(records(getattr(zel, fn)(*args)).tobytes())
    assert outs[0] == outs[1] == outs[2]


class ListShape(list):
    pass


def test_sequence_subclass_is_a_shape():
    zel.manual_seed(2)
    assert zel.rand(ListShape([2, 2])).shape == (2, 2)


@pytest.mark.parametrize(
    "args, kwargs, exc, msg",
    [
        ((2,), {"size": 3}, TypeError, "{fn}() got an unexpected keyword argument 'size'"),
        ((2.5,), {}, TypeError, "'float' object cannot be interpreted as an integer"),
        ((2, 3.0), {}, TypeError, "'float' object cannot be interpreted as an integer"),
        (("3",), {}, TypeError, "'str' object cannot be interpreted as an integer"),
        ((None,), {}, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        ((-2, -3), {}, ValueError, "Negative dimension in shape (-2, -3)"),
        (([4, -1],), {}, ValueError, "Negative dimension in shape (4, -1)"),
        ((-3,), {}, ValueError, "Negative dimension in shape (-3,)"),
        ((0, -1), {}, ValueError, "Negative dimension in shape (0, -1)"),
        ((2**62, 2**62), {}, MemoryError, ""),
    ],
)
@pytest.mark.parametrize("fn", ["rand", "randn"])
def test_bad_shapes_consume_nothing(fn, args, kwargs, exc, msg):
    zel.manual_seed(3)
    with pytest.raises(exc) as e:
        getattr(zel, fn)(*args, **kwargs)
    assert str(e.value) == msg.format(fn=fn)
    assert zel._lcg_state == 4


@pytest.mark.parametrize("fn, per_value", [("rand", 1), ("randn", 12)])
def test_state_consumption(fn, per_value):
    f = getattr(zel, fn)
    zel.manual_seed(9)
    a, b = f(2, 3), f(4)
    after_parts = zel._lcg_state
    zel.manual_seed(9)
    whole = f(10)
    assert zel._lcg_state == after_parts == ref_states(10, 10 * per_value)[-1]
    assert records(a).tobytes() + records(b).tobytes() == records(whole).tobytes()


def test_same_seed_same_tensor():
    zel.manual_seed(2024)
    a = zel.randn(64, 64)
    zel.manual_seed(2024)
    b = zel.randn(64, 64)
    assert records(a).tobytes() == records(b).tobytes()
    assert zel.checksum(a) == zel.checksum(b)


@pytest.mark.parametrize(
    "bound, reduced",
    [(5, 5), (0, 0), (-5, M - 5), (M + 12, 12), (10**40 + 7, (10**40 + 7) % M), (np.int64(77), 77), (True, 1)],
)
def test_rebound_state_is_read_and_written(bound, reduced):
    zel._lcg_state = bound
    t = zel.rand(4)
    assert exact_values(t) == [floor_value(q) for q in ref_uniforms(reduced, 4)]
    assert zel._lcg_state == ref_states(reduced, 4)[-1] and type(zel._lcg_state) is int
    zel._lcg_state = bound
    assert zel._lcg_next() == ref_states(reduced, 1)[0]


def test_zero_state_gives_zero_records():
    zel._lcg_state = 0
    recs = records(zel.randn(3))
    assert list(recs["sign"]) == [-1] * 3  # (0 - 6M) / M = -6
    zel._lcg_state = 0
    recs = records(zel.rand(3))
    assert list(recs["sign"]) == [1] * 3 and not any(recs[f"limb{j}"].any() for j in range(8))


@pytest.mark.parametrize("bound", [2.0, "1", None])
def test_non_integer_state_is_refused(bound):
    zel._lcg_state = bound
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        zel.rand(2)
    assert zel._lcg_state is bound
    # An empty draw never reads the state.
    assert zel.rand(0).numel == 0


def test_deleted_state_is_a_name_error():
    del zel._lcg_state
    try:
        with pytest.raises(NameError, match="_lcg_state"):
            zel._lcg_next()
    finally:
        zel._lcg_state = 1


# ---------------------------------------------------------------------------
# Checksums


def sample_tensors():
    zel.manual_seed(31)
    return {
        "rand": zel.rand(5, 7),
        "randn": zel.randn(40),
        "mixed": zel.tensor([0, 1, -1, Fraction(-1, 3), "1e-70", 2**255, -(2**255)]),
        "scalar": zel.tensor(Fraction(22, 7)),
        "default": zel.Tensor(),
    }


@pytest.mark.parametrize("name", ["rand", "randn", "mixed", "scalar", "default"])
def test_checksum_is_sha256_of_the_record_stream(name):
    t = sample_tensors()[name]
    c = zel.checksum(t)
    assert c == hashlib.sha256(stream(t)).hexdigest()
    assert len(c) == 64 and c == c.lower() and type(c) is str


def test_checksum_over_many_chunks():
    zel.manual_seed(4)
    t = zel.rand(70001)
    assert zel.checksum(t) == hashlib.sha256(stream(t)).hexdigest()


def test_checksum_of_empty_tensor():
    assert zel.checksum(zel.tensor([])) == hashlib.sha256(b"").hexdigest()


def test_checksum_ignores_shape_and_pad():
    t = zel.rand(6)
    assert zel.checksum(t) == zel.checksum(zel.reshape(t, (2, 3)))
    recs = records(t)
    recs["pad"] = [7, -1, 2**31 - 1, 0, 5, 9]
    padded = zel.Tensor(_raw=device_records(zel, recs), shape=(6,))
    assert zel.checksum(padded) == zel.checksum(t)


def test_checksum_hashes_records_not_numbers():
    a = zel.tensor([Fraction(1, 3), 2])
    assert zel.checksum(a) != zel.checksum(zel.tensor([Fraction(-1, 3), 2]))
    # Zero from Tensor() has sign field 0; the host conversion writes +1.
    assert zel.checksum(zel.Tensor()) != zel.checksum(zel.tensor(0))
    assert zel.checksum(zel.Tensor()) == hashlib.sha256(bytes(68)).hexdigest()


def test_checksum_of_non_tensor():
    with pytest.raises(AttributeError):
        zel.checksum([1, 2, 3])


def test_checksums_match():
    t = zel.randn(3, 3)
    assert zel.checksums_match(t, t.clone()) is True
    assert zel.checksums_match(t, zel.randn(3, 3)) is False
    assert zel.checksums_match(t, zel.reshape(t, (9,))) is True


@pytest.mark.parametrize(
    "transform, ok",
    [
        (lambda c: c, True),
        (lambda c: c[:16], True),
        (lambda c: c[:15], False),
        (lambda c: c[:17], False),
        (lambda c: c.upper(), False),
        (lambda c: c[:16].upper(), False),
        (lambda c: "0" * 16, False),
        (lambda c: "", False),
        (lambda c: c + "0", False),
    ],
)
def test_verify_forms(transform, ok):
    t = zel.rand(3)
    assert zel.verify(t, transform(zel.checksum(t))) is ok


class Text(str):
    pass


@pytest.mark.parametrize("expected", [None, b"00", 123, Text("abc")])
def test_verify_requires_exact_str_before_hashing(expected):
    msg = f"Argument 'expected' has incorrect type (expected str, got {type(expected).__name__})"
    with pytest.raises(TypeError) as e:
        zel.verify(object(), expected)  # not a tensor: the type check comes first
    assert str(e.value) == msg


def test_verify_and_match_use_the_bound_checksum(monkeypatch):
    calls = []

    def fake(a):
        calls.append(a)
        return "f" * 64

    monkeypatch.setattr(zel, "checksum", fake)
    assert zel.verify("x", "f" * 16) is True
    assert zel.checksums_match("p", "q") is True
    assert calls == ["x", "p", "q"]


def test_checksum_modules_are_bound():
    assert zel.hashlib is hashlib and zel.struct is struct
