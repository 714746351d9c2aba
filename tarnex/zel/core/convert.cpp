// Host-side conversion between Python values and FixedPoint records, and the
// module functions of the number format: _value_to_fp, _fp_to_value,
// _int_to_limbs, _limbs_to_int, _copy_arr, to_gpu, from_gpu, _get_kernel,
// _grid.  Every record is floor(q * 2^256) of the exact rational q.
#include "convert.hpp"

#include "backend.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "gmp.hpp"

namespace zel {

namespace {

[[noreturn]] void out_of_range() { py::raise(PyExc_OverflowError, "Value out of FixedPoint range"); }

// floor(x * 2^256) of the double itself, with the refusals of check_doubles.
void double_to_record_exact(double x, fp_t& out) {
    if (std::isnan(x)) py::raise(PyExc_ValueError, "cannot convert NaN to integer ratio");
    if (std::isinf(x)) py::raise(PyExc_OverflowError, "cannot convert Infinity to integer ratio");
    if (std::fabs(x) >= 0x1p256) out_of_range();
    Mpz z;
    int e2 = 0;
    mpz_set_d(z.v, std::ldexp(std::frexp(x, &e2), 53));  // exact: x = z * 2^(e2 - 53)
    const long shift = kFracBits + e2 - 53;
    if (shift >= 0) {
        mpz_mul_2exp(z.v, z.v, static_cast<mp_bitcnt_t>(shift));
    } else {
        mpz_fdiv_q_2exp(z.v, z.v, static_cast<mp_bitcnt_t>(-shift));
    }
    record_from_scaled(out, z.v);
}

}  // namespace

void record_from_scaled(fp_t& out, mpz_srcptr scaled) {
    zero_n<kLimbs>(out.limb);
    const int sgn = mpz_sgn(scaled);
    if (sgn != 0) {
        if (mpz_sizeinbase(scaled, 2) > static_cast<size_t>(kMagBits)) out_of_range();
        size_t count = 0;
        mpz_export(out.limb, &count, -1, sizeof(uint64_t), 0, 0, scaled);
    }
    fp_set_sign(out, sgn < 0);
}

namespace {

// floor(num * 2^256 / den) for den > 0.
void record_from_ratio(fp_t& out, mpz_srcptr num, mpz_srcptr den) {
    Mpz t;
    mpz_mul_2exp(t.v, num, kFracBits);
    mpz_fdiv_q(t.v, t.v, den);
    record_from_scaled(out, t.v);
}

void int_to_record(PyObject* v, fp_t& out) {
    zero_n<kLimbs>(out.limb);
    const int sgn = _PyLong_Sign(v);
    if (sgn != 0) {
        if (_PyLong_NumBits(v) > static_cast<size_t>(kFracBits)) out_of_range();
        Ref mag = sgn < 0 ? py::check(PyNumber_Negative(v)) : Ref::borrow(v);
        // The integer part occupies limbs 4..7, little-endian bytes on this host.
        if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(mag.get()),
                                reinterpret_cast<unsigned char*>(&out.limb[4]), 32, 1, 0) < 0)
            py::fail();
    }
    fp_set_sign(out, sgn < 0);
}

