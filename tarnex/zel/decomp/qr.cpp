// qr: Householder QR (Golub & Van Loan, Algorithm 5.2.1, reflector scaled to
// unit length) whose result is defined by exact rational arithmetic, with the
// two norms of each step taken as the libm pow(x, 0.5) of the nearest double
// and brought back as the closest fraction with denominator at most 10^15.
//
// The exact rationals triple in size with every step (R <- R - 2v(vᵀR) is
// cubic in the previous entries), so a 16 x 16 matrix would need numbers of
// a billion bits.  The same doubles are obtained from ball arithmetic: each
// value is a p-bit dyadic midpoint with a rigorous error radius, exact values
// keep radius 0, and every decision the exact algorithm takes (a zero test,
// a sign, the nearest double of a norm or of an output) is made only when
// the whole ball decides it.  Otherwise the factorisation is repeated at a
// higher precision, and in the end in exact rationals on GMP.
#include <algorithm>
#include <cmath>

#include "../core/gmp.hpp"
#include "host.hpp"

namespace zel::decomp {
namespace {

// Thrown when an enclosure is too wide to decide what the exact value would.
struct Undecided {};

// Fraction(x ** 0.5).limit_denominator(10**15) for the double x = float(q).
// pow with exponent 0.5 is what the interpreter's float power calls; it may
// differ from a correctly rounded sqrt in the last bit, so sqrt will not do.
void rounded_root(mpq_ptr out, double x, mpz_srcptr bound) {
    const double root = std::pow(x, 0.5);
    Mpq exact;
    mpq_set_d(exact.v, root);
    limit_denominator(out, exact.v, bound);
}

void check_finite(double x) {
    if (std::isnan(x)) py::raise(PyExc_ValueError, "cannot convert NaN to integer ratio");
    if (std::isinf(x)) py::raise(PyExc_OverflowError, "cannot convert Infinity to integer ratio");
}

// --- exact rationals ----------------------------------------------------------

struct ExactArith {
    using Num = Mpq;
    static void from_double(Mpq& o, double x) { mpq_set_d(o.v, x); }
    static void from_ratio(Mpq& o, mpq_srcptr r) { mpq_set(o.v, r); }
    static void set(Mpq& o, const Mpq& a) { mpq_set(o.v, a.v); }
    static void set_si(Mpq& o, long v) { mpq_set_si(o.v, v, 1); }
    static void add(Mpq& o, const Mpq& a, const Mpq& b) { mpq_add(o.v, a.v, b.v); }
    static void sub(Mpq& o, const Mpq& a, const Mpq& b) { mpq_sub(o.v, a.v, b.v); }
    static void mul(Mpq& o, const Mpq& a, const Mpq& b) { mpq_mul(o.v, a.v, b.v); }
    static void twice(Mpq& o, const Mpq& a) { mpq_mul_2exp(o.v, a.v, 1); }
    static void div_ratio(Mpq& o, const Mpq& a, mpq_srcptr r) {
        Mpq rr;
        mpq_set(rr.v, r);
        mpq_div(o.v, a.v, rr.v);
    }
    static int sign(const Mpq& a) { return mpq_sgn(a.v); }
    static double to_double(const Mpq& a) { return mpq_to_double_exact(a.v); }
};

// --- balls ----------------------------------------------------------------------

double up(double x) { return std::nextafter(x, HUGE_VAL); }

// An upper bound m·2^e on an error, m = 0 or 0.5 <= m < 1; every operation
// rounds upwards, and the separate exponent never underflows.
struct Rad {
    double m = 0;
    long e = 0;
    bool zero() const { return m == 0; }
};

Rad rad_norm(double m, long e) {
    if (m == 0) return {};
    int k = 0;
    const double f = std::frexp(m, &k);
    return {f, e + k};
}

Rad rad_add(Rad a, Rad b) {
    if (a.zero()) return b;
    if (b.zero()) return a;
    if (a.e < b.e) std::swap(a, b);
    const long d = a.e - b.e;
    // For d >= 53 the addend is below one unit of a.m; the final step up
    // covers it even when ldexp has rounded it down or to zero.
    const double s = d > 1100 ? a.m : a.m + std::ldexp(b.m, static_cast<int>(-d));
    return rad_norm(up(s), a.e);
}

Rad rad_mul(Rad a, Rad b) {
    if (a.zero() || b.zero()) return {};
    return rad_norm(up(a.m * b.m), a.e + b.e);
}

Rad rad_pow2(long e) { return {0.5, e + 1}; }

// |z|·2^e rounded up.
Rad rad_of(mpz_srcptr z, long e) {
    if (mpz_sgn(z) == 0) return {};
    long k = 0;
    const double d = mpz_get_d_2exp(&k, z);  // truncated: 0.5 <= |d| < 1
    return rad_norm(up(std::fabs(d)), k + e);
}

// r / |z| rounded up, for z != 0.
Rad rad_div(Rad r, mpz_srcptr z) {
    if (r.zero()) return {};
    long k = 0;
    const double d = std::fabs(mpz_get_d_2exp(&k, z));  // a lower bound on |z|·2^-k
    return rad_norm(up(r.m / d), r.e - k);
}

void rad_to_mpq(mpq_ptr q, Rad r) {
    mpq_set_d(q, r.m);
    if (r.e >= 0) mpq_mul_2exp(q, q, static_cast<mp_bitcnt_t>(r.e));
    else mpq_div_2exp(q, q, static_cast<mp_bitcnt_t>(-r.e));
}

// The exact value lies within rad of man·2^exp.
struct Ball {
    Mpz man;
    long exp = 0;
    Rad rad;
};

class BallArith {
public:
    using Num = Ball;
    explicit BallArith(long precision) : p_(precision) {}

