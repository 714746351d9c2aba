"""The public names of tarnex.zel.zel, grouped for the documentation.

For each name: how its result relates to the exact value (``KINDS``) and how
to keep every bit where it does not.  The rounding table and the API
reference are generated from this list, and a test checks that it names
every public function, class and constant of the module.
"""

# Result kinds, in the words of the table.
KINDS = {
    "exact": "exact",
    "floor": "floored to the record",
    "double": "rounded through a double",
    "floor/double": "floored, or through a double (see note)",
    "none": "no numeric result",
    "const": "constant",
    "class": "class",
}

# (section title, [(name, kind, note, how to keep every bit), ...])
GROUPS = [
    ("Classes and constants", [
        ("Tensor", "class", "conversion as ``tensor``", "``Tensor(data, exact=True)``"),
        ("ComplexTensor", "class", "arithmetic by the real functions (``*`` and ``/`` floor each product)", ""),
        ("SparseTensor", "class", "``from_dense`` keeps the records; ``from_scipy`` takes the doubles' binary values", ""),
        ("SCALE_BITS", "const", "256, the fraction bits", ""),
        ("NUM_LIMBS", "const", "8 limbs of 64 bits", ""),
        ("SCALE", "const", "2**256", ""),
        ("device", "const", "``'cuda'`` or ``'host'``, from ``ZEL_DEVICE``", ""),
    ]),
    ("Creation and conversion", [
        ("tensor", "floor/double",
         "a list whose first element is an int or a float, and a NumPy array, go through doubles; "
         "Fractions, Decimals and strings are floored exactly",
         "``exact=True``, or put a Fraction or string first"),
        ("zeros", "exact", "", ""),
        ("ones", "exact", "", ""),
        ("eye", "exact", "", ""),
        ("arange", "double", "ints beyond 2**53 in magnitude lose bits",
         "``tensor(list(range(...)), exact=True)``"),
        ("linspace", "floor/double", "int and float endpoints: double arithmetic; Fraction endpoints: floored",
         "Fraction endpoints"),
        ("hilbert_matrix", "double", "1/(i+j+1) as doubles",
         "``tensor([[Fraction(1, i + j + 1) ...]])``"),
        ("complex_tensor", "floor/double", "each part as ``tensor``", "Tensors made with ``exact=True``"),
        ("complex_eye", "exact", "", ""),
        ("complex_zeros", "exact", "", ""),
        ("complex_ones", "exact", "", ""),
        ("to_gpu", "floor/double", "a list starting with an int or a float goes through doubles",
         "put a Fraction or string first"),
        ("from_gpu", "double", "doubles by default", "``as_float=False`` gives exact Fractions"),
        ("save", "exact", "the records, bit for bit", ""),
        ("load", "exact", "the records, bit for bit", ""),
    ]),
    ("Shape", [
        ("reshape", "exact", "records copied", ""),
        ("squeeze", "exact", "records copied", ""),
        ("unsqueeze", "exact", "records copied", ""),
        ("transpose", "exact", "records moved", ""),
        ("cat", "exact", "records moved", ""),
        ("stack", "exact", "records moved", ""),
    ]),
    ("Element-wise arithmetic", [
        ("add", "exact", "saturates beyond the range", ""),
        ("sub", "exact", "saturates beyond the range", ""),
        ("mul", "floor", "", "operands whose product lies on the grid"),
        ("div", "floor", "x/0 saturates; 0/0 is 0", ""),
        ("reciprocal", "floor", "", ""),
        ("neg", "exact", "", ""),
        ("abs", "exact", "", ""),
        ("sign", "exact", "", ""),
        ("pow", "floor", "exact where the power is representable", ""),
        ("mod", "exact", "Python's floor modulo; ``mod(x, 0)`` is 0", ""),
        ("broadcast_tensors", "exact", "records repeated", ""),
    ]),
    ("Rounding, comparison and selection", [
        ("ceil", "exact", "", ""),
        ("floor", "exact", "", ""),
        ("round", "exact", "ties to even", ""),
        ("trunc", "exact", "", ""),
        ("frac", "exact", "", ""),
        ("eq", "exact", "an int32 mask", ""),
        ("ne", "exact", "an int32 mask", ""),
        ("lt", "exact", "an int32 mask", ""),
        ("le", "exact", "an int32 mask", ""),
        ("gt", "exact", "an int32 mask", ""),
        ("ge", "exact", "an int32 mask", ""),
        ("logical_and", "exact", "masks", ""),
        ("logical_or", "exact", "masks", ""),
        ("logical_not", "exact", "masks", ""),
        ("logical_xor", "exact", "masks", ""),
        ("where", "exact", "records selected", ""),
        ("clamp", "exact", "records of the input or the bounds (bounds converted by ``tensor``)", ""),
        ("lerp", "double", "the weight and 1 - weight are doubles; products floored",
         "``add(mul(a, tensor(1 - w)), mul(b, tensor(w)))`` with a Fraction ``w``"),
        ("leaky_relu", "double", "the slope is a double; products floored",
         "``where(ge(a, zeros(a.shape)), a, mul(a, tensor(slope)))`` with a Fraction slope"),
    ]),
    ("Elementary and activation functions", [
        ("sqrt", "floor", "exactly the floor of the square root; 0 for negatives", ""),
        ("exp", "floor", "the floor or its neighbour (error below 2**-256)", ""),
        ("log", "floor", "the floor or its neighbour; the most negative value at 0 and below", ""),
        ("sin", "floor", "the floor or its neighbour", ""),
        ("cos", "floor", "the floor or its neighbour", ""),
        ("asin", "floor", "the floor or its neighbour; argument clamped to [-1, 1]", ""),
        ("acos", "floor", "the floor or its neighbour; argument clamped to [-1, 1]", ""),
        ("tan", "floor", "``div(sin(a), cos(a))``: floored steps", ""),
        ("sinh", "floor", "composed of floored steps", ""),
        ("cosh", "floor", "composed of floored steps", ""),
        ("asinh", "floor", "composed of floored steps", ""),
        ("acosh", "floor", "composed of floored steps", ""),
        ("atanh", "floor", "composed of floored steps", ""),
        ("atan", "double", "``|x| < 0.5`` floored; otherwise plus or minus pi/4 or pi/2 as doubles", ""),
        ("atan2", "double", "``atan(div(y, x))``, no quadrant correction", ""),
        ("log2", "double", "divides by ln 2 as a 15-digit double", "``div(log(a), log(tensor(2)))``"),
        ("log10", "double", "divides by ln 10 as a 16-digit double", "``div(log(a), log(tensor(10)))``"),
        ("pi", "double", "pi as the double 3.141592653589793", "``tensor(PI_STR)``: 50 decimals, floored"),
        ("pi_over", "double", "pi/n as a double", "``div(tensor(PI_STR), tensor(n))``"),
        ("pi_half", "double", "pi/2 as a double", "``div(tensor(PI_STR), tensor(2))``"),
        ("pi_quarter", "double", "pi/4 as a double", "``div(tensor(PI_STR), tensor(4))``"),
        ("relu", "exact", "", ""),
        ("sigmoid", "floor", "the floor or its neighbour", ""),
        ("tanh", "floor", "the floor or its neighbour", ""),
        ("gelu", "floor", "erf form; the floor or its neighbour", ""),
        ("silu", "floor", "the floor or its neighbour", ""),
        ("softmax", "floor", "per row: exp(x - max) each, their exact sum, one floored division", ""),
    ]),
    ("Reductions and statistics", [
        ("sum", "exact", "a fixed pairwise tree; partial sums saturate", ""),
        ("prod", "floor", "each product floored, in a fixed tree", ""),
        ("max", "exact", "", ""),
        ("min", "exact", "", ""),
        ("argmax", "exact", "int32 indices", ""),
        ("argmin", "exact", "int32 indices", ""),
        ("mean", "floor", "the exact sum divided once", ""),
        ("cumsum", "exact", "each prefix exact", ""),
        ("cumprod", "floor", "each product floored", ""),
        ("dot", "floor", "``sum(mul(a, b))``: a sum of floored products", "``mm`` of a row and a column: one floor"),
        ("norm", "floor", "p=2: the floor of the square root of a sum of floored squares; p=1 exact", ""),
        ("var", "double", "unbiased: times n/(n-1) as a double; ``unbiased=False`` is floored",
         "``mul(var(a, unbiased=False), tensor(Fraction(n, n - 1)))``"),
        ("std", "double", "the square root of ``var``", "``sqrt`` of the exact-factor variance"),
        ("diff", "double", "differences of doubles", "``sub(a[1:], a[:-1])``"),
    ]),
    ("Products", [
        ("mm", "floor", "each output the floor of its exact sum of products", ""),
        ("mv", "floor", "each output the floor of its exact sum of products", ""),
        ("bmm", "floor", "each output the floor of its exact sum of products", ""),
        ("matmul", "floor", "matrices: as ``mm``, ``mv`` or ``bmm``; two vectors: ``dot``, a sum of floored products",
         "``mm`` of a row and a column"),
        ("conv2d", "floor", "each output the floor of its exact sum of products", ""),
        ("sparse_mv", "floor", "each output the floor of its exact sum of products", ""),
        ("outer", "floor", "each product floored", ""),
        ("kron", "floor", "each product floored", ""),
        ("trace", "exact", "", ""),
        ("diag", "exact", "", ""),
    ]),
    ("Exact rational algebra", [
        ("rref", "double", "exact elimination, entries rounded through doubles", "``exact=True`` (floored records)"),
        ("rank", "exact", "an int", ""),
        ("null_space", "double", "exact elimination, entries rounded through doubles", "``exact=True``"),
        ("det", "double", "exact, then one decimal division and a double", "``exact=True``"),
        ("inv", "double", "exact, then each entry through a double", "``exact=True``"),
        ("solve", "double", "the inverse's doubles, then ``mv``", "``exact=True`` solves the system itself"),
        ("lu", "double", "exact, then each entry through a double", "``exact=True``"),
        ("verify_identity", "exact", "a bool; ``tol=0.0`` compares the records exactly", ""),
        ("hilbert_det_exact", "double", "the exact determinant rounded once to a float",
         "``det(tensor(H), exact=True)`` with Fraction entries"),
        ("bernoulli", "exact", "a Fraction", ""),
        ("zeta_exact", "exact", "a Fraction", ""),
        ("zeta_at_even", "exact", "a Fraction and an int", ""),
        ("cross", "double", "inputs read as doubles", "``to_fractions()`` and Fraction arithmetic"),
        ("cross_exact", "double", "exact Fractions of the inputs read as doubles",
         "``to_fractions()`` and Fraction arithmetic"),
    ]),
    ("Decompositions", [
        ("qr", "double", "Householder in doubles", "no exact form; reproducible bit for bit"),
        ("eig", "double", "QR iteration in doubles", "no exact form; reproducible bit for bit"),
        ("eigh", "double", "QR iteration in doubles", "no exact form; reproducible bit for bit"),
        ("svd", "double", "through ``eigh`` of the Gram matrix", "no exact form; reproducible bit for bit"),
        ("expm", "double", "Pade approximant in doubles", "no exact form; reproducible bit for bit"),
    ]),
    ("Randomness and checksums", [
        ("manual_seed", "none", "sets the generator's state", ""),
        ("rand", "floor", "exact fractions k/(2**31 - 1), floored", ""),
        ("randn", "floor", "exact sums of twelve uniforms minus 6, floored", ""),
        ("checksum", "exact", "SHA-256 of the records", ""),
        ("checksums_match", "exact", "", ""),
        ("verify", "exact", "", ""),
    ]),
    ("Complex tensors and gates", [
        ("cmm", "floor", "four ``mm`` products, each floored once", ""),
        ("cmv", "floor", "four ``mv`` products, each floored once", ""),
        ("csum", "exact", "two ``sum`` calls", ""),
        ("cabs", "floor", "``sqrt`` of floored squares", "``abs2()`` is exact up to the squares' floors"),
        ("conj", "exact", "", ""),
        ("pauli_x", "exact", "", ""),
        ("pauli_y", "exact", "", ""),
        ("pauli_z", "exact", "", ""),
        ("s_gate", "exact", "", ""),
        ("cnot", "exact", "", ""),
        ("hadamard_gate", "double", "1/sqrt(2) as a double", ""),
        ("t_gate", "double", "cos and sin of pi/4 as doubles", ""),
        ("phase_gate", "double", "cos and sin as doubles", ""),
        ("rotation_x", "double", "cos and sin of theta/2 as doubles", ""),
        ("rotation_y", "double", "cos and sin of theta/2 as doubles", ""),
        ("rotation_z", "double", "cos and sin of theta/2 as doubles", ""),
    ]),
    ("NumPy patch", [
        ("patch_numpy", "double",
         "patched NumPy functions compute exactly and round once, into the type NumPy gives", ""),
        ("unpatch_numpy", "none", "restores NumPy's own functions", ""),
    ]),
]


def table_names():
    """Every name in GROUPS, in order."""
    return [entry[0] for _, entries in GROUPS for entry in entries]


def public_names(zel):
    """The module's public names: ``__all__`` plus every other public
    function and class the module itself defines."""
    names = set(zel.__all__)
    for name in dir(zel):
        if name.startswith("_"):
            continue
        obj = getattr(zel, name)
        if getattr(obj, "__self__", None) is zel:  # a module-level function
            names.add(name)
        elif isinstance(obj, type) and obj.__module__ == zel.__name__:
            names.add(name)
    return names
