// Matrix products by multi-modular arithmetic (host backend).  With the
// scaled magnitudes as integers, an output is S = sum_k a_ik b_kj exactly,
// |S| < K 2^1024.  The operands are reduced modulo primes p < 2^24 whose
// product P exceeds 4|S|; the residue matrices, balanced to |r| <= (p-1)/2
// with K ((p-1)/2)^2 <= 2^52, are multiplied in double precision, where
// every partial sum of every order is an integer below 2^53 and so exact
// (a kernel of our own below; a device GEMM on the same residues would do
// as well); S is rebuilt by the explicit Chinese remainder theorem and rounded
// by acc_round, as the classical loop rounds its accumulator.
//
// Two common factors shrink the bound first: the largest bit length of
// each operand's magnitudes, and the power of two that divides all of them
// (records from doubles carry about 200 trailing zero bits), so products of
// short entries need only a few primes.
#include "multimodular.hpp"

#include <gmp.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "../arith/fp_mul.cuh"
#include "../core/cpu.hpp"
#include "../core/interrupt.hpp"
#include "../core/parallel.hpp"

namespace zel {
namespace {

using u64 = uint64_t;

// Residues are formed from 24-bit chunks of a magnitude: a chunk times
// 2^(24c) mod p (both below 2^24) is below 2^48, and the sum over the 22
// chunks of a 512-bit magnitude stays below 2^53, exact in a double.
constexpr int kChunkBits = 24;
constexpr int kMaxChunks = (64 * kLimbs + kChunkBits - 1) / kChunkBits;
constexpr double kPrimeLimit = 16777216.0;  // 2^24

// Bit length of the largest magnitude and the trailing zero bits every
// non-zero magnitude has (top = 0 when all are zero).
struct BitSpan {
    int top = 0;
    int low = INT_MAX;
};

BitSpan bit_span(const fp_t* x, Py_ssize_t n) {
    BitSpan s;
    for (Py_ssize_t e = 0; e < n; ++e) {
        const u64* l = x[e].limb;
        int hi = kLimbs - 1;
        while (hi >= 0 && l[hi] == 0) --hi;
        if (hi < 0) continue;
        int lo = 0;
        while (l[lo] == 0) ++lo;
        s.top = std::max(s.top, 64 * hi + 64 - __builtin_clzll(l[hi]));
        s.low = std::min(s.low, 64 * lo + __builtin_ctzll(l[lo]));
    }
    if (s.top == 0) s.low = 0;
    return s;
}

// The primes, below `limit`, taken from the largest down until their
// product P has at least `bits` bits, with what the reconstruction needs.
struct PrimeSet {
    std::vector<double> p, pinv, half;  // p, 1/p, (p - 1)/2
    std::vector<double> w;              // w[c * count + i] = 2^(24c) mod p_i
    std::vector<double> u;              // (P/p_i)^-1 mod p_i
    std::vector<uint32_t> cofactor32;   // P/p_i in 32-bit halves, [i * halves, (i + 1) * halves)
    int halves = 0;                     // 2 (L + 1) rounded up to a multiple of 8
    std::vector<mp_limb_t> P;           // L limbs
    int L = 0;
    int count() const { return static_cast<int>(p.size()); }
};

bool is_prime(u64 n) {
    if (n < 2 || n % 2 == 0) return n == 2;
    for (u64 d = 3; d * d <= n; d += 2)
        if (n % d == 0) return false;
    return true;
}

const PrimeSet& primes_for(u64 limit, int bits) {
    static std::map<std::pair<u64, int>, PrimeSet> cache;  // filled under the interpreter lock
    auto found = cache.find({limit, bits});
    if (found != cache.end()) return found->second;
    PrimeSet ps;
    mpz_t P, c, inv, pz;
    mpz_inits(P, c, inv, pz, nullptr);
    mpz_set_ui(P, 1);
    std::vector<u64> chosen;
    for (u64 q = limit | 1; static_cast<int>(mpz_sizeinbase(P, 2)) <= bits; q -= 2) {
        if (!is_prime(q)) continue;
        chosen.push_back(q);
        mpz_mul_ui(P, P, q);
    }
    const int n = static_cast<int>(chosen.size());
    ps.L = static_cast<int>(mpz_size(P));
    ps.P.resize(ps.L);
    for (int j = 0; j < ps.L; ++j) ps.P[j] = mpz_getlimbn(P, j);
    ps.w.resize(static_cast<size_t>(kMaxChunks) * n);
    ps.halves = (2 * (ps.L + 1) + 7) / 8 * 8;
    ps.cofactor32.assign(static_cast<size_t>(n) * ps.halves, 0);
    for (int i = 0; i < n; ++i) {
        const u64 q = chosen[i];
        ps.p.push_back(static_cast<double>(q));
        ps.pinv.push_back(1.0 / static_cast<double>(q));
        ps.half.push_back(static_cast<double>((q - 1) / 2));
        mpz_divexact_ui(c, P, q);
        for (size_t j = 0; j < mpz_size(c); ++j) {
            const mp_limb_t limb = mpz_getlimbn(c, j);
            ps.cofactor32[static_cast<size_t>(i) * ps.halves + 2 * j] = static_cast<uint32_t>(limb);
            ps.cofactor32[static_cast<size_t>(i) * ps.halves + 2 * j + 1] = static_cast<uint32_t>(limb >> 32);
        }
        mpz_set_ui(pz, q);
        mpz_mod(inv, c, pz);
        mpz_invert(inv, inv, pz);
        ps.u.push_back(static_cast<double>(mpz_get_ui(inv)));
        u64 r = 1;
        for (int k = 0; k < kMaxChunks; ++k) {
            ps.w[static_cast<size_t>(k) * n + i] = static_cast<double>(r);
            r = (r << kChunkBits) % q;
        }
    }
    mpz_clears(P, c, inv, pz, nullptr);
    return cache.emplace(std::make_pair(limit, bits), std::move(ps)).first->second;
}

typedef double v8d __attribute__((vector_size(64)));
typedef long long v8i __attribute__((vector_size(64)));
typedef unsigned long long v8u __attribute__((vector_size(64)));
constexpr int kBlock = 32;  // records (outputs) handled together, so the loops run across them
constexpr int kVecs = kBlock / 8;

__attribute__((always_inline)) inline v8d load8(const double* x) {
    v8d v;
    __builtin_memcpy(&v, x, sizeof v);
    return v;
}

// p where the mask is set, else 0.
__attribute__((always_inline)) inline v8d masked(v8i mask, v8d p) { return (v8d)((v8i)p & mask); }

// The balanced residue of integer-valued v, |v| < 2^53 - 2^26, modulo odd p
// < 2^24: the quotient is rounded to nearest by the 1.5 * 2^52 addition
// (exact for |v / p| < 2^51) and may be one off, which one correction each
// way repairs; q p and v - q p are integers below 2^53, so exact.
__attribute__((always_inline)) inline v8d balanced_mod(v8d v, v8d p, v8d pinv, v8d h) {
    const v8d magic = v8d{} + 6755399441055744.0;
    const v8d q = (v * pinv + magic) - magic;
    v8d r = v - q * p;
    r -= masked(r > h, p);
    r += masked(r < -h, p);
    return r;
}

// Balanced residues of records [lo, hi) of x, magnitudes shifted right by
// `shift`, for primes [i0, i1): out[(i - i0) * stride + e].  B records are
// handled together, B / 8 independent sums per prime: enough to cover the
// multiply-add latency where there are registers for them (B = 64 with
// 32 vector registers, 32 otherwise).  Each record's sum is the same.
template <int B>
__attribute__((always_inline)) inline void reduce_records_body(
    const fp_t* x, Py_ssize_t lo, Py_ssize_t hi, int shift, int chunks, const PrimeSet& ps, int i0, int i1,
    double* out, Py_ssize_t stride) {
    constexpr int V = B / 8;
    const int n = ps.count();
    alignas(64) double ch[kMaxChunks][B], sign[B], s[B];
    alignas(64) u64 limbs[kLimbs + 1][B];
    for (int e = 0; e < B; ++e) limbs[kLimbs][e] = 0;
    for (Py_ssize_t e0 = lo; e0 < hi; e0 += B) {
        const int m = static_cast<int>(std::min<Py_ssize_t>(B, hi - e0));
        // The magnitudes' limbs across the block, then bits [pos, pos + 24)
        // of each as a double, eight records per vector step: the low 52
        // bits of 2^52 + v, read as a double, less 2^52, are v exactly.
        for (int e = 0; e < B; ++e) {
            const bool in = e < m;
            sign[e] = in && fp_is_neg(x[e0 + e]) ? -1.0 : 1.0;
            for (int l = 0; l < kLimbs; ++l) limbs[l][e] = in ? x[e0 + e].limb[l] : 0;
        }
        for (int c = 0; c < chunks; ++c) {
            const int pos = shift + kChunkBits * c, li = pos >> 6, off = pos & 63;
            for (int v = 0; v < V; ++v) {
                if (li >= kLimbs) {
                    std::fill(&ch[c][8 * v], &ch[c][8 * v] + 8, 0.0);
                    continue;
                }
                v8u lo_limb, hi_limb;
                __builtin_memcpy(&lo_limb, &limbs[li][8 * v], sizeof lo_limb);
                v8u bits = lo_limb >> off;
                if (off > 64 - kChunkBits) {
                    __builtin_memcpy(&hi_limb, &limbs[li + 1][8 * v], sizeof hi_limb);
                    bits |= hi_limb << (64 - off);
                }
                bits = (bits & ((u64(1) << kChunkBits) - 1)) | 0x4330000000000000ull;
                const v8d d = (v8d)bits - 4503599627370496.0;
                __builtin_memcpy(&ch[c][8 * v], &d, sizeof d);
            }
        }
        for (int i = i0; i < i1; ++i) {
            v8d acc[V] = {};
            for (int c = 0; c < chunks; ++c) {
                const double w = ps.w[static_cast<size_t>(c) * n + i];
                for (int v = 0; v < V; ++v) acc[v] += load8(&ch[c][8 * v]) * w;
            }
            const v8d p = v8d{} + ps.p[i], pinv = v8d{} + ps.pinv[i], h = v8d{} + ps.half[i];
            for (int v = 0; v < V; ++v) {
                const v8d r = balanced_mod(acc[v] * load8(sign + 8 * v), p, pinv, h);
                __builtin_memcpy(s + 8 * v, &r, sizeof r);
            }
            std::copy(s, s + m, out + static_cast<size_t>(i - i0) * stride + e0);
        }
    }
}

// reduce_records_body compiled for each vector level (as are
// crt_accumulate and residue_panel below); the same doubles on every path.
ZEL_TARGET_AVX512 void reduce_records_avx512(const fp_t* x, Py_ssize_t lo, Py_ssize_t hi, int shift, int chunks,
                                             const PrimeSet& ps, int i0, int i1, double* out, Py_ssize_t stride) {
    reduce_records_body<64>(x, lo, hi, shift, chunks, ps, i0, i1, out, stride);
}

ZEL_TARGET_AVX2 void reduce_records_avx2(const fp_t* x, Py_ssize_t lo, Py_ssize_t hi, int shift, int chunks,
                                         const PrimeSet& ps, int i0, int i1, double* out, Py_ssize_t stride) {
    reduce_records_body<kBlock>(x, lo, hi, shift, chunks, ps, i0, i1, out, stride);
}

void reduce_records_plain(const fp_t* x, Py_ssize_t lo, Py_ssize_t hi, int shift, int chunks, const PrimeSet& ps,
                          int i0, int i1, double* out, Py_ssize_t stride) {
    reduce_records_body<kBlock>(x, lo, hi, shift, chunks, ps, i0, i1, out, stride);
}

void reduce_records(const fp_t* x, Py_ssize_t lo, Py_ssize_t hi, int shift, int chunks, const PrimeSet& ps, int i0,
                    int i1, double* out, Py_ssize_t stride) {
    static const auto chosen = by_cpu_level(reduce_records_avx512, reduce_records_avx2, reduce_records_plain);
    chosen(x, lo, hi, shift, chunks, ps, i0, i1, out, stride);
}

// lane[j] = sum_i t[i] half_i[j] for j < H (a multiple of 8), half_i the
// 32-bit halves of prime i's cofactor (H apart) and t[i] < 2^32: an
// unsigned 32 x 32 -> 64-bit multiply per term.  The sums' bound is
// crt_accumulate's.
void cofactor_lanes_plain(const u64* t, int g, const uint32_t* half, int H, u64* lane) {
    std::fill(lane, lane + H, 0);
    for (int i = 0; i < g; ++i) {
        for (int j = 0; j < H; ++j) lane[j] += t[i] * half[static_cast<size_t>(i) * H + j];
    }
}

__attribute__((target("avx512f"))) void cofactor_lanes_v4(const u64* t, int g, const uint32_t* half, int H,
                                                           u64* lane) {
    for (int j = 0; j < H; j += 8) {
        __m512i acc = _mm512_setzero_si512();
        for (int i = 0; i < g; ++i) {
            const __m512i h = _mm512_cvtepu32_epi64(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(half + static_cast<size_t>(i) * H + j)));
            acc = _mm512_add_epi64(acc, _mm512_mul_epu32(_mm512_set1_epi64(static_cast<long long>(t[i])), h));
        }
        _mm512_storeu_si512(lane + j, acc);
    }
}

__attribute__((target("avx2"))) void cofactor_lanes_v3(const u64* t, int g, const uint32_t* half, int H, u64* lane) {
    for (int j = 0; j < H; j += 4) {
        __m256i acc = _mm256_setzero_si256();
        for (int i = 0; i < g; ++i) {
            const __m256i h = _mm256_cvtepu32_epi64(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(half + static_cast<size_t>(i) * H + j)));
            acc = _mm256_add_epi64(acc, _mm256_mul_epu32(_mm256_set1_epi64x(static_cast<long long>(t[i])), h));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(lane + j), acc);
    }
}

