// Bit-exact checksums: SHA-256, through the interpreter's hashlib, of the
// records' sign and limbs (68 bytes per record, the pad field left out), so
// equal results hash equally on every device; and the comparisons built on it.
#include <cstddef>
#include <cstring>

#include "../core/convert.hpp"

namespace zel {
namespace {

constexpr Py_ssize_t kHashedBytes = 4 + 8 * kLimbs;  // sign, then limb0 .. limb7
static_assert(kHashedBytes == 68);
// Records packed per update: a few MiB, so the packing buffer stays small
// while hashlib (which drops the GIL for large inputs) gets long runs.
constexpr Py_ssize_t kChunkRecords = 1 << 15;

// The host copy of a tensor's records as a contiguous 1-D record array.
Ref host_records(PyObject* a) {
    Ref data = py::getattr(a, "_data");
    Ref host = download(data.get());
    Ref contiguous = py::call(py::getattr(S().np, "ascontiguousarray").get(), host.get());
    Ref dtype = py::getattr(contiguous.get(), "dtype");
    Ref ndim = py::getattr(contiguous.get(), "ndim");
    const int same = PyObject_RichCompareBool(dtype.get(), S().dtype, Py_EQ);
    if (same < 0) py::fail();
    if (!same || py::as_ssize(ndim.get()) != 1) {
        py::raise(PyExc_TypeError, "expected an array of FixedPoint records");
    }
    return contiguous;
}

Ref checksum_of(PyObject* a) {
    Ref host = host_records(a);
    Ref hasher = py::call_method(global("hashlib"), "sha256");
    Ref update = py::getattr(hasher.get(), "update");
    Buffer buf(host.get(), false);
    const Py_ssize_t n = buf.bytes() / kRecordBytes;
    const auto* recs = static_cast<const unsigned char*>(buf.data());
    for (Py_ssize_t first = 0; first < n; first += kChunkRecords) {
        const Py_ssize_t count = n - first < kChunkRecords ? n - first : kChunkRecords;
        Ref chunk = py::check(PyBytes_FromStringAndSize(nullptr, count * kHashedBytes));
        auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(chunk.get()));
        // The record is sign, pad, limbs in host order; the hashed form drops pad.
        for (Py_ssize_t i = 0; i < count; ++i) {
            const unsigned char* r = recs + (first + i) * kRecordBytes;
            std::memcpy(out, r + offsetof(fp_t, sign), 4);
            std::memcpy(out + 4, r + offsetof(fp_t, limb), 8 * kLimbs);
            out += kHashedBytes;
        }
        py::call(update.get(), chunk.get());
    }
    return py::call_method(hasher.get(), "hexdigest");
}

bool equal(PyObject* x, PyObject* y) {
    const int r = PyObject_RichCompareBool(x, y, Py_EQ);
    if (r < 0) py::fail();
    return r != 0;
}

// ---------------------------------------------------------------------------
// Module functions.

Ref fn_checksum(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a"};
    auto [a] = parse_args("checksum", names, 1, args, nargs, kwnames);
    return checksum_of(a);
}

Ref fn_checksums_match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a, b] = parse_args("checksums_match", names, 2, args, nargs, kwnames);
    Ref ca = call_global("checksum", a);
    Ref cb = call_global("checksum", b);
    return Ref::borrow(equal(ca.get(), cb.get()) ? Py_True : Py_False);
}

Ref fn_verify(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "expected"};
    auto [a, expected] = parse_args("verify", names, 2, args, nargs, kwnames);
    arg_exact(expected, &PyUnicode_Type, "expected", "str");
    Ref actual = call_global("checksum", a);
    // Sixteen characters are the short form: a prefix of the digest.
    if (PyUnicode_GET_LENGTH(expected) == 16) {
        Ref prefix = py::check(PySequence_GetSlice(actual.get(), 0, 16));
        return Ref::borrow(equal(prefix.get(), expected) ? Py_True : Py_False);
    }
    return Ref::borrow(equal(actual.get(), expected) ? Py_True : Py_False);
}

PyMethodDef checksum_methods[] = {
    method<fn_checksum>("checksum", "checksum($module, /, a)\n--\n\n"
                                    "SHA-256 of the tensor's exact records (sign and limbs), as 64 hex digits."),
    method<fn_checksums_match>("checksums_match", "checksums_match($module, /, a, b)\n--\n\n"
                                                  "Whether two tensors have the same checksum."),
    method<fn_verify>("verify", "verify($module, /, a, expected)\n--\n\n"
                                "Check a tensor against a checksum, or against its 16-character prefix."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_checksum(PyObject* m) {
    for (const char* name : {"hashlib", "struct"}) {
        Ref mod = py::check(PyImport_ImportModule(name));
        bind(name, mod.get());
    }
    add_functions(m, checksum_methods);
}

}  // namespace zel
