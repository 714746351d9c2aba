// Every kernel family, in the order of the kernel vocabulary.  Both the CUDA
// translation unit and the host kernel library include exactly this list.
#pragma once
#include "convert.cuh"
#include "elementwise.cuh"
#include "unary.cuh"
#include "compare.cuh"
#include "rounding.cuh"
#include "sparse.cuh"
#include "reduce.cuh"
#include "products.cuh"
#include "shape.cuh"
#include "index.cuh"