using CofactorLanes = void (*)(const u64*, int, const uint32_t*, int, u64*);

CofactorLanes cofactor_lanes() {
    static const CofactorLanes chosen = by_cpu_level(cofactor_lanes_v4, cofactor_lanes_v3, cofactor_lanes_plain);
    return chosen;
}

// Adds sum over primes [i0, i1) of t_i (P/p_i) to the (L + 1)-limb
// accumulators of outputs [lo, hi) and t_i / p_i to their quotient
// estimates, t_i = (c mod p_i)(P/p_i)^-1 mod p_i for the product residue c.
// The products t_i (P/p_i) are summed on 32-bit halves of the cofactors in
// 64-bit lanes (each term below 2^56, and the count of primes times p stays
// below 2^32, so no lane overflows), then carried into limbs once.
__attribute__((always_inline)) inline void crt_accumulate_body(
    const double* prod, Py_ssize_t stride, Py_ssize_t lo, Py_ssize_t hi, const PrimeSet& ps, int i0, int i1,
    mp_limb_t* acc, double* frac) {
    const int L = ps.L, H = ps.halves, g = i1 - i0;
    std::vector<double> t(static_cast<size_t>(g) * kBlock);
    std::vector<u64> lane(H), limbs(H / 2), ti(static_cast<size_t>(g));
    const CofactorLanes lanes = cofactor_lanes();
    alignas(64) double f[kBlock], c[kBlock], v[kBlock];
    for (Py_ssize_t e0 = lo; e0 < hi; e0 += kBlock) {
        const int m = static_cast<int>(std::min<Py_ssize_t>(kBlock, hi - e0));
        std::fill(f, f + kBlock, 0.0);
        std::fill(c, c + kBlock, 0.0);
        std::copy(frac + e0, frac + e0 + m, f);
        for (int i = i0; i < i1; ++i) {
            const double p = ps.p[i], pinv = ps.pinv[i], u = ps.u[i];
            const double* pr = prod + static_cast<size_t>(i - i0) * stride + e0;
            std::copy(pr, pr + m, c);
            const v8d pv = v8d{} + p, iv = v8d{} + pinv, hv = v8d{} + ps.half[i];
            for (int k = 0; k < kVecs; ++k) {
                v8d r = balanced_mod(load8(c + 8 * k), pv, iv, hv);
                r += masked(r < v8d{}, pv);
                r = balanced_mod(r * u, pv, iv, hv);
                r += masked(r < v8d{}, pv);
                __builtin_memcpy(v + 8 * k, &r, sizeof r);
                const v8d fk = load8(f + 8 * k) + r * iv;
                __builtin_memcpy(f + 8 * k, &fk, sizeof fk);
            }
            std::copy(v, v + kBlock, t.data() + static_cast<size_t>(i - i0) * kBlock);
        }
        std::copy(f, f + m, frac + e0);
        for (int e = 0; e < m; ++e) {
            for (int i = 0; i < g; ++i) ti[i] = static_cast<u64>(t[static_cast<size_t>(i) * kBlock + e]);
            lanes(ti.data(), g, ps.cofactor32.data() + static_cast<size_t>(i0) * H, H, lane.data());
            u64 carry = 0;
            for (int j = 0; j < H; j += 2) {
                const u64 v0 = lane[j] + carry;
                const u64 v1 = lane[j + 1] + (v0 >> 32);
                limbs[j / 2] = (v0 & 0xffffffffu) | (v1 << 32);
                carry = v1 >> 32;
            }
            mp_limb_t* a = acc + static_cast<size_t>(e0 + e) * (L + 1);
            mpn_add_n(a, a, limbs.data(), L + 1);
        }
    }
}

