// Reduction kernels: the pairwise tree of sum, prod, max and min (several
// passes per launch, and the single in-place pass), the element products of
// dot, and the row-wise scans, arg searches and softmax (one thread per row
// of `cols` records).
#pragma once
#include "../../arith/fp_math.cuh"
#include "kernel.cuh"
#include "elementwise.cuh"

namespace zel {

ZEL_HD void fp_max_of(fp_t& r, const fp_t& a, const fp_t& b) { fp_copy(r, fp_cmp(b, a) > 0 ? b : a); }

ZEL_HD void fp_min_of(fp_t& r, const fp_t& a, const fp_t& b) { fp_copy(r, fp_cmp(b, a) < 0 ? b : a); }

// The pairwise tree of the whole-tensor reductions.  A pass over a count n
// combines record i with record i + n/2 for every i < n/2; an odd last
// record is then folded into record 0 (sum, prod: kFold) or carried to
// position n/2 for the next pass (max, min: kCarry).  Saturation and the
// floor of each product make the pairing observable, so every evaluation of
// the tree keeps exactly these pairs and operand orders.
enum class TreeOdd { kFold, kCarry };

template <TreeOdd odd>
ZEL_HD constexpr long long tree_next(long long n) {
    const long long half = n / 2;
    return odd == TreeOdd::kCarry && n % 2 == 1 && half > 0 ? half + 1 : half;
}

constexpr int kTreeLevels = 4;  // passes per launch: the working array is 1/16 of the input

// Record j after L passes over src (whose count is ns[0]; ns[k] is the count
// after k passes), computed from the 2^L (or fewer) records it depends on.
// Each node of the tree is evaluated by exactly one call, so a launch does
// the work of L passes with no array between them.
template <int L, TreeOdd odd, void (*op)(fp_t&, const fp_t&, const fp_t&)>
ZEL_HD void tree_node(fp_t& r, const fp_t* src, const long long* ns, long long j) {
    if constexpr (L == 1) {
        // The leaves are combined where they lie, without staging copies.
        const long long n = ns[0], half = n / 2;
        if (odd == TreeOdd::kCarry && j == half) {
            r = src[n - 1];
            return;
        }
        op(r, src[j], src[j + half]);
        if (odd == TreeOdd::kFold && j == 0 && n % 2 == 1) op(r, r, src[n - 1]);
    } else {
        const long long n = ns[L - 1], half = n / 2;
        if (odd == TreeOdd::kCarry && j == half) {
            tree_node<L - 1, odd, op>(r, src, ns, n - 1);
            return;
        }
        fp_t lo, hi;
        tree_node<L - 1, odd, op>(lo, src, ns, j);
        tree_node<L - 1, odd, op>(hi, src, ns, j + half);
        op(r, lo, hi);
        if (odd == TreeOdd::kFold && j == 0 && n % 2 == 1) {
            tree_node<L - 1, odd, op>(hi, src, ns, n - 1);
            op(r, r, hi);
        }
    }
}

// The sum tree without sign branches.  Each node is held in two's
// complement with one limb beyond the record, where the sum of two in-range
// nodes is exact; a node outside the range is then clamped to the largest
// magnitude of its sign.  fp_add is exactly that (the exact sum, saturated
// beyond the range, a zero always +0), so this evaluates the same pairs to
// the same records as the fp_add tree, in one pass whether or not any node
// saturates.
struct sum_wide_t {
    uint64_t l[kLimbs + 1];
};

ZEL_HD void wide_from_fp(sum_wide_t& w, const fp_t& a) {
    const uint64_t m = fp_is_neg(a) ? ~0ull : 0ull;
    uint64_t carry = m & 1;
    for (int i = 0; i < kLimbs; ++i) {
        const uint64_t x = (a.limb[i] ^ m) + carry;
        carry = x < carry;
        w.l[i] = x;
    }
    w.l[kLimbs] = m + carry;
}

// r = a + b saturated to -(2^512 - 1) .. 2^512 - 1 (in units of 2^-256).
ZEL_HD void wide_add_sat(sum_wide_t& r, const sum_wide_t& a, const sum_wide_t& b) {
    add_n<kLimbs + 1>(r.l, a.l, b.l);
    const uint64_t top = r.l[kLimbs];
    if (top == 0 || (top == ~0ull && !is_zero_n<kLimbs>(r.l))) return;
    // Out of range: |a + b| >= 2^512.  The top limb's sign is the sum's.
    const bool neg = (top >> 63) != 0;
    for (int i = 0; i < kLimbs; ++i) r.l[i] = neg ? 0 : ~0ull;
    r.l[0] |= neg ? 1 : 0;
    r.l[kLimbs] = neg ? ~0ull : 0;
}

ZEL_HD void fp_from_wide(fp_t& r, const sum_wide_t& w) {
    const bool neg = (w.l[kLimbs] >> 63) != 0;
    const uint64_t m = neg ? ~0ull : 0ull;
    uint64_t carry = m & 1;
    for (int i = 0; i < kLimbs; ++i) {
        const uint64_t x = (w.l[i] ^ m) + carry;
        carry = x < carry;
        r.limb[i] = x;
    }
    fp_set_sign(r, neg);
}

template <int L>
ZEL_HD void sum_node(sum_wide_t& r, const fp_t* src, const long long* ns, long long j) {
    const long long n = ns[L - 1], half = n / 2;
    sum_wide_t lo, hi;
    if constexpr (L == 1) {
        wide_from_fp(lo, src[j]);
        wide_from_fp(hi, src[j + half]);
    } else {
        sum_node<L - 1>(lo, src, ns, j);
        sum_node<L - 1>(hi, src, ns, j + half);
    }
    wide_add_sat(r, lo, hi);
    if (j == 0 && n % 2 == 1) {
        if constexpr (L == 1) wide_from_fp(hi, src[n - 1]);
        else sum_node<L - 1>(hi, src, ns, n - 1);
        wide_add_sat(r, r, hi);
    }
}

template <int L>
ZEL_HD void sum_tree_node(fp_t& r, const fp_t* src, const long long* ns, long long j) {
    sum_wide_t w;
    sum_node<L>(w, src, ns, j);
    fp_from_wide(r, w);
}

// dst[i] = record i after `levels` passes over src[0 .. n), for i below the
// count those passes leave.
template <TreeOdd odd, void (*op)(fp_t&, const fp_t&, const fp_t&), bool wide_sum = false>
ZEL_HD void tree_levels(const fp_t* src, fp_t* dst, long long n, int levels, long long i) {
    long long ns[kTreeLevels + 1];
    ns[0] = n;
    for (int k = 1; k <= kTreeLevels; ++k) ns[k] = tree_next<odd>(ns[k - 1]);
    if (levels < 1 || levels > kTreeLevels || i >= ns[levels]) return;
    if constexpr (wide_sum) {
        switch (levels) {
            case 1: sum_tree_node<1>(dst[i], src, ns, i); break;
            case 2: sum_tree_node<2>(dst[i], src, ns, i); break;
            case 3: sum_tree_node<3>(dst[i], src, ns, i); break;
            default: sum_tree_node<4>(dst[i], src, ns, i); break;
        }
    } else {
        switch (levels) {
            case 1: tree_node<1, odd, op>(dst[i], src, ns, i); break;
            case 2: tree_node<2, odd, op>(dst[i], src, ns, i); break;
            case 3: tree_node<3, odd, op>(dst[i], src, ns, i); break;
            default: tree_node<4, odd, op>(dst[i], src, ns, i); break;
        }
    }
}

}  // namespace zel

