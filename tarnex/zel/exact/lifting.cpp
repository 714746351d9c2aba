// Exact rational algebra where the certified numerical refinement gives up,
// on residues modulo word-size primes: p-adic lifting (Dixon, "Exact
// solution of linear equations using p-adic expansions", 1982) with rational
// reconstruction for one right-hand side; the inverse by Chinese
// remaindering of inverses modulo primes, scaled by the common denominator
// that lifting finds; the reduced row echelon form by remaindering of the
// forms modulo primes; and the rank modulo one prime.  Every exact result is
// proved before it is returned: the solution by substitution over the
// integers, the inverse and the reduced form by a size argument.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <immintrin.h>
#include <thread>

#include "../core/cpu.hpp"
#include "../core/interrupt.hpp"
#include "../core/parallel.hpp"
#include "matrix.hpp"
#include "residues.hpp"

namespace zel::exact {
namespace {

using u32 = uint32_t;
using u64 = uint64_t;
using u128 = unsigned __int128;

// The entries of C as 32-bit halves of their magnitudes and a sign, read
// once for all the primes and for the lifting's products.
struct Halves {
    Py_ssize_t n = 0, cols = 0, width = 0;  // halves per entry
    std::vector<u32> h;                     // (i * cols + j) * width + t
    std::vector<signed char> sign;
    long bits = 0;  // the largest entry's bit length
    Halves(const IntMatrix& c, Py_ssize_t ncols) : n(c.rows), cols(ncols) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            for (Py_ssize_t j = 0; j < cols; ++j) {
                if (mpz_sgn(c.at(i, j))) bits = std::max(bits, static_cast<long>(mpz_sizeinbase(c.at(i, j), 2)));
            }
        }
        width = std::max<Py_ssize_t>(1, (bits + 31) / 32);
        h.assign(static_cast<size_t>(n * cols * width), 0);
        sign.assign(static_cast<size_t>(n * cols), 0);
        for (Py_ssize_t i = 0; i < n; ++i) {
            for (Py_ssize_t j = 0; j < cols; ++j) {
                mpz_srcptr z = c.at(i, j);
                size_t count = 0;
                mpz_export(&h[(i * cols + j) * width], &count, -1, sizeof(u32), 0, 0, z);
                sign[i * cols + j] = static_cast<signed char>(mpz_sgn(z));
            }
        }
    }
    // out[i cols + j] = C[i][j] mod p.
    void reduce(const SmallPrime& P, std::vector<u64>& out) const {
        std::vector<u32> pw(static_cast<size_t>(width));
        for (Py_ssize_t t = 0; t < width; ++t) pw[t] = t == 0 ? 1 : P.reduce(static_cast<u64>(pw[t - 1]) << 32);
        out.resize(static_cast<size_t>(n * cols));
        for (Py_ssize_t i = 0; i < n; ++i) {
            for (Py_ssize_t j = 0; j < cols; ++j) {
                const u32* e = &h[(i * cols + j) * width];
                u64 acc = 0;
                for (Py_ssize_t t = 0; t < width; ++t) {
                    acc += static_cast<u64>(e[t] % P.p) * pw[t];
                    if (t % 1024 == 1023) acc = P.reduce(acc);
                }
                const u32 r = P.reduce(acc);
                out[i * cols + j] = sign[i * cols + j] < 0 ? P.neg(r) : r;
            }
        }
    }
};

// row[j] += f * neg[j]: the elimination's inner loop, and sum a[j] x[j]
// for 32-bit a and x below 2^26 (each product below 2^58), the lifting's.
// Built for each vector level, with the same integers on every path; the
// AVX-512 versions are written out so that the products are the
// 32 x 32 -> 64-bit vpmuludq (the compiler's own choice, vpmullq, is several
// times slower).
__attribute__((always_inline)) inline void axpy_loop(u64* __restrict row, const u32* __restrict neg, u32 f,
                                                     Py_ssize_t n) {
    for (Py_ssize_t j = 0; j < n; ++j) row[j] += static_cast<u64>(f) * neg[j];
}

__attribute__((always_inline)) inline u128 dot_loop(const u32* __restrict a, const u32* __restrict x, Py_ssize_t n) {
    u128 total = 0;
    for (Py_ssize_t j0 = 0; j0 < n; j0 += 32) {
        const Py_ssize_t j1 = std::min<Py_ssize_t>(n, j0 + 32);
        u64 part = 0;
        for (Py_ssize_t j = j0; j < j1; ++j) part += static_cast<u64>(a[j]) * x[j];
        total += part;
    }
    return total;
}

void axpy_plain(u64* row, const u32* neg, u32 f, Py_ssize_t n) { axpy_loop(row, neg, f, n); }
ZEL_TARGET_AVX2 void axpy_avx2(u64* row, const u32* neg, u32 f, Py_ssize_t n) { axpy_loop(row, neg, f, n); }
u128 dot_plain(const u32* a, const u32* x, Py_ssize_t n) { return dot_loop(a, x, n); }
ZEL_TARGET_AVX2 u128 dot_avx2(const u32* a, const u32* x, Py_ssize_t n) { return dot_loop(a, x, n); }