ZEL_TARGET_AVX512 void crt_accumulate_avx512(const double* prod, Py_ssize_t stride, Py_ssize_t lo, Py_ssize_t hi,
                                             const PrimeSet& ps, int i0, int i1, mp_limb_t* acc, double* frac) {
    crt_accumulate_body(prod, stride, lo, hi, ps, i0, i1, acc, frac);
}

ZEL_TARGET_AVX2 void crt_accumulate_avx2(const double* prod, Py_ssize_t stride, Py_ssize_t lo, Py_ssize_t hi,
                                         const PrimeSet& ps, int i0, int i1, mp_limb_t* acc, double* frac) {
    crt_accumulate_body(prod, stride, lo, hi, ps, i0, i1, acc, frac);
}

void crt_accumulate_plain(const double* prod, Py_ssize_t stride, Py_ssize_t lo, Py_ssize_t hi, const PrimeSet& ps,
                          int i0, int i1, mp_limb_t* acc, double* frac) {
    crt_accumulate_body(prod, stride, lo, hi, ps, i0, i1, acc, frac);
}

void crt_accumulate(const double* prod, Py_ssize_t stride, Py_ssize_t lo, Py_ssize_t hi, const PrimeSet& ps, int i0,
                    int i1, mp_limb_t* acc, double* frac) {
    static const auto chosen = by_cpu_level(crt_accumulate_avx512, crt_accumulate_avx2, crt_accumulate_plain);
    chosen(prod, stride, lo, hi, ps, i0, i1, acc, frac);
}