// Fraction(x).limit_denominator(10**15), then the floor rule.
void float_to_record(double x, fp_t& out) {
    if (std::isnan(x)) py::raise(PyExc_ValueError, "cannot convert NaN to integer ratio");
    if (std::isinf(x)) py::raise(PyExc_OverflowError, "cannot convert Infinity to integer ratio");
    if (std::fabs(x) >= 0x1p256) out_of_range();
    if (x == 0.0) {
        fp_set_zero(out);
        return;
    }
    int e2 = 0;
    const double m = std::frexp(x, &e2);                            // x = m * 2^e2, 0.5 <= |m| < 1
    int64_t mant = static_cast<int64_t>(std::ldexp(m, 53));  // exact
    int exp = e2 - 53;                                              // x = mant * 2^exp
    while ((mant & 1) == 0) {
        mant /= 2;
        ++exp;
    }
    const bool neg = mant < 0;
    const uint64_t umant = neg ? uint64_t(-mant) : uint64_t(mant);
    // A denominator 2^-exp of at most 10^15 (2^49 < 10^15 < 2^50) is kept:
    // the record is then the exact floor of x itself.
    if (exp >= -49) {
        zero_n<kLimbs>(out.limb);
        out.limb[0] = umant;
        shl_n<kLimbs>(out.limb, out.limb, kFracBits + exp);
        fp_set_sign(out, neg);
        return;
    }
    Mpq q, r;
    Mpz max_den;
    mpz_set_si(mpq_numref(q.v), mant);
    mpz_set_ui(mpq_denref(q.v), 1);
    mpz_mul_2exp(mpq_denref(q.v), mpq_denref(q.v), -exp);
    mpz_set_ui(max_den.v, 1000000000000000ul);
    limit_denominator(r.v, q.v, max_den.v);
    record_from_ratio(out, mpq_numref(r.v), mpq_denref(r.v));
}

void fraction_to_record(PyObject* f, fp_t& out) {
    Ref num = py::getattr(f, "numerator");
    Ref den = py::getattr(f, "denominator");
    if (PyLong_Check(num.get()) && PyLong_Check(den.get())) {
        int o1 = 0, o2 = 0;
        const long long n = PyLong_AsLongLongAndOverflow(num.get(), &o1);
        const long long d = PyLong_AsLongLongAndOverflow(den.get(), &o2);
        if (PyErr_Occurred()) py::fail();
        if (!o1 && !o2 && d > 0) {
            const bool neg = n < 0;
            small_ratio_to_record(out, neg, neg ? uint64_t(0) - uint64_t(n) : uint64_t(n), uint64_t(d));
            return;
        }
    }
    Mpq q;
    mpq_from_fraction(q.v, f);
    record_from_ratio(out, mpq_numref(q.v), mpq_denref(q.v));
}

// A decimal literal as the interpreter's decimal parser reads it, in its
// plain ASCII form: blanks, sign, digits with an optional point, optional
// exponent.  Anything else (underscores, other scripts' digits, special
// values) is left to the interpreter's parser.
struct DecimalParts {
    bool negative = false;
    std::string digits;  // significant digits, leading zeros removed
    long long exp = 0;   // value = digits * 10^exp
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool parse_decimal_ascii(const char* s, Py_ssize_t len, DecimalParts& out) {
    Py_ssize_t i = 0, end = len;
    while (i < end && is_blank(s[i])) ++i;
    while (end > i && is_blank(s[end - 1])) --end;
    if (i < end && (s[i] == '+' || s[i] == '-')) out.negative = s[i++] == '-';
    bool any_digit = false, seen_point = false;
    long long frac_digits = 0;
    for (; i < end; ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            any_digit = true;
            if (!(out.digits.empty() && c == '0')) out.digits.push_back(c);
            if (seen_point) ++frac_digits;
        } else if (c == '.' && !seen_point) {
            seen_point = true;
        } else {
            break;
        }
    }
    if (!any_digit) return false;
    long long exp = 0;
    if (i < end && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool eneg = false;
        if (i < end && (s[i] == '+' || s[i] == '-')) eneg = s[i++] == '-';
        if (i >= end) return false;
        // Exponents far beyond the range are clamped: the answer is then
        // decided by the adjusted exponent alone.  The clamp leaves room for
        // the digit count (a string shorter than 2^48 characters) in the
        // sums below, so none of them can overflow.
        constexpr long long kClamp = 1'000'000'000'000'000LL;
        for (; i < end; ++i) {
            if (s[i] < '0' || s[i] > '9') return false;
            if (exp < kClamp) exp = exp * 10 + (s[i] - '0');
        }
        if (eneg) exp = -exp;
    }
    if (i != end) return false;
    out.exp = exp - frac_digits;
    return true;
}