__attribute__((target("avx512f"))) void axpy_avx512(u64* __restrict row, const u32* __restrict neg, u32 f,
                                                    Py_ssize_t n) {
    const __m512i vf = _mm512_set1_epi64(static_cast<long long>(f));
    Py_ssize_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m512i a = _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(neg + j)));
        const __m512i r = _mm512_loadu_si512(row + j);
        _mm512_storeu_si512(row + j, _mm512_add_epi64(r, _mm512_mul_epu32(a, vf)));
    }
    for (; j < n; ++j) row[j] += static_cast<u64>(f) * neg[j];
}

__attribute__((target("avx512f"))) u128 dot_avx512(const u32* __restrict a, const u32* __restrict x, Py_ssize_t n) {
    u128 total = 0;
    Py_ssize_t j = 0;
    while (j + 8 <= n) {
        // At most 32 products per 64-bit lane before the lanes are summed.
        const Py_ssize_t limit = j + 256;
        __m512i acc = _mm512_setzero_si512();
        for (; j + 8 <= n && j < limit; j += 8) {
            const __m512i va = _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + j)));
            const __m512i vx = _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + j)));
            acc = _mm512_add_epi64(acc, _mm512_mul_epu32(va, vx));
        }
        alignas(64) u64 lanes[8];
        _mm512_store_si512(reinterpret_cast<__m512i*>(lanes), acc);
        for (u64 v : lanes) total += v;
    }
    for (; j < n; ++j) total += static_cast<u64>(a[j]) * x[j];
    return total;
}

void axpy(u64* row, const u32* neg, u32 f, Py_ssize_t n) {
    static const auto chosen = by_cpu_level(axpy_avx512, axpy_avx2, axpy_plain);
    chosen(row, neg, f, n);
}

u128 dot(const u32* a, const u32* x, Py_ssize_t n) {
    static const auto chosen = by_cpu_level(dot_avx512, dot_avx2, dot_plain);
    return chosen(a, x, n);
}

// In-place Gauss-Jordan inversion modulo p, with row interchanges undone
// as column interchanges at the end and reductions delayed.  `a` holds
// residues; on success it holds the reduced residues of C^-1.  False where
// C is singular modulo p.
bool inverse_mod(std::vector<u64>& a, Py_ssize_t n, const SmallPrime& P, const std::atomic<bool>* stop = nullptr) {
    std::vector<u32> neg(static_cast<size_t>(n));
    std::vector<Py_ssize_t> swaps(static_cast<size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (stop && stop->load(std::memory_order_relaxed)) return false;
        if (!stop) poll_interrupt();
        if (k % kStepsPerReduction == kStepsPerReduction - 1) {
            for (u64& v : a) v = P.reduce(v);
        }
        Py_ssize_t r = -1;
        for (Py_ssize_t i = k; i < n; ++i) {
            a[i * n + k] = P.reduce(a[i * n + k]);
            if (a[i * n + k]) {
                r = i;
                break;
            }
        }
        if (r < 0) return false;
        swaps[k] = r;
        if (r != k) std::swap_ranges(&a[k * n], &a[k * n] + n, &a[r * n]);
        u64* pivot_row = &a[k * n];
        const u32 pinv = P.inv(static_cast<u32>(pivot_row[k]));
        for (Py_ssize_t j = 0; j < n; ++j) {
            const u32 v = j == k ? pinv : P.mul(P.reduce(pivot_row[j]), pinv);
            pivot_row[j] = v;
            neg[j] = j == k ? 0 : P.neg(v);
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i == k) continue;
            u64* row = &a[i * n];
            const u32 f = P.reduce(row[k]);
            if (f == 0) {
                row[k] = 0;
                continue;
            }
            axpy(row, neg.data(), f, n);
            row[k] = P.neg(P.mul(f, pinv));
        }
    }
    for (u64& v : a) v = P.reduce(v);
    for (Py_ssize_t k = n - 1; k >= 0; --k) {
        if (swaps[k] == k) continue;
        for (Py_ssize_t i = 0; i < n; ++i) std::swap(a[i * n + k], a[i * n + swaps[k]]);
    }
    return true;
}

// a / b from z modulo m (0 <= z < m) with |a| <= a_bound and
// 0 < b <= b_bound, by the extended Euclidean algorithm stopped halfway
// (Wang's rational reconstruction); false where none is found.
bool reconstruct(mpz_srcptr z, mpz_srcptr m, mpz_srcptr a_bound, mpz_srcptr b_bound, Mpz& a, Mpz& b) {
    Mpz r0, r1, t0(0), t1(1), q;
    mpz_set(r0.v, m);
    mpz_set(r1.v, z);
    while (mpz_cmp(r1.v, a_bound) > 0) {
        mpz_fdiv_qr(q.v, r0.v, r0.v, r1.v);
        mpz_swap(r0.v, r1.v);
        mpz_submul(t0.v, q.v, t1.v);
        mpz_swap(t0.v, t1.v);
    }
    if (mpz_sgn(t1.v) == 0 || mpz_cmpabs(t1.v, b_bound) > 0) return false;
    mpz_set(a.v, r1.v);
    mpz_set(b.v, t1.v);
    if (mpz_sgn(b.v) < 0) {
        mpz_neg(a.v, a.v);
        mpz_neg(b.v, b.v);
    }
    return true;
}

