// Multimodular exact algebra: prime fields below 2^26, the determinant by
// Chinese remaindering against Hadamard's bound (divided by a known divisor
// from elimination.cpp's refinement), and the rank lower bound
// modulo one prime.  Residues below 2^26 make every product fit in 52 bits,
// so eliminations add up to 2^10 products per 64-bit entry before reducing,
// and the inner loop is an unsigned 32 x 32 -> 64-bit multiply-add (eight
// entries per instruction on AVX-512); the entries' residues are formed in
// the same lanes, eight primes at a time.
#include <cmath>

#include <immintrin.h>

#include "../core/cpu.hpp"
#include "../core/interrupt.hpp"
#include "matrix.hpp"
#include "residues.hpp"

namespace zel::exact {
namespace {

using u32 = uint32_t;
using u64 = uint64_t;
using u128 = unsigned __int128;

static_assert(sizeof(mp_limb_t) == sizeof(u64), "limbs are read as 64-bit words");

// From this size the divisor's refinement costs less than the primes it saves.
constexpr Py_ssize_t kDivisorFrom = 12;

// Per-lane constants for reducing modulo up to 32 primes in vector lanes.
struct LaneConsts {
    alignas(64) u64 p[32];
    alignas(64) u64 c32[32];      // 2^32 mod p
    alignas(64) double pinv[32];  // 1/p, rounded
};

// x mod p in each lane, for any 64-bit x and p < 2^26: x folds to
// floor(x / 2^32) (2^32 mod p) + (x mod 2^32) < 2^58 + 2^32, and again to
// below 2^53, exact as a double; floor(z / p) from the double quotient is
// off by at most one (its relative error is below 2^-51 and z / p < 2^28),
// which one correction each way repairs.
__attribute__((target("avx512f,avx512dq"))) inline __m512i reduce_lanes(__m512i x, __m512i p, __m512i c,
                                                                        __m512d pinv) {
    const __m512i low = _mm512_set1_epi64(0xffffffff);
    const __m512i y = _mm512_add_epi64(_mm512_mul_epu32(_mm512_srli_epi64(x, 32), c), _mm512_and_si512(x, low));
    const __m512i z = _mm512_add_epi64(_mm512_mul_epu32(_mm512_srli_epi64(y, 32), c), _mm512_and_si512(y, low));
    const __m512d q = _mm512_roundscale_pd(_mm512_mul_pd(_mm512_cvtepu64_pd(z), pinv),
                                           _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    __m512i r = _mm512_sub_epi64(z, _mm512_mul_epu32(_mm512_cvttpd_epu64(q), p));
    r = _mm512_mask_add_epi64(r, _mm512_cmplt_epi64_mask(r, _mm512_setzero_si512()), r, p);
    return _mm512_mask_sub_epi64(r, _mm512_cmpge_epi64_mask(r, p), r, p);
}

// res[i] = (the entry with magnitude limbs l and the given sign) mod p_i for
// i < np (rounded up to 8 lanes): sums of a 32-bit half times 2^(32 t) mod
// p_i, below 2^58 each, folded every 32 terms.
__attribute__((target("avx512f,avx512dq"))) void entry_residues_v4(const mp_limb_t* l, size_t limbs, bool negative,
                                                                   const u32* pow, size_t stride,
                                                                   const LaneConsts& k, size_t np, u32* res) {
    for (size_t b = 0; b < np; b += 8) {
        const __m512i p = _mm512_load_si512(k.p + b), c = _mm512_load_si512(k.c32 + b);
        const __m512d pinv = _mm512_load_pd(k.pinv + b);
        __m512i acc = _mm512_setzero_si512();
        for (size_t t = 0; t < 2 * limbs; ++t) {
            const u64 h = t % 2 ? l[t / 2] >> 32 : l[t / 2] & 0xffffffffu;
            const __m512i w = _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pow + t * stride + b)));
            acc = _mm512_add_epi64(acc, _mm512_mul_epu32(_mm512_set1_epi64(static_cast<long long>(h)), w));
            if (t % 32 == 31) acc = reduce_lanes(acc, p, c, pinv);
        }
        __m512i r = reduce_lanes(acc, p, c, pinv);
        if (negative) r = _mm512_mask_sub_epi64(r, _mm512_test_epi64_mask(r, r), p, r);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(res + b), _mm512_cvtepi64_epi32(r));
    }
}

