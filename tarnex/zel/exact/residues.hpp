// Arithmetic modulo the word-size primes 2^25 < p < 2^26 that the exact
// algebra's remaindering runs on (the determinant and rank bound in
// modular.cpp, the lifting, inverse and reduced forms in lifting.cpp): one
// list of primes, largest first, shared by all of them.  Residues below
// 2^26 make every product of two fit in 52 bits, so eliminations add up to
// 2^10 products to a 64-bit entry between reductions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <gmp.h>
#include <mutex>
#include <utility>
#include <vector>

namespace zel::exact {

// Z/pZ for a prime 2^25 < p < 2^26.
struct SmallPrime {
    using u32 = uint32_t;
    using u64 = uint64_t;
    u64 p = 0;
    u64 barrett = 0;  // floor((2^64 - 1) / p)
    explicit SmallPrime(u32 prime) : p(prime), barrett(~u64(0) / prime) {}
    // x mod p for any 64-bit x (Barrett: the quotient estimate is short by
    // at most 2).
    u32 reduce(u64 x) const {
        const u64 q = static_cast<u64>((static_cast<unsigned __int128>(x) * barrett) >> 64);
        u64 r = x - q * p;
        if (r >= p) r -= p;
        if (r >= p) r -= p;
        return static_cast<u32>(r);
    }
    u32 mul(u32 a, u32 b) const { return reduce(static_cast<u64>(a) * b); }
    u32 neg(u32 a) const { return a ? static_cast<u32>(p - a) : 0; }
    // Garner's step of Chinese remaindering: the t in [0, p) with
    // x + m t = want (mod p), from have = x mod p and m_inv = m^-1 mod p.
    u32 garner(u32 have, u32 want, u32 m_inv) const { return mul(reduce(static_cast<u64>(want) + p - have), m_inv); }
    // a^-1 for a != 0, by the extended Euclidean algorithm.
    u32 inv(u32 a) const {
        int64_t r0 = static_cast<int64_t>(p), r1 = a, s0 = 0, s1 = 1;
        while (r1) {
            const int64_t q = r0 / r1;
            std::swap(r0, r1);
            r1 -= q * r0;
            std::swap(s0, s1);
            s1 -= q * s0;
        }
        return static_cast<u32>(s0 < 0 ? s0 + static_cast<int64_t>(p) : s0);
    }
};

constexpr uint32_t kPrimeTop = 1u << 26;
constexpr double kPrimeBits = 25.0;  // every prime exceeds 2^25

// Entries start below 2^26 and gain less than 2^52 per elimination step,
// so 2^10 steps between full reductions keep every entry below 2^63.
constexpr std::ptrdiff_t kStepsPerReduction = 1024;

// The i-th prime below 2^26, largest first, found on demand and kept (a
// deque, so references stay valid as it grows): trial division by the
// primes below 2^13 = sqrt(2^26).  Threads eliminating at once (without the
// interpreter lock) share the list.
inline const SmallPrime& small_prime(size_t i) {
    static std::mutex lock;
    const std::lock_guard<std::mutex> held(lock);
    static std::deque<SmallPrime> primes;
    static std::vector<uint32_t> base;
    static uint32_t next = kPrimeTop - 1;
    if (base.empty()) {
        std::vector<bool> composite(1u << 13);
        for (uint32_t q = 2; q < composite.size(); ++q) {
            if (composite[q]) continue;
            base.push_back(q);
            for (uint32_t k = q * q; k < composite.size(); k += q) composite[k] = true;
        }
    }
    while (primes.size() <= i) {
        for (;; next -= 2) {
            bool prime = true;
            for (uint32_t q : base) {
                if (next % q == 0) {
                    prime = false;
                    break;
                }
            }
            if (prime) break;
        }
        primes.emplace_back(next);
        next -= 2;
    }
    return primes[i];
}

// The symmetric residue of z modulo m (0 <= z < m), in place: the
// remaindering's result once m exceeds twice the bound on |z|
// (half = floor(m / 2)).
inline void symmetric(mpz_ptr z, mpz_srcptr m, mpz_srcptr half) {
    if (mpz_cmp(z, half) > 0) mpz_sub(z, z, m);
}

}  // namespace zel::exact