// One entry of a matrix whose entries are being put over one denominator.
// `t` is entry q's residue modulo M times the denominator found so far.
// Where its symmetric residue is within `num_bound` that is the numerator;
// otherwise rational reconstruction finds the entry as a / b, and the
// missing factor b scales the denominator and the entries before q.  False
// when no fraction within the bounds exists or the denominator outgrows
// `den_bound`.
bool common_denominator_step(IntMatrix& N, size_t q, const Mpz& t, const Mpz& M, const Mpz& half, const Mpz& num_bound,
                             const Mpz& den_bound, Mpz& denom) {
    mpz_ptr z = N.a[q].v;
    mpz_set(z, t.v);
    symmetric(z, M.v, half.v);
    if (mpz_cmpabs(z, num_bound.v) <= 0) return true;
    Mpz a, b;
    if (!reconstruct(t.v, M.v, num_bound.v, den_bound.v, a, b)) return false;
    mpz_mul(denom.v, denom.v, b.v);
    if (mpz_cmp(denom.v, den_bound.v) > 0) return false;
    for (size_t k = 0; k < q; ++k) mpz_mul(N.a[k].v, N.a[k].v, b.v);
    mpz_set(z, a.v);
    return true;
}

// C num == den f over the integers.
bool substitutes(const IntMatrix& c, Py_ssize_t n, const std::vector<Mpz>& f, const std::vector<Mpz>& num,
                 mpz_srcptr den) {
    Mpz s;
    for (Py_ssize_t i = 0; i < n; ++i) {
        poll_interrupt();
        mpz_mul(s.v, den, f[i].v);
        for (Py_ssize_t j = 0; j < n; ++j) mpz_submul(s.v, c.at(i, j), num[j].v);
        if (mpz_sgn(s.v)) return false;
    }
    return true;
}

// Chinese remaindering over primes with product M: x from its residues as
// sum_g w_g (M / q_g), w_g = x (M / q_g)^-1 mod q_g, formed on limbs (a sum
// below (number of groups) M, reduced by the caller).  The primes go in
// pairs q_g = p p' below 2^52, so each pass over the limbs carries twice
// the bits; w_g comes from its residues modulo p and p' (Garner).
class Crt {
public:
    Crt(const std::vector<SmallPrime>& ps, mpz_srcptr M) : ps_(ps), limbs_(mpz_size(M) + 2) {
        const size_t groups = (ps.size() + 1) / 2;
        basis_.assign(groups * limbs_, 0);
        sa_.resize(groups);
        sb_.resize(groups);
        cab_.resize(groups);
        Mpz e;
        for (size_t g = 0; g < groups; ++g) {
            const SmallPrime& a = ps[2 * g];
            const bool pair = 2 * g + 1 < ps.size();
            const u64 q = a.p * (pair ? ps[2 * g + 1].p : 1);
            mpz_divexact_ui(e.v, M, static_cast<unsigned long>(q));
            mpz_export(&basis_[g * limbs_], nullptr, -1, sizeof(mp_limb_t), 0, 0, e.v);
            sa_[g] = a.inv(static_cast<u32>(mpz_fdiv_ui(e.v, a.p)));
            if (pair) {
                const SmallPrime& b = ps[2 * g + 1];
                sb_[g] = b.inv(static_cast<u32>(mpz_fdiv_ui(e.v, b.p)));
                cab_[g] = b.inv(b.reduce(a.p));
            }
        }
    }
    size_t limbs() const { return limbs_; }
    // sum (limbs() limbs) for the residues res[k][q] of one entry.
    void combine(const std::vector<std::vector<u32>>& res, size_t q, mp_limb_t* sum) const {
        std::fill(sum, sum + limbs_, 0);
        const size_t K = ps_.size();
        for (size_t g = 0; 2 * g < K; ++g) {
            const SmallPrime& a = ps_[2 * g];
            u64 w = a.mul(res[2 * g][q], sa_[g]);
            if (2 * g + 1 < K) {
                const SmallPrime& b = ps_[2 * g + 1];
                const u32 wb = b.mul(res[2 * g + 1][q], sb_[g]);
                const u32 t = b.garner(b.reduce(w), wb, cab_[g]);
                w += a.p * t;
            }
            if (w) sum[limbs_ - 1] += mpn_addmul_1(sum, &basis_[g * limbs_], static_cast<mp_size_t>(limbs_ - 1), w);
        }
    }

private:
    const std::vector<SmallPrime>& ps_;
    size_t limbs_;
    std::vector<mp_limb_t> basis_;
    std::vector<u32> sa_, sb_, cab_;
};

// x <- -x for D digits of two's complement.
void negate_digits(uint32_t* x, Py_ssize_t D) {
    uint64_t carry = 1;
    for (Py_ssize_t k = 0; k < D; ++k) {
        const uint64_t v = static_cast<uint64_t>(static_cast<uint32_t>(~x[k])) + carry;
        x[k] = static_cast<uint32_t>(v);
        carry = v >> 32;
    }
}

}  // namespace

