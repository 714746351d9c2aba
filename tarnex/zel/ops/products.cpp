// Matrix products: mm, mv, matmul, bmm, outer, kron, trace, diag, conv2d.
// Each checks ranks and sizes on the host before it allocates, then makes one
// launch; mm, mv, conv2d and trace are rounded once from an exact sum.
#include <algorithm>
#include <vector>

#include "../core/convert.hpp"
#include "../tensor/tensor.hpp"
#include "elementwise.hpp"
#include "multimodular.hpp"

namespace zel {
namespace {

Ref text(PyObject* o) { return py::check(PyObject_Str(o)); }

struct Operand {
    Ref data, shape;
    std::vector<Py_ssize_t> dims;
    explicit Operand(PyObject* t)
        : data(tensor_data(t)), shape(tensor_shape(t)), dims(checked_dims(data.get(), shape.get())) {}
    size_t rank() const { return dims.size(); }
};

// The interpreter's messages for `x, y = shape` with the wrong length.
void unpack(const Operand& t, size_t expected) {
    const size_t got = t.rank();
    if (got < expected) {
        py::raisef(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", expected, got);
    }
    if (got > expected) py::raisef(PyExc_ValueError, "too many values to unpack (expected %zu)", expected);
}

[[noreturn]] void shape_mismatch(const char* prefix, const Operand& a, const Operand& b) {
    py::raisef(PyExc_ValueError, "%s%U @ %U", prefix, text(a.shape.get()).get(), text(b.shape.get()).get());
}

// The address of a host backend array's records, `arr.data.ptr` as a launch
// passes it.
fp_t* host_records(PyObject* arr) {
    Ref data = py::getattr(arr, "data");
    Ref ptr = py::getattr(data.get(), "ptr");
    void* p = PyLong_AsVoidPtr(ptr.get());
    if (!p && PyErr_Occurred()) py::fail();
    return static_cast<fp_t*>(p);
}

// The host backend's multi-modular product on the records of host arrays
// (already checked, as a launch checks them, to be contiguous and to hold
// batch * M * K and batch * K * N records).
void host_multimodular(PyObject* a, PyObject* b, PyObject* out, Py_ssize_t batch, Py_ssize_t M, Py_ssize_t N,
                       Py_ssize_t K) {
    mm_multimodular(host_records(a), host_records(b), host_records(out), batch, M, N, K);
}

struct Conv2dShape {
    Py_ssize_t batch, in_ch, H, W, out_ch, kH, kW, stride, padding, out_H, out_W;
};

// conv2d as products: the weights (out_ch x K, K = in_ch kH kW) times the
// unfolded input, whose column (b, y, x) holds the K taps under output
// (b, y, x), zero records where a tap falls in the padding.  Each output is
// then the same exact sum the direct kernel forms, and the product rounds
// it the same way.  Columns are unfolded a slice at a time, so the unfolded
// copy stays within kUnfoldBytes whatever the image.
constexpr double kUnfoldBytes = 32.0 * 1024 * 1024;

void host_conv2d_multimodular(const fp_t* input, const fp_t* weight, fp_t* out, const Conv2dShape& c) {
    const Py_ssize_t K = c.in_ch * c.kH * c.kW, per_image = c.out_H * c.out_W, cols = c.batch * per_image;
    const Py_ssize_t slice = std::max<Py_ssize_t>(
        32, std::min<Py_ssize_t>(cols, static_cast<Py_ssize_t>(kUnfoldBytes / (sizeof(fp_t) * static_cast<double>(K)))));
    fp_t zero;
    fp_set_zero(zero);
    std::vector<fp_t> unfolded(static_cast<size_t>(K * std::min(slice, cols)));
    std::vector<fp_t> part(static_cast<size_t>(c.out_ch * std::min(slice, cols)));
    for (Py_ssize_t c0 = 0; c0 < cols; c0 += slice) {
        const Py_ssize_t n = std::min(slice, cols - c0);
        for (Py_ssize_t ch = 0; ch < c.in_ch; ++ch) {
            for (Py_ssize_t ky = 0; ky < c.kH; ++ky) {
                for (Py_ssize_t kx = 0; kx < c.kW; ++kx) {
                    fp_t* row = &unfolded[static_cast<size_t>(((ch * c.kH + ky) * c.kW + kx) * n)];
                    for (Py_ssize_t j = 0; j < n; ++j) {
                        const Py_ssize_t col = c0 + j, b = col / per_image, pos = col % per_image;
                        const Py_ssize_t yy = (pos / c.out_W) * c.stride - c.padding + ky;
                        const Py_ssize_t xx = (pos % c.out_W) * c.stride - c.padding + kx;
                        const bool inside = yy >= 0 && yy < c.H && xx >= 0 && xx < c.W;
                        row[j] = inside ? input[((b * c.in_ch + ch) * c.H + yy) * c.W + xx] : zero;
                    }
                }
            }
        }
        if (PyErr_CheckSignals() < 0) py::fail();
        mm_multimodular(weight, unfolded.data(), part.data(), 1, c.out_ch, n, K);
        // part is out_ch x n; output (b, o, pos) is row o, column b * per_image + pos.
        for (Py_ssize_t o = 0; o < c.out_ch; ++o) {
            for (Py_ssize_t j = 0; j < n; ++j) {
                const Py_ssize_t col = c0 + j, b = col / per_image, pos = col % per_image;
                out[(b * c.out_ch + o) * per_image + pos] = part[static_cast<size_t>(o * n + j)];
            }
        }
    }
}

Ref fn_mm(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a_in, b_in] = parse_args("mm", names, 2, args, nargs, kwnames);
    Operand a(a_in), b(b_in);
    if (a.rank() != 2 || b.rank() != 2) py::raise(PyExc_ValueError, "mm requires 2D tensors");
    const Py_ssize_t M = a.dims[0], K = a.dims[1], K2 = b.dims[0], N = b.dims[1];
    if (K != K2) shape_mismatch("Shape mismatch: ", a, b);
    check_inputs(KernelId::fp_mm_kernel, {LaunchArg::in(a.data.get(), M * K), LaunchArg::in(b.data.get(), K * N)});
    Ref out = dev_empty(shape_count({M, N}));
    if (S().host_device && mm_multimodular_pays(M, N, K)) {
        host_multimodular(a.data.get(), b.data.get(), out.get(), 1, M, N, K);
        return make_tensor(std::move(out), shape_tuple({M, N}));
    }
    launch(KernelId::fp_mm_kernel, tile_grid(M, N), Dims{16, 16},
           {LaunchArg::checked(a.data.get()), LaunchArg::checked(b.data.get()), LaunchArg::out(out.get()),
            LaunchArg::i32(M), LaunchArg::i32(N), LaunchArg::i32(K)});
    return make_tensor(std::move(out), shape_tuple({M, N}));
}

Ref fn_mv(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "x"};
    auto [a_in, x_in] = parse_args("mv", names, 2, args, nargs, kwnames);
    Operand a(a_in);
    unpack(a, 2);
    const Py_ssize_t M = a.dims[0], K = a.dims[1];
    checked_dims(x_in);
    Ref xd = tensor_data(x_in);
    const Py_ssize_t have = py::length(xd.get());
    if (have != K) {
        py::raisef(PyExc_ValueError, "Dimension mismatch: A is %U, x has %zd elements", text(a.shape.get()).get(),
                   have);
    }
    check_inputs(KernelId::fp_mv_kernel, {LaunchArg::in(a.data.get(), M * K), LaunchArg::in(xd.get(), K)});
    Ref out = dev_empty(M);
    launch_1d(KernelId::fp_mv_kernel, M, {LaunchArg::checked(a.data.get()), LaunchArg::checked(xd.get()),
                                  LaunchArg::out(out.get()), LaunchArg::i32(M), LaunchArg::i32(K)});
    return make_tensor(std::move(out), shape_tuple({M}));
}

Ref fn_matmul(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a_in, b_in] = parse_args("matmul", names, 2, args, nargs, kwnames);
    Operand a(a_in), b(b_in);
    if (a.rank() == 1 && b.rank() == 1) return call_global("dot", a_in, b_in);
    if (a.rank() == 2 && b.rank() == 1) return call_global("mv", a_in, b_in);
    if (a.rank() == 2 && b.rank() == 2) return call_global("mm", a_in, b_in);
    shape_mismatch("matmul: unsupported shapes ", a, b);
}