// S = acc - round(frac) P lies in (-P/2, P/2), since |S| < P/4 and the
// estimate of frac errs far less than 1/4; out = floor(S 2^shift / 2^256).
void crt_finish(const mp_limb_t* acc, const double* frac, Py_ssize_t lo, Py_ssize_t hi, const PrimeSet& ps,
                int shift, fp_t* out) {
    const int L = ps.L;
    std::vector<mp_limb_t> s(L + 1);
    for (Py_ssize_t e = lo; e < hi; ++e) {
        std::copy(acc + static_cast<size_t>(e) * (L + 1), acc + static_cast<size_t>(e + 1) * (L + 1), s.begin());
        const mp_limb_t k = static_cast<mp_limb_t>(std::floor(frac[e] + 0.5));
        if (k) s[L] -= mpn_submul_1(s.data(), ps.P.data(), L, k);
        // Sign-extend to the accumulator's width and shift by the common
        // factor 2^shift; the product fits, so truncation keeps it exact.
        const u64 ext = (s[L] >> 63) ? ~u64(0) : 0;
        auto limb_at = [&](int j) -> u64 { return j < 0 ? 0 : (j <= L ? s[j] : ext); };
        const int ls = shift / 64, bs = shift % 64;
        acc_t w;
        for (int j = 0; j < kAccLimbs; ++j) {
            const u64 v = limb_at(j - ls);
            w.limb[j] = bs == 0 ? v : (v << bs) | (limb_at(j - ls - 1) >> (64 - bs));
        }
        acc_round(out[e], w);
    }
}