bool solve_padic(const IntMatrix& c, const std::vector<Mpz>& f, std::vector<Mpz>& num, Mpz& den) {
    const Py_ssize_t n = c.rows;
    if (n == 0) return false;
    const Halves hv(c, n);
    // A prime for which C is invertible; a few misses suggest a singular C.
    std::vector<u64> cinv;
    size_t pi = 0;
    for (;; ++pi) {
        if (pi == 4) return false;
        hv.reduce(small_prime(pi), cinv);
        if (inverse_mod(cinv, n, small_prime(pi))) break;
    }
    const SmallPrime& P = small_prime(pi);
    // Cramer: the numerators and the denominator are determinants of
    // columns of [C | f], so both are bounded by Hadamard's bound of the
    // rows of [C | f], and reconstruction is sure once p^k > 2 H^2.
    double hadamard = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        double top = 0.0;
        for (Py_ssize_t j = 0; j <= n; ++j) {
            mpz_srcptr z = j < n ? c.at(i, j) : f[i].v;
            top = std::max(top, static_cast<double>(mpz_sizeinbase(z, 2)));
        }
        hadamard += top + 0.5 * std::log2(static_cast<double>(n + 1));
    }
    const long last = static_cast<long>(std::ceil((2.0 * hadamard + 2.0) / kPrimeBits)) + 1;

    // The residual r = (f - C y) / p^k lives in D 32-bit digits, two's
    // complement: |r| stays below max(|f|, n 2^(32 W + 27)), well inside.
    const Py_ssize_t W = hv.width;
    Py_ssize_t fw = 1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        fw = std::max<Py_ssize_t>(fw, static_cast<Py_ssize_t>((mpz_sizeinbase(f[i].v, 2) + 31) / 32));
    }
    const Py_ssize_t D = std::max(W, fw) + 3;
    std::vector<u32> rd(static_cast<size_t>(n * D), 0);
    for (Py_ssize_t i = 0; i < n; ++i) {
        u32* ri = &rd[i * D];
        size_t count = 0;
        mpz_export(ri, &count, -1, sizeof(u32), 0, 0, f[i].v);
        if (mpz_sgn(f[i].v) < 0) negate_digits(ri, D);
    }
    std::vector<Mpz> y(static_cast<size_t>(n));
    std::vector<u32> rm(static_cast<size_t>(n)), x(static_cast<size_t>(n));
    std::vector<u32> inv32(cinv.begin(), cinv.end());
    // C's halves digit by digit, split by sign, rows contiguous: C x is
    // then 2 W dot products a row.
    std::vector<u32> pos(static_cast<size_t>(W * n * n), 0), neg(pos.size(), 0);
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) {
            const signed char sg = hv.sign[i * n + j];
            if (sg == 0) continue;
            std::vector<u32>& dst = sg > 0 ? pos : neg;
            for (Py_ssize_t k = 0; k < W; ++k) dst[(k * n + i) * n + j] = hv.h[(i * n + j) * W + k];
        }
    }
    // 2^(32 D) mod p, for residues of negative residuals; p^-1 mod 2^32 for
    // the exact division.
    u32 wrap = 1;
    for (Py_ssize_t k = 0; k < D; ++k) wrap = P.reduce(static_cast<u64>(wrap) << 32);
    u32 pinv = static_cast<u32>(P.p);  // Newton's iteration: 5 correct bits, doubling
    for (int it = 0; it < 4; ++it) pinv *= 2 - static_cast<u32>(P.p) * pinv;
    Mpz pk(1), half, bound, a, b, t;
    num.assign(static_cast<size_t>(n), Mpz());
    // An attempt costs as much as dozens of lifting steps, so attempts
    // are spaced geometrically (overshooting by at most half).
    long next_try = 8;
    for (long step = 1;; ++step) {
        poll_interrupt();
        for (Py_ssize_t i = 0; i < n; ++i) {
            const u32* ri = &rd[i * D];
            u32 m = 0;
            for (Py_ssize_t k = D - 1; k >= 0; --k) m = P.reduce((static_cast<u64>(m) << 32) | ri[k]);
            if (ri[D - 1] >> 31) m = P.reduce(static_cast<u64>(m) + P.p - wrap);
            rm[i] = m;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            // Residues below 2^26: 2^11 products fit a 64-bit sum.
            u64 sum = 0;
            for (Py_ssize_t j0 = 0; j0 < n; j0 += 1024) {
                const u128 part = dot(&inv32[i * n + j0], &rm[j0], std::min<Py_ssize_t>(1024, n - j0));
                sum = P.reduce(sum + P.reduce(static_cast<u64>(part)));
            }
            x[i] = static_cast<u32>(sum);
            mpz_addmul_ui(y[i].v, pk.v, x[i]);
        }
        // r <- (r - C x) / p, exactly: C x digit by digit from the positive
        // and the negative entries, subtracted with a signed carry; then
        // the quotient, which fits, is r p^-1 modulo 2^(32 D), formed from
        // the low digit up.
        for (Py_ssize_t i = 0; i < n; ++i) {
            u32* ri = &rd[i * D];
            __int128 carry = 0;
            for (Py_ssize_t k = 0; k < D; ++k) {
                __int128 v = static_cast<__int128>(ri[k]) + carry;
                if (k < W) {
                    v -= static_cast<__int128>(dot(&pos[(k * n + i) * n], x.data(), n));
                    v += static_cast<__int128>(dot(&neg[(k * n + i) * n], x.data(), n));
                }
                ri[k] = static_cast<u32>(v);
                carry = v >> 32;
            }
            u32 borrow = 0;
            for (Py_ssize_t k = 0; k < D; ++k) {
                const u32 d = ri[k], l = d - borrow;
                const u32 q = l * pinv;
                ri[k] = q;
                borrow = (l > d) + static_cast<u32>((static_cast<u64>(q) * P.p) >> 32);
            }
        }
        mpz_mul_ui(pk.v, pk.v, static_cast<unsigned long>(P.p));
        if (step < next_try && step < last) continue;
        next_try = step + std::max<long>(4, step / 2);
        // The common denominator entry by entry: y_i den is reduced to a
        // small numerator unless den lacks a factor, which reconstruction
        // of y_i den supplies.
        mpz_fdiv_q_2exp(half.v, pk.v, 1);
        mpz_sqrt(bound.v, half.v);
        mpz_set_ui(den.v, 1);
        bool found = true;
        for (Py_ssize_t i = 0; i < n && found; ++i) {
            mpz_mul(t.v, y[i].v, den.v);
            mpz_mod(t.v, t.v, pk.v);
            mpz_set(num[i].v, t.v);
            symmetric(num[i].v, pk.v, half.v);
            if (mpz_cmpabs(num[i].v, bound.v) <= 0) continue;
            if (!reconstruct(t.v, pk.v, bound.v, bound.v, a, b)) {
                found = false;
                break;
            }
            mpz_mul(den.v, den.v, b.v);
            if (mpz_cmp(den.v, bound.v) > 0) {
                found = false;
                break;
            }
            for (Py_ssize_t k = 0; k < i; ++k) mpz_mul(num[k].v, num[k].v, b.v);
            mpz_set(num[i].v, a.v);
        }
        if (found && substitutes(c, n, f, num, den.v)) return true;
        if (step >= last) return false;
    }
}