// 2^256 < 10^78, and 10^-78 < 2^-256: the adjusted exponent (that of the
// leading digit) decides the out-of-range and below-resolution cases without
// forming 10^exp.
void decimal_parts_to_record(const DecimalParts& d, fp_t& out) {
    if (d.digits.empty()) {
        fp_set_zero(out);
        return;
    }
    const long long adjusted = d.exp + static_cast<long long>(d.digits.size()) - 1;
    if (adjusted >= 78) out_of_range();
    if (adjusted <= -79) {
        zero_n<kLimbs>(out.limb);
        if (d.negative) out.limb[0] = 1;  // floor of a tiny negative value
        fp_set_sign(out, d.negative);
        return;
    }
    Mpz num, pow10;
    mpz_set_str(num.v, d.digits.c_str(), 10);
    if (d.negative) mpz_neg(num.v, num.v);
    if (d.exp >= 0) {
        mpz_ui_pow_ui(pow10.v, 10, static_cast<unsigned long>(d.exp));
        mpz_mul(num.v, num.v, pow10.v);
        mpz_mul_2exp(num.v, num.v, kFracBits);
        record_from_scaled(out, num.v);
    } else {
        mpz_ui_pow_ui(pow10.v, 10, static_cast<unsigned long>(-d.exp));
        record_from_ratio(out, num.v, pow10.v);
    }
}

bool parse_pystr(PyObject* s, DecimalParts& parts) {
    Py_ssize_t len = 0;
    if (!PyUnicode_IS_ASCII(s)) return false;
    const char* text = PyUnicode_AsUTF8AndSize(s, &len);
    if (!text) py::fail();
    return parse_decimal_ascii(text, len, parts);
}

// A finite Decimal: its canonical text is always a plain ASCII literal.
void finite_decimal_to_record(PyObject* dec, fp_t& out) {
    Ref text = py::check(PyObject_Str(dec));
    DecimalParts parts;
    if (!parse_pystr(text.get(), parts)) py::raise(PyExc_SystemError, "unexpected Decimal text");
    decimal_parts_to_record(parts, out);
}

bool decimal_flag(PyObject* dec, const char* method) {
    Ref r = py::call_method(dec, method);
    return py::truthy(r.get());
}

// The special values have no record: NaN (quiet or signalling) is a
// ValueError, the infinities an OverflowError, as for floats and strings.
void decimal_to_record(PyObject* dec, fp_t& out) {
    if (decimal_flag(dec, "is_finite")) {
        finite_decimal_to_record(dec, out);
        return;
    }
    if (decimal_flag(dec, "is_nan")) py::raise(PyExc_ValueError, "cannot convert NaN to integer ratio");
    py::raise(PyExc_OverflowError, "cannot convert Infinity to integer ratio");
}

// q = Fraction(Decimal(text)).
void string_to_record(PyObject* s, fp_t& out) {
    DecimalParts parts;
    if (parse_pystr(s, parts)) {
        decimal_parts_to_record(parts, out);
        return;
    }
    Ref dec = py::call(S().Decimal, s);  // raises InvalidOperation for non-literals
    if (decimal_flag(dec.get(), "is_nan")) py::raise(PyExc_ValueError, "cannot convert NaN to integer ratio");
    if (decimal_flag(dec.get(), "is_infinite")) {
        py::raise(PyExc_OverflowError, "cannot convert Infinity to integer ratio");
    }
    finite_decimal_to_record(dec.get(), out);
}

bool is_decimal(PyObject* v) {
    return Py_TYPE(v) == reinterpret_cast<PyTypeObject*>(S().Decimal) || py::isinstance(v, S().Decimal);
}

bool is_fraction(PyObject* v) {
    return Py_TYPE(v) == reinterpret_cast<PyTypeObject*>(S().Fraction) || py::isinstance(v, S().Fraction);
}