// ---------------------------------------------------------------------------
// The residue products: count independent products C = A B of doubles
// (A: M x K, B: K x N, row-major, one after another).  Each C is built from
// column panels of 16: a panel of B is packed k-major, kKc rows at a time,
// and R x 16 blocks of C are accumulated in vector registers, R = 6 rows
// sharing each pair of B vectors.  The values are integers whose partial
// sums never pass 2^53, so any blocking gives the exact product.  This is
// the step a device GEMM on the same residues would take over.

constexpr int kPanel = 16, kRows = 6, kKc = 256;

// A's R rows are read at a[r * lda + k], or packed k-major at a[k * R + r].
template <int R, bool Packed = false>
__attribute__((always_inline)) inline void panel_block(const double* a, Py_ssize_t lda, const double* bp, int kc,
                                                       double* c, Py_ssize_t ldc, int cols) {
    // The block of C is wanted only after kc steps: ask for it now, so that
    // its lines arrive while the products run.
    for (int r = 0; r < R; ++r) {
        __builtin_prefetch(c + r * ldc, 1);
        __builtin_prefetch(c + r * ldc + 8, 1);
    }
    v8d acc[R][2] = {};
    for (int k = 0; k < kc; ++k) {
        v8d b0, b1;
        __builtin_memcpy(&b0, bp + k * kPanel, sizeof b0);
        __builtin_memcpy(&b1, bp + k * kPanel + 8, sizeof b1);
        for (int r = 0; r < R; ++r) {
            const double x = Packed ? a[k * R + r] : a[r * lda + k];
            acc[r][0] += x * b0;
            acc[r][1] += x * b1;
        }
    }
    for (int r = 0; r < R; ++r) {
        double out[kPanel];
        __builtin_memcpy(out, &acc[r][0], sizeof acc[r][0]);
        __builtin_memcpy(out + 8, &acc[r][1], sizeof acc[r][1]);
        for (int j = 0; j < cols; ++j) c[r * ldc + j] += out[j];
    }
}

// Packs B[k0 : k0 + kc, j0 : j0 + 16] (B: K x N) k-major, zero beyond
// column N.
__attribute__((always_inline)) inline void pack_panel(const double* b, Py_ssize_t N, Py_ssize_t j0, Py_ssize_t k0,
                                                      int kc, double* packed) {
    const int cols = static_cast<int>(std::min<Py_ssize_t>(kPanel, N - j0));
    for (int k = 0; k < kc; ++k) {
        const double* row = b + (k0 + k) * N + j0;
        double* dst = packed + k * kPanel;
        if (cols == kPanel) {
            __builtin_memcpy(dst, row, sizeof(double) * kPanel);
        } else {
            for (int j = 0; j < kPanel; ++j) dst[j] = j < cols ? row[j] : 0.0;
        }
    }
}

// Packs A[:, k0 : k0 + kc] (A: M x K) by blocks of kRows rows (the last
// block shorter), each k-major, so that a block's rows are read from
// consecutive lines.
__attribute__((always_inline)) inline void pack_rows(const double* a, Py_ssize_t M, Py_ssize_t K, Py_ssize_t k0,
                                                     int kc, double* packed) {
    for (Py_ssize_t i = 0; i < M; i += kRows) {
        const int R = static_cast<int>(std::min<Py_ssize_t>(kRows, M - i));
        double* dst = packed + i * kc;
        for (int r = 0; r < R; ++r) {
            const double* row = a + (i + r) * K + k0;
            for (int k = 0; k < kc; ++k) dst[k * R + r] = row[k];
        }
    }
}