    void from_double(Ball& o, double x) const {
        int k = 0;
        const double f = std::frexp(x, &k);
        mpz_set_d(o.man.v, std::ldexp(f, 53));  // exact: 53 significant bits
        o.exp = k - 53;
        o.rad = {};
        normalize(o);
    }
    void from_ratio(Ball& o, mpq_srcptr r) {
        mpz_srcptr num = mpq_numref(r), den = mpq_denref(r);
        const long s = std::max<long>(0, p_ + 2 + bits(den) - bits(num));
        mpz_mul_2exp(t_.v, num, static_cast<mp_bitcnt_t>(s));
        mpz_tdiv_qr(o.man.v, rem_.v, t_.v, den);
        o.exp = -s;
        o.rad = mpz_sgn(rem_.v) ? rad_pow2(o.exp) : Rad{};
        normalize(o);
    }
    void set(Ball& o, const Ball& a) const {
        if (&o == &a) return;
        mpz_set(o.man.v, a.man.v);
        o.exp = a.exp;
        o.rad = a.rad;
    }
    void set_si(Ball& o, long v) const {
        mpz_set_si(o.man.v, v);
        o.exp = 0;
        o.rad = {};
    }
    void add(Ball& o, const Ball& a, const Ball& b) { combine(o, a, b, false); }
    void sub(Ball& o, const Ball& a, const Ball& b) { combine(o, a, b, true); }
    void mul(Ball& o, const Ball& a, const Ball& b) {
        const Rad r = rad_add(rad_add(rad_mul(mag(a), b.rad), rad_mul(mag(b), a.rad)), rad_mul(a.rad, b.rad));
        mpz_mul(o.man.v, a.man.v, b.man.v);
        o.exp = a.exp + b.exp;
        o.rad = r;
        normalize(o);
    }
    void twice(Ball& o, const Ball& a) const {
        set(o, a);
        o.exp += 1;
        if (!o.rad.zero()) o.rad.e += 1;
    }
    // a / r for a positive rational r = c/d: a·d exactly, then the division
    // by c truncated to p bits.
    void div_ratio(Ball& o, const Ball& a, mpq_srcptr r) {
        mpz_srcptr c = mpq_numref(r), d = mpq_denref(r);
        const Rad carried = rad_div(rad_mul(a.rad, rad_of(d, 0)), c);
        mpz_mul(t_.v, a.man.v, d);
        const long s = std::max<long>(0, p_ + 2 + bits(c) - bits(t_.v));
        mpz_mul_2exp(t_.v, t_.v, static_cast<mp_bitcnt_t>(s));
        mpz_tdiv_qr(o.man.v, rem_.v, t_.v, c);
        o.exp = a.exp - s;
        o.rad = mpz_sgn(rem_.v) ? rad_add(carried, rad_pow2(o.exp)) : carried;
        normalize(o);
    }
    // -1, 0 or 1 when the ball decides the sign (0 only for an exact zero).
    int sign(const Ball& a) {
        if (a.rad.zero()) return mpz_sgn(a.man.v);
        if (mpz_sgn(a.man.v) == 0) throw Undecided{};
        mid_abs(q1_.v, a);
        rad_to_mpq(q2_.v, a.rad);
        if (mpq_cmp(q1_.v, q2_.v) <= 0) throw Undecided{};
        return mpz_sgn(a.man.v);
    }
    // The double nearest the exact value, when every point of the ball rounds
    // to it.  Both zeros give the same record, so a ball inside the interval
    // that rounds to ±0 decides 0.0.
    double to_double(const Ball& a) {
        mid_signed(q1_.v, a);
        const double d = mpq_to_double_exact(q1_.v);
        if (a.rad.zero()) return d;
        const double m = std::fabs(d);
        if (m > 1e300) throw Undecided{};
        mpq_abs(q1_.v, q1_.v);
        rad_to_mpq(q2_.v, a.rad);
        mpq_add(q3_.v, q1_.v, q2_.v);  // largest |x| in the ball
        if (m == 0) {
            mpq_set_ui(q4_.v, 1, 1);
            mpq_div_2exp(q4_.v, q4_.v, 1075);
            if (mpq_cmp(q3_.v, q4_.v) >= 0) throw Undecided{};
            return 0.0;
        }
        half_way(q4_.v, m, std::nextafter(m, HUGE_VAL));
        if (mpq_cmp(q3_.v, q4_.v) >= 0) throw Undecided{};
        mpq_sub(q3_.v, q1_.v, q2_.v);  // smallest |x| in the ball
        half_way(q4_.v, m, std::nextafter(m, 0.0));
        if (mpq_cmp(q3_.v, q4_.v) <= 0) throw Undecided{};
        return d;
    }

private:
    static long bits(mpz_srcptr z) { return static_cast<long>(mpz_sizeinbase(z, 2)); }
    static Rad mag(const Ball& a) { return rad_of(a.man.v, a.exp); }