// Residues of a matrix's entries modulo a batch of primes at once: each entry
// is split into 32-bit halves h_t and sum(h_t * (2^32t mod p)) is formed in
// 64 bits (products below 2^58, so 32 of them fit) before one reduction.
class BatchReducer {
public:
    static constexpr size_t kBatch = 32;

    BatchReducer(size_t first, size_t count) {
        for (size_t i = 0; i < count; ++i) primes_.push_back(&small_prime(first + i));
        // Lanes past the batch repeat its first prime; their results are unused.
        for (size_t i = 0; i < kBatch && count; ++i) {
            const u64 q = primes_[i < count ? i : 0]->p;
            lanes_.p[i] = q;
            lanes_.c32[i] = (u64{1} << 32) % q;
            lanes_.pinv[i] = 1.0 / static_cast<double>(q);
        }
    }
    size_t size() const { return primes_.size(); }
    const SmallPrime& prime(size_t i) const { return *primes_[i]; }

    // out[i][e] = c.a[e] mod p_i.
    void reduce(const IntMatrix& c, std::vector<std::vector<u64>>& out) {
        const size_t np = primes_.size();
        out.resize(np);
        for (auto& v : out) v.resize(c.a.size());
        u64 acc[kBatch];
        u32 res[kBatch];
        const bool wide = cpu_level() == CpuLevel::avx512;
        for (size_t e = 0; e < c.a.size(); ++e) {
            if (e % 256 == 0) poll_interrupt();
            mpz_srcptr z = c.a[e].v;
            const size_t limbs = mpz_size(z);
            grow(2 * limbs);
            const mp_limb_t* l = mpz_limbs_read(z);
            if (wide) {
                entry_residues_v4(l, limbs, mpz_sgn(z) < 0, pow_.data(), kBatch, lanes_, np, res);
                for (size_t i = 0; i < np; ++i) out[i][e] = res[i];
                continue;
            }
            std::fill(acc, acc + np, 0);
            for (size_t t = 0; t < 2 * limbs; ++t) {
                const u64 h = t % 2 ? l[t / 2] >> 32 : l[t / 2] & 0xffffffffu;
                const u32* pw = &pow_[t * kBatch];
                for (size_t i = 0; i < np; ++i) acc[i] += h * pw[i];
                if (t % 32 == 31) {
                    for (size_t i = 0; i < np; ++i) acc[i] = primes_[i]->reduce(acc[i]);
                }
            }
            const bool negative = mpz_sgn(z) < 0;
            for (size_t i = 0; i < np; ++i) {
                const u32 r = primes_[i]->reduce(acc[i]);
                out[i][e] = negative ? primes_[i]->neg(r) : r;
            }
        }
    }

private:
    // pow_[t * kBatch + i] = 2^(32 t) mod p_i for t < rows_.
    void grow(size_t terms) {
        while (rows_ < terms) {
            pow_.resize((rows_ + 1) * kBatch);
            for (size_t i = 0; i < primes_.size(); ++i) {
                pow_[rows_ * kBatch + i] =
                    rows_ == 0 ? 1 : primes_[i]->reduce(static_cast<u64>(pow_[(rows_ - 1) * kBatch + i]) << 32);
            }
            ++rows_;
        }
    }
    std::vector<const SmallPrime*> primes_;
    LaneConsts lanes_;
    std::vector<u32> pow_;
    size_t rows_ = 0;
};

// The elimination's inner loops: row[j] += f * neg[j] (and + g * neg2[j])
// for j in [k, n), with f, g and the negated pivot rows below 2^32 so that
// every product is an unsigned 32 x 32 -> 64-bit multiply (one vpmuludq per
// eight entries on the widest path); the same integers on every path.
void axpy_plain(u64* __restrict row, const u64* __restrict neg, u64 f, Py_ssize_t k, Py_ssize_t n) {
    for (Py_ssize_t j = k; j < n; ++j) row[j] += f * neg[j];
}