bool inverse_multimodular(const IntMatrix& c, IntMatrix& N, Mpz& d) {
    const Py_ssize_t n = c.rows;
    if (n == 0) return false;
    // The denominator of C^-1 f for a pseudo-random f (a fixed LCG, so the
    // work is reproducible) is the largest invariant factor of C, the
    // common denominator of C^-1, unless f is unlucky; the proof below
    // rejects a d that falls short.
    std::vector<Mpz> f(static_cast<size_t>(n)), num;
    uint64_t state = 0x2545f4914f6cdd1du;
    for (Py_ssize_t i = 0; i < n; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        mpz_set_si(f[i].v, static_cast<long>(state >> 44) - (1L << 19));
    }
    if (!solve_padic(c, f, num, d)) return false;
    const Halves hv(c, n);
    long lg_n = 0;
    while ((Py_ssize_t{1} << lg_n) < n) ++lg_n;
    long num_bits = 0;
    for (const Mpz& z : num) num_bits = std::max(num_bits, static_cast<long>(mpz_sizeinbase(z.v, 2)));
    const long d_bits = static_cast<long>(mpz_sizeinbase(d.v, 2));
    // N = d C^-1 is expected about as large as d C^-1 f; when the primes
    // turn out too few, more are added, up to Hadamard's bound on the
    // cofactors of C (which bounds N once d divides det C).
    double cap_bits = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        cap_bits += static_cast<double>(hv.bits) + 0.5 * std::log2(static_cast<double>(n));
    }
    const long cap = static_cast<long>(cap_bits) + hv.bits + lg_n + d_bits + 8;
    long want = std::max(num_bits, d_bits) + 64;

    const size_t nn = static_cast<size_t>(n * n);
    std::vector<std::vector<u32>> res;  // res[k][e] = N[e] mod p_k, k over the primes used
    std::vector<size_t> used;           // their indices
    size_t next_prime = 0;
    Mpz M(1), half, e;
    for (;;) {
        // |C N - d I| <= n 2^cbits 2^want + 2^dbits must stay below M / 2.
        const long need = std::max(lg_n + hv.bits + want, d_bits) + 3;
        const size_t have = used.size();
        const size_t more =
            static_cast<size_t>(std::max(0.0, std::ceil((need - static_cast<double>(mpz_sizeinbase(M.v, 2))) / kPrimeBits)));
        if (more > 0) {
            // Residues for the new primes, several at once on the cores;
            // primes for which C is singular are skipped.
            std::vector<size_t> cand(more + 2);
            for (size_t k = 0; k < cand.size(); ++k) cand[k] = next_prime + k;
            next_prime += cand.size();
            std::vector<std::vector<u32>> got(cand.size());
            std::vector<char> ok(cand.size(), 0);
            for (size_t k = 0; k < cand.size(); ++k) small_prime(cand[k]);  // found before the threads start
            std::atomic<bool> stop{false};
            on_cores(static_cast<Py_ssize_t>(cand.size()), stop, [&](Py_ssize_t part, Py_ssize_t parts) {
                std::vector<u64> a;
                for (size_t k = static_cast<size_t>(part); k < cand.size(); k += static_cast<size_t>(parts)) {
                    const SmallPrime& P = small_prime(cand[k]);
                    hv.reduce(P, a);
                    if (!inverse_mod(a, n, P, part == 0 ? nullptr : &stop)) {
                        if (stop) return;
                        continue;
                    }
                    const u32 dm = static_cast<u32>(mpz_fdiv_ui(d.v, P.p));
                    std::vector<u32>& out = got[k];
                    out.resize(nn);
                    for (size_t q = 0; q < nn; ++q) out[q] = P.mul(static_cast<u32>(a[q]), dm);
                    ok[k] = 1;
                }
            });
            for (size_t k = 0; k < cand.size(); ++k) {
                if (!ok[k]) continue;
                res.push_back(std::move(got[k]));
                used.push_back(cand[k]);
                mpz_mul_ui(M.v, M.v, static_cast<unsigned long>(small_prime(cand[k]).p));
            }
            if (used.size() == have) return false;  // singular modulo every new prime
        }
        // N by the Chinese remainder theorem.
        std::vector<SmallPrime> ps;
        for (size_t k : used) ps.push_back(small_prime(k));
        const Crt crt(ps, M.v);
        const size_t limbs = crt.limbs();
        mpz_fdiv_q_2exp(half.v, M.v, 1);
        N = IntMatrix(n, n);
        std::vector<long> part_bits(std::max(1u, std::thread::hardware_concurrency()), 0);
        std::atomic<bool> stop{false};
        on_cores(static_cast<Py_ssize_t>(nn / 256 + 1), stop, [&](Py_ssize_t part, Py_ssize_t parts) {
            const size_t lo = nn * static_cast<size_t>(part) / static_cast<size_t>(parts);
            const size_t hi = nn * static_cast<size_t>(part + 1) / static_cast<size_t>(parts);
            std::vector<mp_limb_t> sum(limbs);
            long bits = 0;
            for (size_t q = lo; q < hi; ++q) {
                if (q % 64 == 0) {
                    if (part == 0) poll_interrupt();
                    if (stop.load(std::memory_order_relaxed)) return;
                }
                crt.combine(res, q, sum.data());
                mpz_ptr z = N.a[q].v;
                mpz_import(z, limbs, -1, sizeof(mp_limb_t), 0, 0, sum.data());
                mpz_mod(z, z, M.v);
                symmetric(z, M.v, half.v);
                if (mpz_sgn(z)) bits = std::max(bits, static_cast<long>(mpz_sizeinbase(z, 2)));
            }
            part_bits[static_cast<size_t>(part)] = std::max(part_bits[static_cast<size_t>(part)], bits);
        });
        long n_bits = *std::max_element(part_bits.begin(), part_bits.end());
        // N = d C^-1 modulo M, hence C N = d I modulo M; with
        // |C N - d I| < M / 2 entrywise the congruence is an equality.
        const long m_bits = static_cast<long>(mpz_sizeinbase(M.v, 2));
        if (std::max(lg_n + hv.bits + n_bits, d_bits) + 2 < m_bits - 1) return true;
        // d may lack a factor of the common denominator (f met it only in
        // part: likely for small primes).  Each entry then reconstructs
        // as N / e with e small, N within the expected size; the factors
        // found scale d and the entries before.
        const long a_bits = std::max(want, 1L);
        if (m_bits - a_bits - 2 > lg_n + hv.bits + 8) {
            Mpz a_bound, b_bound, extra(1);
            mpz_setbit(a_bound.v, static_cast<mp_bitcnt_t>(a_bits));
            mpz_setbit(b_bound.v, static_cast<mp_bitcnt_t>(m_bits - a_bits - 2));
            bool found = true;
            for (size_t q = 0; q < nn && found; ++q) {
                if (q % 64 == 0) poll_interrupt();
                mpz_mul(e.v, N.a[q].v, extra.v);
                mpz_mod(e.v, e.v, M.v);
                found = common_denominator_step(N, q, e, M, half, a_bound, b_bound, extra);
            }
            if (found) {
                mpz_mul(d.v, d.v, extra.v);
                n_bits = 0;
                for (const Mpz& z : N.a) n_bits = std::max(n_bits, static_cast<long>(mpz_sizeinbase(z.v, 2)));
                const long db = static_cast<long>(mpz_sizeinbase(d.v, 2));
                if (std::max(lg_n + hv.bits + n_bits, db) + 2 < m_bits - 1) return true;
                mpz_divexact(d.v, d.v, extra.v);
            }
        }
        if (want >= cap) return false;
        want = std::min(cap, std::max(want * 2, n_bits));
    }
}