    static void mid_signed(mpq_ptr q, const Ball& a) {
        mpq_set_z(q, a.man.v);
        if (a.exp >= 0) mpq_mul_2exp(q, q, static_cast<mp_bitcnt_t>(a.exp));
        else mpq_div_2exp(q, q, static_cast<mp_bitcnt_t>(-a.exp));
    }
    static void mid_abs(mpq_ptr q, const Ball& a) {
        mid_signed(q, a);
        mpq_abs(q, q);
    }
    void half_way(mpq_ptr q, double a, double b) {
        mpq_set_d(q, a);
        mpq_set_d(q5_.v, b);
        mpq_add(q, q, q5_.v);
        mpq_div_2exp(q, q, 1);
    }

    // Keeps at most p significant bits, truncating; the dropped part, below
    // one unit of the new last place, goes into the radius.
    void normalize(Ball& o) const {
        if (mpz_sgn(o.man.v) == 0) {
            o.exp = 0;
            return;
        }
        const long b = bits(o.man.v);
        if (b <= p_) return;
        const long k = b - p_;
        const bool inexact = static_cast<long>(mpz_scan1(o.man.v, 0)) < k;
        mpz_tdiv_q_2exp(o.man.v, o.man.v, static_cast<mp_bitcnt_t>(k));
        o.exp += k;
        if (inexact) o.rad = rad_add(o.rad, rad_pow2(o.exp));
    }

