// The CUDA translation unit: compiled by nvcc into the shipped fatbin, or at
// run time by NVRTC from the installed sources when no fatbin is present.
#include "kernels/all.cuh"
