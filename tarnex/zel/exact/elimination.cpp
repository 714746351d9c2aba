// Exact elimination on integer matrices: records read as scaled integers,
// fraction-free Gauss-Jordan (Bareiss) for the echelon form, fraction-free
// Doolittle LU, the inverse through a certified numerical refinement with
// the exact Gauss-Jordan as its fallback, and linear systems by iterative
// refinement with exact residuals, which also yields the determinant's
// large divisor.  Results leave as doubles or as records (the floor rule).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include <immintrin.h>

#include "../core/convert.hpp"
#include "../core/cpu.hpp"
#include "../core/interrupt.hpp"
#include "matrix.hpp"

namespace zel::exact {

void record_scaled(mpz_ptr z, const fp_t& r) {
    mpz_import(z, kLimbs, -1, sizeof(uint64_t), 0, 0, r.limb);
    if (r.sign == -1) {
        mpz_neg(z, z);
    } else if (r.sign != 1) {
        mpz_mul_si(z, z, r.sign);
    }
}

ScaledMatrix from_records(const fp_t* recs, Py_ssize_t rows, Py_ssize_t cols, bool per_row) {
    ScaledMatrix m{IntMatrix(rows, cols), std::vector<long>(static_cast<size_t>(rows), kFracBits)};
    for (size_t i = 0; i < m.c.a.size(); ++i) record_scaled(m.c.a[i].v, recs[i]);
    auto common_twos = [&](Py_ssize_t r0, Py_ssize_t r1) {
        mp_bitcnt_t t = ~mp_bitcnt_t(0);
        for (Py_ssize_t i = r0; i < r1; ++i) {
            for (Py_ssize_t j = 0; j < cols; ++j) {
                if (mpz_sgn(m.c.at(i, j))) t = std::min(t, mpz_scan1(m.c.at(i, j), 0));
            }
        }
        if (t == ~mp_bitcnt_t(0) || t == 0) return;
        for (Py_ssize_t i = r0; i < r1; ++i) {
            for (Py_ssize_t j = 0; j < cols; ++j) mpz_tdiv_q_2exp(m.c.at(i, j), m.c.at(i, j), t);
            m.exp[static_cast<size_t>(i)] -= static_cast<long>(t);
        }
    };
    if (per_row) {
        for (Py_ssize_t i = 0; i < rows; ++i) common_twos(i, i + 1);
    } else {
        common_twos(0, rows);
    }
    return m;
}

namespace {

// q = num * 2^e2 / den, the sign carried by the numerator.  The conversion
// reads the quotient, not the representation, so q need not be in lowest
// terms.
void scaled_ratio(Mpq& q, mpz_srcptr num, mpz_srcptr den, long e2) {
    mpz_set(mpq_numref(q.v), num);
    mpz_set(mpq_denref(q.v), den);
    if (e2 > 0) mpz_mul_2exp(mpq_numref(q.v), mpq_numref(q.v), static_cast<mp_bitcnt_t>(e2));
    if (e2 < 0) mpz_mul_2exp(mpq_denref(q.v), mpq_denref(q.v), static_cast<mp_bitcnt_t>(-e2));
    if (mpz_sgn(mpq_denref(q.v)) < 0) {
        mpz_neg(mpq_numref(q.v), mpq_numref(q.v));
        mpz_neg(mpq_denref(q.v), mpq_denref(q.v));
    }
}

}  // namespace

double ratio_to_double(mpz_srcptr num, mpz_srcptr den, long e2) {
    Mpq q;
    scaled_ratio(q, num, den, e2);
    return mpq_to_double_exact(q.v);
}

// Gauss-Jordan without fractions: after the step on column `col` with pivot
// row r, every row holds its reduced-echelon entries times the pivot, and each
// update (pivot * a_ij - a_i,col * a_rj) / previous pivot divides exactly,
// since all entries are minors of the input (Sylvester's identity).
std::vector<Py_ssize_t> rref_fraction_free(IntMatrix& c, Mpz& d, Py_ssize_t stop_before) {
    std::vector<Py_ssize_t> pivots;
    mpz_set_ui(d.v, 1);
    Mpz t;
    Py_ssize_t r = 0;
    for (Py_ssize_t col = 0; col < c.cols && r < c.rows; ++col) {
        Py_ssize_t p = r;
        while (p < c.rows && mpz_sgn(c.at(p, col)) == 0) ++p;
        if (p == c.rows) {
            if (col < stop_before) return pivots;
            continue;
        }
        if (p != r) c.swap_rows(p, r);
        mpz_srcptr pv = c.at(r, col);
        const bool unit_divisor = mpz_cmp_ui(d.v, 1) == 0;
        for (Py_ssize_t i = 0; i < c.rows; ++i) {
            if (i == r) continue;
            poll_interrupt();
            mpz_ptr e = c.at(i, col);
            const bool clear = mpz_sgn(e) != 0;
            for (Py_ssize_t j = 0; j < c.cols; ++j) {
                if (j == col) continue;
                mpz_ptr a = c.at(i, j);
                mpz_srcptr b = c.at(r, j);
                if (clear && mpz_sgn(b)) {
                    mpz_mul(t.v, pv, a);
                    mpz_submul(t.v, e, b);
                } else if (mpz_sgn(a)) {
                    mpz_mul(t.v, pv, a);
                } else {
                    continue;
                }
                if (unit_divisor) {
                    mpz_swap(a, t.v);
                } else {
                    mpz_divexact(a, t.v, d.v);
                }
            }
            mpz_set_ui(e, 0);
        }
        mpz_set(d.v, pv);
        pivots.push_back(col);
        ++r;
    }
    return pivots;
}

// Bareiss's fraction-free form of the rational Doolittle elimination: the
// working entries are a_ij / prev with one common denominator, so the
// magnitude search compares integers, L[i][k] = a_ik / a_kk and U[k][j] =
// a_kj / prev.  A column with no pivot leaves the rows and prev as they are;
// the later divisions stay exact because the entries are still minors over
// the pivots actually taken.
LuFactors lu_doolittle(IntMatrix& c, long e, bool records) {
    const Py_ssize_t n = c.rows;
    LuFactors f;
    const size_t nn = records ? 0 : static_cast<size_t>(n * n);
    f.L.assign(nn, 0.0);
    f.U.assign(nn, 0.0);
    f.Lr.assign(records ? static_cast<size_t>(n * n) : 0, zero_record());
    f.Ur = f.Lr;
    f.perm.resize(static_cast<size_t>(n));
    std::iota(f.perm.begin(), f.perm.end(), 0);
    Mpz one(1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (records) {
            ratio_to_record(f.Lr[i * n + i], one.v, one.v);
        } else {
            f.L[i * n + i] = 1.0;
        }
    }
    Mpz prev(1), t;
    for (Py_ssize_t k = 0; k < n; ++k) {
        Py_ssize_t max_row = k;
        for (Py_ssize_t i = k + 1; i < n; ++i) {
            if (mpz_cmpabs(c.at(i, k), c.at(max_row, k)) > 0) max_row = i;
        }
        if (max_row != k) {
            c.swap_rows(k, max_row);
            std::swap(f.perm[k], f.perm[max_row]);
            for (Py_ssize_t j = 0; j < k; ++j) {
                if (records) {
                    std::swap(f.Lr[k * n + j], f.Lr[max_row * n + j]);
                } else {
                    std::swap(f.L[k * n + j], f.L[max_row * n + j]);
                }
            }
        }
        for (Py_ssize_t j = k; j < n; ++j) {
            if (records) {
                ratio_to_record(f.Ur[k * n + j], c.at(k, j), prev.v, -e);
            } else {
                f.U[k * n + j] = ratio_to_double(c.at(k, j), prev.v, -e);
            }
        }
        mpz_srcptr pk = c.at(k, k);
        if (mpz_sgn(pk) == 0) continue;
        for (Py_ssize_t i = k + 1; i < n; ++i) {
            poll_interrupt();
            mpz_srcptr lik = c.at(i, k);
            if (records) {
                ratio_to_record(f.Lr[i * n + k], lik, pk);
            } else {
                f.L[i * n + k] = ratio_to_double(lik, pk);
            }
            for (Py_ssize_t j = k + 1; j < n; ++j) {
                mpz_ptr a = c.at(i, j);
                mpz_mul(t.v, pk, a);
                mpz_submul(t.v, lik, c.at(k, j));
                mpz_divexact(a, t.v, prev.v);
            }
        }
        mpz_set(prev.v, pk);
    }
    return f;
}

namespace {

// An upper bound on |z| * 2^-s as a double (0 for z = 0).
double magnitude_bound(mpz_srcptr z, long s) {
    if (mpz_sgn(z) == 0) return 0.0;
    long e = 0;
    const double d = mpz_get_d_2exp(&e, z);
    return std::ldexp(std::fabs(d) + 0x1p-52, static_cast<int>(e - s));
}

double to_double_scaled(mpz_srcptr z, long s) {
    if (mpz_sgn(z) == 0) return 0.0;
    long e = 0;
    const double d = mpz_get_d_2exp(&e, z);
    return std::ldexp(d, static_cast<int>(e - s));
}

// z = trunc(v 2^e) for a finite v, exact however large 2^e is (ldexp alone
// overflows once a refinement's scale passes 2^1023).
void set_scaled_double(mpz_ptr z, double v, long e) {
    if (v == 0.0) {
        mpz_set_ui(z, 0);
        return;
    }
    int ex = 0;
    const double m = std::frexp(v, &ex);
    mpz_set_d(z, std::ldexp(m, 53));
    const long shift = e + ex - 53;
    if (shift >= 0) {
        mpz_mul_2exp(z, z, static_cast<mp_bitcnt_t>(shift));
    } else {
        mpz_tdiv_q_2exp(z, z, static_cast<mp_bitcnt_t>(-shift));
    }
}

// float(num * 2^e2 / den) without raising: false where the quotient is too
// large for a double.
bool try_ratio_to_double(mpz_srcptr num, mpz_srcptr den, long e2, double& out) {
    Mpq q;
    scaled_ratio(q, num, den, e2);
    return mpq_to_double_checked(q.v, out);
}

// Inverse of a dense double matrix by Gauss-Jordan with partial pivoting;
// false on a zero or non-finite pivot.
bool invert_doubles(std::vector<double> a, Py_ssize_t n, std::vector<double>& inv) {
    inv.assign(static_cast<size_t>(n * n), 0.0);
    for (Py_ssize_t i = 0; i < n; ++i) inv[i * n + i] = 1.0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        poll_interrupt();
        Py_ssize_t p = k;
        for (Py_ssize_t i = k + 1; i < n; ++i) {
            if (std::fabs(a[i * n + k]) > std::fabs(a[p * n + k])) p = i;
        }
        const double pv = a[p * n + k];
        if (pv == 0.0 || !std::isfinite(pv)) return false;
        if (p != k) {
            for (Py_ssize_t j = 0; j < n; ++j) {
                std::swap(a[k * n + j], a[p * n + j]);
                std::swap(inv[k * n + j], inv[p * n + j]);
            }
        }
        const double scale = 1.0 / pv;
        for (Py_ssize_t j = 0; j < n; ++j) {
            a[k * n + j] *= scale;
            inv[k * n + j] *= scale;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            const double f = a[i * n + k];
            if (i == k || f == 0.0) continue;
            for (Py_ssize_t j = 0; j < n; ++j) {
                a[i * n + j] -= f * a[k * n + j];
                inv[i * n + j] -= f * inv[k * n + j];
            }
        }
    }
    for (double v : inv) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

// Rows of C shifted to a common bit length: G = diag(2^(gmax - g_i)) C, so
// G 2^-gmax has entries below 1 and every row one of magnitude at least 1/2.
struct Normalised {
    IntMatrix G;
    std::vector<long> g;
    long gmax = 0;
    std::vector<double> gd;  // G 2^-gmax in doubles
    // G in signed 32-bit digits, `digits` per entry, row-major: a digit
    // times a 62-bit integer stays below 2^94, so sums of up to 2^30 such
    // products fit 128-bit accumulators.
    Py_ssize_t digits = 0;
    std::vector<int64_t> gdig;
    // G again in signed 31-bit digits, [row][digit][column], for the
    // vectorised products (sums of up to 2^11 products of a digit and a
    // 21-bit piece fit 64 bits); d31 = 0 where the copy is not kept (n
    // above 2^11, or beyond 128 MiB).
    Py_ssize_t d31 = 0;
    std::vector<int64_t> g31;
};

// out = sum of acc[k] 2^(32 k) for k < D: the accumulators' carries
// propagated, then one import.
void digits_to_mpz(const __int128* acc, Py_ssize_t D, std::vector<uint32_t>& low, mpz_ptr out, Mpz& top) {
    low.resize(static_cast<size_t>(D));
    __int128 carry = 0;
    for (Py_ssize_t k = 0; k < D; ++k) {
        const __int128 v = acc[k] + carry;
        low[k] = static_cast<uint32_t>(v);
        carry = (v - static_cast<__int128>(low[k])) >> 32;
    }
    mpz_import(out, static_cast<size_t>(D), -1, sizeof(uint32_t), 0, 0, low.data());
    mpz_set_si(top.v, static_cast<long>(carry >> 64));
    mpz_mul_2exp(top.v, top.v, 64);
    mpz_add_ui(top.v, top.v, static_cast<unsigned long>(static_cast<uint64_t>(carry)));
    mpz_mul_2exp(top.v, top.v, static_cast<mp_bitcnt_t>(32 * D));
    mpz_add(out, out, top.v);
}

// False for a zero row among the first n columns (a singular C).
bool normalise(const IntMatrix& c, Py_ssize_t n, Normalised& out) {
    out.g.assign(static_cast<size_t>(n), 0);
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) {
            if (mpz_sgn(c.at(i, j))) out.g[i] = std::max(out.g[i], static_cast<long>(mpz_sizeinbase(c.at(i, j), 2)));
        }
        if (out.g[i] == 0) return false;
        out.gmax = std::max(out.gmax, out.g[i]);
    }
    out.G = IntMatrix(n, n);
    out.gd.resize(static_cast<size_t>(n * n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) {
            mpz_mul_2exp(out.G.at(i, j), c.at(i, j), static_cast<mp_bitcnt_t>(out.gmax - out.g[i]));
            out.gd[i * n + j] = to_double_scaled(out.G.at(i, j), out.gmax);
        }
    }
    out.digits = static_cast<Py_ssize_t>(out.gmax / 32 + 1);
    out.gdig.assign(static_cast<size_t>(n * n * out.digits), 0);
    std::vector<uint32_t> buf(static_cast<size_t>(out.digits + 1));
    for (Py_ssize_t e = 0; e < n * n; ++e) {
        mpz_srcptr z = out.G.a[static_cast<size_t>(e)].v;
        size_t count = 0;
        mpz_export(buf.data(), &count, -1, sizeof(uint32_t), 0, 0, z);
        const int64_t sign = mpz_sgn(z) < 0 ? -1 : 1;
        for (size_t k = 0; k < count; ++k) out.gdig[e * out.digits + k] = sign * static_cast<int64_t>(buf[k]);
    }
    out.d31 = 0;
    out.g31.clear();
    if (n <= 2048 && n * n * (out.gmax / 31 + 1) <= (Py_ssize_t{1} << 24)) {
        const Py_ssize_t d31 = out.gmax / 31 + 1;
        out.d31 = d31;
        out.g31.assign(static_cast<size_t>(n * n * d31), 0);
        buf.resize(static_cast<size_t>(d31 + 1));
        for (Py_ssize_t i = 0; i < n; ++i) {
            for (Py_ssize_t j = 0; j < n; ++j) {
                mpz_srcptr z = out.G.at(i, j);
                size_t count = 0;
                mpz_export(buf.data(), &count, -1, sizeof(uint32_t), 0, 1, z);
                const int64_t sign = mpz_sgn(z) < 0 ? -1 : 1;
                for (size_t k = 0; k < count; ++k) out.g31[(i * d31 + k) * n + j] = sign * static_cast<int64_t>(buf[k]);
            }
        }
    }
    return true;
}

