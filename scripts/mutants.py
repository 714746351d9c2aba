"""Small faults that the test suite must notice, for scripts/mutate.

Each entry: a short name, the file (relative to the repository root), the
exact text to replace (it must occur exactly once in that file), its
replacement, and what the fault amounts to.  Where a source file changes,
keep the snippets in step with it: a snippet that no longer occurs is
reported as not applicable.
"""
from collections import namedtuple

Mutant = namedtuple("Mutant", "name path original replacement description")

FP = "tarnex/zel/arith/fp.cuh"
MUL = "tarnex/zel/arith/fp_mul.cuh"
DIV = "tarnex/zel/arith/fp_div.cuh"
OPS = "tarnex/zel/arith/fp_ops.cuh"
FX = "tarnex/zel/arith/fx.cuh"
TRANSC = "tarnex/zel/arith/fp_transc.cuh"
CONVERT = "tarnex/zel/core/convert.cpp"
RUNTIME = "tarnex/zel/core/runtime.cpp"
REDUCE_K = "tarnex/zel/cuda/kernels/reduce.cuh"
PRODUCTS_K = "tarnex/zel/cuda/kernels/products.cuh"
MODULAR = "tarnex/zel/exact/modular.cpp"
ELIM = "tarnex/zel/exact/elimination.cpp"
GAUSS = "tarnex/zel/exact/gauss.cpp"

