// Exact elimination on integer matrices: records read as scaled integers,
// fraction-free Gauss-Jordan (Bareiss) for the echelon form, fraction-free
// Doolittle LU, and the inverse through a certified numerical refinement with
// the exact Gauss-Jordan as its fallback.
#include <cmath>
#include <cstring>
#include <numeric>

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

double ratio_to_double(mpz_srcptr num, mpz_srcptr den, long e2) {
    Mpq q;
    mpz_set(mpq_numref(q.v), num);
    mpz_set(mpq_denref(q.v), den);
    if (e2 > 0) mpz_mul_2exp(mpq_numref(q.v), mpq_numref(q.v), static_cast<mp_bitcnt_t>(e2));
    if (e2 < 0) mpz_mul_2exp(mpq_denref(q.v), mpq_denref(q.v), static_cast<mp_bitcnt_t>(-e2));
    if (mpz_sgn(mpq_denref(q.v)) < 0) {
        mpz_neg(mpq_numref(q.v), mpq_numref(q.v));
        mpz_neg(mpq_denref(q.v), mpq_denref(q.v));
    }
    // The conversion reads the quotient, not the representation, so the
    // ratio need not be in lowest terms.
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
LuFactors lu_doolittle(IntMatrix& c, long e) {
    const Py_ssize_t n = c.rows;
    LuFactors f;
    f.L.assign(static_cast<size_t>(n * n), 0.0);
    f.U.assign(static_cast<size_t>(n * n), 0.0);
    f.perm.resize(static_cast<size_t>(n));
    std::iota(f.perm.begin(), f.perm.end(), 0);
    for (Py_ssize_t i = 0; i < n; ++i) f.L[i * n + i] = 1.0;
    Mpz prev(1), t;
    for (Py_ssize_t k = 0; k < n; ++k) {
        Py_ssize_t max_row = k;
        for (Py_ssize_t i = k + 1; i < n; ++i) {
            if (mpz_cmpabs(c.at(i, k), c.at(max_row, k)) > 0) max_row = i;
        }
        if (max_row != k) {
            c.swap_rows(k, max_row);
            std::swap(f.perm[k], f.perm[max_row]);
            for (Py_ssize_t j = 0; j < k; ++j) std::swap(f.L[k * n + j], f.L[max_row * n + j]);
        }
        for (Py_ssize_t j = k; j < n; ++j) f.U[k * n + j] = ratio_to_double(c.at(k, j), prev.v, -e);
        mpz_srcptr pk = c.at(k, k);
        if (mpz_sgn(pk) == 0) continue;
        for (Py_ssize_t i = k + 1; i < n; ++i) {
            mpz_srcptr lik = c.at(i, k);
            f.L[i * n + k] = ratio_to_double(lik, pk);
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

// float(num * 2^e2 / den) without raising: false where the quotient is too
// large for a double.
bool try_ratio_to_double(mpz_srcptr num, mpz_srcptr den, long e2, double& out) {
    try {
        out = ratio_to_double(num, den, e2);
        return true;
    } catch (const py::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw;
        PyErr_Clear();
        return false;
    }
}

// Inverse of a dense double matrix by Gauss-Jordan with partial pivoting;
// false on a zero or non-finite pivot.
bool invert_doubles(std::vector<double> a, Py_ssize_t n, std::vector<double>& inv) {
    inv.assign(static_cast<size_t>(n * n), 0.0);
    for (Py_ssize_t i = 0; i < n; ++i) inv[i * n + i] = 1.0;
    for (Py_ssize_t k = 0; k < n; ++k) {
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

// The inverse by refinement with exact residuals, then a rounding
// certificate.  G is C with its rows shifted to a common bit length, and
// X = x[i][k] * 2^-(s_i + gmax) approximates G^-1.  The residual R = I - X G
// is computed exactly in integers; when ||R|| < 1 every entry of G^-1 lies
// within eta = ||R|| ||X|| / (1 - ||R||) of X (infinity norms), since
// G^-1 - X = (I - R)^-1 R X.  Newton's step X + R X squares the residual
// until the interval around each entry rounds to one double at both ends;
// then that double is float() of the exact entry.  False means the caller
// must compute exactly (singular, too ill-conditioned, or an entry at or
// near a rounding boundary, such as an exact zero).
bool certified_inverse(const ScaledMatrix& m, std::vector<double>& out) {
    const IntMatrix& c = m.c;
    const Py_ssize_t n = c.rows;
    std::vector<long> g(static_cast<size_t>(n), 0);
    long gmax = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) {
            if (mpz_sgn(c.at(i, j))) g[i] = std::max(g[i], static_cast<long>(mpz_sizeinbase(c.at(i, j), 2)));
        }
        if (g[i] == 0) return false;  // a zero row
        gmax = std::max(gmax, g[i]);
    }
    IntMatrix G(n, n);
    std::vector<double> gd(static_cast<size_t>(n * n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) {
            mpz_mul_2exp(G.at(i, j), c.at(i, j), static_cast<mp_bitcnt_t>(gmax - g[i]));
            gd[i * n + j] = to_double_scaled(G.at(i, j), gmax);
        }
    }
    std::vector<double> xd;
    if (!invert_doubles(gd, n, xd)) return false;

    // Fixed point per row: 62 significant bits for the row's largest entry.
    std::vector<Mpz> x(static_cast<size_t>(n * n));
    std::vector<long> s(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        double big = 0.0;
        for (Py_ssize_t k = 0; k < n; ++k) big = std::max(big, std::fabs(xd[i * n + k]));
        if (big == 0.0) return false;
        s[i] = 61 - std::ilogb(big);
        if (s[i] + gmax < 0) return false;  // inverse entries beyond any useful precision
        for (Py_ssize_t k = 0; k < n; ++k) mpz_set_d(x[i * n + k].v, std::ldexp(xd[i * n + k], static_cast<int>(s[i])));
    }

    std::vector<Mpz> r(static_cast<size_t>(n * n));
    std::vector<double> rd(static_cast<size_t>(n * n)), delta(static_cast<size_t>(n * n));
    Mpz unit, eta, lo, hi, one(1);
    double rho_prev = INFINITY;
    int attempts = 0;
    constexpr int kMaxSteps = 8;
    for (int step = 0;; ++step) {
        // r = 2^(s_i + gmax) I - x G, so R = r * 2^-(s_i + gmax).
        for (Py_ssize_t i = 0; i < n; ++i) {
            Mpz* row = &r[i * n];
            for (Py_ssize_t j = 0; j < n; ++j) mpz_set_ui(row[j].v, 0);
            for (Py_ssize_t k = 0; k < n; ++k) {
                mpz_srcptr xik = x[i * n + k].v;
                if (mpz_sgn(xik) == 0) continue;
                for (Py_ssize_t j = 0; j < n; ++j) mpz_submul(row[j].v, xik, G.at(k, j));
            }
            mpz_set_ui(unit.v, 0);
            mpz_setbit(unit.v, static_cast<mp_bitcnt_t>(s[i] + gmax));
            mpz_add(r[i * n + i].v, r[i * n + i].v, unit.v);
        }
        // Infinity norms, rounded up (the factor covers the sums' rounding).
        double rho = 0.0, xnorm = 0.0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            double rs = 0.0, xs = 0.0;
            for (Py_ssize_t j = 0; j < n; ++j) {
                rs += magnitude_bound(r[i * n + j].v, s[i] + gmax);
                xs += magnitude_bound(x[i * n + j].v, s[i]);
            }
            rho = std::max(rho, rs);
            xnorm = std::max(xnorm, xs);
        }
        rho *= 1.0 + 0x1p-30;
        xnorm *= 1.0 + 0x1p-30;
        if (!(rho < 0.5)) return false;

        if (rho < 0x1p-60) {
            // eta in units of 2^-gmax (X's normalised scale), rounded up.
            const double eta_n = rho * xnorm / (1.0 - rho) * (1.0 + 0x1p-30);
            out.resize(static_cast<size_t>(n * n));
            bool certified = true;
            for (Py_ssize_t i = 0; i < n && certified; ++i) {
                mpz_set_d(eta.v, std::ldexp(eta_n, static_cast<int>(s[i])));
                mpz_add_ui(eta.v, eta.v, 1);
                for (Py_ssize_t j = 0; j < n; ++j) {
                    // A^-1 = G^-1 diag(2^(gmax - g_j + exp_j)).
                    const long e2 = gmax - g[j] + m.exp[j] - (s[i] + gmax);
                    mpz_sub(lo.v, x[i * n + j].v, eta.v);
                    mpz_add(hi.v, x[i * n + j].v, eta.v);
                    double dlo = 0.0, dhi = 0.0;
                    if (!try_ratio_to_double(lo.v, one.v, e2, dlo) || !try_ratio_to_double(hi.v, one.v, e2, dhi) ||
                        std::memcmp(&dlo, &dhi, sizeof dlo) != 0) {
                        certified = false;
                        break;
                    }
                    out[i * n + j] = dlo;
                }
            }
            if (certified) return true;
            // One more step settles an entry that was merely close to a
            // boundary; exact zeros and ties never settle.
            if (++attempts == 2) return false;
        }
        if (step == kMaxSteps || rho > rho_prev * 0x1p-8) return false;
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
                mpz_set_d(unit.v, std::ldexp(delta[i * n + j], static_cast<int>(s[i] + extra)));
                mpz_add(xij, xij, unit.v);
            }
            s[i] += extra;
        }
    }
}

}  // namespace

bool inverse_doubles(const ScaledMatrix& m, std::vector<double>& out) {
    const Py_ssize_t n = m.c.rows;
    out.clear();
    if (n == 0) return true;
    if (certified_inverse(m, out)) return true;
    // Exact: the reduced echelon form of [C | I] is [I | C^-1].
    IntMatrix aug(n, 2 * n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) mpz_set(aug.at(i, j), m.c.at(i, j));
        mpz_set_ui(aug.at(i, n + i), 1);
    }
    Mpz d;
    const std::vector<Py_ssize_t> pivots = rref_fraction_free(aug, d, n);
    if (static_cast<Py_ssize_t>(pivots.size()) < n || pivots[n - 1] != n - 1) return false;
    out.resize(static_cast<size_t>(n * n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) out[i * n + j] = ratio_to_double(aug.at(i, n + j), d.v, m.exp[j]);
    }
    return true;
}

}  // namespace zel::exact