// ||G|| ||X|| far beyond 2^53 (infinity norms, X the double inverse of
// G 2^-gmax) leaves no hope that ||I - X G|| < 1/2: the exact residual is
// then not worth forming.
bool hopeless(const Normalised& nm, const std::vector<double>& xd) {
    const Py_ssize_t n = nm.G.rows;
    double gn = 0.0, xn = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        double gs = 0.0, xs = 0.0;
        for (Py_ssize_t j = 0; j < n; ++j) {
            gs += std::fabs(nm.gd[i * n + j]);
            xs += std::fabs(xd[i * n + j]);
        }
        gn = std::max(gn, gs);
        xn = std::max(xn, xs);
    }
    return !(gn * xn < 0x1p60);
}

// x = the doubles xd in fixed point per row, 62 significant bits for the
// row's largest entry: X = x[i][k] * 2^-s_i.  False where a row is zero or
// beyond any useful precision.
bool fixed_rows(const std::vector<double>& xd, Py_ssize_t n, long gmax, std::vector<Mpz>& x, std::vector<long>& s) {
    x.resize(static_cast<size_t>(n * n));
    s.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        double big = 0.0;
        for (Py_ssize_t k = 0; k < n; ++k) big = std::max(big, std::fabs(xd[i * n + k]));
        if (big == 0.0) return false;
        s[i] = 61 - std::ilogb(big);
        if (s[i] + gmax < 0) return false;
        for (Py_ssize_t k = 0; k < n; ++k) mpz_set_d(x[i * n + k].v, std::ldexp(xd[i * n + k], static_cast<int>(s[i])));
    }
    return true;
}

