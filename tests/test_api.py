"""The public surface: __all__, star import, docstrings and signatures, the stub."""
import ast
import inspect
import pathlib

import pytest

ALL = [
    "Tensor", "tensor", "zeros", "ones", "eye", "arange", "linspace", "rand", "randn", "add", "sub", "mul", "div",
    "neg", "abs", "sign", "pow", "mod", "reciprocal", "eq", "lt", "gt", "le", "ge", "ne", "sum", "prod", "max",
    "min", "mean", "std", "var", "norm", "dot", "mm", "mv", "bmm", "matmul", "outer", "trace", "diag", "det", "inv",
    "lu", "solve", "rref", "rank", "null_space", "kron", "cross", "hilbert_matrix", "relu", "leaky_relu", "sigmoid",
    "tanh", "gelu", "silu", "softmax", "exp", "log", "log2", "log10", "sqrt", "sin", "cos", "tan", "sinh", "cosh",
    "asin", "acos", "atan", "atan2", "asinh", "acosh", "atanh", "ceil", "floor", "round", "trunc", "frac", "conv2d",
    "cumsum", "cumprod", "diff", "argmax", "argmin", "reshape", "squeeze", "unsqueeze", "transpose", "cat", "stack",
    "clamp", "where", "lerp", "logical_and", "logical_or", "logical_not", "logical_xor", "checksum",
    "checksums_match", "verify", "ComplexTensor", "complex_tensor", "cmm", "cmv", "csum", "cabs", "conj",
    "complex_eye", "complex_zeros", "complex_ones", "pi", "pi_over", "pi_half", "pi_quarter", "rotation_x",
    "rotation_y", "rotation_z", "phase_gate", "pauli_x", "pauli_y", "pauli_z", "hadamard_gate", "t_gate", "s_gate",
    "cnot", "SCALE_BITS", "NUM_LIMBS", "SCALE", "patch_numpy", "unpatch_numpy", "save", "load", "device",
]
EXTRA = ["SparseTensor", "sparse_mv", "broadcast_tensors", "cross_exact", "hilbert_det_exact", "bernoulli",
         "zeta_exact", "zeta_at_even", "verify_identity", "qr", "eig", "eigh", "svd", "expm", "manual_seed", "to_gpu",
         "from_gpu"]
CONSTANTS = {"SCALE_BITS", "NUM_LIMBS", "SCALE", "device"}

STUB = pathlib.Path(__file__).resolve().parent.parent / "tarnex" / "zel" / "zel.pyi"


def test_all_is_the_public_list_in_order(zel):
    assert len(ALL) == 135 and len(set(ALL)) == 135
    present = [n for n in ALL if hasattr(zel, n)]
    assert zel.__all__ == present
    missing = [n for n in ALL if n not in present]
    if missing:
        pytest.skip("not yet bound: " + ", ".join(missing))
    assert len(zel.__all__) == 135


def test_star_import_exports_exactly_all(zel):
    namespace = {}
    exec("from tarnex.zel.zel import *", namespace)
    namespace.pop("__builtins__")
    assert sorted(namespace) == sorted(zel.__all__)
    assert "SparseTensor" not in namespace and "sparse_mv" not in namespace


@pytest.mark.parametrize("name", [n for n in ALL + EXTRA if n not in CONSTANTS])
def test_documented_with_signature(zel, name):
    if not hasattr(zel, name):
        pytest.skip(f"{name} not yet bound")
    f = getattr(zel, name)
    assert callable(f)
    assert (f.__doc__ or "").strip(), f"{name} has no docstring"
    sig = inspect.signature(f)
    assert "$" not in str(sig)


@pytest.mark.parametrize("cls, members", [
    ("ComplexTensor", ["conj", "T", "H", "abs2", "to_list", "__add__", "__radd__", "__sub__", "__rsub__",
                       "__mul__", "__rmul__", "__truediv__", "__neg__", "__abs__", "to_fractions", "numpy",
                       "__array__"]),
    ("Tensor", ["to_fractions", "numpy", "__array__", "clone", "to_list", "item"]),
    ("SparseTensor", ["from_dense", "from_scipy"]),
])
def test_method_signatures(zel, cls, members):
    for m in members:
        inspect.signature(getattr(getattr(zel, cls), m))


def stub_names():
    tree = ast.parse(STUB.read_text())
    names, declared_all = set(), None
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            declared_all = ast.literal_eval(node.value)
    return names, declared_all


def test_stub_covers_the_public_names():
    names, declared_all = stub_names()
    assert declared_all == ALL
    assert set(ALL + EXTRA) <= names


@pytest.mark.parametrize("name", [n for n in ALL + EXTRA if n not in CONSTANTS])
def test_stub_parameters_match_the_module(zel, name):
    if not hasattr(zel, name):
        pytest.skip(f"{name} not yet bound")
    tree = ast.parse(STUB.read_text())
    node = next(n for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef)) and n.name == name)
    if isinstance(node, ast.ClassDef):
        node = next(n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__init__")
        stub_params = [a.arg for a in node.args.args[1:]]
    else:
        stub_params = [a.arg for a in node.args.args]
    if node.args.vararg:
        stub_params.append("*" + node.args.vararg.arg)
    stub_params += [a.arg for a in node.args.kwonlyargs]
    params = []
    for p in inspect.signature(getattr(zel, name)).parameters.values():
        params.append("*" + p.name if p.kind is p.VAR_POSITIONAL else p.name)
    assert stub_params == params
