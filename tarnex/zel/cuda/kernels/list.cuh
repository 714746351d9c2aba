// The kernel list: every kernel the library has, once.  The CUDA translation
// unit, the host kernel library and the module's `KernelId` are all expanded
// from it, so a kernel missing here, or a name used that is not here, fails
// to compile.
//
// Columns: the name; the parameters in order, one letter each (c a pointer
// the kernel only reads, m a pointer it writes, i a 32-bit int, l a 64-bit
// int); the launch shape (Line: grid_for(n) blocks of 256 threads over n work
// items; Tile: 16 x 16 threads over an output matrix, columns on x and rows
// on y; Single: one thread).
#pragma once

#define ZEL_KERNEL_LIST(X)                                  \
    X(fp_from_double_kernel, "cmi", Line)                   \
    X(fp_to_double_kernel, "cmi", Line)                     \
    X(fp_add_kernel, "ccmi", Line)                          \
    X(fp_sub_kernel, "ccmi", Line)                          \
    X(fp_mul_kernel, "ccmi", Line)                          \
    X(fp_div_kernel, "ccmi", Line)                          \
    X(fp_neg_kernel, "cmi", Line)                           \
    X(fp_abs_kernel, "cmi", Line)                           \
    X(fp_relu_kernel, "cmi", Line)                          \
    X(fp_sigmoid_kernel, "cmi", Line)                       \
    X(fp_tanh_kernel, "cmi", Line)                          \
    X(fp_gelu_kernel, "cmi", Line)                          \
    X(fp_silu_kernel, "cmi", Line)                          \
    X(fp_exp_kernel, "cmi", Line)                           \
    X(fp_log_kernel, "cmi", Line)                           \
    X(fp_sin_kernel, "cmi", Line)                           \
    X(fp_cos_kernel, "cmi", Line)                           \
    X(fp_sqrt_kernel, "cmi", Line)                          \
    X(fp_sign_kernel, "cmi", Line)                          \
    X(fp_asin_kernel, "cmi", Line)                          \
    X(fp_acos_kernel, "cmi", Line)                          \
    X(fp_atan_kernel, "cmi", Line)                          \
    X(fp_atan_reduced_kernel, "ccmi", Line)                 \
    X(fp_eq_kernel, "ccmi", Line)                           \
    X(fp_lt_kernel, "ccmi", Line)                           \
    X(fp_gt_kernel, "ccmi", Line)                           \
    X(fp_le_kernel, "ccmi", Line)                           \
    X(fp_ge_kernel, "ccmi", Line)                           \
    X(fp_ne_kernel, "ccmi", Line)                           \
    X(fp_where_kernel, "cccmi", Line)                       \
    X(fp_clamp_kernel, "cmcci", Line)                       \
    X(fp_pow_int_kernel, "cmii", Line)                      \
    X(fp_leaky_relu_kernel, "cmci", Line)                   \
    X(fp_ceil_kernel, "cmi", Line)                          \
    X(fp_floor_kernel, "cmi", Line)                         \
    X(fp_round_kernel, "cmi", Line)                         \
    X(fp_trunc_kernel, "cmi", Line)                         \
    X(fp_frac_kernel, "cmi", Line)                          \
    X(fp_mod_kernel, "ccmi", Line)                          \
    X(fp_dense_to_csr_count_kernel, "cmii", Line)           \
    X(fp_dense_to_csr_extract_kernel, "cmmcii", Line)       \
    X(fp_spmv_kernel, "ccccmi", Line)                       \
    X(fp_sum_tree_kernel, "cmii", Line)                     \
    X(fp_prod_tree_kernel, "cmii", Line)                    \
    X(fp_max_tree_kernel, "cmii", Line)                     \
    X(fp_min_tree_kernel, "cmii", Line)                     \
    X(fp_sum_reduce_kernel, "mi", Line)                     \
    X(fp_prod_reduce_kernel, "mi", Line)                    \
    X(fp_max_reduce_kernel, "mi", Line)                     \
    X(fp_min_reduce_kernel, "mi", Line)                     \
    X(fp_dot_kernel, "ccmi", Line)                          \
    X(fp_cumsum_kernel, "cmii", Line)                       \
    X(fp_cumprod_kernel, "cmii", Line)                      \
    X(fp_argmax_kernel, "cmii", Line)                       \
    X(fp_argmin_kernel, "cmii", Line)                       \
    X(fp_softmax_kernel, "cmii", Line)                      \
    X(fp_mm_kernel, "ccmiii", Tile)                         \
    X(fp_bmm_kernel, "ccmiiii", Tile)                       \
    X(fp_mv_kernel, "ccmii", Line)                          \
    X(fp_outer_kernel, "ccmii", Tile)                       \
    X(fp_kron_kernel, "ccmiiii", Line)                      \
    X(fp_trace_kernel, "cmi", Single)                       \
    X(fp_diag_kernel, "cmi", Line)                          \
    X(fp_conv2d_kernel, "ccmiiiiiiiiiii", Line)             \
    X(fp_zeros_kernel, "mi", Line)                          \
    X(fp_ones_kernel, "mi", Line)                           \
    X(fp_eye_kernel, "mi", Line)                            \
    X(fp_transpose_kernel, "cmii", Tile)                    \
    X(fp_copy_strided_kernel, "cmli", Line)                 \
    X(fp_strided_copy_kernel, "cmci", Line)

namespace zel {

// One enumerator per kernel, named as the kernel.
enum class KernelId : int {
#define ZEL_KERNEL_ENUM(name, params, shape) name,
    ZEL_KERNEL_LIST(ZEL_KERNEL_ENUM)
#undef ZEL_KERNEL_ENUM
};

#define ZEL_KERNEL_COUNT_ONE(name, params, shape) +1
constexpr int kKernelCount = 0 ZEL_KERNEL_LIST(ZEL_KERNEL_COUNT_ONE);
#undef ZEL_KERNEL_COUNT_ONE

enum class LaunchShape : int { Line, Tile, Single };

}  // namespace zel