// a_q[j] += g[j] p_q for the three pieces of one multiplier, under the
// same bounds as the pieces' dot products: at most 2^11 updates per entry.
void axpy_pieces_plain(const int64_t* g, const int64_t p[3], int64_t* a, Py_ssize_t n) {
    for (Py_ssize_t j = 0; j < n; ++j) {
        a[j] += g[j] * p[0];
        a[n + j] += g[j] * p[1];
        a[2 * n + j] += g[j] * p[2];
    }
}

__attribute__((target("avx512f"))) void axpy_pieces_v4(const int64_t* g, const int64_t p[3], int64_t* a,
                                                       Py_ssize_t n) {
    const __m512i p0 = _mm512_set1_epi64(p[0]), p1 = _mm512_set1_epi64(p[1]), p2 = _mm512_set1_epi64(p[2]);
    Py_ssize_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m512i x = _mm512_loadu_si512(g + j);
        _mm512_storeu_si512(a + j, _mm512_add_epi64(_mm512_loadu_si512(a + j), _mm512_mul_epi32(x, p0)));
        _mm512_storeu_si512(a + n + j, _mm512_add_epi64(_mm512_loadu_si512(a + n + j), _mm512_mul_epi32(x, p1)));
        _mm512_storeu_si512(a + 2 * n + j,
                            _mm512_add_epi64(_mm512_loadu_si512(a + 2 * n + j), _mm512_mul_epi32(x, p2)));
    }
    for (; j < n; ++j) {
        a[j] += g[j] * p[0];
        a[n + j] += g[j] * p[1];
        a[2 * n + j] += g[j] * p[2];
    }
}

__attribute__((target("avx2"))) void axpy_pieces_v3(const int64_t* g, const int64_t p[3], int64_t* a, Py_ssize_t n) {
    const __m256i p0 = _mm256_set1_epi64x(p[0]), p1 = _mm256_set1_epi64x(p[1]), p2 = _mm256_set1_epi64x(p[2]);
    Py_ssize_t j = 0;
    auto at = [](int64_t* q) { return reinterpret_cast<__m256i*>(q); };
    for (; j + 4 <= n; j += 4) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g + j));
        _mm256_storeu_si256(at(a + j), _mm256_add_epi64(_mm256_loadu_si256(at(a + j)), _mm256_mul_epi32(x, p0)));
        _mm256_storeu_si256(at(a + n + j),
                            _mm256_add_epi64(_mm256_loadu_si256(at(a + n + j)), _mm256_mul_epi32(x, p1)));
        _mm256_storeu_si256(at(a + 2 * n + j),
                            _mm256_add_epi64(_mm256_loadu_si256(at(a + 2 * n + j)), _mm256_mul_epi32(x, p2)));
    }
    for (; j < n; ++j) {
        a[j] += g[j] * p[0];
        a[n + j] += g[j] * p[1];
        a[2 * n + j] += g[j] * p[2];
    }
}

using AxpyPieces = void (*)(const int64_t*, const int64_t*, int64_t*, Py_ssize_t);

AxpyPieces axpy_pieces() {
    static const AxpyPieces chosen = by_cpu_level<AxpyPieces>(axpy_pieces_v4, axpy_pieces_v3, axpy_pieces_plain);
    return chosen;
}

// v = p_2 2^42 + p_1 2^21 + p_0 for |v| < 2^62: |p_2| <= 2^20, 0 <= p_0, p_1 < 2^21.
void split_pieces(int64_t v, int64_t p[3]) {
    p[0] = v & ((int64_t{1} << 21) - 1);
    p[1] = (v >> 21) & ((int64_t{1} << 21) - 1);
    p[2] = v >> 42;
}