Ref fn_bmm(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a_in, b_in] = parse_args("bmm", names, 2, args, nargs, kwnames);
    Operand a(a_in), b(b_in);
    if (a.rank() != 3 || b.rank() != 3) py::raise(PyExc_ValueError, "bmm requires 3D tensors");
    const Py_ssize_t batch = a.dims[0], M = a.dims[1], K = a.dims[2], N = b.dims[2];
    // Both batches and the inner dimensions must agree, or slices of b would
    // be misread or short.
    if (b.dims[0] != batch || b.dims[1] != K) shape_mismatch("Shape mismatch: ", a, b);
    if (batch == 0) return make_tensor(dev_empty(0), shape_tuple({0, M, N}));
    check_inputs(KernelId::fp_bmm_kernel,
                 {LaunchArg::in(a.data.get(), batch * M * K), LaunchArg::in(b.data.get(), batch * K * N)});
    Ref out = dev_empty(shape_count({batch, M, N}));
    if (S().host_device && mm_multimodular_pays(M, N, K)) {
        host_multimodular(a.data.get(), b.data.get(), out.get(), batch, M, N, K);
    } else {
        // One launch for the whole batch: the matrices on grid.z, which the
        // kernel walks beyond CUDA's cap.
        Dims grid = tile_grid(M, N);
        grid.z = std::min<Py_ssize_t>(batch, kMaxGridY);
        launch(KernelId::fp_bmm_kernel, grid, Dims{16, 16},
               {LaunchArg::checked(a.data.get()), LaunchArg::checked(b.data.get()), LaunchArg::out(out.get()),
                LaunchArg::i32(batch), LaunchArg::i32(M), LaunchArg::i32(N), LaunchArg::i32(K)});
    }
    return make_tensor(std::move(out), shape_tuple({batch, M, N}));
}