void axpy2_plain(u64* __restrict row, const u64* __restrict neg, const u64* __restrict neg2, u64 f, u64 g,
                 Py_ssize_t k, Py_ssize_t n) {
    for (Py_ssize_t j = k; j < n; ++j) row[j] += f * neg[j] + g * neg2[j];
}

__attribute__((target("avx512f"))) void axpy_v4(u64* __restrict row, const u64* __restrict neg, u64 f, Py_ssize_t k,
                                                Py_ssize_t n) {
    const __m512i fv = _mm512_set1_epi64(static_cast<long long>(f));
    Py_ssize_t j = k;
    for (; j + 8 <= n; j += 8) {
        const __m512i r = _mm512_loadu_si512(row + j);
        _mm512_storeu_si512(row + j, _mm512_add_epi64(r, _mm512_mul_epu32(fv, _mm512_loadu_si512(neg + j))));
    }
    if (j < n) {
        const __mmask8 m = static_cast<__mmask8>((1u << (n - j)) - 1);
        const __m512i r = _mm512_maskz_loadu_epi64(m, row + j);
        const __m512i x = _mm512_maskz_loadu_epi64(m, neg + j);
        _mm512_mask_storeu_epi64(row + j, m, _mm512_add_epi64(r, _mm512_mul_epu32(fv, x)));
    }
}

__attribute__((target("avx512f"))) void axpy2_v4(u64* __restrict row, const u64* __restrict neg,
                                                 const u64* __restrict neg2, u64 f, u64 g, Py_ssize_t k,
                                                 Py_ssize_t n) {
    const __m512i fv = _mm512_set1_epi64(static_cast<long long>(f));
    const __m512i gv = _mm512_set1_epi64(static_cast<long long>(g));
    Py_ssize_t j = k;
    for (; j + 8 <= n; j += 8) {
        __m512i r = _mm512_loadu_si512(row + j);
        r = _mm512_add_epi64(r, _mm512_mul_epu32(fv, _mm512_loadu_si512(neg + j)));
        r = _mm512_add_epi64(r, _mm512_mul_epu32(gv, _mm512_loadu_si512(neg2 + j)));
        _mm512_storeu_si512(row + j, r);
    }
    if (j < n) {
        const __mmask8 m = static_cast<__mmask8>((1u << (n - j)) - 1);
        __m512i r = _mm512_maskz_loadu_epi64(m, row + j);
        r = _mm512_add_epi64(r, _mm512_mul_epu32(fv, _mm512_maskz_loadu_epi64(m, neg + j)));
        r = _mm512_add_epi64(r, _mm512_mul_epu32(gv, _mm512_maskz_loadu_epi64(m, neg2 + j)));
        _mm512_mask_storeu_epi64(row + j, m, r);
    }
}

__attribute__((target("avx2"))) void axpy_v3(u64* __restrict row, const u64* __restrict neg, u64 f, Py_ssize_t k,
                                             Py_ssize_t n) {
    const __m256i fv = _mm256_set1_epi64x(static_cast<long long>(f));
    Py_ssize_t j = k;
    for (; j + 4 <= n; j += 4) {
        const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j));
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(neg + j));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + j), _mm256_add_epi64(r, _mm256_mul_epu32(fv, x)));
    }
    for (; j < n; ++j) row[j] += f * neg[j];
}

__attribute__((target("avx2"))) void axpy2_v3(u64* __restrict row, const u64* __restrict neg,
                                              const u64* __restrict neg2, u64 f, u64 g, Py_ssize_t k, Py_ssize_t n) {
    const __m256i fv = _mm256_set1_epi64x(static_cast<long long>(f));
    const __m256i gv = _mm256_set1_epi64x(static_cast<long long>(g));
    Py_ssize_t j = k;
    for (; j + 4 <= n; j += 4) {
        __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j));
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(neg + j));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(neg2 + j));
        r = _mm256_add_epi64(r, _mm256_mul_epu32(fv, x));
        r = _mm256_add_epi64(r, _mm256_mul_epu32(gv, y));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + j), r);
    }
    for (; j < n; ++j) row[j] += f * neg[j] + g * neg2[j];
}