// Powers of two 2^0 .. 2^256 as Python ints, the denominators of records.
PyObject* pow2(int k) {
    static PyObject* cache[kFracBits + 1] = {};
    if (!cache[k]) {
        Ref one = py::from_long(1), sh = py::from_long(k);
        cache[k] = py::check(PyNumber_Lshift(one.get(), sh.get())).release();
    }
    return cache[k];
}

Ref uint_from_limbs(const uint64_t* limbs) {
    return py::check(_PyLong_FromByteArray(reinterpret_cast<const unsigned char*>(limbs), 8 * kLimbs, 1, 0));
}

}  // namespace

// Schoolbook long division in base 2^64: the quotient's integer limb, then
// four fraction limbs; a negative inexact quotient has its magnitude raised
// by one unit (floor toward -infinity).
void small_ratio_to_record(fp_t& out, bool negative, uint64_t num, uint64_t den) {
    zero_n<kLimbs>(out.limb);
    out.limb[4] = num / den;
    unsigned __int128 rem = num % den;
    for (int i = 3; i >= 0; --i) {
        const unsigned __int128 cur = rem << 64;
        out.limb[i] = static_cast<uint64_t>(cur / den);
        rem = cur % den;
    }
    if (negative && rem != 0) add_1<kLimbs>(out.limb, out.limb, 1);
    fp_set_sign(out, negative);
}

void value_to_record(PyObject* v, fp_t& out) {
    if (PyLong_Check(v)) return int_to_record(v, out);
    if (PyFloat_Check(v)) return float_to_record(PyFloat_AS_DOUBLE(v), out);
    if (is_decimal(v)) return decimal_to_record(v, out);
    if (PyUnicode_Check(v)) return string_to_record(v, out);
    if (is_fraction(v)) return fraction_to_record(v, out);
    // Other rationals (NumPy integers among them) through Fraction; what it
    // refuses is named by its type.
    Ref f = Ref::steal(PyObject_CallOneArg(S().Fraction, v));
    if (!f) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) py::fail();
        PyErr_Clear();
        py::raisef(PyExc_TypeError,
                   "cannot convert a value of type '%.200s' to FixedPoint (expected int, float, Fraction, Decimal, str "
                   "or another rational number)",
                   Py_TYPE(v)->tp_name);
    }
    fraction_to_record(f.get(), out);
}

void exact_value_to_record(PyObject* v, fp_t& out) {
    if (PyFloat_Check(v)) return double_to_record_exact(PyFloat_AS_DOUBLE(v), out);
    if (py::isinstance(v, S().np_integer)) {
        Ref i = py::check(PyNumber_Index(v));
        return int_to_record(i.get(), out);
    }
    if (py::isinstance(v, S().np_floating)) {
        // Wider than a double (long double) or narrower: the ratio is exact
        // either way.
        Ref ratio = py::call_method(v, "as_integer_ratio");
        Ref num = py::check(PySequence_GetItem(ratio.get(), 0));
        Ref den = py::check(PySequence_GetItem(ratio.get(), 1));
        Mpz n, d;
        mpz_from_pylong(n.v, num.get());
        mpz_from_pylong(d.v, den.get());
        return record_from_ratio(out, n.v, d.v);
    }
    value_to_record(v, out);
}

namespace {

// Adds the element's position (and, for a value error, its type) to the
// conversion error being raised for element `index` of a list.
void annotate_element(Py_ssize_t index, PyObject* item) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_OverflowError)) {
        return;
    }
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    Ref text = Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        text = py::from_str("");
    }
    // A TypeError already names the type.
    if (t.get() == PyExc_TypeError) {
        PyErr_Format(t.get(), "%U (element %zd of the input)", text.get(), index);
    } else {
        PyErr_Format(t.get(), "%U (element %zd of the input, of type '%.200s')", text.get(), index,
                     Py_TYPE(item)->tp_name);
    }
}

}  // namespace

