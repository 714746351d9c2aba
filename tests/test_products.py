"""Matrix products: every sum of products (mm, mv, conv2d, trace) is the floor
of the exact rational sum, checked against Fraction arithmetic on the exact
values of the input records; shapes, launch-side refusals and messages."""
import math
import random
import struct
from fractions import Fraction

import pytest

from reference import SCALE, device_records, record_bytes, records, scaled, value_of

TOP = 2**512 - 1


def zeros(zel, *shape):
    n = 1
    for d in shape:
        n *= d
    return zel.Tensor([0] * n, shape=shape)


def exact(t):
    return [value_of(r) for r in records(t._data)]


def floor_record(q):
    """The record of the exact rational q under the floor rule, saturated."""
    s = scaled(q)
    return record_bytes(max(-TOP, min(TOP, s)))


def random_values(rng, n, int_bits=20):
    """Rationals with full fraction parts: dyadic ones that land on the grid
    and others (thirds, sevenths) that the conversion floors."""
    out = []
    for _ in range(n):
        kind = rng.randrange(3)
        if kind == 0:
            out.append(Fraction(rng.getrandbits(int_bits + 256) - 2 ** (int_bits + 255), SCALE))
        elif kind == 1:
            out.append(Fraction(rng.randrange(-10**9, 10**9), rng.choice([3, 7, 10**12 + 39])))
        else:
            out.append(Fraction(rng.randrange(-50, 50)))
    return out


def matrix(zel, rng, rows, cols, **kw):
    return zel.Tensor(random_values(rng, rows * cols, **kw), shape=(rows, cols))


def assert_floor_sums(out, expected):
    got = records(out._data)
    assert len(got) == len(expected)
    for i, (g, q) in enumerate(zip(got, expected)):
        assert g == floor_record(q), f"element {i}: {value_of(g)} != floor of {q}"


# --- exactness ------------------------------------------------------------------

@pytest.mark.parametrize("M, K, N", [(1, 1, 1), (3, 5, 4), (17, 9, 18), (16, 33, 16), (2, 0, 3)])
def test_mm_is_floor_of_exact_sum(zel, M, K, N):
    rng = random.Random(1000 * M + 10 * K + N)
    a, b = matrix(zel, rng, M, K), matrix(zel, rng, K, N)
    A, B = exact(a), exact(b)
    out = zel.mm(a, b)
    assert out.shape == (M, N)
    expected = [sum((A[i * K + k] * B[k * N + j] for k in range(K)), Fraction(0)) for i in range(M) for j in range(N)]
    assert_floor_sums(out, expected)


def test_mm_sum_is_rounded_once(zel):
    # Each product 1/3 * 1/3 alone floors below 1/9; a per-product rounding
    # would lose up to one unit per term, the exact sum loses less than one.
    third = zel.tensor([[Fraction(1, 3)] * 64])
    col = zel.tensor([[Fraction(1, 3)]] * 64)
    t = exact(third)[0]
    out = zel.mm(third, col)
    assert records(out._data)[0] == floor_record(64 * t * t)


@pytest.mark.parametrize("sign", [1, -1])
def test_mm_saturates_only_the_final_sum(zel, sign):
    big = 2**200
    a = zel.tensor([[big, big, -big]])
    b = zel.tensor([[sign * big], [-sign * big], [sign * 2]])
    # The partial sum big^2 is far beyond the range; the exact total is
    # -2 * sign * big, well inside it.
    assert exact(zel.mm(a, b)) == [Fraction(-2 * sign * big)]
    over = zel.mm(zel.tensor([[big]]), zel.tensor([[sign * big]]))
    assert records(over._data)[0] == record_bytes(sign * TOP)