// Up to kTreeLevels passes of the tree in one launch, from src (never
// written) into a fresh dst: the host chains launches until one record is
// left, so no copy of the input is ever made.
#define ZEL_TREE_KERNEL(name, ...)                                                 \
    ZEL_KERNEL(name, (const zel::fp_t* src, zel::fp_t* dst, int n, int levels)) {  \
        zel::tree_levels<__VA_ARGS__>(src, dst, n, levels, ZEL_GLOBAL_X);          \
    }

ZEL_TREE_KERNEL(fp_sum_tree_kernel, zel::TreeOdd::kFold, zel::fp_add, true)
ZEL_TREE_KERNEL(fp_prod_tree_kernel, zel::TreeOdd::kFold, zel::fp_mul)
ZEL_TREE_KERNEL(fp_max_tree_kernel, zel::TreeOdd::kCarry, zel::fp_max_of)
ZEL_TREE_KERNEL(fp_min_tree_kernel, zel::TreeOdd::kCarry, zel::fp_min_of)

#undef ZEL_TREE_KERNEL

// One pass of the tree over data[0 .. n) in place: data[i] op= data[i + n/2]
// for i < n/2, an odd last record left for the caller.  Kept for callers of
// the kernel vocabulary; the module's reductions use the tree kernels above.
#define ZEL_REDUCE_PASS(name, combine)                                     \
    ZEL_KERNEL(name, (zel::fp_t * data, int n)) {                          \
        const long long i = ZEL_GLOBAL_X;                                  \
        const long long half = n / 2;                                      \
        if (i < half) combine(data[i], data[i], data[i + half]);           \
    }