Ref fn_outer(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a_in, b_in] = parse_args("outer", names, 2, args, nargs, kwnames);
    checked_dims(a_in);
    checked_dims(b_in);
    Ref da = tensor_data(a_in), db = tensor_data(b_in);
    const Py_ssize_t m = py::length(da.get()), n = py::length(db.get());
    Ref out = dev_empty(shape_count({m, n}));
    launch(KernelId::fp_outer_kernel, tile_grid(m, n), Dims{16, 16},
           {LaunchArg::in(da.get(), m), LaunchArg::in(db.get(), n), LaunchArg::out(out.get()), LaunchArg::i32(m),
            LaunchArg::i32(n)});
    return make_tensor(std::move(out), shape_tuple({m, n}));
}

Ref fn_kron(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a_in, b_in] = parse_args("kron", names, 2, args, nargs, kwnames);
    Operand a(a_in), b(b_in);
    if (a.rank() != 2 || b.rank() != 2) py::raise(PyExc_ValueError, "kron requires 2D tensors");
    const Py_ssize_t m = a.dims[0], n = a.dims[1], p = b.dims[0], q = b.dims[1];
    const Py_ssize_t out_rows = shape_count({m, p}), out_cols = shape_count({n, q});
    const Py_ssize_t total = shape_count({out_rows, out_cols});
    check_inputs(KernelId::fp_kron_kernel, {LaunchArg::in(a.data.get(), m * n), LaunchArg::in(b.data.get(), p * q)});
    Ref out = dev_empty(total);
    launch_1d(KernelId::fp_kron_kernel, total,
              {LaunchArg::checked(a.data.get()), LaunchArg::checked(b.data.get()), LaunchArg::out(out.get()),
               LaunchArg::i32(m), LaunchArg::i32(n), LaunchArg::i32(p), LaunchArg::i32(q)});
    return make_tensor(std::move(out), shape_tuple({out_rows, out_cols}));
}

Ref fn_trace(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a_in = unary_arg("trace", args, nargs, kwnames);
    Operand a(a_in);
    if (a.rank() != 2 || a.dims[0] != a.dims[1]) py::raise(PyExc_ValueError, "trace requires square matrix");
    const Py_ssize_t n = a.dims[0];
    check_inputs(KernelId::fp_trace_kernel, {LaunchArg::in(a.data.get(), n * n)});
    Ref out = dev_empty(1);
    launch(KernelId::fp_trace_kernel, Dims{1}, Dims{1},
           {LaunchArg::checked(a.data.get()), LaunchArg::out(out.get()), LaunchArg::i32(n)});
    return make_tensor(std::move(out), py::check(PyTuple_New(0)));
}

Ref fn_diag(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a_in = unary_arg("diag", args, nargs, kwnames);
    Operand a(a_in);
    if (a.rank() != 2) py::raise(PyExc_ValueError, "diag requires 2D tensor");
    const Py_ssize_t n = std::min(a.dims[0], a.dims[1]);
    // The kernel walks a[i*n + i], the diagonal of a matrix with n columns;
    // a wide matrix is handed over transposed, which has the same diagonal.
    Ref source = Ref::borrow(a_in);
    if (a.dims[1] > a.dims[0]) {
        Ref d0 = py::from_long(0), d1 = py::from_long(1);
        source = call_global("transpose", a_in, d0.get(), d1.get());
    }
    Ref data = tensor_data(source.get());
    const Py_ssize_t need = n == 0 ? 0 : (n - 1) * (n + 1) + 1;
    check_inputs(KernelId::fp_diag_kernel, {LaunchArg::in(data.get(), need)});
    Ref out = dev_empty(n);
    launch_1d(KernelId::fp_diag_kernel, n, {LaunchArg::checked(data.get()), LaunchArg::out(out.get()), LaunchArg::i32(n)});
    return make_tensor(std::move(out), shape_tuple({n}));
}

