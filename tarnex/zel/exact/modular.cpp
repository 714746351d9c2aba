// Multimodular exact algebra: word-size prime fields in Montgomery form, the
// determinant by Chinese remaindering against Hadamard's bound, and the rank
// lower bound modulo one prime.
#include <cmath>

#include "matrix.hpp"

namespace zel::exact {
namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

// Z/pZ for an odd prime 2^61 < p < 2^62, elements in Montgomery form
// (x stands for x * 2^-64); keeping p below 2^62 leaves room for the sums.
struct Field {
    u64 p = 0, pinv = 0, r2 = 0, one = 0;  // pinv = -p^-1 mod 2^64, r2 = 2^128 mod p, one = 2^64 mod p

    explicit Field(u64 prime) : p(prime) {
        u64 inv = p;  // Newton's iteration doubles the correct low bits each step
        for (int i = 0; i < 6; ++i) inv *= 2 - p * inv;
        pinv = 0 - inv;
        one = static_cast<u64>((static_cast<u128>(1) << 64) % p);
        r2 = static_cast<u64>(static_cast<u128>(one) * one % p);
    }
    // t * 2^-64 mod p for t < p * 2^64 (Montgomery's REDC).
    u64 redc(u128 t) const {
        const u64 m = static_cast<u64>(t) * pinv;
        const u64 r = static_cast<u64>((t + static_cast<u128>(m) * p) >> 64);
        return r >= p ? r - p : r;
    }
    u64 mul(u64 a, u64 b) const { return redc(static_cast<u128>(a) * b); }
    u64 add(u64 a, u64 b) const {
        const u64 s = a + b;
        return s >= p ? s - p : s;
    }
    u64 sub(u64 a, u64 b) const { return a >= b ? a - b : a + p - b; }
    u64 neg(u64 a) const { return a ? p - a : 0; }
    u64 pow(u64 a, u64 e) const {
        u64 r = one;
        for (; e; e >>= 1) {
            if (e & 1) r = mul(r, a);
            a = mul(a, a);
        }
        return r;
    }
    u64 inv(u64 a) const { return pow(a, p - 2); }  // a != 0
    u64 from(u64 a) const { return redc(a); }        // out of Montgomery form
};

// Deterministic Miller-Rabin: these bases decide primality below 3.3 * 10^24.
bool is_prime(u64 n) {
    for (u64 q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37}) {
        if (n % q == 0) return n == q;
    }
    const Field f(n);
    u64 d = n - 1;
    int s = 0;
    while ((d & 1) == 0) {
        d >>= 1;
        ++s;
    }
    const u64 minus_one = f.neg(f.one);
    for (u64 base : {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37}) {
        u64 x = f.pow(f.mul(base, f.r2), d);
        if (x == f.one || x == minus_one) continue;
        bool composite = true;
        for (int i = 1; i < s && composite; ++i) {
            x = f.mul(x, x);
            if (x == minus_one) composite = false;
        }
        if (composite) return false;
    }
    return true;
}

// The primes below 2^62, largest first, found on demand and kept.
const Field& prime_field(size_t i) {
    static std::vector<Field> fields;
    static u64 next = (u64(1) << 62) - 1;
    while (fields.size() <= i) {
        while (!is_prime(next)) next -= 2;
        fields.emplace_back(next);
        next -= 2;
    }
    return fields[i];
}

// z mod p in Montgomery form, from its limbs: each limb l_i contributes
// REDC(l_i * 2^(64 i) * 2^128) = l_i * 2^(64 i) * 2^64.
struct Reducer {
    const Field& f;
    std::vector<u64> k;  // k[i] = 2^(64 i) * 2^128 mod p
    explicit Reducer(const Field& field) : f(field) {}
    u64 operator()(mpz_srcptr z) {
        const size_t n = mpz_size(z);
        if (k.size() < n) {
            if (k.empty()) k.push_back(f.r2);
            while (k.size() < n) k.push_back(f.mul(k.back(), f.r2));
        }
        const mp_limb_t* limbs = mpz_limbs_read(z);
        u64 acc = 0;
        for (size_t i = 0; i < n; ++i) acc = f.add(acc, f.mul(limbs[i], k[i]));
        return mpz_sgn(z) < 0 ? f.neg(acc) : acc;
    }
};

static_assert(sizeof(mp_limb_t) == sizeof(u64), "limbs are read as 64-bit words");

void reduce_matrix(const IntMatrix& c, const Field& f, std::vector<u64>& out) {
    Reducer red(f);
    out.resize(c.a.size());
    for (size_t i = 0; i < c.a.size(); ++i) out[i] = red(c.a[i].v);
}

