// The fixed-point arithmetic above the record primitives, in one include:
// products and the exact accumulator (fp_mul.cuh), division, square root and
// remainder (fp_div.cuh), exact element operations and integer powers
// (fp_ops.cuh), and the transcendental functions (fp_transc.cuh).
#pragma once
#include "fp_mul.cuh"
#include "fp_div.cuh"
#include "fp_ops.cuh"
#include "fp_transc.cuh"