Ref fn_conv2d(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"input", "weight", "stride", "padding"};
    auto [in_obj, w_obj, stride_obj, padding_obj] = parse_args("conv2d", names, 2, args, nargs, kwnames);
    const long long stride = stride_obj ? arg_long(stride_obj, "stride") : 1;
    const long long padding = padding_obj ? arg_long(padding_obj, "padding") : 0;
    Operand input(in_obj), weight(w_obj);
    unpack(input, 4);
    unpack(weight, 4);
    const Py_ssize_t batch = input.dims[0], in_ch = input.dims[1], H = input.dims[2], W = input.dims[3];
    const Py_ssize_t out_ch = weight.dims[0], in_ch2 = weight.dims[1], kH = weight.dims[2], kW = weight.dims[3];
    if (in_ch != in_ch2) py::raise(PyExc_ValueError, "Channel mismatch");
    if (stride <= 0) py::raise(PyExc_ValueError, "conv2d requires stride >= 1");
    if (padding < 0) py::raise(PyExc_ValueError, "conv2d requires padding >= 0");
    // The kernel takes both as 32-bit ints; the sizes below stay in range.
    if (stride > INT32_MAX || padding > INT32_MAX) {
        py::raise(PyExc_OverflowError, "conv2d stride and padding must fit in 32 bits");
    }
    if (kH > H + 2 * padding || kW > W + 2 * padding) {
        py::raise(PyExc_ValueError, "conv2d filter is larger than the padded input");
    }
    const Py_ssize_t out_H = (H + 2 * padding - kH) / stride + 1;
    const Py_ssize_t out_W = (W + 2 * padding - kW) / stride + 1;
    const Py_ssize_t total = shape_count({batch, out_ch, out_H, out_W});
    const Py_ssize_t in_need = batch * in_ch * H * W, w_need = out_ch * in_ch * kH * kW;
    check_inputs(KernelId::fp_conv2d_kernel, {LaunchArg::in(input.data.get(), in_need), LaunchArg::in(weight.data.get(), w_need)});
    Ref out = dev_empty(total);
    const Conv2dShape cs{batch, in_ch, H, W, out_ch, kH, kW, stride, padding, out_H, out_W};
    if (S().host_device && total > 0 && mm_multimodular_pays(out_ch, batch * out_H * out_W, in_ch * kH * kW)) {
        host_conv2d_multimodular(host_records(input.data.get()), host_records(weight.data.get()),
                                 host_records(out.get()), cs);
        return make_tensor(std::move(out), shape_tuple({batch, out_ch, out_H, out_W}));
    }
    launch_1d(KernelId::fp_conv2d_kernel, total,
              {LaunchArg::checked(input.data.get()), LaunchArg::checked(weight.data.get()),
               LaunchArg::out(out.get()), LaunchArg::i32(batch), LaunchArg::i32(in_ch), LaunchArg::i32(H),
               LaunchArg::i32(W), LaunchArg::i32(out_ch), LaunchArg::i32(kH), LaunchArg::i32(kW),
               LaunchArg::i32(stride), LaunchArg::i32(padding), LaunchArg::i32(out_H), LaunchArg::i32(out_W)});
    return make_tensor(std::move(out), shape_tuple({batch, out_ch, out_H, out_W}));
}

PyMethodDef products_methods[] = {
    method<fn_mm>("mm", "mm($module, /, a, b)\n--\n\nMatrix multiply."),
    method<fn_mv>("mv", "mv($module, /, a, x)\n--\n\nMatrix-vector multiply."),
    method<fn_matmul>("matmul", "matmul($module, /, a, b)\n--\n\nGeneral matrix multiply."),
    method<fn_bmm>("bmm", "bmm($module, /, a, b)\n--\n\nBatched matrix multiply."),
    method<fn_outer>("outer", "outer($module, /, a, b)\n--\n\nOuter product."),
    method<fn_kron>("kron", "kron($module, /, a, b)\n--\n\nKronecker product: C = A \xe2\x8a\x97 B."),
    method<fn_trace>("trace", "trace($module, /, a)\n--\n\nMatrix trace."),
    method<fn_diag>("diag", "diag($module, /, a)\n--\n\nExtract diagonal."),
    method<fn_conv2d>("conv2d", "conv2d($module, /, input, weight, stride=1, padding=0)\n--\n\n2D Convolution."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_products(PyObject* m) { add_functions(m, products_methods); }

}  // namespace zel