ZEL_REDUCE_PASS(fp_sum_reduce_kernel, zel::fp_add)
ZEL_REDUCE_PASS(fp_prod_reduce_kernel, zel::fp_mul)
ZEL_REDUCE_PASS(fp_max_reduce_kernel, zel::fp_max_of)
ZEL_REDUCE_PASS(fp_min_reduce_kernel, zel::fp_min_of)

#undef ZEL_REDUCE_PASS

// products[i] = floor(a[i] * b[i]) (out); the host sums them with the tree
// above.
ZEL_BINARY_KERNEL(fp_dot_kernel, zel::fp_mul)

// Running sum along each row, kept in the exact accumulator: each output is
// the exact prefix sum, saturated only where that prefix itself is out of
// range, so a saturated prefix does not distort the ones after it.
ZEL_KERNEL(fp_cumsum_kernel, (const zel::fp_t* a, zel::fp_t* out, int rows, int cols)) {
    const long long r = ZEL_GLOBAL_X;
    if (r >= rows) return;
    const zel::fp_t* row = a + r * cols;
    zel::fp_t* dst = out + r * cols;
    zel::acc_t acc;
    zel::acc_zero(acc);
    for (int j = 0; j < cols; ++j) {
        zel::acc_add_fp(acc, row[j]);
        zel::acc_round(dst[j], acc);
    }
}

// Running product along each row, each step rounded by the floor rule.
ZEL_KERNEL(fp_cumprod_kernel, (const zel::fp_t* a, zel::fp_t* out, int rows, int cols)) {
    const long long r = ZEL_GLOBAL_X;
    if (r >= rows || cols <= 0) return;
    const zel::fp_t* row = a + r * cols;
    zel::fp_t* dst = out + r * cols;
    zel::fp_t acc;
    zel::fp_copy(acc, row[0]);
    dst[0] = acc;
    for (int j = 1; j < cols; ++j) {
        zel::fp_mul(acc, acc, row[j]);
        dst[j] = acc;
    }
}

// Index of the first largest (smallest) record of each row: a later record
// replaces the best only when strictly larger (smaller), so ties report the
// lowest index.  Rows without columns are refused by the host.
#define ZEL_ARG_SEARCH(name, better)                                             \
    ZEL_KERNEL(name, (const zel::fp_t* a, int* out, int rows, int cols)) {       \
        const long long r = ZEL_GLOBAL_X;                                        \
        if (r >= rows) return;                                                   \
        const zel::fp_t* row = a + r * cols;                                     \
        int best = 0;                                                            \
        for (int j = 1; j < cols; ++j) {                                         \
            if (zel::fp_cmp(row[j], row[best]) better 0) best = j;               \
        }                                                                        \
        out[r] = best;                                                           \
    }

ZEL_ARG_SEARCH(fp_argmax_kernel, >)
ZEL_ARG_SEARCH(fp_argmin_kernel, <)

#undef ZEL_ARG_SEARCH

// Softmax of each row: e_j = exp(a_j - max) lies in (0, 1] (the shift by the
// row maximum keeps every exponential in range), their sum S in [1, cols] is
// exact, and out_j = floor(e_j / S).  The exponentials are staged in out.
ZEL_KERNEL(fp_softmax_kernel, (const zel::fp_t* a, zel::fp_t* out, int rows, int cols)) {
    const long long r = ZEL_GLOBAL_X;
    if (r >= rows || cols <= 0) return;
    const zel::fp_t* row = a + r * cols;
    zel::fp_t* dst = out + r * cols;
    zel::fp_t top = row[0];
    for (int j = 1; j < cols; ++j) zel::fp_max_of(top, top, row[j]);
    zel::fp_t total;
    zel::fp_set_zero(total);
    for (int j = 0; j < cols; ++j) {
        zel::fp_t d;
        zel::fp_sub(d, row[j], top);
        zel::fp_exp(dst[j], d);
        zel::fp_add(total, total, dst[j]);
    }
    for (int j = 0; j < cols; ++j) zel::fp_div(dst[j], dst[j], total);
}