def test_mm_mixes_full_width_and_short_products(zel):
    # Records spanning all eight limbs (2^200 + 2^-256) next to short ones:
    # the host splits such sums by operand width; the total must not care.
    x = Fraction(2**200) + Fraction(1, SCALE)
    y = Fraction(2**190) + Fraction(3, SCALE)
    a = zel.tensor([[x, 0, Fraction(1, 3), -x], [x, x, 5, 0], [-x, x, 1, x]])
    b = zel.tensor([[y], [-y], [Fraction(-2, 7)], [y + Fraction(1, SCALE)]])
    A, B = exact(a), exact(b)
    expected = [sum(A[i * 4 + k] * B[k] for k in range(4)) for i in range(3)]
    assert all(abs(q) < 2 for q in expected[:2])
    assert_floor_sums(zel.mm(a, b), expected)
    assert_floor_sums(zel.mv(a, zel.tensor([y, -y, Fraction(-2, 7), y + Fraction(1, SCALE)])), expected)


@pytest.mark.parametrize("M, K", [(1, 1), (5, 7), (300, 3)])
def test_mv_is_floor_of_exact_sum(zel, M, K):
    rng = random.Random(M * 31 + K)
    a = matrix(zel, rng, M, K)
    x = zel.tensor(random_values(rng, K))
    A, X = exact(a), exact(x)
    out = zel.mv(a, x)
    assert out.shape == (M,)
    assert_floor_sums(out, [sum((A[i * K + k] * X[k] for k in range(K)), Fraction(0)) for i in range(M)])


def conv_reference(I, Wt, batch, in_ch, H, W, out_ch, kH, kW, stride, padding):
    oh = (H + 2 * padding - kH) // stride + 1
    ow = (W + 2 * padding - kW) // stride + 1
    out = []
    for b in range(batch):
        for o in range(out_ch):
            for y in range(oh):
                for x in range(ow):
                    s = Fraction(0)
                    for c in range(in_ch):
                        for ky in range(kH):
                            for kx in range(kW):
                                yy, xx = y * stride - padding + ky, x * stride - padding + kx
                                if 0 <= yy < H and 0 <= xx < W:
                                    s += Wt[((o * in_ch + c) * kH + ky) * kW + kx] * I[((b * in_ch + c) * H + yy) * W + xx]
                    out.append(s)
    return (batch, out_ch, oh, ow), out


@pytest.mark.parametrize("shape_in, shape_w, stride, padding", [
    ((1, 1, 5, 5), (1, 1, 3, 3), 1, 0),
    ((1, 1, 5, 5), (1, 1, 3, 3), 1, 1),
    ((1, 1, 5, 5), (1, 1, 3, 3), 2, 0),
    ((2, 3, 4, 6), (2, 3, 2, 3), 1, 2),
    ((1, 2, 3, 3), (3, 2, 3, 1), 3, 1),
])
def test_conv2d_is_floor_of_exact_sum(zel, shape_in, shape_w, stride, padding):
    rng = random.Random(hash((shape_in, shape_w, stride, padding)) & 0xFFFF)
    n_in = shape_in[0] * shape_in[1] * shape_in[2] * shape_in[3]
    n_w = shape_w[0] * shape_w[1] * shape_w[2] * shape_w[3]
    inp = zel.Tensor(random_values(rng, n_in), shape=shape_in)
    w = zel.Tensor(random_values(rng, n_w), shape=shape_w)
    shape, expected = conv_reference(exact(inp), exact(w), *shape_in, shape_w[0], shape_w[2], shape_w[3],
                                     stride, padding)
    out = zel.conv2d(inp, w, stride, padding)
    assert out.shape == shape
    assert_floor_sums(out, expected)


def test_conv2d_converts_stride_and_padding_with_int(zel):
    inp = zel.Tensor(list(range(25)), shape=(1, 1, 5, 5))
    w = zel.Tensor([1] * 9, shape=(1, 1, 3, 3))
    assert zel.conv2d(inp, w, stride=2.7, padding=1.9).shape == (1, 1, 3, 3)
    with pytest.raises(TypeError, match=r"Argument 'stride' has incorrect type \(expected int, got str\)"):
        zel.conv2d(inp, w, "2")


