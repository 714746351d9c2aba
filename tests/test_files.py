"""save/load in NumPy's formats, and pickling, checked by checksum."""
from fractions import Fraction
import pickle

import numpy as np
import pytest

from reference import record_bytes, records, scaled


@pytest.fixture
def random_tensor(zel):
    def make(shape):
        zel.manual_seed(7)
        n = int(np.prod(shape, dtype=np.int64))
        flat = zel.randn(n) if n else zel.tensor([])
        return zel.reshape(flat, shape) if shape != () else zel.tensor(Fraction(-1, 3))
    return make


@pytest.mark.parametrize("shape", [(), (0,), (5,), (2, 3, 4), (3, 0)])
def test_tensor_round_trip_and_numpy_reads_the_file(zel, tmp_path, random_tensor, shape):
    t = random_tensor(shape)
    path = tmp_path / "t.npy"
    zel.save(str(path), t)
    u = zel.load(str(path))
    assert u.shape == shape and zel.checksum(u) == zel.checksum(t)
    # A plain structured array: no pickle needed, the records byte for byte.
    a = np.load(path, allow_pickle=False)
    assert a.dtype == zel.FIXEDPOINT_DTYPE and a.shape == shape
    assert a.tobytes() == t._data.get().tobytes()


def test_save_appends_numpy_extensions_and_accepts_files(zel, tmp_path):
    t = zel.tensor([1, 2])
    zel.save(tmp_path / "a", t)
    assert zel.checksum(zel.load(tmp_path / "a.npy")) == zel.checksum(t)
    with open(tmp_path / "b.bin", "wb") as f:
        zel.save(f, t)
    with open(tmp_path / "b.bin", "rb") as f:
        assert zel.checksum(zel.load(f)) == zel.checksum(t)


def test_complex_round_trip(zel, tmp_path):
    c = zel.complex_tensor([[Fraction(1, 3), 2], [3, -4]], [["0.1", 0], [-1, 2**100]])
    zel.save(tmp_path / "c", c)
    with np.load(tmp_path / "c.npz", allow_pickle=False) as z:
        assert sorted(z.files) == ["imag", "real"] and z["real"].shape == (2, 2)
    d = zel.load(tmp_path / "c.npz")
    assert isinstance(d, zel.ComplexTensor) and d.shape == (2, 2)
    assert zel.checksum(d.real) == zel.checksum(c.real) and zel.checksum(d.imag) == zel.checksum(c.imag)


def test_sparse_round_trip(zel, tmp_path):
    dense = zel.tensor([[0, Fraction(1, 3), 0], [2, 0, -5], [0, 0, 0]])
    s = zel.SparseTensor.from_dense(dense)
    zel.save(tmp_path / "s.npz", s)
    r = zel.load(tmp_path / "s.npz")
    assert isinstance(r, zel.SparseTensor) and r.shape == (3, 3) and r.nnz == 3
    x = zel.tensor(["0.5", 7, -1])
    assert zel.checksum(zel.sparse_mv(r, x)) == zel.checksum(zel.sparse_mv(s, x))


def test_load_keeps_odd_records_but_not_negative_zero(zel, tmp_path):
    a = np.frombuffer(record_bytes(scaled(Fraction(1, 3))) * 3, dtype=zel.FIXEDPOINT_DTYPE).copy()
    a["sign"][1] = -1
    for i in range(8):
        a[f"limb{i}"][1] = 0
    a["sign"][2] = 0  # the sign-0 record of Tensor(), a non-negative value
    np.save(tmp_path / "odd.npy", a)
    t = zel.load(tmp_path / "odd.npy")
    got = records(t._data)
    assert got[1] == record_bytes(0) and got[2] == a[2].tobytes() and got[0] == a[0].tobytes()


def test_load_accepts_the_records_in_the_other_byte_order(zel, tmp_path):
    t = zel.tensor([Fraction(-7, 3), 5])
    swapped = t._data.get().astype(zel.FIXEDPOINT_DTYPE.newbyteorder(">"))
    np.save(tmp_path / "be.npy", swapped)
    assert zel.checksum(zel.load(tmp_path / "be.npy")) == zel.checksum(t)


@pytest.mark.parametrize("content, message", [
    (np.zeros(3), "FixedPoint records"),
    ({"a": np.zeros(2)}, "not an archive"),
])
def test_load_refuses_other_files(zel, tmp_path, content, message):
    if isinstance(content, dict):
        path = tmp_path / "other.npz"
        np.savez(path, **content)
    else:
        path = tmp_path / "other.npy"
        np.save(path, content)
    with pytest.raises(ValueError, match=message):
        zel.load(path)


def test_save_refuses_what_it_cannot_represent(zel, tmp_path):
    with pytest.raises(ValueError, match="Size mismatch"):
        zel.save(tmp_path / "r.npy", zel.Tensor([[1, 2], [3]]))
    with pytest.raises(TypeError):
        zel.save(tmp_path / "l.npy", [1, 2])
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_pickling(zel, random_tensor, protocol):
    for t in [random_tensor((3, 4)), zel.tensor(Fraction(1, 3)), zel.Tensor([1, 2, 3], shape=[1, 3])]:
        u = pickle.loads(pickle.dumps(t, protocol))
        assert type(u) is zel.Tensor and u.shape == t.shape and zel.checksum(u) == zel.checksum(t)
    c = zel.complex_tensor([1, Fraction(2, 3)], ["0.5", -1])
    d = pickle.loads(pickle.dumps(c, protocol))
    assert type(d) is zel.ComplexTensor
    assert zel.checksum(d.real) == zel.checksum(c.real) and zel.checksum(d.imag) == zel.checksum(c.imag)
