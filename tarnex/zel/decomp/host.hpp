// What the decompositions share: reading a tensor's records as doubles,
// writing doubles back as a tensor, and the interpreter's sum() of floats,
// whose rounding the host arithmetic must reproduce.
#pragma once
#include <cmath>
#include <utility>
#include <vector>

#include "../core/interrupt.hpp"
#include "../tensor/tensor.hpp"

namespace zel::decomp {

using py::float_list;
using py::unpack2;

// The first `need` records of tensor `t` as doubles (fp_to_double, the same
// doubles as one from_gpu per element), read in one transfer.  A tensor with
// fewer records fails as the element-wise read would, with IndexError.
std::vector<double> read_doubles(PyObject* t, Py_ssize_t need);

// The side of square matrix A (a 2-D shape whose two entries compare equal),
// or ValueError(message).
Py_ssize_t square_size(PyObject* A, const char* message);

// Tensor(_raw=tensor(list of the doubles)._data, shape=(rows, cols)).
Ref matrix_tensor(const std::vector<double>& x, Py_ssize_t rows, Py_ssize_t cols);

// sum() of Python floats from the start value 0, as CPython 3.12 computes
// it: the first term is added to the int 0, the rest by Neumaier's
// compensated summation, the compensation folded in at the end unless it is
// zero or not finite.
class FloatSum {
public:
    void add(double x) {
        if (empty_) {
            f_ = 0.0 + x;
            empty_ = false;
            return;
        }
        const double t = f_ + x;
        if (std::fabs(f_) >= std::fabs(x)) c_ += (f_ - t) + x;
        else c_ += (x - t) + f_;
        f_ = t;
    }
    // An empty sum is the int 0, equal to 0.0 for every use made of it here.
    double value() const {
        if (c_ != 0.0 && std::isfinite(c_)) return f_ + c_;
        return f_;
    }

private:
    double f_ = 0.0, c_ = 0.0;
    bool empty_ = true;
};

// Method tables of the decomposition files, bound in import order.
extern PyMethodDef qr_methods[];
extern PyMethodDef eig_methods[];
extern PyMethodDef svd_methods[];
extern PyMethodDef expm_methods[];

}  // namespace zel::decomp
