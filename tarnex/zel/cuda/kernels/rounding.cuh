// Integer extraction and remainder kernels, all exact.
#pragma once
#include "../../arith/fp_math.cuh"
#include "kernel.cuh"
#include "elementwise.cuh"
#include "unary.cuh"

ZEL_UNARY_KERNEL(fp_ceil_kernel, zel::fp_ceil)
ZEL_UNARY_KERNEL(fp_floor_kernel, zel::fp_floor)
ZEL_UNARY_KERNEL(fp_round_kernel, zel::fp_round)
ZEL_UNARY_KERNEL(fp_trunc_kernel, zel::fp_trunc)
ZEL_UNARY_KERNEL(fp_frac_kernel, zel::fp_frac)

ZEL_BINARY_KERNEL(fp_mod_kernel, zel::fp_mod)