// r = 2^(s_i + gmax) I - x G exactly, so R = I - X G 2^-gmax = r 2^-(s_i + gmax);
// rho and xnorm bound ||R|| and ||X|| from above (infinity norms, the factor
// covering the rounding of the sums).
void exact_residual(const Normalised& nm, const std::vector<Mpz>& x, const std::vector<long>& s,
                    std::vector<Mpz>& r, double& rho, double& xnorm) {
    const Py_ssize_t n = nm.G.rows;
    r.resize(static_cast<size_t>(n * n));
    Mpz unit;
    rho = 0.0;
    xnorm = 0.0;
    // x fresh from fixed_rows fits 62 bits: the products then run on G's
    // digits; finer x (after Newton steps) on GMP.
    const bool small = std::all_of(x.begin(), x.end(), [](const Mpz& z) { return mpz_sizeinbase(z.v, 2) <= 62; });
    const Py_ssize_t D = nm.digits;
    std::vector<__int128> acc(small && nm.d31 == 0 ? static_cast<size_t>(n * D) : 0);
    std::vector<int64_t> acc64(small ? static_cast<size_t>(3 * n * nm.d31) : 0);
    std::vector<__int128> wide(static_cast<size_t>(D + 2));
    const AxpyPieces apx = axpy_pieces();
    std::vector<uint32_t> low;
    Mpz top;
    for (Py_ssize_t i = 0; i < n; ++i) {
        poll_interrupt();
        Mpz* row = &r[i * n];
        if (small && nm.d31 > 0) {
            // Sums over k of 31-bit digits of G times 21-bit pieces of x_ik,
            // digit t and piece q at bit 31 t + 21 q of the entry.
            const Py_ssize_t d31 = nm.d31;
            std::fill(acc64.begin(), acc64.end(), 0);
            for (Py_ssize_t k = 0; k < n; ++k) {
                const int64_t xik = mpz_get_si(x[i * n + k].v);
                if (xik == 0) continue;
                int64_t p[3];
                split_pieces(xik, p);
                for (Py_ssize_t t = 0; t < d31; ++t) apx(&nm.g31[(k * d31 + t) * n], p, &acc64[3 * t * n], n);
            }
            for (Py_ssize_t j = 0; j < n; ++j) {
                std::fill(wide.begin(), wide.end(), 0);
                for (Py_ssize_t t = 0; t < d31; ++t) {
                    for (Py_ssize_t q = 0; q < 3; ++q) {
                        const long at = 31 * t + 21 * q;
                        wide[at / 32] += static_cast<__int128>(acc64[(3 * t + q) * n + j]) * (int64_t{1} << (at % 32));
                    }
                }
                digits_to_mpz(wide.data(), static_cast<Py_ssize_t>(wide.size()), low, row[j].v, top);
                mpz_neg(row[j].v, row[j].v);
            }
        } else if (small) {
            std::fill(acc.begin(), acc.end(), 0);
            for (Py_ssize_t k = 0; k < n; ++k) {
                const int64_t xik = mpz_get_si(x[i * n + k].v);
                if (xik == 0) continue;
                const int64_t* g = &nm.gdig[k * n * D];
                for (Py_ssize_t e = 0; e < n * D; ++e) acc[e] += static_cast<__int128>(g[e]) * xik;
            }
            for (Py_ssize_t j = 0; j < n; ++j) {
                digits_to_mpz(&acc[j * D], D, low, row[j].v, top);
                mpz_neg(row[j].v, row[j].v);
            }
        } else {
            for (Py_ssize_t j = 0; j < n; ++j) mpz_set_ui(row[j].v, 0);
            for (Py_ssize_t k = 0; k < n; ++k) {
                mpz_srcptr xik = x[i * n + k].v;
                if (mpz_sgn(xik) == 0) continue;
                for (Py_ssize_t j = 0; j < n; ++j) mpz_submul(row[j].v, xik, nm.G.at(k, j));
            }
        }
        mpz_set_ui(unit.v, 0);
        mpz_setbit(unit.v, static_cast<mp_bitcnt_t>(s[i] + nm.gmax));
        mpz_add(row[i].v, row[i].v, unit.v);
        double rs = 0.0, xs = 0.0;
        for (Py_ssize_t j = 0; j < n; ++j) {
            rs += magnitude_bound(row[j].v, s[i] + nm.gmax);
            xs += magnitude_bound(x[i * n + j].v, s[i]);
        }
        rho = std::max(rho, rs);
        xnorm = std::max(xnorm, xs);
    }
    rho *= 1.0 + 0x1p-30;
    xnorm *= 1.0 + 0x1p-30;
}

// The two ways an entry leaves the certified interval [lo, hi] * 2^e2: the
// double float() gives, or the record under the floor rule.  `settle` is
// false while the two ends round apart.
struct DoubleEntries {
    static constexpr int kMaxSteps = 8;
    std::vector<double>& out;
    Mpz one{1};
    bool settle(mpz_srcptr lo, mpz_srcptr hi, long e2, size_t k) {
        double dlo = 0.0, dhi = 0.0;
        if (!try_ratio_to_double(lo, one.v, e2, dlo) || !try_ratio_to_double(hi, one.v, e2, dhi) ||
            std::memcmp(&dlo, &dhi, sizeof dlo) != 0) {
            return false;
        }
        out[k] = dlo;
        return true;
    }
    // Any unsettled entry counts as one near a boundary.
    static bool near_boundary(mpz_srcptr, long) { return true; }
};

void floor_scaled(mpz_ptr q, mpz_srcptr z, long e2) {
    const long shift = kFracBits + e2;
    if (shift >= 0) {
        mpz_mul_2exp(q, z, static_cast<mp_bitcnt_t>(shift));
    } else {
        mpz_fdiv_q_2exp(q, z, static_cast<mp_bitcnt_t>(-shift));
    }
}

struct RecordEntries {
    // Each step gains about 50 bits; the records need up to 256 bits below
    // the point plus the entries' own magnitude.
    static constexpr int kMaxSteps = 30;
    std::vector<fp_t>& out;
    std::vector<char>* settled = nullptr;  // where given, the entries written
    Mpz a, b;
    bool settle(mpz_srcptr lo, mpz_srcptr hi, long e2, size_t k) {
        floor_scaled(a.v, lo, e2);
        floor_scaled(b.v, hi, e2);
        if (mpz_cmp(a.v, b.v) != 0) return false;
        record_from_scaled(out[k], a.v);
        if (settled) (*settled)[k] = 1;
        return true;
    }
    // An interval below 2^-8 units of the last place that still straddles a
    // grid point most likely holds the grid point itself (a dyadic entry,
    // zero among them), which no refinement settles.
    static bool near_boundary(mpz_srcptr eta, long e2) {
        return static_cast<long>(mpz_sizeinbase(eta, 2)) + 1 + e2 + kFracBits < -8;
    }
};

