// One-operand element-wise kernels: out[i] = f(a[i]) for i < n, all with the
// argument order (a, out, n).
#pragma once
#include "../../arith/fp_math.cuh"
#include "kernel.cuh"

#define ZEL_UNARY_KERNEL(name, fn)                                         \
    ZEL_KERNEL(name, (const zel::fp_t* a, zel::fp_t* out, int n)) {        \
        const long long i = ZEL_GLOBAL_X;                                  \
        if (i < n) fn(out[i], a[i]);                                       \
    }

ZEL_UNARY_KERNEL(fp_neg_kernel, zel::fp_neg)
ZEL_UNARY_KERNEL(fp_abs_kernel, zel::fp_abs)
ZEL_UNARY_KERNEL(fp_relu_kernel, zel::fp_relu)
ZEL_UNARY_KERNEL(fp_sigmoid_kernel, zel::fp_sigmoid)
ZEL_UNARY_KERNEL(fp_tanh_kernel, zel::fp_tanh)
ZEL_UNARY_KERNEL(fp_gelu_kernel, zel::fp_gelu)
ZEL_UNARY_KERNEL(fp_silu_kernel, zel::fp_silu)
ZEL_UNARY_KERNEL(fp_exp_kernel, zel::fp_exp)
ZEL_UNARY_KERNEL(fp_log_kernel, zel::fp_log)
ZEL_UNARY_KERNEL(fp_sin_kernel, zel::fp_sin)
ZEL_UNARY_KERNEL(fp_cos_kernel, zel::fp_cos)
ZEL_UNARY_KERNEL(fp_sqrt_kernel, zel::fp_sqrt)
ZEL_UNARY_KERNEL(fp_sign_kernel, zel::fp_sign)
ZEL_UNARY_KERNEL(fp_asin_kernel, zel::fp_asin)
ZEL_UNARY_KERNEL(fp_acos_kernel, zel::fp_acos)
ZEL_UNARY_KERNEL(fp_atan_kernel, zel::fp_atan)

namespace zel {

// A double near a record's value, good enough to choose atan's reduction:
// every integer limb takes part (limb 4 alone would wrap at 2^64), the
// fraction to 64 bits, so for |x| < 2^64 it is limb4 + limb3 / 2^64 rounded.
// The products by 2^64 are exact, so a fused multiply-add gives the same
// double.  The sign reads as the kernels read it: only -1 is negative.
ZEL_HD double fp_atan_estimate(const fp_t& r) {
    double int_part = 0.0;
    for (int k = kLimbs - 1; k >= kLimbs / 2; --k) int_part = int_part * 0x1p64 + static_cast<double>(r.limb[k]);
    const double v = int_part + static_cast<double>(r.limb[kLimbs / 2 - 1]) / 0x1p64;
    return r.sign == -1 ? -v : v;
}

// atan of one record through the module's argument reduction, each step
// rounded as the element-wise kernels round it, with pi/4 and pi/2 the
// records of their doubles (c[0], c[1]).  The estimate x chooses the case:
//   |x| < 0.5:          atan x from the kernel;
//   0.5 <= |x| <= 1:    pi/4 + atan((|x| - 1) / (|x| + 1)), the ratio in [-1/3, 0];
//   |x| > 1:            pi/2 - atan(1 / |x|), the reciprocal taken through
//                       the first two cases;
// and atan(-x) = -atan(x).  An estimate above 1 means |x| >= 1 + 2^-53, so
// the floored reciprocal is below 1 and its estimate at most 1: the second
// reduction never needs the third case.
ZEL_HD void atan_upto_one(fp_t& r, const fp_t& y, double mag, const fp_t* c) {
    if (mag < 0.5) {
        fp_atan(r, y);
        return;
    }
    fp_t one, num, den, t;
    fp_set_zero(one);
    one.limb[kLimbs / 2] = 1;
    fp_sub(num, y, one);
    fp_add(den, y, one);
    fp_div(t, num, den);
    fp_atan(t, t);
    fp_add(r, c[0], t);
}

ZEL_HD void fp_atan_cases(fp_t& r, const fp_t& a, const fp_t* c) {
    const double x = fp_atan_estimate(a);
    const double mag = x >= 0 ? x : -x;
    if (mag < 0.5) {
        fp_atan(r, a);
        return;
    }
    fp_t abs_x;
    if (x < 0) fp_neg(abs_x, a);
    else abs_x = a;
    if (mag <= 1.0) {
        atan_upto_one(r, abs_x, mag, c);
    } else {
        fp_t one, t;
        fp_set_zero(one);
        one.limb[kLimbs / 2] = 1;
        fp_div(t, one, abs_x);
        atan_upto_one(t, t, fp_atan_estimate(t), c);
        fp_sub(r, c[1], t);
    }
    if (x < 0) fp_neg(r, r);
}

}  // namespace zel

// out[i] = atan(a[i]) by the reduction above; consts holds pi/4 and pi/2.
ZEL_KERNEL(fp_atan_reduced_kernel, (const zel::fp_t* a, const zel::fp_t* consts, zel::fp_t* out, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_atan_cases(out[i], a[i], consts);
}