struct Axpy {
    void (*one)(u64*, const u64*, u64, Py_ssize_t, Py_ssize_t);
    void (*two)(u64*, const u64*, const u64*, u64, u64, Py_ssize_t, Py_ssize_t);
};

const Axpy& axpy() {
    static const Axpy chosen =
        by_cpu_level(Axpy{axpy_v4, axpy2_v4}, Axpy{axpy_v3, axpy2_v3}, Axpy{axpy_plain, axpy2_plain});
    return chosen;
}

// det(M) mod p by Gaussian elimination with delayed reduction; M holds
// residues and is overwritten.  Pivots are taken two at a time where there
// are two: the second pivot's row is brought up to date alone, and every
// row below then takes both updates in one pass over it, which halves the
// passes over the matrix.
u32 det_mod(std::vector<u64>& m, Py_ssize_t n, const SmallPrime& P, std::vector<u64>& neg) {
    neg.resize(static_cast<size_t>(3 * n));
    u64* const neg0 = neg.data();
    u64* const neg1 = neg0 + n;
    u64* const fac = neg1 + n;  // the first pivot's multipliers, by row
    const Axpy& ax = axpy();
    u32 det = 1;
    Py_ssize_t steps = 0;  // since the last full reduction
    auto swap_rows = [&](Py_ssize_t a, Py_ssize_t b, Py_ssize_t from) {
        for (Py_ssize_t j = from; j < n; ++j) std::swap(m[a * n + j], m[b * n + j]);
        det = P.neg(det);
    };
    for (Py_ssize_t k = 0; k < n;) {
        poll_interrupt();
        if (steps + 2 > kStepsPerReduction - 1) {
            for (Py_ssize_t i = k; i < n; ++i) {
                for (Py_ssize_t j = k; j < n; ++j) m[i * n + j] = P.reduce(m[i * n + j]);
            }
            steps = 0;
        }
        Py_ssize_t r = -1;
        for (Py_ssize_t i = k; i < n; ++i) {
            m[i * n + k] = P.reduce(m[i * n + k]);
            if (r < 0 && m[i * n + k]) r = i;
        }
        if (r < 0) return 0;
        if (r != k) swap_rows(k, r, k);
        const u32 pivot = static_cast<u32>(m[k * n + k]);
        det = P.mul(det, pivot);
        const u32 pinv = P.inv(pivot);
        for (Py_ssize_t j = k + 1; j < n; ++j) neg0[j] = P.p - P.reduce(m[k * n + j]);
        if (k + 2 > n - 1) {
            // One row left below the pivot, or none.
            for (Py_ssize_t i = k + 1; i < n; ++i) {
                const u32 a = static_cast<u32>(m[i * n + k]);
                if (a) ax.one(&m[i * n], neg0, P.mul(a, pinv), k + 1, n);
            }
            k += 1;
            steps += 1;
            continue;
        }
        // The second pivot: column k + 1 after the first update.
        const Py_ssize_t k1 = k + 1;
        Py_ssize_t r1 = -1;
        for (Py_ssize_t i = k1; i < n; ++i) {
            fac[i] = P.mul(static_cast<u32>(m[i * n + k]), pinv);
            m[i * n + k1] = P.reduce(m[i * n + k1] + fac[i] * neg0[k1]);
            if (r1 < 0 && m[i * n + k1]) r1 = i;
        }
        if (r1 < 0) return 0;
        if (r1 != k1) {
            swap_rows(k1, r1, k1);
            std::swap(fac[k1], fac[r1]);
        }
        const u32 pivot1 = static_cast<u32>(m[k1 * n + k1]);
        det = P.mul(det, pivot1);
        const u32 pinv1 = P.inv(pivot1);
        if (fac[k1]) ax.one(&m[k1 * n], neg0, fac[k1], k1 + 1, n);
        for (Py_ssize_t j = k1 + 1; j < n; ++j) neg1[j] = P.p - P.reduce(m[k1 * n + j]);
        for (Py_ssize_t i = k1 + 1; i < n; ++i) {
            const u64 f = fac[i];
            const u64 g = P.mul(static_cast<u32>(m[i * n + k1]), pinv1);
            if (f && g) {
                ax.two(&m[i * n], neg0, neg1, f, g, k1 + 1, n);
            } else if (f) {
                ax.one(&m[i * n], neg0, f, k1 + 1, n);
            } else if (g) {
                ax.one(&m[i * n], neg1, g, k1 + 1, n);
            }
        }
        k += 2;
        steps += 2;
    }
    return det;
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
    // det C = b q with b a known divisor (Abbott, Bronstein and Mulders,
    // "Fast deterministic computation of determinants of dense matrices",
    // 1999): q needs only log2(2^bound / b) bits of remaindering, a few
    // primes where b is nearly det C, and primes dividing b are skipped.
    Mpz b(1);
    if (n >= kDivisorFrom && !denominator_divisor(c, bound, b)) mpz_set_ui(b.v, 1);
    const double q_bound = bound - static_cast<double>(mpz_sizeinbase(b.v, 2) - 1);
    // |q| <= 2^q_bound, so a modulus above 2^(q_bound + 1) separates the
    // symmetric residue.
    const size_t primes = static_cast<size_t>(std::ceil((std::max(q_bound, 0.0) + 2.0) / kPrimeBits));
    Mpz modulus(1), half;
    std::vector<std::vector<u64>> residues;
    std::vector<u64> scratch;
    size_t used = 0;
    for (size_t first = 0; used < primes; first += BatchReducer::kBatch) {
        BatchReducer batch(first, std::min(BatchReducer::kBatch, primes - used));
        batch.reduce(c, residues);
        for (size_t i = 0; i < batch.size() && used < primes; ++i) {
            const SmallPrime& P = batch.prime(i);
            const u32 b_mod = static_cast<u32>(mpz_fdiv_ui(b.v, P.p));
            if (b_mod == 0) continue;
            const u32 d = P.mul(det_mod(residues[i], n, P, scratch), P.inv(b_mod));
            // Garner's step: q += modulus * ((d - q) / modulus mod p).
            const u32 have = static_cast<u32>(mpz_fdiv_ui(det, P.p));
            const u32 mod_p = static_cast<u32>(mpz_fdiv_ui(modulus.v, P.p));
            mpz_addmul_ui(det, modulus.v, P.garner(have, d, P.inv(mod_p)));
            mpz_mul_ui(modulus.v, modulus.v, P.p);
            ++used;
        }
        if (batch.size() == 0) break;
    }
    mpz_fdiv_q_2exp(half.v, modulus.v, 1);
    symmetric(det, modulus.v, half.v);
    mpz_mul(det, det, b.v);
}