// C[:, j0 : j0 + cols] += A[:, k0 : k0 + kc] B[k0 : k0 + kc, j0 : j0 + cols]
// with B's panel packed; A as it lies, or (Packed) its slice as pack_rows
// leaves it.
template <bool Packed>
__attribute__((always_inline)) inline void residue_block(const double* a, const double* packed, double* c,
                                                         Py_ssize_t M, Py_ssize_t N, Py_ssize_t K, Py_ssize_t j0,
                                                         Py_ssize_t k0, int kc) {
    const int cols = static_cast<int>(std::min<Py_ssize_t>(kPanel, N - j0));
    const auto rows_at = [&](Py_ssize_t i) { return Packed ? a + i * kc : a + i * K + k0; };
    double* cj = c + j0;
    Py_ssize_t i = 0;
    for (; i + kRows <= M; i += kRows) panel_block<kRows, Packed>(rows_at(i), K, packed, kc, cj + i * N, N, cols);
    switch (M - i) {
        case 5: panel_block<5, Packed>(rows_at(i), K, packed, kc, cj + i * N, N, cols); break;
        case 4: panel_block<4, Packed>(rows_at(i), K, packed, kc, cj + i * N, N, cols); break;
        case 3: panel_block<3, Packed>(rows_at(i), K, packed, kc, cj + i * N, N, cols); break;
        case 2: panel_block<2, Packed>(rows_at(i), K, packed, kc, cj + i * N, N, cols); break;
        case 1: panel_block<1, Packed>(rows_at(i), K, packed, kc, cj + i * N, N, cols); break;
        default: break;
    }
}

// C += A B for one product: every column panel (j0 = -1; `rows` then holds
// M x kKc doubles for A's packed slice) or panel j0 only.  The whole
// product runs each kc-deep slice of A past every panel before the next,
// so the slice is read from the second-level cache rather than from memory
// once per panel.
__attribute__((always_inline)) inline void residue_panel_body(const double* a, const double* b, double* c,
                                                              Py_ssize_t M, Py_ssize_t N, Py_ssize_t K, Py_ssize_t j0,
                                                              double* packed, double* rows) {
    for (Py_ssize_t k0 = 0; k0 < K; k0 += kKc) {
        const int kc = static_cast<int>(std::min<Py_ssize_t>(kKc, K - k0));
        if (j0 >= 0) {
            pack_panel(b, N, j0, k0, kc, packed);
            residue_block<false>(a, packed, c, M, N, K, j0, k0, kc);
        } else {
            pack_rows(a, M, K, k0, kc, rows);
            for (Py_ssize_t j = 0; j < N; j += kPanel) {
                pack_panel(b, N, j, k0, kc, packed);
                residue_block<true>(rows, packed, c, M, N, K, j, k0, kc);
            }
        }
    }
}

ZEL_TARGET_AVX512 void residue_panel_avx512(const double* a, const double* b, double* c, Py_ssize_t M, Py_ssize_t N,
                                            Py_ssize_t K, Py_ssize_t j0, double* packed, double* rows) {
    residue_panel_body(a, b, c, M, N, K, j0, packed, rows);
}

ZEL_TARGET_AVX2 void residue_panel_avx2(const double* a, const double* b, double* c, Py_ssize_t M, Py_ssize_t N,
                                        Py_ssize_t K, Py_ssize_t j0, double* packed, double* rows) {
    residue_panel_body(a, b, c, M, N, K, j0, packed, rows);
}

void residue_panel_plain(const double* a, const double* b, double* c, Py_ssize_t M, Py_ssize_t N, Py_ssize_t K,
                         Py_ssize_t j0, double* packed, double* rows) {
    residue_panel_body(a, b, c, M, N, K, j0, packed, rows);
}

void residue_panel(const double* a, const double* b, double* c, Py_ssize_t M, Py_ssize_t N, Py_ssize_t K,
                   Py_ssize_t j0, double* packed, double* rows) {
    static const auto chosen = by_cpu_level(residue_panel_avx512, residue_panel_avx2, residue_panel_plain);
    chosen(a, b, c, M, N, K, j0, packed, rows);
}

// fn(lo, hi) over [lo, hi) in runs of `run`, with a checkpoint before each.
template <class F>
void in_runs(Py_ssize_t lo, Py_ssize_t hi, Py_ssize_t run, const Checkpoint& cp, F fn) {
    for (Py_ssize_t s = lo; s < hi; s += run) {
        if (cp.halted()) return;
        fn(s, std::min(hi, s + run));
    }
}

// Scratch buffers kept from one product to the next, up to kKeepBytes in
// all, so that repeated products of moderate size reuse pages instead of
// mapping and faulting in fresh ones each call (a fifth of the time of a
// 256 x 256 product of doubles).  A buffer taken holds stale values; the
// caller clears what it accumulates into.  Larger buffers are freed as usual.
constexpr size_t kKeepBytes = size_t{48} << 20;

