// The tiled matrix product as a GPU runs it: the device branch of
// fp_mm_kernel (shared-memory tiles, two barriers per step) compiled with
// ZEL_DEVICE_SIM and run through the fiber scheduler of sim.hpp, block by
// block, against the floor of the exact sum of products computed with GMP.
//
//   test_device_branches [seed]    exit status 1 on a wrong record
//
// Built from a copy of the sources with a barrier deleted, it must fail: that
// is what shows the scheduler's barrier is real.
#include <gmpxx.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kernel_registry.hpp"
#include "host/sim.hpp"

#include "cuda/kernels/products.cuh"

using zel::fp_t;

namespace {

int g_failures = 0;

mpz_class scaled(const fp_t& r) {
    mpz_class m = 0;
    for (int i = zel::kLimbs - 1; i >= 0; --i) {
        m <<= 64;
        m += mpz_class(std::to_string(r.limb[i]));
    }
    return r.sign == -1 ? mpz_class(-m) : m;
}

// The record of floor(s / 2^256), saturated, with a canonical sign.
fp_t expected_record(const mpz_class& s) {
    mpz_class q;
    mpz_fdiv_q_2exp(q.get_mpz_t(), s.get_mpz_t(), zel::kFracBits);
    fp_t r{};
    mpz_class m = abs(q);
    const mpz_class top = (mpz_class(1) << (64 * zel::kLimbs)) - 1;
    if (m > top) m = top;
    r.sign = q < 0 ? -1 : 1;
    for (int i = 0; i < zel::kLimbs; ++i) {
        mpz_class limb = m & ((mpz_class(1) << 64) - 1);
        r.limb[i] = std::strtoull(limb.get_str().c_str(), nullptr, 10);
        m >>= 64;
    }
    return r;
}

fp_t random_record(std::mt19937_64& g) {
    fp_t r{};
    const int kind = static_cast<int>(g() % 4);
    r.sign = g() % 2 ? -1 : 1;
    for (int i = 0; i < zel::kLimbs; ++i) r.limb[i] = g();
    if (kind == 0) {  // a short value, as from a double
        for (int i = 0; i < zel::kLimbs; ++i) {
            if (i < 3 || i > 4) r.limb[i] = 0;
        }
    } else if (kind == 1) {  // zero
        for (auto& l : r.limb) l = 0;
        r.sign = 1;
    } else if (kind == 2) {  // small enough that sums stay in range
        r.limb[7] = r.limb[6] = r.limb[5] = 0;
    }
    return r;
}

using MmKernel = void (*)(const zel::ThreadCtx&, const fp_t*, const fp_t*, fp_t*, int, int, int);

struct Closure {
    MmKernel fn;
    const fp_t *a, *b;
    fp_t* out;
    int M, N, K;
};

void thread_body(void* p, const zel::ThreadCtx& ctx) {
    auto* c = static_cast<Closure*>(p);
    c->fn(ctx, c->a, c->b, c->out, c->M, c->N, c->K);
}

// One launch: gy row-tile blocks (fewer than the row tiles, to exercise the
// walk over rows beyond grid.y) by the column tiles, 16 x 16 threads each.
void check_product(std::mt19937_64& g, int M, int N, int K, unsigned gy) {
    std::vector<fp_t> a(static_cast<size_t>(M) * K), b(static_cast<size_t>(K) * N), out(static_cast<size_t>(M) * N);
    for (auto& r : a) r = random_record(g);
    for (auto& r : b) r = random_record(g);
    auto fn = reinterpret_cast<MmKernel>(zel::kernel_registry().at("fp_mm_kernel"));
    Closure c{fn, a.data(), b.data(), out.data(), M, N, K};
    zel::ThreadCtx base{};
    base.block_dim = {16, 16, 1};
    base.grid_dim = {static_cast<unsigned>((N + 15) / 16), gy, 1};
    for (unsigned by = 0; by < base.grid_dim.y; ++by) {
        for (unsigned bx = 0; bx < base.grid_dim.x; ++bx) {
            base.block_idx = {bx, by, 0};
            zel::sim::run_block(base, &thread_body, &c);
        }
    }
    for (int i = 0; i < M; ++i) {
        for (int j = 0; j < N; ++j) {
            mpz_class s = 0;
            for (int k = 0; k < K; ++k) s += scaled(a[static_cast<size_t>(i) * K + k]) * scaled(b[static_cast<size_t>(k) * N + j]);
            const fp_t want = expected_record(s);
            const fp_t& got = out[static_cast<size_t>(i) * N + j];
            bool same = want.sign == got.sign;
            for (int l = 0; l < zel::kLimbs; ++l) same &= want.limb[l] == got.limb[l];
            if (!same && g_failures++ < 10) {
                std::printf("FAIL: mm %dx%dx%d, grid.y %u: record (%d, %d) differs from the exact floor\n", M, N, K,
                            gy, i, j);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned long long seed = argc >= 2 ? std::strtoull(argv[1], nullptr, 10) : 1;
    std::printf("seed %llu\n", seed);
    std::mt19937_64 g(seed);
    // Sizes off the tile in every direction, several k-steps (a barrier
    // missing between steps shows only then), and more row tiles than blocks.
    check_product(g, 1, 1, 1, 1);
    check_product(g, 17, 33, 40, 2);
    check_product(g, 32, 16, 48, 2);
    check_product(g, 70, 5, 35, 2);
    check_product(g, 3, 40, 20, 1);
    if (g_failures) {
        std::printf("%d wrong records\n", g_failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