bool inverse_to_doubles(const IntMatrix& N, mpz_srcptr d, const std::vector<long>& exp, std::vector<double>& out) {
    const Py_ssize_t n = N.rows;
    out.resize(static_cast<size_t>(n * n));
    std::atomic<bool> stop{false}, finite{true};
    on_cores(n * n / 1024 + 1, stop, [&](Py_ssize_t part, Py_ssize_t parts) {
        const Py_ssize_t lo = n * n * part / parts, hi = n * n * (part + 1) / parts;
        Mpq q;
        for (Py_ssize_t k = lo; k < hi; ++k) {
            if (k % 256 == 0) {
                if (part == 0) poll_interrupt();
                if (stop.load(std::memory_order_relaxed)) return;
            }
            // N[i][j] 2^exp[j] / d with d > 0; the quotient is read, not its
            // representation, so it need not be in lowest terms.
            const long e2 = exp[static_cast<size_t>(k % n)];
            mpz_set(mpq_numref(q.v), N.a[static_cast<size_t>(k)].v);
            mpz_set(mpq_denref(q.v), d);
            if (e2 > 0) mpz_mul_2exp(mpq_numref(q.v), mpq_numref(q.v), static_cast<mp_bitcnt_t>(e2));
            if (e2 < 0) mpz_mul_2exp(mpq_denref(q.v), mpq_denref(q.v), static_cast<mp_bitcnt_t>(-e2));
            if (!mpq_to_double_checked(q.v, out[static_cast<size_t>(k)])) {
                finite = false;
                stop = true;
                return;
            }
        }
    });
    return finite;
}