    void combine(Ball& o, const Ball& a, const Ball& b, bool minus) {
        const Rad r = rad_add(a.rad, b.rad);
        if (mpz_sgn(b.man.v) == 0) {
            set(o, a);
            o.rad = r;
            return;
        }
        if (mpz_sgn(a.man.v) == 0) {
            set(o, b);
            if (minus) mpz_neg(o.man.v, o.man.v);
            o.rad = r;
            return;
        }
        // An addend wholly below the other's last place only widens the ball.
        const long ta = a.exp + bits(a.man.v), tb = b.exp + bits(b.man.v);
        if (tb < ta - p_ - 2) {
            const Rad small = mag(b);
            set(o, a);
            o.rad = rad_add(r, small);
            return;
        }
        if (ta < tb - p_ - 2) {
            const Rad small = mag(a);
            set(o, b);
            if (minus) mpz_neg(o.man.v, o.man.v);
            o.rad = rad_add(r, small);
            return;
        }
        const long e = std::min(a.exp, b.exp);
        mpz_mul_2exp(t_.v, a.man.v, static_cast<mp_bitcnt_t>(a.exp - e));
        mpz_mul_2exp(u_.v, b.man.v, static_cast<mp_bitcnt_t>(b.exp - e));
        if (minus) mpz_sub(o.man.v, t_.v, u_.v);
        else mpz_add(o.man.v, t_.v, u_.v);
        o.exp = e;
        o.rad = r;
        normalize(o);
    }