// The inverse by refinement with exact residuals, then a rounding
// certificate.  G is C with its rows shifted to a common bit length, and
// X = x[i][k] * 2^-(s_i + gmax) approximates G^-1.  The residual R = I - X G
// is computed exactly in integers; when ||R|| < 1 every entry of G^-1 lies
// within eta = ||R|| ||X|| / (1 - ||R||) of X (infinity norms), since
// G^-1 - X = (I - R)^-1 R X.  Newton's step X + R X squares the residual
// until the interval around each entry rounds to one value at both ends;
// then that value is the rounding of the exact entry.  False means the
// caller must compute exactly (singular, too ill-conditioned, or an entry at
// or near a rounding boundary, such as an exact zero).
template <class Entries>
bool certified_inverse(const ScaledMatrix& m, Entries entries) {
    const Py_ssize_t n = m.c.rows;
    Normalised nm;
    if (!normalise(m.c, n, nm)) return false;
    const long gmax = nm.gmax;
    std::vector<double> xd;
    if (!invert_doubles(nm.gd, n, xd) || hopeless(nm, xd)) return false;
    std::vector<Mpz> x;
    std::vector<long> s;
    if (!fixed_rows(xd, n, gmax, x, s)) return false;

    std::vector<Mpz> r;
    std::vector<double> rd(static_cast<size_t>(n * n)), delta(static_cast<size_t>(n * n));
    Mpz unit, eta, lo, hi;
    double rho_prev = INFINITY;
    int attempts = 0;
    for (int step = 0;; ++step) {
        double rho = 0.0, xnorm = 0.0;
        exact_residual(nm, x, s, r, rho, xnorm);
        if (!(rho < 0.5)) return false;

        if (rho < 0x1p-60) {
            // eta in units of 2^-gmax (X's normalised scale), rounded up.
            const double eta_n = rho * xnorm / (1.0 - rho) * (1.0 + 0x1p-30);
            bool certified = true, near = true;
            for (Py_ssize_t i = 0; i < n; ++i) {
                set_scaled_double(eta.v, eta_n, s[i]);
                mpz_add_ui(eta.v, eta.v, 1);
                for (Py_ssize_t j = 0; j < n; ++j) {
                    // A^-1 = G^-1 diag(2^(gmax - g_j + exp_j)).
                    const long e2 = gmax - nm.g[j] + m.exp[j] - (s[i] + gmax);
                    mpz_sub(lo.v, x[i * n + j].v, eta.v);
                    mpz_add(hi.v, x[i * n + j].v, eta.v);
                    if (!entries.settle(lo.v, hi.v, e2, static_cast<size_t>(i * n + j))) {
                        certified = false;
                        near = near && Entries::near_boundary(eta.v, e2);
                    }
                }
            }
            if (certified) return true;
            // One more step settles an entry that was merely close to a
            // boundary; exact zeros and ties never settle.
            if (near && ++attempts == 2) return false;
        }
        if (step == Entries::kMaxSteps || rho > rho_prev * 0x1p-8) return false;
        rho_prev = rho;

        // Newton's step X <- X + R X in doubles, kept exactly in finer fixed point.
        for (Py_ssize_t i = 0; i < n; ++i) {
            for (Py_ssize_t j = 0; j < n; ++j) {
                rd[i * n + j] = to_double_scaled(r[i * n + j].v, s[i] + gmax);
                xd[i * n + j] = to_double_scaled(x[i * n + j].v, s[i]);
            }
        }
        std::fill(delta.begin(), delta.end(), 0.0);
        for (Py_ssize_t i = 0; i < n; ++i) {
            for (Py_ssize_t k = 0; k < n; ++k) {
                const double rik = rd[i * n + k];
                if (rik == 0.0) continue;
                for (Py_ssize_t j = 0; j < n; ++j) delta[i * n + j] += rik * xd[k * n + j];
            }
        }
        const long extra = 53 + (rho > 0.0 ? std::min(60L, static_cast<long>(std::ceil(-std::log2(rho)))) : 60L);
        for (Py_ssize_t i = 0; i < n; ++i) {
            for (Py_ssize_t j = 0; j < n; ++j) {
                mpz_ptr xij = x[i * n + j].v;
                mpz_mul_2exp(xij, xij, static_cast<mp_bitcnt_t>(extra));
                set_scaled_double(unit.v, delta[i * n + j], s[i] + extra);
                mpz_add(xij, xij, unit.v);
            }
            s[i] += extra;
        }
    }
}

// C^-1 exactly: the reduced echelon form of [C | I] is [I | C^-1 d] / d.
// False when C is singular.
bool exact_inverse(const IntMatrix& c, IntMatrix& aug, Mpz& d) {
    const Py_ssize_t n = c.rows;
    aug = IntMatrix(n, 2 * n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) mpz_set(aug.at(i, j), c.at(i, j));
        mpz_set_ui(aug.at(i, n + i), 1);
    }
    const std::vector<Py_ssize_t> pivots = rref_fraction_free(aug, d, n);
    return static_cast<Py_ssize_t>(pivots.size()) == n && pivots[n - 1] == n - 1;
}

// s[q] = sum_j g[j] p_q[j] for the three pieces q of a correction: with
// |g| < 2^31 and |p| < 2^21 each product is below 2^52, so up to 2^11 terms
// sum exactly in 64-bit lanes (a signed 32 x 32 -> 64-bit multiply each).
void dot_pieces_plain(const int64_t* g, const int64_t* p, Py_ssize_t n, int64_t s[3]) {
    int64_t a = 0, b = 0, c = 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        a += g[j] * p[j];
        b += g[j] * p[n + j];
        c += g[j] * p[2 * n + j];
    }
    s[0] = a;
    s[1] = b;
    s[2] = c;
}

__attribute__((target("avx512f"))) void dot_pieces_v4(const int64_t* g, const int64_t* p, Py_ssize_t n,
                                                      int64_t s[3]) {
    __m512i a = _mm512_setzero_si512(), b = a, c = a;
    Py_ssize_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m512i x = _mm512_loadu_si512(g + j);
        a = _mm512_add_epi64(a, _mm512_mul_epi32(x, _mm512_loadu_si512(p + j)));
        b = _mm512_add_epi64(b, _mm512_mul_epi32(x, _mm512_loadu_si512(p + n + j)));
        c = _mm512_add_epi64(c, _mm512_mul_epi32(x, _mm512_loadu_si512(p + 2 * n + j)));
    }
    if (j < n) {
        const __mmask8 m = static_cast<__mmask8>((1u << (n - j)) - 1);
        const __m512i x = _mm512_maskz_loadu_epi64(m, g + j);
        a = _mm512_add_epi64(a, _mm512_mul_epi32(x, _mm512_maskz_loadu_epi64(m, p + j)));
        b = _mm512_add_epi64(b, _mm512_mul_epi32(x, _mm512_maskz_loadu_epi64(m, p + n + j)));
        c = _mm512_add_epi64(c, _mm512_mul_epi32(x, _mm512_maskz_loadu_epi64(m, p + 2 * n + j)));
    }
    s[0] = _mm512_reduce_add_epi64(a);
    s[1] = _mm512_reduce_add_epi64(b);
    s[2] = _mm512_reduce_add_epi64(c);
}

__attribute__((target("avx2"))) void dot_pieces_v3(const int64_t* g, const int64_t* p, Py_ssize_t n, int64_t s[3]) {
    __m256i a = _mm256_setzero_si256(), b = a, c = a;
    Py_ssize_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g + j));
        a = _mm256_add_epi64(a, _mm256_mul_epi32(x, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + j))));
        b = _mm256_add_epi64(b,
                             _mm256_mul_epi32(x, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + n + j))));
        c = _mm256_add_epi64(
            c, _mm256_mul_epi32(x, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2 * n + j))));
    }
    alignas(32) int64_t la[4], lb[4], lc[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(la), a);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lb), b);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lc), c);
    s[0] = la[0] + la[1] + la[2] + la[3];
    s[1] = lb[0] + lb[1] + lb[2] + lb[3];
    s[2] = lc[0] + lc[1] + lc[2] + lc[3];
    for (; j < n; ++j) {
        s[0] += g[j] * p[j];
        s[1] += g[j] * p[n + j];
        s[2] += g[j] * p[2 * n + j];
    }
}

using DotPieces = void (*)(const int64_t*, const int64_t*, Py_ssize_t, int64_t*);

DotPieces dot_pieces() {
    static const DotPieces chosen = by_cpu_level<DotPieces>(dot_pieces_v4, dot_pieces_v3, dot_pieces_plain);
    return chosen;
}