// det(M) mod p by Gaussian elimination (any non-zero pivot serves modulo p).
u64 det_mod(std::vector<u64>& m, Py_ssize_t n, const Field& f) {
    u64 det = f.one;
    for (Py_ssize_t k = 0; k < n; ++k) {
        Py_ssize_t r = k;
        while (r < n && m[r * n + k] == 0) ++r;
        if (r == n) return 0;
        if (r != k) {
            for (Py_ssize_t j = k; j < n; ++j) std::swap(m[k * n + j], m[r * n + j]);
            det = f.neg(det);
        }
        const u64 pivot = m[k * n + k];
        det = f.mul(det, pivot);
        const u64 pinv = f.inv(pivot);
        const u64* prow = &m[k * n];
        for (Py_ssize_t i = k + 1; i < n; ++i) {
            u64* row = &m[i * n];
            if (row[k] == 0) continue;
            const u64 factor = f.mul(row[k], pinv);
            for (Py_ssize_t j = k + 1; j < n; ++j) row[j] = f.sub(row[j], f.mul(factor, prow[j]));
        }
    }
    return f.from(det);
}

// An upper bound on log2 |det C| by Hadamard's inequality, the product of
// the rows' Euclidean norms; -inf when a row is zero.  Each row is scaled by
// a power of two before squaring so no double overflows; the slack covers
// the rounding of the sums.
double hadamard_log2(const IntMatrix& c) {
    double total = 0.0;
    for (Py_ssize_t i = 0; i < c.rows; ++i) {
        long top = 0;
        for (Py_ssize_t j = 0; j < c.cols; ++j) {
            if (mpz_sgn(c.at(i, j))) top = std::max(top, static_cast<long>(mpz_sizeinbase(c.at(i, j), 2)));
        }
        if (top == 0) return -INFINITY;
        double sum = 0.0;
        for (Py_ssize_t j = 0; j < c.cols; ++j) {
            long e = 0;
            const double d = mpz_get_d_2exp(&e, c.at(i, j));  // |d| < 1, truncated
            const double x = std::ldexp(std::fabs(d) + 0x1p-52, static_cast<int>(e - top));
            sum += x * x;
        }
        total += top + 0.5 * std::log2(sum) + 1e-9;
    }
    return total;
}

}  // namespace

void determinant(mpz_ptr det, const IntMatrix& c) {
    const Py_ssize_t n = c.rows;
    mpz_set_ui(det, n == 0 ? 1 : 0);
    if (n == 0) return;
    const double bound = hadamard_log2(c);
    if (std::isinf(bound)) return;
    // |det| <= 2^bound, so a modulus above 2^(bound + 1) separates the
    // symmetric residue; every prime exceeds 2^61.
    const size_t primes = static_cast<size_t>(std::ceil((bound + 2.0) / 61.0));
    Mpz modulus(1), t;
    std::vector<u64> m;
    for (size_t i = 0; i < primes; ++i) {
        const Field& f = prime_field(i);
        reduce_matrix(c, f, m);
        const u64 d = det_mod(m, n, f);
        // Garner's step: det += modulus * ((d - det) / modulus mod p).
        const u64 have = mpz_fdiv_ui(det, f.p);
        const u64 mod_p = mpz_fdiv_ui(modulus.v, f.p);
        const u64 diff = f.sub(f.mul(d, f.r2), f.mul(have, f.r2));  // Montgomery form
        const u64 step = f.from(f.mul(diff, f.inv(f.mul(mod_p, f.r2))));
        mpz_addmul_ui(det, modulus.v, step);
        mpz_mul_ui(modulus.v, modulus.v, f.p);
    }
    mpz_fdiv_q_2exp(t.v, modulus.v, 1);
    if (mpz_cmp(det, t.v) > 0) mpz_sub(det, det, modulus.v);
}

Py_ssize_t rank_lower_bound(const IntMatrix& c) {
    const Field& f = prime_field(0);
    std::vector<u64> m;
    reduce_matrix(c, f, m);
    const Py_ssize_t rows = c.rows, cols = c.cols;
    Py_ssize_t r = 0;
    for (Py_ssize_t k = 0; k < cols && r < rows; ++k) {
        Py_ssize_t p = r;
        while (p < rows && m[p * cols + k] == 0) ++p;
        if (p == rows) continue;
        if (p != r) {
            for (Py_ssize_t j = k; j < cols; ++j) std::swap(m[r * cols + j], m[p * cols + j]);
        }
        const u64 pinv = f.inv(m[r * cols + k]);
        const u64* prow = &m[r * cols];
        for (Py_ssize_t i = r + 1; i < rows; ++i) {
            u64* row = &m[i * cols];
            if (row[k] == 0) continue;
            const u64 factor = f.mul(row[k], pinv);
            for (Py_ssize_t j = k + 1; j < cols; ++j) row[j] = f.sub(row[j], f.mul(factor, prow[j]));
        }
        ++r;
    }
    return r;
}

}  // namespace zel::exact