    long p_;
    Mpz t_, u_, rem_;
    Mpq q1_, q2_, q3_, q4_, q5_;
};

// --- the factorisation ------------------------------------------------------------

// Q (m x m) and R (m x n) as doubles, from the m x n input doubles `a`.
template <class Arith>
void householder(Arith& ar, Py_ssize_t m, Py_ssize_t n, const std::vector<double>& a, std::vector<double>& q_out,
                 std::vector<double>& r_out) {
    using Num = typename Arith::Num;
    std::vector<Num> R(static_cast<size_t>(m * n)), Q(static_cast<size_t>(m * m));
    for (Py_ssize_t i = 0; i < m * n; ++i) ar.from_double(R[i], a[i]);
    for (Py_ssize_t i = 0; i < m * m; ++i) ar.set_si(Q[i], 0);
    for (Py_ssize_t i = 0; i < m; ++i) ar.set_si(Q[i * m + i], 1);
    auto r = [&](Py_ssize_t i, Py_ssize_t k) -> Num& { return R[i * n + k]; };
    auto q = [&](Py_ssize_t i, Py_ssize_t k) -> Num& { return Q[i * m + k]; };

    Mpz bound;
    mpz_ui_pow_ui(bound.v, 10, 15);
    Mpq norm;
    Num norm_sq, t, nx;
    std::vector<Num> x(m), w(m), vTR(n), Qv(m);
    const Py_ssize_t steps = std::min(m - 1, n);
    for (Py_ssize_t j = 0; j < steps; ++j) {
        poll_interrupt();
        const Py_ssize_t len = m - j;
        ar.set_si(norm_sq, 0);
        for (Py_ssize_t i = 0; i < len; ++i) {
            ar.set(x[i], r(j + i, j));
            ar.mul(t, x[i], x[i]);
            ar.add(norm_sq, norm_sq, t);
        }
        if (ar.sign(norm_sq) == 0) continue;
        rounded_root(norm.v, ar.to_double(norm_sq), bound.v);
        ar.from_ratio(nx, norm.v);
        // Reflect x onto -sign(x0)·|x| e1, adding rather than cancelling.
        if (ar.sign(x[0]) >= 0) ar.add(x[0], x[0], nx);
        else ar.sub(x[0], x[0], nx);
        ar.set_si(norm_sq, 0);
        for (Py_ssize_t i = 0; i < len; ++i) {
            ar.mul(t, x[i], x[i]);
            ar.add(norm_sq, norm_sq, t);
        }
        if (ar.sign(norm_sq) == 0) continue;
        rounded_root(norm.v, ar.to_double(norm_sq), bound.v);
        // A norm below the bound's resolution rounds to 0; the column is then
        // left as it is, like a zero column, instead of dividing by zero.
        if (mpq_sgn(norm.v) == 0) continue;
        // v = x / |x|; w = 2v carries the reflector's factor 2 once.
        for (Py_ssize_t i = 0; i < len; ++i) {
            ar.div_ratio(x[i], x[i], norm.v);
            ar.twice(w[i], x[i]);
        }

        // R <- (I - 2vvᵀ) R on rows j.., columns j..
        for (Py_ssize_t k = j; k < n; ++k) {
            poll_interrupt();
            Num& acc = vTR[k - j];
            ar.set_si(acc, 0);
            for (Py_ssize_t i = 0; i < len; ++i) {
                ar.mul(t, x[i], r(j + i, k));
                ar.add(acc, acc, t);
            }
        }
        for (Py_ssize_t i = 0; i < len; ++i) {
            for (Py_ssize_t k = j; k < n; ++k) {
                ar.mul(t, w[i], vTR[k - j]);
                ar.sub(r(j + i, k), r(j + i, k), t);
            }
        }
        // Q <- Q (I - 2vvᵀ) on columns j..
        for (Py_ssize_t i = 0; i < m; ++i) {
            poll_interrupt();
            Num& acc = Qv[i];
            ar.set_si(acc, 0);
            for (Py_ssize_t k = 0; k < len; ++k) {
                ar.mul(t, q(i, j + k), x[k]);
                ar.add(acc, acc, t);
            }
            ar.twice(acc, acc);
        }
        for (Py_ssize_t i = 0; i < m; ++i) {
            for (Py_ssize_t k = 0; k < len; ++k) {
                ar.mul(t, Qv[i], x[k]);
                ar.sub(q(i, j + k), q(i, j + k), t);
            }
        }
    }

    q_out.resize(Q.size());
    r_out.resize(R.size());
    for (size_t i = 0; i < Q.size(); ++i) q_out[i] = ar.to_double(Q[i]);
    for (size_t i = 0; i < R.size(); ++i) r_out[i] = ar.to_double(R[i]);
}

// Working precisions tried before exact arithmetic.  The first suffices
// unless the entries span a wide range of magnitudes or an exact zero arises
// from cancellation.
constexpr long kPrecisions[] = {192, 768, 3072};

Ref fn_qr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A"};
    auto [A] = parse_args("qr", names, 1, args, nargs, kwnames);
    const std::vector<Py_ssize_t> dims = checked_dims(A);
    if (dims.size() != 2) py::raise(PyExc_ValueError, "qr requires 2D matrix");
    const Py_ssize_t m = dims[0], n = dims[1];
    // Q is m x m whatever n is.
    check_fits(shape_count({m, m}), 8 + kRecordBytes);

    const std::vector<double> a = read_doubles(A, m * n);
    for (double v : a) check_finite(v);
    std::vector<double> q_flat, r_flat;
    {
        NoGil unlocked;
        bool done = false;
        for (long p : kPrecisions) {
            try {
                BallArith ar(p);
                householder(ar, m, n, a, q_flat, r_flat);
                done = true;
                break;
            } catch (const Undecided&) {
            }
        }
        if (!done) {
            ExactArith ar;
            householder(ar, m, n, a, q_flat, r_flat);
        }
    }
    Ref Qt = matrix_tensor(q_flat, dims[0], dims[0]);
    Ref Rt = matrix_tensor(r_flat, dims[0], dims[1]);
    return py::tuple(std::move(Qt), std::move(Rt));
}

}  // namespace

PyMethodDef qr_methods[] = {
    method<fn_qr>("qr", "qr($module, /, A)\n--\n\n"
                        "QR decomposition by Householder reflections, computed in exact rationals.\n\n"
                        "Returns (Q, R) with Q of shape (m, m) orthogonal and R of shape (m, n)\n"
                        "upper triangular up to rounding; both pass through doubles."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zel::decomp
