// The exact core of the rational algebra: integer matrices on GMP, the
// multimodular determinant and rank bound, fraction-free Gauss-Jordan and LU,
// and the certified inverse.  Every record is an integer over 2^256, so a
// matrix of records is an integer matrix with power-of-two row scales.
#pragma once
#include <cstdint>
#include <vector>

#include "../core/gmp.hpp"
#include "../arith/fp.cuh"

namespace zel::exact {

// Row-major integer matrix.
struct IntMatrix {
    Py_ssize_t rows = 0, cols = 0;
    std::vector<Mpz> a;
    IntMatrix() = default;
    IntMatrix(Py_ssize_t r, Py_ssize_t c) : rows(r), cols(c), a(static_cast<size_t>(r * c)) {}
    mpz_ptr at(Py_ssize_t i, Py_ssize_t j) { return a[static_cast<size_t>(i * cols + j)].v; }
    mpz_srcptr at(Py_ssize_t i, Py_ssize_t j) const { return a[static_cast<size_t>(i * cols + j)].v; }
    void swap_rows(Py_ssize_t i, Py_ssize_t k) {
        for (Py_ssize_t j = 0; j < cols; ++j) mpz_swap(at(i, j), at(k, j));
    }
};

// z = the record's value times 2^256: sign * M, with the sign field used as a
// multiplier (-1 and 1 as usual, 0 for the zero record of Tensor()).
void record_scaled(mpz_ptr z, const fp_t& r);

// A matrix of records read exactly as A[i][j] = C[i][j] * 2^-exp[i]: each
// row's common power of two is divided out of C (all rows share one exponent
// when `per_row` is false).  Row scales change neither the echelon form nor
// the pivot columns, and leave the determinant and inverse easy to rescale.
struct ScaledMatrix {
    IntMatrix c;
    std::vector<long> exp;
};
ScaledMatrix from_records(const fp_t* recs, Py_ssize_t rows, Py_ssize_t cols, bool per_row);

// The double nearest num * 2^e2 / den (den != 0), ties to even: float() of
// the Fraction, with its OverflowError.
double ratio_to_double(mpz_srcptr num, mpz_srcptr den, long e2 = 0);

// det(C) by Chinese remaindering over word-size primes, enough of them to
// exceed twice Hadamard's bound; for larger matrices, only det(C) / b by
// remaindering, b from denominator_divisor.
void determinant(mpz_ptr det, const IntMatrix& c);

// b, a divisor of det C for a non-singular square C with |det C| <= 2^bound:
// the denominator of one entry of the solution of C x = f for a fixed
// pseudo-random f, found by exact refinement and rational reconstruction.
// Typically b is det C itself up to a small factor.  False (b unspecified)
// where the refinement does not converge, e.g. for a singular C.
bool denominator_divisor(const IntMatrix& c, double bound, Mpz& b);

// x with C x = f exactly (C the first n = rows columns of c), as num / den
// with den > 0, by p-adic lifting and rational reconstruction, proved by
// substitution.  False where C looks singular (not invertible modulo a few
// primes) or no solution was proved.
bool solve_padic(const IntMatrix& c, const std::vector<Mpz>& f, std::vector<Mpz>& num, Mpz& den);

// C^-1 = N / d exactly for a square C, by remaindering over word-size primes
// with d the common denominator lifting finds; proved by a size argument.
// False (N and d unspecified) where C looks singular or no proof came.
bool inverse_multimodular(const IntMatrix& c, IntMatrix& N, Mpz& d);
// out[i n + j] = the double nearest N[i][j] 2^exp[j] / d (d > 0), on the
// machine's cores; false where one is beyond the doubles (out unspecified).
bool inverse_to_doubles(const IntMatrix& N, mpz_srcptr d, const std::vector<long>& exp, std::vector<double>& out);

// The reduced row echelon form of C as N / d (N with the first r =
// pivots.size() rows of the form times d), by remaindering over word-size
// primes and rational reconstruction, proved by a size argument.  False
// where no proof came within Hadamard's bound.
bool rref_multimodular(const IntMatrix& c, std::vector<Py_ssize_t>& pivots, IntMatrix& N, Mpz& d);

// The rank of C modulo one word-size prime: a lower bound on the rank over
// the rationals, so equality with cols proves full column rank.
Py_ssize_t rank_lower_bound(const IntMatrix& c);
// The same kind of bound, from a vectorised elimination with delayed
// reductions (any prime gives a lower bound).
Py_ssize_t rank_modular(const IntMatrix& c);
// The same bound for a matrix of records read as in record_scaled (row
// scales by powers of two do not change a rank modulo an odd prime).
Py_ssize_t rank_of_records(const fp_t* recs, Py_ssize_t rows, Py_ssize_t cols);

// Fraction-free Gauss-Jordan elimination (Bareiss), in place.  On return the
// first r = pivots.size() rows of C, divided by d, are the reduced row echelon
// form and the other rows are zero.  With stop_before > 0 the elimination
// stops at the first column below stop_before that has no pivot (the caller
// then knows the leading square block is singular).
std::vector<Py_ssize_t> rref_fraction_free(IntMatrix& c, Mpz& d, Py_ssize_t stop_before = 0);

// The record of floor(num * 2^(256 + e2) / den) for den != 0 of either
// sign: the one rounding rule, with OverflowError("Value out of FixedPoint
// range") beyond the range.
void ratio_to_record(fp_t& out, mpz_srcptr num, mpz_srcptr den, long e2 = 0);

// The zero record (sign +1).
inline fp_t zero_record() {
    fp_t r;
    fp_set_zero(r);
    return r;
}

// Doolittle LU with partial pivoting on the largest magnitude (ties keep the
// upper row), of A = C * 2^-e, computed fraction-free; the factors are the
// doubles nearest the rational L and U entries, or with `records` the
// records of those entries (Lr, Ur).
struct LuFactors {
    std::vector<double> L, U;
    std::vector<fp_t> Lr, Ur;
    std::vector<int32_t> perm;
};
LuFactors lu_doolittle(IntMatrix& c, long e, bool records = false);

// The doubles nearest the entries of A^-1 for A = diag(2^-exp) * C.  Returns
// false, with `out` unspecified, when A is singular.
bool inverse_doubles(const ScaledMatrix& m, std::vector<double>& out);
// The same inverse as records, each the floor of its exact entry.
bool inverse_records(const ScaledMatrix& m, std::vector<fp_t>& out);

// The records of x with A x = b, each the floor of its exact entry, for the
// rows of [A | b] read as one scaled matrix (n x (n + 1)); false when A is
// singular.
bool solve_records(const ScaledMatrix& aug, std::vector<fp_t>& out);

}  // namespace zel::exact