def test_trace_is_exact_and_rounds_once(zel):
    rng = random.Random(7)
    a = matrix(zel, rng, 6, 6)
    A = exact(a)
    out = zel.trace(a)
    assert out.shape == (1,)
    assert exact(out) == [sum(A[i * 7] for i in range(6))]
    # A partial sum beyond the range does not stick when the total is inside.
    big = zel.tensor([[2**255, 0], [0, -2**255]])
    assert exact(zel.trace(big)) == [Fraction(0)]


# --- the other products ------------------------------------------------------------

def test_outer_and_kron_products_are_floored_products(zel):
    rng = random.Random(3)
    a, b = zel.tensor(random_values(rng, 2)), zel.tensor(random_values(rng, 3))
    out = zel.outer(a, b)
    assert out.shape == (2, 3)
    A, B = exact(a), exact(b)
    assert_floor_sums(out, [x * y for x in A for y in B])
    assert zel.outer(zel.tensor([[1, 2], [3, 4]]), b).shape == (4, 3)
    k = zel.kron(zel.tensor([[1, 2], [3, 4]]), zel.tensor([[1, 0], [0, 1]]))
    assert k.shape == (4, 4)
    assert k.to_list() == [[1, 0, 2, 0], [0, 1, 0, 2], [3, 0, 4, 0], [0, 3, 0, 4]]
    m, p = matrix(zel, rng, 2, 3), matrix(zel, rng, 3, 2)
    M, P = exact(m), exact(p)
    expected = [M[i * 3 + j] * P[k * 2 + l] for i in range(2) for k in range(3) for j in range(3) for l in range(2)]
    assert_floor_sums(zel.kron(m, p), expected)


@pytest.mark.parametrize("rows, cols", [(3, 3), (4, 2), (2, 5), (1, 4), (0, 3)])
def test_diag_is_the_true_diagonal(zel, rows, cols):
    values = [[10 * i + j for j in range(cols)] for i in range(rows)]
    t = zel.Tensor([v for row in values for v in row], shape=(rows, cols))
    d = zel.diag(t)
    assert d.shape == (min(rows, cols),)
    assert exact(d) == [values[i][i] for i in range(min(rows, cols))]


def test_matmul_dispatch_and_bmm(zel):
    rng = random.Random(11)
    v, w = zel.tensor(random_values(rng, 3)), zel.tensor(random_values(rng, 3))
    m = matrix(zel, rng, 2, 3)
    assert records(zel.matmul(v, w)._data) == records(zel.dot(v, w)._data)
    assert zel.matmul(v, w).shape == (1,)
    assert records(zel.matmul(m, v)._data) == records(zel.mv(m, v)._data)
    assert zel.matmul(m, v).shape == (2,)
    n = matrix(zel, rng, 3, 4)
    assert records(zel.matmul(m, n)._data) == records(zel.mm(m, n)._data)
    a = zel.Tensor(random_values(rng, 24), shape=(4, 2, 3))
    b = zel.Tensor(random_values(rng, 60), shape=(4, 3, 5))
    c = zel.bmm(a, b)
    assert c.shape == (4, 2, 5)
    cr = records(c._data)
    for i in range(4):
        ai = zel.Tensor(exact(a)[6 * i:6 * i + 6], shape=(2, 3))
        bi = zel.Tensor(exact(b)[15 * i:15 * i + 15], shape=(3, 5))
        assert cr[10 * i:10 * i + 10] == records(zel.mm(ai, bi)._data)
    empty = zel.bmm(zel.Tensor([], shape=(0, 2, 3)), zel.Tensor([], shape=(0, 3, 5)))
    assert empty.shape == (0, 2, 5) and empty.numel == 0


# --- refusals -----------------------------------------------------------------------