// One lock and one count for the buffers of both element types.
std::mutex& scratch_lock() {
    static std::mutex m;
    return m;
}

size_t& scratch_held() {
    static size_t bytes = 0;
    return bytes;
}

template <class T>
class Scratch {
public:
    explicit Scratch(size_t n) {
        {
            const std::lock_guard<std::mutex> held(lock());
            auto& kept = pool();
            // The smallest kept buffer that is large enough.
            size_t best = kept.size();
            for (size_t i = 0; i < kept.size(); ++i) {
                if (kept[i].size() >= n && (best == kept.size() || kept[i].size() < kept[best].size())) best = i;
            }
            if (best < kept.size()) {
                v_ = std::move(kept[best]);
                kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(best));
                held_bytes() -= v_.size() * sizeof(T);
            }
        }
        if (v_.size() < n) v_.resize(n);
    }
    ~Scratch() {
        const size_t bytes = v_.size() * sizeof(T);
        if (bytes == 0 || bytes > kKeepBytes) return;
        const std::lock_guard<std::mutex> held(lock());
        if (held_bytes() + bytes > kKeepBytes) return;
        held_bytes() += bytes;
        pool().push_back(std::move(v_));
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    T* data() { return v_.data(); }

private:
    static std::mutex& lock() { return scratch_lock(); }
    static size_t& held_bytes() { return scratch_held(); }
    static std::vector<std::vector<T>>& pool() {
        static std::vector<std::vector<T>> p;
        return p;
    }
    std::vector<T> v_;
};

// Bytes of residue matrices one group of primes may hold.
constexpr double kGroupBytes = 64.0 * 1024 * 1024;

// Bytes of operand records above which a group's reduction is shared out by
// records rather than by primes.
constexpr double kSharedReductionBytes = 1024.0 * 1024;

}  // namespace

// Measured on full-width and double-valued operands: below about 40^3
// multiply-adds, or with an inner or outer size under 32, the residue
// reductions and reconstruction cost more than the classical loop saves.
bool mm_multimodular_pays(Py_ssize_t M, Py_ssize_t N, Py_ssize_t K) {
    return std::min({M, N, K}) >= 32 && static_cast<double>(M) * N * K >= 40.0 * 40 * 40;
}

