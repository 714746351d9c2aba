// The device behind the module, chosen once at import: the CUDA backend
// (CuPy arrays, kernels from the loader) or the host backend (the NumPy-backed
// stand-in, kernels run in-process by the host kernel library).  Everything
// that allocates device memory, launches, waits or copies goes through it.
#pragma once
#include "runtime.hpp"

namespace zel {

class Backend {
public:
    virtual ~Backend() = default;
    // A new array of n elements of `dtype` (records when null), zeroed or not.
    virtual Ref allocate(Py_ssize_t n, PyObject* dtype, bool zeroed) = 0;
    // Launches with geometry already known to be non-empty and arguments that
    // match the kernel list; checks the operands with need > 0.
    virtual void launch(KernelId kernel, const Dims& grid, const Dims& block,
                        std::initializer_list<LaunchArg> args) = 0;
    // The operand check of check_operand_facts, on an array of this backend.
    virtual void check(KernelId kernel, const LaunchArg& a) = 0;
    // len() of an array of this backend.
    virtual Py_ssize_t length(PyObject* array) = 0;
    // Waits for every launch so far.
    virtual void synchronize() = 0;
    // Copies `bytes` bytes from src (at byte offset src_at) to dst (at dst_at),
    // device to device, in launch order.
    virtual void copy(PyObject* dst, Py_ssize_t dst_at, PyObject* src, Py_ssize_t src_at, Py_ssize_t bytes) = 0;
};

Backend& backend();
// Picks the backend for the selected device; after the array library and the
// loader are bound.
void select_backend();

// The operand check every backend applies: ValueError where `a` holds fewer
// than `need` elements, fewer bytes than need * itemsize, or is not
// contiguous.  `length`, `nbytes` and `contiguous` are the array's.
void check_operand_facts(KernelId kernel, const LaunchArg& a, Py_ssize_t length, Py_ssize_t nbytes, bool contiguous);

}  // namespace zel