namespace {

// Reduces column k of the rows x cols residues in `a` from row r down and
// moves the first row with a nonzero entry there to row r; false when the
// column is zero below r.  Entries left of column k in rows r and below are
// multiples of the prime (zero), so only columns k onward move.
bool bring_pivot(std::vector<u64>& a, Py_ssize_t rows, Py_ssize_t cols, Py_ssize_t r, Py_ssize_t k,
                 const SmallPrime& P) {
    Py_ssize_t p = -1;
    for (Py_ssize_t i = r; i < rows; ++i) {
        a[i * cols + k] = P.reduce(a[i * cols + k]);
        if (p < 0 && a[i * cols + k]) p = i;
    }
    if (p < 0) return false;
    if (p != r) std::swap_ranges(&a[r * cols + k], &a[r * cols] + cols, &a[p * cols + k]);
    return true;
}

// The rank of the rows x cols residues in `a` (overwritten) by row echelon
// elimination with delayed reductions.
Py_ssize_t rank_of_residues(std::vector<u64>& a, Py_ssize_t rows, Py_ssize_t cols, const SmallPrime& P) {
    std::vector<u32> neg(static_cast<size_t>(cols));
    Py_ssize_t r = 0;
    for (Py_ssize_t k = 0; k < cols && r < rows; ++k) {
        poll_interrupt();
        if (!bring_pivot(a, rows, cols, r, k, P)) continue;
        const u32 pinv = P.inv(static_cast<u32>(a[r * cols + k]));
        for (Py_ssize_t j = k; j < cols; ++j) neg[j] = P.neg(P.mul(P.reduce(a[r * cols + j]), pinv));
        for (Py_ssize_t i = r + 1; i < rows; ++i) {
            const u32 f = static_cast<u32>(a[i * cols + k]);
            if (f) axpy(&a[i * cols + k], &neg[k], f, cols - k);
        }
        ++r;
        if (r % kStepsPerReduction == 0) {
            for (u64& v : a) v = P.reduce(v);
        }
    }
    return r;
}

}  // namespace

Py_ssize_t rank_modular(const IntMatrix& c) {
    const Py_ssize_t rows = c.rows, cols = c.cols;
    if (rows == 0 || cols == 0) return 0;
    const Halves hv(c, cols);
    std::vector<u64> a;
    hv.reduce(small_prime(0), a);
    return rank_of_residues(a, rows, cols, small_prime(0));
}

Py_ssize_t rank_of_records(const fp_t* recs, Py_ssize_t rows, Py_ssize_t cols) {
    if (rows == 0 || cols == 0) return 0;
    const SmallPrime& P = small_prime(0);
    u64 pw[2 * kLimbs];
    for (int t = 0; t < 2 * kLimbs; ++t) pw[t] = t == 0 ? 1 : P.reduce(pw[t - 1] << 32);
    std::vector<u64> a(static_cast<size_t>(rows * cols));
    for (size_t e = 0; e < a.size(); ++e) {
        if (e % 4096 == 0) poll_interrupt();
        const fp_t& r = recs[e];
        // 16 products below 2^58 each: the sum fits 64 bits.
        u64 acc = 0;
        for (int t = 0; t < kLimbs; ++t) {
            acc += (r.limb[t] & 0xffffffffu) * pw[2 * t];
            acc += (r.limb[t] >> 32) * pw[2 * t + 1];
        }
        // The value is sign * magnitude, the sign field read as a factor.
        const int64_t sg = r.sign;
        const u32 m = P.reduce(acc);
        const u32 f = sg >= 0 ? P.reduce(static_cast<u64>(sg)) : P.neg(P.reduce(static_cast<u64>(-sg)));
        a[e] = P.mul(m, f);
    }
    return rank_of_residues(a, rows, cols, P);
}

namespace {

// The reduced row echelon form modulo p of the residues in `a` (rows x
// cols, overwritten), by Gauss-Jordan with delayed reductions; the pivot
// columns are returned and the first pivots.size() rows of `a` hold the
// form, reduced.
std::vector<Py_ssize_t> rref_mod(std::vector<u64>& a, Py_ssize_t rows, Py_ssize_t cols, const SmallPrime& P,
                                 const std::atomic<bool>* stop) {
    std::vector<Py_ssize_t> pivots;
    std::vector<u32> neg(static_cast<size_t>(cols));
    Py_ssize_t r = 0;
    for (Py_ssize_t k = 0; k < cols && r < rows; ++k) {
        if (stop && stop->load(std::memory_order_relaxed)) return {};
        if (!stop) poll_interrupt();
        if (!bring_pivot(a, rows, cols, r, k, P)) continue;
        u64* pivot_row = &a[r * cols];
        const u32 pinv = P.inv(static_cast<u32>(pivot_row[k]));
        for (Py_ssize_t j = 0; j < k; ++j) pivot_row[j] = 0;
        for (Py_ssize_t j = k; j < cols; ++j) {
            pivot_row[j] = P.mul(P.reduce(pivot_row[j]), pinv);
            neg[j] = P.neg(static_cast<u32>(pivot_row[j]));
        }
        for (Py_ssize_t i = 0; i < rows; ++i) {
            if (i == r) continue;
            const u32 f = P.reduce(a[i * cols + k]);
            a[i * cols + k] = f;
            if (f) axpy(&a[i * cols + k], &neg[k], f, cols - k);
        }
        pivots.push_back(k);
        ++r;
        if (r % kStepsPerReduction == 0) {
            for (u64& v : a) v = P.reduce(v);
        }
    }
    for (Py_ssize_t i = 0; i < r * cols; ++i) a[i] = P.reduce(a[i]);
    return pivots;
}

}  // namespace