Py_ssize_t rank_lower_bound(const IntMatrix& c) {
    BatchReducer batch(0, 1);
    std::vector<std::vector<u64>> residues;
    batch.reduce(c, residues);
    const SmallPrime& P = batch.prime(0);
    std::vector<u64>& m = residues[0];
    const Py_ssize_t rows = c.rows, cols = c.cols;
    Py_ssize_t r = 0;
    for (Py_ssize_t k = 0; k < cols && r < rows; ++k) {
        poll_interrupt();
        Py_ssize_t p = r;
        while (p < rows && m[p * cols + k] == 0) ++p;
        if (p == rows) continue;
        if (p != r) {
            for (Py_ssize_t j = k; j < cols; ++j) std::swap(m[r * cols + j], m[p * cols + j]);
        }
        const u32 pinv = P.inv(static_cast<u32>(m[r * cols + k]));
        for (Py_ssize_t i = r + 1; i < rows; ++i) {
            const u32 a = static_cast<u32>(m[i * cols + k]);
            if (a == 0) continue;
            const u32 f = P.mul(a, pinv);
            for (Py_ssize_t j = k; j < cols; ++j) {
                const u32 b = static_cast<u32>(m[r * cols + j]);
                m[i * cols + j] = P.reduce(m[i * cols + j] + static_cast<u64>(f) * P.neg(b));
            }
        }
        ++r;
    }
    return r;
}

}  // namespace zel::exact