@pytest.mark.parametrize("call, exc, message", [
    (lambda z: z.mm(zeros(z, 2, 3), zeros(z, 2, 3)), ValueError, "Shape mismatch: (2, 3) @ (2, 3)"),
    (lambda z: z.mm(zeros(z, 3), zeros(z, 3, 1)), ValueError, "mm requires 2D tensors"),
    (lambda z: z.matmul(zeros(z, 2, 2, 2), zeros(z, 2, 2, 2)), ValueError,
     "matmul: unsupported shapes (2, 2, 2) @ (2, 2, 2)"),
    (lambda z: z.matmul(zeros(z, 3), zeros(z, 3, 2)), ValueError, "matmul: unsupported shapes (3,) @ (3, 2)"),
    (lambda z: z.bmm(zeros(z, 2, 2), zeros(z, 2, 2)), ValueError, "bmm requires 3D tensors"),
    (lambda z: z.bmm(zeros(z, 4, 2, 3), zeros(z, 2, 3, 5)), ValueError, "Shape mismatch: (4, 2, 3) @ (2, 3, 5)"),
    (lambda z: z.bmm(zeros(z, 4, 2, 3), zeros(z, 4, 2, 5)), ValueError, "Shape mismatch: (4, 2, 3) @ (4, 2, 5)"),
    (lambda z: z.mv(zeros(z, 3, 3), zeros(z, 2)), ValueError, "Dimension mismatch: A is (3, 3), x has 2 elements"),
    (lambda z: z.mv(zeros(z, 3), zeros(z, 3)), ValueError, "not enough values to unpack (expected 2, got 1)"),
    (lambda z: z.kron(zeros(z, 2), zeros(z, 2, 2)), ValueError, "kron requires 2D tensors"),
    (lambda z: z.trace(zeros(z, 2, 3)), ValueError, "trace requires square matrix"),
    (lambda z: z.diag(zeros(z, 3)), ValueError, "diag requires 2D tensor"),
    (lambda z: z.conv2d(zeros(z, 1, 2, 5, 5), zeros(z, 1, 1, 3, 3)), ValueError, "Channel mismatch"),
    (lambda z: z.conv2d(zeros(z, 1, 1, 5, 5), zeros(z, 1, 1, 3, 3), 0), ValueError, "conv2d requires stride >= 1"),
    (lambda z: z.conv2d(zeros(z, 1, 1, 5, 5), zeros(z, 1, 1, 3, 3), 1, -1), ValueError,
     "conv2d requires padding >= 0"),
    (lambda z: z.conv2d(zeros(z, 1, 1, 2, 2), zeros(z, 1, 1, 5, 3), 1, 1), ValueError,
     "conv2d filter is larger than the padded input"),
    (lambda z: z.conv2d(zeros(z, 1, 5, 5), zeros(z, 1, 1, 3, 3)), ValueError,
     "not enough values to unpack (expected 4, got 3)"),
])
def test_refusals(zel, call, exc, message):
    with pytest.raises(exc) as info:
        call(zel)
    assert str(info.value) == message


def test_short_operands_are_refused_before_launch(zel):
    # The constructor lets a shape claim more records than the data holds.
    a = zel.Tensor([1, 2, 3], shape=(2, 2))
    with pytest.raises(ValueError, match="Size mismatch"):
        zel.mm(a, zel.tensor([[1, 0], [0, 1]]))
    with pytest.raises(ValueError, match="Size mismatch"):
        zel.trace(a)
    with pytest.raises(ValueError, match="Size mismatch"):
        zel.conv2d(zel.Tensor([1] * 8, shape=(1, 1, 3, 3)), zel.Tensor([1], shape=(1, 1, 1, 1)))


# --- the multi-modular product against the classical loop ----------------------------
#
# Above a size threshold the host backend multiplies through residues modulo
# word-size primes; every record must be the one fp_mm_kernel's classical
# loop writes, launched here directly as the reference.

def _raw_record(sign, mag):
    return struct.pack("<ii8Q", sign, 0, *[(mag >> (64 * i)) & (2**64 - 1) for i in range(8)])