bool rref_multimodular(const IntMatrix& c, std::vector<Py_ssize_t>& pivots, IntMatrix& N, Mpz& d) {
    const Py_ssize_t rows = c.rows, cols = c.cols;
    if (rows == 0 || cols == 0) return false;
    const Halves hv(c, cols);
    // Hadamard's bound on the minors, which bounds every numerator and the
    // denominator of the form: a cap on the primes worth trying.
    double cap_bits = 0.0;
    for (Py_ssize_t i = 0; i < std::min(rows, cols); ++i) {
        cap_bits += static_cast<double>(hv.bits) + 0.5 * std::log2(static_cast<double>(cols));
    }
    const long cap = 2 * static_cast<long>(cap_bits) + 2 * hv.bits + 64;
    long want = 4 * hv.bits + 256;  // bits of remaindering to try first, doubled as needed
    std::vector<std::vector<u32>> res;
    std::vector<SmallPrime> ps;
    size_t next_prime = 0;
    Py_ssize_t r = -1;
    Mpz M(1), half, bound, t;
    for (;;) {
        // Residue forms until M has `want` bits; a prime whose rank is
        // higher, or whose pivots come earlier, than the ones so far shows
        // those primes unlucky, and they are dropped.
        while (static_cast<long>(mpz_sizeinbase(M.v, 2)) < want) {
            const size_t batch = static_cast<size_t>(
                std::ceil((want - static_cast<double>(mpz_sizeinbase(M.v, 2))) / kPrimeBits)) + 1;
            std::vector<size_t> cand(batch);
            for (size_t k = 0; k < batch; ++k) cand[k] = next_prime + k;
            next_prime += batch;
            for (size_t k : cand) small_prime(k);
            std::vector<std::vector<u64>> got(batch);
            std::vector<std::vector<Py_ssize_t>> piv(batch);
            std::atomic<bool> stop{false};
            on_cores(static_cast<Py_ssize_t>(batch), stop, [&](Py_ssize_t part, Py_ssize_t parts) {
                for (size_t k = static_cast<size_t>(part); k < batch; k += static_cast<size_t>(parts)) {
                    const SmallPrime& P = small_prime(cand[k]);
                    hv.reduce(P, got[k]);
                    piv[k] = rref_mod(got[k], rows, cols, P, part == 0 ? nullptr : &stop);
                    if (stop) return;
                }
            });
            for (size_t k = 0; k < batch; ++k) {
                const Py_ssize_t rk = static_cast<Py_ssize_t>(piv[k].size());
                const bool better = rk > r || (rk == r && piv[k] < pivots);
                if (better) {
                    r = rk;
                    pivots = piv[k];
                    res.clear();
                    ps.clear();
                    mpz_set_ui(M.v, 1);
                } else if (rk < r || piv[k] != pivots) {
                    continue;
                }
                got[k].resize(static_cast<size_t>(r * cols));
                res.emplace_back(got[k].begin(), got[k].end());
                ps.push_back(small_prime(cand[k]));
                mpz_mul_ui(M.v, M.v, static_cast<unsigned long>(ps.back().p));
            }
        }
        if (r == 0) {
            N = IntMatrix(0, cols);
            mpz_set_ui(d.v, 1);
            return true;
        }
        // Y = the form modulo M by the Chinese remainder theorem, then
        // N / d with a common denominator by rational reconstruction.
        const Crt crt(ps, M.v);
        const size_t limbs = crt.limbs();
        std::vector<mp_limb_t> sum(limbs);
        mpz_fdiv_q_2exp(half.v, M.v, 1);
        mpz_sqrt(bound.v, half.v);
        N = IntMatrix(r, cols);
        mpz_set_ui(d.v, 1);
        bool found = true;
        const size_t count = static_cast<size_t>(r * cols);
        for (size_t q = 0; q < count && found; ++q) {
            if (q % 64 == 0) poll_interrupt();
            crt.combine(res, q, sum.data());
            mpz_import(t.v, limbs, -1, sizeof(mp_limb_t), 0, 0, sum.data());
            mpz_mul(t.v, t.v, d.v);
            mpz_mod(t.v, t.v, M.v);
            found = common_denominator_step(N, q, t, M, half, bound, bound, d);
        }
        if (found) {
            // N = d Y modulo M, and A = A[:, pivots] Y modulo each prime
            // (the rows of a reduced form with those pivots span A's rows
            // there), so A[:, pivots] N = d A modulo M; below M / 2 in
            // size it is an identity over the integers.  The rank modulo a
            // prime bounds A's rank from below, so N / d is A's form.
            long lg_r = 0;
            while ((Py_ssize_t{1} << lg_r) < r) ++lg_r;
            long n_bits = 0;
            for (const Mpz& z : N.a) n_bits = std::max(n_bits, static_cast<long>(mpz_sizeinbase(z.v, 2)));
            const long d_bits = static_cast<long>(mpz_sizeinbase(d.v, 2));
            const long size = std::max(lg_r + hv.bits + n_bits, d_bits + hv.bits) + 2;
            if (size < static_cast<long>(mpz_sizeinbase(M.v, 2)) - 1) return true;
        }
        if (want >= cap) return false;
        want = std::min(cap, want * 2);
    }
}

}  // namespace zel::exact