MUTANTS = [
    # --- the arithmetic header ---------------------------------------------
    Mutant("add_n-carry", FP, "carry = c1 | c2;", "carry = c1;",
           "add_n drops the carry produced by adding the incoming carry"),
    Mutant("sub_n-borrow", FP, "borrow = b1 | b2;", "borrow = b2;",
           "sub_n drops the borrow of the limb difference"),
    Mutant("shr_n-high-bits", FP, "r[i] = b == 0 ? lo : (lo >> b) | (hi << (64 - b));",
           "r[i] = b == 0 ? lo : (lo >> b);", "shr_n loses the bits moving in from the next limb"),
    Mutant("set_sign-negative-zero", FP, "r.sign = (negative && !fp_is_zero(r)) ? -1 : 1;",
           "r.sign = negative ? -1 : 1;", "a zero result can carry the sign -1"),
    Mutant("cmp-negative-order", FP, "return na ? -c : c;", "return c;",
           "two negative values compare by magnitude"),
    Mutant("add-saturate-sign", FP, "if (carry) { fp_saturate(r, nega); return; }",
           "if (carry) { fp_saturate(r, false); return; }",
           "a negative sum beyond the range saturates to the positive maximum"),
    Mutant("from_double-half-unit", FP,
           "const bool inexact = rs >= 64 ? true : (m & ((uint64_t(1) << rs) - 1)) != 0;",
           "const bool inexact = rs >= 64 ? true : (m & ((uint64_t(1) << (rs - 1)) - 1)) != 0;",
           "the double kernel ignores the half-unit bit when flooring a negative double below 2^-204"),
    Mutant("from_double-far-tiny", FP,
           "const bool inexact = rs >= 64 ? true :", "const bool inexact = rs >= 64 ? false :",
           "negative doubles below 2^-267 become 0 instead of -2^-256"),
    Mutant("to_double-ties", FP, "if (round_bit && (sticky || (mant & 1))) {", "if (round_bit && sticky) {",
           "the record-to-double kernel sends ties to odd mantissas downwards"),
    Mutant("round_shift-half-unit", MUL, "if (!over && negative && any_low_bits_n<NL>(t, shift)) {",
           "if (!over && negative && any_low_bits_n<NL>(t, shift - 1)) {",
           "the floor rule of rounded sums of products ignores the half-unit bit of negative values"),
    Mutant("mul-low-limb", MUL, "if (!over && neg && !is_zero_n<k>(w)) over = add_1<kLimbs>(w + k, w + k, 1);",
           "if (!over && neg && !is_zero_n<k - 1>(w + 1)) over = add_1<kLimbs>(w + k, w + k, 1);",
           "a negative product inexact only in its lowest dropped limb is truncated"),
    Mutant("mul_span-column-carry", MUL, "            over += col < p;\n", "",
           "the column sum of the host product loses its overflow"),
    Mutant("mac_span-carry-chain", MUL, "for (int t = NA + NB; carry != 0 && t < top; ++t) {",
           "for (int t = NA + NB; carry != 0 && t < top && t < NA + NB + 1; ++t) {",
           "the accumulator's carry stops one limb above the product"),
    Mutant("div-add-back", DIV, "            qhat -= 1;\n            u[j + NV] += add_n<NV>(u + j, u + j, v);",
           "            u[j + NV] += add_n<NV>(u + j, u + j, v);",
           "Knuth D's add-back step keeps the quotient digit that was one too large"),
    Mutant("div-refine", DIV, "if (hi > rhat || (hi == rhat && lo > u0)) {", "if (hi > rhat) {",
           "the quotient estimate is refined only on the high word"),
    Mutant("div-low-limbs-inexact", DIV, "bool inexact = alo + k < blo;", "bool inexact = false;",
           "a negative quotient inexact only through limbs below the divisor is not floored"),
    Mutant("div-negative-floor", DIV, "if (!over && neg && inexact) over = add_1<kLimbs>(q, q, 1) != 0;",
           "if (!over && neg && inexact && false) over = add_1<kLimbs>(q, q, 1) != 0;",
           "negative inexact quotients are truncated"),
    Mutant("round-ties-away", OPS, "const bool up = above || (tie && (a.limb[4] & 1));",
           "const bool up = above || tie;", "round sends ties away from zero"),
    Mutant("floor-negative-integers", OPS, "fp_int_part(r, a, neg && fp_has_frac(a), neg);",
           "fp_int_part(r, a, neg, neg);", "floor lowers negative integers by one"),
    Mutant("sub_fx_floor-truncates", FX, "fx_to_fp_dir(c, b, true, false);", "fx_to_fp_dir(c, b, false, false);",
           "a - b for a computed b >= 0 takes floor(b) instead of ceil(b): the final floor becomes a truncation"),
    Mutant("sub_fx_floor-vanished-tail", FX, "if (b_positive && fp_is_zero(c)) c.limb[0] = 1;",
           "if (false) c.limb[0] = 1;", "a positive tail whose approximation vanished is taken as zero"),
    Mutant("sigmoid-far-right", TRANSC,
           "        fp_from_int(unit, 1);\n        fp_sub_fx_floor(r, unit, b, true);\n    }\n}\n\n// r = floor(tanh",
           "        fp_from_int(unit, 1);\n        fp_sub_fx_floor(r, unit, b, false);\n    }\n}\n\n// r = floor(tanh",
           "sigmoid far right gives 1 instead of 1 - 2^-256"),
    Mutant("tanh-cutoff", TRANSC, "if (a.limb[4] >= 128) fx_zero(e);", "if (a.limb[4] >= 64) fx_zero(e);",
           "tanh drops e^-2|x| from |x| = 64 on, where it still reaches the grid"),
    Mutant("silu-far-tail", TRANSC, "fp_sub_fx_floor(r, base, P, !fp_is_zero(a));",
           "fp_sub_fx_floor(r, base, P, false);", "silu far out gives x (or 0) instead of the floor below it"),
    Mutant("gelu-precision", TRANSC, "} else if (a.limb[4] < 5) {", "} else if (a.limb[4] < 10) {",
           "gelu's erf series runs with too few limbs for 5 <= |x| < 10"),

    # --- conversions ---------------------------------------------------------
    Mutant("decimal-tiny-cutoff", CONVERT, "if (adjusted <= -79) {", "if (adjusted <= -78) {",
           "decimals with adjusted exponent -78 (some above 2^-256) become 0"),
    Mutant("decimal-range-cutoff", CONVERT, "if (adjusted >= 78) out_of_range();",
           "if (adjusted >= 77) out_of_range();", "decimals from 10^77 on are refused although below 2^256"),
    Mutant("decimal-leading-zeros", CONVERT, "if (!(out.digits.empty() && c == '0')) out.digits.push_back(c);",
           "out.digits.push_back(c);", "leading zeros count towards the adjusted exponent"),
    Mutant("float-dyadic-shortcut", CONVERT, "if (exp >= -49) {", "if (exp >= -50) {",
           "floats with denominator 2^50 (above 10^15) skip limit_denominator"),
    Mutant("float-max-denominator", CONVERT, "mpz_set_ui(max_den.v, 1000000000000000ul);",
           "mpz_set_ui(max_den.v, 999999999999999ul);", "the float denominator bound is 10^15 - 1"),
    Mutant("fraction-negative-floor", CONVERT, "if (negative && rem != 0) add_1<kLimbs>(out.limb, out.limb, 1);",
           "if (negative) add_1<kLimbs>(out.limb, out.limb, 1);",
           "exact negative short fractions are lowered by one unit"),
    Mutant("int-range", CONVERT, "if (_PyLong_NumBits(v) > static_cast<size_t>(kFracBits)) out_of_range();",
           "if (_PyLong_NumBits(v) > static_cast<size_t>(kFracBits) + 1) out_of_range();",
           "an int of 257 bits is not refused with the range error"),

    # --- reductions ----------------------------------------------------------
    Mutant("prod-odd-fold", REDUCE_K, "if (odd == TreeOdd::kFold && j == 0 && n % 2 == 1) op(r, r, src[n - 1]);",
           "if (odd == TreeOdd::kFold && j == 0 && n % 2 == 1 && n > 3) op(r, r, src[n - 1]);",
           "the tree's first pass loses the odd record of three"),
    Mutant("max-odd-carry", REDUCE_K, "            r = src[n - 1];\n            return;",
           "            r = src[n - 2];\n            return;", "max and min carry the wrong record of an odd pass"),
    Mutant("argmax-ties", REDUCE_K, "ZEL_ARG_SEARCH(fp_argmax_kernel, >)", "ZEL_ARG_SEARCH(fp_argmax_kernel, >=)",
           "argmax reports the last of equal maxima"),
    Mutant("softmax-row-max", REDUCE_K, "for (int j = 1; j < cols; ++j) zel::fp_max_of(top, top, row[j]);",
           "for (int j = 1; j < cols - 1; ++j) zel::fp_max_of(top, top, row[j]);",
           "softmax shifts by the maximum of all but the last record"),

    # --- products ------------------------------------------------------------
    Mutant("mac-sign", PRODUCTS_K, "uint64_t* r = acc.part[fp_is_neg(a) != fp_is_neg(b)].limb + alo + blo;",
           "uint64_t* r = acc.part[fp_is_neg(a)].limb + alo + blo;", "sums of products take a's sign for every product"),
    Mutant("conv2d-right-edge", PRODUCTS_K, "if (xx < 0 || xx >= W) continue;", "if (xx < 0 || xx > W) continue;",
           "conv2d reads one tap past the right edge of the image"),

    # --- exact algebra -------------------------------------------------------
    Mutant("det-one-prime-short", MODULAR,
           "std::ceil((std::max(q_bound, 0.0) + 2.0) / kPrimeBits));",
           "std::ceil((std::max(q_bound, 0.0) + 2.0) / kPrimeBits)) - 1;",
           "the modular determinant uses one prime fewer than Hadamard's bound asks"),
    Mutant("det-hadamard-slack", MODULAR, "std::ceil((std::max(q_bound, 0.0) + 2.0) / kPrimeBits)",
           "std::ceil((std::max(q_bound, 0.0) + 0.0) / kPrimeBits)",
           "the prime count drops the two bits of slack: det([[33554431]]) needs two primes, gets one"),
    Mutant("det-swap-sign", MODULAR, "            det = P.neg(det);\n", "",
           "a row swap does not flip the determinant's sign"),
    Mutant("det-symmetric-residue", MODULAR, "if (mpz_cmp(det, half.v) > 0) mpz_sub(det, det, modulus.v);",
           "if (mpz_cmp(det, modulus.v) > 0) mpz_sub(det, det, modulus.v);",
           "negative determinants come back as their residue"),
    Mutant("rref-divisor", ELIM, "        mpz_set(d.v, pv);\n        pivots.push_back(col);",
           "        pivots.push_back(col);", "fraction-free Gauss-Jordan keeps the divisor 1"),
    Mutant("lu-pivot-ties", ELIM, "if (mpz_cmpabs(c.at(i, k), c.at(max_row, k)) > 0) max_row = i;",
           "if (mpz_cmpabs(c.at(i, k), c.at(max_row, k)) >= 0) max_row = i;",
           "LU's partial pivoting takes the lower of equal pivots"),
    Mutant("rref-full-rank-shortcut", GAUSS, "exact::rank_lower_bound(m.c) == N) {\n        // Full column rank",
           "exact::rank_lower_bound(m.c) >= N - 1) {\n        // Full column rank",
           "rref takes a matrix of rank N - 1 for full column rank"),

    # --- the launch path -----------------------------------------------------
    Mutant("launch-size-check", RUNTIME, "if (have < a.need) {", "if (have < a.need - 1) {",
           "an operand one record short is accepted and read past its end"),
    Mutant("launch-grid", RUNTIME, "Py_ssize_t grid_for(Py_ssize_t n) { return (n + kBlockSize - 1) / kBlockSize; }",
           "Py_ssize_t grid_for(Py_ssize_t n) { return n / kBlockSize + (n % kBlockSize > 1); }",
           "a last block holding a single record is not launched"),
    Mutant("launch-contiguity", RUNTIME,
           "if (!py::truthy(contiguous.get())) py::raisef(PyExc_ValueError, \"%s needs contiguous operands\", kernel);",
           "(void)contiguous;", "strided operands reach the kernels"),
    Mutant("launch-rank", RUNTIME, "return d.z != 1 ? 3 : (d.y != 1 ? 2 : 1);", "return d.z != 1 ? 3 : 1;",
           "two-dimensional launches lose their second dimension"),
]
