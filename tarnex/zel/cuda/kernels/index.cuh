// The copy kernel behind indexing: a gather into a fresh array and a scatter
// into a tensor's records are both one strided copy over a common index
// space, described by a small plan in device memory.
#pragma once
#include "../../arith/fp_ops.cuh"
#include "kernel.cuh"

// plan = [k, dst_base, src_base, dims[k], dst_strides[k], src_strides[k]]:
// output record i, whose row-major coordinates over dims are c, is
// dst[dst_base + c . dst_strides] = src[src_base + c . src_strides].
// Strides may be negative (reversed slices) or zero (broadcast operands);
// the host checks every reachable offset before the launch.  n is the
// product of dims, so no dimension is zero when a thread runs.
ZEL_KERNEL(fp_strided_copy_kernel, (const zel::fp_t* src, zel::fp_t* dst, const long long* plan, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i >= n) return;
    const long long k = plan[0];
    const long long* dims = plan + 3;
    const long long* dst_strides = dims + k;
    const long long* src_strides = dst_strides + k;
    long long rest = i, d = plan[1], s = plan[2];
    for (long long j = k - 1; j >= 0; --j) {
        const long long c = rest % dims[j];
        rest /= dims[j];
        d += c * dst_strides[j];
        s += c * src_strides[j];
    }
    zel::fp_copy(dst[d], src[s]);
}