Ref record_to_fraction(const fp_t& r) {
    const bool zero = fp_is_zero(r);
    if (zero || r.sign == 0) return py::call(S().from_coprime, py::from_long(0).get(), pow2(0));
    if (r.sign != 1 && r.sign != -1) {
        // A foreign sign field multiplies the magnitude, as the record's
        // definition reads; the rational type reduces the result.
        Ref m = uint_from_limbs(r.limb), s = py::from_long(r.sign);
        Ref num = py::check(PyNumber_Multiply(s.get(), m.get()));
        return py::call(S().Fraction, num.get(), S().scale);
    }
    // M / 2^256 in lowest terms: strip the common power of two.
    int tz = 0;
    for (int i = 0; i < kLimbs; ++i) {
        const int t = ctz64(r.limb[i]);
        tz += t;
        if (t < 64) break;
    }
    const int k = tz < kFracBits ? tz : kFracBits;
    uint64_t shifted[kLimbs];
    shr_n<kLimbs>(shifted, r.limb, k);
    Ref num = uint_from_limbs(shifted);
    if (r.sign == -1) num = py::check(PyNumber_Negative(num.get()));
    return py::call(S().from_coprime, num.get(), pow2(kFracBits - k));
}

void check_doubles(const double* x, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double v = x[i];
        if (std::fabs(v) < 0x1p256) continue;
        if (std::isnan(v)) py::raise(PyExc_ValueError, "cannot convert NaN to integer ratio");
        if (std::isinf(v)) py::raise(PyExc_OverflowError, "cannot convert Infinity to integer ratio");
        out_of_range();
    }
}

Ref upload_doubles(PyObject* host_float64) {
    const Py_ssize_t n = py::length(host_float64);
    {
        Buffer buf(host_float64, false);
        if (buf.bytes() != n * static_cast<Py_ssize_t>(sizeof(double))) {
            py::raise(PyExc_SystemError, "expected a contiguous float64 array");
        }
        check_doubles(static_cast<const double*>(buf.data()), n);
    }
    Ref asarray = py::getattr(S().cp, "asarray");
    Ref floats_gpu = py::call(asarray.get(), host_float64);
    Ref out = dev_empty(n);
    launch_1d(KernelId::fp_from_double_kernel, n,
              {LaunchArg::in(floats_gpu.get(), n, sizeof(double)), LaunchArg::out(out.get()), LaunchArg::i32(n)});
    return out;
}

Ref upload_records(const fp_t* records, Py_ssize_t n) {
    Ref out = dev_empty(n);
    if (n > 0) {
        Ref data = py::getattr(out.get(), "data");
        Ref ptr = py::check(PyLong_FromVoidPtr(const_cast<fp_t*>(records)));
        Ref nbytes = py::from_ssize(n * kRecordBytes);
        py::call_method(data.get(), "copy_from_host", ptr.get(), nbytes.get());
    }
    return out;
}

Ref download(PyObject* dev) { return py::call_method(dev, "get"); }

void read_records(PyObject* dev, std::vector<fp_t>& out) {
    Ref host = download(dev);
    const Py_ssize_t n = py::length(host.get());
    Buffer buf(host.get(), false);
    if (buf.bytes() != n * kRecordBytes) py::raise(PyExc_TypeError, "expected an array of FixedPoint records");
    out.resize(n);
    if (n) std::memcpy(out.data(), buf.data(), n * kRecordBytes);
}