// Iterative refinement with exact integer residuals for C x = f (C the
// first n columns of c): Wilkinson's refinement in the integer form of Wan,
// "An algorithm to solve integer linear systems exactly using numerical
// methods" (2006).  X, the fixed-point approximate inverse of G = normalised
// C, has ||I - X G|| <= rho < 1 (checked exactly), so for the current
// y 2^-t with residual r = f - G y 2^-t (all in G's normalised scale)
// |x - y 2^-t| <= ||X|| ||r|| / (1 - rho).  Each correction X r gains about
// 53 - log2 cond(C) bits.
class Refiner {
public:
    // False where C is singular or too ill-conditioned for the certificate.
    bool start(const IntMatrix& c, Py_ssize_t n, const std::vector<Mpz>& f) {
        if (!normalise(c, n, nm_)) return false;
        if (!invert_doubles(nm_.gd, n, xd_) || hopeless(nm_, xd_)) return false;
        std::vector<Mpz> x, r;
        std::vector<long> s;
        if (!fixed_rows(xd_, n, nm_.gmax, x, s)) return false;
        exact_residual(nm_, x, s, r, rho_, xnorm_);
        if (!(rho_ < 0.5)) return false;
        n_ = n;
        y_.assign(static_cast<size_t>(n), Mpz());
        upto_.assign(static_cast<size_t>(n), 0);
        d_.assign(static_cast<size_t>(n), 0);
        pieces_.assign(static_cast<size_t>(3 * n), 0);
        rd_.assign(static_cast<size_t>(n), 0.0);
        dl_.assign(static_cast<size_t>(n), 0.0);
        // The residual keeps about gmax + 64 + log2 n bits once refinement
        // runs; room for f's own size and a step's shift besides.
        std::vector<Mpz> res(static_cast<size_t>(n));
        size_t top = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            mpz_mul_2exp(res[i].v, f[i].v, static_cast<mp_bitcnt_t>(nm_.gmax - nm_.g[i]));
            top = std::max(top, mpz_sizeinbase(res[i].v, 2));
        }
        L_ = static_cast<Py_ssize_t>(std::max<size_t>(top / 32 + 1, static_cast<size_t>(nm_.digits) + 3) + 4);
        rdig_.assign(static_cast<size_t>(n * L_), 0);
        rsign_.assign(static_cast<size_t>(n), 1);
        acc_.assign(static_cast<size_t>(L_), 0);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!set_res(i, res[i].v)) return false;
        }
        t = 0;
        return true;
    }

    // eta >= the error bound in units of 2^-t.  The residual is measured in
    // those units too (r 2^t = res 2^-gmax), so no double underflows however
    // fine y grows.  False where the bound leaves the range of doubles.
    bool error(Mpz& eta) {
        rn_ = 0.0;
        for (Py_ssize_t i = 0; i < n_; ++i) {
            rd_[i] = res_double(i);
            rn_ = std::max(rn_, std::fabs(rd_[i]));
        }
        if (rn_ == 0.0) {
            mpz_set_ui(eta.v, 0);
            return true;
        }
        // Horner's rule in doubles over at most a few hundred digits errs
        // by far less than the factor.
        const double bound = xnorm_ * rn_ * (1.0 + 0x1p-40) / (1.0 - rho_) * (1.0 + 0x1p-28);
        if (!std::isfinite(bound)) return false;
        mpz_set_d(eta.v, bound);
        mpz_add_ui(eta.v, eta.v, 1);
        return true;
    }

    // y <- y + X r, the correction in doubles and y in finer fixed point;
    // false where the residual stopped shrinking (by 2^8 a step) or left
    // its room.  Needs error() first (rn_, rd_).
    bool step() {
        const double level = std::log2(rn_) - static_cast<double>(t);  // log2 of the residual's bound
        if (!(level < prev_ - 8.0)) return false;
        prev_ = level;
        const Py_ssize_t n = n_;
        std::vector<double>& dl = dl_;
        double big = 0.0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            // Four partial sums (any order serves: the correction only
            // steers the refinement, whose error bound is exact).
            const double* xr = &xd_[i * n];
            double part[4] = {0.0, 0.0, 0.0, 0.0};
            Py_ssize_t k = 0;
            for (; k + 4 <= n; k += 4) {
                for (int u = 0; u < 4; ++u) part[u] += xr[k + u] * rd_[k + u];
            }
            for (; k < n; ++k) part[0] += xr[k] * rd_[k];
            const double acc = (part[0] + part[1]) + (part[2] + part[3]);
            dl[i] = acc;  // the correction times 2^t
            big = std::max(big, std::fabs(acc));
        }
        if (big == 0.0 || !std::isfinite(big)) return false;
        // 62 bits for the largest correction, so each fits an int64.
        const long extra = 61L - std::ilogb(big);
        if (extra < 0) return large_step(dl);
        extras_.push_back(extra);
        for (Py_ssize_t i = 0; i < n; ++i) {
            d_[i] = static_cast<int64_t>(std::ldexp(dl[i], static_cast<int>(extra)));
            pending_.push_back(d_[i]);
            int64_t p[3];
            split_pieces(d_[i], p);
            for (int q = 0; q < 3; ++q) pieces_[q * n + i] = p[q];
        }
        const DotPieces dot = dot_pieces();
        // res <- res 2^extra - G d, a row at a time in 128-bit accumulators.
        const Py_ssize_t D = nm_.digits, L = L_;
        const long q = extra / 32, sh = extra % 32;
        std::vector<__int128>& acc = acc_;
        for (Py_ssize_t i = 0; i < n; ++i) {
            poll_interrupt();
            std::fill(acc.begin(), acc.end(), 0);
            const uint32_t* rd = &rdig_[i * L];
            const int64_t scale = rsign_[i] * (int64_t{1} << sh);
            for (Py_ssize_t k = 0; k + q < L; ++k) acc[k + q] = static_cast<__int128>(rd[k]) * scale;
            for (Py_ssize_t k = L - q; k < L; ++k) {
                if (rd[k]) return false;  // beyond the room (never for L as chosen)
            }
            if (nm_.d31 > 0) {
                // G d by 31-bit digits of G and 21-bit pieces of d: the same
                // integer, digit k and piece q landing at bit 31 k + 21 q.
                const Py_ssize_t d31 = nm_.d31;
                for (Py_ssize_t k = 0; k < d31; ++k) {
                    int64_t part[3];
                    dot(&nm_.g31[(i * d31 + k) * n], pieces_.data(), n, part);
                    for (int q = 0; q < 3; ++q) {
                        const long at = 31 * k + 21 * q;
                        acc[at / 32] -= static_cast<__int128>(part[q]) * (int64_t{1} << (at % 32));
                    }
                }
            } else {
                for (Py_ssize_t j = 0; j < n; ++j) {
                    const int64_t dj = d_[j];
                    if (dj == 0) continue;
                    const int64_t* g = &nm_.gdig[(i * n + j) * D];
                    for (Py_ssize_t k = 0; k < D; ++k) acc[k] -= static_cast<__int128>(g[k]) * dj;
                }
            }
            if (!normalise_row(acc, i)) return false;
        }
        t += extra;
        return true;
    }

    // x_i ~ y_i 2^-t.  The corrections are folded into y only when asked
    // for (Horner's rule), so a long refinement does not shift every entry
    // at every step.
    mpz_srcptr y(Py_ssize_t i) {
        mpz_ptr z = y_[i].v;
        for (size_t k = upto_[i]; k < extras_.size(); ++k) {
            const int64_t d = pending_[k * static_cast<size_t>(n_) + i];
            mpz_mul_2exp(z, z, static_cast<mp_bitcnt_t>(extras_[k]));
            if (d >= 0) {
                mpz_add_ui(z, z, static_cast<unsigned long>(d));
            } else {
                mpz_sub_ui(z, z, static_cast<unsigned long>(-d));
            }
        }
        upto_[i] = extras_.size();
        if (std::all_of(upto_.begin(), upto_.end(), [&](size_t u) { return u == extras_.size(); })) {
            extras_.clear();
            pending_.clear();
            std::fill(upto_.begin(), upto_.end(), 0);
        }
        return z;
    }
    // Steps until the error bound is below 2^-need (eta is left holding it,
    // in units of 2^-t); false where the refinement stops converging first.
    bool refine_below(long need, Mpz& eta) {
        for (long step = 0;; ++step) {
            poll_interrupt();
            if (!error(eta)) return false;
            if (mpz_sgn(eta.v) == 0 || static_cast<long>(mpz_sizeinbase(eta.v, 2)) - t <= -need) return true;
            if (step > need / 8 + 64 || !this->step()) return false;
        }
    }

    long t = 0;