def _matrix(zel, rows, cols, make):
    import numpy as np

    raws = b"".join(make(r, c) for r in range(rows) for c in range(cols))
    host = np.frombuffer(raws, dtype=zel.FIXEDPOINT_DTYPE)
    return zel.Tensor(_raw=device_records(zel, host), shape=(rows, cols))


def _classical(zel, a, b):
    import numpy as np

    (M, K), (_, N) = a._shape, b._shape
    out = zel.cp.empty(M * N, dtype=zel.FIXEDPOINT_DTYPE)
    zel._get_kernel("fp_mm_kernel")(((N + 15) // 16, (M + 15) // 16), (16, 16),
                                    (a._data, b._data, out, np.int32(M), np.int32(N), np.int32(K)))
    return records(out)


def _entries(kind, rng):
    """Record generators by structure: (row, col) -> 72 bytes."""
    sign = lambda: rng.choice([1, -1])  # noqa: E731
    return {
        "full": lambda r, c: _raw_record(sign(), rng.getrandbits(512)),
        "all_limbs_set": lambda r, c: _raw_record(sign(), 2**512 - 1),
        # Products near 2^760: sums that stay in range and exercise the floor.
        "in_range": lambda r, c: _raw_record(sign(), rng.getrandbits(380)),
        "mixed_widths": lambda r, c: _raw_record(rng.choice([1, -1, 0, 5]),
                                                 rng.getrandbits(rng.choice([0, 1, 64, 200, 256, 383, 512]))),
        "from_doubles": lambda r, c: _raw_record(sign(), rng.getrandbits(53) << rng.randrange(180, 215)),
        "zero_rows": lambda r, c: _raw_record(sign(), 0 if r % 3 == 0 else rng.getrandbits(300)),
        "rank_one": lambda r, c: _raw_record(1 if (r + c) % 2 else -1, (r + 1) * (c + 3) << 250),
        "zeros": lambda r, c: _raw_record(rng.choice([1, -1]), 0),
    }[kind]


@pytest.mark.parametrize("kind", ["full", "all_limbs_set", "in_range", "mixed_widths", "from_doubles", "zero_rows",
                                  "rank_one", "zeros"])
@pytest.mark.parametrize("M, K, N", [(40, 40, 40), (39, 40, 40), (32, 33, 64), (31, 64, 64), (64, 31, 48),
                                     (33, 1000, 32)])
def test_mm_is_the_classical_loop_byte_for_byte(zel, kind, M, K, N):
    rng = random.Random(f"{kind}{M},{K},{N}")
    a = _matrix(zel, M, K, _entries(kind, rng))
    b = _matrix(zel, K, N, _entries(kind, rng))
    assert records(zel.mm(a, b)._data) == _classical(zel, a, b)


@pytest.mark.parametrize("kind", ["full", "mixed_widths"])
def test_large_mm_is_the_classical_loop_byte_for_byte(zel, kind):
    # Large enough that the primes come in more than one group, the operands
    # are reduced by records rather than by primes, A is packed in slices of
    # the inner size with a short last slice, and both row blocks and column
    # panels end short.
    rng = random.Random(f"large {kind}")
    M, K, N = 256, 300, 250
    a = _matrix(zel, M, K, _entries(kind, rng))
    b = _matrix(zel, K, N, _entries(kind, rng))
    assert records(zel.mm(a, b)._data) == _classical(zel, a, b)


def _classical_conv2d(zel, inp, w, stride, padding):
    import numpy as np

    batch, in_ch, H, W = inp.shape
    out_ch, _, kH, kW = w.shape
    out_H, out_W = (H + 2 * padding - kH) // stride + 1, (W + 2 * padding - kW) // stride + 1
    total = batch * out_ch * out_H * out_W
    out = zel.cp.empty(total, dtype=zel.FIXEDPOINT_DTYPE)
    args = [np.int32(v) for v in (batch, in_ch, H, W, out_ch, kH, kW, stride, padding, out_H, out_W)]
    zel._get_kernel("fp_conv2d_kernel")(((total + 255) // 256,), (256,), (inp._data, w._data, out, *args))
    return records(out)


@pytest.mark.parametrize("kind, shape_in, shape_w, stride, padding", [
    ("full", (2, 4, 10, 10), (32, 4, 3, 3), 1, 1),
    ("all_limbs_set", (2, 4, 10, 10), (32, 4, 3, 3), 1, 1),
    ("mixed_widths", (2, 4, 11, 11), (33, 4, 3, 3), 2, 2),
    # 1,000 taps an output: the unfolded input is taken in two slices, the
    # second starting inside the second image.
    ("in_range", (2, 40, 24, 24), (32, 40, 5, 5), 1, 0),
])
def test_large_conv2d_is_the_direct_kernel_byte_for_byte(zel, kind, shape_in, shape_w, stride, padding):
    rng = random.Random(f"conv {kind}")
    make = _entries(kind, rng)
    n_in, n_w = math.prod(shape_in), math.prod(shape_w)
    inp = zel.Tensor(_raw=_matrix(zel, 1, n_in, make)._data, shape=shape_in)
    w = zel.Tensor(_raw=_matrix(zel, 1, n_w, make)._data, shape=shape_w)
    assert records(zel.conv2d(inp, w, stride, padding)._data) == _classical_conv2d(zel, inp, w, stride, padding)


def test_bmm_is_one_product_per_matrix(zel):
    # Enough matrices that the primes are taken in more than one group.
    rng = random.Random(13)
    batch, M, K, N = 40, 40, 40, 40
    make = _entries("mixed_widths", rng)
    a = _matrix(zel, batch * M, K, make)
    b = _matrix(zel, batch * K, N, make)
    out = zel.bmm(zel.reshape(a, (batch, M, K)), zel.reshape(b, (batch, K, N)))
    assert out.shape == (batch, M, N)
    got = records(out._data)
    for i in (0, 17, batch - 1):
        ai = zel.Tensor(_raw=a._data[i * M * K:(i + 1) * M * K], shape=(M, K))
        bi = zel.Tensor(_raw=b._data[i * K * N:(i + 1) * K * N], shape=(K, N))
        assert got[i * M * N:(i + 1) * M * N] == _classical(zel, ai, bi)


def test_products_in_a_row_share_no_stale_scratch(zel):
    # Scratch is kept between products: a smaller product after a larger one,
    # then one needing more primes, must each match the classical loop.
    rng = random.Random(5)
    for kind, (M, K, N) in [("full", (64, 48, 64)), ("zeros", (40, 40, 40)), ("from_doubles", (48, 64, 40)),
                            ("all_limbs_set", (40, 40, 40)), ("rank_one", (64, 48, 64))]:
        make = _entries(kind, rng)
        a, b = _matrix(zel, M, K, make), _matrix(zel, K, N, make)
        assert records(zel.mm(a, b)._data) == _classical(zel, a, b), kind


def test_bmm_beyond_the_grid_z_cap_matches_mm_per_matrix(zel):
    # 70,000 matrices: one launch walks the batch past CUDA's 65,535 on z.
    import numpy as np

    rng = np.random.default_rng(16)
    batch = 70_000
    a = zel.Tensor(rng.integers(-8, 8, size=(batch, 2, 1)).astype(float) / 4)
    b = zel.Tensor(rng.integers(-8, 8, size=(batch, 1, 3)).astype(float) / 4)
    out = zel.bmm(a, b)
    assert out.shape == (batch, 2, 3)
    got = out._data.get()
    for i in (0, 1, 65_534, 65_535, 65_536, batch - 1):
        want = zel.mm(zel.Tensor(a.numpy()[i]), zel.Tensor(b.numpy()[i]))._data.get()
        assert got[i * 6:(i + 1) * 6].tobytes() == want.tobytes(), i