Ref concat_records(PyObject* arrays) {
    Ref seq = py::check(PySequence_Fast(arrays, "expected a sequence of record arrays"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref pieces = py::check(PyList_New(n));
    Ref u8 = py::getattr(S().cp, "uint8");
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* arr = PySequence_Fast_GET_ITEM(seq.get(), i);
        PyList_SET_ITEM(pieces.get(), i, py::call_method(arr, "view", u8.get()).release());
    }
    Ref concatenate = py::getattr(S().cp, "concatenate");
    Ref joined = py::call(concatenate.get(), pieces.get());
    return py::call_method(joined.get(), "view", S().dtype);
}

void copy_record(PyObject* dst, Py_ssize_t i, PyObject* src, Py_ssize_t j) {
    backend().copy(dst, i * kRecordBytes, src, j * kRecordBytes, kRecordBytes);
}

Ref copy_records(PyObject* arr) {
    Ref ndim = py::getattr(arr, "ndim");
    Ref dtype = py::getattr(arr, "dtype");
    // A 0-d array becomes a one-element 1-D copy.
    const Py_ssize_t n = py::as_ssize(ndim.get()) == 0 ? 1 : py::length(arr);
    Ref out = dev_empty(n, dtype.get());
    if (n == 0) return out;
    Ref flags = py::getattr(arr, "flags");
    Ref contiguous = py::getattr(flags.get(), "c_contiguous");
    if (py::truthy(contiguous.get())) {
        // One device-to-device copy of the bytes: no per-record work, and no
        // reliance on the array library's support for record dtypes.
        Ref nbytes = py::getattr(arr, "nbytes");
        backend().copy(out.get(), 0, arr, 0, py::as_ssize(nbytes.get()));
        return out;
    }
    // A strided view (a[::2], a[::-1]): one gather kernel with the byte
    // stride.  Device arrays are not sequences, so there is no per-record
    // assignment to fall back on.
    Ref strides = py::getattr(arr, "strides");
    if (py::length(strides.get()) != 1) py::raise(PyExc_ValueError, "_copy_arr needs a one-dimensional array");
    Ref itemsize = py::getattr(arr, "itemsize");
    const Py_ssize_t stride = py::as_ssize(Ref::check(PySequence_GetItem(strides.get(), 0)).get());
    if (py::as_ssize(itemsize.get()) != kRecordBytes || stride % 8 != 0) {
        py::raise(PyExc_ValueError, "_copy_arr needs an array of FixedPoint records");
    }
    launch_1d(KernelId::fp_copy_strided_kernel, n,
              {LaunchArg::out(arr), LaunchArg::out(out.get()), LaunchArg::i64(stride), LaunchArg::i32(n)});
    return out;
}

// ---------------------------------------------------------------------------
// Module functions.

namespace {

Ref new_host_records(Py_ssize_t n) {
    Ref zeros = py::getattr(S().np, "zeros");
    Ref count = py::from_ssize(n);
    return call_with_dtype(zeros.get(), count.get(), S().dtype);
}

Ref fn_get_kernel(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    auto [name] = parse_args("_get_kernel", names, 1, args, nargs, kwnames);
    return call_global("_get_cubin_kernel", name);
}

Ref fn_grid(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n"};
    auto [n] = parse_args("_grid", names, 1, args, nargs, kwnames);
    // (n + BLOCK_SIZE - 1) // BLOCK_SIZE on whatever number n is.
    Ref bs = py::from_long(kBlockSize), bs1 = py::from_long(kBlockSize - 1);
    Ref t = py::check(PyNumber_Add(n, bs1.get()));
    return py::check(PyNumber_FloorDivide(t.get(), bs.get()));
}

Ref fn_value_to_fp(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"val"};
    auto [val] = parse_args("_value_to_fp", names, 1, args, nargs, kwnames);
    fp_t rec{};
    value_to_record(val, rec);
    Ref arr = new_host_records(1);
    {
        Buffer buf(arr.get(), true);
        std::memcpy(buf.data(), &rec, sizeof rec);
    }
    return py::check(PySequence_GetItem(arr.get(), 0));
}

uint64_t field_u64(PyObject* rec, const char* field) {
    Ref key = py::from_str(field);
    Ref v = py::check(PyObject_GetItem(rec, key.get()));
    Ref i = py::check(PyNumber_Long(v.get()));
    const uint64_t r = PyLong_AsUnsignedLongLong(i.get());
    if (r == static_cast<uint64_t>(-1) && PyErr_Occurred()) py::fail();
    return r;
}

Ref fn_fp_to_value(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"arr"};
    auto [arr] = parse_args("_fp_to_value", names, 1, args, nargs, kwnames);
    fp_t rec{};
    for (int i = 0; i < kLimbs; ++i) {
        const std::string field = "limb" + std::to_string(i);
        rec.limb[i] = field_u64(arr, field.c_str());
    }
    Ref key = py::from_str("sign");
    Ref sv = py::check(PyObject_GetItem(arr, key.get()));
    const long long s = arg_long(sv.get(), "sign");
    if (s < INT32_MIN || s > INT32_MAX) {
        Ref m = uint_from_limbs(rec.limb), sign = py::from_long(s);
        Ref num = py::check(PyNumber_Multiply(sign.get(), m.get()));
        return py::call(S().Fraction, num.get(), S().scale);
    }
    rec.sign = static_cast<int32_t>(s);
    return record_to_fraction(rec);
}