private:
    // The residual rows in sign and magnitude: L_ digits of 32 bits each
    // and a sign.  From 128-bit accumulators: carries propagated, and the
    // negation propagated instead where the value is negative; false where
    // the magnitude outgrows the room.
    bool normalise_row(std::vector<__int128>& acc, Py_ssize_t i) {
        uint32_t* out = &rdig_[i * L_];
        for (int pass = 0; pass < 2; ++pass) {
            __int128 carry = 0;
            for (Py_ssize_t k = 0; k < L_; ++k) {
                const __int128 v = acc[k] + carry;
                out[k] = static_cast<uint32_t>(v);
                carry = (v - static_cast<__int128>(out[k])) >> 32;
            }
            if (carry == 0) {
                rsign_[i] = pass == 0 ? 1 : -1;
                return true;
            }
            if (carry > 0 || pass == 1) return false;
            for (__int128& v : acc) v = -v;
        }
        return false;
    }

    bool set_res(Py_ssize_t i, mpz_srcptr z) {
        std::vector<__int128> acc(static_cast<size_t>(L_), 0);
        std::vector<uint32_t> buf(mpz_sizeinbase(z, 2) / 32 + 2);
        size_t count = 0;
        mpz_export(buf.data(), &count, -1, sizeof(uint32_t), 0, 0, z);
        if (static_cast<Py_ssize_t>(count) > L_) return false;
        const int sign = mpz_sgn(z);
        for (size_t k = 0; k < count; ++k) acc[k] = sign * static_cast<__int128>(buf[k]);
        return normalise_row(acc, i);
    }

    void get_res(Py_ssize_t i, mpz_ptr z) const {
        mpz_import(z, static_cast<size_t>(L_), -1, sizeof(uint32_t), 0, 0, &rdig_[i * L_]);
        if (rsign_[i] < 0) mpz_neg(z, z);
    }

    // res_i 2^-gmax (the residual times 2^t) in doubles, from the three top
    // digits, plus one unit of the third for those below it: at least the
    // magnitude but for two roundings of 2^-53.
    double res_double(Py_ssize_t i) const {
        const uint32_t* rd = &rdig_[i * L_];
        Py_ssize_t h = L_ - 1;
        while (h >= 0 && rd[h] == 0) --h;
        if (h < 0) return 0.0;
        const Py_ssize_t low = std::max<Py_ssize_t>(h - 2, 0);
        double v = 0.0;
        for (Py_ssize_t k = h; k >= low; --k) v = v * 0x1p32 + static_cast<double>(rd[k]);
        if (low > 0) v += 1.0;
        v = std::ldexp(v, static_cast<int>(32 * low - nm_.gmax));
        return rsign_[i] < 0 ? -v : v;
    }

    // A correction of 2^62 units or more (the first steps for a solution
    // beyond 2^62): y and the residual stay on their grid, the correction
    // truncated to it.
    bool large_step(const std::vector<double>& dl) {
        for (Py_ssize_t i = 0; i < n_; ++i) y(i);
        std::vector<Mpz> res(static_cast<size_t>(n_));
        for (Py_ssize_t i = 0; i < n_; ++i) get_res(i, res[i].v);
        Mpz d;
        for (Py_ssize_t i = 0; i < n_; ++i) {
            mpz_set_d(d.v, dl[i]);
            mpz_add(y_[i].v, y_[i].v, d.v);
            for (Py_ssize_t k = 0; k < n_; ++k) mpz_submul(res[k].v, nm_.G.at(k, i), d.v);
        }
        for (Py_ssize_t i = 0; i < n_; ++i) {
            if (!set_res(i, res[i].v)) return false;
        }
        return true;
    }

    Normalised nm_;
    std::vector<double> xd_;
    double rho_ = 1.0, xnorm_ = 0.0, rn_ = 0.0, prev_ = INFINITY;
    Py_ssize_t n_ = 0;
    std::vector<Mpz> y_;
    // Corrections not yet folded into every y_: step k shifted y by
    // extras_[k] bits and added pending_[k n + i] to y_i.
    std::vector<long> extras_;
    std::vector<int64_t> pending_;
    std::vector<size_t> upto_;  // y_[i] holds the first upto_[i] of them
    // res = f 2^t - G y, the residual times 2^(t + gmax), in digits.
    Py_ssize_t L_ = 0;
    std::vector<uint32_t> rdig_;
    std::vector<int> rsign_;
    std::vector<double> rd_, dl_;
    std::vector<int64_t> d_;
    std::vector<__int128> acc_;
    std::vector<int64_t> pieces_;  // the correction in 21-bit pieces
};

// The solution of C x = f (the rows of [C | f]) by refinement, until the
// interval around each entry floors to one record.  False as
// certified_inverse.
bool certified_solve(const IntMatrix& c, std::vector<fp_t>& out) {
    const Py_ssize_t n = c.rows;
    std::vector<Mpz> f(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) mpz_set(f[i].v, c.at(i, n));
    Refiner ref;
    if (!ref.start(c, n, f)) return false;
    out.resize(static_cast<size_t>(n));
    RecordEntries entries{out, nullptr, {}, {}};
    Mpz eta, lo, hi;
    int attempts = 0;
    for (int step = 0; step < 60; ++step) {
        poll_interrupt();
        if (!ref.error(eta)) return false;
        bool certified = true, near = true;
        for (Py_ssize_t i = 0; i < n; ++i) {
            mpz_srcptr yi = ref.y(i);
            mpz_sub(lo.v, yi, eta.v);
            mpz_add(hi.v, yi, eta.v);
            if (!entries.settle(lo.v, hi.v, -ref.t, static_cast<size_t>(i))) {
                certified = false;
                near = near && RecordEntries::near_boundary(eta.v, -ref.t);
            }
        }
        if (certified) return true;
        if (near && ++attempts == 2) return false;
        if (!ref.step()) return false;
    }
    return false;
}

// z = D x for C x = f (C the first n columns of c), given D = det C != 0:
// D x is integral (Cramer's rule), so once refinement brings the error
// below 1/(4 |D|), D y 2^-t rounds to it.  False where the refinement does
// not converge.
bool solve_with_det(const IntMatrix& c, Py_ssize_t n, const std::vector<Mpz>& f, mpz_srcptr det,
                    std::vector<Mpz>& z) {
    Refiner ref;
    if (!ref.start(c, n, f)) return false;
    const long need = static_cast<long>(mpz_sizeinbase(det, 2)) + 2;
    Mpz eta;
    if (!ref.refine_below(need, eta)) return false;
    z.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        mpz_mul(z[i].v, ref.y(i), det);
        if (ref.t > 0) {
            // Round to nearest: floor(v + 1/2).
            mpz_set_ui(eta.v, 0);
            mpz_setbit(eta.v, static_cast<mp_bitcnt_t>(ref.t - 1));
            mpz_add(z[i].v, z[i].v, eta.v);
            mpz_fdiv_q_2exp(z[i].v, z[i].v, static_cast<mp_bitcnt_t>(ref.t));
        }
    }
    return true;
}

// The first n columns of c.
IntMatrix leading_square(const IntMatrix& c, Py_ssize_t n) {
    IntMatrix out(n, n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) mpz_set(out.at(i, j), c.at(i, j));
    }
    return out;
}

}  // namespace