void mm_multimodular(const fp_t* a, const fp_t* b, fp_t* out, Py_ssize_t batch, Py_ssize_t M, Py_ssize_t N,
                     Py_ssize_t K) {
    const Py_ssize_t na = batch * M * K, nb = batch * K * N, nc = batch * M * N;
    if (nc == 0) return;
    const BitSpan sa = bit_span(a, na), sb = bit_span(b, nb);
    // Residues as large as K h^2 <= 2^52 allows (so that the reductions of
    // the products stay exact), below 2^24.
    const unsigned __int128 kk = static_cast<unsigned __int128>(std::max<Py_ssize_t>(K, 1));
    u64 h = static_cast<u64>(std::sqrt(4503599627370496.0 / static_cast<double>(kk)));
    while (kk * h * h > (static_cast<unsigned __int128>(1) << 52)) --h;
    const u64 limit = std::min<u64>(2 * h + 1, static_cast<u64>(kPrimeLimit) - 1);
    const int ka = std::max(0, sa.top - sa.low), kb = std::max(0, sb.top - sb.low);
    // |S / 2^shift| < K 2^(ka + kb); P must exceed four times that.
    int kbits = 0;
    while ((Py_ssize_t{1} << kbits) < K) ++kbits;
    const int bits = ka + kb + kbits + 2;
    const int shift = sa.low + sb.low;
    const int chunks_a = std::max(1, (ka + kChunkBits - 1) / kChunkBits);
    const int chunks_b = std::max(1, (kb + kChunkBits - 1) / kChunkBits);
    const PrimeSet& ps = primes_for(limit, bits);
    const int np = ps.count(), L = ps.L;

    Scratch<mp_limb_t> acc(static_cast<size_t>(nc) * (L + 1));
    Scratch<double> frac(static_cast<size_t>(nc));
    std::fill(acc.data(), acc.data() + static_cast<size_t>(nc) * (L + 1), 0);
    std::fill(frac.data(), frac.data() + nc, 0.0);
    const double per_prime = 8.0 * static_cast<double>(na + nb + nc);
    // Groups as even as the memory bound allows: a short last group would
    // be shared out by panels, with more meetings for little work.
    const int widest = std::max(1, std::min(np, static_cast<int>(kGroupBytes / per_prime)));
    const int groups = (np + widest - 1) / widest;
    const int group = (np + groups - 1) / groups;
    const int g_max = std::min(np, group);
    Scratch<double> ra(static_cast<size_t>(g_max) * na), rb(static_cast<size_t>(g_max) * nb),
        rc(static_cast<size_t>(g_max) * nc);
    const Py_ssize_t cores = std::max(1u, std::thread::hardware_concurrency());
    // Records are reduced and outputs rebuilt in runs of this many between
    // checks for Ctrl-C.
    constexpr Py_ssize_t kRun = 4096;
    const NoGil released;
    for (int i0 = 0; i0 < np; i0 += group) {
        poll_interrupt();
        const int i1 = std::min(np, i0 + group), g = i1 - i0;
        const bool last = i1 == np;
        if (g >= 2 * cores) {
            // Enough primes to share out: each thread reduces both operands
            // modulo its own primes and multiplies their residues, so the
            // threads meet once per group instead of three times (a wait at
            // each meeting costs most on a loaded machine).
            // Operands that outgrow the second-level cache are reduced by
            // records instead, so that each is read from memory once per
            // group rather than once per thread, for one more meeting.
            const bool shared_reduction = static_cast<double>(na + nb) * sizeof(fp_t) > kSharedReductionBytes;
            if (shared_reduction) {
                parallel_for(na + nb, 256, [&](Py_ssize_t lo, Py_ssize_t hi, const Checkpoint& cp) {
                    in_runs(lo, hi, kRun, cp, [&](Py_ssize_t s, Py_ssize_t e) {
                        if (s < na) reduce_records(a, s, std::min(e, na), sa.low, chunks_a, ps, i0, i1, ra.data(), na);
                        if (e > na) {
                            reduce_records(b, std::max(s, na) - na, e - na, sb.low, chunks_b, ps, i0, i1, rb.data(),
                                           nb);
                        }
                    });
                });
            }
            parallel_for(g, 1, [&](Py_ssize_t lo, Py_ssize_t hi, const Checkpoint& cp) {
                const int p0 = i0 + static_cast<int>(lo), p1 = i0 + static_cast<int>(hi);
                if (!shared_reduction) {
                    reduce_records(a, 0, na, sa.low, chunks_a, ps, p0, p1, ra.data() + lo * na, na);
                    reduce_records(b, 0, nb, sb.low, chunks_b, ps, p0, p1, rb.data() + lo * nb, nb);
                }
                std::fill(rc.data() + lo * nc, rc.data() + hi * nc, 0.0);
                std::vector<double> packed(static_cast<size_t>(kKc) * kPanel), rows(static_cast<size_t>(M) * kKc);
                for (Py_ssize_t m = lo * batch; m < hi * batch; ++m) {
                    if (cp.halted()) return;
                    residue_panel(ra.data() + m * M * K, rb.data() + m * K * N, rc.data() + m * M * N, M, N, K, -1,
                                  packed.data(), rows.data());
                }
            });
        } else {
            std::fill(rc.data(), rc.data() + static_cast<size_t>(g) * nc, 0.0);
            parallel_for(na, 256, [&](Py_ssize_t lo, Py_ssize_t hi, const Checkpoint& cp) {
                in_runs(lo, hi, kRun, cp, [&](Py_ssize_t s, Py_ssize_t e) {
                    reduce_records(a, s, e, sa.low, chunks_a, ps, i0, i1, ra.data(), na);
                });
            });
            parallel_for(nb, 256, [&](Py_ssize_t lo, Py_ssize_t hi, const Checkpoint& cp) {
                in_runs(lo, hi, kRun, cp, [&](Py_ssize_t s, Py_ssize_t e) {
                    reduce_records(b, s, e, sb.low, chunks_b, ps, i0, i1, rb.data(), nb);
                });
            });
            // One task per column panel of one product.
            const Py_ssize_t panels = (N + kPanel - 1) / kPanel, tasks = g * batch * panels;
            parallel_for(tasks, 1, [&](Py_ssize_t lo, Py_ssize_t hi, const Checkpoint& cp) {
                std::vector<double> packed(static_cast<size_t>(kKc) * kPanel);
                for (Py_ssize_t t = lo; t < hi; ++t) {
                    if (cp.halted()) return;
                    const Py_ssize_t m = t / panels, j0 = (t % panels) * kPanel;
                    residue_panel(ra.data() + m * M * K, rb.data() + m * K * N, rc.data() + m * M * N, M, N, K, j0,
                                  packed.data(), nullptr);
                }
            });
        }
        // After the last group each part of the outputs is finished where it
        // was accumulated.
        parallel_for(nc, 256, [&](Py_ssize_t lo, Py_ssize_t hi, const Checkpoint& cp) {
            in_runs(lo, hi, kRun, cp, [&](Py_ssize_t s, Py_ssize_t e) {
                crt_accumulate(rc.data(), nc, s, e, ps, i0, i1, acc.data(), frac.data());
                if (last) crt_finish(acc.data(), frac.data(), s, e, ps, shift, out);
            });
        });
    }
}

}  // namespace zel