Ref fn_int_to_limbs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"val"};
    auto [val] = parse_args("_int_to_limbs", names, 1, args, nargs, kwnames);
    Ref v = arg_int(val, "val");
    Ref mag = py::check(PyNumber_Absolute(v.get()));
    uint64_t limbs[kLimbs];
    // The low 512 bits of |val|; higher bits are dropped by design.
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(mag.get()), reinterpret_cast<unsigned char*>(limbs),
                            sizeof limbs, 1, 0) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) py::fail();
        PyErr_Clear();
        Ref mask = py::check(PyNumber_Subtract(py::check(PyNumber_Lshift(py::from_long(1).get(),
                                                                         py::from_long(kMagBits).get()))
                                                   .get(),
                                               py::from_long(1).get()));
        Ref low = py::check(PyNumber_And(mag.get(), mask.get()));
        if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(low.get()), reinterpret_cast<unsigned char*>(limbs),
                                sizeof limbs, 1, 0) < 0)
            py::fail();
    }
    Ref bytes = py::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(limbs), sizeof limbs));
    Ref frombuffer = py::getattr(S().np, "frombuffer");
    Ref view = py::call(frombuffer.get(), bytes.get(), S().np_uint64);
    return py::call_method(view.get(), "copy");
}

Ref fn_limbs_to_int(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"limbs"};
    auto [limbs] = parse_args("_limbs_to_int", names, 1, args, nargs, kwnames);
    Ref result = py::from_long(0);
    Ref shift = py::from_long(64);
    for (Py_ssize_t i = kLimbs - 1; i >= 0; --i) {
        Ref item = py::check(PySequence_GetItem(limbs, i));
        Ref v = py::check(PyNumber_Long(item.get()));
        Ref shifted = py::check(PyNumber_Lshift(result.get(), shift.get()));
        result = py::check(PyNumber_Or(shifted.get(), v.get()));
    }
    return result;
}

Ref fn_copy_arr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"arr"};
    auto [arr] = parse_args("_copy_arr", names, 1, args, nargs, kwnames);
    return copy_records(arr);
}

bool fast_path_leaf(PyObject* v) {
    return PyLong_Check(v) || PyFloat_Check(v) || py::isinstance(v, S().np_floating) ||
           py::isinstance(v, S().np_integer);
}

// After NumPy refused the fast path's list: the TypeError naming the first
// element that is not a real number, where there is one (NumPy's own error
// stays otherwise).
void locate_unconvertible(PyObject* values) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        PyObject* item = PyList_GET_ITEM(values, i);
        if (fast_path_leaf(item)) continue;
        Ref f = Ref::steal(item == Py_None ? nullptr : PyNumber_Float(item));
        if (f) continue;
        PyErr_Clear();
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        py::raisef(PyExc_TypeError, "cannot convert a value of type '%.200s' to FixedPoint (element %zd of the input)",
                   Py_TYPE(item)->tp_name, i);
    }
    PyErr_Restore(type, value, tb);
    py::fail();
}