bool denominator_divisor(const IntMatrix& c, double bound, Mpz& b) {
    const Py_ssize_t n = c.rows;
    // A right-hand side of small pseudo-random integers (a fixed LCG, so the
    // work done is reproducible; the determinant never depends on it).
    std::vector<Mpz> f(static_cast<size_t>(n));
    uint64_t state = 0x9e3779b97f4a7c15u;
    for (Py_ssize_t i = 0; i < n; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        mpz_set_si(f[i].v, static_cast<long>(state >> 44) - (1L << 19));
    }
    Refiner ref;
    if (!ref.start(c, n, f)) return false;
    // x_0 = a/b with b <= H = 2^bound (Cramer); from an approximation within
    // 1/(4 H^2), a/b is the last convergent of denominator at most H
    // (Legendre: |x - a/b| < 1/(2 b^2); the next convergent's denominator
    // exceeds 1/(b e) - b > H).
    const long hb = static_cast<long>(std::ceil(bound));
    const long need = 2 * hb + 2;
    Mpz eta;
    if (!ref.refine_below(need, eta)) return false;
    // Convergents p/q of y_0 / 2^t by Euclid's algorithm.
    Mpz num, den, quo, rem, q2, limit;
    mpz_set(num.v, ref.y(0));
    mpz_setbit(den.v, static_cast<mp_bitcnt_t>(ref.t));
    mpz_setbit(limit.v, static_cast<mp_bitcnt_t>(hb));  // H, rounded up to a power of two
    mpz_set_ui(b.v, 1);
    Mpz qm2(1), qm1(0);
    while (mpz_sgn(den.v) != 0) {
        mpz_fdiv_qr(quo.v, rem.v, num.v, den.v);
        mpz_mul(q2.v, quo.v, qm1.v);
        mpz_add(q2.v, q2.v, qm2.v);  // q_k = a_k q_{k-1} + q_{k-2}
        if (mpz_cmp(q2.v, limit.v) > 0) break;
        mpz_set(b.v, q2.v);
        mpz_swap(qm2.v, qm1.v);
        mpz_swap(qm1.v, q2.v);
        mpz_swap(num.v, den.v);
        mpz_swap(den.v, rem.v);
    }
    return mpz_sgn(b.v) > 0;
}

void ratio_to_record(fp_t& out, mpz_srcptr num, mpz_srcptr den, long e2) {
    Mpz q, dd;
    mpz_set(q.v, num);
    mpz_set(dd.v, den);
    if (mpz_sgn(dd.v) < 0) {
        mpz_neg(q.v, q.v);
        mpz_neg(dd.v, dd.v);
    }
    const long shift = kFracBits + e2;
    if (shift >= 0) {
        mpz_mul_2exp(q.v, q.v, static_cast<mp_bitcnt_t>(shift));
    } else {
        mpz_mul_2exp(dd.v, dd.v, static_cast<mp_bitcnt_t>(-shift));
    }
    mpz_fdiv_q(q.v, q.v, dd.v);
    record_from_scaled(out, q.v);
}

bool inverse_doubles(const ScaledMatrix& m, std::vector<double>& out) {
    const Py_ssize_t n = m.c.rows;
    out.clear();
    if (n == 0) return true;
    out.resize(static_cast<size_t>(n * n));
    if (certified_inverse(m, DoubleEntries{out})) return true;
    IntMatrix aug;
    Mpz d;
    if (inverse_multimodular(m.c, aug, d)) {
        if (inverse_to_doubles(aug, d.v, m.exp, out)) return true;
        // An entry beyond the doubles: its OverflowError, as raised in order.
        for (Py_ssize_t i = 0; i < n; ++i) {
            for (Py_ssize_t j = 0; j < n; ++j) out[i * n + j] = ratio_to_double(aug.at(i, j), d.v, m.exp[j]);
        }
        return true;
    }
    if (!exact_inverse(m.c, aug, d)) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) out[i * n + j] = ratio_to_double(aug.at(i, n + j), d.v, m.exp[j]);
    }
    return true;
}

bool inverse_records(const ScaledMatrix& m, std::vector<fp_t>& out) {
    const Py_ssize_t n = m.c.rows;
    out.assign(static_cast<size_t>(n * n), zero_record());
    if (n == 0) return true;
    std::vector<char> settled(static_cast<size_t>(n * n), 0);
    if (certified_inverse(m, RecordEntries{out, &settled, {}, {}})) return true;
    // Entries on the grid (exact zeros, dyadic values) never settle.  A few
    // such columns are solved exactly through det C; many, or a refinement
    // that fails, go to Gauss-Jordan on [C | I].
    std::vector<Py_ssize_t> open;
    for (Py_ssize_t j = 0; j < n; ++j) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!settled[i * n + j]) {
                open.push_back(j);
                break;
            }
        }
    }
    if (static_cast<Py_ssize_t>(open.size()) * 4 <= n) {
        Mpz det;
        determinant(det.v, m.c);
        if (mpz_sgn(det.v) == 0) return false;
        std::vector<Mpz> f(static_cast<size_t>(n)), z;
        bool solved = true;
        for (Py_ssize_t j : open) {
            for (Py_ssize_t i = 0; i < n; ++i) mpz_set_ui(f[i].v, i == j);
            if (!solve_with_det(m.c, n, f, det.v, z)) {
                solved = false;
                break;
            }
            for (Py_ssize_t i = 0; i < n; ++i) ratio_to_record(out[i * n + j], z[i].v, det.v, m.exp[j]);
        }
        if (solved) return true;
    }
    IntMatrix aug;
    Mpz d;
    if (inverse_multimodular(m.c, aug, d)) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            for (Py_ssize_t j = 0; j < n; ++j) ratio_to_record(out[i * n + j], aug.at(i, j), d.v, m.exp[j]);
        }
        return true;
    }
    if (!exact_inverse(m.c, aug, d)) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) ratio_to_record(out[i * n + j], aug.at(i, n + j), d.v, m.exp[j]);
    }
    return true;
}

bool solve_records(const ScaledMatrix& aug, std::vector<fp_t>& out) {
    const Py_ssize_t n = aug.c.rows;
    out.assign(static_cast<size_t>(n), zero_record());
    if (n == 0) return true;
    if (certified_solve(aug.c, out)) return true;
    std::vector<Mpz> f(static_cast<size_t>(n)), num;
    for (Py_ssize_t i = 0; i < n; ++i) mpz_set(f[i].v, aug.c.at(i, n));
    {
        Mpz den;
        if (solve_padic(aug.c, f, num, den)) {
            for (Py_ssize_t i = 0; i < n; ++i) ratio_to_record(out[i], num[i].v, den.v);
            return true;
        }
    }
    // An entry on the grid: exactly through det C, unless the refinement
    // fails, then by Gauss-Jordan.
    {
        Mpz det;
        determinant(det.v, leading_square(aug.c, n));
        if (mpz_sgn(det.v) == 0) return false;
        std::vector<Mpz> z;
        if (solve_with_det(aug.c, n, f, det.v, z)) {
            for (Py_ssize_t i = 0; i < n; ++i) ratio_to_record(out[i], z[i].v, det.v);
            return true;
        }
    }
    IntMatrix c = aug.c;
    Mpz d;
    const std::vector<Py_ssize_t> pivots = rref_fraction_free(c, d, n);
    if (static_cast<Py_ssize_t>(pivots.size()) < n || pivots[n - 1] != n - 1) return false;
    for (Py_ssize_t i = 0; i < n; ++i) ratio_to_record(out[i], c.at(i, n), d.v);
    return true;
}

}  // namespace zel::exact