Ref fn_to_gpu(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"values"};
    auto [values] = parse_args("to_gpu", names, 1, args, nargs, kwnames);
    arg_exact(values, &PyList_Type, "values", "list");
    const Py_ssize_t n = PyList_GET_SIZE(values);
    if (n > 0 && fast_path_leaf(PyList_GET_ITEM(values, 0))) {
        // Every element becomes a double here, as the fast path promises.
        check_fits(n, 8 + kRecordBytes);
        Ref asarray = py::getattr(S().np, "asarray");
        Ref arr;
        try {
            arr = call_with_dtype(asarray.get(), values, S().np_float64);
        } catch (const py::Error&) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
                locate_unconvertible(values);
            }
            throw;
        }
        Ref flat = py::call_method(arr.get(), "ravel");
        {
            Buffer buf(flat.get(), false);
            const double* x = static_cast<const double*>(buf.data());
            const Py_ssize_t count = std::min(n, py::length(flat.get()));
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (std::fabs(x[i]) < 0x1p256) continue;
                PyObject* item = i < PyList_GET_SIZE(values) ? PyList_GET_ITEM(values, i) : Py_None;
                // NumPy reads None as NaN: a wrong type, not a NaN.
                if (item == Py_None) locate_unconvertible(values);
                try {
                    check_doubles(x + i, 1);
                } catch (const py::Error&) {
                    annotate_element(i, item);
                    throw;
                }
            }
        }
        return upload_doubles(flat.get());
    }
    std::vector<fp_t> recs(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        // The list may change under a conversion that runs Python code.
        if (i >= PyList_GET_SIZE(values)) py::raise(PyExc_RuntimeError, "list changed size during conversion");
        Ref item = Ref::borrow(PyList_GET_ITEM(values, i));
        try {
            value_to_record(item.get(), recs[i]);
        } catch (const py::Error&) {
            annotate_element(i, item.get());
            throw;
        }
    }
    return upload_records(recs.data(), n);
}

Ref fn_from_gpu(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"gpu_arr", "as_float"};
    auto [arr, as_float] = parse_args("from_gpu", names, 1, args, nargs, kwnames);
    const Py_ssize_t n = py::length(arr);
    if ((!as_float || py::truthy(as_float)) && n > 0) {
        Ref out = dev_empty(n, S().np_float64);
        launch_1d(KernelId::fp_to_double_kernel, n, {LaunchArg::in(arr, n), LaunchArg::out(out.get()), LaunchArg::i32(n)});
        Ref host = download(out.get());
        return py::call_method(host.get(), "tolist");
    }
    std::vector<fp_t> recs;
    read_records(arr, recs);
    Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(recs.size())));
    for (size_t i = 0; i < recs.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record_to_fraction(recs[i]).release());
    }
    return list;
}

PyMethodDef core_methods[] = {
    method<fn_get_kernel>("_get_kernel", "_get_kernel($module, /, name)\n--\n\nGet kernel by name."),
    method<fn_grid>("_grid", "_grid($module, /, n)\n--\n\nGrid size."),
    method<fn_value_to_fp>("_value_to_fp", "_value_to_fp($module, /, val)\n--\n\nConvert Python value to FixedPoint."),
    method<fn_fp_to_value>("_fp_to_value",
                           "_fp_to_value($module, /, arr)\n--\n\nConvert FixedPoint to Python Fraction."),
    method<fn_int_to_limbs>("_int_to_limbs", "_int_to_limbs($module, /, val)\n--\n\nConvert int to limbs."),
    method<fn_limbs_to_int>("_limbs_to_int", "_limbs_to_int($module, /, limbs)\n--\n\nConvert limbs to int."),
    method<fn_copy_arr>("_copy_arr", "_copy_arr($module, /, arr)\n--\n\nCopy structured array (CuPy workaround)."),
    method<fn_to_gpu>("to_gpu", "to_gpu($module, /, values)\n--\n\n"
                                "Convert list to GPU array - uses GPU kernel for fast exact conversion."),
    method<fn_from_gpu>("from_gpu", "from_gpu($module, /, gpu_arr, as_float=True)\n--\n\n"
                                    "Convert GPU array back to Python list."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_core(PyObject* m) { add_functions(m, core_methods); }

}  // namespace zel
